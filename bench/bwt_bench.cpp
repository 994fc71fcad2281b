// BWT decoding throughput per text corpus file and for the whole text corpus as one
// block, next to bzip2 -d on the same input in the same run.
//
// BwtPayload: the entropy decoding alone (payload -> transformed block), in place, as
// the dispatcher runs it. BwtBlock: the same plus the inverse transform, which is what
// bzip2 -d does too. Bzip2Decode runs bzip2 -d as a separate process on a temporary
// file; its processor time (our side reports processor time too) includes the process
// start, which Bzip2Start measures on an empty stream so the two can be read apart.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "bench_support.hpp"
#include "codecs/bwt/bwt_payload.hpp"
#include "codecs/bwt/bwt_transform.hpp"

namespace {

using namespace quorvex::bench;

const std::string kWholeText = "text (all files as one block)";

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
    for (const fs::path& path : corpusPaths("text")) {
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

void Bzip2Decode(benchmark::State& state, std::string name) {
  measurePeerDecode(state, sample(name).plainFile, "bzip2 -9 -c", "bzip2 -d -c");
}

void Bzip2Start(benchmark::State& state) {
  const fs::path packed = fs::temp_directory_path() / "bwt_bench_empty.bz2";
  if (timedCommand("printf '' | bzip2 -9 -c > " + quoted(packed)) < 0) {
    state.SkipWithError("bzip2 failed");
    return;
  }
  for (auto _ : state) {
    const double seconds = timedCommand("bzip2 -d -c " + quoted(packed) + " > " + discardedOutput());
    if (seconds < 0) state.SkipWithError("bzip2 -d failed");
    state.SetIterationTime(seconds);
  }
  fs::remove(packed);
}

const bool registered = [] {
  std::vector<std::string> names;
  for (const fs::path& path : corpusPaths("text")) names.push_back(path.filename().string());
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
