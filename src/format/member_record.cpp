#include "format/member_record.hpp"

#include <algorithm>

#include "format/block_descriptor.hpp"

namespace quorvex {

std::vector<std::uint8_t> memberRecordPayload(std::uint32_t memberNumber) {
  std::vector<std::uint8_t> payload(kMemberMagic.begin(), kMemberMagic.end());
  for (std::uint32_t shift = 0; shift < 32; shift += 8) payload.push_back(static_cast<std::uint8_t>(memberNumber >> shift));
  return payload;
}

std::optional<std::uint32_t> readMemberRecord(std::span<const std::uint8_t> payload) {
  if (payload.size() != kMemberRecordSize || !std::equal(kMemberMagic.begin(), kMemberMagic.end(), payload.begin())) {
    return std::nullopt;
  }
  std::uint32_t number = 0;
  for (std::uint32_t i = 0; i < 4; ++i) number |= std::uint32_t{payload[kMemberMagic.size() + i]} << (8 * i);
  return number;
}

bool passMemberRecord(RecordStream& stream, std::uint32_t count) {
  const std::span<const std::uint8_t> payload = stream.peekBytes(count);
  stream.skipBytes(count);
  return payload.size() == count && readMemberRecord(payload).has_value();
}

bool passBarrierIfDue(RecordStream& stream, bool contextMixing, bool& barrierDue) {
  if (!barrierDue) return false;
  parseBlockDescriptor(stream, contextMixing);
  barrierDue = false;
  return true;
}

}  // namespace quorvex
