#include <gtest/gtest.h>

#include <vector>

#include "model/counters.hpp"
#include "model/logistic_tables.hpp"
#include "model/state_table.hpp"

namespace quorvex {
namespace {

TEST(LogisticTables, StretchTableListedValues) {
  const std::pair<int, int> listed[] = {{0, 0},       {1, 64},      {2, 178},     {3, 277},     {4, 348},
                                        {8, 518},     {16, 688},    {64, 1032},   {256, 1384},  {1024, 1778},
                                        {2047, 2048}, {2048, 2047}, {2049, 2048}, {3000, 2294}, {4094, 4031},
                                        {4095, 4095}};
  for (const auto& [index, value] : listed) EXPECT_EQ(StretchTable[index], value) << "entry " << index;
}

TEST(LogisticTables, SquashTableListedValues) {
  const std::pair<int, int> listed[] = {{0, 0},       {32, 1},      {64, 1},      {178, 2},     {1000, 57},
                                        {1500, 398},  {2000, 1851}, {2047, 2047}, {2048, 2048}, {2049, 2053},
                                        {2100, 2264}, {3000, 4012}, {4000, 4094}, {4095, 4095}};
  for (const auto& [index, value] : listed) EXPECT_EQ(SquashTable[index], value) << "entry " << index;
}

TEST(LogisticTables, DerivedTablesListedValues) {
  EXPECT_EQ(ByteStretchTable[3], -1053);
  EXPECT_EQ(ByteStretchTable[4], -988);
  EXPECT_EQ(ByteStretchTable[128], 1);
  EXPECT_EQ(ByteStretchTable[252], 1056);
  EXPECT_EQ(ByteStretchTable[0], -2048);
  EXPECT_EQ(ByteStretchTable[255], 2047);

  EXPECT_EQ(ByteSquashTable[0], 0);
  EXPECT_EQ(ByteSquashTable[1], 0);
  EXPECT_EQ(ByteSquashTable[2], 1);
  EXPECT_EQ(ByteSquashTable[64], 64);
  EXPECT_EQ(ByteSquashTable[128], 2082);
  EXPECT_EQ(ByteSquashTable[192], 4034);
  EXPECT_EQ(ByteSquashTable[254], 4095);
  EXPECT_EQ(ByteSquashTable[255], 4095);

  EXPECT_EQ(ReciprocalTable[0], 255);
  EXPECT_EQ(ReciprocalTable[1], 204);
  EXPECT_EQ(ReciprocalTable[2], 146);
  EXPECT_EQ(ReciprocalTable[10], 44);
  EXPECT_EQ(ReciprocalTable[100], 5);
  EXPECT_EQ(ReciprocalTable[240], 2);
  for (int n = 241; n < 255; ++n) EXPECT_EQ(ReciprocalTable[n], 2);
  EXPECT_EQ(ReciprocalTable[255], 1);
}

TEST(LogisticTables, StretchIsMonotoneAndSquashInvertsIt) {
  for (int i = 1; i < 4096; ++i) {
    if (i != 2048) {
      EXPECT_GE(StretchTable[i], StretchTable[i - 1]) << i;
    }
    EXPECT_GE(SquashTable[i], SquashTable[i - 1]) << i;
  }
  // Squashing a stretched probability lands close to where it started.
  for (int p = 64; p < 4032; p += 7) EXPECT_NEAR(SquashTable[StretchTable[p]], p, 1 + p / 64) << p;
}

TEST(InterpolationRows, TwelveColumnRowAndCopies) {
  std::vector<std::uint16_t> rows(3 * 12, 0xAAAA);
  fillInterpolationRows(rows.data(), 3, 12, 372, 371);
  const std::uint16_t expected[12] = {0, 64, 320, 1440, 6064, 20768, 44448, 59344, 64064, 65200, 65440, 65535};
  for (int row = 0; row < 3; ++row) {
    for (int k = 0; k < 12; ++k) EXPECT_EQ(rows[row * 12 + k], expected[k]) << row << "," << k;
  }
  std::vector<std::uint16_t> same(12);
  fillInterpolationRows(same.data(), 1, 12);
  EXPECT_TRUE(std::equal(same.begin(), same.end(), expected));
}

TEST(Counters, AdaptCounterEdgeValues) {
  std::uint16_t top = 65535;
  adaptCounter(top, 1, 65550, 0, 4);
  EXPECT_EQ(top, 65535);
  std::uint16_t one = 1;
  adaptCounter(one, 0, 65550, 0, 4);
  EXPECT_EQ(one, 0);
  std::uint16_t half = 0x8000;
  adaptProbability16(half, 1, 4);
  EXPECT_EQ(half, 0x8000 + (0x8000 + 8) / 16);
  half = 0x8000;
  adaptProbability16(half, 0, 5);
  EXPECT_EQ(half, 0x8000 - 1024 + 0);  // floor((-32768 + 16) / 32) = -1024
  std::uint8_t small = 128;
  adaptCounter(small, 0, 256, 2, 2);
  EXPECT_EQ(small, 128 - 32 + 0);  // floor((-128 + 2) / 4) = -32
  std::uint32_t words[5] = {};
  fillWords(words, 0x80008000u, 4);
  EXPECT_EQ(words[3], 0x80008000u);
  EXPECT_EQ(words[4], 0u);
}

TEST(StateTable, SpotValues) {
  EXPECT_EQ(nextState(0, 0), 1);
  EXPECT_EQ(nextState(0, 1), 2);
  EXPECT_EQ(nextState(41, 1), 43);
  EXPECT_EQ(nextState(253, 1), 253);
  EXPECT_EQ(nextState(255, 0), 255);
  EXPECT_EQ(nextState(255, 1), 69);
}

}  // namespace
}  // namespace quorvex
