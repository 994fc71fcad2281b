#include "codecs/audio/audio_encoder.hpp"

#include <algorithm>
#include <cstring>
#include <limits>

#include "codecs/audio/audio_classes.hpp"
#include "codecs/audio/audio_prediction.hpp"
#include "model/binary_coder.hpp"

namespace quorvex::audio {
namespace {

// Where the search starts before any piece has been coded.
PieceSettings initialSettings() {
  PieceSettings settings;
  settings.cross = true;
  settings.crossShift = {20, 20};
  for (std::uint32_t s = 0; s < kFilterStages; ++s) {
    for (std::uint32_t c = 0; c < 2; ++c) {
      settings.enabled[s][c] = true;
      settings.shift[s][c] = static_cast<std::uint8_t>(s == 0 ? 12 : 10);
    }
  }
  return settings;
}

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

std::int32_t readSample(const std::uint8_t* bytes, const AudioBlockFormat& format) {
  std::uint32_t value = 0;
  for (std::uint32_t i = 0; i < format.sampleWidth; ++i) {
    const std::uint32_t byte = format.littleEndian ? format.sampleWidth - 1 - i : i;
    value = (value << 8) | bytes[byte];
  }
  const std::uint32_t bits = 8 * format.sampleWidth;
  if (format.unsignedSamples) return static_cast<std::int32_t>(value);
  // Sign-extend: the decoder stores only the low bits, so any representative works,
  // but the signed one keeps the signal continuous.
  const std::uint32_t sign = 1u << (bits - 1);
  return static_cast<std::int32_t>((value ^ sign) - sign);
}

}  // namespace

struct AudioEncoder::Work {
  AudioModel model;
  AudioModel trial;
  PieceScratch scratch;
  std::array<std::int32_t, kPieceSize> first;
  std::array<std::int32_t, kPieceSize> second;
  std::array<Choice, 2> last;  // the last choice, for one and for two channels
  std::array<bool, 2> searched{};
  std::vector<std::uint8_t> classBytes;
  std::vector<std::uint8_t> bitBytes;

