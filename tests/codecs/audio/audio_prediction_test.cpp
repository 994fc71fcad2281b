// The prediction stages against a plain reading of their arithmetic: histories kept
// as ordinary newest-first lists, no sliding windows, no packed loops.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "codecs/audio/audio_model.hpp"
#include "codecs/audio/audio_prediction.hpp"
#include "support/test_support.hpp"

namespace quorvex::audio {
namespace {

using quorvex::testing::TestRandom;

std::int32_t sat16(std::int64_t v) { return v < -32768 ? -32768 : v > 32767 ? 32767 : static_cast<std::int32_t>(v); }
std::int32_t wrap32(std::int64_t v) { return static_cast<std::int32_t>(static_cast<std::uint32_t>(v)); }
std::int32_t wrap16(std::int64_t v) { return static_cast<std::int16_t>(static_cast<std::uint16_t>(v)); }

// One filter, read straight from its description.
struct PlainFilter {
  bool isLong;
  std::uint32_t order;
  std::uint32_t shift;
  std::vector<std::int32_t> weights, values, terms;  // values[k]: k-th newest
  std::int32_t prediction = 0;

  PlainFilter(std::uint32_t taps, std::uint32_t s)
      : isLong(taps > 8), order(taps), shift(s), weights(taps), values(taps), terms(taps) {}

  std::int32_t decode(std::int32_t r) {
    const std::int32_t x = wrap32(std::int64_t{r} + prediction);
    for (std::uint32_t k = 0; k < order; ++k) {
      if (isLong && r > 0) weights[k] = sat16(std::int64_t{weights[k]} + terms[k]);
      if (isLong && r < 0) weights[k] = sat16(std::int64_t{weights[k]} - terms[k]);
      if (!isLong) weights[k] = wrap16(r > 0 ? weights[k] + terms[k] : weights[k] - terms[k]);
    }
    const std::int32_t v = isLong ? sat16(x) : wrap16(x);
    std::int32_t t = 0;
    if (isLong) {
      std::int32_t log = -1;
      for (std::int32_t m = v < 0 ? -v : v; m > 0; m /= 2) ++log;
      t = v == 0 ? 1 : (v < 0 ? -(log + 1) : log + 1);
    } else {
      t = v > 0 ? 1 : v < 0 ? -1 : 0;
    }
    values.insert(values.begin(), v);
    terms.insert(terms.begin(), t);
    values.pop_back();
    terms.pop_back();
    std::int64_t d = 0;
    for (std::uint32_t k = 0; k < order; ++k) d += std::int64_t{weights[k]} * values[k];
    const std::int32_t d32 = wrap32(d);
    const std::int64_t divisor = std::int64_t{1} << shift;
    if (isLong) {
      prediction = static_cast<std::int32_t>(d32 / divisor);  // toward zero
    } else {
      prediction = static_cast<std::int32_t>((d32 - ((d32 % divisor + divisor) % divisor)) / divisor);  // floor
    }
    return x;
  }
};

// Residuals of a mix of sizes: small ones that adapt smoothly, zeros, and huge ones
// that saturate or wrap the 16-bit history.
std::vector<std::int32_t> mixedResiduals(std::size_t n, std::uint64_t seed) {
  TestRandom random(seed);
  std::vector<std::int32_t> r(n);
  for (auto& v : r) {
    const std::uint32_t kind = random.below(10);
    if (kind < 2) v = 0;
    else if (kind < 8) v = static_cast<std::int32_t>(random.below(2001)) - 1000;
    else v = static_cast<std::int32_t>(random.next());
  }
  return r;
}

TEST(AudioFilter, PackedFiltersMatchThePlainReadingAcrossWindowMoves) {
  for (std::uint32_t order : {96u, 8u}) {
    for (std::uint32_t shift : {8u, 11u, 15u}) {
      SCOPED_TRACE(::testing::Message() << "order " << order << " shift " << shift);
      AudioFilter fast;
      fast.order = static_cast<std::uint16_t>(order);
      fast.shift = static_cast<std::uint8_t>(shift);
      resetFilter(fast);
      PlainFilter plain(order, shift);
      // 5000 values: the window moves twice; split calls keep state between runs.
      std::vector<std::int32_t> values = mixedResiduals(5000, order * 31 + shift);
      std::vector<std::int32_t> expected;
      for (std::int32_t r : values) expected.push_back(plain.decode(r));
      runFilter(fast, values.data(), 1234);
      runFilter(fast, values.data() + 1234, values.size() - 1234);
      ASSERT_EQ(values, expected);
      EXPECT_EQ(fast.prediction, plain.prediction);
    }
  }
}

// One channel's three stages in a state drawn at random: weights anywhere in 16 bits
// (many at the saturation limits), windows and terms of any value, any shifts.
struct ChannelStages {
  std::array<AudioFilter, kFilterStages> filters{};

