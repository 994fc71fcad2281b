#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <numeric>
#include <string>
#include <utility>
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
  // Queues low in the range, around the top bit (unsigned order must hold there) and
  // near the top; candidates from just past the head to beyond the tail.
  const std::uint32_t bases[] = {0, 0x7FFFFF90u, 0xFFFFE000u};
  for (int trial = 0; trial < 6000; ++trial) {
    std::uint32_t position[256];
    std::uint32_t p = bases[trial % 3] + random.below(4);
    for (auto& entry : position) {
      p += 1 + (random.below(4) == 0 ? random.below(6) : 0);
      entry = p;
    }
    const std::uint32_t reach = trial % 2 == 0 ? 300 : position[255] - position[1] + 20;
    const std::uint64_t start = position[1] + 1 + random.below(reach);
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

// The encoding direction's decisions, recorded instead of coded.
struct RecordingEncoder {
  static constexpr bool isEncoder = true;
  std::vector<std::uint32_t> bits, probabilities;
  std::uint32_t codeBit(std::uint32_t p, std::uint32_t bit) {
    probabilities.push_back(p);
    bits.push_back(bit);
    return bit;
  }
};
struct RecordingBitWriter {
  std::vector<std::pair<std::uint32_t, std::uint32_t>> fields;  // (width, value)
  std::uint32_t codeBits(std::uint32_t k, std::uint32_t value) {
    value &= (1u << k) - 1u;
    fields.emplace_back(k, value);
    return value;
  }
};

// "abbbbbbbaaabaaaa" (n = 16), worked out by hand from the format's rules:
//  listing: 'a' and 'b' as eight even bits each, then the end value 254 below 255,
//    seven 1-bits whose probabilities r * 2^(11 - m) follow the halving bound;
//  first runs: b at 0 + 1 + v, v = 0 (limit m = floor(log2 15) = 3);
//  finishing runs 3 and 4 (limit floor(log2 14) = 3): v = 3 as prefix 1, 0 and a direct
//    bit 1; then v = 0. Prefix counter 0 goes 0x8000 -> 30720 -> 32896 (p 1920, 2056);
//  run a@0 (1 byte): context 1 (one-byte run, gap class of 16 - 1 - 1 = 14 is 0), row 0,
//    w = 6: escape 0, prefix 1 1 0 (class 2 for v = 5), mantissa 0, one raw bit 1;
//    trend 32, average (6144 + 384 + 8) >> 4 = 408;
//  run b@1 (7 bytes): context 2 (16 - 1 - 8 = 7 has class 1), row 0, w = 2: escape 0,
//    prefix 0, mantissa 1; average 152;
//  run a@8 (3 bytes): context 4 (class 2 for 4), row V[(408 + 128) >> 8] + 1 = 2, w = 0:
//    escape 1; trend (96 + 2040 + 259) >> 3 = 299, average (3588 + 8) >> 4 = 224;
//  then b's and a's last runs end the segment.
TEST(RunStarts, HandWorkedSegmentPinsContextsRowsAndUpdates) {
  const std::string text = "abbbbbbbaaabaaaa";
  const std::vector<std::uint8_t> symbols(text.begin(), text.end());
  const std::vector<std::uint32_t> bits{
      0, 1, 1, 0, 0, 0, 0, 1,  // 'a'
      0, 1, 1, 0, 0, 0, 1, 0,  // 'b' (still at table index 0x62)
      1, 1, 1, 1, 1, 1, 1,     // the end value
      0, 0,                    // b's first run
      1, 0, 1, 0, 0,           // finishing runs
      0, 1, 1, 0, 0,           // a: w = 6
      0, 0, 1,                 // b: w = 2
      1};                      // a: w = 0
  std::vector<std::uint32_t> probabilities(16, kEvenOdds);
  for (std::uint32_t p : {2032u, 2016u, 1984u, 1920u, 1792u, 1536u, 1024u}) probabilities.push_back(p);
  for (std::uint32_t p : {2048u, 2048u, 1920u, 2048u, 2048u, 2056u, 2048u}) probabilities.push_back(p);
  probabilities.insert(probabilities.end(), 9, 2048u);

  // Decoding.
  ScriptedCoder coder(bits);
  const std::vector<std::uint8_t> rawBits{0x80};
  WordBitReader raw(rawBits);
  RunStartModel model;
  std::vector<std::uint8_t> output(symbols.size());
  ASSERT_EQ(codeRunStarts(model, coder, raw, output.data(), 16, nullptr), 0u);
  EXPECT_EQ(output, symbols);
  EXPECT_EQ(coder.next, bits.size());
  EXPECT_EQ(coder.probabilities, probabilities);

  // Only the counters named above moved, each by one step of its own rule.
  std::array<std::uint16_t, RunStartModel::kRows * RunStartModel::kContexts * RunStartModel::kGroupSize> groups;
  groups.fill(RunStartModel::kSelfSlowingStart);
  auto at = [&](std::uint32_t row, std::uint32_t context, std::uint32_t index) -> std::uint16_t& {
    return groups[(row * RunStartModel::kContexts + context) * RunStartModel::kGroupSize + index];
  };
  at(0, 1, 0) = 0x6013;  // escape after a 0: (32770 - 8177) & 0xFFF0, speed 2 + 1
  at(0, 1, 1) = 0xA023;  // prefix after a 1: (32770 + 8223) & 0xFFF0 + 3
  at(0, 1, 2) = 0xA023;
  at(0, 1, 3) = 0x6023;  // prefix after a 0: (32770 - 8161) & 0xFFF0 + 3
  at(0, 2, 0) = 0x6013;
  at(0, 2, 1) = 0x6023;
  at(2, 4, 0) = 0xA013;  // escape after a 1
  EXPECT_EQ(model.groups, groups);
  std::array<std::uint16_t, RunStartModel::kClasses * RunStartModel::kContexts> mantissa;
  mantissa.fill(0x8000);
  mantissa[2 * 16 + 1] = 32736;  // 32768 + floor(-32256 / 1024)
  mantissa[0 * 16 + 2] = 32800;  // 32768 + (33280 >> 10)
  EXPECT_EQ(model.mantissa, mantissa);
  EXPECT_EQ(model.gapAverage['a'], 224u);
  EXPECT_EQ(model.gapTrend['a'], 299u);
  EXPECT_EQ(model.gapAverage['b'], 152u);
  EXPECT_EQ(model.gapTrend['b'], 32u);

  // Encoding makes the same decisions and the same raw field.
  RunPlan plan = planRunStarts(symbols);
  RecordingEncoder encoder;
  RecordingBitWriter writer;
  RunStartModel encoderModel;
  EXPECT_EQ(codeRunStarts(encoderModel, encoder, writer, nullptr, 16, &plan), 0u);
  EXPECT_EQ(encoder.bits, bits);
  EXPECT_EQ(encoder.probabilities, probabilities);
  EXPECT_EQ(writer.fields, (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{1, 1}}));
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
  const std::vector<std::uint8_t> text = quorvex::testing::repositoryText(65536);
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
