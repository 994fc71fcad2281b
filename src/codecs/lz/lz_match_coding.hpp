// The parameters of a match: which distance (new or one of four recent ones), the
// length (a unary class, then tree bits and raw bits), and a new distance (a slot
// tree refined by a map, high bits, align bits and extra bits).
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>

#include "codecs/lz/lz_model.hpp"
#include "codecs/lz/lz_tables.hpp"
#include "model/binary_coder.hpp"
#include "model/counters.hpp"
#include "model/logistic_tables.hpp"

namespace quorvex::lz {

// Choice 0: a new distance follows; choice j = 1..4: recentDistances[j - 1].
inline constexpr std::uint32_t kRecentChoices = 4;
// Length value (length - 2) returned for a length class above the last one.
inline constexpr std::uint32_t kInvalidLength = 0xFFFFFFFFu;
inline constexpr std::uint32_t kMinMatchLength = 2;

// 16-bit counter as a 12-bit probability, optionally kept off the low end so that the
// interval cannot vanish.
inline std::uint32_t counterProbability(std::uint16_t counter) { return counter >> 4; }
inline std::uint32_t guardedProbability(std::uint32_t p) { return p + (p <= 2047u); }

// A decision close to even odds (raw bits, high, low and middle distance bits): decoded
// without a branch on its value where the coder offers that.
template <class Coder>
std::uint32_t codeUnpredictableBit(Coder& coder, std::uint32_t p, std::uint32_t bit) {
  if constexpr (requires { coder.decodeBitWithoutBranch(p); }) {
    return coder.decodeBitWithoutBranch(p);
  } else {
    return coder.codeBit(p, bit);
  }
}

template <class Coder>
std::uint32_t codeRecentChoice(LzModel& m, Coder& coder, std::uint32_t agreementFlags, std::uint32_t eventHistory,
                               std::uint32_t choice) {
  const std::uint32_t base = 128u * agreementFlags + 8u * (eventHistory & 15u);
  for (std::uint32_t j = 0; j < kRecentChoices; ++j) {
    std::uint16_t& counter = m.RepChoiceProbs[j == 0 ? (base & 1023u) : base + j];
    const std::uint32_t bit = coder.codeBit(guardedProbability(counterProbability(counter)), std::uint32_t{choice == j});
    adaptCounter(counter, bit, 65536u, 16u, 5u);
    if (bit) return j;
  }
  return kRecentChoices;
}

// Length classes: class 0 holds values 0..1, class i >= 1 the values with i bits below
// the leading one.
constexpr std::uint32_t lengthClassOf(std::uint32_t value) {
  return value < 2u ? 0u : static_cast<std::uint32_t>(std::bit_width(value)) - 1u;
}

// Codes length - 2; returns kInvalidLength when the stream names a class above 15.
template <class Coder>
std::uint32_t codeLengthValue(LzModel& m, Coder& coder, std::uint32_t choice, std::uint32_t value) {
  const std::uint32_t targetClass = Coder::isEncoder ? lengthClassOf(value) : 0u;
  auto& classProbs = m.LengthClassProbs[choice == 1 ? 1 : 0];
  std::uint32_t lengthClass = 0;
  for (;;) {
    if (lengthClass == kLengthClasses) return kInvalidLength;
    std::uint16_t& counter = classProbs[lengthClass];
    const std::uint32_t bit = coder.codeBit(counterProbability(counter), std::uint32_t{lengthClass < targetClass});
    adaptCounter(counter, bit, 65536u, 16u, 5u);
    if (!bit) break;
    ++lengthClass;
  }

  const std::uint32_t treeBits = lengthClass == 0 ? 1u : std::min(lengthClass, 4u);
  const std::uint32_t directBits = lengthClass > 4 ? lengthClass - 4u : 0u;
  auto& tree = m.LengthTreeProbs[lengthClass];
  std::uint32_t v = lengthClass == 0 ? 0u : 1u;
  std::uint32_t node = choice == 0 ? 3u : 1u;  // new and recent distances share the rows
  for (std::uint32_t i = 0; i < treeBits; ++i) {
    std::uint16_t& counter = tree[node];
    const std::uint32_t bit = coder.codeBit(counterProbability(counter), (value >> (treeBits + directBits - 1u - i)) & 1u);
    adaptCounter(counter, bit, 65536u, 8u, 4u);
    v = 2u * v + bit;
    node = 2u * node + bit;
  }
  for (std::uint32_t i = 0; i < directBits; ++i) {
    v = 2u * v + codeUnpredictableBit(coder, kEvenOdds, (value >> (directBits - 1u - i)) & 1u);
  }
  return v;
}

// Slot s codes the distances with 31 - s bits below the leading one; slot 31 codes 0..1.
constexpr std::uint32_t distanceSlotOf(std::uint32_t distance) {
  return distance < 2u ? 31u : 32u - static_cast<std::uint32_t>(std::bit_width(distance));
}

template <class Coder>
std::uint32_t codeDistanceSlot(LzModel& m, Coder& coder, std::uint32_t lengthValue, std::uint32_t slot) {
  auto& tree = m.SlotTreeProbs[SlotSetTable[std::min(lengthValue, 15u)]];
  std::uint32_t node = 1;
  for (std::uint32_t i = 0; i < 5; ++i) {
    std::uint16_t& counter = tree[node];
    const auto column = static_cast<std::uint32_t>((ByteStretchTable[counter >> 8] >> 8) + 8);
    std::uint16_t* row = &m.SlotApm[node * kSlotApmColumns];
    std::uint16_t& e0 = row[column];
    std::uint16_t& e1 = row[column + 1];
    const std::uint32_t p = (counterProbability(counter) + 3u * ((std::uint32_t{e0} + e1 + 1u) >> 5) + 2u) >> 2;
    const std::uint32_t bit = coder.codeBit(guardedProbability(p), (slot >> (4u - i)) & 1u);
    adaptCounter(counter, bit, 65536u, 16u, 5u);
    adaptCounter(e0, bit, 65550u, 0u, 4u);
    adaptCounter(e1, bit, 65550u, 0u, 4u);
    node = 2u * node + bit;
  }
  return node - 32u;
}

// Codes a new distance (the match copies from distance + 1 bytes back).
template <class Coder>
std::uint32_t codeDistance(LzModel& m, Coder& coder, std::uint32_t lengthValue, std::uint32_t distance) {
  const std::uint32_t slot = codeDistanceSlot(m, coder, lengthValue, Coder::isEncoder ? distanceSlotOf(distance) : 0u);
  const std::uint32_t belowLead = 31u - slot;

  // The leading one (absent in slot 31) and one or two high bits below it.
  std::uint32_t head = slot != 31u ? 1u : 0u;
  const std::uint32_t highBits = slot >= 30u ? 1u : 2u;
  const std::uint32_t headShift = belowLead + 1u - (highBits + head);
  auto& high = m.DistanceHighProbs[belowLead];
  std::uint32_t node = 1;
  for (std::uint32_t i = 0; i < highBits; ++i) {
    std::uint16_t& counter = high[node];
    const std::uint32_t bit =
        codeUnpredictableBit(coder, counterProbability(counter), (distance >> (headShift + highBits - 1u - i)) & 1u);
    adaptCounter(counter, bit, 65536u, 8u, 4u);
    head = 2u * head + bit;
    node = 2u * node + bit;
  }
  if (belowLead <= 2u) return head;

  // Up to four low bits, least significant first, from one shared tree.
  const std::uint32_t alignBits = std::min(belowLead - 2u, 4u);
  auto& align = m.AlignProbs[0];
  std::uint32_t low = 0;
  node = 1;
  for (std::uint32_t i = 0; i < alignBits; ++i) {
    std::uint16_t& counter = align[node];
    const std::uint32_t bit = codeUnpredictableBit(coder, counterProbability(counter), (distance >> i) & 1u);
    adaptCounter(counter, bit, 65536u, 16u, 5u);
    low |= bit << i;
    node = 2u * node + bit;
  }
  std::uint32_t result = (head << alignBits) | low;
  if (belowLead <= 6u) return result;

  // The middle bits between the head and the four low bits, each with its own counter.
  const std::uint32_t middleBits = belowLead - 6u;
  auto& extra = m.ExtraBitProbs[middleBits];
  std::uint32_t middle = 0;
  for (std::uint32_t i = 0; i < middleBits; ++i) {
    std::uint16_t& counter = extra[i];
    const std::uint32_t bit =
        codeUnpredictableBit(coder, counterProbability(counter), (distance >> (4u + middleBits - 1u - i)) & 1u);
    adaptCounter(counter, bit, 65536u, 32u, 6u);
    middle = 2u * middle + bit;
  }
  return (result & 15u) | ((result & ~15u) << middleBits) | (middle << 4);
}

}  // namespace quorvex::lz
