// The encoder's yardstick for piece settings: the exact number of bytes a piece
// codes to under a candidate choice, without writing the piece.
//
// A search tries choices that differ from the best one so far in one setting. The two
// channels' filter stages and class models are separate, and a piece's size is a sum
// of per-channel parts (class stream bytes, residual bits) plus the settings, so a
// candidate that changes filter stage s of channel c only reruns that channel from
// stage s on, from the stage outputs kept for the best choice. A change of channel
// mode or of the cross stage reruns the whole piece.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "codecs/audio/audio_block.hpp"
#include "codecs/audio/audio_model.hpp"
#include "codecs/audio/piece_writer.hpp"

namespace quorvex::audio {

// The bits a piece's settings take in its bit stream.
std::uint32_t settingsBits(const PieceSettings& settings, std::uint32_t channels);

class PieceTrials {
 public:
  PieceTrials();

  // Starts the trials of a piece coded from `model` (which must outlive them) and
  // measures the first choice, which becomes the reference. The sizes are those
  // PieceWriter writes; SIZE_MAX for a choice whose class stream is too long.
  std::size_t begin(const AudioModel& model, const PieceInput& in, const Choice& first);
  // The size of a candidate, rerunning only what differs from the reference.
  std::size_t measure(const Choice& candidate);
  // The candidate measured last becomes the reference.
  void acceptLast();

 private:
  static constexpr std::uint32_t kLayers = kFilterStages + 1;  // stage inputs, then residuals
  struct Run {
    Choice choice;
    // layer[s] holds the input of filter stage s, layer[3] the residuals; channel c's
    // values start at c * frames.
    std::array<std::vector<std::int32_t>, kLayers> layer;
    std::vector<std::uint8_t> classes;
    std::array<std::size_t, 2> classBytes{};
    std::array<std::uint64_t, 2> residualBits{};
  };

  void runWhole(Run& run);
  // Channel c from filter stage `from` on; run.layer[from] holds that stage's input.
  void runChannel(Run& run, std::uint32_t c, std::uint32_t from);
  std::size_t sizeOf(const Run& run) const;

  const AudioModel* model_ = nullptr;
  PieceInput in_;
  std::uint32_t channels_ = 1;
  Run reference_;
  Run candidate_;
  // The first stage rerun for each channel by the last measure (kLayers: not rerun,
  // and the same from the reference; wholeRun: everything).
  std::array<std::uint32_t, 2> rerunFrom_{};
  bool wholeRun_ = false;
  std::vector<std::uint8_t> classStream_;
};

}  // namespace quorvex::audio
