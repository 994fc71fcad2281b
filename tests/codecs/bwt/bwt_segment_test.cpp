#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "codecs/bwt/backward_number.hpp"
#include "codecs/bwt/bwt_segment.hpp"
#include "codecs/bwt/byte_runs.hpp"
#include "codecs/bwt/run_starts.hpp"

namespace quorvex::bwt {
namespace {

void append(std::vector<std::uint8_t>& to, const std::vector<std::uint8_t>& bytes) {
  to.insert(to.end(), bytes.begin(), bytes.end());
}

// Decodes a hand-made coded segment in a region of 3c bytes followed by guard bytes.
std::vector<std::uint8_t> decodeHandMade(const std::vector<std::uint8_t>& coded, std::uint32_t c,
                                         std::uint32_t& result) {
  std::vector<std::uint8_t> region(3 * c + 32, 0x5A);
  std::copy(coded.begin(), coded.end(), region.begin());
  RunStartModel model;
  result = decodeSegment(model, region.data(), 3ull * c, static_cast<std::uint32_t>(coded.size()), c);
  for (std::size_t i = 3ull * c; i < region.size(); ++i) EXPECT_EQ(region[i], 0x5A) << "past the region";
  return {region.begin(), region.begin() + c};
}

class SegmentForms : public ::testing::Test {
 protected:
  SegmentForms() {
    const std::string text = "mississippi" + std::string(40, 's') + "ipp" + std::string(300, 'i') + "zz";
    bytes.assign(text.begin(), text.end());
    c = static_cast<std::uint32_t>(bytes.size());
    contracted = contractByteRuns(bytes);
    RunStartModel model;
    plain = encodeRunStarts(model, bytes);
    ofSymbols = encodeRunStarts(model, contracted.symbols);
  }
  std::vector<std::uint8_t> bytes;
  std::uint32_t c = 0;
  ContractedRuns contracted;
  RunStartStreams plain, ofSymbols;
};

// Trailer numbers in reading order L, B, E are stored E, B, L in memory.
TEST_F(SegmentForms, EveryCombinationOfStagesDecodes) {
  const auto saved = static_cast<std::uint32_t>(c - contracted.symbols.size());
  std::uint32_t result = 0;

  std::vector<std::uint8_t> stored = bytes;
  stored.push_back(0x80);
  stored.push_back(0x80);
  EXPECT_EQ(decodeHandMade(stored, c, result), bytes);
  EXPECT_EQ(result, c);

  std::vector<std::uint8_t> runStarts = plain.rawBits;
  append(runStarts, plain.arithmetic);
  appendBackwardNumber(runStarts, static_cast<std::uint32_t>(plain.rawBits.size()) + 1);
  appendBackwardNumber(runStarts, 0);
  EXPECT_EQ(decodeHandMade(runStarts, c, result), bytes);
  EXPECT_EQ(result, c);

  std::vector<std::uint8_t> expanded = contracted.runCounts;
  append(expanded, contracted.symbols);
  appendBackwardNumber(expanded, 0);
  appendBackwardNumber(expanded, static_cast<std::uint32_t>(contracted.runCounts.size()));
  appendBackwardNumber(expanded, saved);
  EXPECT_EQ(decodeHandMade(expanded, c, result), bytes);
  EXPECT_EQ(result, c);

  std::vector<std::uint8_t> both = contracted.runCounts;
  append(both, ofSymbols.rawBits);
  append(both, ofSymbols.arithmetic);
  appendBackwardNumber(both, static_cast<std::uint32_t>(ofSymbols.rawBits.size()) + 1);
  appendBackwardNumber(both, static_cast<std::uint32_t>(contracted.runCounts.size()));
  appendBackwardNumber(both, saved);
  EXPECT_EQ(decodeHandMade(both, c, result), bytes);
  EXPECT_EQ(result, c);
}

TEST_F(SegmentForms, SavingAllBytesMeansNoExpansionAndNoRunCountLength) {
  // L = c: A = 0, so the next number read is E, not B.
  std::vector<std::uint8_t> stored = bytes;
  appendBackwardNumber(stored, 0);
  appendBackwardNumber(stored, c);
  std::uint32_t result = 0;
  EXPECT_EQ(decodeHandMade(stored, c, result), bytes);
  EXPECT_EQ(result, c);
}

TEST_F(SegmentForms, TrailerFaultsFail) {
  std::uint32_t result = 1;
  std::vector<std::uint8_t> tooMuchSaved = bytes;
  appendBackwardNumber(tooMuchSaved, 0);
  appendBackwardNumber(tooMuchSaved, c + 1);
  decodeHandMade(tooMuchSaved, c, result);
  EXPECT_EQ(result, 0u);

  // The streams in front claim the whole segment: D >= N.
  std::vector<std::uint8_t> noRoom = bytes;
  appendBackwardNumber(noRoom, c + 1);  // S = c
  appendBackwardNumber(noRoom, 0);
  decodeHandMade(noRoom, c, result);
  EXPECT_EQ(result, 0u);

  // A run-start stream of 0xFF bytes does not describe a segment of this length.
  std::vector<std::uint8_t> broken(8, 0xFF);
  appendBackwardNumber(broken, 1);
  appendBackwardNumber(broken, 0);
  decodeHandMade(broken, c, result);
  EXPECT_EQ(result, 0u);
}

}  // namespace
}  // namespace quorvex::bwt
