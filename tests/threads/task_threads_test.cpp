#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include "threads/task_threads.hpp"

namespace quorvex::bwt {
namespace {

// Borrowed helpers may come at once, late (after the work is done) or never: in every
// case each part runs exactly once, all of them before runTasks returns, and a late
// helper touches nothing (the sanitizers see it if it reads the finished task).
TEST(TaskThreads, EveryPartRunsOnceWhenHelpersComeAtOnceLateOrNever) {
  enum class Lender { never, atOnce, late };
  for (const Lender lender : {Lender::never, Lender::atOnce, Lender::late}) {
    for (const unsigned count : {1u, 2u, 4u}) {
      for (int round = 0; round < 50; ++round) {
        std::vector<std::thread> helpers;
        std::vector<std::function<void()>> waiting;
        const TaskThreads threads(count, [&](std::function<void()> helper) {
          if (lender == Lender::atOnce) helpers.emplace_back(std::move(helper));
          if (lender == Lender::late) waiting.push_back(std::move(helper));
        });
        std::array<std::atomic<int>, 4> runs{};
        {
          const auto task = [&runs](unsigned part) { runs[part].fetch_add(1); };
          runTasks(count, task, threads);
        }
        for (unsigned part = 0; part < 4; ++part) {
          ASSERT_EQ(runs[part].load(), part < count ? 1 : 0) << static_cast<int>(lender) << " " << count;
        }
        for (std::thread& helper : helpers) helper.join();
        for (const std::function<void()>& helper : waiting) helper();
        for (unsigned part = 0; part < count; ++part) ASSERT_EQ(runs[part].load(), 1);
      }
    }
  }
}

}  // namespace
}  // namespace quorvex::bwt
