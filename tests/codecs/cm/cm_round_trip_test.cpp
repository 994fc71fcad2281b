// Round trips through the encoder and the decoder: the two directions of the one model
// must stay in step across blocks, resets and window wrap-around.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "codecs/cm/cm_codec.hpp"
#include "support/test_support.hpp"

namespace quorvex::cm {
namespace {

using quorvex::testing::corpusFile;
using quorvex::testing::repositoryText;
using quorvex::testing::skewedBytes;

struct Params {
  std::uint32_t tableBitsA = 20;
  std::uint32_t tableBitsB = 18;
  std::uint32_t historySize = 65536;
};

struct Block {
  std::vector<std::uint8_t> data;
  bool resetAdaptation = false;
};

std::vector<std::uint8_t> slice(const std::vector<std::uint8_t>& bytes, std::size_t offset, std::size_t size) {
  offset = std::min(offset, bytes.size());
  size = std::min(size, bytes.size() - offset);
  return {bytes.begin() + static_cast<std::ptrdiff_t>(offset), bytes.begin() + static_cast<std::ptrdiff_t>(offset + size)};
}

// Splits data into blocks of the given sizes (the last block takes the rest).
std::vector<Block> split(const std::vector<std::uint8_t>& data, std::initializer_list<std::size_t> sizes) {
  std::vector<Block> blocks;
  std::size_t offset = 0;
  for (std::size_t size : sizes) {
    blocks.push_back({slice(data, offset, size)});
    offset += size;
  }
  if (offset < data.size()) blocks.push_back({slice(data, offset, data.size() - offset)});
  return blocks;
}

std::vector<std::vector<std::uint8_t>> encodeBlocks(const Params& params, const std::vector<Block>& blocks) {
  CmEncoderPtr encoder = createCmEncoder(params.tableBitsA, params.tableBitsB, params.historySize);
  EXPECT_NE(encoder, nullptr);
  std::vector<std::vector<std::uint8_t>> payloads;
  if (!encoder) return payloads;
  for (const Block& block : blocks) {
    if (block.resetAdaptation) resetCmAdaptation(*encoder);
    payloads.push_back(encodeCmBlock(*encoder, block.data));
  }
  return payloads;
}

// Decodes the payloads with a fresh decoder; `resets` says which blocks have codecKind 1.
std::vector<std::vector<std::uint8_t>> decodeBlocks(const Params& params, const std::vector<Block>& blocks,
                                                    const std::vector<std::vector<std::uint8_t>>& payloads) {
  CmDecoderPtr decoder = createCmDecoder(params.tableBitsA, params.tableBitsB, params.historySize);
  EXPECT_NE(decoder, nullptr);
  std::vector<std::vector<std::uint8_t>> decoded;
  if (!decoder) return decoded;
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    if (blocks[i].resetAdaptation) resetCmAdaptation(*decoder);
    std::vector<std::uint8_t> out(blocks[i].data.size(), 0xA5);
    decodeCmBlock(*decoder, payloads[i], out.data(), static_cast<std::uint32_t>(out.size()));
    decoded.push_back(std::move(out));
  }
  return decoded;
}

void expectRoundTrip(const Params& params, const std::vector<Block>& blocks) {
  const auto payloads = encodeBlocks(params, blocks);
  ASSERT_EQ(payloads.size(), blocks.size());
  const auto decoded = decodeBlocks(params, blocks, payloads);
  ASSERT_EQ(decoded.size(), blocks.size());
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    ASSERT_EQ(decoded[i], blocks[i].data) << "block " << i;
  }
}

std::size_t totalSize(const std::vector<std::vector<std::uint8_t>>& payloads) {
  std::size_t total = 0;
  for (const auto& payload : payloads) total += payload.size();
  return total;
}

TEST(CmRoundTrip, TextAcrossSeveralBlocks) {
  const auto text = repositoryText(48 * 1024);
  const auto blocks = split(text, {1, 7000, 20000});
  expectRoundTrip({}, blocks);
  // The model must actually model: text well below 4 bits per byte.
  EXPECT_LT(totalSize(encodeBlocks({}, blocks)), text.size() / 2);
}

TEST(CmRoundTrip, OwnProgramCode) {
  expectRoundTrip({}, split(quorvex::testing::ownProgram(24 * 1024), {10000, 3}));
}

TEST(CmRoundTrip, CorpusFilesOfEveryKind) {
  QUORVEX_SKIP_WITHOUT_CORPUS();
  for (const char* name : {"binary/kppkn.gtb", "exe/sed-x86_64.elf", "binary/geo.protodata", "audio/sweep-mono8.wav"}) {
    SCOPED_TRACE(name);
    const auto data = slice(corpusFile(name), 4096, 24 * 1024);
    expectRoundTrip({}, split(data, {10000, 3}));
  }
}

TEST(CmRoundTrip, ResetAdaptationBlocks) {
  const auto text = repositoryText(32 * 1024);
  auto blocks = split(text, {8000, 8000, 8000});
  blocks[1].resetAdaptation = true;
  blocks[3].resetAdaptation = true;
  expectRoundTrip({}, blocks);

  // The reset is part of the stream: a decoder that skips it goes astray.
  const auto payloads = encodeBlocks({}, blocks);
  auto withoutResets = blocks;
  for (Block& block : withoutResets) block.resetAdaptation = false;
  const auto decoded = decodeBlocks({}, withoutResets, payloads);
  EXPECT_EQ(decoded[0], blocks[0].data);
  EXPECT_NE(decoded[1], blocks[1].data);
}

TEST(CmRoundTrip, SmallWindowWrapsAround) {
  // A window far smaller than the data, of a size that is not a power of two: every
  // predictor position wraps from historySize - 1 to 0 many times.
  const auto text = slice(repositoryText(50 * 1024), 10000, 40 * 1024);
  expectRoundTrip({20, 18, 3000}, split(text, {5000, 15000}));
  expectRoundTrip({20, 18, 2}, split(text, {2000}));
  const auto skewed = skewedBytes(20000, 7);
  expectRoundTrip({20, 18, 4096}, split(skewed, {7777}));
}

TEST(CmRoundTrip, SmallestAndWrappedTableSizes) {
  // A record with count 2 leaves both bit counts at 0; counts of 32 and more are taken
  // modulo 32. Every bucket then lies in the first bytes and the spare area.
  const auto text = repositoryText(16 * 1024);
  expectRoundTrip({0, 0, 65536}, split(text, {4000}));
  expectRoundTrip({35, 33, 65536}, split(text, {4000}));
  expectRoundTrip({6, 1, 65536}, split(text, {4000}));
}

TEST(CmRoundTrip, DegenerateData) {
  expectRoundTrip({}, {{std::vector<std::uint8_t>(20000, 0)}, {std::vector<std::uint8_t>(5000, 0xFF)}});
  std::vector<std::uint8_t> ramp(30000);
  for (std::size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<std::uint8_t>(i * 7 + (i >> 8));
  expectRoundTrip({}, split(ramp, {100}));
  quorvex::testing::TestRandom random(99);
  std::vector<std::uint8_t> noise(8192);
  for (auto& byte : noise) byte = static_cast<std::uint8_t>(random.next());
  expectRoundTrip({}, {{noise}, {{}}, {noise}});
}

}  // namespace
}  // namespace quorvex::cm
