// Asking the system for 2 MiB pages where a table is read in random order.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace quorvex {

inline constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;

// `value` rounded up to a multiple of `alignment`, a power of two.
constexpr std::uintptr_t alignUp(std::uintptr_t value, std::uintptr_t alignment) {
  return (value + alignment - 1) & ~(alignment - 1);
}

// Link tables, bit-history tables and context tables several MiB large are read in
// nearly random order: on 4 KiB pages most reads then pay a page walk, while 2 MiB pages
// keep the table within the TLB. Advises the whole 2 MiB pages inside
// [begin, begin + bytes). Only a hint: pages already in place stay as they are, so
// advise memory before it is touched.
inline void adviseHugePages(void* begin, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  const auto first = alignUp(reinterpret_cast<std::uintptr_t>(begin), kHugePageBytes);
  const auto last = (reinterpret_cast<std::uintptr_t>(begin) + bytes) & ~std::uintptr_t{kHugePageBytes - 1};
  if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
  (void)begin;
  (void)bytes;
#endif
}

// The same for a buffer (a window or a work buffer) whose use depends on the blocks
// it serves. Every first touch of a page costs a fault, so when the largest block is
// kHugePageBlockMinimum bytes or more the buffer takes huge pages throughout; else its
// first 2 MiB stay in small pages, so that a small archive commits only what it touches.
inline constexpr std::size_t kHugePageBlockMinimum = std::size_t{256} << 10;

inline void adviseHugePagesFor(std::uint8_t* begin, std::size_t bytes, std::uint64_t largestBlock) {
  if (largestBlock >= kHugePageBlockMinimum) {
    adviseHugePages(begin, bytes);
  } else if (bytes > kHugePageBytes) {
    adviseHugePages(begin + kHugePageBytes, bytes - kHugePageBytes);
  }
}

}  // namespace quorvex
