#include "driver/file_io.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "model/huge_pages.hpp"
#include "quorvex/decoder.hpp"

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


ArchiveInput::~ArchiveInput() {
  if (mapping_) ::munmap(mapping_, mappedSize_);
}

ArchiveInput::Status ArchiveInput::open(const char* path, std::uint64_t limit) {
  const bool standardInput = std::string_view(path) == "-";
  const int descriptor = standardInput ? STDIN_FILENO : ::open(path, O_RDONLY | O_CLOEXEC);
  if (descriptor < 0) return Status::openFailed;
  struct stat status {};
  Status result = Status::readFailed;
  if (::fstat(descriptor, &status) == 0) {
    device_ = static_cast<std::uint64_t>(status.st_dev);
    inode_ = static_cast<std::uint64_t>(status.st_ino);
    // A file that reports no size (those in /proc) is read like a pipe.
    result = S_ISREG(status.st_mode) && status.st_size > 0
                 ? map(descriptor, static_cast<std::uint64_t>(status.st_size))
                 : readInPieces(descriptor, limit);
  }
  if (!standardInput) ::close(descriptor);
  return result;
}

ArchiveInput::Status ArchiveInput::map(int descriptor, std::uint64_t size) {
  if (size > SIZE_MAX) return Status::tooLarge;
  void* mapping = ::mmap(nullptr, static_cast<std::size_t>(size), PROT_READ, MAP_PRIVATE, descriptor, 0);
  if (mapping == MAP_FAILED) return Status::readFailed;
  mapping_ = mapping;
  mappedSize_ = static_cast<std::size_t>(size);
  // The decoder reads mostly front to back: ask for the pages ahead of it.
  ::madvise(mapping_, mappedSize_, MADV_WILLNEED);
  bytes_ = {static_cast<const std::uint8_t*>(mapping_), mappedSize_};
  return startsWithArchiveHeader(bytes_) ? Status::ok : Status::notArchive;
}

ArchiveInput::Status ArchiveInput::readInPieces(int descriptor, std::uint64_t limit) {
  constexpr std::size_t kPiece = std::size_t{1} << 16;
  bool headerChecked = false;
  for (;;) {
    const std::size_t size = read_.size();
    read_.resize(size + kPiece);
    ssize_t got = 0;
    do {
      got = ::read(descriptor, read_.data() + size, kPiece);
    } while (got < 0 && errno == EINTR);
    read_.resize(size + static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
    bytes_ = read_;
    if (got < 0) return Status::readFailed;
    if (!headerChecked && (read_.size() >= kArchiveHeaderBytes || got == 0)) {
      headerChecked = true;
      if (!startsWithArchiveHeader(bytes_)) return Status::notArchive;
    }
    if (read_.size() > limit) return Status::tooLarge;
    if (got == 0) return Status::ok;
  }
}

bool openArchiveOrReport(ArchiveInput& input, const char* path) {
  const ArchiveInput::Status status = input.open(path);
  const char* reason = nullptr;
  switch (status) {
    case ArchiveInput::Status::ok:
    case ArchiveInput::Status::notArchive:
      return true;
    case ArchiveInput::Status::openFailed:
      reason = "cannot be opened";
      break;
    case ArchiveInput::Status::readFailed:
      reason = "cannot be read";
      break;
    case ArchiveInput::Status::tooLarge:
      std::fprintf(stderr, "quorvex: %s: more than %llu bytes, the most an archive read from a pipe or a device may hold\n",
                   path, static_cast<unsigned long long>(kMaxArchiveSize));
      return false;
  }
  std::fprintf(stderr, "quorvex: %s: %s: %s\n", path, reason, std::strerror(errno));
  return false;
}

void openArchiveOrExit(ArchiveInput& input, const char* path) {
  switch (input.open(path)) {
    case ArchiveInput::Status::ok:
    case ArchiveInput::Status::notArchive:
      return;
    case ArchiveInput::Status::openFailed:
      fatalError("file open error", path);
    case ArchiveInput::Status::readFailed:
      fatalError("error reading", path);
    case ArchiveInput::Status::tooLarge:
      fatalError(("error reading: more than " + std::to_string(kMaxArchiveSize) +
                  " bytes, the most an archive read from a pipe or a device may hold")
                     .c_str(),
                 path);
  }
}

}  // namespace quorvex::driver
