// The archive maker: whole files in, blocks of the chosen codec out.
#include "quorvex/archive_maker.hpp"

#include <algorithm>
#include <bit>

#include "codecs/bwt/bwt_payload.hpp"
#include "codecs/bwt/bwt_transform.hpp"
#include "codecs/lz/lz_codec.hpp"
#include "make/data_survey.hpp"
#include "format/buffer_sizes.hpp"
#include "make/maker_levels.hpp"
#include "threads/task_threads.hpp"
#include "make/wav_pieces.hpp"
#include "codecs/audio/wav_file.hpp"

namespace quorvex {
namespace {

// The piece of a block that a level weighing BWT against LZ codes both ways.
constexpr std::size_t kTrialSample = std::size_t{1} << 16;
// The smallest tables a context-mixing model is given (those of a record's zero nibbles).
constexpr std::uint32_t kLeastTableBitsA = 20;
constexpr std::uint32_t kLeastTableBitsB = 18;

// The stages worth weighing for a kind of data; each is then kept only when it makes
// the block smaller. Text transforms are for text alone: on binary data with a little
// text in it they cost more under context mixing than the estimate says.
StageOptions stagesFor(DataKind kind, const LevelPlan& plan) {
  StageOptions stages;
  const StageUse weigh = StageUse::whenSmaller;
  switch (kind) {
    case DataKind::text:
      stages.textTransforms = weigh;
      stages.wordRuns = weigh;
      break;
    case DataKind::x86:
      stages.branchTargets = weigh;
      break;
    case DataKind::records:
      stages.delta = weigh;
      break;
    case DataKind::incompressible:
      return stages;
    case DataKind::generic:
      break;
  }
  if (plan.tryEveryStage) {
    stages.localMatches = stages.historyMatches = stages.wordRuns = stages.delta = weigh;
    if (kind != DataKind::text) stages.branchTargets = weigh;
  }
  return stages;
}

// What the caller allows: never and always override the maker's choice.
StageOptions allowedStages(StageOptions chosen, const StageOptions& allowed) {
  const auto hold = [](StageUse& use, StageUse allowedUse) {
    if (allowedUse != StageUse::whenSmaller) use = allowedUse;
  };
  hold(chosen.localMatches, allowed.localMatches);
  hold(chosen.historyMatches, allowed.historyMatches);
  hold(chosen.wordRuns, allowed.wordRuns);
  hold(chosen.delta, allowed.delta);
  hold(chosen.textTransforms, allowed.textTransforms);
  hold(chosen.branchTargets, allowed.branchTargets);
  return chosen;
}

std::size_t bwtCodedSize(std::span<const std::uint8_t> bytes) {
  return bwt::encodeBwtPayload(bwt::forwardBwt(bytes).transformed).size();
}

std::size_t lzCodedSize(std::span<const std::uint8_t> bytes) { return lz::LzEncoder().encodeBlock(bytes, 0).size(); }

// Text goes to BWT (which codes it smaller than LZ and decodes it faster), data without
// structure is stored; the rest goes to whichever of BWT and LZ codes it smaller.
FileCodec chooseCodec(std::span<const std::uint8_t> block, DataKind kind, const LevelPlan& plan) {
  if (plan.codec == CodecChoice::cm) return FileCodec::cm;
  if (kind == DataKind::incompressible) return FileCodec::stored;
  if (plan.codec == CodecChoice::bwt || kind == DataKind::text) return FileCodec::bwt;
  std::span<const std::uint8_t> trial = block;
  if (plan.codec == CodecChoice::bwtOrLzSample && block.size() > kTrialSample) {
    trial = block.subspan((block.size() - kTrialSample) / 2, kTrialSample);
  }
  return lzCodedSize(trial) < bwtCodedSize(trial) ? FileCodec::lz : FileCodec::bwt;
}

std::size_t blockCount(std::size_t bytes, std::size_t blockSize) { return (bytes + blockSize - 1) / blockSize; }

// Calls add(piece) for count pieces of data of about equal length, in order.
template <class AddPiece>
void forEachEqualPiece(std::span<const std::uint8_t> data, std::size_t count, AddPiece add) {
  std::size_t begin = 0;
  for (std::size_t k = 0; k < count; ++k) {
    const std::size_t end = data.size() / count * (k + 1) + data.size() % count * (k + 1) / count;
    add(data.subspan(begin, end - begin));
    begin = end;
  }
}

enum class Cut : std::uint8_t { exact, even };

// Calls add(block) for blocks of data of at most blockSize bytes: all of blockSize but
// the last (exact), or all of about equal length (even, so that no block is short).
template <class AddBlock>
void forEachBlock(std::span<const std::uint8_t> data, std::size_t blockSize, Cut cut, AddBlock add) {
  if (cut == Cut::even) {
    forEachEqualPiece(data, blockCount(data.size(), blockSize), add);
    return;
  }
  for (std::size_t begin = 0; begin < data.size(); begin += blockSize) {
    add(data.subspan(begin, std::min(blockSize, data.size() - begin)));
  }
}

// Context-mixing sections decode side by side, one per thread. Input longer than one
// section is cut into an even number of sections of equal length, so that two threads
// (the common case) finish together: a fifth section of five would run alone.
std::size_t cmSectionCount(std::size_t bytes, std::size_t sectionSize) {
  const std::size_t count = blockCount(bytes, sectionSize);
  return count > 1 && count % 2 == 1 ? count + 1 : count;
}

std::uint32_t bitsFor(std::size_t bytes) {
  return static_cast<std::uint32_t>(std::bit_width(std::max<std::size_t>(bytes, 1) - 1));
}

}  // namespace

StageOptions MakerOptions::allStagesWhenSmaller() {
  StageOptions stages;
  for (StageUse* use : {&stages.localMatches, &stages.historyMatches, &stages.wordRuns, &stages.delta,
                        &stages.textTransforms, &stages.branchTargets}) {
    *use = StageUse::whenSmaller;
  }
  return stages;
}

// The maker's state and its steps, behind the public ArchiveMaker.
class ArchiveMaker::Making {
 public:
  explicit Making(const MakerOptions& options);
  AddResult addFile(std::span<const std::uint8_t> data, FileCodec codec);
  ArchiveWriter& writer() { return writer_; }

