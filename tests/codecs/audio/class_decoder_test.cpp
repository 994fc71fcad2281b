// The decoder's fast reading of class streams against the plain one written for both
// directions (codeClasses): same classes, same models afterwards, on coded streams
// with long zero runs and on arbitrary bytes, and the length fields' limits.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "codecs/audio/audio_classes.hpp"
#include "codecs/audio/class_decoder.hpp"
#include "model/binary_coder.hpp"
#include "support/test_support.hpp"

namespace quorvex::audio {
namespace {

using Bytes = std::vector<std::uint8_t>;
using quorvex::testing::TestRandom;

// Classes as audio gives them: mostly mid-sized, with stretches of silence (zero runs
// of every length) and now and then a huge one.
std::vector<std::uint8_t> audioLikeClasses(std::uint32_t n, TestRandom& random) {
  std::vector<std::uint8_t> classes(n);
  for (std::uint32_t i = 0; i < n;) {
    if (random.below(12) == 0) {
      const std::uint32_t run = random.below(3) == 0 ? random.below(3000) : random.below(20);
      for (std::uint32_t k = 0; k < run && i < n; ++k) classes[i++] = 0;
      continue;
    }
    classes[i++] = static_cast<std::uint8_t>(random.below(20) == 0 ? random.below(64) : 10 + random.below(20));
  }
  return classes;
}

Bytes withLength(const Bytes& stream) {
  Bytes out{static_cast<std::uint8_t>(stream.size()), static_cast<std::uint8_t>(stream.size() >> 8)};
  out.insert(out.end(), stream.begin(), stream.end());
  return out;
}

// The plain reading of one piece's streams, with the same models.
std::vector<std::uint8_t> plainClasses(std::array<ClassModel, 2>& models, const std::vector<Bytes>& streams,
                                       std::uint32_t frames) {
  std::vector<std::uint8_t> classes(streams.size() * frames);
  for (std::size_t c = 0; c < streams.size(); ++c) {
    BinaryDecoder decoder(streams[c]);
    codeClasses(decoder, models[c], classes.data() + c * frames, frames);
  }
  return classes;
}

void expectSameReading(const std::vector<Bytes>& streams, std::uint32_t frames, std::array<ClassModel, 2> models) {
  std::array<ClassModel, 2> fastModels = models;
  Bytes input;
  for (const Bytes& s : streams) {
    const Bytes framed = withLength(s);
    input.insert(input.end(), framed.begin(), framed.end());
  }
  const std::size_t inputSize = input.size();
  input.push_back(0xA5);  // a byte after the streams is not theirs
  std::vector<std::uint8_t> fast(streams.size() * frames, 0xEE);
  const std::size_t used = decodeClassStreams(fastModels, input, static_cast<std::uint32_t>(streams.size()), fast.data(), frames);
  EXPECT_EQ(used, inputSize);
  EXPECT_EQ(fast, plainClasses(models, streams, frames));
  for (std::size_t c = 0; c < 2; ++c) EXPECT_EQ(fastModels[c].cells, models[c].cells) << "model " << c;
}

TEST(ClassStreams, FastReadingMatchesThePlainOne) {
  TestRandom random(2026);
  std::array<ClassModel, 2> models;
  for (ClassModel& m : models) initClassModel(m);
  for (std::uint32_t round = 0; round < 12; ++round) {
    const std::uint32_t channels = 1 + round % 2;
    const std::uint32_t frames = round < 2 ? 1 + round : 500 + random.below(30000 / channels);
    SCOPED_TRACE(::testing::Message() << "round " << round << " channels " << channels << " frames " << frames);
    std::vector<Bytes> streams;
    std::array<ClassModel, 2> encoderModels = models;
    for (std::uint32_t c = 0; c < channels; ++c) {
      Bytes coded;
      if (round % 3 == 2) {
        // Arbitrary bytes decode to something; both readings must agree on what.
        coded.resize(random.below(4000));
        for (auto& b : coded) b = static_cast<std::uint8_t>(random.next());
      } else {
        std::vector<std::uint8_t> classes = audioLikeClasses(frames, random);
        BinaryEncoder encoder(coded);
        codeClasses(encoder, encoderModels[c], classes.data(), frames);
        encoder.flush();
      }
      streams.push_back(coded);
    }
    expectSameReading(streams, frames, models);
    // The next round starts from the models this one leaves: trained ones.
    plainClasses(models, streams, frames);
  }
}

TEST(ClassStreams, LengthFieldsMustFitTheInput) {
  std::array<ClassModel, 2> models;
  for (ClassModel& m : models) initClassModel(m);
  std::uint8_t classes[8];
  const Bytes oneByte{3};
  EXPECT_EQ(decodeClassStreams(models, oneByte, 1, classes, 4), 0u);
  const Bytes tooLong{3, 0, 1, 2};  // says 3 bytes, has 2
  EXPECT_EQ(decodeClassStreams(models, tooLong, 1, classes, 4), 0u);
  const Bytes secondMissing{2, 0, 1, 2, 9};  // channel 1's length field cut short
  EXPECT_EQ(decodeClassStreams(models, secondMissing, 2, classes, 4), 0u);
  const Bytes empty{0, 0, 0, 0};  // two empty streams decode from a code register of 0
  EXPECT_EQ(decodeClassStreams(models, empty, 2, classes, 4), 4u);
}

}  // namespace
}  // namespace quorvex::audio
