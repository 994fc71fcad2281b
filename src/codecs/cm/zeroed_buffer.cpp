#include "codecs/cm/zeroed_buffer.hpp"

#include <cstdint>
#include <cstdlib>

#include "model/huge_pages.hpp"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace quorvex::cm {

namespace {

// From this size on the buffer is mapped from the system itself. calloc gives fresh
// zero pages for large sizes only above the allocator's threshold for mapping, which
// rises (to 32 MiB) as large blocks are freed: below it a table comes from the heap,
// where calloc writes zeros over every page (all of them then take memory, and in small
// pages), and where the table's pages stay taken after it is freed. A maker that builds
// one model per section on several threads would then hold far more than the models in
// use.
constexpr std::size_t kMappedMinimum = std::size_t{1} << 20;

}  // namespace

ZeroedBuffer::~ZeroedBuffer() { release(); }

void ZeroedBuffer::release() {
#if defined(__linux__)
  if (mapped_ != 0) {
    munmap(block_, mapped_);
  } else {
    std::free(block_);
  }
#else
  std::free(block_);
#endif
  block_ = nullptr;
  aligned_ = nullptr;
  size_ = 0;
  mapped_ = 0;
}

bool ZeroedBuffer::allocate(std::size_t size, std::size_t alignment) {
  release();
  if (size > SIZE_MAX - alignment) return false;
#if defined(__linux__)
  if (size >= kMappedMinimum) {
    void* memory = mmap(nullptr, size + alignment, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) return false;
    block_ = memory;
    mapped_ = size + alignment;
  }
#endif
  if (block_ == nullptr) block_ = std::calloc(size + alignment, 1);
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
