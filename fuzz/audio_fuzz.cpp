// Feeds arbitrary payloads to the audio decoder. The first three input bytes choose
// the block's output length; the rest is the payload. The piece buffer is sized
// exactly, so any write outside it is reported.
//
// Every output byte costs a run of the prediction filters, so most inputs ask for a
// short block (under 12,000 bytes) and the fuzzer runs at hundreds of inputs a second;
// a third byte of 0xF0 or more asks for up to 140,000 bytes, so that blocks of two and
// three pieces, and the model running on across pieces, stay in reach.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "codecs/audio/audio_block.hpp"

namespace {

constexpr std::uint32_t kShortBlock = 12000;
constexpr std::uint32_t kLongestBlock = 140000;

std::uint32_t blockLength(const std::uint8_t* data) {
  const std::uint32_t low = std::uint32_t{data[0]} | std::uint32_t{data[1]} << 8;
  if (data[2] < 0xF0) return low % kShortBlock;
  const std::uint32_t length = (std::uint32_t{data[2]} & 3u) * quorvex::audio::kPieceSize + low;
  return length < kLongestBlock ? length : kLongestBlock;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const std::uint32_t length = blockLength(data);
  // One decoder for the whole run: state carries across inputs as across audio blocks.
  static auto decoder = quorvex::audio::createAudioDecoder();
  std::vector<std::uint8_t> buffer(quorvex::audio::kPieceSize);
  std::size_t produced = 0;
  quorvex::audio::decodeAudioBlock(*decoder, std::span<const std::uint8_t>(data + 3, size - 3), length, buffer,
                                   [&produced](std::span<const std::uint8_t> bytes) { produced += bytes.size(); });
  if (produced > length) __builtin_trap();
  return 0;
}
