// Constants of the archive format that callers of the library may need.
#pragma once

#include <cstdint>

namespace quorvex {

// The codec id of a codec-parameter record that switches to context mixing.
inline constexpr std::uint8_t kCmCodecId = 7;

}  // namespace quorvex
