#include "codecs/cm/zeroed_buffer.hpp"

#include <cstdlib>

#include "model/huge_pages.hpp"

namespace quorvex::cm {

ZeroedBuffer::~ZeroedBuffer() { std::free(block_); }

bool ZeroedBuffer::allocate(std::size_t size, std::size_t alignment) {
  std::free(block_);
  block_ = nullptr;
  aligned_ = nullptr;
  size_ = 0;
  if (size > SIZE_MAX - alignment) return false;
  block_ = std::calloc(size + alignment, 1);
  if (block_ == nullptr) return false;
  const std::uintptr_t address = reinterpret_cast<std::uintptr_t>(block_);
  aligned_ = static_cast<std::uint8_t*>(block_) + (alignUp(address, alignment) - address);
  size_ = size;
  return true;
}

// The context tables are read at random: with 4 KiB pages nearly every access misses
// the TLB and every first touch faults.
void ZeroedBuffer::adviseHugePages() { quorvex::adviseHugePages(aligned_, size_); }

}  // namespace quorvex::cm
