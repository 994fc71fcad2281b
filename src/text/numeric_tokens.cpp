#include "text/numeric_tokens.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <new>

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

constexpr std::uint32_t kMinLength = 10;
constexpr std::uint32_t kMaxHexDigits = 8;
constexpr std::uint32_t kMaxFurtherDigits = 8;  // a decimal number has at most 9 digits
constexpr std::uint32_t kSearchTreeEnd = 8192;  // value-search steps with their own state
constexpr std::uint32_t kHexTreeEnd = 4096;     // hex bits with their own byte counter
constexpr std::uint8_t kInitialStates = 0x88;   // two 4-bit states of 8

constexpr std::array<std::uint32_t, 10> kPowersOfTen = {1,      10,      100,      1000,      10000,
                                                       100000, 1000000, 10000000, 100000000, 1000000000};

// The 16 numeric classes of a byte: mostly its low four bits, with punctuation grouped.
constexpr std::array<std::uint8_t, 256> kNumericClass = [] {
  std::array<std::uint8_t, 256> table{};
  for (int b = 0; b < 256; ++b) table[b] = static_cast<std::uint8_t>(b <= 32 ? 0 : b & 15);
  table['!'] = 1;
  table['-'] = 2;
  table['/'] = 3;
  table[':'] = 4;
  table[';'] = 5;
  table['#'] = table['&'] = 6;
  table['$'] = 7;
  table['%'] = 8;
  table['"'] = 9;
  for (int b : {'(', ')', '*'}) table[b] = 10;
  for (int b : {'+', '[', ']'}) table[b] = 11;
  for (int b : {',', '\\', '{', '|', '}'}) table[b] = 12;
  for (int b : {'<', '=', '>'}) table[b] = 13;
  for (int b : {'\'', '.', '^', '~'}) table[b] = 14;
  table['?'] = table['_'] = 15;
  table[127] = 1;
  return table;
}();

bool isSeparator(std::uint8_t byte) { return byte == '-' || byte == '.' || byte == ':'; }
bool isHexPlaceholder(std::uint8_t byte) { return byte == '1' || byte == '2'; }
bool isHexDigit(std::uint8_t byte) {
  return isDigit(byte) || (byte >= 'a' && byte <= 'f') || (byte >= 'A' && byte <= 'F');
}
std::uint32_t hexValue(std::uint8_t byte) {
  if (isDigit(byte)) return byte - '0';
  return (foldCase(byte) - 'a' + 10u) & 15u;
}

// Copies in[i..] to out[i..] up to the next digit (or n) and returns its position. Most
// bytes carry no number: sixteen at a time are stored and searched for a digit. Stores
// may run past that digit; the bytes there are written again in order.
std::uint32_t copyUntilDigit(const std::uint8_t* in, std::uint8_t* out, std::uint32_t i, std::uint32_t n) {
#if defined(__SSE2__)
  i += copyBlocksUntilMarked(in + i, out + i, n - i, [](__m128i bytes) {
    const __m128i offset = _mm_sub_epi8(bytes, _mm_set1_epi8('0'));  // a digit gives 0..9, unsigned
    return _mm_cmpeq_epi8(_mm_min_epu8(offset, _mm_set1_epi8(9)), offset);
  });
#endif
  for (; i < n && !isDigit(in[i]); ++i) out[i] = in[i];
  return i;
}

std::uint32_t countBucket(std::uint32_t count) {
  const std::uint32_t k = count - 1;
  if (k <= 7) return k;
  if (k <= 9) return 8;
  if (k <= 11) return 9;
  if (k <= 15) return 10;
  if (k <= 23) return 11;
  if (k <= 39) return 12;
  if (k <= 71) return 13;
  if (k <= 135) return 14;
  return 15;
}

