#include "codecs/audio/audio_prediction.hpp"

#include <algorithm>
#include <cstring>

#include "codecs/audio/filter_kernels.hpp"

namespace quorvex::audio {
namespace {

// The filter loops are built twice (see runFilter); everything they call must be
// inlined into each build to profit.
#define QUORVEX_HOT [[gnu::always_inline]] inline
#define QUORVEX_LAMBDA_HOT __attribute__((always_inline))

// The hot loops: fixed-width 16-bit lanes and a 32-bit sum that wraps, written so the
// compiler turns them into packed multiply-add and add instructions.
QUORVEX_HOT std::int32_t dotProduct(const std::int16_t* weights, const std::int16_t* history, std::uint32_t order) {
  std::uint32_t sum = 0;
  for (std::uint32_t k = 0; k < order; ++k) {
    sum += static_cast<std::uint32_t>(std::int32_t{weights[k]} * std::int32_t{history[k]});
  }
  return static_cast<std::int32_t>(sum);
}

// Long filters: saturating update, none on a zero residual. The step t is at most 16
// either way, so clamping the weight first to [-32768 + max(-t, 0), 32767 - max(t, 0)]
// and then adding t saturates exactly while staying in 16-bit lanes (min, max, add).
// The update is fused with the dot product against the new window.
QUORVEX_HOT std::int32_t adaptSaturatingDot(std::int16_t* weights, const std::int16_t* terms,
                                            const std::int16_t* history, std::uint32_t order, std::int32_t r) {
  if (r == 0) return dotProduct(weights, history, order);
  const std::int16_t sign = r > 0 ? 1 : -1;
  std::uint32_t sum = 0;
  for (std::uint32_t k = 0; k < order; ++k) {
    const auto step = static_cast<std::int16_t>(terms[k] * sign);
    const auto rise = static_cast<std::int16_t>(step > 0 ? step : 0);
    const auto fall = static_cast<std::int16_t>(step < 0 ? -step : 0);
    std::int16_t w = weights[k];
    w = std::max(w, static_cast<std::int16_t>(-32768 + fall));
    w = std::min(w, static_cast<std::int16_t>(32767 - rise));
    w = static_cast<std::int16_t>(w + step);
    weights[k] = w;
    sum += static_cast<std::uint32_t>(std::int32_t{w} * std::int32_t{history[k]});
  }
  return static_cast<std::int32_t>(sum);
}

// Short filters: wrapping update; a zero residual counts as negative.
QUORVEX_HOT void adaptWrapping(std::int16_t* weights, const std::int16_t* terms, std::uint32_t order, std::int32_t r) {
  const std::uint32_t sign = r > 0 ? 1u : 0xFFFFu;  // unsigned 32-bit: the product must not overflow an int
  for (std::uint32_t k = 0; k < order; ++k) {
    weights[k] = static_cast<std::int16_t>(static_cast<std::uint16_t>(static_cast<std::uint16_t>(weights[k]) +
                                                                      sign * static_cast<std::uint16_t>(terms[k])));
  }
}

// Slides the window down by one. At the bottom of the buffer the newest order - 1
// values and their terms jump to the top, where the cursor continues.
QUORVEX_HOT void moveWindow(AudioFilter& filter, std::uint32_t order) {
  if (filter.cursor > 0) {
    --filter.cursor;
    return;
  }
  std::int16_t* buffer = filter.buffer.data();
  const std::uint32_t top = AudioFilter::kTermOffset * 5 - order;  // 2560 - order
  if (order > 1) {
    std::memmove(buffer + top + 1, buffer, (order - 1) * sizeof(std::int16_t));
    std::memmove(buffer + top + 1 + AudioFilter::kTermOffset, buffer + AudioFilter::kTermOffset,
                 (order - 1) * sizeof(std::int16_t));
  }
  filter.cursor = top;
}

// One pass over the taps: each weight adapts from the old window's term and at once
// meets the new window's value. The push cannot disturb the old terms: the new value
// and term land just below them, or at the top of the buffer after a move, while the
// old terms stay where they were.
//
// The pass reads the window before the new value is stored, with the slot's stale
// value in its place, and then swaps the stale product for the new one. Reading a
// value just stored as one 16-bit lane of a wide load would wait for the store to
// reach the cache, and that wait would lie on the path from one sample to the next;
// this way the path is one multiply and an add. The sum wraps, so the swap is exact.
template <bool isLong>
QUORVEX_HOT void stepFilter(AudioFilter& filter, std::uint32_t order, std::int32_t x, std::int32_t r) {
  std::int16_t* weights = filter.weights.data();
  std::int16_t* buffer = filter.buffer.data();
  const std::int16_t* terms = buffer + filter.cursor + AudioFilter::kTermOffset;
  moveWindow(filter, order);
  std::int16_t* window = buffer + filter.cursor;
  const std::int16_t stale = window[0];
  std::int32_t d;
  if constexpr (isLong) {
    d = adaptSaturatingDot(weights, terms, window, order, r);
  } else {
    adaptWrapping(weights, terms, order, r);
    d = dotProduct(weights, window, order);
  }
  const std::int16_t stored = isLong ? storedLongValue(x) : storedShortValue(x);
  window[0] = stored;
  window[AudioFilter::kTermOffset] = isLong ? longTerm(stored) : shortTerm(stored);
  d = wrapAdd(d, std::int32_t{weights[0]} * (std::int32_t{stored} - std::int32_t{stale}));
  filter.prediction = isLong ? longRounding(d, filter.shift) : shortRounding(d, filter.shift);
}

// Dispatches once per run of values, so that the loops see their usual tap counts as
// constants.
template <bool forward>
QUORVEX_HOT void runFilterLoop(AudioFilter& filter, std::int32_t* values, std::size_t n) {
  const auto run = [&](auto step) QUORVEX_LAMBDA_HOT {
    for (std::size_t i = 0; i < n; ++i) {
      std::int32_t x;
      std::int32_t r;
      if constexpr (forward) {
        x = values[i];
        r = wrapSub(x, filter.prediction);
        values[i] = r;
      } else {
        r = values[i];
        x = wrapAdd(r, filter.prediction);
        values[i] = x;
      }
      step(x, r);
    }
  };
  if (filter.order == kLongOrder) {
    run([&](std::int32_t x, std::int32_t r) QUORVEX_LAMBDA_HOT { stepFilter<true>(filter, kLongOrder, x, r); });
  } else if (filter.order == kShortOrder) {
    run([&](std::int32_t x, std::int32_t r) QUORVEX_LAMBDA_HOT { stepFilter<false>(filter, kShortOrder, x, r); });
  } else if (filter.isLong()) {
    run([&](std::int32_t x, std::int32_t r) QUORVEX_LAMBDA_HOT { stepFilter<true>(filter, filter.order, x, r); });
  } else {
    run([&](std::int32_t x, std::int32_t r) QUORVEX_LAMBDA_HOT { stepFilter<false>(filter, filter.order, x, r); });
  }
}

// Adds (a > 0) or subtracts (a < 0) a window from weights; a = 0 leaves them. The
// sign of a follows the signal, so it is applied with masks rather than a branch a
// processor would often guess wrong: (v ^ negate) - negate is v or -v, and `keep`
// zeroes the step for a = 0.
QUORVEX_HOT void adaptCrossWeights(std::int32_t* weights, const std::int32_t* window, std::uint32_t taps, std::int32_t a) {
  const std::uint32_t negate = 0u - static_cast<std::uint32_t>(a < 0);
  const std::uint32_t keep = 0u - static_cast<std::uint32_t>(a != 0);
  for (std::uint32_t k = 0; k < taps; ++k) {
    const std::uint32_t step = ((static_cast<std::uint32_t>(window[k]) ^ negate) - negate) & keep;
    weights[k] = static_cast<std::int32_t>(static_cast<std::uint32_t>(weights[k]) + step);
  }
}

// Moves a cross-predictor cursor down; at 0 it jumps to the top with the newest
// taps - 1 entries.
QUORVEX_HOT void moveCrossWindow(std::int32_t* history, std::uint32_t& cursor, std::uint32_t taps) {
  if (cursor > 0) {
    --cursor;
    return;
  }
  cursor = CrossPredictor::kHistorySize - taps;
  if (taps > 1) std::memmove(history + cursor + 1, history, (taps - 1) * sizeof(std::int32_t));
}

// Writes value as the newest entry and turns the next span - 1 entries into
// alternating differences with it.
QUORVEX_HOT void pushAlternating(std::int32_t* window, std::uint32_t span, std::int32_t value) {
  window[0] = value;
  for (std::uint32_t k = 1; k < span; ++k) window[k] = wrapSub(value, window[k]);
}

QUORVEX_HOT std::uint64_t dotProduct64(const std::int32_t* weights, const std::int32_t* history, std::uint32_t taps) {
  std::uint64_t sum = 0;
  for (std::uint32_t k = 0; k < taps; ++k) {
    sum += static_cast<std::uint64_t>(std::int64_t{weights[k]} * std::int64_t{history[k]});
  }
  return sum;
}

QUORVEX_HOT std::int32_t predictCross(CrossPredictor& p, std::int32_t b) {
  std::int32_t* cross = p.crossHistory.data() + p.crossCursor;
  pushAlternating(cross, p.crossSpan, b);
  const std::uint64_t sum = dotProduct64(p.ownWeights.data(), p.ownHistory.data() + p.ownCursor, p.ownTaps) +
                            dotProduct64(p.crossWeights.data(), cross, p.crossTaps);
  // The shifted magnitude keeps its low 32 bits, then takes the sum's sign; masks
  // rather than a branch apply the sign, which follows the signal.
  const std::uint64_t negate = 0u - static_cast<std::uint64_t>(static_cast<std::int64_t>(sum) < 0);
  const std::uint64_t magnitude = (sum ^ negate) - negate;
  const auto shifted = static_cast<std::uint32_t>(magnitude >> p.shift);
  const auto negate32 = static_cast<std::uint32_t>(negate);
  return static_cast<std::int32_t>((shifted ^ negate32) - negate32);
}

QUORVEX_HOT void adaptCross(CrossPredictor& p, std::int32_t a, std::int32_t y) {
  adaptCrossWeights(p.ownWeights.data(), p.ownHistory.data() + p.ownCursor, p.ownTaps, a);
  moveCrossWindow(p.ownHistory.data(), p.ownCursor, p.ownTaps);
  pushAlternating(p.ownHistory.data() + p.ownCursor, p.ownSpan, y);
  adaptCrossWeights(p.crossWeights.data(), p.crossHistory.data() + p.crossCursor, p.crossTaps, a);
  moveCrossWindow(p.crossHistory.data(), p.crossCursor, p.crossTaps);
}

}  // namespace

void stepLongFilter(AudioFilter& filter, std::int32_t x, std::int32_t r) { stepFilter<true>(filter, filter.order, x, r); }
void stepShortFilter(AudioFilter& filter, std::int32_t x, std::int32_t r) {
  stepFilter<false>(filter, filter.order, x, r);
}

// The filters are the codec's hot loop: where the processor has wider vectors, a copy
// built for them is chosen at load time.
#if defined(__GNUC__) && defined(__x86_64__) && !defined(__clang__) && !defined(__SANITIZE_ADDRESS__)
#define QUORVEX_WIDE_VECTORS __attribute__((target_clones("avx2", "sse4.1", "default")))
#else
#define QUORVEX_WIDE_VECTORS
#endif

void runFilter(AudioFilter& filter, std::int32_t* values, std::size_t n) { runFilterLoop<false>(filter, values, n); }
QUORVEX_WIDE_VECTORS void runFilterForward(AudioFilter& filter, std::int32_t* values, std::size_t n) {
  runFilterLoop<true>(filter, values, n);
}

bool filterBuildAvailable(FilterBuild build) {
#if defined(__x86_64__) && defined(__GNUC__)
  switch (build) {
    case FilterBuild::portable:
      return true;
    case FilterBuild::sse41:
      return __builtin_cpu_supports("sse4.1");
    case FilterBuild::avx2:
      return __builtin_cpu_supports("avx2");
  }
  return false;
#else
  return build == FilterBuild::portable;
#endif
}

FilterBuild fastestFilterBuild() {
  for (FilterBuild build : {FilterBuild::avx2, FilterBuild::sse41}) {
    if (filterBuildAvailable(build)) return build;
  }
  return FilterBuild::portable;
}

void runChannelFilters(FilterBuild build, const std::array<AudioFilter*, kFilterStages>& stages,
                       const std::array<bool, kFilterStages>& enabled, std::int32_t* values, std::size_t n) {
  // The vector builds know the orders the decoder creates; any other order runs portably.
  const bool usualOrders = stages[0]->order == kLongOrder && stages[1]->order == kShortOrder &&
                           stages[2]->order == kShortOrder;
#if defined(__x86_64__) && defined(__GNUC__)
  if (build != FilterBuild::portable && usualOrders) {
    std::array<FilterLanes, kFilterStages> lanes;
    for (std::uint32_t s = 0; s < kFilterStages; ++s) {
      AudioFilter& filter = *stages[s];
      lanes[s] = {filter.weights.data(), filter.buffer.data(), &filter.cursor, &filter.prediction, filter.shift, enabled[s]};
    }
    if (build == FilterBuild::avx2) return runChannelStagesAvx2(lanes.data(), values, n);
    return runChannelStagesSse41(lanes.data(), values, n);
  }
#else
  (void)build;
  (void)usualOrders;
#endif
  for (std::uint32_t s = kFilterStages; s-- > 0;) {
    if (enabled[s]) runFilter(*stages[s], values, n);
  }
}

std::int32_t crossPrediction(CrossPredictor& p, std::int32_t b) { return predictCross(p, b); }
void crossAdapt(CrossPredictor& p, std::int32_t a, std::int32_t y) { adaptCross(p, a, y); }

QUORVEX_WIDE_VECTORS void runCrossStage(std::array<CrossPredictor, 2>& pair, std::int32_t* ch0, std::int32_t* ch1,
                                         std::size_t n) {
  std::int32_t previous = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const std::int32_t y0 = wrapAdd(ch0[i], predictCross(pair[0], previous));
    adaptCross(pair[0], ch0[i], y0);
    ch0[i] = y0;
    const std::int32_t y1 = wrapAdd(ch1[i], predictCross(pair[1], y0));
    adaptCross(pair[1], ch1[i], y1);
    ch1[i] = y1;
    previous = ch1[i];
  }
}

