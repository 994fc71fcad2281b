// Start-up tables that only the context-mixing codec reads: the model selection table
// and the roll-off tables of the rolling hashes. Both are computed at compile time, so
// they exist before any decoder is built and no start-up order can break them.
#pragma once

#include <array>
#include <cstdint>

namespace quorvex::cm {

// Bits of `modelSet`: which context models take part in the current byte.
inline constexpr std::uint32_t kUseOrder24 = 0x80;     // only together with kUseOrder10
inline constexpr std::uint32_t kUseOrder10 = 0x40;     // and switches the sparse, class and bit-history models off
inline constexpr std::uint32_t kUseOrder6 = 0x20;      // only together with kUseOrder4
inline constexpr std::uint32_t kUseOrder4 = 0x10;
inline constexpr std::uint32_t kSlowApm = 0x08;        // slower refinement learning
inline constexpr std::uint32_t kUseWord = 0x04;
inline constexpr std::uint32_t kUseBitHistory = 0x02;  // only while kUseOrder10 is clear

namespace detail {

// Entry 16r + s from the two smoothed error levels R = 8r (fast) and S = 8s (slow):
// the better the recent predictions, the more high-order models are worth their time.
constexpr std::array<std::uint8_t, 256> buildModelSelectTable() {
  std::array<std::uint8_t, 256> table{};
  for (std::uint32_t r = 0; r < 16; ++r) {
    for (std::uint32_t s = 0; s < 16; ++s) {
      const std::uint32_t R = 8 * r;
      const std::uint32_t S = 8 * s;
      std::uint32_t bits = 0;
      if (S <= 13 && R <= 23) bits |= kUseOrder24;
      if (R <= 31 && S <= 17) bits |= kUseOrder10;
      if (R <= 55 || S <= 47) bits |= kUseOrder6;
      if (S <= 55 || R <= 63) bits |= kUseOrder4;
      if (S > 90 || R > 100) bits |= kSlowApm;
      if (S <= 79 || R <= 89) bits |= kUseWord;
      if (R > 70 || (R > 50 && S > 80)) bits |= kUseBitHistory;
      table[16 * r + s] = static_cast<std::uint8_t>(bits);
    }
  }
  return table;
}

constexpr std::uint32_t power(std::uint32_t base, std::uint32_t exponent) {
  std::uint32_t result = 1;
  for (std::uint32_t i = 0; i < exponent; ++i) result *= base;
  return result;
}

}  // namespace detail

inline constexpr std::array<std::uint8_t, 256> ModelSelectTable = detail::buildModelSelectTable();

// A rolling hash over the last n bytes is r = (r + c - RollOffTable[oldest]) * M: the
// table entry x * M^n removes the byte x that entered n steps ago.
using RollOffTable = std::array<std::uint32_t, 256>;

constexpr RollOffTable buildRollOffTable(std::uint32_t multiplier, std::uint32_t length) {
  RollOffTable table{};
  const std::uint32_t factor = detail::power(multiplier, length);
  for (std::uint32_t x = 0; x < 256; ++x) table[x] = x * factor;
  return table;
}

// Multipliers of the context models' rolling hashes over the last 6, 10 and 24 bytes.
inline constexpr std::uint32_t kOrder6Multiplier = 0x2F208239;
inline constexpr std::uint32_t kOrder10Multiplier = 0xAE8E8215;
inline constexpr std::uint32_t kOrder24Multiplier = 0x99ABC1C7;
// The match model's two rolling hashes (last 4 and last 8 bytes) share one multiplier.
inline constexpr std::uint32_t kMatchMultiplier = 0x1000193;

inline constexpr RollOffTable RollOffTable6 = buildRollOffTable(kOrder6Multiplier, 6);
inline constexpr RollOffTable RollOffTable10 = buildRollOffTable(kOrder10Multiplier, 10);
inline constexpr RollOffTable RollOffTable24 = buildRollOffTable(kOrder24Multiplier, 24);
inline constexpr RollOffTable RollOffTableMatch4 = buildRollOffTable(kMatchMultiplier, 4);
inline constexpr RollOffTable RollOffTableMatch8 = buildRollOffTable(kMatchMultiplier, 8);

// One step of a rolling hash: c enters, `leaving` (the byte that entered n steps ago) leaves.
constexpr std::uint32_t rollHash(std::uint32_t hash, std::uint32_t c, std::uint32_t leaving, const RollOffTable& rollOff,
                                 std::uint32_t multiplier) {
  return (hash + c - rollOff[leaving & 0xFF]) * multiplier;
}

}  // namespace quorvex::cm
