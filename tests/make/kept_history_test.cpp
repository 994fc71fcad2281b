// The writer keeps only the newest part of the history window (WriterOptions::
// keptHistory): its memory stops growing there, archives of input shorter than that
// are unchanged, and longer ones still decode exactly.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "quorvex/archive_maker.hpp"
#include "quorvex/archive_writer.hpp"
#include "quorvex/decoder.hpp"
#include "make/maker_levels.hpp"
#include "support/test_support.hpp"

namespace quorvex {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Text, code, skewed records and the text again: the later text repeats the earlier.
Bytes recurringInput() {
  Bytes input = testing::repositoryText(150000);
  const Bytes code = testing::ownProgram(60000);
  const Bytes skewed = testing::skewedBytes(40000, 9);
  input.insert(input.end(), code.begin(), code.end());
  input.insert(input.end(), skewed.begin(), skewed.end());
  const Bytes again = testing::repositoryText(100000);
  input.insert(input.end(), again.begin(), again.end());
  return input;
}

Bytes decoded(const Bytes& archive, unsigned threads) {
  OutputImage image;
  DecodeOptions options;
  options.threads = threads;
  const DecodeResult result = decodeArchive(archive, image, options);
  EXPECT_TRUE(result.ok()) << result.reason;
  return image.bytes();
}

TEST(KeptHistory, TheWriterKeepsTheNewestBytesAndAtMostAQuarterMore) {
  const Bytes input = recurringInput();
  constexpr std::size_t kKept = 40000;
  WriterOptions options;
  options.keptHistory = kKept;
  ArchiveWriter writer(options);
  constexpr std::size_t kBlock = 7000;
  std::size_t largest = 0;
  for (std::size_t offset = 0; offset < input.size(); offset += kBlock) {
    const std::span<const std::uint8_t> block(input.data() + offset, std::min(kBlock, input.size() - offset));
    if (offset / kBlock % 3 == 1) {
      writer.addBwtBlock(block);
    } else {
      writer.addLzBlock(block);
    }
    const std::size_t end = offset + block.size();
    ASSERT_EQ(writer.windowStart() + writer.window().size(), end);
    ASSERT_LE(writer.window().size(), kKept + kKept / 4);
    if (end > kKept) {
      ASSERT_GE(writer.window().size(), kKept);
    }
    ASSERT_TRUE(std::equal(writer.window().begin(), writer.window().end(), input.begin() + static_cast<std::ptrdiff_t>(writer.windowStart())));
    largest = std::max(largest, writer.window().size());
  }
  EXPECT_GT(largest, kKept);  // it did grow past what it keeps before dropping bytes
  EXPECT_EQ(writer.members(), 1u);
  EXPECT_EQ(decoded(writer.bytes(), 1), input);
}

Bytes makeArchive(const Bytes& input, int level, std::size_t kept, unsigned threads = 1) {
  MakerOptions options;
  options.level = level;
  options.blockSize = 16 * 1024;
  options.threads = threads;
  options.writer.keptHistory = kept;
  ArchiveMaker maker(options);
  EXPECT_TRUE(maker.addFile(input));
  return maker.bytes();
}

TEST(KeptHistory, ArchivesKeepingLittleOfTheWindowDecodeExactlyAtTheLzLevels) {
  const Bytes input = recurringInput();
  for (int level = 1; level <= 6; ++level) {
    SCOPED_TRACE("level " + std::to_string(level));
    const Bytes archive = makeArchive(input, level, 48 * 1024, level % 2 == 0 ? 2 : 1);
    EXPECT_EQ(decoded(archive, 1), input);
    EXPECT_EQ(decoded(archive, 2), input);
    // Keeping so little costs something: the later text no longer copies the earlier.
    if (level == 6) {
      EXPECT_GT(archive.size(), makeArchive(input, level, input.size()).size());
    }
  }
}

TEST(KeptHistory, InputShorterThanWhatIsKeptMakesTheArchiveOfTheWholeWindow) {
  const Bytes input = recurringInput();
  for (const int level : {1, 4, 6}) {
    SCOPED_TRACE("level " + std::to_string(level));
    const Bytes whole = makeArchive(input, level, std::size_t{1} << 30);
    // Kept: the input and no more; the window then never holds more than a quarter above it.
    EXPECT_EQ(makeArchive(input, level, input.size() * 4 / 5 + 1), whole);
  }
}

}  // namespace
}  // namespace quorvex