// 4-bit states packed two per byte, the even-numbered one in the low four bits.
std::uint32_t getState(const std::uint8_t* states, std::uint32_t index) {
  return (states[index >> 1] >> ((index & 1u) * 4)) & 15u;
}
void setState(std::uint8_t* states, std::uint32_t index, std::uint32_t state) {
  const std::uint32_t shift = (index & 1u) * 4;
  states[index >> 1] = static_cast<std::uint8_t>((states[index >> 1] & ~(15u << shift)) | ((state & 15u) << shift));
}
// state += (target - state) >> shift, with an arithmetic shift.
std::uint32_t moveState(std::uint32_t state, std::int32_t target, std::uint32_t shift) {
  const std::int32_t s = static_cast<std::int32_t>(state);
  return static_cast<std::uint32_t>(s + ((target - s) >> shift));
}

template <std::size_t N>
void moveToFront(std::array<std::uint32_t, N>& list, std::uint32_t index) {
  const std::uint32_t value = list[index];
  std::copy_backward(list.begin(), list.begin() + index, list.begin() + index + 1);
  list[0] = value;
}
template <std::size_t N>
void pushFront(std::array<std::uint32_t, N>& list, std::uint32_t value) {
  std::copy_backward(list.begin(), list.end() - 1, list.end());
  list[0] = value;
}
template <std::size_t N>
std::uint32_t findIndex(const std::array<std::uint32_t, N>& list, std::uint32_t value) {
  return static_cast<std::uint32_t>(std::find(list.begin(), list.end(), value) - list.begin());
}
template <std::size_t N>
std::array<std::uint32_t, N> identityList() {
  std::array<std::uint32_t, N> list{};
  for (std::uint32_t i = 0; i < N; ++i) list[i] = i;
  return list;
}

struct ContextEntry {
  std::uint32_t last = 0;  // the last value, as a 32-bit two's-complement number
  std::int8_t delta = 0;
  std::uint8_t count = 0;
};

// A decimal number's surroundings: the byte before it and the byte after its pattern.
struct DecimalContext {
  std::uint32_t furtherDigits;  // z
  std::uint8_t before;          // A
  std::uint8_t after;           // F
};

}  // namespace

struct NumericTokenModel {
  std::array<std::uint8_t, 294912> searchStates;
  std::array<std::uint16_t, 2304> explicitOrRecent;
  std::array<std::uint16_t, 16> searchStateProbs;
  std::array<std::uint16_t, 172> lateStepProbs;
  std::array<std::uint16_t, 128> recentTree;
  std::array<std::uint16_t, 288 * 24> searchMap2;
  std::array<std::uint16_t, 8192 * 6> searchMap1;
  std::array<std::uint16_t, 8 * 6> hitMapA;
  std::array<std::uint16_t, 576 * 5> hitMapB;
  std::array<std::uint8_t, 73728> hitStates;
  std::array<std::uint16_t, 16> hitStateProbs;
  std::array<std::array<std::uint32_t, 128>, 5> decimalRecent;
  std::array<ContextEntry, 8193> contexts;
  std::array<std::uint8_t, kMaxHexDigits * kHexTreeEnd> hexCounters;
  std::array<std::uint16_t, 256> hexPositionProbs;
  std::array<std::uint16_t, kMaxHexDigits> hexRecentFlags;
  std::array<std::uint16_t, 64> hexTree;
  std::array<std::uint16_t, 32 * 12> hexMap;
  std::array<std::array<std::uint32_t, 64>, kMaxHexDigits> hexRecent;

  NumericTokenModel() { reset(); }

  // Every table back to its start, as a new block needs it.
  void reset() {
    searchStates.fill(kInitialStates);
    hitStates.fill(kInitialStates);
    explicitOrRecent.fill(0x8000);
    searchStateProbs.fill(0x8000);
    lateStepProbs.fill(0x8000);
    recentTree.fill(0x8000);
    hitStateProbs.fill(0x8000);
    hexPositionProbs.fill(0x8000);
    hexRecentFlags.fill(0x8000);
    hexTree.fill(0x8000);
    fillInterpolationRows(searchMap2.data(), 288, 24);
    fillInterpolationRows(searchMap1.data(), 8192, 6);
    fillInterpolationRows(hitMapA.data(), 8, 6);
    fillInterpolationRows(hitMapB.data(), 576, 5);
    fillInterpolationRows(hexMap.data(), 32, 12);
    decimalRecent.fill(identityList<128>());
    hexRecent.fill(identityList<64>());
    contexts.fill(ContextEntry{});
    hexCounters.fill(128);
  }

