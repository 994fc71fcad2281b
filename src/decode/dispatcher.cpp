#include "decode/dispatcher.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>

#include "codecs/bwt/bwt_payload.hpp"
#include "codecs/bwt/bwt_transform.hpp"
#include "stages/branch_targets.hpp"
#include "text/text_pipeline.hpp"
#include "codecs/bwt/history_matches.hpp"
#include "codecs/bwt/local_matches.hpp"
#include "stages/strided_delta.hpp"
#include "stages/word_runs.hpp"

namespace quorvex {
namespace {

// How much a block may produce. Codec output goes into the window; stage output into
// a work buffer, and every block ends up in a work buffer, so both bound it.
struct Capacity {
  std::uint32_t window;  // room between the cursor and the end of the window
  std::uint32_t block;   // min(window, work buffer)
};

Capacity capacityAt(const DecodeContext& context) {
  const std::uint32_t window = context.windowRoom();
  return {window, std::min(window, kWorkBufferSize)};
}

// Decoded audio reaches the output in batches of at most this many bytes.
constexpr std::size_t kAudioBatchSize = std::size_t{16} << 20;
static_assert(kAudioBatchSize <= kWorkBufferSize && kAudioBatchSize >= audio::kPieceSize);

bool fail(std::string& failure, std::string reason) {
  failure = std::move(reason);
  return false;
}

std::string count(std::uint32_t value) { return std::to_string(value); }

bool decodeCmCodec(const BlockDescriptor& block, DecodeContext& context, CodecState& codecs, const Console& console,
                   Capacity capacity, std::uint32_t& n, std::string& failure) {
  console.blockLine("CM", block.packedSize, block.unpackedSize);
  if (!payloadComplete(block, failure)) return false;
  if (!buildCmModel(codecs.params, codecs.memoryLimit, codecs.cm, codecs.cmBuilt, failure)) return false;
  if (block.codecKind == static_cast<std::uint8_t>(CodecKind::lz)) cm::resetCmAdaptation(*codecs.cm);
  if (block.sizePresent != 1) return fail(failure, kCmWithoutSize);
  if (block.unpackedSize > capacity.block) return fail(failure, cmTooLarge(block.unpackedSize, capacity.block));
  cm::decodeCmBlock(*codecs.cm, block.payload, context.historyCursor, block.unpackedSize);
  n = block.unpackedSize;
  return true;
}

bool decodeLzCodec(const BlockDescriptor& block, DecodeContext& context, CodecState& codecs, const Console& console,
                   Capacity capacity, std::uint32_t& n, std::string& failure) {
  console.blockLine("LZ", block.packedSize, block.unpackedSize);
  if (!payloadComplete(block, failure)) return false;
  if (block.unpackedSize > capacity.block) {
    return fail(failure, "LZ block of " + count(block.unpackedSize) + " bytes does not fit in the " +
                             count(capacity.block) + " bytes of room left");
  }
  if (!codecs.lz.decodeBlock(block.payload, context.historyBase, context.historyCursor, block.unpackedSize)) {
    return fail(failure, "LZ block reaches outside the history window or its codec is unavailable");
  }
  n = block.unpackedSize;
  return true;
}

bool decodeBwtCodec(const BlockDescriptor& block, DecodeContext& context, const Console& console, Capacity capacity,
                    std::uint32_t& n, std::string& failure) {
  console.blockLine("BWT", block.packedSize, block.unpackedSize);
  if (block.packedSize > capacity.window) {
    return fail(failure, "BWT payload of " + count(block.packedSize) + " bytes does not fit in the " +
                             count(capacity.window) + " bytes left in the history window");
  }
  if (!payloadComplete(block, failure)) return false;
  std::uint8_t* buffer = context.historyCursor;
  std::memcpy(buffer, block.payload.data(), block.payload.size());
  n = block.packedSize;
  if (block.sizePresent) {
    const auto trace = [&console](std::uint32_t segment, std::uint32_t codedLength, std::uint32_t length) {
      console.bwtRound(segment, codedLength, length);
    };
    n = bwt::decodeBwtPayload(buffer, block.packedSize, capacity.window, trace, context.threads);
    if (n == 0) return fail(failure, "BWT payload could not be decoded");
  }
  if (n != 0 && !bwt::inverseBwt(buffer, n, block.bwtPrimaryIndex, capacity.window, context.threads)) {
    if (block.bwtPrimaryIndex >= n) {
      return fail(failure, "BWT primary index " + count(block.bwtPrimaryIndex) + " is not below the block length " +
                               count(n));
    }
    return fail(failure, "BWT block of " + count(n) + " bytes needs " + std::to_string(bwt::inverseBwtRoom(n)) +
                             " bytes of room in the history window; " + count(capacity.window) + " are left");
  }
  // The match stages expand into the first work buffer; their result goes back to the
  // window, where it is this block's codec output.
  if (block.bwtStageA.enabled()) {
    n = bwt::expandLocalMatches(block.bwtStageA.data, buffer, n, context.workA, capacity.block);
    if (n == 0) return fail(failure, "the in-block match stage rejected its matches or ran out of room");
    std::memcpy(buffer, context.workA, n);
  }
  return expandHistoryAtCursor(block, context, n, failure);
}

// Audio blocks bypass the window and the post-stages. Pieces are decoded into a work
// buffer and appended as they come, so the output grows only by bytes actually
// decoded, whatever size the descriptor claims.
bool decodeAudioCodec(const BlockDescriptor& block, DecodeContext& context, audio::AudioDecoder& decoder,
                      DecodedOutput& output, std::string& failure) {
  if (block.audioReset) audio::resetAudioDecoder(decoder);
  const std::span<std::uint8_t> buffer(context.workA, kAudioBatchSize);
  const auto emit = [&output](std::span<const std::uint8_t> bytes) { output.append(bytes); };
  if (!audio::decodeAudioBlock(decoder, block.payload, block.unpackedSize, buffer, emit)) {
    return fail(failure, "audio payload ends early or is malformed");
  }
  return true;
}

}  // namespace

bool expandHistoryAtCursor(const BlockDescriptor& block, DecodeContext& context, std::uint32_t& n,
                           std::string& failure) {
  if (!block.bwtStageB.enabled()) return true;
  std::uint8_t* buffer = context.historyCursor;
  const std::span<const std::uint8_t> history(context.historyBase, buffer);
  n = bwt::expandHistoryMatches(block.bwtStageB.data, buffer, n, context.workA, capacityAt(context).block, history);
  if (n == 0) return fail(failure, "the history match stage rejected its matches or ran out of room");
  std::memcpy(buffer, context.workA, n);
  return true;
}

bool decodeCodec(const BlockDescriptor& block, DecodeContext& context, CodecState& codecs, const Console& console,
                 std::uint32_t& n, std::string& failure) {
  const Capacity capacity = capacityAt(context);
  if (codecs.params.contextMixing()) return decodeCmCodec(block, context, codecs, console, capacity, n, failure);
  switch (static_cast<CodecKind>(block.codecKind)) {
    case CodecKind::lz:
      return decodeLzCodec(block, context, codecs, console, capacity, n, failure);
    case CodecKind::bwt:
      return decodeBwtCodec(block, context, console, capacity, n, failure);
    default:
      return fail(failure, "codec kind " + count(block.codecKind) + " is not used outside context-mixing mode");
  }
}

namespace {

// The branch-target stage, last of all; its state is fresh for every block.
bool runBranchTargets(const BlockDescriptor& block, WorkBuffers& buffers, std::uint32_t capacity, std::uint32_t& n,
                      std::string& failure) {
  stages::BranchTargetStage* const stage = stages::threadBranchTargetStage();
  n = stage->restore(block.branchTarget.data, buffers.current, n, buffers.other, capacity);
  if (n == 0) return fail(failure, "branch-target side data does not fit the block or is broken");
  buffers.swap();
  return true;
}

// The text-transform pipeline; it swaps the buffers itself. Remapping is for blocks
// not coded by context mixing.
bool runTextTransforms(const BlockDescriptor& block, WorkBuffers& buffers, std::uint32_t capacity, bool cmMode,
                       std::uint32_t& n, std::string& failure) {
  text::TextTransformContext transforms =
      text::createTextTransformContext(block.numericData, block.lineBreakData, !cmMode);
  n = text::runTextTransforms(transforms, buffers.current, n, buffers.other, capacity, block.textTransformBits);
  if (n == 0) return fail(failure, "the text transforms failed or their output does not fit");
  return true;
}

}  // namespace

bool runPostStages(const BlockDescriptor& block, WorkBuffers& buffers, std::uint32_t capacity, bool cmMode,
                   std::uint32_t& n, std::string& failure) {
  if (block.wordRun.enabled()) {
    BinaryDecoder decoder(block.wordRun.data);
    ClassTree tree;
    std::uint32_t length = capacity;
    stages::expandWordRuns(decoder, tree, buffers.current, n, buffers.other, length);
    if (length == 0) return fail(failure, "the word-run stage rejected its runs or ran out of room");
    n = length;
    buffers.swap();
  }
  if (block.delta.enabled() && n >= stages::kDeltaMinBlock) {
    WordBitReader reader(block.delta.data);
    if (!stages::decodeDeltaRegions(reader, buffers.current, n, buffers.other)) {
      return fail(failure, "the strided delta stage's region list is outside the block or the format");
    }
    buffers.swap();
  }
  if (block.textTransformFlag && !runTextTransforms(block, buffers, capacity, cmMode, n, failure)) return false;
  if (block.branchTarget.enabled()) return runBranchTargets(block, buffers, capacity, n, failure);
  return true;
}

// A payload cut off by the end of the archive: only a truncated or damaged file has one.
bool payloadComplete(const BlockDescriptor& block, std::string& failure) {
  if (block.payload.size() == block.packedSize) return true;
  return fail(failure, "payload of " + count(block.packedSize) + " bytes runs past the end of the archive (" +
                           std::to_string(block.payload.size()) + " are there)");
}

std::string cmModelFailure(const CodecParams& params) {
  const char* rejection = cm::cmParamsRejection(params.tableBitsA, params.tableBitsB, params.historySize);
  return std::string("the context-mixing model of the active codec parameters could not be built: ") +
         (rejection ? rejection : "not enough memory");
}

// "2,148 MiB": a byte count rounded up to whole MiB, with thousands separators.
std::string mebibytes(std::uint64_t bytes) {
  const std::string digits = std::to_string((bytes + (std::uint64_t{1} << 20) - 1) >> 20);
  std::string grouped;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) grouped += ',';
    grouped += digits[i];
  }
  return grouped + " MiB";
}

