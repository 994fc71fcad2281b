// The archive maker: whole files in, blocks of the chosen codec out.
#include "quorvex/archive_maker.hpp"

#include <algorithm>
#include <bit>
#include <optional>

#include "make/data_survey.hpp"
#include "make/lz_trial.hpp"
#include "format/buffer_sizes.hpp"
#include "make/maker_levels.hpp"
#include "threads/ordered_work.hpp"
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
  return lzTrialSize(trial) < bwtTrialSize(trial) ? FileCodec::lz : FileCodec::bwt;
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
  void continueFile(std::span<const std::uint8_t> data);
  ArchiveWriter& writer() { return writer_; }

 private:
  // A WAV file whose samples run on past the piece its header came in.
  struct OpenWav {
    std::uint32_t channels = 0;
    std::uint32_t sampleWidth = 0;
    std::uint64_t samplesLeft = 0;
    std::uint32_t cutFrameBytes = 0;  // bytes of a frame that the block before ended with
  };
  // After addWavFile took `file` (a WAV file's start, up to the end of a piece): opens
  // the WAV file when its data chunk says that more samples follow.
  void openLongWav(std::span<const std::uint8_t> file, const audio::WavLayout& wav);
  // Codes the open WAV file's samples at the start of data; returns the bytes taken.
  std::size_t continueWav(std::span<const std::uint8_t> data);
  void addChosenCodecs(std::span<const std::uint8_t> data);
  void addWavPiece(std::span<const std::uint8_t> piece, bool endsTheData);
  void addPlainPiece(std::span<const std::uint8_t> piece);
  void addSurveyedPiece(std::span<const std::uint8_t> piece);
  struct PlannedBlock;
  std::vector<PlannedBlock> planBlocks(std::span<const std::uint8_t> piece) const;
  void addPlannedBlocks(const std::vector<PlannedBlock>& blocks);
  void addCmSectionsSideBySide(std::span<const std::uint8_t> data, std::size_t sections);
  CmModelSize cmModelFor(std::size_t sectionInput) const;
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
  bool startMemberIfFull(std::size_t blockBytes);
  std::size_t blockSizeFor(bool contextMixing) const;
  std::size_t cmSectionSize() const;

  MakerOptions options_;
  ArchiveWriter writer_;
  std::size_t cmSectionBytes_ = 0;  // input of the context-mixing section so far
  std::size_t cmSectionRoom_ = 0;   // the input its model and window were sized for
  FileCodec fileCodec_ = FileCodec::automatic;  // the codec of the file being added
  std::optional<OpenWav> openWav_;
};

namespace {

// The writer keeps as much of the window as the level's LZ blocks copy from, unless asked otherwise.
WriterOptions writerOptions(const MakerOptions& options) {
  WriterOptions writer = options.writer;
  if (writer.keptHistory == 0) writer.keptHistory = levelPlan(options.level).keptHistory;
  writer.lzEffort = levelPlan(options.level).lzEffort;  // the level decides how hard LZ searches
  writer.audioSearch = levelPlan(options.level).audioSearch;  // and the audio encoder
  writer.threads = options.threads;
  return writer;
}

}  // namespace

// Levels whose own choices never read the window (BWT without the history-match stage,
// context mixing) let the writer forget it: the maker's memory then follows the block
// and section sizes, not the member's.
ArchiveMaker::Making::Making(const MakerOptions& options) : options_(options), writer_(writerOptions(options)) {
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
  openWav_.reset();
  fileCodec_ = codec;
  switch (codec) {
    case FileCodec::automatic:
      addChosenCodecs(data);
      return {};
    case FileCodec::audio: {
      const std::optional<audio::WavLayout> wav = audio::parseWav(data);
      if (!wav) return {Refusal::notPcmWav};
      if (!writer_.addWavFile(data)) return {Refusal::wavTooLarge};  // audio blocks decode in every mode
      openLongWav(data, *wav);
      if (options_.onCoded) options_.onCoded(data.size());
      return {};
    }
    default:
      addBlocks(data, codec, options_.stages);
      return {};
  }
}

void ArchiveMaker::Making::continueFile(std::span<const std::uint8_t> data) {
  if (openWav_) data = data.subspan(continueWav(data));
  if (data.empty()) return;
  switch (fileCodec_) {
    case FileCodec::automatic:
      addChosenCodecs(data);
      break;
    case FileCodec::audio:  // what follows the samples is stored, as addWavFile stores it
      addBlocks(data, FileCodec::stored, StageOptions{});
      break;
    default:
      addBlocks(data, fileCodec_, options_.stages);
      break;
  }
}

