// The Burrows-Wheeler transform of a block, both directions.
//
// Convention: the n cyclic rotations of the block are sorted in increasing unsigned
// byte order; the transformed block is the last byte of each sorted rotation; the
// primary index is the row of the untransformed block. There is no sentinel byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace quorvex::bwt {

// Blocks below this size chase packed (position << 8 | byte) links; larger ones keep
// positions alone and read the bytes from a copy.
inline constexpr std::uint32_t kPackedLinkLimit = 1u << 24;

// Room the inverse needs from the block's start: the block, up to three bytes of
// alignment, and a 32-bit link per byte.
constexpr std::uint64_t inverseBwtRoom(std::uint32_t n) { return 5ull * n + 3; }

// Blocks from this size on are rebuilt from both ends at once (two chains through the
// links, interleaved on one thread or one on each of two), when the room holds the
// second chain's link table: 4 more bytes per byte.
inline constexpr std::uint32_t kTwoChainMinimum = 1u << 20;
constexpr std::uint64_t twoChainRoom(std::uint32_t n) { return 9ull * n + 3; }

// Inverts a transformed block of n bytes in place. The link table lives in the same
// buffer after the block, so room (bytes usable from buffer) must be at least
// inverseBwtRoom(n). Returns false, touching nothing, when the room is short or the
// primary index is not a row of the block; false also when the copy a block of
// kPackedLinkLimit bytes or more needs cannot be allocated. A block of kTwoChainMinimum
// bytes or more with twoChainRoom(n) of room is rebuilt from both ends, on two threads
// when threads >= 2; the result is the same.
bool inverseBwt(std::uint8_t* buffer, std::uint32_t n, std::uint32_t primaryIndex, std::size_t room,
                unsigned threads = 1);

struct ForwardBwt {
  std::vector<std::uint8_t> transformed;
  std::uint32_t primaryIndex = 0;
};

// Sorts the cyclic rotations (prefix doubling with radix passes) and returns the
// transformed block with its primary index. An empty block gives an empty result.
ForwardBwt forwardBwt(std::span<const std::uint8_t> block);

}  // namespace quorvex::bwt
