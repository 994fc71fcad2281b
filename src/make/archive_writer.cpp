#include "quorvex/archive_writer.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <string_view>

#include "codecs/audio/audio_encoder.hpp"
#include "codecs/audio/wav_file.hpp"
#include "codecs/bwt/bwt_payload.hpp"
#include "codecs/bwt/bwt_transform.hpp"
#include "codecs/bwt/history_matches.hpp"
#include "codecs/bwt/local_matches.hpp"
#include "codecs/cm/cm_codec.hpp"
#include "codecs/lz/lz_codec.hpp"
#include "format/block_descriptor.hpp"
#include "format/codec_params.hpp"
#include "format/buffer_sizes.hpp"
#include "format/integrity.hpp"
#include "format/member_record.hpp"
#include "format/record_stream.hpp"
#include "make/lz_trial.hpp"
#include "stages/branch_targets.hpp"
#include "text/text_pipeline.hpp"
#include "stages/strided_delta.hpp"
#include "stages/word_runs.hpp"

namespace quorvex {

namespace {

lz::LzEncoderSettings lzSettingsFor(const LzEffort& effort, bool searchAhead) {
  lz::LzEncoderSettings settings;
  settings.chainSteps = effort.treeSteps;
  settings.niceLength = effort.niceLength;
  settings.literalSurcharge = effort.literalSurcharge;
  settings.searchAhead = searchAhead;
  settings.bucketSlots = effort.bucketSlots;
  return settings;
}

audio::AudioEffort audioEffortFor(AudioSearch search) {
  switch (search) {
    case AudioSearch::fast:
      return audio::AudioEffort::fast;
    case AudioSearch::medium:
      return audio::AudioEffort::medium;
    case AudioSearch::thorough:
      break;
  }
  return audio::AudioEffort::thorough;
}

}  // namespace

struct ArchiveWriter::Encoders {
  Encoders(const LzEffort& effort, bool lzSearchAhead) : lz(lzSettingsFor(effort, lzSearchAhead)) {}
  lz::LzEncoder lz;
  cm::CmEncoderPtr cm;
  std::unique_ptr<audio::AudioEncoder> audio;
};

namespace {

void putU32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>(value >> shift));
}

void putLeb128(std::vector<std::uint8_t>& out, std::uint32_t value) {
  while (value >= 0x80) {
    out.push_back(static_cast<std::uint8_t>(value | 0x80u));
    value >>= 7;
  }
  out.push_back(static_cast<std::uint8_t>(value));
}

void putBytes(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> bytes) {
  out.insert(out.end(), bytes.begin(), bytes.end());
}

// The bijective base-128 head number: each continuation byte stores one less than
// its group, so that every number has exactly one encoding.
void putHeadNumber(std::vector<std::uint8_t>& out, std::uint32_t number) {
  std::uint32_t rest = number >> 7;
  std::uint8_t byte = static_cast<std::uint8_t>(number & 0x7Fu);
  while (rest != 0) {
    out.push_back(static_cast<std::uint8_t>(byte | 0x80u));
    byte = static_cast<std::uint8_t>((rest - 1) & 0x7Fu);
    rest = (rest - 1) >> 7;
  }
  out.push_back(byte);
}

// A record head: count and type, with the escape forms for types 15..30 and for a
// type with a high part (extension).
void putRecordHead(std::vector<std::uint8_t>& out, std::uint32_t type, std::uint32_t count, std::uint32_t extension) {
  if (type < 15 && extension == 0) {
    putHeadNumber(out, (count << 4) | type);
    return;
  }
  putHeadNumber(out, (count << 4) | 15u);
  if (extension == 0) {
    out.push_back(static_cast<std::uint8_t>(type - 15));
  } else {
    const std::uint32_t tag = (extension << 4) | (type & 15u);
    if (tag <= 247) {
      out.push_back(static_cast<std::uint8_t>(tag));
    } else {
      out.push_back(static_cast<std::uint8_t>(248u + ((tag - 248u) & 7u)));
      out.push_back(static_cast<std::uint8_t>((tag - 248u) >> 3));
    }
  }
}

void putStage(std::vector<std::uint8_t>& out, const std::optional<std::vector<std::uint8_t>>& stage) {
  out.push_back(stage ? 1 : 0);
  if (stage) {
    putU32(out, static_cast<std::uint32_t>(stage->size()));
    putBytes(out, *stage);
  }
}

