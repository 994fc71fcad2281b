// A second, deliberately plain reading of the LZ format's models, written without the
// codec's helpers (flat indices, explicit bit arithmetic, divisions for shifts). The
// codec and the plain reading run the same decisions from the same inputs; every
// probability handed to the coder and every table cell afterwards must agree. Round
// trips cannot catch a rule that both directions misread the same way; this can.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <span>
#include <vector>

#include "codecs/lz/lz_block_state.hpp"
#include "codecs/lz/lz_codec.hpp"
#include "codecs/lz/lz_flag_model.hpp"
#include "codecs/lz/lz_literal_model.hpp"
#include "codecs/lz/lz_match_coding.hpp"
#include "lz_scripted_coder.hpp"
#include "model/binary_coder.hpp"
#include "model/counters.hpp"
#include "model/logistic_tables.hpp"
#include "model/state_table.hpp"
#include "support/test_support.hpp"

namespace quorvex::lz {
namespace {

using lztest::freshModel;
using lztest::ScriptedCoder;

// floor(d / 2^shift) for a signed d, written without relying on shifts of negatives.
std::int32_t floorDiv(std::int32_t d, std::int32_t divisor) {
  return d >= 0 ? d / divisor : -((-d + divisor - 1) / divisor);
}

// Interpolation of a map row at x: value and the index of the entry that learns.
struct Interp {
  std::uint32_t value;
  std::uint32_t learner;
};
Interp plainInterpolate(const std::uint16_t* row, std::uint32_t x) {
  const std::uint32_t c = x / 4096, w = x % 4096;
  return {(row[c] * (4096 - w) + row[c + 1] * w) / 65536, w < 2048 ? c : c + 1};
}

// The registers a token starts from.
struct Registers {
  std::uint32_t q, currentDistance, lastToken, eventHistory, segmentLeft;
};

struct Context {
  std::uint32_t c[6];  // c[i] = byte at q - i
  std::uint32_t predicted, flags, hash;
};

Context plainContext(const std::uint8_t* base, const Registers& r) {
  auto at = [&](std::uint32_t back) { return std::uint32_t{base[std::ptrdiff_t(r.q) - std::ptrdiff_t(back)]}; };
  Context t{};
  for (std::uint32_t i = 1; i <= 5; ++i) t.c[i] = at(i);
  t.predicted = at(r.currentDistance + 1);
  t.flags = 0;
  for (std::uint32_t i = 0; i < 4; ++i) {
    if (t.c[i + 1] == at(r.currentDistance + 2 + i)) t.flags += 1u << i;
  }
  t.hash = (t.c[3] * 197 + t.c[2] + 256 * t.c[1]) % 65536;
  return t;
}

template <class Decide>
std::uint32_t plainFlag(LzModel& m, const Registers& r, const Context& t, Decide&& decide) {
  std::uint8_t& f = m.MatchFlagProbs[t.predicted][t.flags % 8];
  const auto xA = static_cast<std::uint32_t>(4 * ByteStretchTable[f] + 8192);
  std::uint16_t* rowA = &m.MatchFlagApmA[(16 * HistoryContextTable[r.eventHistory] + t.flags) * 5];
  const Interp a = plainInterpolate(rowA, xA);
  const std::uint32_t p1 = (16 * f + 3 * a.value + 2) / 4;
  const auto xB = static_cast<std::uint32_t>(9 * ByteStretchTable[p1 / 16] + 18432);
  std::uint16_t* rowB = &m.MatchFlagApmB[((r.lastToken % 16) + 16 * (t.flags % 2) + 32 * ((t.flags / 2) % 2)) * 10];
  const Interp b = plainInterpolate(rowB, xB);
  std::uint32_t p = (p1 + 3 * b.value + 2) / 4;
  if (p <= 2047) p += 1;
  const std::uint32_t y = decide(p);
  adaptCounter(f, y, 256, 4, 3);
  adaptCounter(rowA[a.learner], y, 65550, 0, 4);
  adaptCounter(rowB[b.learner], y, 65566, 0, 5);
  return y;
}

// Returns the byte.
template <class Decide>
std::uint32_t plainLiteral(LzModel& m, const std::uint8_t* base, const Registers& r, const Context& t, Decide&& decide) {
  auto at = [&](std::uint32_t pos, std::uint32_t back) { return std::uint32_t{base[std::ptrdiff_t(pos) - std::ptrdiff_t(back)]}; };
  const std::uint32_t l1 = r.lastToken % 256, c2 = t.c[2], c3 = t.c[3];

  const std::uint32_t pos = m.PositionHash[t.hash];
  m.PositionHash[t.hash] = r.q;
  std::uint32_t lc = 0, hb = 0;
  if (pos != 0 && at(pos, 1) == t.c[1] && at(pos, 2) == t.c[2] && at(pos, 3) == t.c[3]) {
    const std::uint32_t e4 = at(pos, 4) == t.c[4] ? 1 : 0;
    lc = 1 + e4 + (e4 == 1 && at(pos, 5) == t.c[5] ? 1 : 0);
    hb = at(pos, 0);
  }

  std::uint32_t z = 1, slot = 0, rp = t.predicted + 256, hp = hb + 256, selector = 0, expected = 0, state;
  std::uint32_t rc = 64 * t.flags + 16 * (r.segmentLeft % 4) + 2 * ((t.predicted >> 7) % 2) + 1;
  std::uint32_t hc = 128 * (r.lastToken % 32) + 32 * lc + 2 * ((hb >> 7) % 2) + 1;
  if (r.eventHistory % 2 == 1) {
    state = 1;
  } else {
    expected = (r.lastToken >> 8) % 256;
    state = 0x202 + (expected >> 7) % 2;
  }
  const std::uint32_t nibbleBase = 256 * (64 * (c3 >> 5) + 8 * (c2 >> 5) + (l1 >> 5));

  for (std::uint32_t k = 1; k <= 8; ++k) {
    std::uint8_t& history = m.Order2States[(c2 * 256 + l1) * 256 + slot];
    const std::uint32_t s = history;
    const std::uint32_t nibbleIndex = nibbleBase + slot;
    std::uint8_t& nibbleCell = m.NibbleStates[nibbleIndex / 2];
    const std::uint32_t nibbleShift = nibbleIndex % 2 == 0 ? 0 : 4;
    const std::uint32_t n = (nibbleCell >> nibbleShift) & 15;
    std::uint8_t& o1 = m.Order1Probs[l1][slot];
    std::uint8_t& o2 = m.Order2SparseProbs[c2][slot];
    std::uint8_t& ls = m.LiteralStateProbs[state];

    std::int32_t in[8];
    in[0] = ByteStretchTable[m.StateProbs[s] >> 24];
    in[1] = ByteStretchTable[m.NibbleStateProbs[n] >> 8];
    in[2] = ByteStretchTable[o1];
    in[3] = ByteStretchTable[o2];
    in[4] = ByteStretchTable[ls];
    in[5] = ByteStretchTable[(in[4] + 2048) / 16];
    in[6] = ByteStretchTable[m.RepMatchProbs[rc]];
    in[7] = ByteStretchTable[m.HashMatchProbs[hc]];

    auto& w = m.MixerWeights[(t.flags % 4) + 4 * (state / 256)];
    std::int32_t dot = 0;
    for (int i = 0; i < 8; ++i) dot += w[i] * in[i];
    const std::int32_t x = std::clamp(floorDiv(dot, 65536) + 2048, 0, 4095);

    std::uint16_t* row = &m.LiteralApm[(2 * state + selector) * 12];
    const Interp a = plainInterpolate(row, 11 * static_cast<std::uint32_t>(x));
    std::uint32_t p = (3 * a.value + ByteSquashTable[x / 16] + 2) / 4;
    if (p <= 2047) p += 1;
    const std::uint32_t y = decide(p);

    adaptCounter(row[a.learner], y, 65598, 0, 6);
    const std::int32_t err = (4095 * static_cast<std::int32_t>(y) - static_cast<std::int32_t>(p)) * 16;
    for (int i = 0; i < 8; ++i) {
      w[i] = static_cast<std::int16_t>(std::clamp(w[i] + floorDiv(floorDiv(in[i] * err, 65536) + 1, 2), -32768, 32767));
    }
    adaptCounter(m.HashMatchProbs[hc], y, 256, 8, 4);
    adaptCounter(m.RepMatchProbs[rc], y, 256, 4, 3);
    adaptCounter(o1, y, 256, 4, 3);
    adaptCounter(o2, y, 256, 4, 3);
    adaptCounter(m.NibbleStateProbs[n], y, 65536, 32, 6);
    const std::uint32_t newNibble = static_cast<std::uint32_t>(static_cast<std::int32_t>(n) +
                                                               floorDiv(18 * static_cast<std::int32_t>(y) - static_cast<std::int32_t>(n), 4));
    nibbleCell = static_cast<std::uint8_t>((nibbleCell & ~(15u << nibbleShift)) | (newNibble << nibbleShift));
    history = StateTransitionTable[2 * s + y];
    std::uint32_t& word = m.StateProbs[s];
    const std::uint32_t count = word % 256;
    const std::uint32_t product = (y * 0x800000u - (word >> 9)) * static_cast<std::uint32_t>(ReciprocalTable[count]);
    word = word + (count < 127 ? 1 : 0) + (product & 0xFFFFFF00u);
    adaptCounter(ls, y, 256, 2, 2);

    z = 2 * z + y;
    if (k == 8) break;
    selector = 4096 * y - p + 1280 > 2561 ? 1 : 0;
    rp = (rp * 2) % 65536;
    hp = (hp * 2) % 65536;
    if (k < 4) slot += (y + 1) << (k - 1);
    else if (k == 4) slot = 15 * (z - 15);
    else slot += (y + 1) << (k - 5);
    rc = (rc & 0x3F0) + 4 * (k / 2) + 2 * ((rp >> 7) % 2) + ((rp >> 8) == z ? 1 : 0);
    hc = (hc & 0xFE0) + 4 * k + 2 * ((hp >> 7) % 2) + ((hp >> 8) == z ? 1 : 0);
    if (state < 512) {
      state = (state & 256) | z;
    } else if (y == state % 2) {
      expected = (expected * 2) % 256;
      state = 512 + (z < 128 ? 2 * z : 0) + (expected >> 7) % 2;
    } else {
      state = 256 + z;
    }
  }
  return z % 256;
}

struct PlainMatch {
  std::uint32_t choice = 0, lengthValue = 0, distance = 0;
  bool valid = true;
};

// Recent choice, length and (for choice 0) a new distance. A length class above 15
// leaves the format; the plain reading stops there.
template <class Decide>
PlainMatch plainMatch(LzModel& m, std::uint32_t flags, std::uint32_t history, Decide&& decide) {
  auto counterP = [](std::uint16_t c) { return std::uint32_t{c} / 16; };
  auto guarded = [](std::uint32_t p) { return p <= 2047 ? p + 1 : p; };
  PlainMatch match;
  const std::uint32_t base = 128 * flags + 8 * (history % 16);
  std::uint32_t j = 0;
  for (; j < 4; ++j) {
    std::uint16_t& c = m.RepChoiceProbs[j == 0 ? base % 1024 : base + j];
    const std::uint32_t bit = decide(guarded(counterP(c)));
    adaptCounter(c, bit, 65536, 16, 5);
    if (bit == 1) break;
  }
  std::uint32_t i = 0;
  for (;;) {
    std::uint16_t& c = m.LengthClassProbs[j == 1 ? 1 : 0][i];
    const std::uint32_t bit = decide(counterP(c));
    adaptCounter(c, bit, 65536, 16, 5);
    if (bit == 0) break;
    ++i;
    if (i == 16) {
      match.valid = false;
      return match;
    }
  }
  std::uint32_t v = i == 0 ? 0 : 1, k = j == 0 ? 3 : 1;
  const std::uint32_t treeBits = i == 0 ? 1 : (i <= 3 ? i : 4), directBits = i > 4 ? i - 4 : 0;
  for (std::uint32_t b = 0; b < treeBits; ++b) {
    std::uint16_t& c = m.LengthTreeProbs[i][k];
    const std::uint32_t bit = decide(counterP(c));
    adaptCounter(c, bit, 65536, 8, 4);
    v = 2 * v + bit;
    k = 2 * k + bit;
  }
  for (std::uint32_t b = 0; b < directBits; ++b) v = 2 * v + decide(2048);

  match.choice = j;
  match.lengthValue = v;
  if (j == 0) {
    const std::uint32_t set = SlotSetTable[std::min(v, 15u)];
    k = 1;
    for (int b = 0; b < 5; ++b) {
      std::uint16_t& c = m.SlotTreeProbs[set][k];
      const std::int32_t stretched = ByteStretchTable[c >> 8];
      const auto column = static_cast<std::uint32_t>(floorDiv(stretched, 256) + 8);
      std::uint16_t* row = &m.SlotApm[k * 17];
      const std::uint32_t p = (counterP(c) + 3 * ((row[column] + row[column + 1] + 1) / 32) + 2) / 4;
      const std::uint32_t bit = decide(guarded(p));
      adaptCounter(c, bit, 65536, 16, 5);
      adaptCounter(row[column], bit, 65550, 0, 4);
      adaptCounter(row[column + 1], bit, 65550, 0, 4);
      k = 2 * k + bit;
    }
    const std::uint32_t slot = k - 32, nb = 31 - slot;
    std::uint32_t h = slot != 31 ? 1 : 0;
    k = 1;
    for (std::uint32_t b = 0; b < (slot >= 30 ? 1u : 2u); ++b) {
      std::uint16_t& c = m.DistanceHighProbs[nb][k];
      const std::uint32_t bit = decide(counterP(c));
      adaptCounter(c, bit, 65536, 8, 4);
      h = 2 * h + bit;
      k = 2 * k + bit;
    }
    std::uint32_t d = h;
    if (nb > 2) {
      const std::uint32_t a = std::min(nb - 2, 4u);
      std::uint32_t low = 0;
      k = 1;
      for (std::uint32_t b = 0; b < a; ++b) {
        std::uint16_t& c = m.AlignProbs[0][k];
        const std::uint32_t bit = decide(counterP(c));
        adaptCounter(c, bit, 65536, 16, 5);
        low |= bit << b;
        k = 2 * k + bit;
      }
      d = (h << a) | low;
    }
    if (nb > 6) {
      const std::uint32_t mBits = nb - 6;
      std::uint32_t middle = 0;
      for (std::uint32_t b = 0; b < mBits; ++b) {
        std::uint16_t& c = m.ExtraBitProbs[nb - 6][b];
        const std::uint32_t bit = decide(counterP(c));
        adaptCounter(c, bit, 65536, 32, 6);
        middle = 2 * middle + bit;
      }
      d = (d & 15) | ((d & ~15u) << mBits) | (middle << 4);
    }
    match.distance = d;
  }
  return match;
}

bool sameModels(const LzModel& a, const LzModel& b) { return std::memcmp(&a, &b, sizeof(LzModel)) == 0; }

// Hands out scripted bits and records the probability of each decision.
struct PlainScript {
  explicit PlainScript(const std::vector<std::uint32_t>& scripted) : bits(scripted) {}
  const std::vector<std::uint32_t>& bits;
  std::vector<std::uint32_t> probabilities;
  std::size_t next = 0;
  std::uint32_t operator()(std::uint32_t p) {
    probabilities.push_back(p);
    return next < bits.size() ? bits[next++] : 0u;
  }
};

// Flags and literals at every position of a text with repeats (so that the hash finds
// earlier contexts), from varied registers: after literals and after matches, every
// agreement pattern, segment phase and history.
TEST(LzReference, FlagAndLiteralModelsAgreeWithAPlainReading) {
  const std::vector<std::uint8_t> text = quorvex::testing::repositoryText(70000);
  const std::size_t size = std::min<std::size_t>(text.size(), 6000);
  lztest::TestWindow window(size);
  std::memcpy(window.base(), text.data(), size);

  auto codec = freshModel();
  auto plain = freshModel();
  quorvex::testing::TestRandom random(7);
  for (std::uint32_t q = 1; q < size; ++q) {
    Registers r{};
    r.q = q;
    r.currentDistance = random.next() % std::min<std::uint32_t>(q + 59, 300);
    r.lastToken = random.next() % 65536;
    r.eventHistory = random.next() % 256;
    r.segmentLeft = 1 + random.next() % 32768;
    const std::uint32_t flag = random.next() % 4 != 0 ? 1 : 0;
    const std::uint32_t byte = window.base()[q];
    std::vector<std::uint32_t> bits{flag};
    for (int i = 7; i >= 0; --i) bits.push_back((byte >> i) & 1u);

    LzBlockState s(window.base(), q, 1);
    s.currentDistance = r.currentDistance;
    s.lastToken = r.lastToken;
    s.eventHistory = r.eventHistory;
    s.historyContext = HistoryContextTable[r.eventHistory];
    s.segmentLeft = r.segmentLeft;
    const TokenContext t = tokenContext(s);
    ScriptedCoder coder;
    for (std::uint32_t bit : bits) coder.append({bit});
    ASSERT_EQ(codeMatchFlag(*codec, coder, s, t, flag), flag);
    if (flag == 1) {
      ASSERT_EQ(codeLiteral(*codec, coder, s, t, byte), byte);
    }

    const Context pt = plainContext(window.base(), r);
    ASSERT_EQ(t.hash, pt.hash);
    PlainScript script(bits);
    ASSERT_EQ(plainFlag(*plain, r, pt, script), flag);
    if (flag == 1) {
      ASSERT_EQ(plainLiteral(*plain, window.base(), r, pt, script), byte);
    }
    ASSERT_EQ(coder.probabilities(), script.probabilities) << "at " << q;
  }
  EXPECT_TRUE(sameModels(*codec, *plain));
}

// The match parameters: recent choice, length and distance from scripted random bits.
TEST(LzReference, MatchParameterModelsAgreeWithAPlainReading) {
  auto codec = freshModel();
  auto plain = freshModel();
  quorvex::testing::TestRandom random(11);
  for (int token = 0; token < 3000; ++token) {
    const std::uint32_t flags = random.next() % 16, history = random.next() % 256;
    std::vector<std::uint32_t> bits;
    for (int i = 0; i < 80; ++i) bits.push_back(random.next() % 3 == 0 ? 1 : 0);
    ScriptedCoder coder;
    for (std::uint32_t bit : bits) coder.append({bit});

    const std::uint32_t choice = codeRecentChoice(*codec, coder, flags, history, 0);
    const std::uint32_t value = codeLengthValue(*codec, coder, choice, 0);
    ASSERT_NE(value, kInvalidLength);
    const std::uint32_t distance = choice == 0 ? codeDistance(*codec, coder, value, 0) : 0;

    PlainScript script(bits);
    const PlainMatch match = plainMatch(*plain, flags, history, script);
    ASSERT_TRUE(match.valid);
    EXPECT_EQ(match.choice, choice);
    EXPECT_EQ(match.lengthValue, value);
    EXPECT_EQ(match.distance, distance);
    ASSERT_EQ(coder.probabilities(), script.probabilities) << "token " << token;
  }
  EXPECT_TRUE(sameModels(*codec, *plain));
}

// The token loop of a block, read plainly: segments, registers, the copy.
void plainDecodeBlock(LzModel& m, std::span<const std::uint8_t> payload, std::uint8_t* base, std::uint32_t start,
                      std::uint32_t size) {
  BinaryDecoder coder(payload);
  auto decide = [&coder](std::uint32_t p) { return coder.decodeBit(p); };
  Registers r{start, 1, 0, 255, 0};
  std::uint32_t recent[4] = {1, 1, 1, 1};
  const std::uint32_t end = start + size;
  r.segmentLeft = std::min<std::uint32_t>(32768, end - r.q);
  while (r.q < end) {
    const Context t = plainContext(base, r);
    if (plainFlag(m, r, t, decide) == 1) {
      base[r.q] = static_cast<std::uint8_t>(plainLiteral(m, base, r, t, decide));
      r.lastToken = base[r.q];
      r.q += 1;
      r.segmentLeft -= 1;
      r.eventHistory = (r.eventHistory * 2 + 1) % 256;
    } else {
      m.PositionHash[t.hash] = r.q;
      const PlainMatch match = plainMatch(m, t.flags, r.eventHistory, decide);
      ASSERT_TRUE(match.valid);
      if (match.choice == 0) {
        r.currentDistance = match.distance;
        for (int i = 3; i > 0; --i) recent[i] = recent[i - 1];
      } else {
        r.currentDistance = recent[match.choice - 1];
        for (std::uint32_t i = match.choice - 1; i > 0; --i) recent[i] = recent[i - 1];
      }
      recent[0] = r.currentDistance;
      const std::uint32_t length = match.lengthValue + 2;
      ASSERT_LE(length, r.segmentLeft);  // the encoder never crosses a segment end
      ASSERT_LE(r.currentDistance + 1, r.q);
      for (std::uint32_t i = 0; i < length; ++i) base[r.q + i] = base[r.q + i - r.currentDistance - 1];
      r.q += length;
      r.segmentLeft -= length;
      r.eventHistory = (r.eventHistory * 2) % 256;
      r.lastToken = 256 * base[r.q - r.currentDistance - 1] + base[r.q - 1];
    }
    if (r.segmentLeft == 0) r.segmentLeft = std::min<std::uint32_t>(32768, end - r.q);
  }
}

// Blocks from the codec's encoder, decoded by the codec and by the plain reading: the
// same bytes and the same model after every block. The blocks span several segments,
// the later ones copy from the earlier ones, and one follows bytes of another codec.
TEST(LzReference, WholeBlocksDecodeAlikeWithAPlainReading) {
  std::vector<std::uint8_t> data = quorvex::testing::repositoryText(70000);
  data.resize(std::min<std::size_t>(data.size(), 70000));
  const std::vector<std::uint8_t> other = quorvex::testing::skewedBytes(3000, 5);
  const std::size_t cuts[] = {0, 40000, 41000, data.size()};  // other-codec bytes sit before the last block

  std::vector<std::uint8_t> window;
  std::vector<std::vector<std::uint8_t>> payloads;
  std::vector<std::size_t> starts, sizes;
  LzEncoder encoder;
  for (int b = 0; b < 3; ++b) {
    if (b == 2) window.insert(window.end(), other.begin(), other.end());
    starts.push_back(window.size());
    window.insert(window.end(), data.begin() + cuts[b], data.begin() + cuts[b + 1]);
    sizes.push_back(cuts[b + 1] - cuts[b]);
    payloads.push_back(encoder.encodeBlock(window, starts.back()));
  }

  std::vector<std::uint8_t> codecWindow(64 + window.size(), 0), plainWindow(64 + window.size(), 0);
  auto plain = freshModel();
  LzDecoder decoder;
  for (int b = 0; b < 3; ++b) {
    if (b == 2) {
      std::memcpy(codecWindow.data() + 64 + starts[2] - other.size(), other.data(), other.size());
      std::memcpy(plainWindow.data() + 64 + starts[2] - other.size(), other.data(), other.size());
    }
    const auto size = static_cast<std::uint32_t>(sizes[b]);
    ASSERT_TRUE(decoder.decodeBlock(payloads[b], codecWindow.data() + 64, codecWindow.data() + 64 + starts[b], size));
    plainDecodeBlock(*plain, payloads[b], plainWindow.data() + 64, static_cast<std::uint32_t>(starts[b]), size);
    ASSERT_FALSE(::testing::Test::HasFatalFailure());
    ASSERT_TRUE(std::equal(plainWindow.begin(), plainWindow.begin() + 64 + starts[b] + size, codecWindow.begin())) << b;
  }
  EXPECT_TRUE(std::equal(window.begin(), window.end(), codecWindow.begin() + 64));
}

// The committed golden payloads decode, by the plain reading too, to their window.
TEST(LzReference, GoldenPayloadsDecodeAlikeWithAPlainReading) {
  const auto dir = std::filesystem::path(__FILE__).parent_path() / "golden";
  const auto first = quorvex::testing::readFile(dir / "block1.lz");
  const auto second = quorvex::testing::readFile(dir / "block2.lz");
  const auto expected = quorvex::testing::readFile(dir / "window.out");
  ASSERT_EQ(expected.size(), 6000u);
  std::vector<std::uint8_t> window(64 + expected.size(), 0);
  auto plain = freshModel();
  plainDecodeBlock(*plain, first, window.data() + 64, 0, 3000);
  plainDecodeBlock(*plain, second, window.data() + 64, 3000, 3000);
  ASSERT_FALSE(::testing::Test::HasFatalFailure());
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), window.begin() + 64));
}

}  // namespace
}  // namespace quorvex::lz
