#include "driver/file_io.hpp"

#include <cstdio>
#include <cstdlib>
#include <new>
#include <string_view>

#include "model/huge_pages.hpp"

#include <sys/stat.h>

namespace quorvex::driver {

void* FileMemory::allocate(std::size_t bytes) {
  // From a quarter of a huge page on, one fault for the whole page beats 128 or more.
  constexpr std::size_t kHugeFrom = kHugePageBytes / 4;
  void* memory = nullptr;
  if (bytes >= kHugeFrom) {
    const std::size_t rounded = alignUp(bytes, kHugePageBytes);
    if (rounded < bytes) throw std::bad_alloc();
    memory = std::aligned_alloc(kHugePageBytes, rounded);
    if (memory) adviseHugePages(memory, rounded);
  } else {
    memory = std::malloc(bytes == 0 ? 1 : bytes);
  }
  if (!memory) throw std::bad_alloc();
  return memory;
}

void FileMemory::release(void* memory) noexcept { std::free(memory); }
void fatalError(const char* message, const char* path) {
  std::fflush(stdout);
  if (path) std::fprintf(stderr, "%s: ", path);
  std::fprintf(stderr, "%s\n", message);
  std::exit(1);
}

FileBytes readWholeFile(const char* path, std::uint64_t limit) {
  const bool standardInput = std::string_view(path) == "-";
  std::FILE* file = standardInput ? stdin : std::fopen(path, "rb");
  if (!file) fatalError("file open error", path);
  FileBytes bytes;
  constexpr std::size_t kChunk = std::size_t{1} << 16;
  // The reported size is only a hint for the first allocation, which leaves room for
  // the last read, that finds the end: a file of the size it reported is never moved.
  struct stat status {};
  if (::fstat(::fileno(file), &status) == 0 && status.st_size > 0 &&
      static_cast<std::uint64_t>(status.st_size) <= limit) {
    bytes.reserve(static_cast<std::size_t>(status.st_size) + kChunk);
  }
  bool complete = true;
  for (;;) {
    const std::size_t size = bytes.size();
    bytes.resize(size + kChunk);
    const std::size_t got = std::fread(bytes.data() + size, 1, kChunk, file);
    bytes.resize(size + got);
    if (bytes.size() > limit) {
      complete = false;
      break;
    }
    if (got < kChunk) {
      complete = !std::ferror(file);
      break;
    }
  }
  if (!standardInput) std::fclose(file);
  if (!complete) fatalError("error reading", path);
  return bytes;
}

}  // namespace quorvex::driver
