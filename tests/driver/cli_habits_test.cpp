// The habits users bring from other compressors, beside the format's own program: -d,
// reasons and warnings on standard error, filters, typo suggestions, listings that sum
// up. And the bare form, which must not change at all.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "driver/cli_fixture.hpp"
#include "quorvex/archive_writer.hpp"
#include "quorvex/decoder.hpp"
#include "support/test_support.hpp"

namespace quorvex {
namespace {

using namespace cli;

// An archive whose second block fails (a BWT primary index past its block).
std::vector<std::uint8_t> brokenArchive() {
  ArchiveWriter writer(WriterOptions{.integrityChecks = false});
  writer.addStoredBwtBlock(bytesOf("fine"));
  BlockFields broken;
  broken.sizePresent = 0;
  broken.payload = bytesOf("abc");
  broken.bwtPrimaryIndex = 3;
  writer.addBlock(broken, {});
  return writer.bytes();
}

// The bare form prints exactly the library's console lines, then "done N bytes!", and
// writes the frozen output to "out", for every golden archive and the sample.
TEST_F(Cli, BareFormPrintsTheFormatsLinesForEveryGoldenArchive) {
  std::vector<fs::path> archives;
  for (const auto& entry : fs::directory_iterator(QUORVEX_GOLDEN_DIR)) {
    if (entry.path().extension() == ".qvx") archives.push_back(entry.path());
  }
  archives.push_back(fs::path(QUORVEX_SOURCE_DIR) / "samples" / "sample.qvx");
  ASSERT_GE(archives.size(), 6u);
  for (const fs::path& archive : archives) {
    SCOPED_TRACE(archive.filename().string());
    const auto bytes = readFile(archive);
    std::string lines;
    DecodeOptions options;
    options.console = [&lines](std::string_view line) { lines += line; };
    OutputImage image;
    ASSERT_TRUE(decodeArchive(bytes, image, options).ok());
    const auto expected = readFile(fs::path(archive).replace_extension(".out"));
    ASSERT_EQ(image.bytes(), expected);
    for (const char* threads : {"", "-T 1 "}) {
      const Result result = decode(std::string(threads) + "'" + archive.string() + "'");
      EXPECT_EQ(result.status, 0);
      EXPECT_EQ(result.out, lines + "done " + std::to_string(expected.size()) + " bytes!\n");
      EXPECT_EQ(result.err, "");
      EXPECT_EQ(readFile(dir_ / "out"), expected);
    }
  }
}

TEST_F(Cli, BareFormWarnsWhenItIgnoresFurtherArchives) {
  writeFile(dir_ / "a.qvx", helloArchive());
  writeFile(dir_ / "b.qvx", brokenArchive());
  Result result = decode("a.qvx b.qvx");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, kHelloLines);
  EXPECT_EQ(result.err, "quorvex: warning: only the first archive, a.qvx, is decoded; -d decodes each of them\n");
  result = decode("-q a.qvx b.qvx");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "done 13 bytes!\n");
  EXPECT_EQ(result.err, "");
}

TEST_F(Cli, DecompressFollowsTheRulesOfOtherCompressors) {
  writeFile(dir_ / "a.qvx", helloArchive());
  ArchiveWriter other;
  other.addStoredBwtBlock(bytesOf("second\n"));
  writeFile(dir_ / "b.qvx", other.bytes());
  writeFile(dir_ / "broken.qvx", brokenArchive());
  writeFile(dir_ / "plain", helloArchive());

  // ARCHIVE.qvx becomes ARCHIVE, quietly; the archive is kept.
  Result result = decode("-d a.qvx b.qvx");
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(readFile(dir_ / "a"), bytesOf("hello, world\n"));
  EXPECT_EQ(readFile(dir_ / "b"), bytesOf("second\n"));
  EXPECT_EQ(readFile(dir_ / "a.qvx"), helloArchive());
  EXPECT_FALSE(fs::exists(dir_ / "out"));

  // An existing output needs -f; the other archives are still decoded.
  writeFile(dir_ / "a", bytesOf("precious"));
  fs::remove(dir_ / "b");
  result = decode("--decompress a.qvx missing.qvx plain b.qvx");
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(readFile(dir_ / "a"), bytesOf("precious"));
  EXPECT_EQ(readFile(dir_ / "b"), bytesOf("second\n"));
  EXPECT_NE(result.err.find("quorvex: a exists; use -f to replace it\n"), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("quorvex: missing.qvx: cannot be opened: "), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("quorvex: plain: the name does not end in .qvx"), std::string::npos) << result.err;
  EXPECT_EQ(decode("-d -f a.qvx").status, 0);
  EXPECT_EQ(readFile(dir_ / "a"), bytesOf("hello, world\n"));

  // A failure: its reason on standard error, no output left, no format lines.
  result = decode("-d broken.qvx");
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_TRUE(result.err.starts_with("quorvex: broken.qvx: block 1 (archive offset ")) << result.err;
  EXPECT_FALSE(fs::exists(dir_ / "broken"));
  EXPECT_EQ(decode("-d -q broken.qvx").err, "");

  // -v shows the block lines, on standard error.
  result = decode("-d -f -v a.qvx");
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "Decoding BWT block 7->0\nDecoding BWT block 6->0\n");

  // Standard input to standard output; -c joins several archives.
  result = shell("cat a.qvx | '" QUORVEX_CLI_PATH "' -d > piped && '" QUORVEX_CLI_PATH "' -d -c a.qvx b.qvx > joined");
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(readFile(dir_ / "piped"), bytesOf("hello, world\n"));
  EXPECT_EQ(readFile(dir_ / "joined"), bytesOf("hello, world\nsecond\n"));
}

