// Whole-file input and the fatal file errors of the program.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorvex::driver {

// Prints "<path>: <message>" (or just the message without a path) to standard error
// and ends the process with status 1.
[[noreturn]] void fatalError(const char* message, const char* path);

// Memory for whole files. A fresh page costs a fault on first touch, so a file of
// megabytes, read once, mostly pays for faults: buffers of 512 KiB or more are
// aligned to a huge page and ask for huge pages, which take one fault per 2 MiB.
struct FileMemory {
  static void* allocate(std::size_t bytes);
  static void release(void* memory) noexcept;
};

template <class T>
struct FileAllocator {
  using value_type = T;
  FileAllocator() = default;
  template <class U>
  FileAllocator(const FileAllocator<U>&) noexcept {}  // NOLINT: rebinding converts
  T* allocate(std::size_t count) { return static_cast<T*>(FileMemory::allocate(count * sizeof(T))); }
  void deallocate(T* memory, std::size_t) noexcept { FileMemory::release(memory); }
  template <class U>
  bool operator==(const FileAllocator<U>&) const noexcept { return true; }
};

using FileBytes = std::vector<std::uint8_t, FileAllocator<std::uint8_t>>;

// Archives are limited to a signed 32-bit count of bytes.
inline constexpr std::uint64_t kMaxArchiveSize = 2147483647;

// The whole file, read to its end whatever size it reports (files in /proc report 0;
// a file may grow while it is read); "-" reads standard input. Ends the process with
// "file open error", or "error reading" when a read fails or the data passes limit.
FileBytes readWholeFile(const char* path, std::uint64_t limit = kMaxArchiveSize);

}  // namespace quorvex::driver
