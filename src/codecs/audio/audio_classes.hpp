// The residual code of the audio codec: each residual's class (0..63) in an
// arithmetic-coded stream per channel, and its remaining low bits and sign in a
// plain bit stream. Written once over the coder, for both directions.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <vector>

#include "codecs/audio/audio_model.hpp"
#include "model/number_codes.hpp"
#include "model/counters.hpp"

namespace quorvex::audio {

// Zero classes in a row after which every further zero is followed by a run length.
inline constexpr std::uint32_t kZerosBeforeRun = 7;

// One class: six decisions down the node tree, the path spelling 63 - class. Each
// node's state picks a pair of neighbouring buckets of its map; their mean is the
// probability, and state and both buckets learn from the bit.
template <class Coder>
inline std::uint32_t codeClass(Coder& coder, ClassModel& model, std::uint32_t cls) {
  const std::uint32_t path = 63u - cls;
  std::uint32_t node = 1;
  for (std::uint32_t level = 6; level-- > 0;) {
    std::uint16_t& state = model.nodeState(node);
    std::uint16_t* buckets = model.nodeMap(node) + (state >> 13);
    const std::uint32_t p = (std::uint32_t{buckets[0]} + buckets[1] + 1u) >> 5;
    const std::uint32_t bit = coder.codeBit(p, (path >> level) & 1u);
    // The counter rule with target 65536, rounding 4, shift 3 for the state and target
    // 65662, rounding 0, shift 7 for the buckets, in 32-bit arithmetic (the
    // differences stay within +-65662); >> on a negative difference rounds down.
    const std::int32_t stateTarget = bit ? 65536 : 0;
    const std::int32_t bucketTarget = bit ? 65662 : 0;
    state = static_cast<std::uint16_t>(state + ((stateTarget - state + 4) >> 3));
    buckets[0] = static_cast<std::uint16_t>(buckets[0] + ((bucketTarget - buckets[0]) >> 7));
    buckets[1] = static_cast<std::uint16_t>(buckets[1] + ((bucketTarget - buckets[1]) >> 7));
    node = 2 * node + bit;
  }
  return 127u - node;
}

// A zero-run length: j adaptive unary steps (at most maxSteps), then max(j, 1) direct
// bits; j = 0 gives 0 or 1, j >= 1 gives 2^j .. 2^(j+1) - 1. Encoding needs
// run < 2^(maxSteps + 1).
template <class Coder>
inline std::uint32_t codeZeroRun(Coder& coder, ClassModel& model, std::uint32_t maxSteps, std::uint32_t run) {
  const std::uint32_t steps = run < 2 ? 0u : static_cast<std::uint32_t>(std::bit_width(run)) - 1u;
  std::uint32_t j = 0;
  while (j < maxSteps) {
    if (!codeAdaptiveBit(coder, model.runCell(j), 5, j < steps ? 1u : 0u)) break;
    ++j;
  }
  const std::uint32_t base = j > 0 ? 1u << j : 0u;
  return base + codeDirectBits(coder, j > 0 ? j : 1u, run - base);
}

// The classes of one channel's n residuals (n >= 1). After the seventh zero in a row,
// each zero is followed by a run length of further zeros.
template <class Coder>
void codeClasses(Coder& sharedCoder, ClassModel& model, std::uint8_t* classes, std::uint32_t n) {
  // A local copy of the coder stays in registers: the model's stores cannot alias it.
  Coder coder = sharedCoder;
  const std::uint32_t maxSteps = static_cast<std::uint32_t>(std::bit_width(n)) - 1u;
  std::uint32_t zeros = 0;
  std::uint32_t i = 0;
  while (i < n) {
    const std::uint32_t cls = codeClass(coder, model, Coder::isEncoder ? classes[i] : 0u);
    classes[i++] = static_cast<std::uint8_t>(cls);
    if (cls != 0) {
      zeros = 0;
      continue;
    }
    if (++zeros < kZerosBeforeRun || i == n) continue;
    std::uint32_t run = 0;
    if constexpr (Coder::isEncoder) {
      const std::uint32_t longest = (2u << maxSteps) - 1u;
      while (run < longest && i + run < n && classes[i + run] == 0) ++run;
    }
    run = codeZeroRun(coder, model, maxSteps, run);
    const std::uint32_t fill = run < n - i ? run : n - i;
    if constexpr (!Coder::isEncoder) std::memset(classes + i, 0, fill);
    i += fill;
  }
  sharedCoder = coder;
}

// Where each class's magnitudes start and how many extra bits pick one: classes 1..8
// are exact, 9..40 split each power of two in four, 41..44 are 1024 wide (10 bits),
// 45..63 one power of two each, up to 2^31.
struct ClassRange {
  std::uint32_t first;
  std::uint32_t extraBits;
};

constexpr std::array<ClassRange, kClassCount> makeClassRanges() {
  std::array<ClassRange, kClassCount> ranges{};
  for (std::uint32_t c = 1; c <= 8; ++c) ranges[c] = {c, 0};
  for (std::uint32_t c = 9; c <= 40; ++c) {
    const std::uint32_t g = 3 + (c - 9) / 4;
    ranges[c] = {(1u << g) + ((c - 9) % 4) * (1u << (g - 2)) + 1u, g - 2};
  }
  for (std::uint32_t c = 41; c <= 44; ++c) ranges[c] = {2048u + (c - 41) * 1024u + 1u, 10};
  for (std::uint32_t c = 45; c < kClassCount; ++c) ranges[c] = {(1u << (c - 33)) + 1u, c - 33};
  return ranges;
}
inline constexpr std::array<ClassRange, kClassCount> kClassRanges = makeClassRanges();

// The class an encoder gives a magnitude (1..2^31): the one with the fewest extra bits.
constexpr std::uint32_t classOfMagnitude(std::uint32_t m) {
  if (m <= 8) return m;
  const std::uint32_t below = m - 1;
  const auto top = static_cast<std::uint32_t>(std::bit_width(below)) - 1u;
  if (m <= 2048) return 9 + 4 * (top - 3) + ((below >> (top - 2)) & 3u);
  if (m <= 6144) return 41 + (m - 2049) / 1024;
  return 33 + top;
}

constexpr std::uint32_t magnitudeOf(std::int32_t residual) {
  const auto v = static_cast<std::uint32_t>(residual);
  return residual < 0 ? 0u - v : v;
}

// The bits of n residuals after their classes: per non-zero class its extra bits,
// then the sign (1: negative), read together as one field.
template <class BitCoder>
void codeResiduals(BitCoder& bits, const std::uint8_t* classes, std::int32_t* residuals, std::uint32_t n) {
  for (std::uint32_t i = 0; i < n; ++i) {
    const std::uint32_t cls = classes[i];
    if (cls == 0) {
      residuals[i] = 0;
      continue;
    }
    const ClassRange range = kClassRanges[cls];
    std::uint32_t field = 0;
    if constexpr (BitCoder::isEncoder) {
      field = ((magnitudeOf(residuals[i]) - range.first) << 1) | (residuals[i] < 0 ? 1u : 0u);
    }
    field = bits.codeBits(range.extraBits + 1, field);
    const std::uint32_t magnitude = range.first + (field >> 1);
    residuals[i] = static_cast<std::int32_t>((field & 1u) ? 0u - magnitude : magnitude);
  }
}

// Packs bits most significant first and keeps every byte it starts: a reader that
// stops after the last bit written has consumed exactly these bytes.
class PieceBitWriter {
 public:
  static constexpr bool isEncoder = true;
  explicit PieceBitWriter(std::vector<std::uint8_t>& out) : out_(&out) {}

  std::uint32_t codeBits(std::uint32_t k, std::uint32_t value) {
    const std::uint32_t masked = k >= 32 ? value : value & ((1u << k) - 1u);
    pending_ = (pending_ << k) | masked;
    count_ += k;
    while (count_ >= 8) {
      count_ -= 8;
      out_->push_back(static_cast<std::uint8_t>(pending_ >> count_));
    }
    return masked;
  }

  void finish() {
    if (count_ > 0) codeBits(8 - count_, 0);
  }

 private:
  std::vector<std::uint8_t>* out_;
  std::uint64_t pending_ = 0;
  std::uint32_t count_ = 0;
};

}  // namespace quorvex::audio
