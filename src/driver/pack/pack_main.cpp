// The archive maker: quorvex-pack [-f] [-b BYTES] [-S STAGE=USE]... -o ARCHIVE [CODEC:]FILE...
//
// Each input file is cut into blocks of at most BYTES bytes (default 1 MiB) and
// coded with its codec: stored (the transform without entropy coding), bwt, lz or
// cm (the default is bwt); audio takes a PCM WAV file whole (its samples in one audio
// block). Each post-stage is used on a block when it makes the block
// smaller, unless -S forces (always) or forbids (never) it. The archive is written
// whole or not at all, and an existing file is never replaced unless -f is given.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <vector>

#include "driver/file_io.hpp"
#include "quorvex/archive_maker.hpp"

namespace {

using quorvex::FileCodec;

struct Input {
  FileCodec codec = FileCodec::bwt;
  std::string path;
};

[[noreturn]] void usage(const char* message) {
  if (message) std::fprintf(stderr, "quorvex-pack: %s\n", message);
  std::fputs(
      "usage: quorvex-pack [-f] [-b BYTES] [-S STAGE=USE]... -o ARCHIVE [stored:|bwt:|lz:|cm:|audio:]FILE...\n"
      "  STAGE: local-matches, history-matches, word-runs, delta, text, branch-targets\n"
      "  USE:   never, auto (when it makes the block smaller; the default), always\n",
      stderr);
  std::exit(2);
}

// Reads one -S argument, NAME=USE, into stages.
void parseStageUse(std::string_view argument, quorvex::StageOptions& stages) {
  using quorvex::StageUse;
  const std::size_t equals = argument.find('=');
  if (equals == std::string_view::npos) usage("-S takes STAGE=USE");
  const std::string_view name = argument.substr(0, equals);
  const std::string_view useName = argument.substr(equals + 1);
  const std::pair<std::string_view, StageUse*> names[] = {
      {"local-matches", &stages.localMatches}, {"history-matches", &stages.historyMatches},
      {"word-runs", &stages.wordRuns},         {"delta", &stages.delta},
      {"text", &stages.textTransforms},        {"branch-targets", &stages.branchTargets}};
  StageUse* use = nullptr;
  for (const auto& [stageName, field] : names) {
    if (stageName == name) use = field;
  }
  if (!use) usage("unknown stage after -S");
  if (useName == "never") {
    *use = StageUse::never;
  } else if (useName == "auto") {
    *use = StageUse::whenSmaller;
  } else if (useName == "always") {
    *use = StageUse::always;
  } else {
    usage("a stage's use is never, auto or always");
  }
}

Input parseInput(std::string_view argument) {
  static constexpr std::pair<std::string_view, FileCodec> prefixes[] = {
      {"stored:", FileCodec::stored}, {"bwt:", FileCodec::bwt}, {"lz:", FileCodec::lz},
      {"cm:", FileCodec::cm},         {"audio:", FileCodec::audio}};
  for (const auto& [prefix, codec] : prefixes) {
    if (argument.substr(0, prefix.size()) == prefix) return {codec, std::string(argument.substr(prefix.size()))};
  }
  return {FileCodec::bwt, std::string(argument)};
}

}  // namespace

int main(int argc, char** argv) {
  const char* archivePath = nullptr;
  bool force = false;
  quorvex::MakerOptions options;
  options.blockSize = std::size_t{1} << 20;
  std::vector<Input> inputs;
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "-o" && i + 1 < argc) {
      archivePath = argv[++i];
    } else if (argument == "-S" && i + 1 < argc) {
      parseStageUse(argv[++i], options.stages);
    } else if (argument == "-f") {
      force = true;
    } else if (argument == "-b" && i + 1 < argc) {
      options.blockSize = std::strtoull(argv[++i], nullptr, 10);
      if (options.blockSize == 0 || options.blockSize > quorvex::kMaxBlockSize) usage("block size must be 1 to 101048576 bytes");
    } else if (!argument.empty() && argument[0] == '-') {
      usage(nullptr);
    } else {
      inputs.push_back(parseInput(argument));
    }
  }
  if (!archivePath || inputs.empty()) usage(nullptr);
  struct stat existing {};
  if (!force && ::stat(archivePath, &existing) == 0) {
    std::fprintf(stderr, "quorvex-pack: %s exists; use -f to replace it\n", archivePath);
    return 1;
  }

  quorvex::ArchiveMaker maker(options);
  for (const Input& input : inputs) {
    const std::vector<std::uint8_t> data = quorvex::driver::readWholeFile(input.path.c_str());
    if (!maker.addFile(data, input.codec)) {
      std::fprintf(stderr, "quorvex-pack: %s is not a PCM WAV file (8, 16 or 24 bits, mono or stereo)\n",
                   input.path.c_str());
      return 1;
    }
  }
  quorvex::driver::writeFileAtomically(archivePath, maker.bytes());
  std::printf("%s: %zu bytes\n", archivePath, maker.bytes().size());
  return 0;
}
