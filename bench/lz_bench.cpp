// LZ codec throughput and size per corpus file, next to xz -6 on the same input in the
// same run (xz timed as bench_support.hpp describes).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "bench_support.hpp"
#include "codecs/lz/lz_codec.hpp"

namespace {

using namespace quorvex::bench;

struct Sample {
  std::vector<std::uint8_t> data;
  std::vector<std::uint8_t> payload;  // the whole file as one block
  std::size_t half = 0;
  std::vector<std::uint8_t> firstHalf;   // the file as two blocks
  std::vector<std::uint8_t> secondHalf;
};

// Each file is encoded once: as one block at the start of an empty window, and as two
// blocks of half the file each.
const Sample& sample(const fs::path& path) {
  return cachedSample<Sample>(path, [](const fs::path& path) {
    Sample s;
    s.data = readBytes(path);
    quorvex::lz::LzEncoder whole;
    s.payload = whole.encodeBlock(s.data, 0);
    s.half = s.data.size() / 2;
    quorvex::lz::LzEncoder halves;
    s.firstHalf = halves.encodeBlock(std::span(s.data.data(), s.half), 0);
    s.secondHalf = halves.encodeBlock(s.data, s.half);
    return s;
  });
}

// A fresh model for every run, created outside the timing. Its zeroed pages are mapped
// on first use, inside the timing, as in a process that decodes this one file.
void LzDecode(benchmark::State& state, fs::path path) {
  const Sample& s = sample(path);
  std::vector<std::uint8_t> window(64 + s.data.size());
  for (auto _ : state) {
    state.PauseTiming();
    quorvex::lz::LzDecoder decoder;
    decoder.decodeBlock({}, window.data() + 64, window.data() + 64, 0);
    state.ResumeTiming();
    const bool ok = decoder.decodeBlock(s.payload, window.data() + 64, window.data() + 64,
                                        static_cast<std::uint32_t>(s.data.size()));
    benchmark::DoNotOptimize(ok);
    if (!ok || !std::equal(s.data.begin(), s.data.end(), window.begin() + 64)) state.SkipWithError("round trip failed");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * s.data.size()));
  state.counters["packed"] = static_cast<double>(s.payload.size());
  state.counters["bits/byte"] = 8.0 * static_cast<double>(s.payload.size()) / static_cast<double>(s.data.size());
}

// The second half of the file as a second block: the model has learned from the first
// half and most of the pages it needs are mapped, as in the middle of an archive.
void LzDecodeSecondBlock(benchmark::State& state, fs::path path) {
  const Sample& s = sample(path);
  std::vector<std::uint8_t> window(64 + s.data.size());
  std::uint8_t* base = window.data() + 64;
  for (auto _ : state) {
    state.PauseTiming();
    quorvex::lz::LzDecoder decoder;
    bool ok = decoder.decodeBlock(s.firstHalf, base, base, static_cast<std::uint32_t>(s.half));
    state.ResumeTiming();
    ok = ok && decoder.decodeBlock(s.secondHalf, base, base + s.half, static_cast<std::uint32_t>(s.data.size() - s.half));
    benchmark::DoNotOptimize(ok);
    if (!ok || !std::equal(s.data.begin(), s.data.end(), base)) state.SkipWithError("round trip failed");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * (s.data.size() - s.half)));
  state.counters["packed"] = static_cast<double>(s.secondHalf.size());
}

void LzEncode(benchmark::State& state, fs::path path) {
  const Sample& s = sample(path);
  for (auto _ : state) {
    quorvex::lz::LzEncoder encoder;
    benchmark::DoNotOptimize(encoder.encodeBlock(s.data, 0));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * s.data.size()));
}

void XzEncode(benchmark::State& state, fs::path path) {
  const Sample& s = sample(path);
  const fs::path packed = fs::temp_directory_path() / ("lz_bench_" + path.filename().string() + ".xz");
  for (auto _ : state) {
    const double seconds = timedCommand("xz -6 -c -k " + quoted(path) + " > " + quoted(packed));
    if (seconds < 0) state.SkipWithError("xz failed");
    state.SetIterationTime(seconds);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * s.data.size()));
  state.counters["packed"] = static_cast<double>(fs::file_size(packed));
  fs::remove(packed);
}

void XzDecode(benchmark::State& state, fs::path path) { measurePeerDecode(state, path, "xz -6 -c -k", "xz -d -c"); }

