// The program's output sink: the decoded bytes go to a temporary file beside the
// destination, in large writes; only a finished run renames it into place, so the
// destination is either the whole output or exactly what it was before.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "quorvex/decoder.hpp"

namespace quorvex::driver {

class OutputFile final : public OutputSink {
 public:
  // Creates the temporary file; false when it cannot be created.
  bool open(const char* destination);
  ~OutputFile() override;  // removes the temporary file unless committed

  bool append(std::span<const std::uint8_t> bytes) override;

  // Writes what is buffered, syncs the file to the disk and renames it over the
  // destination. False (the temporary file removed) when any step fails.
  bool commit();
  // Removes the temporary file.
  void discard();
  // Keeps only the first size bytes appended so far (a salvage keeps the whole blocks).
  bool truncate(std::uint64_t size);
  // Makes commit fail rather than replace a destination that exists by then.
  void keepExistingDestination() { keepExisting_ = true; }

 private:
  bool flush();
  bool writeAll(const std::uint8_t* bytes, std::size_t size);

  std::string destination_;
  std::string temporary_;
  int descriptor_ = -1;
  bool failed_ = false;
  bool keepExisting_ = false;
  std::vector<std::uint8_t> buffer_;
};

// Removes the temporary file of the current run on SIGHUP, SIGINT and SIGTERM, then lets the
// signal end the process as it would have.
void removeOutputOnSignals();

}  // namespace quorvex::driver
