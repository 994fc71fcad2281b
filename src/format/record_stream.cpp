#include "format/record_stream.hpp"

namespace quorvex {

std::uint32_t RecordStream::readU32() {
  std::uint32_t value = 0;
  for (std::uint32_t shift = 0; shift < 32; shift += 8) value |= std::uint32_t{readByte()} << shift;
  return value;
}

// A bijective little-endian base-128 number: each continuation byte adds one more
// than its seven bits, so every value has exactly one encoding. Groups beyond the
// 32 bits of the result (a sixth byte and on) drop off; a byte missing at the end
// of the data counts as 0 and ends the number.
std::uint32_t RecordStream::readHeadNumber() {
  std::uint8_t byte = readByte();
  std::uint32_t value = byte & 0x7Fu;
  for (std::uint32_t shift = 7; byte & 0x80u; shift += 7) {
    const bool missing = atEnd();
    byte = readByte();
    if (shift < 32) value += (std::uint32_t{byte & 0x7Fu} + 1u) << shift;
    if (missing) break;
  }
  return value;
}

RecordHead RecordStream::readRecordHead() {
  RecordHead head;
  if (atEnd()) return head;
  const std::uint32_t number = readHeadNumber();
  head.count = number >> 4;
  const std::uint32_t tag = number & 15u;
  if (tag < 15) {
    head.type = tag;
    return head;
  }
  // Escaped tag: types 15..30 directly, or a type with a high part.
  const std::uint32_t escape = readByte();
  if (escape < 16) {
    head.type = 15 + escape;
  } else if (escape <= 247) {
    head.type = escape & 15u;
    head.extension = escape >> 4;
  } else {
    const std::uint32_t wide = 248u + (escape & 7u) + 8u * readByte();
    head.type = wide & 15u;
    head.extension = wide >> 4;
  }
  return head;
}

bool checkArchiveHeader(RecordStream& stream) {
  if (stream.atEnd()) return false;
  const RecordHead signature = stream.readRecordHead();
  if (signature.type != static_cast<std::uint32_t>(RecordType::signature) || signature.count != kSignatureText.size()) {
    return false;
  }
  bool textMatches = true;
  for (const char expected : kSignatureText) {
    const bool atEnd = stream.atEnd();
    if (stream.readByte() != static_cast<std::uint8_t>(expected) || atEnd) textMatches = false;
  }
  if (!textMatches) return false;
  const RecordHead version = stream.readRecordHead();
  if (version.type != static_cast<std::uint32_t>(RecordType::version) || version.count != 1) return false;
  if (stream.atEnd()) return false;
  return stream.readByte() == kFormatVersion;
}

}  // namespace quorvex
