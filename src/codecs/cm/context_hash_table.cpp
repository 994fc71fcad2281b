#include "codecs/cm/context_hash_table.hpp"

namespace quorvex::cm {

bool ContextHashTable::allocate(std::uint32_t tableBits) {
  const std::uint64_t size = bytesFor(tableBits);
  if (size > SIZE_MAX) return false;
  if (!table_.allocate(static_cast<std::size_t>(size), kBucketBytes)) return false;
  hashMask_ = static_cast<std::uint32_t>((std::uint64_t{1} << (tableBits & 31)) - 1);
  return true;
}

}  // namespace quorvex::cm
