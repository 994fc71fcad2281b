// The LZ size trial the maker weighs codecs and stages by: the size a fresh encoder
// codes the block to, however many threads ask at once and in whatever order.
#include <gtest/gtest.h>

#include <cstdint>
#include <thread>
#include <vector>

#include "codecs/lz/lz_codec.hpp"
#include "make/lz_trial.hpp"

namespace quorvex {
namespace {

// A few KiB of random bytes, repeated with a changed byte every 700: long matches near
// and far, and some literals, quick to code.
std::vector<std::uint8_t> records(std::size_t size, std::uint32_t seed) {
  std::vector<std::uint8_t> bytes(size);
  std::uint32_t state = seed;
  const auto next = [&] { return state = state * 1103515245u + 12345u; };
  for (std::size_t i = 0; i < size && i < 6000; ++i) bytes[i] = static_cast<std::uint8_t>(next() >> 24);
  for (std::size_t i = 6000; i < size; ++i) bytes[i] = i % 700 == 0 ? static_cast<std::uint8_t>(next() >> 24) : bytes[i - 6000];
  return bytes;
}

std::size_t freshEncoderSize(const std::vector<std::uint8_t>& block) {
  return lz::LzEncoder().encodeBlock(block, 0).size();
}

TEST(LzTrial, SizesAreAFreshEncodersOnBothSidesOfTheTurnMinimum) {
  const std::vector<std::uint8_t> large = records(kLzTrialTurnMinimum, 7);
  const std::vector<std::uint8_t> small = records(std::size_t{64} << 10, 9);
  const std::size_t largeSize = freshEncoderSize(large);
  const std::size_t smallSize = freshEncoderSize(small);
  ASSERT_GT(largeSize, 0u);
  ASSERT_GT(smallSize, 0u);
  // Each trial starts afresh: one after another, and after a different block, the same.
  EXPECT_EQ(lzTrialSize(large), largeSize);
  EXPECT_EQ(lzTrialSize(small), smallSize);
  EXPECT_EQ(lzTrialSize(large), largeSize);
  EXPECT_EQ(lzTrialSize({}), 0u);
}

TEST(LzTrial, TrialsAskedFromSeveralThreadsAtOnce) {
  const std::vector<std::uint8_t> first = records(kLzTrialTurnMinimum, 3);
  const std::vector<std::uint8_t> second = records(kLzTrialTurnMinimum + 4096, 5);
  const std::vector<std::uint8_t> sample = records(std::size_t{32} << 10, 11);
  const std::size_t expected[] = {freshEncoderSize(first), freshEncoderSize(second), freshEncoderSize(sample)};
  std::size_t got[3] = {};
  {
    std::jthread a([&] { got[0] = lzTrialSize(first); });
    std::jthread b([&] { got[1] = lzTrialSize(second); });
    std::jthread c([&] { got[2] = lzTrialSize(sample); });
  }
  EXPECT_EQ(got[0], expected[0]);
  EXPECT_EQ(got[1], expected[1]);
  EXPECT_EQ(got[2], expected[2]);
}

}  // namespace
}  // namespace quorvex