// Decoding at a real archive's size: the file named by QUORVEX_BENCH_LZ_INPUT (such as
// the mix bench/compare.py builds), or else the whole corpus as one input, made at the
// default level's effort in 4 MiB blocks, as an archive would hold them. One decoder
// takes the blocks in turn, its model learning from block to block; the first run also
// pays for mapping the model's pages. Small files fit the caches; this one does not.
// Both sides are timed in processor time.
constexpr std::size_t kLargeBlockBytes = std::size_t{4} << 20;

fs::path largeInput() {
  if (const char* named = std::getenv("QUORVEX_BENCH_LZ_INPUT"); named != nullptr && *named != '\0') return named;
  if (!fs::is_directory(QUORVEX_CORPUS_DIR)) return {};
  const fs::path joined = fs::temp_directory_path() / "quorvex_bench_lz_corpus";
  std::ofstream out(joined, std::ios::binary);
  for (const fs::path& path : corpusPaths()) {
    const auto bytes = readBytes(path);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  return joined;
}

struct LargeSample {
  std::vector<std::uint8_t> data;
  std::vector<std::vector<std::uint8_t>> blocks;  // payloads of consecutive 4 MiB blocks
};

const LargeSample& largeSample(const fs::path& path) {
  return cachedSample<LargeSample>(path, [](const fs::path& path) {
    LargeSample s;
    s.data = readBytes(path);
    quorvex::lz::LzEncoderSettings level6;
    level6.chainSteps = 400;
    level6.niceLength = 192;
    quorvex::lz::LzEncoder encoder(level6);
    for (std::size_t start = 0; start < s.data.size(); start += kLargeBlockBytes) {
      const std::size_t end = std::min(s.data.size(), start + kLargeBlockBytes);
      s.blocks.push_back(encoder.encodeBlock(std::span(s.data.data(), end), start));
    }
    return s;
  });
}

void LzDecodeLarge(benchmark::State& state, fs::path path) {
  const LargeSample& s = largeSample(path);
  if (s.data.empty()) {
    state.SkipWithError("no input");
    return;
  }
  std::vector<std::uint8_t> window(64 + s.data.size());
  std::uint8_t* base = window.data() + 64;
  std::size_t packed = 0;
  for (const auto& block : s.blocks) packed += block.size();
  for (auto _ : state) {
    const double before = processCpuSeconds();
    quorvex::lz::LzDecoder decoder;
    bool ok = true;
    for (std::size_t i = 0, start = 0; ok && i < s.blocks.size(); ++i, start += kLargeBlockBytes) {
      const auto size = static_cast<std::uint32_t>(std::min(kLargeBlockBytes, s.data.size() - start));
      ok = decoder.decodeBlock(s.blocks[i], base, base + start, size);
    }
    benchmark::DoNotOptimize(ok);
    state.SetIterationTime(processCpuSeconds() - before);
    if (!ok || !std::equal(s.data.begin(), s.data.end(), base)) state.SkipWithError("round trip failed");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * s.data.size()));
  state.counters["packed"] = static_cast<double>(packed);
}

void XzDecodeLarge(benchmark::State& state, fs::path path) { measurePeerDecode(state, path, "xz -6 -c -k", "xz -d -c"); }

// Everything is registered at start-up, per corpus file, in pairs that read side by side.
const bool registered = [] {
  for (const fs::path& path : corpusPaths()) {
    const std::string name = corpusName(path);
    benchmark::RegisterBenchmark(("LzDecode/" + name).c_str(), LzDecode, path)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("LzDecodeSecondBlock/" + name).c_str(), LzDecodeSecondBlock, path)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("XzDecode/" + name).c_str(), XzDecode, path)->UseManualTime()->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("LzEncode/" + name).c_str(), LzEncode, path)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("XzEncode/" + name).c_str(), XzEncode, path)->UseManualTime()->Unit(benchmark::kMillisecond);
  }
  if (const fs::path large = largeInput(); !large.empty() && fs::exists(large) && fs::file_size(large) > 0) {
    benchmark::RegisterBenchmark("LzDecodeLarge", LzDecodeLarge, large)->UseManualTime()->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("XzDecodeLarge", XzDecodeLarge, large)->UseManualTime()->Unit(benchmark::kMillisecond);
  }
  return true;
}();

}  // namespace

BENCHMARK_MAIN();
