#include "codecs/lz/lz_prices.hpp"

#include <algorithm>
#include <cmath>

#include "codecs/lz/lz_literal_model.hpp"
#include "codecs/lz/lz_match_coding.hpp"
#include "codecs/lz/lz_tables.hpp"
#include "model/logistic_tables.hpp"

namespace quorvex::lz {

namespace {

// -log2(q / 4096) in 1/64 bit for the probability q of the outcome coded. With q = 0
// the interval shrinks to one value and the coder spends about 32 bits to reopen it.
std::array<Price, 4097> buildPriceTable() {
  std::array<Price, 4097> table{};
  for (std::uint32_t q = 1; q <= 4096; ++q) {
    table[q] = static_cast<Price>(std::lround(-std::log2(q / 4096.0) * kPriceOfOneBit));
  }
  table[0] = 32 * kPriceOfOneBit;
  return table;
}

const std::array<Price, 4097> kPriceTable = buildPriceTable();

Price counterPrice(std::uint16_t counter, std::uint32_t bit) { return bitPrice(counter >> 4, bit); }

// The interpolation value of a map row, as the token coder reads it.
std::uint32_t interpolated(const std::uint16_t* row, std::uint32_t x) {
  const std::uint32_t column = x >> 12;
  const std::uint32_t weight = x & 4095u;
  return (std::uint32_t{row[column]} * (4096u - weight) + std::uint32_t{row[column + 1]} * weight) >> 16;
}

}  // namespace

Price bitPrice(std::uint32_t p, std::uint32_t bit) { return kPriceTable[bit ? p : 4096u - p]; }

void MatchPrices::refresh(const LzModel& m) {
  high_ = m.DistanceHighProbs;
  align_ = m.AlignProbs[0];
  extra_ = m.ExtraBitProbs;
  for (std::uint32_t set = 0; set < 2; ++set) {
    Price sum = 0;
    for (std::uint32_t c = 0; c < kLengthClasses; ++c) {
      classPrefix_[set][c] = sum + counterPrice(m.LengthClassProbs[set][c], 0);
      sum += counterPrice(m.LengthClassProbs[set][c], 1);
    }
  }
  for (std::uint32_t start = 0; start < 2; ++start) {
    for (std::uint32_t c = 0; c < kLengthClasses; ++c) {
      const std::uint32_t treeBits = c == 0 ? 1u : std::min(c, 4u);
      for (std::uint32_t top = 0; top < (1u << treeBits); ++top) {
        Price price = 0;
        std::uint32_t node = start == 0 ? 1u : 3u;
        for (std::uint32_t i = 0; i < treeBits; ++i) {
          const std::uint32_t bit = (top >> (treeBits - 1u - i)) & 1u;
          price += counterPrice(m.LengthTreeProbs[c][node], bit);
          node = 2u * node + bit;
        }
        treePrice_[start][c][top] = price;
      }
    }
  }
  for (std::uint32_t set = 0; set < kSlotSets; ++set) {
    for (std::uint32_t slot = 0; slot < 32; ++slot) {
      Price price = 0;
      std::uint32_t node = 1;
      for (std::uint32_t i = 0; i < 5; ++i) {
        const std::uint16_t counter = m.SlotTreeProbs[set][node];
        const auto column = static_cast<std::uint32_t>((ByteStretchTable[counter >> 8] >> 8) + 8);
        const std::uint16_t* row = &m.SlotApm[node * kSlotApmColumns];
        const std::uint32_t p = (counterProbability(counter) + 3u * ((std::uint32_t{row[column]} + row[column + 1] + 1u) >> 5) + 2u) >> 2;
        const std::uint32_t bit = (slot >> (4u - i)) & 1u;
        price += bitPrice(guardedProbability(p), bit);
        node = 2u * node + bit;
      }
      slotPrice_[set][slot] = price;
    }
  }
  for (std::uint32_t variant = 0; variant < 3; ++variant) {
    for (std::uint32_t value = 0; value < kTabledLengths; ++value) {
      lengthTable_[variant][value] = computeLengthPrice(static_cast<LengthVariant>(variant), value);
    }
  }
}

Price MatchPrices::computeLengthPrice(LengthVariant variant, std::uint32_t value) const {
  const std::uint32_t c = lengthClassOf(value);
  const std::uint32_t treeBits = c == 0 ? 1u : std::min(c, 4u);
  const std::uint32_t directBits = c > 4 ? c - 4u : 0u;
  const std::uint32_t top = (value >> directBits) & ((1u << treeBits) - 1u);
  const std::uint32_t set = variant == LengthVariant::lastDistance ? 1u : 0u;
  const std::uint32_t start = variant == LengthVariant::newDistance ? 1u : 0u;
  return classPrefix_[set][c] + treePrice_[start][c][top] + directBits * kPriceOfOneBit;
}

Price MatchPrices::distanceBitsPrice(std::uint32_t distance) const {
  const std::uint32_t slot = distanceSlotOf(distance);
  const std::uint32_t belowLead = 31u - slot;
  const std::uint32_t head = slot != 31u ? 1u : 0u;
  const std::uint32_t highBits = slot >= 30u ? 1u : 2u;
  const std::uint32_t headShift = belowLead + 1u - (highBits + head);
  Price price = 0;
  std::uint32_t node = 1;
  for (std::uint32_t i = 0; i < highBits; ++i) {
    const std::uint32_t bit = (distance >> (headShift + highBits - 1u - i)) & 1u;
    price += counterPrice(high_[belowLead][node], bit);
    node = 2u * node + bit;
  }
  if (belowLead <= 2u) return price;
  const std::uint32_t alignBits = std::min(belowLead - 2u, 4u);
  node = 1;
  for (std::uint32_t i = 0; i < alignBits; ++i) {
    const std::uint32_t bit = (distance >> i) & 1u;
    price += counterPrice(align_[node], bit);
    node = 2u * node + bit;
  }
  if (belowLead <= 6u) return price;
  const std::uint32_t middleBits = belowLead - 6u;
  for (std::uint32_t i = 0; i < middleBits; ++i) {
    price += counterPrice(extra_[middleBits][i], (distance >> (4u + middleBits - 1u - i)) & 1u);
  }
  return price;
}

std::uint32_t literalFlagProbability(const LzModel& m, std::uint32_t predictedByte, std::uint32_t agreementFlags,
                                     std::uint32_t historyContext, std::uint32_t lastToken) {
  const std::uint32_t counter = m.MatchFlagProbs[predictedByte][agreementFlags & 7u];
  const auto xA = static_cast<std::uint32_t>(4 * std::int32_t{ByteStretchTable[counter]} + 8192);
  const std::uint32_t a = interpolated(&m.MatchFlagApmA[(16u * historyContext + agreementFlags) * kFlagApmAColumns], xA);
  const std::uint32_t p1 = (16u * counter + 3u * a + 2u) >> 2;
  const auto xB = static_cast<std::uint32_t>(9 * std::int32_t{ByteStretchTable[p1 >> 4]} + 18432);
  const std::uint32_t rowB = (lastToken & 15u) + 16u * (agreementFlags & 1u) + 32u * ((agreementFlags >> 1) & 1u);
  const std::uint32_t b = interpolated(&m.MatchFlagApmB[rowB * kFlagApmBColumns], xB);
  return guardedProbability((p1 + 3u * b + 2u) >> 2);
}

std::array<Price, 5> recentChoicePrices(const LzModel& m, std::uint32_t agreementFlags, std::uint32_t eventHistory) {
  const std::uint32_t base = 128u * agreementFlags + 8u * (eventHistory & 15u);
  std::array<Price, 5> prices{};
  Price declined = 0;  // the price of the zeros before choice j
  for (std::uint32_t j = 0; j < kRecentChoices; ++j) {
    const std::uint32_t p = guardedProbability(counterProbability(m.RepChoiceProbs[j == 0 ? (base & 1023u) : base + j]));
    prices[j] = declined + bitPrice(p, 1);
    declined += bitPrice(p, 0);
  }
  prices[kRecentChoices] = declined;
  return prices;
}

Price literalPrice(const LzModel& m, const LzBlockState& s, const TokenContext& t) {
  const std::uint32_t byte = s.base[s.q];
  const std::uint32_t l1 = t.c1;
  HashPrediction hashed;
  const std::uint32_t pos = m.PositionHash[t.hash];
  if (pos != 0 && pos < s.q && s.before(pos, 1) == t.c1 && s.before(pos, 2) == t.c2 && s.before(pos, 3) == t.c3) {
    const std::uint32_t e4 = s.before(pos, 4) == t.c4;
    hashed.matchLength = 1 + e4 + (e4 & std::uint32_t{s.before(pos, 5) == t.c5});
    hashed.byte = s.before(pos, 0);
  }

  const std::uint8_t* const order2Row = &m.Order2States[(t.c2 * 256u + l1) * 256u];
  const std::uint8_t* const order1Row = m.Order1Probs[l1].data();
  const std::uint8_t* const sparseRow = m.Order2SparseProbs[t.c2].data();
  const std::uint32_t nibbleRow = 256u * (64u * (t.c3 >> 5) + 8u * (t.c2 >> 5) + (l1 >> 5));
  const std::uint32_t flags = t.agreementFlags;
  std::uint32_t repReg = t.predictedByte + 256u;
  std::uint32_t hashReg = hashed.byte + 256u;
  std::uint32_t r = 64u * flags + 16u * (s.segmentLeft & 3u) + 2u * nextBitOf(repReg) + 1u;
  std::uint32_t h = 128u * (l1 & 31u) + 32u * hashed.matchLength + 2u * nextBitOf(hashReg) + 1u;
  LiteralState state = LiteralState::atByteStart(s);
  std::uint32_t mapSelector = 0;
  std::uint32_t z = 1;
  std::uint32_t slot = 0;
  Price price = 0;

  for (std::uint32_t k = 1;; ++k) {
    std::int32_t inputs[kLiteralInputs];
    inputs[0] = ByteStretchTable[m.StateProbs[order2Row[slot]] >> 24];
    inputs[1] = ByteStretchTable[m.NibbleStateProbs[nibbleStateAt(m, nibbleRow + slot)] >> 8];
    inputs[2] = ByteStretchTable[order1Row[slot]];
    inputs[3] = ByteStretchTable[sparseRow[slot]];
    inputs[4] = ByteStretchTable[m.LiteralStateProbs[state.value]];
    inputs[5] = ByteStretchTable[static_cast<std::uint32_t>(inputs[4] + 2048) >> 4];
    inputs[6] = ByteStretchTable[m.RepMatchProbs[r]];
    inputs[7] = ByteStretchTable[m.HashMatchProbs[h]];
    const auto& weights = m.MixerWeights[(flags & 3u) + 4u * (state.value >> 8)];
    std::int32_t dot = 0;
    for (std::size_t i = 0; i < kLiteralInputs; ++i) dot += std::int32_t{weights[i]} * inputs[i];
    const auto x = static_cast<std::uint32_t>(std::clamp((dot >> 16) + 2048, 0, 4095));
    const std::uint32_t a = interpolated(&m.LiteralApm[(2u * state.value + mapSelector) * kLiteralApmColumns], 11u * x);
    std::uint32_t p = (3u * a + ByteSquashTable[x >> 4] + 2u) >> 2;
    p += p <= 2047u;
    const std::uint32_t y = (byte >> (8u - k)) & 1u;
    price += bitPrice(p, y);
    z = 2u * z + y;
    if (k == 8) break;
    mapSelector = (4096u * y - p + 1280u) > 2561u;
    repReg = (repReg << 1) & 0xFFFFu;
    hashReg = (hashReg << 1) & 0xFFFFu;
    slot = nextSlot(slot, k, z, y);
    r = (r & 0x3F0u) + 4u * (k >> 1) + 2u * nextBitOf(repReg) + agreesSoFar(repReg, z);
    h = (h & 0xFE0u) + 4u * k + 2u * nextBitOf(hashReg) + agreesSoFar(hashReg, z);
    state.advance(y, z);
  }
  return price;
}

}  // namespace quorvex::lz
