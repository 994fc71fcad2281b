#include "container/maker_levels.hpp"

#include <algorithm>
#include <array>

#include "container/codec_params.hpp"

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

const std::array<LevelPlan, kSmallestLevel> kLevels = {
    plan(CodecChoice::bwt, false, false),
    plan(CodecChoice::bwt, true, false),
    plan(CodecChoice::bwtOrLzSample, false, false),
    plan(CodecChoice::bwtOrLzSample, true, false),
    plan(CodecChoice::bwtOrLzWhole, true, false),
    plan(CodecChoice::cm, true, false, {22, 20, 4 * kMiB}),
    plan(CodecChoice::cm, true, false, {23, 21, 4 * kMiB}),
    plan(CodecChoice::cm, true, true, {24, 22, 4 * kMiB}),
    plan(CodecChoice::cm, true, true, {24, 22, 8 * kMiB}),
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
