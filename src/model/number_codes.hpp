// Number codes on top of the binary arithmetic coder, and the plain word bit reader.
//
// Every code is written once, as a template over the coder, in the form
//     value = codeSomething(coder, ..., value);
// A decoder ignores the value it is given and returns the decoded one; an encoder
// writes the value and returns it. decodeSomething(coder, ...) is the decoding call.
// The BWT payload, the word-run and delta stages and the audio codec all use these.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "model/binary_coder.hpp"
#include "model/counters.hpp"

namespace quorvex {

// The start value of every 16-bit probability of this codec family: one half.
inline constexpr std::uint16_t kHalfProbability = 0x8000;

// An adaptive decision with a 16-bit probability of a 1: the coder sees its top 12 bits,
// then the counter moves toward the bit with target 65536 and rounding 2^(shift-1).
template <class Coder>
inline std::uint32_t codeAdaptiveBit(Coder& coder, std::uint16_t& counter, std::uint32_t shift, std::uint32_t bit) {
  bit = coder.codeBit(counter >> 4, bit);
  adaptProbability16(counter, bit, shift);
  return bit;
}

// n equiprobable bits (0 <= n <= 31), the first one most significant.
template <class Coder>
inline std::uint32_t codeDirectBits(Coder& coder, std::uint32_t n, std::uint32_t value) {
  std::uint32_t result = 0;
  for (std::uint32_t i = n; i-- > 0;) {
    result = (result << 1) | coder.codeBit(kEvenOdds, (value >> i) & 1u);
  }
  return result;
}

template <class Coder>
inline std::uint32_t decodeDirectBits(Coder& coder, std::uint32_t n) {
  return codeDirectBits(coder, n, 0);
}

// The length class of a number: class 0 holds 0 and 1, class k >= 1 holds 2^k .. 2^(k+1)-1.
constexpr std::uint32_t lengthClass(std::uint32_t value) {
  return value < 2 ? 0u : static_cast<std::uint32_t>(std::bit_width(value)) - 1u;
}

// The highest class a class number may have (numbers below 2^31).
inline constexpr std::uint32_t kMaxLengthClass = 30;

// Counters for the top bits of class numbers. A number of class k has its
// min(k, 4) bits below the leading 1 (for class 0: its one bit) walked down a binary
// tree whose level of depth d sits at index 2^d + node; bits below those are direct.
// Classes 4 and up share the depth-4 level, indices 17..31; 0, 1, 4, 8, 16 are unused.
struct ClassTree {
  static constexpr std::uint32_t kShift = 8;  // adaptation: shift 8, rounding 128
  std::array<std::uint16_t, 32> counters;
  ClassTree() { counters.fill(kHalfProbability); }
};

// A number of length class k (0..30); value must lie in that class when encoding.
template <class Coder>
inline std::uint32_t codeClassNumber(Coder& coder, ClassTree& tree, std::uint32_t k, std::uint32_t value) {
  const std::uint32_t modelled = k < 4 ? k : 4;
  const std::uint32_t depth = k == 0 ? 1 : modelled;
  const std::uint32_t direct = k > 4 ? k - 4 : 0;
  const std::uint32_t base = 1u << modelled;
  std::uint32_t node = 1;
  std::uint32_t v = k > 0 ? 1u : 0u;
  for (std::uint32_t level = depth; level-- > 0;) {
    const std::uint32_t bit = codeAdaptiveBit(coder, tree.counters[base + node], ClassTree::kShift,
                                              (value >> (direct + level)) & 1u);
    node = 2 * node + bit;
    v = 2 * v + bit;
  }
  if (direct == 0) return v;
  return (v << direct) + codeDirectBits(coder, direct, value);
}

template <class Coder>
inline std::uint32_t decodeClassNumber(Coder& coder, ClassTree& tree, std::uint32_t k) {
  return codeClassNumber(coder, tree, k, 0);
}

// A number below n (1 <= n <= 257) by approximate binary splitting: while n is not a
// power of two, one bit with probability r / 2^(m+1) says whether the value lies in the
// top r = n - 2^m values; the lower 2^m values are then direct bits.
template <class Coder>
inline std::uint32_t codeBelow(Coder& coder, std::uint32_t n, std::uint32_t value) {
  std::uint32_t sum = 0;
  if (n <= 1) return 0;
  for (;;) {
    if (n == 2) return sum + codeDirectBits(coder, 1, value - sum);
    const std::uint32_t m = static_cast<std::uint32_t>(std::bit_width(n - 1)) - 1u;
    const std::uint32_t lower = 1u << m;
    const std::uint32_t r = n - lower;
    if (r == lower) return sum + codeDirectBits(coder, m + 1, value - sum);
    const std::uint32_t upper = coder.codeBit(r << (11 - m), value - sum >= lower ? 1u : 0u);
    if (upper == 0) return sum + codeDirectBits(coder, m, value - sum);
    sum += lower;
    n = r;
    if (n == 1) return sum;
  }
}

template <class Coder>
inline std::uint32_t decodeBelow(Coder& coder, std::uint32_t n) {
  return codeBelow(coder, n, 0);
}

// Reads a byte string as consecutive 32-bit big-endian words, k bits at a time, most
// significant first. Bytes past the end read as 0, so an exhausted stream yields zeros.
class WordBitReader {
 public:
  static constexpr bool isEncoder = false;

