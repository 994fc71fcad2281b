// The console lines of the format, formatted exactly and handed to the caller.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

namespace quorvex {

class Console {
 public:
  explicit Console(std::function<void(std::string_view)> sink) : sink_(std::move(sink)) {}

  // Counts are printed as the unsigned numbers they are: the same digits as a %d
  // rendering below 2^31, and no negative sizes above it.
  void blockLine(std::string_view codecName, std::uint32_t packedSize, std::uint32_t unpackedSize) const;
  void audioLine(std::uint32_t unpackedSize, std::uint32_t audioReset) const;
  void bwtRound(std::uint32_t segment, std::uint32_t codedLength, std::uint32_t length) const;
  // A line already rendered (one that was kept to be printed in archive order).
  void line(std::string_view text) const { emit(text); }

 private:
  void print(const char* format, std::uint32_t a, std::uint32_t b, std::uint32_t c = 0) const;
  void emit(std::string_view line) const {
    if (sink_) sink_(line);
  }

  std::function<void(std::string_view)> sink_;
};

}  // namespace quorvex
