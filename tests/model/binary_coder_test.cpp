#include <gtest/gtest.h>

#include <vector>

#include "model/binary_coder.hpp"
#include "support/test_support.hpp"

namespace quorvex {
namespace {

using testing::TestRandom;

TEST(BinaryDecoder, ListedFirstDecisions) {
  const std::vector<std::uint8_t> zeros(4, 0x00);
  const std::vector<std::uint8_t> ones(4, 0xFF);
  for (std::uint32_t p : {0u, 1u, 2048u, 4095u}) {
    BinaryDecoder fromZeros(zeros);
    EXPECT_EQ(fromZeros.decodeBit(p), 1u) << p;
    BinaryDecoder fromOnes(ones);
    EXPECT_EQ(fromOnes.decodeBit(p), 0u) << p;
  }
}

TEST(BinaryDecoder, ShortStreamReadsMissingBytesAsZero) {
  // One byte b gives code = b * 2^24: with p = 2048 the split is 0x7FFFF800.
  const std::vector<std::uint8_t> low{0x7F};
  const std::vector<std::uint8_t> high{0x80};
  EXPECT_EQ(BinaryDecoder(low).decodeBit(2048), 1u);
  EXPECT_EQ(BinaryDecoder(high).decodeBit(2048), 0u);
  BinaryDecoder empty{std::span<const std::uint8_t>{}};
  for (int i = 0; i < 100; ++i) EXPECT_EQ(empty.decodeBit(2048), 1u);
}

TEST(BinaryDecoder, RenormalisesOneByteWhenTopBytesAgree) {
  // p = 1 makes mid = 0x000FFFFF: a 1 leaves low 0, high 0x000FFFFF: top bytes agree,
  // second bytes differ, so exactly one byte is read.
  const std::vector<std::uint8_t> bytes{0, 0, 0, 0, 0x11, 0x22};
  BinaryDecoder decoder(bytes);
  EXPECT_EQ(decoder.decodeBit(1), 1u);
  EXPECT_EQ(decoder.cursor(), bytes.data() + 5);
}

template <SplitForm form>
void roundTripRandomDecisions(std::uint64_t seed, std::size_t decisions) {
  TestRandom random(seed);
  std::vector<std::uint32_t> probabilities(decisions);
  std::vector<std::uint32_t> bits(decisions);
  for (std::size_t i = 0; i < decisions; ++i) {
    // Mix extreme and ordinary probabilities; bits follow p most of the time.
    const std::uint32_t r = random.next();
    probabilities[i] = (r & 15) == 0 ? (r >> 4) % 3 * 2047 : (r >> 4) % 4096;
    bits[i] = (random.next() % 4096) < probabilities[i] ? 1u : 0u;
    if ((r & 255) == 1) bits[i] ^= 1;  // the occasional surprise, including p = 0 with a 1
  }
  std::vector<std::uint8_t> stream;
  BasicBinaryEncoder<form> encoder(stream);
  for (std::size_t i = 0; i < decisions; ++i) encoder.codeBit(probabilities[i], bits[i]);
  encoder.flush();

  // Runs of decisions alternate between the two ways of decoding, which must agree on
  // every bit and hand the interval on to each other.
  BasicBinaryDecoder<form> decoder(stream);
  for (std::size_t i = 0; i < decisions; ++i) {
    const std::uint32_t bit = (i & 4) != 0 ? decoder.decodeBitWithoutBranch(probabilities[i])
                                           : decoder.codeBit(probabilities[i], 0);
    ASSERT_EQ(bit, bits[i]) << "decision " << i;
  }
}

TEST(BinaryCoder, ScaledRangeRoundTripsMillionsOfDecisions) {
  roundTripRandomDecisions<SplitForm::scaledRange>(1, 3'000'000);
  roundTripRandomDecisions<SplitForm::scaledRange>(2, 1000);
  roundTripRandomDecisions<SplitForm::scaledRange>(3, 1);
}

TEST(BinaryCoder, FullProductRoundTripsMillionsOfDecisions) {
  roundTripRandomDecisions<SplitForm::fullProduct>(4, 3'000'000);
  roundTripRandomDecisions<SplitForm::fullProduct>(5, 17);
}

TEST(BinaryCoder, SkewedBitsCompress) {
  std::vector<std::uint8_t> stream;
  BinaryEncoder encoder(stream);
  for (int i = 0; i < 80000; ++i) encoder.codeBit(4000, 1);
  encoder.flush();
  // -log2(4000/4096) * 80000 / 8 is about 343 bytes.
  EXPECT_LT(stream.size(), 400u);
  BinaryDecoder decoder(stream);
  for (int i = 0; i < 80000; ++i) ASSERT_EQ(decoder.decodeBit(4000), 1u);
}

}  // namespace
}  // namespace quorvex
