// The context models of the context-mixing codec: mixer inputs 0 to 7.
//
// Every model keeps one bit-history state byte per context and bit position (a nibble
// tree of 15 nodes per nibble), and a `StateMap` that turns states into probabilities.
//   order-1, order-2, sparse  - direct tables with rows of 256 state bytes,
//   orders 3, 4, 6, 10, 24    - hashed slots in the `ContextHashTable`,
//   word                      - the `WordTable` for short words, else a hashed slot,
//   class                     - byte classes of the last four bytes with the partial byte,
//   bit history               - the last 17 bits, with a direct 8-bit probability.
// `modelSet`, chosen once per byte from the recent error, says which models take part.
#pragma once

#include <array>
#include <cstdint>
#include <cstdlib>

#include "codecs/cm/cm_tables.hpp"
#include "codecs/cm/context_hash_table.hpp"
#include "codecs/cm/probability_map.hpp"
#include "codecs/cm/word_model.hpp"
#include "codecs/cm/zeroed_buffer.hpp"
#include "model/counters.hpp"
#include "model/state_table.hpp"

namespace quorvex::cm {

inline constexpr std::uint32_t kRowBytes = 256;
inline constexpr std::uint32_t kOrder2Bytes = 65536 * kRowBytes;
inline constexpr std::uint32_t kClassEntries = 131072;
inline constexpr std::uint32_t kBitHistoryEntries = 131072;
inline constexpr std::uint32_t kFixedClassNode = 123;

// Hashed slots, in the order of their `StateMap`s 2..7 (the word slot uses map 7).
enum HashedSlot : std::uint32_t { kOrder3, kOrder4, kOrder6, kOrder10, kOrder24, kWord, kHashedSlots };

// A rolling hash over the last n bytes, with the ring of those bytes.
template <std::uint32_t Length>
struct RollingHash {
  std::uint32_t value = 0;
  std::array<std::uint8_t, Length> ring{};
  std::uint32_t oldest = 0;

  void update(std::uint32_t c, const RollOffTable& rollOff, std::uint32_t multiplier) {
    value = rollHash(value, c, ring[oldest], rollOff, multiplier);
    ring[oldest] = static_cast<std::uint8_t>(c);
    oldest = oldest + 1 == Length ? 0 : oldest + 1;
  }
  // The value after byte c, without moving the ring (for speculative lookups).
  std::uint32_t nextValue(std::uint32_t c, const RollOffTable& rollOff, std::uint32_t multiplier) const {
    return rollHash(value, c, ring[oldest], rollOff, multiplier);
  }
  // The slot hash of a rolling hash value.
  static std::uint32_t slotHash(std::uint32_t v) { return v ^ ((v >> 11) | (v << 21)); }
  std::uint32_t slotHash() const { return slotHash(value); }
};

class ContextModels {
 public:
  // Allocates the tables (zero) and sets the construction state.
  bool allocate(std::uint32_t tableBitsA);
  void adviseHugePages() {
    hashTable_.adviseHugePages();
    order2Table_.adviseHugePages();
    wordTable_.adviseHugePages();
  }
  static std::uint64_t bytesFor(std::uint32_t tableBitsA);

  // Learning of the states and maps used for the last prediction (bit y); input0 is the
  // order-1 input of that prediction.
  void learn(std::uint32_t y, std::int32_t input0);

  // Byte boundary up to the match model's candidate search: contexts, hashes, model
  // selection, word, class and sparse contexts. history already holds the byte c.
  void updateByte(std::uint32_t c, std::uint32_t history, std::uint32_t matchLength, std::uint8_t& errorSum,
                  std::uint32_t spaceGapAverage);
  // Byte boundary, last step: the hashed slots of the new byte's first nibble.
  void lookUpSlots();
  // After the fourth bit: the slots of the second nibble (c0 = 16 + first nibble).
  void nibbleBoundary(std::uint32_t c0, std::uint32_t history);
  // After bit y at position i (1..3) of a nibble: the nodes move down the nibble trees.
  void advance(std::uint32_t y, std::uint32_t i);

  // Speculative loads for both values of the coming bit: after the seventh bit, of the
  // next byte's first-nibble buckets and rows; after the third, of the second-nibble
  // buckets. They hide most of the memory latency of the lookups that follow.
  void prefetchNextByte(std::uint32_t c0, std::uint32_t history) const;
  void prefetchSecondNibble(std::uint32_t c0, std::uint32_t history) const;

  // Fills inputs 0..7 and returns b, the number of leading known contexts (0..6).
  std::uint32_t predict(std::int16_t* inputs, std::uint32_t c0, std::uint32_t bitCount, std::uint32_t matchLength,
                        std::uint32_t recentBits);

