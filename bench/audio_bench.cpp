// Audio codec size and decoding speed per corpus WAV file, next to flac -8 and
// wavpack -hh on the same files in the same run (peers timed as bench_support.hpp
// describes: processor time of the child process).
#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

#include "bench_support.hpp"
#include "codecs/audio/audio_block.hpp"
#include "codecs/audio/audio_encoder.hpp"
#include "codecs/audio/wav_file.hpp"
#include "quorvex/archive_writer.hpp"

namespace {

using namespace quorvex::bench;

struct Sample {
  std::vector<std::uint8_t> file;
  std::vector<std::uint8_t> block;  // the audio block's output: header and samples
  std::vector<std::uint8_t> payload;
  std::size_t archiveSize = 0;  // the whole file through the archive writer
};

const Sample& sample(const fs::path& path) {
  return cachedSample<Sample>(path, [](const fs::path& path) {
    Sample s;
    s.file = readBytes(path);
    const auto wav = quorvex::audio::parseWav(s.file);
    if (wav && wav->dataBegin <= quorvex::audio::kLongestPrefix) {
      s.block.assign(s.file.begin(), s.file.begin() + static_cast<std::ptrdiff_t>(wav->dataEnd));
      quorvex::audio::AudioEncoder encoder;
      s.payload = encoder.encodeBlock(
          s.block, {wav->channels, wav->sampleWidth, true, wav->sampleWidth == 1, static_cast<std::uint32_t>(wav->dataBegin)});
      quorvex::ArchiveWriter writer;
      if (writer.addWavFile(s.file)) s.archiveSize = writer.bytes().size();
    }
    return s;
  });
}

void AudioDecode(benchmark::State& state, fs::path path) {
  const Sample& s = sample(path);
  if (s.payload.empty()) {
    state.SkipWithError("not a WAV file the encoder takes");
    return;
  }
  std::vector<std::uint8_t> buffer(std::size_t{1} << 24);
  std::vector<std::uint8_t> output;
  output.reserve(s.block.size());
  for (auto _ : state) {
    state.PauseTiming();
    auto decoder = quorvex::audio::createAudioDecoder();
    output.clear();
    state.ResumeTiming();
    const bool ok = quorvex::audio::decodeAudioBlock(
        *decoder, s.payload, static_cast<std::uint32_t>(s.block.size()), buffer,
        [&output](std::span<const std::uint8_t> bytes) { output.insert(output.end(), bytes.begin(), bytes.end()); });
    if (!ok || output != s.block) state.SkipWithError("round trip failed");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * s.file.size()));
  state.counters["packed"] = static_cast<double>(s.archiveSize);
  state.counters["bits/byte"] = 8.0 * static_cast<double>(s.archiveSize) / static_cast<double>(s.file.size());
}

void AudioEncode(benchmark::State& state, fs::path path) {
  const Sample& s = sample(path);
  for (auto _ : state) {
    quorvex::ArchiveWriter writer;
    benchmark::DoNotOptimize(writer.addWavFile(s.file));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * s.file.size()));
}

// A peer packs the file once to a file of its own; its decoder is timed writing to a
// file nobody reads.
void PeerDecode(benchmark::State& state, fs::path path, std::string pack, std::string unpack, std::string suffix) {
  const fs::path packed = fs::temp_directory_path() / ("audio_bench_" + path.filename().string() + suffix);
  if (timedCommand(pack + " " + quoted(path) + " -o " + quoted(packed) + " 2>" + discardedOutput()) < 0) {
    state.SkipWithError(("cannot run: " + pack).c_str());
    return;
  }
  for (auto _ : state) {
    const double seconds = timedCommand(unpack + " " + quoted(packed) + " > " + discardedOutput() + " 2>&1");
    if (seconds < 0) state.SkipWithError(("cannot run: " + unpack).c_str());
    state.SetIterationTime(seconds);
  }
  const auto size = static_cast<double>(fs::file_size(path));
  const auto packedSize = static_cast<double>(fs::file_size(packed));
  state.SetBytesProcessed(static_cast<std::int64_t>(static_cast<double>(state.iterations()) * size));
  state.counters["packed"] = packedSize;
  state.counters["bits/byte"] = 8.0 * packedSize / size;
  fs::remove(packed);
}

const bool registered = [] {
  for (const fs::path& path : corpusPaths("audio")) {
    if (path.extension() != ".wav") continue;
    const std::string name = corpusName(path);
    benchmark::RegisterBenchmark(("AudioDecode/" + name).c_str(), AudioDecode, path)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("FlacDecode/" + name).c_str(), PeerDecode, path, "flac -8 -s -f", "flac -d -s -c",
                                 ".flac")
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("WavpackDecode/" + name).c_str(), PeerDecode, path, "wavpack -hh -q -y",
                                 "wvunpack -q -y -o - ", ".wv")
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("AudioEncode/" + name).c_str(), AudioEncode, path)->Unit(benchmark::kMillisecond);
  }
  return true;
}();

}  // namespace

BENCHMARK_MAIN();
