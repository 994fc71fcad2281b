// A small pool of worker threads. Each task carries a rank: a free worker takes the
// queued task of the lowest rank, and among equal ranks the one queued first.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <mutex>
#include <thread>
#include <vector>

namespace quorvex {

class ThreadPool {
 public:
  // Tasks without a rank run after all ranked ones, in the order they were queued.
  static constexpr std::uint64_t kUnranked = std::numeric_limits<std::uint64_t>::max();

  // Starts `workers` threads (at least one; fewer when the system has no more to give,
  // and std::system_error when it has none).
  explicit ThreadPool(unsigned workers);
  // Lets the running tasks finish, drops the queued ones and joins the threads.
  ~ThreadPool();
  // The same, for an owner whose running tasks may still submit: from now on a task
  // submitted is dropped.
  void stop();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  void submit(std::function<void()> task, std::uint64_t rank = kUnranked);

 private:
  struct Queued {
    std::uint64_t rank;
    std::uint64_t sequence;
    std::function<void()> task;
  };
  // The heap's order: the lowest rank, then the lowest sequence, at its top.
  static bool later(const Queued& a, const Queued& b) {
    return a.rank != b.rank ? a.rank > b.rank : a.sequence > b.sequence;
  }

  void work();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::vector<Queued> queue_;  // a heap under later()
  std::uint64_t sequence_ = 0;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace quorvex
