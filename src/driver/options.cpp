#include "driver/options.hpp"

#include <algorithm>
#include <cstdio>
#include <string_view>
#include <thread>
#include <utility>

#include <CLI/CLI.hpp>

#include "driver/numbers.hpp"
#include "quorvex/version.hpp"

namespace quorvex::driver {
namespace {

constexpr const char* kHelp =
    "Usage: quorvex [OPTION]... [ARCHIVE]\n"
    "       quorvex -d [OPTION]... [ARCHIVE]...\n"
    "       quorvex -z [OPTION]... [FILE]...\n"
    "Decode, test or list Quorvex archives, or create one.\n"
    "\n"
    "Without a mode, the first ARCHIVE (archive.qvx when none is named) is decoded to\n"
    "the file \"out\" in the current directory, unless -o or -c names another place; one\n"
    "progress line per block and \"done N bytes!\" are printed on standard output, and a\n"
    "failure prints \"error!\" there and its reason on standard error.\n"
    "\n"
    " Operation mode:\n"
    "  -d, --decompress    decode each ARCHIVE.qvx to ARCHIVE, quietly; with no ARCHIVE,\n"
    "                      standard input (not a terminal) to standard output\n"
    "  -z, --compress      create an archive from FILE... ('-' or none: standard input,\n"
    "                      and standard output when it is not a terminal);\n"
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
    "                      and let -z take a FILE that ends in .qvx\n"
    "  -k, --keep          keep the input files: accepted for habit's sake, since quorvex\n"
    "                      never removes an input\n"
    "      --salvage       on a failed block, keep the output of the whole blocks before\n"
    "                      it and say where decoding stopped\n"
    "      --memlimit=SIZE let the codec models take at most SIZE bytes (e.g. 512MiB)\n"
    "  -T, --threads=N     decode and make with N threads (default: one per core; 1: one thread)\n"
    "  --                  end of options: an ARCHIVE or FILE may then start with '-'\n"
    "\n"
    " Create options (with -z):\n"
    "  -1 .. -9            level (default -6); what it costs to decode:\n"
    "                        -1 .. -6  BWT or LZ per block, larger blocks as the level\n"
    "                                  rises: decodes at 70-175 MB/s, about twice xz -d\n"
    "                        -7 .. -9  context mixing, the smallest: decodes at 1 to\n"
    "                                  2 MB/s (some 40-120 times slower), and a model\n"
    "                                  takes 60, 65 or 430 MB (-7, -8, -9)\n"
    "      --fast, --best  -1 and -9\n"
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
    "  -q, --quiet         no progress lines, no progress bar, no reasons or warnings\n"
    "  -v, --verbose       with -d, print the block lines; with -l, list every record\n"
    "                      (-vv: and the segments of BWT payloads); with -z, the sizes\n"
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

// The options a mistyped one is compared with.
constexpr std::string_view kOptionNames[] = {
    "--help",  "--version",  "--decompress", "--compress",   "--test",  "--list",  "--output", "--stdout",
    "--force", "--keep",     "--quiet",      "--verbose",    "--salvage", "--memlimit", "--threads",
    "--block-size", "--stage", "--codec",    "--fast",       "--best"};

std::size_t editDistance(std::string_view a, std::string_view b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// Refuses an option the program does not know, naming the nearest one it does when
// the typo is small (two edits, or one for short names).
[[noreturn]] void refuseUnknownOption(const std::string& argument) {
  const std::string_view name = std::string_view(argument).substr(0, argument.find('='));
  std::string message = "unknown option '" + std::string(name) + "'";
  std::string_view nearest;
  std::size_t best = name.size() <= 4 ? 2 : 3;
  for (const std::string_view candidate : kOptionNames) {
    const std::size_t distance = editDistance(name, candidate);
    if (distance < best) {
      best = distance;
      nearest = candidate;
    }
  }
  if (!nearest.empty()) message += "; did you mean '" + std::string(nearest) + "'?";
  throw UsageError{message};
}

// A level outside -1 .. -9 (-0, -10, -19) would otherwise pass for a file name or for
// two levels at once: refuse it by name. Arguments after "--" are names.
void refuseLevelsOutOfRange(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "--") return;
    const bool allDigits = argument.size() >= 2 && argument[0] == '-' &&
                           argument.substr(1).find_first_not_of("0123456789") == std::string_view::npos;
    if (allDigits && !(argument.size() == 2 && argument[1] >= '1' && argument[1] <= '9')) {
      throw UsageError{std::string(argument) + ": levels run from -1 (fastest to decode) to -9 (smallest)"};
    }
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
  bool help = false, version = false, keep = false;
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
  app.add_flag("-v,--verbose", options.verbosity);
  app.add_flag("-k,--keep", raw.keep);
  app.add_flag_callback("--fast", [&raw] { raw.level = 1; });
  app.add_flag_callback("--best", [&raw] { raw.level = 9; });
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
    refuseLevelsOutOfRange(argc, argv);
    app.parse(argc, argv);
    options.verbose = options.verbosity > 0;
    if (raw.help) {
      std::fputs(kHelp, stdout);
      parsed.exitStatus = 0;
      return parsed;
    }
    if (raw.version) {
      std::printf("quorvex %s (archive format version %u)\n", std::string(version()).c_str(), kArchiveFormatVersion);
      parsed.exitStatus = 0;
      return parsed;
    }
    if (int(raw.compress) + int(raw.test) + int(raw.list) + int(raw.decompress) > 1) {
      throw UsageError{"choose one of -d, -z, -t and -l"};
    }
    options.mode = raw.compress ? Mode::create : raw.test ? Mode::test : raw.list ? Mode::list : Mode::decode;
    options.decompress = raw.decompress;
    const bool creating = options.mode == Mode::create;
    if (!creating && (raw.level != 0 || blockSize->count() || stages->count() || codec->count())) {
      throw UsageError{"-1 .. -9, -b, -S and --codec go with -z"};
    }
    if (output->count()) options.outputPath = raw.output;
    if (options.outputPath && options.toStdout) throw UsageError{"-o and -c name two places for one output"};
    if (options.decompress && options.outputPath && raw.positionals.size() > 1) {
      throw UsageError{"-o names one output: with several ARCHIVEs, let -d name each output, or use -c"};
    }
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
    if (creating && options.inputs.empty()) options.inputs.push_back({"-", FileCodec::automatic});
  } catch (const CLI::ExtrasError& error) {
    // CLI11 says "The following argument(s) was/were not expected: -x ..."; refuse the
    // first in this program's words.
    const std::string what = error.what();
    const std::size_t colon = what.find(": ");
    const std::string first = colon == std::string::npos ? what : what.substr(colon + 2, what.find(' ', colon + 2) - colon - 2);
    try {
      refuseUnknownOption(first);
    } catch (const UsageError& usage) {
      std::fprintf(stderr, "quorvex: %s\n", usage.message.c_str());
    }
    std::fputs("Try 'quorvex --help' for more information.\n", stderr);
    parsed.exitStatus = kUsageError;
  } catch (const CLI::ArgumentMismatch& error) {
    // CLI11 says "--output: 1 required TEXT missing"; the option's name comes first.
    const std::string what = error.what();
    std::fprintf(stderr, "quorvex: %s needs a value\n", what.substr(0, what.find(':')).c_str());
    std::fputs("Try 'quorvex --help' for more information.\n", stderr);
    parsed.exitStatus = kUsageError;
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
