// Writes archives: the header, records of any type, codec-parameter records and
// blocks of every codec, with every descriptor field under the caller's control.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "quorvex/format.hpp"

namespace quorvex {

// Every field of a block descriptor, in archive order. A field is written only where
// the descriptor grammar has it (which depends on codecKind and context-mixing mode);
// an engaged optional sets the stage's flag and writes its side data.
struct BlockFields {
  std::vector<std::uint8_t> payload;
  std::uint8_t codecKind = 0;
  std::uint8_t audioReset = 0;
  std::uint8_t sizePresent = 1;
  std::uint32_t unpackedSize = 0;
  std::vector<std::uint8_t> reserved;
  std::uint8_t bwtSpareByte = 0;
  std::uint32_t bwtPrimaryIndex = 0;
  std::optional<std::vector<std::uint8_t>> bwtStageAData;
  std::optional<std::vector<std::uint8_t>> bwtStageBData;
  std::optional<std::vector<std::uint8_t>> wordRunData;
  std::optional<std::vector<std::uint8_t>> deltaData;
  std::uint8_t spareByte = 0;
  std::optional<std::uint8_t> textTransformBits;
  std::vector<std::uint8_t> lineBreakData;  // written when textTransformBits has 0x02
  std::vector<std::uint8_t> numericData;    // written when textTransformBits has 0x10
  std::optional<std::vector<std::uint8_t>> branchTargetData;
  // Flags written as a non-zero byte; the side data's length is written as stored.
};

// How a high-level block method uses a post-stage: not at all, only when it makes the
// block smaller, or always.
enum class StageUse : std::uint8_t { never, whenSmaller, always };

// The post-stages the high-level block methods may apply to their data.
struct StageOptions {
  StageUse localMatches = StageUse::never;    // BWT blocks only
  StageUse historyMatches = StageUse::never;  // BWT blocks only
  StageUse wordRuns = StageUse::never;
  StageUse delta = StageUse::never;
  StageUse textTransforms = StageUse::never;
  StageUse branchTargets = StageUse::never;
};

// Codec parameters as the record stores them (up to four bytes).
struct CodecParamBytes {
  std::uint8_t codecId = 0;
  std::uint8_t historySizeCode = 0;
  std::uint8_t secondSizeCode = 0;
  std::uint8_t tableBits = 0;  // high nibble: tableBitsA - 20, low nibble: tableBitsB - 18
  std::uint32_t count = 4;     // how many of the four bytes to write
};

// How hard the LZ encoder searches: the match finder's tree nodes visited per position
// at most, and the match length it takes outright without weighing shorter cuts or
// what lies beyond. Less makes faster and codes a little larger. The parse's surcharge
// on a literal (1/64 bit) buys decoding speed with size: less codes smaller and decodes
// slower. With bucketSlots, the finder is a hash table of that many latest positions
// per 8-byte string instead of the trees (treeSteps then counts for nothing): several
// times faster, and a few percent larger.
struct LzEffort {
  std::uint32_t treeSteps = 160;
  std::uint32_t niceLength = 96;
  std::uint32_t literalSurcharge = 760;
  std::uint32_t bucketSlots = 0;
};

// How hard the audio encoder searches each piece's predictor settings: fast searches
// now and then and keeps the settings between, medium a round per piece, thorough
// several rounds per piece and the cross stage's start over the first pieces.
enum class AudioSearch : std::uint8_t { fast, medium, thorough };

struct WriterOptions {
  // Integrity records: the writer hashes the output of the blocks it makes and
  // records the hash after each one, between an opening record (written before the
  // first codec-parameter record or block the writer makes) and a closing one at the
  // end, so that the decoder fails on a damaged or cut archive. Other decoders skip
  // these records.
  bool integrityChecks = true;
  // The most history-window bytes one member may fill before the high-level block
  // methods start the next member (see startMember); 0: the decoder's whole window.
  // Smaller values are for tests, which then make members from small inputs.
  std::size_t memberWindow = 0;
  // Where no block reads the window (context mixing; BWT without the history-match
  // stage), the decoder still keeps every block's output in it until the member ends, so
  // that its memory would grow with the input. There a context-mixing section starts the
  // next member once the window holds this many bytes: some 60 bytes of archive per
  // member, and the decoder's window stays this small. 0: only when the window is full.
  std::size_t unreadWindowMember = std::size_t{64} << 20;
  // The newest bytes of the history window the writer keeps for the steps that read it
  // (LZ blocks copy from them, the history-match stage names them); 0: the whole window.
  // A member's window may grow to 501 MB, but a block copies from near bytes far more
  // often than from far ones: keeping the newest few MiB bounds the writer's memory at
  // a small cost in size. The writer keeps between this and a quarter more (so that it
  // moves the bytes it keeps once per quarter, not at every block), and matches reach
  // as far back as it keeps, plus the block being made. An archive made of less input
  // than this is the one the whole window makes.
  std::size_t keptHistory = 0;
  LzEffort lzEffort{};
  AudioSearch audioSearch = AudioSearch::thorough;
  // With two or more, the LZ encoder walks its match trees on a thread of its own,
  // ahead of the parse that prices with the live model: LZ blocks then take two cores.
  // The archive is the same for every count.
  unsigned threads = 1;
};

class OutputHash;

// A BWT block made apart from the writer, on any thread: its fields and the bytes it
// leaves in the history window. Only blocks without the history-match stage (the one
// step that reads the window) are made this way.
struct PreparedBlock {
  BlockFields fields;
  std::vector<std::uint8_t> windowBytes;
};

// A context-mixing section made apart from the writer, on any thread: a fresh model
// of the given sizes codes the section's blocks in order. The writer then adds the
// section's codec-parameter record (addCmSection) and its blocks (addPreparedBlock):
// the archive addCmParams and addCmBlock would have written.
class CmSectionMaker {
 public:
  CmSectionMaker(std::uint32_t tableBitsA, std::uint32_t tableBitsB, std::uint8_t historySizeCode);
  ~CmSectionMaker();
  CmSectionMaker(const CmSectionMaker&) = delete;
  CmSectionMaker& operator=(const CmSectionMaker&) = delete;

