// Audio blocks in archives: WAV files through the archive writer, the audio state
// carried across audio blocks and reset by the dispatcher, and sizes the payload
// cannot back.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "codecs/audio/audio_encoder.hpp"
#include "format/block_descriptor.hpp"
#include "support/decoded_archive.hpp"
#include "support/test_support.hpp"

namespace quorvex {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::decode;

void putLe(Bytes& out, std::uint32_t value, std::uint32_t bytes) {
  for (std::uint32_t i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

void putChunk(Bytes& out, const char* tag, const Bytes& body) {
  out.insert(out.end(), tag, tag + 4);
  putLe(out, static_cast<std::uint32_t>(body.size()), 4);
  out.insert(out.end(), body.begin(), body.end());
}

// A WAV file of a decaying tone, with optional chunks before and after the samples.
Bytes wavFile(std::uint32_t channels, std::uint32_t width, std::size_t frames, std::size_t before, std::size_t after) {
  Bytes fmt;
  putLe(fmt, 1, 2);
  putLe(fmt, channels, 2);
  putLe(fmt, 8000, 4);
  putLe(fmt, 8000 * channels * width, 4);
  putLe(fmt, channels * width, 2);
  putLe(fmt, 8 * width, 2);
  Bytes data;
  const double full = std::ldexp(1.0, 8 * static_cast<int>(width) - 1) - 1;
  for (std::size_t i = 0; i < frames * channels; ++i) {
    const double v = full * 0.8 * std::exp(-0.0002 * static_cast<double>(i)) * std::sin(0.05 * static_cast<double>(i));
    const auto sample = static_cast<std::int32_t>(std::lround(v)) + (width == 1 ? 128 : 0);
    putLe(data, static_cast<std::uint32_t>(sample), width);
  }
  Bytes body = {'W', 'A', 'V', 'E'};
  putChunk(body, "fmt ", fmt);
  if (before) putChunk(body, "LIST", Bytes(before, 'L'));
  putChunk(body, "data", data);
  if (after) putChunk(body, "note", Bytes(after, 'N'));
  Bytes file;
  putChunk(file, "RIFF", body);
  return file;
}

TEST(AudioArchive, WavFilesDecodeToThemselves) {
  const Bytes mono8 = wavFile(1, 1, 5000, 0, 0);
  const Bytes stereo16 = wavFile(2, 2, 17000, 300, 21);  // header too long for a prefix; a trailing chunk
  ArchiveWriter writer;
  ASSERT_TRUE(writer.addWavFile(mono8));
  ASSERT_TRUE(writer.addWavFile(stereo16));
  EXPECT_FALSE(writer.addWavFile(Bytes(100, 'x')));
  const auto run = decode(writer.bytes());
  ASSERT_TRUE(run.result.ok()) << run.result.reason;
  Bytes expected = mono8;
  expected.insert(expected.end(), stereo16.begin(), stereo16.end());
  EXPECT_EQ(run.output, expected);
  EXPECT_NE(run.console.find("Decoding audio block 5044 (0)\n"), std::string::npos);
  EXPECT_LT(writer.bytes().size(), expected.size() / 2);
}

BlockFields audioBlock(const Bytes& payload, std::uint32_t size, std::uint8_t reset = 0) {
  BlockFields block;
  block.codecKind = static_cast<std::uint8_t>(CodecKind::audio);
  block.payload = payload;
  block.unpackedSize = size;
  block.audioReset = reset;
  return block;
}

// Two blocks coded one after the other: the second needs the state the first left.
TEST(AudioArchive, StateCarriesAcrossAudioBlocksOnly) {
  const Bytes first = wavFile(2, 2, 4000, 0, 0);
  const Bytes second = wavFile(2, 2, 3000, 0, 0);
  audio::AudioEncoder encoder;
  const audio::AudioBlockFormat format{2, 2, true, false, 44};
  const Bytes payload1 = encoder.encodeBlock(first, format);
  const Bytes payload2 = encoder.encodeBlock(second, format);
  const auto size1 = static_cast<std::uint32_t>(first.size());
  const auto size2 = static_cast<std::uint32_t>(second.size());
  Bytes both = first;
  both.insert(both.end(), second.begin(), second.end());

  ArchiveWriter carried;  // skipped records and codec parameters do not reset
  carried.addBlock(audioBlock(payload1, size1), {});
  carried.addRecord(5, Bytes{1, 2, 3});
  carried.addCodecParams({7, 0, 0, 0x22, 4});  // in context-mixing mode audio is still audio
  carried.addBlock(audioBlock(payload2, size2), {});
  const auto run = decode(carried.bytes());
  ASSERT_TRUE(run.result.ok()) << run.result.reason;
  EXPECT_EQ(run.output, both);

  for (int variant = 0; variant < 2; ++variant) {
    ArchiveWriter reset;  // a non-audio block, or the reset flag, between them
    reset.addBlock(audioBlock(payload1, size1), {});
    if (variant == 0) reset.addStoredBwtBlock(Bytes{'a', 'b'});
    reset.addBlock(audioBlock(payload2, size2, variant == 1 ? 1 : 0), {});
    const auto broken = decode(reset.bytes());
    Bytes expected = first;
    if (variant == 0) expected.insert(expected.end(), {'a', 'b'});
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_TRUE(!broken.result.ok() || broken.output != expected) << variant;
  }
}

TEST(AudioArchive, ClaimedSizeBeyondThePayloadFailsWithoutGrowingTheOutput) {
  const Bytes payload = {12, 0, 0, 0x00};  // one piece of 65536 zero bytes
  const auto run = testing::decodeOneBlock(audioBlock(payload, 0xFFFFFFFFu));
  EXPECT_EQ(run.result.status, DecodeStatus::blockFailed);
  EXPECT_LE(run.output.size(), 65536u);
}

}  // namespace
}  // namespace quorvex
