// Feeds arbitrary side data and blocks to the branch-target stage. The first four input
// bytes choose how much of the rest is side data and the output capacity; the output
// buffer is sized exactly, so any write past the capacity is reported.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "stages/branch_targets.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  const std::size_t rest = size - 4;
  const std::size_t sideSize = (std::size_t{data[0]} | std::size_t{data[1]} << 8) % (rest + 1);
  const std::uint32_t blockSize = static_cast<std::uint32_t>(rest - sideSize);
  const std::uint32_t capacity = (std::uint32_t{data[2]} | std::uint32_t{data[3]} << 8) % (4 * blockSize + 16);
  const std::span<const std::uint8_t> side(data + 4, sideSize);
  const std::vector<std::uint8_t> block(data + 4 + sideSize, data + size);
  std::vector<std::uint8_t> out(capacity);
  const auto stage = std::make_unique<quorvex::stages::BranchTargetStage>();
  const std::uint32_t n = stage->restore(side, block.data(), blockSize, out.data(), capacity);
  if (n > capacity) __builtin_trap();
  return 0;
}
