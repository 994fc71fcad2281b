// The `MatchModel`: predictions from earlier occurrences in a window of decoded bytes.
//
// Four predictors give mixer inputs 8 to 11:
//   match A  - the continuation of the last occurrence of the last 4 bytes (order-4 hash),
//   match B  - the same for the last 8 bytes (order-8 hash),
//   near     - a repeat of the last 2 bytes 2..257 bytes back,
//   record   - the byte one period back (the most frequent distance between equal
//              bytes) and a linear extrapolation from two periods back.
// A predictor is active while every bit agrees with its predicted byte and is dropped
// at the first contradicting bit; its candidate state keeps how long ago that was.
//
// Candidate states (u16): bits 0..2 count bytes since the state was set (saturating at
// 7); bit 3 marks a contradiction in the current byte; bits 5..8 hold a length class
// (A and B); bit 9 marks a distance below 4096 (A and B) or a bit value (near); bits 10
// and 11 hold the near distance class; bit 15 marks the predictor inactive.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>

#include "codecs/cm/probability_map.hpp"
#include "codecs/cm/zeroed_buffer.hpp"
#include "model/counters.hpp"
#include "model/logistic_tables.hpp"

namespace quorvex::cm {

inline constexpr std::uint32_t kInactive = 0x8000;
inline constexpr std::uint32_t kContradicted = 0x0008;
inline constexpr std::uint32_t kMaxMatchLength = 63;
inline constexpr std::uint32_t kMatchMapLimit = 40;
inline constexpr std::uint32_t kNearSpareEntry = 8192;
inline constexpr std::uint32_t kWindowFront = 64;  // zero bytes in front of the window

class MatchModel {
 public:
  // Bytes of the tables that grow with the parameters (hash area and window).
  static std::uint64_t bytesFor(std::uint32_t tableBitsB, std::uint32_t historySize);

  // Allocates the hash area (2^(tableBitsB mod 32) main entries) and the window, and
  // sets the construction state. historySize must be at least 2 (the position starts at 1).
  bool allocate(std::uint32_t tableBitsB, std::uint32_t historySize);
  // The hash table only: the window is written in order.
  void adviseHugePages() { hashArea_.adviseHugePages(); }

  // At every byte boundary, first: the byte enters the window and the rolling hashes.
  void appendByte(std::uint32_t c);
  // At every byte boundary, after the context updates: statistics and candidate search.
  void predictByte();
  // At every bit: fills inputs[8..11] and returns the match length. c0 is the new
  // partial byte, y the bit just decoded, k the number of bits of the byte still to come.
  std::uint32_t predictBit(std::uint32_t c0, std::uint32_t y, std::uint32_t k, std::int16_t* inputs);

  // After the seventh bit of a byte: starts loading the hash entries that either value
  // of the last bit will make predictByte read.
  void prefetchNextByte(std::uint32_t c0) const;

  std::uint32_t spaceGapAverage() const { return spaceGap_; }
  std::uint32_t matchLength() const { return matchLength_; }
  std::uint32_t position() const { return position_; }
  std::uint32_t matchALength() const { return lengthA_; }
  std::uint32_t matchBLength() const { return lengthB_; }
  std::uint32_t bestDistance() const { return best_; }
  std::uint32_t recordPosition() const { return recordPosition1_; }
  const ProbabilityMap<1024>& matchMapA() const { return mapA_; }

 private:
  static constexpr std::uint32_t kOrder2Entries = 8192;
  static constexpr std::uint32_t kOrder4Entries = 262144;

  std::uint8_t windowByte(std::uint32_t position) const { return window_.bytes()[kWindowFront + position]; }
  // True when the `length` bytes before positions a and b are equal (reads may reach
  // into the zero bytes in front of the window).
  bool sameBytesBefore(std::uint32_t a, std::uint32_t b, std::uint32_t length) const;
  bool hashMatches(std::uint32_t entry, std::uint32_t hash) const { return ((entry ^ hash) & checkMask_) == 0; }
  void advance(std::uint32_t& position) const {
    if (++position >= historySize_) position = 0;
  }

