#include "container/decode_context.hpp"

namespace quorvex {

bool DecodeContext::allocate() {
  windowStorage = ZeroedBuffer(std::size_t{kHistoryGuardSize} + kHistoryWindowSize);
  workStorageA = ZeroedBuffer(kWorkBufferSize);
  workStorageB = ZeroedBuffer(kWorkBufferSize);
  if (!windowStorage || !workStorageA || !workStorageB) return false;
  historyBase = windowStorage.data() + kHistoryGuardSize;
  historyCursor = historyBase;
  historyEnd = historyBase + kHistoryWindowSize;
  workA = workStorageA.data();
  workB = workStorageB.data();
  return true;
}

}  // namespace quorvex