void putDescriptor(std::vector<std::uint8_t>& out, const BlockFields& block, bool cmMode) {
  putU32(out, static_cast<std::uint32_t>(block.payload.size()));
  putBytes(out, block.payload);
  out.push_back(block.codecKind);
  const auto kind = static_cast<CodecKind>(block.codecKind);
  if (kind == CodecKind::audio || kind == CodecKind::cmWithoutTrailer) {
    if (kind == CodecKind::audio) out.push_back(block.audioReset);
    putU32(out, block.unpackedSize);
    return;
  }
  out.push_back(block.sizePresent);
  if (block.sizePresent) putU32(out, block.unpackedSize);
  out.push_back(static_cast<std::uint8_t>(block.reserved.size()));
  putBytes(out, block.reserved);
  if (!cmMode && kind == CodecKind::bwt) {
    if (block.sizePresent) out.push_back(block.bwtSpareByte);
    putU32(out, block.bwtPrimaryIndex);
    putStage(out, block.bwtStageAData);
    putStage(out, block.bwtStageBData);
  }
  putStage(out, block.wordRunData);
  putStage(out, block.deltaData);
  out.push_back(block.spareByte);
  out.push_back(block.textTransformBits ? 1 : 0);
  if (block.textTransformBits) {
    const std::uint8_t bits = *block.textTransformBits;
    out.push_back(bits);
    if (bits & kLineBreakBit) {
      putLeb128(out, static_cast<std::uint32_t>(block.lineBreakData.size()));
      putBytes(out, block.lineBreakData);
    }
    if (bits & kNumericBit) {
      putLeb128(out, static_cast<std::uint32_t>(block.numericData.size()));
      putBytes(out, block.numericData);
    }
  }
  putStage(out, block.branchTargetData);
}

// A quick guess at what a codec makes of bytes: their order-1 entropy, in bits. Enough
// to tell whether a stage that reshapes x86 code pays for its side data.
double orderOneBits(std::span<const std::uint8_t> bytes) {
  std::vector<std::uint32_t> counts(256 * 256, 0);
  std::vector<std::uint32_t> totals(256, 0);
  std::uint32_t context = 0;
  for (const std::uint8_t byte : bytes) {
    ++counts[context * 256 + byte];
    ++totals[context];
    context = byte;
  }
  double bits = 0;
  for (std::uint32_t c = 0; c < 256; ++c) {
    if (totals[c] == 0) continue;
    const double total = totals[c];
    for (std::uint32_t b = 0; b < 256; ++b) {
      const double count = counts[c * 256 + b];
      if (count > 0) bits += count * std::log2(total / count);
    }
  }
  return bits;
}

// Branch targets, the first forward step (the decoder restores them last). With
// whenSmaller the conversion is kept when its bytes plus side data look cheaper.
void applyBranchTargets(std::vector<std::uint8_t>& data, StageUse use, BlockFields& block) {
  if (use == StageUse::never || data.empty()) return;
  const auto stage = std::make_unique<stages::BranchTargetStage>();
  stages::ConvertedBranches converted = stage->convert(data);
  if (use == StageUse::whenSmaller) {
    if (converted.convertedOperands == 0) return;
    const double before = orderOneBits(data);
    const double after = orderOneBits(converted.bytes) + 8.0 * static_cast<double>(converted.sideData.size());
    if (after >= before) return;
  }
  data = std::move(converted.bytes);
  block.branchTargetData = std::move(converted.sideData);
}

// Text transforms: every transform the pipeline has, each kept when asked for always or
// when it pays for this text (remapping only outside context mixing).
void applyForwardTextTransforms(std::vector<std::uint8_t>& data, StageUse use, bool cmBlock, BlockFields& block) {
  if (use == StageUse::never) return;
  constexpr std::uint8_t kAllTransforms = text::kNumericTokensBit | text::kWordDictionaryBit | text::kMarkupTagsBit |
                                          text::kLineBreaksBit | text::kLinePrefixesBit | text::kLineEndingsBit;
  // Context mixing predicts digits from their own contexts better than the numeric
  // model does (html grows by 1% with it), and it predicts a line's repeated start from
  // the line before better than the line-prefix codes do (8 MB of C++ headers grow by
  // 1.5% with them, a 60 MB tar of them by 0.4%, plain prose not at all): there both
  // are used only when forced.
  const bool optional = use == StageUse::whenSmaller;
  constexpr std::uint8_t kCmTransforms = kAllTransforms & ~(text::kNumericTokensBit | text::kLinePrefixesBit);
  const std::uint8_t wanted = optional && cmBlock ? kCmTransforms : kAllTransforms;
  text::ForwardText forward = text::encodeTextTransforms(data, wanted, !cmBlock, optional);
  if (forward.bits == 0 && optional) return;
  block.textTransformBits = forward.bits;
  block.lineBreakData = std::move(forward.lineBreakData);
  block.numericData = std::move(forward.numericData);
  data = std::move(forward.text);
}

