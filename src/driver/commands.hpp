// The program's commands; each returns the process's exit status.
#pragma once

#include "driver/options.hpp"

namespace quorvex::driver {

int runDecode(const Options& options);  // decode one archive to "out", -o PATH or -c
int runTest(const Options& options);    // decode each archive, keep nothing
int runList(const Options& options);    // list each archive's records
int runCreate(const Options& options);  // make an archive from the input files

}  // namespace quorvex::driver