TEST_F(Cli, CreateTakesStandardInputAsAFilterAndAsksBeforeArchivingAnArchive) {
  const auto data = testing::skewedBytes(20000, 15);
  writeFile(dir_ / "in", data);
  Result result = shell("cat in | '" QUORVEX_CLI_PATH "' -z > in.qvx && '" QUORVEX_CLI_PATH "' -q -d -c in.qvx > back");
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(readFile(dir_ / "back"), data);

  result = decode("-z in.qvx");
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "quorvex: in.qvx already ends in .qvx; use -f to make an archive of it anyway\n");
  EXPECT_FALSE(fs::exists(dir_ / "in.qvx.qvx"));
  EXPECT_EQ(decode("-z -f in.qvx").status, 0);
  EXPECT_TRUE(fs::exists(dir_ / "in.qvx.qvx"));

  // -k is accepted (inputs are always kept); --fast and --best are -1 and -9.
  for (const auto& [word, digit] : {std::pair{"--fast", "-1"}, std::pair{"--best", "-9"}}) {
    ASSERT_EQ(decode(std::string("-z -k -o word.qvx ") + word + " in").status, 0) << word;
    ASSERT_EQ(decode(std::string("-z -o digit.qvx ") + digit + " in").status, 0) << digit;
    EXPECT_EQ(readFile(dir_ / "word.qvx"), readFile(dir_ / "digit.qvx")) << word;
    EXPECT_TRUE(fs::exists(dir_ / "in"));
    fs::remove(dir_ / "word.qvx");
    fs::remove(dir_ / "digit.qvx");
  }
  EXPECT_NE(readFile(dir_ / "in.qvx"), std::vector<std::uint8_t>{});
}

TEST_F(Cli, UsageErrorsAreInTheProgramsWordsWithTheNearestOption) {
  Result result = decode("--versoin");
  EXPECT_EQ(result.status, 2);
  EXPECT_TRUE(result.err.starts_with("quorvex: unknown option '--versoin'; did you mean '--version'?\n")) << result.err;
  result = decode("--stdot a.qvx");
  EXPECT_NE(result.err.find("did you mean '--stdout'?"), std::string::npos) << result.err;
  result = decode("--completely-unlike");
  EXPECT_EQ(result.status, 2);
  EXPECT_TRUE(result.err.starts_with("quorvex: unknown option '--completely-unlike'\n")) << result.err;
  result = decode("a.qvx -o");
  EXPECT_EQ(result.status, 2);
  EXPECT_TRUE(result.err.starts_with("quorvex: --output needs a value\n")) << result.err;
}

TEST_F(Cli, TestAndListGoOnPastAnArchiveThatIsMissing) {
  writeFile(dir_ / "good.qvx", helloArchive());
  writeFile(dir_ / "bad.qvx", brokenArchive());
  Result result = decode("-t missing.qvx good.qvx");
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, std::string("missing.qvx:\ngood.qvx:\n") + kHelloLines);
  EXPECT_TRUE(result.err.starts_with("quorvex: missing.qvx: cannot be opened: ")) << result.err;
  // -q: nothing on standard output, only the status and the reasons.
  result = decode("-t -q good.qvx bad.qvx");
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  result = decode("-t -q good.qvx");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "");
  result = decode("-l missing.qvx good.qvx");
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.out.find("good.qvx\n"), std::string::npos) << result.out;
}

// The ratio column: archive bytes per 100 output bytes, one decimal.
std::string percentText(std::size_t archive, std::size_t output) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f%%", 100.0 * static_cast<double>(archive) / static_cast<double>(output));
  return text;
}

// Splits a summary line into its whitespace-separated fields.
std::vector<std::string> fieldsOf(const std::string& line) {
  std::istringstream stream(line);
  std::vector<std::string> fields;
  for (std::string field; stream >> field;) fields.push_back(field);
  return fields;
}

