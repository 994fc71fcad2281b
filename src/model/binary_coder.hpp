// The one binary arithmetic code of the format, in both directions.
//
// A carry-less coder over a 32-bit interval [low, high], renormalised a byte at a
// time whenever low and high agree in their top byte. Each decision carries a 12-bit
// probability p (units of 1/4096) that the bit is 1; the 1 takes the lower part of
// the interval, up to and including the split point.
//
// Models are written once against the call shape
//     bit = coder.codeBit(p, bit);
// The decoder ignores the bit it is given and returns the decoded one; the encoder
// writes the given bit and returns it. Both are templates over the split form, so a
// model instantiated with the decoder compiles to plain decoding code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace quorvex {

enum class SplitForm {
  scaledRange,  // mid = low + ((high - low) >> 12) * p           (LZ, BWT, audio, stages)
  fullProduct,  // mid = low + (((high - low) * p) as 64 bits >> 12) (context mixing)
};

template <SplitForm form>
constexpr std::uint32_t splitPoint(std::uint32_t low, std::uint32_t high, std::uint32_t p) {
  if constexpr (form == SplitForm::scaledRange) {
    return low + ((high - low) >> 12) * p;
  } else {
    return low + static_cast<std::uint32_t>((std::uint64_t{high - low} * p) >> 12);
  }
}

// Probability of a raw, equiprobable bit.
inline constexpr std::uint32_t kEvenOdds = 2048;

template <SplitForm form>
class BasicBinaryDecoder {
 public:
  static constexpr bool isEncoder = false;

  BasicBinaryDecoder() = default;
  explicit BasicBinaryDecoder(std::span<const std::uint8_t> bytes) { startDecoder(bytes); }

  // low = 0, high = 0xFFFFFFFF, code = the first four bytes, most significant first;
  // missing bytes are 0.
  void startDecoder(std::span<const std::uint8_t> bytes) {
    cursor_ = bytes.data();
    end_ = bytes.data() + bytes.size();
    low_ = 0;
    high_ = 0xFFFFFFFFu;
    code_ = 0;
    for (int i = 0; i < 4; ++i) code_ = (code_ << 8) | nextByte();
  }

  // p: probability of a 1 in units of 1/4096 (0..4095).
  std::uint32_t decodeBit(std::uint32_t p) {
    const std::uint32_t mid = splitPoint<form>(low_, high_, p);
    std::uint32_t bit;
    if (code_ <= mid) {
      bit = 1;
      high_ = mid;
    } else {
      bit = 0;
      low_ = mid + 1;
    }
    while ((low_ ^ high_) < (1u << 24)) {
      low_ <<= 8;
      high_ = (high_ << 8) | 0xFFu;
      code_ = (code_ << 8) | nextByte();
    }
    return bit;
  }

  std::uint32_t codeBit(std::uint32_t p, std::uint32_t /*ignored*/) { return decodeBit(p); }

  // decodeBit without a branch on the decoded bit, for decisions near even odds: a
  // branch on them is guessed wrong about half of the time, and each wrong guess costs
  // more than waiting for the bit.
  std::uint32_t decodeBitWithoutBranch(std::uint32_t p) {
    const std::uint32_t mid = splitPoint<form>(low_, high_, p);
    std::uint32_t bit;
#if defined(__GNUC__) && defined(__x86_64__)
    // The interval update as two conditional moves. Left to itself the compiler either
    // masks (twice the instructions, on the path of the next decision) or branches,
    // which costs far more on bits near even odds; -6% instructions in LZ decoding.
    const std::uint32_t above = mid + 1u;
    asm("cmpl %[mid], %[code]\n\t"
        "cmovbel %[mid], %[high]\n\t"
        "cmoval %[above], %[low]\n\t"
        "setbe %b[bit]"
        : [high] "+r"(high_), [low] "+r"(low_), [bit] "=q"(bit)
        : [mid] "r"(mid), [above] "r"(above), [code] "r"(code_)
        : "cc");
    bit &= 1u;
#else
    bit = code_ <= mid ? 1u : 0u;
    const std::uint32_t one = 0u - bit;  // all ones for a 1
    high_ = (mid & one) | (high_ & ~one);
    low_ = (low_ & one) | ((mid + 1u) & ~one);
#endif
    while ((low_ ^ high_) < (1u << 24)) {
      low_ <<= 8;
      high_ = (high_ << 8) | 0xFFu;
      code_ = (code_ << 8) | nextByte();
    }
    return bit;
  }

  // Bytes consumed so far (for tests and for streams that care where decoding stopped).
  const std::uint8_t* cursor() const { return cursor_; }

 private:
  std::uint32_t nextByte() { return cursor_ < end_ ? *cursor_++ : 0u; }

  std::uint32_t low_ = 0;
  std::uint32_t high_ = 0xFFFFFFFFu;
  std::uint32_t code_ = 0;
  const std::uint8_t* cursor_ = nullptr;
  const std::uint8_t* end_ = nullptr;
};

// The encoding twin: appends the coded bytes to a vector the caller owns.
template <SplitForm form>
class BasicBinaryEncoder {
 public:
  static constexpr bool isEncoder = true;

  explicit BasicBinaryEncoder(std::vector<std::uint8_t>& out) : out_(&out) {}

  std::uint32_t encodeBit(std::uint32_t p, std::uint32_t bit) {
    const std::uint32_t mid = splitPoint<form>(low_, high_, p);
    if (bit) {
      high_ = mid;
    } else {
      low_ = mid + 1;
    }
    while ((low_ ^ high_) < (1u << 24)) {
      out_->push_back(static_cast<std::uint8_t>(high_ >> 24));
      low_ <<= 8;
      high_ = (high_ << 8) | 0xFFu;
    }
    return bit ? 1u : 0u;
  }

  std::uint32_t codeBit(std::uint32_t p, std::uint32_t bit) { return encodeBit(p, bit); }

  // Ends the stream with the fewest bytes that, followed by the zero bytes a decoder
  // reads past the end, name a value inside the final interval.
  void flush() {
    for (std::uint32_t bytes = 1; bytes <= 4; ++bytes) {
      const std::uint32_t mask = bytes == 4 ? 0u : 0xFFFFFFFFu >> (8 * bytes);
      const std::uint64_t value = (std::uint64_t{low_} + mask) & ~std::uint64_t{mask};
      if (value <= high_) {
        for (std::uint32_t i = 0; i < bytes; ++i) {
          out_->push_back(static_cast<std::uint8_t>(value >> (24 - 8 * i)));
        }
        return;
      }
    }
  }

 private:
  std::vector<std::uint8_t>* out_;
  std::uint32_t low_ = 0;
  std::uint32_t high_ = 0xFFFFFFFFu;
};

using BinaryDecoder = BasicBinaryDecoder<SplitForm::scaledRange>;
using BinaryEncoder = BasicBinaryEncoder<SplitForm::scaledRange>;
using FullProductDecoder = BasicBinaryDecoder<SplitForm::fullProduct>;
using FullProductEncoder = BasicBinaryEncoder<SplitForm::fullProduct>;

}  // namespace quorvex
