#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "codecs/bwt/byte_runs.hpp"
#include "support/test_support.hpp"

namespace quorvex::bwt {
namespace {

std::vector<std::uint8_t> bytesOf(const std::string& text) { return {text.begin(), text.end()}; }

// A run-count stream holding the given (class, number) pairs.
std::vector<std::uint8_t> runCounts(const std::vector<std::pair<std::uint32_t, std::uint32_t>>& counts) {
  std::vector<std::uint8_t> stream;
  BinaryEncoder encoder(stream);
  ClassTree tree;
  for (const auto& [k, n] : counts) codeClassNumber(encoder, tree, k, n);
  encoder.flush();
  return stream;
}

std::vector<std::uint8_t> expand(const std::vector<std::uint8_t>& symbols, const std::vector<std::uint8_t>& counts,
                                 std::uint32_t capacity, std::uint32_t& written) {
  BinaryDecoder decoder(counts);
  ClassTree tree;
  std::vector<std::uint8_t> output(capacity + 16, 0xEE);
  written = expandByteRuns(decoder, tree, symbols.data(), static_cast<std::uint32_t>(symbols.size()), output.data(),
                           capacity);
  for (std::uint32_t i = capacity; i < output.size(); ++i) EXPECT_EQ(output[i], 0xEE) << "past capacity";
  output.resize(written);
  return output;
}

TEST(ByteRuns, LeadingZeroPairTakesARunCount) {
  // The implicit previous byte 0 makes the first 00 a pair; the second 00 marks a run.
  std::uint32_t written = 0;
  EXPECT_EQ(expand({0, 0}, runCounts({{0, 1}}), 3, written), std::vector<std::uint8_t>(3, 0));
  EXPECT_EQ(written, 3u);
}

TEST(ByteRuns, PairThenDifferentByteRestartsTheSearchFromThatByte) {
  // a a b: no run, no count read. a a b b: the b after the pair pairs with the next b.
  std::uint32_t written = 0;
  EXPECT_EQ(expand(bytesOf("aab"), {}, 3, written), bytesOf("aab"));
  EXPECT_EQ(expand(bytesOf("aabb"), {}, 4, written), bytesOf("aabb"));
  // a a b b b b: the pair b b, a third b marking a run, one more b for class 1; with
  // n = 2 the run holds five b's.
  EXPECT_EQ(expand(bytesOf("aabbbb"), runCounts({{1, 2}}), 10, written), bytesOf("aabbbbb"));
  const ContractedRuns forward = contractByteRuns(bytesOf("aabbbbb"));
  EXPECT_EQ(forward.symbols, bytesOf("aabbbb"));
}

TEST(ByteRuns, LeadingZeroRunNeedsOnlyTwoCopies) {
  const std::vector<std::uint8_t> zeros(10, 0);
  const ContractedRuns forward = contractByteRuns(zeros);
  // Two copies, then class 3 of n = 8 as three more.
  EXPECT_EQ(forward.symbols, std::vector<std::uint8_t>(5, 0));
  std::uint32_t written = 0;
  EXPECT_EQ(expand(forward.symbols, forward.runCounts, 10, written), zeros);
}

TEST(ByteRuns, Failures) {
  std::uint32_t written = 0;
  expand({}, {}, 10, written);
  EXPECT_EQ(written, 0u);  // A = 0
  expand(bytesOf("abc"), {}, 2, written);
  EXPECT_EQ(written, 0u);  // A above capacity
  // 3 + 31 copies: a class above 30.
  expand(std::vector<std::uint8_t>(34, 'x'), {}, 1000, written);
  EXPECT_EQ(written, 0u);
  // A run of n = 1 with no room left for it, then with room.
  expand(bytesOf("xxx"), runCounts({{0, 1}}), 3, written);
  EXPECT_EQ(written, 0u);
  expand(bytesOf("xxx"), runCounts({{0, 1}}), 4, written);
  EXPECT_EQ(written, 4u);
  // The room must also hold the input still to come.
  expand(bytesOf("xxxyz"), runCounts({{0, 1}}), 5, written);
  EXPECT_EQ(written, 0u);
}

TEST(ByteRuns, LargestClassFailsOnRoomNotOnClass) {
  // 3 + 30 copies mark class 30: n >= 2^30 cannot fit in a small output.
  std::vector<std::uint8_t> symbols(33, 'x');
  std::uint32_t written = 0;
  expand(symbols, runCounts({{30, (1u << 30) + 12345}}), 4096, written);
  EXPECT_EQ(written, 0u);
}

TEST(ByteRuns, RoundTrips) {
  std::vector<std::vector<std::uint8_t>> cases;
  cases.push_back(bytesOf("a"));
  cases.push_back({0});
  cases.push_back(bytesOf("aaabbbbccccc" + std::string(3, '\0') + "dddddddddddddddddddddddde"));
  cases.push_back(std::vector<std::uint8_t>(3, 'q'));
  cases.push_back(std::vector<std::uint8_t>(4, 'q'));
  std::vector<std::uint8_t> classes;  // runs of every length class up to 20
  for (std::uint32_t k = 0; k <= 20; ++k) {
    classes.insert(classes.end(), 3 + (1u << k) + k, static_cast<std::uint8_t>('A' + k % 2));
  }
  cases.push_back(classes);
  cases.push_back(quorvex::testing::skewedBytes(50000, 3));
  for (const auto& bytes : cases) {
    const ContractedRuns forward = contractByteRuns(bytes);
    std::uint32_t written = 0;
    EXPECT_EQ(expand(forward.symbols, forward.runCounts, static_cast<std::uint32_t>(bytes.size()), written), bytes);
  }
}

}  // namespace
}  // namespace quorvex::bwt