void ArchiveMaker::Making::openLongWav(std::span<const std::uint8_t> file, const audio::WavLayout& wav) {
  if (wav.declaredDataEnd <= file.size()) return;
  const std::uint32_t frameBytes = wav.channels * wav.sampleWidth;
  OpenWav open;
  open.channels = wav.channels;
  open.sampleWidth = wav.sampleWidth;
  open.samplesLeft = wav.declaredDataEnd - file.size();
  open.cutFrameBytes = static_cast<std::uint32_t>((file.size() - wav.dataBegin) % frameBytes);
  openWav_ = open;
}

// The samples go in one audio block per piece. A frame that a piece end cut travels
// raw: its first bytes at the end of one block, the rest at the start of the next.
std::size_t ArchiveMaker::Making::continueWav(std::span<const std::uint8_t> data) {
  OpenWav& wav = *openWav_;
  const std::size_t taken = static_cast<std::size_t>(std::min<std::uint64_t>(wav.samplesLeft, data.size()));
  const std::uint32_t frameBytes = wav.channels * wav.sampleWidth;
  const std::size_t frameRest = (frameBytes - wav.cutFrameBytes) % frameBytes;
  writer_.addWavSamples(data.first(taken), wav.channels, wav.sampleWidth,
                        static_cast<std::uint32_t>(std::min(frameRest, taken)));
  if (options_.onCoded) options_.onCoded(taken);
  wav.cutFrameBytes = static_cast<std::uint32_t>((wav.cutFrameBytes + taken) % frameBytes);
  wav.samplesLeft -= taken;
  if (wav.samplesLeft == 0) openWav_.reset();
  return taken;
}

void ArchiveMaker::Making::addChosenCodecs(std::span<const std::uint8_t> data) {
  for (const DataPiece& piece : splitAtWavFiles(data)) {
    const auto bytes = data.subspan(piece.begin, piece.end - piece.begin);
    if (piece.wav) {
      addWavPiece(bytes, piece.end == data.size());
    } else {
      addPlainPiece(bytes);
    }
  }
}

// A WAV file: its samples in an audio block, unless the level weighs that against the
// other codecs and they code it smaller (synthetic sound often repeats exactly). A
// file cut by the end of the data (endsTheData) may go on in the next piece.
void ArchiveMaker::Making::addWavPiece(std::span<const std::uint8_t> piece, bool endsTheData) {
  if (levelPlan(options_.level).weighAudio) {
    MakerOptions trialOptions = options_;
    trialOptions.writer.integrityChecks = false;
    trialOptions.onCoded = nullptr;
    Making asAudio(trialOptions);
    writer_.lendAudioState(asAudio.writer_);  // so that the winner need not be coded again
    trialOptions.threads = std::max(options_.threads, 2u) - 1;  // one is the audio trial's
    Making asPlain(trialOptions);
    bool audioTakesIt = false;
    const auto trial = [&](unsigned which) {
      if (which == 0) {
        audioTakesIt = asAudio.writer_.addWavFile(piece);
      } else {
        asPlain.addPlainPiece(piece);
      }
    };
    if (options_.threads > 1) {
      runTasks(2, trial, TaskThreads(2));  // the two trials side by side
    } else {
      trial(0);
      trial(1);
    }
    if (!audioTakesIt || asPlain.writer().bytes().size() < asAudio.writer().bytes().size()) {
      addPlainPiece(piece);
      return;
    }
    writer_.adoptAudio(asAudio.writer_);
  }
  const bool added = writer_.addWavFile(piece);
  writer_.dropAdoptedAudio();
  if (!added) {
    addPlainPiece(piece);
    return;
  }
  if (endsTheData) openLongWav(piece, *audio::parseWav(piece));
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
  const bool contextMixing = levelPlan(options_.level).codec == CodecChoice::cm;
  const std::size_t sections = contextMixing ? cmSectionCount(piece.size(), cmSectionSize()) : 1;
  if (options_.threads > 1 && sections > 1) {
    addCmSectionsSideBySide(piece, sections);
    return;
  }
  forEachCmSection(piece, contextMixing, [&](std::span<const std::uint8_t> section) { addSurveyedPiece(section); });
}

// A block of a surveyed piece, with what the survey found. The codec is chosen when
// the block is made.
struct ArchiveMaker::Making::PlannedBlock {
  std::span<const std::uint8_t> bytes;
  std::size_t bytesAhead;
  DataKind kind;
  StageOptions stages;
};

