// Golden archives: made once by the encoders and frozen with the output they decode
// to. A change that alters one of these outputs breaks the format.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "quorvex/decoder.hpp"
#include "support/test_support.hpp"

namespace quorvex {
namespace {

namespace fs = std::filesystem;

std::vector<fs::path> goldenArchives() {
  std::vector<fs::path> archives;
  for (const auto& entry : fs::directory_iterator(QUORVEX_GOLDEN_DIR)) {
    if (entry.path().extension() == ".qvx") archives.push_back(entry.path());
  }
  archives.push_back(fs::path(QUORVEX_GOLDEN_DIR) / ".." / ".." / "samples" / "sample.qvx");
  return archives;
}

TEST(Golden, EveryArchiveDecodesToItsFrozenOutput) {
  const auto archives = goldenArchives();
  ASSERT_GE(archives.size(), 6u);
  for (const fs::path& archive : archives) {
    SCOPED_TRACE(archive.filename().string());
    const auto expected = testing::readFile(fs::path(archive).replace_extension(".out"));
    OutputImage output;
    std::string console;
    DecodeOptions options;
    options.console = [&console](std::string_view line) { console += line; };
    const DecodeResult result = decodeArchive(testing::readFile(archive), output, options);
    ASSERT_TRUE(result.ok()) << result.reason;
    EXPECT_TRUE(output.bytes() == expected);
    EXPECT_NE(console.find("Decoding"), std::string::npos);
    // One thread per core, as a caller may ask: the same bytes and lines.
    OutputImage perCore;
    std::string perCoreConsole;
    options.console = [&perCoreConsole](std::string_view line) { perCoreConsole += line; };
    options.threads = kThreadsPerCore;
    ASSERT_TRUE(decodeArchive(testing::readFile(archive), perCore, options).ok());
    EXPECT_TRUE(perCore.bytes() == expected);
    EXPECT_EQ(perCoreConsole, console);
  }
}

}  // namespace
}  // namespace quorvex
