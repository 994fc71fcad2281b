// Whole-file input, all-or-nothing output, and the fatal file errors of the program.
#pragma once

#include <cstdint>
#include <vector>

namespace quorvex::driver {

// Prints "<path>: <message>" (or just the message without a path) to standard error
// and ends the process with status 1.
[[noreturn]] void fatalError(const char* message, const char* path);

// The whole file; ends the process with "file open error" or "error reading".
// Archives are limited to 2147483647 bytes.
std::vector<std::uint8_t> readWholeFile(const char* path);

// Writes bytes to a temporary file beside path, then renames it over path. Ends the
// process with "file write error" when that fails, leaving path as it was.
void writeFileAtomically(const char* path, const std::vector<std::uint8_t>& bytes);

}  // namespace quorvex::driver
