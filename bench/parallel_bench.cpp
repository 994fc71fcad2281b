// Wall and processor time of decoding one archive with one thread and with two, for
// an archive of BWT blocks and one of context-mixing sections (a fresh model every
// few MiB), each of 8 MiB or more: the corpus joined and repeated; and one of LZ blocks
// in members of 3 MiB (LZ blocks read the window and the model the block before left,
// so only members let them decode side by side; a member smaller than the corpus keeps
// its repeats out of its window). A plain program rather than a Google Benchmark: each
// decode takes a while. One thread and two take turns, five times each, and the medians
// are reported: on a shared machine one run of each can land on a busy moment and say
// little. Usage: parallel_bench [MiB [lz|bwt|cm]] (default 10, all three).

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_support.hpp"
#include "quorvex/archive_writer.hpp"
#include "quorvex/decoder.hpp"

namespace {

using namespace quorvex::bench;

// Counts the bytes and drops them.
class CountingSink final : public quorvex::OutputSink {
 public:
  bool append(std::span<const std::uint8_t> bytes) override {
    size += bytes.size();
    return true;
  }
  std::size_t size = 0;
};

struct Timing {
  double wall = 0;
  double cpu = 0;
};

Timing decode(const std::vector<std::uint8_t>& archive, unsigned threads, std::size_t expected) {
  CountingSink sink;
  quorvex::DecodeOptions options;
  options.threads = threads;
  const double cpuBefore = processCpuSeconds();
  const auto start = std::chrono::steady_clock::now();
  const quorvex::DecodeResult result = quorvex::decodeArchive(archive, sink, options);
  const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;
  if (!result.ok() || sink.size != expected) {
    std::fprintf(stderr, "decoding failed: %s\n", result.reason.c_str());
    std::exit(1);
  }
  return {wall.count(), processCpuSeconds() - cpuBefore};
}

// The run of median wall time among runs of one setting.
Timing median(std::vector<Timing> runs) {
  std::sort(runs.begin(), runs.end(), [](const Timing& a, const Timing& b) { return a.wall < b.wall; });
  return runs[runs.size() / 2];
}

void report(const char* name, const std::vector<std::uint8_t>& archive, std::size_t size) {
  constexpr int kRuns = 5;
  std::vector<Timing> ones, twos;
  for (int run = 0; run < kRuns; ++run) {
    ones.push_back(decode(archive, 1, size));
    twos.push_back(decode(archive, 2, size));
  }
  const Timing one = median(ones);
  const Timing two = median(twos);
  const double mib = static_cast<double>(size) / (1 << 20);
  std::printf("%s: %.1f MiB -> %zu bytes (medians of %d runs)\n", name, mib, archive.size(), kRuns);
  std::printf("  1 thread : wall %.2f s (%.2f MiB/s), cpu %.2f s\n", one.wall, mib / one.wall, one.cpu);
  std::printf("  2 threads: wall %.2f s (%.2f MiB/s), cpu %.2f s; wall speed-up %.2fx\n", two.wall, mib / two.wall,
              two.cpu, one.wall / two.wall);
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t size = static_cast<std::size_t>(argc > 1 ? std::atoi(argv[1]) : 10) << 20;
  std::vector<std::uint8_t> corpus;
  for (const fs::path& path : corpusPaths()) {
    const std::vector<std::uint8_t> bytes = readBytes(path);
    corpus.insert(corpus.end(), bytes.begin(), bytes.end());
  }
  if (corpus.empty()) {
    std::fprintf(stderr, "no corpus at %s\n", QUORVEX_CORPUS_DIR);
    return 1;
  }
  std::vector<std::uint8_t> input;
  while (input.size() < size) input.insert(input.end(), corpus.begin(), corpus.end());
  input.resize(size);
  const std::span<const std::uint8_t> data(input);
  constexpr std::size_t kBlock = 2u << 20;

  const std::string only = argc > 2 ? argv[2] : "";
  if (only.empty() || only == "lz") {
    constexpr std::size_t kLzBlock = 1u << 20;
    constexpr std::size_t kBlocksPerMember = 3;
    quorvex::ArchiveWriter lz;
    for (std::size_t at = 0, block = 0; at < size; at += kLzBlock, ++block) {
      if (block != 0 && block % kBlocksPerMember == 0) lz.startMember();
      lz.addLzBlock(data.subspan(at, std::min(kLzBlock, size - at)));
    }
    report("LZ blocks of 1 MiB in members of 3 MiB", lz.bytes(), size);
  }
  if (only == "lz") return 0;
  if (only != "cm") {
    quorvex::ArchiveWriter bwt;
    for (std::size_t at = 0; at < size; at += kBlock) bwt.addBwtBlock(data.subspan(at, std::min(kBlock, size - at)));
    report("BWT blocks of 2 MiB", bwt.bytes(), size);
  }
  if (only == "bwt") return 0;
  quorvex::ArchiveWriter cm;
  for (std::size_t at = 0; at < size; at += kBlock) {
    cm.addCmParams(22, 22, 31);  // a fresh model (2 MiB window) for every section
    cm.addCmBlock(data.subspan(at, std::min(kBlock, size - at)));
  }
  report("CM sections of 2 MiB", cm.bytes(), size);
  return 0;
}
