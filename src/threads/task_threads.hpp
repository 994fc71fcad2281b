// Independent parts of one job, run side by side on the threads of a ThreadPool:
// a shared one when the caller lends it, else one made for the job.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <system_error>
#include <utility>

#include "threads/thread_pool.hpp"

namespace quorvex {

// The threads a block's independent work may use: up to `count` in all, the calling
// thread's included. Without `lend`, the others are started for the work. With it,
// they are borrowed: lend(helper) asks a pool to run helper once on a thread that is
// free, soon or late; a helper that comes after the work is done, or never, costs
// nothing, since the calling thread takes every part no helper has taken.
struct TaskThreads {
  unsigned count = 1;
  std::function<void(std::function<void()>)> lend;

  TaskThreads(unsigned threads = 1) : count(threads) {}  // NOLINT: a plain count converts
  TaskThreads(unsigned threads, std::function<void(std::function<void()>)> lender)
      : count(threads), lend(std::move(lender)) {}
};

namespace detail {

// Which parts the helpers have taken. The calling thread closes the door when it has
// run part 0; from then on a helper takes nothing and touches nothing but this.
struct LentParts {
  explicit LentParts(unsigned count) : count(count) {}
  const unsigned count;
  std::atomic<unsigned> taken{1};  // part 0 is the calling thread's
  std::atomic<unsigned> finished{0};

  // The next part for a helper, or count when none is left.
  unsigned take() {
    unsigned part = taken.load(std::memory_order_relaxed);
    while (part < count && !taken.compare_exchange_weak(part, part + 1, std::memory_order_acq_rel)) {
    }
    return part;
  }
};

}  // namespace detail

// Runs task(0) .. task(count - 1), each once, and returns when all are done: task 0 on
// the calling thread, the others on helpers. A task whose helper cannot be had runs
// on the calling thread instead, so the work is done whatever the system allows.
template <class Task>
void runTasks(unsigned count, const Task& task, const TaskThreads& threads = {}) {
  if (count == 0) return;
  if (count == 1) {
    task(0);
    return;
  }
  if (threads.lend) {
    auto parts = std::make_shared<detail::LentParts>(count);
    // The helper reads `task` only for a part it took before the door closed, and the
    // calling thread waits for every such part, so the task outlives its use.
    const Task* shared = &task;
    for (unsigned i = 1; i < count; ++i) {
      threads.lend([parts, shared] {
        const unsigned part = parts->take();
        if (part >= parts->count) return;
        (*shared)(part);
        parts->finished.fetch_add(1, std::memory_order_acq_rel);
        parts->finished.notify_all();
      });
    }
    task(0);
    const unsigned lent = parts->taken.exchange(count, std::memory_order_acq_rel);
    for (unsigned part = lent; part < count; ++part) task(part);
    for (unsigned done = parts->finished.load(std::memory_order_acquire); done < lent - 1;
         done = parts->finished.load(std::memory_order_acquire)) {
      parts->finished.wait(done, std::memory_order_acquire);
    }
    return;
  }
  // No pool to borrow from: a pool of our own for this work alone, so that all work on
  // threads goes through one facility. Without threads to be had, the calling thread
  // runs every part.
  std::unique_ptr<ThreadPool> own;
  try {
    own = std::make_unique<ThreadPool>(count - 1);
  } catch (const std::system_error&) {
    for (unsigned part = 0; part < count; ++part) task(part);
    return;
  }
  ThreadPool* pool = own.get();
  runTasks(count, task, TaskThreads(count, [pool](std::function<void()> helper) { pool->submit(std::move(helper)); }));
}

}  // namespace quorvex
