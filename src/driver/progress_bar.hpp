// A progress bar on standard error, for a person watching a long run on a terminal:
// drawn only when standard error is a terminal, first after a second of work, then a
// few times a second from its own thread (a single large block gives no other moment
// to redraw). It never writes to standard output; callers that print lines on the
// same terminal erase it first.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace quorvex::driver {

class ProgressBar {
 public:
  // What the speed shown counts: the bytes made when decoding, the bytes taken in when
  // making an archive.
  enum class Speed : std::uint8_t { ofOutput, ofInput };

  // total: the input bytes the run will go through. Does nothing unless enabled.
  ProgressBar(bool enabled, std::uint64_t total, Speed speed = Speed::ofOutput);
  ~ProgressBar();  // erases the bar
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

  // Archive bytes gone through so far, and output bytes made.
  void setInput(std::uint64_t done) { input_.store(done, std::memory_order_relaxed); }
  void addInput(std::uint64_t bytes) { input_.fetch_add(bytes, std::memory_order_relaxed); }
  void addOutput(std::uint64_t bytes) { output_.fetch_add(bytes, std::memory_order_relaxed); }
  // The total, when the input turns out longer or shorter than first thought.
  void setTotal(std::uint64_t total) { total_.store(total, std::memory_order_relaxed); }

  // Runs print (which writes a line on the terminal) with the bar erased; the next
  // tick draws it again below the line.
  template <typename Print>
  void printAbove(Print&& print) {
    if (!enabled_) return print();
    std::lock_guard lock(mutex_);
    eraseLocked();
    print();
  }

  // Whether standard error is a terminal.
  static bool stderrIsTerminal();

 private:
  void run();
  void drawLocked();
  void eraseLocked();

  const bool enabled_;
  const Speed speed_;
  std::atomic<std::uint64_t> total_;
  const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::atomic<std::uint64_t> input_{0};
  std::atomic<std::uint64_t> output_{0};
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  bool drawn_ = false;
  std::thread thread_;
};

}  // namespace quorvex::driver
