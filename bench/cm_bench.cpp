// Context-mixing codec throughput and size per corpus file, next to zpaq (method 4, one
// thread) decoding the same input in the same run. zpaq is another format and serves as
// a speed peer only; it runs as a separate process on temporary files, so its times
// include the process start and its model set-up (a few milliseconds). Both sides are
// measured in CPU time (zpaq's from the child-process accounting), which stays
// comparable on a machine shared with other work; the decoder's rates use CPU time too.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "bench_support.hpp"
#include "codecs/cm/cm_codec.hpp"

namespace {

using namespace quorvex::bench;

// The parameters a writer uses by default (a fourth byte of 0x24 and a 16 MiB window).
constexpr std::uint32_t kTableBitsA = 22;
constexpr std::uint32_t kTableBitsB = 22;
constexpr std::uint32_t kHistorySize = 16u << 20;

struct Sample {
  std::vector<std::uint8_t> data;
  std::vector<std::uint8_t> payload;
};

// Each file is encoded once, as one block of a fresh model.
const Sample& sample(const fs::path& path) {
  return cachedSample<Sample>(path, [](const fs::path& path) {
    Sample s;
    s.data = readBytes(path);
    quorvex::cm::CmEncoderPtr encoder = quorvex::cm::createCmEncoder(kTableBitsA, kTableBitsB, kHistorySize);
    s.payload = quorvex::cm::encodeCmBlock(*encoder, s.data);
    return s;
  });
}

void CmDecode(benchmark::State& state, fs::path path) {
  const Sample& s = sample(path);
  std::vector<std::uint8_t> out(s.data.size());
  for (auto _ : state) {
    state.PauseTiming();
    // A fresh model for every run, built outside the timing.
    quorvex::cm::CmDecoderPtr decoder = quorvex::cm::createCmDecoder(kTableBitsA, kTableBitsB, kHistorySize);
    state.ResumeTiming();
    quorvex::cm::decodeCmBlock(*decoder, s.payload, out.data(), static_cast<std::uint32_t>(out.size()));
    benchmark::DoNotOptimize(out.data());
    state.PauseTiming();
    if (out != s.data) state.SkipWithError("round trip failed");
    decoder.reset();
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * s.data.size()));
  state.counters["packed"] = static_cast<double>(s.payload.size());
  state.counters["bits/byte"] = 8.0 * static_cast<double>(s.payload.size()) / static_cast<double>(s.data.size());
}

void CmEncode(benchmark::State& state, fs::path path) {
  const Sample& s = sample(path);
  for (auto _ : state) {
    state.PauseTiming();
    quorvex::cm::CmEncoderPtr encoder = quorvex::cm::createCmEncoder(kTableBitsA, kTableBitsB, kHistorySize);
    state.ResumeTiming();
    benchmark::DoNotOptimize(quorvex::cm::encodeCmBlock(*encoder, s.data));
    state.PauseTiming();
    encoder.reset();
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * s.data.size()));
}

void ZpaqDecode(benchmark::State& state, fs::path path) {
  const Sample& s = sample(path);
  const fs::path work = fs::temp_directory_path() / ("cm_bench_zpaq_" + path.filename().string());
  const fs::path archive = work / "a.zpaq";
  fs::remove_all(work);
  fs::create_directories(work);
  // Archive the file under a relative name so that extraction writes below `work`.
  const std::string add = "cd " + quoted(path.parent_path()) + " && zpaq a " + quoted(archive) + " " +
                          quoted(path.filename()) + " -m4 -threads 1 > " + discardedOutput() + " 2>&1";
  if (timedCommand(add) < 0) {  // packing is not timed
    state.SkipWithError("zpaq is not available");
    return;
  }
  const fs::path outDir = work / "out";
  for (auto _ : state) {
    fs::remove_all(outDir);  // zpaq skips files that are already there
    const double seconds = timedCommand("zpaq x " + quoted(archive) + " -to " + quoted(outDir) +
                                        " -force -threads 1 > " + discardedOutput() + " 2>&1");
    if (seconds < 0) state.SkipWithError("zpaq x failed");
    state.SetIterationTime(seconds);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * s.data.size()));
  state.counters["packed"] = static_cast<double>(fs::file_size(archive));
  state.counters["bits/byte"] = 8.0 * static_cast<double>(fs::file_size(archive)) / static_cast<double>(s.data.size());
  fs::remove_all(work);
}

// Registered per corpus file, decoder next to its peer.
const bool registered = [] {
  for (const fs::path& path : corpusPaths()) {
    const std::string name = corpusName(path);
    benchmark::RegisterBenchmark(("CmDecode/" + name).c_str(), CmDecode, path)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("ZpaqDecode/" + name).c_str(), ZpaqDecode, path)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("CmEncode/" + name).c_str(), CmEncode, path)->Unit(benchmark::kMillisecond);
  }
  return true;
}();

}  // namespace

BENCHMARK_MAIN();
