// Alphabet remapping: a fixed permutation of byte values that the word stage's
// encoder applies to its output, so that frequent text bytes gather in a few
// neighbouring values. Blocks coded with context mixing never remap.
#pragma once

#include <array>
#include <cstdint>

namespace quorvex::text {

// The decoding direction: coded byte -> text byte. Unlisted bytes map to themselves.
inline constexpr std::array<std::uint8_t, 256> kRemapDecode = [] {
  std::array<std::uint8_t, 256> table{};
  for (int b = 0; b < 256; ++b) table[b] = static_cast<std::uint8_t>(b);
  constexpr std::uint8_t pairs[][2] = {
      {10, 34},   {32, 39},   {33, 38},   {34, 10},   {38, 32},   {39, 44},   {44, 46},   {45, 58},   {46, 47},
      {47, 45},   {58, 33},   {97, 115},  {98, 107},  {99, 122},  {100, 110}, {101, 109}, {102, 112}, {103, 118},
      {104, 100}, {105, 120}, {106, 99},  {107, 106}, {109, 114}, {110, 103}, {111, 104}, {112, 102}, {113, 116},
      {114, 98},  {115, 119}, {116, 105}, {117, 121}, {118, 113}, {119, 101}, {120, 97},  {121, 117}, {122, 111}};
  for (const auto& pair : pairs) table[pair[0]] = pair[1];
  return table;
}();

// The encoding direction, the inverse permutation.
inline constexpr std::array<std::uint8_t, 256> kRemapEncode = [] {
  std::array<std::uint8_t, 256> table{};
  for (int b = 0; b < 256; ++b) table[kRemapDecode[b]] = static_cast<std::uint8_t>(b);
  return table;
}();

static_assert(
    [] {
      for (int b = 0; b < 256; ++b) {
        if (kRemapDecode[kRemapEncode[b]] != b) return false;
      }
      return true;
    }(),
    "the remapping must be a permutation");

inline void remapBytes(std::uint8_t* bytes, std::uint32_t n, const std::array<std::uint8_t, 256>& table) {
  for (std::uint32_t i = 0; i < n; ++i) bytes[i] = table[bytes[i]];
}

}  // namespace quorvex::text
