// Joining short stretches of one kind to their neighbours before blocks are cut: what
// joins what, what never joins, and that the runs still cover the data in order.
#include <gtest/gtest.h>

#include <vector>

#include "make/data_survey.hpp"

namespace quorvex {
namespace {

constexpr std::size_t kKiB = 1024;
using Runs = std::vector<KindRun>;

// Runs from their lengths and kinds, back to back from 0.
Runs runsOf(std::initializer_list<std::pair<std::size_t, DataKind>> parts) {
  Runs runs;
  std::size_t begin = 0;
  for (const auto& [length, kind] : parts) {
    runs.push_back({begin, begin + length, kind});
    begin += length;
  }
  return runs;
}

void expectRuns(const Runs& got, const Runs& want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t k = 0; k < got.size(); ++k) {
    EXPECT_EQ(got[k].begin, want[k].begin) << "run " << k;
    EXPECT_EQ(got[k].end, want[k].end) << "run " << k;
    EXPECT_EQ(got[k].kind, want[k].kind) << "run " << k;
  }
}

TEST(AbsorbShortRuns, ATarOfTextFlippingEveryFewChunksBecomesOneRun) {
  Runs flipping;
  for (std::size_t k = 0; k < 40; ++k) {
    const std::size_t length = (1 + k % 3) * 64 * kKiB;
    const std::size_t begin = flipping.empty() ? 0 : flipping.back().end;
    flipping.push_back({begin, begin + length, k % 2 == 0 ? DataKind::text : DataKind::generic});
  }
  const Runs joined = absorbShortRuns(flipping, 1024 * kKiB);
  ASSERT_EQ(joined.size(), 1u);
  EXPECT_EQ(joined[0].begin, 0u);
  EXPECT_EQ(joined[0].end, flipping.back().end);
}

TEST(AbsorbShortRuns, AShortRunJoinsItsLongerNeighbourAndLongRunsKeepTheirKind) {
  using enum DataKind;
  // 64 KiB of code between 2 MiB of text and 3 MiB of generic data joins the generic.
  expectRuns(absorbShortRuns(runsOf({{2048 * kKiB, text}, {64 * kKiB, x86}, {3072 * kKiB, generic}}), 1024 * kKiB),
             runsOf({{2048 * kKiB, text}, {3136 * kKiB, generic}}));
  // The shortest goes first: 64 KiB of records join the 960 KiB of generic data beside
  // them (noise takes nothing in), which is then long enough to stay generic.
  expectRuns(absorbShortRuns(runsOf({{4096 * kKiB, incompressible},
                                     {960 * kKiB, generic},
                                     {64 * kKiB, records},
                                     {4096 * kKiB, incompressible}}),
                             1024 * kKiB),
             runsOf({{4096 * kKiB, incompressible}, {1024 * kKiB, generic}, {4096 * kKiB, incompressible}}));
  // A run at either end has one neighbour.
  expectRuns(absorbShortRuns(runsOf({{64 * kKiB, text}, {2048 * kKiB, generic}, {128 * kKiB, records}}), 1024 * kKiB),
             runsOf({{2240 * kKiB, generic}}));
  // Nothing shorter than the bound, or no bound: the runs as they were.
  const Runs kept = runsOf({{1024 * kKiB, text}, {1024 * kKiB, generic}, {2048 * kKiB, x86}});
  expectRuns(absorbShortRuns(kept, 1024 * kKiB), kept);
  expectRuns(absorbShortRuns(runsOf({{64 * kKiB, text}, {64 * kKiB, generic}}), 0),
             runsOf({{64 * kKiB, text}, {64 * kKiB, generic}}));
}

TEST(AbsorbShortRuns, IncompressibleRunsTakeNothingIn) {
  using enum DataKind;
  // Text between two stretches of noise stays text: joined, it would be stored.
  const Runs between = runsOf({{4096 * kKiB, incompressible}, {64 * kKiB, text}, {4096 * kKiB, incompressible}});
  expectRuns(absorbShortRuns(between, 1024 * kKiB), between);
  // Beside noise and generic data, it joins the generic data however short that is.
  expectRuns(absorbShortRuns(runsOf({{4096 * kKiB, incompressible}, {64 * kKiB, text}, {128 * kKiB, generic}}),
                             1024 * kKiB),
             runsOf({{4096 * kKiB, incompressible}, {192 * kKiB, generic}}));
  // A short stretch of noise in compressible data is taken in.
  expectRuns(absorbShortRuns(runsOf({{2048 * kKiB, text}, {64 * kKiB, incompressible}, {1024 * kKiB, text}}),
                             1024 * kKiB),
             runsOf({{3136 * kKiB, text}}));
  // Only one run: nothing to join.
  const Runs alone = runsOf({{64 * kKiB, text}});
  expectRuns(absorbShortRuns(alone, 1024 * kKiB), alone);
}

}  // namespace
}  // namespace quorvex
