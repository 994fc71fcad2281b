#include "driver/output_signals.hpp"

#include <csignal>

#include "quorvex/file_sink.hpp"

namespace quorvex::driver {
namespace {

void onSignal(int signal) {
  removeFileSinkTemporaries();
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

}  // namespace

void removeOutputOnSignals() {
  std::signal(SIGHUP, onSignal);
  std::signal(SIGINT, onSignal);
  std::signal(SIGTERM, onSignal);
}

}  // namespace quorvex::driver
