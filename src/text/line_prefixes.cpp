#include "text/line_prefixes.hpp"

#include <algorithm>
#include <bit>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "model/block_copy.hpp"

namespace quorvex::text {
namespace {

constexpr std::uint8_t kPlainMark = 0xE0;   // "no repeat" before a byte that would read as one
constexpr std::uint32_t kLongestRepeat = 31;

// Copies the bytes from in[i] on that are not the escape, sixteen at a time while a
// whole block of input and of room is left, and moves i and o past them. The rest is
// left to the caller's byte loop.
void copyUntilEscape(const std::uint8_t* in, std::uint32_t n, std::uint32_t& i, std::uint8_t* out,
                     std::uint32_t capacity, std::uint32_t& o, std::uint8_t escape) {
#if defined(__SSE2__)
  const std::uint32_t plain = copyBlocksUntilMarked(in + i, out + o, std::min(n - i, capacity - o),
                                                    [escape](__m128i bytes) { return bytesEqualTo(bytes, escape); });
  i += plain;
  o += plain;
#else
  (void)in, (void)n, (void)i, (void)out, (void)capacity, (void)o, (void)escape;
#endif
}

}  // namespace

std::uint32_t decodeLinePrefixes(const std::uint8_t* in, std::uint32_t n, std::uint8_t* out, std::uint32_t capacity) {
  if (n < 2) return 0;
  const std::uint8_t escape = in[0];
  std::uint32_t i = 1;
  std::uint32_t o = 0;
  std::uint32_t reference = 0;  // where the line after the previous escape started
  while (i < n) {
    copyUntilEscape(in, n, i, out, capacity, o, escape);
    if (i == n) break;
    if (o >= capacity) return 0;
    const std::uint8_t byte = in[i++];
    out[o++] = byte;
    if (byte != escape) continue;
    if (i >= n) return o;
    const std::uint8_t next = in[i];
    if (next < kPlainMark) {
      reference = o;
      continue;
    }
    ++i;
    const std::uint32_t repeat = next - kPlainMark;
    if (repeat > capacity - o) return 0;
    // Byte by byte: the source may overlap the bytes being written.
    for (std::uint32_t k = 0; k < repeat; ++k) out[o + k] = out[reference + k];
    reference = o;
    o += repeat;
  }
  return o;
}

std::uint32_t encodeLinePrefixes(const std::uint8_t* in, std::uint32_t n, std::uint8_t* out, std::uint32_t capacity,
                                 std::uint8_t escape) {
  std::uint32_t o = 0;
  auto put = [&](std::uint8_t byte) {
    if (o >= capacity) return false;
    out[o++] = byte;
    return true;
  };
  if (!put(escape)) return 0;
  std::uint32_t reference = 0;
  std::uint32_t i = 0;
  while (i < n) {
    const std::uint8_t byte = in[i++];
    if (!put(byte)) return 0;
    if (byte != escape || i >= n) continue;
    // The decoder compares the bytes written after the previous escape (its copies
    // may run into the bytes they produce) with the line that starts here.
    std::uint32_t repeat = 0;
    while (repeat < kLongestRepeat && i + repeat < n && in[reference + repeat] == in[i + repeat]) ++repeat;
    const bool readsAsCode = in[i] >= kPlainMark;
    if (repeat >= 2 || (repeat == 1 && readsAsCode)) {
      if (!put(static_cast<std::uint8_t>(kPlainMark + repeat))) return 0;
      reference = i;
      i += repeat;
    } else {
      if (readsAsCode && !put(kPlainMark)) return 0;
      reference = i;
    }
  }
  return o;
}

}  // namespace quorvex::text
