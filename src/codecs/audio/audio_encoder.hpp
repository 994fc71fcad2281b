// The audio encoder: the decoder's model run forward, with a per-piece search for
// the channel mode and predictor settings that code the piece smallest, as hard as
// the caller's effort asks.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "codecs/audio/audio_block.hpp"
#include "codecs/audio/audio_model.hpp"

namespace quorvex::audio {

// What an audio block holds: `headerBytes` raw bytes (at most 261), then frames of
// `channels` samples of `sampleWidth` bytes to the end of the block; a last partial
// frame travels raw.
struct AudioBlockFormat {
  std::uint32_t channels = 2;     // 1 or 2
  std::uint32_t sampleWidth = 2;  // bytes, 1..3
  bool littleEndian = true;
  bool unsignedSamples = false;  // 8-bit WAV samples are unsigned
  std::uint32_t headerBytes = 0;
};

// How hard the encoder searches for each piece's settings. Each effort codes at
// least as small as the one below on the usual material and costs more trial codings
// of each piece (see searchPlanFor in audio_encoder.cpp for the figures).
enum class AudioEffort : std::uint8_t { fast, medium, thorough };

class AudioEncoder {
 public:
  explicit AudioEncoder(AudioEffort effort = AudioEffort::thorough);
  ~AudioEncoder();
  AudioEncoder(const AudioEncoder&) = delete;
  AudioEncoder& operator=(const AudioEncoder&) = delete;

  // Mirrors a decoder reset (a non-audio block, or an audio block's reset flag).
  void reset();
  // An encoder in this one's state: it codes the next blocks as this one would.
  std::unique_ptr<AudioEncoder> clone() const;
  // The payload of one audio block whose output is data. Empty on failure (a header
  // longer than 261 bytes, or a piece whose class stream outgrows its length field);
  // the model is then left as it was.
  std::vector<std::uint8_t> encodeBlock(std::span<const std::uint8_t> data, const AudioBlockFormat& format);

 private:
  struct Work;
  std::unique_ptr<Work> work_;
};

}  // namespace quorvex::audio
