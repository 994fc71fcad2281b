#include <gtest/gtest.h>

#include <sys/stat.h>

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
