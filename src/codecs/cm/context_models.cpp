#include "codecs/cm/context_models.hpp"

#include <algorithm>

namespace quorvex::cm {

namespace {

constexpr std::uint32_t kContextMultiplier = 0x200A007;
constexpr std::uint32_t kLongMatch = 31;  // from this match length on, the model set stays

constexpr std::uint32_t contextHash(std::uint32_t key) { return key * kContextMultiplier ^ (key >> 11); }

// Offset of the second-nibble tree of a direct-table row after first nibble h.
constexpr std::uint32_t secondNibble(std::uint32_t h) { return 15 * (h + 1); }

}  // namespace

std::uint64_t ContextModels::bytesFor(std::uint32_t tableBitsA) {
  return ContextHashTable::bytesFor(tableBitsA) + kOrder2Bytes + kWordTableBytes + sizeof(ContextModels);
}

bool ContextModels::allocate(std::uint32_t tableBitsA) {
  if (!hashTable_.allocate(tableBitsA) || !order2Table_.allocate(kOrder2Bytes) || !wordTable_.allocate(kWordTableBytes)) {
    return false;
  }
  bitHistoryTable_.fill(128);
  for (StateMap& map : maps_) map.reset();
  sparseMap_.reset();
  classMap_.reset();
  // The hashed slots start on the first byte of the table (a check byte): the first
  // byte after construction is modelled there.
  slots_.fill(0);
  setWordInHashTable(true);
  return true;
}

void ContextModels::selectModels(std::uint32_t matchLength, std::uint8_t& errorSum) {
  if (matchLength <= kLongMatch) {
    const std::uint32_t e = std::min<std::uint32_t>(errorSum, 127);
    const std::uint32_t t = 3 * fastError_ + e;
    fastError_ = t >> 2;
    const std::uint32_t u = fastError_ + 3 * slowError_ + 2;
    slowError_ = u >> 2;
    modelSet_ = ModelSelectTable[16 * (t >> 5) + (u >> 5)];
  }
  errorSum = 0;
}

// The word model: c is lower-cased in place when the model takes part, since the class
// history reads the same byte.
void ContextModels::updateWord(std::uint32_t& c, std::uint32_t spaceGapAverage) {
  std::uint32_t v = 0;
  if (uses(kUseWord)) {
    c = toLowerCase(c);
    v = wordCharacter(c, spaceGapAverage);
  }
  if (v == 0) {
    word_.end();
    slots_[kWord] = wordTableOffset(0);
    setWordInHashTable(false);
    return;
  }
  word_.extend(v);
  if (word_.length >= kLongWord) modelSet_ &= ~kUseWord;
  if (word_.direct()) {
    slots_[kWord] = wordTableOffset(kWaysPerWord * word_.number);
    setWordInHashTable(false);
    __builtin_prefetch(wordTable_.bytes() + slots_[kWord]);
  }
}

void ContextModels::updateByte(std::uint32_t c, std::uint32_t history, std::uint32_t matchLength,
                               std::uint8_t& errorSum, std::uint32_t spaceGapAverage) {
  const std::uint32_t c1 = history & 0xFF;
  const std::uint32_t c2 = (history >> 8) & 0xFF;

  order1Node_ = c1 * kRowBytes;
  order2Node_ = (history & 0xFFFF) * kRowBytes;
  slotHashes_[kOrder3] = contextHash((history << 8) ^ c1 ^ 0xFFFFFF00u);
  rolling6_.update(c, RollOffTable6, kOrder6Multiplier);

  selectModels(matchLength, errorSum);

  slotHashes_[kOrder4] = contextHash(history);
  slotHashes_[kOrder6] = rolling6_.slotHash();
  rolling10_.update(c, RollOffTable10, kOrder10Multiplier);
  rolling24_.update(c, RollOffTable24, kOrder24Multiplier);
  slotHashes_[kOrder10] = rolling10_.slotHash();
  slotHashes_[kOrder24] = rolling24_.slotHash();

  updateWord(c, spaceGapAverage);
  slotHashes_[kWord] = word_.hash();

  // Top three bits of the last four bytes.
  classHistory_ = ((classHistory_ * 8) & 0x1FFF8) + (c & 0xE0);

  prefetchSlots();

  if (!uses(kUseOrder10)) {
    sparseNode_ = c2 * kRowBytes;
    order1Average_ = static_cast<std::uint8_t>((15u * order1Average_ + order1Error_ + 8) >> 4);
    sparseAverage_ = static_cast<std::uint8_t>((15u * sparseAverage_ + sparseError_ + 8) >> 4);
    order1Error_ = 0;
    sparseError_ = 0;
  }
}

// The buckets of the coming lookups, and the order-2 row, start loading together.
void ContextModels::prefetchSlots() const {
  __builtin_prefetch(order2Table_.bytes() + order2Node_);
  hashTable_.prefetchBucket(slotHashes_[kOrder3]);
  if (uses(kUseOrder4)) {
    hashTable_.prefetchBucket(slotHashes_[kOrder4]);
    if (uses(kUseOrder4 | kUseOrder6)) hashTable_.prefetchBucket(slotHashes_[kOrder6]);
  }
  if (uses(kUseWord) && !word_.direct()) hashTable_.prefetchBucket(slotHashes_[kWord]);
  if (uses(kUseOrder10)) {
    hashTable_.prefetchBucket(slotHashes_[kOrder10]);
    if (uses(kUseOrder10 | kUseOrder24)) hashTable_.prefetchBucket(slotHashes_[kOrder24]);
  }
}

void ContextModels::prefetchNextByte(std::uint32_t c0, std::uint32_t history) const {
  for (std::uint32_t bit = 0; bit < 2; ++bit) {
    const std::uint32_t c = ((c0 << 1) | bit) & 0xFF;
    const std::uint32_t next = (history << 8) | c;
    __builtin_prefetch(order2Table_.bytes() + (next & 0xFFFF) * kRowBytes);
    hashTable_.prefetchBucket(contextHash((next << 8) ^ c ^ 0xFFFFFF00u));
    if (uses(kUseOrder4)) {
      hashTable_.prefetchBucket(contextHash(next));
      if (uses(kUseOrder4 | kUseOrder6)) {
        hashTable_.prefetchBucket(RollingHash<6>::slotHash(rolling6_.nextValue(c, RollOffTable6, kOrder6Multiplier)));
      }
    }
    if (uses(kUseOrder10)) {
      hashTable_.prefetchBucket(RollingHash<10>::slotHash(rolling10_.nextValue(c, RollOffTable10, kOrder10Multiplier)));
    }
  }
}

void ContextModels::prefetchSecondNibble(std::uint32_t c0, std::uint32_t history) const {
  const std::uint32_t c1 = history & 0xFF;
  for (std::uint32_t bit = 0; bit < 2; ++bit) {
    const std::uint32_t next = (c0 << 1) | bit;  // 16 + first nibble
    __builtin_prefetch(order2Table_.bytes() + (history & 0xFFFF) * kRowBytes + secondNibble(next - 16));
    hashTable_.prefetchNibble(slots_[kOrder3], next ^ c1);
    if (uses(kUseOrder4)) {
      hashTable_.prefetchNibble(slots_[kOrder4], next ^ c1);
      if (uses(kUseOrder4 | kUseOrder6)) hashTable_.prefetchNibble(slots_[kOrder6], (rolling6_.value & 0xFF) ^ next);
    }
    if (uses(kUseWord)) {
      if (word_.direct()) {
        __builtin_prefetch(wordTable_.bytes() + wordTableOffset(kWaysPerWord * word_.number + 1 + next - 16));
      } else {
        hashTable_.prefetchNibble(slots_[kWord], (word_.number ^ next) & 0xFF);
      }
    }
    if (uses(kUseOrder10)) hashTable_.prefetchNibble(slots_[kOrder10], next ^ (rolling10_.value & 0xFF));
  }
}

// A later lookup may take over a way that an earlier one has just claimed in the same
// bucket; the order of the lookups is part of the format.
void ContextModels::lookUpSlots() {
  slots_[kOrder3] = hashTable_.bucketLookup(slotHashes_[kOrder3]);
  if (uses(kUseOrder4)) {
    slots_[kOrder4] = hashTable_.bucketLookup(slotHashes_[kOrder4]);
    if (uses(kUseOrder4 | kUseOrder6)) slots_[kOrder6] = hashTable_.bucketLookup(slotHashes_[kOrder6]);
  }
  // The order-10 and order-24 slots restart at offset 0 every byte; a slot that is not
  // looked up below is neither read nor written until it is.
  slots_[kOrder10] = 0;
  slots_[kOrder24] = 0;
  if (uses(kUseWord) && !word_.direct()) {
    slots_[kWord] = hashTable_.bucketLookup(slotHashes_[kWord]);
    setWordInHashTable(true);
  }
  if (uses(kUseOrder10)) {
    slots_[kOrder10] = hashTable_.bucketLookup(slotHashes_[kOrder10]);
    if (uses(kUseOrder10 | kUseOrder24)) slots_[kOrder24] = hashTable_.bucketLookup(slotHashes_[kOrder24]);
  }
}

void ContextModels::nibbleBoundary(std::uint32_t c0, std::uint32_t history) {
  const std::uint32_t h = c0 - 16;
  const std::uint32_t c1 = history & 0xFF;
  const std::uint32_t c2 = (history >> 8) & 0xFF;

  order1Node_ = c1 * kRowBytes + secondNibble(h);
  order2Node_ = (history & 0xFFFF) * kRowBytes + secondNibble(h);

  // The second-nibble keys; all buckets start loading before the first search.
  std::array<std::uint32_t, kHashedSlots> keys{};
  keys[kOrder3] = c0 ^ c1;
  keys[kOrder4] = c1 ^ c0;
  keys[kOrder6] = (rolling6_.value & 0xFF) ^ c0;
  keys[kOrder10] = c0 ^ (rolling10_.value & 0xFF);
  keys[kOrder24] = (rolling24_.value & 0xFF) ^ c0;
  keys[kWord] = (word_.number ^ c0) & 0xFF;
  const bool order4 = uses(kUseOrder4);
  const bool order6 = uses(kUseOrder4 | kUseOrder6);
  const bool hashedWord = uses(kUseWord) && !word_.direct();
  const bool order10 = uses(kUseOrder10);
  const bool order24 = uses(kUseOrder10 | kUseOrder24);
  hashTable_.prefetchNibble(slots_[kOrder3], keys[kOrder3]);
  if (order4) hashTable_.prefetchNibble(slots_[kOrder4], keys[kOrder4]);
  if (order6) hashTable_.prefetchNibble(slots_[kOrder6], keys[kOrder6]);
  if (hashedWord) hashTable_.prefetchNibble(slots_[kWord], keys[kWord]);
  if (order10) hashTable_.prefetchNibble(slots_[kOrder10], keys[kOrder10]);
  if (order24) hashTable_.prefetchNibble(slots_[kOrder24], keys[kOrder24]);

  slots_[kOrder3] = hashTable_.nibbleLookup(slots_[kOrder3], keys[kOrder3]);
  if (order4) slots_[kOrder4] = hashTable_.nibbleLookup(slots_[kOrder4], keys[kOrder4]);
  if (order6) slots_[kOrder6] = hashTable_.nibbleLookup(slots_[kOrder6], keys[kOrder6]);
  if (uses(kUseWord)) {
    if (hashedWord) {
      slots_[kWord] = hashTable_.nibbleLookup(slots_[kWord], keys[kWord]);
    } else {
      slots_[kWord] = wordTableOffset(kWaysPerWord * word_.number + 1 + h);
      setWordInHashTable(false);
    }
  }
  if (order10) {
    slots_[kOrder10] = hashTable_.nibbleLookup(slots_[kOrder10], keys[kOrder10]);
    if (order24) slots_[kOrder24] = hashTable_.nibbleLookup(slots_[kOrder24], keys[kOrder24]);
  } else {
    sparseNode_ = c2 * kRowBytes + secondNibble(h);
  }
}

}  // namespace quorvex::cm
