// Decoding a whole archive: the public entry of the library.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quorvex {

// Receives the decoded output: each finished block's bytes, in archive order. The
// decoder never needs the whole output at once, so a sink may write it to a file or a
// pipe as it comes.
class OutputSink {
 public:
  virtual ~OutputSink() = default;
  // Takes the next bytes. False when they cannot be kept (a full disk): the run then
  // stops with DecodeStatus::outputFailed.
  virtual bool append(std::span<const std::uint8_t> bytes) = 0;
};

// A sink that keeps the whole output in memory.
class OutputImage final : public OutputSink {
 public:
  bool append(std::span<const std::uint8_t> bytes) override {
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    return true;
  }
  const std::vector<std::uint8_t>& bytes() const { return bytes_; }
  std::size_t size() const { return bytes_.size(); }

 private:
  std::vector<std::uint8_t> bytes_;
};

// The default memory limit, 2 GiB: some forty times the model the archive maker
// writes (about 50 MB: a 4 MiB context table, 4 MiB of match entries and a 16 MiB
// window, with 22 MB of fixed tables), with room for a 1 GiB context table or a 1 GiB
// window besides.
inline constexpr std::uint64_t kDefaultMemoryLimit = std::uint64_t{2} << 30;

// DecodeOptions::threads for one thread per core.
inline constexpr unsigned kThreadsPerCore = 0;

struct DecodeOptions {
  // Receives each console line of the format ("Decoding BWT block %d->%d\n", the
  // "bwt round" trace, ...) with its newline. Unset: the lines are dropped.
  std::function<void(std::string_view line)> console;
  // The most memory, in bytes, that the model an archive sizes itself may reserve: the
  // context-mixing model of a codec-parameter record (its hash tables and history
  // window). A block whose model would need more fails, saying how much it needs. The
  // fixed buffers (the history window, the work buffers, the LZ and audio models) are
  // not counted: their sizes do not depend on the archive, and they cost only the
  // pages a run touches. 0: no limit but the codec's own ceiling of 3 GiB.
  std::uint64_t memoryLimit = kDefaultMemoryLimit;
  // Threads the decoder may run independent work on; 1 decodes sequentially, 0 takes
  // one per core (kThreadsPerCore, as the command-line program does). The output and
  // the console lines are the same for every count. The default stays 1: a library
  // call starts no threads its caller did not ask for (a server decoding archives side
  // by side would otherwise run cores times as many), and one thread holds the least
  // memory.
  unsigned threads = 1;
  // For tests: decode as a decoder that does not know this project's member records
  // (it skips them, and then meets the barrier block behind each one).
  bool ignoreMemberRecords = false;
  // For tests: a history window of this many bytes instead of the format's (0), to
  // match archives made with a smaller member window.
  std::uint32_t windowSize = 0;
};

enum class DecodeStatus {
  ok,
  badHeader,     // the 23-byte archive header is missing or wrong
  blockFailed,   // a block could not be decoded; the run stops there
  outOfMemory,   // the decoding buffers could not be allocated
  checkFailed,   // an integrity record does not match the output, or the archive ends before its closing one
  outputFailed,  // the sink could not keep the output
};

struct DecodeResult {
  DecodeStatus status = DecodeStatus::ok;
  std::uint32_t failedBlock = 0;  // 0-based index among the archive's block records
  std::string reason;             // why, in words, for a person reading a failure
  std::uint64_t outputSize = 0;   // bytes handed to the sink
  // Of those, the bytes that can be kept after a failure: the output of the blocks before
  // the failing one that decoded whole (an audio block may hand over part of itself
  // before it fails), and, in an archive with integrity records, only as far as the
  // last record that matched. Equal to outputSize after a successful run.
  std::uint64_t completeOutputSize = 0;

  bool ok() const { return status == DecodeStatus::ok; }
};

// Bytes every archive starts with (the signature and version records).
inline constexpr std::size_t kArchiveHeaderBytes = 23;

// Whether bytes start with the archive header: a reader of an archive that arrives in
// pieces can turn away what is not an archive before reading the rest.
bool startsWithArchiveHeader(std::span<const std::uint8_t> bytes);

// Decodes every record of the archive into output. On failure the sink has received
// the blocks decoded before the failing one (and possibly part of it); callers that
// must not publish partial results (like the command-line program) discard them.
DecodeResult decodeArchive(std::span<const std::uint8_t> archive, OutputSink& output, const DecodeOptions& options);

}  // namespace quorvex
