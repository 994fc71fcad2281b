// Decoding with several threads. The output, the console lines and the failure are
// exactly those of the one-thread record loop; only the time differs.
//
// What may run side by side: a context-mixing section (a codec-parameter record with
// codec id 7 starts one with a fresh model) depends on no other block, so sections
// decode on the workers, several at once when their models fit the memory budget (the
// memory limit of the options, else half the machine's memory) and each decodes to a
// MiB or more (smaller ones take their turn alone). A BWT block's codec
// needs only its own payload: blocks decode on the workers in buffers of their own,
// at most threads + 1 ahead of the calling thread, and are put in place in archive
// order, where their history-match stage (which reads the window) runs. A block's
// segments and link chase are offered to idle workers, oldest block first, and the
// next block starts only once no segment of the one before is left to take. The
// post-stages of a block need only its codec output, so they run while the next
// blocks decode, on the workers (a BWT block's once no decode is waiting for one, or on
// the calling thread when it must commit them); the sink receives block i while
// block i + 1 decodes.
//
// What stays in archive order, on the calling thread: LZ blocks, which read the
// window and the model left by the previous one; any BWT block whose detached
// decode failed or needed more room than the window leaves where it lands (the
// in-place decoder then decides, as on one thread); and, when a BWT payload takes the
// window's bytes past the cursor as they stand (a segment without coded bytes, say),
// that block and every BWT block before it, decoded in place so that those bytes are
// the ones one thread's in-place decodes leave there.
//
// An archive of several members goes another road when memory lets two or more of
// them run at once: each member decodes on its own, side by side
// (parallel_members.hpp).
#pragma once

#include <cstdint>
#include <span>

#include "decode/decode_context.hpp"
#include "format/record_stream.hpp"
#include "quorvex/decoder.hpp"

namespace quorvex {

// The record loop for options.threads > 1. The stream stands after the header of
// `archive`; the context's buffers are fresh.
DecodeResult decodeRecordsInParallel(std::span<const std::uint8_t> archive, RecordStream& stream,
                                     DecodeContext& context, OutputSink& sink, const DecodeOptions& options);

}  // namespace quorvex
