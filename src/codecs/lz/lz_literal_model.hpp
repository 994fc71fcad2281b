// The literal model: one byte, most significant bit first, from eight predictions
// mixed by one of twelve weight sets and refined by an interpolation map.
//
// Inputs: a bit history over the two previous bytes, a 4-bit state over the top bits
// of three previous bytes, order-1 and sparse order-2 counters, a literal-state
// counter (used twice, the second time re-stretched), and two models that compare the
// byte so far with the byte a repeated match would give (the rep-predicted byte) and
// with the byte that followed the last occurrence of the same three-byte context (the
// hash-predicted byte).
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>

#include "codecs/lz/lz_block_state.hpp"
#include "codecs/lz/lz_model.hpp"
#include "model/counters.hpp"
#include "model/logistic_tables.hpp"
#include "model/state_table.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quorvex::lz {

// The byte that followed the last occurrence of the current three-byte context, and
// how long that context agrees (0: no earlier occurrence, 1..3: 3, 4 or 5 bytes).
struct HashPrediction {
  std::uint32_t matchLength = 0;
  std::uint32_t byte = 0;
};

// Reads the earlier position of this context from PositionHash and stores q there.
// Positions at or after q cannot be an earlier occurrence (they only arise when a model
// is reused over another window) and count as none.
inline HashPrediction predictFromHash(LzModel& m, const LzBlockState& s, const TokenContext& t) {
  const std::uint32_t pos = m.PositionHash[t.hash];
  m.PositionHash[t.hash] = s.q;
  HashPrediction h;
  if (pos == 0 || pos >= s.q) return h;
  if (s.before(pos, 1) != t.c1 || s.before(pos, 2) != t.c2 || s.before(pos, 3) != t.c3) return h;
  const std::uint32_t e4 = s.before(pos, 4) == t.c4;
  h.matchLength = 1 + e4 + (e4 & std::uint32_t{s.before(pos, 5) == t.c5});
  h.byte = s.before(pos, 0);
  return h;
}

// Where in a 256-entry row the partial byte points: the first three bits of each
// nibble climb a small tree, and after four bits the row jumps to 15 * (z - 15).
inline std::uint32_t nextSlot(std::uint32_t slot, std::uint32_t bitsDone, std::uint32_t z, std::uint32_t bit) {
  if (bitsDone == 4) return 15u * (z - 15u);
  return slot + ((bit + 1u) << ((bitsDone - 1u) & 3u));
}

// The literal-state counter row for the bits decoded so far; `expected` holds the
// byte the model expects after a match, shifted so that its bit 7 is the next bit.
struct LiteralState {
  std::uint32_t value;
  std::uint32_t expected;

  static LiteralState atByteStart(const LzBlockState& s) {
    if (s.eventHistory & 1u) return {1u, 0u};  // after a literal: plain order 0
    const std::uint32_t expected = (s.lastToken >> 8) & 255u;
    return {0x202u + ((expected >> 7) & 1u), expected};
  }

  void advance(std::uint32_t bit, std::uint32_t z) {
    if (value < 512u) {
      value = (value & 256u) | z;
    } else if (bit == (value & 1u)) {
      expected = (expected << 1) & 255u;
      value = 512u + (z < 128u ? 2u * z : 0u) + ((expected >> 7) & 1u);
    } else {
      value = 256u + z;
    }
  }
};

// Next bit and agreement of a byte being compared bit by bit: register = byte + 256,
// shifted left once per bit; z is 1 followed by the bits so far.
inline std::uint32_t nextBitOf(std::uint32_t reg) { return (reg >> 7) & 1u; }
inline std::uint32_t agreesSoFar(std::uint32_t reg, std::uint32_t z) { return std::uint32_t{(reg >> 8) == z}; }

inline void updateStateProbability(std::uint32_t& word, std::uint32_t bit) {
  const std::uint32_t count = word & 255u;
  const std::uint32_t target = bit << 23;
  const std::uint32_t step = ((target - (word >> 9)) * static_cast<std::uint32_t>(ReciprocalTable[count])) & 0xFFFFFF00u;
  word += std::uint32_t{count < 127u} + step;
}

