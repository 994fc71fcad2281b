// One audio piece written with chosen settings: the decoder's steps run forward.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "codecs/audio/audio_block.hpp"
#include "codecs/audio/audio_model.hpp"

namespace quorvex::audio {

// How a piece is coded: its channel layout and its predictor settings.
struct Choice {
  std::uint32_t channelMode = 0;
  PieceSettings settings;
};

// One piece's input: its raw bytes and its samples as numbers.
struct PieceInput {
  std::span<const std::uint8_t> prefix;
  std::span<const std::uint8_t> tail;
  const std::int32_t* first = nullptr;   // channel 0's samples
  const std::int32_t* second = nullptr;  // channel 1's
  std::uint32_t frames = 0;
  PieceFormat format;
};

class PieceWriter {
 public:
  // Codes a piece with the given choice onto out, running the model forward. False
  // when a class stream is too long for its 16-bit length.
  bool write(AudioModel& model, const PieceInput& in, const Choice& choice, std::vector<std::uint8_t>& out);

 private:
  PieceScratch scratch_;
  std::vector<std::uint8_t> classBytes_;
  std::vector<std::uint8_t> bitBytes_;
};

}  // namespace quorvex::audio
