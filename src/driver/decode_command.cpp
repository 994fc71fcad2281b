// Decoding and testing: the format's record loop with the format's console lines,
// into "out" (whole or untouched), another file, standard output, or nowhere.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "driver/commands.hpp"
#include "driver/file_io.hpp"
#include "driver/numbers.hpp"
#include "driver/output_file.hpp"
#include "driver/progress_bar.hpp"
#include "quorvex/archive_listing.hpp"
#include "quorvex/decoder.hpp"

namespace quorvex::driver {
namespace {

constexpr const char* kDefaultArchivePath = "archive.qvx";
constexpr const char* kDefaultOutputPath = "out";
// Set to any non-empty value to have a failure explained on standard error (as -v does).
constexpr const char* kExplainVariable = "QUORVEX_EXPLAIN";

// Passes the output on, counting it for the progress bar.
class CountedSink final : public OutputSink {
 public:
  CountedSink(OutputSink& next, ProgressBar& bar) : next_(next), bar_(bar) {}
  bool append(std::span<const std::uint8_t> bytes) override {
    bar_.addOutput(bytes.size());
    return next_.append(bytes);
  }

 private:
  OutputSink& next_;
  ProgressBar& bar_;
};

class StandardOutputSink final : public OutputSink {
 public:
  bool append(std::span<const std::uint8_t> bytes) override {
    return std::fwrite(bytes.data(), 1, bytes.size(), stdout) == bytes.size();
  }
};

class DiscardingSink final : public OutputSink {
 public:
  bool append(std::span<const std::uint8_t>) override { return true; }
};

// Where a block record starts in the archive; the progress bar moves to it when the
// block's console line appears.
std::vector<std::uint64_t> blockOffsets(std::span<const std::uint8_t> archive) {
  std::vector<std::uint64_t> offsets;
  for (const ListedRecord& record : listArchive(archive).records) {
    if (record.kind == ListedRecordKind::block) offsets.push_back(record.offset);
  }
  return offsets;
}

// One decoding run: the console lines go to `lines` (unless quiet), the progress bar
// to standard error.
DecodeResult decodeWithConsole(std::span<const std::uint8_t> archive, OutputSink& sink, const Options& options,
                               std::FILE* lines) {
  const bool showBar = !options.quiet && ProgressBar::stderrIsTerminal();
  const std::vector<std::uint64_t> offsets = showBar ? blockOffsets(archive) : std::vector<std::uint64_t>{};
  ProgressBar bar(showBar, archive.size());
  std::size_t blocksStarted = 0;
  DecodeOptions decodeOptions;
  decodeOptions.console = [&](std::string_view line) {
    // Every block prints exactly one line that starts so, before it is decoded: the
    // blocks before it are done. (The header alone says nothing about the speed.)
    if (showBar && line.starts_with("Decoding ") && blocksStarted < offsets.size()) {
      if (blocksStarted > 0) bar.setInput(offsets[blocksStarted]);
      ++blocksStarted;
    }
    if (options.quiet) return;
    bar.printAbove([&] {
      std::fwrite(line.data(), 1, line.size(), lines);
      std::fflush(lines);
    });
  };
  if (options.memoryLimit) decodeOptions.memoryLimit = *options.memoryLimit;
  decodeOptions.threads = options.threads;
  CountedSink counted(sink, bar);
  return decodeArchive(archive, counted, decodeOptions);
}

std::string blockPlace(std::span<const std::uint8_t> archive, std::uint32_t blockIndex) {
  const std::vector<std::uint64_t> offsets = blockOffsets(archive);
  std::string place = "block " + std::to_string(blockIndex);
  if (blockIndex < offsets.size()) place += " (archive offset " + std::to_string(offsets[blockIndex]) + ")";
  return place;
}

// Why the run failed, on standard error: which block and where it starts, which check.
void explainFailure(const char* path, std::span<const std::uint8_t> archive, const DecodeResult& result) {
  std::string text = result.reason;
  if (result.status == DecodeStatus::blockFailed) {
    // The reason starts with "block N: "; say where that block stands in the archive.
    const std::string prefix = "block " + std::to_string(result.failedBlock);
    if (text.starts_with(prefix)) text = blockPlace(archive, result.failedBlock) + text.substr(prefix.size());
  }
  std::fprintf(stderr, "quorvex: %s: %s\n", path, text.c_str());
}

bool explaining(const Options& options) {
  const char* variable = std::getenv(kExplainVariable);
  return options.verbose || (variable && *variable);
}

void printLine(std::FILE* lines, const char* text) {
  std::fputs(text, lines);
  std::fflush(lines);
}

void printDone(std::FILE* lines, std::uint64_t size) {
  std::fputs(doneLine(size).c_str(), lines);
  std::fflush(lines);
}

// The failures that are the program's, not the archive's, end the process.
void endOnProgramFailure(const DecodeResult& result, const char* outputName) {
  if (result.status == DecodeStatus::outOfMemory) fatalError("out of memory", nullptr);
  if (result.status == DecodeStatus::outputFailed) fatalError("file write error", outputName);
}

bool salvageable(const DecodeResult& result) {
  return result.status == DecodeStatus::blockFailed || result.status == DecodeStatus::checkFailed;
}

void reportSalvage(const char* path, std::span<const std::uint8_t> archive, const DecodeResult& result,
                   const char* destination) {
  const std::string where = result.status == DecodeStatus::blockFailed ? "at " + blockPlace(archive, result.failedBlock)
                                                                       : "at a failed integrity check";
  std::fprintf(stderr, "quorvex: %s: decoding stopped %s; %s keeps the %llu bytes of the whole blocks before it\n",
               path, where.c_str(), destination, static_cast<unsigned long long>(result.completeOutputSize));
}

int decodeToStandardOutput(const char* path, std::span<const std::uint8_t> archive, const Options& options) {
  StandardOutputSink sink;
  DecodeResult result = decodeWithConsole(archive, sink, options, stderr);
  // Output held in the stream's buffer reaches the pipe or the device only now.
  if (std::fflush(stdout) != 0 && result.status != DecodeStatus::outputFailed) {
    result.status = DecodeStatus::outputFailed;
  }
  endOnProgramFailure(result, "standard output");
  if (!result.ok()) {
    printLine(stderr, "error!\n");
    if (explaining(options)) explainFailure(path, archive, result);
    // Standard output cannot be taken back: it holds what was decoded before the failure.
    if (options.salvage && salvageable(result)) reportSalvage(path, archive, result, "standard output");
    return 1;
  }
  printDone(stderr, result.outputSize);
  return 0;
}

}  // namespace

int runDecode(const Options& options) {
  const char* path = options.archives.empty() ? kDefaultArchivePath : options.archives.front().c_str();
  ArchiveInput input;
  openArchiveOrExit(input, path);
  const std::span<const std::uint8_t> archive = input.bytes();
  if (options.toStdout) return decodeToStandardOutput(path, archive, options);

  const std::string destination = options.outputPath.value_or(kDefaultOutputPath);
  // The default "out" is the format's and is always replaced; a named PATH only with -f.
  // A device, a FIFO or a socket is written to, not replaced, so it needs no -f.
  const bool keepExisting = options.outputPath && !options.force;
  const Destination standing = destinationAt(destination);
  if (keepExisting && (standing == Destination::regular || standing == Destination::directory)) {
    std::fprintf(stderr, "quorvex: %s exists; use -f to replace it\n", destination.c_str());
    return 1;
  }
  if (options.outputPath && sameFile(destination, input.device(), input.inode())) {
    std::fprintf(stderr, "quorvex: %s: the output would be the archive itself; name another output\n", path);
    return 1;
  }
  removeOutputOnSignals();
  OutputFile output;
  if (!output.open(destination.c_str())) fatalError("file write error", destination.c_str());
  if (keepExisting) output.keepExistingDestination();
  const DecodeResult result = decodeWithConsole(archive, output, options, stdout);
  if (!result.ok() && !(options.salvage && salvageable(result))) output.discard();
  endOnProgramFailure(result, destination.c_str());
  if (!result.ok()) {
    printLine(stdout, "error!\n");
    if (explaining(options)) explainFailure(path, archive, result);
    if (options.salvage && salvageable(result)) {
      if (!output.truncate(result.completeOutputSize) || !output.commit()) {
        fatalError("file write error", destination.c_str());
      }
      reportSalvage(path, archive, result, destination.c_str());
    }
    return 1;
  }
  if (!output.commit()) fatalError("file write error", destination.c_str());
  printDone(stdout, result.outputSize);
  return 0;
}

int runTest(const Options& options) {
  std::vector<std::string> paths = options.archives;
  if (paths.empty()) paths.push_back(kDefaultArchivePath);
  int status = 0;
  for (const std::string& path : paths) {
    if (paths.size() > 1) std::printf("%s:\n", path.c_str());
    ArchiveInput input;
    openArchiveOrExit(input, path.c_str());
    const std::span<const std::uint8_t> archive = input.bytes();
    DiscardingSink sink;
    const DecodeResult result = decodeWithConsole(archive, sink, options, stdout);
    endOnProgramFailure(result, nullptr);
    if (result.ok()) {
      printDone(stdout, result.outputSize);
      continue;
    }
    printLine(stdout, "error!\n");
    if (explaining(options)) explainFailure(path.c_str(), archive, result);
    status = 1;
  }
  return status;
}

}  // namespace quorvex::driver
