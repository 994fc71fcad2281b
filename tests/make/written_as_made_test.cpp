// Archives handed over as they are made: what the maker hands over piece by piece,
// joined with what it holds at the end, is the archive it would have made whole.
#include <gtest/gtest.h>

#include <vector>

#include "quorvex/archive_maker.hpp"
#include "quorvex/decoder.hpp"
#include "support/test_support.hpp"

namespace quorvex {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(WrittenAsMade, PiecesTakenJoinToTheWholeArchive) {
  const Bytes text = testing::repositoryText(60000);
  const Bytes skewed = testing::skewedBytes(30000, 7);
  for (const bool checks : {true, false}) {
    for (const int level : {1, 3, 6}) {
      SCOPED_TRACE(std::to_string(checks) + " level " + std::to_string(level));
      MakerOptions options;
      options.level = level;
      options.blockSize = 4096;
      options.cmSectionSize = 16384;
      options.writer.integrityChecks = checks;
      options.writer.memberWindow = 64 * 1024;  // members too
      ArchiveMaker whole(options);
      ArchiveMaker taken(options);
      Bytes joined;
      std::uint64_t lastSize = 0;
      for (const Bytes* file : {&text, &skewed, &text}) {
        ASSERT_TRUE(whole.addFile(*file));
        ASSERT_TRUE(taken.addFile(*file));
        EXPECT_EQ(taken.size(), whole.bytes().size());
        const Bytes piece = taken.takeWritten();
        joined.insert(joined.end(), piece.begin(), piece.end());
        EXPECT_EQ(taken.size(), whole.bytes().size());
        EXPECT_GT(taken.size(), lastSize);
        lastSize = taken.size();
      }
      joined.insert(joined.end(), taken.bytes().begin(), taken.bytes().end());
      ASSERT_EQ(joined, whole.bytes());
      OutputImage image;
      const DecodeResult result = decodeArchive(joined, image, {});
      ASSERT_TRUE(result.ok()) << result.reason;
      Bytes input = text;
      input.insert(input.end(), skewed.begin(), skewed.end());
      input.insert(input.end(), text.begin(), text.end());
      EXPECT_EQ(image.bytes(), input);
    }
  }
}

// A level that lets the writer forget the window, then a codec that reads it: the
// reader's blocks go to a member of their own, whose window the writer keeps.
TEST(WrittenAsMade, AWindowReaderAfterAForgottenWindowStartsAMember) {
  const Bytes text = testing::repositoryText(50000);
  const Bytes first = testing::skewedBytes(50000, 11);
  for (const FileCodec reader : {FileCodec::lz, FileCodec::bwt}) {
    MakerOptions options;
    options.level = 1;
    ArchiveMaker maker(options);
    ASSERT_TRUE(maker.addFile(first));  // level 1's own choice reads no window
    ASSERT_TRUE(maker.addFile(text, reader));
    ASSERT_TRUE(maker.addFile(text, reader));
    OutputImage image;
    const DecodeResult result = decodeArchive(maker.bytes(), image, {});
    ASSERT_TRUE(result.ok()) << result.reason;
    Bytes input = first;
    for (int i = 0; i < 2; ++i) input.insert(input.end(), text.begin(), text.end());
    EXPECT_EQ(image.bytes(), input);
  }
}

}  // namespace
}  // namespace quorvex
