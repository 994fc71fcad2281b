// Round trips through each text transform and the whole pipeline: the forward twins
// code real text, the pipeline restores it within exactly the room the text needs.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "support/test_support.hpp"
#include "text/text_pipeline.hpp"

namespace quorvex::text {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kEveryTransform =
    kNumericTokensBit | kWordDictionaryBit | kMarkupTagsBit | kLineBreaksBit | kLinePrefixesBit | kLineEndingsBit;

// Decodes a forward result in buffers of `capacity` bytes; the restored text or empty.
Bytes restore(const ForwardText& forward, bool remap, std::uint32_t capacity) {
  Bytes a(std::max<std::size_t>(capacity, forward.text.size()));
  Bytes b(a.size());
  std::copy(forward.text.begin(), forward.text.end(), a.begin());
  std::uint8_t* current = a.data();
  std::uint8_t* other = b.data();
  TextTransformContext context = createTextTransformContext(forward.numericData, forward.lineBreakData, remap);
  const std::uint32_t length = runTextTransforms(context, current, static_cast<std::uint32_t>(forward.text.size()),
                                                 other, capacity, forward.bits);
  return Bytes(current, current + length);
}

constexpr std::uint8_t kEachTransform[] = {kLineEndingsBit, kLinePrefixesBit, kLineBreaksBit,
                                           kMarkupTagsBit,  kWordDictionaryBit, kNumericTokensBit};

// Every transform alone, then all together; returns the bits the whole pipeline used.
// The encoder leaves out a transform whose output does not decode back, so a broken
// decoder would only switch its transform off: `keptAlone` names the transforms that
// must each be kept when asked for alone (the others find nothing to do in the text),
// but for those in `either`.
std::uint8_t expectRoundTrips(const Bytes& text, std::uint8_t keptAlone, std::uint8_t either = 0) {
  const auto size = static_cast<std::uint32_t>(text.size());
  for (const std::uint8_t bit : kEachTransform) {
    const ForwardText forward = encodeTextTransforms(text, bit, true, false);
    if ((bit & either) == 0) {
      EXPECT_EQ(forward.bits, bit & keptAlone) << "transform " << int{bit};
    }
    EXPECT_TRUE(restore(forward, true, size) == text) << "transform " << int{bit};
  }
  // Intermediate texts may be longer than the result (an escaped line ending takes two
  // bytes), so the pipeline gets more room; one byte less than the result fails it.
  const std::uint32_t room = 2 * size + 64;
  const ForwardText all = encodeTextTransforms(text, kEveryTransform, false, false);
  EXPECT_TRUE(restore(all, false, room) == text);
  if (all.bits != 0) {
    EXPECT_EQ(restore(all, false, size - 1).size(), 0u) << "room is not enforced";
  }
  const ForwardText chosen = encodeTextTransforms(text, kEveryTransform, true, true);
  EXPECT_TRUE(restore(chosen, true, room) == text);
  return all.bits;
}

// A text that gives every transform work: lines ending in lineEnd, paragraphs wrapped
// at about 70 columns, nested markup, dictionary words, numbers of several shapes, and
// quoted lines whose first bytes repeat those of the line before.
Bytes documentText(const std::string& lineEnd) {
  static const char* const words[] = {"the",  "keeper", "of",    "light",   "said",  "that",   "evening", "would",
                                      "bring", "rain",  "and",   "wind",    "to",    "harbour", "boats",  "were",
                                      "drawn", "up",    "on",    "shingle", "while", "gulls",   "circled", "above"};
  testing::TestRandom random(24);
  std::string text;
  for (int paragraph = 0; paragraph < 40; ++paragraph) {
    text += "<div><p class=\"entry\">Entry " + std::to_string(100 + 7 * paragraph) + ", logged at " +
            std::to_string(10 + paragraph % 12) + ":" + std::to_string(10 + paragraph % 49) + " on 2024-05-" +
            std::to_string(10 + paragraph % 20) + ", mark 0x" + std::to_string(3 * paragraph + 1000) + lineEnd;
    std::string line;
    for (int w = 0; w < 50; ++w) {
      const std::string word = words[random.below(sizeof words / sizeof words[0])];
      if (line.size() + word.size() > 68) {
        text += line + lineEnd;
        line.clear();
      }
      if (!line.empty()) line += ' ';
      line += w % 9 == 4 ? "<em>" + word + "</em>" : word;
    }
    text += line + ".</p></div>" + lineEnd;
    // Each quoted line shares more of its start with the line before than with the
    // one before that.
    text += "> > quoted reply" + lineEnd + "> > quoted answer" + lineEnd + "> > quoted answer, again" + lineEnd;
  }
  return {text.begin(), text.end()};
}

TEST(TextRoundTrip, EveryTransformIsKeptForDocumentsThatNeedIt) {
  // With CR LF endings the line-break transform alone sees a CR before every line
  // feed, which may not end a line; after the line endings are taken out it works.
  EXPECT_EQ(expectRoundTrips(documentText("\r\n"), kEveryTransform & ~kLineBreaksBit), kEveryTransform);
  EXPECT_EQ(expectRoundTrips(documentText("\n"), kEveryTransform & ~kLineEndingsBit),
            kEveryTransform & ~kLineEndingsBit);
}

TEST(TextRoundTrip, CorpusText) {
  QUORVEX_SKIP_WITHOUT_CORPUS();
  // A novel with CR LF endings, a play with LF endings and hard breaks, a web page.
  EXPECT_EQ(expectRoundTrips(testing::corpusFile("text/alice29.txt"),
                             kLineEndingsBit | kLinePrefixesBit | kWordDictionaryBit | kNumericTokensBit) &
                (kLineEndingsBit | kLineBreaksBit),
            kLineEndingsBit | kLineBreaksBit);
  EXPECT_NE(expectRoundTrips(testing::corpusFile("text/asyoulik.txt"),
                             kLinePrefixesBit | kLineBreaksBit | kWordDictionaryBit),
            0);
  EXPECT_EQ(expectRoundTrips(testing::corpusFile("text/html"),
                             kLinePrefixesBit | kMarkupTagsBit | kWordDictionaryBit | kNumericTokensBit) &
                (kMarkupTagsBit | kNumericTokensBit),
            kMarkupTagsBit | kNumericTokensBit);
}

TEST(TextRoundTrip, ThisProjectsSources) {
  namespace fs = std::filesystem;
  std::vector<fs::path> files;
  for (const auto& entry : fs::recursive_directory_iterator(fs::path(QUORVEX_GOLDEN_DIR) / ".." / ".." / "src")) {
    if (entry.is_regular_file()) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  Bytes sources;
  for (const fs::path& file : files) {
    const Bytes bytes = testing::readFile(file);
    sources.insert(sources.end(), bytes.begin(), bytes.end());
  }
  ASSERT_GT(sources.size(), 100000u);
  // LF endings only.
  EXPECT_EQ(expectRoundTrips(sources, kEveryTransform & ~kLineEndingsBit) & (kNumericTokensBit | kMarkupTagsBit),
            kNumericTokensBit | kMarkupTagsBit);
}

// Made-up text with every feature the transforms touch, and bytes that mimic their codes.
TEST(TextRoundTrip, GeneratedTextWithEscapesAndEdges) {
  testing::TestRandom random(10);
  const char* pieces[] = {"the ", "quick ", "Brown ", "fox, ", "<b>", "</b>", "<//", "</", "<br/>", "\r\n", "\n", "\r",
                          "\r\r", "12:30 ", "2024-05-17", "0xFF ", "deadbeef01 ", "3.14159 ", "123456789012 ",
                          "\xE0", "\xE5", "\xFF", "<Div>", "</div>", "<a href=x>", "</a>", " ", "  ", "-", ".:"};
  for (int round = 0; round < 20; ++round) {
    Bytes text;
    const std::uint32_t count = 50 + random.below(400);
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::string piece = pieces[random.below(sizeof pieces / sizeof pieces[0])];
      text.insert(text.end(), piece.begin(), piece.end());
    }
    // Whether a line break may fall where the pieces put a CR depends on the draw.
    expectRoundTrips(text, kEveryTransform, kLineBreaksBit);
  }
}

}  // namespace
}  // namespace quorvex::text
