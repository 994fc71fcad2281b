// Start-up tables, the entry learning rule and the mixing stages: the format's listed
// values and limits.
#include <gtest/gtest.h>

#include <memory>

#include "codecs/cm/cm_tables.hpp"
#include "codecs/cm/context_models.hpp"
#include "codecs/cm/mixer.hpp"
#include "codecs/cm/probability_map.hpp"
#include "model/logistic_tables.hpp"

namespace quorvex::cm {
namespace {

TEST(CmTables, ModelSelectTableListedEntries) {
  EXPECT_EQ(ModelSelectTable[0], 0xF4);
  EXPECT_EQ(ModelSelectTable[255], 0x0A);
  // R = 32, S = 16: orders 4 and 6 and the word model, nothing else.
  EXPECT_EQ(ModelSelectTable[16 * 4 + 2], 0x34);
  // R = 56, S = 88: the bit-history model joins (R > 50 and S > 80), order 6 drops.
  EXPECT_EQ(ModelSelectTable[16 * 7 + 11], 0x16);
  for (std::uint32_t i = 0; i < 256; ++i) {
    const std::uint32_t bits = ModelSelectTable[i];
    EXPECT_EQ(bits & 0x01, 0u) << i;
    // The model gates rely on these implications.
    if (bits & kUseOrder24) {
      EXPECT_TRUE(bits & kUseOrder10) << i;
    }
    if (bits & kUseOrder6) {
      EXPECT_TRUE(bits & kUseOrder4) << i;
    }
  }
}

TEST(CmTables, RollOffMultipliers) {
  EXPECT_EQ(RollOffTable6[1], 0x699C6D11u);
  EXPECT_EQ(RollOffTable10[1], 0xB5199319u);
  EXPECT_EQ(RollOffTable24[1], 0xD1A55A41u);
  EXPECT_EQ(RollOffTableMatch4[1], 0x502C3F11u);
  EXPECT_EQ(RollOffTableMatch8[1], 0x5D615F21u);
  EXPECT_EQ(RollOffTable24[0], 0u);
  EXPECT_EQ(RollOffTable24[255], 255u * 0xD1A55A41u);
}

// A rolling hash depends on its last n bytes only, whatever came before.
TEST(CmTables, RollingHashForgetsOlderBytes) {
  RollingHash<6> a;
  RollingHash<6> b;
  for (std::uint32_t c : {1u, 2u, 3u, 200u, 5u, 6u, 7u, 9u}) a.update(c, RollOffTable6, kOrder6Multiplier);
  for (std::uint32_t c : {77u, 0u, 255u}) b.update(c, RollOffTable6, kOrder6Multiplier);
  EXPECT_NE(a.value, b.value);
  for (std::uint32_t c : {10u, 20u, 30u, 40u, 50u, 60u}) {
    a.update(c, RollOffTable6, kOrder6Multiplier);
    b.update(c, RollOffTable6, kOrder6Multiplier);
  }
  EXPECT_EQ(a.value, b.value);
  EXPECT_EQ(a.slotHash(), b.slotHash());
  a.update(70, RollOffTable6, kOrder6Multiplier);
  EXPECT_NE(a.value, b.value);
}

TEST(CmProbabilityEntries, LearningFromOneHalf) {
  // One half, count 0, learning a 1: the probability moves by 255/1024 of the error.
  EXPECT_EQ(refineEntry(kHalfEntry, 1, 255), 0xBFC00001u);
  EXPECT_EQ(refineEntry(kHalfEntry, 0, 255), 0x40400001u);
  EXPECT_EQ(entryProbability(0xBFC00001u), 0xBFCu);
  // A count at its limit stays; a count above a smaller limit falls to it in one step.
  EXPECT_EQ(refineEntry(0x80000000u | 40, 1, 40) & 0xFF, 40u);
  EXPECT_EQ(refineEntry(0x80000000u | 200, 1, 32) & 0xFF, 32u);
  // Confident entries stay below certainty.
  std::uint32_t value = kHalfEntry;
  for (int i = 0; i < 5000; ++i) value = refineEntry(value, 1, 255);
  EXPECT_LE(entryProbability(value), 4095u);
  EXPECT_GE(entryProbability(value), 4090u);
}

TEST(CmMixing, ApmLimits) {
  EXPECT_EQ(apmLimit(0, 0), 32u);
  EXPECT_EQ(apmLimit(2, 0), 128u);
  EXPECT_EQ(apmLimit(3, 0), 255u);
  EXPECT_EQ(apmLimit(4, 0), 254u);  // 512 capped at 255, minus 1
  EXPECT_EQ(apmLimit(6, 0), 255u);
  EXPECT_EQ(apmLimit(0, kSlowApm), 255u);
  EXPECT_EQ(apmLimit(4, kSlowApm), 254u);
}

TEST(CmMixing, ApmInitialRowAndInterpolation) {
  auto apm = std::make_unique<ApmTable>();
  apm->reset();
  for (std::uint32_t i = 0; i < ApmTable::kColumns; ++i) {
    EXPECT_EQ((*apm)[13 * 4095 + i], (std::uint32_t{SquashTable[157 + 315 * i]} << 20) + 8);
  }
  // m = 2048 (a fresh mixer) lands on column 6 exactly, the squash of stretch -1.
  EXPECT_EQ(apm->refine(2048, 100, 0, 255), SquashTable[2047]);
  EXPECT_EQ(apm->pendingIndex(), 13u * 100 + 6);
  // Between columns 0 and 1 the nearer entry becomes pending.
  apm->refine(200, 7, 0, 255);  // 12m = 2400: nearer to column 1
  EXPECT_EQ(apm->pendingIndex(), 13u * 7 + 1);
  apm->refine(100, 7, 0, 255);  // 12m = 1200: nearer to column 0
  EXPECT_EQ(apm->pendingIndex(), 13u * 7);
  // Interpolation a quarter of the way from column 2 to column 3 (12m = 2 * 4096 + 1024).
  const std::uint32_t a = (*apm)[13 * 9 + 2] >> 12;
  const std::uint32_t b = (*apm)[13 * 9 + 3] >> 12;
  EXPECT_EQ(apm->refine(768, 9, 0, 255), (3072 * a + 1024 * b) >> 20);
}

TEST(CmMixing, ApmCountFallsToSmallerLimit) {
  auto apm = std::make_unique<ApmTable>();
  apm->reset();
  for (int i = 0; i < 60; ++i) apm->refine(2048, 0, 1, 255);
  EXPECT_EQ((*apm)[6] & 0xFF, 8u + 59);
  apm->refine(2048, 0, 1, 32);
  EXPECT_EQ((*apm)[6] & 0xFF, 32u);
}

TEST(CmMixing, MixerStartsNeutralAndSaturates) {
  Mixer mixer;
  mixer.inputs().fill(1500);
  EXPECT_EQ(mixer.mix(5), 2048u);  // all weights 0
  EXPECT_EQ(mixer.selectedSet(), 5u);
  mixer.setWeight(5, 0, 32767);
  mixer.setWeight(5, 1, -32768);
  mixer.inputs()[1] = -1500;
  mixer.learn(4095);
  EXPECT_EQ(mixer.weight(5, 0), 32767);   // would leave the range: stops at the bound
  EXPECT_EQ(mixer.weight(5, 1), -32768);
  // t = (1500 * 4095 * 16) >> 16 = 1499; the weight moves by (t + 1) >> 1.
  EXPECT_EQ(mixer.weight(5, 2), 750);
  EXPECT_EQ(mixer.weight(4, 2), 0);  // other sets untouched
}

TEST(CmMixing, FreshFinalMixerIsTheIdentityOnItsInput) {
  auto finalMixer = std::make_unique<FinalMixer>();
  finalMixer->reset();
  for (std::uint32_t p1 : {1u, 100u, 2048u, 3000u, 4095u}) {
    // A pair that has not learned gives back squash(stretch(p1)).
    const std::uint32_t pair = 32 * (p1 & 0xFF) + 4;
    EXPECT_EQ(finalMixer->mix(p1, pair, 0), SquashTable[StretchTable[p1]]) << p1;
  }
  EXPECT_EQ(finalMixer->weight(0, 1), 0x800000);
}

TEST(CmMixing, FinalProbabilityIsNeverZero) {
  EXPECT_EQ(finalProbability(0, 0), 1u);
  EXPECT_EQ(finalProbability(2046, 2046), 2047u);
  EXPECT_EQ(finalProbability(2047, 2047), 2048u);
  EXPECT_EQ(finalProbability(2048, 2048), 2048u);
  EXPECT_EQ(finalProbability(4095, 4095), 4095u);
  EXPECT_EQ(finalProbability(4095, 0), 1025u);
}

}  // namespace
}  // namespace quorvex::cm
