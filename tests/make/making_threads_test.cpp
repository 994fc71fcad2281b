// Making on several threads: the archive is the same whatever the thread count, at
// every level, with members and integrity records.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "format/member_record.hpp"
#include "quorvex/archive_maker.hpp"
#include "quorvex/decoder.hpp"
#include "support/test_support.hpp"

namespace quorvex {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct Making {
  int level = 1;
  std::size_t memberWindow = 128 * 1024;
  std::size_t cmSectionSize = 16384;
  std::size_t blockSize = 4096;
};

Bytes madeWith(const std::vector<Bytes>& files, const Making& making, unsigned threads) {
  MakerOptions options;
  options.level = making.level;
  options.blockSize = making.blockSize;
  options.cmSectionSize = making.cmSectionSize;
  options.writer.memberWindow = making.memberWindow;
  options.threads = threads;
  ArchiveMaker maker(options);
  for (const Bytes& file : files) EXPECT_TRUE(maker.addFile(file));
  return maker.bytes();
}

void putLe(Bytes& out, std::uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// A 16-bit mono WAV file of two tones, which the audio codec takes.
Bytes toneWav(std::size_t frames) {
  Bytes file = {'R', 'I', 'F', 'F'};
  putLe(file, static_cast<std::uint32_t>(36 + 2 * frames), 4);
  for (const char c : std::string("WAVEfmt ")) file.push_back(static_cast<std::uint8_t>(c));
  putLe(file, 16, 4);
  for (const std::uint32_t field : {1u, 1u}) putLe(file, field, 2);
  for (const std::uint32_t field : {44100u, 88200u}) putLe(file, field, 4);
  for (const std::uint32_t field : {2u, 16u}) putLe(file, field, 2);
  for (const char c : std::string("data")) file.push_back(static_cast<std::uint8_t>(c));
  putLe(file, static_cast<std::uint32_t>(2 * frames), 4);
  for (std::size_t i = 0; i < frames; ++i) {
    const double t = static_cast<double>(i);
    putLe(file, static_cast<std::uint32_t>(std::lround(9000 * std::sin(0.031 * t) + 5000 * std::sin(0.0047 * t))), 2);
  }
  return file;
}

Bytes joined(const std::vector<Bytes>& parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// Member records, counted by their magic.
std::size_t memberRecords(const Bytes& archive) {
  std::size_t count = 0;
  for (auto at = archive.begin();; ++at) {
    at = std::search(at, archive.end(), kMemberMagic.begin(), kMemberMagic.end());
    if (at == archive.end()) return count;
    ++count;
  }
}

void expectDecodesTo(const Bytes& archive, const std::vector<Bytes>& files) {
  OutputImage image;
  const DecodeResult result = decodeArchive(archive, image, {});
  ASSERT_TRUE(result.ok()) << result.reason;
  EXPECT_TRUE(image.bytes() == joined(files));
}

// Text, skewed bytes, machine code and a WAV file in one file (so that the levels that
// weigh audio against the other codecs try both), then a short file that joins the
// last context-mixing section of the one before it.
std::vector<Bytes> mixedFiles() {
  const Bytes first = joined({testing::repositoryText(30000), testing::skewedBytes(10000, 5), toneWav(6000),
                              testing::ownProgram(10000), testing::skewedBytes(5000, 6)});
  return {first, testing::repositoryText(3000)};
}

TEST(MakingOnThreads, ArchivesAreTheSameForEveryThreadCount) {
  const std::vector<Bytes> files = mixedFiles();
  for (int level = 1; level <= 9; ++level) {
    SCOPED_TRACE("level " + std::to_string(level));
    const Making making{level};
    const Bytes one = madeWith(files, making, 1);
    EXPECT_EQ(madeWith(files, making, 2), one);
    EXPECT_EQ(madeWith(files, making, 3), one);
    expectDecodesTo(one, files);
  }
}

// With more than one thread an LZ block's match search walks ahead of its parse, in
// chunks of 16384 positions: blocks of several chunks, and a member window that makes
// the encoder start afresh, must still give the one-thread archive.
TEST(MakingOnThreads, LzBlocksLongerThanTheSearchChunks) {
  const std::vector<Bytes> files = {joined({testing::ownProgram(70000), testing::skewedBytes(30000, 9),
                                            Bytes(5000, 0x20), testing::ownProgram(40000)})};
  for (int level = 1; level <= 6; ++level) {
    SCOPED_TRACE("level " + std::to_string(level));
    const Making making{level, 96 * 1024, 16384, 45000};
    const Bytes one = madeWith(files, making, 1);
    EXPECT_EQ(madeWith(files, making, 2), one);
    EXPECT_EQ(madeWith(files, making, 3), one);
    EXPECT_GE(memberRecords(one), 1u);
    expectDecodesTo(one, files);
  }
}

// Context-mixing sections are made whole on other threads; where a member has to start
// inside one, the section's model changes there. Member windows from a few blocks to
// a few sections put the start at every place within a section.
TEST(MakingOnThreads, MembersStartingInsideContextMixingSections) {
  const std::vector<Bytes> files = {testing::repositoryText(120000), testing::repositoryText(2000)};
  std::size_t membersSeen = 0;
  for (std::size_t window = 36 * 1024; window <= 90 * 1024; window += 6 * 1024) {
    SCOPED_TRACE("member window " + std::to_string(window));
    const Making making{7, window, 20000};
    const Bytes one = madeWith(files, making, 1);
    EXPECT_EQ(madeWith(files, making, 2), one);
    membersSeen += memberRecords(one);
    expectDecodesTo(one, files);
  }
  EXPECT_GE(membersSeen, 10u) << "the windows should have made members";
}

}  // namespace
}  // namespace quorvex
