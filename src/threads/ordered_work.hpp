// A job of many parts, each prepared on any thread and then committed on the calling
// thread in order: how the maker makes blocks side by side and still writes them one
// after another.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <exception>
#include <memory>
#include <mutex>
#include <system_error>
#include <vector>

#include "threads/thread_pool.hpp"

namespace quorvex {

namespace detail {

// Which parts are claimed and prepared, and how far the commits have come. Parts are
// claimed in order, and none more than `ahead` past the last one committed, so that
// the prepared parts waiting for their commit bound the memory.
class OrderedParts {
 public:
  OrderedParts(std::size_t count, std::size_t ahead) : count_(count), ahead_(ahead), prepared_(count, 0), failures_(count) {}

  // The next part to prepare, or count when there is none (or when stopping). With
  // wait, blocks until one may be claimed; without, returns count at once.
  std::size_t claim(std::unique_lock<std::mutex>& lock, bool wait) {
    for (;;) {
      if (stopping_ || next_ == count_) return count_;
      if (next_ < committed_ + ahead_) return next_++;
      if (!wait) return count_;
      changed_.wait(lock);
    }
  }

  template <class Prepare>
  void prepare(std::unique_lock<std::mutex>& lock, std::size_t part, const Prepare& work) {
    lock.unlock();
    std::exception_ptr failure;
    try {
      work(part);
    } catch (...) {
      failure = std::current_exception();
    }
    lock.lock();
    failures_[part] = failure;
    prepared_[part] = 1;
    changed_.notify_all();
  }

  // Waits until `part` is prepared, preparing parts meanwhile when it can; then
  // rethrows what preparing it threw.
  template <class Prepare>
  void awaitPrepared(std::unique_lock<std::mutex>& lock, std::size_t part, const Prepare& work) {
    while (!prepared_[part]) {
      const std::size_t other = claim(lock, false);
      if (other < count_) {
        prepare(lock, other, work);
      } else {
        changed_.wait(lock);
      }
    }
    if (failures_[part]) std::rethrow_exception(failures_[part]);
  }

  void committed(std::size_t part) {
    committed_ = part + 1;
    changed_.notify_all();
  }

  void stop() {
    stopping_ = true;
    changed_.notify_all();
  }

  std::mutex mutex;

 private:
  const std::size_t count_;
  const std::size_t ahead_;
  std::size_t next_ = 0;
  std::size_t committed_ = 0;
  bool stopping_ = false;
  std::vector<char> prepared_;
  std::vector<std::exception_ptr> failures_;
  std::condition_variable changed_;
};

}  // namespace detail

// Runs prepare(k) for k = 0 .. count - 1 on up to `threads` threads (the calling one
// included), and commit(k) on the calling thread, k in order, each after prepare(k).
// At most `ahead` parts (at least one) are prepared beyond the last one committed.
// What prepare(k) throws is thrown from the call, in place of commit(k); parts then
// still being prepared are finished first. With one thread (or none to be had) the
// calling thread prepares and commits each part in turn.
template <class Prepare, class Commit>
void runInOrder(std::size_t count, unsigned threads, std::size_t ahead, const Prepare& prepare, const Commit& commit) {
  std::unique_ptr<ThreadPool> pool;
  if (threads > 1 && count > 1) {
    try {
      pool = std::make_unique<ThreadPool>(threads - 1);
    } catch (const std::system_error&) {
    }
  }
  if (!pool) {
    for (std::size_t part = 0; part < count; ++part) {
      prepare(part);
      commit(part);
    }
    return;
  }
  detail::OrderedParts parts(count, ahead == 0 ? 1 : ahead);
  // Every helper is stopped and joined before `parts` goes, whatever the calling thread
  // throws: the pool is destroyed first, after stop().
  struct Stopper {
    detail::OrderedParts& parts;
    std::unique_ptr<ThreadPool>& pool;
    ~Stopper() {
      {
        const std::lock_guard lock(parts.mutex);
        parts.stop();
      }
      pool.reset();
    }
  } stopper{parts, pool};
  for (unsigned helper = 1; helper < threads; ++helper) {
    pool->submit([&parts, &prepare, count] {
      std::unique_lock lock(parts.mutex);
      for (std::size_t part = parts.claim(lock, true); part < count; part = parts.claim(lock, true)) {
        parts.prepare(lock, part, prepare);
      }
    });
  }
  for (std::size_t part = 0; part < count; ++part) {
    {
      std::unique_lock lock(parts.mutex);
      parts.awaitPrepared(lock, part, prepare);
    }
    commit(part);
    const std::lock_guard lock(parts.mutex);
    parts.committed(part);
  }
}

}  // namespace quorvex
