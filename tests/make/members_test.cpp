// Members: input longer than a member's window goes on in further members of the same
// archive. Made here with a small member window (and decoded with a window of the same
// size), so that small inputs make several members.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "format/member_record.hpp"
#include "quorvex/archive_listing.hpp"
#include "quorvex/archive_maker.hpp"
#include "quorvex/decoder.hpp"
#include "support/test_support.hpp"

namespace quorvex {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kMemberWindow = 96 * 1024;
constexpr std::size_t kBlock = 4 * 1024;

Bytes mixedInput() {
  Bytes input = testing::repositoryText(100000);
  const Bytes code = testing::ownProgram(40000);
  const Bytes skewed = testing::skewedBytes(40000, 4);
  input.insert(input.end(), code.begin(), code.end());
  input.insert(input.end(), skewed.begin(), skewed.end());
  return input;
}

Bytes makeArchive(const Bytes& input, int level, FileCodec codec = FileCodec::automatic, bool checks = true) {
  MakerOptions options;
  options.level = level;
  options.blockSize = kBlock;
  options.cmSectionSize = 32 * 1024;
  options.writer.memberWindow = kMemberWindow;
  options.writer.integrityChecks = checks;
  ArchiveMaker maker(options);
  EXPECT_TRUE(maker.addFile(input, codec));
  return maker.bytes();
}

struct MemberRun {
  DecodeResult result;
  Bytes output;
  std::string console;
};

MemberRun decode(const Bytes& archive, unsigned threads, std::uint32_t window = kMemberWindow, bool ignoreMembers = false) {
  MemberRun run;
  OutputImage image;
  DecodeOptions options;
  options.console = [&run](std::string_view line) { run.console += line; };
  options.threads = threads;
  options.windowSize = window;
  options.ignoreMemberRecords = ignoreMembers;
  run.result = decodeArchive(archive, image, options);
  run.output = image.bytes();
  return run;
}

// The window bytes each member's blocks fill, from the listing.
std::vector<std::uint64_t> memberWindowUse(const Bytes& archive) {
  std::vector<std::uint64_t> use(1, 0);
  for (const ListedRecord& record : listArchive(archive).records) {
    if (record.kind == ListedRecordKind::member) use.push_back(0);
    if (record.kind == ListedRecordKind::block && record.codec != ListedCodec::audio) use.back() += record.codecOutputSize;
  }
  return use;
}

TEST(Members, InputBeyondTheWindowGoesOnInMembersAtEveryLevel) {
  const Bytes input = mixedInput();
  for (int level = 1; level <= 9; ++level) {
    SCOPED_TRACE("level " + std::to_string(level));
    const Bytes archive = makeArchive(input, level);
    const std::vector<std::uint64_t> use = memberWindowUse(archive);
    EXPECT_GE(use.size(), 3u);
    for (const std::uint64_t bytes : use) EXPECT_LE(bytes, kMemberWindow);
    const MemberRun one = decode(archive, 1);
    ASSERT_TRUE(one.result.ok()) << one.result.reason;
    EXPECT_TRUE(one.output == input);
    const MemberRun two = decode(archive, 2);
    ASSERT_TRUE(two.result.ok()) << two.result.reason;
    EXPECT_TRUE(two.output == input);
    EXPECT_EQ(two.console, one.console);
  }
  // Each codec asked for by name, LZ (whose model and matches span blocks) above all.
  for (const FileCodec codec : {FileCodec::lz, FileCodec::bwt, FileCodec::stored, FileCodec::cm}) {
    SCOPED_TRACE(static_cast<int>(codec));
    const Bytes archive = makeArchive(input, 6, codec);
    EXPECT_GE(memberWindowUse(archive).size(), 3u);
    for (const unsigned threads : {1u, 2u}) {
      const MemberRun run = decode(archive, threads);
      ASSERT_TRUE(run.result.ok()) << run.result.reason;
      EXPECT_TRUE(run.output == input);
    }
  }
}

// Where no block reads the window (context mixing), the decoder would still keep every
// block's output until the member ends: a section starts the next member once the
// window holds unreadWindowMember bytes, the same archive on any thread count. Where
// blocks read the window (level 6), members still end only when it is full.
TEST(Members, ContextMixingSectionsStartMembersOnceTheUnreadWindowFills) {
  const Bytes input = mixedInput();
  constexpr std::size_t kUnread = 64 * 1024;
  constexpr std::size_t kSection = 32 * 1024;
  const auto make = [&](int level, unsigned threads) {
    MakerOptions options;
    options.level = level;
    options.blockSize = kBlock;
    options.cmSectionSize = kSection;
    options.writer.unreadWindowMember = kUnread;
    options.threads = threads;
    ArchiveMaker maker(options);
    EXPECT_TRUE(maker.addFile(input, FileCodec::automatic));
    return maker.bytes();
  };
  for (const int level : {7, 9}) {
    SCOPED_TRACE("level " + std::to_string(level));
    const Bytes archive = make(level, 1);
    EXPECT_TRUE(make(level, 2) == archive);
    const std::vector<std::uint64_t> use = memberWindowUse(archive);
    EXPECT_GE(use.size(), input.size() / (kUnread + kSection));
    for (const std::uint64_t bytes : use) EXPECT_LE(bytes, kUnread + kSection);
    const MemberRun one = decode(archive, 1, kUnread + kSection);
    ASSERT_TRUE(one.result.ok()) << one.result.reason;
    EXPECT_TRUE(one.output == input);
    const MemberRun two = decode(archive, 2, kUnread + kSection);
    ASSERT_TRUE(two.result.ok()) << two.result.reason;
    EXPECT_TRUE(two.output == input);
    EXPECT_EQ(two.console, one.console);
  }
  EXPECT_EQ(memberWindowUse(make(6, 2)).size(), 1u);
}

// A decoder that does not know member records skips them and meets the barrier behind
// each: it fails there, before any byte the next member was not made for, whatever its
// window and with or without integrity records; never wrong bytes with success.
TEST(Members, ADecoderIgnoringThemStopsAtTheFirstBarrier) {
  const Bytes input = mixedInput();
  for (const bool checks : {true, false}) {
    const Bytes archive = makeArchive(input, 3, FileCodec::lz, checks);
    ASSERT_GE(memberWindowUse(archive).size(), 2u);
    for (const std::uint32_t window : {kMemberWindow, std::uint32_t{0}}) {
      for (const unsigned threads : {1u, 2u}) {
        SCOPED_TRACE(std::to_string(checks) + " " + std::to_string(window) + " " + std::to_string(threads));
        const MemberRun run = decode(archive, threads, window, true);
        EXPECT_EQ(run.result.status, DecodeStatus::blockFailed) << run.result.reason;
        EXPECT_GT(run.output.size(), 0u);
        EXPECT_LT(run.output.size(), input.size());
        EXPECT_TRUE(std::equal(run.output.begin(), run.output.end(), input.begin()));
      }
    }
  }
  // Input that fits one member makes none: every decoder takes it.
  const Bytes small(input.begin(), input.begin() + 40000);
  const MemberRun run = decode(makeArchive(small, 3, FileCodec::lz), 1, kMemberWindow, true);
  ASSERT_TRUE(run.result.ok()) << run.result.reason;
  EXPECT_TRUE(run.output == small);
}

// The integrity checks run on across members: an archive cut where a member ends is
// found out, as is a member record moved to where none was written.
TEST(Members, IntegrityChecksSpanMembers) {
  const Bytes input = mixedInput();
  const Bytes archive = makeArchive(input, 3, FileCodec::lz);
  const ArchiveListing listing = listArchive(archive);
  const auto member = std::find_if(listing.records.begin(), listing.records.end(),
                                   [](const ListedRecord& record) { return record.kind == ListedRecordKind::member; });
  ASSERT_NE(member, listing.records.end());
  const Bytes cut(archive.begin(), archive.begin() + static_cast<std::ptrdiff_t>(member->offset));
  const MemberRun run = decode(cut, 1);
  EXPECT_EQ(run.result.status, DecodeStatus::checkFailed) << run.result.reason;
  EXPECT_TRUE(std::equal(run.output.begin(), run.output.end(), input.begin()));
}

// A record of the member type without this project's magic is someone else's: skipped,
// it starts nothing (if it did, the LZ blocks after it would lose their model).
TEST(Members, OnlyRecordsWithTheMagicStartAMember) {
  const Bytes input = testing::repositoryText(60000);
  MakerOptions options;
  options.level = 3;
  options.blockSize = kBlock;
  options.writer.integrityChecks = false;
  ArchiveMaker first(options);
  ASSERT_TRUE(first.addFile({input.data(), 30000}, FileCodec::lz));
  Bytes archive = first.bytes();
  Bytes whole;
  {
    ArchiveMaker maker(options);
    ASSERT_TRUE(maker.addFile({input.data(), 30000}, FileCodec::lz));
    ASSERT_TRUE(maker.addFile({input.data() + 30000, 30000}, FileCodec::lz));
    whole = maker.bytes();
  }
  ASSERT_EQ(std::vector<std::uint8_t>(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(archive.size())), archive);
  Bytes foreign = memberRecordPayload(1);
  foreign[0] = 'X';
  Bytes withForeign(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(archive.size()));
  // The head number count * 16 + type (204 + 13) in its two-byte form.
  const std::uint32_t head = static_cast<std::uint32_t>(foreign.size() << 4) | kMemberRecordType;
  ASSERT_TRUE(head >= 128 && head < 256);
  withForeign.push_back(static_cast<std::uint8_t>(0x80 | (head & 0x7F)));
  withForeign.push_back(static_cast<std::uint8_t>((head >> 7) - 1));
  withForeign.insert(withForeign.end(), foreign.begin(), foreign.end());
  withForeign.insert(withForeign.end(), whole.begin() + static_cast<std::ptrdiff_t>(archive.size()), whole.end());
  const MemberRun run = decode(withForeign, 1, 0);
  ASSERT_TRUE(run.result.ok()) << run.result.reason;
  EXPECT_TRUE(run.output == input);
}

TEST(Members, ListingShowsMembersAndKeepsBlockNumbers) {
  const Bytes archive = makeArchive(mixedInput(), 1);
  const ArchiveListing listing = listArchive(archive);
  std::uint32_t members = 0;
  std::uint32_t nextBlock = 0;
  for (std::size_t i = 0; i < listing.records.size(); ++i) {
    const ListedRecord& record = listing.records[i];
    if (record.kind == ListedRecordKind::member) {
      ++members;
      ASSERT_LT(i + 1, listing.records.size());
      EXPECT_EQ(listing.records[i + 1].kind, ListedRecordKind::barrier);
    }
    EXPECT_EQ(record.member, members);
    if (record.kind == ListedRecordKind::block) {
      EXPECT_EQ(record.blockIndex, nextBlock++);
    }
  }
  EXPECT_EQ(members + 1, memberWindowUse(archive).size());
  EXPECT_GE(members, 2u);
}

TEST(Members, RefusalsSayWhatWasRefused) {
  ArchiveMaker maker;
  const AddResult refused = maker.addFile(testing::repositoryText(3000), FileCodec::audio);
  EXPECT_EQ(refused.refusal, Refusal::notPcmWav);
  EXPECT_NE(std::string(describeRefusal(refused.refusal)).find("not a PCM WAV"), std::string::npos);
  EXPECT_NE(std::string(describeRefusal(Refusal::wavTooLarge)).find("4 GiB"), std::string::npos);
}

}  // namespace
}  // namespace quorvex
