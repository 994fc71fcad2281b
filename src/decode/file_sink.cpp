#include "quorvex/file_sink.hpp"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quorvex {
namespace {

// Bytes gathered before one write call. Pieces of kDirectWriteSize or more (a block's
// output, mostly) are written as they come: copying them into the buffer first costs a
// pass over the output and the buffer's page faults, and saves no system call.
constexpr std::size_t kWriteSize = std::size_t{4} << 20;
constexpr std::size_t kDirectWriteSize = std::size_t{64} << 10;

// The names of the open sinks' temporary files, for removeFileSinkTemporaries, which
// may only use what is safe in a signal handler: fixed buffers, lock-free atomics and
// unlink. A slot is free (0), being filled (1) or published (2).
struct PendingTemporary {
  std::atomic<int> state{0};
  char path[4096];
};
PendingTemporary pendingTemporaries[kTrackedFileSinks];
static_assert(std::atomic<int>::is_always_lock_free);

// Publishes path in a free slot; -1 when the name is too long or every slot is taken
// (the sink still works, only an interrupt would leave its temporary behind).
int publishTemporary(const std::string& path) {
  if (path.size() >= sizeof pendingTemporaries[0].path) return -1;
  for (int slot = 0; slot < kTrackedFileSinks; ++slot) {
    PendingTemporary& pending = pendingTemporaries[slot];
    int expected = 0;
    if (!pending.state.compare_exchange_strong(expected, 1)) continue;
    std::memcpy(pending.path, path.c_str(), path.size() + 1);
    pending.state.store(2, std::memory_order_release);
    return slot;
  }
  return -1;
}

bool moveIntoPlace(const char* from, const char* to, bool keepExisting) {
  if (!keepExisting) return std::rename(from, to) == 0;
  if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return true;
  // A file system without the flag: a hard link never replaces a file either.
  if (errno != EINVAL && errno != ENOSYS) return false;
  return ::link(from, to) == 0 && ::unlink(from) == 0;
}

// A rename reaches the disk with its directory: sync that too, so that a crash right
// after a finished run cannot bring back the old destination. The new file is in place
// by now, whatever happens here, so a directory that cannot be synced (some file
// systems refuse) does not fail the run.
void syncDirectoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const int descriptor = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (descriptor < 0) return;
  ::fsync(descriptor);
  ::close(descriptor);
}

}  // namespace

void removeFileSinkTemporaries() noexcept {
  for (PendingTemporary& pending : pendingTemporaries) {
    if (pending.state.load(std::memory_order_acquire) == 2) ::unlink(pending.path);
  }
}

Destination destinationAt(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) {
    // A dangling symbolic link: renaming over it would replace the link.
    return ::lstat(path.c_str(), &status) == 0 ? Destination::regular : Destination::none;
  }
  if (S_ISREG(status.st_mode)) return Destination::regular;
  if (S_ISDIR(status.st_mode)) return Destination::directory;
  return Destination::inPlace;
}

bool sameFile(const std::string& path, std::uint64_t device, std::uint64_t inode) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 && static_cast<std::uint64_t>(status.st_dev) == device &&
         static_cast<std::uint64_t>(status.st_ino) == inode;
}

bool FileSink::open(const char* destination) {
  destination_ = destination;
  if (destinationAt(destination_) == Destination::inPlace) {
    // No O_CREAT: if the node is gone by now, fail rather than make a plain file.
    do {
      descriptor_ = ::open(destination, O_WRONLY | O_CLOEXEC | O_NOCTTY);
    } while (descriptor_ < 0 && errno == EINTR);
    if (descriptor_ < 0) return false;
    inPlace_ = true;
    buffer_.reserve(kWriteSize);
    return true;
  }
  temporary_ = destination_ + ".partial-XXXXXX";
  // Block the signals while the name is being published, so that a handler calling
  // removeFileSinkTemporaries never misses a file it should remove.
  sigset_t signals, previous;
  sigemptyset(&signals);
  sigaddset(&signals, SIGHUP);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, &previous);
  descriptor_ = ::mkstemp(temporary_.data());
  if (descriptor_ >= 0) slot_ = publishTemporary(temporary_);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (descriptor_ < 0) return false;
  buffer_.reserve(kWriteSize);
  return true;
}

FileSink::~FileSink() { discard(); }

bool FileSink::writeAll(const std::uint8_t* bytes, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(descriptor_, bytes, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    written_ += static_cast<std::uint64_t>(written);
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

bool FileSink::flush() {
  if (!failed_ && !writeAll(buffer_.data(), buffer_.size())) failed_ = true;
  buffer_.clear();
  return !failed_;
}

bool FileSink::append(std::span<const std::uint8_t> bytes) {
  if (failed_ || descriptor_ < 0) return false;
  if ((bytes.size() >= kDirectWriteSize || buffer_.size() + bytes.size() > kWriteSize) && !flush()) return false;
  if (bytes.size() >= kDirectWriteSize) {
    failed_ = !writeAll(bytes.data(), bytes.size());
    return !failed_;
  }
  buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
  return true;
}

bool FileSink::commit() {
  if (descriptor_ < 0 || !flush()) {
    discard();
    return false;
  }
  if (inPlace_) {
    // Devices and pipes keep nothing to sync; close reports a write that failed late.
    const bool closed = ::close(descriptor_) == 0;
    descriptor_ = -1;
    return closed;
  }
  // mkstemp makes the file private to its owner; give it the usual permissions.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  bool done = ::fchmod(descriptor_, 0666 & ~mask) == 0 && ::fsync(descriptor_) == 0;
  done = ::close(descriptor_) == 0 && done;
  descriptor_ = -1;
  if (!done || !moveIntoPlace(temporary_.c_str(), destination_.c_str(), keepExisting_)) {
    discard();
    return false;
  }
  forgetTemporary();
  syncDirectoryOf(destination_);
  return true;
}

bool FileSink::truncate(std::uint64_t size) {
  if (descriptor_ < 0) return false;
  if (inPlace_) {
    if (size < written_ || size - written_ > buffer_.size()) return false;
    buffer_.resize(static_cast<std::size_t>(size - written_));
    return flush();
  }
  if (!flush()) return false;
  return ::ftruncate(descriptor_, static_cast<off_t>(size)) == 0;
}

void FileSink::discard() {
  buffer_.clear();
  if (descriptor_ >= 0) ::close(descriptor_);
  descriptor_ = -1;
  if (!temporary_.empty()) ::unlink(temporary_.c_str());
  forgetTemporary();
}

void FileSink::forgetTemporary() {
  if (slot_ >= 0) pendingTemporaries[slot_].state.store(0, std::memory_order_release);
  slot_ = -1;
  temporary_.clear();
}

}  // namespace quorvex
