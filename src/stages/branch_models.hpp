// The coded decisions of the branch-target stage, written once for both directions.
//
// Each operation has the shape value = codeSomething(coder, model, ..., value): a
// decoder ignores the value it is given and returns the decoded one, an encoder writes
// the value and returns it. All of them run on the scaled-range binary coder.
#pragma once

#include <array>
#include <cstdint>

#include "model/number_codes.hpp"
#include "model/counters.hpp"
#include "model/logistic_tables.hpp"

namespace quorvex::stages {

// How an operand is found: left in the code (0), from a list of recent targets (1),
// or from coded data (2).
enum BranchSymbol : std::uint32_t { kOperandKept = 0, kOperandRecent = 1, kOperandNew = 2 };

// A three-way symbol in two binary steps ("is it above 0?", "is it above 1?"). Each
// step mixes its cell, indexed by the context byte, with an interpolated map row chosen
// by the last two symbols, so the model learns both what follows which byte and how
// the symbols run.
struct SymbolModel {
  static constexpr std::uint32_t kColumns = 8;
  static constexpr std::uint32_t kRows = 64;
  using Row = std::array<std::uint16_t, kColumns>;

  std::uint32_t history = 0;  // the last two symbols, 0..15
  std::array<std::uint16_t, 1024> cells;
  std::array<Row, kRows> rows;

  // The start row: 16 * squash at seven stretch points 585 apart, ends pinned.
  static constexpr Row startRow() {
    Row row{};
    row[0] = 0;
    constexpr std::int32_t points[] = {-1464, -879, -294, 291, 876, 1461};
    for (std::uint32_t i = 0; i < 6; ++i) row[i + 1] = static_cast<std::uint16_t>(16 * squash(points[i]));
    row[kColumns - 1] = 65535;
    return row;
  }

  SymbolModel() { reset(); }
  void reset() {
    history = 0;
    cells.fill(kHalfProbability);
    rows.fill(startRow());
  }
};

template <class Coder>
inline std::uint32_t codeSymbol(Coder& coder, SymbolModel& model, std::uint32_t context, std::uint32_t symbol) {
  const std::uint32_t g = 4 * model.history;
  std::uint32_t result = kOperandNew;
  for (std::uint32_t step = 0; step < 2; ++step) {
    std::uint16_t& cell = model.cells[4 * context + step];
    SymbolModel::Row& row = model.rows[g + step];
    const std::uint32_t q = std::uint32_t{StretchTable[cell >> 4]} * 7;  // 0..28665
    const std::uint32_t j = q >> 12;                                       // 0..6
    const std::uint32_t f = q & 0xFFFu;
    const std::uint32_t mapped = (std::uint32_t{row[j]} * (4096 - f) + std::uint32_t{row[j + 1]} * f) >> 16;
    const std::uint32_t p = ((std::uint32_t{cell} >> 4) + 3 * mapped + 2) >> 2;
    const std::uint32_t bit = coder.codeBit(p, symbol > step ? 1u : 0u);
    adaptCounter(cell, bit, 65536u, 8u, 4u);
    adaptCounter(row[j + ((q >> 11) & 1u)], bit, 65550u, 0u, 4u);
    if (bit == 0) {
      result = step;
      break;
    }
  }
  model.history = (g + result) & 15u;
  return result;
}

// Index into the list of 256 recent jump targets: a unary class k (0..7, seven cells),
// then the bits below the leading 1 down a tree (class 0: one bit, values 0 and 1).
struct JumpIndexModel {
  std::array<std::uint16_t, 8> classCells;
  std::array<std::uint16_t, 512> treeCells;
  JumpIndexModel() { reset(); }
  void reset() {
    classCells.fill(kHalfProbability);
    treeCells.fill(kHalfProbability);
  }
};

template <class Coder>
inline std::uint32_t codeJumpIndex(Coder& coder, JumpIndexModel& model, std::uint32_t index) {
  constexpr std::uint32_t kMaxClass = 7;
  const std::uint32_t wanted = lengthClass(index);
  std::uint32_t k = 0;
  while (k < kMaxClass && codeAdaptiveBit(coder, model.classCells[k], 4, k == wanted ? 1u : 0u) == 0) ++k;
  std::uint32_t v = k > 0 ? 1u : 0u;
  const std::uint32_t bits = k > 0 ? k : 1u;
  const std::uint32_t treeBase = 1u << k;
  for (std::uint32_t i = bits; i-- > 0;) {
    v = 2 * v + codeAdaptiveBit(coder, model.treeCells[treeBase + v], 4, (index >> i) & 1u);
  }
  return v;
}

// A signed 32-bit displacement: its sign (one cell per selector: 0 for JMP, 1 + the
// condition code for conditional jumps), the length class of its magnitude m in unary
// (m for a sign of 0, the complement for 1), then the bits of m below its leading 1,
// each with a cell chosen by class, bit position and the previous bit.
struct DisplacementModel {
  static constexpr std::uint32_t kClassLimit = 31;  // 31 leading 1s: no such class
  std::array<std::uint16_t, 32> classCells;
  std::array<std::uint16_t, 62 * 31> bitCells;
  std::array<std::uint16_t, 18> signCells;
  DisplacementModel() { reset(); }
  void reset() {
    classCells.fill(kHalfProbability);
    bitCells.fill(kHalfProbability);
    signCells.fill(kHalfProbability);
  }
};

// displacement: in for the encoder, out for the decoder. False when the class count
// reaches 31, whose bits would lie beyond the model: such a stream is broken.
template <class Coder>
inline bool codeDisplacement(Coder& coder, DisplacementModel& model, std::uint32_t selector,
                             std::uint32_t& displacement) {
  const std::uint32_t sign = codeAdaptiveBit(coder, model.signCells[selector], 4, displacement >> 31);
  const std::uint32_t magnitude = sign ? ~displacement : displacement;  // meaningful when encoding
  const std::uint32_t wanted = lengthClass(magnitude);
  std::uint32_t k = 0;
  while (k < DisplacementModel::kClassLimit &&
         codeAdaptiveBit(coder, model.classCells[k], 3, k < wanted ? 1u : 0u) == 1) {
    ++k;
  }
  if (k == DisplacementModel::kClassLimit) return false;
  std::uint32_t m = k > 0 ? 1u : 0u;
  const std::uint32_t bits = k > 0 ? k : 1u;
  std::uint32_t previous = sign;
  for (std::uint32_t j = 0; j < bits; ++j) {
    const std::uint32_t bit =
        codeAdaptiveBit(coder, model.bitCells[62 * k + 2 * j + previous], 4, (magnitude >> (bits - 1 - j)) & 1u);
    m = 2 * m + bit;
    previous = bit;
  }
  displacement = sign ? ~m : m;
  return true;
}

}  // namespace quorvex::stages
