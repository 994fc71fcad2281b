#include "text/line_breaks.hpp"

#include <algorithm>
#include <array>
#include <bit>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "model/binary_coder.hpp"
#include "model/block_copy.hpp"
#include "model/counters.hpp"
#include "text/char_class.hpp"
#include "text/interpolation_map.hpp"

namespace quorvex::text {
namespace {

constexpr std::uint8_t kLf = '\n';
constexpr std::uint32_t kHistoryLength = 32;
constexpr std::uint8_t kInitialLineLength = 70;
constexpr std::uint32_t kDefaultLow = 40;
constexpr std::uint32_t kDefaultHigh = 96;

// Class of the byte before a candidate break (1..15).
constexpr std::array<std::uint8_t, 256> kPreviousClass = [] {
  std::array<std::uint8_t, 256> table{};
  for (int b = 0; b < 256; ++b) table[b] = static_cast<std::uint8_t>(12 + b % 4);
  for (int b : {'\n', '\r', ' '}) table[b] = 1;
  for (int b = 'a'; b <= 'z'; ++b) table[b] = 2;
  for (int b = 'A'; b <= 'Z'; ++b) table[b] = 3;
  table['.'] = 4;
  table['!'] = table['?'] = 5;
  table['\''] = 6;
  table['"'] = 7;
  for (int b : {'(', ')', '<', '>', '[', ']', '{', '}'}) table[b] = 8;
  for (int b : {',', ':', ';'}) table[b] = 9;
  table['-'] = 10;
  for (int b : {'#', '%', '&', '*', '+', '@'}) table[b] = 11;
  return table;
}();

// Class of the byte after a candidate break (0..7).
constexpr std::array<std::uint8_t, 256> kNextClass = [] {
  std::array<std::uint8_t, 256> table{};
  for (int b : {'\n', '\r', ' '}) table[b] = 1;
  for (int b = 'a'; b <= 'z'; ++b) table[b] = 2;
  for (int b = 'A'; b <= 'Z'; ++b) table[b] = 3;
  for (int b : {'!', ',', '.', ':', ';', '?'}) table[b] = 4;
  table['"'] = table['\''] = 5;
  for (int b : {'(', ')', '<', '>', '[', ']', '{', '}'}) table[b] = 6;
  table['-'] = 7;
  return table;
}();

bool isTerminator(std::uint8_t byte) { return byte == kLf || byte == ' '; }
bool mayPrecedeBreak(std::uint8_t byte) { return byte > 32 && byte != '>'; }
bool mayFollowBreak(std::uint8_t byte) { return byte == '<' || isLetter(byte) || byte >= 128; }

// The excess of a line over the recent average, taken modulo 128 (negative excesses
// read as 64..127), in 8 buckets.
std::uint32_t lengthBucket(std::uint32_t excess) {
  const std::uint32_t x = excess & 127u;
  if (x <= 4) return x + 1;
  if (x <= 6) return 6;
  if (x <= 63) return 7;
  return 0;
}

struct Header {
  std::uint32_t minLine = 0;
  std::uint32_t low = kDefaultLow;
  std::uint32_t high = kDefaultHigh;
  std::size_t size = 0;  // header bytes before the coded stream
};

Header readHeader(std::span<const std::uint8_t> side) {
  Header header;
  if (side.empty()) return header;
  const std::uint8_t h = side[0];
  header.minLine = h >> 1;
  header.size = 1;
  if (h & 1u) {
    header.low = side.size() > 1 ? side[1] : 0;
    header.high = header.low + 1 + (side.size() > 2 ? side[2] : 0);
    header.size = std::min<std::size_t>(3, side.size());
  }
  return header;
}

struct LineBreakModel {
  std::array<std::uint16_t, 1024> counters;
  std::array<std::uint16_t, 8 * 11> map1;
  std::array<std::uint16_t, 64 * 14> map2;
  std::array<std::uint16_t, 128 * 11> map3;
  std::array<std::uint8_t, kHistoryLength> history;
  std::uint32_t historyCount = 0;
  std::uint32_t historySum = kHistoryLength * kInitialLineLength;
  Header header;

  explicit LineBreakModel(const Header& h) : header(h) {
    counters.fill(0x8000);
    fillInterpolationRows(map1.data(), 8, 11);
    fillInterpolationRows(map2.data(), 64, 14);
    fillInterpolationRows(map3.data(), 128, 11);
    history.fill(kInitialLineLength);
  }

