// The context-mixing predictor, written once for both directions.
//
// For every bit it predicts `p`, the 12-bit probability that the bit is 1; after the
// coder has decided the bit, `update` learns from it and predicts the next one. The
// decoder and the encoder drive the same model through the two twins of the
// full-product binary coder, so they stay in step by construction.
#pragma once

#include <cstdint>
#include <memory>

#include "codecs/cm/context_models.hpp"
#include "codecs/cm/match_model.hpp"
#include "codecs/cm/mixer.hpp"

namespace quorvex::cm {

// The most memory one model may reserve (the tables sized by the codec parameters plus
// the fixed ones, about 23 MB). Records asking for more are refused rather than risking
// the process: 3 GiB admits a 2 GiB context table with a 512 MiB match table, or a
// 2 GiB window, and keeps a whole run (with the driver's 700 MB of buffers) well inside
// the machine's memory.
inline constexpr std::uint64_t kMaxModelBytes = std::uint64_t{3} << 30;

class CmModel {
 public:
  // The memory the parameters ask for.
  static std::uint64_t bytesFor(std::uint32_t tableBitsA, std::uint32_t tableBitsB, std::uint32_t historySize);
  // Null when the parameters cannot back a model, or the memory is not available.
  static std::unique_ptr<CmModel> create(std::uint32_t tableBitsA, std::uint32_t tableBitsB, std::uint32_t historySize);
  // Asks for huge pages over the randomly accessed tables (see ZeroedBuffer).
  void adviseHugePages() {
    contexts_.adviseHugePages();
    match_.adviseHugePages();
  }

  std::uint32_t p() const { return p_; }
  // Learns bit y and predicts the next bit.
  void update(std::uint32_t y);
  // The last complete byte (valid after the eighth bit of a byte).
  std::uint8_t lastByte() const { return static_cast<std::uint8_t>(history_); }
  std::uint32_t bitCount() const { return bitCount_; }

  // The partial reset of a block with codecKind 1: only the refinement stages restart.
  void resetAdaptation();

  const ApmTable& apm() const { return apm_; }
  const FinalMixer& finalMixer() const { return finalMixer_; }
  const Mixer& mixer() const { return mixer_; }
  const MatchModel& matchModel() const { return match_; }
  const ContextModels& contexts() const { return contexts_; }

 private:
  CmModel() = default;
  bool allocate(std::uint32_t tableBitsA, std::uint32_t tableBitsB, std::uint32_t historySize);

  ContextModels contexts_;
  MatchModel match_;
  Mixer mixer_;
  ApmTable apm_;
  FinalMixer finalMixer_;

  std::uint32_t history_ = 0;  // the last four bytes, newest in the low byte
  std::uint32_t p_ = 2048;
  std::uint32_t c0_ = 1;       // the bits of the current byte behind a leading 1
  std::uint32_t bitCount_ = 0;
  std::uint32_t matchLength_ = 0;
  // Error statistics of the final probability.
  std::uint8_t errorSum_ = 0;      // sum of |err| >> 7 since the last byte boundary
  std::uint32_t bigErrors_ = 0;    // one bit per recent bit: was the error above 1280?
  std::uint32_t recentBits_ = 0;   // the last 17 bits
};

}  // namespace quorvex::cm
