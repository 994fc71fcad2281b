// Where the LZ parse gets its matches: the binary trees, their walks run ahead on a
// thread of their own, or the hash buckets of the fast levels.
#pragma once

#include <cstdint>

namespace quorvex::lz {

struct MatchCandidate {
  std::uint32_t length = 0;
  std::uint32_t back = 0;  // the source lies this many bytes before the position
};

class MatchSource {
 public:
  // Longest list collect() returns: one candidate per length it improves on.
  static constexpr std::uint32_t kMaxCandidates = 64;

  // The matches at `position` (at most maxLength long) in order of increasing length,
  // each real (its bytes equal the position's over its whole length). Positions are
  // asked in increasing order within a block. Returns the count written to `out`.
  virtual std::uint32_t collect(std::uint32_t position, std::uint32_t maxLength, MatchCandidate* out) = 0;

 protected:
  ~MatchSource() = default;
};

// Number of equal bytes at a and b, up to limit.
std::uint32_t matchLength(const std::uint8_t* a, const std::uint8_t* b, std::uint32_t limit);

// Both finders keep the newest position of each 2-byte string and of each 3-byte
// string's hash, for the short matches their longer keys cannot see.
inline constexpr std::uint32_t kTripleBits = 16;

inline std::uint32_t pairKey(const std::uint8_t* at) { return std::uint32_t{at[0]} | std::uint32_t{at[1]} << 8; }

inline std::uint32_t tripleKey(const std::uint8_t* at) {
  const std::uint32_t v = std::uint32_t{at[0]} | std::uint32_t{at[1]} << 8 | std::uint32_t{at[2]} << 16;
  return (v * 2654435761u) >> (32 - kTripleBits);
}

}  // namespace quorvex::lz