  PreparedBlock prepareBlock(std::span<const std::uint8_t> data, const StageOptions& stages = {});
  // Frees the model (its sizes stay, for the codec-parameter record): for a section
  // whose model the writer will not take.
  void releaseModel();

 private:
  friend class ArchiveWriter;
  struct Model;
  std::uint32_t tableBitsA_;
  std::uint32_t tableBitsB_;
  std::uint8_t historySizeCode_;
  std::unique_ptr<Model> model_;
};

class ArchiveWriter {
 public:
  explicit ArchiveWriter(const WriterOptions& options = {});  // writes the 23-byte archive header
  ~ArchiveWriter();
  ArchiveWriter(const ArchiveWriter&) = delete;
  ArchiveWriter& operator=(const ArchiveWriter&) = delete;

  // Low level: a record of any type with its payload; a block record from raw fields.
  void addRecord(std::uint32_t type, std::span<const std::uint8_t> payload, std::uint32_t extension = 0);
  void addCodecParams(const CodecParamBytes& params);
  // Writes the block record. windowBytes: the codec output this block leaves in the
  // history window (needed by later LZ blocks' match finder); empty for audio blocks.
  // The writer cannot know what a raw block decodes to, so the integrity checks end
  // before the first one (with the closing record) or never begin.
  void addBlock(const BlockFields& block, std::span<const std::uint8_t> windowBytes);

