// The word run-length stage: the run trigger with its implicit zero word, run counts,
// hostile counts and room, and round trips through the shortener.
#include <gtest/gtest.h>

#include <vector>

#include "stages/word_runs.hpp"
#include "support/test_support.hpp"

namespace quorvex::stages {
namespace {

using Bytes = std::vector<std::uint8_t>;

// count copies of the word with byte value b in every byte.
Bytes words(std::uint8_t b, std::size_t count) { return Bytes(4 * count, b); }

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// A run-count stream of (class, number) pairs.
Bytes runCounts(const std::vector<std::pair<std::uint32_t, std::uint32_t>>& counts) {
  Bytes stream;
  BinaryEncoder encoder(stream);
  ClassTree tree;
  for (const auto& [k, r] : counts) codeClassNumber(encoder, tree, k, r);
  encoder.flush();
  return stream;
}

// Expands into capacity bytes; bytes past capacity must stay untouched. Also reports
// how much of the side stream was read.
Bytes expand(const Bytes& input, const Bytes& side, std::uint32_t capacity, std::uint32_t& length,
             std::size_t* sideRead = nullptr) {
  BinaryDecoder decoder(side);
  ClassTree tree;
  Bytes output(capacity + 32, 0xEE);
  length = capacity;
  expandWordRuns(decoder, tree, input.data(), static_cast<std::uint32_t>(input.size()), output.data(), length);
  for (std::size_t i = capacity; i < output.size(); ++i) EXPECT_EQ(output[i], 0xEE) << "written past capacity";
  if (sideRead) *sideRead = static_cast<std::size_t>(decoder.cursor() - side.data());
  output.resize(length);
  return output;
}

TEST(WordRuns, TheRunTrigger) {
  std::uint32_t length = 0;
  // All tail.
  EXPECT_EQ(expand({1, 1, 1}, {}, 3, length), Bytes({1, 1, 1}));
  // Six zero words make seven with the implicit zero word: a count follows (r = 1).
  EXPECT_EQ(expand(words(0, 6) + Bytes{9}, runCounts({{0, 1}}), 100, length), words(0, 7) + Bytes{9});
  // Seven equal words at the very end still take a count of class 0 (r = 1).
  EXPECT_EQ(expand(words(5, 7), runCounts({{0, 1}}), 100, length), words(5, 8));
  // Six equal non-zero words and a different one: copied, no count read (a count
  // would add words).
  const Bytes six = words(5, 6) + words(6, 1);
  EXPECT_EQ(expand(six, runCounts({{0, 1}}), 100, length), six);
  // A different word inside the seven restarts the search from that word.
  const Bytes broken = words(5, 4) + words(6, 6) + words(5, 1);
  EXPECT_EQ(expand(broken, runCounts({{0, 1}}), 100, length), broken);
  // Seven copies, two more mark class 2: r = 5 adds five words.
  EXPECT_EQ(expand(words(3, 9) + words(4, 1), runCounts({{2, 5}}), 100, length), words(3, 12) + words(4, 1));
}

TEST(WordRuns, HostileCountsAndRoom) {
  std::uint32_t length = 0;
  // Seven copies then 31 more: a class above 30.
  expand(words(7, 38), {}, 1000, length);
  EXPECT_EQ(length, 0u);
  // Capacity below the input's whole words.
  expand(words(1, 3), {}, 11, length);
  EXPECT_EQ(length, 0u);
  // A run that leaves no room for the word still to come, then with room.
  expand(words(5, 7) + words(6, 1), runCounts({{0, 1}}), 32, length);
  EXPECT_EQ(length, 0u);
  expand(words(5, 7) + words(6, 1), runCounts({{0, 1}}), 36, length);
  EXPECT_EQ(length, 36u);
  // A class-30 count in a small buffer fails on room.
  expand(words(5, 37), runCounts({{30, (1u << 30) + 7}}), 4096, length);
  EXPECT_EQ(length, 0u);
  // The tail does not fit.
  expand(words(1, 1) + Bytes{2, 3}, {}, 5, length);
  EXPECT_EQ(length, 0u);
}

void expectRoundTrip(const Bytes& block) {
  const ShortenedWords forward = shortenWordRuns(block);
  std::uint32_t length = 0;
  std::size_t sideRead = 0;
  EXPECT_EQ(expand(forward.bytes, forward.side, static_cast<std::uint32_t>(block.size()), length, &sideRead), block);
  EXPECT_LE(sideRead, forward.side.size());
}

TEST(WordRuns, RoundTrips) {
  expectRoundTrip({});
  expectRoundTrip(words(0, 6));
  expectRoundTrip(words(0, 7) + Bytes{1, 2});
  // Runs of every length from 1 to 40 and a few long ones, of alternating words.
  Bytes runs;
  for (std::uint32_t m = 1; m <= 40; ++m) runs = runs + words(static_cast<std::uint8_t>(m % 3), m);
  runs = runs + words(8, 100000) + words(0, 7) + words(9, 4097) + Bytes{1};
  expectRoundTrip(runs);
  EXPECT_LT(shortenWordRuns(runs).bytes.size(), runs.size() / 10);
  expectRoundTrip(quorvex::testing::skewedBytes(40000, 5));
}

TEST(WordRuns, RoundTripsOfTheCorpus) {
  QUORVEX_SKIP_WITHOUT_CORPUS();
  for (const std::string& name : quorvex::testing::corpusFiles()) {
    SCOPED_TRACE(name);
    expectRoundTrip(quorvex::testing::corpusFile(name));
  }
}

}  // namespace
}  // namespace quorvex::stages