bool buildCmModel(const CodecParams& params, std::uint64_t memoryLimit, cm::CmDecoderPtr& model, bool& built,
                  std::string& failure) {
  if (!built) {
    failure = cmOverMemoryLimit(params, memoryLimit);
    if (!failure.empty()) return false;
    model = cm::createCmDecoder(params.tableBitsA, params.tableBitsB, params.historySize);
    built = true;
  }
  if (model) return true;
  return fail(failure, cmModelFailure(params));
}

std::string cmOverMemoryLimit(const CodecParams& params, std::uint64_t memoryLimit) {
  const std::uint64_t needed = cm::cmModelBytes(params.tableBitsA, params.tableBitsB, params.historySize);
  if (memoryLimit == 0 || needed <= memoryLimit) return {};
  return "the context-mixing model needs " + mebibytes(needed) + " of memory, over the limit of " +
         mebibytes(memoryLimit);
}

std::string cmTooLarge(std::uint32_t unpackedSize, std::uint32_t room) {
  return "context-mixing block of " + count(unpackedSize) + " bytes does not fit in the " + count(room) +
         " bytes of room left";
}

std::uint32_t stageCapacityAt(const DecodeContext& context) { return capacityAt(context).block; }

bool moveCodecOutput(DecodeContext& context, std::uint32_t n, std::uint8_t* work, std::string& failure) {
  if (n <= kWorkBufferSize) std::memcpy(work, context.historyCursor, n);
  return passCodecOutput(context, n, failure);
}

