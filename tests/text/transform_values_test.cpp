// The text transforms' decoders on hand-made inputs: the values they must produce, and
// what they do with hostile input.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "support/test_support.hpp"
#include "text/alphabet_remap.hpp"
#include "text/line_breaks.hpp"
#include "text/line_endings.hpp"
#include "text/line_prefixes.hpp"
#include "text/markup_tags.hpp"
#include "text/numeric_tokens.hpp"
#include "text/text_pipeline.hpp"

namespace quorvex::text {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytes(const std::string& text) { return {text.begin(), text.end()}; }
std::string str(const Bytes& data, std::uint32_t length) { return {data.begin(), data.begin() + length}; }

using Transform = std::uint32_t (*)(const std::uint8_t*, std::uint32_t, std::uint8_t*, std::uint32_t);

// Decodes with a generous buffer and returns the result as text ("" on failure).
std::string decodeWith(Transform transform, const Bytes& in, std::uint32_t capacity = 4096) {
  Bytes out(capacity);
  const std::uint32_t length = transform(in.data(), static_cast<std::uint32_t>(in.size()), out.data(), capacity);
  return str(out, length);
}

TEST(LinePrefixes, ListedValues) {
  const std::uint8_t e = '|';
  EXPECT_EQ(decodeWith(decodeLinePrefixes, {e}), "");  // one byte fails
  EXPECT_EQ(decodeWith(decodeLinePrefixes, {e, 'a', 'b', e, 0xE2}), "ab|ab");
  EXPECT_EQ(decodeWith(decodeLinePrefixes, {e, 'a', e}), "a|");                  // E last is output
  EXPECT_EQ(decodeWith(decodeLinePrefixes, {e, 'a', e, 0xE0, 0xE3}), "a|\xE3");  // 0xE0 marks a plain byte
  // A repeat longer than the bytes since the reference repeats them.
  EXPECT_EQ(decodeWith(decodeLinePrefixes, {e, 'x', e, 0xE1, e, 0xE3}), "x|x|x|x");
  // Copied bytes are not checked against E: the reference stays after the input E.
  EXPECT_EQ(decodeWith(decodeLinePrefixes, {e, e, 'a', e, 0xE2, e, 0xE1}), "|a|a||a");
}

// The escape is found wherever it lies in the 16-byte blocks plain bytes are copied
// in, and the room is kept to the byte.
TEST(LinePrefixes, EscapeAtEveryOffset) {
  for (std::size_t plain = 0; plain < 40; ++plain) {
    std::string line = "ab";
    line.append(plain, 'x');
    Bytes in = bytes("|" + line + "|");
    in.push_back(0xE2);
    const Bytes tail = bytes(std::string(plain, 'y'));
    in.insert(in.end(), tail.begin(), tail.end());
    std::string expected = line + "|ab";
    expected.append(plain, 'y');
    const auto size = static_cast<std::uint32_t>(expected.size());
    EXPECT_EQ(decodeWith(decodeLinePrefixes, in, size), expected) << plain;
    EXPECT_EQ(decodeWith(decodeLinePrefixes, in, size - 1), "") << plain;
  }
}

TEST(LinePrefixes, OutputIsBoundedByTheBufferItWrites) {
  EXPECT_EQ(decodeWith(decodeLinePrefixes, {'|', 'a', 'b', '|', 0xFF}, 34).size(), 34u);
  EXPECT_EQ(decodeWith(decodeLinePrefixes, {'|', 'a', 'b', '|', 0xFF}, 33), "");
  EXPECT_EQ(decodeWith(decodeLinePrefixes, {'|', 'a', 'b', 'c'}, 2), "");
}

TEST(LineEndings, ListedValues) {
  EXPECT_EQ(decodeWith(decodeLineEndings, bytes("a\r\nb\nc")), "a\r\nb\r\nc");
  EXPECT_EQ(decodeWith(decodeLineEndings, bytes("a\rb\nc")), "a\rb\rc");
  EXPECT_EQ(decodeWith(decodeLineEndings, bytes("a\r\nb\n")), "a\r\nb\n");       // a final LF stays lone
  EXPECT_EQ(decodeWith(decodeLineEndings, bytes("a\r\nb\r\nc\nd")), "a\r\nb\nc\nd");  // CR escapes, back to plain
  EXPECT_EQ(decodeWith(decodeLineEndings, bytes("a\rb\rc\nd")), "a\rb\nc\nd");   // lone-CR mode: CR is LF, then plain
  EXPECT_EQ(decodeWith(decodeLineEndings, {}), "");
  EXPECT_EQ(decodeWith(decodeLineEndings, bytes("a\r\nb\nc"), 0), "");
  EXPECT_EQ(decodeWith(decodeLineEndings, bytes("a\r\nb\nc"), 6), "");  // needs 7
}

TEST(AlphabetRemap, ListedPairsAndFixedBytes) {
  EXPECT_EQ(kRemapDecode['x'], 'a');
  EXPECT_EQ(kRemapDecode[' '], '\'');
  EXPECT_EQ(kRemapDecode['\n'], '"');
  EXPECT_EQ(kRemapDecode['&'], ' ');
  EXPECT_EQ(kRemapDecode['l'], 'l');
  for (int b = 123; b < 256; ++b) EXPECT_EQ(kRemapDecode[b], b);
}

std::string runPipeline(const std::string& text, std::uint8_t flags, bool remap = true,
                        std::uint32_t capacity = 4096) {
  Bytes a(capacity);
  Bytes b(capacity);
  std::copy(text.begin(), text.end(), a.begin());
  std::uint8_t* current = a.data();
  std::uint8_t* other = b.data();
  TextTransformContext context = createTextTransformContext({}, {}, remap);
  const std::uint32_t length =
      runTextTransforms(context, current, static_cast<std::uint32_t>(text.size()), other, capacity, flags);
  return std::string(current, current + length);
}

TEST(TextPipeline, FlagsDecideWhatRunsAndWhatFails) {
  EXPECT_EQ(runPipeline("plain text", 0x00), "plain text");
  EXPECT_EQ(runPipeline("plain text", 0x40), "");
  EXPECT_EQ(runPipeline("plain text", 0x80), "");
  EXPECT_EQ(runPipeline("", 0x00), "");
  // Pipeline order: markup tags are restored before the line endings.
  EXPECT_EQ(runPipeline("<p>x</\r\ny</\nz", 0x05), "<p>x</p>\r\ny</>\r\nz");
  // The word stage remaps first ('&' becomes a space, 'a' 's'), then needs a final
  // space; context-mixing blocks do not remap.
  EXPECT_EQ(runPipeline("abc&", 0x08, true), "skz");
  EXPECT_EQ(runPipeline("abc&", 0x08, false), "");
  EXPECT_EQ(runPipeline("abc ", 0x08, true), "");
  EXPECT_EQ(runPipeline("abc ", 0x08, false), "abc");
  EXPECT_EQ(runPipeline(" ", 0x08, false), "");  // one byte is not enough
}

TEST(TextPipeline, WordsAreRestoredBeforeMarkupTags) {
  // Byte 27 before a byte that is not a letter is the word "the": the tag name exists
  // only once the words are back, so the closing tag is completed with it. Markup
  // first would see no name after "<" and close an empty stack.
  EXPECT_EQ(runPipeline("<\x1b>ok</ ", kWordDictionaryBit | kMarkupTagsBit, false), "<the>ok</the>");
  EXPECT_EQ(runPipeline("<\x1b>ok</ ", kWordDictionaryBit, false), "<the>ok</");
  EXPECT_EQ(runPipeline("<\x1b>ok</ ", kMarkupTagsBit, false), "<\x1b>ok</> ");
}

TEST(MarkupTags, ListedValues) {
  EXPECT_EQ(decodeWith(decodeMarkupTags, bytes("</")), "</>");
  EXPECT_EQ(decodeWith(decodeMarkupTags, bytes("<p>x</")), "<p>x</p>");
  EXPECT_EQ(decodeWith(decodeMarkupTags, bytes("<p><br><img src=a>x</")), "<p><br><img src=a>x</p>");
  EXPECT_EQ(decodeWith(decodeMarkupTags, bytes("<p><abc/>x</")), "<p><abc/>x</p>");  // self-closing, not stacked
  EXPECT_EQ(decodeWith(decodeMarkupTags, bytes("<p><ab/>x</")), "<p><ab/>x</ab>");   // short: stacked anyway
  EXPECT_EQ(decodeWith(decodeMarkupTags, bytes("<Div>x<//div>y</")), "<Div>x</div>y</>");  // no match: all gone
  EXPECT_EQ(decodeWith(decodeMarkupTags, bytes("<Div>x<//Div>y</")), "<Div>x</Div>y</Div>");
  // A short name removed by an explicit close is no longer stacked.
  EXPECT_EQ(decodeWith(decodeMarkupTags, bytes("<body><em><//body><em>x</")), "<body><em></body><em>x</body>");
  EXPECT_EQ(decodeWith(decodeMarkupTags, bytes("<")), "<");
}

TEST(MarkupTags, ExplicitClosesFillTheFourRecentShortSlotsInTurn) {
  // No entry matches zzzz: the stack unwinds from the top, cd then ab, and each takes
  // the next recent slot. Both names then stay off the stack.
  EXPECT_EQ(decodeWith(decodeMarkupTags, bytes("<ab><cd>x<//zzzz>y<cd>z</")), "<ab><cd>x</zzzz>y<cd>z</>");
  EXPECT_EQ(decodeWith(decodeMarkupTags, bytes("<ab><cd>x<//zzzz>y<ab>z</")), "<ab><cd>x</zzzz>y<ab>z</>");
  // Five short names unwound at once: s5 s4 s3 s2 take slots 0 to 3, and s1 takes slot 0
  // again, so s5 is stacked once more while s4 is not. Four-byte names are noted too
  // but never looked up, since only names of up to three bytes are.
  EXPECT_EQ(decodeWith(decodeMarkupTags, bytes("<s1><s2><s3><s4><s5><//zzzz><s5><s4>x</")),
            "<s1><s2><s3><s4><s5></zzzz><s5><s4>x</s5>");
  // A name already in a slot takes no second one: x1 goes to slot 0, abcd to slot 1
  // (once, though closed twice), b2 and b1 to slots 2 and 3, and x1 is still known.
  EXPECT_EQ(decodeWith(decodeMarkupTags,
                       bytes("<x1><//zzzz><abcd><//zzzz><abcd><//zzzz><b1><b2><//zzzz><x1>y</")),
            "<x1></zzzz><abcd></zzzz><abcd></zzzz><b1><b2></zzzz><x1>y</>");
}

TEST(MarkupTags, DeepNestingKeepsTheLast128Names) {
  std::string text;
  for (int i = 0; i < 129; ++i) text += "<t" + std::to_string(i) + ">";
  std::string expected = text;
  text += "</</";
  expected += "</t128></t126>";  // the 129th replaced the 128th
  EXPECT_EQ(decodeWith(decodeMarkupTags, bytes(text), 8192), expected);
  // Ten thousand closes of an empty stack: each writes just ">".
  std::string closes;
  for (int i = 0; i < 10000; ++i) closes += "</";
  EXPECT_EQ(decodeWith(decodeMarkupTags, bytes(closes), 40000).size(), 30000u);
}

TEST(MarkupTags, OutputIsBoundedByTheBufferItWrites) {
  EXPECT_EQ(decodeWith(decodeMarkupTags, bytes("<abcdefgh>x</"), 22), "<abcdefgh>x</abcdefgh>");
  EXPECT_EQ(decodeWith(decodeMarkupTags, bytes("<abcdefgh>x</"), 21), "");
  EXPECT_EQ(decodeWith(decodeMarkupTags, bytes("abc"), 2), "");
}

std::string decodeBreaks(const Bytes& side, const std::string& text) {
  Bytes out(text.size());
  const std::uint32_t length =
      decodeLineBreaks(side, reinterpret_cast<const std::uint8_t*>(text.data()), static_cast<std::uint32_t>(text.size()),
                       out.data());
  return str(out, length);
}

TEST(LineBreaks, EmptySideStreamBreaksAtEveryCandidate) {
  EXPECT_EQ(decodeBreaks({}, "ab cd ef"), "ab\ncd\nef");
  EXPECT_EQ(decodeBreaks({}, " ab c"), " ab c");     // neither the first byte nor one before the last
  EXPECT_EQ(decodeBreaks({}, "ab, (cd"), "ab, (cd");  // '(' may not start a line
  EXPECT_EQ(decodeBreaks({}, "a> cd"), "a> cd");      // '>' may not end one
  EXPECT_EQ(decodeBreaks({}, "x"), "x");
  // Words of every length, so that their ends fall everywhere in 16-byte blocks.
  std::string words;
  std::string lines;
  for (std::size_t length = 1; length <= 40; ++length) {
    if (length > 1) words += ' ', lines += '\n';
    words.append(length, 'w');
    lines.append(length, 'w');
  }
  EXPECT_EQ(decodeBreaks({}, words), lines);
  // A minimum line length of 4 (header 8) keeps the first space.
  EXPECT_EQ(decodeBreaks({8}, "ab cd efgh ij"), "ab cd\nefgh\nij");
  // An all-ones code register decodes every candidate as a space.
  EXPECT_EQ(decodeBreaks({0, 0xFF, 0xFF, 0xFF, 0xFF}, "ab cd\nef gh"), "ab cd\nef gh");
}

// Lines of the words ab cde fghi jk lmnop qr, in turn, each as long as it may be
// within its limit, ending with the line "end".
std::string wrappedWords() {
  static const char* const words[] = {"ab", "cde", "fghi", "jk", "lmnop", "qr"};
  std::string text;
  std::size_t next = 0;
  for (const std::size_t limit : {85, 69, 77, 85, 60, 90, 72, 81, 66, 85, 74, 79}) {
    std::string line = words[next++ % 6];
    while (line.size() + 1 + std::strlen(words[next % 6]) <= limit) line = line + ' ' + words[next++ % 6];
    text += line + '\n';
  }
  return text + "end";
}

TEST(LineBreaks, AStreamOfTwelveLinesOfKnownLengths) {
  // The side stream of the text above: minimum line 60, recorded lengths 58 to 93,
  // then the coded decisions. The line lengths (84, 67, 77, 84, 60, 91, ...) move the
  // running sum of the last 32 so that rounding the average, (sum + 16) / 32, gives a
  // different context from truncating it at some candidates.
  const Bytes side = {0x79, 0x3A, 0x22, 0xFC, 0xC6, 0xAF, 0x74, 0xCF, 0x89, 0x7B};
  const std::string text = wrappedWords();
  std::string flat = text;
  std::replace(flat.begin(), flat.end(), '\n', ' ');
  EXPECT_EQ(decodeBreaks(side, flat), text);
  Bytes reflowed(text.size());
  Bytes coded;
  encodeLineBreaks(reinterpret_cast<const std::uint8_t*>(text.data()), static_cast<std::uint32_t>(text.size()),
                   reflowed.data(), coded);
  EXPECT_EQ(coded, side);
}

TEST(LineBreaks, TruncatedSideStreamsOnlyMoveBreaks) {
  std::string text;
  for (int i = 0; i < 400; ++i) text += i % 11 == 0 ? "end.\nNext " : "word ";
  Bytes reflowed(text.size());
  Bytes side;
  ASSERT_NE(encodeLineBreaks(reinterpret_cast<const std::uint8_t*>(text.data()),
                             static_cast<std::uint32_t>(text.size()), reflowed.data(), side),
            0u);
  const std::string flat = str(reflowed, static_cast<std::uint32_t>(reflowed.size()));
  EXPECT_EQ(decodeBreaks(side, flat), text);
  for (std::size_t cut = 0; cut < side.size(); ++cut) {
    const std::string decoded = decodeBreaks(Bytes(side.begin(), side.begin() + cut), flat);
    ASSERT_EQ(decoded.size(), text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (text[i] != ' ' && text[i] != '\n') {
        ASSERT_EQ(decoded[i], text[i]);
      }
    }
  }
}

TEST(NumericTokens, ShortInputsFailAndLeadingDigitsStay) {
  NumericTokenModelPtr model = createNumericTokenModel();
  Bytes out(16);
  EXPECT_EQ(decodeNumericTokens(*model, {}, bytes("ab 000 cd").data(), 9, out.data()), 0u);
  const Bytes in = bytes("12xyzwvuts");
  ASSERT_EQ(decodeNumericTokens(*model, {}, in.data(), 10, out.data()), 10u);
  EXPECT_EQ(str(out, 10), "12xyzwvuts");
}

// Placeholder text and side stream for `text`, checked to decode back.
struct Coded {
  Bytes placeholders;
  Bytes side;
};
Coded encodeNumbers(const std::string& text) {
  Coded coded{Bytes(text.size()), {}};
  EXPECT_NE(encodeNumericTokens(reinterpret_cast<const std::uint8_t*>(text.data()),
                                static_cast<std::uint32_t>(text.size()), coded.placeholders.data(), coded.side),
            0u);
  return coded;
}
std::string decodeNumbers(const Coded& coded) {
  NumericTokenModelPtr model = createNumericTokenModel();
  Bytes out(coded.placeholders.size());
  const std::uint32_t length = decodeNumericTokens(*model, coded.side, coded.placeholders.data(),
                                                   static_cast<std::uint32_t>(out.size()), out.data());
  return str(out, length);
}

TEST(NumericTokens, TheContextOfANumberLooksPastASpace) {
  // Numbers after "w ", "h ", "x: " and "y: ": their contexts are the bytes w, h, : and
  // : (a space before the number is passed over), so the numbers after w repeat in
  // their own context, those after h in theirs, and x and y share one. The side
  // stream is the one these values take.
  const std::string text = "w 12 h 40 w 12 h 40 w 13 h 41 w 12 h 40 x: 7 y: 9 x: 7 y: 9 x: 7 y: 9 w 12 h 40";
  const Bytes side = {0x22, 0x50, 0x4E, 0x80, 0x85, 0x61, 0x50, 0x74, 0x66, 0xB0};
  std::string placeholders = text;
  for (char& c : placeholders) c = std::isdigit(static_cast<unsigned char>(c)) ? '0' : c;
  EXPECT_EQ(decodeNumbers({bytes(placeholders), side}), text);
  const Coded coded = encodeNumbers(text);
  EXPECT_EQ(coded.placeholders, bytes(placeholders));
  EXPECT_EQ(coded.side, side);
}

TEST(NumericTokens, PlaceholderShapes) {
  Coded coded = encodeNumbers("id 0123abcd5 and 005, then 4.2 ok");
  EXPECT_EQ(str(coded.placeholders, coded.placeholders.size()), "id 111111111 and 000, then 0.0 ok");
  EXPECT_EQ(decodeNumbers(coded), "id 0123abcd5 and 005, then 4.2 ok");
  // The first placeholder byte's value is not used: 7 . 0 still restores 4.2.
  coded.placeholders[27] = '7';
  EXPECT_EQ(decodeNumbers(coded), "id 0123abcd5 and 005, then 4.2 ok");
  // Upper-case hexadecimal letters keep their case through the '2' placeholders.
  coded = encodeNumbers("key: 3FA2C9, 7e3A;");
  EXPECT_EQ(str(coded.placeholders, coded.placeholders.size()), "key: 122121, 1112;");
  EXPECT_EQ(decodeNumbers(coded), "key: 3FA2C9, 7e3A;");
}

TEST(NumericTokens, LongNumbersSplitIntoTokensOfNineDigits) {
  std::string text = "n=";
  for (int i = 0; i < 2000; ++i) text += static_cast<char>('0' + (i * 7 + i / 13) % 10);
  text += "-9.9:9 ";
  for (int i = 0; i < 300; ++i) text += "1.5 2.5 ";
  const Coded coded = encodeNumbers(text);
  EXPECT_EQ(decodeNumbers(coded), text);
}

// The pipeline reuses one numeric model per thread: every block must still decode as
// with a model of its own, whatever the blocks before it left in the tables.
TEST(NumericTokens, EachBlockStartsFromAFreshModel) {
  std::string first = "x ";
  std::string second = "x ";
  for (int i = 0; i < 200; ++i) {
    first += "at " + std::to_string(1000 + 7 * i) + " or 0x" + std::to_string(40 + i) + "ab, ";
    second += "at " + std::to_string(5000 - 3 * i) + " or 0x" + std::to_string(90 - i % 50) + "cd, ";
  }
  const Coded coded[] = {encodeNumbers(first), encodeNumbers(second)};
  const std::string* texts[] = {&first, &second};
  for (const int block : {0, 1, 1, 0}) {
    Bytes a = coded[block].placeholders;
    Bytes b(a.size());
    std::uint8_t* current = a.data();
    std::uint8_t* other = b.data();
    TextTransformContext context = createTextTransformContext(coded[block].side, {}, true);
    const auto size = static_cast<std::uint32_t>(a.size());
    ASSERT_EQ(runTextTransforms(context, current, size, other, size, kNumericTokensBit), size);
    EXPECT_EQ(std::string(current, current + size), *texts[block]) << block;
  }
}

TEST(NumericTokens, TruncatedSideStreamsStillDecodeSafely) {
  const std::string text = "At 12:30:45 on 2024-05-17 we sold 1234 of 0xdeadbeef1 at 3.14159, then 99 more.";
  const Coded coded = encodeNumbers(text);
  for (std::size_t cut = 0; cut < coded.side.size(); ++cut) {
    Coded truncated{coded.placeholders, Bytes(coded.side.begin(), coded.side.begin() + cut)};
    const std::string decoded = decodeNumbers(truncated);
    ASSERT_EQ(decoded.size(), text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
      // Only digit places change.
      if (!std::isxdigit(static_cast<unsigned char>(text[i]))) {
        ASSERT_EQ(decoded[i], text[i]) << i;
      }
    }
  }
}

}  // namespace
}  // namespace quorvex::text

