#include "stages/branch_targets.hpp"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstring>
#include <memory>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "model/binary_coder.hpp"
#include "model/block_copy.hpp"

namespace quorvex::stages {
namespace {

constexpr std::uint8_t kCallOpcode = 0xE8;
constexpr std::uint8_t kJumpOpcode = 0xE9;
constexpr std::uint8_t kTwoByteEscape = 0x0F;
constexpr std::uint8_t kAdjustOpcode = 0x83;  // 0x83 0xC4 imm8: ADD ESP, imm8
constexpr std::uint8_t kAdjustModrm = 0xC4;
constexpr std::uint32_t kOperandSize = 4;

// 0x0F 0x80..0x8F is a conditional near jump; 0x8A and 0x8B (parity) are never converted.
constexpr bool isConvertibleCondition(std::uint8_t d) { return (d & 0xF0u) == 0x80u && d != 0x8A && d != 0x8B; }

constexpr bool isBranchOpcode(std::uint8_t c) { return c == kCallOpcode || c == kJumpOpcode || c == kTwoByteEscape; }

// Copies the code bytes from `in` that open no branch, sixteen at a time while the
// input and the room `room` hold a whole block, and returns how many. Stores may run
// past the first opcode byte (within the room); its token writes those bytes again.
// The rest is left to the caller's byte loop.
std::uint32_t copyPlainCode(const std::uint8_t* in, const std::uint8_t* end, std::uint8_t* out, std::uint32_t room) {
#if defined(__SSE2__)
  const auto left = static_cast<std::uint32_t>(std::min<std::ptrdiff_t>(end - in, room));
  return copyBlocksUntilMarked(in, out, left, [](__m128i bytes) {
    return _mm_or_si128(_mm_or_si128(bytesEqualTo(bytes, kCallOpcode), bytesEqualTo(bytes, kJumpOpcode)),
                        bytesEqualTo(bytes, kTwoByteEscape));
  });
#else
  (void)in, (void)end, (void)out, (void)room;
  return 0;
#endif
}

std::uint32_t readLe32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[3]} << 24);
}

std::uint32_t readBe32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | std::uint32_t{p[3]};
}

void writeLe32(std::uint8_t* p, std::uint32_t value) {
  for (std::uint32_t i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

void putBe32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  for (std::uint32_t shift = 32; shift > 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(value >> (shift - 8)));
}

// Reads one number backwards, ending at end, and moves end to its first byte. A number
// without a byte of bit 7 runs to the start of the side data and counts one group more
// than it has bytes (an empty one is 0). Wraps modulo 2^32.
std::uint32_t takeTrailingNumber(std::span<const std::uint8_t> side, std::size_t& end) {
  std::uint32_t value = 0;
  while (end > 0) {
    const std::uint8_t byte = side[--end];
    value = (value << 7) | (byte & 0x7Fu);
    if (byte & 0x80u) return value;
  }
  return value << 7;
}

void putTrailingNumber(std::vector<std::uint8_t>& out, std::uint32_t value) {
  out.push_back(static_cast<std::uint8_t>(0x80u | (value & 0x7Fu)));
  for (value >>= 7; value != 0; value >>= 7) out.push_back(static_cast<std::uint8_t>(value & 0x7Fu));
}

// Whether a relative operand at offset `at` of a block of `size` bytes looks like a real
// branch: its target lies in the block or in a block-length on either side (a block cut
// from a larger program calls into its neighbours). Random bytes after an opcode byte
// rarely pass, so data and text are left alone.
bool isPlausibleTarget(std::uint32_t relative, std::size_t at, std::size_t size) {
  const std::uint32_t target = relative + static_cast<std::uint32_t>(at);
  const std::uint32_t length = static_cast<std::uint32_t>(size);  // blocks stay far below 2^30
  return static_cast<std::uint64_t>(target + length) < 3 * static_cast<std::uint64_t>(length);
}

}  // namespace

BranchTargetStage::BranchTargetStage() { reset(); }

void BranchTargetStage::reset() {
  base_ = 0;
  for (std::uint32_t i = 0; i < callCache_.size(); ++i) callCache_[i] = i;
  for (std::uint32_t i = 0; i < kRecentJumps; ++i) jumpRing_[i] = i;
  jumpHead_ = 0;
  models_.reset();
}

BranchTargetStage* threadBranchTargetStage() {
  thread_local std::unique_ptr<BranchTargetStage> stage;
  if (stage) {
    stage->reset();
  } else {
    stage = std::make_unique<BranchTargetStage>();
  }
  return stage.get();
}

std::uint32_t BranchTargetStage::useCachedCall(std::uint32_t index) {
  const std::uint32_t target = callCache_[index];
  for (std::uint32_t i = index; i > 0; --i) callCache_[i] = callCache_[i - 1];
  callCache_[0] = target;
  return target;
}

void BranchTargetStage::pushCall(std::uint32_t target) {
  callCache_[2] = callCache_[1];
  callCache_[1] = callCache_[0];
  callCache_[0] = target;
}

