#include "make/lz_trial.hpp"

#include <mutex>

#include "codecs/bwt/bwt_payload.hpp"
#include "codecs/bwt/bwt_transform.hpp"
#include "codecs/lz/lz_codec.hpp"

namespace quorvex {

namespace {

std::size_t lzTrialSize(std::span<const std::uint8_t> block, const lz::LzEncoderSettings& settings) {
  static std::mutex turn;
  std::unique_lock<std::mutex> lock(turn, std::defer_lock);
  if (block.size() >= kLzTrialTurnMinimum) lock.lock();
  // A fresh encoder each time: its memory goes back as soon as the trial ends.
  return lz::LzEncoder(settings).encodeBlock(block, 0).size();
}

}  // namespace

std::size_t lzTrialSize(std::span<const std::uint8_t> block) { return lzTrialSize(block, lz::LzEncoderSettings{}); }

std::size_t lzStageTrialSize(std::span<const std::uint8_t> block) {
  lz::LzEncoderSettings settings;
  settings.chainSteps = kStageTrialTreeSteps;
  settings.niceLength = kStageTrialNiceLength;
  return lzTrialSize(block, settings);
}

std::size_t bwtTrialSize(std::span<const std::uint8_t> block) {
  return bwt::encodeBwtPayload(bwt::forwardBwt(block).transformed).size();
}

}  // namespace quorvex
