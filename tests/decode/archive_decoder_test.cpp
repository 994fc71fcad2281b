#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "codecs/bwt/bwt_transform.hpp"
#include "quorvex/archive_writer.hpp"
#include "quorvex/decoder.hpp"
#include "decode/archive_decoder.hpp"
#include "support/decoded_archive.hpp"
#include "support/test_support.hpp"

namespace quorvex {
namespace {

using testing::Decoded;
using testing::decode;
using testing::decodeOneBlock;

std::vector<std::uint8_t> bytesOf(const std::string& text) { return {text.begin(), text.end()}; }

// A stored BWT block with the given primary index and fields.
BlockFields storedBwt(const std::vector<std::uint8_t>& data) {
  const bwt::ForwardBwt t = bwt::forwardBwt(data);
  BlockFields block;
  block.codecKind = 0;
  block.sizePresent = 0;
  block.bwtPrimaryIndex = t.primaryIndex;
  block.payload = t.transformed;
  return block;
}

TEST(DecodeArchive, HeaderOnlyGivesEmptyOutput) {
  ArchiveWriter writer;
  ASSERT_EQ(writer.bytes().size(), 23u);
  const Decoded run = decode(writer.bytes());
  EXPECT_TRUE(run.result.ok());
  EXPECT_TRUE(run.output.empty());
  EXPECT_EQ(run.console, "");
}

TEST(DecodeArchive, BadHeaderFails) {
  ArchiveWriter writer;
  auto bytes = writer.bytes();
  bytes[22] = 8;
  EXPECT_EQ(decode(bytes).result.status, DecodeStatus::badHeader);
  EXPECT_EQ(decode({}).result.status, DecodeStatus::badHeader);
}

TEST(DecodeArchive, StoredBwtBlocksAndSkippedRecords) {
  ArchiveWriter writer;
  const auto first = bytesOf("banana bandana, a bad banana band");
  const auto second = testing::skewedBytes(3000, 3);
  writer.addStoredBwtBlock(first);
  const std::uint8_t opaque[] = {1, 2, 3, 4, 5};
  writer.addRecord(5, opaque);                    // an unknown record is skipped by its count
  writer.addRecord(14, bytesOf("Quorvex 0.09 alpha"));  // so is a second signature
  writer.addRecord(30, std::vector<std::uint8_t>{9});
  writer.addRecord(3, opaque, 7);                 // and a type with a high part
  writer.addStoredBwtBlock(second);
  const Decoded run = decode(writer.bytes());
  ASSERT_TRUE(run.result.ok()) << run.result.reason;
  std::vector<std::uint8_t> expected = first;
  expected.insert(expected.end(), second.begin(), second.end());
  EXPECT_EQ(run.output, expected);
  EXPECT_EQ(run.console, "Decoding BWT block 33->0\nDecoding BWT block 3000->0\n");
}

TEST(DecodeArchive, ASkippedRecordRunningPastTheEndEndsTheLoopNormally) {
  ArchiveWriter writer;
  writer.addStoredBwtBlock(bytesOf("abc"));
  auto bytes = writer.bytes();
  bytes.insert(bytes.end(), {0x55, 0x01});  // type 5, count 5 + 16: runs past the end
  const Decoded run = decode(bytes);
  ASSERT_TRUE(run.result.ok());
  EXPECT_EQ(run.output, bytesOf("abc"));
}

TEST(DecodeArchive, EmptyStoredBwtBlockFails) {
  BlockFields empty;
  empty.codecKind = 0;
  empty.sizePresent = 0;
  const Decoded run = decodeOneBlock(empty);
  EXPECT_EQ(run.result.status, DecodeStatus::blockFailed);
  EXPECT_EQ(run.console, "Decoding BWT block 0->0\n");
}

TEST(DecodeArchive, PrimaryIndexMustLieInsideTheBlock) {
  for (const std::uint32_t index : {6u, 7u, 0xFFFFFFFFu}) {
    BlockFields block = storedBwt(bytesOf("banana"));
    block.bwtPrimaryIndex = index;
    const Decoded run = decodeOneBlock(block);
    EXPECT_EQ(run.result.status, DecodeStatus::blockFailed) << index;
    EXPECT_NE(run.result.reason.find("primary index"), std::string::npos);
  }
}

TEST(DecodeArchive, BlocksDecodedBeforeAFailureAreReportedWithItsIndex) {
  ArchiveWriter writer;
  writer.addStoredBwtBlock(bytesOf("first"));
  BlockFields bad = storedBwt(bytesOf("second"));
  bad.bwtPrimaryIndex = 100;
  writer.addBlock(bad, {});
  const Decoded run = decode(writer.bytes());
  EXPECT_EQ(run.result.failedBlock, 1u);
  EXPECT_EQ(run.output, bytesOf("first"));
}

TEST(DecodeArchive, DeltaStageLeavesSmallBlocksUnchanged) {
  const auto data = testing::skewedBytes(263, 5);
  BlockFields block = storedBwt(data);
  block.deltaData = std::vector<std::uint8_t>{1, 2, 3};
  const Decoded run = decodeOneBlock(block);
  ASSERT_TRUE(run.result.ok()) << run.result.reason;
  EXPECT_EQ(run.output, data);
}

TEST(DecodeArchive, UnsupportedCodecKindPrintsNoProgressLine) {
  BlockFields block;
  block.codecKind = 4;
  block.payload = {1, 2, 3};
  const Decoded run = decodeOneBlock(block);
  EXPECT_EQ(run.result.status, DecodeStatus::blockFailed);
  EXPECT_EQ(run.console, "");
}

TEST(DecodeArchive, LzBlockWithoutSizeFails) {
  BlockFields block;
  block.codecKind = 1;
  block.sizePresent = 0;
  const Decoded run = decodeOneBlock(block);
  EXPECT_EQ(run.result.status, DecodeStatus::blockFailed);
  EXPECT_EQ(run.console, "Decoding LZ block 0->0\n");
}

TEST(DecodeArchive, ContextMixingModeRoutesEveryKindButAudio) {
  // With codec id 7 active, kind 0 is a context-mixing block without BWT fields; a
  // record without a history size cannot back a model, so the block fails after its
  // progress line. Another codec id switches back.
  ArchiveWriter writer;
  writer.addCodecParams({7, 0, 0, 0, 1});
  BlockFields block;
  block.codecKind = 0;
  block.sizePresent = 1;
  block.unpackedSize = 5;
  writer.addBlock(block, {});
  const Decoded run = decode(writer.bytes());
  EXPECT_EQ(run.result.status, DecodeStatus::blockFailed);
  EXPECT_EQ(run.console, "Decoding CM block 0->5\n");

  ArchiveWriter back;
  back.addCodecParams({7, 0, 0, 0, 1});
  back.addCodecParams({1, 0, 0, 0, 4});
  back.addStoredBwtBlock(bytesOf("plain again"));
  const Decoded after = decode(back.bytes());
  ASSERT_TRUE(after.result.ok()) << after.result.reason;
  EXPECT_EQ(after.output, bytesOf("plain again"));
}

// The MiB count in "needs N MiB of memory", or 0.
std::uint64_t neededMebibytes(const std::string& reason) {
  const std::size_t at = reason.find("needs ");
  if (at == std::string::npos) return 0;
  std::uint64_t value = 0;
  for (std::size_t i = at + 6; i < reason.size() && reason[i] != ' '; ++i) {
    if (reason[i] != ',') value = value * 10 + static_cast<std::uint64_t>(reason[i] - '0');
  }
  return value;
}

TEST(DecodeArchive, MemoryLimitRefusesModelsThatNeedMore) {
  // 128 MiB of context table, 64 MiB of match entries and a 16 MiB window, with the
  // fixed tables: more than 208 MiB, and under 256 MiB.
  ArchiveWriter writer;
  writer.addCmParams(27, 24, 79);
  const std::vector<std::uint8_t> text = bytesOf("a model far larger than its one small block needs");
  writer.addCmBlock(text);
  DecodeOptions options;
  options.memoryLimit = std::uint64_t{200} << 20;
  OutputImage refused;
  const DecodeResult over = decodeArchive(writer.bytes(), refused, options);
  EXPECT_EQ(over.status, DecodeStatus::blockFailed);
  EXPECT_NE(over.reason.find("of memory, over the limit of 200 MiB"), std::string::npos) << over.reason;
  EXPECT_GT(neededMebibytes(over.reason), 208u) << over.reason;
  EXPECT_LT(neededMebibytes(over.reason), 256u) << over.reason;

  options.memoryLimit = std::uint64_t{256} << 20;
  OutputImage accepted;
  const DecodeResult inside = decodeArchive(writer.bytes(), accepted, options);
  ASSERT_TRUE(inside.ok()) << inside.reason;
  EXPECT_EQ(accepted.bytes(), text);

  // The default, 2 GiB, refuses a 2 GiB context table with a 512 MiB match table before
  // reserving anything; the record alone (no block uses it) costs nothing.
  ArchiveWriter huge;
  huge.addCodecParams({7, 79, 0, (31 - 20) << 4 | (27 - 18), 4});
  EXPECT_TRUE(decode(huge.bytes()).result.ok());
  BlockFields block;
  block.codecKind = 3;
  block.unpackedSize = 1;
  block.payload = {0};
  huge.addBlock(block, {});
  const Decoded run = decode(huge.bytes());
  EXPECT_EQ(run.result.status, DecodeStatus::blockFailed);
  EXPECT_NE(run.result.reason.find("over the limit of 2,048 MiB"), std::string::npos) << run.result.reason;
  EXPECT_GT(neededMebibytes(run.result.reason), 2048u + 512 + 16);
}

TEST(DecodeArchive, ConsolePrintsCountsOf2To31AndAboveUnsigned) {
  BlockFields block;
  block.codecKind = 1;
  block.sizePresent = 1;
  block.unpackedSize = 0xFFFFFFFFu;
  const Decoded run = decodeOneBlock(block);
  EXPECT_EQ(run.console, "Decoding LZ block 0->4294967295\n");
  EXPECT_EQ(run.result.status, DecodeStatus::blockFailed);  // far beyond the window
}

TEST(DecodeArchive, TruncationAtEveryByteNeverCrashes) {
  ArchiveWriter writer;
  writer.addStoredBwtBlock(bytesOf("a short block of text"));
  writer.addCodecParams({3, 1, 2, 0x11, 4});
  writer.addStoredBwtBlock(testing::skewedBytes(100, 9));
  const auto& bytes = writer.bytes();
  // Every decode maps the 700 MB of buffers, which sanitizers make slow: cut at a
  // spread of points rather than at every byte (the descriptor parser is cut at
  // every byte in its own test).
  const std::size_t step = bytes.size() / 13 + 1;
  for (std::size_t length = 23; length < bytes.size(); length += step) {
    const std::vector<std::uint8_t> cut(bytes.begin(), bytes.begin() + static_cast<long>(length));
    const Decoded run = decode(cut);
    EXPECT_LE(run.output.size(), 121u);
  }
}

TEST(DecodeArchive, PayloadCutOffByTheEndOfTheArchiveFails) {
  // Only a truncated or damaged archive has such a block (its descriptor fields then
  // read as 0: a BWT block, or a context-mixing block in that mode). It fails after its
  // progress line instead of reading the missing bytes as zeros.
  for (const bool cmMode : {false, true}) {
    ArchiveWriter writer(WriterOptions{.integrityChecks = false});
    if (cmMode) writer.addCodecParams({7, 0, 0, 0, 4});
    auto bytes = writer.bytes();
    bytes.insert(bytes.end(), {0x00, 4, 0, 0, 0, 'b', 'a'});  // 4 bytes claimed, 2 there
    const Decoded run = decode(bytes);
    EXPECT_EQ(run.result.status, DecodeStatus::blockFailed);
    EXPECT_NE(run.result.reason.find("past the end of the archive"), std::string::npos) << run.result.reason;
    EXPECT_EQ(run.console, cmMode ? "Decoding CM block 4->0\n" : "Decoding BWT block 4->0\n");
  }
}

}  // namespace
}  // namespace quorvex

