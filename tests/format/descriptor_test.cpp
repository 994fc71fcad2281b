#include <gtest/gtest.h>

#include <vector>

#include "format/block_descriptor.hpp"
#include "format/codec_params.hpp"

namespace quorvex {
namespace {

TEST(CodecParams, SizeCodeListedValues) {
  const std::pair<std::uint32_t, std::uint32_t> listed[] = {
      {0, 65536},      {1, 131072},      {14, 983040},      {15, 1048576},        {16, 1114112},        {31, 2097152},
      {47, 4194304},   {79, 16777216},   {127, 134217728},  {191, 2147483648u},   {206, 4160749568u}};
  for (const auto& [code, size] : listed) EXPECT_EQ(decodeSizeCode(code), size) << code;
  EXPECT_EQ(decodeSizeCode(207), 0u);  // wraps past 32 bits
}

TEST(CodecParams, ReadsOnlyTheBytesItsCountAllows) {
  const std::vector<std::uint8_t> bytes{7, 1, 15, 0x3A, 0xEE};
  for (std::uint32_t count = 0; count <= 6; ++count) {
    RecordStream stream(bytes);
    const CodecParams params = readCodecParams(stream, count);
    EXPECT_EQ(stream.offset(), std::min<std::uint32_t>(count, 4)) << count;
    EXPECT_EQ(params.codecId, count >= 1 ? 7u : 0u);
    EXPECT_EQ(params.historySize, count >= 2 ? 131072u : 0u);
    EXPECT_EQ(params.secondSize, count >= 3 ? 1048576u : 0u);
    EXPECT_EQ(params.tableBitsA, count >= 4 ? 23u : 0u);
    EXPECT_EQ(params.tableBitsB, count >= 4 ? 28u : 0u);
  }
  // Past the end: a size code of 0 and table bits 20 and 18.
  const std::vector<std::uint8_t> onlyId{7};
  RecordStream stream(onlyId);
  const CodecParams params = readCodecParams(stream, 4);
  EXPECT_EQ(params.historySize, 65536u);
  EXPECT_EQ(params.tableBitsA, 20u);
  EXPECT_EQ(params.tableBitsB, 18u);
}

// Builds descriptor bytes field by field.
struct Bytes {
  std::vector<std::uint8_t> v;
  Bytes& u8(std::uint8_t b) {
    v.push_back(b);
    return *this;
  }
  Bytes& u32(std::uint32_t x) {
    for (int i = 0; i < 4; ++i) v.push_back(static_cast<std::uint8_t>(x >> (8 * i)));
    return *this;
  }
  Bytes& raw(std::initializer_list<std::uint8_t> bytes) {
    for (const std::uint8_t b : bytes) v.push_back(b);
    return *this;
  }
};

TEST(BlockDescriptor, BwtBlockWithEveryField) {
  Bytes b;
  b.u32(3).raw({1, 2, 3}).u8(0).u8(1).u32(1000).u8(2).raw({9, 9}).u8(0x55).u32(2);
  b.u8(1).u32(2).raw({0xA1, 0xA2}).u8(1).u32(1).raw({0xB1});  // stage A, stage B
  b.u8(1).u32(1).raw({0xC1}).u8(1).u32(0);                    // word runs, delta (empty)
  b.u8(0x77).u8(1).u8(0x12).u8(2).raw({0xD1, 0xD2}).u8(1).raw({0xE1});  // spare, text: line breaks then numbers
  b.u8(1).u32(1).raw({0xF1}).u8(0x0B);                                  // branch targets, next head
  RecordStream stream(b.v);
  const BlockDescriptor d = parseBlockDescriptor(stream, false);
  EXPECT_EQ(d.packedSize, 3u);
  EXPECT_EQ(d.payload.size(), 3u);
  EXPECT_EQ(d.payload[2], 3);
  EXPECT_EQ(d.unpackedSize, 1000u);
  EXPECT_EQ(d.bwtSpareByte, 0x55);
  EXPECT_EQ(d.bwtPrimaryIndex, 2u);
  EXPECT_EQ(d.bwtStageA.data, (std::vector<std::uint8_t>{0xA1, 0xA2}));
  EXPECT_EQ(d.bwtStageB.data, (std::vector<std::uint8_t>{0xB1}));
  EXPECT_EQ(d.wordRun.data, (std::vector<std::uint8_t>{0xC1}));
  EXPECT_TRUE(d.delta.enabled());
  EXPECT_TRUE(d.delta.data.empty());
  EXPECT_EQ(d.spareByte, 0x77);
  EXPECT_EQ(d.textTransformBits, 0x12);
  EXPECT_EQ(d.lineBreakData, (std::vector<std::uint8_t>{0xD1, 0xD2}));
  EXPECT_EQ(d.numericData, (std::vector<std::uint8_t>{0xE1}));
  EXPECT_EQ(d.branchTarget.data, (std::vector<std::uint8_t>{0xF1}));
  EXPECT_EQ(stream.readRecordHead().type, 11u);
}

TEST(BlockDescriptor, ContextMixingModeHasNoBwtFields) {
  Bytes b;
  b.u32(0).u8(0).u8(0).u8(0).u8(1).u32(1).raw({0x42});  // kind 0, no size, no reserved; word runs follow
  RecordStream stream(b.v);
  const BlockDescriptor d = parseBlockDescriptor(stream, true);
  EXPECT_EQ(d.wordRun.data, (std::vector<std::uint8_t>{0x42}));
  EXPECT_EQ(d.bwtPrimaryIndex, 0u);
}

TEST(BlockDescriptor, AudioAndTrailerlessBlocksEndAfterTheirSize) {
  Bytes audio;
  audio.u32(1).raw({5}).u8(2).u8(1).u32(4096).u8(0x1B);
  RecordStream audioStream(audio.v);
  const BlockDescriptor a = parseBlockDescriptor(audioStream, false);
  EXPECT_EQ(a.audioReset, 1);
  EXPECT_EQ(a.unpackedSize, 4096u);
  EXPECT_EQ(audioStream.readRecordHead().count, 1u);

  Bytes cm;
  cm.u32(0).u8(3).u32(77).u8(0x0B);
  RecordStream cmStream(cm.v);
  const BlockDescriptor c = parseBlockDescriptor(cmStream, true);
  EXPECT_EQ(c.sizePresent, 1);
  EXPECT_EQ(c.unpackedSize, 77u);
  EXPECT_EQ(cmStream.readRecordHead().type, 11u);
}

TEST(BlockDescriptor, ReservedAreaAndOversizedSideData) {
  Bytes b;
  b.u32(0).u8(1).u8(0).u8(5).raw({0xFF, 0xFF, 0xFF, 0xFF, 0xFF});  // LZ, no size, 5 reserved bytes
  b.u8(1).u32(1000).u8(1).u32(0);  // word runs claim 1000 bytes: empty, next flag right after the length
  RecordStream stream(b.v);
  const BlockDescriptor d = parseBlockDescriptor(stream, false);
  EXPECT_EQ(d.unpackedSize, 0u);
  EXPECT_TRUE(d.wordRun.enabled());
  EXPECT_TRUE(d.wordRun.data.empty());
  EXPECT_TRUE(d.delta.enabled());
}

TEST(BlockDescriptor, TruncationAtEveryByteIsSafe) {
  Bytes b;
  b.u32(2).raw({1, 2}).u8(0).u8(1).u32(10).u8(0).u8(0).u32(0).u8(1).u32(3).raw({1, 2, 3}).u8(0);
  b.u8(0).u8(0).u8(0).u8(1).u8(0x12).u8(0x81).u8(0x01).u8(0);
  for (std::size_t length = 0; length <= b.v.size(); ++length) {
    const std::vector<std::uint8_t> cut(b.v.begin(), b.v.begin() + static_cast<long>(length));
    RecordStream stream(cut);
    const BlockDescriptor d = parseBlockDescriptor(stream, false);
    EXPECT_TRUE(stream.atEnd() || length == b.v.size());
    EXPECT_LE(d.payload.size(), 2u);
  }
}

}  // namespace
}  // namespace quorvex
