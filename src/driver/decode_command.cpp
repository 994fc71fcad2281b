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
#include "driver/output_signals.hpp"
#include "driver/progress_bar.hpp"
#include "quorvex/archive_listing.hpp"
#include "quorvex/decoder.hpp"
#include "quorvex/file_sink.hpp"

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

// One decoding run: the console lines go to `lines` (nullptr: nowhere), the progress
// bar to standard error.
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
    if (!lines) return;
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

// The reason of a failure goes to standard error unless -q asks for silence (-v and
// the variable bring it back).
bool explaining(const Options& options) {
  const char* variable = std::getenv(kExplainVariable);
  return options.verbose || (variable && *variable) || !options.quiet;
}

// How one decoding run speaks: where the format's console lines go, where its closing
// line ("done N bytes!" or "error!") goes, and whether a failure is explained.
struct Voice {
  std::FILE* lines = nullptr;    // block lines and traces; nullptr: none
  std::FILE* closing = nullptr;  // "done N bytes!" / "error!"; nullptr: none
  bool reasons = true;
};

// The format's program: its lines on standard output (standard error when the data
// takes standard output), only the closing line with -q.
Voice formatVoice(const Options& options, bool dataOnStandardOutput) {
  std::FILE* console = dataOnStandardOutput ? stderr : stdout;
  return {options.quiet ? nullptr : console, console, explaining(options)};
}

// -d: quiet as xz is; -v shows the block lines on standard error.
Voice xzVoice(const Options& options) { return {options.verbose ? stderr : nullptr, nullptr, !options.quiet || options.verbose}; }

void printLine(std::FILE* lines, const char* text) {
  if (!lines) return;
  std::fputs(text, lines);
  std::fflush(lines);
}

void printDone(std::FILE* lines, std::uint64_t size) { printLine(lines, doneLine(size).c_str()); }

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

int decodeToStandardOutput(const char* path, std::span<const std::uint8_t> archive, const Options& options,
                           const Voice& voice) {
  StandardOutputSink sink;
  DecodeResult result = decodeWithConsole(archive, sink, options, voice.lines);
  // Output held in the stream's buffer reaches the pipe or the device only now.
  if (std::fflush(stdout) != 0 && result.status != DecodeStatus::outputFailed) {
    result.status = DecodeStatus::outputFailed;
  }
  endOnProgramFailure(result, "standard output");
  if (!result.ok()) {
    printLine(voice.closing, "error!\n");
    if (voice.reasons) explainFailure(path, archive, result);
    // Standard output cannot be taken back: it holds what was decoded before the failure.
    if (options.salvage && salvageable(result)) reportSalvage(path, archive, result, "standard output");
    return 1;
  }
  printDone(voice.closing, result.outputSize);
  return 0;
}

// Decodes into a file. keepExisting: an existing regular file is refused (it needs -f).
int decodeToFile(const char* path, const ArchiveInput& input, const std::string& destination, bool keepExisting,
                 const Options& options, const Voice& voice) {
  const std::span<const std::uint8_t> archive = input.bytes();
  // A device, a FIFO or a socket is written to, not replaced, so it needs no -f.
  const Destination standing = destinationAt(destination);
  if (keepExisting && (standing == Destination::regular || standing == Destination::directory)) {
    std::fprintf(stderr, "quorvex: %s exists; use -f to replace it\n", destination.c_str());
    return 1;
  }
  if (sameFile(destination, input.device(), input.inode())) {
    std::fprintf(stderr, "quorvex: %s: the output would be the archive itself; name another output\n", path);
    return 1;
  }
  removeOutputOnSignals();
  FileSink output;
  if (!output.open(destination.c_str())) fatalError("file write error", destination.c_str());
  if (keepExisting) output.keepExistingDestination();
  const DecodeResult result = decodeWithConsole(archive, output, options, voice.lines);
  if (!result.ok() && !(options.salvage && salvageable(result))) output.discard();
  endOnProgramFailure(result, destination.c_str());
  if (!result.ok()) {
    printLine(voice.closing, "error!\n");
    if (voice.reasons) explainFailure(path, archive, result);
    if (options.salvage && salvageable(result)) {
      if (!output.truncate(result.completeOutputSize) || !output.commit()) {
        fatalError("file write error", destination.c_str());
      }
      reportSalvage(path, archive, result, destination.c_str());
    }
    return 1;
  }
  if (!output.commit()) fatalError("file write error", destination.c_str());
  printDone(voice.closing, result.outputSize);
  return 0;
}

