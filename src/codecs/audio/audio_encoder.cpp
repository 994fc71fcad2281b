#include "codecs/audio/audio_encoder.hpp"

#include <algorithm>
#include <cstring>
#include <limits>

#include "codecs/audio/audio_prediction.hpp"
#include "codecs/audio/piece_trials.hpp"
#include "codecs/audio/piece_writer.hpp"

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

// How many rounds of coordinate descent a piece gets, and how often.
struct SearchPlan {
  std::uint32_t firstRounds = 3;  // the first searched piece of a run
  std::uint32_t laterRounds = 2;
  // Pieces of a block that are searched: every one, or every n-th (the others keep
  // the last choice; the first piece of a block is always searched).
  std::uint32_t searchEvery = 1;
  // A run of stereo pieces picks its cross-stage start by searching its first pieces
  // with each candidate (chooseCrossStart).
  bool crossStart = true;
};

// Measured on 60 s of drums (44.1 kHz stereo 16-bit, 10.6 MB) and a 24-bit stereo
// chord (0.86 MB), encoder CPU seconds and bytes:
//   thorough  11.8 s 3,522,714   1.59 s 201,862
//   medium     6.0 s 3,534,668   0.94 s 208,364
//   fast       2.3 s 3,616,265   0.15 s 261,507
// The cross-stage start is what keeps medium close to thorough on the chord: a
// one-piece search settles on coarse cross shifts that predict worse later on.
// Searching only every third piece costs most on material that changes often (drum
// hits, 2.7%); 5 minutes of speech lose 0.2%.
SearchPlan searchPlanFor(AudioEffort effort) {
  switch (effort) {
    case AudioEffort::fast:
      return {1, 1, 3, false};
    case AudioEffort::medium:
      return {2, 1, 1, true};
    case AudioEffort::thorough:
      break;
  }
  return {};
}

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
  explicit Work(AudioEffort effort) : plan(searchPlanFor(effort)) {}
  SearchPlan plan;
  AudioModel model;
  PieceWriter writer;
  PieceTrials trials;
  std::array<std::int32_t, kPieceSize> first;
  std::array<std::int32_t, kPieceSize> second;
  std::array<Choice, 2> last;  // the last choice, for one and for two channels
  std::array<bool, 2> searched{};
  Choice search(const PieceInput& in, std::uint32_t channels);
  // Reads the piece of data at start into first and second.
  PieceInput preparePiece(std::span<const std::uint8_t> data, const AudioBlockFormat& format, std::size_t start);
  void chooseCrossStart(std::span<const std::uint8_t> data, const AudioBlockFormat& format);
};

// Coordinate descent from the last piece's choice: the channel mode, the cross stage
// on or off and its shifts, each filter on or off and its shift one step either way.
// The first piece of a run searches a few rounds, later pieces one.
Choice AudioEncoder::Work::search(const PieceInput& in, std::uint32_t channels) {
  const std::uint32_t slot = channels - 1;
  Choice best = last[slot];
  std::size_t bestSize = trials.begin(model, in, best);
  const auto consider = [&](const Choice& candidate) {
    const std::size_t size = trials.measure(candidate);
    if (size < bestSize) {
      bestSize = size;
      best = candidate;
      trials.acceptLast();
    }
  };
  const std::uint32_t rounds = searched[slot] ? plan.laterRounds : plan.firstRounds;
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

AudioEncoder::AudioEncoder(AudioEffort effort) : work_(std::make_unique<Work>(effort)) {
  initAudioModel(work_->model);
  reset();
}

AudioEncoder::~AudioEncoder() = default;

std::unique_ptr<AudioEncoder> AudioEncoder::clone() const {
  auto copy = std::make_unique<AudioEncoder>();
  // The state that carries from block to block; the scratch and trial buffers do not.
  Work& theirs = *copy->work_;
  theirs.plan = work_->plan;
  theirs.model = work_->model;
  theirs.last = work_->last;
  theirs.searched = work_->searched;
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
      ok = writer.write(model, in, search(in, 2), out);
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
  if (w.plan.crossStart && format.channels == 2 && !w.searched[1] && data.size() >= kPreludeFrom) {
    w.chooseCrossStart(data, format);
  }
  std::size_t piece = 0;
  for (std::size_t start = 0; start < data.size(); start += kPieceSize, ++piece) {
    const PieceInput in = w.preparePiece(data, format, start);
    const bool searchHere = piece % w.plan.searchEvery == 0;
    const Choice choice = searchHere ? w.search(in, format.channels) : w.last[format.channels - 1];
    if (!w.writer.write(w.model, in, choice, payload)) {
      w.model = saved;
      return {};
    }
  }
  return payload;
}

}  // namespace quorvex::audio
