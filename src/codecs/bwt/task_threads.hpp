// Independent parts of one block's work, run side by side.
#pragma once

#include <system_error>
#include <thread>
#include <vector>

namespace quorvex::bwt {

// Runs task(0) .. task(count - 1): task 0 on the calling thread, each other on a thread
// of its own, and returns when all are done. A task whose thread cannot be started runs
// on the calling thread instead, so the work is done whatever the system allows.
template <class Task>
void runTasks(unsigned count, const Task& task) {
  std::vector<std::thread> helpers;
  helpers.reserve(count);
  for (unsigned i = 1; i < count; ++i) {
    try {
      helpers.emplace_back([&task, i] { task(i); });
    } catch (const std::system_error&) {
      task(i);
    }
  }
  if (count > 0) task(0);
  for (std::thread& helper : helpers) helper.join();
}

}  // namespace quorvex::bwt