// The yardstick by which a stage used "when smaller" is judged: the block coded alone
// by its own codec (by a fresh LZ model with a light search for LZ blocks, by the BWT
// codec otherwise).
std::size_t codedSize(std::span<const std::uint8_t> bytes, CodecKind codec) {
  if (codec == CodecKind::lz) return lzStageTrialSize(bytes);
  return bwtTrialSize(bytes);
}

// What a stage's side data adds to the descriptor besides its bytes: its length field.
constexpr std::size_t kSideDataOverhead = 4;

// Whether a stage that turned before into after (with side bytes of side data) is kept.
// codedBefore caches the coded size of the bytes the next stage starts from (0: not yet
// known): before's, or after's once the stage is kept. Each trial codes a whole block,
// and the stages run one after another on the same bytes, so each size is coded once.
bool stagePays(StageUse use, std::span<const std::uint8_t> before, std::span<const std::uint8_t> after,
               std::size_t side, std::size_t& codedBefore, CodecKind codec) {
  if (use == StageUse::always) {
    codedBefore = 0;
    return true;
  }
  if (use == StageUse::never) return false;
  if (codedBefore == 0) codedBefore = codedSize(before, codec);
  const std::size_t codedAfter = codedSize(after, codec);
  const std::size_t afterSize = codedAfter + side + kSideDataOverhead;
  // A fresh LZ model only roughly foretells the real one, which has learnt from earlier
  // blocks and may copy from them: there a stage must win clearly.
  const bool pays = codec == CodecKind::lz ? afterSize + codedBefore / 32 < codedBefore : afterSize < codedBefore;
  if (pays) codedBefore = codedAfter;
  return pays;
}

// The strided delta stage's forward direction (its inverse runs only on blocks of 264
// bytes and more).
std::vector<std::uint8_t> forwardDelta(std::vector<std::uint8_t> bytes, StageUse use, BlockFields& block,
                                       std::size_t& codedBefore) {
  if (use == StageUse::never || bytes.size() < stages::kDeltaMinBlock) return bytes;
  const std::vector<stages::StrideRun> runs = stages::findDeltaRegions(bytes);
  if (runs.empty() && use != StageUse::always) return bytes;
  stages::DeltaCoded coded = stages::encodeDeltaRegions(bytes, runs);
  const auto codec = static_cast<CodecKind>(block.codecKind);
  if (!stagePays(use, bytes, coded.bytes, coded.side.size(), codedBefore, codec)) return bytes;
  block.deltaData = std::move(coded.side);
  return std::move(coded.bytes);
}

std::vector<std::uint8_t> forwardWordRuns(std::vector<std::uint8_t> bytes, StageUse use, BlockFields& block,
                                          std::size_t& codedBefore) {
  if (use == StageUse::never) return bytes;
  stages::ShortenedWords shortened = stages::shortenWordRuns(bytes);
  if (shortened.runs == 0 && use != StageUse::always) return bytes;
  const auto codec = static_cast<CodecKind>(block.codecKind);
  if (!stagePays(use, bytes, shortened.bytes, shortened.side.size(), codedBefore, codec)) return bytes;
  block.wordRunData = std::move(shortened.side);
  return std::move(shortened.bytes);
}

// The forward post-stages, in the reverse of the order the decoder runs their inverses
// (branch targets, text transforms, strided delta, word runs). Each one that is used
// sets its flag and side data in block; the result is what the codec codes, and what
// the decoder's history window will hold. block.codecKind names that codec (stages
// used "when smaller" are judged by it).
std::vector<std::uint8_t> applyForwardStages(std::span<const std::uint8_t> data, const StageOptions& stages,
                                             bool cmBlock, BlockFields& block) {
  std::vector<std::uint8_t> bytes(data.begin(), data.end());
  applyBranchTargets(bytes, stages.branchTargets, block);
  applyForwardTextTransforms(bytes, stages.textTransforms, cmBlock, block);
  std::size_t codedBefore = 0;  // delta's trial of the bytes it keeps serves word runs too
  bytes = forwardDelta(std::move(bytes), stages.delta, block, codedBefore);
  bytes = forwardWordRuns(std::move(bytes), stages.wordRuns, block, codedBefore);
  return bytes;
}

// Moves the generic post-stages' flags and side data into a block made apart from them.
void takeStageFields(BlockFields& block, BlockFields&& stages) {
  block.wordRunData = std::move(stages.wordRunData);
  block.deltaData = std::move(stages.deltaData);
  block.textTransformBits = stages.textTransformBits;
  block.lineBreakData = std::move(stages.lineBreakData);
  block.numericData = std::move(stages.numericData);
  block.branchTargetData = std::move(stages.branchTargetData);
}

