// The console lines of the format, formatted exactly and handed to the caller.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

namespace quorvex {

class Console {
 public:
  explicit Console(std::function<void(std::string_view)> sink) : sink_(std::move(sink)) {}

  // The format prints its counts with %d: values of 2^31 and above appear negative,
  // exactly as the format's own console shows them.
  void blockLine(std::string_view codecName, std::uint32_t packedSize, std::uint32_t unpackedSize) const;
  void audioLine(std::uint32_t unpackedSize, std::uint32_t audioReset) const;
  void bwtRound(std::uint32_t segment, std::uint32_t codedLength, std::uint32_t length) const;
  // A line already rendered (one that was kept to be printed in archive order).
  void line(std::string_view text) const { emit(text); }

 private:
  void print(const char* format, std::int32_t a, std::int32_t b, std::int32_t c = 0) const;
  void emit(std::string_view line) const {
    if (sink_) sink_(line);
  }

  std::function<void(std::string_view)> sink_;
};

// The same %d rendering of an unsigned count.
constexpr std::int32_t asPrintedInt(std::uint32_t value) { return static_cast<std::int32_t>(value); }

}  // namespace quorvex
