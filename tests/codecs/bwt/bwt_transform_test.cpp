#include <gtest/gtest.h>

#include <algorithm>
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

// The textbook forward transform: the rotations sorted by comparing them byte by byte.
// Equal rotations (a periodic block) go latest start first, as the sort of the doubled
// block orders them; then the primary row is the same one.
ForwardBwt textbookForward(const std::vector<std::uint8_t>& block) {
  const std::size_t n = block.size();
  std::vector<std::size_t> starts(n);
  for (std::size_t i = 0; i < n; ++i) starts[i] = i;
  std::sort(starts.begin(), starts.end(), [&](std::size_t a, std::size_t b) {
    for (std::size_t k = 0; k < n; ++k) {
      const std::uint8_t x = block[(a + k) % n], y = block[(b + k) % n];
      if (x != y) return x < y;
    }
    return a > b;
  });
  ForwardBwt result;
  for (std::size_t row = 0; row < n; ++row) {
    result.transformed.push_back(block[(starts[row] + n - 1) % n]);
    if (starts[row] == 0) result.primaryIndex = static_cast<std::uint32_t>(row);
  }
  return result;
}

std::string describe(const std::vector<std::uint8_t>& block) {
  return block.size() <= 32 ? std::string(block.begin(), block.end()) : "block of " + std::to_string(block.size());
}

// Most blocks are sorted as their least rotation, periodic ones written twice: both must
// give the rotation order byte for byte, and the same primary row among equal rotations.
// Every block of up to 10 letters over {a, b} and of up to 6 over {a, b, c}: Lyndon words,
// blocks whose least rotation starts anywhere, powers (aaaa, abab, abcabc), near-powers
// (abcabcab), n = 1, 2, 3.
TEST(ForwardBwt, EveryShortBlockMatchesTheTextbookSort) {
  for (const auto& [letters, longest] : {std::pair{2u, 10u}, std::pair{3u, 6u}}) {
    for (std::uint32_t n = 1; n <= longest; ++n) {
      std::uint32_t count = 1;
      for (std::uint32_t k = 0; k < n; ++k) count *= letters;
      for (std::uint32_t code = 0; code < count; ++code) {
        std::vector<std::uint8_t> block;
        for (std::uint32_t rest = code, k = 0; k < n; ++k, rest /= letters) {
          block.push_back(static_cast<std::uint8_t>('a' + rest % letters));
        }
        const ForwardBwt expected = textbookForward(block);
        const ForwardBwt got = forwardBwt(block);
        ASSERT_EQ(got.transformed, expected.transformed) << describe(block);
        ASSERT_EQ(got.primaryIndex, expected.primaryIndex) << describe(block);
        const ForwardBwt doubled = forwardBwtOfDoubledBlock(block);
        ASSERT_EQ(doubled.transformed, expected.transformed) << describe(block);
        ASSERT_EQ(doubled.primaryIndex, expected.primaryIndex) << describe(block);
      }
    }
  }
}

// Longer blocks of every kind against the doubled sort (the transform as it was), and the
// textbook sort where its byte-by-byte comparisons stay quick.
TEST(ForwardBwt, LongBlocksMatchTheDoubledSort) {
  std::vector<std::vector<std::uint8_t>> blocks = {testing::repositoryText(70000), testing::ownProgram(50000),
                                                   testing::skewedBytes(30000, 11), std::vector<std::uint8_t>(5000, 0)};
  testing::TestRandom random(5);
  std::vector<std::uint8_t> noise(40000);
  for (auto& byte : noise) byte = static_cast<std::uint8_t>(random.next());
  blocks.push_back(noise);
  // Runs, with the least rotation in the middle of the block.
  std::vector<std::uint8_t> runs;
  for (std::uint32_t k = 0; k < 300; ++k) runs.insert(runs.end(), 1 + random.below(200), static_cast<std::uint8_t>(random.below(3)));
  blocks.push_back(runs);
  // A long run broken once: a Lyndon word, and the same rotated.
  std::vector<std::uint8_t> lyndon(20000, 'a');
  lyndon.back() = 'b';
  blocks.push_back(lyndon);
  std::rotate(lyndon.begin(), lyndon.begin() + 7777, lyndon.end());
  blocks.push_back(lyndon);
  // Powers of a random string, and one byte short of a power.
  std::vector<std::uint8_t> period(997);
  for (auto& byte : period) byte = static_cast<std::uint8_t>(random.below(4));
  std::vector<std::uint8_t> power;
  for (std::uint32_t k = 0; k < 12; ++k) power.insert(power.end(), period.begin(), period.end());
  blocks.push_back(power);
  power.pop_back();
  blocks.push_back(power);

  for (const auto& block : blocks) {
    const ForwardBwt expected = forwardBwtOfDoubledBlock(block);
    const ForwardBwt got = forwardBwt(block);
    EXPECT_EQ(got.transformed, expected.transformed) << describe(block);
    EXPECT_EQ(got.primaryIndex, expected.primaryIndex) << describe(block);
    EXPECT_EQ(invert(got.transformed, got.primaryIndex), block) << describe(block);
  }
  const ForwardBwt textbook = textbookForward(noise);
  EXPECT_EQ(forwardBwt(noise).transformed, textbook.transformed);
  EXPECT_EQ(forwardBwt(noise).primaryIndex, textbook.primaryIndex);
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
