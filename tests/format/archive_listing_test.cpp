// Listing reads records and descriptors only; the decoder is the second reading that
// says what the records hold.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "codecs/bwt/bwt_payload.hpp"
#include "support/decoded_archive.hpp"
#include "quorvex/archive_listing.hpp"
#include "support/test_support.hpp"

namespace quorvex {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Blocks of three codecs, a context-mixing section, an unknown record, integrity records.
Bytes mixedArchive() {
  ArchiveWriter writer;
  writer.addStoredBwtBlock(testing::skewedBytes(3000, 1));
  writer.addCmParams(22, 20, 79);
  writer.addCmBlock(testing::skewedBytes(2000, 2));
  writer.addCodecParams({0, 0, 0, 0, 1});
  writer.addLzBlock(testing::skewedBytes(2500, 3));
  const Bytes opaque{1, 2, 3};
  writer.addRecord(5, opaque);
  return writer.bytes();
}

// The codec of each block, as the decoder's console lines name it.
std::vector<std::string> decodedCodecs(const std::string& console) {
  std::vector<std::string> codecs;
  for (std::size_t at = console.find("Decoding "); at != std::string::npos; at = console.find("Decoding ", at + 1)) {
    const std::size_t start = at + 9;
    codecs.push_back(console.substr(start, console.find(' ', start) - start));
  }
  return codecs;
}

TEST(ArchiveListing, AgreesWithTheDecoderOnEveryRecord) {
  const Bytes archive = mixedArchive();
  const testing::Decoded decoded = testing::decode(archive);
  ASSERT_TRUE(decoded.result.ok()) << decoded.result.reason;
  const ArchiveListing listing = listArchive(archive);
  ASSERT_TRUE(listing.headerValid);

  std::vector<std::string> codecs;
  std::uint64_t codecOutput = 0;
  std::uint64_t end = 0;
  const ListedRecord* closing = nullptr;
  const ListedRecord* params = nullptr;
  const ListedRecord* opaque = nullptr;
  for (const ListedRecord& record : listing.records) {
    EXPECT_EQ(record.offset, end) << "records follow each other without gaps";
    end = record.offset + record.size;
    if (record.kind == ListedRecordKind::block) {
      EXPECT_EQ(record.blockIndex, codecs.size());
      const std::string name(codecName(record.codec));
      codecs.push_back(name == "stored" ? "BWT" : name);
      codecOutput += record.codecOutputSize;
    }
    if (record.kind == ListedRecordKind::integrity && record.integrityKind == 2) closing = &record;
    if (record.kind == ListedRecordKind::codecParams && !params) params = &record;
    if (record.kind == ListedRecordKind::other) opaque = &record;
  }
  EXPECT_EQ(end, archive.size());
  EXPECT_EQ(codecs, decodedCodecs(decoded.console));
  EXPECT_EQ(codecOutput, decoded.output.size());  // no post-stage changes a length here
  ASSERT_NE(closing, nullptr);
  EXPECT_EQ(closing->recordedOutputSize, decoded.output.size());
  ASSERT_NE(params, nullptr);
  EXPECT_EQ(params->codecId, 7u);
  EXPECT_EQ(params->historySize, 16777216u);  // size code 79
  EXPECT_EQ(params->tableBitsA, 22u);
  EXPECT_EQ(params->tableBitsB, 20u);
  ASSERT_NE(opaque, nullptr);
  EXPECT_EQ(opaque->type, 5u);
  EXPECT_EQ(opaque->count, 3u);
  EXPECT_EQ(opaque->size, 4u);
}

TEST(ArchiveListing, StagesAndSegmentsOfABwtBlock) {
  const Bytes transformed = testing::skewedBytes(700, 4);
  std::array<std::uint32_t, 256> lengths{};
  lengths[0] = 300;
  lengths[7] = 400;
  BlockFields block;
  block.payload = bwt::encodeBwtSegments(transformed, lengths);
  block.codecKind = 0;
  block.sizePresent = 1;
  block.unpackedSize = 700;
  block.bwtPrimaryIndex = 5;
  block.deltaData = Bytes(9);
  block.textTransformBits = 0x12;
  block.lineBreakData = Bytes(3);
  block.numericData = Bytes(2);
  block.branchTargetData = Bytes(4);
  ArchiveWriter writer(WriterOptions{.integrityChecks = false});
  writer.addBlock(block, {});

  const ArchiveListing listing = listArchive(writer.bytes(), true);
  ASSERT_EQ(listing.records.size(), 3u);
  const ListedRecord& listed = listing.records[2];
  EXPECT_EQ(listed.codec, ListedCodec::bwt);
  EXPECT_EQ(listed.packedSize, block.payload.size());
  EXPECT_EQ(listed.codecOutputSize, 700u);
  EXPECT_EQ(listed.bwtPrimaryIndex, 5u);
  EXPECT_EQ(listed.textTransformBits, 0x12);
  ASSERT_EQ(listed.stages.size(), 3u);
  EXPECT_EQ(listed.stages[0].name, "delta");
  EXPECT_EQ(listed.stages[0].sideDataSize, 9u);
  EXPECT_EQ(listed.stages[1].name, "text");
  EXPECT_EQ(listed.stages[1].sideDataSize, 5u);
  EXPECT_EQ(listed.stages[2].name, "branch-targets");
  ASSERT_EQ(listed.segments.size(), 2u);
  EXPECT_EQ(listed.segments[0].index, 0u);
  EXPECT_EQ(listed.segments[0].length, 300u);
  EXPECT_EQ(listed.segments[1].index, 7u);
  EXPECT_EQ(listed.segments[1].length, 400u);
  EXPECT_LT(listed.segments[0].codedLength + listed.segments[1].codedLength, listed.packedSize);
  EXPECT_TRUE(listArchive(writer.bytes(), false).records[2].segments.empty());
}

TEST(ArchiveListing, CutAndDamagedArchivesListWithinTheirBytes) {
  const Bytes archive = mixedArchive();
  EXPECT_FALSE(listArchive({archive.data(), 22}).headerValid);
  for (std::size_t size = 23; size <= archive.size(); ++size) {
    const ArchiveListing listing = listArchive({archive.data(), size}, true);
    ASSERT_TRUE(listing.headerValid);
    const ListedRecord& last = listing.records.back();
    EXPECT_EQ(last.offset + last.size, size);
  }
  testing::TestRandom random(9);
  for (int round = 0; round < 300; ++round) {
    Bytes damaged = archive;
    for (int flips = 0; flips < 4; ++flips) damaged[23 + random.below(damaged.size() - 23)] ^= 1u << random.below(8);
    const ArchiveListing listing = listArchive(damaged, true);
    EXPECT_EQ(listing.records.back().offset + listing.records.back().size, damaged.size());
  }
}

}  // namespace
}  // namespace quorvex
