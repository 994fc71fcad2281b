#include "text/line_endings.hpp"

#include "text/bounded_output.hpp"

namespace quorvex::text {
namespace {

constexpr std::uint8_t kCr = 13;
constexpr std::uint8_t kLf = 10;
// A CR followed by a byte of this value or more marks text with lone CR endings.
constexpr std::uint8_t kPrintableAfterCr = 14;

enum class Mode { plain, crLf, loneCr };

}  // namespace

std::uint32_t decodeLineEndings(const std::uint8_t* in, std::uint32_t n, std::uint8_t* out, std::uint32_t capacity) {
  if (n == 0 || capacity == 0) return 0;
  BoundedOutput output{out, capacity};
  Mode mode = Mode::plain;
  std::uint8_t previous = 0;
  for (std::uint32_t i = 0; i < n; ++i) {
    const std::uint8_t byte = in[i];
    bool ok = true;
    if (i + 1 == n || (byte != kCr && byte != kLf)) {
      ok = output.put(byte);  // the last byte is always taken as it is
      previous = byte;
    } else if (mode == Mode::plain) {
      ok = output.put(byte);
      if (byte == kCr && in[i + 1] >= kPrintableAfterCr) mode = Mode::loneCr;
      if (byte == kLf && previous == kCr) mode = Mode::crLf;
      previous = byte;
    } else if (mode == Mode::crLf) {
      if (byte == kLf) {
        ok = output.put(kCr) && output.put(kLf);
      } else {
        ok = output.put(in[++i]);  // an escaped byte
        mode = Mode::plain;
      }
      previous = 0;
    } else {
      ok = output.put(byte == kLf ? kCr : kLf);
      if (byte == kCr) mode = Mode::plain;
      previous = 0;
    }
    if (!ok) return 0;
  }
  return output.length;
}

std::uint32_t encodeLineEndings(const std::uint8_t* in, std::uint32_t n, std::uint8_t* out, std::uint32_t capacity) {
  if (n == 0) return 0;
  BoundedOutput output{out, capacity};
  Mode mode = Mode::plain;
  std::uint8_t previous = 0;
  for (std::uint32_t i = 0; i < n; ++i) {
    const std::uint8_t byte = in[i];
    bool ok = true;
    if (i + 1 == n || (byte != kCr && byte != kLf)) {
      ok = output.put(byte);
      previous = byte;
    } else if (mode == Mode::plain) {
      // Coded as itself; the byte after it is coded as itself too, so the decoder's
      // look-ahead sees the same byte.
      ok = output.put(byte);
      if (byte == kCr && in[i + 1] >= kPrintableAfterCr) mode = Mode::loneCr;
      if (byte == kLf && previous == kCr) mode = Mode::crLf;
      previous = byte;
    } else if (mode == Mode::crLf) {
      if (byte == kCr && in[i + 1] == kLf && i + 2 < n) {
        ok = output.put(kLf);  // CR LF, unless its LF would be the last byte
        ++i;
      } else {
        ok = output.put(kCr) && output.put(byte);  // a lone CR or LF, escaped
        mode = Mode::plain;
      }
      previous = 0;
    } else {
      ok = output.put(byte == kLf ? kCr : kLf);
      if (byte == kLf) mode = Mode::plain;
      previous = 0;
    }
    if (!ok) return 0;
  }
  return output.length;
}

}  // namespace quorvex::text
