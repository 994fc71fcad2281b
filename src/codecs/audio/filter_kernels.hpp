// Vector builds of one channel's filter stages, for processors with SSE4.1 or AVX2.
//
// Each build lives in a file of its own compiled for its instruction set. They see a
// filter only through plain pointers, so that no inline function of the other headers
// is compiled there with instructions an older processor lacks.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quorvex::audio {

struct FilterLanes {
  std::int16_t* weights = nullptr;
  std::int16_t* buffer = nullptr;
  std::uint32_t* cursor = nullptr;
  std::int32_t* prediction = nullptr;
  std::uint32_t shift = 8;
  bool enabled = false;
};

// Runs the enabled stages among stages[2], stages[1] and stages[0] (orders 8, 8 and
// 96) over n values in place, as the portable loops do one stage after the other.
// Only defined where the processor family has these builds (x86-64).
void runChannelStagesSse41(const FilterLanes* stages, std::int32_t* values, std::size_t n);
void runChannelStagesAvx2(const FilterLanes* stages, std::int32_t* values, std::size_t n);

}  // namespace quorvex::audio
