// The two match stages of BWT blocks: escapes, the match and length codes, hostile
// streams, and round trips through their forward twins.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "codecs/bwt/history_matches.hpp"
#include "codecs/bwt/local_matches.hpp"
#include "codecs/bwt/scripted_coder.hpp"
#include "support/test_support.hpp"

namespace quorvex::bwt {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytesOf(const std::string& text) { return {text.begin(), text.end()}; }

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// A side stream of decisions that each meet a counter still at its start value (one
// half), but for the decisions that adapted lists by index with their 12-bit
// probability: coded independently of the stages' model code.
Bytes freshCounterBits(const std::vector<std::uint32_t>& bits,
                       const std::vector<std::pair<std::size_t, std::uint32_t>>& adapted = {}) {
  Bytes stream;
  BinaryEncoder encoder(stream);
  for (std::size_t i = 0; i < bits.size(); ++i) {
    std::uint32_t p = kHalfProbability >> 4;
    for (const auto& [index, probability] : adapted) {
      if (index == i) p = probability;
    }
    encoder.encodeBit(p, bits[i]);
  }
  encoder.flush();
  return stream;
}

constexpr std::uint8_t kCanary = 0xEE;

// Runs a stage into a buffer of capacity bytes plus a guard that must stay untouched.
template <class Stage>
Bytes runStage(Stage stage, const Bytes& input, std::uint32_t capacity, std::uint32_t& length) {
  Bytes output(capacity + 32, kCanary);
  length = stage(input.data(), static_cast<std::uint32_t>(input.size()), output.data(), capacity);
  for (std::size_t i = capacity; i < output.size(); ++i) EXPECT_EQ(output[i], kCanary) << "written past capacity";
  output.resize(length);
  return output;
}

Bytes local(const Bytes& side, const Bytes& input, std::uint32_t capacity, std::uint32_t& length) {
  return runStage([&](const std::uint8_t* in, std::uint32_t n, std::uint8_t* out,
                      std::uint32_t room) { return expandLocalMatches(side, in, n, out, room); },
                  input, capacity, length);
}

Bytes history(const Bytes& side, const Bytes& input, const Bytes& window, std::uint32_t capacity,
              std::uint32_t& length) {
  return runStage([&](const std::uint8_t* in, std::uint32_t n, std::uint8_t* out,
                      std::uint32_t room) { return expandHistoryMatches(side, in, n, out, room, window); },
                  input, capacity, length);
}

const Bytes kLocalEscape{0xFE, 0xF1, 0x00};

TEST(LocalMatches, EscapeBytesAndThePairSearch) {
  std::uint32_t length = 0;
  // After a kept pair the search starts afresh: F1 00 does not pair with the FE before.
  EXPECT_EQ(local({}, {0xFE, 0xF1, 0x01, 0xF1, 0x00}, 100, length), Bytes({0xFE, 0xF1, 0xF1, 0x00}));
  EXPECT_EQ(local({}, {0xFE, 0xF1, 0x02}, 100, length), Bytes({0xFE, 0xF1, 0x02}));
  const Bytes endsInPair = bytesOf("x") + Bytes({0xFE, 0xF1});
  EXPECT_EQ(local({}, endsInPair, 100, length), endsInPair);
  // A pair split by an escape: the FE before the escape is data, the escape's own
  // FE F1 00 is the marker.
  EXPECT_EQ(local({}, {0xFE, 0xFE, 0xF1, 0x01, 0x00}, 100, length), Bytes({0xFE, 0xFE, 0xF1, 0x00}));
}

TEST(LocalMatches, FirstRecentDistanceRepeatsTheByteBeforeTheEscape) {
  // Selector 0 then 1: recent distance slot 0, which starts as 1. Length class 0 and
  // tree bit 1: 8 bytes.
  std::uint32_t length = 0;
  const Bytes out = local(freshCounterBits({0, 1, 0, 1}), bytesOf("ab") + kLocalEscape + bytesOf("c"), 100, length);
  EXPECT_EQ(out, bytesOf("abbbbbbbbbc"));
}

TEST(LocalMatches, NewDistanceAndTheRecentSlots) {
  // A new distance of class 2 (bits 1 1 0, then direct bits 1 0: 4 + 2 = 6), length 7;
  // then the same distance again from slot 0, length 7. Selector counter 0 has moved by
  // 1/8 toward its first bit: 0x9000.
  std::uint32_t length = 0;
  const Bytes side =
      freshCounterBits({1, 1, 1, 0, 1, 0, /*length*/ 0, 0, /*selector*/ 0, 1, 0, 0}, {{8, 0x9000 >> 4}});
  const Bytes out = local(side, bytesOf("abcdef") + kLocalEscape + kLocalEscape, 100, length);
  EXPECT_EQ(out, bytesOf("abcdef" "abcdefa" "bcdefab"));
}

TEST(LocalMatches, ModelCountersAndNodes) {
  // A repeated distance in class 2 with tree bits 1, 0 visits length nodes 3 and 7.
  LocalMatchModel model;
  testing::ScriptedCoder coder({1, 1, 0, 1, 0});
  EXPECT_EQ(codeMatchLength(coder, model.lengths, true, 0), 6u);  // length 13
  for (std::uint32_t node = 0; node < 8; ++node) {
    EXPECT_EQ(model.lengths.tree[2][node] != kHalfProbability, node == 3 || node == 7) << node;
  }
  EXPECT_NE(model.lengths.classes[32 + 2], kHalfProbability);
  EXPECT_EQ(model.lengths.classes[2], kHalfProbability);
  // Slot 2 moves to the front, the slots before it move up one.
  model.recentDistances = {10, 20, 30, 40};
  testing::ScriptedCoder selector({0, 0, 0, 1});
  bool repeated = false;
  EXPECT_EQ(codeLocalDistance(selector, model, 0, repeated), 30u);
  EXPECT_TRUE(repeated);
  EXPECT_EQ(model.recentDistances, (std::array<std::uint32_t, 4>{30, 10, 20, 40}));
  // The selector counters adapt by 1/8: the first 0-bit takes 0x8000 to 0x7000.
  EXPECT_EQ(model.selector[0], 0x7000);
}

TEST(LocalMatches, NewDistancesShiftTheRecentSlotsDown) {
  LocalMatchModel model;
  model.recentDistances = {10, 20, 30, 40};
  bool repeated = true;
  // Selector 1: a new distance. Class 2 (1 1 0), direct bits 0 1: 4 + 1 = 5. The
  // oldest slot drops out, the others move down one, 5 goes to the front.
  testing::ScriptedCoder first({1, 1, 1, 0, 0, 1});
  EXPECT_EQ(codeLocalDistance(first, model, 0, repeated), 5u);
  EXPECT_FALSE(repeated);
  EXPECT_EQ(model.recentDistances, (std::array<std::uint32_t, 4>{5, 10, 20, 30}));
  // Two more new distances: class 1 (1 0) with direct bit 1 is 3; class 3 (1 1 1 0)
  // with direct bits 0 0 1 is 9.
  testing::ScriptedCoder second({1, 1, 0, 1});
  EXPECT_EQ(codeLocalDistance(second, model, 0, repeated), 3u);
  testing::ScriptedCoder third({1, 1, 1, 1, 0, 0, 0, 1});
  EXPECT_EQ(codeLocalDistance(third, model, 0, repeated), 9u);
  EXPECT_EQ(model.recentDistances, (std::array<std::uint32_t, 4>{9, 3, 5, 10}));
  // Selector 0, then 0 (not slot 0), then 1: slot 1, which trades places with slot 0.
  testing::ScriptedCoder fromSlot1({0, 0, 1});
  EXPECT_EQ(codeLocalDistance(fromSlot1, model, 0, repeated), 3u);
  EXPECT_TRUE(repeated);
  EXPECT_EQ(model.recentDistances, (std::array<std::uint32_t, 4>{3, 9, 5, 10}));
  // Slot 3 (four 0-bits) moves to the front over all three.
  testing::ScriptedCoder fromSlot3({0, 0, 0, 0});
  EXPECT_EQ(codeLocalDistance(fromSlot3, model, 0, repeated), 10u);
  EXPECT_EQ(model.recentDistances, (std::array<std::uint32_t, 4>{10, 3, 9, 5}));
}

TEST(LocalMatches, RecentSlotsThroughTheStage) {
  // Two new distances, 2 (class 1, direct bit 0) and 3 (class 1, direct bit 1), then a
  // match from slot 1, which holds 2 again: every match is 7 bytes (class 0, tree bit
  // 0). The counters the decisions meet have moved, so the stream is coded with the
  // stage's own model walking the same decisions.
  Bytes side;
  {
    BinaryEncoder encoder(side);
    LocalMatchModel model;
    bool repeated = false;
    for (const std::uint32_t distance : {2u, 3u, 2u}) {
      codeLocalDistance(encoder, model, distance, repeated);
      codeMatchLength(encoder, model.lengths, repeated, 0);
    }
    encoder.flush();
  }
  std::uint32_t length = 0;
  const Bytes out = local(side, bytesOf("ab") + kLocalEscape + bytesOf("c") + kLocalEscape + bytesOf("d") + kLocalEscape,
                          100, length);
  // "ab" + 7 bytes at distance 2, "c" + 7 at distance 3, "d" + 7 at distance 2.
  EXPECT_EQ(out, bytesOf("ab" "abababa" "c" "bac" "bac" "b" "d" "bdbdbdb"));
}

TEST(LocalMatches, HostileMatchesFailTheStage) {
  std::uint32_t length = 0;
  const Bytes input = bytesOf("a") + kLocalEscape;
  // A new distance of class 0 with direct bit 0: distance 0 (length 7).
  local(freshCounterBits({1, 0, 0, 0, 0}), input, 100, length);
  EXPECT_EQ(length, 0u);
  // Distance 2 with one byte written.
  local(freshCounterBits({1, 1, 0, 0, 0, 0}), input, 100, length);
  EXPECT_EQ(length, 0u);
  // A length class of 32: every class counter says 1.
  std::vector<std::uint32_t> classTooHigh(34, 1);
  classTooHigh[0] = 0;
  local(freshCounterBits(classTooHigh), input, 1000, length);
  EXPECT_EQ(length, 0u);
  // A match of 7 that fits exactly, then one byte short of room.
  EXPECT_EQ(local(freshCounterBits({0, 1, 0, 0}), input, 8, length), Bytes(8, 'a'));
  local(freshCounterBits({0, 1, 0, 0}), input, 7, length);
  EXPECT_EQ(length, 0u);
  // Room runs out on the marker pair itself while its escape byte is still to come.
  local({}, {0xFE, 0xF1, 0x01}, 2, length);
  EXPECT_EQ(length, 0u);
  local({}, bytesOf("abc"), 2, length);
  EXPECT_EQ(length, 0u);
  local({}, {}, 10, length);
  EXPECT_EQ(length, 0u);
}

const Bytes kHistoryWindow = bytesOf("0123456789abcdefghij");

TEST(HistoryMatches, EscapesAndTheLengthCode) {
  std::uint32_t length = 0;
  EXPECT_EQ(history({}, {0xFE, 0xF0, 0x00, 'x'}, kHistoryWindow, 100, length), Bytes({0xFE, 0xF0, 'x'}));
  const Bytes endsInPair = bytesOf("x") + Bytes({0xFE, 0xF0});
  EXPECT_EQ(history({}, endsInPair, kHistoryWindow, 100, length), endsInPair);
  // Offset 0 (complement FF FF FF FF); class 0 with tree bit 1: 9 bytes.
  EXPECT_EQ(history(freshCounterBits({0, 1}), {'<', 0xFE, 0xF0, 0xFF, 0xFF, 0xFF, 0xFF, '>'}, kHistoryWindow, 100,
                    length),
            bytesOf("<012345678>"));
  // Offset 10 (complement ...F5); class 1 (bits 1 0), tree bit 0: length 10.
  EXPECT_EQ(history(freshCounterBits({1, 0, 0}), {0xFE, 0xF0, 0xFF, 0xFF, 0xFF, 0xF5}, kHistoryWindow, 100, length),
            bytesOf("abcdefghij"));
}

TEST(HistoryMatches, HostileEscapesFailTheStage) {
  std::uint32_t length = 0;
  // A source running one byte past the window (offset 12 + 9 bytes > 20).
  history(freshCounterBits({0, 1}), {0xFE, 0xF0, 0xFF, 0xFF, 0xFF, 0xF3}, kHistoryWindow, 100, length);
  EXPECT_EQ(length, 0u);
  // The largest nameable offset, far outside any window.
  history(freshCounterBits({0, 0}), {0xFE, 0xF0, 0x01, 0x00, 0x00, 0x00}, kHistoryWindow, 100, length);
  EXPECT_EQ(length, 0u);
  // Offset bytes cut off by the end of the block.
  history({}, {0xFE, 0xF0, 0xFF, 0xFF, 0xFF}, kHistoryWindow, 100, length);
  EXPECT_EQ(length, 0u);
  // A length class of 32.
  history(freshCounterBits(std::vector<std::uint32_t>(32, 1)), {0xFE, 0xF0, 0xFF, 0xFF, 0xFF, 0xFF}, kHistoryWindow,
          1000, length);
  EXPECT_EQ(length, 0u);
  // Eight bytes into a room of seven.
  history(freshCounterBits({0, 0}), {0xFE, 0xF0, 0xFF, 0xFF, 0xFF, 0xFF}, kHistoryWindow, 7, length);
  EXPECT_EQ(length, 0u);
}

// Text with repeats near and far, and every escape-like byte pattern.
Bytes textLike(std::size_t size, std::uint64_t seed) {
  static const char* const words[] = {"the ", "keeper ", "light ", "tower ", "of ", "and ", "evening ", "\n"};
  quorvex::testing::TestRandom random(seed);
  Bytes bytes;
  while (bytes.size() < size) {
    const std::uint32_t r = random.next();
    if (r % 17 == 0 && bytes.size() > 300) {
      const std::size_t from = bytes.size() - 1 - random.below(static_cast<std::uint32_t>(bytes.size() - 200));
      bytes.insert(bytes.end(), bytes.begin() + static_cast<std::ptrdiff_t>(from),
                   bytes.begin() + static_cast<std::ptrdiff_t>(from + 20 + r % 150));
    } else if (r % 23 == 0) {
      const Bytes tricky = {0xFE, 0xF1, static_cast<std::uint8_t>(r >> 30), 0xFE, 0xF0,
                            static_cast<std::uint8_t>(r >> 29 & 1), 0xFE};
      bytes.insert(bytes.end(), tricky.begin(), tricky.end());
    } else {
      const std::string word = words[r % 8];
      bytes.insert(bytes.end(), word.begin(), word.end());
    }
  }
  return bytes;
}

void expectLocalRoundTrip(const Bytes& block, std::uint32_t minLength) {
  const ShortenedBlock forward = findLocalMatches(block, minLength);
  std::uint32_t length = 0;
  EXPECT_EQ(local(forward.side, forward.bytes, static_cast<std::uint32_t>(block.size()), length), block);
}

void expectHistoryRoundTrip(const Bytes& block, const Bytes& window, std::uint32_t minLength) {
  const ShortenedBlock forward = findHistoryMatches(block, window, minLength);
  std::uint32_t length = 0;
  EXPECT_EQ(history(forward.side, forward.bytes, window, static_cast<std::uint32_t>(block.size()), length), block);
}

TEST(MatchStages, RoundTripsOfGeneratedText) {
  const Bytes block = textLike(60000, 1);
  const Bytes window = textLike(30000, 2) + Bytes(block.begin() + 1000, block.begin() + 9000);
  for (const std::uint32_t minLength : {7u, 32u}) {
    expectLocalRoundTrip(block, minLength);
    expectHistoryRoundTrip(block, window, minLength);
  }
  EXPECT_GT(findLocalMatches(block, 7).matches, 100u);
  // A block found whole in the window shrinks to a handful of escapes.
  EXPECT_LT(findHistoryMatches(Bytes(window.begin() + 100, window.end()), window, 8).bytes.size(), 200u);
  expectLocalRoundTrip(Bytes(1000, 'z'), 7);  // one long self-overlapping match
  expectLocalRoundTrip({0xFE, 0xF1}, 7);
  expectHistoryRoundTrip({0xFE, 0xF0}, window, 8);
}

TEST(MatchStages, RoundTripsOfTheCorpus) {
  QUORVEX_SKIP_WITHOUT_CORPUS();
  Bytes window;
  for (const std::string& name : quorvex::testing::corpusFiles()) {
    SCOPED_TRACE(name);
    const Bytes block = quorvex::testing::corpusFile(name);
    expectLocalRoundTrip(block, 16);
    expectHistoryRoundTrip(block, window, 16);
    window.insert(window.end(), block.begin(), block.end());
  }
}

}  // namespace
}  // namespace quorvex::bwt
