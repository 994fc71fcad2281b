#pragma once
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <thread>
inline void tl(const char* fmt, ...) {
  static const bool on = std::getenv("QTL") != nullptr;
  if (!on) return;
  static const auto t0 = std::chrono::steady_clock::now();
  const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  char buf[256];
  va_list ap; va_start(ap, fmt); vsnprintf(buf, sizeof buf, fmt, ap); va_end(ap);
  fprintf(stderr, "%8.2f [%zx] %s\n", ms, std::hash<std::thread::id>{}(std::this_thread::get_id()) % 997, buf);
}