std::uint32_t BranchTargetStage::useRecentJump(std::uint32_t index) {
  const std::uint32_t target = recentJump(index);
  if (index < kRecentJumps / 2) {
    // The entries before it move back by one.
    for (std::uint32_t i = index; i > 0; --i) jumpRing_[(jumpHead_ + i) & kRingMask] = recentJump(i - 1);
    jumpRing_[jumpHead_] = target;
  } else {
    // The entries after it move forward by one and the front moves back onto the slot
    // of the last entry, which the target takes.
    for (std::uint32_t i = index; i + 1 < kRecentJumps; ++i) jumpRing_[(jumpHead_ + i) & kRingMask] = recentJump(i + 1);
    pushJump(target);
  }
  return target;
}

void BranchTargetStage::pushJump(std::uint32_t target) {
  jumpHead_ = (jumpHead_ - 1) & kRingMask;
  jumpRing_[jumpHead_] = target;
}

std::uint32_t BranchTargetStage::findRecentJump(std::uint32_t target) const {
  std::uint32_t index = 0;
  while (index < kRecentJumps && recentJump(index) != target) ++index;
  return index;
}

bool BranchTargetStage::restoreCallTarget(BinaryDecoder& coder, std::uint32_t symbol, std::uint32_t context,
                                          const std::uint8_t*& callTargets, const std::uint8_t* inputEnd,
                                          std::uint32_t& target) {
  if (symbol == kOperandRecent) {
    target = useCachedCall(codeSymbol(coder, models_.callIndex, context, 0));
    return true;
  }
  if (inputEnd - callTargets < 4) return false;
  target = readBe32(callTargets);
  callTargets += 4;
  pushCall(target);
  return true;
}

bool BranchTargetStage::restoreJumpTarget(BinaryDecoder& coder, std::uint32_t symbol, std::uint32_t selector,
                                          std::uint32_t operandAt, std::uint32_t& target) {
  if (symbol == kOperandRecent) {
    target = useRecentJump(codeJumpIndex(coder, models_.jumpIndex, 0));
    return true;
  }
  std::uint32_t displacement = 0;
  if (!codeDisplacement(coder, models_.displacement, selector, displacement)) return false;
  target = displacement + operandAt + base_;
  pushJump(target);
  return true;
}

std::uint32_t BranchTargetStage::restore(std::span<const std::uint8_t> branchTargetData, const std::uint8_t* current,
                                         std::uint32_t n, std::uint8_t* other, std::uint32_t capacity) {
  std::size_t codedEnd = branchTargetData.size();
  const std::uint32_t newCalls = takeTrailingNumber(branchTargetData, codedEnd);     // A
  const std::uint32_t cachedCalls = takeTrailingNumber(branchTargetData, codedEnd);  // B
  const std::uint64_t streamBytes = 5 * std::uint64_t{newCalls} + cachedCalls;
  if (n <= streamBytes) return 0;

  BinaryDecoder coder(branchTargetData.first(codedEnd));
  const std::uint8_t* in = current;
  const std::uint8_t* const codeEnd = current + (n - streamBytes);
  const std::uint8_t* const inputEnd = current + n;
  const std::uint8_t* adjust = codeEnd;
  const std::uint8_t* callTargets = current + (n - 4 * std::uint64_t{newCalls});
  std::uint8_t* const out = other;
  std::uint32_t o = 0;
  std::uint32_t prev = 0;

  while (in < codeEnd && o < capacity) {
    const std::uint32_t plain = copyPlainCode(in, codeEnd, out + o, capacity - o);
    if (plain != 0) {
      in += plain;
      o += plain;
      prev = out[o - 1];
      if (in == codeEnd || o == capacity) break;
    }
    const std::uint8_t c = *in++;
    if (!isBranchOpcode(c)) {
      out[o++] = c;
      prev = c;
      continue;
    }
    if (c == kCallOpcode) {
      const std::uint32_t symbol = codeSymbol(coder, models_.call, prev, 0);
      if (symbol == kOperandKept) {
        out[o++] = c;
        prev = c;
        continue;
      }
      std::uint32_t target = 0;
      if (!restoreCallTarget(coder, symbol, prev, callTargets, inputEnd, target)) return 0;
      if (adjust >= inputEnd) return 0;
      const std::uint8_t adjustment = *adjust++;
      const std::uint32_t length = adjustment ? 8 : 5;
      if (length > capacity - o) break;
      out[o] = c;
      writeLe32(out + o + 1, target - (o + 1) - base_);
      o += 5;
      if (adjustment) {
        out[o] = kAdjustOpcode;
        out[o + 1] = kAdjustModrm;
        out[o + 2] = adjustment;
        o += 3;
      }
      prev = out[o - 1];
      continue;
    }

    // A jump: JMP, or a conditional jump whose condition byte lies in the code part.
    std::uint32_t opcodeLength = 1;
    std::uint32_t selector = 0;
    std::uint32_t symbol;
    if (c == kJumpOpcode) {
      symbol = codeSymbol(coder, models_.jump, prev, 0);
    } else if (in < codeEnd && isConvertibleCondition(*in)) {
      const std::uint32_t condition = *in & 15u;
      opcodeLength = 2;
      selector = 1 + condition;
      symbol = codeSymbol(coder, models_.conditional[condition], (prev >> 4) | 0x80u, 0);
    } else {
      out[o++] = c;
      prev = c;
      continue;
    }
    if (symbol == kOperandKept) {
      if (opcodeLength > capacity - o) break;
      out[o++] = c;
      if (opcodeLength == 2) out[o++] = *in++;
      prev = out[o - 1];
      continue;
    }
    const std::uint32_t operandAt = o + opcodeLength;
    std::uint32_t target = 0;
    if (!restoreJumpTarget(coder, symbol, selector, operandAt, target)) return 0;
    if (opcodeLength + kOperandSize > capacity - o) break;
    out[o++] = c;
    if (opcodeLength == 2) out[o++] = *in++;
    writeLe32(out + o, target - operandAt - base_);
    o += kOperandSize;
    prev = out[o - 1];
  }
  return o;
}

