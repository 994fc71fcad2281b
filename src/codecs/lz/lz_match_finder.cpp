#include "codecs/lz/lz_match_finder.hpp"

#include <algorithm>
#include <cstring>

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

void MatchFinder::attach(const std::uint8_t* window, std::uint32_t size) {
  if (size < indexed_ || head_.empty()) {
    head_.assign(std::size_t{1} << kHashBits, 0);
    pairs_.assign(std::size_t{1} << 16, 0);
    chain_.clear();
    indexed_ = 0;
  }
  window_ = window;
  size_ = size;
  const std::size_t entries = std::min<std::size_t>(size, chainReach_);
  if (entries > chain_.size()) {
    // Grow by doubling, but never past the ring: the last doubling would otherwise
    // reserve up to twice the ring's memory.
    if (entries > chain_.capacity()) chain_.reserve(std::min<std::size_t>(std::max(entries, 2 * chain_.capacity()), chainReach_));
    chain_.resize(entries, 0);
  }
}

std::uint32_t MatchFinder::hashAt(std::uint32_t position) const {
  const std::uint32_t v = std::uint32_t{window_[position]} | std::uint32_t{window_[position + 1]} << 8 |
                          std::uint32_t{window_[position + 2]} << 16;
  return (v * 2654435761u) >> (32 - kHashBits);
}

std::uint32_t MatchFinder::pairAt(std::uint32_t position) const {
  return std::uint32_t{window_[position]} | std::uint32_t{window_[position + 1]} << 8;
}

void MatchFinder::indexUpTo(std::uint32_t limit) {
  if (limit + 2 > size_) limit = size_ >= 2 ? size_ - 2 : 0;
  for (; indexed_ < limit; ++indexed_) {
    std::uint32_t& latest = head_[hashAt(indexed_)];
    chain_[indexed_ & (chainReach_ - 1)] = latest;
    latest = indexed_ + 1;
    pairs_[pairAt(indexed_)] = indexed_ + 1;
  }
}

std::uint32_t MatchFinder::collect(std::uint32_t position, std::uint32_t maxLength, MatchCandidate* out) const {
  if (maxLength < 2 || position + 3 > size_) return 0;
  const std::uint8_t* here = window_ + position;
  std::uint32_t count = 0;
  std::uint32_t best = 1;

  const std::uint32_t pair = pairs_[pairAt(position)];
  if (pair != 0 && pair - 1 < position && position - (pair - 1) <= pairDistance_) {
    const std::uint32_t length = matchLength(here, window_ + pair - 1, maxLength);
    if (length >= 2) {
      out[count++] = {length, position - (pair - 1)};
      best = length;
    }
  }

  std::uint32_t next = head_[hashAt(position)];
  for (std::uint32_t steps = 0; next != 0 && steps < chainSteps_ && best < maxLength; ++steps) {
    const std::uint32_t source = next - 1;
    // Past the ring's reach the entry belongs to a later position: the chain ends here.
    next = indexed_ - source <= chainReach_ ? chain_[source & (chainReach_ - 1)] : 0;
    if (source >= position) continue;
    const std::uint8_t* there = window_ + source;
    if (there[best] != here[best]) continue;  // cannot beat the best
    const std::uint32_t length = matchLength(here, there, maxLength);
    if (length <= best) continue;
    best = length;
    if (count == kMaxCandidates) --count;  // keep the longest
    out[count++] = {length, position - source};
    if (length >= kGoodEnough) break;
  }
  return count;
}

}  // namespace quorvex::lz