  void updateDistanceStatistics(std::uint32_t c1);
  void searchNear(std::uint32_t e2, std::uint32_t c1);
  void updateRecord(std::uint32_t c1);
  void searchMatchB(std::uint32_t e8);
  void searchMatchA(std::uint32_t e4);

  // The four cases of following match A or B at one bit; returns the map index.
  std::uint32_t followMatch(std::uint8_t& length, std::uint32_t& state, std::uint32_t predicted,
                            std::uint32_t otherLength, std::uint32_t c0, std::uint32_t k);
  std::uint32_t followNear(std::uint32_t c0, std::uint32_t y, std::uint32_t k);

  // The predicted byte's bits up to the coming one, behind a leading 1: its low bit is
  // the expected bit, and the rest agrees with the byte so far when it equals c0. One
  // shift serves both.
  static std::uint32_t upcoming(std::uint32_t predicted, std::uint32_t k) { return (predicted + 256) >> (k - 1); }
  static std::uint32_t expectedBit(std::uint32_t upcomingBits) { return upcomingBits & 1; }
  static bool agrees(std::uint32_t upcomingBits, std::uint32_t c0) { return (upcomingBits >> 1) == c0; }

  std::uint32_t hashMask_ = 0;
  std::uint32_t positionMask_ = 0;
  std::uint32_t checkMask_ = 0;
  ZeroedBuffer hashArea_;  // order-2 (8192), order-4 (262144), then main (2^tableBitsB) u32 entries
  std::uint32_t* order2Table_ = nullptr;
  std::uint32_t* order4Table_ = nullptr;
  std::uint32_t* mainTable_ = nullptr;
  std::uint32_t mainEntry_ = 0;
  std::uint32_t order4Entry_ = 0;
  std::uint32_t order2Entry_ = 0;

  ZeroedBuffer window_;  // kWindowFront zero bytes, then historySize bytes
  std::uint32_t historySize_ = 0;
  std::uint32_t position_ = 1;

  std::uint32_t nearPosition_ = 0;
  std::uint32_t recordPosition1_ = 0;
  std::uint32_t recordPosition2_ = 0;
  std::uint32_t positionA_ = 0;
  std::uint32_t positionB_ = 0;
  std::uint32_t nearState_ = 0;
  std::uint32_t stateA_ = 0;
  std::uint32_t stateB_ = 0;
  std::uint32_t lastTwoBytes_ = 0;
  std::uint32_t recordContext_ = 0;
  std::uint8_t lengthA_ = 0;
  std::uint8_t lengthB_ = 0;
  std::uint8_t matchLength_ = 0;
  std::uint8_t byteA_ = 0;
  std::uint8_t byteB_ = 0;
  std::uint8_t nearByte_ = 0;
  std::uint8_t recordByte_ = 0;
  std::uint8_t extrapolatedByte_ = 0;
  std::uint8_t spaceGap_ = 0;

  std::uint32_t hash4_ = 0;
  std::uint32_t lastFourBytes_ = 0;
  std::uint32_t hash8_ = 0;
  std::array<std::uint8_t, 8> ring8_{};
  std::uint32_t ring8Index_ = 0;

  ProbabilityMap<1024> mapA_;
  ProbabilityMap<1024> mapB_;
  std::array<std::uint16_t, 8194> nearMap_{};
  std::uint32_t nearPending_ = 0;
  std::array<std::uint8_t, 8195> recordMap_{};
  std::uint32_t recordPending_ = 0;
  std::uint8_t recordPendingValue_ = 128;

