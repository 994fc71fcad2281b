// Prediction stages of the audio codec, in both directions.
//
// A channel's values (first differences of its samples) pass, when decoding, through
// filter stages 2, 1 and 0, then the cross-channel stage; encoding runs the same
// stages forward in the opposite order. A stage's input is a residual r, its output
// x = r + prediction; both directions then update the stage from (x, r) with the same
// code, so encoder and decoder stay in step.
//
// Arithmetic is 32-bit two's complement with wrap-around (the cross sum 64-bit); the
// helpers below make every wrap explicit.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "codecs/audio/audio_model.hpp"

namespace quorvex::audio {

constexpr std::int32_t wrapAdd(std::int32_t a, std::int32_t b) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}
constexpr std::int32_t wrapSub(std::int32_t a, std::int32_t b) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) - static_cast<std::uint32_t>(b));
}
constexpr std::int16_t saturate16(std::int32_t v) {
  return static_cast<std::int16_t>(v < -32768 ? -32768 : v > 32767 ? 32767 : v);
}

// The value a filter keeps in its window for an output x, and that value's
// adaptation term (what the weight of its tap moves by).
constexpr std::int16_t storedLongValue(std::int32_t x) { return saturate16(x); }
// Without branches on the value, whose sign follows the signal: with s = 0 or all
// ones, (m ^ s) - s is m or -m; for v = 0 the bit count is 0 and the comparison adds 1.
constexpr std::int16_t longTerm(std::int16_t v) {
  const std::uint32_t sign = 0u - static_cast<std::uint32_t>(v < 0);
  const std::uint32_t magnitude = (static_cast<std::uint32_t>(v) ^ sign) - sign;
  const auto bits = static_cast<std::uint32_t>(std::bit_width(magnitude));
  return static_cast<std::int16_t>(((bits ^ sign) - sign) + static_cast<std::uint32_t>(v == 0));
}
constexpr std::int16_t storedShortValue(std::int32_t x) {
  return static_cast<std::int16_t>(static_cast<std::uint16_t>(static_cast<std::uint32_t>(x) & 0xFFFFu));
}
constexpr std::int16_t shortTerm(std::int16_t v) { return static_cast<std::int16_t>(v > 0 ? 1 : v < 0 ? -1 : 0); }

// The two roundings of a dot product d shifted right: toward zero for long filters,
// toward minus infinity for short ones.
// Without a branch on the sign, as above.
constexpr std::int32_t longRounding(std::int32_t d, std::uint32_t shift) {
  const std::uint32_t sign = 0u - static_cast<std::uint32_t>(d < 0);
  const std::uint32_t magnitude = (static_cast<std::uint32_t>(d) ^ sign) - sign;
  return static_cast<std::int32_t>(((magnitude >> shift) ^ sign) - sign);
}
constexpr std::int32_t shortRounding(std::int32_t d, std::uint32_t shift) { return d >> shift; }

// Updates a filter after it output x for input residual r: adapt the weights, slide
// the window, push x, compute the next prediction.
void stepLongFilter(AudioFilter& filter, std::int32_t x, std::int32_t r);
void stepShortFilter(AudioFilter& filter, std::int32_t x, std::int32_t r);

// Runs one filter over n values of a channel in place: decoding turns residuals into
// outputs, encoding outputs into residuals.
void runFilter(AudioFilter& filter, std::int32_t* values, std::size_t n);
void runFilterForward(AudioFilter& filter, std::int32_t* values, std::size_t n);

// The builds of the filter stages: the portable loops, and vector builds for
// processors that have SSE4.1 or AVX2. All give the same values and filter states.
enum class FilterBuild : std::uint8_t { portable, sse41, avx2 };
bool filterBuildAvailable(FilterBuild build);
FilterBuild fastestFilterBuild();

// Runs the enabled ones among stages 2, 1 and 0 of one channel (stages[s] is stage s)
// over its n values in place, with the given build (which must be available).
void runChannelFilters(FilterBuild build, const std::array<AudioFilter*, kFilterStages>& stages,
                       const std::array<bool, kFilterStages>& enabled, std::int32_t* values, std::size_t n);

// The cross stage for one sample, in two halves: crossPrediction records b, the
// other channel's value in view, and returns the term added to the channel's value;
// crossAdapt then learns from the stage's input a and output y.
std::int32_t crossPrediction(CrossPredictor& p, std::int32_t b);
void crossAdapt(CrossPredictor& p, std::int32_t a, std::int32_t y);

inline std::int32_t crossPredict(CrossPredictor& p, std::int32_t a, std::int32_t b) {
  const std::int32_t y = wrapAdd(a, crossPrediction(p, b));
  crossAdapt(p, a, y);
  return y;
}

// The cross stage over a piece: channel 0 sees channel 1's previous output (0 at the
// start of every piece), channel 1 sees channel 0's output of the same instant.
void runCrossStage(std::array<CrossPredictor, 2>& pair, std::int32_t* ch0, std::int32_t* ch1, std::size_t n);
void runCrossStageForward(std::array<CrossPredictor, 2>& pair, std::int32_t* ch0, std::int32_t* ch1, std::size_t n);

// How a piece's samples are laid out in the output.
struct SampleLayout {
  std::uint32_t channelMode = 0;  // 0: mono; 1: two channels as they are; 2: mid/side
  std::uint32_t sampleWidth = 2;  // bytes, 1..3
  bool littleEndian = true;
  std::uint32_t channels() const { return channelMode == 0 ? 1u : 2u; }
};

// Integrates each channel's values, undoes mid/side and stores n frames.
void writeSamples(std::uint8_t* destination, std::size_t n, const std::int32_t* ch0, const std::int32_t* ch1,
                  const SampleLayout& layout);
// The inverse for the encoder: n frames of samples (already sign-extended, or as the
// encoder chooses to read them) into per-channel first differences.
void samplesToValues(const std::int32_t* first, const std::int32_t* second, std::size_t n, std::uint32_t channelMode,
                     std::int32_t* ch0, std::int32_t* ch1);

}  // namespace quorvex::audio
