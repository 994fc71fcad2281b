#include "text/word_dictionary.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <vector>

#include "model/block_copy.hpp"
#include "text/char_class.hpp"
#include "text/word_dictionary_data.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quorvex::text {

namespace {

// The coded text is a series of tokens. A token is an optional escape, a head (a word
// code, a short-word byte or one literal byte), then one byte F copied as it is; when F
// can continue a word (letters, digits, most punctuation, bytes 127-255) the bytes after
// it are copied too, up to and including the first that cannot. So a new token starts
// only after a space, a line break or a separating punctuation mark.
constexpr std::uint8_t kEscape = 127;
constexpr std::uint8_t kCapitalEscape = ' ';   // 127 32: first letter upper case
constexpr std::uint8_t kNewAddress = 'a';      // 127 'a' B0 B1 B2 B3
constexpr std::uint8_t kRecalledAddress = 'b'; // 127 'b'..'u': an address of the list
constexpr std::uint32_t kAddressListSize = 20;
constexpr std::uint8_t kCaseBit = 0x20;
constexpr std::uint32_t kShortRun = 2;  // run bytes copied singly before 16 at a time

enum CapitalMode : std::uint8_t { kAsWritten, kFirstCapital, kAllCapitals };

constexpr std::array<bool, 256> kContinuesRun = [] {
  std::array<bool, 256> table{};
  table.fill(true);
  for (char c : {'\t', '\n', '\r', ' ', '!', '"', '&', '\'', '(', '-', '.', '/', ';', '<', '=', '>', '?', '[', '\\',
                 '_', '{', '|'}) {
    table[static_cast<std::uint8_t>(c)] = false;
  }
  return table;
}();

#if defined(__SSE2__)
// The marks of the bytes that do not continue a word (the bytes kContinuesRun leaves
// out, as ranges).
__m128i runEnds(__m128i bytes) {
  const auto within = [bytes](std::uint8_t low, std::uint8_t high) {
    const __m128i above = _mm_sub_epi8(bytes, _mm_set1_epi8(static_cast<char>(low)));
    const __m128i beyond = _mm_subs_epu8(above, _mm_set1_epi8(static_cast<char>(high - low)));
    return _mm_cmpeq_epi8(beyond, _mm_setzero_si128());
  };
  return _mm_or_si128(
      _mm_or_si128(_mm_or_si128(within('\t', '\n'), _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\r'))),
                   _mm_or_si128(within(' ', '"'), within('&', '('))),
      _mm_or_si128(_mm_or_si128(within('-', '/'), within(';', '?')),
                   _mm_or_si128(_mm_or_si128(within('[', '\\'), _mm_cmpeq_epi8(bytes, _mm_set1_epi8('_'))),
                                within('{', '|'))));
}
#endif

// The words of the bytes 0-127 that have one: up to three letters in the low bytes, the
// length in the top byte.
constexpr std::array<std::uint32_t, 128> kShortWords = [] {
  struct Short {
    std::uint8_t byte;
    const char* word;
  };
  constexpr Short words[] = {
      {0, "not"},  {1, "and"},  {2, "but"},  {3, "are"},  {4, "was"},  {5, "for"},  {6, "has"},   {7, "had"},
      {8, "did"},  {11, "can"}, {12, "may"}, {13, "she"}, {14, "you"}, {15, "who"}, {16, "its"},  {17, "her"},
      {18, "his"}, {19, "him"}, {20, "all"}, {21, "any"}, {22, "one"}, {23, "two"}, {24, "out"},  {25, "now"},
      {26, "why"}, {27, "the"}, {28, "ref"}, {29, "amp"}, {30, "www"}, {31, "htm"}, {33, "new"},  {36, "old"},
      {37, "use"}, {41, "see"}, {63, "own"}, {64, "set"}, {65, "an"},  {66, "or"},  {67, "if"},   {68, "as"},
      {69, "is"},  {70, "be"},  {71, "of"},  {72, "in"},  {73, "on"},  {74, "to"},  {75, "at"},   {76, "by"},
      {77, "do"},  {78, "he"},  {79, "me"},  {80, "it"},  {81, "we"},  {82, "us"},  {83, "so"},   {84, "no"},
      {85, "my"},  {86, "up"},  {87, "lt"},  {88, "gt"},  {89, "id"},  {90, "td"},  {94, "due"},  {96, "off"},
      {118, "sup"}, {119, "saw"}, {120, "tr"}, {122, "br"}, {126, "day"},
  };
  std::array<std::uint32_t, 128> table{};
  for (const Short& s : words) {
    std::uint32_t entry = 0;
    std::uint32_t length = 0;
    for (; s.word[length] != 0; ++length) entry |= std::uint32_t{static_cast<std::uint8_t>(s.word[length])} << (8 * length);
    table[s.byte] = entry | (length << 24);
  }
  return table;
}();

constexpr bool hasShortWord(std::uint8_t byte) { return byte < 128 && kShortWords[byte] != 0; }

constexpr std::uint32_t kLongestWord = 14;

// A word's letters (at most 14, and room for the spellers' wider stores).
struct Word {
  std::uint8_t letters[16];
  std::uint32_t length;
};

// The letter of a 5-bit group: 1 to 26 are a to z, the other values the byte 0.
constexpr std::array<std::uint8_t, 32> kGroupLetters = [] {
  std::array<std::uint8_t, 32> table{};
  for (std::uint32_t group = 1; group <= 26; ++group) table[group] = static_cast<std::uint8_t>('a' + group - 1);
  return table;
}();

// How many letters a packed group word spells: the first group always, the others
// while non-zero.
std::uint32_t groupCount(std::uint32_t packed) {
  std::uint32_t count = 1;
  while (count < 6 && ((packed >> (25 - 5 * count)) & 31) != 0) ++count;
  return count;
}

// Writes the first `count` groups to at[0..count): the groups run right to left, so
// the first group is the last letter.
void spellGroups(std::uint32_t packed, std::uint32_t count, std::uint8_t* at) {
  for (std::uint32_t k = 0; k < count; ++k) at[count - 1 - k] = kGroupLetters[(packed >> (25 - 5 * k)) & 31];
}

// Spells a dictionary word to at[0..length) and returns its length (at most 14).
std::uint32_t spell(const char suffix[2], std::uint32_t prefix, std::uint32_t continuation, std::uint8_t* at) {
  const std::uint32_t own = groupCount(prefix);
  const std::uint32_t more = own == 6 && continuation != 0 ? groupCount(continuation) : 0;
  spellGroups(continuation, more, at);
  spellGroups(prefix, own, at + more);
  at[more + own] = static_cast<std::uint8_t>(suffix[0]);
  at[more + own + 1] = static_cast<std::uint8_t>(suffix[1]);
  return more + own + 2;
}

std::uint32_t spellOneByteWord(std::uint32_t entry, std::uint8_t* at) {
  return spell(kOneByteWords[entry].suffix, kOneByteWords[entry].prefix, 0, at);
}

std::uint32_t spellTwoByteWord(std::uint32_t index, std::uint8_t* at) {
  const TwoByteWord& w = kTwoByteWords[index];
  return spell(w.suffix, w.prefix, w.continuation, at);
}

// Stores four bytes (the word and one more) and returns the word's length.
std::uint32_t spellShortWord(std::uint8_t byte, std::uint8_t* at) {
  const std::uint32_t entry = kShortWords[byte];
  const std::uint8_t letters[4] = {static_cast<std::uint8_t>(entry), static_cast<std::uint8_t>(entry >> 8),
                                   static_cast<std::uint8_t>(entry >> 16), 0};
  std::memcpy(at, letters, 4);
  return entry >> 24;
}

template <class Spell>
Word wordOf(Spell spellTo) {
  Word word{};
  word.length = spellTo(word.letters);
  return word;
}

Word oneByteWord(std::uint32_t entry) {
  return wordOf([entry](std::uint8_t* at) { return spellOneByteWord(entry, at); });
}

Word twoByteWord(std::uint32_t index) {
  return wordOf([index](std::uint8_t* at) { return spellTwoByteWord(index, at); });
}

Word shortWord(std::uint8_t byte) {
  return wordOf([byte](std::uint8_t* at) { return spellShortWord(byte, at); });
}

// Output with a hard limit: bytes that do not fit are dropped and counted, and fail
// the result (the decoder forgives only the final space, which it removes anyway).
struct BoundedOutput {
  std::uint8_t* data;
  std::uint32_t capacity;
  std::uint32_t size = 0;
  bool full = false;
  std::uint32_t dropped = 0;
  std::uint8_t lastDropped = 0;

  std::uint32_t room() const { return capacity - size; }
  void put(std::uint8_t byte) {
    if (size == capacity) {
      full = true;
      ++dropped;
      lastDropped = byte;
      return;
    }
    data[size++] = byte;
  }
  void insert(std::uint32_t at, std::uint8_t byte) {
    if (size == capacity) {
      full = true;
      ++dropped;
      return;
    }
    std::memmove(data + at + 1, data + at, size - at);
    data[at] = byte;
    ++size;
  }
};

// 20 IPv4 addresses, most recently used first.
struct AddressList {
  std::uint32_t entries[kAddressListSize];

  AddressList() {
    for (std::uint32_t i = 0; i < kAddressListSize; ++i) entries[i] = i;
  }
  // Moves entry k to the front; returns its address.
  std::uint32_t recall(std::uint32_t k) {
    const std::uint32_t address = entries[k];
    for (; k > 0; --k) entries[k] = entries[k - 1];
    entries[0] = address;
    return address;
  }
  void insert(std::uint32_t address) {
    for (std::uint32_t k = kAddressListSize - 1; k > 0; --k) entries[k] = entries[k - 1];
    entries[0] = address;
  }
  // Position of the address in the list, or kAddressListSize.
  std::uint32_t find(std::uint32_t address) const {
    std::uint32_t k = 0;
    while (k < kAddressListSize && entries[k] != address) ++k;
    return k;
  }
};

// ---------------------------------------------------------------------------------
// Decoding

class WordDecoder {
 public:
  WordDecoder(const std::uint8_t* in, std::uint32_t n, std::uint8_t* out, std::uint32_t capacity)
      : in_(in), n_(n), out_{out, capacity} {}

  std::uint32_t run() {
    while (pos_ < n_ && !out_.full) {
      if (!decodeToken()) break;
    }
    if (overrun_) return 0;
    if (out_.full) {
      // Room for all but the final space still holds the whole text.
      const bool onlyFinalSpace = out_.dropped == 1 && out_.lastDropped == ' ' && pos_ == n_;
      return onlyFinalSpace ? out_.size : 0;
    }
    if (out_.size == 0 || out_.data[out_.size - 1] != ' ') return 0;
    return out_.size - 1;
  }

 private:
  // One token; false when decoding stops (early end, or a read past the input).
  bool decodeToken() {
    std::uint8_t head = in_[pos_++];
    CapitalMode mode = kAsWritten;
    if (head == kEscape) {
      if (!has(1)) return overrun();
      const std::uint8_t x = in_[pos_++];
      if (x == kCapitalEscape) {
        mode = kFirstCapital;
        if (has(1) && in_[pos_] == kEscape) {
          if (!has(2)) return overrun();
          if (in_[pos_ + 1] != kCapitalEscape) return false;
          mode = kAllCapitals;
          pos_ += 2;
        }
        if (!has(1)) return overrun();
        head = in_[pos_++];
      } else if (x >= kNewAddress && x < kRecalledAddress + kAddressListSize) {
        return decodeAddress(x);
      } else {
        finishToken(x, kAsWritten);
        return true;
      }
    }

    if (head >= 128) {
      if (!has(1)) return overrun();
      const std::uint8_t u = in_[pos_];
      if (u >= 128) {
        ++pos_;
        const std::uint32_t index = 16383 - ((std::uint32_t{head} - 128) * 128 + (std::uint32_t{u} - 128));
        writeWord([index](std::uint8_t* at) { return spellTwoByteWord(index, at); }, mode);
      } else {
        const std::uint32_t entry = head - 128u;
        writeWord([entry](std::uint8_t* at) { return spellOneByteWord(entry, at); }, mode);
      }
    } else if (hasShortWord(head) && has(1) && !isLetter(in_[pos_])) {
      writeWord([head](std::uint8_t* at) { return spellShortWord(head, at); }, mode);
    } else if (hasShortWord(head) && !has(1)) {
      return overrun();  // a short word's following byte lies past the input
    } else {
      finishToken(mode != kAsWritten && isLetter(head) ? static_cast<std::uint8_t>(head ^ kCaseBit) : head, mode);
      return true;
    }
    if (!has(1)) return overrun();
    finishToken(in_[pos_++], mode);
    return true;
  }

  bool decodeAddress(std::uint8_t x) {
    std::uint32_t address;
    if (x == kNewAddress) {
      if (!has(4)) return false;
      const std::uint32_t packed = std::uint32_t{in_[pos_]} << 24 | std::uint32_t{in_[pos_ + 1]} << 16 |
                                   std::uint32_t{in_[pos_ + 2]} << 8 | in_[pos_ + 3];
      pos_ += 4;
      address = packed + (1u << 24);  // wraps: the first octet is stored less one
      addresses_.insert(address);
    } else {
      address = addresses_.recall(x - kRecalledAddress);
    }
    if (!has(1)) return false;
    for (std::uint32_t shift = 24;; shift -= 8) {
      writeDecimal((address >> shift) & 0xFF);
      if (shift == 0) break;
      out_.put('.');
    }
    finishToken(in_[pos_++], kAsWritten);
    return true;
  }

  // Writes F, then copies on while the bytes continue a word; in all-capitals mode the
  // letters copied after F have their case flipped.
  void finishToken(std::uint8_t f, CapitalMode mode) {
    out_.put(f);
    if (!kContinuesRun[f]) return;
    if (mode != kAllCapitals) {
      copyRun();
      return;
    }
    while (pos_ < n_) {
      std::uint8_t b = in_[pos_++];
      if (isLetter(b)) b = static_cast<std::uint8_t>(b ^ kCaseBit);
      out_.put(b);
      if (!kContinuesRun[b]) return;
    }
  }

  // Copies input bytes up to and including the first that does not continue a word.
  // Runs are mostly short words: sixteen bytes at a time are stored and searched for
  // their end, which costs no mispredicted branch per run.
  void copyRun() {
    // The first bytes one at a time: in markup and code most runs end at once.
    for (std::uint32_t k = 0; k < kShortRun && pos_ < n_; ++k) {
      const std::uint8_t b = in_[pos_++];
      out_.put(b);
      if (!kContinuesRun[b]) return;
    }
#if defined(__SSE2__)
    // Up to the byte that ends the run, which the loop below puts.
    const std::uint32_t plain =
        copyBlocksUntilMarked(in_ + pos_, out_.data + out_.size, std::min(n_ - pos_, out_.room()), runEnds);
    pos_ += plain;
    out_.size += plain;
#endif
    while (pos_ < n_) {
      const std::uint8_t b = in_[pos_++];
      out_.put(b);
      if (!kContinuesRun[b]) return;
    }
  }

  // Spells the word straight into the output where 16 bytes of room are left, else
  // into a word of its own that is put byte by byte.
  template <class Spell>
  void writeWord(Spell spellTo, CapitalMode mode) {
    if (out_.room() >= 16) {
      std::uint8_t* at = out_.data + out_.size;
      const std::uint32_t length = spellTo(at);
      capitalise(at, length, mode);
      out_.size += length;
      return;
    }
    Word word = wordOf(spellTo);
    capitalise(word.letters, word.length, mode);
    for (std::uint32_t i = 0; i < word.length; ++i) out_.put(word.letters[i]);
  }

  static void capitalise(std::uint8_t* letters, std::uint32_t length, CapitalMode mode) {
    if (mode == kFirstCapital && isLetter(letters[0])) letters[0] ^= kCaseBit;
    if (mode == kAllCapitals) {
      for (std::uint32_t i = 0; i < length; ++i) {
        if (isLetter(letters[i])) letters[i] ^= kCaseBit;
      }
    }
  }

  void writeDecimal(std::uint32_t value) {
    if (value >= 100) out_.put(static_cast<std::uint8_t>('0' + value / 100));
    if (value >= 10) out_.put(static_cast<std::uint8_t>('0' + value / 10 % 10));
    out_.put(static_cast<std::uint8_t>('0' + value % 10));
  }

  bool has(std::uint32_t count) const { return n_ - pos_ >= count; }
  bool overrun() {
    overrun_ = true;
    return false;
  }

  const std::uint8_t* in_;
  std::uint32_t n_;
  std::uint32_t pos_ = 0;
  BoundedOutput out_;
  AddressList addresses_;
  bool overrun_ = false;
};


// ---------------------------------------------------------------------------------
// Encoding

enum class WordKind : std::uint8_t { kShort, kOneByte, kTwoByte };

struct DictionaryEntry {
  Word word;
  WordKind kind;
  std::uint8_t code[2];
};

// Every word of the three tables, found by its lower-case letters through an open
// hash table. Built once, on first use.
class DictionaryIndex {
 public:
  DictionaryIndex() {
    entries_.reserve(128 + kOneByteWordCount + kTwoByteWordCount);
    for (std::uint32_t byte = 0; byte < 128; ++byte) {
      if (kShortWords[byte] != 0) add(shortWord(static_cast<std::uint8_t>(byte)), WordKind::kShort, byte, 0);
    }
    for (std::uint32_t entry = 0; entry < kOneByteWordCount; ++entry) {
      add(oneByteWord(entry), WordKind::kOneByte, 128 + entry, 0);
    }
    for (std::uint32_t index = 0; index < kTwoByteWordCount; ++index) {
      const std::uint32_t code = 16383 - index;  // (T - 128) * 128 + (U - 128)
      add(twoByteWord(index), WordKind::kTwoByte, 128 + (code >> 7), 128 + (code & 127));
    }
  }

  const DictionaryEntry* find(const std::uint8_t* letters, std::uint32_t length) const {
    for (std::uint32_t slot = hash(letters, length);; slot = (slot + 1) & kSlotMask) {
      const std::uint16_t id = slots_[slot];
      if (id == 0) return nullptr;
      const Word& word = entries_[id - 1].word;
      if (word.length == length && equal(word.letters, letters, length)) return &entries_[id - 1];
    }
  }

 private:
  static constexpr std::uint32_t kSlotCount = 1u << 15;  // twice the word count
  static constexpr std::uint32_t kSlotMask = kSlotCount - 1;

  static std::uint32_t hash(const std::uint8_t* letters, std::uint32_t length) {
    std::uint32_t h = 0x811C9DC5u;
    for (std::uint32_t i = 0; i < length; ++i) h = (h ^ letters[i]) * 0x01000193u;
    return (h ^ (h >> 15)) & kSlotMask;
  }
  static bool equal(const std::uint8_t* a, const std::uint8_t* b, std::uint32_t length) {
    for (std::uint32_t i = 0; i < length; ++i) {
      if (a[i] != b[i]) return false;
    }
    return true;
  }

  // A word already present keeps its first (shortest) code.
  void add(const Word& word, WordKind kind, std::uint32_t first, std::uint32_t second) {
    if (find(word.letters, word.length) != nullptr) return;
    entries_.push_back({word, kind, {static_cast<std::uint8_t>(first), static_cast<std::uint8_t>(second)}});
    std::uint32_t slot = hash(word.letters, word.length);
    while (slots_[slot] != 0) slot = (slot + 1) & kSlotMask;
    slots_[slot] = static_cast<std::uint16_t>(entries_.size());
  }

  std::vector<DictionaryEntry> entries_;
  std::vector<std::uint16_t> slots_ = std::vector<std::uint16_t>(kSlotCount, 0);  // entry number + 1, 0 = empty
};

const DictionaryIndex& dictionaryIndex() {
  static const DictionaryIndex index;
  return index;
}

// The capitalisation of letters[0..length), or false when no mode spells it.
bool capitalModeOf(const std::uint8_t* letters, std::uint32_t length, CapitalMode& mode) {
  std::uint32_t upper = 0;
  for (std::uint32_t i = 0; i < length; ++i) upper += (charClass(letters[i]) & kUpperCase) ? 1 : 0;
  if (upper == 0) {
    mode = kAsWritten;
  } else if (upper == length) {
    mode = kAllCapitals;
  } else if (upper == 1 && (charClass(letters[0]) & kUpperCase)) {
    mode = kFirstCapital;
  } else {
    return false;
  }
  return true;
}

class WordEncoder {
 public:
  WordEncoder(const std::uint8_t* in, std::uint32_t n, std::uint8_t* out, std::uint32_t capacity)
      : in_(in), n_(n), out_{out, capacity}, index_(dictionaryIndex()) {}

  std::uint32_t run() {
    // The text is coded with one space appended: position n_ reads as that space.
    std::uint64_t p = 0;
    while (p <= n_ && !out_.full) p = encodeToken(p);
    return out_.full ? 0 : out_.size;
  }

 private:
  std::uint8_t at(std::uint64_t i) const { return i < n_ ? in_[i] : ' '; }

  std::uint64_t encodeToken(std::uint64_t p) {
    if (const std::uint64_t next = encodeAddress(p)) return next;
    if (const std::uint64_t next = encodeWord(p)) return next;
    return encodeLiteral(p);
  }

  // One byte as itself, escaped where the decoder would read it as a code: the escape
  // byte, word-code bytes, and a short-word byte not followed by a letter.
  std::uint64_t encodeLiteral(std::uint64_t p) {
    const std::uint8_t t = at(p);
    if (hasShortWord(t) && !kContinuesRun[t] && isLetter(at(p + 1))) {
      // The byte after T is the first of the next token's code, a letter only when
      // that token starts with a plain letter: code it, then escape T if needed.
      const std::uint32_t mark = out_.size;
      out_.put(t);
      const std::uint64_t next = encodeToken(p + 1);
      if (!out_.full && !isLetter(out_.data[mark + 1])) out_.insert(mark, kEscape);
      return next;
    }
    const bool readAsCode = t >= kEscape || (hasShortWord(t) && !isLetter(at(p + 1)));
    if (readAsCode) out_.put(kEscape);
    out_.put(t);
    return copyRun(p + 1, t, kAsWritten);
  }

  // The word at p, when it is spelt in one of the three capitalisations: as its code
  // if the dictionary holds it, else (when capitalised) as the capital escape and its
  // lower-case letters. Whole words only, and always: codes and lower-case letters then
  // stand for the same word wherever it occurs, which the entropy coders after this
  // stage model best (better than coding prefixes of longer words, or only the codes
  // shorter than their word).
  std::uint64_t encodeWord(std::uint64_t p) {
    std::uint8_t letters[kLongestWord];
    std::uint8_t lower[kLongestWord];
    std::uint32_t length = 0;
    for (; isLetter(at(p + length)); ++length) {
      if (length == kLongestWord) return 0;
      letters[length] = at(p + length);
      lower[length] = foldCase(letters[length]);
    }
    CapitalMode mode;
    if (length < 2 || !capitalModeOf(letters, length, mode)) return 0;
    const DictionaryEntry* entry = index_.find(lower, length);
    const std::uint8_t f = at(p + length);  // never a letter
    if (entry != nullptr && entry->kind == WordKind::kOneByte && f >= 128) entry = nullptr;  // U would join it
    if (entry == nullptr && mode == kAsWritten) return 0;

    if (mode != kAsWritten) out_.put(kEscape), out_.put(kCapitalEscape);
    if (mode == kAllCapitals) out_.put(kEscape), out_.put(kCapitalEscape);
    if (entry == nullptr) {
      // A literal head under the escape; the next letter after it keeps it a literal.
      out_.put(lower[0]);
      return copyRun(p + 1, lower[0], mode);
    }
    out_.put(entry->code[0]);
    if (entry->kind == WordKind::kTwoByte) out_.put(entry->code[1]);
    out_.put(f);
    return copyRun(p + length + 1, f, mode);
  }

  // A dotted IPv4 address at p (decimal octets without leading zeros) not followed by
  // a digit.
  std::uint64_t encodeAddress(std::uint64_t p) {
    std::uint64_t q = p;
    std::uint32_t address = 0;
    for (std::uint32_t octet = 0; octet < 4; ++octet) {
      if (octet > 0) {
        if (at(q) != '.') return 0;
        ++q;
      }
      std::uint32_t value = 0;
      std::uint32_t digits = 0;
      while (digits < 4 && q < n_ && isDigit(at(q))) value = value * 10 + (at(q++) - '0'), ++digits;
      if (digits == 0 || digits > 3 || value > 255 || (digits > 1 && at(q - digits) == '0')) return 0;
      address = address << 8 | value;
    }
    const std::uint8_t f = at(q);  // q <= n_: the appended space at the latest
    const std::uint32_t k = addresses_.find(address);
    out_.put(kEscape);
    if (k < kAddressListSize) {
      out_.put(static_cast<std::uint8_t>(kRecalledAddress + k));
      addresses_.recall(k);
    } else {
      const std::uint32_t stored = address - (1u << 24);  // wraps: first octet less one
      out_.put(kNewAddress);
      for (std::uint32_t shift = 24;; shift -= 8) {
        out_.put(static_cast<std::uint8_t>(stored >> shift));
        if (shift == 0) break;
      }
      addresses_.insert(address);
    }
    out_.put(f);
    return copyRun(q + 1, f, kAsWritten);
  }

  // Copies the bytes the decoder copies after F; in all-capitals mode their letters
  // go out flipped, as the decoder flips them back.
  std::uint64_t copyRun(std::uint64_t q, std::uint8_t f, CapitalMode mode) {
    if (!kContinuesRun[f]) return q;
    const std::uint8_t flip = mode == kAllCapitals ? kCaseBit : 0;
    while (q <= n_) {
      const std::uint8_t b = at(q++);
      out_.put(isLetter(b) ? static_cast<std::uint8_t>(b ^ flip) : b);
      if (!kContinuesRun[b]) break;
    }
    return q;
  }

  const std::uint8_t* in_;
  std::uint32_t n_;
  BoundedOutput out_;
  const DictionaryIndex& index_;
  AddressList addresses_;
};

}  // namespace

std::uint32_t decodeWords(const std::uint8_t* in, std::uint32_t n, std::uint8_t* out, std::uint32_t capacity) {
  return WordDecoder(in, n, out, capacity).run();
}

std::uint32_t encodeWords(const std::uint8_t* in, std::uint32_t n, std::uint8_t* out, std::uint32_t capacity) {
  return WordEncoder(in, n, out, capacity).run();
}

}  // namespace quorvex::text
