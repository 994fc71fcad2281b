// The block dispatcher: one block record in, its bytes appended to the output image.
#pragma once

#include <cstdint>
#include <string>

#include "codecs/audio/audio_block.hpp"
#include "codecs/cm/cm_codec.hpp"
#include "codecs/lz/lz_codec.hpp"
#include "container/block_descriptor.hpp"
#include "container/codec_params.hpp"
#include "container/console.hpp"
#include "container/decode_context.hpp"
#include "container/decoded_output.hpp"
#include "container/record_stream.hpp"
#include "quorvex/decoder.hpp"

namespace quorvex {

// Decoder state that outlives a block.
struct CodecState {
  CodecParams params;   // the active codec parameters
  lz::LzDecoder lz;     // its model is created at the first LZ block, never reset
  cm::CmDecoderPtr cm;  // a fresh one for every codec-parameter record with codec id 7,
  bool cmBuilt = false;  // built at the first block of its section
  std::uint64_t memoryLimit = kDefaultMemoryLimit;  // for the context-mixing model; 0: none
  // Carried only across consecutive audio blocks: every other block resets it.
  audio::AudioDecoderPtr audio = audio::createAudioDecoder();
};

// Decodes the block whose record head was just read; the stream is left after its
// descriptor. On failure returns false and says why in failure.
bool decodeBlock(RecordStream& stream, DecodeContext& context, CodecState& codecs, DecodedOutput& output,
                 const Console& console, std::string& failure);

}  // namespace quorvex