void runCrossStageForward(std::array<CrossPredictor, 2>& pair, std::int32_t* ch0, std::int32_t* ch1, std::size_t n) {
  std::int32_t previous = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const std::int32_t y0 = ch0[i];
    const std::int32_t y1 = ch1[i];
    ch0[i] = wrapSub(y0, predictCross(pair[0], previous));
    adaptCross(pair[0], ch0[i], y0);
    ch1[i] = wrapSub(y1, predictCross(pair[1], y0));
    adaptCross(pair[1], ch1[i], y1);
    previous = y1;
  }
}

namespace {

template <std::uint32_t width, bool littleEndian>
inline void putSample(std::uint8_t*& out, std::int32_t value) {
  const auto v = static_cast<std::uint32_t>(value);
  for (std::uint32_t i = 0; i < width; ++i) {
    const std::uint32_t byte = littleEndian ? i : width - 1 - i;
    *out++ = static_cast<std::uint8_t>(v >> (8 * byte));
  }
}

template <std::uint32_t width, bool littleEndian>
void writeFrames(std::uint8_t* out, std::size_t n, const std::int32_t* ch0, const std::int32_t* ch1,
                 std::uint32_t channelMode) {
  std::int32_t x0 = 0;
  std::int32_t x1 = 0;
  if (channelMode == 0) {
    for (std::size_t i = 0; i < n; ++i) {
      x0 = wrapAdd(x0, ch0[i]);
      putSample<width, littleEndian>(out, x0);
    }
    return;
  }
  for (std::size_t i = 0; i < n; ++i) {
    x0 = wrapAdd(x0, ch0[i]);
    x1 = wrapAdd(x1, ch1[i]);
    if (channelMode == 1) {
      putSample<width, littleEndian>(out, x0);
      putSample<width, littleEndian>(out, x1);
    } else {
      // Channel 0 holds first - second, channel 1 their mean rounded down.
      const std::int32_t second = wrapSub(x1, x0 >> 1);
      putSample<width, littleEndian>(out, wrapAdd(second, x0));
      putSample<width, littleEndian>(out, second);
    }
  }
}

}  // namespace

