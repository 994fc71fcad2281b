#include <gtest/gtest.h>

#include "driver/numbers.hpp"

namespace quorvex::driver {
namespace {

// The closing line prints the count as it is: unchanged below 2^31, never negative
// from 2^31 on, and whole past 4 GiB.
TEST(DoneLine, CountsPrintUnsignedAtEverySize) {
  EXPECT_EQ(doneLine(0), "done 0 bytes!\n");
  EXPECT_EQ(doneLine(2147483647), "done 2147483647 bytes!\n");
  EXPECT_EQ(doneLine(2147483648u), "done 2147483648 bytes!\n");
  EXPECT_EQ(doneLine(4294967295u), "done 4294967295 bytes!\n");
  EXPECT_EQ(doneLine(5000000000u), "done 5000000000 bytes!\n");
}

}  // namespace
}  // namespace quorvex::driver
