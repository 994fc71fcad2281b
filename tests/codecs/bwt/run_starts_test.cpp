#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <string>
#include <vector>

#include "codecs/bwt/bwt_transform.hpp"
#include "codecs/bwt/run_starts.hpp"
#include "codecs/bwt/scripted_coder.hpp"
#include "support/test_support.hpp"

namespace quorvex::bwt {
namespace {

using quorvex::testing::TestRandom;
using testing::ScriptedCoder;

std::vector<std::uint8_t> roundTrip(const std::vector<std::uint8_t>& symbols) {
  RunStartModel model;
  const RunStartStreams streams = encodeRunStarts(model, symbols);
  std::vector<std::uint8_t> output(symbols.size(), 0xEE);
  EXPECT_EQ(decodeRunStarts(model, streams.arithmetic, streams.rawBits, output.data(),
                            static_cast<std::uint32_t>(symbols.size())),
            0u);
  return output;
}

TEST(RunStarts, SingleByteIsEightBitsAndAZeroFinishingBit) {
  // 0x41 as eight equiprobable bits; the list is complete at n entries (no end value);
  // the finishing run of the only value is one direct bit.
  const std::vector<std::uint32_t> letter{0, 1, 0, 0, 0, 0, 0, 1};
  for (std::uint32_t finishing : {0u, 1u}) {
    std::vector<std::uint32_t> bits = letter;
    bits.push_back(finishing);
    ScriptedCoder coder(bits);
    WordBitReader raw{std::span<const std::uint8_t>{}};
    RunStartModel model;
    std::vector<std::uint8_t> output(16);  // the decoder writes output[0] only
    const std::uint32_t result = codeRunStarts(model, coder, raw, output.data(), 1, nullptr);
    EXPECT_EQ(coder.probabilities, std::vector<std::uint32_t>(9, kEvenOdds));
    if (finishing == 0) {
      EXPECT_EQ(result, 0u);
      EXPECT_EQ(output[0], 0x41);
    } else {
      EXPECT_EQ(result, static_cast<std::uint32_t>(kFinishingIndexOutOfRange));
    }
  }
}

TEST(RunStarts, AllByteValuesAreListedWithoutAnEndValue) {
  std::vector<std::uint8_t> symbols(256);
  std::iota(symbols.begin(), symbols.end(), 0);
  TestRandom random(5);
  for (std::size_t i = 255; i > 0; --i) std::swap(symbols[i], symbols[random.below(static_cast<std::uint32_t>(i + 1))]);
  EXPECT_EQ(roundTrip(symbols), symbols);
  symbols.insert(symbols.end(), symbols.begin(), symbols.end());
  EXPECT_EQ(roundTrip(symbols), symbols);

  // With every decision 0, each listing takes table[0] and moves the table's last value
  // there: 0, 255, 254, ..., 1. Every first run and finishing run is then the next one.
  ScriptedCoder zeros;
  WordBitReader raw{std::span<const std::uint8_t>{}};
  RunStartModel model;
  std::vector<std::uint8_t> output(256);
  EXPECT_EQ(codeRunStarts(model, zeros, raw, output.data(), 256, nullptr), 0u);
  EXPECT_EQ(output[0], 0);
  for (std::uint32_t i = 1; i < 256; ++i) ASSERT_EQ(output[i], 256 - i) << i;
}

TEST(RunStarts, GapContexts) {
  // Bit 0 marks a one-byte run; a gap g to the second value's run has class
  // G[(g - 1) mod 256], so 257 wraps to the class of 1.
  EXPECT_EQ(detail::gapContext(1, 100, 101 + 50, 200, 300) & 1u, 1u);
  EXPECT_EQ(detail::gapContext(2, 100, 101 + 50, 200, 300) & 1u, 0u);
  EXPECT_EQ(detail::gapContext(5, 100, 101, 200, 300), 2u * 5);
  EXPECT_EQ(detail::gapContext(5, 100, 100 + 257, 400, 500), 2u * 5);
  EXPECT_EQ(detail::gapContext(5, 100, 100 + 2, 400, 500), 2u * 4);
  EXPECT_EQ(detail::gapContext(5, 100, 100 + 7, 400, 500), 2u * 2);
  EXPECT_EQ(detail::gapContext(5, 100, 100 + 10, 400, 500), 2u * 1);
  EXPECT_EQ(detail::gapContext(5, 100, 100 + 11, 400, 500), 0u);
  // Third value two places on, fourth three places on: both flags.
  EXPECT_EQ(detail::gapContext(1, 100, 101, 102, 103), 1u + 2 * (5 + 1 + 1));
  // Rows: no history, then the average classes, plus one beyond q = 2048.
  EXPECT_EQ(detail::gapRow(0), 0u);
  EXPECT_EQ(detail::gapRow(1), 1u);
  EXPECT_EQ(detail::gapRow(2 * 256), 2u);
  EXPECT_EQ(detail::gapRow(383 * 256), 10u);
  EXPECT_EQ(detail::gapRow(2049 * 256), 11u);
}

TEST(RunStarts, SelfSlowingCountersSpeedUpToTheirLimit) {
  std::uint16_t escape = RunStartModel::kSelfSlowingStart;
  adaptSelfSlowingCounter(escape, 1, 64, 7);
  // 0x8002 + (65536 - 32770 + 64) >> 2 = 0xA011 -> 0xA010, plus speed 2 + 1.
  EXPECT_EQ(escape, 0xA013);
  for (int i = 0; i < 20; ++i) adaptSelfSlowingCounter(escape, 0, 64, 7);
  EXPECT_EQ(escape & 15, 7);
  std::uint16_t prefix = RunStartModel::kSelfSlowingStart;
  for (int i = 0; i < 20; ++i) adaptSelfSlowingCounter(prefix, 1, 128, 8);
  EXPECT_EQ(prefix & 15, 8);
  EXPECT_GT(prefix >> 4, 2048);
}

TEST(RunStarts, ReinsertionWalkEightAtATimeEqualsSingleSteps) {
  TestRandom random(9);
  for (int trial = 0; trial < 2000; ++trial) {
    std::uint32_t position[256];
    std::uint32_t p = random.below(4);
    for (auto& entry : position) {
      p += 1 + (random.below(4) == 0 ? random.below(6) : 0);
      entry = p;
    }
    const std::uint64_t start = position[1] + 1 + random.below(300);
    std::uint32_t k = 2;
    std::uint64_t candidate = start;
    while (k < 256 && position[k] <= candidate) ++k, ++candidate;
    const detail::Reinsertion fast = detail::findReinsertion(position, 2, start);
    ASSERT_EQ(fast.index, k);
    ASSERT_EQ(fast.candidate, candidate);
  }
  // The candidate lands just before the first entry beyond it; huge ones go last.
  std::uint32_t position[256];
  for (std::uint32_t i = 0; i < 256; ++i) position[i] = 10 * i;
  EXPECT_EQ(detail::findReinsertion(position, 2, 25).index, 3u);
  const detail::Reinsertion last = detail::findReinsertion(position, 2, 1u << 30);
  EXPECT_EQ(last.index, 256u);
  EXPECT_EQ(last.candidate, (1u << 30) + 254);
}

TEST(RunStarts, RoundTripsSyntheticSegments) {
  std::vector<std::vector<std::uint8_t>> cases;
  cases.push_back({7});
  cases.push_back({0});
  cases.push_back(std::vector<std::uint8_t>(5000, 'x'));
  cases.push_back({1, 2});
  cases.push_back({2, 2, 1});
  std::vector<std::uint8_t> alternating;
  for (int i = 0; i < 3000; ++i) alternating.push_back(i % 2 ? 'a' : 'b');
  cases.push_back(alternating);
  cases.push_back(quorvex::testing::skewedBytes(20000, 1));
  TestRandom random(2);
  std::vector<std::uint8_t> noise(20000);
  for (auto& b : noise) b = static_cast<std::uint8_t>(random.next());
  cases.push_back(noise);
  std::vector<std::uint8_t> longGaps;  // a rare byte far apart: long classes of the gap code
  for (int i = 0; i < 200000; ++i) longGaps.push_back(i % 65536 == 0 ? 'R' : (i / 7) % 2 ? 'c' : 'd');
  cases.push_back(longGaps);
  for (const auto& symbols : cases) EXPECT_EQ(roundTrip(symbols), symbols) << symbols.size();
}

TEST(RunStarts, RoundTripsTransformedText) {
  std::vector<std::uint8_t> text = quorvex::testing::corpusFile("text/alice29.txt");
  text.resize(std::min<std::size_t>(text.size(), 65536));
  const ForwardBwt transformed = forwardBwt(text);
  EXPECT_EQ(roundTrip(transformed.transformed), transformed.transformed);
}

TEST(RunStarts, HostileStreamsFailOrStayInTheOutput) {
  // Random, truncated and all-ones streams: any result is fine, but nothing outside the
  // output may be written (the guard bytes) and the call must end.
  TestRandom random(4);
  const std::vector<std::uint8_t> text = quorvex::testing::skewedBytes(4000, 8);
  RunStartModel model;
  const RunStartStreams good = encodeRunStarts(model, text);
  for (int trial = 0; trial < 300; ++trial) {
    std::vector<std::uint8_t> arithmetic, raw;
    if (trial % 3 == 0) {
      arithmetic.assign(good.arithmetic.begin(), good.arithmetic.begin() + random.below(
                                                                            static_cast<std::uint32_t>(good.arithmetic.size())));
      raw = good.rawBits;
    } else if (trial % 3 == 1) {
      arithmetic.resize(1 + random.below(64));
      for (auto& b : arithmetic) b = static_cast<std::uint8_t>(random.next());
      raw.resize(random.below(16));
      for (auto& b : raw) b = static_cast<std::uint8_t>(random.next());
    } else {
      arithmetic.assign(1 + random.below(64), trial % 2 ? 0xFF : 0x00);
      raw.assign(random.below(16), 0xFF);
    }
    const std::uint32_t n = 1 + random.below(5000);
    std::vector<std::uint8_t> output(n + 64, 0xA5);
    const std::uint32_t result = decodeRunStarts(model, arithmetic, raw, output.data() + 32, n);
    EXPECT_LE(result, 2u);
    for (std::uint32_t i = 0; i < 32; ++i) {
      ASSERT_EQ(output[i], 0xA5);
      ASSERT_EQ(output[n + 32 + i], 0xA5);
    }
  }
}

}  // namespace
}  // namespace quorvex::bwt
