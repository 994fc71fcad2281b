#include "container/thread_pool.hpp"

namespace quorvex {

ThreadPool::ThreadPool(unsigned workers) {
  if (workers == 0) workers = 1;
  threads_.reserve(workers);
  for (unsigned i = 0; i < workers; ++i) threads_.emplace_back([this] { work(); });
}

ThreadPool::~ThreadPool() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
    queue_.clear();
  }
  wake_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

void ThreadPool::submit(std::function<void()> task, bool urgent) {
  {
    const std::lock_guard lock(mutex_);
    if (urgent) {
      queue_.push_front(std::move(task));
    } else {
      queue_.push_back(std::move(task));
    }
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
      task = std::move(queue_.front());
      queue_.pop_front();
    }
    task();
  }
}

}  // namespace quorvex
