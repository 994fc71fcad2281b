// Inverse throughput of the BWT match stages, word runs, strided delta and the text
// transforms, per corpus file, on data each stage's forward twin prepared. Rates are
// bytes restored per second.
//
// LocalMatches/min7 takes every match of 7 bytes and more (the worst case for the
// decoder); min32 is what the archive maker uses. HistoryMatches expands a file against
// a window holding its first half. WordRuns and Delta run on what their finders leave;
// TextTransforms undoes every text transform the maker's choice keeps for the file
// (the copy of the coded text each round, which remapping changes in place, included).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bench_support.hpp"
#include "codecs/bwt/history_matches.hpp"
#include "codecs/bwt/local_matches.hpp"
#include "stages/strided_delta.hpp"
#include "stages/word_runs.hpp"
#include "text/text_pipeline.hpp"

namespace {

using namespace quorvex;
using namespace quorvex::bench;

void setRate(benchmark::State& state, std::size_t restored, std::size_t coded) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * restored));
  state.counters["coded"] = static_cast<double>(coded);
}

void localMatches(benchmark::State& state, const fs::path& path, std::uint32_t minLength) {
  const std::vector<std::uint8_t> data = readBytes(path);
  const bwt::ShortenedBlock forward = bwt::findLocalMatches(data, minLength);
  std::vector<std::uint8_t> output(data.size());
  for (auto _ : state) {
    benchmark::DoNotOptimize(bwt::expandLocalMatches(forward.side, forward.bytes.data(),
                                                     static_cast<std::uint32_t>(forward.bytes.size()), output.data(),
                                                     static_cast<std::uint32_t>(output.size())));
  }
  setRate(state, data.size(), forward.bytes.size() + forward.side.size());
}

void historyMatches(benchmark::State& state, const fs::path& path) {
  const std::vector<std::uint8_t> data = readBytes(path);
  const std::vector<std::uint8_t> window(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(data.size() / 2));
  const bwt::ShortenedBlock forward = bwt::findHistoryMatches(data, window, 32);
  std::vector<std::uint8_t> output(data.size());
  for (auto _ : state) {
    benchmark::DoNotOptimize(bwt::expandHistoryMatches(forward.side, forward.bytes.data(),
                                                       static_cast<std::uint32_t>(forward.bytes.size()),
                                                       output.data(), static_cast<std::uint32_t>(output.size()),
                                                       window));
  }
  setRate(state, data.size(), forward.bytes.size() + forward.side.size());
}

void wordRuns(benchmark::State& state, const fs::path& path) {
  const std::vector<std::uint8_t> data = readBytes(path);
  const stages::ShortenedWords forward = stages::shortenWordRuns(data);
  std::vector<std::uint8_t> output(data.size());
  for (auto _ : state) {
    BinaryDecoder decoder(forward.side);
    ClassTree tree;
    std::uint32_t length = static_cast<std::uint32_t>(output.size());
    stages::expandWordRuns(decoder, tree, forward.bytes.data(), static_cast<std::uint32_t>(forward.bytes.size()),
                           output.data(), length);
    benchmark::DoNotOptimize(length);
  }
  setRate(state, data.size(), forward.bytes.size() + forward.side.size());
}

void delta(benchmark::State& state, const fs::path& path) {
  const std::vector<std::uint8_t> data = readBytes(path);
  const stages::DeltaCoded forward = stages::encodeDeltaRegions(data, stages::findDeltaRegions(data));
  std::vector<std::uint8_t> output(data.size());
  for (auto _ : state) {
    WordBitReader reader(forward.side);
    benchmark::DoNotOptimize(stages::decodeDeltaRegions(reader, forward.bytes.data(),
                                                        static_cast<std::uint32_t>(data.size()), output.data()));
  }
  setRate(state, data.size(), forward.side.size());
}

void textTransforms(benchmark::State& state, const fs::path& path) {
  const std::vector<std::uint8_t> data = readBytes(path);
  const text::ForwardText forward = text::encodeTextTransforms(data, 0x3F, true, true);
  const auto capacity = static_cast<std::uint32_t>(2 * data.size() + 64);
  std::vector<std::uint8_t> a(capacity);
  std::vector<std::uint8_t> b(capacity);
  for (auto _ : state) {
    std::copy(forward.text.begin(), forward.text.end(), a.begin());
    std::uint8_t* current = a.data();
    std::uint8_t* other = b.data();
    text::TextTransformContext context =
        text::createTextTransformContext(forward.numericData, forward.lineBreakData, true);
    benchmark::DoNotOptimize(text::runTextTransforms(context, current, static_cast<std::uint32_t>(forward.text.size()),
                                                     other, capacity, forward.bits));
  }
  setRate(state, data.size(), forward.text.size() + forward.numericData.size() + forward.lineBreakData.size());
  state.counters["bits"] = forward.bits;
}

const bool registered = [] {
  for (const fs::path& path : corpusPaths()) {
    const std::string name = corpusName(path);
    benchmark::RegisterBenchmark(("LocalMatches/min7/" + name).c_str(), localMatches, path, 7u);
    benchmark::RegisterBenchmark(("LocalMatches/min32/" + name).c_str(), localMatches, path, 32u);
    benchmark::RegisterBenchmark(("HistoryMatches/" + name).c_str(), historyMatches, path);
    benchmark::RegisterBenchmark(("WordRuns/" + name).c_str(), wordRuns, path);
    benchmark::RegisterBenchmark(("Delta/" + name).c_str(), delta, path);
    benchmark::RegisterBenchmark(("TextTransforms/" + name).c_str(), textTransforms, path);
  }
  return true;
}();

}  // namespace

BENCHMARK_MAIN();
