// The adaptive state of the audio codec, shared by its decoder and its encoder.
//
// One object lives for a whole run: two class models (one per channel), six FIR
// filters (three cascaded stages per channel) and a pair of cross-channel predictors.
// Everything carries over from piece to piece and from audio block to audio block;
// the dispatcher resets it before every non-audio block and on request.
#pragma once

#include <array>
#include <cstdint>

namespace quorvex::audio {

inline constexpr std::uint32_t kClassCount = 64;

// The 672 cells of one channel's residual-class model: a 6-level binary tree with a
// state per node, a 9-bucket probability map per node indexed by that state, and the
// cells of the unary part of zero-run lengths.
struct ClassModel {
  static constexpr std::uint32_t kMapColumns = 9;
  static constexpr std::uint32_t kMapBase = 64;
  static constexpr std::uint32_t kRunBase = 640;
  std::array<std::uint16_t, 672> cells;

  std::uint16_t& nodeState(std::uint32_t node) { return cells[node]; }
  std::uint16_t* nodeMap(std::uint32_t node) { return &cells[kMapBase + kMapColumns * node]; }
  std::uint16_t& runCell(std::uint32_t step) { return cells[kRunBase + step]; }
};

// One adaptive FIR stage of one channel. The history is a window sliding down an
// oversized buffer: the k-th newest value sits at cursor + k and its adaptation term
// at cursor + 512 + k, so that weights, values and terms are contiguous 16-bit runs.
struct AudioFilter {
  static constexpr std::uint32_t kTermOffset = 512;
  static constexpr std::uint32_t kBufferSize = 3072;
  static constexpr std::uint32_t kResetCursor = 2048;
  std::int32_t prediction = 0;
  std::uint16_t order = 0;
  std::uint8_t shift = 8;
  std::uint32_t cursor = kResetCursor;
  alignas(32) std::array<std::int16_t, 512> weights{};
  alignas(32) std::array<std::int16_t, kBufferSize> buffer{};

  // Filters of more than 8 taps saturate; shorter ones wrap (see audio_prediction.hpp).
  bool isLong() const { return order > 8; }
};

// Predicts one channel from its own recent output and the other channel's values.
// Both windows keep their first `span` entries as alternating differences.
struct CrossPredictor {
  static constexpr std::uint32_t kHistorySize = 1152;
  static constexpr std::uint32_t kResetCursor = 1024;
  std::uint8_t shift = 23;
  std::uint8_t ownTaps = 8;
  std::uint8_t ownSpan = 8;
  std::uint32_t ownCursor = kResetCursor;
  std::array<std::int32_t, 128> ownWeights{};
  std::array<std::int32_t, kHistorySize> ownHistory{};
  std::uint8_t crossTaps = 4;
  std::uint8_t crossSpan = 4;
  std::uint32_t crossCursor = kResetCursor;
  std::array<std::int32_t, 128> crossWeights{};
  std::array<std::int32_t, kHistorySize> crossHistory{};
};

inline constexpr std::uint32_t kFilterStages = 3;
inline constexpr std::uint32_t kLongOrder = 96;
inline constexpr std::uint32_t kShortOrder = 8;

// The adaptive state proper; the encoder keeps one too, and copies it to try settings.
struct AudioModel {
  std::array<ClassModel, 2> classModels;
  std::array<CrossPredictor, 2> crossPredictors;
  std::array<AudioFilter, 2 * kFilterStages> filters;  // stage-major: stage s, channel c at 2s + c

  AudioFilter& filter(std::uint32_t stage, std::uint32_t channel) { return filters[2 * stage + channel]; }
};

// Class models initialised, filter orders 96, 96, 8, 8, 8, 8, everything reset.
void initAudioModel(AudioModel& model);
// Back to the state just after initialisation; filter orders and shifts are kept.
void resetAudioModel(AudioModel& model);
void initClassModel(ClassModel& model);
void resetFilter(AudioFilter& filter);
void clearCrossPredictors(std::array<CrossPredictor, 2>& pair);

}  // namespace quorvex::audio
