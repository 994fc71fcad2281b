// The adaptive model of run-start coding: the counters that code how far ahead a byte
// value's next run starts, and the context classes that select them.
#pragma once

#include <array>
#include <cstdint>

namespace quorvex::bwt {

// Gap class of the distance g from the current position to the second value's next run,
// indexed by (g - 1) mod 256: short gaps get their own classes.
inline constexpr std::array<std::uint8_t, 256> kGapClass = [] {
  std::array<std::uint8_t, 256> table{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    table[i] = i == 0 ? 5 : i == 1 ? 4 : i == 2 ? 3 : i <= 6 ? 2 : i <= 9 ? 1 : 0;
  }
  return table;
}();

// Average class of a value's smoothed gap, q = the average rounded to whole units of
// 256, indexed by min(q, 383).
inline constexpr std::uint32_t kAverageClassLimit = 383;
inline constexpr std::array<std::uint8_t, kAverageClassLimit + 1> kAverageClass = [] {
  constexpr std::uint32_t upperBounds[] = {1, 2, 4, 7, 13, 25, 48, 111, 318, 383};
  std::array<std::uint8_t, kAverageClassLimit + 1> table{};
  std::uint8_t cls = 0;
  for (std::uint32_t q = 0; q <= kAverageClassLimit; ++q) {
    if (q > upperBounds[cls]) ++cls;
    table[q] = cls;
  }
  return table;
}();

// A counter whose low four bits hold its own adaptation speed r: it moves by
// (target - counter + rounding) >> r, keeps its top 12 bits as the probability, and
// slows down by one step per update until r reaches maxSpeed.
inline void adaptSelfSlowingCounter(std::uint16_t& counter, std::uint32_t bit, std::int32_t rounding,
                                    std::int32_t maxSpeed) {
  const std::int32_t value = counter;
  const std::int32_t speed = value & 15;
  const std::int32_t target = bit ? 65536 : 0;
  const std::int32_t moved = (value + ((target - value + rounding) >> speed)) & 0xFFF0;
  counter = static_cast<std::uint16_t>(moved + speed + (speed < maxSpeed ? 1 : 0));
}

struct RunStartModel {
  static constexpr std::uint32_t kRows = 12;
  static constexpr std::uint32_t kContexts = 16;
  static constexpr std::uint32_t kGroupSize = 32;  // counter 0: escape; 1..31: length prefix
  static constexpr std::uint32_t kClasses = 32;
  static constexpr std::uint16_t kSelfSlowingStart = 0x8002;  // one half, speed 2
  static constexpr std::uint32_t kMantissaShift = 10;         // rounding 512

  std::array<std::uint16_t, kRows * kContexts * kGroupSize> groups;
  std::array<std::uint16_t, kClasses * kContexts> mantissa;  // [class][context]
  std::array<std::uint32_t, 256> gapAverage;
  std::array<std::uint32_t, 256> gapTrend;

  RunStartModel() { reset(); }

  void reset() {
    groups.fill(kSelfSlowingStart);
    mantissa.fill(0x8000);
    gapAverage.fill(0);
    gapTrend.fill(0);
  }

  std::uint16_t* group(std::uint32_t row, std::uint32_t context) {
    return &groups[(row * kContexts + context) * kGroupSize];
  }
};

}  // namespace quorvex::bwt
