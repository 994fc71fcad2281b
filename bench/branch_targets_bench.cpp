// Branch-target stage throughput, both directions, over the corpus executables and this
// program itself (x86-64 code on any build machine).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <map>
#include <memory>
#include <vector>

#include "bench_support.hpp"
#include "stages/branch_targets.hpp"

namespace {

using namespace quorvex::bench;
using quorvex::stages::BranchTargetStage;
using quorvex::stages::ConvertedBranches;

struct Sample {
  std::vector<std::uint8_t> data;
  ConvertedBranches converted;
};

const Sample& sample(const fs::path& path) {
  return cachedSample<Sample>(path, [](const fs::path& path) {
    Sample s;
    s.data = readBytes(path);
    s.converted = std::make_unique<BranchTargetStage>()->convert(s.data);
    return s;
  });
}

// The stage state is built inside the timing: the decoder builds one per block.
void BranchRestore(benchmark::State& state, fs::path path) {
  const Sample& s = sample(path);
  std::vector<std::uint8_t> out(s.data.size());
  const auto capacity = static_cast<std::uint32_t>(out.size());
  for (auto _ : state) {
    const auto stage = std::make_unique<BranchTargetStage>();
    const std::uint32_t n = stage->restore(s.converted.sideData, s.converted.bytes.data(),
                                           static_cast<std::uint32_t>(s.converted.bytes.size()), out.data(), capacity);
    benchmark::DoNotOptimize(n);
    if (n != s.data.size() || !std::equal(out.begin(), out.end(), s.data.begin())) {
      state.SkipWithError("round trip failed");
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * s.data.size()));
  state.counters["operands"] = static_cast<double>(s.converted.convertedOperands);
  state.counters["side"] = static_cast<double>(s.converted.sideData.size());
  state.counters["size"] = static_cast<double>(s.data.size());
}

void BranchConvert(benchmark::State& state, fs::path path) {
  const Sample& s = sample(path);
  for (auto _ : state) benchmark::DoNotOptimize(std::make_unique<BranchTargetStage>()->convert(s.data));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * s.data.size()));
}

const bool registered = [] {
  std::vector<fs::path> paths = corpusPaths("exe");
  paths.push_back("/proc/self/exe");
  for (const fs::path& path : paths) {
    const std::string name = path.string().starts_with("/proc") ? std::string("self") : corpusName(path);
    benchmark::RegisterBenchmark(("BranchRestore/" + name).c_str(), BranchRestore, path)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("BranchConvert/" + name).c_str(), BranchConvert, path)->Unit(benchmark::kMillisecond);
  }
  return true;
}();

}  // namespace

BENCHMARK_MAIN();
