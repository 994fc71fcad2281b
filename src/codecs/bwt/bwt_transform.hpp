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

#include "threads/task_threads.hpp"

namespace quorvex::bwt {

// Blocks below this size chase packed (position << 8 | byte) links; larger ones keep
// positions alone and read the bytes from a copy.
inline constexpr std::uint32_t kPackedLinkLimit = 1u << 24;

// Room the inverse needs from the block's start: the block, up to three bytes of
// alignment, and a 32-bit link per byte.
constexpr std::uint64_t inverseBwtRoom(std::uint32_t n) { return 5ull * n + 3; }

// Packed blocks from this size on (link tables beyond the second-level cache) chase
// their chain as many segments at once (see link_lanes.hpp), with about n bytes of
// scratch taken from the room behind the link table when it is there.
inline constexpr std::uint32_t kLaneMinimum = 1u << 18;

// Blocks of kPackedLinkLimit bytes or more are rebuilt from both ends on two threads
// when the room holds the second chain's link table: 4 more bytes per byte.
constexpr std::uint64_t twoChainRoom(std::uint32_t n) { return 9ull * n + 3; }

// Inverts a transformed block of n bytes in place. The link table lives in the same
// buffer after the block, so room (bytes usable from buffer) must be at least
// inverseBwtRoom(n). Returns false, touching nothing, when the room is short or the
// primary index is not a row of the block; false also when the copy a block of
// kPackedLinkLimit bytes or more needs cannot be allocated. With two threads or more
// the chase may use a second one; the result is the same.
bool inverseBwt(std::uint8_t* buffer, std::uint32_t n, std::uint32_t primaryIndex, std::size_t room,
                const TaskThreads& threads = {});

struct ForwardBwt {
  std::vector<std::uint8_t> transformed;
  std::uint32_t primaryIndex = 0;
};

// Sorts the cyclic rotations (with a suffix sorter, libdivsufsort) and returns the
// transformed block with its primary index. An empty block gives an empty result.
// Blocks are at most a work buffer long, far below the sorter's 2^31 limit. A block that
// is no power of a shorter string is sorted as its least rotation, n suffixes (about
// 5 bytes of memory per byte); a periodic one as forwardBwtOfDoubledBlock does.
ForwardBwt forwardBwt(std::span<const std::uint8_t> block);

// The same transform from the 2n suffixes of the block written twice (about 11 bytes
// per byte). Equal rotations of a periodic block are ordered by the suffixes they
// start, the latest first; any of them decodes.
ForwardBwt forwardBwtOfDoubledBlock(std::span<const std::uint8_t> block);

}  // namespace quorvex::bwt
