// A match finder made for speed, for the fast levels: a hash table whose buckets hold
// the latest positions of each 8-byte string.
#pragma once

#include <cstdint>
#include <vector>

#include "codecs/lz/lz_match_source.hpp"

namespace quorvex::lz {

// Indexing a position is one write to its bucket (and to the tables of the latest byte
// pair and triple), so the positions a long match covers cost next to nothing; a search
// compares the bucket's positions, whose bytes are fetched side by side rather than one
// after another as a tree walk's nodes are. It finds fewer long far matches than the
// binary trees: only the latest `slots` sources of a string. Hashing eight bytes rather
// than four keeps the slots for sources that go on matching (on a tar of C++ headers
// 5% smaller at 8 slots); matches of 2 to 7 bytes come from the pair and triple tables.
//
// Positions are kept in a coordinate that stays with the bytes when the window drops
// its oldest bytes and the rest move to its front (see windowMoved), so the index
// outlives the move instead of being built again over the whole window.
class BucketFinder final : public MatchSource {
 public:
  static constexpr std::uint32_t kMostSlots = 64;

  // slots: positions kept per bucket (1 to kMostSlots; the table takes 4 bytes each). pairDistance bounds how far
  // back a 2-byte match is looked for. The table grows with the window up to
  // 2^mostBucketBits buckets.
  BucketFinder(std::uint32_t slots, std::uint32_t pairDistance, std::uint32_t mostBucketBits = 18);

  // The window to search; it only grows from call to call, or moves (windowMoved).
  // A window shorter than what was indexed is a new one: the index starts over.
  void attach(const std::uint8_t* window, std::uint32_t size);
  // Forgets every position; indexing starts again at lowestSource.
  void restartAt(std::uint32_t lowestSource);
  // The window's bytes now stand `shift` bytes nearer its front (its oldest ones were
  // dropped), and no source lies before lowestSource: positions indexed before stay
  // indexed. A shift of 0 or one that would run the coordinates out starts over.
  void windowMoved(std::uint64_t shift, std::uint32_t lowestSource);

  // Indexes every position before `position` first; then `position` itself.
  std::uint32_t collect(std::uint32_t position, std::uint32_t maxLength, MatchCandidate* out) override;

 private:
  void indexUpTo(std::uint32_t limit);
  void insert(std::uint32_t position);
  std::uint32_t bucketOf(std::uint32_t position) const;
  // The window position of a table entry (coordinate + 1), or `none` when the entry is
  // empty or names a byte before the lowest source.
  std::uint32_t positionOf(std::uint32_t entry) const;
  void clearTables(std::uint32_t bucketBits);

  static constexpr std::uint32_t kNone = 0xFFFFFFFFu;
  static constexpr std::uint32_t kHashedBytes = 8;

  std::uint32_t slots_;
  std::uint32_t pairDistance_;
  std::uint32_t mostBucketBits_;
  std::uint32_t bucketBits_ = 0;
  const std::uint8_t* window_ = nullptr;
  std::uint32_t size_ = 0;
  // A window position p has the coordinate p + bias_; entries hold coordinate + 1.
  std::uint32_t bias_ = 0;
  std::uint32_t lowestSource_ = 0;
  std::uint32_t indexedCoordinate_ = 0;  // positions whose coordinate lies below are indexed
  std::vector<std::uint32_t> table_;
  std::uint32_t* buckets_ = nullptr;  // in table_: slots_ entries per bucket, newest first
  std::vector<std::uint32_t> triples_;
  std::vector<std::uint32_t> pairs_;
};

}  // namespace quorvex::lz
