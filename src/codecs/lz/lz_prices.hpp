// What coding a decision would cost under the LZ model's current probabilities, for
// the encoder's parse. The prices read the model and never update it; where a price
// depends on context the parse cannot know yet, it assumes the most common case.
#pragma once

#include <array>
#include <cstdint>

#include "codecs/lz/lz_block_state.hpp"
#include "codecs/lz/lz_match_coding.hpp"
#include "codecs/lz/lz_model.hpp"
#include "codecs/lz/lz_tables.hpp"

namespace quorvex::lz {

// Prices are in 1/64 bit.
using Price = std::uint32_t;
inline constexpr Price kPriceOfOneBit = 64;
inline constexpr Price kUnreachable = 1u << 30;

// The price of coding `bit` where p (12 bits) is the probability of a 1.
Price bitPrice(std::uint32_t p, std::uint32_t bit);

// Which distance a match names, as far as the length coding cares.
enum class LengthVariant : std::uint32_t { newDistance = 0, lastDistance = 1, olderDistance = 2 };

inline LengthVariant lengthVariantOf(std::uint32_t choice) {
  return choice == 0 ? LengthVariant::newDistance : choice == 1 ? LengthVariant::lastDistance : LengthVariant::olderDistance;
}

// Length and distance prices, taken from the model at one moment. Rebuilt whenever the
// parse plans ahead, so that they follow the model as it learns.
class MatchPrices {
 public:
  void refresh(const LzModel& m);

  // length - 2.
  Price lengthPrice(LengthVariant variant, std::uint32_t lengthValue) const {
    if (lengthValue < kTabledLengths) return lengthTable_[static_cast<std::uint32_t>(variant)][lengthValue];
    return computeLengthPrice(variant, lengthValue);
  }

  // A new distance: the slot (which depends on the length) and the bits below it.
  Price slotPrice(std::uint32_t lengthValue, std::uint32_t distance) const {
    return slotPriceOfSlot(lengthValue, distanceSlotOf(distance));
  }
  Price slotPriceOfSlot(std::uint32_t lengthValue, std::uint32_t slot) const {
    return slotPrice_[SlotSetTable[std::min(lengthValue, 15u)]][slot];
  }
  Price distanceBitsPrice(std::uint32_t distance) const;

 private:
  // Lengths the parse prices one by one (shorter than its take-outright length) are
  // looked up; longer ones are computed.
  static constexpr std::uint32_t kTabledLengths = 128;
  Price computeLengthPrice(LengthVariant variant, std::uint32_t lengthValue) const;

  std::array<std::array<Price, kTabledLengths>, 3> lengthTable_{};   // [variant][length - 2]
  std::array<std::array<Price, 17>, 2> classPrefix_{};                     // [set][class]: class coded
  std::array<std::array<std::array<Price, 16>, 16>, 2> treePrice_{};       // [start node 1 or 3][class][tree bits]
  std::array<std::array<Price, 32>, 9> slotPrice_{};                       // [slot set][slot]
  // The counters of the bits below the slot, as they stood at the refresh.
  decltype(LzModel::DistanceHighProbs) high_{};
  decltype(LzModel::AlignProbs)::value_type align_{};
  decltype(LzModel::ExtraBitProbs) extra_{};
};

// The literal/match flag's probability of a literal, as the token coder computes it.
std::uint32_t literalFlagProbability(const LzModel& m, std::uint32_t predictedByte, std::uint32_t agreementFlags,
                                     std::uint32_t historyContext, std::uint32_t lastToken);

// The prices of the five recent-distance choices (0 = new distance).
std::array<Price, 5> recentChoicePrices(const LzModel& m, std::uint32_t agreementFlags, std::uint32_t eventHistory);

// The price of a literal at s.q after the token s.eventHistory and s.lastToken name:
// after a match the model expects the byte that followed the source, and a literal
// that differs from it is priced in the states that mismatch leads to. `t` holds the
// contexts at s.q.
Price literalPrice(const LzModel& m, const LzBlockState& s, const TokenContext& t);

}  // namespace quorvex::lz