inline std::uint32_t nibbleStateAt(const LzModel& m, std::uint32_t index) {
  return (m.NibbleStates[index >> 1] >> (4u * (index & 1u))) & 15u;
}

inline void setNibbleState(LzModel& m, std::uint32_t index, std::uint32_t state) {
  const std::uint32_t shift = 4u * (index & 1u);
  std::uint8_t& cell = m.NibbleStates[index >> 1];
  cell = static_cast<std::uint8_t>((cell & ~(15u << shift)) | (state << shift));
}

inline void prefetchMemory(const void* address) {
#if defined(__GNUC__)
  __builtin_prefetch(address);
#else
  (void)address;
#endif
}

// The bit-history row of a literal is the one large, randomly addressed table of the
// model (16 MiB). Its first cache line serves the first nibble of the byte; it is
// fetched as soon as the two bytes before the literal are known or nearly known (see
// prefetchNextRows), the other lines while the flag is coded. The bytes before an
// earlier occurrence of the context lie anywhere in the window: they are fetched as
// soon as the hash is known, so that they are in cache when a literal compares them.
inline void prefetchLiteralTables(const LzModel& m, const LzBlockState& s, const TokenContext& t) {
  const std::uint8_t* row = &m.Order2States[(t.c2 * 256u + (s.lastToken & 255u)) * 256u];
  for (int line = 0; line < 256; line += 64) prefetchMemory(row + line);
  const std::uint32_t earlier = m.PositionHash[t.hash];
  if (earlier < s.q) prefetchMemory(s.base + earlier - kHashContextBytes);  // only earlier positions are read
}

// The first lines of the bit-history rows a literal after this one may use: `previous`
// will be its second byte back, and the byte being decoded, of which `known` leading
// bits are in `z` (after its leading 1), its first byte back.
inline void prefetchNextRows(const LzModel& m, std::uint32_t previous, std::uint32_t z, std::uint32_t known) {
  const std::uint32_t unknown = 8u - known;
  const std::uint32_t firstRow = previous * 256u + ((z << unknown) & 255u);
  for (std::uint32_t row = firstRow; row < firstRow + (1u << unknown); ++row) prefetchMemory(&m.Order2States[row * 256u]);
}

// The token after a literal starts with a PositionHash row and the window bytes it
// points to (see prefetchLiteralTables), two dependent misses. Both are fetched while
// the literal's last bits decode, for every byte its `known` leading bits (in z, after
// its leading 1) leave possible: the context is then t.c2, t.c1 and this byte, and the
// rows of the candidates lie 1 KiB apart.
inline void prefetchNextHashRows(const LzModel& m, const TokenContext& t, std::uint32_t z, std::uint32_t known) {
  const std::uint32_t unknown = 8u - known;
  const std::uint32_t firstByte = (z << unknown) & 255u;
  for (std::uint32_t byte = firstByte; byte < firstByte + (1u << unknown); ++byte) {
    prefetchMemory(&m.PositionHash[contextHash(t.c2, t.c1, byte)]);
  }
}

inline void prefetchNextHashedBytes(const LzModel& m, const LzBlockState& s, const TokenContext& t, std::uint32_t z,
                                    std::uint32_t known) {
  const std::uint32_t unknown = 8u - known;
  const std::uint32_t firstByte = (z << unknown) & 255u;
  for (std::uint32_t byte = firstByte; byte < firstByte + (1u << unknown); ++byte) {
    const std::uint32_t earlier = m.PositionHash[contextHash(t.c2, t.c1, byte)];
    if (earlier <= s.q) prefetchMemory(s.base + earlier - kHashContextBytes);
  }
}

// The mixer: eight stretched inputs (-2048..2047) and 16-bit weights. The dot product
// (at most 2^29 in size) and the update are exact in 16-bit lanes: inputs * 16 fits in
// 16 bits, so the high half of (inputs * 16) * error is (inputs * error * 16) >> 16, and
// the saturating add is the clamp of the weight to 16 bits.
//
// A byte's bits mostly train one weight set in a row, so the set stays in a register
// from bit to bit and goes back to the model only when another set is chosen: the
// update of one bit then feeds the dot product of the next without a trip through
// memory.
using MixerWeightRow = std::array<std::int16_t, kLiteralInputs>;