  // One decision at a candidate of line length d; 1 is a break.
  template <class Coder>
  std::uint32_t codeBreak(Coder& coder, std::uint32_t d, std::uint32_t wordLength, std::uint8_t before,
                          std::uint8_t after, std::uint32_t bit) {
    const std::uint32_t average = (historySum + 16) >> 5;
    const std::uint32_t context =
        lengthBucket(d + wordLength - average) * 128 + kPreviousClass[before] * 8u + kNextClass[after];
    std::uint16_t& counter = counters[context];
    const MapReading r1 = readMap(&map1[(context >> 7) * 11], StretchTable[counter >> 4] * 10u);
    const std::uint32_t row2 = std::min<std::uint32_t>(63, (d - header.minLine) >> 1);
    const MapReading r2 = readMap(&map2[row2 * 14], StretchTable[r1.p] * 13u);
    const MapReading r3 = readMap(&map3[(context & 63) * 11], StretchTable[r2.p] * 10u);
    const std::uint32_t y = coder.codeBit(r3.p, bit);
    adaptCounter(counter, y, 65536, 8, 4);
    refineNode(r1.node, y, 65790, 8);
    refineNode(r2.node, y, 65598, 6);
    refineNode(r3.node, y, 65790, 8);
    if (y && header.low <= d && d <= header.high) {
      const std::uint32_t slot = ++historyCount % kHistoryLength;
      historySum = historySum - history[slot] + d;
      history[slot] = static_cast<std::uint8_t>(d);
    }
    return y;
  }
};

// 1 + the bytes from in[i] on before the next space or line feed (or the input end).
std::uint32_t nextWordLength(const std::uint8_t* in, std::uint32_t i, std::uint32_t n) {
  std::uint32_t j = i;
  while (j < n && !isTerminator(in[j])) ++j;
  return 1 + (j - i);
}

// Copies in[i..) to out[i..) up to the next space or line feed (or n) and returns its
// position, sixteen bytes at a time while a whole block is left.
std::uint32_t copyUntilTerminator(const std::uint8_t* in, std::uint8_t* out, std::uint32_t i, std::uint32_t n) {
#if defined(__SSE2__)
  i += copyBlocksUntilMarked(in + i, out + i, n - i, [](__m128i bytes) {
    return _mm_or_si128(bytesEqualTo(bytes, ' '), bytesEqualTo(bytes, kLf));
  });
#endif
  for (; i < n && !isTerminator(in[i]); ++i) out[i] = in[i];
  return i;
}

// Walks the text as the decoder does, coding a decision at every candidate. The
// encoder passes the original text, whose line feeds give the bits.
template <class Coder>
void walkLineBreaks(LineBreakModel& model, Coder& coder, const std::uint8_t* in, std::uint32_t n, std::uint8_t* out,
                    const std::uint8_t* original) {
  out[0] = in[0];
  std::uint32_t current = 0;    // position of C, the byte before the candidate's follower
  std::uint32_t lineStart = 0;  // S
  std::uint8_t before = 0;      // Q, the byte before C
  for (std::uint32_t i = 1; i < n; ++i) {
    const std::uint8_t c = out[current];
    if (c == ' ' || c == kLf) {
      const std::uint32_t d = current + 1 - lineStart;
      const bool candidate =
          d >= model.header.minLine && i + 1 < n && mayPrecedeBreak(before) && mayFollowBreak(in[i]);
      bool lineEnds = c == kLf;
      if (candidate) {
        const std::uint32_t bit = original ? (original[current] == kLf ? 1u : 0u) : 0u;
        if (model.codeBreak(coder, d, nextWordLength(in, i, n), before, in[i], bit)) {
          out[current] = kLf;
          lineEnds = true;
        }
      }
      if (lineEnds) lineStart = current + 1;
    } else {
      // Inside a word nothing is decided: the word is copied whole, with the
      // terminator after it, which is looked at next.
      const std::uint32_t end = copyUntilTerminator(in, out, i, n);
      before = end > i ? in[end - 1] : c;
      if (end == n) break;
      out[end] = in[end];
      current = end;
      i = end;
      continue;
    }
    before = out[current];
    out[i] = in[i];
    current = i;
  }
}

}  // namespace

std::uint32_t decodeLineBreaks(std::span<const std::uint8_t> side, const std::uint8_t* in, std::uint32_t n,
                               std::uint8_t* out) {
  if (n == 0) return 0;
  const Header header = readHeader(side);
  BinaryDecoder decoder(side.subspan(header.size));
  LineBreakModel model(header);
  walkLineBreaks(model, decoder, in, n, out, nullptr);
  return n;
}

std::uint32_t encodeLineBreaks(const std::uint8_t* in, std::uint32_t n, std::uint8_t* out,
                               std::vector<std::uint8_t>& side) {
  side.clear();
  if (n < 3) return 0;
  // The line feeds the decoder can restore, with their line lengths.
  std::vector<std::uint32_t> lengths;
  std::uint32_t lineStart = 0;
  for (std::uint32_t c = 0; c + 2 < n; ++c) {
    if (in[c] != kLf) continue;
    if (c >= 1 && mayPrecedeBreak(in[c - 1]) && mayFollowBreak(in[c + 1])) lengths.push_back(c + 1 - lineStart);
    lineStart = c + 1;
  }
  if (lengths.empty()) return 0;
  std::vector<std::uint32_t> sorted = lengths;
  std::sort(sorted.begin(), sorted.end());
  const auto quantile = [&sorted](std::uint32_t percent) { return sorted[sorted.size() * percent / 100]; };
  // Lines shorter than the shortest few per cent keep their line feeds, so that the
  // spaces of short lines need no decision at all.
  Header header;
  header.minLine = std::min<std::uint32_t>(127, quantile(2));
  header.low = std::min<std::uint32_t>(255, quantile(5) > 2 ? quantile(5) - 2 : 0);
  header.high = std::max(header.low + 1, std::min<std::uint32_t>(header.low + 256, quantile(95) + 2));
  side.push_back(static_cast<std::uint8_t>((header.minLine << 1) | 1u));
  side.push_back(static_cast<std::uint8_t>(header.low));
  side.push_back(static_cast<std::uint8_t>(header.high - header.low - 1));

  std::copy(in, in + n, out);
  std::uint32_t reflowed = 0;
  lineStart = 0;
  for (std::uint32_t c = 0; c + 2 < n; ++c) {
    if (in[c] != kLf) continue;
    if (c >= 1 && mayPrecedeBreak(in[c - 1]) && mayFollowBreak(in[c + 1]) && c + 1 - lineStart >= header.minLine) {
      out[c] = ' ';
      ++reflowed;
    }
    lineStart = c + 1;
  }
  std::vector<std::uint8_t> restored(n);
  BinaryEncoder encoder(side);
  LineBreakModel model(header);
  walkLineBreaks(model, encoder, out, n, restored.data(), in);
  encoder.flush();
  return reflowed;
}

}  // namespace quorvex::text
