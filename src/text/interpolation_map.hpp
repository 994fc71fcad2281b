// Interpolating probability maps of the text models: a row of 16-bit probabilities at
// evenly spaced stretch points, read by linear interpolation and refined at the
// nearer of the two points read.
#pragma once

#include <cstdint>

#include "model/counters.hpp"

namespace quorvex::text {

struct MapReading {
  std::uint32_t p;      // 12-bit probability
  std::uint16_t* node;  // the point to refine once the bit is known
};

// s: a stretch value scaled so that s >> 12 selects the left point of the row.
inline MapReading readMap(std::uint16_t* row, std::uint32_t s) {
  const std::uint32_t i = s >> 12;
  const std::uint32_t w = s & 0xFFFu;
  const std::uint32_t p = ((4096u - w) * row[i] + w * row[i + 1]) >> 16;
  return {p, (s & 0x800u) ? &row[i + 1] : &row[i]};
}

// node += (bit * one - node) >> shift, arithmetic shift, kept in 16 bits.
inline void refineNode(std::uint16_t* node, std::uint32_t bit, std::uint32_t one, std::uint32_t shift) {
  adaptCounter(*node, bit, one, 0, shift);
}

}  // namespace quorvex::text
