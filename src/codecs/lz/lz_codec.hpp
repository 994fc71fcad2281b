// LZ blocks: the entry the dispatcher calls, and the encoder the archive writer uses.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace quorvex::lz {

struct LzModel;
class BucketFinder;
class MatchFinder;
class MatchSource;
class SearchAhead;

// The process-wide LZ decoder. The LzModel is created at the first LZ block and
// never reset: every block goes on learning from the statistics of the earlier ones.
class LzDecoder {
 public:
  LzDecoder();
  ~LzDecoder();
  LzDecoder(const LzDecoder&) = delete;
  LzDecoder& operator=(const LzDecoder&) = delete;

  // Decodes one block of unpackedSize bytes to destination, which lies inside the
  // history window that starts at historyBase (64 readable zero bytes precede it).
  // The caller guarantees room for unpackedSize bytes at destination. Reads and writes
  // stay within [historyBase - 64, destination + unpackedSize).
  // Returns false when the model's memory cannot be had, or when the stream cannot be
  // followed safely:
  //  - a new distance whose source lies more than 60 bytes before historyBase (the
  //    four bytes before a source are read as context, and 64 guard bytes exist), or
  //  - a length class above 15.
  // A match that runs past the end of its 32768-byte segment is cut at that end, so
  // the block never writes past unpackedSize; well-formed streams never do this.
  bool decodeBlock(std::span<const std::uint8_t> payload, const std::uint8_t* historyBase, std::uint8_t* destination,
                   std::uint32_t unpackedSize);

  // Back to the state before the first block: the next block builds a fresh model.
  void forgetModel();

 private:
  std::unique_ptr<LzModel> model_;
  bool hugePages_ = false;  // the model has asked for 2 MiB pages
};

// How hard the encoder searches, and how it weighs size against decoding time.
struct LzEncoderSettings {
  // Tree nodes the match finder visits per position at most. Walks seldom go this deep
  // (on 3 MB of code, 16 and 160 gave sizes within 0.6% at the same speed): the bound
  // is for the worst case, long stretches of one repeated pattern.
  std::uint32_t chainSteps = 160;
  // A match at least this long is taken outright: the parse plans no further and
  // prices no shorter cut of it. Lower makes faster and codes a little larger.
  std::uint32_t niceLength = 96;
  // The farthest source of a 2-byte match. A 2-byte match at a new distance costs more
  // bits than its two literals, but a literal takes twice a match's decoding time.
  std::uint32_t pairDistance = 1u << 20;
  // Surcharges per token, in 1/64 bit: they buy decoding speed with size. Decoding time
  // grows with the number of tokens and their decisions: measured on a mix of text,
  // code and binary records, a literal (eight mixed bits) takes about 650 cycles, a
  // match at a new distance about 430 (some 23 decisions), one at a recent distance
  // about 160. Raising the literal surcharge from 6 to 10 bits cut the literals by
  // another 40% and the decoder's cycles by 12%, for 2 to 3.5% more size; beyond that
  // the literals give way to new distances that cost nearly as much.
  std::uint32_t literalSurcharge = 760;
  // A match's own surcharge and the two below (2.25, 6.25 and 0.44 bits) were raised
  // from 1, 5 and 0.25 bits once the parse found literal-repeat steps: on 16 MB of C
  // headers that coded 0.9% smaller with 1% fewer tokens.
  std::uint32_t matchSurcharge = 144;
  // Added for a match at a new distance, whose slot and distance bits take longer to
  // decode than naming a recent distance. It pays in size as well: a new distance
  // costs more than its price says, by pushing a recent one out.
  std::uint32_t newDistanceSurcharge = 400;
  // Added per significant bit of a new distance: the decoder spends a decision on
  // each. Like the surcharge above it also saves size (1.7% on that mix), steering the
  // parse to near sources that the recent distances then keep.
  std::uint32_t distanceBitSurcharge = 28;
  // Added for a new distance whose source lies farSourceDistance or more bytes back,
  // beyond the caches: the decoder waits for the source before the next token can
  // start (some 300 cycles more per match on the mix). It also saves size, like the
  // surcharge above.
  std::uint32_t farSourceSurcharge = 384;
  std::uint32_t farSourceDistance = 1u << 17;
  // Literal prices are scaled by this many sixteenths. A price counts what the literal
  // costs now, not what coding it teaches the literal model, which makes later literals
  // cheaper: literals are worth a little more than their price says.
  std::uint32_t literalWeight = 14;
  // With a count of slots, new distances come from a hash table that keeps this many of
  // the latest positions of each 8-byte string (BucketFinder) instead of the binary trees:
  // several times faster to build and search, for longer far matches missed. 0: trees.
  std::uint32_t bucketSlots = 0;
  // Walk the match finder's trees on a thread of its own, ahead of the parse (the
  // payloads are the same either way). Without a thread to be had, one thread does both.
  bool searchAhead = false;
};

