// Codec-parameter records: the active codec and the sizes of the context-mixing model.
#pragma once

#include <cstdint>

#include "format/record_stream.hpp"
#include "quorvex/format.hpp"

namespace quorvex {

// Every field is 0 until the first codec-parameter record; each record replaces all five.
struct CodecParams {
  std::uint32_t codecId = 0;
  std::uint32_t historySize = 0;  // bytes, from a size code
  std::uint32_t secondSize = 0;   // bytes, from a size code; kept, unused
  std::uint32_t tableBitsA = 0;   // high nibble of the fourth byte + 20
  std::uint32_t tableBitsB = 0;   // low nibble of the fourth byte + 18

  bool contextMixing() const { return codecId == kCmCodecId; }
};

// A byte count in a small floating-point code: a four-bit mantissa with an implicit
// leading one above the first sixteen codes, in units of 65536, wrapping at 2^32.
constexpr std::uint32_t decodeSizeCode(std::uint32_t code) {
  const std::uint32_t y = code + 1;
  const std::uint32_t mantissa = y & 15u;
  const std::uint32_t exponent = y >> 4;
  const std::uint64_t units = exponent == 0 ? mantissa : std::uint64_t{mantissa + 16} << (exponent - 1);
  return static_cast<std::uint32_t>(units * 65536u);
}

// Reads min(count, 4) parameter bytes; fields whose byte is absent stay 0.
CodecParams readCodecParams(RecordStream& stream, std::uint32_t count);

}  // namespace quorvex