// The BWT-only match stages' forward directions. The decoder expands in-block matches
// first and history matches second, so history matches are taken out first. Matches
// shorter than these rarely pay: the transform codes short repeats almost for free.
constexpr std::uint32_t kLocalMatchMinLength = 20;
constexpr std::uint32_t kHistoryMatchMinLength = 16;

std::vector<std::uint8_t> forwardMatchStages(std::span<const std::uint8_t> data, bool entropyCoded,
                                             const StageOptions& stages, std::span<const std::uint8_t> history,
                                             std::uint64_t historyStart, BlockFields& block) {
  std::vector<std::uint8_t> bytes(data.begin(), data.end());
  std::size_t codedBefore = 0;
  const auto keep = [&](StageUse use, const bwt::ShortenedBlock& shortened) {
    if (use == StageUse::always) return true;
    if (shortened.matches == 0) return false;
    if (!entropyCoded) return shortened.bytes.size() + shortened.side.size() < bytes.size();
    return stagePays(use, bytes, shortened.bytes, shortened.side.size(), codedBefore, CodecKind::bwt);
  };
  if (stages.historyMatches != StageUse::never) {
    bwt::ShortenedBlock shortened = bwt::findHistoryMatches(bytes, history, kHistoryMatchMinLength, historyStart);
    if (keep(stages.historyMatches, shortened)) {
      bytes = std::move(shortened.bytes);
      block.bwtStageBData = std::move(shortened.side);
    }
  }
  if (stages.localMatches != StageUse::never) {
    bwt::ShortenedBlock shortened = bwt::findLocalMatches(bytes, kLocalMatchMinLength);
    if (keep(stages.localMatches, shortened)) {
      bytes = std::move(shortened.bytes);
      block.bwtStageAData = std::move(shortened.side);
    }
  }
  return bytes;
}

// A BWT block of data: the transformed bytes stored as they are, or entropy-coded.
// history: the window before this block (from its offset historyStart), for the
// history match stage.
BlockFields bwtBlockFields(std::span<const std::uint8_t> data, bool entropyCoded, const StageOptions& stages,
                           std::span<const std::uint8_t> history, std::uint64_t historyStart) {
  BlockFields block;
  const std::vector<std::uint8_t> matched =
      forwardMatchStages(data, entropyCoded, stages, history, historyStart, block);
  bwt::ForwardBwt transform = bwt::forwardBwt(matched);
  block.codecKind = static_cast<std::uint8_t>(CodecKind::bwt);
  block.sizePresent = entropyCoded ? 1 : 0;
  block.unpackedSize = entropyCoded ? static_cast<std::uint32_t>(matched.size()) : 0;
  block.bwtPrimaryIndex = transform.primaryIndex;
  block.payload = entropyCoded ? bwt::encodeBwtPayload(transform.transformed) : std::move(transform.transformed);
  return block;
}

std::span<const std::uint8_t> asBytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace

ArchiveWriter::ArchiveWriter(const WriterOptions& options)
    : output_(std::make_unique<OutputHash>()),
      memberWindow_(options.memberWindow != 0 ? options.memberWindow : kHistoryWindowSize),
      unreadWindowMember_(options.unreadWindowMember),
      keptHistory_(options.keptHistory != 0 ? options.keptHistory : kHistoryWindowSize),
      lzEffort_(options.lzEffort),
      audioSearch_(options.audioSearch),
      lzSearchAhead_(options.threads > 1) {
  addRecord(static_cast<std::uint32_t>(RecordType::signature), asBytes(kSignatureText));
  const std::uint8_t version[] = {kFormatVersion};
  addRecord(static_cast<std::uint32_t>(RecordType::version), version);
  if (options.integrityChecks) checks_ = Checks::pending;
}

void ArchiveWriter::putIntegrityRecord(std::uint8_t kind) {
  const std::vector<std::uint8_t> payload = integrityRecordPayload(static_cast<IntegrityKind>(kind), *output_);
  closingAt_ = bytes_.size();
  putRecordHead(bytes_, kIntegrityRecordType, static_cast<std::uint32_t>(payload.size()), 0);
  closingKindAt_ = bytes_.size() + kIntegrityMagic.size();
  putBytes(bytes_, payload);
}

void ArchiveWriter::beginChecked() {
  if (checks_ == Checks::pending) {
    putIntegrityRecord(static_cast<std::uint8_t>(IntegrityKind::opening));
    checks_ = Checks::open;
  } else if (checks_ == Checks::open) {
    bytes_[closingKindAt_] = static_cast<std::uint8_t>(IntegrityKind::check);
  }
}

