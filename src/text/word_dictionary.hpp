// The word dictionary transform: frequent English words as one- or two-byte codes,
// short words as single bytes, capitalisation as an escape, dotted IPv4 addresses
// through a small move-to-front list.
#pragma once

#include <cstdint>

namespace quorvex::text {

// Expands the word codes of in[0..n) into out, writing at most `capacity` bytes (the
// encoder's trailing space, which is removed, needs no room). Returns the text's length,
// or 0 on failure: the text does not fit, the codes read past the input, or the text
// does not end with the trailing space.
std::uint32_t decodeWords(const std::uint8_t* in, std::uint32_t n, std::uint8_t* out, std::uint32_t capacity);

// The forward twin: codes text in[0..n) into out (at most `capacity` bytes), appending
// the trailing space the decoder requires. Returns the coded length, or 0 when it would
// not fit.
std::uint32_t encodeWords(const std::uint8_t* in, std::uint32_t n, std::uint8_t* out, std::uint32_t capacity);

}  // namespace quorvex::text
