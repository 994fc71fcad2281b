// The search's yardstick against the writer: every size PieceTrials gives, whether it
// reran the whole piece or one channel from one stage on, is the length of the piece
// PieceWriter writes with that choice. A wrong size would not break any archive, only
// steer the search wrong, so round trips cannot see it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include "codecs/audio/piece_trials.hpp"
#include "codecs/audio/piece_writer.hpp"
#include "support/test_support.hpp"

namespace quorvex::audio {
namespace {

// Two channels of related tones with noise, 16-bit, as numbers.
struct Signal {
  std::vector<std::int32_t> first;
  std::vector<std::int32_t> second;
};

Signal tones(std::uint32_t frames, std::uint64_t seed) {
  quorvex::testing::TestRandom random(seed);
  Signal signal;
  for (std::uint32_t i = 0; i < frames; ++i) {
    const double t = static_cast<double>(i) / 44100.0;
    const double a = 6000 * std::sin(2 * M_PI * 220 * t) + 2500 * std::sin(2 * M_PI * 1250 * t);
    const double b = 5000 * std::sin(2 * M_PI * 220 * t + 0.4) + 900 * std::sin(2 * M_PI * 3100 * t);
    signal.first.push_back(static_cast<std::int32_t>(a) + static_cast<std::int32_t>(random.below(301)) - 150);
    signal.second.push_back(static_cast<std::int32_t>(b) + static_cast<std::int32_t>(random.below(41)) - 20);
  }
  return signal;
}

PieceInput inputOf(const Signal& signal, std::uint32_t channels) {
  PieceInput in;
  in.format.layout.channelMode = channels == 1 ? 0 : 1;
  in.format.layout.sampleWidth = 2;
  in.first = signal.first.data();
  in.second = signal.second.data();
  in.frames = static_cast<std::uint32_t>(signal.first.size());
  return in;
}

Choice startingChoice(std::uint32_t channels) {
  Choice choice;
  choice.channelMode = channels == 1 ? 0 : 2;
  choice.settings.cross = channels == 2;
  choice.settings.crossShift = {22, 25};
  for (std::uint32_t s = 0; s < kFilterStages; ++s) {
    for (std::uint32_t c = 0; c < 2; ++c) {
      choice.settings.enabled[s][c] = true;
      choice.settings.shift[s][c] = static_cast<std::uint8_t>(s == 0 ? 12 : 10);
    }
  }
  return choice;
}

// One or two settings changed at random: the moves a search makes, and pairs of them.
Choice mutated(Choice choice, std::uint32_t channels, quorvex::testing::TestRandom& random) {
  const std::uint32_t changes = 1 + random.below(2);
  for (std::uint32_t k = 0; k < changes; ++k) {
    const std::uint32_t s = random.below(kFilterStages);
    const std::uint32_t c = random.below(channels);
    switch (random.below(channels == 2 ? 6 : 2)) {
      case 0:
        choice.settings.enabled[s][c] = !choice.settings.enabled[s][c];
        break;
      case 1:
        choice.settings.shift[s][c] = static_cast<std::uint8_t>(8 + random.below(8));
        break;
      case 2:
        choice.channelMode = choice.channelMode == 1 ? 2 : 1;
        break;
      case 3:
        choice.settings.cross = !choice.settings.cross;
        break;
      default:
        choice.settings.crossShift[c] = static_cast<std::uint8_t>(16 + random.below(16));
        break;
    }
  }
  return choice;
}

// The model after a first piece, so that every filter and predictor has history.
void warmUp(AudioModel& model, PieceWriter& writer, std::uint32_t channels) {
  const Signal before = tones(9000, 3);
  std::vector<std::uint8_t> out;
  ASSERT_TRUE(writer.write(model, inputOf(before, channels), startingChoice(channels), out));
}

void checkTrialsAgainstTheWriter(std::uint32_t channels, std::uint32_t frames) {
  auto writer = std::make_unique<PieceWriter>();
  auto model = std::make_unique<AudioModel>();
  initAudioModel(*model);
  warmUp(*model, *writer, channels);
  const Signal signal = tones(frames, 11);
  const PieceInput in = inputOf(signal, channels);
  const auto writtenSize = [&](const Choice& choice) {
    auto copy = std::make_unique<AudioModel>(*model);
    std::vector<std::uint8_t> out;
    EXPECT_TRUE(writer->write(*copy, in, choice, out));
    return out.size();
  };

  PieceTrials trials;
  Choice reference = startingChoice(channels);
  ASSERT_EQ(trials.begin(*model, in, reference), writtenSize(reference));
  quorvex::testing::TestRandom random(channels * 1000 + frames);
  std::uint32_t accepted = 0;
  for (std::uint32_t round = 0; round < 60; ++round) {
    const Choice candidate = mutated(reference, channels, random);
    ASSERT_EQ(trials.measure(candidate), writtenSize(candidate)) << "round " << round;
    // Half the candidates become the reference, as the better ones do in a search.
    if (random.below(2) == 0) {
      trials.acceptLast();
      reference = candidate;
      ++accepted;
    }
  }
  EXPECT_GT(accepted, 10u);
  // The reference as it stands after all the moves, measured as a candidate of itself.
  EXPECT_EQ(trials.measure(reference), writtenSize(reference));
}

TEST(PieceTrials, StereoSizesAreTheWrittenPieceSizes) { checkTrialsAgainstTheWriter(2, 16384); }

TEST(PieceTrials, MonoSizesAreTheWrittenPieceSizes) { checkTrialsAgainstTheWriter(1, 20000); }

TEST(PieceTrials, SettingsBitsAreTheFieldsThePieceStartsWith) {
  // Stereo: the cross flag, two 4-bit shifts when it is on, and per filter a flag and a
  // 3-bit shift when it is on.
  Choice choice = startingChoice(2);
  EXPECT_EQ(settingsBits(choice.settings, 2), 1u + 8u + 6u * 4u);
  choice.settings.cross = false;
  choice.settings.enabled[1][0] = false;
  EXPECT_EQ(settingsBits(choice.settings, 2), 1u + 5u * 4u + 1u);
  EXPECT_EQ(settingsBits(startingChoice(1).settings, 1), 3u * 4u);
}

}  // namespace
}  // namespace quorvex::audio
