// Creating an archive: the input files, one after another, through the archive maker.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <optional>
#include <span>
#include <string_view>
#include <string>
#include <vector>

#include "driver/commands.hpp"
#include "driver/file_io.hpp"
#include "driver/output_signals.hpp"
#include "driver/progress_bar.hpp"
#include "quorvex/archive_maker.hpp"
#include "quorvex/file_sink.hpp"

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

// The input that is the same file as the archive's path, if any: making the archive
// would replace that input.
const CreateInput* inputAtArchivePath(const Options& options, const std::string& archive) {
  for (const CreateInput& input : options.inputs) {
    struct stat status {};
    const bool named = input.path != "-" && ::stat(input.path.c_str(), &status) == 0;
    if (named && sameFile(archive, static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino))) {
      return &input;
    }
  }
  return nullptr;
}

// Refuses to make an archive of an archive unless asked to (-f): a name that already
// ends in .qvx was most likely meant for -d.
bool refuseArchiveInputs(const Options& options) {
  if (options.force) return false;
  for (const CreateInput& input : options.inputs) {
    if (input.path.size() > 4 && input.path.ends_with(kArchiveSuffix)) {
      std::fprintf(stderr, "quorvex: %s already ends in %s; use -f to make an archive of it anyway\n",
                   input.path.c_str(), kArchiveSuffix);
      return true;
    }
  }
  return false;
}

// Standard input alone with no -o: the archive goes to standard output (a pipe or a
// file), as a filter's does.
bool filtersStandardInput(const Options& options) {
  return !options.outputPath && options.inputs.size() == 1 && options.inputs.front().path == "-";
}

// A file (or standard input, "-") read in pieces of kInputPieceSize bytes: the maker
// takes one piece at a time, so memory follows the piece, not the input. Pieces are
// long enough that files up to their size are made exactly as when read whole, and a
// multiple of every block and context-mixing section size the levels use. A piece ends
// early when its end would cut a WAV file's header: those bytes begin the next one.
constexpr std::size_t kInputPieceSize = std::size_t{64} << 20;

// The piece size; tests make it smaller (QUORVEX_TEST_PIECE_SIZE, 4 KiB at least) to see
// files longer than a piece without writing 64 MiB.
std::size_t inputPieceSize() {
  constexpr std::size_t kLeastPiece = 4096;
  const char* asked = std::getenv("QUORVEX_TEST_PIECE_SIZE");
  if (asked == nullptr) return kInputPieceSize;
  const unsigned long long size = std::strtoull(asked, nullptr, 10);
  return static_cast<std::size_t>(std::clamp<unsigned long long>(size, kLeastPiece, kInputPieceSize));
}

class InputPieces {
 public:
  explicit InputPieces(const char* path)
      : path_(path), standardInput_(std::string_view(path) == "-"), file_(standardInput_ ? stdin : std::fopen(path, "rb")) {
    if (!file_) fatalError("file open error", path);
  }
  ~InputPieces() {
    if (!standardInput_) std::fclose(file_);
  }
  InputPieces(const InputPieces&) = delete;
  InputPieces& operator=(const InputPieces&) = delete;

  // The next piece: full-sized but for the last; no bytes at all (a null start) at the
  // end. An empty file gives one empty piece, so that it is made as before.
  std::span<const std::uint8_t> next() {
    if (ended_) return {};
    if (buffer_.empty()) buffer_.resize(inputPieceSize());
    // The bytes the last piece left for this one go first.
    std::copy(buffer_.end() - static_cast<std::ptrdiff_t>(carried_), buffer_.end(), buffer_.begin());
    std::size_t filled = carried_;
    carried_ = 0;
    while (filled < buffer_.size()) {
      const std::size_t got = std::fread(buffer_.data() + filled, 1, buffer_.size() - filled, file_);
      filled += got;
      if (got == 0) {
        if (std::ferror(file_)) fatalError("error reading", path_);
        ended_ = true;
        break;
      }
    }
    if (filled == 0 && !first_) return {};
    first_ = false;
    if (!ended_) {  // a WAV header that the piece's end cuts waits for the next piece
      const std::span<const std::uint8_t> piece(buffer_.data(), filled);
      carried_ = filled - ArchiveMaker::wavHeaderCutAt(piece);
      filled -= carried_;
    }
    return {filled == 0 ? emptyPiece_ : buffer_.data(), filled};
  }

 private:
  const char* path_;
  bool standardInput_;
  std::FILE* file_;
  FileBytes buffer_;
  std::size_t carried_ = 0;  // bytes at the buffer's end that begin the next piece
  bool ended_ = false;
  bool first_ = true;
  std::uint8_t emptyPiece_[1] = {0};  // a non-null start for the empty file's piece
};

}  // namespace

