// Members side by side. A member starts afresh (an empty window, no models, codec
// parameters 0), so members share nothing but the order of their output and the
// integrity chain that runs over all of it: each member decodes on a worker in a window
// of its own, and the calling thread commits their output, console lines and integrity
// checks in archive order, exactly as one thread would (member_decoder.hpp).
//
// Memory: a member in flight touches its window (as much of it as its blocks fill),
// its work buffers, and the output it holds back for the commit (about its window's
// worth, at least kLeastHeldOutput: beyond that it waits). Members in flight are
// bounded by the threads and by a memory budget; when the budget takes only one, or
// no block reads the window, the archive goes the ordinary parallel road instead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "decode/decode_context.hpp"
#include "decode/decode_plan.hpp"
#include "format/record_stream.hpp"
#include "quorvex/decoder.hpp"

namespace quorvex {

struct MemberSpan {
  std::size_t start = 0;          // where its first record starts in the archive
  std::uint64_t windowBytes = 0;  // the window its non-audio blocks fill (at most the window)
  std::uint64_t largestBlock = 0;  // its largest block's codec output
};

// The members of a planned archive in order; one, the whole archive, when it has no
// member records. firstRecord: where the record after the header starts.
std::vector<MemberSpan> planMembers(const DecodePlan& plan, std::size_t firstRecord, std::uint32_t windowSize);

// Output a member may hold back for the commit before it waits for it: about its
// window's worth, so that members of the same size run side by side start to end, and
// at least kLeastHeldOutput, so that one of audio blocks (which fill no window) runs
// ahead too. It bounds the member the commit is taking as well, for a slow sink.
inline constexpr std::uint64_t kLeastHeldOutput = std::uint64_t{16} << 20;
std::uint64_t heldOutputBound(const MemberSpan& member, std::uint64_t leastHeldOutput = kLeastHeldOutput);

// The memory one member in flight may touch: its window, the output it holds back,
// and its two work buffers.
std::uint64_t memberFootprint(const MemberSpan& member);

// How many members may decode side by side within the threads and the budget; below 2,
// members do not go side by side. Only for a plan with a block that reads the window
// (an LZ block, a history-match stage), which the ordinary road runs in archive order:
// without one, that road runs blocks of every member side by side already, with less
// memory (one window) and, on BWT blocks, as fast or faster. Never for a plan with a
// block that takes the bytes a window holds as they stand past the cursor: those are
// what earlier members' blocks left there in one thread's window, so such an archive
// decodes alike only in one window.
unsigned membersSideBySide(const DecodePlan& plan, const std::vector<MemberSpan>& members, unsigned threads,
                           std::uint64_t budget);

// Decodes the archive's members, up to inFlight of them at once. The stream stands at
// the end of the archive (after planning), the context's buffers are fresh.
// leastHeldOutput: for tests, which make members wait with small ones.
DecodeResult decodeMembersSideBySide(std::span<const std::uint8_t> archive, const RecordStream& stream,
                                     DecodeContext& context, OutputSink& sink, const DecodeOptions& options,
                                     const std::vector<MemberSpan>& members, unsigned inFlight,
                                     std::uint64_t leastHeldOutput = kLeastHeldOutput);

}  // namespace quorvex
