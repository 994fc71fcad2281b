// Arbitrary bytes through the archive writer with every codec and post-stage, then the
// decoder: the output must be the bytes, and the integrity records must verify.
// Byte 0 chooses the block size; bytes 1 and 2 how each of the six post-stages is used
// (two bits each: never, when smaller, always), the audio byte order and what the last
// quarter is; byte 3 the audio format. The rest is the data: its first three quarters
// cut into blocks that cycle through stored, BWT and LZ, the last quarter one
// context-mixing section (for a quarter of the inputs: it is slow under the
// sanitizers; bit 12 of bytes 1-2 chooses its table sizes) or audio blocks.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "decode/archive_decoder.hpp"
#include "quorvex/archive_writer.hpp"

namespace {

using namespace quorvex;

StageOptions stagesFrom(std::uint32_t bits) {
  const auto use = [&bits] {
    const std::uint32_t choice = bits & 3;
    bits >>= 2;
    return choice == 0 ? StageUse::never : choice == 1 ? StageUse::whenSmaller : StageUse::always;
  };
  StageOptions stages;
  stages.localMatches = use();
  stages.historyMatches = use();
  stages.wordRuns = use();
  stages.delta = use();
  // Deciding "when smaller" for text transforms estimates the cost of every candidate,
  // which dominates small inputs; the decoder sees the same streams either way.
  stages.textTransforms = use() == StageUse::never ? StageUse::never : StageUse::always;
  stages.branchTargets = use();
  return stages;
}

void addTail(ArchiveWriter& writer, std::span<const std::uint8_t> tail, std::size_t blockSize, std::uint32_t control,
             std::uint8_t format, const StageOptions& stages) {
  if ((control >> 13) < 2) {
    // Regular tables for half of the sections; the others ask for bit counts that wrap
    // to tiny tables, as a record may: zeroing tens of megabytes of fresh tables for
    // the encoder and again for the decoder took most of the time of every such input.
    const bool tinyTables = (control >> 12 & 1) == 0;
    writer.addCmParams(tinyTables ? 33 : 20, tinyTables ? 32 : 18, 0);
    for (std::size_t offset = 0, index = 0; offset < tail.size(); offset += blockSize, ++index) {
      writer.addCmBlock(tail.subspan(offset, std::min(blockSize, tail.size() - offset)), (index & 1) != 0, stages);
    }
    return;
  }
  const std::uint32_t channels = 1 + (format & 1);
  const std::uint32_t width = 1 + (format >> 1 & 3) % 3;
  const std::uint32_t header = (format >> 3) * 9;
  const bool littleEndian = (control >> 12 & 1) != 0;
  for (std::size_t offset = 0, index = 0; offset < tail.size(); offset += blockSize, ++index) {
    const auto block = tail.subspan(offset, std::min(blockSize, tail.size() - offset));
    if (!writer.addAudioBlock(block, channels, width, littleEndian, std::min<std::size_t>(header, block.size()),
                              index == 2)) {
      writer.addStoredBwtBlock(block);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  if (size < 4 || size > (1u << 14)) return 0;
  const std::size_t blockSize = 64 + std::size_t{bytes[0]} * 16;
  const std::uint32_t control = bytes[1] | std::uint32_t{bytes[2]} << 8;
  const StageOptions stages = stagesFrom(control);
  const std::span<const std::uint8_t> data(bytes + 4, size - 4);
  const std::size_t tailStart = data.size() - data.size() / 4;

  ArchiveWriter writer;
  std::size_t index = 0;
  for (std::size_t offset = 0; offset < tailStart; offset += blockSize, ++index) {
    const auto block = data.subspan(offset, std::min(blockSize, tailStart - offset));
    switch (index % 3) {
      case 0: writer.addStoredBwtBlock(block, stages); break;
      case 1: writer.addBwtBlock(block, stages); break;
      case 2: writer.addLzBlock(block, stages); break;
    }
  }
  addTail(writer, data.subspan(tailStart), blockSize, control, bytes[3], stages);

  // One set of buffers for the whole run, the window refilled from its start (history
  // matches name window offsets).
  static DecodeContext context = [] {
    DecodeContext fresh;
    if (!fresh.allocate()) __builtin_trap();
    return fresh;
  }();
  context.historyCursor = context.historyBase;
  RecordStream stream(writer.bytes());
  if (!checkArchiveHeader(stream)) std::abort();
  OutputImage output;
  const DecodeResult result = decodeRecords(stream, context, output, {});
  if (!result.ok() || output.size() != data.size()) std::abort();
  if (!std::equal(data.begin(), data.end(), output.bytes().begin())) std::abort();
  return 0;
}
