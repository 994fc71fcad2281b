#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "driver/file_io.hpp"
#include "driver/output_file.hpp"
#include "support/test_support.hpp"

namespace quorvex::driver {
namespace {

namespace fs = std::filesystem;

// Small pieces wait in the buffer while large ones are written at once: the file must
// still hold every piece in the order it came, also when a salvage cuts it short.
TEST(OutputFile, PiecesOfEverySizeLandInOrder) {
  const testing::TemporaryFolder dir("output-file");
  const fs::path destination = dir.path() / "out.bin";
  const std::vector<std::uint8_t> data = testing::skewedBytes((std::size_t{9} << 20) + 777, 5);
  const std::size_t pieces[] = {1, 3, 65535, 65536, 2, std::size_t{5} << 20, 7, 200000};

  for (const bool salvage : {false, true}) {
    OutputFile output;
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

    const FileBytes written = readWholeFile(destination.c_str());
    EXPECT_TRUE(std::equal(written.begin(), written.end(), data.begin(), data.begin() + kept)) << "salvage " << salvage;
  }
}

}  // namespace
}  // namespace quorvex::driver
