// The listed values of the LZ tables and the model's initial state.
#include <gtest/gtest.h>

#include "codecs/lz/lz_model.hpp"
#include "codecs/lz/lz_tables.hpp"
#include "lz_scripted_coder.hpp"
#include "model/logistic_tables.hpp"

namespace quorvex::lz {
namespace {

TEST(LzTables, HistoryContextTableListedValues) {
  EXPECT_EQ(HistoryContextTable[0x00], 16);
  EXPECT_EQ(HistoryContextTable[0xFF], 17);
  EXPECT_EQ(HistoryContextTable[0x0F], 9);
  EXPECT_EQ(HistoryContextTable[0x10], 8);
  EXPECT_EQ(HistoryContextTable[0x07], 7);
  EXPECT_EQ(HistoryContextTable[0x08], 0);
  EXPECT_EQ(HistoryContextTable[0x05], 5);
  EXPECT_EQ(kInitialHistoryContext, 17u);
  for (std::uint32_t i = 0; i < 256; ++i) EXPECT_LE(HistoryContextTable[i], 17) << i;
}

TEST(LzTables, SlotSetTableListedValues) {
  const std::uint8_t expected[16] = {0, 1, 2, 3, 4, 5, 6, 6, 7, 7, 7, 7, 7, 8, 8, 8};
  for (int i = 0; i < 16; ++i) EXPECT_EQ(SlotSetTable[i], expected[i]) << i;
}

TEST(LzModel, FootprintAndInitialValues) {
  EXPECT_EQ(sizeof(LzModel), 17300832u);
  const auto m = lztest::freshModel();
  EXPECT_EQ(m->MixerWeights[11][7], 0);
  EXPECT_EQ(m->Order1Probs[255][255], 0x80);
  EXPECT_EQ(m->Order2SparseProbs[3][200], 0x80);
  EXPECT_EQ(m->LiteralStateProbs[767], 0x80);
  EXPECT_EQ(m->NibbleStates[0], 0x88);  // state 8 in both halves
  EXPECT_EQ(m->NibbleStates[65535], 0x88);
  EXPECT_EQ(m->NibbleStateProbs[15], 0x8000);
  EXPECT_EQ(m->Order2States[256 * 256 * 256 - 1], 0);
  EXPECT_EQ(m->StateProbs[255], 0x80000000u);
  EXPECT_EQ(m->RepChoiceProbs[2047], 0x8000);
  EXPECT_EQ(m->MatchFlagProbs[255][7], 0x80);
  EXPECT_EQ(m->PositionHash[65535], 0u);
  EXPECT_EQ(m->ExtraBitProbs[31][25], 0x8000);

  // Interpolation rows: 0, 16 * squash at the evenly spaced points, 65535.
  const std::uint16_t* a = &m->MatchFlagApmA[287 * kFlagApmAColumns];
  EXPECT_EQ(a[0], 0);
  EXPECT_EQ(a[1], 16 * SquashTable[1023]);
  EXPECT_EQ(a[3], 16 * SquashTable[3071]);
  EXPECT_EQ(a[4], 65535);
  const std::uint16_t* literalRow = &m->LiteralApm[1535 * kLiteralApmColumns];
  EXPECT_EQ(literalRow[1], 16 * SquashTable[371]);  // step 372
  EXPECT_EQ(literalRow[11], 65535);
  const std::uint16_t* slotRow = &m->SlotApm[31 * kSlotApmColumns];
  EXPECT_EQ(slotRow[8], 16 * SquashTable[255 + 7 * 256]);  // step 256
  EXPECT_EQ(m->MatchFlagApmB[255 * kFlagApmBColumns + 9], 65535);
}

TEST(LzModel, InterpolationReadsBetweenColumnsAndPicksTheNearerToLearn) {
  std::uint16_t row[3] = {0, 32768, 65535};
  const MapReading atColumn = interpolate(row, 4096);
  EXPECT_EQ(atColumn.probability, 2048u);
  EXPECT_EQ(atColumn.entry, &row[1]);
  const MapReading justBelowHalf = interpolate(row, 4096 + 2047);
  EXPECT_EQ(justBelowHalf.entry, &row[1]);
  EXPECT_EQ(justBelowHalf.probability, (32768u * 2049u + 65535u * 2047u) >> 16);
  EXPECT_EQ(interpolate(row, 4096 + 2048).entry, &row[2]);
}

}  // namespace
}  // namespace quorvex::lz
