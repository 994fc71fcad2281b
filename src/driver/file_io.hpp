// Whole-file input and the fatal file errors of the program.
#pragma once

#include <cstdint>
#include <vector>

namespace quorvex::driver {

// Prints "<path>: <message>" (or just the message without a path) to standard error
// and ends the process with status 1.
[[noreturn]] void fatalError(const char* message, const char* path);

// Archives are limited to a signed 32-bit count of bytes.
inline constexpr std::uint64_t kMaxArchiveSize = 2147483647;

// The whole file, read to its end whatever size it reports (files in /proc report 0;
// a file may grow while it is read); "-" reads standard input. Ends the process with
// "file open error", or "error reading" when a read fails or the data passes limit.
std::vector<std::uint8_t> readWholeFile(const char* path, std::uint64_t limit = kMaxArchiveSize);

}  // namespace quorvex::driver