class MixerWeightRegister {
 public:
  explicit MixerWeightRegister(MixerWeightRow& row) : row_(&row) { load(); }

  // Makes `row` the set in use, writing the one held back first.
  void select(MixerWeightRow& row) {
    if (&row == row_) return;
    store();
    row_ = &row;
    load();
  }

  void store() const {
#if defined(__SSE2__)
    _mm_storeu_si128(reinterpret_cast<__m128i*>(row_->data()), lanes_);
#else
    *row_ = lanes_;
#endif
  }

  std::int32_t dot(const std::int16_t* inputs) const {
#if defined(__SSE2__)
    const __m128i products = _mm_madd_epi16(lanes_, _mm_load_si128(reinterpret_cast<const __m128i*>(inputs)));
    const __m128i pairs = _mm_add_epi32(products, _mm_shuffle_epi32(products, 0x4E));
    return _mm_cvtsi128_si32(_mm_add_epi32(pairs, _mm_shuffle_epi32(pairs, 0xB1)));
#else
    std::int32_t sum = 0;
    for (std::size_t i = 0; i < kLiteralInputs; ++i) sum += std::int32_t{lanes_[i]} * inputs[i];
    return sum;
#endif
  }

  // error: 4095 * bit - p, within -4095..4094.
  void train(const std::int16_t* inputs, std::int32_t error) {
#if defined(__SSE2__)
    const __m128i scaledInputs = _mm_slli_epi16(_mm_load_si128(reinterpret_cast<const __m128i*>(inputs)), 4);
    const __m128i high = _mm_mulhi_epi16(scaledInputs, _mm_set1_epi16(static_cast<std::int16_t>(error)));
    const __m128i step = _mm_srai_epi16(_mm_add_epi16(high, _mm_set1_epi16(1)), 1);
    lanes_ = _mm_adds_epi16(lanes_, step);
#else
    const std::int32_t err = error * 16;
    for (std::size_t i = 0; i < kLiteralInputs; ++i) {
      const std::int32_t w = lanes_[i] + ((((inputs[i] * err) >> 16) + 1) >> 1);
      lanes_[i] = static_cast<std::int16_t>(std::clamp(w, -32768, 32767));
    }
#endif
  }

 private:
  void load() {
#if defined(__SSE2__)
    lanes_ = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row_->data()));
#else
    lanes_ = *row_;
#endif
  }

  MixerWeightRow* row_;
#if defined(__SSE2__)
  __m128i lanes_;
#else
  MixerWeightRow lanes_;
#endif
};

// Bits of a literal decoded before the rows of the next token are fetched, and before
// the window bytes the next token's hash row points to are.
inline constexpr std::uint32_t kNextRowsAfterBits = 6;
inline constexpr std::uint32_t kNextHashedBytesAfterBits = 7;

