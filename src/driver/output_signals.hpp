// An interrupted run leaves no temporary output behind. Installing signal handlers is
// the program's decision, not the library's: the library only offers the cleanup that a
// handler may call.
#pragma once

namespace quorvex::driver {

// Removes the temporary files of the open file sinks on SIGHUP, SIGINT and SIGTERM, then
// lets the signal end the process as it would have.
void removeOutputOnSignals();

}  // namespace quorvex::driver
