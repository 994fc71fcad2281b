#include "threads/thread_pool.hpp"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <vector>

namespace quorvex {
namespace {

// The two-thread decoder's schedule rests on the order a free worker picks tasks in:
// block decodes before helpers before post-stages, older blocks first.
TEST(ThreadPool, AFreeWorkerTakesTheLowestRankThenTheOldestThenUnranked) {
  std::mutex mutex;
  std::condition_variable changed;
  bool started = false;
  bool open = false;
  std::vector<int> order;
  ThreadPool pool(1);
  // The one worker waits at a gate while the others queue, so they are all queued
  // when it picks.
  pool.submit([&] {
    std::unique_lock lock(mutex);
    started = true;
    changed.notify_all();
    changed.wait(lock, [&] { return open; });
  });
  {
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return started; });
  }
  const auto record = [&](int id) {
    return [&, id] {
      const std::lock_guard lock(mutex);
      order.push_back(id);
      changed.notify_all();
    };
  };
  pool.submit(record(1));  // unranked, queued first
  pool.submit(record(2), 7);
  pool.submit(record(3), 3);
  pool.submit(record(4), 7);
  pool.submit(record(5), std::uint64_t{1} << 33);
  {
    const std::lock_guard lock(mutex);
    open = true;
  }
  changed.notify_all();
  std::unique_lock lock(mutex);
  changed.wait(lock, [&] { return order.size() == 5; });
  EXPECT_EQ(order, (std::vector<int>{3, 2, 4, 5, 1}));
}

}  // namespace
}  // namespace quorvex
