// Decoding with several threads. The output, the console lines and the failure are
// exactly those of the one-thread record loop; only the time differs.
//
// What may run side by side: a context-mixing section (a codec-parameter record with
// codec id 7 starts one with a fresh model) depends on no other block, so sections
// decode on the workers, several at once when their models fit the memory budget (the
// memory limit of the options, else half the machine's memory); the
// post-stages of a block need only its codec output, so they run on the workers while
// the next block decodes; the sink receives block i while block i + 1 decodes.
//
// What stays in archive order, on the calling thread: the codecs that write into the
// history window (LZ and BWT). An LZ block reads the window and the model left by the
// previous one; a BWT block decodes in place at the window's cursor, and a damaged or
// hostile payload may take bytes its decoding never wrote from there (what earlier
// blocks left past their end). Decoding those in the window, in order, keeps every
// such byte what one thread gives.
#pragma once

#include <cstdint>
#include <span>

#include "container/decode_context.hpp"
#include "container/record_stream.hpp"
#include "quorvex/decoder.hpp"

namespace quorvex {

// The record loop for options.threads > 1. The stream stands after the header of
// `archive`; the context's buffers are fresh.
DecodeResult decodeRecordsInParallel(std::span<const std::uint8_t> archive, RecordStream& stream,
                                     DecodeContext& context, OutputSink& sink, const DecodeOptions& options);

}  // namespace quorvex
