#include "codecs/lz/lz_model.hpp"

#include <cstdlib>
#include <new>

#include "model/counters.hpp"

namespace quorvex::lz {

static_assert(sizeof(LzModel) == kLzModelBytes, "the LZ model layout must match the format's footprint");

namespace {

template <class Array>
void fillAll(Array& rows, typename Array::value_type::value_type value) {
  for (auto& row : rows) row.fill(value);
}

}  // namespace

void* LzModel::operator new(std::size_t size) {
  void* memory = std::calloc(1, size);
  if (memory == nullptr) throw std::bad_alloc();
  return memory;
}

void LzModel::operator delete(void* model) noexcept { std::free(model); }

std::unique_ptr<LzModel> LzModel::create() { return std::unique_ptr<LzModel>(new LzModel()); }

// MixerWeights, Order2States and PositionHash start at zero, as the memory does.
LzModel::LzModel() {
  fillAll(Order1Probs, 0x80);
  LiteralStateProbs.fill(0x80);
  fillAll(Order2SparseProbs, 0x80);
  fillInterpolationRows(LiteralApm.data(), kLiteralApmRows, kLiteralApmColumns);
  NibbleStates.fill(0x88);  // state 8 in both halves
  NibbleStateProbs.fill(0x8000);
  RepMatchProbs.fill(0x80);
  HashMatchProbs.fill(0x80);
  StateProbs.fill(0x80000000u);

  fillAll(LengthClassProbs, 0x8000);
  fillAll(LengthTreeProbs, 0x8000);
  fillAll(SlotTreeProbs, 0x8000);
  fillInterpolationRows(SlotApm.data(), kSlotTreeNodes, kSlotApmColumns);
  fillAll(DistanceHighProbs, 0x8000);
  fillAll(AlignProbs, 0x8000);
  fillAll(ExtraBitProbs, 0x8000);
  RepChoiceProbs.fill(0x8000);

  fillAll(MatchFlagProbs, 0x80);
  fillInterpolationRows(MatchFlagApmA.data(), kFlagApmARows, kFlagApmAColumns);
  fillInterpolationRows(MatchFlagApmB.data(), kFlagApmBRows, kFlagApmBColumns);
}

}  // namespace quorvex::lz