  WordBitReader() = default;
  explicit WordBitReader(std::span<const std::uint8_t> bytes) : data_(bytes.data()), size_(bytes.size()) {}

  // The next k unread bits (1 <= k <= 31).
  std::uint32_t readBits(std::uint32_t k) {
    if (k <= available_) {
      available_ -= k;
      return (word_ >> available_) & ((1u << k) - 1u);
    }
    const std::uint32_t fromOld = word_ & ((1u << available_) - 1u);  // available_ < k <= 31
    const std::uint32_t fromNew = k - available_;                     // 1..31
    word_ = nextWord();
    available_ = 32 - fromNew;
    return (fromOld << fromNew) | (word_ >> available_);
  }

  // The shape shared with WordBitWriter: the value is ignored.
  std::uint32_t codeBits(std::uint32_t k, std::uint32_t /*value*/) { return readBits(k); }

  // The bits read so far, rounded up to whole bytes; bits read past the end count too,
  // so a caller can tell that a stream ran short.
  std::size_t bytesConsumed() const { return (32 * wordsFetched_ - available_ + 7) / 8; }

 private:
  std::uint32_t nextWord() {
    ++wordsFetched_;
    if (position_ >= size_) return 0;
    std::uint32_t word = 0;
    for (std::size_t i = 0; i < 4; ++i) {
      const std::size_t at = position_ + i;
      word = (word << 8) | (at < size_ ? data_[at] : 0u);
    }
    position_ += 4;
    return word;
  }

  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t position_ = 0;
  std::size_t wordsFetched_ = 0;
  std::uint32_t word_ = 0;
  std::uint32_t available_ = 0;
};

// The writing twin of WordBitReader: packs bits most significant first into big-endian
// words. finish() drops trailing zero bytes, which the reader supplies by itself.
class WordBitWriter {
 public:
  static constexpr bool isEncoder = true;

  explicit WordBitWriter(std::vector<std::uint8_t>& out) : out_(&out), start_(out.size()) {}

  void writeBits(std::uint32_t k, std::uint32_t value) {
    pending_ = (pending_ << k) | (value & ((1ull << k) - 1u));
    count_ += k;
    while (count_ >= 8) {
      count_ -= 8;
      out_->push_back(static_cast<std::uint8_t>(pending_ >> count_));
    }
  }

  std::uint32_t codeBits(std::uint32_t k, std::uint32_t value) {
    writeBits(k, value);
    return value & ((1u << k) - 1u);
  }

  void finish() {
    if (count_ > 0) writeBits(8 - count_, 0);
    while (out_->size() > start_ && out_->back() == 0) out_->pop_back();
  }

 private:
  std::vector<std::uint8_t>* out_;
  std::size_t start_;
  std::uint64_t pending_ = 0;
  std::uint32_t count_ = 0;
};

}  // namespace quorvex
