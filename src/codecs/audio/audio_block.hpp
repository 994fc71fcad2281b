// Audio blocks: the output is cut into pieces of at most 65536 bytes, each coded on
// its own (format byte, raw prefix and tail bytes, one class stream per channel, a
// bit stream of settings and residual bits) while the model runs on across them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "codecs/audio/audio_model.hpp"
#include "codecs/audio/audio_prediction.hpp"

namespace quorvex::audio {

inline constexpr std::uint32_t kPieceSize = 65536;
// Prefix code 6 says a length byte follows, giving 6..261 bytes; the other codes
// are the prefix length itself.
inline constexpr std::uint32_t kPrefixLengthCode = 6;
inline constexpr std::uint32_t kLongestPrefix = 261;

// The fields of a piece's format byte e = bit0 + 2 * (channelMode + 3 * (sample code
// + 5 * prefix code)); sample codes 0..4 are 8-bit, 16-bit big- and little-endian,
// 24-bit big- and little-endian.
struct PieceFormat {
  SampleLayout layout;
  std::uint32_t prefixCode = 0;
  std::uint32_t bit0 = 0;  // no effect on the samples
};

PieceFormat splitFormatByte(std::uint8_t e);
std::uint8_t joinFormatByte(const PieceFormat& format);

// The shape of a piece of P bytes with a k-byte prefix: L frames of C samples after
// the prefix, then the tail bytes that do not make a whole frame.
struct PieceGeometry {
  std::uint32_t frames = 0;
  std::uint32_t sampleBytes = 0;  // C * L * w
  std::uint32_t tailBytes = 0;
};
PieceGeometry pieceGeometry(std::uint32_t pieceSize, std::uint32_t prefix, const SampleLayout& layout);

// The predictor settings a piece's bit stream starts with.
struct PieceSettings {
  bool cross = false;
  std::array<std::uint8_t, 2> crossShift{20, 20};  // 16..31
  std::array<std::array<bool, 2>, kFilterStages> enabled{};
  std::array<std::array<std::uint8_t, 2>, kFilterStages> shift{};  // 8..15
};

// Codes the settings of a piece of `channels` channels and applies them to the model
// as they go by: a disabled filter is reset, a piece without the cross stage clears
// the cross predictors, an enabled one takes its shift.
template <class BitCoder>
void codePieceSettings(BitCoder& bits, AudioModel& model, PieceSettings& settings, std::uint32_t channels) {
  if (channels == 2) {
    settings.cross = bits.codeBits(1, settings.cross ? 1u : 0u) != 0;
    if (settings.cross) {
      for (std::uint32_t c = 0; c < 2; ++c) {
        settings.crossShift[c] = static_cast<std::uint8_t>(16u + bits.codeBits(4, settings.crossShift[c] - 16u));
        model.crossPredictors[c].shift = settings.crossShift[c];
      }
    } else {
      clearCrossPredictors(model.crossPredictors);
    }
  }
  for (std::uint32_t s = 0; s < kFilterStages; ++s) {
    for (std::uint32_t c = 0; c < channels; ++c) {
      AudioFilter& filter = model.filter(s, c);
      settings.enabled[s][c] = bits.codeBits(1, settings.enabled[s][c] ? 1u : 0u) != 0;
      if (settings.enabled[s][c]) {
        settings.shift[s][c] = static_cast<std::uint8_t>(8u + bits.codeBits(3, settings.shift[s][c] - 8u));
        filter.shift = settings.shift[s][c];
      } else {
        resetFilter(filter);
      }
    }
  }
}

// Undoes the prediction stages of a decoded piece in place: filter stages 2, 1, 0,
// then the cross stage. values holds channel 0's L values, then channel 1's.
void reconstructValues(AudioModel& model, const PieceSettings& settings, std::uint32_t channels, std::int32_t* values,
                       std::uint32_t frames, FilterBuild build);

// Per-piece scratch: classes and values of up to 65536 samples.
struct PieceScratch {
  std::array<std::uint8_t, kPieceSize> classes;
  std::array<std::int32_t, kPieceSize> values;
};

struct AudioDecoder {
  AudioModel model;
  PieceScratch scratch;
  FilterBuild filterBuild = FilterBuild::portable;  // the fastest one at creation
};
using AudioDecoderPtr = std::unique_ptr<AudioDecoder>;

AudioDecoderPtr createAudioDecoder();
void resetAudioDecoder(AudioDecoder& decoder);

// Decodes the piece of P bytes (1..65536) that starts at input[0]; input runs to the
// end of the block's payload. Returns the input bytes the piece occupies, 0 on
// failure: no input, a prefix or tail cut short or longer than the piece, a class
// stream whose length is missing or runs past the input, or a bit stream that ends
// past the input. Writes exactly P bytes at destination on success.
std::size_t decodeAudioPiece(AudioDecoder& decoder, std::span<const std::uint8_t> input, std::uint8_t* destination,
                             std::uint32_t pieceSize);

// Decodes a block of `length` output bytes piece by piece into `buffer` (at least one
// piece long), handing the bytes to emit(span) in batches as the buffer fills, so
// the output grows only as pieces are actually decoded. False when a piece fails;
// the batches emitted before it stay emitted.
template <class Emit>
bool decodeAudioBlock(AudioDecoder& decoder, std::span<const std::uint8_t> payload, std::uint32_t length,
                      std::span<std::uint8_t> buffer, Emit&& emit) {
  if (buffer.size() < kPieceSize) return false;
  std::size_t position = 0;
  std::size_t filled = 0;
  while (length > 0) {
    const std::uint32_t piece = length < kPieceSize ? length : kPieceSize;
    if (buffer.size() - filled < piece) {
      emit(buffer.first(filled));
      filled = 0;
    }
    const std::size_t used = decodeAudioPiece(decoder, payload.subspan(position), buffer.data() + filled, piece);
    if (used == 0) {
      if (filled) emit(buffer.first(filled));
      return false;
    }
    position += used;
    filled += piece;
    length -= piece;
  }
  if (filled) emit(buffer.first(filled));
  return true;
}

}  // namespace quorvex::audio
