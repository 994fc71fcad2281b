// Chasing the inverse transform's link chain as many short chains at once.
//
// The chain from the primary row is one long series of dependent loads, each a cache
// miss once the link table outgrows the cache: the core waits for one miss at a time.
// Here every row whose number is a multiple of a spacing S is a mark; the chain is cut
// at the marks into segments, and several lanes chase different segments in one loop,
// so their misses overlap. Each segment's bytes go to chunks of a scratch area; when
// all are done, the segments are joined in chain order (each one records the mark
// that ended it) into the output.
#pragma once

#include <cstddef>
#include <cstdint>

#include "threads/task_threads.hpp"

namespace quorvex::bwt {

// Bytes of scratch the lanes write to for a block of n bytes.
std::uint64_t linkLaneScratch(std::uint32_t n, unsigned threads);

// Writes the n bytes the packed links (links[row] = next row << 8 | byte) yield from
// primaryIndex on, exactly as one plain chase would: when the primary row's cycle is
// shorter than n (no real transform does that), its bytes repeat. scratch: at least
// linkLaneScratch(n, threads.count) bytes, not overlapping out or links. With two
// threads or more it chases on two.
void chaseLinkLanes(const std::uint32_t* links, std::uint32_t n, std::uint32_t primaryIndex, std::uint8_t* out,
                    std::uint8_t* scratch, const TaskThreads& threads);

}  // namespace quorvex::bwt