  // A bit with a plain 16-bit probability, adapted at rate 1/16.
  template <class Coder>
  static std::uint32_t codeDirect(Coder& coder, std::uint16_t& prob, std::uint32_t bit) {
    const std::uint32_t y = coder.codeBit(prob >> 4, bit);
    adaptCounter(prob, y, 65536, 8, 4);
    return y;
  }

  // An index of `bits` bits, most significant first, down a binary tree of probabilities.
  template <class Coder>
  static std::uint32_t codeTreeIndex(Coder& coder, std::uint16_t* tree, std::uint32_t bits, std::uint32_t index) {
    std::uint32_t node = 1;
    for (std::uint32_t k = bits; k-- > 0;) node = node * 2 + codeDirect(coder, tree[node], (index >> k) & 1u);
    return node - (1u << bits);
  }

  template <class Coder>
  std::uint32_t codeHex(Coder& coder, std::uint32_t digits, std::uint32_t value) {
    const std::uint32_t j = digits - 1;
    auto& recent = hexRecent[j];
    std::uint32_t index = 0;
    if constexpr (Coder::isEncoder) index = findIndex(recent, value);
    if (codeDirect(coder, hexRecentFlags[j], index < recent.size() ? 0 : 1) == 0) {
      index = codeTreeIndex(coder, hexTree.data(), 6, index);
      const std::uint32_t found = recent[index];
      moveToFront(recent, index);
      return found;
    }
    const std::uint32_t bits = 4 * digits;
    std::uint8_t* counters = &hexCounters[j * kHexTreeEnd];
    std::uint32_t node = 1;
    std::uint32_t decoded = 0;
    for (std::uint32_t k = 0; k < bits; ++k) {
      const std::uint32_t bit = (value >> (bits - 1 - k)) & 1u;
      std::uint16_t* positionProb = &hexPositionProbs[(36 * digits - 33 - k) & 255u];
      const std::uint32_t base = node < kHexTreeEnd ? counters[node] * 256u : *positionProb;
      const MapReading reading = readMap(&hexMap[(bits - 1 - k) * 12], StretchTable[base >> 4] * 11u);
      const std::uint32_t y = coder.codeBit(reading.p, bit);
      refineNode(reading.node, y, 65662, 7);
      if (node < kHexTreeEnd) {
        std::uint8_t& counter = counters[node];
        counter = static_cast<std::uint8_t>(counter + (((y ? 260 : 4) - static_cast<std::int32_t>(counter)) >> 3));
        node = node * 2 + y;
      } else {
        adaptCounter(*positionProb, y, 65536, 8, 4);
      }
      decoded = (decoded << 1) | y;
    }
    pushFront(recent, decoded);
    return decoded;
  }

  template <class Coder>
  std::uint32_t codeDecimal(Coder& coder, const DecimalContext& where, std::uint32_t value) {
    const std::uint32_t z = where.furtherDigits;
    const std::uint32_t classBefore = kNumericClass[where.before];
    const bool afterIsDigit = isHexDigit(where.after);
    const std::uint32_t key = afterIsDigit ? '1' : where.after;
    const std::uint32_t nextClass = afterIsDigit ? 1 : kNumericClass[where.after];
    const std::uint32_t l = nextClass + 16 * classBefore;
    ContextEntry& entry = contexts[((key ^ (std::uint32_t{where.before} * 8)) & 1023u) * 8 + z];
    const std::uint32_t predicted = entry.last + static_cast<std::uint32_t>(std::int32_t{entry.delta});
    const std::uint32_t result = codeDecimalValue(coder, z, l, classBefore, nextClass, entry, predicted, value);
    if (entry.count > 0) {
      entry.count = static_cast<std::uint8_t>(result == predicted ? std::min(entry.count + 1, 255) : entry.count / 2);
    } else {
      entry.delta = static_cast<std::int8_t>(static_cast<std::uint8_t>(result - entry.last));
      entry.count = result == predicted ? 1 : 0;
    }
    entry.last = result;
    return result;
  }