std::vector<ArchiveMaker::Making::PlannedBlock> ArchiveMaker::Making::planBlocks(
    std::span<const std::uint8_t> piece) const {
  const LevelPlan plan = levelPlan(options_.level);
  const std::size_t blockSize = blockSizeFor(plan.codec == CodecChoice::cm);
  std::vector<PlannedBlock> blocks;
  for (const KindRun& run : absorbShortRuns(surveyRuns(piece), plan.shortestKindRun)) {
    const StageOptions stages = allowedStages(stagesFor(run.kind, plan), options_.stages);
    forEachBlock(piece.subspan(run.begin, run.end - run.begin), blockSize, Cut::even,
                 [&](std::span<const std::uint8_t> block) {
                   const auto ahead = static_cast<std::size_t>(piece.data() + piece.size() - block.data());
                   blocks.push_back({block, ahead, run.kind, stages});
                 });
  }
  return blocks;
}

void ArchiveMaker::Making::addSurveyedPiece(std::span<const std::uint8_t> piece) {
  const std::vector<PlannedBlock> blocks = planBlocks(piece);
  if (options_.threads > 1) {
    addPlannedBlocks(blocks);
    return;
  }
  const LevelPlan plan = levelPlan(options_.level);
  for (const PlannedBlock& block : blocks) {
    addBlock(block.bytes, block.bytesAhead, chooseCodec(block.bytes, block.kind, plan), block.stages);
  }
}

// Blocks made on several threads. Whatever reads only its own block is done ahead, on
// any thread: the choice of codec (a trial coding both ways), the post-stages (whose
// "when smaller" trials code the block alone), and the whole of a BWT block that reads
// no window. What reads the window or a model that earlier blocks left (LZ coding,
// history matches, context mixing) follows in archive order on the calling thread,
// while the next blocks are prepared.
void ArchiveMaker::Making::addPlannedBlocks(const std::vector<PlannedBlock>& blocks) {
  enum class Made : std::uint8_t { whole, staged, nothing };
  struct Prepared {
    FileCodec codec = FileCodec::stored;
    Made made = Made::nothing;
    PreparedBlock block;
  };
  const LevelPlan plan = levelPlan(options_.level);
  std::vector<Prepared> prepared(blocks.size());
  const auto prepare = [&](std::size_t k) {
    const PlannedBlock& planned = blocks[k];
    Prepared& out = prepared[k];
    out.codec = chooseCodec(planned.bytes, planned.kind, plan);
    const bool bwt = out.codec == FileCodec::bwt || out.codec == FileCodec::stored;
    if (bwt && planned.stages.historyMatches == StageUse::never) {
      out.block = ArchiveWriter::prepareBwtBlock(planned.bytes, planned.stages, out.codec == FileCodec::bwt);
      out.made = Made::whole;
    } else if (bwt || out.codec == FileCodec::lz) {
      out.block = ArchiveWriter::prepareStages(planned.bytes, planned.stages, out.codec == FileCodec::lz);
      out.made = Made::staged;
    }
  };
  const auto commit = [&](std::size_t k) {
    const PlannedBlock& planned = blocks[k];
    Prepared& made = prepared[k];
    if (made.made == Made::nothing) {
      addBlock(planned.bytes, planned.bytesAhead, made.codec, planned.stages);
      return;
    }
    startMemberIfFull(planned.bytes.size());
    leaveCmMode();
    if (made.made == Made::whole) {
      writer_.addPreparedBlock(made.block, planned.bytes);
    } else if (made.codec == FileCodec::lz) {
      writer_.addStagedLzBlock(std::move(made.block), planned.bytes);
    } else {
      writer_.addStagedBwtBlock(std::move(made.block), planned.bytes, planned.stages, made.codec == FileCodec::bwt);
    }
    made = {};
    if (options_.onCoded) options_.onCoded(planned.bytes.size());
  };
  runInOrder(blocks.size(), options_.threads, std::size_t{options_.threads} + 1, prepare, commit);
}

