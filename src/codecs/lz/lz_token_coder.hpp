// One LZ token, literal or match, in both directions: the flag, the literal byte or the
// match parameters, then the copy (decoder only) and the register updates.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#include "codecs/lz/lz_block_state.hpp"
#include "codecs/lz/lz_flag_model.hpp"
#include "codecs/lz/lz_literal_model.hpp"
#include "codecs/lz/lz_match_coding.hpp"
#include "codecs/lz/lz_model.hpp"

namespace quorvex::lz {

// A token as the encoder chooses it and the decoder reads it.
struct LzToken {
  std::uint32_t literal = 1;
  std::uint32_t byte = 0;      // literal
  std::uint32_t choice = 0;    // match: 0 = new distance, j = recentDistances[j - 1]
  std::uint32_t length = 0;    // match length, 2 or more
  std::uint32_t distance = 0;  // new distance: copies from distance + 1 bytes back
};

// A match source must leave its four context bytes inside the readable area, which
// starts kWindowGuardBytes before the window: distance + 1 <= q + 60.
inline bool sourceIsReadable(std::uint32_t q, std::uint32_t distance) {
  return std::uint64_t{distance} + 1u <= std::uint64_t{q} + (kWindowGuardBytes - kSourceContextBytes);
}

// Copies length bytes from back bytes before q, in increasing order: overlapping
// copies repeat the pattern. Whole words are written as long as they end at or before
// `limit` (the end of the block): a word may write a few bytes past the match, which
// the next tokens overwrite before anything reads them. A source 16 or more bytes back
// is copied 16 bytes at a time when the block leaves room for the last one: each piece
// then reads only bytes before it, written by the pieces before. A nearer source goes
// in 8-byte words, and one nearer than 8 bytes first lays down one period of its pattern
// byte by byte; the output then repeats with a multiple of that period of at least 8,
// from which whole words can be copied.
inline void copyMatch(std::uint8_t* base, std::uint32_t q, std::uint32_t back, std::uint32_t length,
                      std::uint32_t limit) {
  std::uint8_t* to = base + q;
  const std::uint8_t* from = to - back;
  const std::uint32_t room = limit - q;
  std::uint32_t i = 0;
  if (back >= 16u && room - length >= 16u) {
    do {
      std::memcpy(to + i, from + i, 16);
      i += 16;
    } while (i < length);
    return;
  }
  if (back < 8u) {
    const std::uint32_t period = back * ((7u + back) / back);
    for (const std::uint32_t head = std::min(length, period); i < head; ++i) to[i] = from[i];
    from = to - period;
  }
  for (; i < length && room - i >= 8u; i += 8) std::memcpy(to + i, from + i, 8);
  for (; i < length; ++i) to[i] = from[i];
}

inline void moveToFront(std::array<std::uint32_t, 4>& recent, std::uint32_t index) {
  const std::uint32_t distance = recent[index];
  for (std::uint32_t i = index; i > 0; --i) recent[i] = recent[i - 1];
  recent[0] = distance;
}

inline void pushFront(std::array<std::uint32_t, 4>& recent, std::uint32_t distance) {
  recent[3] = recent[2];
  recent[2] = recent[1];
  recent[1] = recent[0];
  recent[0] = distance;
}

// Codes one token and advances the block state. The decoder fills `token` and writes
// its bytes; the encoder codes `token`, whose bytes are already in the window. Returns
// false when the stream cannot be followed safely: a length class above 15, or a match
// source outside the readable area. A match running past the segment end is cut there.
template <class Coder>
bool codeToken(LzModel& m, Coder& sharedCoder, LzBlockState& s, LzToken& token) {
  const TokenContext t = tokenContext(s);
  prefetchLiteralTables(m, s, t);
  token.literal = codeMatchFlag(m, sharedCoder, s, t, token.literal);

  if (token.literal) {
    Coder literalCoder = sharedCoder;
    token.byte = codeLiteral(m, literalCoder, s, t, token.byte);
    sharedCoder = literalCoder;
    if constexpr (!Coder::isEncoder) s.base[s.q] = static_cast<std::uint8_t>(token.byte);
    s.q += 1;
    s.segmentLeft -= 1;
    s.eventHistory = ((s.eventHistory << 1) | 1u) & 255u;
    s.lastToken = token.byte;
    s.finishToken();
    return true;
  }

  // The match is coded with a local copy of the coder: the model's tables may alias
  // anything, so a coder reached through a reference would be stored and reloaded
  // around every counter update, a memory round trip on the path of every decision.
  Coder coder = sharedCoder;
  m.PositionHash[t.hash] = s.q;
  token.choice = codeRecentChoice(m, coder, t.agreementFlags, s.eventHistory, token.choice);
  const std::uint32_t lengthValue = codeLengthValue(m, coder, token.choice, token.length - kMinMatchLength);
  if (lengthValue == kInvalidLength) return false;
  token.length = lengthValue + kMinMatchLength;

  if (token.choice == 0) {
    token.distance = codeDistance(m, coder, lengthValue, token.distance);
    if (!sourceIsReadable(s.q, token.distance)) return false;
    pushFront(s.recentDistances, token.distance);
  } else {
    token.distance = s.recentDistances[token.choice - 1];
    moveToFront(s.recentDistances, token.choice - 1);
  }
  s.currentDistance = token.distance;
  sharedCoder = coder;

  const std::uint32_t length = std::min(token.length, s.segmentLeft);
  if constexpr (!Coder::isEncoder) copyMatch(s.base, s.q, s.currentDistance + 1u, length, s.end);
  s.q += length;
  if constexpr (!Coder::isEncoder) prefetchNextRows(m, s.before(s.q, 2), s.before(s.q, 1), 8u);
  s.segmentLeft -= length;
  s.eventHistory = (s.eventHistory << 1) & 255u;
  s.lastToken = 256u * s.before(s.q, s.currentDistance + 1u) + s.before(s.q, 1);
  s.finishToken();
  return true;
}

}  // namespace quorvex::lz
