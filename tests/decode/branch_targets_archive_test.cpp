// Blocks of every codec with the branch-target stage, through the writer and decoder.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "support/decoded_archive.hpp"
#include "support/test_support.hpp"

namespace quorvex {
namespace {

TEST(BranchTargetBlocks, EveryCodecRestoresTheOperands) {
  std::vector<std::uint8_t> code = testing::readFile("/proc/self/exe");
  code.resize(std::min<std::size_t>(code.size(), 60000));
  StageOptions stages;
  stages.branchTargets = StageUse::always;
  ArchiveWriter writer;
  writer.addBwtBlock(code, stages);
  writer.addStoredBwtBlock(code, stages);
  writer.addLzBlock(code, stages);
  writer.addCmParams(20, 18, 0);
  writer.addCmBlock(code, true, stages);
  writer.addCmBlock(code, false, stages);  // kind 0: a context-mixing block with stage fields
  const testing::Decoded run = testing::decode(writer.bytes());
  ASSERT_TRUE(run.result.ok()) << run.result.reason;
  ASSERT_EQ(run.output.size(), 5 * code.size());
  for (std::size_t block = 0; block < 5; ++block) {
    EXPECT_TRUE(std::equal(code.begin(), code.end(), run.output.begin() + block * code.size())) << block;
  }
}

}  // namespace
}  // namespace quorvex
