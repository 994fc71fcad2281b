#include "decode/console.hpp"

#include <array>
#include <cstdio>
#include <string>

namespace quorvex {

void Console::print(const char* format, std::int32_t a, std::int32_t b, std::int32_t c) const {
  if (!sink_) return;
  std::array<char, 128> line{};
  const int length = std::snprintf(line.data(), line.size(), format, a, b, c);
  if (length > 0) emit(std::string_view(line.data(), static_cast<std::size_t>(length)));
}

void Console::blockLine(std::string_view codecName, std::uint32_t packedSize, std::uint32_t unpackedSize) const {
  const std::string format = "Decoding " + std::string(codecName) + " block %d->%d\n";
  print(format.c_str(), asPrintedInt(packedSize), asPrintedInt(unpackedSize));
}

void Console::audioLine(std::uint32_t unpackedSize, std::uint32_t audioReset) const {
  print("Decoding audio block %d (%d)\n", asPrintedInt(unpackedSize), asPrintedInt(audioReset));
}

void Console::bwtRound(std::uint32_t segment, std::uint32_t codedLength, std::uint32_t length) const {
  print("bwt round %d: %d, %d\n", asPrintedInt(segment), asPrintedInt(codedLength), asPrintedInt(length));
}

}  // namespace quorvex
