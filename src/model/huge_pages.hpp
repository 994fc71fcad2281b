// Asking the system for 2 MiB pages where a table is read in random order.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace quorvex {

// Link tables, bit-history tables and context tables several MiB large are read in
// nearly random order: on 4 KiB pages most reads then pay a page walk, while 2 MiB pages
// keep the table within the TLB. Advises the whole 2 MiB pages inside
// [begin, begin + bytes). Only a hint: pages already in place stay as they are, so
// advise memory before it is touched.
inline void adviseHugePages(void* begin, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;
  const auto first = (reinterpret_cast<std::uintptr_t>(begin) + kHugePage - 1) & ~(kHugePage - 1);
  const auto last = (reinterpret_cast<std::uintptr_t>(begin) + bytes) & ~(kHugePage - 1);
  if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
  (void)begin;
  (void)bytes;
#endif
}

}  // namespace quorvex
