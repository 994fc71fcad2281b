// Numbers on the command line, read strictly: digits only, then an optional size
// suffix; anything else (a sign, a space, "12abc", a value past 64 bits) is refused.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quorvex::driver {

// A plain count: "0" to "18446744073709551615".
std::optional<std::uint64_t> parseCount(std::string_view text);

// A byte size: a count with an optional binary suffix, K/KiB, M/MiB or G/GiB
// (k, m, g accepted too), so "64MiB" and "64M" are 67108864.
std::optional<std::uint64_t> parseByteSize(std::string_view text);

// The format's closing line, "done N bytes!\n", with N the true unsigned count: the
// same digits as a %d rendering below 2^31, and no negative sizes above it.
std::string doneLine(std::uint64_t size);

}  // namespace quorvex::driver
