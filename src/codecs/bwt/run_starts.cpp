#include "codecs/bwt/run_starts.hpp"

namespace quorvex::bwt {

RunPlan planRunStarts(std::span<const std::uint8_t> symbols) {
  RunPlan plan;
  const std::size_t n = symbols.size();
  // Run starts, counted per value, and each value's last run index.
  std::array<std::uint32_t, 256> runsOf{};
  std::array<std::uint32_t, 256> lastRun{};
  std::array<bool, 256> seen{};
  std::uint32_t runs = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint8_t b = symbols[i];
    if (i > 0 && symbols[i - 1] == b) continue;
    if (!seen[b]) {
      seen[b] = true;
      plan.listed[plan.distinct++] = b;
    }
    ++runsOf[b];
    lastRun[b] = runs++;
  }
  plan.firstRun[0] = 0;
  for (std::uint32_t b = 0; b < 256; ++b) plan.firstRun[b + 1] = plan.firstRun[b] + runsOf[b];
  plan.runStarts.resize(runs);
  std::array<std::uint32_t, 256> fill{};
  for (std::uint32_t b = 0; b < 256; ++b) fill[b] = plan.firstRun[b];
  std::vector<bool> isLast(runs, false);
  for (std::uint32_t b = 0; b < 256; ++b) {
    if (seen[b]) isLast[lastRun[b]] = true;
  }
  std::uint32_t finished = 0;
  std::uint32_t run = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint8_t b = symbols[i];
    if (i > 0 && symbols[i - 1] == b) continue;
    plan.runStarts[fill[b]++] = static_cast<std::uint32_t>(i);
    if (isLast[run]) plan.finishingRuns[finished++] = run;
    ++run;
  }
  return plan;
}

std::uint32_t decodeRunStarts(RunStartModel& model, std::span<const std::uint8_t> arithmetic,
                              std::span<const std::uint8_t> rawBits, std::uint8_t* output, std::uint32_t n) {
  BinaryDecoder decoder(arithmetic);
  WordBitReader reader(rawBits);
  return codeRunStarts(model, decoder, reader, output, n, nullptr);
}

RunStartStreams encodeRunStarts(RunStartModel& model, std::span<const std::uint8_t> symbols) {
  RunStartStreams streams;
  RunPlan plan = planRunStarts(symbols);
  BinaryEncoder encoder(streams.arithmetic);
  WordBitWriter writer(streams.rawBits);
  codeRunStarts(model, encoder, writer, nullptr, static_cast<std::uint32_t>(symbols.size()), &plan);
  encoder.flush();
  writer.finish();
  return streams;
}

}  // namespace quorvex::bwt
