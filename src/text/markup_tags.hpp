// Markup tag closing: a closing tag whose name is the innermost open tag is coded as
// just "</"; the decoder keeps the stack of open tag names and writes the name and
// the ">" back. Other closing tags are written "<//name>" and unwind the stack.
#pragma once

#include <cstdint>

namespace quorvex::text {

// Restores the closing tags of in[0..n) into out, writing at most `capacity` bytes.
// Returns the length written, or 0 when the output would not fit.
std::uint32_t decodeMarkupTags(const std::uint8_t* in, std::uint32_t n, std::uint8_t* out, std::uint32_t capacity);

// The forward twin. Returns the coded length, or 0 when it would not fit. The decoder
// judges self-closing tags on the coded bytes; where those differ from the text
// within a tag's first 33 bytes the two can disagree, so callers check the result by
// decoding it.
std::uint32_t encodeMarkupTags(const std::uint8_t* in, std::uint32_t n, std::uint8_t* out, std::uint32_t capacity);

}  // namespace quorvex::text
