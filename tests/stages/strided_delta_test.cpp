// The strided delta stage: region lists written bit by bit, hostile lists, and round
// trips through the region finder.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "stages/strided_delta.hpp"
#include "support/test_support.hpp"

namespace quorvex::stages {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A bit string such as "001 00000000" as bytes, most significant bit first; spaces are
// ignored and the last byte is padded with zeros.
Bytes bitsOf(const std::string& text) {
  Bytes bytes;
  std::uint32_t count = 0;
  for (const char c : text) {
    if (c == ' ') continue;
    if (count % 8 == 0) bytes.push_back(0);
    if (c == '1') bytes.back() |= static_cast<std::uint8_t>(0x80u >> (count % 8));
    ++count;
  }
  return bytes;
}

// A record: stride, count low, count high, gap low, gap high. Numbers 0..3 of the
// delta-number code: 0 -> "000", 1 -> "001", 2 -> "010", 3 -> "011".
const std::string kStride1 = "001";
const std::string kZero = "000";

bool decode(const Bytes& side, const Bytes& input, Bytes& output) {
  WordBitReader reader(side);
  output.assign(input.size() + 16, 0xEE);
  const bool ok = decodeDeltaRegions(reader, input.data(), static_cast<std::uint32_t>(input.size()), output.data());
  for (std::size_t i = input.size(); i < output.size(); ++i) EXPECT_EQ(output[i], 0xEE) << "written past the block";
  output.resize(input.size());
  return ok;
}

Bytes randomBytes(std::size_t size, std::uint64_t seed) {
  quorvex::testing::TestRandom random(seed);
  Bytes bytes(size);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(random.next());
  return bytes;
}

TEST(StridedDelta, EmptyListCopiesTheBlock) {
  const Bytes input = randomBytes(300, 1);
  Bytes output;
  EXPECT_TRUE(decode({}, input, output));
  EXPECT_EQ(output, input);
}

TEST(StridedDelta, StrideOneIsARunningSumAndAListMayEndAtTheBlockEnd) {
  // One region of count 0 (8 bytes) at gap 255, covering 255..262 of a 263-byte block:
  // no end record is read; ones after it would be a malformed prefix.
  Bytes input(263, 0);
  input[254] = 10;
  input[255] = 5;
  input[256] = 1;
  input[257] = 1;
  Bytes output;
  ASSERT_TRUE(decode(bitsOf(kStride1 + "00000000" + kZero + "11111111" + kZero + std::string(64, '1')), input, output));
  EXPECT_EQ(Bytes(output.begin() + 254, output.end()), Bytes({10, 15, 16, 17, 17, 17, 17, 17, 17}));
}

TEST(StridedDelta, TheBaseAdvancesByCountNotCountPlusEight) {
  // Region 1: stride 1, count 1, gap 255: bytes 255..263, base 256. Region 2: stride 2,
  // count 0, gap 8: bytes 264..271, right after region 1. Then the end record.
  const Bytes input = randomBytes(400, 2);
  const Bytes side = bitsOf(kStride1 + "00000001" + kZero + "11111111" + kZero +  //
                            "010" + "00000000" + kZero + "00001000" + kZero + kZero);
  Bytes expected = input;
  for (std::size_t k = 255; k < 264; ++k) expected[k] = static_cast<std::uint8_t>(input[k] + expected[k - 1]);
  for (std::size_t k = 264; k < 272; ++k) expected[k] = static_cast<std::uint8_t>(input[k] + expected[k - 2]);
  Bytes output;
  ASSERT_TRUE(decode(side, input, output));
  EXPECT_EQ(output, expected);
  // The forward twin writes exactly these bits, less the zero bytes a reader supplies.
  const StrideRun runs[] = {{255, 264, 1}, {264, 272, 2}};
  Bytes trimmed = side;
  while (trimmed.back() == 0) trimmed.pop_back();
  EXPECT_EQ(encodeDeltaRegions(expected, runs).side, trimmed);
}

TEST(StridedDelta, HostileListsFail) {
  const Bytes input = randomBytes(300, 3);
  Bytes output;
  // A region starting at 254, inside the unchanged head.
  EXPECT_FALSE(decode(bitsOf(kStride1 + "00000000" + kZero + "11111110" + kZero), input, output));
  // A second region overlapping the first (gap 7).
  EXPECT_FALSE(decode(bitsOf(kStride1 + "00000000" + kZero + "11111111" + kZero +  //
                             kStride1 + "00000000" + kZero + "00000111" + kZero),
                      input, output));
  // A region leaving the block: count 38 covers 255..300 of 300 bytes; 37 fits.
  EXPECT_FALSE(decode(bitsOf(kStride1 + "00100110" + kZero + "11111111" + kZero), input, output));
  EXPECT_TRUE(decode(bitsOf(kStride1 + "00100101" + kZero + "11111111" + kZero), input, output));
  // Stride 256 at position 255 (256 = class 8: gamma "1110 000", then 8 zero bits).
  EXPECT_FALSE(decode(bitsOf("1110000" "00000000" "00000000" + kZero + "11111111" + kZero), input, output));
  // A gap whose high part is 2^31 skips far past the block without wrapping round.
  EXPECT_FALSE(decode(bitsOf(kStride1 + "00000000" + kZero + "11111111" + "11110" "1111" +
                             std::string(31, '0')),
                      input, output));
  // 32 one-bits: a prefix outside the format.
  EXPECT_FALSE(decode(Bytes(8, 0xFF), input, output));
}

// Fixed-size records: a counter, a slowly drifting 16-bit value, a label, as tables and
// sample files hold them.
Bytes records(std::size_t count, std::uint32_t recordSize) {
  Bytes bytes;
  for (std::size_t i = 0; i < count; ++i) {
    const auto counter = static_cast<std::uint32_t>(1000 + 3 * i);
    const auto sample = static_cast<std::uint16_t>(20000 + 9000 * std::sin(static_cast<double>(i) / 40));
    for (std::uint32_t b = 0; b < 4; ++b) bytes.push_back(static_cast<std::uint8_t>(counter >> (8 * b)));
    bytes.push_back(static_cast<std::uint8_t>(sample));
    bytes.push_back(static_cast<std::uint8_t>(sample >> 8));
    while (bytes.size() % recordSize != 0) bytes.push_back(static_cast<std::uint8_t>('A' + i % 3));
  }
  return bytes;
}

void expectRoundTrip(const Bytes& block, std::span<const StrideRun> runs) {
  const DeltaCoded coded = encodeDeltaRegions(block, runs);
  Bytes output;
  ASSERT_TRUE(decode(coded.side, coded.bytes, output));
  EXPECT_EQ(output, block);
}

TEST(StridedDelta, FinderRoundTrips) {
  for (const std::uint32_t recordSize : {6u, 12u, 20u}) {
    Bytes block = randomBytes(1000, 4);
    const Bytes table = records(5000, recordSize);
    block.insert(block.end(), table.begin(), table.end());
    const std::vector<StrideRun> runs = findDeltaRegions(block);
    ASSERT_FALSE(runs.empty()) << recordSize;
    EXPECT_EQ(runs.back().stride % recordSize, 0u) << recordSize;
    expectRoundTrip(block, runs);
  }
  EXPECT_TRUE(findDeltaRegions(randomBytes(50000, 5)).empty());
  // Every stride up to 17 over regions of every length from 9 to 42: the bytes kept
  // from one group of 16 to the next meet every stride and leave every remainder.
  std::vector<StrideRun> everyStride;
  for (std::uint32_t stride = 1, start = 300; stride <= 17; ++stride) {
    for (std::uint32_t length = 9; length <= 42; ++length, start += length + 5) {
      everyStride.push_back({start, start + length, stride});
    }
  }
  expectRoundTrip(randomBytes(everyStride.back().end + 100, 7), everyStride);
  // Regions with large counts, gaps and strides.
  const Bytes block = randomBytes(3 << 20, 6);
  const StrideRun runs[] = {{255, 263, 255}, {263, 70000, 1}, {70000, 70008, 70000}, {2500000, 3 << 20, 1234567}};
  expectRoundTrip(block, runs);
}

// Counted against a plain byte-by-byte count: every length around the 16-byte steps
// and the 255 steps after which the byte lanes are summed, at every alignment.
TEST(StridedDelta, EqualBytesAreCountedAtEveryLength) {
  Bytes a = randomBytes(9000, 8);
  Bytes b = a;
  for (std::size_t i = 0; i < b.size(); i += 3) b[i] ^= static_cast<std::uint8_t>(1 + i % 7);
  std::fill(a.begin() + 1000, a.end(), 0);
  std::fill(b.begin() + 1000, b.end(), 0);
  for (std::size_t offset = 0; offset < 3; ++offset) {
    for (std::size_t n = 0; n + offset <= b.size(); n += n < 40 ? 1 : (n < 4000 ? 61 : 1)) {
      if (n > 4200 && n < 8000) n = 8000;
      std::uint32_t plain = 0;
      for (std::size_t i = 0; i < n; ++i) plain += a[offset + i] == b[i];
      ASSERT_EQ(countEqualBytes(a.data() + offset, b.data(), n), plain) << n << " " << offset;
    }
  }
}

TEST(StridedDelta, RoundTripsOfTheCorpus) {
  QUORVEX_SKIP_WITHOUT_CORPUS();
  for (const std::string& name : quorvex::testing::corpusFiles()) {
    SCOPED_TRACE(name);
    const Bytes block = quorvex::testing::corpusFile(name);
    expectRoundTrip(block, findDeltaRegions(block));
  }
}

}  // namespace
}  // namespace quorvex::stages
