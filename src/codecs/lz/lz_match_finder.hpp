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
  // Positions are indexed by the three bytes starting there; chains are kept from call
  // to call, as the window only grows. A window shorter than what was indexed means a
  // new window: the chains start over.
  void attach(const std::uint8_t* window, std::uint32_t size);

  // Makes every position below `limit` available as a source.
  void indexUpTo(std::uint32_t limit);

  // The longest match at `position` (at least 3 bytes, at most maxLength), nearest
  // source first among equals; length 0 when none.
  MatchCandidate longest(std::uint32_t position, std::uint32_t maxLength) const;

 private:
  static constexpr std::uint32_t kHashBits = 18;
  static constexpr std::uint32_t kMaxChainSteps = 96;
  static constexpr std::uint32_t kGoodEnough = 256;

  std::uint32_t hashAt(std::uint32_t position) const;

  const std::uint8_t* window_ = nullptr;
  std::uint32_t size_ = 0;
  std::uint32_t indexed_ = 0;
  std::vector<std::uint32_t> head_;   // position + 1 of the latest occurrence, 0 = none
  std::vector<std::uint32_t> chain_;  // position + 1 of the previous occurrence
};

// Number of equal bytes at a and b, up to limit.
std::uint32_t matchLength(const std::uint8_t* a, const std::uint8_t* b, std::uint32_t limit);

}  // namespace quorvex::lz
