// BWT decoding throughput per text corpus file and for the whole text corpus as one
// block, next to bzip2 -d on the same input in the same run.
//
// BwtPayload: the entropy decoding alone (payload -> transformed block), in place, as
// the dispatcher runs it. BwtBlock: the same plus the inverse transform, which is what
// bzip2 -d does too. Bzip2Decode runs bzip2 -d as a separate process on a temporary
// file; its processor time (our side reports processor time too) includes the process
// start, which Bzip2Start measures on an empty stream so the two can be read apart.
#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "codecs/bwt/bwt_payload.hpp"
#include "codecs/bwt/bwt_transform.hpp"

namespace {

namespace fs = std::filesystem;

std::vector<std::uint8_t> readBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void writeBytes(const fs::path& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

const std::string kWholeText = "text (all files as one block)";

std::vector<fs::path> textPaths() {
  std::vector<fs::path> paths;
  for (const auto& entry : fs::directory_iterator(fs::path(QUORVEX_CORPUS_DIR) / "text")) {
    if (entry.is_regular_file()) paths.push_back(entry.path());
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

struct Sample {
  std::vector<std::uint8_t> data;
  std::vector<std::uint8_t> transformed;
  std::uint32_t primaryIndex = 0;
  std::vector<std::uint8_t> payload;
  fs::path plainFile;  // the input as a file, for bzip2
};

// The samples, with their temporary files removed at exit.
struct SampleCache : std::map<std::string, Sample> {
  ~SampleCache() {
    std::error_code ignored;
    for (const auto& entry : *this) fs::remove(entry.second.plainFile, ignored);
  }
};

// Each input is transformed and encoded once.
const Sample& sample(const std::string& name) {
  static SampleCache cache;
  auto found = cache.find(name);
  if (found != cache.end()) return found->second;
  Sample s;
  if (name == kWholeText) {
    for (const fs::path& path : textPaths()) {
      const std::vector<std::uint8_t> bytes = readBytes(path);
      s.data.insert(s.data.end(), bytes.begin(), bytes.end());
    }
  } else {
    s.data = readBytes(fs::path(QUORVEX_CORPUS_DIR) / "text" / name);
  }
  quorvex::bwt::ForwardBwt forward = quorvex::bwt::forwardBwt(s.data);
  s.transformed = std::move(forward.transformed);
  s.primaryIndex = forward.primaryIndex;
  s.payload = quorvex::bwt::encodeBwtPayload(s.transformed);
  s.plainFile = fs::temp_directory_path() / ("bwt_bench_" + std::to_string(cache.size()) + ".txt");
  writeBytes(s.plainFile, s.data);
  return cache.emplace(name, std::move(s)).first->second;
}

void decodeRuns(benchmark::State& state, const std::string& name, bool invert) {
  const Sample& s = sample(name);
  const auto n = static_cast<std::uint32_t>(s.data.size());
  // The room the decoder needs: the payload, the three-times regions, the link table.
  const std::size_t room = std::max<std::size_t>({s.payload.size(), 3ull * n, 5ull * n + 3});
  std::vector<std::uint8_t> buffer(room);
  for (auto _ : state) {
    std::memcpy(buffer.data(), s.payload.data(), s.payload.size());
    const std::uint32_t length = quorvex::bwt::decodeBwtPayload(
        buffer.data(), static_cast<std::uint32_t>(s.payload.size()), static_cast<std::uint32_t>(room), nullptr);
    if (length != n) state.SkipWithError("payload decoding failed");
    if (invert && !quorvex::bwt::inverseBwt(buffer.data(), length, s.primaryIndex, room)) {
      state.SkipWithError("inverse transform failed");
    }
    benchmark::DoNotOptimize(buffer.data());
  }
  const std::vector<std::uint8_t>& expected = invert ? s.data : s.transformed;
  if (!std::equal(expected.begin(), expected.end(), buffer.begin())) state.SkipWithError("round trip failed");
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * n));
  state.counters["packed"] = static_cast<double>(s.payload.size());
  state.counters["bits/byte"] = 8.0 * static_cast<double>(s.payload.size()) / static_cast<double>(n);
}

void BwtPayload(benchmark::State& state, std::string name) { decodeRuns(state, name, false); }
void BwtBlock(benchmark::State& state, std::string name) { decodeRuns(state, name, true); }

void BwtEncode(benchmark::State& state, std::string name) {
  const Sample& s = sample(name);
  for (auto _ : state) benchmark::DoNotOptimize(quorvex::bwt::encodeBwtPayload(s.transformed));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * s.data.size()));
}

double childCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         1e-6 * static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

// Runs a shell command and returns the processor time it took (user + system, with
// the shell's), in seconds; negative on failure. Processor time rather than wall time,
// so that a machine shared with other work does not favour either side.
double timedCommand(const std::string& command) {
  const double before = childCpuSeconds();
  if (std::system(command.c_str()) != 0) return -1.0;
  return childCpuSeconds() - before;
}

void Bzip2Decode(benchmark::State& state, std::string name) {
  const Sample& s = sample(name);
  const fs::path packed = s.plainFile.string() + ".bz2";
  if (timedCommand("bzip2 -9 -c '" + s.plainFile.string() + "' > '" + packed.string() + "'") < 0) {
    state.SkipWithError("bzip2 failed");
    return;
  }
  for (auto _ : state) {
    const double seconds = timedCommand("bzip2 -d -c '" + packed.string() + "' > /dev/null");
    if (seconds < 0) state.SkipWithError("bzip2 -d failed");
    state.SetIterationTime(seconds);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * s.data.size()));
  state.counters["packed"] = static_cast<double>(fs::file_size(packed));
  state.counters["bits/byte"] = 8.0 * static_cast<double>(fs::file_size(packed)) / static_cast<double>(s.data.size());
  fs::remove(packed);
}

void Bzip2Start(benchmark::State& state) {
  const fs::path packed = fs::temp_directory_path() / "bwt_bench_empty.bz2";
  if (timedCommand("printf '' | bzip2 -9 -c > '" + packed.string() + "'") < 0) {
    state.SkipWithError("bzip2 failed");
    return;
  }
  for (auto _ : state) {
    const double seconds = timedCommand("bzip2 -d -c '" + packed.string() + "' > /dev/null");
    if (seconds < 0) state.SkipWithError("bzip2 -d failed");
    state.SetIterationTime(seconds);
  }
  fs::remove(packed);
}

const bool registered = [] {
  std::vector<std::string> names;
  for (const fs::path& path : textPaths()) names.push_back(path.filename().string());
  names.push_back(kWholeText);
  for (const std::string& name : names) {
    benchmark::RegisterBenchmark(("BwtPayload/" + name).c_str(), BwtPayload, name)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("BwtBlock/" + name).c_str(), BwtBlock, name)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("Bzip2Decode/" + name).c_str(), Bzip2Decode, name)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("BwtEncode/" + name).c_str(), BwtEncode, name)->Unit(benchmark::kMillisecond);
  }
  benchmark::RegisterBenchmark("Bzip2Start/empty", Bzip2Start)->UseManualTime()->Unit(benchmark::kMillisecond);
  return true;
}();

}  // namespace

BENCHMARK_MAIN();
