// Hash chains over the whole history window, for the LZ encoder.
#pragma once

#include <cstdint>
#include <vector>

namespace quorvex::lz {

struct MatchCandidate {
  std::uint32_t length = 0;
  std::uint32_t back = 0;  // the source lies this many bytes before the position
};

class MatchFinder {
 public:
  // Longest list collect() returns: one candidate per length it improves on.
  static constexpr std::uint32_t kMaxCandidates = 64;

  // chainSteps bounds the sources tried per position: more finds longer and nearer
  // matches at a proportional cost in encoding time. pairDistance bounds how far back
  // a 2-byte match is looked for.
  // chainReach bounds how far back the chains lead (a power of two): the links live in
  // a ring of that many entries, so the finder's memory stops growing with the window
  // there (4 bytes a position) while the window may grow to the format's 501 MB.
  static constexpr std::uint32_t kDefaultChainReach = std::uint32_t{1} << 25;
  explicit MatchFinder(std::uint32_t chainSteps = 48, std::uint32_t pairDistance = 256,
                       std::uint32_t chainReach = kDefaultChainReach)
      : chainSteps_(chainSteps), pairDistance_(pairDistance), chainReach_(chainReach) {}

  // Positions are indexed by the three bytes starting there; chains are kept from call
  // to call, as the window only grows. A window shorter than what was indexed means a
  // new window: the chains start over.
  void attach(const std::uint8_t* window, std::uint32_t size);

  // Makes every position below `limit` available as a source.
  void indexUpTo(std::uint32_t limit);

  // The matches at `position` (at most maxLength long) in order of increasing length,
  // each the nearest source found for its length: a 2-byte match from close by, then
  // what the chains give. Returns the count written to `out`.
  std::uint32_t collect(std::uint32_t position, std::uint32_t maxLength, MatchCandidate* out) const;
  // Chain entries held: the window's size, at most chainReach.
  std::size_t chainEntries() const { return chain_.size(); }

 private:
  static constexpr std::uint32_t kHashBits = 20;
  static constexpr std::uint32_t kGoodEnough = 512;    // stop searching at a match this long

  std::uint32_t hashAt(std::uint32_t position) const;
  std::uint32_t pairAt(std::uint32_t position) const;

  std::uint32_t chainSteps_;
  std::uint32_t pairDistance_;
  std::uint32_t chainReach_;
  const std::uint8_t* window_ = nullptr;
  std::uint32_t size_ = 0;
  std::uint32_t indexed_ = 0;
  std::vector<std::uint32_t> head_;   // position + 1 of the latest occurrence, 0 = none
  std::vector<std::uint32_t> pairs_;  // position + 1 of the latest occurrence of each byte pair
  // position + 1 of the previous occurrence, at position mod chainReach_; an entry
  // counts only while no later position has taken its place
  std::vector<std::uint32_t> chain_;
};

// Number of equal bytes at a and b, up to limit.
std::uint32_t matchLength(const std::uint8_t* a, const std::uint8_t* b, std::uint32_t limit);

}  // namespace quorvex::lz