void ArchiveWriter::endChecked(std::span<const std::uint8_t> output) {
  if (checks_ != Checks::open) return;
  output_->update(output);
  putIntegrityRecord(static_cast<std::uint8_t>(IntegrityKind::closing));
}

ArchiveWriter::~ArchiveWriter() = default;

// The LZ and context-mixing encoders carry large models; most archives need neither.
ArchiveWriter::Encoders& ArchiveWriter::encoders() {
  if (!encoders_) encoders_ = std::make_unique<Encoders>(lzEffort_, lzSearchAhead_);
  return *encoders_;
}

// A record of any type: it adds nothing to the output, so checks that run stay closed
// after it, and checks not yet begun wait for a record the writer makes itself.
void ArchiveWriter::addRecord(std::uint32_t type, std::span<const std::uint8_t> payload, std::uint32_t extension) {
  if (checks_ == Checks::open) bytes_[closingKindAt_] = static_cast<std::uint8_t>(IntegrityKind::check);
  putRecordHead(bytes_, type, static_cast<std::uint32_t>(payload.size()), extension);
  putBytes(bytes_, payload);
  endChecked({});
}

void ArchiveWriter::addCodecParams(const CodecParamBytes& params) {
  beginChecked();
  const std::uint8_t all[] = {params.codecId, params.historySizeCode, params.secondSizeCode, params.tableBits};
  const std::uint32_t count = params.count < 4 ? params.count : 4;
  putRecordHead(bytes_, static_cast<std::uint32_t>(RecordType::codecParams), count, 0);
  putBytes(bytes_, std::span<const std::uint8_t>(all, count));
  cmMode_ = count > 0 && params.codecId == kCmCodecId;
  endChecked({});
}

void ArchiveWriter::addBlock(const BlockFields& block, std::span<const std::uint8_t> windowBytes) {
  // The closing record, if any, stays where it is: the checks end before this block.
  checks_ = checks_ == Checks::open ? Checks::closed : Checks::off;
  putBlock(block, windowBytes);
}

void ArchiveWriter::putBlock(const BlockFields& block, std::span<const std::uint8_t> windowBytes) {
  putRecordHead(bytes_, static_cast<std::uint32_t>(RecordType::block), 0, 0);
  putDescriptor(bytes_, block, cmMode_);
  growWindow(windowBytes);
  // The decoder resets its audio model at every other block; so does the encoder.
  if (block.codecKind != static_cast<std::uint8_t>(CodecKind::audio) && encoders_ && encoders_->audio) {
    encoders_->audio->reset();
  }
}

// Audio blocks coded in one writer for another: each with what it was coded from, and
// the encoder as the last one left it.
struct ArchiveWriter::CodedAudio {
  struct Block {
    const std::uint8_t* data;
    std::size_t size;
    audio::AudioBlockFormat format;
    bool reset;
    std::vector<std::uint8_t> payload;
  };
  std::vector<Block> blocks;
  std::unique_ptr<audio::AudioEncoder> after;
};

void ArchiveWriter::lendAudioState(ArchiveWriter& trial) {
  Encoders& theirs = trial.encoders();
  theirs.audio = encoders_ && encoders_->audio ? encoders_->audio->clone() : nullptr;
  trial.keptAudio_ = std::make_unique<CodedAudio>();
}

void ArchiveWriter::adoptAudio(ArchiveWriter& trial) {
  adoptedAudio_ = std::move(trial.keptAudio_);
  if (!adoptedAudio_) return;
  if (trial.encoders_) adoptedAudio_->after = std::move(trial.encoders_->audio);
  if (!adoptedAudio_->after || adoptedAudio_->blocks.empty()) adoptedAudio_.reset();
}

void ArchiveWriter::dropAdoptedAudio() { adoptedAudio_.reset(); }

