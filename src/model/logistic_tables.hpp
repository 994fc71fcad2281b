// The logistic lookup tables shared by every modelling codec.
//
// Probabilities are 12-bit (0..4095, the chance that a bit is 1); the stretch
// domain is ln(p / (1 - p)) scaled so that one unit of 12-bit probability near
// the middle is 170 / ln 2 / 4096 stretch units. All tables are computed at compile
// time from the integer rules of the format, so no start-up order matters.
#pragma once

#include <array>
#include <cstdint>

namespace quorvex {

inline constexpr std::uint32_t kProbabilityBits = 12;
inline constexpr std::uint32_t kProbabilityScale = 1u << kProbabilityBits;  // 4096

namespace detail {

// floor(log2(a)) of a non-zero value.
constexpr std::uint32_t highestBit(std::uint32_t a) {
  std::uint32_t e = 0;
  while (a >> (e + 1) != 0) ++e;
  return e;
}

// 2048 + 170 * log2(p / (4096 - p)), by the format's fixed-point squaring rule.
constexpr std::array<std::uint16_t, 4096> buildStretchTable() {
  std::array<std::uint16_t, 4096> table{};
  table[0] = 0;
  table[1] = 64;
  for (std::uint32_t i = 2; i < 2048; ++i) {
    const std::uint32_t a = (4096u * i) / (4096u - i);
    const std::uint32_t e = highestBit(a);
    std::uint64_t m = (std::uint64_t{a} << 31) >> e;  // a / 2^e with 31 fraction bits
    std::uint64_t log = std::uint64_t{e} << 31;       // log2(a), 31 fraction bits
    std::uint64_t weight = std::uint64_t{1} << 30;
    for (int round = 0; round < 31; ++round, weight >>= 1) {
      m = m * m;
      if ((m >> 31) > 0xFFFFFFFFull) {
        log += weight;
        m >>= 32;
      } else {
        m >>= 31;
      }
    }
    table[i] = static_cast<std::uint16_t>((log * 170u + 0x43C000000ull) >> 31);
  }
  for (std::uint32_t j = 0; j < 2048; ++j) {
    table[2048 + j] = static_cast<std::uint16_t>(4095u - table[2047 - j]);
  }
  return table;
}

// The inverse of the stretch table: for each biased stretch value, the 12-bit
// probability whose stretch is nearest.
constexpr std::array<std::uint16_t, 4096> buildSquashTable(const std::array<std::uint16_t, 4096>& stretch) {
  std::array<std::uint16_t, 4096> table{};
  std::int32_t a = 0;
  for (std::int32_t j = 0; j < 2048; ++j) {
    const std::int32_t c = stretch[static_cast<std::size_t>(j)];
    const std::int32_t half = c > a ? (c - a) / 2 : 0;
    std::int32_t k = a;
    for (; k < a + half; ++k) table[static_cast<std::size_t>(k)] = static_cast<std::uint16_t>(j - 1);
    for (; k < c; ++k) table[static_cast<std::size_t>(k)] = static_cast<std::uint16_t>(j);
    if (c > a) a = c;
  }
  const std::int32_t rest = (2048 - a) / 2;
  for (std::int32_t k = a; k < 2048; ++k) {
    table[static_cast<std::size_t>(k)] = static_cast<std::uint16_t>(k < a + rest ? 2046 : 2047);
  }
  for (std::uint32_t k = 0; k < 2048; ++k) {
    table[2048 + k] = static_cast<std::uint16_t>(4095u - table[2047 - k]);
  }
  return table;
}

constexpr std::array<std::int16_t, 256> buildByteStretchTable(const std::array<std::uint16_t, 4096>& stretch) {
  std::array<std::int16_t, 256> table{};
  table[0] = -2048;
  table[1] = -1792;
  table[2] = -1536;
  for (std::uint32_t k = 3; k <= 252; ++k) {
    table[k] = static_cast<std::int16_t>(std::int32_t{stretch[16 * k + 8]} - 2048);
  }
  table[253] = 1535;
  table[254] = 1791;
  table[255] = 2047;
  return table;
}

constexpr std::array<std::int32_t, 256> buildReciprocalTable() {
  std::array<std::int32_t, 256> table{};
  table[0] = 255;
  for (std::int32_t n = 1; n < 256; ++n) table[static_cast<std::size_t>(n)] = 1024 / (2 * n + 3);
  return table;
}

constexpr std::array<std::uint16_t, 256> buildByteSquashTable(const std::array<std::uint16_t, 4096>& squash) {
  std::array<std::uint16_t, 256> table{};
  table[0] = 0;
  for (std::uint32_t j = 1; j <= 254; ++j) table[j] = squash[16 * j + 8];
  table[255] = 4095;
  return table;
}

}  // namespace detail

// For a 12-bit probability p: 2048 + 170 * log2(p / (4096 - p)), 0..4095.
inline constexpr std::array<std::uint16_t, 4096> StretchTable = detail::buildStretchTable();
// For a biased stretch value s (0..4095): the 12-bit probability whose stretch is nearest.
inline constexpr std::array<std::uint16_t, 4096> SquashTable = detail::buildSquashTable(StretchTable);
// Stretch of the centre of each 16-wide probability bucket (LZ codec).
inline constexpr std::array<std::int16_t, 256> ByteStretchTable = detail::buildByteStretchTable(StretchTable);
// floor(1024 / (2n + 3)), entry 0 = 255.
inline constexpr std::array<std::int32_t, 256> ReciprocalTable = detail::buildReciprocalTable();
// Squash of the centre of each 16-wide stretch bucket.
inline constexpr std::array<std::uint16_t, 256> ByteSquashTable = detail::buildByteSquashTable(SquashTable);

// Signed stretch, -2048..2047.
constexpr std::int32_t stretch(std::uint32_t p) { return std::int32_t{StretchTable[p & 4095u]} - 2048; }
// Squash of a signed stretch value in -2048..2047 (callers clamp first).
constexpr std::uint32_t squash(std::int32_t x) { return SquashTable[static_cast<std::uint32_t>(x + 2048) & 4095u]; }

}  // namespace quorvex
