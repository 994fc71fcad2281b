// The strided delta stage, both directions.
//
// Regions of a block that resemble the bytes a fixed distance (the stride) earlier,
// such as columns of fixed-size records or interleaved samples, hold each byte's
// difference from the byte one stride back. The first 255 bytes are never changed.
// The region list is a plain bit stream (WordBitReader): per region its stride (0 ends
// the list), the low byte and high part of count, the low byte and high part of gap;
// a region starts gap bytes after the running base and covers count + 8 bytes, after
// which the base moves to its start + count.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "model/number_codes.hpp"

namespace quorvex::stages {

// Blocks this short pass the stage unchanged; the dispatcher does not run it on them.
inline constexpr std::uint32_t kDeltaMinBlock = 264;
// Bytes at the start of a block that no region may cover.
inline constexpr std::uint32_t kDeltaHead = 255;
// What a region covers beyond its count.
inline constexpr std::uint32_t kDeltaRegionExtra = 8;
inline constexpr std::uint64_t kInvalidNumber = ~std::uint64_t{0};

// The numbers of the region list, both directions over a bit coder with
// codeBits(k, value). A class is counted in 1-bits up to a 0-bit (at most 31 of them);
// class 0 is then one bit, class b >= 1 the b bits below a leading 1. The decoder gets
// kInvalidNumber for a prefix of more than 31 1-bits.
template <class BitCoder>
std::uint64_t codeGammaClass(BitCoder& bits, std::uint32_t value) {
  const std::uint32_t valueClass = lengthClass(value);
  std::uint32_t b = 0;
  for (;; ++b) {
    if (b > 31) return kInvalidNumber;
    if (!bits.codeBits(1, b < valueClass ? 1u : 0u)) break;
  }
  if (b == 0) return bits.codeBits(1, value);
  return (std::uint64_t{1} << b) + bits.codeBits(b, value);
}

// A number whose class is itself coded with codeGammaClass; classes above 31 (numbers
// of 2^32 and more) give kInvalidNumber.
template <class BitCoder>
std::uint64_t codeDeltaNumber(BitCoder& bits, std::uint32_t value) {
  const std::uint64_t d = codeGammaClass(bits, lengthClass(value));
  if (d > 31) return kInvalidNumber;
  if (d == 0) return bits.codeBits(1, value);
  return (std::uint64_t{1} << d) + bits.codeBits(static_cast<std::uint32_t>(d), value);
}

struct DeltaRegion {
  std::uint64_t stride = 0;  // 0: the end of the list
  std::uint64_t count = 0;   // the region covers count + 8 bytes
  std::uint64_t gap = 0;     // from the running base to the region's start
};

// One record of the list; false when a number is outside the format.
template <class BitCoder>
bool codeDeltaRegion(BitCoder& bits, DeltaRegion& region) {
  const auto lowAndHigh = [&bits](std::uint64_t& field) {
    const std::uint32_t low = bits.codeBits(8, static_cast<std::uint32_t>(field & 0xFFu));
    const std::uint64_t high = codeDeltaNumber(bits, static_cast<std::uint32_t>(field >> 8));
    field = high * 256 + low;
    return high != kInvalidNumber;
  };
  region.stride = codeDeltaNumber(bits, static_cast<std::uint32_t>(region.stride));
  if (region.stride == kInvalidNumber) return false;
  if (region.stride == 0) return true;
  return lowAndHigh(region.count) && lowAndHigh(region.gap);
}

// Writes n bytes to output, undoing the regions that reader lists. False for a list
// that is outside the format or whose regions overlap, leave the block or have a
// stride larger than their start. Input and output must not overlap.
bool decodeDeltaRegions(WordBitReader& reader, const std::uint8_t* input, std::uint32_t n,
                        std::uint8_t* output);

// The forward twin. A region found in block: [start, end) delta-coded with stride.
struct StrideRun {
  std::uint32_t start = 0;
  std::uint32_t end = 0;
  std::uint32_t stride = 0;
};
// How many of the n bytes at a and b are equal: the count behind the autocorrelation
// that findDeltaRegions weighs strides by.
std::uint32_t countEqualBytes(const std::uint8_t* a, const std::uint8_t* b, std::size_t n);

// Regions worth coding: chunks of the block where the differences at one of a few
// candidate strides (record sizes 2, 3, 4, 8, 12, 16, and the block's strongest
// autocorrelation peaks) have clearly lower order-0 entropy than the bytes themselves.
std::vector<StrideRun> findDeltaRegions(std::span<const std::uint8_t> block);

struct DeltaCoded {
  std::vector<std::uint8_t> bytes;
  std::vector<std::uint8_t> side;
};
// Applies runs (in order, not overlapping, each at least 8 bytes, none before byte 255,
// stride not above its start) and writes their list.
DeltaCoded encodeDeltaRegions(std::span<const std::uint8_t> block, std::span<const StrideRun> runs);

}  // namespace quorvex::stages
