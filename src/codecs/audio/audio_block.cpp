#include "codecs/audio/audio_block.hpp"

#include <cstring>

#include "codecs/audio/audio_classes.hpp"
#include "codecs/audio/class_decoder.hpp"
#include "model/number_codes.hpp"
#include "model/binary_coder.hpp"

namespace quorvex::audio {
namespace {

constexpr std::uint32_t kSampleCodes = 5;

}  // namespace

PieceFormat splitFormatByte(std::uint8_t e) {
  PieceFormat format;
  format.bit0 = e & 1u;
  format.layout.channelMode = (e / 2u) % 3u;
  const std::uint32_t sampleCode = (e / 6u) % kSampleCodes;
  format.layout.sampleWidth = (sampleCode + 1u) / 2u + 1u;
  format.layout.littleEndian = sampleCode == 0 || sampleCode % 2u == 0;
  format.prefixCode = e / 30u;
  return format;
}

std::uint8_t joinFormatByte(const PieceFormat& format) {
  const SampleLayout& layout = format.layout;
  const std::uint32_t sampleCode = layout.sampleWidth == 1 ? 0u : 2u * layout.sampleWidth - (layout.littleEndian ? 2u : 3u);
  return static_cast<std::uint8_t>(format.bit0 + 2u * (layout.channelMode + 3u * (sampleCode + kSampleCodes * format.prefixCode)));
}

PieceGeometry pieceGeometry(std::uint32_t pieceSize, std::uint32_t prefix, const SampleLayout& layout) {
  const std::uint32_t rest = pieceSize - prefix;
  const std::uint32_t samples = rest / layout.sampleWidth;
  PieceGeometry geometry;
  geometry.frames = layout.channels() == 1 ? samples : samples / 2;
  geometry.sampleBytes = layout.channels() * geometry.frames * layout.sampleWidth;
  geometry.tailBytes = rest - geometry.sampleBytes;
  return geometry;
}

AudioDecoderPtr createAudioDecoder() {
  auto decoder = std::make_unique<AudioDecoder>();
  initAudioModel(decoder->model);
  decoder->filterBuild = fastestFilterBuild();
  return decoder;
}

void resetAudioDecoder(AudioDecoder& decoder) { resetAudioModel(decoder.model); }

void reconstructValues(AudioModel& model, const PieceSettings& settings, std::uint32_t channels, std::int32_t* values,
                       std::uint32_t frames, FilterBuild build) {
  // A channel's stages depend on no other channel: each channel runs through stages
  // 2, 1 and 0 at once.
  for (std::uint32_t c = 0; c < channels; ++c) {
    const std::array<AudioFilter*, kFilterStages> stages{&model.filter(0, c), &model.filter(1, c), &model.filter(2, c)};
    const std::array<bool, kFilterStages> enabled{settings.enabled[0][c], settings.enabled[1][c], settings.enabled[2][c]};
    runChannelFilters(build, stages, enabled, values + std::size_t{c} * frames, frames);
  }
  if (channels == 2 && settings.cross) runCrossStage(model.crossPredictors, values, values + frames, frames);
}

std::size_t decodeAudioPiece(AudioDecoder& decoder, std::span<const std::uint8_t> input, std::uint8_t* destination,
                             std::uint32_t pieceSize) {
  if (input.empty()) return 0;
  const PieceFormat format = splitFormatByte(input[0]);
  std::size_t position = 1;
  std::uint32_t prefix = format.prefixCode;
  if (format.prefixCode == kPrefixLengthCode) {
    if (position >= input.size()) return 0;
    prefix = input[position++] + kPrefixLengthCode;
  }
  if (prefix > pieceSize || prefix > input.size() - position) return 0;
  std::memcpy(destination, input.data() + position, prefix);
  position += prefix;

  const SampleLayout& layout = format.layout;
  const std::uint32_t channels = layout.channels();
  const PieceGeometry geometry = pieceGeometry(pieceSize, prefix, layout);
  if (geometry.tailBytes > input.size() - position) return 0;
  std::memcpy(destination + prefix + geometry.sampleBytes, input.data() + position, geometry.tailBytes);
  position += geometry.tailBytes;

  const std::uint32_t frames = geometry.frames;
  std::uint8_t* classes = decoder.scratch.classes.data();
  if (frames > 0) {
    const std::size_t used = decodeClassStreams(decoder.model.classModels, input.subspan(position), channels, classes, frames);
    if (used == 0) return 0;
    position += used;
  }

  WordBitReader bits(input.subspan(position));
  PieceSettings settings;
  codePieceSettings(bits, decoder.model, settings, channels);
  std::int32_t* values = decoder.scratch.values.data();
  codeResiduals(bits, classes, values, channels * frames);
  // A piece ends at the byte holding its last bit; the next piece starts after it.
  const std::size_t bitBytes = bits.bytesConsumed();
  if (bitBytes > input.size() - position) return 0;

  reconstructValues(decoder.model, settings, channels, values, frames, decoder.filterBuild);
  writeSamples(destination + prefix, frames, values, values + frames, layout);
  return position + bitBytes;
}

}  // namespace quorvex::audio
