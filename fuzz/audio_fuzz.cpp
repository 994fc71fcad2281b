// Feeds arbitrary payloads to the audio decoder. The first three input bytes choose
// the block's output length (up to 140,000 bytes, so up to three pieces); the rest is
// the payload. The piece buffer is sized exactly, so any write outside it is reported.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "codecs/audio/audio_block.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const std::uint32_t length = (std::uint32_t{data[0]} | std::uint32_t{data[1]} << 8 | std::uint32_t{data[2]} << 16) % 140000u;
  // One decoder for the whole run: state carries across inputs as across audio blocks.
  static auto decoder = quorvex::audio::createAudioDecoder();
  std::vector<std::uint8_t> buffer(quorvex::audio::kPieceSize);
  std::size_t produced = 0;
  quorvex::audio::decodeAudioBlock(*decoder, std::span<const std::uint8_t>(data + 3, size - 3), length, buffer,
                                   [&produced](std::span<const std::uint8_t> bytes) { produced += bytes.size(); });
  if (produced > length) __builtin_trap();
  return 0;
}