bool ArchiveWriter::addAudioBlock(std::span<const std::uint8_t> data, std::uint32_t channels, std::uint32_t sampleWidth,
                                  bool littleEndian, std::uint32_t headerBytes, bool reset) {
  if (data.size() > 0xFFFFFFFFu) return false;
  Encoders& all = encoders();
  audio::AudioBlockFormat format;
  format.channels = channels;
  format.sampleWidth = sampleWidth;
  format.littleEndian = littleEndian;
  format.unsignedSamples = sampleWidth == 1;
  format.headerBytes = headerBytes;
  BlockFields block;
  block.codecKind = static_cast<std::uint8_t>(CodecKind::audio);
  block.audioReset = reset ? 1 : 0;
  block.unpackedSize = static_cast<std::uint32_t>(data.size());
  const auto sameBlock = [&](const CodedAudio::Block& coded) {
    return coded.data == data.data() && coded.size == data.size() && coded.reset == reset &&
           coded.format.channels == channels && coded.format.sampleWidth == sampleWidth &&
           coded.format.littleEndian == littleEndian && coded.format.headerBytes == headerBytes;
  };
  if (adoptedAudio_ && sameBlock(adoptedAudio_->blocks.front())) {
    // Coded on trial from this writer's state: the same payload, and the state it leaves.
    block.payload = std::move(adoptedAudio_->blocks.front().payload);
    adoptedAudio_->blocks.erase(adoptedAudio_->blocks.begin());
    if (adoptedAudio_->blocks.empty()) {
      all.audio = std::move(adoptedAudio_->after);
      adoptedAudio_.reset();
    }
  } else {
    adoptedAudio_.reset();
    if (!all.audio) all.audio = std::make_unique<audio::AudioEncoder>(audioEffortFor(audioSearch_));
    if (reset) all.audio->reset();
    block.payload = all.audio->encodeBlock(data, format);
    if (block.payload.empty() && !data.empty()) return false;
  }
  beginChecked();
  putBlock(block, {});
  endChecked(data);
  if (keptAudio_) keptAudio_->blocks.push_back({data.data(), data.size(), format, reset, std::move(block.payload)});
  return true;
}

// Bytes that are not samples, in a block the current mode decodes as they are.
void ArchiveWriter::addRawBlock(std::span<const std::uint8_t> data) {
  constexpr std::size_t kRawBlockSize = std::size_t{1} << 24;
  for (std::size_t offset = 0; offset < data.size(); offset += kRawBlockSize) {
    const auto part = data.subspan(offset, std::min(kRawBlockSize, data.size() - offset));
    startMemberIfFull(part.size());  // a new member starts outside context mixing
    if (cmMode_) {
      addCmBlock(part);
    } else {
      addStoredBwtBlock(part);
    }
  }
}

bool ArchiveWriter::addWavFile(std::span<const std::uint8_t> file) {
  const std::optional<audio::WavLayout> wav = audio::parseWav(file);
  if (!wav || wav->dataEnd - wav->dataBegin > 0xFFFFFFFFu - audio::kLongestPrefix) return false;
  const bool headerInBlock = wav->dataBegin <= audio::kLongestPrefix;
  const std::size_t blockBegin = headerInBlock ? 0 : wav->dataBegin;
  const auto samples = file.subspan(blockBegin, wav->dataEnd - blockBegin);
  if (!headerInBlock) addRawBlock(file.first(wav->dataBegin));
  addWavSamples(samples, wav->channels, wav->sampleWidth, static_cast<std::uint32_t>(wav->dataBegin - blockBegin));
  if (wav->dataEnd < file.size()) addRawBlock(file.subspan(wav->dataEnd));
  return true;
}

void ArchiveWriter::addWavSamples(std::span<const std::uint8_t> samples, std::uint32_t channels,
                                  std::uint32_t sampleWidth, std::uint32_t headerBytes) {
  // Audio the encoder cannot code (a class stream too long for its length field) is
  // stored as it is.
  if (!addAudioBlock(samples, channels, sampleWidth, true, headerBytes)) addRawBlock(samples);
}

void ArchiveWriter::startMember() {
  // Every decoder leaves context-mixing mode here, so that all parse the barrier alike.
  if (cmMode_) addCodecParams({0, 0, 0, 0, 0});
  beginChecked();
  ++members_;
  const std::vector<std::uint8_t> payload = memberRecordPayload(members_ - 1);
  putRecordHead(bytes_, kMemberRecordType, static_cast<std::uint32_t>(payload.size()), 0);
  putBytes(bytes_, payload);
  BlockFields barrier;  // a BWT block of no bytes: it decodes to nothing and so fails
  barrier.codecKind = static_cast<std::uint8_t>(CodecKind::bwt);
  barrier.sizePresent = 0;
  putRecordHead(bytes_, static_cast<std::uint32_t>(RecordType::block), 0, 0);
  putDescriptor(bytes_, barrier, false);
  windowSize_ = 0;
  encoders_.reset();  // fresh LZ, context-mixing and audio models, and an empty window
  endChecked({});
}

