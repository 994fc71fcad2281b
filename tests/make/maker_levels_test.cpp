// The level ladder's promises that hold on any input: context mixing (slow to decode)
// only where a user asks for it, and each level's archive smaller than the one below
// (or, where the input cannot tell them apart, no larger).
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
    EXPECT_GE(plan.lzEffort.treeSteps, below.lzEffort.treeSteps) << "level " << level;
    EXPECT_GE(plan.lzEffort.niceLength, below.lzEffort.niceLength) << "level " << level;
    EXPECT_GE(plan.audioSearch, below.audioSearch) << "level " << level;
    // A higher surcharge on literals would buy decoding speed with size.
    EXPECT_LE(plan.lzEffort.literalSurcharge, below.lzEffort.literalSurcharge) << "level " << level;
  }
}

TEST(MakerLevels, EachLevelMakesASmallerArchiveThanTheOneBelow) {
  // A fixed mix of the golden inputs: text, code, records, sound and mixed bytes.
  Bytes input;
  for (const char* name : {"story.txt", "code.bin", "records.bin", "tone-mono8.wav", "stage-mix.bin", "stress.bin",
                           "textmix.txt"}) {
    const Bytes part = testing::readFile(std::string(QUORVEX_GOLDEN_DIR) + "/inputs/" + name);
    ASSERT_FALSE(part.empty()) << name;
    input.insert(input.end(), part.begin(), part.end());
  }
  // Where a level differs from the one below in something this 118 KB input feels,
  // its archive must be strictly smaller: levels 1 to 3 (one block each) by the LZ
  // parse's nice length, 3 to 4 by the stage trials, 5 to 6 by the nice length again,
  // 6 to 7 by context mixing. Levels 4 and 5 differ only in block size and tree steps,
  // which the input is too short to feel, and 7 to 9 in model sizes, likewise.
  const auto strictlySmaller = [](int level) { return level != 5 && level < 8; };
  std::size_t below = SIZE_MAX;
  for (int level = kFastestLevel; level <= kSmallestLevel; ++level) {
    MakerOptions options;
    options.level = level;
    ArchiveMaker maker(options);
    ASSERT_TRUE(maker.addFile(input, FileCodec::automatic));
    const testing::Decoded run = testing::decode(maker.bytes());
    ASSERT_TRUE(run.result.ok()) << run.result.reason;
    EXPECT_TRUE(run.output == input) << "level " << level;
    if (level > kFastestLevel && strictlySmaller(level)) {
      EXPECT_LT(maker.bytes().size(), below) << "level " << level;
    } else {
      EXPECT_LE(maker.bytes().size(), below) << "level " << level;
    }
    below = maker.bytes().size();
  }
}

TEST(MakerLevels, AudioIsSearchedHarderAtLevelsThreeAndSix) {
  QUORVEX_SKIP_WITHOUT_CORPUS();
  // Real speech cut after four pieces of samples: a WAV file whose samples run to the
  // end of the file. The audio encoder searches more at level 3 than at 1 and 2, and
  // most from level 6 on; each step codes this recording smaller.
  Bytes wav = testing::corpusFile("audio/speech-stereo16.wav");
  ASSERT_GT(wav.size(), std::size_t{300000});
  wav.resize(44 + 4 * 65536);
  std::size_t below = SIZE_MAX;
  for (int level : {1, 3, 6}) {
    MakerOptions options;
    options.level = level;
    ArchiveMaker maker(options);
    ASSERT_TRUE(maker.addFile(wav, FileCodec::automatic));
    const testing::Decoded run = testing::decode(maker.bytes());
    ASSERT_TRUE(run.result.ok()) << run.result.reason;
    EXPECT_TRUE(run.output == wav) << "level " << level;
    EXPECT_LT(maker.bytes().size(), below) << "level " << level;
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
