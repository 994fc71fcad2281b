// The sizes of the buffers every decoder of the format works in, which bound what an
// archive may hold: the maker plans its blocks to fit them.
#pragma once

#include <cstdint>

namespace quorvex {

// Codec output of every non-audio block accumulates here; LZ blocks and the history
// match stage may read any earlier byte of it.
inline constexpr std::uint32_t kHistoryWindowSize = 501048576;
// Codecs may read this many zero bytes before the window's first byte.
inline constexpr std::uint32_t kHistoryGuardSize = 64;
// Post-stages ping-pong between two buffers of this size.
inline constexpr std::uint32_t kWorkBufferSize = 101048576;

}  // namespace quorvex