void writeSamples(std::uint8_t* destination, std::size_t n, const std::int32_t* ch0, const std::int32_t* ch1,
                  const SampleLayout& layout) {
  const std::uint32_t mode = layout.channelMode;
  switch (layout.sampleWidth * 2 + (layout.littleEndian ? 1 : 0)) {
    case 2:
    case 3:
      return writeFrames<1, true>(destination, n, ch0, ch1, mode);
    case 4:
      return writeFrames<2, false>(destination, n, ch0, ch1, mode);
    case 5:
      return writeFrames<2, true>(destination, n, ch0, ch1, mode);
    case 6:
      return writeFrames<3, false>(destination, n, ch0, ch1, mode);
    default:
      return writeFrames<3, true>(destination, n, ch0, ch1, mode);
  }
}

void samplesToValues(const std::int32_t* first, const std::int32_t* second, std::size_t n, std::uint32_t channelMode,
                     std::int32_t* ch0, std::int32_t* ch1) {
  std::int32_t last0 = 0;
  std::int32_t last1 = 0;
  for (std::size_t i = 0; i < n; ++i) {
    std::int32_t x0 = first[i];
    std::int32_t x1 = channelMode == 0 ? 0 : second[i];
    if (channelMode == 2) {
      x0 = wrapSub(first[i], second[i]);
      x1 = wrapAdd(second[i], x0 >> 1);
    }
    ch0[i] = wrapSub(x0, last0);
    last0 = x0;
    if (channelMode != 0) {
      ch1[i] = wrapSub(x1, last1);
      last1 = x1;
    }
  }
}

}  // namespace quorvex::audio
