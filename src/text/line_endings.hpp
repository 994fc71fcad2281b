// Line endings: text with CR LF or lone CR line endings is coded with LF only. The
// first CR LF (or a CR before a printable byte) sets the mode; in CR LF mode a CR
// escapes the byte after it, in lone-CR mode LF and CR trade places.
#pragma once

#include <cstdint>

namespace quorvex::text {

// Rebuilds the line endings of in[0..n) into out, writing at most `capacity` bytes.
// Returns the length written, or 0 (empty input, no room).
std::uint32_t decodeLineEndings(const std::uint8_t* in, std::uint32_t n, std::uint8_t* out, std::uint32_t capacity);

// The forward twin. Returns the coded length, or 0 when it would not fit.
std::uint32_t encodeLineEndings(const std::uint8_t* in, std::uint32_t n, std::uint8_t* out, std::uint32_t capacity);

}  // namespace quorvex::text