constexpr std::string_view kArchiveSuffix = ".qvx";

// -d of one archive: ARCHIVE.qvx to ARCHIVE, "-" to standard output.
int decompressOne(const std::string& path, const Options& options) {
  const bool toStandardOutput = options.toStdout || (path == "-" && !options.outputPath);
  std::string destination;
  if (options.outputPath) {
    destination = *options.outputPath;
  } else if (!toStandardOutput) {
    if (path.size() <= kArchiveSuffix.size() || !path.ends_with(kArchiveSuffix)) {
      std::fprintf(stderr, "quorvex: %s: the name does not end in %s; name the output with -o, or use -c\n",
                   path.c_str(), kArchiveSuffix.data());
      return 1;
    }
    destination = path.substr(0, path.size() - kArchiveSuffix.size());
  }
  ArchiveInput input;
  if (!openArchiveOrReport(input, path.c_str())) return 1;
  const Voice voice = xzVoice(options);
  if (toStandardOutput) return decodeToStandardOutput(path.c_str(), input.bytes(), options, voice);
  return decodeToFile(path.c_str(), input, destination, !options.force, options, voice);
}

int runDecompress(const Options& options) {
  std::vector<std::string> paths = options.archives;
  if (paths.empty()) {
    if (::isatty(STDIN_FILENO) == 1) {
      std::fputs("quorvex: -d reads an archive from standard input only when it is not a terminal; name an ARCHIVE\n",
                 stderr);
      return kUsageError;
    }
    paths.push_back("-");
  }
  int status = 0;
  for (const std::string& path : paths) {
    if (decompressOne(path, options) != 0) status = 1;
  }
  return status;
}

}  // namespace

int runDecode(const Options& options) {
  if (options.decompress) return runDecompress(options);
  const char* path = options.archives.empty() ? kDefaultArchivePath : options.archives.front().c_str();
  // The format's program decodes the first archive; say so when there are more.
  if (options.archives.size() > 1 && !options.quiet) {
    std::fprintf(stderr, "quorvex: warning: only the first archive, %s, is decoded; -d decodes each of them\n", path);
  }
  ArchiveInput input;
  openArchiveOrExit(input, path);
  if (options.toStdout) return decodeToStandardOutput(path, input.bytes(), options, formatVoice(options, true));
  // The default "out" is the format's and is always replaced; a named PATH only with -f.
  const std::string destination = options.outputPath.value_or(kDefaultOutputPath);
  const bool keepExisting = options.outputPath && !options.force;
  return decodeToFile(path, input, destination, keepExisting, options, formatVoice(options, false));
}

int runTest(const Options& options) {
  std::vector<std::string> paths = options.archives;
  if (paths.empty()) paths.push_back(kDefaultArchivePath);
  int status = 0;
  // -q: nothing on standard output; the exit status and the reasons say it all.
  std::FILE* console = options.quiet ? nullptr : stdout;
  for (const std::string& path : paths) {
    if (paths.size() > 1 && console) std::fprintf(console, "%s:\n", path.c_str());
    ArchiveInput input;
    // A missing archive is reported, and the others are still tested.
    if (!openArchiveOrReport(input, path.c_str())) {
      status = 1;
      continue;
    }
    const std::span<const std::uint8_t> archive = input.bytes();
    DiscardingSink sink;
    const DecodeResult result = decodeWithConsole(archive, sink, options, console);
    endOnProgramFailure(result, nullptr);
    if (result.ok()) {
      printDone(console, result.outputSize);
      continue;
    }
    printLine(console, "error!\n");
    if (explaining(options)) explainFailure(path.c_str(), archive, result);
    status = 1;
  }
  return status;
}

}  // namespace quorvex::driver
