#include "codecs/lz/lz_search_ahead.hpp"

#include <algorithm>

#include "threads/thread_pool.hpp"

namespace quorvex::lz {

SearchAhead::SearchAhead(MatchFinder& finder, std::uint32_t chunkPositions, std::uint32_t chunkNodes)
    : finder_(finder), chunkPositions_(std::max(chunkPositions, 1u)), chunkNodes_(chunkNodes), ring_(kRingChunks) {
  for (Chunk& chunk : ring_) {
    chunk.positions.reserve(chunkPositions_);
    chunk.nodeStart.reserve(chunkPositions_);
    // A walk starts while at most chunkNodes are used, and records at most kMaxWalkedNodes.
    chunk.nodes.resize(std::size_t{chunkNodes_} + MatchFinder::kMaxWalkedNodes);
  }
  walker_ = std::make_unique<ThreadPool>(1);
}

SearchAhead::~SearchAhead() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  walker_.reset();  // lets a walk under way see stopping_, and joins
}

void SearchAhead::start(std::uint32_t from, std::uint32_t to) {
  {
    const std::lock_guard lock(mutex_);
    walked_ = 0;
    released_ = 0;
    from_ = from;
    to_ = std::max(from, to);
    walking_ = true;
    draining_ = false;
  }
  reading_ = 0;
  current_ = nullptr;
  walker_->submit([this] { walkBlock(); });
}

void SearchAhead::walkBlock() {
  std::unique_lock lock(mutex_);
  std::uint32_t position = from_;
  const std::uint32_t to = to_;
  for (std::uint64_t k = 0; position < to; ++k) {
    // Chunk k takes the ring slot of chunk k - kRingChunks, once the parse has left it.
    changed_.wait(lock, [&] { return stopping_ || draining_ || k < released_ + kRingChunks; });
    if (stopping_) break;
    lock.unlock();
    position = walkChunk(ring_[k % kRingChunks], position, to);
    lock.lock();
    walked_ = k + 1;
    changed_.notify_all();
  }
  walking_ = false;
  changed_.notify_all();
}

std::uint32_t SearchAhead::walkChunk(Chunk& chunk, std::uint32_t position, std::uint32_t to) {
  chunk.first = position;
  chunk.positions.clear();
  chunk.nodeStart.clear();
  std::uint32_t used = 0;
  for (; position < to && chunk.positions.size() < chunkPositions_ && used <= chunkNodes_; ++position) {
    chunk.nodeStart.push_back(used);
    const WalkedPosition walked = finder_.walk(position, chunk.nodes.data() + used);
    chunk.positions.push_back(walked);
    used += walked.nodes;
  }
  return position;
}

const SearchAhead::Chunk* SearchAhead::chunkWith(std::uint32_t position) {
  const auto holds = [position](const Chunk& chunk) { return position - chunk.first < chunk.positions.size(); };
  if (current_ != nullptr && holds(*current_)) return current_;
  std::unique_lock lock(mutex_);
  if (position < from_ || position >= to_) return nullptr;
  for (;;) {
    changed_.wait(lock, [&] { return walked_ > reading_; });
    const Chunk& chunk = ring_[reading_ % kRingChunks];
    if (holds(chunk)) {
      current_ = &chunk;
      return current_;
    }
    // Positions only grow: the parse is done with this chunk, and the walker may refill it.
    released_ = ++reading_;
    changed_.notify_all();
  }
}

std::uint32_t SearchAhead::collect(std::uint32_t position, std::uint32_t maxLength, MatchCandidate* out) {
  const Chunk* chunk = chunkWith(position);
  if (chunk == nullptr) return 0;
  const std::uint32_t index = position - chunk->first;
  return finder_.candidatesOf(position, maxLength, chunk->positions[index], chunk->nodes.data() + chunk->nodeStart[index],
                              out);
}

void SearchAhead::finish() {
  std::unique_lock lock(mutex_);
  draining_ = true;
  changed_.notify_all();
  changed_.wait(lock, [&] { return !walking_; });
  current_ = nullptr;
}

}  // namespace quorvex::lz
