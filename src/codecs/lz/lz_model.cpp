#include "codecs/lz/lz_model.hpp"

#include <cstdint>
#include <cstdlib>
#include <new>
#include <type_traits>

#include "model/counters.hpp"
#include "model/huge_pages.hpp"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace quorvex::lz {

static_assert(sizeof(LzModel) == kLzModelBytes, "the LZ model layout must match the format's footprint");
static_assert(std::is_aggregate_v<LzModel> && std::is_trivially_destructible_v<LzModel>,
              "zeroed memory must be a valid LzModel");

namespace {

template <class Array>
void fillAll(Array& rows, typename Array::value_type::value_type value) {
  for (auto& row : rows) row.fill(value);
}

// The mapping spans whole huge pages from a huge-page boundary, so that 2 MiB pages,
// when asked for, can cover every table. The slack is address space only.
constexpr std::size_t kMappedBytes = alignUp(sizeof(LzModel), kHugePageBytes);

// Fresh anonymous memory: zeroed, and untouched, so that advice given before the first
// write takes effect (a calloc may hand back heap memory already in small pages).
void* allocateZeroed() {
#if defined(__linux__)
  const std::size_t reserved = kMappedBytes + kHugePageBytes;
  void* memory = mmap(nullptr, reserved, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return nullptr;
  auto* const start = static_cast<std::uint8_t*>(memory);
  auto* const aligned = reinterpret_cast<std::uint8_t*>(alignUp(reinterpret_cast<std::uintptr_t>(start), kHugePageBytes));
  const auto before = static_cast<std::size_t>(aligned - start);
  if (before > 0) munmap(start, before);
  if (reserved - before > kMappedBytes) munmap(aligned + kMappedBytes, reserved - before - kMappedBytes);
  return aligned;
#else
  return std::calloc(1, sizeof(LzModel));
#endif
}

}  // namespace

void LzModel::operator delete(void* model) noexcept {
#if defined(__linux__)
  munmap(model, kMappedBytes);
#else
  std::free(model);
#endif
}

// Zeroed memory holds an LzModel (an implicit-lifetime aggregate) whose every table is
// 0; MixerWeights, Order2States and PositionHash start there. The rest is filled here.
std::unique_ptr<LzModel> LzModel::create(bool hugePages) {
  void* memory = allocateZeroed();
  if (memory == nullptr) return nullptr;
  std::unique_ptr<LzModel> model(std::launder(static_cast<LzModel*>(memory)));
  if (hugePages) requestHugePages(*model);
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

void requestHugePages(LzModel& model) {
#if defined(__linux__)
  adviseHugePages(&model, kMappedBytes);
#else
  (void)model;
#endif
}

}  // namespace quorvex::lz
