// Copying plain bytes sixteen at a time up to the next byte a decoder has to look at:
// the text and code stages spend most of their output on bytes they pass through.
#pragma once

#include <bit>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quorvex {

#if defined(__SSE2__)
// Copies in[0..) to out[0..) one block of sixteen at a time while `limit` bytes or more
// are left (the least of the input and the room), up to the first byte that `marks`
// flags (it maps a block to 0xFF at those bytes, 0 elsewhere). Returns the count of
// bytes before that byte, or of the whole blocks copied when none was flagged. Stores
// may run past the flagged byte within its block; the caller writes those bytes again
// in order. What is left goes to the caller's byte loop.
template <class Marks>
std::uint32_t copyBlocksUntilMarked(const std::uint8_t* in, std::uint8_t* out, std::uint32_t limit, Marks marks) {
  std::uint32_t copied = 0;
  for (; limit - copied >= 16; copied += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + copied));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + copied), bytes);
    const auto found = static_cast<std::uint32_t>(_mm_movemask_epi8(marks(bytes)));
    if (found != 0) return copied + static_cast<std::uint32_t>(std::countr_zero(found));
  }
  return copied;
}

// The marks of the bytes equal to `value`.
inline __m128i bytesEqualTo(__m128i bytes, std::uint8_t value) {
  return _mm_cmpeq_epi8(bytes, _mm_set1_epi8(static_cast<char>(value)));
}
#endif

}  // namespace quorvex