 private:
  template <class Coder>
  std::uint32_t codeDecimalValue(Coder& coder, std::uint32_t z, std::uint32_t l, std::uint32_t classBefore,
                                 std::uint32_t nextClass, const ContextEntry& entry, std::uint32_t predicted,
                                 std::uint32_t value) {
    if (entry.count > 0 && codeHit(coder, z, l, entry, value == predicted ? 1 : 0)) return predicted;
    if (z >= 4) {
      auto& recent = decimalRecent[z - 4];
      std::uint32_t index = 0;
      if constexpr (Coder::isEncoder) index = findIndex(recent, value);
      if (codeDirect(coder, explicitOrRecent[l + 256 * z], index < recent.size() ? 0 : 1) == 0) {
        index = codeTreeIndex(coder, recentTree.data(), 7, index);
        const std::uint32_t found = recent[index];
        moveToFront(recent, index);
        return found;
      }
    }
    const std::uint32_t found = searchValue(coder, z, l, classBefore, nextClass, value);
    if (z >= 4) pushFront(decimalRecent[z - 4], found);
    return found;
  }

  // Whether the number is the one its context predicts.
  template <class Coder>
  std::uint32_t codeHit(Coder& coder, std::uint32_t z, std::uint32_t l, const ContextEntry& entry, std::uint32_t bit) {
    const std::int32_t h = entry.delta;
    const std::uint32_t o = h == 0 ? 0 : h == 1 ? 2 : 3;
    std::uint32_t row = 7;
    if (h == 0) row = 0;
    else if (h == 1) row = 2;
    else if (h == -1) row = 3;
    else if (h == 2 || h == 3) row = 4;
    else if (h == -2 || h == -3) row = 5;
    else if (h == 4 || h == 5) row = 6;
    const std::uint32_t q = countBucket(entry.count);
    const std::uint32_t stateIndex = l * 64 + z * 16384 + q * 4 + o;
    const std::uint32_t state = getState(hitStates.data(), stateIndex);
    std::uint16_t& prob = hitStateProbs[state];
    const MapReading r1 = readMap(&hitMapA[row * 6], StretchTable[prob >> 4] * 5u);
    const MapReading r2 = readMap(&hitMapB[(z * 64 + q * 4 + o) * 5], StretchTable[r1.p] * 4u);
    const std::uint32_t y = coder.codeBit(r2.p, bit);
    refineNode(r2.node, y, 65566, 5);
    refineNode(r1.node, y, 65542, 3);
    adaptCounter(prob, y, 65536, 32, 6);
    setState(hitStates.data(), stateIndex, moveState(state, static_cast<std::int32_t>(16 * y), 1));
    return y;
  }