 private:
  void addChosenCodecs(std::span<const std::uint8_t> data);
  void addWavPiece(std::span<const std::uint8_t> piece);
  void addPlainPiece(std::span<const std::uint8_t> piece);
  void addSurveyedPiece(std::span<const std::uint8_t> piece);
  struct PlannedBlock;
  void addPlannedBlocks(const std::vector<PlannedBlock>& blocks);
  template <class AddPiece>
  void forEachCmSection(std::span<const std::uint8_t> data, bool contextMixing, AddPiece add);
  void addBlocks(std::span<const std::uint8_t> data, FileCodec codec, const StageOptions& stages);
  void addBlock(std::span<const std::uint8_t> block, std::size_t bytesAhead, FileCodec codec,
                const StageOptions& stages);
  // Before a context-mixing block: enters context mixing, or starts a new section
  // (a fresh model) when the current one is full.
  void beginCmBlock(std::size_t blockBytes, std::size_t bytesAhead);
  // Writes the codec parameters of a fresh model sized for sectionInput bytes.
  void startCmSection(std::size_t sectionInput);
  void leaveCmMode();
  std::size_t blockSizeFor(bool contextMixing) const;
  std::size_t cmSectionSize() const;

  MakerOptions options_;
  ArchiveWriter writer_;
  std::size_t cmSectionBytes_ = 0;  // input of the context-mixing section so far
};

// Levels whose own choices never read the window (BWT without the history-match stage,
// context mixing) let the writer forget it: the maker's memory then follows the block
// and section sizes, not the member's.
ArchiveMaker::Making::Making(const MakerOptions& options) : options_(options), writer_(options.writer) {
  const LevelPlan plan = levelPlan(options_.level);
  const bool readsWindow = plan.codec == CodecChoice::bwtOrLzSample || plan.codec == CodecChoice::bwtOrLzWhole ||
                           (plan.codec == CodecChoice::bwt && plan.tryEveryStage);
  if (!readsWindow) writer_.keepWindowOnlyWhenRead();
}

const char* describeRefusal(Refusal refusal) {
  switch (refusal) {
    case Refusal::none:
      break;
    case Refusal::notPcmWav:
      return "not a PCM WAV file (8, 16 or 24 bits, mono or stereo), which the audio codec needs";
    case Refusal::wavTooLarge:
      return "its samples exceed the 4 GiB one audio block holds";
  }
  return "taken";
}

AddResult ArchiveMaker::Making::addFile(std::span<const std::uint8_t> data, FileCodec codec) {
  switch (codec) {
    case FileCodec::automatic:
      addChosenCodecs(data);
      return {};
    case FileCodec::audio: {
      const std::optional<audio::WavLayout> wav = audio::parseWav(data);
      if (!wav) return {Refusal::notPcmWav};
      if (!writer_.addWavFile(data)) return {Refusal::wavTooLarge};  // audio blocks decode in every mode
      if (options_.onCoded) options_.onCoded(data.size());
      return {};
    }
    default:
      addBlocks(data, codec, options_.stages);
      return {};
  }
}

void ArchiveMaker::Making::addChosenCodecs(std::span<const std::uint8_t> data) {
  for (const DataPiece& piece : splitAtWavFiles(data)) {
    const auto bytes = data.subspan(piece.begin, piece.end - piece.begin);
    if (piece.wav) {
      addWavPiece(bytes);
    } else {
      addPlainPiece(bytes);
    }
  }
}

// A WAV file: its samples in an audio block, unless the level weighs that against the
// other codecs and they code it smaller (synthetic sound often repeats exactly).
void ArchiveMaker::Making::addWavPiece(std::span<const std::uint8_t> piece) {
  if (levelPlan(options_.level).weighAudio) {
    MakerOptions trialOptions = options_;
    trialOptions.writer.integrityChecks = false;
    trialOptions.onCoded = nullptr;
    Making asAudio(trialOptions);
    Making asPlain(trialOptions);
    const bool audioTakesIt = asAudio.writer_.addWavFile(piece);
    asPlain.addPlainPiece(piece);
    if (!audioTakesIt || asPlain.writer().bytes().size() < asAudio.writer().bytes().size()) {
      addPlainPiece(piece);
      return;
    }
  }
  if (!writer_.addWavFile(piece)) {
    addPlainPiece(piece);
    return;
  }
  if (options_.onCoded) options_.onCoded(piece.size());
}

// Longer context-mixing input goes in equal sections, each starting a fresh model;
// shorter input (or other codecs) in one piece, which may join the section before it.
template <class AddPiece>
void ArchiveMaker::Making::forEachCmSection(std::span<const std::uint8_t> data, bool contextMixing, AddPiece add) {
  const std::size_t sections = contextMixing ? cmSectionCount(data.size(), cmSectionSize()) : 1;
  if (sections <= 1) {
    add(data);
    return;
  }
  forEachEqualPiece(data, sections, [&](std::span<const std::uint8_t> section) {
    startCmSection(section.size());
    add(section);
  });
}

void ArchiveMaker::Making::addPlainPiece(std::span<const std::uint8_t> piece) {
  forEachCmSection(piece, levelPlan(options_.level).codec == CodecChoice::cm,
                   [&](std::span<const std::uint8_t> section) { addSurveyedPiece(section); });
}

// A block of a surveyed piece, with what the maker chose for it.
struct ArchiveMaker::Making::PlannedBlock {
  std::span<const std::uint8_t> bytes;
  std::size_t bytesAhead;
  FileCodec codec;
  StageOptions stages;

