// Synthetic streams: token sequences chosen to reach every length class, a wide range
// of distance slots and every recent-distance choice, coded with the token coder and
// decoded through the public decoder.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "codecs/lz/lz_codec.hpp"
#include "codecs/lz/lz_token_coder.hpp"
#include "lz_scripted_coder.hpp"
#include "model/binary_coder.hpp"
#include "support/test_support.hpp"

namespace quorvex::lz {
namespace {

using lztest::freshModel;
using quorvex::testing::TestRandom;
using lztest::TestWindow;

struct Coverage {
  std::array<bool, kLengthClasses> lengthClasses{};
  std::array<bool, 32> slots{};
  std::array<bool, kRecentChoices + 1> choices{};
};

// Picks the next token for position s.q and writes its bytes into the window first,
// as the decoder will.
LzToken nextToken(TestRandom& random, LzBlockState& s, std::uint32_t step) {
  LzToken token;
  if (random.below(3) == 0) {
    token.byte = random.next() & 255u;
    s.base[s.q] = static_cast<std::uint8_t>(token.byte);
    return token;
  }
  token.literal = 0;
  // Mostly short lengths; every eighth match takes the next class in turn (cut to
  // what is left of the segment), and a fresh segment may start with the longest class.
  std::uint32_t lengthClass = step % 8 == 0 ? (step / 8) % 15 : random.below(5);
  if (s.segmentLeft == kSegmentSize && random.below(2) == 0) lengthClass = 14;
  const std::uint32_t low = lengthClass == 0 ? 0 : 1u << lengthClass;
  const std::uint32_t value = low + random.below(lengthClass == 0 ? 2 : low);
  token.length = std::min(value + kMinMatchLength, s.segmentLeft);
  if (token.length < kMinMatchLength) token.length = kMinMatchLength;
  token.choice = random.below(kRecentChoices + 2) % (kRecentChoices + 1);
  if (token.choice == 0) {
    const std::uint32_t bits = 1 + random.below(20);
    token.distance = std::min((1u << bits) - 1u + random.below(1u << bits), s.q - 1);
    if (random.below(4) == 0) token.distance = random.below(2);
  }
  const std::uint32_t distance = token.choice == 0 ? token.distance : s.recentDistances[token.choice - 1];
  copyMatch(s.base, s.q, distance + 1, std::min(token.length, s.segmentLeft), s.end);
  return token;
}

TEST(LzSynthetic, EveryLengthClassSlotAndChoiceDecodes) {
  constexpr std::uint32_t kPrefix = 1u << 21;
  constexpr std::uint32_t kBlock = 3 * kSegmentSize + 1000;
  TestWindow expected(kPrefix + kBlock);
  TestRandom random(7);
  for (std::uint32_t i = 0; i < kPrefix; ++i) expected.base()[i] = static_cast<std::uint8_t>(random.next());

  auto model = freshModel();
  std::vector<std::uint8_t> payload;
  BinaryEncoder encoder(payload);
  LzBlockState s(expected.base(), kPrefix, kBlock);
  Coverage seen;
  for (std::uint32_t step = 0; !s.done(); ++step) {
    LzToken token = nextToken(random, s, step);
    if (!token.literal) {
      seen.lengthClasses[lengthClassOf(std::min(token.length, s.segmentLeft) - kMinMatchLength)] = true;
      seen.choices[token.choice] = true;
      if (token.choice == 0) seen.slots[distanceSlotOf(token.distance)] = true;
    }
    ASSERT_TRUE(codeToken(*model, encoder, s, token));
  }
  encoder.flush();

  for (std::uint32_t c = 0; c < 15; ++c) EXPECT_TRUE(seen.lengthClasses[c]) << "class " << c;
  for (std::uint32_t slot = 11; slot < 32; ++slot) EXPECT_TRUE(seen.slots[slot]) << "slot " << slot;
  for (std::uint32_t choice = 0; choice <= kRecentChoices; ++choice) EXPECT_TRUE(seen.choices[choice]) << choice;

  TestWindow decoded(kPrefix + kBlock, 0xEE);
  std::copy(expected.base(), expected.base() + kPrefix, decoded.base());
  LzDecoder decoder;
  ASSERT_TRUE(decoder.decodeBlock(payload, decoded.base(), decoded.base() + kPrefix, kBlock));
  EXPECT_TRUE(std::equal(expected.bytes.begin(), expected.bytes.end(), decoded.bytes.begin()));
}

}  // namespace
}  // namespace quorvex::lz