  // A binary search over [0, 10^(z+1)); each bit says whether the value is below the probe.
  template <class Coder>
  std::uint32_t searchValue(Coder& coder, std::uint32_t z, std::uint32_t l, std::uint32_t classBefore,
                            std::uint32_t nextClass, std::uint32_t value) {
    std::uint32_t low = 0;
    std::uint32_t high = kPowersOfTen[z + 1];
    std::uint32_t probe = high / 2;
    std::uint32_t node = 1;
    const std::uint32_t stateBase = (z * 8 + (classBefore % 4) * 2 + (nextClass % 2)) * kSearchTreeEnd;
    // The range of 10^9 values closes within 30 steps; the bound keeps the rows in reach.
    for (std::uint32_t step = 0; step < 32; ++step) {
      const bool ownState = node < kSearchTreeEnd;
      const std::uint32_t stateIndex = stateBase + node;
      const std::uint32_t state = ownState ? getState(searchStates.data(), stateIndex) : 0;
      std::uint16_t& prob = ownState ? searchStateProbs[state] : lateStepProbs[(19 * z + step - 13) % 172];
      const MapReading r1 = readMap(&searchMap1[(l * 32 + step) * 6], StretchTable[prob >> 4] * 5u);
      const MapReading r2 = readMap(&searchMap2[(z * 32 + step) * 24], StretchTable[r1.p] * 23u);
      const std::uint32_t y = coder.codeBit(r2.p, value < probe ? 1 : 0);
      refineNode(r1.node, y, 65598, 6);
      refineNode(r2.node, y, 65598, 6);
      if (ownState) {
        adaptCounter(prob, y, 65536, 32, 6);
        setState(searchStates.data(), stateIndex, moveState(state, static_cast<std::int32_t>(22 * y), 3));
        node = node * 2 + y;
      } else {
        adaptCounter(prob, y, 65536, 8, 4);
      }
      std::uint32_t next;
      if (y) {
        high = probe;
        next = low + (probe - low) / 2;
        if (next == low) return low;
      } else {
        low = probe;
        next = probe + (high - probe) / 2;
        if (next == probe) return probe;
      }
      probe = next;
    }
    return low;
  }
};

void NumericModelDeleter::operator()(NumericTokenModel* model) const { delete model; }

NumericTokenModelPtr createNumericTokenModel() { return NumericTokenModelPtr(new (std::nothrow) NumericTokenModel()); }

NumericTokenModel* threadNumericTokenModel() {
  thread_local NumericTokenModelPtr model;
  if (model) {
    model->reset();
  } else {
    model = createNumericTokenModel();
  }
  return model.get();
}