  ChannelStages(TestRandom& random) {
    for (std::uint32_t s = 0; s < kFilterStages; ++s) {
      AudioFilter& f = filters[s];
      f.order = static_cast<std::uint16_t>(s == 0 ? kLongOrder : kShortOrder);
      f.shift = static_cast<std::uint8_t>(8 + random.below(8));
      f.cursor = random.below(3) == 0 ? random.below(40) : 100 + random.below(1900);  // some start near a move
      f.prediction = static_cast<std::int32_t>(random.next());
      for (auto& w : f.weights) {
        const std::uint32_t kind = random.below(4);
        w = static_cast<std::int16_t>(kind == 0 ? 32767 : kind == 1 ? -32768 : static_cast<std::int32_t>(random.next()));
      }
      for (auto& v : f.buffer) v = static_cast<std::int16_t>(random.next());
    }
  }
  std::array<AudioFilter*, kFilterStages> pointers() { return {&filters[0], &filters[1], &filters[2]}; }
};

// Residuals of every size a piece can carry: zeros, small values, 16-bit extremes,
// 24-bit samples, and anything at all (which wraps the sums).
std::vector<std::int32_t> extremeResiduals(std::size_t n, TestRandom& random) {
  std::vector<std::int32_t> r(n);
  for (auto& v : r) {
    switch (random.below(7)) {
      case 0: v = 0; break;
      case 1: v = static_cast<std::int32_t>(random.below(61)) - 30; break;
      case 2: v = random.below(2) ? 32767 : -32768; break;
      case 3: v = static_cast<std::int32_t>(random.below(1u << 24)) - (1 << 23); break;
      case 4: v = random.below(2) ? 2147483647 : -2147483647 - 1; break;
      default: v = static_cast<std::int32_t>(random.next()); break;
    }
  }
  return r;
}

TEST(AudioFilter, EveryVectorBuildMatchesThePortableLoops) {
  const FilterBuild builds[] = {FilterBuild::sse41, FilterBuild::avx2};
  std::uint32_t tried = 0;
  for (FilterBuild build : builds) {
    if (!filterBuildAvailable(build)) continue;
    ++tried;
    for (std::uint32_t mask = 0; mask < 8; ++mask) {
      SCOPED_TRACE(::testing::Message() << "build " << static_cast<int>(build) << " stages " << mask);
      TestRandom random(mask * 7 + static_cast<std::uint32_t>(build));
      ChannelStages portable(random);
      ChannelStages vector = portable;
      const std::array<bool, kFilterStages> enabled{(mask & 1) != 0, (mask & 2) != 0, (mask & 4) != 0};
      // 6000 values in runs of uneven length: every window moves at least once, and
      // the state must carry from one call to the next.
      std::vector<std::int32_t> expected = extremeResiduals(6000, random);
      std::vector<std::int32_t> values = expected;
      for (std::size_t start = 0, length = 1; start < values.size(); start += length, length = length * 3 + 5) {
        const std::size_t n = std::min(length, values.size() - start);
        runChannelFilters(FilterBuild::portable, portable.pointers(), enabled, expected.data() + start, n);
        runChannelFilters(build, vector.pointers(), enabled, values.data() + start, n);
      }
      ASSERT_EQ(values, expected);
      for (std::uint32_t s = 0; s < kFilterStages; ++s) {
        EXPECT_EQ(vector.filters[s].weights, portable.filters[s].weights) << "stage " << s;
        EXPECT_EQ(vector.filters[s].buffer, portable.filters[s].buffer) << "stage " << s;
        EXPECT_EQ(vector.filters[s].cursor, portable.filters[s].cursor) << "stage " << s;
        EXPECT_EQ(vector.filters[s].prediction, portable.filters[s].prediction) << "stage " << s;
      }
    }
  }
  if (tried == 0) GTEST_SKIP() << "this processor has no vector build of the filters";
}

TEST(AudioFilter, ListedValuesAndWindowPositions) {
  EXPECT_EQ(storedLongValue(40000), 32767);
  EXPECT_EQ(longTerm(32767), 15);
  EXPECT_EQ(storedLongValue(-40000), -32768);
  EXPECT_EQ(longTerm(-32768), -16);
  EXPECT_EQ(longTerm(0), 1);
  EXPECT_EQ(storedShortValue(70000), 4464);
  EXPECT_EQ(shortTerm(4464), 1);
  EXPECT_EQ(shortTerm(0), 0);
  EXPECT_EQ(longRounding(-5, 2), -1);
  EXPECT_EQ(shortRounding(-5, 2), -2);

  AudioFilter filter;
  filter.order = 96;
  filter.shift = 10;
  resetFilter(filter);
  std::vector<std::int32_t> values(2048, 3);
  runFilter(filter, values.data(), values.size());
  EXPECT_EQ(filter.cursor, 0u);
  std::int32_t one = 3;
  runFilter(filter, &one, 1);
  EXPECT_EQ(filter.cursor, 2464u);
}

// The cross stage read plainly: entry k of a window is the alternating sum
// v[n] - v[n-1] + ... +- v[n-k] of the values pushed into it (0 before a clear).
struct PlainCross {
  std::uint32_t shift;
  std::vector<std::int32_t> own, other;  // newest first
  std::vector<std::int32_t> ownWeights = std::vector<std::int32_t>(8), crossWeights = std::vector<std::int32_t>(4);

