#include "text/word_dictionary.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/test_support.hpp"

namespace quorvex::text {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

std::uint32_t size32(const Bytes& b) { return static_cast<std::uint32_t>(b.size()); }

Bytes encoded(const Bytes& text) {
  Bytes out(text.size() * 2 + 16);
  out.resize(encodeWords(text.data(), size32(text), out.data(), size32(out)));
  return out;
}

// The decoded text, or the string "<0>" when decoding fails.
std::string decoded(const Bytes& coded) {
  Bytes out(coded.size() * 16 + 64);
  const std::uint32_t n = decodeWords(coded.data(), size32(coded), out.data(), size32(out));
  return n == 0 ? "<0>" : std::string(out.begin(), out.begin() + n);
}

void expectRoundTrip(const Bytes& text, const std::string& what) {
  const Bytes coded = encoded(text);
  ASSERT_FALSE(coded.empty()) << what;
  EXPECT_EQ(coded.back(), ' ') << what;
  EXPECT_EQ(decoded(coded), std::string(text.begin(), text.end())) << what;
}

std::uint32_t fnv1a(const std::string& s, std::uint32_t h = 0x811C9DC5u) {
  for (unsigned char c : s) h = (h ^ c) * 0x01000193u;
  return h;
}

// The word behind a code (decoded with a space after it, which then ends the text).
std::string wordOf(std::initializer_list<std::uint8_t> code) {
  Bytes coded(code);
  coded.push_back(' ');
  return decoded(coded);
}

bool lowerCaseWord(const std::string& word, std::size_t longest) {
  if (word.size() < 3 || word.size() > longest) return false;
  for (char c : word) {
    if (c < 'a' || c > 'z') return false;
  }
  return true;
}

// The dictionary tables are part of the format. Their words, as the generator spelled
// them, hashed with FNV-1a (each word followed by a line feed); read back here through
// the decoder itself, so the 5-bit unpacking is checked as well as the data.
TEST(WordDictionary, TablesAreFrozen) {
  std::string oneByte;
  for (std::uint32_t code = 128; code < 256; ++code) {
    const std::string word = wordOf({static_cast<std::uint8_t>(code)});
    EXPECT_TRUE(lowerCaseWord(word, 8)) << code;
    oneByte += word + "\n";
  }
  std::string twoByte;
  for (std::uint32_t index = 0; index < 16384; ++index) {
    const std::uint32_t code = 16383 - index;
    const std::string word =
        wordOf({static_cast<std::uint8_t>(128 + (code >> 7)), static_cast<std::uint8_t>(128 + (code & 127))});
    EXPECT_TRUE(lowerCaseWord(word, 14)) << index;
    twoByte += word + "\n";
  }
  EXPECT_EQ(fnv1a(oneByte), 0x6EBB9127u);
  EXPECT_EQ(fnv1a(twoByte), 0x09D9B5EDu);
  EXPECT_EQ(wordOf({128}), "that");
  EXPECT_EQ(wordOf({255, 255}), "love");  // two-byte index 0
}

// The listed cases, runs and the capitalisation escapes, as exact values.
TEST(WordDictionary, DecodesListedCases) {
  EXPECT_EQ(decoded({27, ' '}), "the");
  EXPECT_EQ(decoded({27, 'x', ' '}), std::string("\x1bx"));
  EXPECT_EQ(decoded({'a', 'b'}), "<0>");                   // does not end with a space
  EXPECT_EQ(decoded({128, 's', 0xC3, 0xA9, 'x', ' ', 72, ' '}), "thats\xC3\xA9x in");  // a run copies on
  EXPECT_EQ(decoded({27, ',', 'x', 27, '.', 27, ' '}), "the,x\x1b.the");  // ',' continues, '.' does not
  EXPECT_EQ(decoded({127, ' ', 27, ' '}), "The");
  EXPECT_EQ(decoded({127, ' ', 127, ' ', 128, 's', 'e', ',', 'i', ' '}), "THATsE,I");  // F kept, run flipped
  EXPECT_EQ(decoded({127, ' ', 'k', ' '}), "K");            // a literal letter under the escape
  EXPECT_EQ(decoded({127, 'v', ' ', 127, 127, ' '}), "v \x7f");  // other escaped bytes are literal
  EXPECT_EQ(decoded({'!', ' ', '!', 'a', ' '}), "new !a");   // a short word needs a non-letter after it
}

// A second reading of the two byte lists: each short word decoded from its byte, and
// which bytes F carry the copying on (the byte 27 after F shows it: copied as it is, or
// read as the word "the").
TEST(WordDictionary, ShortWordsAndRunBytes) {
  const std::string shortWords =
      "0 not 1 and 2 but 3 are 4 was 5 for 6 has 7 had 8 did 11 can 12 may 13 she 14 you 15 who 16 its 17 her "
      "18 his 19 him 20 all 21 any 22 one 23 two 24 out 25 now 26 why 27 the 28 ref 29 amp 30 www 31 htm 33 new "
      "36 old 37 use 41 see 63 own 64 set 65 an 66 or 67 if 68 as 69 is 70 be 71 of 72 in 73 on 74 to 75 at 76 by "
      "77 do 78 he 79 me 80 it 81 we 82 us 83 so 84 no 85 my 86 up 87 lt 88 gt 89 id 90 td 94 due 96 off 118 sup "
      "119 saw 120 tr 122 br 126 day ";
  std::string expected[128];
  for (std::size_t at = 0; at < shortWords.size();) {
    const std::size_t space = shortWords.find(' ', at), end = shortWords.find(' ', space + 1);
    expected[std::stoi(shortWords.substr(at, space - at))] = shortWords.substr(space + 1, end - space - 1);
    at = end + 1;
  }
  for (std::uint32_t b = 0; b < 127; ++b) {
    const std::string word = expected[b].empty() ? std::string(1, static_cast<char>(b)) : expected[b];
    EXPECT_EQ(decoded({static_cast<std::uint8_t>(b), '.', ' '}), word + ".") << b;
  }

  const std::string stops = "\t\n\r !\"&'(-./;<=>?[\\_{|";
  for (std::uint32_t b = 0; b < 256; ++b) {
    const bool continues = stops.find(static_cast<char>(b)) == std::string::npos;
    const std::string f(1, static_cast<char>(b));
    EXPECT_EQ(decoded({255, 255, static_cast<std::uint8_t>(b), 27, ' '}), "love" + f + (continues ? "\x1b" : "the")) << b;
  }
}

TEST(WordDictionary, DecodesAddresses) {
  EXPECT_EQ(decoded({'k', ' ', 127, 'a', 9, 0, 0, 1, ' '}), "k 10.0.0.1");
  EXPECT_EQ(decoded({127, 'a', 9, 0, 0, 1, ' ', 127, 'b', ' '}), "10.0.0.1 10.0.0.1");
  EXPECT_EQ(decoded({127, 'a', 255, 255, 0, 7, ' ', 127, 'c', ' '}), "0.255.0.7 0.0.0.0");  // first octet wraps
  EXPECT_EQ(decoded({127, 'u', ' '}), "0.0.0.19");

  // Twenty new addresses push 10.0.0.1 out: the last entry is then the first of them.
  Bytes coded = {127, 'a', 9, 0, 0, 1, ' '};
  for (std::uint8_t i = 0; i < 20; ++i) coded.insert(coded.end(), {127, 'a', 0, 0, 0, i, ' '});
  coded.insert(coded.end(), {127, 'u', ' '});
  const std::string text = decoded(coded);
  EXPECT_EQ(text.substr(text.rfind(' ') + 1), "1.0.0.0");
}

// Streams cut short: reading past the input fails the result; an address code or
// escape the input cannot complete stops decoding, which keeps what came before.
TEST(WordDictionary, HostileEndings) {
  EXPECT_EQ(decoded({'k', ' ', 127, 'a', 9, 0, ' '}), "k");  // fewer than four address bytes
  EXPECT_EQ(decoded({'k', ' ', 127, 'a', 9, 0, 0, ' '}), "k");  // no byte after the address
  EXPECT_EQ(decoded({'k', ' ', 127, 'b'}), "k");
  EXPECT_EQ(decoded({127, 'a', 9, 0, 0, 1}), "<0>");         // nothing written at all
  EXPECT_EQ(decoded({'k', ' ', 127, ' ', 127, 'y', ' '}), "k");
  EXPECT_EQ(decoded({'k', ' ', 127, ' '}), "<0>");
  EXPECT_EQ(decoded({'k', ' ', 127, ' ', 127, ' '}), "<0>");
  EXPECT_EQ(decoded({'k', ' ', 127}), "<0>");
  EXPECT_EQ(decoded({'k', ' ', 200}), "<0>");                 // a word code with no byte after it
  EXPECT_EQ(decoded({'k', ' ', 200, 201}), "<0>");
  EXPECT_EQ(decoded({'k', ' ', 27}), "<0>");
}

// A run ends after its first byte outside the continuation set, wherever that byte
// lies in the 16-byte blocks runs are copied in: a word code after it is a word, after
// any other byte a literal.
TEST(WordDictionary, RunsEndAtEveryStopByteAndOffset) {
  const std::string stops = "\t\n\r !\"&'(-./;<=>?[\\_{|";
  const std::string word = wordOf({200});
  for (int b = 0; b < 256; ++b) {
    const bool stop = stops.find(static_cast<char>(b)) != std::string::npos;
    for (std::size_t letters = 0; letters < 34; ++letters) {
      std::string text(1, 'k');
      text.append(letters, 'a');
      text.append("_\xC8 ");
      text.append(20, 'k');
      text.append(" ");
      Bytes coded = bytes(text);
      coded[letters + 1] = static_cast<std::uint8_t>(b);
      std::string expected(1, 'k');
      expected.append(letters, 'a');
      expected += static_cast<char>(b);
      expected += stop ? word : "\xC8";
      expected += ' ';
      expected.append(20, 'k');
      ASSERT_EQ(decoded(coded), expected) << b << " " << letters;
    }
  }
}

// Random codes, rich in escapes and word codes: decoding never writes past its room
// (the sanitizer build also watches its reads).
TEST(WordDictionary, RandomCodesStayInBounds) {
  const std::uint8_t favourites[] = {127, ' ', 'a', 'b', 'u', 200, 255, 27, '.', ','};
  for (std::uint64_t seed = 1; seed <= 300; ++seed) {
    testing::TestRandom random(seed);
    Bytes coded(random.below(64));
    for (auto& b : coded) b = random.below(2) ? favourites[random.below(std::size(favourites))] : random.below(256);
    const std::uint32_t capacity = random.below(200);
    Bytes out(capacity + 1, 0xA5);
    EXPECT_LE(decodeWords(coded.data(), size32(coded), out.data(), capacity), capacity);
    EXPECT_EQ(out[capacity], 0xA5);
  }
}

// Neither direction writes past its capacity, and both fail when the result does not
// fit. The decoder needs no room for the final space it removes.
TEST(WordDictionary, OutputStaysWithinCapacity) {
  const Bytes text = bytes("The cat saw THAT 10.0.0.1! \x7f\xff And... Pneumonoultramicroscopic-silicovolcanic dust, "
                           "understanding internationalisation");
  const Bytes coded = encoded(text);
  constexpr std::uint8_t kGuard = 0xA5;
  for (std::uint32_t capacity = 0; capacity <= coded.size(); ++capacity) {
    Bytes out(coded.size() + 8, kGuard);
    const std::uint32_t n = encodeWords(text.data(), size32(text), out.data(), capacity);
    EXPECT_EQ(n, capacity == coded.size() ? coded.size() : 0u) << capacity;
    EXPECT_EQ(out[capacity], kGuard) << capacity;
  }
  for (std::uint32_t capacity = 0; capacity <= text.size(); ++capacity) {
    Bytes out(text.size() + 8, kGuard);
    const std::uint32_t n = decodeWords(coded.data(), size32(coded), out.data(), capacity);
    EXPECT_EQ(n, capacity == text.size() ? text.size() : 0u) << capacity;
    EXPECT_EQ(out[capacity], kGuard) << capacity;
  }
}

// The encoder's choices, read by hand from the grammar: word codes in three cases,
// escapes where a literal would read as a code, and the address list.
TEST(WordDictionary, EncodesWithCodes) {
  EXPECT_EQ(encoded(bytes("that That THAT the")),
            Bytes({128, ' ', 127, ' ', 128, ' ', 127, ' ', 127, ' ', 128, ' ', 27, ' '}));
  EXPECT_EQ(encoded(bytes("A b! ?x\x7f")), Bytes({127, 'A', ' ', 'b', '!', ' ', 127, '?', 127, 'x', 127, ' '}));
  EXPECT_EQ(encoded(bytes("10.0.0.1 10.0.0.1 0.0.0.3")),
            Bytes({127, 'a', 9, 0, 0, 1, ' ', 127, 'b', ' ', 127, 'f', ' '}));
  EXPECT_EQ(encoded(bytes("!that")), Bytes({127, '!', 128, ' '}));  // '!' before a code is escaped
  EXPECT_EQ(encoded(bytes("Alice ROSALIND")),  // capitalised words outside the dictionary
            Bytes({127, ' ', 'a', 'l', 'i', 'c', 'e', ' ', 127, ' ', 127, ' ', 'r', 'o', 's', 'a', 'l', 'i', 'n', 'd', ' '}));
}

TEST(WordDictionary, GeneratedTextRoundTrips) {
  const char* words[] = {"the", "The", "THE", "that", "That", "THAT", "another", "Another", "I", "A", "a",
                         "xyzzy", "Alice", "said", "understanding", "internationalization", "br", "x", "lt"};
  const char* glue[] = {" ", "  ", "\n", ", ", ". ", "! ", "?", "!", "\"", "'", "(", ")", "-", "\t", "\r\n", "<", ">"};
  for (std::uint64_t seed = 1; seed <= 40; ++seed) {
    testing::TestRandom random(seed);
    Bytes text;
    const std::uint32_t tokens = 1 + random.below(300);
    for (std::uint32_t i = 0; i < tokens; ++i) {
      switch (random.below(8)) {
        case 0: {  // addresses, some repeated, some beyond the list's reach
          const std::string a = std::to_string(random.below(3) * 127) + "." + std::to_string(random.below(256)) +
                                ".0." + std::to_string(random.below(30));
          text.insert(text.end(), a.begin(), a.end());
          break;
        }
        case 1:  // any byte, control and high bytes included
          text.push_back(static_cast<std::uint8_t>(random.below(256)));
          break;
        case 2: {
          const std::string number = std::to_string(random.next() % 100000);
          text.insert(text.end(), number.begin(), number.end());
          break;
        }
        default: {
          const std::string w = words[random.below(std::size(words))];
          text.insert(text.end(), w.begin(), w.end());
        }
      }
      const std::string g = glue[random.below(std::size(glue))];
      if (random.below(4) != 0) text.insert(text.end(), g.begin(), g.end());
    }
    expectRoundTrip(text, "seed " + std::to_string(seed));
  }
  for (std::uint32_t b = 0; b < 256; ++b) {  // every byte alone and before a space
    expectRoundTrip({static_cast<std::uint8_t>(b)}, "byte " + std::to_string(b));
    expectRoundTrip({static_cast<std::uint8_t>(b), ' ', static_cast<std::uint8_t>(b)}, "bytes " + std::to_string(b));
  }
}

TEST(WordDictionary, SourceFilesRoundTrip) {
  const auto root = std::filesystem::path(__FILE__).parent_path().parent_path().parent_path() / "src";
  std::uint32_t files = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    if (entry.is_regular_file() && files < 40) {
      expectRoundTrip(testing::readFile(entry.path()), entry.path().string());
      ++files;
    }
  }
  EXPECT_GT(files, 0u);
}

TEST(WordDictionary, CorpusRoundTrips) {
  QUORVEX_SKIP_WITHOUT_CORPUS();
  for (const std::string& name : testing::corpusFiles()) expectRoundTrip(testing::corpusFile(name), name);
}

}  // namespace
}  // namespace quorvex::text