namespace {

// Walks the placeholder text as the decoder does, writing every number. The encoder
// passes the original text, from whose digits it takes the values (and fails, with
// false, where they do not fit the placeholders).
template <class Coder>
bool walkNumericTokens(NumericTokenModel& model, Coder& coder, const std::uint8_t* in, std::uint32_t n,
                       std::uint8_t* out, const std::uint8_t* original) {
  out[0] = in[0];
  out[1] = in[1];
  std::uint32_t i = 2;
  while (i < n) {
    i = copyUntilDigit(in, out, i, n);
    if (i == n) break;
    const std::uint8_t x = in[i];
    if (isHexPlaceholder(x)) {
      std::uint32_t digits = 1;
      while (digits < kMaxHexDigits && i + digits < n && isHexPlaceholder(in[i + digits])) ++digits;
      std::uint32_t value = 0;
      if constexpr (Coder::isEncoder) {
        for (std::uint32_t k = 0; k < digits; ++k) {
          if (!isHexDigit(original[i + k])) return false;
          value = (value << 4) | hexValue(original[i + k]);
        }
      }
      value = model.codeHex(coder, digits, value);
      for (std::uint32_t k = 0; k < digits; ++k) {
        const std::uint32_t digit = (value >> (4 * (digits - 1 - k))) & 15u;
        const std::uint8_t letterBase = in[i + k] == '1' ? 'a' : 'A';
        out[i + k] = static_cast<std::uint8_t>(digit < 10 ? '0' + digit : letterBase + digit - 10);
      }
      i += digits;
      continue;
    }
    // The pattern: z further '0' bytes among separators; F is the last byte looked at.
    DecimalContext where{0, out[i - 1] == ' ' ? out[i - 2] : out[i - 1], 0};
    std::uint32_t j = i + 1;
    while (j < n) {
      const std::uint8_t b = in[j];
      where.after = b;
      if (b == '0') {
        if (++where.furtherDigits == kMaxFurtherDigits) break;
      } else if (!isSeparator(b)) {
        break;
      }
      ++j;
    }
    if (where.after == ' ' && j + 1 < n) where.after = in[j + 1];
    const std::uint32_t digits = where.furtherDigits + 1;
    // The digit slots: the first placeholder byte and each further '0'.
    std::uint32_t value = 0;
    if constexpr (Coder::isEncoder) {
      std::uint32_t taken = 0;
      for (std::uint32_t k = i; taken < digits; ++k) {
        if (k != i && in[k] != '0') continue;
        if (!isDigit(original[k])) return false;
        value = value * 10 + (original[k] - '0');
        ++taken;
      }
    }
    value = model.codeDecimal(coder, where, value);
    std::array<std::uint8_t, kMaxFurtherDigits + 1> text{};
    std::uint32_t rest = value % kPowersOfTen[digits];
    for (std::uint32_t k = digits; k-- > 0; rest /= 10) text[k] = static_cast<std::uint8_t>('0' + rest % 10);
    out[i] = text[0];
    std::uint32_t written = 1;
    j = i + 1;
    while (j < n) {
      const std::uint8_t b = in[j];
      if (isSeparator(b)) {
        out[j++] = b;
      } else if (b == '0' && written < digits) {
        out[j++] = text[written++];
        if (written == kMaxFurtherDigits + 1) break;
      } else if (isDigit(b)) {
        break;
      } else {
        out[j++] = b;
        break;
      }
    }
    i = j;
  }
  return true;
}

// Which bytes of the text become placeholders: hexadecimal numbers are delimited runs of
// hex digits with at least one digit and one letter; every other digit belongs to a
// decimal number of up to 9 digits with its separators.
void writePlaceholders(const std::uint8_t* in, std::uint32_t n, std::uint8_t* out) {
  std::copy(in, in + n, out);
  const auto isWordByte = [](std::uint8_t b) { return isLetter(b) || isDigit(b) || b >= 128; };
  std::uint32_t i = 2;
  while (i < n) {
    if (!isHexDigit(in[i])) {
      ++i;
      continue;
    }
    std::uint32_t end = i;
    bool hasDigit = false;
    bool hasLetter = false;
    while (end < n && isHexDigit(in[end])) {
      (isDigit(in[end]) ? hasDigit : hasLetter) = true;
      ++end;
    }
    const bool delimited = !isWordByte(in[i - 1]) && (end == n || !isWordByte(in[end]));
    if (delimited && hasDigit && hasLetter) {
      for (std::uint32_t k = i; k < end; ++k) out[k] = (in[k] >= 'A' && in[k] <= 'F') ? '2' : '1';
      i = end;
      continue;
    }
    // Not a hexadecimal number: its digits start decimal numbers (which may run on
    // past the run through separators); its letters stay.
    while (i < end) {
      if (!isDigit(in[i])) {
        ++i;
        continue;
      }
      out[i] = '0';
      std::uint32_t digits = 1;
      std::uint32_t j = i + 1;
      while (j < n && digits <= kMaxFurtherDigits) {
        if (isDigit(in[j])) {
          out[j] = '0';
          ++digits;
        } else if (!isSeparator(in[j])) {
          break;
        }
        ++j;
      }
      i = j;
    }
  }
}

}  // namespace

std::uint32_t decodeNumericTokens(NumericTokenModel& model, std::span<const std::uint8_t> side, const std::uint8_t* in,
                                  std::uint32_t n, std::uint8_t* out) {
  if (n < kMinLength) return 0;
  BinaryDecoder decoder(side);
  walkNumericTokens(model, decoder, in, n, out, nullptr);
  return n;
}

std::uint32_t encodeNumericTokens(const std::uint8_t* in, std::uint32_t n, std::uint8_t* out,
                                  std::vector<std::uint8_t>& side) {
  side.clear();
  if (n < kMinLength) return 0;
  writePlaceholders(in, n, out);
  std::uint32_t placeholders = 0;
  for (std::uint32_t i = 2; i < n; ++i) placeholders += in[i] != out[i] ? 1 : 0;
  if (placeholders == 0) return 0;
  NumericTokenModelPtr model = createNumericTokenModel();
  if (!model) return 0;
  std::vector<std::uint8_t> restored(n);
  BinaryEncoder encoder(side);
  if (!walkNumericTokens(*model, encoder, out, n, restored.data(), in)) return 0;
  encoder.flush();
  if (!std::equal(restored.begin(), restored.end(), in)) return 0;
  return placeholders;
}

}  // namespace quorvex::text
