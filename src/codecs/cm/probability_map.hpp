// Adaptive probability entries of the context-mixing codec and the maps built from them.
//
// An entry is one u32: the probability of a 1 in its upper 24 bits (the whole word is
// the probability times 2^32) and a count n in its low 8 bits. Learning moves the
// probability by 1/(n + 1.5) of the error, so young entries adapt fast and old ones
// settle, until the count reaches its limit.
#pragma once

#include <array>
#include <cstdint>

#include "model/logistic_tables.hpp"

namespace quorvex::cm {

inline constexpr std::uint32_t kHalfEntry = 0x80000000u;  // probability one half, count 0

// The move of an entry's probability towards bit y: 1/(n + 1.5) of the error, with the
// low 8 bits (the count) clear so that it never carries into the count.
constexpr std::uint32_t probabilityStep(std::uint32_t value, std::uint32_t bit) {
  const std::uint32_t error = (bit << 23) - (value >> 9);
  return (error * static_cast<std::uint32_t>(ReciprocalTable[value & 0xFF])) & 0xFFFFFF00u;
}

// Learns bit y into an entry with count limit L (at most 255). A count above L (the
// refinement table's limit can shrink) falls to L in one step: the count becomes
// min(n + 1, L).
constexpr std::uint32_t refineEntry(std::uint32_t value, std::uint32_t bit, std::uint32_t limit) {
  const std::uint32_t count = value & 0xFF;
  return value + probabilityStep(value, bit) + (count < limit ? 1u : limit - count);
}

// A 12-bit probability from an entry.
constexpr std::uint32_t entryProbability(std::uint32_t value) { return value >> 20; }

// `Size` entries, with the entry read for the last prediction pending until its bit is known.
template <std::uint32_t Size>
class ProbabilityMap {
 public:
  void reset() {
    entries_.fill(kHalfEntry);
    pendingIndex_ = 0;
    pendingValue_ = kHalfEntry;
  }

  // Makes entry `index` pending and returns its value.
  std::uint32_t select(std::uint32_t index) {
    pendingIndex_ = index;
    pendingValue_ = entries_[index];
    return pendingValue_;
  }

  // Stretched probability of entry `index`, which becomes pending.
  std::int32_t predict(std::uint32_t index) { return stretch(entryProbability(select(index))); }

  // The pending entry learns the bit from the value it had when it was read. A map
  // always learns with the same limit, so its counts never pass it and the count step
  // is a plain increment below the limit.
  void learn(std::uint32_t bit, std::uint32_t limit) {
    const std::uint32_t value = pendingValue_;
    entries_[pendingIndex_] = value + probabilityStep(value, bit) + ((value & 0xFF) < limit ? 1u : 0u);
  }

  std::uint32_t operator[](std::uint32_t index) const { return entries_[index]; }
  std::uint32_t pendingIndex() const { return pendingIndex_; }

 private:
  std::array<std::uint32_t, Size> entries_;
  std::uint32_t pendingIndex_ = 0;
  std::uint32_t pendingValue_ = kHalfEntry;
};

// One map per bit-history model: an entry per state byte.
using StateMap = ProbabilityMap<256>;

}  // namespace quorvex::cm
