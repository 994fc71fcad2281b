// The match finder's tree walks for a block, run on a thread of their own ahead of the
// parse. The walks read only the window; the parse prices with the live model and
// decides which positions it needs. Walking every position of the block in order
// leaves the trees as the parse's own calls would (the parse skips the positions a long
// match covers, which only get indexed), so the candidates, and the archive, are the same
// on one thread or two. The walks go through a ring of a few chunks: the walker waits
// when the parse lags, so memory stays bounded by the ring whatever the block's size.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "codecs/lz/lz_match_finder.hpp"

namespace quorvex {
class ThreadPool;
}

namespace quorvex::lz {

class SearchAhead final : public MatchSource {
 public:
  // A chunk ends after chunkPositions positions, or earlier when its nodes would pass
  // chunkNodes (a chunk holds 16 bytes per position and 8 per node).
  static constexpr std::uint32_t kChunkPositions = 16384;
  static constexpr std::uint32_t kChunkNodes = 65536;
  static constexpr std::uint32_t kRingChunks = 4;

  // Starts the walker's thread; std::system_error when none can be had.
  explicit SearchAhead(MatchFinder& finder, std::uint32_t chunkPositions = kChunkPositions,
                       std::uint32_t chunkNodes = kChunkNodes);
  // Stops the walk of a block left unfinished (as when the parse threw) and joins.
  ~SearchAhead();
  SearchAhead(const SearchAhead&) = delete;
  SearchAhead& operator=(const SearchAhead&) = delete;

  // Walks the positions [from, to) of the window the finder is attached to. Until
  // finish() the finder belongs to the walker.
  void start(std::uint32_t from, std::uint32_t to);
  // The candidates the finder's collect() would give at `position`, which lies in
  // [from, to) and past every position asked before in this block. Waits for the walk
  // to get there.
  std::uint32_t collect(std::uint32_t position, std::uint32_t maxLength, MatchCandidate* out) override;
  // Lets the walk run to the block's end and waits for it: the finder is then the
  // caller's again, indexed as far as collecting every position would have left it.
  void finish();

 private:
  struct Chunk {
    std::uint32_t first = 0;  // the first position; the chunk holds positions.size() of them
    std::vector<WalkedPosition> positions;
    std::vector<std::uint32_t> nodeStart;  // per position, its first node in `nodes`
    std::vector<WalkedNode> nodes;
  };

  void walkBlock();
  // Fills `chunk` from `position` on; returns the first position it leaves out.
  std::uint32_t walkChunk(Chunk& chunk, std::uint32_t position, std::uint32_t to);
  // The chunk that holds `position`, once walked: moves past (and hands back) those
  // before it. Null for a position outside the block.
  const Chunk* chunkWith(std::uint32_t position);

  MatchFinder& finder_;
  const std::uint32_t chunkPositions_;
  const std::uint32_t chunkNodes_;
  std::vector<Chunk> ring_;

  std::mutex mutex_;
  std::condition_variable changed_;
  // Chunks are numbered from the block's start; chunk k lives in ring_[k % kRingChunks].
  std::uint64_t walked_ = 0;    // chunks the walker has filled
  std::uint64_t released_ = 0;  // chunks the parse is done with
  std::uint32_t from_ = 0;
  std::uint32_t to_ = 0;
  bool walking_ = false;   // a block's walk is under way (until the walker leaves it)
  bool draining_ = false;  // the parse is done: walk on to the end without waiting
  bool stopping_ = false;

  // The parse's side, touched by it alone.
  std::uint64_t reading_ = 0;  // the chunk it reads
  const Chunk* current_ = nullptr;

  std::unique_ptr<ThreadPool> walker_;  // last: joined first, while the rest still stands
};

}  // namespace quorvex::lz