ConvertedBranches BranchTargetStage::convert(std::span<const std::uint8_t> data) {
  ConvertedBranches result;
  result.bytes.reserve(data.size());
  std::vector<std::uint8_t> adjustments;
  std::vector<std::uint8_t> callTargets;
  std::uint32_t newCalls = 0;
  std::uint32_t cachedCalls = 0;
  BinaryEncoder coder(result.sideData);

  const std::uint8_t* bytes = data.data();
  const std::size_t size = data.size();
  std::size_t pos = 0;
  std::uint32_t prev = 0;

  // The operand at pos of a jump whose symbol is coded with model and context.
  const auto convertJump = [&](SymbolModel& model, std::uint32_t context, std::uint32_t selector) {
    std::uint32_t symbol = kOperandKept;
    std::uint32_t relative = 0;
    std::uint32_t index = 0;
    if (size - pos >= kOperandSize) {
      relative = readLe32(bytes + pos);
      if (isPlausibleTarget(relative, pos, size)) {
        const std::uint32_t target = relative + static_cast<std::uint32_t>(pos) + base_;
        index = findRecentJump(target);
        const std::uint32_t magnitude = relative >> 31 ? ~relative : relative;
        // A recent target costs about its index's class, a displacement its own.
        symbol = index < kRecentJumps && lengthClass(index) <= lengthClass(magnitude) ? kOperandRecent
                                                                                                      : kOperandNew;
      }
    }
    codeSymbol(coder, model, context, symbol);
    if (symbol == kOperandKept) return;
    if (symbol == kOperandRecent) {
      codeJumpIndex(coder, models_.jumpIndex, index);
      useRecentJump(index);
    } else {
      codeDisplacement(coder, models_.displacement, selector, relative);
      pushJump(relative + static_cast<std::uint32_t>(pos) + base_);
    }
    pos += kOperandSize;
    ++result.convertedOperands;
  };

  while (pos < size) {
    const std::uint8_t c = bytes[pos++];
    result.bytes.push_back(c);
    if (c == kCallOpcode) {
      std::uint32_t symbol = kOperandKept;
      std::uint32_t target = 0;
      std::uint32_t index = 0;
      if (size - pos >= kOperandSize) {
        const std::uint32_t relative = readLe32(bytes + pos);
        if (isPlausibleTarget(relative, pos, size)) {
          target = relative + static_cast<std::uint32_t>(pos) + base_;
          index = static_cast<std::uint32_t>(std::find(callCache_.begin(), callCache_.end(), target) -
                                             callCache_.begin());
          symbol = index < callCache_.size() ? kOperandRecent : kOperandNew;
        }
      }
      codeSymbol(coder, models_.call, prev, symbol);
      if (symbol != kOperandKept) {
        if (symbol == kOperandRecent) {
          codeSymbol(coder, models_.callIndex, prev, index);
          useCachedCall(index);
          ++cachedCalls;
        } else {
          pushCall(target);
          putBe32(callTargets, target);
          ++newCalls;
        }
        pos += kOperandSize;
        std::uint8_t adjustment = 0;
        if (size - pos >= 3 && bytes[pos] == kAdjustOpcode && bytes[pos + 1] == kAdjustModrm && bytes[pos + 2] != 0) {
          adjustment = bytes[pos + 2];
          pos += 3;
        }
        adjustments.push_back(adjustment);
        ++result.convertedOperands;
      }
    } else if (c == kJumpOpcode) {
      convertJump(models_.jump, prev, 0);
    } else if (c == kTwoByteEscape && pos < size && isConvertibleCondition(bytes[pos])) {
      const std::uint8_t d = bytes[pos++];
      result.bytes.push_back(d);
      convertJump(models_.conditional[d & 15u], (prev >> 4) | 0x80u, 1 + (d & 15u));
    }
    prev = bytes[pos - 1];
  }

  coder.flush();
  putTrailingNumber(result.sideData, cachedCalls);
  putTrailingNumber(result.sideData, newCalls);
  result.bytes.insert(result.bytes.end(), adjustments.begin(), adjustments.end());
  result.bytes.insert(result.bytes.end(), callTargets.begin(), callTargets.end());
  return result;
}

}  // namespace quorvex::stages