namespace quorvex::text {
namespace {

// Random bytes, flags, side streams and room: the pipeline never writes past its
// buffers (the sanitizer build watches) and never claims more than the room.
TEST(TextPipeline, HostileInputsStayInsideTheirBuffers) {
  testing::TestRandom random(99);
  const char alphabet[] = "<>/0123456789abcdefABCDEF12 \n\r\t-.:\xE0\xE3\xFF";
  for (int round = 0; round < 300; ++round) {
    const std::uint32_t capacity = 1 + random.below(600);
    const std::uint32_t length = random.below(capacity + 1);
    Bytes a(capacity);
    Bytes b(capacity);
    for (std::uint32_t i = 0; i < length; ++i) {
      a[i] = round % 2 ? static_cast<std::uint8_t>(alphabet[random.below(sizeof alphabet - 1)])
                       : static_cast<std::uint8_t>(random.next());
    }
    Bytes numeric(random.below(40));
    Bytes lineBreaks(random.below(40));
    for (auto& byte : numeric) byte = static_cast<std::uint8_t>(random.next());
    for (auto& byte : lineBreaks) byte = static_cast<std::uint8_t>(random.next());
    const auto flags = static_cast<std::uint8_t>(random.next() & 0x3F);
    std::uint8_t* current = a.data();
    std::uint8_t* other = b.data();
    TextTransformContext context = createTextTransformContext(numeric, lineBreaks, round % 3 != 0);
    const std::uint32_t result = runTextTransforms(context, current, length, other, capacity, flags);
    EXPECT_LE(result, capacity);
  }
}

}  // namespace
}  // namespace quorvex::text
