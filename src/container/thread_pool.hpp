// A small pool of worker threads that run tasks in the order they were queued.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace quorvex {

class ThreadPool {
 public:
  // Starts `workers` threads (at least one).
  explicit ThreadPool(unsigned workers);
  // Lets the running tasks finish, drops the queued ones and joins the threads.
  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  // Urgent tasks (short ones that others wait for) go before the queued ones.
  void submit(std::function<void()> task, bool urgent = false);

 private:
  void work();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> queue_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace quorvex