  static std::vector<std::int32_t> window(const std::vector<std::int32_t>& v, std::size_t taps) {
    std::vector<std::int32_t> entries(taps);
    for (std::size_t k = 0; k < taps; ++k) {
      std::int64_t sum = 0;
      for (std::size_t j = 0; j <= k && j < v.size(); ++j) sum += (j % 2 ? -1 : 1) * std::int64_t{v[j]};
      entries[k] = wrap32(sum);
    }
    return entries;
  }

  std::int32_t predict(std::int32_t a, std::int32_t b) {
    other.insert(other.begin(), b);
    const auto ownEntries = window(own, 8);
    const auto crossEntries = window(other, 4);
    std::uint64_t sum = 0;
    for (std::size_t k = 0; k < 8; ++k) sum += static_cast<std::uint64_t>(std::int64_t{ownWeights[k]} * ownEntries[k]);
    for (std::size_t k = 0; k < 4; ++k) sum += static_cast<std::uint64_t>(std::int64_t{crossWeights[k]} * crossEntries[k]);
    const auto s = static_cast<std::int64_t>(sum);
    const std::uint64_t magnitude = s < 0 ? 0 - sum : sum;
    const auto cut = static_cast<std::uint32_t>(magnitude >> shift);
    const std::int32_t y = wrap32(std::int64_t{a} + (s < 0 ? -std::int64_t{cut} : std::int64_t{cut}));
    const std::int32_t sign = a > 0 ? 1 : a < 0 ? -1 : 0;
    for (std::size_t k = 0; k < 8; ++k) ownWeights[k] = wrap32(ownWeights[k] + std::int64_t{sign} * ownEntries[k]);
    for (std::size_t k = 0; k < 4; ++k) crossWeights[k] = wrap32(crossWeights[k] + std::int64_t{sign} * crossEntries[k]);
    own.insert(own.begin(), y);
    return y;
  }
};

TEST(CrossPredictor, MatchesThePlainReadingAcrossWindowMoves) {
  std::array<CrossPredictor, 2> pair{};
  clearCrossPredictors(pair);
  pair[0].shift = 16;
  pair[1].shift = 31;
  PlainCross plain0{16, {}, {}};
  PlainCross plain1{31, {}, {}};
  TestRandom random(99);
  std::vector<std::int32_t> ch0(2500), ch1(2500);
  for (std::size_t i = 0; i < ch0.size(); ++i) {
    ch0[i] = i % 7 == 0 ? static_cast<std::int32_t>(random.next()) : static_cast<std::int32_t>(random.below(201)) - 100;
    ch1[i] = i % 5 == 0 ? 0 : static_cast<std::int32_t>(random.below(60001)) - 30000;
  }
  std::vector<std::int32_t> expected0, expected1;
  std::int32_t previous = 0;
  for (std::size_t i = 0; i < ch0.size(); ++i) {
    expected0.push_back(plain0.predict(ch0[i], previous));
    expected1.push_back(plain1.predict(ch1[i], expected0.back()));
    previous = expected1.back();
  }
  const std::vector<std::int32_t> input0 = ch0, input1 = ch1;
  std::vector<std::int32_t> forward0 = expected0, forward1 = expected1;
  std::array<CrossPredictor, 2> encoder = pair;
  runCrossStage(pair, ch0.data(), ch1.data(), ch0.size());
  EXPECT_EQ(ch0, expected0);
  EXPECT_EQ(ch1, expected1);
  runCrossStageForward(encoder, forward0.data(), forward1.data(), forward0.size());
  EXPECT_EQ(forward0, input0);
  EXPECT_EQ(forward1, input1);
}

TEST(WriteSamples, MidSideWidthsAndByteOrders) {
  // Values are first differences: one frame each.
  const std::int32_t mid[] = {3, -6};
  const std::int32_t side[] = {10, 0};
  std::uint8_t out[8];
  writeSamples(out, 2, mid, side, {2, 2, true});
  // x0 = 3, x1 = 10: second 9, first 12; then x0 = -3, x1 = 10: second 12, first 9.
  const std::uint8_t expected[] = {12, 0, 9, 0, 9, 0, 12, 0};
  EXPECT_TRUE(std::equal(out, out + 8, expected));

  const std::int32_t value[] = {0x123456};
  std::uint8_t big[3], little[3], byte[1];
  writeSamples(big, 1, value, nullptr, {0, 3, false});
  writeSamples(little, 1, value, nullptr, {0, 3, true});
  const std::int32_t minusOne[] = {-1};
  writeSamples(byte, 1, minusOne, nullptr, {0, 1, true});
  EXPECT_EQ(big[0], 0x12);
  EXPECT_EQ(big[2], 0x56);
  EXPECT_EQ(little[0], 0x56);
  EXPECT_EQ(little[2], 0x12);
  EXPECT_EQ(byte[0], 0xFF);
}

}  // namespace
}  // namespace quorvex::audio
