#include "codecs/bwt/local_matches.hpp"

#include <cstring>

#include "codecs/bwt/byte_runs.hpp"
#include "codecs/bwt/match_finder.hpp"

namespace quorvex::bwt {
namespace {

constexpr bool isLocalEscapeByte(std::uint8_t x) { return x <= 1; }
constexpr std::uint8_t kLocalMatch = 0x00;
constexpr std::uint8_t kLocalLiteralPair = 0x01;

}  // namespace

std::uint32_t expandLocalMatches(std::span<const std::uint8_t> side, const std::uint8_t* input, std::uint32_t n,
                                 std::uint8_t* output, std::uint32_t capacity) {
  BinaryDecoder decoder(side);
  LocalMatchModel model;
  std::uint32_t in = 0;
  std::uint32_t out = 0;
  while (in < n) {
    // Literals up to and including the next marker pair that an escape byte follows;
    // a pair is looked for only among bytes copied since the last escape.
    const LiteralRun run = copyLiteralRun(input, in, n, kLocalEscapeSecond, isLocalEscapeByte, output, out, capacity);
    if (run == LiteralRun::overflow) return 0;
    if (run == LiteralRun::ended) break;
    if (input[in++] == kLocalLiteralPair) continue;
    out -= 2;  // the marker pair is not data
    bool repeated = false;
    const std::uint32_t distance = codeLocalDistance(decoder, model, 0, repeated);
    const std::uint64_t lengthValue = codeMatchLength(decoder, model.lengths, repeated, 0);
    if (lengthValue == kInvalidLength) return 0;
    const std::uint64_t length = lengthValue + kLocalMinLength;
    if (distance == 0 || distance > out || length > capacity - out) return 0;
    copyWithinOutput(output + out, distance, length);
    out += static_cast<std::uint32_t>(length);
  }
  return out;
}

ShortenedBlock findLocalMatches(std::span<const std::uint8_t> block, std::uint32_t minLength) {
  constexpr std::uint32_t kChainDepth = 32;
  if (minLength < kLocalMinLength) minLength = kLocalMinLength;
  ShortenedBlock result;
  result.bytes.reserve(block.size());
  BinaryEncoder encoder(result.side);
  LocalMatchModel model;
  EscapedWriter writer(result.bytes, kLocalEscapeSecond, kLocalLiteralPair);
  HashChains chains(block);
  const std::uint32_t n = static_cast<std::uint32_t>(block.size());
  std::uint32_t i = 0;
  while (i < n) {
    const std::uint32_t room = n - i;
    FoundMatch best = chains.longest(block.data() + i, room, kChainDepth);
    std::uint32_t distance = i - best.position;
    // A recent distance as long as the best costs far fewer bits.
    for (const std::uint32_t recent : model.recentDistances) {
      if (recent > i) continue;
      const std::uint32_t length = chains.agreement(i - recent, block.data() + i, room);
      if (length >= best.length && length > 0) {
        best = {i - recent, length};
        distance = recent;
        break;
      }
    }
    if (best.length < minLength) {
      writer.literal(block[i]);
      chains.insert(i++);
      continue;
    }
    writer.escape(kLocalMatch);
    bool repeated = false;
    codeLocalDistance(encoder, model, distance, repeated);
    codeMatchLength(encoder, model.lengths, repeated, best.length - kLocalMinLength);
    for (const std::uint32_t end = i + best.length; i < end; ++i) chains.insert(i);
    ++result.matches;
  }
  encoder.flush();
  trimTrailingZeros(result.side);
  return result;
}

}  // namespace quorvex::bwt