  std::uint32_t modelSet() const { return modelSet_; }
  // The word class for the weight set: 0 unless the word model read a known state.
  std::uint32_t wordClass() const {
    // Chosen by arithmetic: whether the word state is known changes from bit to bit.
    const std::uint32_t known = static_cast<std::uint32_t>((modelSet_ & kUseWord) != 0) & (wordState_ != 0 ? 1u : 0u);
    return (0u - known) & word_.mixerClass();
  }
  const WordState& word() const { return word_; }
  std::uint32_t slotOffset(HashedSlot slot) const { return slots_[slot]; }
  ContextHashTable& hashTable() { return hashTable_; }

 private:
  bool uses(std::uint32_t bits) const { return (modelSet_ & bits) == bits; }
  std::uint8_t* slotByte(std::uint32_t slot) {
    if (slot == kWord) return wordBase_ + slots_[kWord];
    return hashTable_.bytes() + slots_[slot];
  }
  // Where the word slot's offset points: the `WordTable` or the `ContextHashTable`.
  // Kept as a base address so that reading the slot needs no branch.
  void setWordInHashTable(bool inHashTable) { wordBase_ = inHashTable ? hashTable_.bytes() : wordTable_.bytes(); }
  void learnSlot(std::uint32_t slot, std::uint32_t y) {
    *slotByte(slot) = nextState(slotStates_[slot], y);
    maps_[2 + slot].learn(y, slot == kOrder3 ? 254 : 255);
  }
  std::int16_t predictSlot(std::uint32_t slot) {
    slotStates_[slot] = *slotByte(slot);
    return static_cast<std::int16_t>(maps_[2 + slot].predict(slotStates_[slot]));
  }
  void selectModels(std::uint32_t matchLength, std::uint8_t& errorSum);
  void prefetchSlots() const;
  void updateWord(std::uint32_t& c, std::uint32_t spaceGapAverage);

  ContextHashTable hashTable_;
  ZeroedBuffer order2Table_;
  ZeroedBuffer wordTable_;
  std::array<std::uint8_t, 256 * kRowBytes> order1Table_{};
  std::array<std::uint8_t, 256 * kRowBytes> sparseTable_{};
  std::array<std::uint8_t, kClassEntries> classTable_{};
  std::array<std::uint8_t, kBitHistoryEntries + 3> bitHistoryTable_{};

  // Current nodes (offsets into their tables) and the states read there.
  std::uint32_t order1Node_ = 0;
  std::uint32_t order2Node_ = 0;
  std::uint32_t sparseNode_ = 0;
  std::uint32_t classNode_ = 0;
  std::uint32_t bitHistoryNode_ = 0;
  std::array<std::uint32_t, kHashedSlots> slots_{};
  std::uint8_t* wordBase_ = nullptr;
  std::uint8_t order1State_ = 0;
  std::uint8_t order2State_ = 0;
  std::uint8_t sparseState_ = 0;
  std::uint8_t classState_ = 0;
  std::uint8_t wordState_ = 0;
  std::array<std::uint8_t, kHashedSlots> slotStates_{};

  std::array<StateMap, 8> maps_;  // order-1, order-2, then the hashed slots in HashedSlot order
  StateMap sparseMap_;
  StateMap classMap_;

  std::array<std::uint32_t, kHashedSlots> slotHashes_{};
  RollingHash<6> rolling6_;
  RollingHash<10> rolling10_;
  RollingHash<24> rolling24_;
  std::uint32_t classHistory_ = 0;
  WordState word_;

