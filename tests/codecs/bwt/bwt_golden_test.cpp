#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "codecs/bwt/bwt_payload.hpp"
#include "support/test_support.hpp"

namespace quorvex::bwt {
namespace {

const std::filesystem::path kGolden = std::filesystem::path(__FILE__).parent_path() / "golden";

void expectGolden(const std::string& name) {
  const std::vector<std::uint8_t> payload = quorvex::testing::readFile(kGolden / (name + ".bwtp"));
  const std::vector<std::uint8_t> expected = quorvex::testing::readFile(kGolden / (name + ".transformed"));
  ASSERT_FALSE(payload.empty()) << name;
  ASSERT_FALSE(expected.empty()) << name;
  std::vector<std::uint8_t> buffer(std::max(payload.size(), 3 * expected.size()));
  std::copy(payload.begin(), payload.end(), buffer.begin());
  std::uint32_t segments = 0;
  const std::uint32_t length =
      decodeBwtPayload(buffer.data(), static_cast<std::uint32_t>(payload.size()),
                       static_cast<std::uint32_t>(buffer.size()),
                       [&](std::uint32_t, std::uint32_t, std::uint32_t) { ++segments; });
  ASSERT_EQ(length, expected.size()) << name;
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), buffer.begin())) << name;
  EXPECT_GT(segments, 0u);
}

TEST(BwtGolden, PayloadsDecodeToTheirTransformedBlocks) {
  expectGolden("alice_32k");
  expectGolden("mixed_segments");
}

}  // namespace
}  // namespace quorvex::bwt