// Codes one literal byte (the encoder takes it from `byte`, the decoder returns it).
template <class Coder>
std::uint32_t codeLiteral(LzModel& m, Coder& coder, const LzBlockState& s, const TokenContext& t, std::uint32_t byte) {
  const std::uint32_t l1 = s.lastToken & 255u;
  const HashPrediction hashed = predictFromHash(m, s, t);

  std::uint8_t* const order2Row = &m.Order2States[(t.c2 * 256u + l1) * 256u];
  std::uint8_t* const order1Row = m.Order1Probs[l1].data();
  std::uint8_t* const sparseRow = m.Order2SparseProbs[t.c2].data();
  const std::uint32_t nibbleRow = 256u * (64u * (t.c3 >> 5) + 8u * (t.c2 >> 5) + (l1 >> 5));
  const std::uint32_t flags = t.agreementFlags;

  std::uint32_t repReg = t.predictedByte + 256u;
  std::uint32_t hashReg = hashed.byte + 256u;
  std::uint32_t r = 64u * flags + 16u * (s.segmentLeft & 3u) + 2u * nextBitOf(repReg) + 1u;
  std::uint32_t h = 128u * (s.lastToken & 31u) + 32u * hashed.matchLength + 2u * nextBitOf(hashReg) + 1u;
  LiteralState state = LiteralState::atByteStart(s);
  MixerWeightRegister weights(m.MixerWeights[(flags & 3u) + 4u * (state.value >> 8)]);
  std::uint32_t mapSelector = 0;
  std::uint32_t z = 1;
  std::uint32_t slot = 0;

  // Unrolled: each bit position gets its own copy, with the slot steps, context
  // fields and bit tests folded to constants, and its own branch for the decoded bit,
  // whose odds differ much from one position of the byte to the next.
#pragma GCC unroll 8
  for (std::uint32_t k = 1; k <= 8; ++k) {
    const std::uint32_t history = order2Row[slot];
    std::uint32_t& historyWord = m.StateProbs[history];
    const std::uint32_t nibbleIndex = nibbleRow + slot;
    const std::uint32_t nibble = nibbleStateAt(m, nibbleIndex);
    std::uint8_t& literalStateProb = m.LiteralStateProbs[state.value];

    alignas(16) std::int16_t inputs[kLiteralInputs];
    inputs[0] = ByteStretchTable[historyWord >> 24];
    inputs[1] = ByteStretchTable[m.NibbleStateProbs[nibble] >> 8];
    inputs[2] = ByteStretchTable[order1Row[slot]];
    inputs[3] = ByteStretchTable[sparseRow[slot]];
    inputs[4] = ByteStretchTable[literalStateProb];
    inputs[5] = ByteStretchTable[static_cast<std::uint32_t>(inputs[4] + 2048) >> 4];
    inputs[6] = ByteStretchTable[m.RepMatchProbs[r]];
    inputs[7] = ByteStretchTable[m.HashMatchProbs[h]];

    weights.select(m.MixerWeights[(flags & 3u) + 4u * (state.value >> 8)]);
    const auto x = static_cast<std::uint32_t>(std::clamp((weights.dot(inputs) >> 16) + 2048, 0, 4095));

    const MapReading a = interpolate(&m.LiteralApm[(2u * state.value + mapSelector) * kLiteralApmColumns], 11u * x);
    std::uint32_t p = (3u * a.probability + ByteSquashTable[x >> 4] + 2u) >> 2;
    p += p <= 2047u;
    const std::uint32_t y = coder.codeBit(p, (byte >> (8u - k)) & 1u);

    adaptCounter(*a.entry, y, 65598u, 0u, 6u);
    weights.train(inputs, static_cast<std::int32_t>(4095u * y) - static_cast<std::int32_t>(p));
    adaptCounter(m.HashMatchProbs[h], y, 256u, 8u, 4u);
    adaptCounter(m.RepMatchProbs[r], y, 256u, 4u, 3u);
    adaptCounter(order1Row[slot], y, 256u, 4u, 3u);
    adaptCounter(sparseRow[slot], y, 256u, 4u, 3u);
    adaptCounter(m.NibbleStateProbs[nibble], y, 65536u, 32u, 6u);
    setNibbleState(m, nibbleIndex,
                   static_cast<std::uint32_t>(static_cast<std::int32_t>(nibble) +
                                              ((static_cast<std::int32_t>(18u * y) - static_cast<std::int32_t>(nibble)) >> 2)));
    order2Row[slot] = nextState(static_cast<std::uint8_t>(history), y);
    updateStateProbability(historyWord, y);
    adaptCounter(literalStateProb, y, 256u, 2u, 2u);

    z = 2u * z + y;
    if (k == 8) break;
    if constexpr (!Coder::isEncoder) {
      if (k == kNextRowsAfterBits) {
        prefetchNextRows(m, t.c1, z, k);
        prefetchNextHashRows(m, t, z, k);
      }
      if (k == kNextHashedBytesAfterBits) prefetchNextHashedBytes(m, s, t, z, k);
    }

    mapSelector = (4096u * y - p + 1280u) > 2561u;  // the last bit was badly predicted
    repReg = (repReg << 1) & 0xFFFFu;
    hashReg = (hashReg << 1) & 0xFFFFu;
    slot = nextSlot(slot, k, z, y);
    r = (r & 0x3F0u) + 4u * (k >> 1) + 2u * nextBitOf(repReg) + agreesSoFar(repReg, z);
    h = (h & 0xFE0u) + 4u * k + 2u * nextBitOf(hashReg) + agreesSoFar(hashReg, z);
    state.advance(y, z);
  }
  weights.store();
  return z & 255u;
}

}  // namespace quorvex::lz
