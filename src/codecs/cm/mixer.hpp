// Mixing and refinement: from twelve model opinions to the probability of the next bit.
//
// A gated linear `Mixer` (84 weight sets chosen by word class, match length and the
// number of known contexts) mixes the inputs in the stretch domain; an interpolating
// `ApmTable` refines the mix given the partial byte and the recent error rate; a
// two-weight `FinalMixer` per (last byte, bit position) rescales the average of both.
// The refinement stages learn one step late, when the next contexts are known, since
// their learning rate depends on them.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>

#include "codecs/cm/probability_map.hpp"
#include "model/logistic_tables.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quorvex::cm {

inline constexpr std::uint32_t kMixerInputs = 12;
inline constexpr std::uint32_t kWeightSets = 84;

class Mixer {
 public:
  std::array<std::int16_t, kMixerInputs>& inputs() { return inputs_; }
  const std::array<std::int16_t, kMixerInputs>& inputs() const { return inputs_; }

  // The weights of the set used for the last prediction move along err = 4095y - p.
  void learn(std::int32_t error) {
    std::int16_t* weights = weights_[selected_].data();
#if defined(__SSE2__)
    // Inputs and error fit in 16 bits, so the full 32-bit products come from the low and
    // high halves of packed 16-bit multiplies. t = (x * err * 16) >> 16 is (x * err) >> 12
    // because the product stays below 2^27, and (t + 1) >> 1 fits in 16 bits, so a
    // saturating add gives the clamped weight.
    const __m128i err = _mm_set1_epi16(static_cast<std::int16_t>(error));
    const __m128i one = _mm_set1_epi32(1);
    auto step = [&](__m128i x) {
      const __m128i low = _mm_mullo_epi16(x, err);
      const __m128i high = _mm_mulhi_epi16(x, err);
      const __m128i t0 = _mm_srai_epi32(_mm_unpacklo_epi16(low, high), 12);
      const __m128i t1 = _mm_srai_epi32(_mm_unpackhi_epi16(low, high), 12);
      return _mm_packs_epi32(_mm_srai_epi32(_mm_add_epi32(t0, one), 1), _mm_srai_epi32(_mm_add_epi32(t1, one), 1));
    };
    const __m128i x0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(inputs_.data()));
    const __m128i x1 = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(inputs_.data() + 8));
    __m128i* w0 = reinterpret_cast<__m128i*>(weights);
    __m128i* w1 = reinterpret_cast<__m128i*>(weights + 8);
    _mm_storeu_si128(w0, _mm_adds_epi16(_mm_loadu_si128(w0), step(x0)));
    _mm_storel_epi64(w1, _mm_adds_epi16(_mm_loadl_epi64(w1), step(x1)));
#else
    for (std::uint32_t i = 0; i < kMixerInputs; ++i) {
      const std::int32_t t = (inputs_[i] * error * 16) >> 16;
      const std::int32_t w = weights[i] + ((t + 1) >> 1);
      weights[i] = static_cast<std::int16_t>(std::clamp(w, -32768, 32767));
    }
#endif
  }

  // Mixes the inputs with weight set `set` (which becomes the one that learns next) and
  // returns the 12-bit stretch index m (0..4095).
  std::uint32_t mix(std::uint32_t set) {
    selected_ = set;
    const std::int16_t* weights = weights_[set].data();
    // Plain scalar products: the inputs were just stored one by one, and a vector load
    // over several fresh narrow stores cannot take them from the store buffer, so it
    // would wait for them to reach the cache. The sum cannot overflow (inputs stay
    // within -2048..2047, so |dot| < 12 * 2^26).
    std::int32_t dot = 0;
    for (std::uint32_t i = 0; i < kMixerInputs; ++i) {
      dot += inputs_[i] * weights[i];
      keepScalar(dot);
    }
    return static_cast<std::uint32_t>(std::clamp((dot >> 16) + 2048, 0, 4095));
  }

  std::int16_t weight(std::uint32_t set, std::uint32_t input) const { return weights_[set][input]; }
  void setWeight(std::uint32_t set, std::uint32_t input, std::int16_t value) { weights_[set][input] = value; }
  std::uint32_t selectedSet() const { return selected_; }

 private:
  // Keeps the compiler from turning a loop back into vector loads (see mix).
  static void keepScalar(std::int32_t& value) {
#if defined(__GNUC__)
    asm("" : "+r"(value));
#else
    (void)value;
#endif
  }

  std::array<std::int16_t, kMixerInputs> inputs_{};
  std::array<std::array<std::int16_t, kMixerInputs>, kWeightSets> weights_{};
  std::uint32_t selected_ = 0;
};

