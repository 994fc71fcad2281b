// The codec's large tables: zeroed however the memory was used before, on the asked
// alignment, small (from the heap) and large (mapped) alike.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "codecs/cm/zeroed_buffer.hpp"

namespace quorvex::cm {
namespace {

bool allZero(const ZeroedBuffer& buffer) {
  return std::all_of(buffer.bytes(), buffer.bytes() + buffer.size(), [](std::uint8_t b) { return b == 0; });
}

TEST(ZeroedBuffer, EverySizeStartsZeroedAndAligned) {
  for (const std::size_t size : {std::size_t{1}, std::size_t{4096}, (std::size_t{1} << 20) - 1, std::size_t{1} << 20,
                                 (std::size_t{3} << 20) + 5}) {
    for (const std::size_t alignment : {std::size_t{16}, std::size_t{64}, std::size_t{4096}}) {
      ZeroedBuffer buffer;
      ASSERT_TRUE(buffer.allocate(size, alignment)) << size;
      EXPECT_EQ(buffer.size(), size);
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(buffer.bytes()) % alignment, 0u) << size << " " << alignment;
      EXPECT_TRUE(allZero(buffer)) << size;
      std::memset(buffer.bytes(), 0xA5, size);  // the last byte is the buffer's own
    }
  }
}

TEST(ZeroedBuffer, AllocatingAgainGivesZerosWhereTheOldTableWasWritten) {
  // A model is made again and again (a section each); each must start from zeros, in
  // either kind of memory and when one kind follows the other.
  ZeroedBuffer buffer;
  for (const std::size_t size : {std::size_t{2} << 20, std::size_t{2} << 20, std::size_t{64} << 10,
                                 std::size_t{2} << 20, std::size_t{64} << 10, std::size_t{64} << 10}) {
    ASSERT_TRUE(buffer.allocate(size));
    ASSERT_EQ(buffer.size(), size);
    EXPECT_TRUE(allZero(buffer)) << size;
    std::memset(buffer.bytes(), 0xFF, size);
  }
}

TEST(ZeroedBuffer, ImpossibleSizeFailsAndLeavesItEmpty) {
  ZeroedBuffer buffer;
  ASSERT_TRUE(buffer.allocate(std::size_t{1} << 20));
  EXPECT_FALSE(buffer.allocate(SIZE_MAX - 8, 16));
  EXPECT_EQ(buffer.size(), 0u);
  EXPECT_EQ(buffer.bytes(), nullptr);
}

}  // namespace
}  // namespace quorvex::cm
