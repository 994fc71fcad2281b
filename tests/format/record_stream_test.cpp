#include <gtest/gtest.h>

#include <vector>

#include "format/record_stream.hpp"

namespace quorvex {
namespace {

std::vector<std::uint8_t> validHeader() {
  std::vector<std::uint8_t> bytes{0xAE, 0x01};
  for (const char c : kSignatureText) bytes.push_back(static_cast<std::uint8_t>(c));
  for (const std::uint8_t b : {0x1F, 0x0F, 0x09}) bytes.push_back(b);
  return bytes;
}

RecordHead headOf(std::vector<std::uint8_t> bytes) {
  RecordStream stream(bytes);
  return stream.readRecordHead();
}

TEST(RecordStream, ReadsPastTheEndYieldZeroAndStay) {
  const std::vector<std::uint8_t> bytes{0x01, 0x02, 0x03};
  RecordStream stream(bytes);
  EXPECT_EQ(stream.readU32(), 0x030201u);
  EXPECT_TRUE(stream.atEnd());
  EXPECT_EQ(stream.readByte(), 0);
  stream.skipBytes(100);
  EXPECT_TRUE(stream.atEnd());
  const RecordHead head = stream.readRecordHead();
  EXPECT_EQ(head.type, 0u);
  EXPECT_EQ(head.count, 0u);
}

TEST(RecordStream, ListedRecordHeads) {
  EXPECT_EQ(headOf({0x0B}).type, 11u);
  EXPECT_EQ(headOf({0x0B}).count, 0u);
  EXPECT_EQ(headOf({0x1B}).count, 1u);
  const RecordHead v128 = headOf({0x80, 0x00});
  EXPECT_EQ(v128.type, 0u);
  EXPECT_EQ(v128.count, 8u);
  const RecordHead v302 = headOf({0xAE, 0x01});
  EXPECT_EQ(v302.type, 14u);
  EXPECT_EQ(v302.count, 18u);

  EXPECT_EQ(headOf({0x0F, 0x0F}).type, 30u);
  const RecordHead extended = headOf({0x0F, 0x10});
  EXPECT_EQ(extended.type, 0u);
  EXPECT_EQ(extended.extension, 1u);
  const RecordHead wide = headOf({0x0F, 0xF8, 0x01});
  EXPECT_EQ(wide.type, 0u);
  EXPECT_EQ(wide.extension, 16u);
  EXPECT_EQ(headOf({0x0F, 0x05}).type, 20u);
}

TEST(RecordStream, EscapeBytesAtEveryBoundary) {
  // Escape byte E: below 16 a type of 15..30; 16..247 one byte; 248 and up a second
  // byte F follows. Each case also pins where the head ends: the next byte is 0x0B.
  const struct {
    std::vector<std::uint8_t> bytes;
    std::uint32_t type, extension, length;
  } cases[] = {
      {{0x0F, 0x00, 0x0B}, 15, 0, 2},       {{0x0F, 0x0F, 0x0B}, 30, 0, 2},
      {{0x0F, 0x10, 0x0B}, 0, 1, 2},        {{0x0F, 0xF7, 0x0B}, 7, 15, 2},
      {{0x0F, 0xF8, 0x00, 0x0B}, 8, 15, 3}, {{0x0F, 0xFF, 0x00, 0x0B}, 15, 15, 3},
      {{0x0F, 0xF8, 0x01, 0x0B}, 0, 16, 3}, {{0x0F, 0xFF, 0xFF, 0x0B}, 7, 143, 3},
  };
  for (const auto& c : cases) {
    RecordStream stream(c.bytes);
    const RecordHead head = stream.readRecordHead();
    EXPECT_EQ(head.type, c.type) << int(c.bytes[1]);
    EXPECT_EQ(head.extension, c.extension) << int(c.bytes[1]);
    EXPECT_EQ(stream.offset(), c.length) << int(c.bytes[1]);
    EXPECT_EQ(stream.readRecordHead().type, 11u) << int(c.bytes[1]);
  }
}

TEST(RecordStream, TruncatedAndOverlongHeadNumbers) {
  // A missing continuation byte counts as 0 and ends the number: 0x85 then (0 + 1) << 7.
  const RecordHead cut = headOf({0x85});
  EXPECT_EQ((cut.count << 4) | cut.type, 5u + 128u);
  // A missing escape byte reads as 0: type 15.
  EXPECT_EQ(headOf({0x0F}).type, 15u);
  // Six bytes: the groups beyond 32 bits drop off; the head still ends where the
  // number ends, so the next byte is the next head.
  std::vector<std::uint8_t> bytes{0x81, 0x80, 0x80, 0x80, 0x80, 0x00, 0x0B};
  RecordStream stream(bytes);
  stream.readRecordHead();
  EXPECT_EQ(stream.offset(), 6u);
  EXPECT_EQ(stream.readRecordHead().type, 11u);
}

TEST(ArchiveHeader, AcceptsTheTwentyThreeBytes) {
  const auto bytes = validHeader();
  ASSERT_EQ(bytes.size(), kArchiveHeaderSize);
  RecordStream stream(bytes);
  EXPECT_TRUE(checkArchiveHeader(stream));
  EXPECT_TRUE(stream.atEnd());
}

TEST(ArchiveHeader, RejectsEveryDamagedVariant) {
  const auto good = validHeader();
  auto check = [](std::vector<std::uint8_t> bytes) {
    RecordStream stream(bytes);
    return checkArchiveHeader(stream);
  };
  for (int version = 0; version < 256; ++version) {
    auto bytes = good;
    bytes[22] = static_cast<std::uint8_t>(version);
    EXPECT_EQ(check(bytes), version == 9) << version;
  }
  for (std::size_t i = 2; i < 20; ++i) {
    auto bytes = good;
    bytes[i] ^= 0x20;
    EXPECT_FALSE(check(bytes)) << "signature byte " << i;
  }
  auto count17 = good;
  count17[0] = 0x9E;  // count 17
  EXPECT_FALSE(check(count17));
  auto count19 = good;
  count19[0] = 0xBE;  // count 19
  EXPECT_FALSE(check(count19));
  for (std::size_t length = 0; length < good.size(); ++length) {
    EXPECT_FALSE(check({good.begin(), good.begin() + static_cast<long>(length)})) << "cut at " << length;
  }
  // An extension on the heads does not matter; only type and count do.
  auto extended = good;
  extended[20] = 0x1F;
  EXPECT_TRUE(check(extended));
}

}  // namespace
}  // namespace quorvex
