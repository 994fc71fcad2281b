#include "codecs/audio/piece_trials.hpp"

#include <algorithm>
#include <limits>
#include <utility>

#include "codecs/audio/audio_classes.hpp"
#include "codecs/audio/audio_prediction.hpp"
#include "model/binary_coder.hpp"

namespace quorvex::audio {

std::uint32_t settingsBits(const PieceSettings& settings, std::uint32_t channels) {
  std::uint32_t bits = 0;
  if (channels == 2) bits += settings.cross ? 9 : 1;
  for (std::uint32_t s = 0; s < kFilterStages; ++s) {
    for (std::uint32_t c = 0; c < channels; ++c) bits += settings.enabled[s][c] ? 4 : 1;
  }
  return bits;
}

PieceTrials::PieceTrials() {
  for (Run* run : {&reference_, &candidate_}) {
    for (auto& layer : run->layer) layer.resize(kPieceSize);
    run->classes.resize(kPieceSize);
  }
}

std::size_t PieceTrials::begin(const AudioModel& model, const PieceInput& in, const Choice& first) {
  model_ = &model;
  in_ = in;
  reference_.choice = first;
  runWhole(reference_);
  return sizeOf(reference_);
}

void PieceTrials::runWhole(Run& run) {
  PieceFormat format = in_.format;
  format.layout.channelMode = run.choice.channelMode;
  channels_ = format.layout.channels();
  const std::uint32_t frames = in_.frames;
  std::int32_t* values = run.layer[0].data();
  samplesToValues(in_.first, in_.second, frames, run.choice.channelMode, values, values + frames);
  if (channels_ == 2 && run.choice.settings.cross) {
    std::array<CrossPredictor, 2> pair = model_->crossPredictors;
    for (std::uint32_t c = 0; c < 2; ++c) pair[c].shift = run.choice.settings.crossShift[c];
    runCrossStageForward(pair, values, values + frames, frames);
  }
  for (std::uint32_t c = 0; c < channels_; ++c) runChannel(run, c, 0);
}

void PieceTrials::runChannel(Run& run, std::uint32_t c, std::uint32_t from) {
  const std::uint32_t frames = in_.frames;
  const std::size_t offset = std::size_t{c} * frames;
  const PieceSettings& settings = run.choice.settings;
  // The stage input comes from the run itself or, for a partial rerun, from the
  // reference, whose stages before `from` are the candidate's too.
  const Run& source = &run == &candidate_ && !wholeRun_ ? reference_ : run;
  const std::int32_t* input = source.layer[from].data() + offset;
  for (std::uint32_t s = from; s < kFilterStages; ++s) {
    std::int32_t* output = run.layer[s + 1].data() + offset;
    std::copy_n(input, frames, output);
    if (settings.enabled[s][c]) {
      AudioFilter filter = model_->filters[2 * s + c];
      filter.shift = settings.shift[s][c];
      runFilterForward(filter, output, frames);
    }
    input = output;
  }
  std::uint8_t* classes = run.classes.data() + offset;
  std::uint64_t bits = 0;
  for (std::uint32_t i = 0; i < frames; ++i) {
    const std::uint32_t cls = classOfMagnitude(magnitudeOf(input[i]));
    classes[i] = static_cast<std::uint8_t>(cls);
    if (cls != 0) bits += kClassRanges[cls].extraBits + 1;
  }
  run.residualBits[c] = bits;
  run.classBytes[c] = 0;
  if (frames == 0) return;
  ClassModel model = model_->classModels[c];
  classStream_.clear();
  BinaryEncoder coder(classStream_);
  codeClasses(coder, model, classes, frames);
  coder.flush();
  run.classBytes[c] = classStream_.size();
}

std::size_t PieceTrials::sizeOf(const Run& run) const {
  std::size_t size = 1 + (in_.format.prefixCode == kPrefixLengthCode ? 1 : 0) + in_.prefix.size() + in_.tail.size();
  std::uint64_t bits = settingsBits(run.choice.settings, channels_);
  for (std::uint32_t c = 0; c < channels_; ++c) {
    if (in_.frames > 0) {
      if (run.classBytes[c] > 0xFFFF) return std::numeric_limits<std::size_t>::max();
      size += 2 + run.classBytes[c];
    }
    bits += run.residualBits[c];
  }
  return size + static_cast<std::size_t>((bits + 7) / 8);
}

std::size_t PieceTrials::measure(const Choice& candidate) {
  const PieceSettings& now = reference_.choice.settings;
  const PieceSettings& next = candidate.settings;
  candidate_.choice = candidate;
  wholeRun_ = candidate.channelMode != reference_.choice.channelMode ||
              (channels_ == 2 && (next.cross != now.cross || (next.cross && next.crossShift != now.crossShift)));
  if (wholeRun_) {
    runWhole(candidate_);
    return sizeOf(candidate_);
  }
  for (std::uint32_t c = 0; c < channels_; ++c) {
    rerunFrom_[c] = kLayers;
    for (std::uint32_t s = 0; s < kFilterStages && rerunFrom_[c] == kLayers; ++s) {
      const bool enabled = next.enabled[s][c];
      if (enabled != now.enabled[s][c] || (enabled && next.shift[s][c] != now.shift[s][c])) rerunFrom_[c] = s;
    }
    if (rerunFrom_[c] < kLayers) {
      runChannel(candidate_, c, rerunFrom_[c]);
    } else {
      candidate_.classBytes[c] = reference_.classBytes[c];
      candidate_.residualBits[c] = reference_.residualBits[c];
    }
  }
  return sizeOf(candidate_);
}

void PieceTrials::acceptLast() {
  if (wholeRun_) {
    std::swap(reference_, candidate_);
    return;
  }
  const std::uint32_t frames = in_.frames;
  for (std::uint32_t c = 0; c < channels_; ++c) {
    if (rerunFrom_[c] == kLayers) continue;
    const std::size_t offset = std::size_t{c} * frames;
    for (std::uint32_t layer = rerunFrom_[c] + 1; layer < kLayers; ++layer) {
      std::copy_n(candidate_.layer[layer].data() + offset, frames, reference_.layer[layer].data() + offset);
    }
    reference_.classBytes[c] = candidate_.classBytes[c];
    reference_.residualBits[c] = candidate_.residualBits[c];
  }
  reference_.choice = candidate_.choice;
}

}  // namespace quorvex::audio
