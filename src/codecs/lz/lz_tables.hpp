// The two constant tables of the LZ token coder.
#pragma once

#include <array>
#include <cstdint>

namespace quorvex::lz {

// Summarises the last eight token kinds (bit 0 newest, 1 = literal) for the
// literal/match flag. A history ending in a run of four or more equal kinds maps to
// 2n + (kind), n being the run length; shorter runs keep the last three kinds.
constexpr std::array<std::uint8_t, 256> buildHistoryContextTable() {
  std::array<std::uint8_t, 256> table{};
  for (std::uint32_t index = 0; index < 256; ++index) {
    std::uint32_t run = 1;
    while (run < 8 && ((index >> run) & 1u) == (index & 1u)) ++run;
    table[index] = static_cast<std::uint8_t>(run <= 3 ? (index & 7u) : 2u * run + (index & 1u));
  }
  return table;
}

inline constexpr std::array<std::uint8_t, 256> HistoryContextTable = buildHistoryContextTable();

// Which slot tree codes the distance of a match, by min(length - 2, 15): short
// matches have their own distance statistics.
inline constexpr std::array<std::uint8_t, 16> SlotSetTable = {0, 1, 2, 3, 4, 5, 6, 6, 7, 7, 7, 7, 7, 8, 8, 8};

inline constexpr std::uint32_t kInitialHistoryContext = HistoryContextTable[255];

}  // namespace quorvex::lz
