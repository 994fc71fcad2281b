// Byte classes shared by the text transforms: letters (with their case), digits, white
// space and two kinds of punctuation, one byte of bits per byte value.
#pragma once

#include <array>
#include <cstdint>

namespace quorvex::text {

enum CharClassBit : std::uint8_t {
  kLetter = 0x01,
  kDigit = 0x04,
  kWhiteSpace = 0x08,
  kSentencePunctuation = 0x10,
  kLowerCase = 0x20,
  kUpperCase = 0x40,
  kOtherPunctuation = 0x80,
};

inline constexpr std::array<std::uint8_t, 256> kCharClass = [] {
  std::array<std::uint8_t, 256> table{};
  for (int c = 'a'; c <= 'z'; ++c) table[c] = kLetter | kLowerCase;
  for (int c = 'A'; c <= 'Z'; ++c) table[c] = kLetter | kUpperCase;
  for (int c = '0'; c <= '9'; ++c) table[c] = kDigit;
  for (char c : {'\t', '\n', '\r', ' '}) table[static_cast<std::uint8_t>(c)] = kWhiteSpace;
  for (char c : {'!', ',', '.', '?'}) table[static_cast<std::uint8_t>(c)] = kSentencePunctuation;
  for (char c : {'"', '#', '$', '%', '&', '\'', '(', ')', '*', '+', '-', '/', ':', ';', '<', '=', '>', '@', '[', '\\',
                 ']', '_', '{', '|', '}'}) {
    table[static_cast<std::uint8_t>(c)] = kOtherPunctuation;
  }
  return table;
}();

inline constexpr std::uint8_t charClass(std::uint8_t byte) { return kCharClass[byte]; }
inline constexpr bool isLetter(std::uint8_t byte) { return (kCharClass[byte] & kLetter) != 0; }
inline constexpr bool isLowerCase(std::uint8_t byte) { return (kCharClass[byte] & kLowerCase) != 0; }
inline constexpr bool isDigit(std::uint8_t byte) { return (kCharClass[byte] & kDigit) != 0; }

// Upper-case ASCII letters fold to lower case; every other byte stays.
inline constexpr std::uint8_t foldCase(std::uint8_t byte) {
  return (kCharClass[byte] & kUpperCase) ? static_cast<std::uint8_t>(byte + 0x20) : byte;
}

}  // namespace quorvex::text