// The encoding twin: keeps its own LzModel, so that it mirrors a decoder that has
// seen the same blocks, and the history window it codes from.
class LzEncoder {
 public:
  explicit LzEncoder(LzEncoderSettings settings = {});
  ~LzEncoder();
  LzEncoder(const LzEncoder&) = delete;
  LzEncoder& operator=(const LzEncoder&) = delete;

  // The window as the encoder holds it, which a maker grows and trims in place (so that
  // no second copy of it exists): its bytes from offset windowStart() of the history
  // window on.
  std::span<const std::uint8_t> window() const;
  std::uint64_t windowStart() const { return start_; }
  void appendToWindow(std::span<const std::uint8_t> bytes);
  // Removes the newest bytes from `size` on.
  void truncateWindow(std::size_t size);
  // Forgets the oldest `count` bytes (windowStart() moves on): matches then copy from the
  // bytes after them only, and the few bytes of them the literal model still reads are
  // kept (see slideTo).
  void dropOldest(std::size_t count);
  // Back to an empty window at offset 0 and a model that has seen nothing, as at the
  // start of a member; the memory of both is freed.
  void clear();

  // Codes window()[blockOffset..] as the next block and returns its payload (empty for
  // an empty block). The match finder keeps its index from call to call, which pays off
  // as the window grows block by block, as the decoder sees it.
  std::vector<std::uint8_t> encodeBlock(std::size_t blockOffset);

  // The same from a window passed whole, which replaces the one held: window starts at
  // offset windowStart of the history window (a start past the held one drops what lies
  // before it, as dropOldest does), and the block is window[blockOffset..]. Any window
  // is coded correctly; one that grows the previous call's window as the decoder's does
  // keeps the match finder's index.
  std::vector<std::uint8_t> encodeBlock(std::span<const std::uint8_t> window, std::size_t blockOffset,
                                        std::uint64_t windowStart = 0);

  // Bytes this encoder holds besides the window: the contexts kept from before it.
  std::size_t keptContextBytes() const { return keptFrom_; }

 private:
  // Moves the window's start to windowStart, keeping the bytes from there up to
  // windowEnd that the held window has. The literal model remembers where each
  // three-byte context last stood and reads the byte there and the five before it,
  // however far back: those six bytes of every remembered position before the new
  // window are kept at the front of the buffer, and the remembered positions are moved
  // to match (so the model predicts exactly as the decoder's, which holds the whole
  // window). The match finder starts over.
  void slideTo(std::uint64_t windowStart, std::uint64_t windowEnd);
  // Window bytes held, and where they start in buffer_.
  std::size_t windowBytes() const { return buffer_.size() - windowFront(); }
  std::size_t windowFront() const;
  // The match finder the settings ask for, attached to the window.
  MatchSource& attachFinder(const std::uint8_t* base, std::uint32_t size);
  // The walker for this block, started on first use; null when searching on this thread.
  SearchAhead* searchAhead();

  LzEncoderSettings settings_;
  std::unique_ptr<LzModel> model_;
  std::unique_ptr<MatchFinder> finder_;
  std::unique_ptr<BucketFinder> buckets_;  // with settings_.bucketSlots, instead of finder_
  std::unique_ptr<SearchAhead> ahead_;  // with settings_.searchAhead, once a block is coded
  // 64 zero bytes, the kept contexts (keptFrom_ bytes), then the window from start_.
  std::vector<std::uint8_t> buffer_;
  std::uint64_t start_ = 0;
  std::uint32_t keptFrom_ = 0;
  bool hugePages_ = false;  // the model has asked for 2 MiB pages
};

}  // namespace quorvex::lz
