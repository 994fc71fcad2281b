// The per-block state of the LZ token coder and the contexts each token starts from.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

#include "codecs/lz/lz_tables.hpp"

namespace quorvex::lz {

// Blocks are coded in segments of this many bytes; a match never crosses a segment end.
inline constexpr std::uint32_t kSegmentSize = 32768;

// The decoder reads up to five bytes before the output position and up to four before
// a match source; 64 zero bytes precede the window so that this is always safe.
inline constexpr std::uint32_t kWindowGuardBytes = 64;
inline constexpr std::uint32_t kSourceContextBytes = 4;
// A hash-predicted byte is checked against the five bytes before its position.
inline constexpr std::uint32_t kHashContextBytes = 5;

// Token registers, set afresh for every block. Positions are offsets from the window
// start (`base`), which stay valid across blocks because the window is never rewound.
struct LzBlockState {
  LzBlockState(std::uint8_t* windowBase, std::uint32_t start, std::uint32_t size)
      : base(windowBase), q(start), end(start + size) {
    segmentLeft = std::min(kSegmentSize, end - q);
  }

  // The byte `back` places before window position `position` (may reach into the guard bytes).
  std::uint8_t before(std::uint32_t position, std::uint32_t back) const {
    return base[static_cast<std::ptrdiff_t>(position) - static_cast<std::ptrdiff_t>(back)];
  }

  bool done() const { return q == end; }

  // After each token: refresh the history context, open the next segment when one ends.
  void finishToken() {
    historyContext = HistoryContextTable[eventHistory];
    if (segmentLeft == 0) segmentLeft = std::min(kSegmentSize, end - q);
  }

  std::uint8_t* base;
  std::uint32_t q;    // output position
  std::uint32_t end;  // end of the block
  std::uint32_t segmentLeft = 0;
  std::uint32_t eventHistory = 255;  // token kinds, newest in bit 0, 1 = literal
  std::uint32_t historyContext = kInitialHistoryContext;
  std::uint32_t currentDistance = 1;  // a match copies from currentDistance + 1 bytes back
  std::array<std::uint32_t, 4> recentDistances{1, 1, 1, 1};
  std::uint32_t lastToken = 0;  // 16 bits: the literal, or next source byte * 256 + last copied byte
};

// What every token is predicted from: the bytes before q and their agreement with the
// bytes before the source of a repeated last match.
struct TokenContext {
  std::uint32_t c1, c2, c3, c4, c5;
  std::uint32_t predictedByte;
  std::uint32_t agreementFlags;  // bit i: c(i+1) equals the byte before the predicted one, i+1 back
  std::uint32_t hash;            // of the three bytes before q
};

// The PositionHash row of the three bytes before a position (c1 the nearest).
inline std::uint32_t contextHash(std::uint32_t c3, std::uint32_t c2, std::uint32_t c1) {
  return (c3 * 197u + c2 + 256u * c1) & 0xFFFFu;
}

inline TokenContext tokenContext(const LzBlockState& s) {
  TokenContext t{};
  t.c1 = s.before(s.q, 1);
  t.c2 = s.before(s.q, 2);
  t.c3 = s.before(s.q, 3);
  t.c4 = s.before(s.q, 4);
  t.c5 = s.before(s.q, 5);
  const std::uint32_t back = s.currentDistance + 1;
  t.predictedByte = s.before(s.q, back);
  t.agreementFlags = std::uint32_t{t.c1 == s.before(s.q, back + 1)} | std::uint32_t{t.c2 == s.before(s.q, back + 2)} << 1 |
                     std::uint32_t{t.c3 == s.before(s.q, back + 3)} << 2 | std::uint32_t{t.c4 == s.before(s.q, back + 4)} << 3;
  t.hash = contextHash(t.c3, t.c2, t.c1);
  return t;
}

}  // namespace quorvex::lz