  // High level: one block of data with the named codec and the post-stages asked for.
  // Forward transform, no entropy coding:
  void addStoredBwtBlock(std::span<const std::uint8_t> data, const StageOptions& stages = {});
  // Forward transform, entropy-coded:
  void addBwtBlock(std::span<const std::uint8_t> data, const StageOptions& stages = {});
  void addLzBlock(std::span<const std::uint8_t> data, const StageOptions& stages = {});
  // The same BWT blocks in two steps: made (on any thread; stages.historyMatches must
  // be never), then added in archive order with the data they were made from. The
  // archive is the one addBwtBlock or addStoredBwtBlock would have written.
  static PreparedBlock prepareBwtBlock(std::span<const std::uint8_t> data, const StageOptions& stages,
                                       bool entropyCoded);
  void addPreparedBlock(const PreparedBlock& block, std::span<const std::uint8_t> data);
  // LZ and BWT blocks whose post-stages were applied apart (on any thread; they read
  // nothing but the block): prepareStages judges them for the LZ codec (forLz) or for
  // BWT and gives their fields, and in windowBytes the bytes the codec is to code. The
  // codec itself runs when the block is added (it may read the window): the archive is
  // the one addLzBlock or addBwtBlock / addStoredBwtBlock would have written.
  static PreparedBlock prepareStages(std::span<const std::uint8_t> data, const StageOptions& stages, bool forLz);
  void addStagedLzBlock(PreparedBlock&& staged, std::span<const std::uint8_t> data);
  void addStagedBwtBlock(PreparedBlock&& staged, std::span<const std::uint8_t> data, const StageOptions& stages,
                         bool entropyCoded);
  // Context mixing: a codec-parameter record with codec id 7 starts a fresh model.
  void addCmParams(std::uint32_t tableBitsA, std::uint32_t tableBitsB, std::uint8_t historySizeCode);
  void addCmBlock(std::span<const std::uint8_t> data, bool resetAdaptation = false, const StageOptions& stages = {});
  // The codec-parameter record of a section made apart. With takeModel, the section's
  // model (as its blocks left it) becomes the writer's, so that addCmBlock continues
  // the section; without, the writer has no model until the next addCmParams.
  void addCmSection(CmSectionMaker& section, bool takeModel);
  // Frees the writer's context-mixing model before sections are made apart, whose
  // first record starts a new one: the memory goes to their models instead.
  void releaseCmModel();

  // Audio: a block whose output is data, `headerBytes` raw bytes (at most 261) then
  // PCM frames (sampleWidth 1..3 bytes, channels 1 or 2). False, writing nothing, when
  // the audio encoder cannot code it.
  bool addAudioBlock(std::span<const std::uint8_t> data, std::uint32_t channels, std::uint32_t sampleWidth,
                     bool littleEndian, std::uint32_t headerBytes, bool reset = false);
  // A whole PCM WAV file (8, 16 or 24 bits, mono or stereo): its header travels in the
  // audio block, or in a stored block before it when longer than 261 bytes; chunks
  // after the samples follow in a stored block (so do samples the audio encoder cannot
  // code). False, writing nothing, when the file is not such a WAV file.
  bool addWavFile(std::span<const std::uint8_t> file);
  // Audio coded on trial in another writer, so that the file it wins is not coded
  // twice: lendAudioState gives `trial` this writer's audio state and has it keep the
  // payloads it codes; adoptAudio takes them, and the state they leave, for the same
  // blocks added here next (an audio block that is not the next one kept drops them).
  void lendAudioState(ArchiveWriter& trial);
  void adoptAudio(ArchiveWriter& trial);
  void dropAdoptedAudio();
  // More samples of a WAV file whose first part addWavFile took (a file read in pieces):
  // an audio block that goes on from the one before, its first headerBytes (the rest of
  // a frame the block before cut) raw; stored as they are when the audio encoder cannot
  // code them.
  void addWavSamples(std::span<const std::uint8_t> samples, std::uint32_t channels, std::uint32_t sampleWidth,
                     std::uint32_t headerBytes);

