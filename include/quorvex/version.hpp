// The library's version, for a program to report or check what it was linked with.
#pragma once

#include <string_view>

namespace quorvex {

// "MAJOR.MINOR.PATCH" of the library, e.g. "0.1.0".
std::string_view version();

// The archive format version the library reads and writes (the version record's byte).
inline constexpr unsigned kArchiveFormatVersion = 9;

}  // namespace quorvex