  // BWT blocks that read no window depend on nothing the writer holds: they may be
  // made on any thread.
  bool independent() const {
    return (codec == FileCodec::bwt || codec == FileCodec::stored) && stages.historyMatches == StageUse::never;
  }
};

void ArchiveMaker::Making::addSurveyedPiece(std::span<const std::uint8_t> piece) {
  const LevelPlan plan = levelPlan(options_.level);
  const std::size_t blockSize = blockSizeFor(plan.codec == CodecChoice::cm);
  std::vector<PlannedBlock> blocks;
  for (const KindRun& run : surveyRuns(piece)) {
    const StageOptions stages = allowedStages(stagesFor(run.kind, plan), options_.stages);
    const auto bytes = piece.subspan(run.begin, run.end - run.begin);
    forEachBlock(bytes, blockSize, Cut::even, [&](std::span<const std::uint8_t> block) {
      const std::size_t bytesAhead = static_cast<std::size_t>(piece.data() + piece.size() - block.data());
      if (options_.threads <= 1) {
        addBlock(block, bytesAhead, chooseCodec(block, run.kind, plan), stages);
      } else {
        blocks.push_back({block, bytesAhead, chooseCodec(block, run.kind, plan), stages});
      }
    });
  }
  addPlannedBlocks(blocks);
}

// Independent blocks are made side by side, a few per thread at a time (so that the
// blocks in flight bound the memory), and added in order; the others in turn.
void ArchiveMaker::Making::addPlannedBlocks(const std::vector<PlannedBlock>& blocks) {
  const std::size_t batch = 2 * std::size_t{std::max(options_.threads, 1u)};
  std::vector<PreparedBlock> prepared;
  for (std::size_t first = 0; first < blocks.size();) {
    if (!blocks[first].independent()) {
      const PlannedBlock& block = blocks[first++];
      addBlock(block.bytes, block.bytesAhead, block.codec, block.stages);
      continue;
    }
    std::size_t end = first;
    while (end < blocks.size() && end - first < batch && blocks[end].independent()) ++end;
    prepared.assign(end - first, {});
    runTasks(
        static_cast<unsigned>(end - first),
        [&](unsigned k) {
          const PlannedBlock& block = blocks[first + k];
          prepared[k] = ArchiveWriter::prepareBwtBlock(block.bytes, block.stages, block.codec == FileCodec::bwt);
        },
        TaskThreads(options_.threads));
    for (std::size_t k = 0; k < prepared.size(); ++k) {
      writer_.startMemberIfFull(blocks[first + k].bytes.size());  // as addBlock does, first
      leaveCmMode();
      writer_.addPreparedBlock(prepared[k], blocks[first + k].bytes);
      if (options_.onCoded) options_.onCoded(blocks[first + k].bytes.size());
    }
    first = end;
  }
}

void ArchiveMaker::Making::addBlocks(std::span<const std::uint8_t> data, FileCodec codec, const StageOptions& stages) {
  const std::size_t blockSize = blockSizeFor(codec == FileCodec::cm);
  forEachCmSection(data, codec == FileCodec::cm, [&](std::span<const std::uint8_t> piece) {
    forEachBlock(piece, blockSize, Cut::exact, [&](std::span<const std::uint8_t> block) {
      addBlock(block, static_cast<std::size_t>(piece.data() + piece.size() - block.data()), codec, stages);
    });
  });
}

// A context-mixing block lies within one section.
std::size_t ArchiveMaker::Making::blockSizeFor(bool contextMixing) const {
  const LevelPlan plan = levelPlan(options_.level);
  std::size_t blockSize = std::min(options_.blockSize == 0 ? plan.blockSize : options_.blockSize, kMaxBlockSize);
  if (contextMixing) blockSize = std::min(blockSize, cmSectionSize());
  return blockSize;
}

std::size_t ArchiveMaker::Making::cmSectionSize() const {
  return options_.cmSectionSize != 0 ? options_.cmSectionSize : levelPlan(options_.level).cm.sectionSize;
}

void ArchiveMaker::Making::addBlock(std::span<const std::uint8_t> block, std::size_t bytesAhead, FileCodec codec,
                            const StageOptions& stages) {
  // A block that might not fit in the window goes to the next member, where the
  // context-mixing section (if any) starts anew.
  if (writer_.startMemberIfFull(block.size())) cmSectionBytes_ = 0;
  if (codec == FileCodec::cm) {
    beginCmBlock(block.size(), bytesAhead);
    writer_.addCmBlock(block, false, stages);
  } else {
    leaveCmMode();
    switch (codec) {
      case FileCodec::stored:
        writer_.addStoredBwtBlock(block, stages);
        break;
      case FileCodec::lz:
        writer_.addLzBlock(block, stages);
        break;
      default:
        writer_.addBwtBlock(block, stages);
        break;
    }
  }
  if (options_.onCoded) options_.onCoded(block.size());
}

// A section's model is sized for the input it will see: its match window holds the
// whole section (or the rest of the file, when shorter), and its tables grow with
// that up to the level's sizes.
void ArchiveMaker::Making::beginCmBlock(std::size_t blockBytes, std::size_t bytesAhead) {
  const std::size_t sectionSize = cmSectionSize();
  const bool sectionFull = cmSectionBytes_ != 0 && cmSectionBytes_ + blockBytes > sectionSize;
  if (!writer_.cmMode() || sectionFull) startCmSection(std::min(sectionSize, std::max(bytesAhead, blockBytes)));
  cmSectionBytes_ += blockBytes;
}

void ArchiveMaker::Making::startCmSection(std::size_t sectionInput) {
  const CmModelSize model = levelPlan(options_.level).cm;
  const std::uint32_t inputBits = bitsFor(sectionInput);
  // A level asking for less than the least still gets the least (and clamp its bounds in order).
  const std::uint32_t mostBitsA = std::max(model.tableBitsA, kLeastTableBitsA);
  const std::uint32_t mostBitsB = std::max(model.tableBitsB, kLeastTableBitsB);
  const std::uint32_t tableBitsA = std::clamp(inputBits + 2, kLeastTableBitsA, mostBitsA);
  const std::uint32_t tableBitsB = std::clamp(inputBits, kLeastTableBitsB, mostBitsB);
  writer_.addCmParams(tableBitsA, tableBitsB, historySizeCodeFor(sectionInput));
  cmSectionBytes_ = 0;
}

void ArchiveMaker::Making::leaveCmMode() {
  if (writer_.cmMode()) writer_.addCodecParams({0, 0, 0, 0, 1});
  cmSectionBytes_ = 0;
}

ArchiveMaker::ArchiveMaker(const MakerOptions& options) : making_(std::make_unique<Making>(options)) {}
ArchiveMaker::~ArchiveMaker() = default;
ArchiveMaker::ArchiveMaker(ArchiveMaker&&) noexcept = default;
ArchiveMaker& ArchiveMaker::operator=(ArchiveMaker&&) noexcept = default;

AddResult ArchiveMaker::addFile(std::span<const std::uint8_t> data, FileCodec codec) {
  return making_->addFile(data, codec);
}
const std::vector<std::uint8_t>& ArchiveMaker::bytes() const { return making_->writer().bytes(); }
std::vector<std::uint8_t> ArchiveMaker::takeWritten() { return making_->writer().takeWritten(); }
std::uint64_t ArchiveMaker::size() const { return making_->writer().size(); }

}  // namespace quorvex
