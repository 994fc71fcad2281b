#include "make/maker_levels.hpp"

#include <algorithm>
#include <array>

#include "format/codec_params.hpp"

namespace quorvex {
namespace {

constexpr std::size_t kMiB = std::size_t{1} << 20;

LevelPlan plan(CodecChoice codec, bool tryEveryStage, bool weighAudio, CmModelSize cm = {}) {
  LevelPlan level;
  level.codec = codec;
  level.tryEveryStage = tryEveryStage;
  level.weighAudio = weighAudio;
  level.cm = cm;
  return level;
}

// Levels 1 and 2 use BWT (and audio) alone, the fastest to decode; 3 to 5 weigh LZ
// against it; 6 to 9 use context mixing with growing models. Sections of 4 MiB cost
// about 1.4% over one model for 8 MiB of input, sections of 1 MiB about 4%. Input over
// one section goes in an even number of equal sections, so that two threads decode
// them in step (17 MB: six sections rather than five, for 0.5% more output and no
// fifth section running alone at the end). Level 6, the default, keeps the smallest
// tables the maker writes (1 MiB of contexts, 1 MiB of match entries): they stay in
// the outer cache, which decodes 10-12% faster than 4 MiB each for 1-1.6% more output.
// The decoder's memory for a model is about 23 MB plus 2^tableBitsA bytes,
// 4 * 2^tableBitsB bytes and the section's window: 30 MB at level 6, 45 MB at 7, 66 MB
// at 8 and 100 MB at 9 for sections of full size (a decoder running two sections at
// once needs two).
const std::array<LevelPlan, kSmallestLevel> kLevels = {
    plan(CodecChoice::bwt, false, false),
    plan(CodecChoice::bwt, true, false),
    plan(CodecChoice::bwtOrLzSample, false, true),
    plan(CodecChoice::bwtOrLzSample, true, true),
    plan(CodecChoice::bwtOrLzWhole, true, true),
    plan(CodecChoice::cm, true, true, {20, 18, 4 * kMiB}),
    plan(CodecChoice::cm, true, true, {23, 21, 4 * kMiB}),
    plan(CodecChoice::cm, true, true, {24, 22, 8 * kMiB}),
    plan(CodecChoice::cm, true, true, {25, 23, 8 * kMiB}),
};

}  // namespace

LevelPlan levelPlan(int level) {
  const int clamped = std::clamp(level, kFastestLevel, kSmallestLevel);
  return kLevels[static_cast<std::size_t>(clamped - kFastestLevel)];
}

std::uint8_t historySizeCodeFor(std::size_t bytes) {
  constexpr std::uint32_t kLargestCode = 191;  // 2 GiB
  for (std::uint32_t code = 0; code < kLargestCode; ++code) {
    if (decodeSizeCode(static_cast<std::uint8_t>(code)) >= bytes) return static_cast<std::uint8_t>(code);
  }
  return static_cast<std::uint8_t>(kLargestCode);
}

}  // namespace quorvex
