// Hostile payloads: random and truncated streams, distances before the window, length
// classes above the last, matches across a segment end. Buffers are sized exactly, so
// the sanitizer build catches any access outside them.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "codecs/lz/lz_codec.hpp"
#include "codecs/lz/lz_token_coder.hpp"
#include "lz_scripted_coder.hpp"
#include "model/binary_coder.hpp"
#include "support/test_support.hpp"

namespace quorvex::lz {
namespace {

using lztest::freshModel;
using lztest::TestWindow;
using quorvex::testing::TestRandom;

// Codes the given tokens at window position `start` of an all-zero window, writing
// their bytes first as the decoder will; tokens past the first that fails are dropped.
std::vector<std::uint8_t> payloadOf(std::vector<LzToken> tokens, std::uint32_t start, std::uint32_t size) {
  auto model = freshModel();
  TestWindow window(start + size);
  std::vector<std::uint8_t> payload;
  BinaryEncoder encoder(payload);
  LzBlockState s(window.base(), start, size);
  for (LzToken& token : tokens) {
    if (s.done()) break;
    if (token.literal) {
      s.base[s.q] = static_cast<std::uint8_t>(token.byte);
    } else {
      const std::uint32_t distance = token.choice == 0 ? token.distance : s.recentDistances[token.choice - 1];
      if (sourceIsReadable(s.q, distance)) copyMatch(s.base, s.q, distance + 1, std::min(token.length, s.segmentLeft), s.end);
    }
    if (!codeToken(*model, encoder, s, token)) break;
  }
  encoder.flush();
  return payload;
}

LzToken newDistanceMatch(std::uint32_t length, std::uint32_t distance) { return {0, 0, 0, length, distance}; }

TEST(LzHostile, SourceBeforeTheReadableStartFails) {
  // At position 0 the source of distance d lies d + 1 bytes before the window: 60 bytes
  // are the most that still leave room for the four context bytes before the source.
  for (const std::uint32_t distance : {59u, 60u, 1000u, 0xFFFFFFFFu}) {
    const auto payload = payloadOf({newDistanceMatch(4, distance)}, 0, 4);
    TestWindow window(4, 0xEE);
    LzDecoder decoder;
    EXPECT_EQ(decoder.decodeBlock(payload, window.base(), window.base(), 4), distance <= 59) << distance;
    if (distance <= 59) {
      EXPECT_EQ(window.base()[0], 0);  // copied from the guard bytes
    }
  }
  // Later in the window the same distances are fine.
  const auto payload = payloadOf({newDistanceMatch(4, 1000)}, 2000, 4);
  TestWindow window(2004);
  LzDecoder decoder;
  EXPECT_TRUE(decoder.decodeBlock(payload, window.base(), window.base() + 2000, 4));
}

TEST(LzHostile, LengthClassAboveFifteenFails) {
  const auto payload = payloadOf({newDistanceMatch(2 + (1u << 16), 0)}, 10, 100);
  TestWindow window(110);
  LzDecoder decoder;
  EXPECT_FALSE(decoder.decodeBlock(payload, window.base(), window.base() + 10, 100));
}

TEST(LzHostile, MatchAcrossTheSegmentEndIsCutThere) {
  // A literal, then a match of 40000 bytes from 2 back: it stops at the segment end
  // (position 32768 of the block), and the literals after it start the next segment.
  constexpr std::uint32_t kSize = kSegmentSize + 100;
  std::vector<LzToken> tokens = {LzToken{1, 'a'}, LzToken{0, 0, 1, 40000, 0}};
  for (int i = 0; i < 100; ++i) tokens.push_back(LzToken{1, 'b'});
  const auto payload = payloadOf(tokens, 0, kSize);
  std::vector<std::uint8_t> exact(64 + kSize);  // no spare byte after the block
  LzDecoder decoder;
  ASSERT_TRUE(decoder.decodeBlock(payload, exact.data() + 64, exact.data() + 64, kSize));
  EXPECT_EQ(exact[64], 'a');
  EXPECT_EQ(exact[64 + kSegmentSize - 1], 0);  // the copy repeats (guard 0, 'a') patterns
  for (std::uint32_t i = kSegmentSize; i < kSize; ++i) ASSERT_EQ(exact[64 + i], 'b') << i;
}

// Blocks whose last token is a long match at a near or far distance, so that the copy
// ends exactly at the block end: the block decodes to its bytes, and the bytes after
// it, where the next block of the window would go, keep what they held.
TEST(LzHostile, MatchesEndingAtTheBlockEndWriteNothingPastIt) {
  TestRandom random(17);
  for (const std::uint32_t distance : {1u, 2u, 3u, 5u, 8u, 9u, 15u, 16u, 17u, 31u, 32u, 33u, 64u, 300u}) {
    for (const std::uint32_t tail : {40u, 601u}) {
      std::vector<std::uint8_t> block(320 + tail);
      for (std::uint32_t i = 0; i < 320; ++i) block[i] = static_cast<std::uint8_t>(random.next());
      for (std::uint32_t i = 320; i < block.size(); ++i) block[i] = block[i - distance];
      LzEncoder encoder;
      const auto payload = encoder.encodeBlock(block, 0);
      constexpr std::uint32_t kCanaryBytes = 32;
      std::vector<std::uint8_t> window(64 + block.size() + kCanaryBytes, 0xA5);
      std::fill(window.begin(), window.begin() + 64, 0);
      LzDecoder decoder;
      ASSERT_TRUE(decoder.decodeBlock(payload, window.data() + 64, window.data() + 64,
                                      static_cast<std::uint32_t>(block.size())));
      EXPECT_TRUE(std::equal(block.begin(), block.end(), window.begin() + 64)) << distance << " " << tail;
      EXPECT_TRUE(std::all_of(window.end() - kCanaryBytes, window.end(), [](std::uint8_t b) { return b == 0xA5; }))
          << distance << " " << tail;
    }
  }
}

TEST(LzHostile, RandomPayloadsStayInsideTheirBuffers) {
  TestRandom random(99);
  LzDecoder decoder;  // one decoder throughout: the model keeps whatever it learned
  for (int round = 0; round < 24; ++round) {
    const std::uint32_t prefix = random.below(3000);
    const std::uint32_t size = 1 + random.below(round % 4 == 0 ? 40000 : 3000);
    std::vector<std::uint8_t> payload(random.below(200));
    for (auto& b : payload) b = static_cast<std::uint8_t>(random.next());
    std::vector<std::uint8_t> window(64 + prefix + size);
    for (std::uint32_t i = 0; i < prefix; ++i) window[64 + i] = static_cast<std::uint8_t>(random.next());
    const std::vector<std::uint8_t> before(window.begin(), window.begin() + 64 + prefix);
    decoder.decodeBlock(payload, window.data() + 64, window.data() + 64 + prefix, size);
    EXPECT_TRUE(std::equal(before.begin(), before.end(), window.begin())) << "round " << round;
  }
}

TEST(LzHostile, MutatedPayloadsStayInsideTheirBuffers) {
  // A valid stream with a few bytes changed decodes correctly up to the change and then
  // follows arbitrary tokens, far longer than a random stream does. (Once the stream is
  // exhausted the decisions lean to 1, so a long enough block ends in a length class
  // above 15 and fails.)
  const auto text = quorvex::testing::repositoryText(20000);
  const std::vector<std::uint8_t> block(text.begin(), text.begin() + 8000);
  LzEncoder encoder;
  const auto valid = encoder.encodeBlock(block, 0);
  TestRandom random(3);
  LzDecoder decoder;
  for (int round = 0; round < 12; ++round) {
    auto payload = valid;
    for (int flips = 0; flips < 3; ++flips) {
      payload[payload.size() / 4 + random.below(static_cast<std::uint32_t>(payload.size() * 3 / 4))] ^=
          static_cast<std::uint8_t>(1 + random.below(255));
    }
    // Behind a long window most wrong distances still have a readable source.
    const std::uint32_t size = 8000 + random.below(40000);
    constexpr std::uint32_t kPrefix = 1u << 22;
    std::vector<std::uint8_t> window(64 + kPrefix + size);
    decoder.decodeBlock(payload, window.data() + 64, window.data() + 64 + kPrefix, size);
    // Nothing is written before the block.
    EXPECT_TRUE(std::all_of(window.begin(), window.begin() + 64 + kPrefix, [](std::uint8_t b) { return b == 0; }));
  }
}

TEST(LzHostile, TruncatedPayloadsDecodeSafelyAndDeterministically) {
  const auto text = quorvex::testing::repositoryText(6000);
  const std::vector<std::uint8_t> block(text.begin(), text.begin() + 6000);
  LzEncoder encoder;
  const auto payload = encoder.encodeBlock(block, 0);
  for (const std::size_t keep : {std::size_t{1}, payload.size() / 2, payload.size() - 1}) {
    const std::span<const std::uint8_t> cut(payload.data(), keep);
    std::vector<std::uint8_t> first(64 + block.size());
    std::vector<std::uint8_t> second(64 + block.size(), 0x5A);
    std::fill(second.begin(), second.begin() + 64, 0);
    LzDecoder a;
    LzDecoder b;
    const bool okA = a.decodeBlock(cut, first.data() + 64, first.data() + 64, static_cast<std::uint32_t>(block.size()));
    const bool okB = b.decodeBlock(cut, second.data() + 64, second.data() + 64, static_cast<std::uint32_t>(block.size()));
    EXPECT_EQ(okA, okB);
    if (okA) {
      EXPECT_EQ(first, second) << keep;  // nothing depends on what the buffer held before
    }
  }
}

TEST(LzHostile, ModelReusedOverAnotherWindowIgnoresLaterPositions) {
  // The hash table remembers positions of a large window; a new, small window must not
  // follow them.
  const auto text = quorvex::testing::repositoryText(20000);
  LzEncoder encoder;
  std::vector<std::uint8_t> large(text.begin(), text.begin() + 20000);
  const auto first = encoder.encodeBlock(large, 0);
  LzDecoder decoder;
  std::vector<std::uint8_t> window(64 + large.size());
  ASSERT_TRUE(decoder.decodeBlock(first, window.data() + 64, window.data() + 64, 20000));

  std::vector<std::uint8_t> small(64 + 300);
  TestRandom random(5);
  std::vector<std::uint8_t> payload(100);
  for (auto& b : payload) b = static_cast<std::uint8_t>(random.next());
  decoder.decodeBlock(payload, small.data() + 64, small.data() + 64, 300);
  SUCCEED();  // the sanitizer build checks that no read left `small`
}

}  // namespace
}  // namespace quorvex::lz
