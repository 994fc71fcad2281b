// An output buffer with a hard limit, for the text transforms that fail as a whole
// when their output would not fit.
#pragma once

#include <cstdint>

namespace quorvex::text {

struct BoundedOutput {
  std::uint8_t* out;
  std::uint32_t capacity;
  std::uint32_t length = 0;
  // False, writing nothing, when the buffer is full.
  bool put(std::uint8_t byte) {
    if (length >= capacity) return false;
    out[length++] = byte;
    return true;
  }
};

}  // namespace quorvex::text
