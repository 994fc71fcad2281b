#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "driver/file_io.hpp"
#include "support/test_support.hpp"

namespace quorvex::driver {
namespace {

namespace fs = std::filesystem;

// Files of several huge pages come back whole, whether their size is known up front
// (one allocation) or not (a FIFO reports none, so the buffer grows as it reads).
TEST(ReadWholeFile, LargeFilesFromADiskAndFromAFifo) {
  const testing::TemporaryFolder dir("file-io");
  const std::vector<std::uint8_t> data = testing::skewedBytes((std::size_t{5} << 20) + 12345, 4);

  const fs::path file = dir.path() / "large.bin";
  std::FILE* out = std::fopen(file.c_str(), "wb");
  ASSERT_NE(out, nullptr);
  ASSERT_EQ(std::fwrite(data.data(), 1, data.size(), out), data.size());
  ASSERT_EQ(std::fclose(out), 0);
  const FileBytes fromDisk = readWholeFile(file.c_str());
  EXPECT_TRUE(std::equal(fromDisk.begin(), fromDisk.end(), data.begin(), data.end()));

  const fs::path fifo = dir.path() / "pipe";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::thread writer([&] {
    std::FILE* pipe = std::fopen(fifo.c_str(), "wb");
    if (pipe == nullptr) return;
    std::fwrite(data.data(), 1, data.size(), pipe);
    std::fclose(pipe);
  });
  const FileBytes fromFifo = readWholeFile(fifo.c_str());
  writer.join();
  EXPECT_TRUE(std::equal(fromFifo.begin(), fromFifo.end(), data.begin(), data.end()));
}

}  // namespace
}  // namespace quorvex::driver

namespace quorvex::driver {
namespace {

namespace fs = std::filesystem;

std::vector<std::uint8_t> archiveOf(std::size_t bodySize) {
  std::vector<std::uint8_t> bytes = {0xAE, 0x01};
  for (char c : std::string("Quorvex 0.09 alpha")) bytes.push_back(static_cast<std::uint8_t>(c));
  bytes.insert(bytes.end(), {0x1F, 0x0F, 0x09});
  const std::vector<std::uint8_t> body = testing::skewedBytes(bodySize, 14);
  bytes.insert(bytes.end(), body.begin(), body.end());
  return bytes;
}

// Writes bytes into a FIFO from a thread while the test reads it.
class FifoWriter {
 public:
  FifoWriter(const fs::path& fifo, std::vector<std::uint8_t> bytes)
      : thread_([fifo, bytes = std::move(bytes)] {
          std::FILE* pipe = std::fopen(fifo.c_str(), "wb");
          if (pipe == nullptr) return;
          std::fwrite(bytes.data(), 1, bytes.size(), pipe);
          std::fclose(pipe);
        }) {}
  ~FifoWriter() { thread_.join(); }

 private:
  std::thread thread_;
};

// A regular file is mapped whole; a FIFO is read to its end, but only up to the limit,
// and no further than its first bytes when they are not an archive's header.
TEST(ArchiveInput, MapsFilesAndReadsPipesWithinTheirLimit) {
  const testing::TemporaryFolder dir("archive-input");
  // The reader stops early on purpose: the writer's broken pipe must not end the test.
  std::signal(SIGPIPE, SIG_IGN);
  const std::vector<std::uint8_t> archive = archiveOf(300000);
  testing::writeFile(dir.path() / "a.qvx", archive);
  {
    ArchiveInput input;
    ASSERT_EQ(input.open((dir.path() / "a.qvx").c_str()), ArchiveInput::Status::ok);
    EXPECT_TRUE(std::ranges::equal(input.bytes(), archive));
    struct stat status {};
    ASSERT_EQ(::stat((dir.path() / "a.qvx").c_str(), &status), 0);
    EXPECT_EQ(input.inode(), static_cast<std::uint64_t>(status.st_ino));
  }
  const fs::path fifo = dir.path() / "pipe";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  {
    FifoWriter writer(fifo, archive);
    ArchiveInput input;
    EXPECT_EQ(input.open(fifo.c_str(), archive.size()), ArchiveInput::Status::ok);
    EXPECT_TRUE(std::ranges::equal(input.bytes(), archive));
  }
  {
    FifoWriter writer(fifo, archive);
    ArchiveInput input;
    EXPECT_EQ(input.open(fifo.c_str(), archive.size() - 1), ArchiveInput::Status::tooLarge);
  }
  {
    std::vector<std::uint8_t> damaged = archive;
    damaged[22] = 8;  // the version byte
    FifoWriter writer(fifo, damaged);
    ArchiveInput input;
    EXPECT_EQ(input.open(fifo.c_str()), ArchiveInput::Status::notArchive);
    EXPECT_LT(input.bytes().size(), archive.size());
  }
  testing::writeFile(dir.path() / "empty", {});
  ArchiveInput empty;
  EXPECT_EQ(empty.open((dir.path() / "empty").c_str()), ArchiveInput::Status::notArchive);
  ArchiveInput missing;
  EXPECT_EQ(missing.open((dir.path() / "missing").c_str()), ArchiveInput::Status::openFailed);
}

}  // namespace
}  // namespace quorvex::driver
