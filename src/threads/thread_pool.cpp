#include "threads/thread_pool.hpp"

#include <algorithm>
#include <system_error>
#include <utility>

namespace quorvex {

ThreadPool::ThreadPool(unsigned workers) {
  if (workers == 0) workers = 1;
  threads_.reserve(workers);
  for (unsigned i = 0; i < workers; ++i) {
    try {
      threads_.emplace_back([this] { work(); });
    } catch (const std::system_error&) {
      // Fewer threads than asked still run every task; none at all is the caller's to handle.
      if (threads_.empty()) throw;
      break;
    }
  }
}

ThreadPool::~ThreadPool() { stop(); }

void ThreadPool::stop() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
    queue_.clear();
  }
  wake_.notify_all();
  for (std::thread& thread : threads_) {
    if (thread.joinable()) thread.join();
  }
}

void ThreadPool::submit(std::function<void()> task, std::uint64_t rank) {
  {
    const std::lock_guard lock(mutex_);
    if (stopping_) return;
    queue_.push_back({rank, sequence_++, std::move(task)});
    std::push_heap(queue_.begin(), queue_.end(), later);
  }
  wake_.notify_one();
}

void ThreadPool::work() {
  for (;;) {
    std::function<void()> task;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (stopping_) return;
      std::pop_heap(queue_.begin(), queue_.end(), later);
      task = std::move(queue_.back().task);
      queue_.pop_back();
    }
    task();
  }
}

}  // namespace quorvex
