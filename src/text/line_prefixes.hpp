// Line-prefix repeats: after an escape byte E (a line or field separator), a byte
// 0xE1..0xFF stands for the first 1..31 bytes that followed the previous E.
#pragma once

#include <cstdint>

namespace quorvex::text {

// Rebuilds in[0..n) into out, writing at most `capacity` bytes. The first input byte
// is E. Returns the length written, or 0 (fewer than 2 input bytes, or no room).
std::uint32_t decodeLinePrefixes(const std::uint8_t* in, std::uint32_t n, std::uint8_t* out, std::uint32_t capacity);

// The forward twin with separator `escape`: writes E first, then the text with every
// repeated line start of 2 or more bytes replaced by one code. Returns the coded
// length, or 0 when it would not fit in `capacity`.
std::uint32_t encodeLinePrefixes(const std::uint8_t* in, std::uint32_t n, std::uint8_t* out, std::uint32_t capacity,
                                 std::uint8_t escape = '\n');

}  // namespace quorvex::text
