#include "stages/word_runs.hpp"

#include <cstring>

#include "codecs/bwt/byte_runs.hpp"

namespace quorvex::stages {
namespace {

// Copies before a run count is read: the word that repeats the previous one, then up
// to five more (seven equal words with the previous one).
constexpr std::uint32_t kFurtherCopies = 5;
constexpr std::uint32_t kWordBytes = 4;

// Words are only compared and copied, so the host's byte order does not matter.
std::uint32_t loadWord(const std::uint8_t* at) {
  std::uint32_t word;
  std::memcpy(&word, at, kWordBytes);
  return word;
}

void storeWord(std::uint8_t* at, std::uint32_t word) { std::memcpy(at, &word, kWordBytes); }

void fillWords(std::uint8_t* at, std::uint32_t word, std::uint32_t count) {
  std::uint8_t pattern[16];
  for (std::uint32_t i = 0; i < 4; ++i) storeWord(pattern + kWordBytes * i, word);
  std::uint32_t i = 0;
  for (; i + 4 <= count; i += 4) std::memcpy(at + kWordBytes * i, pattern, sizeof pattern);
  for (; i < count; ++i) storeWord(at + kWordBytes * i, word);
}

}  // namespace

void expandWordRuns(BinaryDecoder& decoder, ClassTree& tree, const std::uint8_t* input, std::uint32_t n,
                    std::uint8_t* output, std::uint32_t& length) {
  const std::uint32_t capacity = length;
  length = 0;
  const std::uint32_t words = n / kWordBytes;
  if (capacity / kWordBytes < words) return;
  // Room in words never falls below the input words left: each copy takes one of each,
  // and a run is written only when room for the rest of the input remains.
  std::uint32_t previous = 0;
  std::uint32_t w = 0;
  std::uint8_t* out = output;
  while (w < words) {
    const std::uint32_t x = loadWord(input + kWordBytes * w++);
    storeWord(out, x);
    out += kWordBytes;
    if (x != previous) {
      previous = x;
      continue;
    }
    std::uint32_t copies = 0;
    while (copies < kFurtherCopies && w < words) {
      const std::uint32_t y = loadWord(input + kWordBytes * w++);
      storeWord(out, y);
      out += kWordBytes;
      if (y != x) break;
      ++copies;
    }
    if (copies < kFurtherCopies) {
      previous = loadWord(out - kWordBytes);  // the differing word, or x when the words ran out
      continue;
    }
    std::uint32_t extra = 0;
    while (w < words && loadWord(input + kWordBytes * w) == x) {
      if (++extra > kMaxLengthClass) return;
      ++w;
    }
    const std::uint32_t r = decodeClassNumber(decoder, tree, extra);
    const std::uint32_t roomWords = static_cast<std::uint32_t>(capacity - (out - output)) / kWordBytes;
    if (roomWords < std::uint64_t{r} + (words - w)) return;
    fillWords(out, x, r);
    out += std::size_t{kWordBytes} * r;
    previous = x;
  }
  const std::uint32_t tail = n - kWordBytes * words;
  if (tail > capacity - static_cast<std::uint32_t>(out - output)) return;
  if (tail != 0) std::memcpy(out, input + kWordBytes * words, tail);
  length = static_cast<std::uint32_t>(out - output) + tail;
}

ShortenedWords shortenWordRuns(std::span<const std::uint8_t> block) {
  ShortenedWords result;
  result.bytes.reserve(block.size());
  BinaryEncoder encoder(result.side);
  ClassTree tree;
  const std::size_t words = block.size() / kWordBytes;
  const auto word = [&](std::size_t index) { return loadWord(block.data() + kWordBytes * index); };
  const auto put = [&](std::uint32_t value) {
    std::uint8_t bytes[kWordBytes];
    storeWord(bytes, value);
    result.bytes.insert(result.bytes.end(), bytes, bytes + kWordBytes);
  };
  std::uint32_t previous = 0;
  std::size_t w = 0;
  while (w < words) {
    const std::uint32_t x = word(w++);
    put(x);
    if (x != previous) {
      previous = x;
      continue;
    }
    std::uint32_t copies = 0;
    std::uint32_t last = x;
    while (copies < kFurtherCopies && w < words) {
      last = word(w++);
      put(last);
      if (last != x) break;
      ++copies;
    }
    if (copies < kFurtherCopies) {
      previous = last;
      continue;
    }
    std::uint32_t r = 0;
    while (w < words && word(w) == x) ++r, ++w;
    const std::uint32_t extra = lengthClass(r);
    for (std::uint32_t i = 0; i < extra; ++i) put(x);
    codeClassNumber(encoder, tree, extra, r);
    previous = x;
    ++result.runs;
  }
  result.bytes.insert(result.bytes.end(), block.begin() + kWordBytes * words, block.end());
  encoder.flush();
  bwt::trimTrailingZeros(result.side);
  return result;
}

}  // namespace quorvex::stages
