// Audio blocks: piece layout, class streams, the consumed-length rule, hostile input,
// and round trips through the encoder in every sample layout.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "codecs/audio/audio_block.hpp"
#include "codecs/audio/audio_classes.hpp"
#include "codecs/audio/audio_encoder.hpp"
#include "codecs/audio/wav_file.hpp"
#include "support/test_support.hpp"

namespace quorvex::audio {
namespace {

using Bytes = std::vector<std::uint8_t>;
using quorvex::testing::TestRandom;

struct Decoded {
  bool ok = false;
  Bytes output;
};

Decoded decodeBlock(AudioDecoder& decoder, const Bytes& payload, std::uint32_t length) {
  Decoded result;
  Bytes buffer(kPieceSize);
  result.ok = decodeAudioBlock(decoder, payload, length, buffer,
                               [&](std::span<const std::uint8_t> bytes) {
                                 result.output.insert(result.output.end(), bytes.begin(), bytes.end());
                               });
  return result;
}

Decoded decodeFresh(const Bytes& payload, std::uint32_t length) {
  auto decoder = createAudioDecoder();
  return decodeBlock(*decoder, payload, length);
}

TEST(AudioModel, StartsWithTheListedMapRows) {
  auto decoder = createAudioDecoder();
  const std::uint16_t row[] = {0, 128, 1008, 7232, 32752, 58272, 64512, 65392, 65535};
  for (ClassModel& model : decoder->model.classModels) {
    EXPECT_EQ(model.nodeState(1), 0x8000);
    for (std::uint32_t node = 0; node < 64; ++node) {
      ASSERT_TRUE(std::equal(row, row + 9, model.nodeMap(node))) << node;
    }
  }
  EXPECT_EQ(decoder->model.filter(0, 1).order, 96);
  EXPECT_EQ(decoder->model.filter(2, 0).order, 8);
}

TEST(AudioFormat, FormatBytesAndPieceGeometry) {
  const PieceFormat stereo = splitFormatByte(14);
  EXPECT_EQ(stereo.layout.channelMode, 1u);
  EXPECT_EQ(stereo.layout.sampleWidth, 2u);
  EXPECT_TRUE(stereo.layout.littleEndian);
  EXPECT_EQ(stereo.prefixCode, 0u);
  const PieceFormat mono = splitFormatByte(0);
  EXPECT_EQ(mono.layout.channelMode, 0u);
  EXPECT_EQ(mono.layout.sampleWidth, 1u);
  for (std::uint32_t e = 0; e < 256; ++e) EXPECT_EQ(joinFormatByte(splitFormatByte(static_cast<std::uint8_t>(e))), e);

  const PieceGeometry g = pieceGeometry(103, 0, stereo.layout);
  EXPECT_EQ(g.frames, 25u);
  EXPECT_EQ(g.tailBytes, 3u);
}

TEST(AudioClasses, ClassRangesAsListed) {
  const auto last = [](std::uint32_t c) { return kClassRanges[c].first + ((1u << kClassRanges[c].extraBits) - 1u); };
  EXPECT_EQ(kClassRanges[9].first, 9u);
  EXPECT_EQ(last(9), 10u);
  EXPECT_EQ(kClassRanges[40].first, 1793u);
  EXPECT_EQ(last(40), 2048u);
  EXPECT_EQ(kClassRanges[41].first, 2049u);
  EXPECT_EQ(last(44), 6144u);
  EXPECT_EQ(kClassRanges[45].first, 4097u);
  EXPECT_EQ(last(45), 8192u);
  EXPECT_EQ(last(63), 0x80000000u);
  // The encoder's class holds each magnitude, at every class boundary.
  for (std::uint32_t c = 1; c < kClassCount; ++c) {
    for (std::uint32_t m : {kClassRanges[c].first, last(c)}) {
      const std::uint32_t chosen = classOfMagnitude(m);
      EXPECT_TRUE(m >= kClassRanges[chosen].first && m <= last(chosen)) << m;
    }
  }
}

// A class stream of length 0 decodes from a code of 0: every decision is a 1, so every
// class is 0 and every run length is the longest. Two pieces: 65536 zero bytes of
// 16-bit mono, then one byte of prefix. Each bit stream is one byte (three enable bits).
TEST(AudioPiece, EmptyClassStreamsAndTheConsumedLength) {
  const Bytes payload = {12, 0, 0, 0x00, 30, 0xAB, 0x00, 0x77 /* never read */};
  const Decoded decoded = decodeFresh(payload, 65537);
  ASSERT_TRUE(decoded.ok);
  Bytes expected(65536, 0);
  expected.push_back(0xAB);
  EXPECT_EQ(decoded.output, expected);
  EXPECT_TRUE(decodeFresh({}, 0).ok);
}

TEST(AudioPiece, ShorterThanAFrameHasOnlyFlags) {
  auto decoder = createAudioDecoder();
  // Stereo 16-bit, 3 bytes: no frame, 3 tail bytes, a cross flag and six enable bits.
  EXPECT_EQ(decodeAudioPiece(*decoder, Bytes{14, 1, 2, 3, 0x00}, Bytes(3).data(), 3), 5u);
  // Mono: the first bit enables stage 0, here with shift 8 + 7.
  std::uint8_t out[1];
  EXPECT_EQ(decodeAudioPiece(*decoder, Bytes{30, 9, 0xF0}, out, 1), 3u);
  EXPECT_EQ(decoder->model.filter(0, 0).shift, 15);
  EXPECT_EQ(out[0], 9);
}

TEST(AudioPiece, HostileInputFailsTheBlock) {
  // Prefix of 6 + 255 bytes in a piece of 100; prefix cut short; no prefix length byte.
  EXPECT_FALSE(decodeFresh({180, 255}, 100).ok);
  EXPECT_FALSE(decodeFresh({180, 10, 1, 2}, 100).ok);
  EXPECT_FALSE(decodeFresh({180}, 100).ok);
  // Class stream length field missing, or longer than what follows.
  EXPECT_FALSE(decodeFresh({12, 5}, 100).ok);
  EXPECT_FALSE(decodeFresh({12, 9, 0, 1, 2}, 100).ok);
  // A tail cut short; a second piece without input.
  EXPECT_FALSE(decodeFresh({14, 1, 2}, 3).ok);
  EXPECT_FALSE(decodeFresh({12, 0, 0, 0x00}, 65537).ok);
}

Bytes encode(AudioEncoder& encoder, const Bytes& data, const AudioBlockFormat& format) {
  return encoder.encodeBlock(data, format);
}

// Samples of a test signal, already clipped to the width.
std::vector<std::int64_t> signal(const std::string& kind, std::size_t n, std::uint32_t width, std::uint64_t seed) {
  const double full = std::ldexp(1.0, 8 * static_cast<int>(width) - 1) - 1;
  TestRandom random(seed);
  std::vector<std::int64_t> s(n);
  for (std::size_t i = 0; i < n; ++i) {
    double v = 0;
    if (kind == "noise") v = (static_cast<double>(random.next()) / 2147483648.0 - 1.0) * full;
    if (kind == "sweep") v = 0.7 * full * std::sin(0.00002 * static_cast<double>(i * i));
    if (kind == "dc") v = 0.4 * full + random.below(5);
    if (kind == "clipped") v = 2.0 * full * std::sin(0.01 * static_cast<double>(i));
    s[i] = static_cast<std::int64_t>(std::llround(std::fmax(-full - 1, std::fmin(full, v))));
  }
  return s;
}

Bytes pcm(const std::vector<std::int64_t>& samples, const AudioBlockFormat& format, std::size_t header) {
  Bytes data(header, 0x5A);
  for (std::int64_t sample : samples) {
    const auto v = static_cast<std::uint32_t>(sample + (format.unsignedSamples ? 128 : 0));
    for (std::uint32_t i = 0; i < format.sampleWidth; ++i) {
      const std::uint32_t byte = format.littleEndian ? i : format.sampleWidth - 1 - i;
      data.push_back(static_cast<std::uint8_t>(v >> (8 * byte)));
    }
  }
  return data;
}

TEST(AudioRoundTrip, SyntheticSignalsInEveryLayout) {
  for (std::uint32_t channels : {1u, 2u}) {
    for (std::uint32_t width : {1u, 2u, 3u}) {
      for (bool little : {true, false}) {
        if (width == 1 && !little) continue;
        AudioBlockFormat format{channels, width, little, width == 1, 44};
        for (const char* kind : {"silence", "noise", "sweep", "dc", "clipped"}) {
          SCOPED_TRACE(::testing::Message() << kind << " channels " << channels << " width " << width << little);
          Bytes data = pcm(signal(kind, 3000, width, width), format, 44);
          data.push_back(0x33);  // a partial frame at the end
          AudioEncoder encoder;
          const Bytes payload = encode(encoder, data, format);
          ASSERT_FALSE(payload.empty());
          const Decoded decoded = decodeFresh(payload, static_cast<std::uint32_t>(data.size()));
          ASSERT_TRUE(decoded.ok);
          ASSERT_EQ(decoded.output, data);
        }
      }
    }
  }
}

// The encoder runs the portable filters; every vector build of the decoder must give
// back the samples, on loud 24-bit stereo (the 16-bit windows saturate) and on
// clipped 16-bit mono, over several pieces.
TEST(AudioRoundTrip, EveryFilterBuildDecodesTheSamples) {
  const AudioBlockFormat loud{2, 3, true, false, 0};
  const AudioBlockFormat clipped{1, 2, true, false, 0};
  const Bytes loudData = pcm(signal("sweep", 2 * 30000, 3, 5), loud, 0);
  const Bytes clippedData = pcm(signal("clipped", 70000, 2, 6), clipped, 0);
  AudioEncoder encoder;
  const Bytes loudPayload = encode(encoder, loudData, loud);
  encoder.reset();
  const Bytes clippedPayload = encode(encoder, clippedData, clipped);
  for (FilterBuild build : {FilterBuild::portable, FilterBuild::sse41, FilterBuild::avx2}) {
    if (!filterBuildAvailable(build)) continue;
    SCOPED_TRACE(::testing::Message() << "build " << static_cast<int>(build));
    auto decoder = createAudioDecoder();
    decoder->filterBuild = build;
    EXPECT_EQ(decodeBlock(*decoder, loudPayload, static_cast<std::uint32_t>(loudData.size())).output, loudData);
    resetAudioDecoder(*decoder);
    EXPECT_EQ(decodeBlock(*decoder, clippedPayload, static_cast<std::uint32_t>(clippedData.size())).output, clippedData);
  }
}

// Two pieces whose boundary splits a frame, state carried into a second block, and
// every truncation of the payload failing without reading past it.
TEST(AudioRoundTrip, PiecesBlocksAndTruncation) {
  const AudioBlockFormat format{2, 3, true, false, 0};
  const Bytes first = pcm(signal("sweep", 2 * 12000, 3, 1), format, 0);  // 72000 bytes
  const Bytes second = pcm(signal("noise", 2 * 500, 3, 2), format, 0);
  AudioEncoder encoder;
  const Bytes payload1 = encode(encoder, first, format);
  const Bytes payload2 = encode(encoder, second, format);
  auto decoder = createAudioDecoder();
  EXPECT_EQ(decodeBlock(*decoder, payload1, 72000).output, first);
  EXPECT_EQ(decodeBlock(*decoder, payload2, 3000).output, second);
  // The second block needs the state the first left behind.
  EXPECT_NE(decodeFresh(payload2, 3000).output, second);
  resetAudioDecoder(*decoder);
  EXPECT_EQ(decodeBlock(*decoder, payload1, 72000).output, first);

  for (std::size_t cut = 0; cut < payload2.size(); cut += (cut < 16 || payload2.size() - cut < 16) ? 1 : 97) {
    resetAudioDecoder(*decoder);
    decodeBlock(*decoder, payload1, 72000);
    const Bytes shorter(payload2.begin(), payload2.begin() + static_cast<std::ptrdiff_t>(cut));
    EXPECT_FALSE(decodeBlock(*decoder, shorter, 3000).ok) << cut;
  }
}

TEST(AudioRoundTrip, CorpusWavFiles) {
  QUORVEX_SKIP_WITHOUT_CORPUS();
  for (const std::string& name : quorvex::testing::corpusFiles()) {
    if (name.rfind("audio/", 0) != 0 || name.size() < 4 || name.substr(name.size() - 4) != ".wav") continue;
    SCOPED_TRACE(name);
    const Bytes file = quorvex::testing::corpusFile(name);
    const auto wav = parseWav(file);
    ASSERT_TRUE(wav.has_value());
    // The header and the first piece keep the test quick; the benchmark codes
    // whole files and checks them too.
    const std::size_t end = std::min(wav->dataEnd, std::size_t{kPieceSize});
    const Bytes data(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(end));
    AudioEncoder encoder;
    const AudioBlockFormat format{wav->channels, wav->sampleWidth, true, wav->sampleWidth == 1,
                                  static_cast<std::uint32_t>(wav->dataBegin)};
    const Bytes payload = encode(encoder, data, format);
    ASSERT_FALSE(payload.empty());
    EXPECT_LT(payload.size(), data.size());
    EXPECT_EQ(decodeFresh(payload, static_cast<std::uint32_t>(data.size())).output, data);
  }
}

}  // namespace
}  // namespace quorvex::audio