  // Members: ends the current member and starts the next, which the decoder begins
  // afresh (an empty window, new models, codec parameters as at the archive's start).
  // The integrity checks run on across members. startMemberIfFull starts one when a
  // block made from inputBytes of input might not fit in the current member's window
  // (with the room a BWT block is inverted in); true when it did.
  void startMember();
  bool startMemberIfFull(std::size_t inputBytes);
  std::uint32_t members() const { return members_; }

  // The archive so far, closed: it ends with the closing integrity record when checks run.
  // After takeWritten, only what was written since.
  const std::vector<std::uint8_t>& bytes() const { return bytes_; }
  // Hands over the bytes written so far that will not change, leaving in bytes() only
  // the closing integrity record (which a later record turns into a plain check): an
  // archive written as it is made. The bytes taken, then bytes(), make the archive.
  std::vector<std::uint8_t> takeWritten();
  // The archive's size so far, taken bytes included.
  std::uint64_t size() const { return taken_ + bytes_.size(); }

  // The history window as the decoder will hold it after the blocks written so far, when
  // the writer keeps it (see keepWindowOnlyWhenRead): its newest bytes (see
  // WriterOptions::keptHistory), from offset windowStart() of the window on.
  // The bytes live in the LZ encoder, which codes from them in place.
  std::span<const std::uint8_t> window() const;
  std::uint64_t windowStart() const;
  // Bytes of the current member's window, kept or not.
  std::size_t windowSize() const { return windowSize_; }
  // The window's bytes are read only by LZ blocks and the history-match stage; a maker
  // whose blocks will not use them lets the writer forget them (and its memory stay
  // small). A block that reads the window after that starts a new member, whose window
  // is kept from then on.
  void keepWindowOnlyWhenRead();
  bool cmMode() const { return cmMode_; }

 private:
  struct Encoders;  // the codec encoders, created when first needed
  Encoders& encoders();
  void addRawBlock(std::span<const std::uint8_t> data);
  void addForwardBwtBlock(std::span<const std::uint8_t> data, const StageOptions& stages, bool entropyCoded);
  void putBlock(const BlockFields& block, std::span<const std::uint8_t> windowBytes);
  // Around every record the writer makes itself: opens the checks (or turns the last
  // closing record into a plain check), then closes the archive again over `output`,
  // the bytes the record adds to the decoded output.
  void beginChecked();
  void endChecked(std::span<const std::uint8_t> output);
  void putIntegrityRecord(std::uint8_t kind);
  void growWindow(std::span<const std::uint8_t> bytes);
  // Before a block that reads the window: a window not kept starts a new member.
  void needWindow();
  // A context-mixing section starts the next member here when no block reads the window
  // and it holds unreadWindowMember bytes or more.
  void startMemberIfWindowUnread();

  enum class Checks : std::uint8_t { pending, open, closed, off };
  Checks checks_ = Checks::off;
  std::unique_ptr<OutputHash> output_;  // size and hash of the decoded output so far
  std::size_t closingKindAt_ = 0;       // where the trailing closing record keeps its kind
  std::size_t closingAt_ = 0;           // where that record's head starts
  std::uint64_t taken_ = 0;             // bytes handed over by takeWritten

  std::vector<std::uint8_t> bytes_;
  std::size_t windowSize_ = 0;
  bool windowKept_ = true;
  bool cmMode_ = false;
  std::size_t memberWindow_;
  std::size_t unreadWindowMember_;  // see WriterOptions::unreadWindowMember
  std::size_t keptHistory_;
  LzEffort lzEffort_;
  AudioSearch audioSearch_;
  bool lzSearchAhead_;
  std::uint32_t members_ = 1;
  std::unique_ptr<Encoders> encoders_;
  struct CodedAudio;
  std::unique_ptr<CodedAudio> keptAudio_;     // a trial's: the audio blocks it coded
  std::unique_ptr<CodedAudio> adoptedAudio_;  // taken from a trial, for the next audio blocks
};

}  // namespace quorvex
