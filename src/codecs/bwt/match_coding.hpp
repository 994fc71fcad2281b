// What the two match stages of BWT blocks share: the match-length code and the search
// for their two-byte escape markers.
//
// Both stages replace repeated strings by an escape in the block (0xFE, then a second
// byte naming the stage) and code each match's length in an arithmetic-coded side
// stream. A length is coded as v = length - bias: a class i (0..31, unary with one
// counter per step), one or two bits down a small tree of counters, then i - 2 direct
// bits. Counters 0..31 of the class array serve matches with a new distance, 32..63
// those with a repeated distance (and every history match).
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "model/number_codes.hpp"

namespace quorvex::bwt {

inline constexpr std::uint8_t kEscapeLead = 0xFE;
inline constexpr std::uint32_t kMatchAdaptShift = 4;  // shift 4, rounding 8
inline constexpr std::uint32_t kMaxMatchClass = 31;
// What codeMatchLength returns for a class beyond 31: longer than any buffer.
inline constexpr std::uint64_t kInvalidLength = ~std::uint64_t{0};

struct MatchLengthModel {
  static constexpr std::uint32_t kRepeatedBase = 32;
  std::array<std::uint16_t, 64> classes;
  std::array<std::array<std::uint16_t, 8>, 32> tree;
  MatchLengthModel() {
    classes.fill(kHalfProbability);
    for (auto& row : tree) row.fill(kHalfProbability);
  }
};

// v = length - bias. repeated selects class counters 32..63 and starts the tree at
// node 3 instead of node 1. The decoder gets kInvalidLength for a class above 31.
template <class Coder>
inline std::uint64_t codeMatchLength(Coder& coder, MatchLengthModel& model, bool repeated, std::uint32_t value) {
  const std::uint32_t base = repeated ? MatchLengthModel::kRepeatedBase : 0u;
  const std::uint32_t valueClass = lengthClass(value);
  std::uint32_t i = 0;
  for (;; ++i) {
    if (i > kMaxMatchClass) return kInvalidLength;
    const std::uint32_t more = i < valueClass ? 1u : 0u;
    if (!codeAdaptiveBit(coder, model.classes[base + i], kMatchAdaptShift, more)) break;
  }
  const std::uint32_t treeBits = i < 2 ? 1u : 2u;
  const std::uint32_t direct = i < 2 ? 0u : i - 2;
  std::uint32_t node = repeated ? 3u : 1u;
  std::uint64_t v = i > 0 ? 1u : 0u;
  for (std::uint32_t level = treeBits; level-- > 0;) {
    const std::uint32_t bit =
        codeAdaptiveBit(coder, model.tree[i][node], kMatchAdaptShift, (value >> (direct + level)) & 1u);
    v = 2 * v + bit;
    node = 2 * node + bit;
  }
  if (direct == 0) return v;
  return (v << direct) + codeDirectBits(coder, direct, value);
}

// The first escape at or after from: a 0xFE at p with second byte at p + 1 and a third
// byte at p + 2 for which isEscape(third) holds. Returns n when there is none.
template <class ThirdByteTest>
inline std::uint32_t findEscape(const std::uint8_t* input, std::uint32_t from, std::uint32_t n, std::uint8_t second,
                                ThirdByteTest isEscape) {
  while (n >= 3 && from < n - 2) {
    const void* lead = std::memchr(input + from, kEscapeLead, n - 2 - from);
    if (!lead) return n;
    const std::uint32_t p = static_cast<std::uint32_t>(static_cast<const std::uint8_t*>(lead) - input);
    if (input[p + 1] == second && isEscape(input[p + 2])) return p;
    from = p + 1;
  }
  return n;
}

// Where the reader of an escaped block stands after a run of literals.
enum class LiteralRun : std::uint8_t { ended, atEscape, overflow };

// Copies the literals at in, up to and including the next marker pair that an escape
// byte follows (or to the end), to output at out, and moves both on. At atEscape, in is
// at the escape byte and the pair was copied: a literal pair keeps it as data, a real
// escape takes it back. overflow: the literals do not fit, or output is full with input
// left.
template <class ThirdByteTest>
inline LiteralRun copyLiteralRun(const std::uint8_t* input, std::uint32_t& in, std::uint32_t n, std::uint8_t second,
                                 ThirdByteTest isEscape, std::uint8_t* output, std::uint32_t& out,
                                 std::uint32_t capacity) {
  const std::uint32_t pair = findEscape(input, in, n, second, isEscape);
  const std::uint32_t literalEnd = pair == n ? n : pair + 2;
  const std::uint32_t literals = literalEnd - in;
  if (literals > capacity - out) return LiteralRun::overflow;
  std::memcpy(output + out, input + in, literals);
  out += literals;
  in = literalEnd;
  if (in == n) return LiteralRun::ended;
  return out == capacity ? LiteralRun::overflow : LiteralRun::atEscape;
}

// Copies length bytes from distance bytes back in the same buffer, in increasing order,
// so that a copy overlapping its source repeats it. distance >= 1.
inline void copyWithinOutput(std::uint8_t* destination, std::uint32_t distance, std::uint64_t length) {
  const std::uint8_t* source = destination - distance;
  if (distance >= length) {
    std::memcpy(destination, source, length);
    return;
  }
  std::uint64_t k = 0;
  if (distance >= 16) {
    for (; k + 16 <= length; k += 16) std::memcpy(destination + k, source + k, 16);
  }
  for (; k < length; ++k) destination[k] = source[k];
}

// Writes an escaped block, keeping the decoder's view: once two literal bytes since the
// last escape form the marker pair, the escape literalByte goes between them and
// whatever follows, so that the decoder keeps the pair as data and starts afresh. A
// pair that ends the block needs no escape byte.
class EscapedWriter {
 public:
  EscapedWriter(std::vector<std::uint8_t>& out, std::uint8_t second, std::uint8_t literalByte)
      : out_(&out), second_(second), literal_(literalByte) {}

  void literal(std::uint8_t byte) {
    flushPair();
    out_->push_back(byte);
    pairPending_ = afterLead_ && byte == second_;
    afterLead_ = !pairPending_ && byte == kEscapeLead;
  }

  // An escape the decoder acts on: the pair, then the given bytes.
  template <class... Bytes>
  void escape(Bytes... bytes) {
    flushPair();
    out_->push_back(kEscapeLead);
    out_->push_back(second_);
    (out_->push_back(static_cast<std::uint8_t>(bytes)), ...);
    afterLead_ = false;
  }

 private:
  void flushPair() {
    if (pairPending_) out_->push_back(literal_);
    pairPending_ = false;
  }

  std::vector<std::uint8_t>* out_;
  std::uint8_t second_;
  std::uint8_t literal_;
  bool afterLead_ = false;    // the last byte is a literal 0xFE that may start a pair
  bool pairPending_ = false;  // the last two bytes are a literal pair not yet escaped
};

}  // namespace quorvex::bwt
