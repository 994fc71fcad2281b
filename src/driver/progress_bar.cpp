#include "driver/progress_bar.hpp"

#include <algorithm>
#include <cstdio>
#include <string>

#include <unistd.h>

namespace quorvex::driver {
namespace {

using Clock = std::chrono::steady_clock;

// Work shorter than this shows no bar at all.
constexpr auto kFirstDraw = std::chrono::seconds(1);
constexpr auto kRedraw = std::chrono::milliseconds(250);

std::string bytesText(double bytes) {
  static constexpr const char* kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  int unit = 0;
  while (bytes >= 1024 && unit < 4) {
    bytes /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, kUnits[unit]);
  return text;
}

std::string durationText(double seconds) {
  const auto whole = static_cast<unsigned long>(seconds + 0.5);
  char text[32];
  if (whole >= 3600) {
    std::snprintf(text, sizeof text, "%lu:%02lu:%02lu", whole / 3600, whole / 60 % 60, whole % 60);
  } else {
    std::snprintf(text, sizeof text, "%lu:%02lu", whole / 60, whole % 60);
  }
  return text;
}

}  // namespace

bool ProgressBar::stderrIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }

ProgressBar::ProgressBar(bool enabled, std::uint64_t total, Speed speed)
    : enabled_(enabled), speed_(speed), total_(total) {
  if (enabled_) thread_ = std::thread([this] { run(); });
}

ProgressBar::~ProgressBar() {
  if (!enabled_) return;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    eraseLocked();
  }
  wake_.notify_all();
  thread_.join();
}

void ProgressBar::run() {
  std::unique_lock lock(mutex_);
  if (wake_.wait_until(lock, start_ + kFirstDraw, [this] { return stopping_; })) return;
  while (!stopping_) {
    drawLocked();
    wake_.wait_for(lock, kRedraw, [this] { return stopping_; });
  }
}

// " 45%  12.0 MiB / 27.0 MiB in, 40.1 MiB out  8.1 MiB/s  0:05 left"
void ProgressBar::drawLocked() {
  const double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
  const auto input = static_cast<double>(input_.load(std::memory_order_relaxed));
  const auto output = static_cast<double>(output_.load(std::memory_order_relaxed));
  const auto total = static_cast<double>(total_.load(std::memory_order_relaxed));
  const double fraction = total == 0 ? 0.0 : std::min(input / total, 1.0);
  const double speed = (speed_ == Speed::ofOutput ? output : input) / seconds;
  std::string line = std::string("\r") + std::to_string(static_cast<int>(fraction * 100)) + "%  " + bytesText(input) +
                     " / " + bytesText(total) + " in, " + bytesText(output) + " out  " + bytesText(speed) + "/s  ";
  line += fraction > 0 ? durationText(seconds * (1 - fraction) / fraction) + " left" : "--:-- left";
  line += "\033[K";  // clear what a longer line left behind
  std::fputs(line.c_str(), stderr);
  std::fflush(stderr);
  drawn_ = true;
}

void ProgressBar::eraseLocked() {
  if (!drawn_) return;
  std::fputs("\r\033[K", stderr);
  std::fflush(stderr);
  drawn_ = false;
}

}  // namespace quorvex::driver
