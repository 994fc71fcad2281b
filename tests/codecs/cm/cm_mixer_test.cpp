// The mixer's packed arithmetic against the plain formulas, lane by lane, at random and
// at the extremes of every input, weight and error.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>

#include "codecs/cm/mixer.hpp"
#include "support/test_support.hpp"

namespace quorvex::cm {
namespace {

std::int32_t expectedMix(const std::array<std::int16_t, kMixerInputs>& x, const std::array<std::int16_t, kMixerInputs>& w) {
  std::int32_t dot = 0;
  for (std::uint32_t i = 0; i < kMixerInputs; ++i) dot += x[i] * w[i];
  return std::clamp((dot >> 16) + 2048, 0, 4095);
}

std::int16_t expectedWeight(std::int16_t weight, std::int16_t input, std::int32_t error) {
  const std::int32_t t = (input * error * 16) >> 16;
  return static_cast<std::int16_t>(std::clamp(weight + ((t + 1) >> 1), -32768, 32767));
}

TEST(Mixer, PackedLanesMatchThePlainFormulas) {
  testing::TestRandom random(99);
  const std::int16_t extremeInputs[] = {-2048, -2047, -1, 0, 1, 2047};
  const std::int16_t extremeWeights[] = {-32768, -32767, -1, 0, 1, 32766, 32767};
  const std::int32_t extremeErrors[] = {-4095, -4094, -1, 0, 1, 4094, 4095};
  Mixer mixer;
  for (int round = 0; round < 20000; ++round) {
    const bool extreme = round % 2 == 0;
    const std::uint32_t set = random.below(kWeightSets);
    std::array<std::int16_t, kMixerInputs> weights{};
    for (std::uint32_t i = 0; i < kMixerInputs; ++i) {
      mixer.inputs()[i] = extreme ? extremeInputs[random.below(6)]
                                  : static_cast<std::int16_t>(static_cast<std::int32_t>(random.below(4096)) - 2048);
      weights[i] = extreme ? extremeWeights[random.below(7)] : static_cast<std::int16_t>(random.next());
      mixer.setWeight(set, i, weights[i]);
    }
    ASSERT_EQ(mixer.mix(set), static_cast<std::uint32_t>(expectedMix(mixer.inputs(), weights))) << round;
    const std::int32_t error =
        extreme ? extremeErrors[random.below(7)] : static_cast<std::int32_t>(random.below(8191)) - 4095;
    mixer.learn(error);
    for (std::uint32_t i = 0; i < kMixerInputs; ++i) {
      ASSERT_EQ(mixer.weight(set, i), expectedWeight(weights[i], mixer.inputs()[i], error))
          << "round " << round << " lane " << i;
    }
  }
}

}  // namespace
}  // namespace quorvex::cm
