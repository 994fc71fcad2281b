#include "decode/decode_context.hpp"

#include "model/huge_pages.hpp"

namespace quorvex {

void DecodeContext::adviseBuffersFor(std::uint64_t bytes) {
  if (buffersAdvised || bytes < kHugePageBlockMinimum) return;
  buffersAdvised = true;
  adviseHugePages(workStorageA.data(), workStorageA.size());
  adviseHugePages(workStorageB.data(), workStorageB.size());
  adviseHugePagesFor(windowStorage.data(), windowStorage.size(), bytes);
}

bool DecodeContext::allocate(std::uint32_t windowSize) {
  if (windowSize == 0 || windowSize > kHistoryWindowSize) windowSize = kHistoryWindowSize;
  windowStorage = ZeroedBuffer(std::size_t{kHistoryGuardSize} + windowSize);
  workStorageA = ZeroedBuffer(kWorkBufferSize);
  workStorageB = ZeroedBuffer(kWorkBufferSize);
  if (!windowStorage || !workStorageA || !workStorageB) return false;
  // Before any page is touched: the BWT link table lands anywhere in the window.
  adviseHugePagesFor(windowStorage.data(), windowStorage.size(), 0);
  historyBase = windowStorage.data() + kHistoryGuardSize;
  historyCursor = historyBase;
  historyEnd = historyBase + windowSize;
  workA = workStorageA.data();
  workB = workStorageB.data();
  return true;
}

}  // namespace quorvex
