#include "model/counters.hpp"

#include <algorithm>
#include <cstring>

namespace quorvex {

void fillWords(std::uint32_t* words, std::uint32_t value, std::size_t n) { std::fill_n(words, n, value); }

void fillHalfWords(std::uint16_t* halves, std::uint16_t value, std::size_t n) { std::fill_n(halves, n, value); }

void fillInterpolationRows(std::uint16_t* entries, std::size_t rows, std::size_t columns, std::uint32_t step,
                           std::uint32_t first) {
  if (rows == 0 || columns == 0) return;
  entries[0] = 0;
  for (std::size_t k = 1; k + 1 < columns; ++k) {
    const std::uint32_t point = first + static_cast<std::uint32_t>(k - 1) * step;
    entries[k] = static_cast<std::uint16_t>(16u * SquashTable[point & 4095u]);
  }
  if (columns > 1) entries[columns - 1] = 65535;
  for (std::size_t row = 1; row < rows; ++row) {
    std::memcpy(entries + row * columns, entries, columns * sizeof(std::uint16_t));
  }
}

}  // namespace quorvex