// The count limit of the refinement entries: faster learning with fewer known contexts,
// and slow learning when the model selection asks for it.
constexpr std::uint32_t apmLimit(std::uint32_t knownContexts, std::uint32_t modelSet) {
  const std::uint32_t exponent = knownContexts + 5 + (modelSet & 8);
  const std::uint32_t limit = exponent >= 8 ? 255 : (1u << exponent);
  return limit - (knownContexts == 4 ? 1 : 0);
}

class ApmTable {
 public:
  static constexpr std::uint32_t kRows = 4096;
  static constexpr std::uint32_t kColumns = 13;

  // Every row: the squash of the stretch values -1891 + 315i (i = 0..12), count 8.
  void reset();

  // Learns y into the pending entry, then interpolates row `row` at stretch index m
  // and makes the nearer of the two entries pending. Returns the 12-bit probability.
  std::uint32_t refine(std::uint32_t m, std::uint32_t row, std::uint32_t bit, std::uint32_t limit) {
    entries_[pendingIndex_] = refineEntry(pendingValue_, bit, limit);
    const std::uint32_t t = 12 * m;
    const std::uint32_t j = t >> 12;
    const std::uint32_t f = t & 0xFFF;
    const std::uint32_t base = kColumns * row + j;
    const std::uint32_t a = entries_[base];
    const std::uint32_t b = entries_[base + 1];
    pendingIndex_ = base + ((t >> 11) & 1);
    pendingValue_ = entries_[pendingIndex_];
    return ((4096 - f) * (a >> 12) + f * (b >> 12)) >> 20;
  }

  // Starts loading a row that a coming `refine` may read.
  void prefetchRow(std::uint32_t row) const {
    __builtin_prefetch(&entries_[kColumns * row]);
    __builtin_prefetch(&entries_[kColumns * row + kColumns - 1]);
  }

  std::uint32_t operator[](std::uint32_t index) const { return entries_[index]; }
  std::uint32_t pendingIndex() const { return pendingIndex_; }

 private:
  std::array<std::uint32_t, kRows * kColumns> entries_;
  std::uint32_t pendingIndex_ = 0;
  std::uint32_t pendingValue_ = 0;
};

class FinalMixer {
 public:
  static constexpr std::uint32_t kPairs = 8192;

  // Every pair (0, 0x800000): the identity on its second input; nothing pending.
  void reset();

  // Learns y into the pending pair, then mixes 2 * stretch(p1) with pair `pair`, which
  // becomes pending. Returns the 12-bit probability.
  std::uint32_t mix(std::uint32_t p1, std::uint32_t pair, std::uint32_t bit) {
    const std::int32_t g = (static_cast<std::int32_t>(4096 * bit) - static_cast<std::int32_t>(pendingProbability_)) >> 4;
    std::array<std::uint32_t, 2>& learning = weights_[pendingPair_];
    learning[0] += static_cast<std::uint32_t>(input0_ * g);
    learning[1] += static_cast<std::uint32_t>(input1_ * g);

    input0_ = 512;
    input1_ = 2 * stretch(p1);
    pendingPair_ = pair;
    const std::int32_t w0 = static_cast<std::int32_t>(weights_[pair][0]) >> 16;
    const std::int32_t w1 = static_cast<std::int16_t>(static_cast<std::int32_t>(weights_[pair][1]) >> 16);
    const std::int32_t s = (w0 * 512 + w1 * input1_ + 128) >> 8;
    pendingProbability_ = SquashTable[static_cast<std::uint32_t>(std::clamp(s + 2048, 0, 4095))];
    return pendingProbability_;
  }

  // Starts loading the 32 pairs of last byte c1 (256 bytes), which the coming byte's
  // eight bits read: a per-bit load would come too late to help.
  void prefetchByte(std::uint32_t c1) const {
    const auto* first = reinterpret_cast<const std::uint8_t*>(&weights_[32 * (c1 & 0xFF)]);
    for (std::uint32_t offset = 0; offset < 256; offset += 64) __builtin_prefetch(first + offset);
    __builtin_prefetch(first + 255);
  }

  std::int32_t weight(std::uint32_t pair, std::uint32_t which) const {
    return static_cast<std::int32_t>(weights_[pair][which]);
  }
  std::uint32_t pendingPair() const { return pendingPair_; }

 private:
  std::array<std::array<std::uint32_t, 2>, kPairs> weights_;  // i32 weights kept as u32 for wrapping sums
  std::uint32_t pendingPair_ = 0;
  std::int32_t input0_ = 0;
  std::int32_t input1_ = 0;
  std::uint32_t pendingProbability_ = 0;
};

// The last average; p is never 0 or 4096, so the coder always has room for both bits.
constexpr std::uint32_t finalProbability(std::uint32_t p1, std::uint32_t p2) {
  const std::uint32_t p = (p1 + 3 * p2 + 2) >> 2;
  return p <= 2047 ? p + 1 : p;
}

}  // namespace quorvex::cm
