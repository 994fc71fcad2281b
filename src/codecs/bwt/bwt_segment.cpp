#include "codecs/bwt/bwt_segment.hpp"

#include <cstring>

#include "codecs/bwt/backward_number.hpp"
#include "codecs/bwt/byte_runs.hpp"
#include "codecs/bwt/run_starts.hpp"

namespace quorvex::bwt {

namespace {

// The segment trailer, read backwards from the end of the f coded bytes.
struct SegmentTrailer {
  std::uint32_t A = 0;  // symbol count before run expansion; 0: no expansion
  std::uint32_t B = 0;  // run-count stream length
  bool runStarts = false;
  std::uint32_t S = 0;  // raw-bit stream length
  std::uint64_t N = 0;  // where the trailer begins
  std::uint64_t D = 0;  // where the arithmetic stream or the symbols begin
};

// False when the trailer alone fails the segment: L > c, or no byte left for the
// symbols or the arithmetic stream.
bool readSegmentTrailer(const std::uint8_t* region, std::uint32_t f, std::uint32_t c, SegmentTrailer& t) {
  const std::uint8_t* cursor = region + f;
  const std::uint32_t saved = readBackwardNumber(region, cursor);
  if (saved != 0) {
    if (saved > c) return false;
    t.A = c - saved;
  }
  t.B = t.A != 0 ? readBackwardNumber(region, cursor) : 0;
  const std::uint32_t E = readBackwardNumber(region, cursor);
  t.runStarts = E != 0;
  t.S = t.runStarts ? E - 1 : 0;
  t.N = static_cast<std::uint64_t>(cursor - region);
  t.D = std::uint64_t{t.B} + t.S;
  return t.D < t.N;
}

}  // namespace

std::uint32_t decodeSegment(RunStartModel& model, std::uint8_t* region, std::uint64_t room, std::uint32_t f,
                            std::uint32_t c) {
  if (f > room || 3ull * c > room) return 0;
  SegmentTrailer t;
  if (!readSegmentTrailer(region, f, c, t)) return 0;
  const auto [A, B, runStarts, S, N, D] = t;

  // Without stages the symbols are the region's bytes from D on, as they stand: past
  // the coded bytes those are whatever the region held (see segmentTakesStandingBytes).
  const std::uint8_t* source = region + D;
  if (runStarts) {
    const std::span<const std::uint8_t> arithmetic(region + D, N - D);
    const std::span<const std::uint8_t> rawBits(region + B, S);
    if (decodeRunStarts(model, arithmetic, rawBits, region + c, A != 0 ? A : c) != 0) return 0;
    source = region + c;
  } else if (A != 0 && D + A > room) {
    return 0;  // symbols claimed beyond the buffer
  }
  if (A != 0) {
    BinaryDecoder decoder(std::span<const std::uint8_t>(region, B));
    ClassTree tree;
    std::uint8_t* out = region + (runStarts ? 2ull * c : c);
    // An expansion short of c bytes would leave the rest to what the region held,
    // which no stream decides: such a segment fails (no writer makes one).
    if (expandByteRuns(decoder, tree, source, A, out, c) != c) return 0;
    source = out;
  }
  if (source != region) std::memmove(region, source, c);
  return c;
}

bool segmentTakesStandingBytes(const std::uint8_t* coded, std::uint32_t f, std::uint32_t c) {
  SegmentTrailer t;
  if (!readSegmentTrailer(coded, f, c, t) || t.runStarts) return false;
  return t.D + (t.A != 0 ? t.A : c) > f;
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
