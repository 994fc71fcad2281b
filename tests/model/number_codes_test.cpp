#include <gtest/gtest.h>

#include <vector>

#include "model/number_codes.hpp"
#include "codecs/bwt/scripted_coder.hpp"
#include "support/test_support.hpp"

namespace quorvex::bwt {
namespace {

using quorvex::testing::TestRandom;

using testing::ScriptedCoder;

TEST(ClassNumber, ClassZeroIsOneModelledBitWithCounterTwo) {
  for (std::uint32_t bit : {0u, 1u}) {
    ScriptedCoder coder({bit});
    ClassTree tree;
    EXPECT_EQ(decodeClassNumber(coder, tree, 0), bit);
    EXPECT_EQ(coder.probabilities.size(), 1u);
    for (std::uint32_t i = 0; i < 32; ++i) {
      EXPECT_EQ(tree.counters[i] != kHalfProbability, i == 2) << i;
    }
    // Shift 8, rounding 128: 32768 + floor((65536 - 32768 + 128) / 256) after a 1,
    // 32768 + floor((0 - 32768 + 128) / 256) after a 0.
    EXPECT_EQ(tree.counters[2], bit ? 32896 : 32640);
  }
}

TEST(ClassNumber, ClassFiveUsesFourTreeBitsFromTheSharedLevelAndOneDirectBit) {
  // Bits 1,0,1,1 down the tree, then direct bit 1: 1 1011 1 = 55.
  ScriptedCoder coder({1, 0, 1, 1, 1});
  ClassTree tree;
  EXPECT_EQ(decodeClassNumber(coder, tree, 5), 55u);
  ASSERT_EQ(coder.probabilities.size(), 5u);
  EXPECT_EQ(coder.probabilities[4], kEvenOdds);
  // Nodes visited: 1, 3, 6, 13 at level base 16.
  for (std::uint32_t i = 0; i < 32; ++i) {
    const bool touched = i == 17 || i == 19 || i == 22 || i == 29;
    EXPECT_EQ(tree.counters[i] != kHalfProbability, touched) << i;
  }
}

TEST(ClassNumber, EveryClassRoundTripsAndStaysInItsRange) {
  TestRandom random(7);
  std::vector<std::uint32_t> classes, values;
  for (std::uint32_t k = 0; k <= kMaxLengthClass; ++k) {
    const std::uint32_t lowest = k == 0 ? 0 : 1u << k;
    const std::uint32_t span = k == 0 ? 2 : 1u << k;
    for (std::uint32_t value : {lowest, lowest + span - 1, lowest + random.below(span)}) {
      classes.push_back(k);
      values.push_back(value);
      EXPECT_EQ(lengthClass(value), k) << value;
    }
  }
  std::vector<std::uint8_t> stream;
  BinaryEncoder encoder(stream);
  ClassTree encoderTree;
  for (std::size_t i = 0; i < values.size(); ++i) codeClassNumber(encoder, encoderTree, classes[i], values[i]);
  encoder.flush();
  BinaryDecoder decoder(stream);
  ClassTree decoderTree;
  for (std::size_t i = 0; i < values.size(); ++i) {
    EXPECT_EQ(decodeClassNumber(decoder, decoderTree, classes[i]), values[i]) << "class " << classes[i];
  }
  EXPECT_EQ(encoderTree.counters, decoderTree.counters);
}

TEST(Below, ListedCases) {
  ScriptedCoder eight({1, 0, 1, 1, 0, 0, 1, 0});
  EXPECT_EQ(decodeBelow(eight, 256), 0xB2u);
  EXPECT_EQ(eight.probabilities, std::vector<std::uint32_t>(8, kEvenOdds));

  ScriptedCoder upper({1});
  EXPECT_EQ(decodeBelow(upper, 3), 2u);
  EXPECT_EQ(upper.probabilities.size(), 1u);
  EXPECT_EQ(upper.probabilities[0], 1u << 10);  // r / 2^(m+1) = 1/4

  for (std::uint32_t bit : {0u, 1u}) {
    ScriptedCoder lower({0, bit});
    EXPECT_EQ(decodeBelow(lower, 3), bit);
    EXPECT_EQ(lower.probabilities.size(), 2u);
  }

  ScriptedCoder one{};
  EXPECT_EQ(decodeBelow(one, 1), 0u);
  EXPECT_TRUE(one.probabilities.empty());
}

TEST(Below, EveryBoundRoundTripsEveryValue) {
  std::vector<std::uint32_t> bounds, values;
  for (std::uint32_t n = 1; n <= 257; ++n) {
    for (std::uint32_t v = 0; v < n; ++v) {
      bounds.push_back(n);
      values.push_back(v);
    }
  }
  std::vector<std::uint8_t> stream;
  BinaryEncoder encoder(stream);
  for (std::size_t i = 0; i < values.size(); ++i) codeBelow(encoder, bounds[i], values[i]);
  encoder.flush();
  BinaryDecoder decoder(stream);
  for (std::size_t i = 0; i < values.size(); ++i) {
    ASSERT_EQ(decodeBelow(decoder, bounds[i]), values[i]) << "bound " << bounds[i];
  }
}

TEST(DirectBits, RoundTripUpToThirtyOneBits) {
  TestRandom random(3);
  std::vector<std::uint32_t> widths, values;
  for (std::uint32_t n = 0; n <= 31; ++n) {
    widths.push_back(n);
    values.push_back(n == 0 ? 0 : random.next() & ((1u << n) - 1u));
  }
  std::vector<std::uint8_t> stream;
  BinaryEncoder encoder(stream);
  for (std::size_t i = 0; i < values.size(); ++i) codeDirectBits(encoder, widths[i], values[i]);
  encoder.flush();
  BinaryDecoder decoder(stream);
  for (std::size_t i = 0; i < values.size(); ++i) EXPECT_EQ(decodeDirectBits(decoder, widths[i]), values[i]);
}

TEST(WordBitReader, ListedReads) {
  const std::vector<std::uint8_t> bytes{0xA5, 0x12, 0x34, 0x56, 0xFC, 0x00, 0x00, 0x01};
  WordBitReader reader(bytes);
  EXPECT_EQ(reader.readBits(8), 0xA5u);
  // 24 bits 0x123456, then the top 6 bits of 0xFC000001 (111111).
  EXPECT_EQ(reader.readBits(30), (0x123456u << 6) | 0x3Fu);
  EXPECT_EQ(reader.readBits(26), 0x0000001u);
  EXPECT_EQ(reader.readBits(31), 0u);  // past the end

  WordBitReader empty{std::span<const std::uint8_t>{}};
  for (int i = 0; i < 10; ++i) EXPECT_EQ(empty.readBits(31), 0u);
}

TEST(WordBitReader, StraddlingLastWordReadsMissingBytesAsZero) {
  const std::vector<std::uint8_t> bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xAB};
  WordBitReader reader(bytes);
  EXPECT_EQ(reader.readBits(31), 0x7FFFFFFFu);
  EXPECT_EQ(reader.readBits(9), 0x1ABu);  // last bit of word 1, then 0xAB
  EXPECT_EQ(reader.readBits(24), 0u);
}

TEST(WordBitWriter, RoundTripsAnyWidthsAndDropsTrailingZeros) {
  TestRandom random(11);
  std::vector<std::uint32_t> widths, values;
  for (int i = 0; i < 2000; ++i) {
    const std::uint32_t k = 1 + random.below(31);
    widths.push_back(k);
    values.push_back(random.next() & ((1u << k) - 1u));
  }
  widths.push_back(20);
  values.push_back(0);  // ends in zero bits the reader makes up by itself
  std::vector<std::uint8_t> stream{0x00};  // a writer appends after what is already there
  WordBitWriter writer(stream);
  for (std::size_t i = 0; i < values.size(); ++i) writer.writeBits(widths[i], values[i]);
  writer.finish();
  ASSERT_FALSE(stream.empty());
  EXPECT_NE(stream.back(), 0);
  WordBitReader reader(std::span<const std::uint8_t>(stream).subspan(1));
  for (std::size_t i = 0; i < values.size(); ++i) ASSERT_EQ(reader.readBits(widths[i]), values[i]) << i;
}

}  // namespace
}  // namespace quorvex::bwt
