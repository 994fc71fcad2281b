#include "codecs/bwt/history_matches.hpp"

#include <algorithm>
#include <cstring>

#include "codecs/bwt/byte_runs.hpp"
#include "codecs/bwt/match_finder.hpp"

namespace quorvex::bwt {
namespace {

constexpr bool anyByte(std::uint8_t) { return true; }
constexpr std::uint8_t kHistoryLiteralPair = 0x00;
constexpr std::uint32_t kOffsetBytes = 4;

}  // namespace

std::uint32_t expandHistoryMatches(std::span<const std::uint8_t> side, const std::uint8_t* input, std::uint32_t n,
                                   std::uint8_t* output, std::uint32_t capacity,
                                   std::span<const std::uint8_t> history) {
  BinaryDecoder decoder(side);
  MatchLengthModel model;
  std::uint32_t in = 0;
  std::uint32_t out = 0;
  while (in < n) {
    const LiteralRun run = copyLiteralRun(input, in, n, kHistoryEscapeSecond, anyByte, output, out, capacity);
    if (run == LiteralRun::overflow) return 0;
    if (run == LiteralRun::ended) break;
    if (input[in] == kHistoryLiteralPair) {
      ++in;
      continue;
    }
    if (n - in < kOffsetBytes) return 0;
    const std::uint32_t named = (std::uint32_t{input[in]} << 24) | (std::uint32_t{input[in + 1]} << 16) |
                                (std::uint32_t{input[in + 2]} << 8) | input[in + 3];
    in += kOffsetBytes;
    out -= 2;  // the marker pair is not data
    const std::uint64_t source = 0xFFFFFFFFu - named;
    const std::uint64_t lengthValue = codeMatchLength(decoder, model, true, 0);
    if (lengthValue == kInvalidLength) return 0;
    const std::uint64_t length = lengthValue + kHistoryMinLength;
    if (source + length > history.size() || length > capacity - out) return 0;
    std::memcpy(output + out, history.data() + source, length);
    out += static_cast<std::uint32_t>(length);
  }
  return out;
}

ShortenedBlock findHistoryMatches(std::span<const std::uint8_t> block, std::span<const std::uint8_t> history,
                                  std::uint32_t minLength, std::uint64_t historyStart) {
  constexpr std::uint32_t kChainDepth = 16;
  if (minLength < kHistoryMinLength) minLength = kHistoryMinLength;
  // Only the newest part of a large window is searched; offsets must stay nameable.
  const std::uint64_t windowEnd = historyStart + history.size();
  const std::uint64_t searchedEnd = std::max(historyStart, std::min<std::uint64_t>(windowEnd, kHistoryOffsetLimit));
  const std::uint64_t searchedStart =
      std::max(historyStart, searchedEnd > kSearchedHistory ? searchedEnd - kSearchedHistory : 0);
  const auto searched = history.subspan(static_cast<std::size_t>(searchedStart - historyStart),
                                        static_cast<std::size_t>(searchedEnd - searchedStart));
  HashChains chains(searched);
  for (std::uint32_t position = 0; position < searched.size(); ++position) chains.insert(position);

  ShortenedBlock result;
  result.bytes.reserve(block.size());
  BinaryEncoder encoder(result.side);
  MatchLengthModel model;
  EscapedWriter writer(result.bytes, kHistoryEscapeSecond, kHistoryLiteralPair);
  const std::uint32_t n = static_cast<std::uint32_t>(block.size());
  std::uint32_t i = 0;
  while (i < n) {
    const FoundMatch best = chains.longest(block.data() + i, n - i, kChainDepth);
    if (best.length < minLength) {
      writer.literal(block[i++]);
      continue;
    }
    const std::uint32_t named = 0xFFFFFFFFu - static_cast<std::uint32_t>(searchedStart + best.position);
    writer.escape(named >> 24, named >> 16, named >> 8, named);
    codeMatchLength(encoder, model, true, best.length - kHistoryMinLength);
    i += best.length;
    ++result.matches;
  }
  encoder.flush();
  trimTrailingZeros(result.side);
  return result;
}

}  // namespace quorvex::bwt
