// Probability counters and the routines that initialise probability arrays.
#pragma once

#include <cstddef>
#include <cstdint>

#include "model/logistic_tables.hpp"

namespace quorvex {

// Moves an adaptive probability toward the decoded bit by a fixed fraction:
// counter += floor((target - counter + rounding) / 2^shift), target = one or 0.
// The floor division is an arithmetic shift of a 64-bit difference; the result is
// stored in the counter's own width.
template <class Counter>
constexpr void adaptCounter(Counter& counter, std::uint32_t bit, std::uint32_t one, std::uint32_t rounding,
                            std::uint32_t shift) {
  const std::int64_t target = bit ? std::int64_t{one} : 0;
  const std::int64_t delta = target - std::int64_t{counter} + std::int64_t{rounding};
  counter = static_cast<Counter>(std::int64_t{counter} + (delta >> shift));
}

// The common 16-bit probability counter: target 65536, rounding 2^(shift-1).
constexpr void adaptProbability16(std::uint16_t& counter, std::uint32_t bit, std::uint32_t shift) {
  adaptCounter(counter, bit, 65536u, 1u << (shift - 1), shift);
}

// Sets n consecutive 32-bit words to value.
void fillWords(std::uint32_t* words, std::uint32_t value, std::size_t n);

// Sets n 16-bit counters to value (arrays of 16-bit probabilities filled in pairs).
void fillHalfWords(std::uint16_t* halves, std::uint16_t value, std::size_t n);

// Fills rows x columns 16-bit entries of an interpolating probability map: every row
// holds 16 * squash at the stretch points first, first + step, ..., with the ends
// pinned to 0 and 65535.
void fillInterpolationRows(std::uint16_t* entries, std::size_t rows, std::size_t columns, std::uint32_t step,
                           std::uint32_t first);

// The step every caller uses for a map of the given column count.
constexpr std::uint32_t interpolationStep(std::uint32_t columns) { return 4096u / (columns - 1); }

// fillInterpolationRows with the format's evenly spaced stretch points.
inline void fillInterpolationRows(std::uint16_t* entries, std::size_t rows, std::uint32_t columns) {
  const std::uint32_t step = interpolationStep(columns);
  fillInterpolationRows(entries, rows, columns, step, step - 1);
}

}  // namespace quorvex
