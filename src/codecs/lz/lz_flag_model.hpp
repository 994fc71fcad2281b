// The literal/match flag: a byte-context counter refined by two interpolation maps,
// the first over the token history, the second over the last token's low bits.
#pragma once

#include <cstdint>

#include "codecs/lz/lz_block_state.hpp"
#include "codecs/lz/lz_model.hpp"
#include "model/counters.hpp"
#include "model/logistic_tables.hpp"

namespace quorvex::lz {

// Codes the flag of one token: 1 for a literal, 0 for a match.
template <class Coder>
std::uint32_t codeMatchFlag(LzModel& m, Coder& coder, const LzBlockState& s, const TokenContext& t,
                            std::uint32_t literal) {
  std::uint8_t& counter = m.MatchFlagProbs[t.predictedByte][t.agreementFlags & 7u];

  const auto xA = static_cast<std::uint32_t>(4 * std::int32_t{ByteStretchTable[counter]} + 8192);
  std::uint16_t* rowA = &m.MatchFlagApmA[(16u * s.historyContext + t.agreementFlags) * kFlagApmAColumns];
  const MapReading a = interpolate(rowA, xA);
  const std::uint32_t p1 = (16u * counter + 3u * a.probability + 2u) >> 2;

  const auto xB = static_cast<std::uint32_t>(9 * std::int32_t{ByteStretchTable[p1 >> 4]} + 18432);
  const std::uint32_t rowIndexB = (s.lastToken & 15u) + 16u * (t.agreementFlags & 1u) + 32u * ((t.agreementFlags >> 1) & 1u);
  const MapReading b = interpolate(&m.MatchFlagApmB[rowIndexB * kFlagApmBColumns], xB);

  std::uint32_t p = (p1 + 3u * b.probability + 2u) >> 2;
  p += p <= 2047u;
  const std::uint32_t bit = coder.codeBit(p, literal);

  adaptCounter(counter, bit, 256u, 4u, 3u);
  adaptCounter(*a.entry, bit, 65550u, 0u, 4u);
  adaptCounter(*b.entry, bit, 65566u, 0u, 5u);
  return bit;
}

}  // namespace quorvex::lz
