#include "codecs/audio/piece_writer.hpp"

#include "codecs/audio/audio_classes.hpp"
#include "codecs/audio/audio_prediction.hpp"
#include "model/binary_coder.hpp"

namespace quorvex::audio {

bool PieceWriter::write(AudioModel& m, const PieceInput& in, const Choice& choice, std::vector<std::uint8_t>& out) {
  PieceFormat format = in.format;
  format.layout.channelMode = choice.channelMode;
  const std::uint32_t channels = format.layout.channels();
  const std::uint32_t frames = in.frames;
  out.push_back(joinFormatByte(format));
  if (format.prefixCode == kPrefixLengthCode) out.push_back(static_cast<std::uint8_t>(in.prefix.size() - kPrefixLengthCode));
  out.insert(out.end(), in.prefix.begin(), in.prefix.end());
  out.insert(out.end(), in.tail.begin(), in.tail.end());

  // The settings act on the model before the stages run, as they do when decoding.
  bitBytes_.clear();
  PieceBitWriter bits(bitBytes_);
  PieceSettings settings = choice.settings;
  codePieceSettings(bits, m, settings, channels);

  std::int32_t* values = scratch_.values.data();
  samplesToValues(in.first, in.second, frames, choice.channelMode, values, values + frames);
  if (channels == 2 && settings.cross) runCrossStageForward(m.crossPredictors, values, values + frames, frames);
  for (std::uint32_t s = 0; s < kFilterStages; ++s) {
    for (std::uint32_t c = 0; c < channels; ++c) {
      if (settings.enabled[s][c]) runFilterForward(m.filter(s, c), values + std::size_t{c} * frames, frames);
    }
  }
  std::uint8_t* classes = scratch_.classes.data();
  for (std::uint32_t i = 0; i < channels * frames; ++i) classes[i] = static_cast<std::uint8_t>(classOfMagnitude(magnitudeOf(values[i])));

  if (frames > 0) {
    for (std::uint32_t c = 0; c < channels; ++c) {
      classBytes_.clear();
      BinaryEncoder coder(classBytes_);
      codeClasses(coder, m.classModels[c], classes + std::size_t{c} * frames, frames);
      coder.flush();
      if (classBytes_.size() > 0xFFFF) return false;
      out.push_back(static_cast<std::uint8_t>(classBytes_.size()));
      out.push_back(static_cast<std::uint8_t>(classBytes_.size() >> 8));
      out.insert(out.end(), classBytes_.begin(), classBytes_.end());
    }
  }
  codeResiduals(bits, classes, values, channels * frames);
  bits.finish();
  out.insert(out.end(), bitBytes_.begin(), bitBytes_.end());
  return true;
}

}  // namespace quorvex::audio
