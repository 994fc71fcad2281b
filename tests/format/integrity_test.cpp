// Integrity records: a damaged or cut archive of ours fails instead of decoding to
// wrong bytes, and records of the same type from other writers are skipped.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "decode/archive_decoder.hpp"
#include "support/decoded_archive.hpp"
#include "format/integrity.hpp"
#include "quorvex/archive_writer.hpp"
#include "support/test_support.hpp"

namespace quorvex {
namespace {

std::vector<std::uint8_t> bytesOf(const std::string& text) { return {text.begin(), text.end()}; }

// Decodes many archives with one set of buffers (allocating 700 MB per run is what
// makes sanitized runs slow), with 64 KiB of room: a damaged size field then fails
// its block at once instead of decoding megabytes of noise before the next check.
class Decoder {
 public:
  Decoder() { EXPECT_TRUE(context_.allocate()); }
  DecodeResult run(const std::vector<std::uint8_t>& archive, std::vector<std::uint8_t>& output) {
    context_.historyCursor = context_.historyEnd - kRoom;
    RecordStream stream(archive);
    OutputImage image;
    DecodeResult result;
    if (!checkArchiveHeader(stream)) {
      result.status = DecodeStatus::badHeader;
    } else {
      result = decodeRecords(stream, context_, image, {});
    }
    output = image.bytes();
    return result;
  }

