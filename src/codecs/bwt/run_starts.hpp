// Run-start coding: a segment is a sequence of runs (maximal stretches of one byte
// value); the code says, for every value, where its runs begin.
//
// All 256 values wait in a queue ordered by the position of their next run. The head
// owns the output until the position where the second value's next run starts. After
// each run that is not the value's last, the gap to its next run is coded as a count
// of positions that no queued value has claimed yet, with an adaptive model whose
// contexts are the run just written, the nearby claims and the value's gap history.
// Which run is each value's last is coded up front (the finishing runs), together
// with the distinct values and their first runs.
//
// codeRunStarts is written once for both directions: the decoder fills the output;
// the encoder reads every coded value from a RunPlan made from the segment.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "model/number_codes.hpp"
#include "codecs/bwt/run_start_model.hpp"

namespace quorvex::bwt {

enum RunStartResult : std::uint32_t {
  kRunStartsDecoded = 0,
  kFinishingIndexOutOfRange = 1,
  kRunOutOfRange = 2,  // an empty run, a run past the end, or a run start no output can reach
};

// What the encoder knows of a segment: its distinct values in order of first
// appearance, the run index at which each value in turn has its last run, and every
// value's run starts.
struct RunPlan {
  std::uint32_t distinct = 0;
  std::array<std::uint8_t, 256> listed{};
  std::array<std::uint32_t, 256> finishingRuns{};
  std::array<std::uint32_t, 257> firstRun{};  // runStarts[firstRun[b] .. firstRun[b + 1]) are b's
  std::vector<std::uint32_t> runStarts;
  std::array<std::uint32_t, 256> nextRun{};  // cursor into runStarts while coding
};

RunPlan planRunStarts(std::span<const std::uint8_t> symbols);

namespace detail {

constexpr std::uint32_t floorLog2(std::uint32_t x) {
  return x == 0 ? 0u : static_cast<std::uint32_t>(std::bit_width(x)) - 1u;
}

// Set-up numbers: a class k counted in 1-bits (prefix counter j for the j-th bit),
// stopping at a 0-bit or silently at the limit m; then 1 direct bit for class 0, or
// 2^k plus k direct bits.
template <class Coder>
std::uint32_t codeTruncatedClassNumber(Coder& coder, std::array<std::uint16_t, 32>& prefix, std::uint32_t m,
                                       std::uint32_t value) {
  constexpr std::uint32_t kPrefixShift = 4;  // rounding 8
  const std::uint32_t wanted = lengthClass(value);
  std::uint32_t k = 0;
  while (k < m && codeAdaptiveBit(coder, prefix[k], kPrefixShift, k < wanted ? 1u : 0u)) ++k;
  if (k == 0) return codeDirectBits(coder, 1, value);
  return (1u << k) + codeDirectBits(coder, k, value - (1u << k));
}

// The gap w after a run: an escape bit for w = 0, else v = w - 1 as a class i counted
// in 1-bits (at most 31), one modelled bit below the leading 1, and i - 1 raw bits.
template <class Coder, class BitIO>
std::uint32_t codeGap(Coder& coder, BitIO& bits, std::uint16_t* group, std::uint16_t* mantissaOfContext,
                      std::uint32_t w) {
  constexpr std::int32_t kEscapeRounding = 64, kEscapeMaxSpeed = 7;
  constexpr std::int32_t kPrefixRounding = 128, kPrefixMaxSpeed = 8;
  constexpr std::uint32_t kMaxPrefix = 31;

  const std::uint32_t escape = coder.codeBit(group[0] >> 4, w == 0 ? 1u : 0u);
  adaptSelfSlowingCounter(group[0], escape, kEscapeRounding, kEscapeMaxSpeed);
  if (escape) return 0;

  const std::uint32_t value = w - 1;
  const std::uint32_t wanted = lengthClass(value);
  std::uint32_t i = 0;
  while (i < kMaxPrefix) {
    std::uint16_t& counter = group[i + 1];
    const std::uint32_t bit = coder.codeBit(counter >> 4, i < wanted ? 1u : 0u);
    adaptSelfSlowingCounter(counter, bit, kPrefixRounding, kPrefixMaxSpeed);
    if (!bit) break;
    ++i;
  }
  // The bit just below the leading 1 (for class 0: the value itself).
  const std::uint32_t below = i == 0 ? value : value >> (i - 1);
  const std::uint32_t b = codeAdaptiveBit(coder, mantissaOfContext[i * RunStartModel::kContexts],
                                          RunStartModel::kMantissaShift, below & 1u);
  if (i == 0) return b + 1;
  if (i == 1) return 2 + b + 1;
  const std::uint32_t rest = bits.codeBits(i - 1, value);
  return ((2 + b) << (i - 1)) + rest + 1;
}

// The context of a gap: bit 0 for a one-byte run; then the class of the distance to the
// second queued value's run plus flags for the third and fourth being packed close.
constexpr std::uint32_t gapContext(std::uint32_t run, std::uint32_t e, std::uint32_t second, std::uint32_t third,
                                   std::uint32_t fourth) {
  return (run < 2 ? 1u : 0u) +
         2 * (kGapClass[(second - 1 - e) & 255] + (fourth - e < 4 ? 1u : 0u) + (third - e < 3 ? 1u : 0u));
}

// The counter row of a value with the given gap average: its class, plus one for any
// history at all and one for very long gaps.
constexpr std::uint32_t gapRow(std::uint32_t average) {
  const std::uint32_t q = (average + 128) >> 8;
  return kAverageClass[q < kAverageClassLimit ? q : kAverageClassLimit] + (average != 0 ? 1u : 0u) +
         (q > 2048 ? 1u : 0u);
}

// Most runs of a transformed text are a byte or two long: those are written directly.
inline void fillRun(std::uint8_t* out, std::uint8_t value, std::uint32_t run) {
  if (run <= 4) {
    for (std::uint32_t i = 0; i < run; ++i) out[i] = value;
  } else {
    std::memset(out, value, run);
  }
}

struct Reinsertion {
  std::uint32_t index;      // the entry the value goes before (256: after the tail)
  std::uint64_t candidate;  // its new run start
};

// Walks the queue positions from index `from`, stepping over every entry whose run
// start is at or below the candidate (each one pushes the candidate on by one).
// Positions are distinct and increasing, so entry k is stepped over exactly when
// position[k] - k <= candidate - from, a left side that never falls: the walk ends at
// the first entry where it exceeds. Eight entries are compared at once, so the walk
// takes one branch for most runs instead of one per entry.
inline Reinsertion findReinsertion(const std::uint32_t* position, std::uint32_t from, std::uint64_t candidate) {
  std::uint32_t k = from;
#if defined(__SSE2__)
  if (candidate >= from && candidate <= 0x7FFFFFFFu) {
    // Unsigned order through the signed compare: both sides with the top bit flipped.
    const __m128i flip = _mm_set1_epi32(static_cast<int>(0x80000000u));
    const __m128i limit = _mm_xor_si128(_mm_set1_epi32(static_cast<int>(candidate - from)), flip);
    const __m128i four = _mm_set1_epi32(4);
    __m128i index = _mm_setr_epi32(static_cast<int>(k), static_cast<int>(k + 1), static_cast<int>(k + 2),
                                   static_cast<int>(k + 3));
    for (; k + 8 <= 256; k += 8) {
      const __m128i low = _mm_sub_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(position + k)), index);
      index = _mm_add_epi32(index, four);
      const __m128i high = _mm_sub_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(position + k + 4)), index);
      index = _mm_add_epi32(index, four);
      const int beyond = _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpgt_epi32(_mm_xor_si128(low, flip), limit))) |
                         _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpgt_epi32(_mm_xor_si128(high, flip), limit))) << 4;
      if (beyond != 0) {
        k += static_cast<std::uint32_t>(std::countr_zero(static_cast<unsigned>(beyond)));
        return {k, candidate + (k - from)};
      }
    }
    while (k < 256 && position[k] <= candidate + (k - from)) ++k;
    return {k, candidate + (k - from)};
  }
