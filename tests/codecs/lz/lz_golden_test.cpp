// Golden payloads: two LZ blocks made once by the encoder (the second copies from the
// first), committed with the window they decode to. A change in what they decode to
// is a change of the format.
#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "codecs/lz/lz_codec.hpp"
#include "support/test_support.hpp"

namespace quorvex::lz {
namespace {

std::filesystem::path goldenDir() { return std::filesystem::path(__FILE__).parent_path() / "golden"; }

TEST(LzGolden, TwoBlocksDecodeToTheCommittedWindow) {
  const auto first = quorvex::testing::readFile(goldenDir() / "block1.lz");
  const auto second = quorvex::testing::readFile(goldenDir() / "block2.lz");
  const auto expected = quorvex::testing::readFile(goldenDir() / "window.out");
  ASSERT_EQ(expected.size(), 6000u);

  std::vector<std::uint8_t> window(64 + expected.size());
  std::uint8_t* base = window.data() + 64;
  LzDecoder decoder;
  ASSERT_TRUE(decoder.decodeBlock(first, base, base, 3000));
  ASSERT_TRUE(decoder.decodeBlock(second, base, base + 3000, 3000));
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), base));
}

}  // namespace
}  // namespace quorvex::lz