int runCreate(const Options& baseOptions) {
  Options options = baseOptions;
  if (filtersStandardInput(options)) options.toStdout = true;
  if (refuseArchiveInputs(options)) return 1;
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
  const Destination standing = path.empty() ? Destination::none : destinationAt(path);
  // A device, a FIFO or a socket is written to, not replaced, so it needs no -f.
  if (!options.force && (standing == Destination::regular || standing == Destination::directory)) {
    std::fprintf(stderr, "quorvex: %s exists; use -f to replace it\n", path.c_str());
    return 1;
  }
  if (const CreateInput* input = path.empty() ? nullptr : inputAtArchivePath(options, path)) {
    std::fprintf(stderr, "quorvex: %s: the archive would replace this input; name another archive\n",
                 input->path.c_str());
    return 1;
  }

  const bool showBar = !options.quiet && ProgressBar::stderrIsTerminal();
  std::uint64_t expectedInput = 0;
  for (const CreateInput& input : options.inputs) expectedInput += announcedSize(input.path);
  std::optional<ProgressBar> bar;
  bar.emplace(showBar, expectedInput, ProgressBar::Speed::ofInput);

  // The archive goes out as it is made: to standard output, or to the temporary file
  // that is renamed into place at the end (all or nothing, as when decoding; without
  // -f, a file that appeared at path meanwhile is kept, not replaced).
  std::optional<FileSink> output;
  if (!options.toStdout) {
    removeOutputOnSignals();
    output.emplace();
    if (!output->open(path.c_str())) fatalError("file write error", path.c_str());
    if (!options.force) output->keepExistingDestination();
  }
  const auto writeOut = [&](std::span<const std::uint8_t> bytes) {
    if (bytes.empty()) return;
    if (output) {
      if (!output->append(bytes)) fatalError("file write error", path.c_str());
    } else if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size()) {
      fatalError("file write error", "standard output");
    }
  };

  MakerOptions makerOptions = options.maker;
  makerOptions.threads = options.threads;
  const ArchiveMaker* making = nullptr;
  std::uint64_t archiveShown = 0;
  if (showBar) {
    makerOptions.onCoded = [&](std::size_t inputBytes) {
      bar->addInput(inputBytes);
      const std::uint64_t archiveSize = making->size();
      bar->addOutput(archiveSize - archiveShown);
      archiveShown = archiveSize;
    };
  }
  ArchiveMaker maker(makerOptions);
  making = &maker;
  std::uint64_t inputSize = 0;
  for (const CreateInput& input : options.inputs) {
    const std::uint64_t announced = announcedSize(input.path);
    std::uint64_t fileSize = 0;
    const auto refuse = [&](Refusal refusal) {
      bar.reset();
      if (output) output->discard();
      std::fprintf(stderr, "quorvex: %s: refused as audio: %s\n", input.path.c_str(), describeRefusal(refusal));
      return 1;
    };
    // The first piece begins the file (a WAV file's header arrives in it), the others go on with it.
    InputPieces pieces(input.path.c_str());
    bool first = true;
    for (std::span<const std::uint8_t> piece = pieces.next(); piece.data() != nullptr; piece = pieces.next()) {
      if (first) {
        if (const AddResult added = maker.addFile(piece, input.codec); !added) return refuse(added.refusal);
        first = false;
      } else {
        maker.continueFile(piece);
      }
      fileSize += piece.size();
      writeOut(maker.takeWritten());
      if (fileSize > kMaxInputSize) fatalError("error reading", input.path.c_str());
    }
    inputSize += fileSize;
    expectedInput = expectedInput - announced + fileSize;
    bar->setTotal(expectedInput);
  }
  bar.reset();
  const std::uint64_t archiveSize = maker.size();
  writeOut(maker.takeWritten());
  writeOut(maker.bytes());
  if (output) {
    if (!output->commit()) fatalError("file write error", path.c_str());
  } else if (std::fflush(stdout) != 0) {
    fatalError("file write error", "standard output");
  }
  if (options.verbose) {
    std::fprintf(stderr, "quorvex: %s: %llu bytes from %llu bytes of input", options.toStdout ? "-" : path.c_str(),
                 static_cast<unsigned long long>(archiveSize), static_cast<unsigned long long>(inputSize));
    if (inputSize != 0) std::fprintf(stderr, " (%.2f%%)", 100.0 * static_cast<double>(archiveSize) / static_cast<double>(inputSize));
    std::fputs("\n", stderr);
  }
  return 0;
}

}  // namespace quorvex::driver