TEST_F(Cli, ListingSumsUpEachArchiveAndAllOfThem) {
  const auto hello = helloArchive();  // two stored blocks, integrity records
  writeFile(dir_ / "a.qvx", hello);
  ArchiveWriter unchecked(WriterOptions{.integrityChecks = false});
  unchecked.addLzBlock(testing::skewedBytes(3000, 16));
  const auto other = unchecked.bytes();
  writeFile(dir_ / "b.qvx", other);
  const Result result = decode("-l a.qvx b.qvx");
  ASSERT_EQ(result.status, 0) << result.err;
  std::vector<std::string> lines;
  std::istringstream stream(result.out);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 4u) << result.out;
  EXPECT_EQ(fieldsOf(lines[0]).front(), "Blocks");
  EXPECT_EQ(fieldsOf(lines[1]), (std::vector<std::string>{"2", std::to_string(hello.size()), "13",
                                                          percentText(hello.size(), 13), "stored",
                                                          "XXH3-64", "a.qvx"}));
  EXPECT_EQ(fieldsOf(lines[2]), (std::vector<std::string>{"1", std::to_string(other.size()), "~3000",
                                                          percentText(other.size(), 3000), "LZ", "none",
                                                          "b.qvx"}));
  EXPECT_EQ(fieldsOf(lines[3]), (std::vector<std::string>{"3", std::to_string(hello.size() + other.size()), "~3013",
                                                          percentText(hello.size() + other.size(), 3013),
                                                          "stored,LZ", "none", "total", "(2", "archives)"}));
}

// The figures of one archive's "N blocks: P bytes packed" line in -l -v.
struct BlockFigures {
  unsigned long long blocks = 0;
  unsigned long long packed = 0;
};
BlockFigures blockFiguresOf(const std::string& listing) {
  BlockFigures figures;
  const std::size_t at = listing.find(" bytes packed, ");
  if (at == std::string::npos) return figures;
  const std::size_t start = listing.rfind('\n', at) + 1;  // npos + 1: the first line
  std::sscanf(listing.c_str() + start, "%llu blocks: %llu", &figures.blocks, &figures.packed);
  return figures;
}

std::string ratioText(std::size_t archive, std::size_t output) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f%%", 100.0 * static_cast<double>(archive) / static_cast<double>(output));
  return text;
}

// The total adds up the archives listed, and only those: an archive that cannot be
// opened is left out of it. Every archive checked: the sizes are the ones the closing
// records vouch for (no "~") and the check is named.
TEST_F(Cli, ListingTotalsAddUpTheArchivesListed) {
  const auto hello = helloArchive();  // two stored blocks, 13 bytes, integrity records
  writeFile(dir_ / "a.qvx", hello);
  ArchiveWriter checked;
  checked.addLzBlock(testing::skewedBytes(3000, 16));
  checked.addStoredBwtBlock(bytesOf("tail"));
  const auto other = checked.bytes();
  writeFile(dir_ / "c.qvx", other);
  ArchiveWriter unchecked(WriterOptions{.integrityChecks = false});
  unchecked.addLzBlock(testing::skewedBytes(500, 17));
  const auto loose = unchecked.bytes();
  writeFile(dir_ / "u.qvx", loose);
  const std::size_t archives = hello.size() + other.size();

  Result result = decode("-l a.qvx missing.qvx c.qvx");
  EXPECT_EQ(result.status, 1);
  std::vector<std::string> lines;
  std::istringstream stream(result.out);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 4u) << result.out;
  EXPECT_EQ(fieldsOf(lines[2]), (std::vector<std::string>{"2", std::to_string(other.size()), "3004",
                                                          percentText(other.size(), 3004), "LZ,stored", "XXH3-64",
                                                          "c.qvx"}));
  EXPECT_EQ(fieldsOf(lines[3]), (std::vector<std::string>{"4", std::to_string(archives), "3017",
                                                          percentText(archives, 3017), "stored,LZ", "XXH3-64",
                                                          "total", "(2", "archives)"}));

  // -v: each archive's records and totals, then the total of all, from the same figures.
  const BlockFigures first = blockFiguresOf(decode("-l -v a.qvx").out);
  const BlockFigures second = blockFiguresOf(decode("-l -v c.qvx").out);
  const BlockFigures third = blockFiguresOf(decode("-l -v u.qvx").out);
  EXPECT_EQ(first.blocks, 2u);
  EXPECT_EQ(second.blocks, 2u);
  EXPECT_EQ(third.blocks, 1u);
  result = decode("-l -v a.qvx missing.qvx c.qvx");
  EXPECT_EQ(result.status, 1);
  const std::string allChecked = "\ntotal of 2 archives: 4 blocks: " + std::to_string(first.packed + second.packed) +
                                 " bytes packed, 3017 bytes from their codecs, 3017 bytes of output (integrity records)\n"
                                 "archive " + std::to_string(archives) + " bytes, ratio " + ratioText(archives, 3017) + "\n";
  EXPECT_TRUE(result.out.ends_with(allChecked)) << result.out;
  // One archive without integrity records: the total is the codecs' output, with a caveat.
  result = decode("-l -v u.qvx a.qvx c.qvx");
  EXPECT_EQ(result.status, 0);
  const std::size_t all = archives + loose.size();
  const std::string someUnchecked = "\ntotal of 3 archives: 5 blocks: " +
                                    std::to_string(first.packed + second.packed + third.packed) +
                                    " bytes packed, 3517 bytes from their codecs (the post-stages may change the "
                                    "output's size)\narchive " + std::to_string(all) + " bytes, ratio " +
                                    ratioText(all, 3517) + "\n";
  EXPECT_TRUE(result.out.ends_with(someUnchecked)) << result.out;
}

}  // namespace
}  // namespace quorvex
