// Block descriptors: the payload of a block record and the fields that say how to
// decode it and which post-stages run with which side data.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "format/record_stream.hpp"

namespace quorvex {

enum class CodecKind : std::uint8_t {
  bwt = 0,
  lz = 1,  // in context-mixing mode: reset the model's adaptation first
  audio = 2,
  cmWithoutTrailer = 3,
};

// A stage flag with its side data. The flag keeps the value read even when the data
// did not fit in what was left of the archive (the data then stays empty).
struct StageData {
  std::uint8_t flag = 0;
  std::vector<std::uint8_t> data;

  bool enabled() const { return flag != 0; }
};

inline constexpr std::uint8_t kLineBreakBit = 0x02;
inline constexpr std::uint8_t kNumericBit = 0x10;

struct BlockDescriptor {
  std::uint32_t packedSize = 0;
  std::span<const std::uint8_t> payload;  // a view into the archive image
  std::uint8_t codecKind = 0;
  std::uint8_t audioReset = 0;
  std::uint8_t sizePresent = 0;
  std::uint32_t unpackedSize = 0;
  std::uint8_t bwtSpareByte = 0;
  std::uint32_t bwtPrimaryIndex = 0;
  StageData bwtStageA;  // in-block matches
  StageData bwtStageB;  // history matches
  StageData wordRun;
  StageData delta;
  std::uint8_t spareByte = 0;
  std::uint8_t textTransformFlag = 0;
  std::uint8_t textTransformBits = 0;
  std::vector<std::uint8_t> lineBreakData;
  std::vector<std::uint8_t> numericData;
  StageData branchTarget;
};

// Parses the descriptor that follows a block record's head. Never fails: fields cut
// off by the end of the archive read as 0. cmMode: the active codec id is 7.
BlockDescriptor parseBlockDescriptor(RecordStream& stream, bool cmMode);

}  // namespace quorvex
