// Creating an archive: the input files, one after another, through the archive maker.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "driver/commands.hpp"
#include "driver/file_io.hpp"
#include "driver/output_file.hpp"
#include "driver/progress_bar.hpp"
#include "quorvex/archive_maker.hpp"

namespace quorvex::driver {
namespace {

constexpr const char* kArchiveSuffix = ".qvx";

// Inputs have no format limit of their own; this keeps one file within what a size_t
// and the maker's block arithmetic hold comfortably.
constexpr std::uint64_t kMaxInputSize = std::uint64_t{1} << 40;

// The archive's name: -o, or FILE.qvx for a single named FILE. Empty when it cannot be
// chosen (several files, standard input).
std::string archivePath(const Options& options) {
  if (options.outputPath) return *options.outputPath;
  if (options.inputs.size() == 1 && options.inputs.front().path != "-") return options.inputs.front().path + kArchiveSuffix;
  return {};
}

// A named regular file's size as the file system gives it before reading (standard
// input and files in /proc tell nothing): the progress bar's first total.
std::uint64_t announcedSize(const std::string& path) {
  struct stat status {};
  if (path == "-" || ::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return 0;
  return static_cast<std::uint64_t>(status.st_size);
}

bool exists(const std::string& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0;
}

}  // namespace

int runCreate(const Options& options) {
  const std::string path = options.toStdout ? std::string() : archivePath(options);
  if (!options.toStdout && path.empty()) {
    std::fprintf(stderr, "quorvex: name the archive of %s with -o (or write it to standard output with -c)\n",
                 options.inputs.size() > 1 ? "several files" : "standard input");
    return kUsageError;
  }
  if (options.toStdout && ::isatty(STDOUT_FILENO) == 1) {
    std::fputs("quorvex: an archive is not written to a terminal; redirect standard output or use -o\n", stderr);
    return 1;
  }
  if (!path.empty() && !options.force && exists(path)) {
    std::fprintf(stderr, "quorvex: %s exists; use -f to replace it\n", path.c_str());
    return 1;
  }

  const bool showBar = !options.quiet && ProgressBar::stderrIsTerminal();
  std::uint64_t expectedInput = 0;
  for (const CreateInput& input : options.inputs) expectedInput += announcedSize(input.path);
  std::optional<ProgressBar> bar;
  bar.emplace(showBar, expectedInput, ProgressBar::Speed::ofInput);

  MakerOptions makerOptions = options.maker;
  const ArchiveMaker* making = nullptr;
  std::uint64_t archiveShown = 0;
  if (showBar) {
    makerOptions.onCoded = [&](std::size_t inputBytes) {
      bar->addInput(inputBytes);
      const std::uint64_t archiveSize = making->bytes().size();
      bar->addOutput(archiveSize - archiveShown);
      archiveShown = archiveSize;
    };
  }
  ArchiveMaker maker(makerOptions);
  making = &maker;
  std::uint64_t inputSize = 0;
  for (const CreateInput& input : options.inputs) {
    const std::uint64_t announced = announcedSize(input.path);
    const FileBytes data = readWholeFile(input.path.c_str(), kMaxInputSize);
    inputSize += data.size();
    expectedInput = expectedInput - announced + data.size();
    bar->setTotal(expectedInput);
    if (const AddResult added = maker.addFile(data, input.codec); !added) {
      bar.reset();
      std::fprintf(stderr, "quorvex: %s: refused as audio: %s\n", input.path.c_str(), describeRefusal(added.refusal));
      return 1;
    }
  }
  bar.reset();
  const std::vector<std::uint8_t>& archive = maker.bytes();
  if (options.toStdout) {
    if (std::fwrite(archive.data(), 1, archive.size(), stdout) != archive.size() || std::fflush(stdout) != 0) {
      fatalError("file write error", "standard output");
    }
  } else {
    // The same all-or-nothing output as decoding: a temporary file, synced, renamed into
    // place; without -f, a file that appeared at path meanwhile is kept, not replaced.
    removeOutputOnSignals();
    OutputFile output;
    if (!output.open(path.c_str())) fatalError("file write error", path.c_str());
    if (!options.force) output.keepExistingDestination();
    if (!output.append(archive) || !output.commit()) fatalError("file write error", path.c_str());
  }
  if (options.verbose) {
    std::fprintf(stderr, "quorvex: %s: %llu bytes from %llu bytes of input", options.toStdout ? "-" : path.c_str(),
                 static_cast<unsigned long long>(archive.size()), static_cast<unsigned long long>(inputSize));
    if (inputSize != 0) std::fprintf(stderr, " (%.2f%%)", 100.0 * static_cast<double>(archive.size()) / static_cast<double>(inputSize));
    std::fputs("\n", stderr);
  }
  return 0;
}

}  // namespace quorvex::driver
