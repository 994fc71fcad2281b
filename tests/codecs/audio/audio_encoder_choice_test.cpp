// The settings the audio encoder picks, read back from its payload the way the
// decoder reads them. Round trips cannot tell a good choice from a bad one; these
// tests pin the choices that keep loud 24-bit input from being coded through the
// 16-bit filter windows, which saturate on it.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "codecs/audio/audio_block.hpp"
#include "codecs/audio/audio_encoder.hpp"
#include "codecs/audio/wav_file.hpp"
#include "model/number_codes.hpp"
#include "support/test_support.hpp"

namespace quorvex::audio {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A chord of three low tones per channel, the channels a little apart in phase, with
// a few units of noise; amplitude a fraction of the width's full scale.
Bytes chord(std::uint32_t width, double level, std::size_t frames) {
  const double full = std::ldexp(1.0, 8 * static_cast<int>(width) - 1) - 1;
  quorvex::testing::TestRandom random(7);
  Bytes data;
  data.reserve(frames * 2 * width);
  for (std::size_t i = 0; i < frames; ++i) {
    const double t = static_cast<double>(i) / 48000.0;
    for (double phase : {0.0, 0.3}) {
      double v = 0;
      for (double hz : {110.0, 138.6, 164.8}) v += std::sin(2 * M_PI * hz * t + phase);
      const auto sample = static_cast<std::int32_t>(std::lround(level * full * v / 3.0)) +
                          static_cast<std::int32_t>(random.below(9)) - 4;
      for (std::uint32_t b = 0; b < width; ++b) data.push_back(static_cast<std::uint8_t>(static_cast<std::uint32_t>(sample) >> (8 * b)));
    }
  }
  return data;
}

// Every piece's settings, each read after skipping the piece's raw bytes and class
// streams; the pieces are walked by decoding them, which also checks the samples.
std::vector<PieceSettings> settingsOf(const Bytes& payload, const Bytes& expected) {
  std::vector<PieceSettings> all;
  auto decoder = createAudioDecoder();
  AudioModel scratch;
  initAudioModel(scratch);
  Bytes output(kPieceSize);
  std::size_t position = 0;
  for (std::size_t start = 0; start < expected.size(); start += kPieceSize) {
    const auto pieceSize = static_cast<std::uint32_t>(std::min<std::size_t>(kPieceSize, expected.size() - start));
    const std::span<const std::uint8_t> piece = std::span(payload).subspan(position);
    const std::size_t used = decodeAudioPiece(*decoder, piece, output.data(), pieceSize);
    EXPECT_NE(used, 0u);
    if (used == 0) return all;
    EXPECT_TRUE(std::equal(output.begin(), output.begin() + pieceSize, expected.begin() + static_cast<std::ptrdiff_t>(start)));

    const PieceFormat format = splitFormatByte(piece[0]);
    std::size_t at = 1;
    std::uint32_t prefix = format.prefixCode;
    if (format.prefixCode == kPrefixLengthCode) prefix = piece[at++] + kPrefixLengthCode;
    const PieceGeometry geometry = pieceGeometry(pieceSize, prefix, format.layout);
    at += prefix + geometry.tailBytes;
    for (std::uint32_t c = 0; c < format.layout.channels() && geometry.frames > 0; ++c) {
      at += 2 + (piece[at] | std::size_t{piece[at + 1]} << 8);
    }
    WordBitReader bits(piece.subspan(at));
    PieceSettings settings;
    codePieceSettings(bits, scratch, settings, format.layout.channels());
    all.push_back(settings);
    position += used;
  }
  return all;
}

// The settings of each piece of data coded as one block of the given format.
std::vector<PieceSettings> settingsChosenFor(const AudioBlockFormat& format, const Bytes& data,
                                             AudioEffort effort = AudioEffort::thorough) {
  AudioEncoder encoder(effort);
  const Bytes payload = encoder.encodeBlock(data, format);
  EXPECT_FALSE(payload.empty());
  return payload.empty() ? std::vector<PieceSettings>{} : settingsOf(payload, data);
}

// Every effort makes these choices: the cheap ones search less often and less deep,
// not differently.
class AudioEncoderChoices : public ::testing::TestWithParam<AudioEffort> {};

// Loud 24-bit tones: their first differences run far past 16 bits, so the 96-tap
// filters would only see clipped values and their 32-bit dot products would wrap.
// The encoder codes them with the cross stage (32-bit) and leaves stage 0 off (a run
// starts with both on, so the search of the first piece turns them off). The fast
// effort searches every third piece, each time from settings the pieces between did
// not refine; there one piece may take a long filter back at the finest step where
// that happens to save a few bytes, never more than one.
TEST_P(AudioEncoderChoices, LoudTwentyFourBitLeavesTheLongFiltersOff) {
  const AudioBlockFormat format{2, 3, true, false, 0};
  const Bytes data = chord(3, 0.8, 43690);  // 4 pieces, the last 4 bytes short
  const std::vector<PieceSettings> settings = settingsChosenFor(format, data, GetParam());
  ASSERT_EQ(settings.size(), 4u);
  std::size_t longFiltersOff = 0;
  for (std::size_t i = 0; i < settings.size(); ++i) {
    SCOPED_TRACE(::testing::Message() << "piece " << i);
    EXPECT_TRUE(settings[i].cross);
    if (!settings[i].enabled[0][0] && !settings[i].enabled[0][1]) ++longFiltersOff;
  }
  EXPECT_FALSE(settings[0].enabled[0][0] || settings[0].enabled[0][1]);
  EXPECT_GE(longFiltersOff, settings.size() - (GetParam() == AudioEffort::fast ? 1 : 0));
}

// The same tones quiet in 16 bits fit the windows: there the long filters stay on,
// so the choice above follows the signal and is not a fixed rule.
TEST_P(AudioEncoderChoices, QuietSixteenBitKeepsTheLongFilters) {
  const AudioBlockFormat format{2, 2, true, false, 0};
  const Bytes data = chord(2, 0.05, 4 * 16384 - 1);
  const std::vector<PieceSettings> settings = settingsChosenFor(format, data, GetParam());
  ASSERT_EQ(settings.size(), 4u);
  for (std::size_t i = 0; i < settings.size(); ++i) {
    SCOPED_TRACE(::testing::Message() << "piece " << i);
    EXPECT_TRUE(settings[i].enabled[0][0] || settings[i].enabled[0][1]);
  }
}

INSTANTIATE_TEST_SUITE_P(EveryEffort, AudioEncoderChoices,
                         ::testing::Values(AudioEffort::fast, AudioEffort::medium, AudioEffort::thorough));

// The corpus recordings, each cut to its first four pieces: an effort never codes one
// larger than the effort below, and codes all of them together strictly smaller, so
// that the extra searching buys something (and the effort is not ignored).
TEST(AudioEncoderEfforts, HigherEffortsAreNeverLargerOnTheCorpusSound) {
  QUORVEX_SKIP_WITHOUT_CORPUS();
  constexpr AudioEffort kEfforts[] = {AudioEffort::fast, AudioEffort::medium, AudioEffort::thorough};
  std::array<std::size_t, 3> totals{};
  std::size_t files = 0;
  for (const std::string& name : quorvex::testing::corpusFiles()) {
    if (!name.ends_with(".wav")) continue;
    const Bytes file = quorvex::testing::corpusFile(name);
    const std::optional<WavLayout> wav = parseWav(file);
    ASSERT_TRUE(wav.has_value()) << name;
    const std::size_t end = std::min(wav->dataEnd, wav->dataBegin + 4 * std::size_t{kPieceSize});
    const Bytes data(file.begin() + static_cast<std::ptrdiff_t>(wav->dataBegin),
                     file.begin() + static_cast<std::ptrdiff_t>(end));
    const AudioBlockFormat format{wav->channels, wav->sampleWidth, true, wav->sampleWidth == 1, 0};
    std::size_t below = SIZE_MAX;
    for (std::size_t e = 0; e < 3; ++e) {
      AudioEncoder encoder(kEfforts[e]);
      const Bytes payload = encoder.encodeBlock(data, format);
      ASSERT_FALSE(payload.empty()) << name;
      EXPECT_EQ(settingsOf(payload, data).size(), (data.size() + kPieceSize - 1) / kPieceSize) << name;
      EXPECT_LE(payload.size(), below) << name << " effort " << e;
      below = payload.size();
      totals[e] += payload.size();
    }
    ++files;
  }
  ASSERT_GT(files, 0u);
  EXPECT_LT(totals[1], totals[0]);
  EXPECT_LT(totals[2], totals[1]);
}

}  // namespace
}  // namespace quorvex::audio
