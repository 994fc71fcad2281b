#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "quorvex/file_sink.hpp"
#include "support/test_support.hpp"

namespace quorvex {
namespace {

namespace fs = std::filesystem;

std::vector<std::uint8_t> bytesOf(const std::string& text) { return {text.begin(), text.end()}; }

std::set<std::string> namesIn(const fs::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename().string());
  return names;
}

// Small pieces wait in the buffer while large ones are written at once: the file must
// still hold every piece in the order it came, also when a salvage cuts it short.
TEST(FileSink, PiecesOfEverySizeLandInOrder) {
  const testing::TemporaryFolder dir("file-sink");
  const fs::path destination = dir.path() / "out.bin";
  const std::vector<std::uint8_t> data = testing::skewedBytes((std::size_t{9} << 20) + 777, 5);
  const std::size_t pieces[] = {1, 3, 65535, 65536, 2, std::size_t{5} << 20, 7, 200000};

  for (const bool salvage : {false, true}) {
    FileSink output;
    ASSERT_TRUE(output.open(destination.c_str()));
    std::size_t at = 0;
    for (std::size_t size : pieces) {
      ASSERT_TRUE(output.append({data.data() + at, size}));
      at += size;
    }
    ASSERT_TRUE(output.append({data.data() + at, data.size() - at}));
    const std::size_t kept = salvage ? 65535 + 4 : data.size();
    if (salvage) {
      ASSERT_TRUE(output.truncate(kept));
    }
    ASSERT_TRUE(output.commit());

    const std::vector<std::uint8_t> written = testing::readFile(destination);
    ASSERT_EQ(written.size(), kept) << "salvage " << salvage;
    EXPECT_TRUE(std::equal(written.begin(), written.end(), data.begin())) << "salvage " << salvage;
  }
}

// Until commit the destination is what it was: a sink discarded, destroyed, or told to
// keep a file that appeared meanwhile leaves it as it stood, and no temporary behind.
TEST(FileSink, NothingChangesUntilACommitThatMayReplace) {
  const testing::TemporaryFolder dir("file-sink-untouched");
  const fs::path destination = dir.path() / "out";
  testing::writeFile(destination, bytesOf("old"));
  {
    FileSink output;
    ASSERT_TRUE(output.open(destination.c_str()));
    EXPECT_FALSE(output.inPlace());
    ASSERT_TRUE(output.append(bytesOf("new")));
    EXPECT_EQ(namesIn(dir.path()).size(), 2u);  // out and the temporary beside it
  }
  EXPECT_EQ(testing::readFile(destination), bytesOf("old"));
  EXPECT_EQ(namesIn(dir.path()), std::set<std::string>{"out"});

  FileSink discarded;
  ASSERT_TRUE(discarded.open(destination.c_str()));
  ASSERT_TRUE(discarded.append(bytesOf("new")));
  discarded.discard();
  EXPECT_FALSE(discarded.commit());
  EXPECT_EQ(namesIn(dir.path()), std::set<std::string>{"out"});

  FileSink keeping;
  ASSERT_TRUE(keeping.open(destination.c_str()));
  keeping.keepExistingDestination();
  ASSERT_TRUE(keeping.append(bytesOf("new")));
  EXPECT_FALSE(keeping.commit());
  EXPECT_EQ(testing::readFile(destination), bytesOf("old"));
  EXPECT_EQ(namesIn(dir.path()), std::set<std::string>{"out"});

  // Without the request, the commit replaces it; with it, a new name is taken.
  FileSink replacing;
  ASSERT_TRUE(replacing.open(destination.c_str()));
  ASSERT_TRUE(replacing.append(bytesOf("new")));
  ASSERT_TRUE(replacing.commit());
  EXPECT_EQ(testing::readFile(destination), bytesOf("new"));
  FileSink fresh;
  ASSERT_TRUE(fresh.open((dir.path() / "fresh").c_str()));
  fresh.keepExistingDestination();
  ASSERT_TRUE(fresh.append(bytesOf("fresh")));
  ASSERT_TRUE(fresh.commit());
  EXPECT_EQ(testing::readFile(dir.path() / "fresh"), bytesOf("fresh"));
  EXPECT_EQ(namesIn(dir.path()), (std::set<std::string>{"fresh", "out"}));
}

// The cleanup a signal handler calls removes the temporaries of every open sink and
// nothing a finished sink put in place.
TEST(FileSink, TemporariesOfOpenSinksAreRemovedOnRequest) {
  const testing::TemporaryFolder dir("file-sink-signal");
  // Finished sinks free their places: many more than are tracked at once come first.
  for (int i = 0; i < 2 * kTrackedFileSinks; ++i) {
    FileSink earlier;
    ASSERT_TRUE(earlier.open((dir.path() / "earlier").c_str()));
    if (i % 2 == 0) {
      ASSERT_TRUE(earlier.commit());
    }
  }
  fs::remove(dir.path() / "earlier");
  FileSink done;
  ASSERT_TRUE(done.open((dir.path() / "done").c_str()));
  FileSink first;
  ASSERT_TRUE(first.open((dir.path() / "first").c_str()));
  FileSink second;
  ASSERT_TRUE(second.open((dir.path() / "second").c_str()));
  ASSERT_TRUE(done.append(bytesOf("kept")));
  ASSERT_TRUE(done.commit());
  ASSERT_TRUE(first.append(bytesOf("lost")));
  EXPECT_EQ(namesIn(dir.path()).size(), 3u);

  removeFileSinkTemporaries();
  EXPECT_EQ(namesIn(dir.path()), std::set<std::string>{"done"});
  EXPECT_EQ(testing::readFile(dir.path() / "done"), bytesOf("kept"));
  // A sink whose temporary is gone cannot put it in place.
  EXPECT_FALSE(first.commit());
  EXPECT_FALSE(fs::exists(dir.path() / "first"));
}

}  // namespace
}  // namespace quorvex
