#include "codecs/bwt/bwt_segment.hpp"

#include <cstring>

#include "codecs/bwt/backward_number.hpp"
#include "codecs/bwt/byte_runs.hpp"
#include "codecs/bwt/run_starts.hpp"

namespace quorvex::bwt {

std::uint32_t decodeSegment(RunStartModel& model, std::uint8_t* region, std::uint64_t room, std::uint32_t f,
                            std::uint32_t c) {
  if (f > room || 3ull * c > room) return 0;
  const std::uint8_t* cursor = region + f;
  const std::uint32_t saved = readBackwardNumber(region, cursor);
  std::uint32_t A = 0;  // symbol count before run expansion; 0: no expansion
  if (saved != 0) {
    if (saved > c) return 0;
    A = c - saved;
  }
  const std::uint32_t B = A != 0 ? readBackwardNumber(region, cursor) : 0;
  const std::uint32_t E = readBackwardNumber(region, cursor);
  const bool runStarts = E != 0;
  const std::uint32_t S = runStarts ? E - 1 : 0;
  const std::uint64_t N = static_cast<std::uint64_t>(cursor - region);
  const std::uint64_t D = std::uint64_t{B} + S;
  if (D >= N) return 0;

  const std::uint8_t* source = region + D;
  if (runStarts) {
    const std::span<const std::uint8_t> arithmetic(region + D, N - D);
    const std::span<const std::uint8_t> rawBits(region + B, S);
    if (decodeRunStarts(model, arithmetic, rawBits, region + c, A != 0 ? A : c) != 0) return 0;
    source = region + c;
  } else if (D + (A != 0 ? A : c) > N) {
    return 0;  // symbols claimed beyond the coded bytes: the region's leftovers
  }
  if (A != 0) {
    BinaryDecoder decoder(std::span<const std::uint8_t>(region, B));
    ClassTree tree;
    std::uint8_t* out = region + (runStarts ? 2ull * c : c);
    if (expandByteRuns(decoder, tree, source, A, out, c) != c) return 0;  // short: leftovers would follow
    source = out;
  }
  if (source != region) std::memmove(region, source, c);
  return c;
}

namespace {

// A staged form: [run counts][raw bits][arithmetic or symbols] then E, B (when
// expanded), L, in memory order, so that a backward read meets L, B, E.
std::vector<std::uint8_t> stagedForm(const std::vector<std::uint8_t>* runCounts, const RunStartStreams* runStarts,
                                     std::span<const std::uint8_t> symbols, std::uint32_t saved) {
  std::vector<std::uint8_t> coded;
  if (runCounts) coded.insert(coded.end(), runCounts->begin(), runCounts->end());
  if (runStarts) {
    coded.insert(coded.end(), runStarts->rawBits.begin(), runStarts->rawBits.end());
    coded.insert(coded.end(), runStarts->arithmetic.begin(), runStarts->arithmetic.end());
    // The decoder needs a non-empty stream after the raw bits; its bytes past the end are zeros anyway.
    if (runStarts->arithmetic.empty()) coded.push_back(0);
    appendBackwardNumber(coded, static_cast<std::uint32_t>(runStarts->rawBits.size()) + 1);
  } else {
    coded.insert(coded.end(), symbols.begin(), symbols.end());
    appendBackwardNumber(coded, 0);
  }
  if (runCounts) appendBackwardNumber(coded, static_cast<std::uint32_t>(runCounts->size()));
  appendBackwardNumber(coded, saved);
  return coded;
}

RunStartStreams runStartStreams(RunStartModel& model, std::span<const std::uint8_t> symbols) {
  RunStartStreams streams = encodeRunStarts(model, symbols);
  trimTrailingZeros(streams.arithmetic);
  return streams;
}

}  // namespace

std::vector<std::uint8_t> encodeSegment(RunStartModel& model, std::span<const std::uint8_t> bytes) {
  const std::size_t c = bytes.size();
  std::vector<std::uint8_t> best = stagedForm(nullptr, nullptr, bytes, 0);  // stored
  auto consider = [&](std::vector<std::uint8_t>&& candidate) {
    if (candidate.size() <= c && candidate.size() < best.size()) best = std::move(candidate);
  };
  if (c == 0) return best;

  const RunStartStreams plain = runStartStreams(model, bytes);
  consider(stagedForm(nullptr, &plain, bytes, 0));

  const ContractedRuns contracted = contractByteRuns(bytes);
  const std::size_t A = contracted.symbols.size();
  if (A < c) {
    const auto saved = static_cast<std::uint32_t>(c - A);
    consider(stagedForm(&contracted.runCounts, nullptr, contracted.symbols, saved));
    const RunStartStreams both = runStartStreams(model, contracted.symbols);
    consider(stagedForm(&contracted.runCounts, &both, contracted.symbols, saved));
  }
  return best;
}

}  // namespace quorvex::bwt
