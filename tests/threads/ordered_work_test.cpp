#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "threads/ordered_work.hpp"

namespace quorvex {
namespace {

// Parts are prepared once each, every one before its commit, commits come in order on
// the calling thread, and no part is prepared more than `ahead` past the last commit.
TEST(OrderedWork, CommitsInOrderAfterPreparingAndStaysWithinAhead) {
  for (const unsigned threads : {1u, 2u, 3u}) {
    for (const std::size_t ahead : {std::size_t{1}, std::size_t{2}, std::size_t{5}}) {
      SCOPED_TRACE(testing::Message() << threads << " threads, " << ahead << " ahead");
      constexpr std::size_t kParts = 40;
      std::vector<std::atomic<int>> prepared(kParts);
      std::atomic<std::size_t> committed{0};
      std::atomic<std::size_t> mostAhead{0};
      std::vector<std::size_t> order;
      const std::thread::id caller = std::this_thread::get_id();
      runInOrder(
          kParts, threads, ahead,
          [&](std::size_t part) {
            const std::size_t beyond = part + 1 - committed.load();
            std::size_t most = mostAhead.load();
            while (beyond > most && !mostAhead.compare_exchange_weak(most, beyond)) {
            }
            // Uneven work, so that parts finish out of order.
            std::this_thread::sleep_for(std::chrono::microseconds(part % 3 == 0 ? 600 : 50));
            prepared[part].fetch_add(1);
          },
          [&](std::size_t part) {
            EXPECT_EQ(std::this_thread::get_id(), caller);
            EXPECT_EQ(prepared[part].load(), 1);
            order.push_back(part);
            committed = part + 1;
          });
      ASSERT_EQ(order.size(), kParts);
      for (std::size_t k = 0; k < kParts; ++k) {
        EXPECT_EQ(order[k], k);
        EXPECT_EQ(prepared[k].load(), 1);
      }
      EXPECT_LE(mostAhead.load(), threads == 1 ? 1 : ahead);
    }
  }
}

// What preparing a part throws comes out of the call where that part's commit would
// have been: the parts before it are committed, none after it.
TEST(OrderedWork, AFailedPartStopsTheCommitsAtItsPlace) {
  for (const unsigned threads : {1u, 2u, 4u}) {
    SCOPED_TRACE(testing::Message() << threads << " threads");
    std::vector<std::size_t> order;
    const auto run = [&] {
      runInOrder(
          20, threads, 3,
          [](std::size_t part) {
            if (part == 7) throw std::runtime_error("part 7");
          },
          [&](std::size_t part) { order.push_back(part); });
    };
    EXPECT_THROW(run(), std::runtime_error);
    ASSERT_EQ(order.size(), 7u);
    EXPECT_EQ(order.back(), 6u);
  }
}

TEST(OrderedWork, NoPartsAndOnePart) {
  int calls = 0;
  runInOrder(0, 2, 2, [&](std::size_t) { ++calls; }, [&](std::size_t) { ++calls; });
  EXPECT_EQ(calls, 0);
  runInOrder(1, 2, 2, [&](std::size_t) { ++calls; }, [&](std::size_t) { calls += 10; });
  EXPECT_EQ(calls, 11);
}

}  // namespace
}  // namespace quorvex
