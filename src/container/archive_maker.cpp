// The archive maker: whole files in, blocks of the chosen codec out.
#include "quorvex/archive_maker.hpp"

#include <algorithm>

namespace quorvex {
namespace {

constexpr std::size_t kDefaultBlockSize = 1u << 20;
// Context-mixing model sizes: 2^22-byte context hash table, 2^20 match hash entries,
// and a 16 MiB match window (size code 79).
constexpr std::uint32_t kCmTableBitsA = 22;
constexpr std::uint32_t kCmTableBitsB = 20;
constexpr std::uint8_t kCmHistorySizeCode = 79;

}  // namespace

StageOptions MakerOptions::allStagesWhenSmaller() {
  StageOptions stages;
  for (StageUse* use : {&stages.localMatches, &stages.historyMatches, &stages.wordRuns, &stages.delta,
                        &stages.textTransforms, &stages.branchTargets}) {
    *use = StageUse::whenSmaller;
  }
  return stages;
}

ArchiveMaker::ArchiveMaker(const MakerOptions& options) : options_(options), writer_(options.writer) {}

bool ArchiveMaker::addFile(std::span<const std::uint8_t> data, FileCodec codec) {
  if (codec == FileCodec::automatic) codec = FileCodec::bwt;
  if (codec == FileCodec::cm) {
    enterCmMode();
  } else {
    leaveCmMode();
  }
  if (codec == FileCodec::audio) return writer_.addWavFile(data);
  const std::size_t blockSize =
      std::min(options_.blockSize == 0 ? kDefaultBlockSize : options_.blockSize, kMaxBlockSize);
  for (std::size_t offset = 0; offset < data.size(); offset += blockSize) {
    addBlock(data.subspan(offset, std::min(blockSize, data.size() - offset)), codec);
  }
  return true;
}

void ArchiveMaker::enterCmMode() {
  if (!writer_.cmMode()) writer_.addCmParams(kCmTableBitsA, kCmTableBitsB, kCmHistorySizeCode);
}

void ArchiveMaker::leaveCmMode() {
  if (writer_.cmMode()) writer_.addCodecParams({0, 0, 0, 0, 1});
}

void ArchiveMaker::addBlock(std::span<const std::uint8_t> block, FileCodec codec) {
  switch (codec) {
    case FileCodec::stored:
      writer_.addStoredBwtBlock(block, options_.stages);
      break;
    case FileCodec::lz:
      writer_.addLzBlock(block, options_.stages);
      break;
    case FileCodec::cm:
      writer_.addCmBlock(block, false, options_.stages);
      break;
    case FileCodec::automatic:
    case FileCodec::bwt:
    case FileCodec::audio:
      writer_.addBwtBlock(block, options_.stages);
      break;
  }
}

}  // namespace quorvex
