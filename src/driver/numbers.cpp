#include "driver/numbers.hpp"

#include <charconv>
#include <utility>

namespace quorvex::driver {
namespace {

// The digits at the front of text, and where they end.
std::optional<std::uint64_t> leadingCount(std::string_view text, std::size_t& end) {
  std::uint64_t value = 0;
  const auto [rest, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  // from_chars takes a leading '-' for signed types only, so a sign is refused here too.
  if (error != std::errc() || rest == text.data()) return std::nullopt;
  end = static_cast<std::size_t>(rest - text.data());
  return value;
}

}  // namespace

std::optional<std::uint64_t> parseCount(std::string_view text) {
  std::size_t end = 0;
  const std::optional<std::uint64_t> value = leadingCount(text, end);
  if (!value || end != text.size()) return std::nullopt;
  return value;
}

std::optional<std::uint64_t> parseByteSize(std::string_view text) {
  std::size_t end = 0;
  const std::optional<std::uint64_t> value = leadingCount(text, end);
  if (!value) return std::nullopt;
  static constexpr std::pair<std::string_view, unsigned> kSuffixes[] = {
      {"", 0},     {"K", 10}, {"k", 10}, {"KiB", 10}, {"M", 20}, {"m", 20},
      {"MiB", 20}, {"G", 30}, {"g", 30}, {"GiB", 30}};
  for (const auto& [suffix, shift] : kSuffixes) {
    if (text.substr(end) != suffix) continue;
    if (*value > (UINT64_MAX >> shift)) return std::nullopt;
    return *value << shift;
  }
  return std::nullopt;
}

std::string doneLine(std::uint64_t size) { return "done " + std::to_string(size) + " bytes!\n"; }

}  // namespace quorvex::driver
