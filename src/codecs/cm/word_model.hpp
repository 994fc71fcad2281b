// The word context: a number for the current word and where its states live.
//
// Letters count 1 to 26 whatever their case, so "The" and "the" share statistics;
// bytes of 128 or more count as themselves when the text looks like a language whose
// words are made of such bytes (short gaps between spaces). Words of up to three
// letters have their own ways in the `WordTable`; longer ones are hashed into the
// `ContextHashTable`.
#pragma once

#include <cstdint>

namespace quorvex::cm {

inline constexpr std::uint32_t kWordTableBytes = 5023500;
// 27^3 - 1: the largest word number with its own ways in the `WordTable`.
inline constexpr std::uint32_t kDirectWordLimit = 19682;
// Ways per word in the `WordTable`: one first-nibble way and 16 second-nibble ways.
inline constexpr std::uint32_t kWaysPerWord = 17;
// High bytes are word characters only while the average gap between spaces is small.
inline constexpr std::uint32_t kHighByteGapLimit = 19;
// From this length on (twice the characters) the word model sits out the byte.
inline constexpr std::uint32_t kLongWord = 128;

// The `WordTable` is laid out like buckets without check bytes: 60-byte groups of four
// ways, node j of a way 4j bytes after its node 0.
constexpr std::uint32_t wordTableOffset(std::uint32_t way) { return 60 * (way >> 2) + (way & 3); }

constexpr bool isUpperCase(std::uint32_t c) { return c - 'A' < 26; }
constexpr std::uint32_t toLowerCase(std::uint32_t c) { return isUpperCase(c) ? c + 32 : c; }

// The value a (lower-cased) byte adds to the word, or 0 when it ends the word.
constexpr std::uint32_t wordCharacter(std::uint32_t c, std::uint32_t spaceGapAverage) {
  if (c - 'a' < 26) return c - 'a' + 1;
  if (c >= 128 && spaceGapAverage <= kHighByteGapLimit) return c;
  return 0;
}

struct WordState {
  std::uint32_t number = 0;  // N: 27N + v per character, wrapping
  std::uint8_t length = 0;   // twice the characters, plus 1 when the word began with a high byte; wraps

  void end() {
    number = 0;
    length = 0;
  }

  void extend(std::uint32_t v) {
    number = 27 * number + v;
    length = static_cast<std::uint8_t>(length == 0 && v >= 128 ? 3 : length + 2);
  }

  bool direct() const { return number <= kDirectWordLimit; }

  std::uint32_t hash() const { return number * 0x200A007u ^ (number >> 11); }

  // The word class the mixer uses to choose a weight set (when the word model read a
  // known state): 0 for a word that began with a high byte, else 1..3 by length.
  std::uint32_t mixerClass() const {
    const std::uint32_t plain = (length & 1u) - 1u;  // all ones for an even length
    return plain & (1u + (length > 3 ? 1u : 0u) + (length > 9 ? 1u : 0u));
  }
};

}  // namespace quorvex::cm
