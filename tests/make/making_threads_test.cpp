// Making on several threads: the archive is the same whatever the thread count, at
// every level, with members and integrity records.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "quorvex/archive_maker.hpp"
#include "quorvex/decoder.hpp"
#include "support/test_support.hpp"

namespace quorvex {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes madeWith(const Bytes& input, int level, unsigned threads) {
  MakerOptions options;
  options.level = level;
  options.blockSize = 4096;
  options.cmSectionSize = 16384;
  options.writer.memberWindow = 128 * 1024;
  options.threads = threads;
  ArchiveMaker maker(options);
  EXPECT_TRUE(maker.addFile(input));
  EXPECT_TRUE(maker.addFile(input, FileCodec::bwt));
  return maker.bytes();
}

TEST(MakingOnThreads, ArchivesAreTheSameForEveryThreadCount) {
  Bytes input = testing::repositoryText(30000);
  for (const Bytes& part : {testing::skewedBytes(10000, 5), testing::ownProgram(10000), testing::skewedBytes(5000, 6)}) {
    input.insert(input.end(), part.begin(), part.end());
  }
  for (int level = 1; level <= 9; ++level) {
    SCOPED_TRACE("level " + std::to_string(level));
    const Bytes one = madeWith(input, level, 1);
    EXPECT_EQ(madeWith(input, level, 2), one);
    EXPECT_EQ(madeWith(input, level, 3), one);
    OutputImage image;
    const DecodeResult result = decodeArchive(one, image, {});
    ASSERT_TRUE(result.ok()) << result.reason;
    Bytes twice = input;
    twice.insert(twice.end(), input.begin(), input.end());
    EXPECT_TRUE(image.bytes() == twice);
  }
}

}  // namespace
}  // namespace quorvex
