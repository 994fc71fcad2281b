// A sink that writes the decoded output to a file, whole or not at all: the bytes go to
// a temporary file beside the destination, in large writes; only commit() syncs it and
// renames it into place, so the destination is either the whole output or exactly what
// it was before.
//
// A destination that exists and is not a regular file (a device, a FIFO, a socket) is
// written directly instead: renaming over it would replace the node itself with a
// plain file (a null device turned into a file that fills the disk), and a FIFO's
// reader would never see the data. Such output cannot be taken back on a failure.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "quorvex/decoder.hpp"

namespace quorvex {

// What stands at a path that output is asked to go to (symbolic links followed).
enum class Destination : std::uint8_t {
  none,      // nothing: the output makes a new file
  regular,   // a regular file (or a dangling symbolic link): replaced only when the caller agrees
  inPlace,   // a device, a FIFO or a socket: written directly, never replaced
  directory, // never replaced
};
Destination destinationAt(const std::string& path);

// Whether two paths name the same file (same device and inode); false when either is
// missing.
bool sameFile(const std::string& path, std::uint64_t device, std::uint64_t inode);

class FileSink final : public OutputSink {
 public:
  FileSink() = default;
  FileSink(const FileSink&) = delete;
  FileSink& operator=(const FileSink&) = delete;
  // Creates the temporary file, or opens a device, FIFO or socket destination for
  // writing; false when that fails. A sink serves one destination: open it once.
  bool open(const char* destination);
  ~FileSink() override;  // removes the temporary file unless committed

  bool append(std::span<const std::uint8_t> bytes) override;

  // Writes what is buffered, syncs the file to the disk and renames it over the
  // destination (or, written in place, just closes it). False (the temporary file
  // removed) when any step fails.
  bool commit();
  // Removes the temporary file.
  void discard();
  // Keeps only the first size bytes appended so far (a salvage keeps the whole blocks).
  // Written in place, only bytes not yet written can be dropped.
  bool truncate(std::uint64_t size);
  // True when the destination is written directly (a device, a FIFO, a socket).
  bool inPlace() const { return inPlace_; }
  // Makes commit fail rather than replace a destination that exists by then.
  void keepExistingDestination() { keepExisting_ = true; }

 private:
  bool flush();
  bool writeAll(const std::uint8_t* bytes, std::size_t size);
  void forgetTemporary();

  std::string destination_;
  std::string temporary_;
  int descriptor_ = -1;
  int slot_ = -1;  // where the temporary's name is published for removeFileSinkTemporaries
  bool failed_ = false;
  bool keepExisting_ = false;
  bool inPlace_ = false;
  std::uint64_t written_ = 0;  // bytes written to the descriptor
  std::vector<std::uint8_t> buffer_;
};

// Removes the temporary file of every FileSink that is open and not yet committed.
// Safe to call from a signal handler: a program that wants an interrupted run to leave
// no temporary behind calls it from its own SIGINT and SIGTERM handlers (the library
// installs none; signals are the program's to handle). Sinks are tracked for this up to
// kTrackedFileSinks at a time, with names under 4096 bytes.
void removeFileSinkTemporaries() noexcept;
inline constexpr int kTrackedFileSinks = 16;

}  // namespace quorvex
