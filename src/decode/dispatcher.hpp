// The block dispatcher: one block record in, its bytes appended to the output image.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "codecs/audio/audio_block.hpp"
#include "codecs/cm/cm_codec.hpp"
#include "codecs/lz/lz_codec.hpp"
#include "format/block_descriptor.hpp"
#include "format/codec_params.hpp"
#include "decode/console.hpp"
#include "decode/decode_context.hpp"
#include "decode/decoded_output.hpp"
#include "format/record_stream.hpp"
#include "quorvex/decoder.hpp"

namespace quorvex {

// Decoder state that outlives a block.
struct CodecState {
  CodecParams params;   // the active codec parameters
  lz::LzDecoder lz;     // its model is created at the first LZ block, never reset
  cm::CmDecoderPtr cm;  // a fresh one for every codec-parameter record with codec id 7,
  bool cmBuilt = false;  // built at the first block of its section
  std::uint64_t memoryLimit = kDefaultMemoryLimit;  // for the context-mixing model; 0: none
  // Carried only across consecutive audio blocks: every other block resets it. It is
  // made at the first audio block, and a reset waits for the next one (audioStale), so
  // archives without audio never touch its tables.
  audio::AudioDecoderPtr audio;
  bool audioStale = false;
};

// At a member record: everything as at the start of an archive (an empty window, no
// LZ or context-mixing model, codec parameters all 0, the audio model reset before its
// next block).
void startMember(DecodeContext& context, CodecState& codecs);

// A codec-parameter record whose head was just read (count bytes) replaces the active
// parameters and ends any context-mixing section.
void applyCodecParams(RecordStream& stream, std::uint32_t count, CodecState& codecs);

// Decodes the block whose record head was just read; the stream is left after its
// descriptor. On failure returns false and says why in failure. The steps below are
// its parts, shared with the decoder that runs independent work side by side.
bool decodeBlock(RecordStream& stream, DecodeContext& context, CodecState& codecs, DecodedOutput& output,
                 const Console& console, std::string& failure);

// The two work buffers; each post-stage reads `current` and writes `other`.
struct WorkBuffers {
  std::uint8_t* current;
  std::uint8_t* other;
  void swap() { std::swap(current, other); }
};

// An audio block: its line, then its samples straight to the output, in batches
// through the context's first work buffer.
bool decodeAudio(const BlockDescriptor& block, DecodeContext& context, CodecState& codecs, DecodedOutput& output,
                 const Console& console, std::string& failure);

// Runs the codec the descriptor and the active mode select (not audio); its output
// stands at the history cursor, n bytes long. Prints the block's line first.
bool decodeCodec(const BlockDescriptor& block, DecodeContext& context, CodecState& codecs, const Console& console,
                 std::uint32_t& n, std::string& failure);

// A BWT block's history-match stage, when it has one: its n-byte codec output stands
// at the cursor and is replaced there by the expanded bytes.
bool expandHistoryAtCursor(const BlockDescriptor& block, DecodeContext& context, std::uint32_t& n,
                           std::string& failure);

// The room the post-stages of a block starting at the cursor may fill.
std::uint32_t stageCapacityAt(const DecodeContext& context);

// The codec output stays in the window for later blocks: copies its n bytes to the
// work buffer and advances the cursor past them. False when it exceeds a work buffer.
bool moveCodecOutput(DecodeContext& context, std::uint32_t n, std::uint8_t* work, std::string& failure);
// The same for codec output already in a work buffer: the cursor passes its n bytes.
bool passCodecOutput(DecodeContext& context, std::uint32_t n, std::string& failure);

// The post-stages in their fixed order, each from buffers.current into buffers.other
// (at most capacity bytes); the block's bytes end in buffers.current, n long. Blocks of
// 263 bytes or fewer pass the delta stage unchanged; a block of no bytes fails.
bool runPostStages(const BlockDescriptor& block, WorkBuffers& buffers, std::uint32_t capacity, bool cmMode,
                   std::uint32_t& n, std::string& failure);
bool finishBlock(const BlockDescriptor& block, WorkBuffers& buffers, std::uint32_t capacity, bool cmMode,
                 std::uint32_t& n, std::string& failure);

// The checks of a context-mixing block, for a decoder that runs its model elsewhere.
bool payloadComplete(const BlockDescriptor& block, std::string& failure);
std::string cmModelFailure(const CodecParams& params);
// A context-mixing section's model, built at its first block (`built` keeps a failed
// attempt from being retried) unless it needs more than memoryLimit.
bool buildCmModel(const CodecParams& params, std::uint64_t memoryLimit, cm::CmDecoderPtr& model, bool& built,
                  std::string& failure);
// Why a section's model may not be built under memoryLimit (0: no limit); empty when it may.
std::string cmOverMemoryLimit(const CodecParams& params, std::uint64_t memoryLimit);
std::string cmTooLarge(std::uint32_t unpackedSize, std::uint32_t room);
inline constexpr const char* kCmWithoutSize = "context-mixing block without its size";

}  // namespace quorvex
