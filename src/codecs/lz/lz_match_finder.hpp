// Binary trees over the history window, for the LZ encoder.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "codecs/lz/lz_match_source.hpp"

namespace quorvex::lz {

// A tree node one position's walk passed, with the bytes the trees compared it over
// (at most 128): only the nodes that compared longer than every node before them, since
// no other can offer a longer match.
struct WalkedNode {
  std::uint32_t length = 0;
  std::uint32_t back = 0;
};

// What walking one position leaves for its candidates: the latest occurrences of its
// byte pair and triple (position + 1, 0 = none), the first position not yet in the
// trees, and the number of nodes recorded.
struct WalkedPosition {
  std::uint32_t pair = 0;
  std::uint32_t triple = 0;
  std::uint32_t indexed = 0;
  std::uint32_t nodes = 0;
};

// Every position is a node in the binary search tree of its 4-byte hash, ordered by the
// bytes that follow it, with later positions nearer the root. Searching the tree for a
// position and inserting it are one walk: each node passed is compared where its
// bounds leave off, so a walk of a few dozen nodes finds long matches far back that a
// hash chain would need thousands of steps to reach, and passes over the many short
// ones that share the hash. Matches of 2 and 3 bytes come from tables of the latest
// occurrence of each byte pair and triple.
class MatchFinder final : public MatchSource {
 public:
  // chainSteps bounds the tree nodes visited per position: more finds longer and nearer
  // matches at a proportional cost in encoding time. pairDistance bounds how far back
  // a 2-byte match is looked for.
  // chainReach bounds how far back the trees lead (a power of two): the nodes live in a
  // ring of that many entries (8 bytes each), so the finder's memory stops growing with
  // the window there while the window may grow to the format's 501 MB.
  static constexpr std::uint32_t kDefaultChainReach = std::uint32_t{1} << 24;
  explicit MatchFinder(std::uint32_t chainSteps = 48, std::uint32_t pairDistance = 256,
                       std::uint32_t chainReach = kDefaultChainReach)
      : chainSteps_(chainSteps), pairDistance_(pairDistance), chainReach_(chainReach) {}

  // Indexes are kept from call to call, as the window only grows. A window shorter than
  // what was indexed means a new window: the index starts over.
  void attach(const std::uint8_t* window, std::uint32_t size);
  // Forgets every position and indexes from lowestSource on when next attached: bytes
  // before it are no sources (they need not even be the window's).
  void restartAt(std::uint32_t lowestSource);

  // Makes every position below `limit` available as a source.
  void indexUpTo(std::uint32_t limit);

  // The matches at `position` (at most maxLength long) in order of increasing length,
  // each from the first source the search met with that length (the trees are walked
  // from the latest position down, so mostly the nearest). Indexes every position up to and
  // including `position`; called for a position already indexed, it finds only the
  // 2- and 3-byte matches. Returns the count written to `out`. The same as walk()
  // followed by candidatesOf().
  std::uint32_t collect(std::uint32_t position, std::uint32_t maxLength, MatchCandidate* out) override;

  // The search in two halves, so that the tree walks (the costly half, and the only one
  // that changes the finder) can run for a whole block ahead of the parse, on another
  // thread. walk() indexes every position up to and including `position` and records
  // what candidatesOf() needs in `nodes` (room for kMaxWalkedNodes). Walking every
  // position of a block in order leaves the trees as collecting any of them would.
  static constexpr std::uint32_t kMaxWalkedNodes = 128;
  WalkedPosition walk(std::uint32_t position, WalkedNode* nodes);
  // The matches collect() would return at a walked position, for any maxLength. Reads
  // only the window and the settings, which walks never change, so it may run while
  // later positions are walked.
  std::uint32_t candidatesOf(std::uint32_t position, std::uint32_t maxLength, const WalkedPosition& walked,
                             const WalkedNode* nodes, MatchCandidate* out) const;
  // Tree nodes held: the window's size, at most chainReach.
  std::size_t chainEntries() const { return tree_.size() / 2; }

 private:
  static constexpr std::uint32_t kHashBits = 20;
  // Nodes are compared up to this many bytes. A node that matches this far is replaced
  // by the new position (which is as good a source and nearer); a match this long is
  // then followed to its end directly.
  static constexpr std::uint32_t kTreeLength = 128;

  std::uint32_t hashAt(std::uint32_t position) const;
  // Inserts `position` in its tree (or only searches it, when it cannot join); records
  // the nodes passed that compare longer than all before them in `out` (when given)
  // and returns their count.
  std::uint32_t insert(std::uint32_t position, WalkedNode* out);
  std::uint32_t treeLimit(std::uint32_t position) const;
  void reserveTables(std::uint32_t size);

  std::uint32_t chainSteps_;
  std::uint32_t pairDistance_;
  std::uint32_t chainReach_;
  const std::uint8_t* window_ = nullptr;
  std::uint32_t size_ = 0;
  std::uint32_t indexed_ = 0;  // positions below this are in the trees
  std::uint32_t hashed_ = 0;   // positions below this are in the pair and triple tables
  std::uint32_t lowestSource_ = 0;  // where indexing starts
  std::vector<std::uint32_t> head_;     // position + 1 of the tree's root, 0 = empty tree
  std::vector<std::uint32_t> triples_;  // position + 1 of the latest occurrence of each 3-byte hash
  std::vector<std::uint32_t> pairs_;    // position + 1 of the latest occurrence of each byte pair
  // The two children (position + 1) of the node at position mod chainReach_, smaller
  // first; a node counts only while no later position has taken its place.
  std::vector<std::uint32_t> tree_;
  bool largePages_ = false;  // the tables have asked for 2 MiB pages
  // What collect()'s walk records, kept here rather than on the stack: a fresh array
  // would be zeroed (1 KiB) at every position searched.
  std::array<WalkedNode, kMaxWalkedNodes> walkedNodes_;
};

}  // namespace quorvex::lz
