#include "codecs/cm/mixer.hpp"

namespace quorvex::cm {

void ApmTable::reset() {
  std::array<std::uint32_t, kColumns> row{};
  for (std::uint32_t i = 0; i < kColumns; ++i) row[i] = (std::uint32_t{SquashTable[157 + 315 * i]} << 20) + 8;
  for (std::uint32_t r = 0; r < kRows; ++r) {
    for (std::uint32_t i = 0; i < kColumns; ++i) entries_[kColumns * r + i] = row[i];
  }
  pendingIndex_ = 0;
  pendingValue_ = entries_[0];
}

void FinalMixer::reset() {
  weights_.fill({0u, 0x800000u});
  pendingPair_ = 0;
  input0_ = 0;
  input1_ = 0;
  pendingProbability_ = 0;
}

}  // namespace quorvex::cm