#endif
  for (;;) {
    if (k + 8 <= 256 && position[k + 7] <= candidate + 7) {
      k += 8;
      candidate += 8;
    } else if (k < 256 && position[k] <= candidate) {
      ++k;
      ++candidate;
    } else {
      return {k, candidate};
    }
  }
}

}  // namespace detail

// Codes the n-symbol segment (n >= 1). Decoding writes output[0..n) and returns a
// RunStartResult; encoding reads the plan (output unused) and returns 0.
template <class Coder, class BitIO>
std::uint32_t codeRunStarts(RunStartModel& model, Coder& coder, BitIO& bits, std::uint8_t* output,
                            std::uint32_t n, RunPlan* plan) {
  constexpr bool encoding = Coder::isEncoder;
  if (n == 0) return kRunOutOfRange;

  // Set-up 1: the distinct values in order of first appearance, each drawn from the
  // table of values not yet listed; the value O (the table size) ends the list.
  std::array<std::uint16_t, 32> prefix;
  prefix.fill(kHalfProbability);
  std::array<std::uint8_t, 256> table, where;  // where: a value's place in table (encoder)
  for (std::uint32_t i = 0; i < 256; ++i) table[i] = where[i] = static_cast<std::uint8_t>(i);
  std::array<std::uint8_t, 256> listed{};
  std::uint32_t unlisted = 256;
  std::uint32_t distinct = 0;
  for (;;) {
    const std::uint32_t bound = unlisted < 256 ? unlisted + 1 : 256;
    std::uint32_t wanted = 0;
    if constexpr (encoding) wanted = distinct == plan->distinct ? unlisted : where[plan->listed[distinct]];
    const std::uint32_t x = codeBelow(coder, bound, wanted);
    if (x == unlisted) break;
    listed[distinct++] = table[x];
    table[x] = table[unlisted - 1];
    where[table[x]] = static_cast<std::uint8_t>(x);
    --unlisted;
    if (unlisted == 0 || distinct == n) break;
  }

  // The queue: listed values at their first runs, then the absent values in byte order
  // at n, n + 1, ... Positions are kept in queue order beside the values.
  std::array<std::uint8_t, 256> queue;
  std::array<std::uint32_t, 256> position;
  std::array<bool, 256> present{};
  for (std::uint32_t j = 0; j < distinct; ++j) present[listed[j]] = true;
  {
    std::uint32_t tail = distinct;
    for (std::uint32_t b = 0; b < 256; ++b) {
      if (present[b]) continue;
      queue[tail] = static_cast<std::uint8_t>(b);
      position[tail] = n + (tail - distinct);
      ++tail;
    }
  }

  // Set-up 2: first runs. Value j starts after value j - 1, leaving room for the rest.
  queue[0] = listed[0];
  position[0] = 0;
  for (std::uint32_t j = 1; j < distinct; ++j) {
    const std::uint32_t previous = position[j - 1];
    const std::uint32_t m = detail::floorLog2(n - distinct + j - previous);
    std::uint32_t wanted = 0;
    if constexpr (encoding) wanted = plan->runStarts[plan->firstRun[listed[j]]] - previous - 1;
    const std::uint64_t start =
        std::uint64_t{previous} + 1 + detail::codeTruncatedClassNumber(coder, prefix, m, wanted);
    if (start >= n) return kRunOutOfRange;  // no output position could ever reach it
    queue[j] = listed[j];
    position[j] = static_cast<std::uint32_t>(start);
  }

  // Set-up 3: finishing runs, the global run index of each value's last run in turn.
  std::array<std::uint32_t, 256> finishing;
  {
    const std::uint32_t m = detail::floorLog2(n - distinct);
    for (std::uint32_t i = 0; i < distinct; ++i) {
      const std::uint32_t least = i == 0 ? 0 : finishing[i - 1] + 1;
      std::uint32_t wanted = 0;
      if constexpr (encoding) wanted = plan->finishingRuns[i] - least;
      const std::uint64_t run = std::uint64_t{least} + detail::codeTruncatedClassNumber(coder, prefix, m, wanted);
      if (run >= n) return kFinishingIndexOutOfRange;
      finishing[i] = static_cast<std::uint32_t>(run);
    }
  }

  model.reset();
  std::uint32_t left = finishing[0] + 1;
  std::uint32_t finished = 0;
  std::uint32_t active = distinct;
  std::uint32_t out = 0;
  if constexpr (encoding) {
    for (std::uint32_t b = 0; b < 256; ++b) plan->nextRun[b] = plan->firstRun[b] + 1;
  }

  for (;;) {
    const std::uint8_t s = queue[0];
    const std::uint32_t e = position[1];  // where this run ends
    const std::uint32_t run = e - position[0];
    if (run == 0 || run > n - out) return kRunOutOfRange;
    if constexpr (!encoding) detail::fillRun(output + out, s, run);
    out += run;

    if (--left == 0) {
      // s is finished: it moves to the tail, behind every absent or finished value.
      if (--active == 0) return kRunStartsDecoded;
      ++finished;
      left = finishing[finished] - finishing[finished - 1];
      std::memmove(&queue[0], &queue[1], 255);
      std::memmove(&position[0], &position[1], 255 * sizeof(std::uint32_t));
      queue[255] = s;
      position[255] = n + 255 - active;
      continue;
    }

    // The gap to s's next run, in positions not yet claimed.
    const std::uint32_t context = detail::gapContext(run, e, position[2], position[3], position[4]);
    const std::uint32_t average = model.gapAverage[s];
    const std::uint32_t row = detail::gapRow(average);

    std::uint32_t wanted = 0;
    if constexpr (encoding) {
      const std::uint32_t target = plan->runStarts[plan->nextRun[s]++];
      std::uint32_t claimed = 0;
      for (std::uint32_t k = 2; k < 256 && position[k] < target; ++k) ++claimed;
      wanted = target - e - 1 - claimed;
    }
    const std::uint32_t w =
        detail::codeGap(coder, bits, model.group(row, context), &model.mantissa[context], wanted);

    const std::uint32_t trend = (3 * model.gapTrend[s] + 5 * average + 259) >> 3;
    model.gapTrend[s] = trend;
    model.gapAverage[s] = ((w << 10) + 12 * trend + 8) >> 4;

    // Reinsert s: skip w unclaimed positions after e. A run start at n or beyond could
    // never be reached (only the head writes, and it writes from its own position), so
    // such a stream is rejected here rather than at the end.
    const std::uint64_t first = std::uint64_t{e} + w + 1;
    if (first >= n) return kRunOutOfRange;
    const detail::Reinsertion at = detail::findReinsertion(position.data(), 2, first);
    const std::uint64_t candidate = at.candidate;
    const std::uint32_t k = at.index;
    if (candidate >= n) return kRunOutOfRange;
    for (std::uint32_t j = 1; j < k; ++j) {  // mostly a few entries: cheaper than a call
      queue[j - 1] = queue[j];
      position[j - 1] = position[j];
    }
    queue[k - 1] = s;
    position[k - 1] = static_cast<std::uint32_t>(candidate);
  }
}

// Decodes n bytes to output from the arithmetic stream and the raw-bit stream.
// Returns a RunStartResult (0 on success).
std::uint32_t decodeRunStarts(RunStartModel& model, std::span<const std::uint8_t> arithmetic,
                              std::span<const std::uint8_t> rawBits, std::uint8_t* output, std::uint32_t n);

// The encoding twin: codes the symbols (at least one) into the two streams.
struct RunStartStreams {
  std::vector<std::uint8_t> arithmetic;
  std::vector<std::uint8_t> rawBits;
};
RunStartStreams encodeRunStarts(RunStartModel& model, std::span<const std::uint8_t> symbols);

}  // namespace quorvex::bwt
