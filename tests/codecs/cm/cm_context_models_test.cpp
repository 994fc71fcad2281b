// The hashed context table, the word model and the match model's byte statistics.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <memory>
#include <string>

#include "codecs/cm/context_hash_table.hpp"
#include "codecs/cm/context_models.hpp"
#include "codecs/cm/match_model.hpp"
#include "codecs/cm/mixer.hpp"
#include "codecs/cm/word_model.hpp"

namespace quorvex::cm {
namespace {

constexpr std::uint32_t hashWithCheck(std::uint32_t bucket, std::uint32_t check) { return (check << 24) | bucket; }

TEST(CmContextHashTable, SizesUseTheBitCountModulo32) {
  EXPECT_EQ(ContextHashTable::bytesFor(20), (1u << 20) + 16449u);
  EXPECT_EQ(ContextHashTable::bytesFor(32), 1u + 16449u);
  EXPECT_EQ(ContextHashTable::bytesFor(35), 8u + 16449u);
  ContextHashTable table;
  ASSERT_TRUE(table.allocate(33));
  EXPECT_EQ(table.hashMask(), 1u);
  // Every hash maps to the one bucket at offset 0.
  EXPECT_EQ(table.bucketLookup(0x12345678) & ~63u, 0u);
}

TEST(CmContextHashTable, BucketReplacementRule) {
  ContextHashTable table;
  ASSERT_TRUE(table.allocate(12));  // 64 buckets
  std::uint8_t* bytes = table.bytes();
  const std::uint32_t bucket = 5 * 64;

  // An empty bucket: all node-0 states are 0, so way 0 is claimed.
  EXPECT_EQ(table.bucketLookup(hashWithCheck(5, 0xAB)), bucket + 4);
  EXPECT_EQ(bytes[bucket], 0xAB);

  // Ways found by their check bytes, tried in order 0..3, keep their states.
  bytes[bucket + 1] = 0x11;
  bytes[bucket + 2] = 0x22;
  bytes[bucket + 3] = 0x33;
  bytes[bucket + 4 + 0] = 5;  // node-0 states of ways 0..3
  bytes[bucket + 4 + 1] = 3;
  bytes[bucket + 4 + 2] = 3;
  bytes[bucket + 4 + 3] = 7;
  bytes[bucket + 4 + 1 + 4 * 14] = 99;  // last node of way 1
  EXPECT_EQ(table.bucketLookup(hashWithCheck(5, 0x33)), bucket + 4 + 3);
  EXPECT_EQ(bytes[bucket + 4 + 3], 7);

  // A new check replaces the way with the smallest node-0 state, ties to the lower way,
  // and clears its 15 nodes.
  EXPECT_EQ(table.bucketLookup(hashWithCheck(5, 0x44)), bucket + 4 + 1);
  EXPECT_EQ(bytes[bucket + 1], 0x44);
  EXPECT_EQ(bytes[bucket + 4 + 1], 0);
  EXPECT_EQ(bytes[bucket + 4 + 1 + 4 * 14], 0);
  EXPECT_EQ(bytes[bucket + 4 + 2], 3);  // the tied way 2 is untouched
  // Way 1 now has state 0: the next newcomer takes it again.
  EXPECT_EQ(table.bucketLookup(hashWithCheck(5, 0x55)), bucket + 4 + 1);
  // The bucket is the hash times 64 within the table.
  EXPECT_EQ(table.bucketLookup(hashWithCheck(64 + 9, 1)) & ~63u, 9u * 64);
}

TEST(CmContextHashTable, SecondNibbleBuckets) {
  ContextHashTable table;
  ASSERT_TRUE(table.allocate(12));
  const std::uint32_t first = table.bucketLookup(hashWithCheck(2, 7));
  // An odd number of buckets further: the key's low bit is forced to 1.
  EXPECT_EQ(table.nibbleLookup(first + 20, 0x10) & ~63u, (2u + 0x11) * 64);
  EXPECT_EQ(table.nibbleLookup(first + 20, 0x11) & ~63u, (2u + 0x11) * 64);
  const std::uint32_t second = table.nibbleLookup(first, 0x1F6);
  EXPECT_EQ(second & ~63u, (2u + 0xF7) * 64);
  EXPECT_EQ(table.bytes()[second & ~63u], 0xF6);  // check byte: the key's low byte

  // The last bucket's second-nibble bucket lies in the spare bytes behind the table.
  const std::uint32_t last = table.bucketLookup(hashWithCheck(63, 1));
  const std::uint32_t spare = table.nibbleLookup(last + 56, 0xFF);
  EXPECT_EQ(spare & ~63u, 63u * 64 + 255u * 64);
  EXPECT_LT(spare + 4 * 14, ContextHashTable::bytesFor(12));
}

TEST(CmWordModel, Characters) {
  EXPECT_EQ(wordCharacter('a', 0), 1u);
  EXPECT_EQ(wordCharacter('z', 0), 26u);
  EXPECT_EQ(wordCharacter('A', 0), 0u);  // folded by the caller first
  EXPECT_EQ(toLowerCase('A'), static_cast<std::uint32_t>('a'));
  EXPECT_EQ(toLowerCase('['), static_cast<std::uint32_t>('['));
  EXPECT_EQ(toLowerCase('@'), static_cast<std::uint32_t>('@'));
  EXPECT_EQ(wordCharacter('7', 0), 0u);
  EXPECT_EQ(wordCharacter(' ', 0), 0u);
  EXPECT_EQ(wordCharacter(0xC3, 19), 0xC3u);  // high bytes are letters in text with short words
  EXPECT_EQ(wordCharacter(0xC3, 20), 0u);
  EXPECT_EQ(wordCharacter(127, 0), 0u);
}

TEST(CmWordModel, LengthAndClass) {
  WordState word;
  EXPECT_EQ(word.mixerClass(), 1u);
  word.extend(3);
  EXPECT_EQ(word.length, 2);
  EXPECT_EQ(word.number, 3u);
  word.extend(1);
  EXPECT_EQ(word.number, 27u * 3 + 1);
  EXPECT_EQ(word.mixerClass(), 2u);  // length 4 > 3
  for (int i = 0; i < 3; ++i) word.extend(1);
  EXPECT_EQ(word.mixerClass(), 3u);  // length 10 > 9
  EXPECT_TRUE(word.direct() == false);

  WordState high;
  high.extend(200);
  EXPECT_EQ(high.length, 3);  // a word that begins with a high byte has an odd length
  EXPECT_EQ(high.mixerClass(), 0u);

  // Twice the characters in one byte: 64 characters reach 128, 128 wrap to 0.
  WordState longWord;
  for (int i = 0; i < 63; ++i) longWord.extend(5);
  EXPECT_EQ(longWord.length, 126);
  longWord.extend(5);
  EXPECT_EQ(longWord.length, 128);
  for (int i = 0; i < 64; ++i) longWord.extend(5);
  EXPECT_EQ(longWord.length, 0);
}

// Drives the byte-boundary steps of the context models directly, with no prediction
// error (so the model selection settles on its most confident entry).
class ContextModelsDriver {
 public:
  ContextModelsDriver() : models_(std::make_unique<ContextModels>()) { EXPECT_TRUE(models_->allocate(16)); }

