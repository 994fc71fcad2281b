// What the benchmark programs share: corpus files, and timing a peer tool that runs as
// a separate process. Peers are timed in processor time (user + system of the child,
// with its shell), so that a machine shared with other work favours neither side; their
// figures include the process start, a few milliseconds.
#pragma once

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace quorvex::bench {

namespace fs = std::filesystem;

inline std::vector<std::uint8_t> readBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

inline void writeBytes(const fs::path& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// The corpus files below folder (the whole corpus when empty), sorted.
inline std::vector<fs::path> corpusPaths(const std::string& folder = "") {
  std::vector<fs::path> paths;
  for (const auto& entry : fs::recursive_directory_iterator(fs::path(QUORVEX_CORPUS_DIR) / folder)) {
    if (entry.is_regular_file()) paths.push_back(entry.path());
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

// A benchmark's sample of a file, made once by make(path) and kept for every run.
template <typename Sample, typename Make>
const Sample& cachedSample(const fs::path& path, Make&& make) {
  static std::map<fs::path, Sample> cache;
  auto found = cache.find(path);
  if (found == cache.end()) found = cache.emplace(path, make(path)).first;
  return found->second;
}

inline std::string corpusName(const fs::path& path) { return fs::relative(path, QUORVEX_CORPUS_DIR).string(); }

// The path in single quotes, for the shell. (Appending rather than operator+ keeps
// gcc 12 from a false -Wrestrict warning.)
inline std::string quoted(const fs::path& path) {
  std::string text(1, '\'');
  text.append(path.string());
  text.push_back('\'');
  return text;
}

// Processor time, user and system, of this process (RUSAGE_SELF) or of its waited-for
// children (RUSAGE_CHILDREN): ours and a peer's are counted alike.
inline double cpuSecondsOf(int who) {
  rusage usage{};
  getrusage(who, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         1e-6 * static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}
inline double processCpuSeconds() { return cpuSecondsOf(RUSAGE_SELF); }
inline double childCpuSeconds() { return cpuSecondsOf(RUSAGE_CHILDREN); }

// Where timed commands send output nobody reads: a file in the temporary folder,
// rewritten by each run, so that no benchmark writes to a system device.
inline std::string discardedOutput() { return quoted(fs::temp_directory_path() / "quorvex_bench_discarded"); }

// Runs a shell command; returns the processor time it took in seconds, negative on failure.
inline double timedCommand(const std::string& command) {
  const double before = childCpuSeconds();
  if (std::system(command.c_str()) != 0) return -1.0;
  return childCpuSeconds() - before;
}

// Packs input once with packCommand (input and output paths appended), then times
// unpackCommand on the packed file per iteration. Reports the packed size beside the
// rate, like the codec benchmarks do.
inline void measurePeerDecode(benchmark::State& state, const fs::path& input, const std::string& packCommand,
                              const std::string& unpackCommand) {
  const fs::path packed = fs::temp_directory_path() / ("quorvex_bench_peer_" + input.filename().string());
  if (timedCommand(packCommand + " " + quoted(input) + " > " + quoted(packed)) < 0) {
    state.SkipWithError(("cannot run: " + packCommand).c_str());
    return;
  }
  for (auto _ : state) {
    const double seconds = timedCommand(unpackCommand + " " + quoted(packed) + " > " + discardedOutput());
    if (seconds < 0) state.SkipWithError(("cannot run: " + unpackCommand).c_str());
    state.SetIterationTime(seconds);
  }
  const auto inputSize = static_cast<double>(fs::file_size(input));
  const auto packedSize = static_cast<double>(fs::file_size(packed));
  state.SetBytesProcessed(static_cast<std::int64_t>(static_cast<double>(state.iterations()) * inputSize));
  state.counters["packed"] = packedSize;
  state.counters["bits/byte"] = 8.0 * packedSize / inputSize;
  fs::remove(packed);
}

}  // namespace quorvex::bench
