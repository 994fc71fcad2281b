#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "codecs/bwt/bwt_transform.hpp"
#include "support/test_support.hpp"

namespace quorvex::bwt {
namespace {

// Inverts in a buffer with exactly the room the inverse needs.
std::vector<std::uint8_t> invert(const std::vector<std::uint8_t>& transformed, std::uint32_t primaryIndex) {
  const auto n = static_cast<std::uint32_t>(transformed.size());
  std::vector<std::uint8_t> buffer(inverseBwtRoom(n));
  std::copy(transformed.begin(), transformed.end(), buffer.begin());
  EXPECT_TRUE(inverseBwt(buffer.data(), n, primaryIndex, buffer.size()));
  buffer.resize(n);
  return buffer;
}

std::vector<std::uint8_t> bytesOf(const std::string& text) { return {text.begin(), text.end()}; }

// The plain textbook inverse with separate arrays: one chain of n steps from the
// primary row (on an input that is no real transform, one cycle, repeated).
std::vector<std::uint8_t> textbookInverse(const std::vector<std::uint8_t>& transformed, std::uint32_t primary) {
  const auto n = static_cast<std::uint32_t>(transformed.size());
  std::vector<std::uint32_t> start(256, 0), links(n);
  for (const auto byte : transformed) ++start[byte];
  std::uint32_t sum = 0;
  for (auto& s : start) {
    const std::uint32_t c = s;
    s = sum;
    sum += c;
  }
  for (std::uint32_t j = 0; j < n; ++j) links[start[transformed[j]]++] = j;
  std::vector<std::uint8_t> expected(n);
  std::uint32_t p = primary;
  for (std::uint32_t k = 0; k < n; ++k) {
    p = links[p];
    expected[k] = transformed[p];
  }
  return expected;
}

TEST(InverseBwt, ListedExamples) {
  EXPECT_EQ(invert(bytesOf("nnbaaa"), 3), bytesOf("banana"));
  for (int b = 0; b < 256; b += 51) {
    const std::vector<std::uint8_t> single{static_cast<std::uint8_t>(b)};
    EXPECT_EQ(invert(single, 0), single);
  }
}

TEST(ForwardBwt, ListedExampleAndPeriodicBlocks) {
  const ForwardBwt banana = forwardBwt(bytesOf("banana"));
  EXPECT_EQ(banana.transformed, bytesOf("nnbaaa"));
  EXPECT_EQ(banana.primaryIndex, 3u);
  // Equal rotations: any of them may be the primary row; the inverse gives the block back.
  for (const std::string text : {"abababab", "aaaa", "abcabcabc", "x"}) {
    const ForwardBwt t = forwardBwt(bytesOf(text));
    EXPECT_EQ(invert(t.transformed, t.primaryIndex), bytesOf(text)) << text;
  }
  EXPECT_TRUE(forwardBwt({}).transformed.empty());
}

TEST(Bwt, RoundTripsRepositoryAndRandomBlocks) {
  for (const auto& block : {testing::repositoryText(40000), testing::ownProgram(30000), testing::skewedBytes(20000, 7), std::vector<std::uint8_t>(5000, 0)}) {
    const ForwardBwt t = forwardBwt(block);
    ASSERT_EQ(t.transformed.size(), block.size());
    EXPECT_EQ(invert(t.transformed, t.primaryIndex), block);
  }
}

TEST(InverseBwt, RejectsBadPrimaryIndexAndShortRoom) {
  auto buffer = bytesOf("nnbaaa");
  buffer.resize(inverseBwtRoom(6), 0xEE);
  const auto before = buffer;
  EXPECT_FALSE(inverseBwt(buffer.data(), 6, 6, buffer.size()));
  EXPECT_FALSE(inverseBwt(buffer.data(), 6, 0xFFFFFFFF, buffer.size()));
  EXPECT_FALSE(inverseBwt(buffer.data(), 6, 3, buffer.size() - 1));
  EXPECT_FALSE(inverseBwt(buffer.data(), 0, 0, buffer.size()));
  EXPECT_EQ(buffer, before);  // a rejected block is left untouched
}

// Both link forms around their boundary: 2^24 - 1 bytes chase packed links, 2^24 bytes
// read a copy. Both must match the textbook inverse computed with separate arrays.
// The input need not be a real transform (the chase then covers one cycle of the
// permutation); blocks of a few long runs keep the chase cache-friendly.
TEST(InverseBwt, BothLinkFormsAroundTheirBoundary) {
  for (const std::uint32_t n : {kPackedLinkLimit - 1, kPackedLinkLimit}) {
    std::vector<std::uint8_t> transformed(n);
    for (std::uint32_t j = 0; j < n; ++j) transformed[j] = static_cast<std::uint8_t>((j >> 20) * 37 + (j & 1));
    const std::uint32_t primary = n / 3;

    const std::vector<std::uint8_t> expected = textbookInverse(transformed, primary);

    // Packed: lanes with scratch of their own or behind the links, on one thread and two.
    // Large: one chain, then two from both ends on two threads; their halves do not meet
    // on this input, and the second half must still come out as one chain gives it.
    for (const auto& [threads, room] : {std::pair{1u, inverseBwtRoom(n)}, std::pair{1u, twoChainRoom(n)},
                                       std::pair{2u, twoChainRoom(n)}}) {
      std::vector<std::uint8_t> buffer(room);
      std::copy(transformed.begin(), transformed.end(), buffer.begin());
      ASSERT_TRUE(inverseBwt(buffer.data(), n, primary, buffer.size(), threads));
      EXPECT_TRUE(std::equal(expected.begin(), expected.end(), buffer.begin())) << n << " " << threads << " " << room;
    }
  }
}

// Blocks from kLaneMinimum bytes on chase many segments at once and join them. Against
// the textbook chain: random bytes (no real transform: many cycles, the primary row's
// one repeats), real transforms of text, a block of one byte value (every row its own
// cycle), with the primary row on a mark and off one, with the scratch behind the
// links or of its own, on one thread and two.
TEST(InverseBwt, LanesMatchTheTextbookChain) {
  const std::vector<std::uint8_t> text = testing::repositoryText(kLaneMinimum + 4097);
  const ForwardBwt real = forwardBwt(text);
  struct Case {
    std::vector<std::uint8_t> transformed;
    std::uint32_t primary;
  };
  const std::vector<std::uint8_t> noise = testing::skewedBytes(kLaneMinimum + 1, 3);
  const std::vector<Case> cases = {
      {real.transformed, real.primaryIndex},
      {noise, 12345},
      {noise, 0},  // row 0 is always a mark
      {std::vector<std::uint8_t>(kLaneMinimum, 7), kLaneMinimum - 1},
      {std::vector<std::uint8_t>(kLaneMinimum - 1, 7), 5},  // below the minimum: one chain
  };
  for (const Case& c : cases) {
    const auto n = static_cast<std::uint32_t>(c.transformed.size());
    const std::vector<std::uint8_t> expected = textbookInverse(c.transformed, c.primary);
    for (const unsigned threads : {1u, 2u}) {
      for (const std::uint64_t room : {inverseBwtRoom(n), twoChainRoom(n)}) {
        std::vector<std::uint8_t> buffer(room);
        std::copy(c.transformed.begin(), c.transformed.end(), buffer.begin());
        ASSERT_TRUE(inverseBwt(buffer.data(), n, c.primary, buffer.size(), threads));
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), buffer.begin()))
            << n << " " << c.primary << " " << threads << " " << room;
      }
    }
  }
  EXPECT_TRUE(std::equal(text.begin(), text.end(), textbookInverse(real.transformed, real.primaryIndex).begin()));
}

}  // namespace
}  // namespace quorvex::bwt
