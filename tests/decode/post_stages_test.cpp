// The BWT match stages, word runs and strided delta through the whole decoder: all of
// them in one block, the delta stage's size threshold, and side data that must fail
// its block.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "codecs/bwt/bwt_transform.hpp"
#include "support/decoded_archive.hpp"
#include "model/binary_coder.hpp"
#include "quorvex/archive_writer.hpp"
#include "support/test_support.hpp"

namespace quorvex {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::Decoded;
using testing::decode;

void append(Bytes& to, const Bytes& bytes) { to.insert(to.end(), bytes.begin(), bytes.end()); }

// Text with long repeats and marker-like bytes, runs of equal words, and 12-byte
// records with drifting numbers: something for every stage.
Bytes stageMix(std::uint64_t seed) {
  quorvex::testing::TestRandom random(seed);
  Bytes bytes;
  const std::string line = "The keeper climbed the one hundred and twelve steps of the tower.\n";
  for (int i = 0; i < 40; ++i) {
    append(bytes, Bytes(line.begin(), line.end() - static_cast<std::ptrdiff_t>(random.below(20))));
    append(bytes, {0xFE, 0xF1, static_cast<std::uint8_t>(i % 3), 0xFE, 0xF0, static_cast<std::uint8_t>(i % 2)});
  }
  append(bytes, Bytes(4 * 300, 0));
  for (std::uint32_t i = 0; i < 3000; ++i) {
    const auto sample = static_cast<std::uint16_t>(30000 + 20000 * std::sin(i / 30.0));
    append(bytes, {static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(i >> 8), 0, 0,
                   static_cast<std::uint8_t>(sample), static_cast<std::uint8_t>(sample >> 8), 'r', 'e', 'c', 0, 0,
                   static_cast<std::uint8_t>(random.below(4))});
  }
  append(bytes, Bytes(4 * 77, 0x5A));
  return bytes;
}

StageOptions allFourStages(StageUse use) {
  StageOptions stages;
  stages.localMatches = use;
  stages.historyMatches = use;
  stages.wordRuns = use;
  stages.delta = use;
  return stages;
}

TEST(PostStages, AllStagesInOneBlockThroughTheDecoder) {
  const Bytes first = stageMix(1);
  Bytes second = stageMix(2);
  append(second, Bytes(first.begin() + 500, first.begin() + 9000));  // history matches
  ArchiveWriter plain;
  ArchiveWriter staged;
  for (ArchiveWriter* writer : {&plain, &staged}) {
    const StageOptions stages = allFourStages(writer == &staged ? StageUse::always : StageUse::never);
    writer->addBwtBlock(first, stages);
    writer->addBwtBlock(second, stages);
    writer->addStoredBwtBlock(second, stages);
    writer->addLzBlock(second, stages);
  }
  const Decoded run = decode(staged.bytes());
  ASSERT_TRUE(run.result.ok()) << run.result.reason;
  Bytes expected = first;
  append(expected, second);
  append(expected, second);
  append(expected, second);
  EXPECT_TRUE(run.output == expected);
  EXPECT_LT(staged.bytes().size(), plain.bytes().size() * 9 / 10);
  // Chosen "when smaller", the stages never cost more than a few descriptor bytes.
  ArchiveWriter chosen;
  chosen.addBwtBlock(first, allFourStages(StageUse::whenSmaller));
  chosen.addBwtBlock(second, allFourStages(StageUse::whenSmaller));
  const Decoded chosenRun = decode(chosen.bytes());
  ASSERT_TRUE(chosenRun.result.ok()) << chosenRun.result.reason;
  EXPECT_TRUE(chosenRun.output == Bytes(expected.begin(), expected.begin() + first.size() + second.size()));
}

// A stored BWT block of data with the given side data set on it.
BlockFields storedBwt(const Bytes& data) {
  bwt::ForwardBwt transform = bwt::forwardBwt(data);
  BlockFields block;
  block.codecKind = 0;
  block.sizePresent = 0;
  block.bwtPrimaryIndex = transform.primaryIndex;
  block.payload = std::move(transform.transformed);
  return block;
}

TEST(PostStages, DeltaRunsOnBlocksOfMoreThan263Bytes) {
  const Bytes malformed(8, 0xFF);  // a prefix of 32 one-bits
  for (const std::size_t size : {263u, 264u}) {
    const Bytes data = quorvex::testing::skewedBytes(size, 7);
    BlockFields block = storedBwt(data);
    block.deltaData = malformed;
    const Decoded run = testing::decodeOneBlock(block);
    EXPECT_EQ(run.result.ok(), size == 263) << size;
    if (size == 263) {
      EXPECT_TRUE(run.output == data);
    }
  }
}

// A side stream of decisions that each meet a counter at its start value.
Bytes freshCounterBits(std::initializer_list<std::uint32_t> bits) {
  Bytes side;
  BinaryEncoder encoder(side);
  for (const std::uint32_t bit : bits) encoder.encodeBit(2048, bit);
  encoder.flush();
  return side;
}

TEST(PostStages, HostileSideDataFailsTheBlock) {
  const Bytes data = quorvex::testing::skewedBytes(1000, 8);
  {  // an in-block match at distance 0 (new distance, class 0, direct bit 0)
    Bytes escaped = data;
    append(escaped, {0xFE, 0xF1, 0x00});
    BlockFields block = storedBwt(escaped);
    block.bwtStageAData = freshCounterBits({1, 0, 0, 0, 0});  // length 7
    EXPECT_FALSE(testing::decodeOneBlock(block).result.ok());
  }
  {  // a history match naming this block's own bytes: only earlier blocks may be named
    ArchiveWriter writer;
    writer.addStoredBwtBlock(data);
    const Bytes eightBytes = freshCounterBits({0, 0});  // length class 0, tree bit 0
    Bytes escaped = data;
    append(escaped, {0xFE, 0xF0, 0xFF, 0xFF, 0xFC, 0x17});  // offset 1000, 8 bytes
    BlockFields block = storedBwt(escaped);
    block.bwtStageBData = eightBytes;
    writer.addBlock(block, escaped);
    const Decoded run = decode(writer.bytes());
    EXPECT_FALSE(run.result.ok());
    EXPECT_EQ(run.result.failedBlock, 1u);
    // One byte earlier (offset 999, ending at 1007) still reaches into this block.
    Bytes earlier = escaped;
    earlier[earlier.size() - 1] = 0x18;
    ArchiveWriter again;
    again.addStoredBwtBlock(data);
    BlockFields second = storedBwt(earlier);
    second.bwtStageBData = eightBytes;
    again.addBlock(second, earlier);
    EXPECT_FALSE(decode(again.bytes()).result.ok());
    // Offset 992 ends exactly where this block starts.
    earlier[earlier.size() - 1] = 0x1F;
    ArchiveWriter fits;
    fits.addStoredBwtBlock(data);
    BlockFields third = storedBwt(earlier);
    third.bwtStageBData = eightBytes;
    fits.addBlock(third, earlier);
    const Decoded fitsRun = decode(fits.bytes());
    ASSERT_TRUE(fitsRun.result.ok()) << fitsRun.result.reason;
    EXPECT_TRUE(Bytes(fitsRun.output.end() - 8, fitsRun.output.end()) == Bytes(data.end() - 8, data.end()));
  }
  {  // word runs: seven equal words then 31 more mark a class above 30
    BlockFields block = storedBwt(Bytes(4 * 38, 'w'));
    block.wordRunData = Bytes{};
    EXPECT_FALSE(testing::decodeOneBlock(block).result.ok());
  }
}

}  // namespace
}  // namespace quorvex