  // Codes a piece with the given choice onto out, running model forward. False when a
  // class stream is too long for its 16-bit length.
  bool encodePiece(AudioModel& m, const PieceInput& in, const Choice& choice, std::vector<std::uint8_t>& out);
  std::size_t trialSize(const PieceInput& in, const Choice& choice);
  Choice search(const PieceInput& in, std::uint32_t channels);
  // Reads the piece of data at start into first and second.
  PieceInput preparePiece(std::span<const std::uint8_t> data, const AudioBlockFormat& format, std::size_t start);
  void chooseCrossStart(std::span<const std::uint8_t> data, const AudioBlockFormat& format);
};

bool AudioEncoder::Work::encodePiece(AudioModel& m, const PieceInput& in, const Choice& choice,
                                     std::vector<std::uint8_t>& out) {
  PieceFormat format = in.format;
  format.layout.channelMode = choice.channelMode;
  const std::uint32_t channels = format.layout.channels();
  const std::uint32_t frames = in.frames;
  out.push_back(joinFormatByte(format));
  if (format.prefixCode == kPrefixLengthCode) out.push_back(static_cast<std::uint8_t>(in.prefix.size() - kPrefixLengthCode));
  out.insert(out.end(), in.prefix.begin(), in.prefix.end());
  out.insert(out.end(), in.tail.begin(), in.tail.end());

  // The settings act on the model before the stages run, as they do when decoding.
  bitBytes.clear();
  PieceBitWriter bits(bitBytes);
  PieceSettings settings = choice.settings;
  codePieceSettings(bits, m, settings, channels);

  std::int32_t* values = scratch.values.data();
  samplesToValues(in.first, in.second, frames, choice.channelMode, values, values + frames);
  if (channels == 2 && settings.cross) runCrossStageForward(m.crossPredictors, values, values + frames, frames);
  for (std::uint32_t s = 0; s < kFilterStages; ++s) {
    for (std::uint32_t c = 0; c < channels; ++c) {
      if (settings.enabled[s][c]) runFilterForward(m.filter(s, c), values + std::size_t{c} * frames, frames);
    }
  }
  std::uint8_t* classes = scratch.classes.data();
  for (std::uint32_t i = 0; i < channels * frames; ++i) classes[i] = static_cast<std::uint8_t>(classOfMagnitude(magnitudeOf(values[i])));

  if (frames > 0) {
    for (std::uint32_t c = 0; c < channels; ++c) {
      classBytes.clear();
      BinaryEncoder coder(classBytes);
      codeClasses(coder, m.classModels[c], classes + std::size_t{c} * frames, frames);
      coder.flush();
      if (classBytes.size() > 0xFFFF) return false;
      out.push_back(static_cast<std::uint8_t>(classBytes.size()));
      out.push_back(static_cast<std::uint8_t>(classBytes.size() >> 8));
      out.insert(out.end(), classBytes.begin(), classBytes.end());
    }
  }
  codeResiduals(bits, classes, values, channels * frames);
  bits.finish();
  out.insert(out.end(), bitBytes.begin(), bitBytes.end());
  return true;
}

std::size_t AudioEncoder::Work::trialSize(const PieceInput& in, const Choice& choice) {
  trial = model;
  std::vector<std::uint8_t> out;
  out.reserve(kPieceSize + 1024);
  if (!encodePiece(trial, in, choice, out)) return std::numeric_limits<std::size_t>::max();
  return out.size();
}

// Coordinate descent from the last piece's choice: the channel mode, the cross stage
// on or off and its shifts, each filter on or off and its shift one step either way.
// The first piece of a run searches a few rounds, later pieces one.
Choice AudioEncoder::Work::search(const PieceInput& in, std::uint32_t channels) {
  const std::uint32_t slot = channels - 1;
  Choice best = last[slot];
  std::size_t bestSize = trialSize(in, best);
  const auto consider = [&](const Choice& candidate) {
    const std::size_t size = trialSize(in, candidate);
    if (size < bestSize) {
      bestSize = size;
      best = candidate;
    }
  };
  const std::uint32_t rounds = searched[slot] ? 2 : 3;
  for (std::uint32_t round = 0; round < rounds; ++round) {
    if (channels == 2) {
      Choice other = best;
      other.channelMode = best.channelMode == 1 ? 2 : 1;
      consider(other);
      Choice cross = best;
      cross.settings.cross = !best.settings.cross;
      consider(cross);
      for (std::uint32_t c = 0; c < 2 && best.settings.cross; ++c) {
        for (int step : {-3, -1, 1, 3}) {
          Choice shifted = best;
          const int shift = shifted.settings.crossShift[c] + step;
          if (shift < 16 || shift > 31) continue;
          shifted.settings.crossShift[c] = static_cast<std::uint8_t>(shift);
          consider(shifted);
        }
      }
    }
    for (std::uint32_t s = 0; s < kFilterStages; ++s) {
      for (std::uint32_t c = 0; c < channels; ++c) {
        if (best.settings.enabled[s][c]) {
          Choice off = best;
          off.settings.enabled[s][c] = false;
          consider(off);
        } else {
          // A filter switched on starts from zero weights; try a spread of shifts.
          for (std::uint8_t shift : {9, 12, 15}) {
            Choice on = best;
            on.settings.enabled[s][c] = true;
            on.settings.shift[s][c] = shift;
            consider(on);
          }
        }
        for (int step : {-1, 1}) {
          if (!best.settings.enabled[s][c]) break;
          Choice shifted = best;
          const int shift = shifted.settings.shift[s][c] + step;
          if (shift < 8 || shift > 15) continue;
          shifted.settings.shift[s][c] = static_cast<std::uint8_t>(shift);
          consider(shifted);
        }
      }
    }
  }
  searched[slot] = true;
  last[slot] = best;
  return best;
}

AudioEncoder::AudioEncoder() : work_(std::make_unique<Work>()) {
  initAudioModel(work_->model);
  reset();
}

AudioEncoder::~AudioEncoder() = default;

std::unique_ptr<AudioEncoder> AudioEncoder::clone() const {
  auto copy = std::make_unique<AudioEncoder>();
  *copy->work_ = *work_;
  return copy;
}

void AudioEncoder::reset() {
  resetAudioModel(work_->model);
  work_->last[0] = {0, initialSettings()};
  work_->last[1] = {2, initialSettings()};
  work_->searched = {false, false};
}

PieceInput AudioEncoder::Work::preparePiece(std::span<const std::uint8_t> data, const AudioBlockFormat& format,
                                            std::size_t start) {
  const std::size_t frameBytes = std::size_t{format.channels} * format.sampleWidth;
  const auto pieceSize = static_cast<std::uint32_t>(std::min<std::size_t>(kPieceSize, data.size() - start));
  // The prefix carries the block's header, or the rest of a frame that the previous
  // piece's tail began, so that samples start on a frame boundary.
  std::size_t prefix = format.headerBytes > start ? format.headerBytes - start : 0;
  if (start >= format.headerBytes) prefix = (frameBytes - (start - format.headerBytes) % frameBytes) % frameBytes;
  prefix = std::min<std::size_t>(prefix, pieceSize);

  PieceInput in;
  in.format.layout.channelMode = format.channels == 1 ? 0 : 1;
  in.format.layout.sampleWidth = format.sampleWidth;
  in.format.layout.littleEndian = format.littleEndian;
  in.format.prefixCode = prefix >= kPrefixLengthCode ? kPrefixLengthCode : static_cast<std::uint32_t>(prefix);
  // Prefix lengths 7 and 8 have codes of their own; use them (they save the byte).
  if (prefix == 7 || prefix == 8) in.format.prefixCode = static_cast<std::uint32_t>(prefix);
  const PieceGeometry geometry = pieceGeometry(pieceSize, static_cast<std::uint32_t>(prefix), in.format.layout);
  const std::uint8_t* piece = data.data() + start;
  in.prefix = {piece, prefix};
  in.tail = {piece + prefix + geometry.sampleBytes, geometry.tailBytes};
  in.frames = geometry.frames;
  const std::uint8_t* samples = piece + prefix;
  for (std::uint32_t i = 0; i < geometry.frames; ++i) {
    first[i] = readSample(samples + i * frameBytes, format);
    second[i] = format.channels == 2 ? readSample(samples + i * frameBytes + format.sampleWidth, format) : 0;
  }
  in.first = first.data();
  in.second = second.data();
  return in;
}

// The cross stage learns slowly with fine steps (large shifts) but ends up predicting
// better; a one-piece search cannot see that. So a run of stereo pieces starts from
// the pair of cross shifts with which the usual search codes its first few pieces
// smallest.
void AudioEncoder::Work::chooseCrossStart(std::span<const std::uint8_t> data, const AudioBlockFormat& format) {
  constexpr std::size_t kPreludePieces = 3;
  constexpr std::uint8_t kCandidates[][2] = {{20, 20}, {24, 24}, {27, 27}, {29, 29}, {31, 30}, {30, 31}};
  const AudioModel start = model;
  const std::array<Choice, 2> startChoices = last;
  const std::array<bool, 2> startSearched = searched;
  std::size_t bestSize = std::numeric_limits<std::size_t>::max();
  Choice best = last[1];
  std::vector<std::uint8_t> out;
  for (const auto& pair : kCandidates) {
    last = startChoices;
    searched = startSearched;
    last[1].settings.crossShift = {pair[0], pair[1]};
    const Choice candidate = last[1];
    model = start;
    out.clear();
    bool ok = true;
    for (std::size_t piece = 0; piece < kPreludePieces && piece * kPieceSize < data.size() && ok; ++piece) {
      const PieceInput in = preparePiece(data, format, piece * kPieceSize);
      ok = encodePiece(model, in, search(in, 2), out);
    }
    if (ok && out.size() < bestSize) {
      bestSize = out.size();
      best = candidate;
    }
  }
  model = start;
  last = startChoices;
  searched = startSearched;
  last[1] = best;
}

std::vector<std::uint8_t> AudioEncoder::encodeBlock(std::span<const std::uint8_t> data, const AudioBlockFormat& format) {
  std::vector<std::uint8_t> payload;
  if (format.headerBytes > kLongestPrefix || format.channels < 1 || format.channels > 2 || format.sampleWidth < 1 ||
      format.sampleWidth > 3) {
    return payload;
  }
  Work& w = *work_;
  const AudioModel saved = w.model;
  // Worth its cost only for long runs of pieces.
  constexpr std::size_t kPreludeFrom = 4 * kPieceSize;
  if (format.channels == 2 && !w.searched[1] && data.size() >= kPreludeFrom) w.chooseCrossStart(data, format);
  for (std::size_t start = 0; start < data.size(); start += kPieceSize) {
    const PieceInput in = w.preparePiece(data, format, start);
    const Choice choice = w.search(in, format.channels);
    if (!w.encodePiece(w.model, in, choice, payload)) {
      w.model = saved;
      return {};
    }
  }
  return payload;
}

}  // namespace quorvex::audio
