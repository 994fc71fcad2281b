#include "driver/output_file.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quorvex::driver {
namespace {

// Bytes gathered before one write call. Pieces of kDirectWriteSize or more (a block's
// output, mostly) are written as they come: copying them into the buffer first costs a
// pass over the output and the buffer's page faults, and saves no system call.
constexpr std::size_t kWriteSize = std::size_t{4} << 20;
constexpr std::size_t kDirectWriteSize = std::size_t{64} << 10;

// The temporary file's name, for the signal handler (which may only use what is
// safe in a handler: a fixed buffer and unlink).
char pendingPath[4096];
volatile std::sig_atomic_t pendingSet = 0;

void setPending(const std::string& path) {
  if (path.size() >= sizeof pendingPath) return;
  std::memcpy(pendingPath, path.c_str(), path.size() + 1);
  pendingSet = 1;
}

void onSignal(int signal) {
  if (pendingSet) ::unlink(pendingPath);
  std::signal(signal, SIG_DFL);
  std::raise(signal);
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

void removeOutputOnSignals() {
  std::signal(SIGHUP, onSignal);
  std::signal(SIGINT, onSignal);
  std::signal(SIGTERM, onSignal);
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

bool OutputFile::open(const char* destination) {
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
  // Block the signals while the name is being published, so that the handler never
  // misses a file it should remove.
  sigset_t signals, previous;
  sigemptyset(&signals);
  sigaddset(&signals, SIGHUP);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigprocmask(SIG_BLOCK, &signals, &previous);
  descriptor_ = ::mkstemp(temporary_.data());
  if (descriptor_ >= 0) setPending(temporary_);
  sigprocmask(SIG_SETMASK, &previous, nullptr);
  if (descriptor_ < 0) return false;
  buffer_.reserve(kWriteSize);
  return true;
}

OutputFile::~OutputFile() { discard(); }

bool OutputFile::writeAll(const std::uint8_t* bytes, std::size_t size) {
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

bool OutputFile::flush() {
  if (!failed_ && !writeAll(buffer_.data(), buffer_.size())) failed_ = true;
  buffer_.clear();
  return !failed_;
}

bool OutputFile::append(std::span<const std::uint8_t> bytes) {
  if (failed_ || descriptor_ < 0) return false;
  if ((bytes.size() >= kDirectWriteSize || buffer_.size() + bytes.size() > kWriteSize) && !flush()) return false;
  if (bytes.size() >= kDirectWriteSize) {
    failed_ = !writeAll(bytes.data(), bytes.size());
    return !failed_;
  }
  buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
  return true;
}

bool OutputFile::commit() {
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
  pendingSet = 0;
  temporary_.clear();
  syncDirectoryOf(destination_);
  return true;
}

bool OutputFile::truncate(std::uint64_t size) {
  if (descriptor_ < 0) return false;
  if (inPlace_) {
    if (size < written_ || size - written_ > buffer_.size()) return false;
    buffer_.resize(static_cast<std::size_t>(size - written_));
    return flush();
  }
  if (!flush()) return false;
  return ::ftruncate(descriptor_, static_cast<off_t>(size)) == 0;
}

void OutputFile::discard() {
  buffer_.clear();
  if (descriptor_ >= 0) ::close(descriptor_);
  descriptor_ = -1;
  if (!temporary_.empty()) ::unlink(temporary_.c_str());
  pendingSet = 0;
  temporary_.clear();
}

}  // namespace quorvex::driver
