// The in-block match stage of BWT blocks, both directions.
//
// Before the transform, repeated strings of a block are replaced by the escape
// 0xFE 0xF1 0x00; each match's distance and length go to a separate arithmetic-coded
// stream. A literal 0xFE 0xF1 that the escape byte could follow is kept by
// 0xFE 0xF1 0x01. Distances are coded as one of four recent distances or as a new
// one (a unary class and direct bits); lengths (7 and up) with the shared match-length
// code.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "codecs/bwt/match_coding.hpp"

namespace quorvex::bwt {

inline constexpr std::uint8_t kLocalEscapeSecond = 0xF1;
inline constexpr std::uint32_t kLocalMinLength = 7;

struct LocalMatchModel {
  static constexpr std::uint32_t kSelectorShift = 3;  // shift 3, rounding 4
  std::array<std::uint16_t, 4> selector;
  std::array<std::uint16_t, 32> distanceClasses;
  MatchLengthModel lengths;
  std::array<std::uint32_t, 4> recentDistances{1, 1, 1, 1};
  LocalMatchModel() {
    selector.fill(kHalfProbability);
    distanceClasses.fill(kHalfProbability);
  }
};

// The distance of a match: a recent one or a new one; the recent distances move as the
// decoder moves them. The encoder codes distance (a recent slot when one holds it).
// Returns the distance (0 only when a stream codes class 0 with bit 0).
template <class Coder>
inline std::uint32_t codeLocalDistance(Coder& coder, LocalMatchModel& model, std::uint32_t distance, bool& repeated) {
  auto& recent = model.recentDistances;
  std::uint32_t slot = 4;
  if constexpr (Coder::isEncoder) {
    for (std::uint32_t j = 0; j < 4 && slot == 4; ++j) {
      if (recent[j] == distance) slot = j;
    }
  }
  const auto selectorBit = [&](std::uint32_t counter, std::uint32_t bit) {
    return codeAdaptiveBit(coder, model.selector[counter], LocalMatchModel::kSelectorShift, bit);
  };
  repeated = selectorBit(0, slot == 4 ? 1u : 0u) == 0;
  if (repeated) {
    std::uint32_t j = 0;
    while (j < 3 && !selectorBit(j + 1, slot == j ? 1u : 0u)) ++j;
    const std::uint32_t d = recent[j];
    for (; j > 0; --j) recent[j] = recent[j - 1];
    recent[0] = d;
    return d;
  }
  const std::uint32_t distanceClass = lengthClass(distance);
  std::uint32_t k = 0;
  while (k < 31 && codeAdaptiveBit(coder, model.distanceClasses[k], kMatchAdaptShift, k < distanceClass ? 1u : 0u)) {
    ++k;
  }
  const std::uint32_t d = k == 0 ? codeDirectBits(coder, 1, distance) : (1u << k) + codeDirectBits(coder, k, distance);
  recent[3] = recent[2];
  recent[2] = recent[1];
  recent[1] = recent[0];
  recent[0] = d;
  return d;
}

// Copies input (n bytes) to output, expanding every match escape; side is the match
// stream. Returns the output length, 0 on failure: capacity reached before the input is
// consumed, a distance of 0 or reaching before the output's start, a length class
// beyond 31 or a match that would pass the capacity. Output must not overlap input.
std::uint32_t expandLocalMatches(std::span<const std::uint8_t> side, const std::uint8_t* input, std::uint32_t n,
                                 std::uint8_t* output, std::uint32_t capacity);

// The forward twin: the escaped block and its match stream. Matches shorter than
// minLength (at least 7) are left as literals.
struct ShortenedBlock {
  std::vector<std::uint8_t> bytes;
  std::vector<std::uint8_t> side;
  std::uint32_t matches = 0;
};
ShortenedBlock findLocalMatches(std::span<const std::uint8_t> block, std::uint32_t minLength);

}  // namespace quorvex::bwt
