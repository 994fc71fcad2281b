#include "format/integrity.hpp"

#include <algorithm>

namespace quorvex {
namespace {

constexpr std::size_t kKindOffset = 8;
constexpr std::size_t kHashIdOffset = 9;
constexpr std::size_t kSizeOffset = 10;
constexpr std::size_t kDigestOffset = 18;

void putU64(std::vector<std::uint8_t>& out, std::uint64_t value) {
  for (std::uint32_t shift = 0; shift < 64; shift += 8) out.push_back(static_cast<std::uint8_t>(value >> shift));
}

std::uint64_t getU64(std::span<const std::uint8_t> bytes) {
  std::uint64_t value = 0;
  for (std::uint32_t i = 0; i < 8; ++i) value |= std::uint64_t{bytes[i]} << (8 * i);
  return value;
}

// True when the bytes agree with the start of the magic (all of it when there are
// eight or more).
bool startsLikeMagic(std::span<const std::uint8_t> bytes) {
  const std::size_t n = std::min(bytes.size(), kIntegrityMagic.size());
  for (std::size_t i = 0; i < n; ++i) {
    if (bytes[i] != static_cast<std::uint8_t>(kIntegrityMagic[i])) return false;
  }
  return true;
}

bool fail(std::string& failure, std::string reason) {
  failure = std::move(reason);
  return false;
}

}  // namespace

std::vector<std::uint8_t> integrityRecordPayload(IntegrityKind kind, const OutputHash& output) {
  std::vector<std::uint8_t> payload(kIntegrityMagic.begin(), kIntegrityMagic.end());
  payload.push_back(static_cast<std::uint8_t>(kind));
  payload.push_back(kHashXxh3x64);
  putU64(payload, output.size());
  putU64(payload, output.digest());
  return payload;
}

bool IntegrityVerifier::verifyRecord(RecordStream& stream, std::uint32_t count, const OutputHash& output,
                                     std::string& failure) {
  const std::span<const std::uint8_t> payload = stream.peekBytes(count);
  if (count < kIntegrityMagic.size() && payload.size() == count) {
    stream.skipBytes(count);  // too short to be ours
    return true;
  }
  if (!startsLikeMagic(payload)) {
    stream.skipBytes(count);
    return true;
  }
  if (payload.size() < count) return fail(failure, "the archive is cut off inside a check record");
  stream.skipBytes(count);
  if (count != kIntegrityRecordSize) return fail(failure, "a check record has the wrong size");
  const std::uint8_t kind = payload[kKindOffset];
  if (kind > static_cast<std::uint8_t>(IntegrityKind::closing)) return fail(failure, "a check record of unknown kind");
  if (payload[kHashIdOffset] != kHashXxh3x64) return fail(failure, "a check record names a hash this decoder lacks");
  if (state_ == State::closed) return fail(failure, "a check record follows the closing one");
  if (kind == static_cast<std::uint8_t>(IntegrityKind::opening) && state_ != State::none) {
    return fail(failure, "a second opening check record");
  }
  const std::uint64_t size = getU64(payload.subspan(kSizeOffset));
  if (size != output.size()) {
    return fail(failure, "check failed: the archive was written with " + std::to_string(size) +
                             " bytes of output at this point, the decoder has " + std::to_string(output.size()));
  }
  if (getU64(payload.subspan(kDigestOffset)) != output.digest()) {
    return fail(failure, "check failed: the output after " + std::to_string(size) +
                             " bytes differs from what was written (the archive is damaged)");
  }
  state_ = kind == static_cast<std::uint8_t>(IntegrityKind::closing) ? State::closed : State::open;
  return true;
}

bool IntegrityVerifier::verifyEnd(const RecordStream& stream, std::string& failure) const {
  if (state_ == State::open) {
    return fail(failure, "the archive ends before its closing check record (it is cut short)");
  }
  if (state_ == State::none) {
    const std::span<const std::uint8_t> tail = stream.lastBytes(kIntegrityRecordSize);
    if (tail.size() == kIntegrityRecordSize && startsLikeMagic(tail) &&
        tail[kKindOffset] == static_cast<std::uint8_t>(IntegrityKind::closing)) {
      return fail(failure, "the archive ends with a closing check record that its records never reached (it is damaged)");
    }
  }
  return true;
}

}  // namespace quorvex
