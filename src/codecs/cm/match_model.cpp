#include "codecs/cm/match_model.hpp"

#include <cstring>

#include "codecs/cm/cm_tables.hpp"

namespace quorvex::cm {

namespace {

constexpr std::uint32_t kSpace = 32;
constexpr std::uint32_t kMaxDistanceCode = 252;
constexpr std::uint32_t kShortDistance = 4096;
constexpr std::uint32_t kShortDistanceFlag = 512;
constexpr std::uint32_t kRecordContextStep = 0x400;
constexpr std::uint32_t kRecordContextTop = 0x1C00;

// Sets bits 5..8 of a match state to the length class: min(length - base, 14), and 14
// for lengths below the base.
std::uint32_t withLengthClass(std::uint32_t state, std::uint32_t length, std::uint32_t base) {
  const std::uint32_t lengthClass = length < base ? 14 : std::min<std::uint32_t>(length - base, 14);
  return (state & ~0x1E0u) | (lengthClass << 5);
}

void countByte(std::uint32_t& state) {
  if ((state & 7) != 7) state += 1;
}

}  // namespace

std::uint64_t MatchModel::bytesFor(std::uint32_t tableBitsB, std::uint32_t historySize) {
  const std::uint64_t entries = (std::uint64_t{1} << (tableBitsB & 31)) + kOrder2Entries + kOrder4Entries;
  return 4 * entries + std::uint64_t{historySize} + kWindowFront;
}

bool MatchModel::allocate(std::uint32_t tableBitsB, std::uint32_t historySize) {
  if (historySize < 2) return false;
  const std::uint64_t mainEntries = std::uint64_t{1} << (tableBitsB & 31);
  const std::uint64_t hashBytes = 4 * (mainEntries + kOrder2Entries + kOrder4Entries);
  if (hashBytes > SIZE_MAX || std::uint64_t{historySize} + kWindowFront > SIZE_MAX) return false;
  if (!hashArea_.allocate(static_cast<std::size_t>(hashBytes))) return false;
  if (!window_.allocate(std::size_t{historySize} + kWindowFront)) return false;

  auto* entries = reinterpret_cast<std::uint32_t*>(hashArea_.bytes());
  order2Table_ = entries;
  order4Table_ = entries + kOrder2Entries;
  mainTable_ = entries + kOrder2Entries + kOrder4Entries;
  hashMask_ = static_cast<std::uint32_t>(mainEntries - 1);

  // The position mask covers the smallest power of two that holds the window; the
  // bits above it keep part of the hash in every stored entry.
  std::uint64_t windowSpan = 1;
  while (windowSpan < historySize) windowSpan <<= 1;
  positionMask_ = static_cast<std::uint32_t>(windowSpan - 1);
  checkMask_ = ~positionMask_;
  historySize_ = historySize;
  position_ = 1;

  mapA_.reset();
  mapB_.reset();
  nearMap_.fill(0x8000);
  nearPending_ = 0;
  recordMap_.fill(128);
  recordPending_ = 0;
  recordPendingValue_ = 128;
  histogram_.fill(0);
  histogram_[0] = 512;  // the ring starts full of distance code 0
  return true;
}

bool MatchModel::sameBytesBefore(std::uint32_t a, std::uint32_t b, std::uint32_t length) const {
  const std::uint8_t* base = window_.bytes() + kWindowFront;
  return std::memcmp(base + a - length, base + b - length, length) == 0;
}

void MatchModel::appendByte(std::uint32_t c) {
  window_.bytes()[kWindowFront + position_] = static_cast<std::uint8_t>(c);
  advance(position_);

  lastTwoBytes_ = ((lastTwoBytes_ << 8) | c) & 0xFFFF;
  order2Entry_ = (lastTwoBytes_ ^ (lastTwoBytes_ >> 5)) & (kOrder2Entries - 1);

  hash8_ = rollHash(hash8_, c, ring8_[ring8Index_], RollOffTableMatch8, kMatchMultiplier);
  ring8_[ring8Index_] = static_cast<std::uint8_t>(c);
  ring8Index_ = (ring8Index_ + 1) & 7;
  mainEntry_ = hash8_ & hashMask_;

  hash4_ = rollHash(hash4_, c, lastFourBytes_ >> 24, RollOffTableMatch4, kMatchMultiplier);
  lastFourBytes_ = (lastFourBytes_ << 8) | c;
  order4Entry_ = hash4_ & (kOrder4Entries - 1);
}

void MatchModel::prefetchNextByte(std::uint32_t c0) const {
  for (std::uint32_t bit = 0; bit < 2; ++bit) {
    const std::uint32_t c = ((c0 << 1) | bit) & 0xFF;
    const std::uint32_t h8 = rollHash(hash8_, c, ring8_[ring8Index_], RollOffTableMatch8, kMatchMultiplier);
    const std::uint32_t h4 = rollHash(hash4_, c, lastFourBytes_ >> 24, RollOffTableMatch4, kMatchMultiplier);
    __builtin_prefetch(mainTable_ + (h8 & hashMask_));
    __builtin_prefetch(order4Table_ + (h4 & (kOrder4Entries - 1)));
  }
}

// Distances between equal bytes: a histogram over the last 512 distance codes names
// the most frequent one, the period of the record predictor. Spaces also feed the
// average gap between words, which tells the word model whether high bytes are text.
void MatchModel::updateDistanceStatistics(std::uint32_t c1) {
  const std::uint32_t p = position_ & 0xFFFF;
  const std::uint32_t last = lastPosition_[c1];
  lastPosition_[c1] = static_cast<std::uint16_t>(p);
  const std::uint32_t d = p - 2 - last;  // unsigned: distance 1 and wrapped positions fall out
  if (d > kMaxDistanceCode) return;
  histogram_[distanceRing_[distanceIndex_]] -= 1;
  distanceRing_[distanceIndex_] = static_cast<std::uint8_t>(d);
  if (histogram_[d] >= histogram_[best_]) best_ = static_cast<std::uint8_t>(d);
  histogram_[d] += 1;
  distanceIndex_ = (distanceIndex_ + 1) & 511;
  if (d <= 127 && c1 == kSpace) spaceGap_ = static_cast<std::uint8_t>((31u * spaceGap_ + 2 * d + 16) >> 5);
}

void MatchModel::searchNear(std::uint32_t e2, std::uint32_t c1) {
  const std::uint32_t q = e2 & positionMask_;
  const std::uint32_t p = position_;
  const std::uint32_t distance = p - q;
  if (distance < 2 || distance > 257 || q >= historySize_) return;
  if (!hashMatches(e2, lastTwoBytes_ << 16)) return;
  if ((lastTwoBytes_ >> 8) == c1) return;
  if (!sameBytesBefore(q, p, 2)) return;
  nearPosition_ = q;
  nearState_ = ((distance <= 95 ? 1u : 0u) + (distance <= 15 ? 1u : 0u)) * 1024;
}

void MatchModel::updateRecord(std::uint32_t c1) {
  const std::uint32_t p = position_;
  std::uint32_t context = recordContext_;
  if (context < kRecordContextTop) context += kRecordContextStep;
  if (recordByte_ == c1) {
    recordContext_ = context & ~0x180u;
  } else {
    const std::uint32_t period = best_ + 2u;
    recordPosition1_ = p - period;
    recordPosition2_ = p - 2 * period;
    if (recordPosition1_ >= historySize_) recordPosition1_ = 0;
    if (recordPosition2_ >= historySize_) recordPosition2_ = 0;
    recordContext_ = 0;
  }
  if ((best_ & 1) == 0) recordContext_ = (recordContext_ & ~0x180u) | ((p & 3) << 7);
}

void MatchModel::searchMatchB(std::uint32_t e8) {
  if (lengthB_ != 0) {
    lengthB_ = static_cast<std::uint8_t>(std::min<std::uint32_t>(lengthB_ + 1u, kMaxMatchLength));
    stateB_ = withLengthClass(stateB_, lengthB_, 8);
    return;
  }
  const std::uint32_t g = e8 & positionMask_;
  const std::uint32_t p = position_;
  if (!hashMatches(e8, hash8_) || g >= historySize_ || !sameBytesBefore(g, p, 8)) return;
  if (g == positionA_) {
    lengthA_ = 0;
    stateA_ = 0xFFFF;
  }
  positionB_ = g;
  lengthB_ = 8;
  stateB_ = p - g < kShortDistance ? kShortDistanceFlag : 0;
}

void MatchModel::searchMatchA(std::uint32_t e4) {
  if (lengthA_ != 0) {
    lengthA_ = static_cast<std::uint8_t>(std::min<std::uint32_t>(lengthA_ + 1u, kMaxMatchLength));
    stateA_ = withLengthClass(stateA_, lengthA_, 4);
    return;
  }
  const std::uint32_t h = e4 & positionMask_;
  const std::uint32_t p = position_;
  if (!hashMatches(e4, hash4_) || h >= historySize_ || !sameBytesBefore(h, p, 4)) return;
  positionA_ = h;
  lengthA_ = 4;
  stateA_ = p - h < kShortDistance ? kShortDistanceFlag : 0;
}

void MatchModel::predictByte() {
  const std::uint32_t c1 = lastTwoBytes_ & 0xFF;
  const std::uint32_t p = position_;
  updateDistanceStatistics(c1);

  const std::uint32_t e8 = mainTable_[mainEntry_];
  const std::uint32_t e4 = order4Table_[order4Entry_];
  const std::uint32_t e2 = order2Table_[order2Entry_];

  countByte(nearState_);
  countByte(stateA_);
  countByte(stateB_);

  advance(nearPosition_);
  advance(recordPosition1_);
  advance(recordPosition2_);
  advance(positionA_);
  advance(positionB_);

  mainTable_[mainEntry_] = (hash8_ & checkMask_) | p;
  order4Table_[order4Entry_] = (hash4_ & checkMask_) | p;
  order2Table_[order2Entry_] = ((lastTwoBytes_ << 16) & checkMask_) | p;

  if ((nearState_ & kInactive) != 0) searchNear(e2, c1);
  updateRecord(c1);
  searchMatchB(e8);
  searchMatchA(e4);

  matchLength_ = std::max(lengthA_, lengthB_);
  nearByte_ = windowByte(nearPosition_);
  recordByte_ = windowByte(recordPosition1_);
  byteA_ = windowByte(positionA_);
  byteB_ = windowByte(positionB_);
  extrapolatedByte_ = static_cast<std::uint8_t>(2u * recordByte_ - windowByte(recordPosition2_));
}

}  // namespace quorvex::cm
