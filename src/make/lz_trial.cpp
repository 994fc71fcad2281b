#include "make/lz_trial.hpp"

#include <mutex>

#include "codecs/lz/lz_codec.hpp"

namespace quorvex {

std::size_t lzTrialSize(std::span<const std::uint8_t> block) {
  static std::mutex turn;
  std::unique_lock<std::mutex> lock(turn, std::defer_lock);
  if (block.size() >= kLzTrialTurnMinimum) lock.lock();
  // A fresh encoder each time: its memory goes back as soon as the trial ends.
  return lz::LzEncoder().encodeBlock(block, 0).size();
}

}  // namespace quorvex
