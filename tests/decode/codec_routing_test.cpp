// Every codec through the whole road of a block: writer, record loop, dispatcher,
// history window, output image.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "quorvex/archive_writer.hpp"
#include "quorvex/decoder.hpp"
#include "support/decoded_archive.hpp"
#include "support/test_support.hpp"

namespace quorvex {
namespace {

using testing::Decoded;
using testing::decode;

std::vector<std::uint8_t> joined(std::initializer_list<std::vector<std::uint8_t>> parts) {
  std::vector<std::uint8_t> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

TEST(CodecRouting, EntropyCodedBwtTracesItsSegments) {
  const auto text = testing::repositoryText(20000);
  const std::vector<std::uint8_t> block(text.begin(), text.begin() + 20000);
  ArchiveWriter writer;
  writer.addBwtBlock(block);
  const Decoded run = decode(writer.bytes());
  ASSERT_TRUE(run.result.ok()) << run.result.reason;
  EXPECT_EQ(run.output, block);
  const std::string firstLine = run.console.substr(0, run.console.find('\n') + 1);
  EXPECT_EQ(firstLine.rfind("Decoding BWT block ", 0), 0u) << firstLine;
  EXPECT_NE(firstLine.find("->20000\n"), std::string::npos) << firstLine;
  EXPECT_NE(run.console.find("bwt round 0: "), std::string::npos) << run.console;
  EXPECT_NE(run.console.find(", 20000\n"), std::string::npos) << run.console;
}

TEST(CodecRouting, LzBlocksCopyFromEarlierBlocksOfAnyCodec) {
  const auto text = testing::repositoryText(24000);
  const std::vector<std::uint8_t> first(text.begin(), text.begin() + 12000);
  const std::vector<std::uint8_t> second(text.begin() + 12000, text.begin() + 24000);
  ArchiveWriter writer;
  writer.addStoredBwtBlock(first);
  writer.addLzBlock(first);   // a copy of the BWT block's bytes
  writer.addLzBlock(second);  // the model keeps learning across blocks
  writer.addLzBlock(second);
  const Decoded run = decode(writer.bytes());
  ASSERT_TRUE(run.result.ok()) << run.result.reason;
  EXPECT_EQ(run.output, joined({first, first, second, second}));
  // The repeated blocks cost almost nothing: each is one long match.
  const std::string copyLine = "Decoding LZ block ";
  const std::size_t at = run.console.find(copyLine);
  ASSERT_NE(at, std::string::npos);
  EXPECT_LT(std::stoul(run.console.substr(at + copyLine.size())), 100u) << run.console;
}

TEST(CodecRouting, ContextMixingSectionsAndTheirResets) {
  const auto binary = testing::ownProgram(11000);
  const std::vector<std::uint8_t> a(binary.begin(), binary.begin() + 6000);
  const std::vector<std::uint8_t> b(binary.begin() + 6000, binary.begin() + 11000);
  const std::vector<std::uint8_t> c = testing::skewedBytes(3000, 21);
  ArchiveWriter writer;
  writer.addCmParams(20, 18, 0);
  writer.addCmBlock(a);
  writer.addCmBlock(b, true);  // kind 1: resets the adaptive refinement first
  writer.addCodecParams({0, 0, 0, 0, 1});
  writer.addStoredBwtBlock(c);  // out of context-mixing mode again
  writer.addCmParams(21, 19, 1);  // a fresh model
  writer.addCmBlock(c);
  const Decoded run = decode(writer.bytes());
  ASSERT_TRUE(run.result.ok()) << run.result.reason;
  EXPECT_EQ(run.output, joined({a, b, c, c}));
  EXPECT_NE(run.console.find("Decoding CM block"), std::string::npos);
  EXPECT_NE(run.console.find("Decoding BWT block 3000->0\n"), std::string::npos);
}

TEST(CodecRouting, ContextMixingBlockWithoutItsSizeFailsAfterItsReset) {
  ArchiveWriter writer;
  writer.addCmParams(20, 18, 0);
  BlockFields block;
  block.codecKind = 1;
  block.sizePresent = 0;
  block.payload = {1, 2, 3};
  writer.addBlock(block, {});
  const Decoded run = decode(writer.bytes());
  EXPECT_EQ(run.result.status, DecodeStatus::blockFailed);
  EXPECT_EQ(run.console, "Decoding CM block 3->0\n");
  EXPECT_NE(run.result.reason.find("size"), std::string::npos) << run.result.reason;
}

}  // namespace
}  // namespace quorvex
