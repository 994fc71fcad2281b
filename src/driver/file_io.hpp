// Whole-file input and the fatal file errors of the program.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
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
  // A vector grown for reads leaves its new bytes as they are instead of zeroing them:
  // the reads fill them, and zeroing the maker's 64 MiB input buffer first touched every
  // page of it, even for a file of a few kilobytes.
  template <class U>
  void construct(U* element) noexcept {
    ::new (static_cast<void*>(element)) U;
  }
  template <class U, class... Args>
  void construct(U* element, Args&&... args) {
    ::new (static_cast<void*>(element)) U(std::forward<Args>(args)...);
  }
  template <class U>
  bool operator==(const FileAllocator<U>&) const noexcept { return true; }
};

using FileBytes = std::vector<std::uint8_t, FileAllocator<std::uint8_t>>;

// The most an archive read in pieces (a pipe, a device, a terminal) may hold: it is
// held in memory, and the format counts an archive's bytes in a signed 32-bit number,
// so no archive of the format is larger. Mapped files have no limit of their own.
inline constexpr std::uint64_t kMaxArchiveSize = 2147483647;

// The whole file, read to its end whatever size it reports (files in /proc report 0;
// a file may grow while it is read); "-" reads standard input. Ends the process with
// "file open error", or "error reading" when a read fails or the data passes limit.
FileBytes readWholeFile(const char* path, std::uint64_t limit = kMaxArchiveSize);

// An archive's bytes for one run. A regular file (standard input too, when it is
// redirected from one) is mapped: its pages come from the page cache as the decoder
// reaches them, so an archive of any size costs no memory of the process's own.
// Anything else (a pipe, a device) is read in pieces up to kMaxArchiveSize, and its
// first 23 bytes are checked as soon as they arrive: what is not an archive is turned
// away at once instead of read to its end (an endless device has none).
class ArchiveInput {
 public:
  enum class Status : std::uint8_t {
    ok,
    openFailed,  // cannot be opened
    readFailed,  // a read failed
    tooLarge,    // read in pieces, and longer than kMaxArchiveSize
    notArchive,  // does not start with the archive header: bytes() holds what was read
  };

  ArchiveInput() = default;
  ~ArchiveInput();
  ArchiveInput(const ArchiveInput&) = delete;
  ArchiveInput& operator=(const ArchiveInput&) = delete;

  // path "-": standard input. limit: the most bytes read in pieces.
  Status open(const char* path, std::uint64_t limit = kMaxArchiveSize);
  std::span<const std::uint8_t> bytes() const { return bytes_; }
  // The device and inode of the file read: an output must not be the same file.
  std::uint64_t device() const { return device_; }
  std::uint64_t inode() const { return inode_; }

 private:
  Status map(int descriptor, std::uint64_t size);
  Status readInPieces(int descriptor, std::uint64_t limit);

  void* mapping_ = nullptr;
  std::size_t mappedSize_ = 0;
  FileBytes read_;
  std::span<const std::uint8_t> bytes_;
  std::uint64_t device_ = 0;
  std::uint64_t inode_ = 0;
};

// Opens an archive for a command, or ends the process as the format's program does:
// "file open error" or "error reading" after the path. An input that is not an archive
// comes back with its first bytes, for the decoder to refuse in the format's words.
void openArchiveOrExit(ArchiveInput& input, const char* path);
// The same, for a command that goes on to its next archive: prints the reason
// ("quorvex: PATH: cannot be opened: ...") and returns false instead of ending.
bool openArchiveOrReport(ArchiveInput& input, const char* path);

}  // namespace quorvex::driver
