// quorvex: decodes, tests, lists and creates Quorvex archives.
//
// `quorvex [ARCHIVE]` is the format's own program: it decodes ARCHIVE (archive.qvx by
// default) to "out" with one console line per block, "done N bytes!" at the end, and
// exit status 1 after "error!" on a damaged archive; "out" is then left as it was.
// Everything else is options around it (see --help and doc/quorvex.1).
#include <cstdio>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "driver/commands.hpp"
#include "driver/options.hpp"

namespace {

using namespace quorvex::driver;

// Making an archive allocates and frees buffers of many MiB all the time (a block's
// staged bytes, a trial's encoder). glibc raises its threshold for taking memory straight
// from the system with every such buffer freed (up to 32 MiB); buffers below it then come
// from heaps whose freed pages stay taken, so that the maker's memory grew well past what
// it held at any time (some 90 MB more at -6 with two threads). A fixed threshold gives
// every buffer of 1 MiB and more back as it is freed.
void returnLargeBuffersAsFreed() {
#if defined(__GLIBC__)
  mallopt(M_MMAP_THRESHOLD, 1 << 20);
#endif
}

int runMode(const Options& options) {
  switch (options.mode) {
    case Mode::decode:
      return runDecode(options);
    case Mode::test:
      return runTest(options);
    case Mode::list:
      return runList(options);
    case Mode::create:
      returnLargeBuffersAsFreed();
      return runCreate(options);
  }
  return kUsageError;
}

// What a run printed on standard output must have got there, as with any tool whose
// output is read: a listing cut short by a full disk is no listing. (The bare decoding
// form keeps the format's exit statuses: its lines are a console, not its output.)
int checkedStandardOutput(int status) {
  if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return status;
  std::fputs("quorvex: standard output: write error\n", stderr);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  const ParsedCommandLine commandLine = parseCommandLine(argc, argv);
  if (commandLine.exitStatus) return checkedStandardOutput(*commandLine.exitStatus);
  const Options& options = commandLine.options;
  const int status = runMode(options);
  return options.mode == Mode::decode ? status : checkedStandardOutput(status);
}
