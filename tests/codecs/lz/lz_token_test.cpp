// The token grammar driven by scripted bits: each case follows one exact path of the
// format and checks the bytes, registers and counters it must leave behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "codecs/lz/lz_block_state.hpp"
#include "codecs/lz/lz_token_coder.hpp"
#include "lz_scripted_coder.hpp"

namespace quorvex::lz {
namespace {

using lztest::freshModel;
using lztest::ScriptedCoder;
using lztest::TestWindow;

// Bits of a new-distance match of length 2 with distance 0 (slot 31, high bit 0).
constexpr std::initializer_list<std::uint32_t> kRunOfTwo = {0, 1, 0, 0, 1, 1, 1, 1, 1, 0};

TEST(LzToken, FirstTokenUsesHistoryContext17AndPredictsTwoBytesBack) {
  auto m = freshModel();
  TestWindow w(8);
  std::memcpy(w.base(), "xyz", 3);
  LzBlockState s(w.base(), 3, 5);
  ScriptedCoder coder{1};
  coder.appendByte('q');
  LzToken token;
  ASSERT_TRUE(codeToken(*m, coder, s, token));
  EXPECT_EQ(w.base()[3], 'q');
  // predictedByte = 'y', two back.
  EXPECT_NE(m->MatchFlagProbs['y'][0], 0x80);
  // Map A row 16 * 17 + flags learned; the neighbouring rows did not.
  // agreementFlags = 8: only c4 (a guard zero) agrees. Map A row 16 * 17 + 8 learned.
  const auto initial = freshModel();
  const std::size_t row = (16 * 17 + 8) * kFlagApmAColumns;
  EXPECT_NE(std::memcmp(&m->MatchFlagApmA[row], &initial->MatchFlagApmA[row], 10), 0);
  EXPECT_EQ(std::memcmp(&m->MatchFlagApmA[row - 5], &initial->MatchFlagApmA[row - 5], 10), 0);
  EXPECT_EQ(s.eventHistory, 255u);
  EXPECT_EQ(s.lastToken, std::uint32_t{'q'});
  EXPECT_EQ(s.historyContext, 17u);
}

TEST(LzToken, VeryFirstBlockPredictsFromTheGuardBytes) {
  auto m = freshModel();
  TestWindow w(4);
  LzBlockState s(w.base(), 0, 4);
  ScriptedCoder coder{1};
  coder.appendByte(0x41);
  LzToken token;
  ASSERT_TRUE(codeToken(*m, coder, s, token));
  // All context bytes are guard zeros: predictedByte 0 and all four agreement bits set.
  EXPECT_NE(m->MatchFlagProbs[0][7], 0x80);
  EXPECT_EQ(m->PositionHash[0], 0u);  // stored q = 0, which reads as "no occurrence"
}

TEST(LzToken, FreshModelDecodesFirstBitsNearOneHalf) {
  auto m = freshModel();
  TestWindow w(1);
  LzBlockState s(w.base(), 0, 1);
  ScriptedCoder coder{1};
  coder.appendByte(0);
  LzToken token;
  ASSERT_TRUE(codeToken(*m, coder, s, token));
  ASSERT_EQ(coder.probabilities().size(), 9u);
  EXPECT_NEAR(coder.probabilities()[0], 2048.0, 8.0);  // the flag
  EXPECT_NEAR(coder.probabilities()[1], 2048.0, 8.0);  // the first literal bit, all weights 0
}

TEST(LzToken, Slot31WithHighBitZeroRepeatsTheLastByte) {
  auto m = freshModel();
  TestWindow w(5, 0xEE);
  std::memcpy(w.base(), "abc", 3);
  LzBlockState s(w.base(), 3, 2);
  ScriptedCoder coder(kRunOfTwo);
  LzToken token;
  ASSERT_TRUE(codeToken(*m, coder, s, token));
  EXPECT_TRUE(coder.finished());
  EXPECT_EQ(token.length, 2u);  // class 0, tree bit 0
  EXPECT_EQ(token.distance, 0u);
  EXPECT_EQ(std::memcmp(w.base(), "abccc", 5), 0);
  EXPECT_TRUE(s.done());
  EXPECT_EQ(s.eventHistory, 0xFEu);
  EXPECT_EQ(s.historyContext, HistoryContextTable[0xFE]);
  EXPECT_EQ(s.recentDistances[0], 0u);
  EXPECT_EQ(s.recentDistances[1], 1u);
  // After the match: the byte after the source ('c' at q - 1) and the last byte copied.
  EXPECT_EQ(s.lastToken, 256u * 'c' + 'c');
  // Length 2 of a new distance: class 0, then tree node 3.
  EXPECT_NE(m->LengthClassProbs[0][0], 0x8000);
  EXPECT_NE(m->LengthTreeProbs[0][3], 0x8000);
  EXPECT_EQ(m->LengthTreeProbs[0][1], 0x8000);
}

TEST(LzToken, RecentChoicesMoveDistancesToTheFront) {
  auto m = freshModel();
  TestWindow w(16);
  std::memcpy(w.base(), "0123456789", 10);
  LzBlockState s(w.base(), 10, 6);
  ScriptedCoder coder(kRunOfTwo);                    // distance 0
  coder.append({0, 1, 0, 0, 1, 1, 1, 1, 0, 0});     // distance 2: slot 30, high bit 0
  coder.append({0, 0, 0, 1, 0, 0});                 // choice 2, length 2
  LzToken token;
  ASSERT_TRUE(codeToken(*m, coder, s, token));
  ASSERT_TRUE(codeToken(*m, coder, s, token));
  EXPECT_EQ(token.distance, 2u);
  EXPECT_EQ((s.recentDistances), (std::array<std::uint32_t, 4>{2, 0, 1, 1}));
  ASSERT_TRUE(codeToken(*m, coder, s, token));
  EXPECT_TRUE(coder.finished());
  EXPECT_EQ(token.choice, 2u);
  EXPECT_EQ(s.currentDistance, 0u);
  EXPECT_EQ((s.recentDistances), (std::array<std::uint32_t, 4>{0, 2, 1, 1}));
  // "99" "99" "9" + copy of 3 back ("99") then copy of 1 back.
  EXPECT_EQ(std::memcmp(w.base() + 10, "999999", 6), 0);
  EXPECT_EQ(m->LengthClassProbs[1][0], 0x8000);  // only choice 1 uses the second set
}

TEST(LzToken, ChoiceOneRepeatsTheLastDistanceWithTheSecondClassSet) {
  auto m = freshModel();
  TestWindow w(12);
  std::memcpy(w.base(), "abcdef", 6);
  LzBlockState s(w.base(), 6, 6);
  ScriptedCoder coder{0, 1, 0, 0, 1, 1, 1, 0, 1, 0, 1};  // new distance: slot 29 (4..7), high bits 0,1 -> 5
  coder.append({0, 0, 1, 1, 0, 0});                     // choice 1; class 1 (4..5), tree bit 0 -> length 4
  LzToken token;
  ASSERT_TRUE(codeToken(*m, coder, s, token));
  EXPECT_EQ(token.distance, 5u);
  ASSERT_TRUE(codeToken(*m, coder, s, token));
  EXPECT_EQ(token.choice, 1u);
  EXPECT_EQ(token.length, 4u);
  EXPECT_EQ(std::memcmp(w.base() + 6, "abcdef", 6), 0);
  EXPECT_NE(m->LengthClassProbs[1][0], 0x8000);
  EXPECT_NE(m->LengthClassProbs[1][1], 0x8000);
  EXPECT_NE(m->LengthTreeProbs[1][1], 0x8000);  // recent distances start at node 1
  EXPECT_EQ(s.lastToken, 256u * 'a' + 'f');
}

TEST(LzToken, LiteralAfterMatchExpectsTheByteAfterTheSource) {
  // Source "xA": after the match the model expects 0x41 ('A').
  for (const std::uint32_t firstBit : {0u, 1u}) {
    auto m = freshModel();
    TestWindow w(8);
    std::memcpy(w.base(), "xAx", 3);
    LzBlockState s(w.base(), 3, 2);
    ScriptedCoder coder{0, 1, 0, 0, 1, 1, 1, 1, 1, 1};  // distance 1 (slot 31, high bit 1), length 2: copies "Ax"
    LzToken token;
    ASSERT_TRUE(codeToken(*m, coder, s, token));
    ASSERT_EQ(s.lastToken >> 8, std::uint32_t{'A'});
    s.end += 1;
    s.segmentLeft += 1;
    ScriptedCoder literal{1, firstBit, 0, 0, 0, 0, 0, 0, 0};
    ASSERT_TRUE(codeToken(*m, literal, s, token));
    EXPECT_NE(m->LiteralStateProbs[0x202], 0x80);
    if (firstBit == 0) {
      EXPECT_NE(m->LiteralStateProbs[517], 0x80);  // still expecting: 512 + 2 * 2 + next bit 1
      EXPECT_EQ(m->LiteralStateProbs[259], 0x80);
    } else {
      EXPECT_NE(m->LiteralStateProbs[259], 0x80);  // departed: 256 + z
      EXPECT_EQ(m->LiteralStateProbs[517], 0x80);
    }
  }
}

// h at the first bit of a literal: 128 * (lastToken & 31) + 32 * lc + 2 * (bit 7 of hb) + 1.
std::uint32_t changedHashCell(const LzModel& m) {
  for (std::uint32_t i = 0; i < 4096; ++i) {
    if (m.HashMatchProbs[i] != 0x80 && (i & 0x1C) == 0) return i;
  }
  return 0xFFFFFFFFu;
}

TEST(LzToken, HashPredictionNeedsThreeMatchingBytesAndANonZeroPosition) {
  struct Case {
    const char* text;           // the window; the literal is decoded at its end
    std::uint32_t storedPosition;
    std::uint32_t lc;
  };
  const Case cases[] = {
      {"_abc\xC0" "-abc", 4, 1},        // three bytes agree
      {"zabc\xC0" "zabc", 4, 2},        // four
      {"yzabc\xC0" "yzabc", 5, 3},      // five
      {"_abc\xC0" "_abd", 4, 0},        // c1 differs
      {"abc\xC0" "abc", 0, 0},          // position 0 means none
  };
  for (const Case& c : cases) {
    auto m = freshModel();
    const std::size_t n = std::strlen(c.text);
    TestWindow w(n + 1);
    std::memcpy(w.base(), c.text, n);
    LzBlockState s(w.base(), static_cast<std::uint32_t>(n), 1);
    s.lastToken = 3;
    const TokenContext t = tokenContext(s);
    m->PositionHash[t.hash] = c.storedPosition;
    ScriptedCoder coder{1, 1, 0, 0, 0, 0, 0, 0, 0};
    LzToken token;
    ASSERT_TRUE(codeToken(*m, coder, s, token));
    const std::uint32_t hb7 = c.lc != 0 ? 1u : 0u;  // hb = 0xC0 on a hit
    EXPECT_EQ(changedHashCell(*m), 128u * 3 + 32u * c.lc + 2u * hb7 + 1u) << c.text;
    EXPECT_EQ(m->PositionHash[t.hash], n);
  }
}

TEST(LzToken, MatchesStoreTheirPositionInTheHash) {
  auto m = freshModel();
  TestWindow w(8);
  std::memcpy(w.base(), "abc", 3);
  LzBlockState s(w.base(), 3, 2);
  const std::uint32_t hash = tokenContext(s).hash;
  EXPECT_EQ(hash, ('a' * 197u + 'b' + 256u * 'c') & 0xFFFFu);
  ScriptedCoder coder(kRunOfTwo);
  LzToken token;
  ASSERT_TRUE(codeToken(*m, coder, s, token));
  EXPECT_EQ(m->PositionHash[hash], 3u);
}

// The wide copy against a plain byte-by-byte reading, at every distance up to and past
// the widths it copies in, for lengths of several words, with the block ending right
// after the match or up to 17 bytes further on: the copied bytes must repeat the
// pattern and nothing at or past the block end may be written.
TEST(LzToken, MatchCopyAgreesWithBytewiseCopyAtEveryShortDistance) {
  constexpr std::uint32_t q = 48;
  for (std::uint32_t back = 1; back <= 40; ++back) {
    for (std::uint32_t length = 1; length <= 80; ++length) {
      for (std::uint32_t slack = 0; slack <= 18; ++slack) {
        const std::uint32_t limit = q + length + (slack == 18 ? 40u : slack);
        std::array<std::uint8_t, 192> window{};
        for (std::uint32_t i = 0; i < window.size(); ++i) window[i] = static_cast<std::uint8_t>(i * 37u + 11u);
        std::array<std::uint8_t, 192> expected = window;
        for (std::uint32_t i = 0; i < length; ++i) expected[q + i] = expected[q + i - back];
        copyMatch(window.data(), q, back, length, limit);
        ASSERT_TRUE(std::equal(window.begin(), window.begin() + q + length, expected.begin()))
            << "back " << back << " length " << length << " limit " << limit;
        ASSERT_TRUE(std::equal(window.begin() + limit, window.end(), expected.begin() + limit))
            << "back " << back << " length " << length << " limit " << limit;
      }
    }
  }
}

}  // namespace
}  // namespace quorvex::lz