namespace quorvex {
namespace {

// A stored BWT block whose payload claims `packedSize` bytes and is cut off by the end
// of the archive.
std::vector<std::uint8_t> claimedStoredBlock(std::uint32_t packedSize) {
  ArchiveWriter writer;
  BlockFields block;
  block.codecKind = 0;
  block.sizePresent = 0;
  block.payload = {'x'};
  writer.addBlock(block, {});
  auto bytes = writer.bytes();
  for (int i = 0; i < 4; ++i) bytes[24 + i] = static_cast<std::uint8_t>(packedSize >> (8 * i));
  return bytes;
}

// Decodes with only `room` bytes left in the history window.
DecodeResult decodeWithRoom(const std::vector<std::uint8_t>& archive, std::uint32_t room) {
  DecodeContext context;
  if (!context.allocate()) return {DecodeStatus::outOfMemory, 0, "", 0};
  context.historyCursor = context.historyEnd - room;
  RecordStream stream(archive);
  EXPECT_TRUE(checkArchiveHeader(stream));
  OutputImage output;
  return decodeRecords(stream, context, output, {});
}

TEST(DecodeArchive, BlocksThatWouldOverflowTheWindowOrAWorkBufferFail) {
  // The payload itself does not fit in the window (refused before its length is
  // compared with the archive's).
  Decoded run = decode(claimedStoredBlock(600'000'000));
  EXPECT_EQ(run.result.status, DecodeStatus::blockFailed);
  EXPECT_NE(run.result.reason.find("does not fit"), std::string::npos) << run.result.reason;
  // It fits, but the inverse transform needs 5n + 3 bytes of room.
  const auto data = testing::skewedBytes(300, 4);
  ArchiveWriter stored;
  stored.addBlock(storedBwt(data), {});
  EXPECT_TRUE(decodeWithRoom(stored.bytes(), 5 * 300 + 3).ok());
  const DecodeResult cramped = decodeWithRoom(stored.bytes(), 5 * 300 + 2);
  EXPECT_EQ(cramped.status, DecodeStatus::blockFailed);
  EXPECT_NE(cramped.reason.find("room"), std::string::npos) << cramped.reason;
  // An LZ block larger than a work buffer is refused before it is decoded.
  ArchiveWriter writer;
  BlockFields lz;
  lz.codecKind = 1;
  lz.sizePresent = 1;
  lz.unpackedSize = 101048577;
  writer.addBlock(lz, {});
  run = decode(writer.bytes());
  EXPECT_EQ(run.result.status, DecodeStatus::blockFailed);
  EXPECT_NE(run.result.reason.find("does not fit"), std::string::npos) << run.result.reason;
}

}  // namespace
}  // namespace quorvex
