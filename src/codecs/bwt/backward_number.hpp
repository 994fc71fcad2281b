// Backward numbers: the trailers of a BWT payload and of its segments are read from
// the end towards the start. A number's first byte read holds its most significant
// 7-bit group; each further byte adds the next lower group; the byte with its top bit
// set holds the lowest group and ends the number.
#pragma once

#include <cstdint>
#include <vector>

namespace quorvex::bwt {

// Reads one number ending just before cursor, moving cursor down, never below start.
// At the start, the number read so far is taken times 128 (a read starting there is 0).
inline std::uint32_t readBackwardNumber(const std::uint8_t* start, const std::uint8_t*& cursor) {
  std::uint32_t value = 0;
  if (cursor == start) return 0;
  for (;;) {
    if (cursor == start) return value << 7;
    const std::uint8_t byte = *--cursor;
    value = (value << 7) + (byte & 0x7Fu);
    if (byte & 0x80u) return value;
  }
}

// Appends a number so that a backward read ending at the new end returns it.
inline void appendBackwardNumber(std::vector<std::uint8_t>& out, std::uint32_t value) {
  out.push_back(static_cast<std::uint8_t>(0x80u | (value & 0x7Fu)));
  std::uint8_t groups[5];
  std::uint32_t count = 0;
  for (value >>= 7; value != 0; value >>= 7) groups[count++] = static_cast<std::uint8_t>(value & 0x7Fu);
  for (std::uint32_t i = 0; i < count; ++i) out.push_back(groups[i]);
}

}  // namespace quorvex::bwt
