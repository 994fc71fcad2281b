// What the command line asks for, read by CLI11 and checked before any work starts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "quorvex/archive_maker.hpp"

namespace quorvex::driver {

enum class Mode { decode, test, list, create };

struct CreateInput {
  std::string path;  // "-": standard input
  FileCodec codec = FileCodec::automatic;
};

struct Options {
  Mode mode = Mode::decode;
  // Decoding as -d asks, in the manner of xz: each ARCHIVE.qvx to ARCHIVE, quietly.
  // Without -d, decoding is the format's own program: the first ARCHIVE to "out", with
  // the format's console lines.
  bool decompress = false;
  std::vector<std::string> archives;  // decode, test, list
  std::vector<CreateInput> inputs;    // create
  std::optional<std::string> outputPath;
  bool toStdout = false;
  bool force = false;
  bool quiet = false;
  bool verbose = false;
  int verbosity = 0;  // how many times -v was given
  bool salvage = false;
  std::optional<std::uint64_t> memoryLimit;
  unsigned threads = 1;
  MakerOptions maker;
};

// Either options to run with, or an exit status to end with at once (after --help,
// --version or a usage error, whose message has been printed).
struct ParsedCommandLine {
  Options options;
  std::optional<int> exitStatus;
};

ParsedCommandLine parseCommandLine(int argc, char** argv);

// Exit status of a command line that cannot be run.
inline constexpr int kUsageError = 2;

}  // namespace quorvex::driver