  void byte(std::uint32_t c, std::uint32_t matchLength = 0, std::uint8_t errorSum = 0) {
    history_ = (history_ << 8) | c;
    models_->updateByte(c, history_, matchLength, errorSum, 0);
    models_->lookUpSlots();
  }
  void text(const std::string& s, std::uint32_t matchLength = 0) {
    for (unsigned char c : s) byte(c, matchLength);
  }
  ContextModels& models() { return *models_; }
  std::uint32_t history() const { return history_; }

 private:
  std::unique_ptr<ContextModels> models_;
  std::uint32_t history_ = 0;
};

TEST(CmWordModel, CaseFoldingAndWordEnds) {
  ContextModelsDriver a;
  ContextModelsDriver b;
  a.text("................ The");
  b.text("................ the");
  ASSERT_EQ(a.models().modelSet(), 0xF4u);  // settled: every high-order model, the word model
  EXPECT_EQ(a.models().word().number, b.models().word().number);
  EXPECT_EQ(a.models().word().number, (20u * 27 + 8) * 27 + 5);
  a.text("7");  // a digit ends the word
  EXPECT_EQ(a.models().word().number, 0u);
  EXPECT_EQ(a.models().word().length, 0);
}

TEST(CmWordModel, LongWordsPauseTheWordModel) {
  ContextModelsDriver driver;
  driver.text("................ ");
  driver.text(std::string(63, 'q'));
  EXPECT_EQ(driver.models().word().length, 126);
  EXPECT_TRUE(driver.models().modelSet() & kUseWord);
  driver.text("q");  // 64 characters: length 128
  EXPECT_FALSE(driver.models().modelSet() & kUseWord);
  // With a long match the model set is kept, and the cleared bit with it: the word
  // model stays out, and while it is out every byte ends the word.
  driver.text("q", 40);
  EXPECT_FALSE(driver.models().modelSet() & kUseWord);
  EXPECT_EQ(driver.models().word().length, 0);
  // A short match lets the selection run again.
  driver.text("q", 0);
  EXPECT_TRUE(driver.models().modelSet() & kUseWord);
  EXPECT_EQ(driver.models().word().length, 2);
}

TEST(CmContextModels, BitHistoryTakesInputFourWhileOrderSixLearns) {
  ContextModelsDriver driver;
  driver.text(std::string(40, '.'));  // no errors: both averages decay to 0
  for (int i = 0; i < 3; ++i) driver.byte('x', 0, 127);  // a burst: the fast average jumps
  ASSERT_EQ(driver.models().modelSet(), 0x36u);  // orders 4 and 6, word, bit history; no order 10

  std::int16_t inputs[12] = {};
  const std::uint32_t recentBits = 0x1ABCD;
  driver.models().predict(inputs, 1, 0, 0, recentBits);
  EXPECT_EQ(inputs[4], 0);  // a fresh bit-history byte (128), not the order-6 reading (-1)
  driver.models().learn(1, inputs[0]);
  EXPECT_EQ(driver.models().hashTable().bytes()[driver.models().slotOffset(kOrder6)], nextState(0, 1));
  driver.models().predict(inputs, 1, 0, 0, recentBits);
  EXPECT_EQ(inputs[4], (132 - 128) * 16);  // 128 moved a 32nd of the way (rounded) toward 256
}

TEST(CmContextModels, OrdersThreeAndFourShareTheSecondNibbleKey) {
  ContextModelsDriver driver;
  driver.text(std::string(40, '.') + "ab");
  ASSERT_TRUE(driver.models().modelSet() & kUseOrder4);
  const std::uint32_t order3 = driver.models().slotOffset(kOrder3) & ~63u;
  const std::uint32_t order4 = driver.models().slotOffset(kOrder4) & ~63u;
  const std::uint32_t c0 = 16 + 0x6;
  driver.models().nibbleBoundary(c0, driver.history());
  const std::uint32_t step = 64 * (((c0 ^ 'b') | 1) & 0xFF);
  EXPECT_EQ(driver.models().slotOffset(kOrder3) & ~63u, order3 + step);
  EXPECT_EQ(driver.models().slotOffset(kOrder4) & ~63u, order4 + step);
}

std::unique_ptr<MatchModel> makeMatchModel(std::uint32_t historySize) {
  auto model = std::make_unique<MatchModel>();
  EXPECT_TRUE(model->allocate(18, historySize));
  return model;
}

void feed(MatchModel& model, const std::string& bytes) {
  for (unsigned char c : bytes) {
    model.appendByte(c);
    model.predictByte();
  }
}

TEST(CmMatchModel, RecordPredictorStartsTwoAndFourBack) {
  auto model = makeMatchModel(65536);
  EXPECT_EQ(model->bestDistance(), 0u);
  feed(*model, "abcdef");
  EXPECT_EQ(model->position(), 7u);
  EXPECT_EQ(model->recordPosition(), 5u);  // distance code 0: two bytes back
}

TEST(CmMatchModel, DistanceStatistics) {
  // Equal consecutive bytes (distance 1) never count: only the distance 5 between a
  // byte pair and the next one does (code 3), and it wins over the initial code 0.
  std::string doubled;
  for (int i = 0; i < 300; ++i) doubled += "aabbcc";
  auto model = makeMatchModel(65536);
  feed(*model, doubled);
  EXPECT_EQ(model->bestDistance(), 3u);

  auto runs = makeMatchModel(65536);
  feed(*runs, std::string(1000, 'x'));
  EXPECT_EQ(runs->bestDistance(), 0u);
}

TEST(CmMatchModel, VerificationReadsTheZeroBytesInFrontOfTheWindow) {
  // At the start, a zero byte has a context of zeros, like the bytes in front of the
  // window: both matches are found at once.
  auto zero = makeMatchModel(65536);
  feed(*zero, std::string(1, '\0'));
  EXPECT_EQ(zero->matchBLength(), 8u);
  EXPECT_EQ(zero->matchALength(), 4u);
  EXPECT_EQ(zero->matchLength(), 8u);

  auto other = makeMatchModel(65536);
  feed(*other, "x");
  EXPECT_EQ(other->matchLength(), 0u);
}

TEST(CmMatchModel, SpaceGapAverageCountsGapsUpToDistanceCode127) {
  // Spaces 129 bytes apart have distance code 127, the last one averaged:
  // (31 * 0 + 2 * 127 + 16) >> 5 = 8. Spaces 130 apart (code 128) leave it alone.
  auto model = makeMatchModel(65536);
  feed(*model, " " + std::string(128, 'x') + " ");
  EXPECT_EQ(model->spaceGapAverage(), 8u);
  feed(*model, std::string(129, 'y') + " ");
  EXPECT_EQ(model->spaceGapAverage(), 8u);
  feed(*model, std::string(127, 'z') + " ");  // code 126: (31 * 8 + 252 + 16) >> 5
  EXPECT_EQ(model->spaceGapAverage(), 16u);
}

TEST(CmMatchModel, MatchMapCountsStopAtForty) {
  // Every bit of a long repeat lands on the few entries of a long agreeing match: their
  // counts reach the limit and stay there.
  auto model = makeMatchModel(65536);
  std::string period;
  for (int i = 0; i < 37; ++i) period += static_cast<char>('A' + (i * 7) % 26);
  std::array<std::int16_t, kMixerInputs> inputs{};
  std::uint32_t y = 0;
  for (int repeat = 0; repeat < 20; ++repeat) {
    for (unsigned char c : period) {
      std::uint32_t c0 = 1;
      for (std::uint32_t k = 8; k >= 1; --k) {
        model->predictBit(c0, y, k, inputs.data());
        y = (c >> (k - 1)) & 1u;
        c0 = 2 * c0 + y;
      }
      model->appendByte(c);
      model->predictByte();
    }
  }
  std::uint32_t largest = 0;
  for (std::uint32_t i = 0; i < 1024; ++i) largest = std::max(largest, model->matchMapA()[i] & 0xFF);
  EXPECT_EQ(largest, 40u);
}

TEST(CmMatchModel, MatchesGrowAndPositionsWrap) {
  auto model = makeMatchModel(1000);
  std::string period;
  for (int i = 0; i < 37; ++i) period += static_cast<char>('A' + (i * 7) % 26);
  std::string data;
  while (data.size() < 3000) data += period;
  feed(*model, data);
  EXPECT_EQ(model->position(), (1 + data.size()) % 1000);
  EXPECT_EQ(model->matchLength(), kMaxMatchLength);
}

}  // namespace
}  // namespace quorvex::cm