  std::uint32_t modelSet_ = 0;
  std::uint32_t fastError_ = 127;
  std::uint32_t slowError_ = 127;
  std::uint8_t order1Error_ = 0;
  std::uint8_t sparseError_ = 0;
  std::uint8_t order1Average_ = 0;
  std::uint8_t sparseAverage_ = 0;
  std::int32_t sparseLevel_ = 0;
};

inline void ContextModels::learn(std::uint32_t y, std::int32_t input0) {
  order1Table_[order1Node_ & 0xFFFF] = nextState(order1State_, y);
  maps_[0].learn(y, 128);
  order2Table_.bytes()[order2Node_ & (kOrder2Bytes - 1)] = nextState(order2State_, y);
  maps_[1].learn(y, 254);
  learnSlot(kOrder3, y);
  if (uses(kUseOrder4)) {
    learnSlot(kOrder4, y);
    if (uses(kUseOrder4 | kUseOrder6)) learnSlot(kOrder6, y);
  }
  if (uses(kUseWord)) {
    *slotByte(kWord) = nextState(wordState_, y);
    maps_[7].learn(y, 255);
  }
  if (uses(kUseOrder10)) {
    learnSlot(kOrder10, y);
    if (uses(kUseOrder10 | kUseOrder24)) learnSlot(kOrder24, y);
    return;
  }
  const std::int32_t target = static_cast<std::int32_t>(256 * y) - 128;
  order1Error_ = static_cast<std::uint8_t>(order1Error_ + (std::abs(target - (input0 >> 4)) >> 3));
  sparseError_ = static_cast<std::uint8_t>(sparseError_ + (std::abs(target - sparseLevel_) >> 3));
  sparseTable_[sparseNode_ & 0xFFFF] = nextState(sparseState_, y);
  sparseMap_.learn(y, 255);
  classTable_[classNode_] = nextState(classState_, y);
  classMap_.learn(y, 255);
  if (uses(kUseBitHistory)) adaptCounter(bitHistoryTable_[bitHistoryNode_], y, 256u, 16u, 5u);
}

inline void ContextModels::advance(std::uint32_t y, std::uint32_t i) {
  const std::uint32_t step = (y + 1) << (i - 1);
  order1Node_ += step;
  order2Node_ += step;
  sparseNode_ += step;
  for (std::uint32_t& slot : slots_) slot += 4 * step;
}

inline std::uint32_t ContextModels::predict(std::int16_t* inputs, std::uint32_t c0, std::uint32_t bitCount,
                                            std::uint32_t matchLength, std::uint32_t recentBits) {
  order1State_ = order1Table_[order1Node_ & 0xFFFF];
  order2State_ = order2Table_.bytes()[order2Node_ & (kOrder2Bytes - 1)];
  inputs[0] = static_cast<std::int16_t>(maps_[0].predict(order1State_));
  inputs[1] = static_cast<std::int16_t>(maps_[1].predict(order2State_));
  inputs[2] = predictSlot(kOrder3);
  inputs[3] = inputs[4] = inputs[5] = inputs[6] = 0;

  // b: how many contexts, from order 2 upward, have been seen before.
  // Counted without branches: which states are 0 follows the data.
  std::uint32_t chain = order2State_ != 0 ? 1u : 0u;
  std::uint32_t known = chain;
  auto count = [&](std::uint8_t state) {
    chain &= state != 0 ? 1u : 0u;
    known += chain;
  };
  count(slotStates_[kOrder3]);

  if (uses(kUseOrder4)) {
    inputs[3] = predictSlot(kOrder4);
    count(slotStates_[kOrder4]);
    if (uses(kUseOrder4 | kUseOrder6)) {
      inputs[4] = predictSlot(kOrder6);
      count(slotStates_[kOrder6]);
    }
  }
  if (uses(kUseWord)) {
    wordState_ = *slotByte(kWord);
    inputs[5] = static_cast<std::int16_t>(maps_[7].predict(wordState_));
  }
  if (uses(kUseOrder10)) {
    inputs[7] = predictSlot(kOrder10);
    count(slotStates_[kOrder10]);
    if (uses(kUseOrder10 | kUseOrder24)) {
      inputs[6] = predictSlot(kOrder24);
      count(slotStates_[kOrder24]);
    }
    return known;
  }

  if (uses(kUseBitHistory)) {
    bitHistoryNode_ = recentBits & (kBitHistoryEntries - 1);
    inputs[4] = static_cast<std::int16_t>((std::int32_t{bitHistoryTable_[bitHistoryNode_]} - 128) * 16);
  }

  // The sparse model enters linearly, and only where the low orders know little and
  // it has lately been the better guesser.
  sparseState_ = sparseTable_[sparseNode_ & 0xFFFF];
  const std::int32_t sparse = static_cast<std::int32_t>(entryProbability(sparseMap_.select(sparseState_))) - 2048;
  sparseLevel_ = sparse >> 4;
  const bool sparseHelps =
      known <= 2 && matchLength <= 4 && sparseAverage_ < order1Average_ && sparseAverage_ <= 110;
  inputs[7] = static_cast<std::int16_t>(sparseHelps ? sparse : 0);

  // The class model has a say early in the byte while few contexts are known; otherwise
  // it reads a fixed node, which keeps learning. The choice follows b, so it is made by
  // selection rather than by a branch.
  const std::uint32_t takesPart = 0u - static_cast<std::uint32_t>((bitCount <= 4) & (known <= 3));  // all ones or 0
  classNode_ = (((c0 ^ classHistory_) & (kClassEntries - 1)) & takesPart) | (kFixedClassNode & ~takesPart);
  classState_ = classTable_[classNode_];
  const std::int32_t classInput = stretch(entryProbability(classMap_.select(classState_)));
  inputs[6] = static_cast<std::int16_t>(static_cast<std::uint32_t>(classInput) & takesPart);
  return known;
}

}  // namespace quorvex::cm
