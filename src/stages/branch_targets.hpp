// The executable branch-target stage: x86 CALL (0xE8), JMP (0xE9) and conditional near
// jumps (0x0F 0x80..0x8F but 0x8A, 0x8B) with their 32-bit relative operands taken out
// of the code, so that the code compresses better, and put back on decoding.
//
// A converted operand is found again either in a list of recent targets (three for
// calls, 256 for jumps, most recent first) or from coded data: a new call target comes
// as a big-endian absolute position from a stream behind the code, a new jump target as
// a displacement coded in the side data. A converted call may also take back a
// following ADD ESP, imm8 (0x83 0xC4 imm8) from a stream of adjust bytes.
//
// The block (n bytes): the code part, then one adjust byte per converted call (A + B),
// then the 4A bytes of new call targets. The side data: the arithmetic-coded decisions,
// then the numbers B and A, each stored least significant 7-bit group first in a byte
// with bit 7 set, more significant groups after it, so that they read from the end.
// A counts the calls with a new target, B those whose target came from the cache.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "stages/branch_models.hpp"

namespace quorvex::stages {

// What the forward conversion makes of a block: the bytes the codec then codes, and the
// side data that puts the operands back.
struct ConvertedBranches {
  std::vector<std::uint8_t> bytes;
  std::vector<std::uint8_t> sideData;
  std::uint32_t convertedOperands = 0;
};

// The state of one block's stage, in both directions: the recent targets and the
// models. Create one per block; it is too large for the stack (about 60 KB).
class BranchTargetStage {
 public:
  BranchTargetStage();

  // Back to the state of a new block: the recent targets and every model at its start.
  void reset();

  // Inverse: restores the operands from current (n bytes) into other. Writes at most
  // capacity bytes: a token (an instruction with its operand and adjustment) that would
  // cross capacity is not started. Returns the length written; 0 when the side data
  // does not fit the block, a displacement is broken, or a side stream runs past n.
  std::uint32_t restore(std::span<const std::uint8_t> branchTargetData, const std::uint8_t* current, std::uint32_t n,
                        std::uint8_t* other, std::uint32_t capacity);

  // Forward: takes the plausible operands out of data (x86-64 or x86-32 code).
  ConvertedBranches convert(std::span<const std::uint8_t> data);

 private:
  struct Models {
    SymbolModel call;
    SymbolModel callIndex;
    SymbolModel jump;
    std::array<SymbolModel, 16> conditional;  // one per condition code
    JumpIndexModel jumpIndex;
    DisplacementModel displacement;

    void reset() {
      call.reset();
      callIndex.reset();
      jump.reset();
      for (SymbolModel& model : conditional) model.reset();
      jumpIndex.reset();
      displacement.reset();
    }
  };

  // The target of a converted call (symbol 1 or 2): from the cache, or the next one of
  // the call-target stream. False when that stream runs past the block.
  bool restoreCallTarget(BinaryDecoder& coder, std::uint32_t symbol, std::uint32_t context,
                         const std::uint8_t*& callTargets, const std::uint8_t* inputEnd, std::uint32_t& target);
  // The target of a converted jump: from the recent list, or a coded displacement from
  // its operand's offset. False for a broken displacement.
  bool restoreJumpTarget(BinaryDecoder& coder, std::uint32_t symbol, std::uint32_t selector, std::uint32_t operandAt,
                         std::uint32_t& target);

  std::uint32_t useCachedCall(std::uint32_t index);
  void pushCall(std::uint32_t target);
  std::uint32_t useRecentJump(std::uint32_t index);
  void pushJump(std::uint32_t target);
  // Entry `index` of the recent jump list (most recent first); the index of target in
  // it, or kRecentJumps.
  std::uint32_t recentJump(std::uint32_t index) const { return jumpRing_[(jumpHead_ + index) & kRingMask]; }
  std::uint32_t findRecentJump(std::uint32_t target) const;

  std::uint32_t base_ = 0;  // added to output positions to make targets (always 0)
  std::array<std::uint32_t, 3> callCache_;
  // The recent jump targets as a ring: a new target only moves the front.
  static constexpr std::uint32_t kRecentJumps = 256;
  static constexpr std::uint32_t kRingMask = kRecentJumps - 1;
  std::array<std::uint32_t, kRecentJumps> jumpRing_;
  std::uint32_t jumpHead_ = 0;
  Models models_;
};

// The calling thread's own stage, reset for a new block: a new stage for every block
// cost the page faults of its 60 KB. It stays valid until the thread's next call.
BranchTargetStage* threadBranchTargetStage();

}  // namespace quorvex::stages
