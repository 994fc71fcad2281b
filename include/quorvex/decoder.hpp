// Decoding a whole archive: the public entry of the library.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quorvex {

// The growing output of a run: every block's final bytes, in archive order.
class OutputImage {
 public:
  void append(std::span<const std::uint8_t> bytes) { bytes_.insert(bytes_.end(), bytes.begin(), bytes.end()); }
  const std::vector<std::uint8_t>& bytes() const { return bytes_; }
  std::size_t size() const { return bytes_.size(); }

 private:
  std::vector<std::uint8_t> bytes_;
};

struct DecodeOptions {
  // Receives each console line of the format ("Decoding BWT block %d->%d\n", the
  // "bwt round" trace, ...) with its newline. Unset: the lines are dropped.
  std::function<void(std::string_view line)> console;
};

enum class DecodeStatus {
  ok,
  badHeader,     // the 23-byte archive header is missing or wrong
  blockFailed,   // a block could not be decoded; the run stops there
  outOfMemory,   // the decoding buffers could not be allocated
};

struct DecodeResult {
  DecodeStatus status = DecodeStatus::ok;
  std::uint32_t failedBlock = 0;  // 0-based index among the archive's block records
  std::string reason;             // why, in words, for a person reading a failure

  bool ok() const { return status == DecodeStatus::ok; }
};

// Decodes every record of the archive into output. On failure the output holds the
// blocks decoded before the failing one; callers that must not publish partial
// results (like the command-line program) discard it.
DecodeResult decodeArchive(std::span<const std::uint8_t> archive, OutputImage& output, const DecodeOptions& options);

}  // namespace quorvex
