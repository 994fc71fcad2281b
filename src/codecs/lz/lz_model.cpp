#include "codecs/lz/lz_model.hpp"

#include <cstdlib>
#include <new>
#include <type_traits>

#include "model/counters.hpp"

namespace quorvex::lz {

static_assert(sizeof(LzModel) == kLzModelBytes, "the LZ model layout must match the format's footprint");
static_assert(std::is_aggregate_v<LzModel> && std::is_trivially_destructible_v<LzModel>,
              "zeroed memory must be a valid LzModel");

namespace {

template <class Array>
void fillAll(Array& rows, typename Array::value_type::value_type value) {
  for (auto& row : rows) row.fill(value);
}

}  // namespace

void LzModel::operator delete(void* model) noexcept { std::free(model); }

// calloc'd memory holds an LzModel (an implicit-lifetime aggregate) whose every table is
// 0; MixerWeights, Order2States and PositionHash start there. The rest is filled here.
std::unique_ptr<LzModel> LzModel::create() {
  void* memory = std::calloc(1, sizeof(LzModel));
  if (memory == nullptr) return nullptr;
  std::unique_ptr<LzModel> model(std::launder(static_cast<LzModel*>(memory)));
  LzModel& m = *model;
  fillAll(m.Order1Probs, 0x80);
  m.LiteralStateProbs.fill(0x80);
  fillAll(m.Order2SparseProbs, 0x80);
  fillInterpolationRows(m.LiteralApm.data(), kLiteralApmRows, kLiteralApmColumns);
  m.NibbleStates.fill(0x88);  // state 8 in both halves
  m.NibbleStateProbs.fill(0x8000);
  m.RepMatchProbs.fill(0x80);
  m.HashMatchProbs.fill(0x80);
  m.StateProbs.fill(0x80000000u);

  fillAll(m.LengthClassProbs, 0x8000);
  fillAll(m.LengthTreeProbs, 0x8000);
  fillAll(m.SlotTreeProbs, 0x8000);
  fillInterpolationRows(m.SlotApm.data(), kSlotTreeNodes, kSlotApmColumns);
  fillAll(m.DistanceHighProbs, 0x8000);
  fillAll(m.AlignProbs, 0x8000);
  fillAll(m.ExtraBitProbs, 0x8000);
  m.RepChoiceProbs.fill(0x8000);

  fillAll(m.MatchFlagProbs, 0x80);
  fillInterpolationRows(m.MatchFlagApmA.data(), kFlagApmARows, kFlagApmAColumns);
  fillInterpolationRows(m.MatchFlagApmB.data(), kFlagApmBRows, kFlagApmBColumns);
  return model;
}

}  // namespace quorvex::lz
