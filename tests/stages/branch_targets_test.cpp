#include "stages/branch_targets.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "codecs/bwt/scripted_coder.hpp"
#include "support/test_support.hpp"

namespace quorvex::stages {
namespace {

using Bytes = std::vector<std::uint8_t>;
using bwt::testing::ScriptedCoder;

// Runs the inverse stage with a fresh state into a buffer of exactly capacity bytes, so
// that the sanitizers see any write past it. Returns the bytes written; empty on failure.
Bytes restore(const Bytes& side, const Bytes& input, std::uint32_t capacity = 1u << 20) {
  Bytes out(capacity);
  const auto stage = std::make_unique<BranchTargetStage>();
  const std::uint32_t n = stage->restore(side, input.data(), static_cast<std::uint32_t>(input.size()), out.data(),
                                         capacity);
  out.resize(n);
  return out;
}

void expectRoundTrip(const Bytes& data, std::uint32_t minimumConversions) {
  const ConvertedBranches converted = std::make_unique<BranchTargetStage>()->convert(data);
  EXPECT_GE(converted.convertedOperands, minimumConversions);
  EXPECT_TRUE(restore(converted.sideData, converted.bytes, static_cast<std::uint32_t>(data.size())) == data);
}

// x86-like bytes: calls that rotate over three targets (so every cache index is used),
// calls followed by ADD ESP (with 0 too), jumps back to recent targets and forward to
// new ones, the unconvertible conditions 0x8A/0x8B, stray opcode bytes, and a block
// that ends in a 0x0F and an operand cut short.
Bytes syntheticCode(std::size_t size, std::uint64_t seed) {
  quorvex::testing::TestRandom random(seed);
  Bytes code;
  const auto operand = [&code](std::uint32_t target) {
    const std::uint32_t relative = target - static_cast<std::uint32_t>(code.size() + 4);
    for (std::uint32_t i = 0; i < 4; ++i) code.push_back(static_cast<std::uint8_t>(relative >> (8 * i)));
  };
  const std::uint32_t functions[3] = {16, 400, 1200};
  std::uint32_t rotation = 0;
  while (code.size() < size) {
    switch (random.below(8)) {
      case 0:
        code.push_back(0xE8);
        operand(functions[rotation++ % 3]);
        if (random.below(2)) code.insert(code.end(), {0x83, 0xC4, static_cast<std::uint8_t>(random.below(3) * 8)});
        break;
      case 1:
        code.push_back(0xE8);
        operand(random.below(static_cast<std::uint32_t>(code.size())));
        break;
      case 2:
        code.push_back(0xE9);
        operand(static_cast<std::uint32_t>(code.size()) - random.below(64));
        break;
      case 3:
        code.insert(code.end(), {0x0F, static_cast<std::uint8_t>(0x80 + random.below(16))});
        operand(static_cast<std::uint32_t>(code.size()) + random.below(300));
        break;
      default:
        for (std::uint32_t i = random.below(12); i-- > 0;) code.push_back(static_cast<std::uint8_t>(random.next()));
    }
  }
  code.insert(code.end(), {0xE8, 0x01, 0x02, 0x0F});
  return code;
}

TEST(BranchTargets, RoundTripsX86CodeAndLeavesOtherBytesAlone) {
  expectRoundTrip(syntheticCode(200000, 1), 5000);
  expectRoundTrip(quorvex::testing::readFile("/proc/self/exe"), 10000);
  expectRoundTrip(quorvex::testing::skewedBytes(100000, 2), 0);
  for (const Bytes& tiny : {Bytes{0xE8}, Bytes{0x0F}, Bytes{0x0F, 0x85}, Bytes{0xE9, 0, 0, 0, 0}}) {
    expectRoundTrip(tiny, 0);
  }
}

// The dispatcher reuses one stage per thread: every block must still restore as with
// a stage of its own, whatever the blocks before it left in the lists and models.
TEST(BranchTargets, TheThreadsStageStartsEveryBlockFresh) {
  const Bytes blocks[] = {syntheticCode(20000, 3), syntheticCode(30000, 4)};
  ConvertedBranches converted[2];
  for (int i = 0; i < 2; ++i) converted[i] = std::make_unique<BranchTargetStage>()->convert(blocks[i]);
  for (const int i : {0, 1, 1, 0}) {
    Bytes out(blocks[i].size());
    const std::uint32_t n =
        threadBranchTargetStage()->restore(converted[i].sideData, converted[i].bytes.data(),
                                           static_cast<std::uint32_t>(converted[i].bytes.size()), out.data(),
                                           static_cast<std::uint32_t>(out.size()));
    EXPECT_EQ(n, out.size()) << i;
    EXPECT_TRUE(out == blocks[i]) << i;
  }
}

TEST(BranchTargets, RoundTripsTheCorpusExecutable) {
  QUORVEX_SKIP_WITHOUT_CORPUS();
  const Bytes sed = quorvex::testing::corpusFile("exe/sed-x86_64.elf");
  expectRoundTrip(sed, 2000);
}

// An empty coded stream reads as zero bytes, and a zero code decodes every decision as
// a 1: every symbol is 2 (a new target), every displacement class runs to 31.
const Bytes kAllOnesSide = {0x80, 0x81};  // coded stream empty, B = 0, A = 1

TEST(BranchTargets, NewCallTargetComesFromTheTargetStreamWithItsAdjustment) {
  // Code E8, adjust 0x10, target 0x20 big-endian: the operand is 0x20 - 1.
  EXPECT_EQ(restore(kAllOnesSide, {0xE8, 0x10, 0x00, 0x00, 0x00, 0x20}),
            (Bytes{0xE8, 0x1F, 0x00, 0x00, 0x00, 0x83, 0xC4, 0x10}));
  // A token that would cross capacity is not started; one that fits is written whole.
  const Bytes input = {0x90, 0xE8, 0x10, 0x00, 0x00, 0x00, 0x20};
  EXPECT_EQ(restore(kAllOnesSide, input, 8), Bytes{0x90});
  EXPECT_EQ(restore(kAllOnesSide, input, 9).size(), 9u);
}

// A branch among plain bytes at every offset around the 16-byte blocks plain code is
// copied in, and as the last code byte: it is found wherever it lies, and the room is
// kept to the byte. (With every decision a 1, the call takes its target from the
// stream; a jump is converted and fails on its displacement class.)
TEST(BranchTargets, BranchesAreFoundAtEveryOffset) {
  for (std::uint32_t before = 0; before < 40; ++before) {
    for (const std::uint32_t after : {0u, 1u, 15u, 16u, 17u, 33u}) {
      const Bytes plainBefore(before, 0x90);
      Bytes code = plainBefore;
      code.push_back(0xE8);
      code.insert(code.end(), after, 0x90);
      Bytes input = code;
      input.insert(input.end(), {0x00, 0x00, 0x00, 0x01, 0x00});  // adjust 0, target 0x100
      Bytes expected = plainBefore;
      const std::uint32_t operand = 0x100 - (before + 1);
      expected.insert(expected.end(), {0xE8, static_cast<std::uint8_t>(operand), 0x00, 0x00, 0x00});
      expected.insert(expected.end(), after, 0x90);
      const auto size = static_cast<std::uint32_t>(expected.size());
      EXPECT_EQ(restore(kAllOnesSide, input, size), expected) << before << " " << after;
      EXPECT_EQ(restore(kAllOnesSide, input, before + 4), plainBefore) << before << " " << after;
      for (const Bytes& jump : {Bytes{0xE9}, Bytes{0x0F, 0x85}}) {
        Bytes jumpCode = plainBefore;
        jumpCode.insert(jumpCode.end(), jump.begin(), jump.end());
        jumpCode.insert(jumpCode.end(), after, 0x90);
        EXPECT_TRUE(restore({0x80, 0x80}, jumpCode).empty()) << before << " " << after;
      }
    }
  }
}

TEST(BranchTargets, ConditionsEightAAndEightBAndATrailingEscapeAreCopied) {
  // With every decision a 1, a converted jump would fail on its displacement class.
  const Bytes noCalls = {0x80, 0x80};
  const Bytes parity = {0x0F, 0x8A, 1, 2, 3, 4, 0x0F, 0x8B, 5, 6, 7, 8};
  EXPECT_EQ(restore(noCalls, parity), parity);
  // B = 1: the adjust byte 0x85 follows the code part's last byte, 0x0F.
  EXPECT_EQ(restore({0x81, 0x80}, {0x0F, 0x85}), Bytes{0x0F});
}

TEST(BranchTargets, CallCacheMovesEachUsedTargetToTheFront) {
  // Five calls, each after a NOP (context 0x90): a new target 0x1000, then cache
  // indices 2, 2, 1, 2. The cache starts as {0, 1, 2}; a new target goes to the front
  // and the last entry falls out: {0x1000, 0, 1}. A used entry moves to the front and
  // the entries before it move back one: index 2 gives 1 and {1, 0x1000, 0}, index 2
  // gives 0 and {0, 1, 0x1000}, index 1 gives 1 and {1, 0, 0x1000}, index 2 gives 0x1000.
  // The side data codes these decisions with models of its own, so only the symbols,
  // not the cache, come from the stage's code.
  Bytes side;
  {
    BinaryEncoder encoder(side);
    SymbolModel call;
    SymbolModel callIndex;
    codeSymbol(encoder, call, 0x90, kOperandNew);
    for (const std::uint32_t index : {2u, 2u, 1u, 2u}) {
      codeSymbol(encoder, call, 0x90, kOperandRecent);
      codeSymbol(encoder, callIndex, 0x90, index);
    }
    encoder.flush();
  }
  side.insert(side.end(), {0x84, 0x81});  // B = 4 calls from the cache, A = 1 new call
  Bytes input;
  for (int call = 0; call < 5; ++call) input.insert(input.end(), {0x90, 0xE8});
  input.push_back(0x90);
  input.insert(input.end(), 5, 0x00);                     // no stack adjustments
  input.insert(input.end(), {0x00, 0x00, 0x10, 0x00});  // the new target, big-endian
  Bytes expected;
  const std::uint32_t targets[] = {0x1000, 1, 0, 1, 0x1000};
  for (const std::uint32_t target : targets) {
    expected.insert(expected.end(), {0x90, 0xE8});
    const std::uint32_t operand = target - static_cast<std::uint32_t>(expected.size());  // from the operand
    for (std::uint32_t i = 0; i < 4; ++i) expected.push_back(static_cast<std::uint8_t>(operand >> (8 * i)));
  }
  expected.push_back(0x90);
  EXPECT_EQ(restore(side, input), expected);
}

TEST(BranchTargets, HostileSideDataFailsTheBlock) {
  // Displacement class 31.
  EXPECT_TRUE(restore({0x80, 0x80}, {0xE9, 0, 0, 0, 0}).empty());
  // A new call target past the end of the block (A = 0).
  EXPECT_TRUE(restore({0x80, 0x80}, {0xE8, 1, 2, 3, 4}).empty());
  // n must exceed 5A + B: A = 1 needs 6 bytes.
  EXPECT_TRUE(restore(kAllOnesSide, {0xE8, 0, 0, 0, 0}).empty());
  // 5A + B without 32-bit wrap-around: A = 0x33333334 would wrap 5A to 4.
  EXPECT_TRUE(restore({0x80, 0xB4, 0x66, 0x4C, 0x19, 0x03}, Bytes(64, 0x90)).empty());
  // A number without a byte of bit 7 runs to the start and counts one group more:
  // {0x01} is A = 128, B = 0, so the block needs more than 640 bytes.
  EXPECT_TRUE(restore({0x01}, Bytes(640, 0x90)).empty());
  EXPECT_EQ(restore({0x01}, Bytes(641, 0x90)), Bytes{0x90});
}

TEST(BranchTargetModels, DisplacementListedValuesAndCells) {
  // k = 0: sign 0 gives 0 or 1, sign 1 gives -1 or -2.
  const std::pair<std::vector<std::uint32_t>, std::uint32_t> cases[] = {
      {{0, 0, 0}, 0u}, {{0, 0, 1}, 1u}, {{1, 0, 0}, 0xFFFFFFFFu}, {{1, 0, 1}, 0xFFFFFFFEu}};
  for (const auto& [script, expected] : cases) {
    ScriptedCoder coder(script);
    DisplacementModel model;
    std::uint32_t displacement = 0;
    ASSERT_TRUE(codeDisplacement(coder, model, 0, displacement));
    EXPECT_EQ(displacement, expected);
  }
  // Selector 5, sign 1, class 2 (bits 1,1,0), then 1,0: m = 110b = 6, result -7. The
  // value bits use cells 62k + 2j + previous bit, the first one's previous bit the sign.
  ScriptedCoder coder({1, 1, 1, 0, 1, 0});
  DisplacementModel model;
  std::uint32_t displacement = 0;
  ASSERT_TRUE(codeDisplacement(coder, model, 5, displacement));
  EXPECT_EQ(displacement, static_cast<std::uint32_t>(-7));
  for (std::uint32_t i = 0; i < model.bitCells.size(); ++i) {
    EXPECT_EQ(model.bitCells[i] != kHalfProbability, i == 125 || i == 127) << i;
  }
  for (std::uint32_t i = 0; i < model.signCells.size(); ++i) {
    EXPECT_EQ(model.signCells[i] != kHalfProbability, i == 5) << i;
  }
  // Class cells adapt with shift 3: 32768 + (65536 - 32768 + 4) / 8.
  EXPECT_EQ(model.classCells[0], 36864);
  EXPECT_EQ(model.classCells[2], 28672);
}

TEST(BranchTargetModels, JumpIndexClassesAndTreeCells) {
  // k = 0 takes its one bit with tree cell 1.
  {
    ScriptedCoder coder({1, 1});
    JumpIndexModel model;
    EXPECT_EQ(codeJumpIndex(coder, model, 0), 1u);
    for (std::uint32_t i = 0; i < 16; ++i) EXPECT_EQ(model.treeCells[i] != kHalfProbability, i == 1) << i;
  }
  // k = 3, bits 0,1,1: the index so far (with its leading 1) picks cells 9, 10, 13.
  {
    ScriptedCoder coder({0, 0, 0, 1, 0, 1, 1});
    JumpIndexModel model;
    EXPECT_EQ(codeJumpIndex(coder, model, 0), 11u);
    for (std::uint32_t i = 0; i < 16; ++i) {
      EXPECT_EQ(model.treeCells[i] != kHalfProbability, i == 9 || i == 10 || i == 13) << i;
    }
  }
  // Seven 0s: class 7, no terminating bit, then seven bits (all 1 here): 255.
  ScriptedCoder coder({0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1});
  JumpIndexModel model;
  EXPECT_EQ(codeJumpIndex(coder, model, 0), 255u);
  EXPECT_EQ(coder.next, 14u);
}

TEST(BranchTargetModels, SymbolStepsAndHistory) {
  ScriptedCoder coder({1, 1, 1, 0, 0});
  SymbolModel model;
  EXPECT_EQ(codeSymbol(coder, model, 7, 0), 2u);  // two 1s
  EXPECT_EQ(model.history, 2u);
  EXPECT_EQ(codeSymbol(coder, model, 7, 0), 1u);  // 1, then 0
  EXPECT_EQ(model.history, 9u);                   // (4 * 2 + 1) AND 15
  EXPECT_EQ(codeSymbol(coder, model, 7, 0), 0u);
  EXPECT_EQ(model.history, 4u);
  // Only cells 28 and 29 of context 7 learned.
  for (std::uint32_t i = 0; i < model.cells.size(); ++i) {
    EXPECT_EQ(model.cells[i] != kHalfProbability, i == 28 || i == 29) << i;
  }
}

}  // namespace
}  // namespace quorvex::stages
