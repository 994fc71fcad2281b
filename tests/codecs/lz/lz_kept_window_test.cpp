// An encoder given only the newest part of a long window (as the archive maker keeps
// it) codes blocks that the decoder, which holds the whole window, decodes exactly.
// The literal model remembers context positions however far back they lie; the
// encoder keeps their bytes, and its matches never reach before what it was given.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "codecs/lz/lz_codec.hpp"
#include "support/test_support.hpp"

namespace quorvex::lz {
namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::size_t kGuard = 64;

// Text, code and text again: contexts and phrases recur far apart.
Bytes recurringInput() {
  Bytes input = testing::repositoryText(160000);
  const Bytes code = testing::ownProgram(60000);
  input.insert(input.end(), code.begin(), code.end());
  const Bytes again = testing::repositoryText(120000);
  input.insert(input.end(), again.begin(), again.end());
  return input;
}

struct Coded {
  std::vector<Bytes> payloads;
  std::vector<std::size_t> offsets;
  std::size_t mostContextBytes = 0;
};

// Codes input in blocks, each with at most `kept` bytes of window before it
// (kept 0: the whole window); the bytes before what the encoder is given are passed
// nowhere, so it cannot read them.
Coded codeInBlocks(const Bytes& input, std::size_t block, std::size_t kept, const LzEncoderSettings& settings = {}) {
  Coded coded;
  LzEncoder encoder(settings);
  for (std::size_t offset = 0; offset < input.size(); offset += block) {
    const std::size_t end = std::min(input.size(), offset + block);
    const std::size_t start = kept == 0 || offset < kept ? 0 : offset - kept;
    const std::span<const std::uint8_t> window(input.data() + start, end - start);
    coded.payloads.push_back(encoder.encodeBlock(window, offset - start, start));
    coded.offsets.push_back(offset);
    coded.mostContextBytes = std::max(coded.mostContextBytes, encoder.keptContextBytes());
  }
  return coded;
}

// Decodes with the whole window. An empty payload stands for a block of another codec,
// whose bytes (taken from `input`) enter the window as they are.
Bytes decodeWhole(const Coded& coded, const Bytes& input) {
  Bytes window(kGuard + input.size(), 0);
  LzDecoder decoder;
  std::uint8_t* base = window.data() + kGuard;
  for (std::size_t i = 0; i < coded.payloads.size(); ++i) {
    const std::size_t end = i + 1 < coded.offsets.size() ? coded.offsets[i + 1] : input.size();
    const auto length = static_cast<std::uint32_t>(end - coded.offsets[i]);
    if (coded.payloads[i].empty()) {
      std::copy(input.begin() + static_cast<std::ptrdiff_t>(coded.offsets[i]), input.begin() + static_cast<std::ptrdiff_t>(end),
                base + coded.offsets[i]);
    } else if (!decoder.decodeBlock(coded.payloads[i], base, base + coded.offsets[i], length)) {
      return {};
    }
  }
  return Bytes(window.begin() + kGuard, window.end());
}

// As the archive writer codes: the window grows inside the encoder block by block, and
// once it holds more than kept and a quarter, its oldest bytes go down to `kept`. Blocks
// before `firstLz` enter the window without being coded (another codec's blocks).
// windowStarts records where the window started for each LZ block.
Coded codeInPlace(const Bytes& input, std::size_t block, std::size_t kept, std::size_t firstLz,
                  std::vector<std::uint64_t>& windowStarts, const LzEncoderSettings& settings = {}) {
  Coded coded;
  LzEncoder encoder(settings);
  for (std::size_t offset = 0; offset < input.size(); offset += block) {
    const std::size_t end = std::min(input.size(), offset + block);
    const std::span<const std::uint8_t> bytes(input.data() + offset, end - offset);
    const std::size_t blockOffset = encoder.window().size();
    encoder.appendToWindow(bytes);
    coded.offsets.push_back(offset);
    if (offset < firstLz) {
      coded.payloads.emplace_back();
    } else {
      windowStarts.push_back(encoder.windowStart());
      coded.payloads.push_back(encoder.encodeBlock(blockOffset));
      coded.mostContextBytes = std::max(coded.mostContextBytes, encoder.keptContextBytes());
    }
    if (encoder.window().size() > kept + kept / 4) encoder.dropOldest(encoder.window().size() - kept);
    // The window holds exactly the newest input bytes from its start on.
    const std::span<const std::uint8_t> window = encoder.window();
    EXPECT_EQ(encoder.windowStart() + window.size(), end);
    EXPECT_TRUE(std::equal(window.begin(), window.end(), input.begin() + static_cast<std::ptrdiff_t>(encoder.windowStart())));
  }
  return coded;
}

TEST(LzKeptWindow, BlocksCodedFromTheNewestBytesDecodeWithTheWholeWindow) {
  const Bytes input = recurringInput();
  for (const std::size_t kept : {std::size_t{20000}, std::size_t{65536}}) {
    SCOPED_TRACE(kept);
    const Coded coded = codeInBlocks(input, 8192, kept);
    EXPECT_EQ(decodeWhole(coded, input), input);
    // The model did remember positions that fell out of what the encoder was given.
    EXPECT_GT(coded.mostContextBytes, 0u);
    EXPECT_LE(coded.mostContextBytes, std::size_t{65536} * 6);
  }
}

// The window grown and trimmed in place codes what the same windows passed whole code
// (the encoder then copies each one in), and the decoder with the whole window reads it
// back; also when the first LZ block comes after the window has moved on.
TEST(LzKeptWindow, AWindowTrimmedInPlaceCodesAsTheSameWindowsPassedWhole) {
  const Bytes input = recurringInput();
  for (const std::size_t firstLz : {std::size_t{0}, std::size_t{81920}}) {
    SCOPED_TRACE(firstLz);
    std::vector<std::uint64_t> starts;
    const Coded inPlace = codeInPlace(input, 8192, 40000, firstLz, starts);
    EXPECT_GT(inPlace.mostContextBytes, 0u);
    ASSERT_GT(starts.size(), 2u);
    EXPECT_GT(starts.back(), 0u);
    if (firstLz != 0) {
      EXPECT_GT(starts.front(), 0u);  // the finder starts on a window that moved on
    }
    EXPECT_EQ(decodeWhole(inPlace, input), input);

    LzEncoder whole;
    std::size_t next = 0;
    for (std::size_t i = 0; i < inPlace.offsets.size(); ++i) {
      if (inPlace.payloads[i].empty()) continue;
      const std::size_t offset = inPlace.offsets[i];
      const std::size_t start = starts[next++];
      const std::size_t end = std::min(input.size(), offset + 8192);
      const std::span<const std::uint8_t> window(input.data() + start, end - start);
      EXPECT_EQ(whole.encodeBlock(window, offset - start, start), inPlace.payloads[i]) << offset;
    }
  }
}

// The bucket finder keeps its index through every drop of the oldest bytes: its
// matches still copy from the bytes the encoder holds, never from the kept contexts
// before them nor from what was dropped.
TEST(LzKeptWindow, BucketsCarriedThroughDropsCodeWhatTheWholeWindowDecodes) {
  const Bytes input = recurringInput();
  LzEncoderSettings settings;
  settings.bucketSlots = 8;
  for (const std::size_t firstLz : {std::size_t{0}, std::size_t{81920}}) {
    SCOPED_TRACE(firstLz);
    std::vector<std::uint64_t> starts;
    const Coded coded = codeInPlace(input, 8192, 40000, firstLz, starts, settings);
    EXPECT_GT(coded.mostContextBytes, 0u);
    EXPECT_GT(starts.back(), 0u);
    EXPECT_EQ(decodeWhole(coded, input), input);
  }
  // Random bytes that recur after the window has moved past them: their pairs and
  // triples were last seen in bytes that are gone, or only kept as contexts.
  testing::TestRandom random(3);
  Bytes phrases(200000);
  for (std::size_t i = 0; i < phrases.size(); ++i) {
    phrases[i] = i % 50000 < 30000 ? static_cast<std::uint8_t>(random.next()) : phrases[i % 50000];
  }
  for (const std::size_t kept : {std::size_t{20000}, std::size_t{35000}}) {
    const Coded coded = codeInBlocks(phrases, 4096, kept, settings);
    EXPECT_EQ(decodeWhole(coded, phrases), phrases) << kept;
  }
}

TEST(LzKeptWindow, KeepingMoreThanTheWindowCodesAsTheWholeWindowDoes) {
  const Bytes input = recurringInput();
  const Coded whole = codeInBlocks(input, 8192, 0);
  const Coded kept = codeInBlocks(input, 8192, input.size());
  EXPECT_EQ(kept.payloads, whole.payloads);
  EXPECT_EQ(kept.mostContextBytes, 0u);
}

TEST(LzKeptWindow, FarMatchesAreGivenUpForNearOnes) {
  // The same 40000 pseudo-random bytes twice, 100000 bytes apart: the whole window
  // copies the second time, a kept window of 20000 bytes cannot (the literal model's
  // remembered contexts still predict some of them).
  testing::TestRandom random(7);
  Bytes phrase(40000);
  for (std::uint8_t& byte : phrase) byte = static_cast<std::uint8_t>(random.next());
  Bytes input = phrase;
  const Bytes filler = testing::skewedBytes(100000, 3);
  input.insert(input.end(), filler.begin(), filler.end());
  input.insert(input.end(), phrase.begin(), phrase.end());
  const Coded whole = codeInBlocks(input, 8192, 0);
  const Coded kept = codeInBlocks(input, 8192, 20000);
  const auto total = [](const Coded& coded) {
    std::size_t sum = 0;
    for (const Bytes& payload : coded.payloads) sum += payload.size();
    return sum;
  };
  EXPECT_LT(total(whole) + 10000, total(kept));
  EXPECT_EQ(decodeWhole(kept, input), input);
}

}  // namespace
}  // namespace quorvex::lz
