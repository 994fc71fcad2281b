#include "codecs/audio/audio_model.hpp"

#include <algorithm>

#include "model/counters.hpp"

namespace quorvex::audio {

void initClassModel(ClassModel& model) {
  // Node states and run cells start at one half; every node's map starts as the same
  // squash curve sampled at 9 evenly spaced stretch points.
  std::fill_n(&model.cells[0], ClassModel::kMapBase, std::uint16_t{0x8000});
  std::fill(model.cells.begin() + ClassModel::kRunBase, model.cells.end(), std::uint16_t{0x8000});
  fillInterpolationRows(model.nodeMap(0), 64, ClassModel::kMapColumns);
}

void resetFilter(AudioFilter& filter) {
  filter.prediction = 0;
  filter.cursor = AudioFilter::kResetCursor;
  const std::uint32_t cursor = AudioFilter::kResetCursor;
  std::fill_n(&filter.buffer[cursor], filter.order, std::int16_t{0});
  std::fill_n(&filter.buffer[cursor + AudioFilter::kTermOffset], filter.order, std::int16_t{0});
  std::fill_n(filter.weights.begin(), filter.order, std::int16_t{0});
}

void clearCrossPredictors(std::array<CrossPredictor, 2>& pair) {
  for (CrossPredictor& p : pair) {
    p.ownCursor = CrossPredictor::kResetCursor;
    std::fill_n(&p.ownHistory[p.ownCursor], p.ownTaps, 0);
    std::fill_n(p.ownWeights.begin(), p.ownTaps, 0);
    p.crossCursor = CrossPredictor::kResetCursor;
    std::fill_n(&p.crossHistory[p.crossCursor], p.crossTaps, 0);
    std::fill_n(p.crossWeights.begin(), p.crossTaps, 0);
  }
}

void resetAudioModel(AudioModel& model) {
  for (ClassModel& classes : model.classModels) initClassModel(classes);
  clearCrossPredictors(model.crossPredictors);
  for (AudioFilter& filter : model.filters) resetFilter(filter);
}

void initAudioModel(AudioModel& model) {
  for (std::uint32_t stage = 0; stage < kFilterStages; ++stage) {
    for (std::uint32_t channel = 0; channel < 2; ++channel) {
      model.filter(stage, channel).order = static_cast<std::uint16_t>(stage == 0 ? kLongOrder : kShortOrder);
    }
  }
  for (CrossPredictor& p : model.crossPredictors) p = CrossPredictor{};
  resetAudioModel(model);
}

}  // namespace quorvex::audio
