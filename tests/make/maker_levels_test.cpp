// The level ladder's promises that hold on any input: context mixing (slow to decode)
// only where a user asks for it, and each level's archive no larger than the one below.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "make/maker_levels.hpp"
#include "quorvex/archive_maker.hpp"
#include "support/decoded_archive.hpp"
#include "support/test_support.hpp"

namespace quorvex {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(MakerLevels, ContextMixingIsLevelsSevenToNineAndTheDefaultIsNotOne) {
  for (int level = kFastestLevel; level <= kSmallestLevel; ++level) {
    EXPECT_EQ(levelPlan(level).codec == CodecChoice::cm, level >= 7) << "level " << level;
  }
  EXPECT_NE(levelPlan(MakerOptions{}.level).codec, CodecChoice::cm) << "the default decodes fast";
  // Out-of-range levels take the nearest end, never context mixing by surprise.
  EXPECT_NE(levelPlan(0).codec, CodecChoice::cm);
  EXPECT_EQ(levelPlan(10).codec, CodecChoice::cm);
}

TEST(MakerLevels, FastLevelsGrowTheirBlocksAndEffortInStep) {
  // Each fast level does at least what the one below does: blocks no shorter and no
  // stage trial dropped, so that its archives are not larger.
  for (int level = kFastestLevel + 1; level < 7; ++level) {
    const LevelPlan below = levelPlan(level - 1);
    const LevelPlan plan = levelPlan(level);
    EXPECT_GE(plan.blockSize, below.blockSize) << "level " << level;
    EXPECT_GE(plan.tryEveryStage, below.tryEveryStage) << "level " << level;
    EXPECT_GE(plan.weighAudio, below.weighAudio) << "level " << level;
  }
}

TEST(MakerLevels, EachLevelMakesNoLargerArchiveThanTheOneBelow) {
  // A fixed mix of the golden inputs: text, code, records, sound and mixed bytes.
  Bytes input;
  for (const char* name : {"story.txt", "code.bin", "records.bin", "tone-mono8.wav", "stage-mix.bin", "stress.bin",
                           "textmix.txt"}) {
    const Bytes part = testing::readFile(std::string(QUORVEX_GOLDEN_DIR) + "/inputs/" + name);
    ASSERT_FALSE(part.empty()) << name;
    input.insert(input.end(), part.begin(), part.end());
  }
  std::size_t below = SIZE_MAX;
  for (int level = kFastestLevel; level <= kSmallestLevel; ++level) {
    MakerOptions options;
    options.level = level;
    ArchiveMaker maker(options);
    ASSERT_TRUE(maker.addFile(input, FileCodec::automatic));
    const testing::Decoded run = testing::decode(maker.bytes());
    ASSERT_TRUE(run.result.ok()) << run.result.reason;
    EXPECT_TRUE(run.output == input) << "level " << level;
    EXPECT_LE(maker.bytes().size(), below) << "level " << level;
    below = maker.bytes().size();
  }
}

TEST(MakerLevels, TheKeptWindowIsAFewMiBAndGrowsWithTheLevel) {
  // The maker's memory at the LZ levels follows the window it keeps, never the input.
  for (int level = kFastestLevel; level <= kSmallestLevel; ++level) {
    const std::size_t kept = levelPlan(level).keptHistory;
    EXPECT_GE(kept, std::size_t{16} << 20) << "level " << level;
    EXPECT_LE(kept, std::size_t{32} << 20) << "level " << level;
    if (level > kFastestLevel) {
      EXPECT_GE(kept, levelPlan(level - 1).keptHistory) << "level " << level;
    }
  }
}

}  // namespace
}  // namespace quorvex