  std::array<std::uint16_t, 255> histogram_{};
  std::array<std::uint8_t, 512> distanceRing_{};
  std::uint32_t distanceIndex_ = 0;
  std::uint8_t best_ = 0;
  std::array<std::uint16_t, 256> lastPosition_{};
};

inline std::uint32_t MatchModel::followMatch(std::uint8_t& length, std::uint32_t& state, std::uint32_t predicted,
                                             std::uint32_t otherLength, std::uint32_t c0, std::uint32_t k) {
  const std::uint32_t bits = upcoming(predicted, k);
  const std::uint32_t e = expectedBit(bits);
  const bool agreeing = agrees(bits, c0);
  if (length != 0) {
    if (agreeing) return (state & 0x7FE0) + e;
    length = 0;
    state = (state & 0xFE00) | 1;
    matchLength_ = static_cast<std::uint8_t>(otherLength);
    return (state & 0x7FE0) + 2 + e;
  }
  if ((state & 15) == 1 || agreeing) return (state & 0x7FE0) + 2 * (state & 15) + e;
  state |= kContradicted;
  return 480 + 2 * k + e;
}

// Returns the near map index, or kNearSpareEntry when the predictor has nothing to say.
inline std::uint32_t MatchModel::followNear(std::uint32_t c0, std::uint32_t y, std::uint32_t k) {
  const std::uint32_t bits = upcoming(nearByte_, k);
  const std::uint32_t e = expectedBit(bits);
  const std::uint32_t j = (k - 1) & ~1u;
  const bool agreeing = agrees(bits, c0);
  std::uint32_t& state = nearState_;
  if ((state & kInactive) == 0) {
    if (agreeing) return (state & 0x7F80) + (state & 7) * 128 + j + e;
    const std::uint32_t age = (state & 4) != 0 ? 0x180 : (state & 7) * 128;
    state = (state & 0xFFF0) | (y << 9) | age | kInactive | 1;
    matchLength_ = std::max(lengthA_, lengthB_);
  }
  if ((state & 15) == 1 || agreeing) return (state & 0x7F80) + 8 * (state & 15) + j + e;
  state |= kContradicted;
  return kNearSpareEntry;
}

inline std::uint32_t MatchModel::predictBit(std::uint32_t c0, std::uint32_t y, std::uint32_t k, std::int16_t* inputs) {
  // Match A.
  if ((stateA_ & kInactive) == 0) {
    const std::uint32_t index = followMatch(lengthA_, stateA_, byteA_, lengthB_, c0, k);
    mapA_.learn(y, kMatchMapLimit);
    inputs[8] = static_cast<std::int16_t>(mapA_.predict(index & 1023));
  } else {
    inputs[8] = 0;
  }
  // Match B.
  {
    const std::uint32_t index = followMatch(lengthB_, stateB_, byteB_, lengthA_, c0, k);
    mapB_.learn(y, kMatchMapLimit);
    inputs[9] = static_cast<std::int16_t>(mapB_.predict(index & 1023));
  }
  // Near predictor.
  adaptCounter(nearMap_[nearPending_], y, 65536u, 8u, 4u);
  nearPending_ = followNear(c0, y, k) & 0x3FFF;
  if (nearPending_ >= kNearSpareEntry) {
    nearPending_ = kNearSpareEntry;
    inputs[10] = 0;
  } else {
    inputs[10] = static_cast<std::int16_t>(stretch(nearMap_[nearPending_] >> 4));
  }
  // Record predictor.
  {
    std::uint8_t learned = recordPendingValue_;
    adaptCounter(learned, y, 256u, 4u, 3u);
    recordMap_[recordPending_] = learned;
    const std::uint32_t recordBits = upcoming(recordByte_, k);
    const std::uint32_t extrapolatedBits = upcoming(extrapolatedByte_, k);
    std::uint32_t index = recordContext_ + 4 * (k - 1) + 2 * expectedBit(recordBits) + expectedBit(extrapolatedBits);
    if (agrees(extrapolatedBits, c0)) index += 32;
    if (agrees(recordBits, c0)) index += 64;
    recordPending_ = index & 0x1FFF;
    recordPendingValue_ = recordMap_[recordPending_];
    inputs[11] = static_cast<std::int16_t>(std::int32_t{StretchTable[(16u * recordPendingValue_) & 0xFF0]} - 2048);
  }
  return matchLength_;
}

}  // namespace quorvex::cm