// Context-mixing sections of a piece, each made whole on any thread with a model of its
// own (a codec-parameter record starts each section with a fresh model, so nothing
// passes between them), and written in order. The last section's model stays with
// the writer, since a short piece after it may join that section. A member that has
// to start inside a section changes that section's model; from there the section is
// made again, in turn.
void ArchiveMaker::Making::addCmSectionsSideBySide(std::span<const std::uint8_t> data, std::size_t sections) {
  struct Section {
    std::span<const std::uint8_t> bytes;
    std::vector<PlannedBlock> blocks;
    std::unique_ptr<CmSectionMaker> model;
    std::vector<PreparedBlock> made;
  };
  std::vector<Section> all;
  forEachEqualPiece(data, sections, [&](std::span<const std::uint8_t> bytes) { all.push_back({bytes, {}, {}, {}}); });
  writer_.releaseCmModel();  // the first section's record starts a new model
  const auto prepare = [&](std::size_t k) {
    Section& section = all[k];
    section.blocks = planBlocks(section.bytes);
    const CmModelSize model = cmModelFor(section.bytes.size());
    section.model = std::make_unique<CmSectionMaker>(model.tableBitsA, model.tableBitsB,
                                                     historySizeCodeFor(section.bytes.size()));
    for (const PlannedBlock& block : section.blocks) {
      section.made.push_back(section.model->prepareBlock(block.bytes, block.stages));
    }
    if (k + 1 < all.size()) section.model->releaseModel();
  };
  const auto commit = [&](std::size_t k) {
    Section& section = all[k];
    writer_.addCmSection(*section.model, k + 1 == all.size());
    cmSectionBytes_ = 0;
    cmSectionRoom_ = section.bytes.size();
    for (std::size_t i = 0; i < section.blocks.size(); ++i) {
      const PlannedBlock& block = section.blocks[i];
      if (startMemberIfFull(block.bytes.size())) {
        for (std::size_t rest = i; rest < section.blocks.size(); ++rest) {
          const PlannedBlock& again = section.blocks[rest];
          addBlock(again.bytes, again.bytesAhead, FileCodec::cm, again.stages);
        }
        break;
      }
      cmSectionBytes_ += block.bytes.size();
      writer_.addPreparedBlock(section.made[i], block.bytes);
      if (options_.onCoded) options_.onCoded(block.bytes.size());
    }
    section = {};
  };
  runInOrder(all.size(), options_.threads, options_.threads, prepare, commit);
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

// A block that might not fit in the window goes to the next member, where the
// context-mixing section (if any) starts anew. True when a member started.
bool ArchiveMaker::Making::startMemberIfFull(std::size_t blockBytes) {
  if (!writer_.startMemberIfFull(blockBytes)) return false;
  cmSectionBytes_ = 0;
  return true;
}

void ArchiveMaker::Making::addBlock(std::span<const std::uint8_t> block, std::size_t bytesAhead, FileCodec codec,
                            const StageOptions& stages) {
  startMemberIfFull(block.size());
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
  // A later piece (after a WAV file, say) joins the section only where its model was
  // sized for it: else a model sized for a short piece would code a long one.
  const bool sectionFull = cmSectionBytes_ != 0 && cmSectionBytes_ + blockBytes > std::min(sectionSize, cmSectionRoom_);
  if (!writer_.cmMode() || sectionFull) startCmSection(std::min(sectionSize, std::max(bytesAhead, blockBytes)));
  cmSectionBytes_ += blockBytes;
}

CmModelSize ArchiveMaker::Making::cmModelFor(std::size_t sectionInput) const {
  const CmModelSize model = levelPlan(options_.level).cm;
  const std::uint32_t inputBits = bitsFor(sectionInput);
  // A level asking for less than the least still gets the least (and clamp its bounds in order).
  const std::uint32_t mostBitsA = std::max(model.tableBitsA, kLeastTableBitsA);
  const std::uint32_t mostBitsB = std::max(model.tableBitsB, kLeastTableBitsB);
  CmModelSize sized;
  sized.tableBitsA = std::clamp(inputBits + 2, kLeastTableBitsA, mostBitsA);
  sized.tableBitsB = std::clamp(inputBits, kLeastTableBitsB, mostBitsB);
  sized.sectionSize = sectionInput;
  return sized;
}

void ArchiveMaker::Making::startCmSection(std::size_t sectionInput) {
  const CmModelSize model = cmModelFor(sectionInput);
  writer_.addCmParams(model.tableBitsA, model.tableBitsB, historySizeCodeFor(sectionInput));
  cmSectionBytes_ = 0;
  cmSectionRoom_ = sectionInput;
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
void ArchiveMaker::continueFile(std::span<const std::uint8_t> data) { making_->continueFile(data); }
std::size_t ArchiveMaker::wavHeaderCutAt(std::span<const std::uint8_t> data) { return quorvex::wavHeaderCutAt(data); }
const std::vector<std::uint8_t>& ArchiveMaker::bytes() const { return making_->writer().bytes(); }
std::vector<std::uint8_t> ArchiveMaker::takeWritten() { return making_->writer().takeWritten(); }
std::uint64_t ArchiveMaker::size() const { return making_->writer().size(); }

}  // namespace quorvex