bool passCodecOutput(DecodeContext& context, std::uint32_t n, std::string& failure) {
  if (n > kWorkBufferSize) {
    return fail(failure, "block of " + count(n) + " bytes exceeds the " + count(kWorkBufferSize) + "-byte work buffer");
  }
  context.historyCursor += n;
  return true;
}

bool finishBlock(const BlockDescriptor& block, WorkBuffers& buffers, std::uint32_t capacity, bool cmMode,
                 std::uint32_t& n, std::string& failure) {
  if (!runPostStages(block, buffers, capacity, cmMode, n, failure)) return false;
  if (n == 0) return fail(failure, "block decoded to no bytes");
  return true;
}

bool decodeAudio(const BlockDescriptor& block, DecodeContext& context, CodecState& codecs, DecodedOutput& output,
                 const Console& console, std::string& failure) {
  console.audioLine(block.unpackedSize, block.audioReset);
  if (!payloadComplete(block, failure)) return false;
  if (!codecs.audio) {
    codecs.audio = audio::createAudioDecoder();
  } else if (codecs.audioStale) {
    audio::resetAudioDecoder(*codecs.audio);
  }
  codecs.audioStale = false;
  return decodeAudioCodec(block, context, *codecs.audio, output, failure);
}

// No later block can use the ended section's model (codec id 7 starts a section with a
// fresh one), so it is released now. The new section's model is built at its first
// block, so a record that no block uses costs no memory.
void applyCodecParams(RecordStream& stream, std::uint32_t count, CodecState& codecs) {
  // Only min(count, 4) bytes are read; the next record head follows right after them.
  codecs.params = readCodecParams(stream, count);
  codecs.cm.reset();
  codecs.cmBuilt = false;
}

void startMember(DecodeContext& context, CodecState& codecs) {
  context.historyCursor = context.historyBase;
  codecs.params = {};
  codecs.lz.forgetModel();
  codecs.cm.reset();
  codecs.cmBuilt = false;
  codecs.audioStale = true;
}

bool decodeBlock(RecordStream& stream, DecodeContext& context, CodecState& codecs, DecodedOutput& output,
                 const Console& console, std::string& failure) {
  const BlockDescriptor block = parseBlockDescriptor(stream, codecs.params.contextMixing());

  if (block.codecKind == static_cast<std::uint8_t>(CodecKind::audio)) {
    return decodeAudio(block, context, codecs, output, console, failure);
  }

  codecs.audioStale = true;
  const std::uint32_t stageCapacity = stageCapacityAt(context);  // the room when the block starts
  context.adviseBuffersFor(block.unpackedSize);
  std::uint32_t n = 0;
  if (!decodeCodec(block, context, codecs, console, n, failure)) return false;
  WorkBuffers buffers{context.workA, context.workB};
  if (!moveCodecOutput(context, n, buffers.current, failure)) return false;
  if (!finishBlock(block, buffers, stageCapacity, codecs.params.contextMixing(), n, failure)) return false;
  output.append({buffers.current, n});
  return true;
}

}  // namespace quorvex
