// Feeds arbitrary payloads to the LZ decoder. The first four input bytes choose the
// block size and how many earlier window bytes lie before it; the rest is the payload.
// The window is sized exactly, so any access outside it is reported.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "codecs/lz/lz_codec.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  const std::uint32_t blockSize = 1u + ((std::uint32_t{data[0]} | std::uint32_t{data[1]} << 8) & 0x7FFFu) * 2u;
  const std::uint32_t prefix = (std::uint32_t{data[2]} | std::uint32_t{data[3]} << 8) & 0x3FFFu;
  std::vector<std::uint8_t> window(64 + prefix + blockSize);
  for (std::uint32_t i = 0; i < prefix; ++i) window[64 + i] = static_cast<std::uint8_t>(i * 131u);
  // One decoder for the whole run: models learn across inputs as they do across blocks.
  static auto decoder = std::make_unique<quorvex::lz::LzDecoder>();
  decoder->decodeBlock(std::span<const std::uint8_t>(data + 4, size - 4), window.data() + 64, window.data() + 64 + prefix,
                       blockSize);
  return 0;
}
