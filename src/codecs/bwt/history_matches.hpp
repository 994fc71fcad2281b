// The history match stage of BWT blocks, both directions.
//
// Before the transform, strings that also stand earlier in the history window (the
// codec output of earlier blocks) are replaced by 0xFE 0xF0 and four bytes naming the
// source: the 32-bit complement of its offset in the window, most significant byte
// first. That byte is never 0, so 0xFE 0xF0 0x00 keeps a literal pair. The lengths (8
// and up) travel in an arithmetic-coded stream, with the repeated-distance half of the
// shared match-length code.
#pragma once

#include <cstdint>
#include <span>

#include "codecs/bwt/local_matches.hpp"

namespace quorvex::bwt {

inline constexpr std::uint8_t kHistoryEscapeSecond = 0xF0;
inline constexpr std::uint32_t kHistoryMinLength = 8;
// Offsets at or above this cannot be named: the escape's first offset byte would be 0.
inline constexpr std::uint32_t kHistoryOffsetLimit = 0xFF000000;
// The encoder looks this far back into the window, at most.
inline constexpr std::size_t kSearchedHistory = std::size_t{1} << 24;

// Copies input (n bytes) to output, replacing every history escape by the bytes it
// names in history: the window's bytes from its start up to where this block's codec
// output begins. Returns the output length, 0 on failure: capacity reached before the
// input is consumed, an escape cut off by the end of the input, a source outside
// history, a length class beyond 31 or a match that would pass the capacity.
std::uint32_t expandHistoryMatches(std::span<const std::uint8_t> side, const std::uint8_t* input, std::uint32_t n,
                                   std::uint8_t* output, std::uint32_t capacity,
                                   std::span<const std::uint8_t> history);

// The forward twin: block with strings found in history (at least minLength >= 8 bytes
// long) replaced by escapes, and the length stream. history may be only the newest
// part of the window, starting at offset historyStart of it.
ShortenedBlock findHistoryMatches(std::span<const std::uint8_t> block, std::span<const std::uint8_t> history,
                                  std::uint32_t minLength, std::uint64_t historyStart = 0);

}  // namespace quorvex::bwt
