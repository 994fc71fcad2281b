#include "driver/options.hpp"

#include <cstdio>
#include <string_view>
#include <thread>
#include <utility>

#include <CLI/CLI.hpp>

#include "driver/numbers.hpp"

namespace quorvex::driver {
namespace {

constexpr const char* kHelp =
    "Usage: quorvex [OPTION]... [ARCHIVE]\n"
    "       quorvex -z [OPTION]... FILE...\n"
    "Decode, test or list a Quorvex archive, or create one.\n"
    "\n"
    "Without an ARCHIVE, archive.qvx is decoded. The output goes to the file \"out\" in\n"
    "the current directory unless -o or -c names another place; one progress line per\n"
    "block and \"done N bytes!\" are printed on standard output.\n"
    "\n"
    " Operation mode:\n"
    "  -d, --decompress    decode ARCHIVE (the default mode)\n"
    "  -z, --compress      create an archive from FILE... ('-' reads standard input);\n"
    "                      the archive holds the files one after another, so that it\n"
    "                      decodes to their concatenation, as 'cat' would join them:\n"
    "                      the format keeps no file names\n"
    "  -t, --test          decode each ARCHIVE and write nothing\n"
    "  -l, --list          list the records of each ARCHIVE without decoding them\n"
    "\n"
    " Operation modifiers:\n"
    "  -o, --output=PATH   write the output (with -z: the archive) to PATH\n"
    "  -c, --stdout        write to standard output; progress lines go to standard error\n"
    "  -f, --force         replace an existing PATH (the default \"out\" is always replaced)\n"
    "      --salvage       on a failed block, keep the output of the whole blocks before\n"
    "                      it and say where decoding stopped\n"
    "      --memlimit=SIZE let the codec models take at most SIZE bytes (e.g. 512MiB)\n"
    "  -T, --threads=N     decode and make with N threads (default: one per core; 1: one thread)\n"
    "  --                  end of options: an ARCHIVE or FILE may then start with '-'\n"
    "\n"
    " Create options (with -z):\n"
    "  -1 .. -9            level: -1 is the fastest to decode, -9 the smallest (default -6)\n"
    "      --codec=CODEC   code the FILEs after it with CODEC: auto (the default: chosen\n"
    "                      per block), stored, bwt, lz, cm or audio (a PCM WAV file)\n"
    "  -b, --block-size=SIZE\n"
    "                      cut the files into blocks of SIZE bytes (up to 101048576)\n"
    "  -S, --stage=STAGE=USE\n"
    "                      use a post-stage never, auto (when it makes the block smaller:\n"
    "                      the default) or always; STAGE is local-matches,\n"
    "                      history-matches, word-runs, delta, text or branch-targets\n"
    "\n"
    " Other options:\n"
    "  -q, --quiet         no progress lines and no progress bar\n"
    "  -v, --verbose       explain a failure (which block, at which archive offset, which\n"
    "                      check); with -l, list the segments of BWT payloads; with -z,\n"
    "                      print the sizes\n"
    "  -h, --help          display this help and exit\n"
    "  -V, --version       display the version number and exit\n"
    "\n"
    "With -z and no -o, the archive of one FILE is FILE.qvx; several FILEs or standard\n"
    "input need -o or -c. An existing archive or output is never replaced without -f.\n"
    "SIZE takes the suffixes K, M and G (or KiB, MiB, GiB): 1K is 1024 bytes.\n"
    "\n"
    "Exit status: 0 on success, 1 when an archive or a file fails, 2 on a usage error.\n"
    "The reason of a failure is also printed when QUORVEX_EXPLAIN is set.\n";

struct UsageError {
  std::string message;
};

std::uint64_t byteSize(std::string_view option, const std::string& text) {
  const std::optional<std::uint64_t> value = parseByteSize(text);
  if (!value) throw UsageError{std::string(option) + ": '" + text + "' is not a size (digits, then K, M or G)"};
  return *value;
}

FileCodec codecNamed(const std::string& name) {
  static constexpr std::pair<std::string_view, FileCodec> kCodecs[] = {
      {"auto", FileCodec::automatic}, {"stored", FileCodec::stored}, {"bwt", FileCodec::bwt},
      {"lz", FileCodec::lz},          {"cm", FileCodec::cm},         {"audio", FileCodec::audio}};
  for (const auto& [codecName, codec] : kCodecs) {
    if (codecName == name) return codec;
  }
  throw UsageError{"--codec: '" + name + "' is not one of auto, stored, bwt, lz, cm, audio"};
}

void applyStageUse(const std::string& argument, StageOptions& stages) {
  const std::size_t equals = argument.find('=');
  const std::string_view name = std::string_view(argument).substr(0, equals);
  const std::string_view use = equals == std::string::npos ? "" : std::string_view(argument).substr(equals + 1);
  const std::pair<std::string_view, StageUse*> kStages[] = {
      {"local-matches", &stages.localMatches}, {"history-matches", &stages.historyMatches},
      {"word-runs", &stages.wordRuns},         {"delta", &stages.delta},
      {"text", &stages.textTransforms},        {"branch-targets", &stages.branchTargets}};
  StageUse* field = nullptr;
  for (const auto& [stageName, stageField] : kStages) {
    if (stageName == name) field = stageField;
  }
  if (!field) throw UsageError{"-S: '" + std::string(name) + "' is not a stage"};
  if (use == "never") {
    *field = StageUse::never;
  } else if (use == "auto") {
    *field = StageUse::whenSmaller;
  } else if (use == "always") {
    *field = StageUse::always;
  } else {
    throw UsageError{"-S takes STAGE=never, STAGE=auto or STAGE=always"};
  }
}

unsigned coreCount() {
  const unsigned cores = std::thread::hardware_concurrency();
  return cores == 0 ? 1 : cores;
}

// Everything CLI11 reads, before the values are checked and combined.
struct RawOptions {
  bool decompress = false, compress = false, test = false, list = false;
  std::vector<std::string> positionals;
  std::vector<std::string> codecs;
  std::vector<std::string> stages;
  std::string output, blockSize, memoryLimit, threads;
  int level = 0;
  bool help = false, version = false;
};

}  // namespace

ParsedCommandLine parseCommandLine(int argc, char** argv) {
  ParsedCommandLine parsed;
  Options& options = parsed.options;
  RawOptions raw;

  CLI::App app("quorvex", "quorvex");
  app.set_help_flag();
  app.add_flag("-h,--help", raw.help);
  app.add_flag("-V,--version", raw.version);
  app.add_flag("-d,--decompress", raw.decompress);
  app.add_flag("-z,--compress", raw.compress);
  app.add_flag("-t,--test", raw.test);
  app.add_flag("-l,--list", raw.list);
  CLI::Option* output = app.add_option("-o,--output", raw.output);
  app.add_flag("-c,--stdout", options.toStdout);
  app.add_flag("-f,--force", options.force);
  app.add_flag("-q,--quiet", options.quiet);
  app.add_flag("-v,--verbose", options.verbose);
  app.add_flag("--salvage", options.salvage);
  CLI::Option* memoryLimit = app.add_option("--memlimit", raw.memoryLimit);
  CLI::Option* threads = app.add_option("-T,--threads", raw.threads);
  CLI::Option* blockSize = app.add_option("-b,--block-size", raw.blockSize);
  CLI::Option* stages = app.add_option("-S,--stage", raw.stages)->allow_extra_args(false);
  CLI::Option* codec = app.add_option("--codec", raw.codecs)->allow_extra_args(false);
  for (int level = 1; level <= 9; ++level) {
    app.add_flag_callback("-" + std::to_string(level), [level, &raw] { raw.level = level; });
  }
  CLI::Option* positional = app.add_option("files", raw.positionals);
  // A value given twice: the last one counts, as in other compressors.
  for (CLI::Option* single : {output, memoryLimit, threads, blockSize}) {
    single->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  }

  try {
    app.parse(argc, argv);
    if (raw.help) {
      std::fputs(kHelp, stdout);
      parsed.exitStatus = 0;
      return parsed;
    }
    if (raw.version) {
      std::printf("quorvex %s (archive format version 9)\n", QUORVEX_VERSION);
      parsed.exitStatus = 0;
      return parsed;
    }
    if (int(raw.compress) + int(raw.test) + int(raw.list) + int(raw.decompress) > 1) {
      throw UsageError{"choose one of -d, -z, -t and -l"};
    }
    options.mode = raw.compress ? Mode::create : raw.test ? Mode::test : raw.list ? Mode::list : Mode::decode;
    const bool creating = options.mode == Mode::create;
    if (!creating && (raw.level != 0 || blockSize->count() || stages->count() || codec->count())) {
      throw UsageError{"-1 .. -9, -b, -S and --codec go with -z"};
    }
    if (output->count()) options.outputPath = raw.output;
    if (options.outputPath && options.toStdout) throw UsageError{"-o and -c name two places for one output"};
    if ((options.mode == Mode::test || options.mode == Mode::list) && (options.outputPath || options.toStdout)) {
      throw UsageError{"-t and -l write no output: -o and -c do not go with them"};
    }
    if (options.salvage && options.mode != Mode::decode) throw UsageError{"--salvage goes with decoding"};
    if (memoryLimit->count()) options.memoryLimit = byteSize("--memlimit", raw.memoryLimit);
    options.threads = coreCount();
    if (threads->count()) {
      const std::optional<std::uint64_t> count = parseCount(raw.threads);
      if (!count || *count > 1024) throw UsageError{"-T: '" + raw.threads + "' is not a thread count (0 to 1024)"};
      if (*count != 0) options.threads = static_cast<unsigned>(*count);
    }

    if (raw.level != 0) options.maker.level = raw.level;
    if (blockSize->count()) {
      options.maker.blockSize = byteSize("-b", raw.blockSize);
      if (options.maker.blockSize == 0 || options.maker.blockSize > kMaxBlockSize) {
        throw UsageError{"-b: a block holds 1 to 101048576 bytes"};
      }
    }
    for (const std::string& stage : raw.stages) applyStageUse(stage, options.maker.stages);

    // --codec applies to the FILEs after it: walk the arguments in command-line order.
    std::size_t codecIndex = 0;
    std::size_t positionalIndex = 0;
    FileCodec current = FileCodec::automatic;
    for (const CLI::Option* seen : app.parse_order()) {
      if (seen == codec) current = codecNamed(raw.codecs[codecIndex++]);
      if (seen != positional) continue;
      const std::string& argument = raw.positionals[positionalIndex++];
      if (creating) {
        options.inputs.push_back({argument, current});
      } else {
        options.archives.push_back(argument);
      }
    }
    if (creating && options.inputs.empty()) throw UsageError{"-z needs a FILE ('-' reads standard input)"};
  } catch (const CLI::ParseError& error) {
    std::fprintf(stderr, "quorvex: %s\n", error.what());
    std::fputs("Try 'quorvex --help' for more information.\n", stderr);
    parsed.exitStatus = kUsageError;
  } catch (const UsageError& error) {
    std::fprintf(stderr, "quorvex: %s\n", error.message.c_str());
    std::fputs("Try 'quorvex --help' for more information.\n", stderr);
    parsed.exitStatus = kUsageError;
  }
  return parsed;
}

}  // namespace quorvex::driver
