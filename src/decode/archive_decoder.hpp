// The record loop over an archive whose header has been checked.
#pragma once

#include "decode/decode_context.hpp"
#include "format/record_stream.hpp"
#include "quorvex/decoder.hpp"

namespace quorvex {

// Walks the records after the header: block records are decoded into output, codec
// parameter records change the active codec, integrity records of this project are
// verified, every other record is skipped. The
// context's buffers are used as they stand (decodeArchive hands in fresh ones).
DecodeResult decodeRecords(RecordStream& stream, DecodeContext& context, OutputSink& output,
                           const DecodeOptions& options);

}  // namespace quorvex
