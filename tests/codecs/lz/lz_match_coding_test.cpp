// Match parameters: exact values for scripted bits, and every length class, distance
// slot and recent-distance choice through the arithmetic coder and back.
#include <gtest/gtest.h>

#include <vector>

#include "codecs/lz/lz_match_coding.hpp"
#include "lz_scripted_coder.hpp"
#include "model/binary_coder.hpp"

namespace quorvex::lz {
namespace {

using lztest::freshModel;
using lztest::ScriptedCoder;

TEST(LzMatchCoding, DistanceBitsFollowSlotHighAlignExtraOrder) {
  auto m = freshModel();
  {
    // Slot 28 (three bits below the lead), high bits 1,0, one align bit 1: 0b1101.
    ScriptedCoder coder{1, 1, 1, 0, 0, 1, 0, 1};
    EXPECT_EQ(codeDistance(*m, coder, 0, 0), 13u);
    EXPECT_TRUE(coder.finished());
  }
  {
    // Slot 20 (eleven bits below the lead): high bits 0,1 (head 0b101), align bits
    // least significant first 1,0,0,1 (low 0b1001), middle bits 1,0,1,1,0.
    ScriptedCoder coder{1, 0, 1, 0, 0, 0, 1, 1, 0, 0, 1, 1, 0, 1, 1, 0};
    EXPECT_EQ(codeDistance(*m, coder, 0, 0), 0b101'10110'1001u);
    EXPECT_TRUE(coder.finished());
  }
  {
    // Slot 0: 31 bits below the lead; all ones gives the largest distance.
    ScriptedCoder coder{0, 0, 0, 0, 0};
    for (int i = 0; i < 2 + 4 + 25; ++i) coder.append({1});
    EXPECT_EQ(codeDistance(*m, coder, 0, 0), 0xFFFFFFFFu);
    EXPECT_TRUE(coder.finished());
  }
  EXPECT_NE(m->AlignProbs[0][1], 0x8000);
  EXPECT_EQ(m->AlignProbs[1][1], 0x8000);  // only the first set is used
  EXPECT_NE(m->ExtraBitProbs[25][24], 0x8000);
  EXPECT_NE(m->DistanceHighProbs[31][3], 0x8000);
}

TEST(LzMatchCoding, SlotTreeDependsOnTheMatchLength) {
  for (std::uint32_t lengthValue : {0u, 6u, 7u, 12u, 13u, 40u}) {
    auto m = freshModel();
    ScriptedCoder coder{1, 1, 1, 1, 1, 0};
    EXPECT_EQ(codeDistance(*m, coder, lengthValue, 0), 0u);
    const std::size_t set = SlotSetTable[std::min(lengthValue, 15u)];
    for (std::size_t other = 0; other < kSlotSets; ++other) {
      EXPECT_EQ(m->SlotTreeProbs[other][1] != 0x8000, other == set) << lengthValue << " " << other;
    }
  }
}

TEST(LzMatchCoding, LengthClassesAndTheirRanges) {
  auto m = freshModel();
  {
    ScriptedCoder coder{0, 1};  // class 0, tree bit 1: value 1 (length 3)
    EXPECT_EQ(codeLengthValue(*m, coder, 0, 0), 1u);
  }
  {
    // Class 5: five ones and a zero, four tree bits 0,1,1,0 and one raw bit 1.
    ScriptedCoder coder{1, 1, 1, 1, 1, 0, 0, 1, 1, 0, 1};
    EXPECT_EQ(codeLengthValue(*m, coder, 0, 0), 0b1'0110'1u);  // length 47, within 34..65
    EXPECT_TRUE(coder.finished());
    EXPECT_EQ(coder.probabilities().back(), kEvenOdds);
  }
  {
    ScriptedCoder coder;
    for (int i = 0; i < 16; ++i) coder.append({1});  // a class above 15
    EXPECT_EQ(codeLengthValue(*m, coder, 0, 0), kInvalidLength);
  }
}

TEST(LzMatchCoding, RecentChoiceIndexMasksOnlyTheFirstCounter) {
  auto m = freshModel();
  ScriptedCoder coder{0, 0, 0, 0};
  EXPECT_EQ(codeRecentChoice(*m, coder, 15, 0x0F, 0), 4u);
  // base = 128 * 15 + 8 * 15 = 2040: the first counter at 2040 & 1023, then 2041..2043.
  EXPECT_NE(m->RepChoiceProbs[2040 & 1023], 0x8000);
  EXPECT_EQ(m->RepChoiceProbs[2040], 0x8000);
  for (std::size_t i = 2041; i <= 2043; ++i) EXPECT_NE(m->RepChoiceProbs[i], 0x8000);
}

// Every value through the real coder: the encoder's model and the decoder's model
// must stay in step and return what was coded.
TEST(LzMatchCoding, EveryClassSlotAndChoiceRoundTrips) {
  std::vector<std::uint32_t> lengths;
  for (std::uint32_t c = 0; c < 16; ++c) {
    const std::uint32_t low = c == 0 ? 0 : 1u << c;
    lengths.push_back(low);
    lengths.push_back(c == 0 ? 1 : (2u << c) - 1);
  }
  std::vector<std::uint32_t> distances = {0, 1};
  for (std::uint32_t bits = 1; bits < 32; ++bits) {
    distances.push_back(1u << bits);
    distances.push_back((2u << bits) - 1u);
    distances.push_back((1u << bits) | 0x5A5A5A5Au >> (32 - bits));
  }

  auto encoderModel = freshModel();
  std::vector<std::uint8_t> payload;
  BinaryEncoder encoder(payload);
  for (std::uint32_t i = 0; i < lengths.size(); ++i) codeLengthValue(*encoderModel, encoder, i % 5, lengths[i]);
  for (std::uint32_t i = 0; i < distances.size(); ++i) codeDistance(*encoderModel, encoder, i % 20, distances[i]);
  for (std::uint32_t choice = 0; choice <= kRecentChoices; ++choice) codeRecentChoice(*encoderModel, encoder, choice, choice * 3, choice);
  encoder.flush();

  auto decoderModel = freshModel();
  BinaryDecoder decoder(payload);
  for (std::uint32_t i = 0; i < lengths.size(); ++i) {
    EXPECT_EQ(codeLengthValue(*decoderModel, decoder, i % 5, 0), lengths[i]);
  }
  for (std::uint32_t i = 0; i < distances.size(); ++i) {
    const std::uint32_t d = codeDistance(*decoderModel, decoder, i % 20, 0);
    EXPECT_EQ(d, distances[i]);
    EXPECT_EQ(distanceSlotOf(d), distances[i] < 2 ? 31u : 32u - std::bit_width(distances[i]));
  }
  for (std::uint32_t choice = 0; choice <= kRecentChoices; ++choice) {
    EXPECT_EQ(codeRecentChoice(*decoderModel, decoder, choice, choice * 3, 0), choice);
  }
}

}  // namespace
}  // namespace quorvex::lz