 private:
  static constexpr std::uint32_t kRoom = 65536;
  DecodeContext context_;
};

// Small archives of every codec, with the checks the writer adds by default.
std::vector<std::pair<std::vector<std::uint8_t>, std::vector<std::uint8_t>>> checkedArchives() {
  const auto text = bytesOf("a tale of two codecs, of two codecs and a tale");
  const auto skewed = testing::skewedBytes(90, 8);
  std::vector<std::pair<std::vector<std::uint8_t>, std::vector<std::uint8_t>>> archives;
  {
    ArchiveWriter writer;
    writer.addStoredBwtBlock(text);
    writer.addBwtBlock(skewed);
    writer.addLzBlock(text);
    std::vector<std::uint8_t> output = text;
    output.insert(output.end(), skewed.begin(), skewed.end());
    output.insert(output.end(), text.begin(), text.end());
    archives.emplace_back(writer.bytes(), output);
  }
  {
    ArchiveWriter writer;
    writer.addCmParams(20, 18, 0);
    writer.addCmBlock(text);
    writer.addCmBlock(skewed, true);
    std::vector<std::uint8_t> output = text;
    output.insert(output.end(), skewed.begin(), skewed.end());
    archives.emplace_back(writer.bytes(), output);
  }
  return archives;
}

TEST(Integrity, EveryFlippedBitAndEveryCutFailsOrGivesTheOriginal) {
  Decoder decoder;
  std::vector<std::uint8_t> output;
  for (const auto& [archive, original] : checkedArchives()) {
    ASSERT_TRUE(decoder.run(archive, output).ok());
    ASSERT_EQ(output, original);
    std::size_t caughtByChecks = 0;
    for (std::size_t bit = 0; bit < 8 * archive.size(); ++bit) {
      std::vector<std::uint8_t> damaged = archive;
      damaged[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
      const DecodeResult result = decoder.run(damaged, output);
      if (result.ok()) {
        ASSERT_EQ(output, original) << "bit " << bit;
      }
      caughtByChecks += result.status == DecodeStatus::checkFailed;
    }
    EXPECT_GT(caughtByChecks, 8 * archive.size() / 4);
    for (std::size_t length = 0; length < archive.size(); ++length) {
      const std::vector<std::uint8_t> cut(archive.begin(), archive.begin() + static_cast<std::ptrdiff_t>(length));
      const DecodeResult result = decoder.run(cut, output);
      // Cut right after the 23-byte header, what is left is a valid empty archive:
      // no check can tell it from one.
      if (length == 23) {
        EXPECT_TRUE(result.ok() && output.empty());
      } else {
        EXPECT_FALSE(result.ok()) << "cut at " << length;
      }
    }
  }
}

TEST(Integrity, RecordsOfTheTypeFromOtherWritersAreSkipped) {
  ArchiveWriter writer(WriterOptions{.integrityChecks = false});
  writer.addRecord(kIntegrityRecordType, bytesOf("QVXche"));  // too short to hold the magic
  writer.addRecord(kIntegrityRecordType, bytesOf("someone else's record of 26 b"));
  writer.addRecord(kIntegrityRecordType, {});
  writer.addStoredBwtBlock(bytesOf("plain"));
  const testing::Decoded run = testing::decode(writer.bytes());
  EXPECT_TRUE(run.result.ok()) << run.result.reason;
  EXPECT_EQ(run.output, bytesOf("plain"));
}

TEST(Integrity, ChecksEndBeforeTheFirstRawBlock) {
  // The writer cannot know what a raw block decodes to: the closing record goes
  // before it, and what follows is decoded unchecked, as the format says.
  ArchiveWriter writer;
  writer.addStoredBwtBlock(bytesOf("checked "));
  BlockFields raw;
  raw.codecKind = 0;
  raw.sizePresent = 0;
  raw.payload = bytesOf("a");
  writer.addBlock(raw, {});
  writer.addStoredBwtBlock(bytesOf("unchecked"));
  const testing::Decoded run = testing::decode(writer.bytes());
  ASSERT_TRUE(run.result.ok()) << run.result.reason;
  EXPECT_EQ(run.output, bytesOf("checked aunchecked"));
}

// Decodes on one thread and on two; both must agree on the outcome.
testing::Decoded decodeOnThreads(const std::vector<std::uint8_t>& archive, unsigned threads) {
  testing::Decoded run;
  OutputImage image;
  DecodeOptions options;
  options.threads = threads;
  run.result = decodeArchive(archive, image, options);
  run.output = image.bytes();
  return run;
}

TEST(Integrity, NothingOfOursMayFollowTheClosingRecord) {
  ArchiveWriter writer;
  writer.addStoredBwtBlock(bytesOf("some text"));
  const std::vector<std::uint8_t> archive = writer.bytes();
  constexpr std::size_t kRecordBytes = 2 + kIntegrityRecordSize;  // head and payload
  const std::vector<std::uint8_t> closing(archive.end() - kRecordBytes, archive.end());
  ASSERT_EQ(closing[2 + 8], static_cast<std::uint8_t>(IntegrityKind::closing));
  // The same closing record twice: the second matches the output, yet comes too late.
  std::vector<std::uint8_t> twoClosings = archive;
  twoClosings.insert(twoClosings.end(), closing.begin(), closing.end());
  // A check record, also matching, after the closing one.
  std::vector<std::uint8_t> checkAfterClosing = twoClosings;
  checkAfterClosing[archive.size() + 2 + 8] = static_cast<std::uint8_t>(IntegrityKind::check);
  for (const unsigned threads : {1u, 2u}) {
    SCOPED_TRACE(threads);
    EXPECT_TRUE(decodeOnThreads(archive, threads).result.ok());
    for (const auto& damaged : {twoClosings, checkAfterClosing}) {
      const testing::Decoded run = decodeOnThreads(damaged, threads);
      EXPECT_EQ(run.result.status, DecodeStatus::checkFailed) << run.result.reason;
      EXPECT_NE(run.result.reason.find("follows the closing one"), std::string::npos) << run.result.reason;
    }
  }
}

TEST(Integrity, ReasonsSayWhatWentWrong) {
  ArchiveWriter writer;
  writer.addStoredBwtBlock(bytesOf("some text"));
  std::vector<std::uint8_t> bytes = writer.bytes();
  // Header, opening record, block head, packedSize: then the stored payload.
  bytes[23 + 28 + 1 + 4] ^= 0x20;
  testing::Decoded run = testing::decode(bytes);
  EXPECT_EQ(run.result.status, DecodeStatus::checkFailed);
  EXPECT_NE(run.result.reason.find("differs from what was written"), std::string::npos) << run.result.reason;
  bytes = writer.bytes();
  bytes.resize(bytes.size() - 28);  // the closing record
  run = testing::decode(bytes);
  EXPECT_EQ(run.result.status, DecodeStatus::checkFailed);
  EXPECT_NE(run.result.reason.find("ends before its closing"), std::string::npos) << run.result.reason;
}

}  // namespace
}  // namespace quorvex
