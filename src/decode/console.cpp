#include "decode/console.hpp"

#include <array>
#include <cstdio>
#include <string>

namespace quorvex {

void Console::print(const char* format, std::uint32_t a, std::uint32_t b, std::uint32_t c) const {
  if (!sink_) return;
  std::array<char, 128> line{};
  const int length = std::snprintf(line.data(), line.size(), format, a, b, c);
  if (length > 0) emit(std::string_view(line.data(), static_cast<std::size_t>(length)));
}

void Console::blockLine(std::string_view codecName, std::uint32_t packedSize, std::uint32_t unpackedSize) const {
  const std::string format = "Decoding " + std::string(codecName) + " block %u->%u\n";
  print(format.c_str(), packedSize, unpackedSize);
}

void Console::audioLine(std::uint32_t unpackedSize, std::uint32_t audioReset) const {
  print("Decoding audio block %u (%u)\n", unpackedSize, audioReset);
}

void Console::bwtRound(std::uint32_t segment, std::uint32_t codedLength, std::uint32_t length) const {
  print("bwt round %u: %u, %u\n", segment, codedLength, length);
}

}  // namespace quorvex
