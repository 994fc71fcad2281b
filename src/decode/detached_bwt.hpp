// A BWT block's codec decoded away from the history window, so that blocks can
// decode side by side before their place in the window is known.
//
// Only the history-match stage reads the window (the bytes before the block); it
// runs when the block is put in place. The room checks depend on where the block
// lands, so the decode records the room it needed: wherever the window leaves at
// least that much, decoding in place gives the same lines and bytes. Anything else
// (a failure, too little room) is left to the in-place decoder, which then decides
// exactly as it would have on one thread.
#pragma once

#include <cstdint>

#include "threads/task_threads.hpp"
#include "format/block_descriptor.hpp"
#include "decode/console.hpp"
#include "decode/decode_context.hpp"

namespace quorvex {

// Buffers one block decodes in; reused from block to block (a detached decode never
// reads a byte it did not write, so what an earlier block left there does not matter:
// payloads that would take such bytes decode in place only).
struct DetachedBwtBuffers {
  ZeroedBuffer block;     // the payload, its regions and the link table: free once decoded
  ZeroedBuffer expanded;  // the codec output from its start, n bytes (the in-block match stage's, when it runs)
  // A block buffer too small for the block is made anew at least this large: sized for
  // the largest block to come, it is never made twice (fresh pages cost far more than
  // reused ones).
  std::uint64_t blockSizeFloor = 0;
};

struct DetachedBwt {
  std::uint32_t n = 0;  // the codec output's length, before the history-match stage (in `expanded`)
  std::uint64_t windowRoom = 0;    // the room the decode needed from the block's start
  std::uint64_t stageRoom = 0;     // the room its in-block match stage needed (0: none)

  // Whether decoding in place where the window leaves `room` bytes takes the same path.
  bool fitsRoom(std::uint32_t room) const;
};

// The block buffer the block decodes in (0: it decodes in place only). A buffer this
// large serves every smaller block too.
std::uint64_t detachedBlockBufferSize(const BlockDescriptor& block);

// Prints the block's line and its trace to console. The payload's segments and the
// inverse transform's chase may take the threads `threads` lends. False when the
// block fails or does not fit its buffers: the in-place decoder decides.
bool decodeBwtDetached(const BlockDescriptor& block, DetachedBwtBuffers& buffers, const Console& console,
                       const TaskThreads& threads, DetachedBwt& result);

}  // namespace quorvex