namespace {

// The room a block made from inputBytes may need at the window's cursor: its stages may
// grow it a little (a quarter and 4 KiB is more than any does), and a BWT block is
// inverted in place with a link table after it.
std::uint64_t roomForBlock(std::size_t inputBytes) {
  const std::uint64_t grown = std::uint64_t{inputBytes} + inputBytes / 4 + 4096;
  return bwt::inverseBwtRoom(static_cast<std::uint32_t>(std::min<std::uint64_t>(grown, kWorkBufferSize)));
}

}  // namespace

bool ArchiveWriter::startMemberIfFull(std::size_t inputBytes) {
  if (windowSize_ == 0 || windowSize_ + roomForBlock(inputBytes) <= memberWindow_) return false;
  startMember();
  return true;
}

void ArchiveWriter::growWindow(std::span<const std::uint8_t> bytes) {
  windowSize_ += bytes.size();
  if (!windowKept_) return;
  lz::LzEncoder& lz = encoders().lz;
  lz.appendToWindow(bytes);
  const std::size_t held = lz.window().size();
  if (held > keptHistory_ + keptHistory_ / 4) lz.dropOldest(held - keptHistory_);
}

std::span<const std::uint8_t> ArchiveWriter::window() const {
  return encoders_ ? encoders_->lz.window() : std::span<const std::uint8_t>{};
}

std::uint64_t ArchiveWriter::windowStart() const { return encoders_ ? encoders_->lz.windowStart() : 0; }

void ArchiveWriter::keepWindowOnlyWhenRead() {
  windowKept_ = false;
  if (encoders_) encoders_->lz.clear();
}

void ArchiveWriter::needWindow() {
  if (windowKept_) return;
  if (windowSize_ != 0) startMember();
  windowKept_ = true;
}

std::vector<std::uint8_t> ArchiveWriter::takeWritten() {
  const std::size_t final = checks_ == Checks::open ? closingAt_ : bytes_.size();
  std::vector<std::uint8_t> written(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(final));
  bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(final));
  closingAt_ -= std::min(closingAt_, final);
  closingKindAt_ -= std::min(closingKindAt_, final);
  taken_ += final;
  return written;
}

void ArchiveWriter::addStoredBwtBlock(std::span<const std::uint8_t> data, const StageOptions& stages) {
  addForwardBwtBlock(data, stages, false);
}

void ArchiveWriter::addBwtBlock(std::span<const std::uint8_t> data, const StageOptions& stages) {
  addForwardBwtBlock(data, stages, true);
}

void ArchiveWriter::addForwardBwtBlock(std::span<const std::uint8_t> data, const StageOptions& stages, bool entropyCoded) {
  addStagedBwtBlock(prepareStages(data, stages, false), data, stages, entropyCoded);
}

PreparedBlock ArchiveWriter::prepareStages(std::span<const std::uint8_t> data, const StageOptions& stages, bool forLz) {
  PreparedBlock staged;
  staged.fields.codecKind = static_cast<std::uint8_t>(forLz ? CodecKind::lz : CodecKind::bwt);
  staged.windowBytes = applyForwardStages(data, stages, false, staged.fields);
  return staged;
}

void ArchiveWriter::addStagedBwtBlock(PreparedBlock&& staged, std::span<const std::uint8_t> data,
                                      const StageOptions& stages, bool entropyCoded) {
  startMemberIfFull(data.size());
  if (stages.historyMatches != StageUse::never) needWindow();
  BlockFields block = bwtBlockFields(staged.windowBytes, entropyCoded, stages, window(), windowStart());
  takeStageFields(block, std::move(staged.fields));
  beginChecked();
  putBlock(block, staged.windowBytes);
  endChecked(data);
}

PreparedBlock ArchiveWriter::prepareBwtBlock(std::span<const std::uint8_t> data, const StageOptions& stages,
                                             bool entropyCoded) {
  PreparedBlock prepared;
  BlockFields stageFields;
  prepared.windowBytes = applyForwardStages(data, stages, false, stageFields);
  prepared.fields = bwtBlockFields(prepared.windowBytes, entropyCoded, stages, {}, 0);
  takeStageFields(prepared.fields, std::move(stageFields));
  return prepared;
}

void ArchiveWriter::addPreparedBlock(const PreparedBlock& block, std::span<const std::uint8_t> data) {
  startMemberIfFull(data.size());
  beginChecked();
  putBlock(block.fields, block.windowBytes);
  endChecked(data);
}

void ArchiveWriter::addLzBlock(std::span<const std::uint8_t> input, const StageOptions& stages) {
  addStagedLzBlock(prepareStages(input, stages, true), input);
}

