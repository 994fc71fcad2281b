// quorvex: decodes, tests, lists and creates Quorvex archives.
//
// `quorvex [ARCHIVE]` is the format's own program: it decodes ARCHIVE (archive.qvx by
// default) to "out" with one console line per block, "done N bytes!" at the end, and
// exit status 1 after "error!" on a damaged archive; "out" is then left as it was.
// Everything else is options around it (see --help and doc/quorvex.1).
#include "driver/commands.hpp"
#include "driver/options.hpp"

int main(int argc, char** argv) {
  using namespace quorvex::driver;
  const ParsedCommandLine commandLine = parseCommandLine(argc, argv);
  if (commandLine.exitStatus) return *commandLine.exitStatus;
  const Options& options = commandLine.options;
  switch (options.mode) {
    case Mode::decode:
      return runDecode(options);
    case Mode::test:
      return runTest(options);
    case Mode::list:
      return runList(options);
    case Mode::create:
      return runCreate(options);
  }
  return kUsageError;
}
