#include "codecs/lz/lz_match_finder.hpp"

#include <algorithm>
#include <cstring>

#include "model/huge_pages.hpp"

namespace quorvex::lz {

std::uint32_t matchLength(const std::uint8_t* a, const std::uint8_t* b, std::uint32_t limit) {
  std::uint32_t n = 0;
  while (n + 8 <= limit) {
    std::uint64_t x, y;
    std::memcpy(&x, a + n, 8);
    std::memcpy(&y, b + n, 8);
    if (x != y) {
      const std::uint64_t diff = x ^ y;
      return n + static_cast<std::uint32_t>(__builtin_ctzll(diff) >> 3);  // little-endian byte order
    }
    n += 8;
  }
  while (n < limit && a[n] == b[n]) ++n;
  return n;
}

void MatchFinder::restartAt(std::uint32_t lowestSource) {
  head_.clear();
  lowestSource_ = lowestSource;
}

// The trees and their roots are read at random: in 2 MiB pages their walks miss the
// address cache far less. Reserving the whole ring at once also spares the copies of a
// growing vector; only the pages touched take memory. A small window (a trial on a
// sample of a block) stays in small pages, which then commit only what it touches.
void MatchFinder::reserveTables(std::uint32_t size) {
  if (tree_.capacity() < 2 * std::size_t{chainReach_}) {
    head_.reserve(std::size_t{1} << kHashBits);
    tree_.reserve(2 * std::size_t{chainReach_});
  }
  if (largePages_ || size < kHugePageBlockMinimum) return;
  adviseHugePages(head_.data(), head_.capacity() * sizeof(std::uint32_t));
  adviseHugePages(tree_.data(), tree_.capacity() * sizeof(std::uint32_t));
  largePages_ = true;
}

void MatchFinder::attach(const std::uint8_t* window, std::uint32_t size) {
  reserveTables(size);
  if (size < std::max(indexed_, hashed_) || head_.empty()) {
    head_.assign(std::size_t{1} << kHashBits, 0);
    triples_.assign(std::size_t{1} << kTripleBits, 0);
    pairs_.assign(std::size_t{1} << 16, 0);
    tree_.clear();
    indexed_ = lowestSource_;
    hashed_ = lowestSource_;
  }
  window_ = window;
  size_ = size;
  const std::size_t entries = 2 * std::min<std::size_t>(size, chainReach_);
  if (entries > tree_.size()) tree_.resize(entries, 0);
}

std::uint32_t MatchFinder::hashAt(std::uint32_t position) const {
  std::uint32_t v;
  std::memcpy(&v, window_ + position, 4);
  return (v * 2654435761u) >> (32 - kHashBits);
}

// Positions join the trees only once kTreeLength bytes follow them, so that every node
// is compared over the same length and the trees stay ordered; the last few positions
// of a window wait for the window to grow.
std::uint32_t MatchFinder::treeLimit(std::uint32_t position) const {
  return size_ >= kTreeLength && position <= size_ - kTreeLength ? kTreeLength : 0;
}

void MatchFinder::indexUpTo(std::uint32_t limit) {
  const std::uint32_t tableLimit = std::min(limit, size_ >= 2 ? size_ - 2 : 0);
  for (; hashed_ < tableLimit; ++hashed_) {
    pairs_[pairKey(window_ + hashed_)] = hashed_ + 1;
    triples_[tripleKey(window_ + hashed_)] = hashed_ + 1;
  }
  if (size_ < kTreeLength) return;
  limit = std::min(limit, size_ - kTreeLength + 1);
  while (indexed_ < limit) insert(indexed_, nullptr);
}

std::uint32_t MatchFinder::insert(std::uint32_t position, WalkedNode* out) {
  static_assert(kMaxWalkedNodes >= kTreeLength, "a walk records at most one node per compared length");
  const std::uint32_t mask = chainReach_ - 1;
  const std::uint8_t* here = window_ + position;
  std::uint32_t& root = head_[hashAt(position)];
  std::uint32_t next = root;
  std::uint32_t count = 0;
  std::uint32_t longest = 0;  // the longest comparison recorded
  // Only a position not yet indexed joins the tree; an earlier or a later one (too near
  // the window's end) is only searched for.
  const bool joins = position == indexed_ && treeLimit(position) != 0;
  const std::uint32_t limit = joins ? kTreeLength : std::min(kTreeLength, size_ - position);
  // Where the next node found smaller (larger) than this position goes: a child link
  // of this position, then of the nodes passed. A search that does not join writes
  // nowhere.
  std::uint32_t* smaller = &tree_[2 * (position & mask)];
  std::uint32_t* larger = smaller + 1;
  if (joins) {
    root = position + 1;
    ++indexed_;
    // Positions join one after another: fetch the root slot two positions ahead, and
    // the root node one position ahead, so that neither walk starts on a cache miss.
    if (position + 6 <= size_) __builtin_prefetch(&head_[hashAt(position + 2)]);
    if (position + 5 <= size_) {
      const std::uint32_t nextRoot = head_[hashAt(position + 1)];
      if (nextRoot != 0) {
        __builtin_prefetch(&tree_[2 * ((nextRoot - 1) & mask)]);
        __builtin_prefetch(window_ + nextRoot - 1);
      }
    }
  }
  std::uint32_t smallerLength = 0;  // bytes shared with every node below `smaller`
  std::uint32_t largerLength = 0;
  for (std::uint32_t steps = chainSteps_;; --steps) {
    const std::uint32_t source = next - 1;
    // Past the ring's reach a node's place belongs to a later position: the tree ends.
    if (next == 0 || source >= position || indexed_ - 1 - source >= chainReach_ || steps == 0) {
      if (joins) *smaller = *larger = 0;
      break;
    }
    std::uint32_t* children = &tree_[2 * (source & mask)];
    const std::uint8_t* there = window_ + source;
    // The walk waits on memory at every node: fetch both children while this one is
    // compared, since either may come next.
    for (const std::uint32_t child : {children[0], children[1]}) {
      if (child != 0) {
        __builtin_prefetch(&tree_[2 * ((child - 1) & mask)]);
        __builtin_prefetch(window_ + child - 1 + std::min(smallerLength, largerLength));
      }
    }
    std::uint32_t length = std::min(smallerLength, largerLength);
    length += matchLength(here + length, there + length, limit - length);
    if (out != nullptr && length > longest) {
      longest = length;
      out[count++] = {length, position - source};
    }
    if (length == limit) {
      // As good a source as this node for every match the tree can tell: it takes the
      // node's place and children.
      if (joins) {
        *smaller = children[0];
        *larger = children[1];
      }
      break;
    }
    if (there[length] < here[length]) {
      if (joins) *smaller = next;
      smaller = &children[1];
      next = children[1];
      smallerLength = length;
    } else {
      if (joins) *larger = next;
      larger = &children[0];
      next = children[0];
      largerLength = length;
    }
  }
  return count;
}

std::uint32_t MatchFinder::collect(std::uint32_t position, std::uint32_t maxLength, MatchCandidate* out) {
  if (maxLength < 2 || position + 3 > size_) return 0;
  const WalkedPosition walked = walk(position, walkedNodes_.data());
  return candidatesOf(position, maxLength, walked, walkedNodes_.data(), out);
}

WalkedPosition MatchFinder::walk(std::uint32_t position, WalkedNode* nodes) {
  WalkedPosition walked;
  if (position + 3 > size_) return walked;  // no pair or triple to look up, nor a tree
  indexUpTo(position);
  walked.pair = pairs_[pairKey(window_ + position)];
  walked.triple = triples_[tripleKey(window_ + position)];
  if (position + 4 <= size_) walked.nodes = insert(position, nodes);
  walked.indexed = indexed_;
  return walked;
}

std::uint32_t MatchFinder::candidatesOf(std::uint32_t position, std::uint32_t maxLength, const WalkedPosition& walked,
                                        const WalkedNode* nodes, MatchCandidate* out) const {
  if (maxLength < 2 || position + 3 > size_) return 0;
  const std::uint8_t* here = window_ + position;
  std::uint32_t count = 0;
  std::uint32_t best = 1;

  const std::uint32_t pair = walked.pair;
  if (pair != 0 && pair - 1 < position && position - (pair - 1) <= pairDistance_) {
    const std::uint32_t length = matchLength(here, window_ + pair - 1, maxLength);
    if (length >= 2) {
      out[count++] = {length, position - (pair - 1)};
      best = length;
    }
  }
  const std::uint32_t triple = walked.triple;
  if (best < maxLength && triple != 0 && triple - 1 < position) {
    const std::uint32_t length = matchLength(here, window_ + triple - 1, maxLength);
    if (length > best) {
      out[count++] = {length, position - (triple - 1)};
      best = length;
    }
  }
  if (position + 4 > size_ || best >= maxLength) return count;
  // A node that compared no longer than one before it cannot be longer than the match
  // that one gave (which is at least as long as its comparison, or maxLength).
  const std::uint32_t room = kMaxCandidates - count;
  std::uint32_t fromTrees = 0;
  for (std::uint32_t k = 0; k < walked.nodes && best < maxLength; ++k) {
    if (nodes[k].length <= best) continue;
    // Counted again from the first byte, and on past the length the trees compare:
    // the walk takes the bytes its bounds share as equal, which holds only while the
    // window is the one the trees were built on.
    const std::uint32_t length = matchLength(here, here - nodes[k].back, std::min(maxLength, size_ - position));
    if (length <= best) continue;
    best = length;
    if (fromTrees == room) --fromTrees;  // keep the longest
    out[count + fromTrees++] = {length, nodes[k].back};
  }
  count += fromTrees;
  // Near the window's end the last positions have not joined their trees yet: they are
  // searched one by one, nearest first (fewer than kTreeLength of them).
  for (std::uint32_t source = position; source > walked.indexed && best < maxLength;) {
    --source;
    const std::uint32_t length = matchLength(here, window_ + source, maxLength);
    if (length <= best) continue;
    best = length;
    if (count == kMaxCandidates) --count;  // keep the longest
    out[count++] = {length, position - source};
  }
  return count;
}

}  // namespace quorvex::lz