void ArchiveWriter::addStagedLzBlock(PreparedBlock&& staged, std::span<const std::uint8_t> input) {
  startMemberIfFull(input.size());
  needWindow();
  BlockFields& block = staged.fields;
  const std::vector<std::uint8_t>& data = staged.windowBytes;
  lz::LzEncoder& lz = encoders().lz;
  const std::size_t blockOffset = lz.window().size();
  lz.appendToWindow(data);
  block.sizePresent = 1;
  block.unpackedSize = static_cast<std::uint32_t>(data.size());
  block.payload = lz.encodeBlock(blockOffset);
  lz.truncateWindow(blockOffset);  // putBlock adds the block's bytes, as it does every block's
  beginChecked();
  putBlock(block, data);
  endChecked(input);
}

namespace {

CodecParamBytes cmParams(std::uint32_t tableBitsA, std::uint32_t tableBitsB, std::uint8_t historySizeCode) {
  CodecParamBytes params;
  params.codecId = kCmCodecId;
  params.historySizeCode = historySizeCode;
  params.tableBits = static_cast<std::uint8_t>(((tableBitsA - 20) << 4) | ((tableBitsB - 18) & 15u));
  return params;
}

}  // namespace

void ArchiveWriter::startMemberIfWindowUnread() {
  if (!windowKept_ && unreadWindowMember_ != 0 && windowSize_ >= unreadWindowMember_) startMember();
}

void ArchiveWriter::addCmParams(std::uint32_t tableBitsA, std::uint32_t tableBitsB, std::uint8_t historySizeCode) {
  startMemberIfWindowUnread();
  addCodecParams(cmParams(tableBitsA, tableBitsB, historySizeCode));
  encoders().cm.reset();
  encoders().cm = cm::createCmEncoder(tableBitsA, tableBitsB, decodeSizeCode(historySizeCode));
}

namespace {

// A context-mixing block: its fields, and the bytes it leaves in the window. Without a
// model the payload stays empty.
PreparedBlock cmBlock(cm::CmEncoder* model, std::span<const std::uint8_t> input, bool resetAdaptation,
                      const StageOptions& stages) {
  PreparedBlock prepared;
  BlockFields& block = prepared.fields;
  prepared.windowBytes = applyForwardStages(input, stages, true, block);
  const std::vector<std::uint8_t>& data = prepared.windowBytes;
  // Kind 3 ends its descriptor at its size: it has no post-stage fields. A block with
  // post-stages and no reset is written as kind 0, in context-mixing mode a plain CM block.
  const bool hasStages = block.wordRunData || block.deltaData || block.textTransformBits || block.branchTargetData;
  const CodecKind plainKind = hasStages ? CodecKind::bwt : CodecKind::cmWithoutTrailer;
  block.codecKind = static_cast<std::uint8_t>(resetAdaptation ? CodecKind::lz : plainKind);
  block.sizePresent = 1;
  block.unpackedSize = static_cast<std::uint32_t>(data.size());
  if (model) {
    if (resetAdaptation) cm::resetCmAdaptation(*model);
    block.payload = cm::encodeCmBlock(*model, data);
  }
  return prepared;
}

}  // namespace

void ArchiveWriter::addCmBlock(std::span<const std::uint8_t> input, bool resetAdaptation, const StageOptions& stages) {
  const PreparedBlock block = cmBlock(encoders().cm.get(), input, resetAdaptation, stages);
  beginChecked();
  putBlock(block.fields, block.windowBytes);
  endChecked(input);
}

struct CmSectionMaker::Model {
  cm::CmEncoderPtr encoder;
};

CmSectionMaker::CmSectionMaker(std::uint32_t tableBitsA, std::uint32_t tableBitsB, std::uint8_t historySizeCode)
    : tableBitsA_(tableBitsA), tableBitsB_(tableBitsB), historySizeCode_(historySizeCode), model_(std::make_unique<Model>()) {
  model_->encoder = cm::createCmEncoder(tableBitsA, tableBitsB, decodeSizeCode(historySizeCode));
}

CmSectionMaker::~CmSectionMaker() = default;

PreparedBlock CmSectionMaker::prepareBlock(std::span<const std::uint8_t> data, const StageOptions& stages) {
  return cmBlock(model_->encoder.get(), data, false, stages);
}

void CmSectionMaker::releaseModel() { model_->encoder.reset(); }

void ArchiveWriter::releaseCmModel() {
  if (encoders_) encoders_->cm.reset();
}

void ArchiveWriter::addCmSection(CmSectionMaker& section, bool takeModel) {
  startMemberIfWindowUnread();
  encoders().cm.reset();
  addCodecParams(cmParams(section.tableBitsA_, section.tableBitsB_, section.historySizeCode_));
  if (takeModel) encoders().cm = std::move(section.model_->encoder);
}

}  // namespace quorvex
