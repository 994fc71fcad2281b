// Integrity records: checks this project's archive maker adds to the archives it
// writes, in a record type the format leaves unused, so that every other decoder skips
// them and a damaged or cut archive of ours fails instead of decoding to wrong bytes.
//
// Each record's payload is exactly kIntegrityRecordSize bytes:
//   magic (8 bytes, "QVXcheck"), kind (1 byte), hash id (1 byte),
//   output size so far (u64, little-endian), hash of the output so far (u64, little-endian).
// The first one (kind opening) stands before the first block and announces the checks;
// one (kind check) follows every block; the last one (kind closing) ends the checked
// part of the archive. A record of the type without the magic is someone else's and
// is skipped like any unknown record.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#define XXH_STATIC_LINKING_ONLY  // the hash state lives inside OutputHash, no allocation
#include <xxhash.h>

#include "format/record_stream.hpp"

namespace quorvex {

inline constexpr std::uint32_t kIntegrityRecordType = 12;
inline constexpr std::string_view kIntegrityMagic = "QVXcheck";
inline constexpr std::uint32_t kIntegrityRecordSize = 26;

enum class IntegrityKind : std::uint8_t { opening = 0, check = 1, closing = 2 };

// The one hash the records use: XXH3 with 64 bits, seed 0.
inline constexpr std::uint8_t kHashXxh3x64 = 1;

// The size and running hash of an output stream.
class OutputHash {
 public:
  OutputHash() { XXH3_64bits_reset(&state_); }
  void update(std::span<const std::uint8_t> bytes) {
    if (bytes.empty()) return;
    XXH3_64bits_update(&state_, bytes.data(), bytes.size());
    size_ += bytes.size();
  }
  std::uint64_t digest() const { return XXH3_64bits_digest(&state_); }
  std::uint64_t size() const { return size_; }

 private:
  XXH3_state_t state_;
  std::uint64_t size_ = 0;
};

// The payload of an integrity record over the output hashed so far.
std::vector<std::uint8_t> integrityRecordPayload(IntegrityKind kind, const OutputHash& output);

// The decoder's side: verifies the records as the record loop meets them.
class IntegrityVerifier {
 public:
  // The stream stands after the head of a record of kIntegrityRecordType with this
  // count. Skips a record that is not ours; verifies one that is. False, with the
  // reason, when it is ours and does not match, is malformed, or is cut off by the end
  // of the archive.
  bool verifyRecord(RecordStream& stream, std::uint32_t count, const OutputHash& output, std::string& failure);

  // At the end of the archive: false when checks were announced and the closing record
  // was not reached, or when the archive ends with a closing record that the record
  // loop never met (damage threw it off the record boundaries).
  bool verifyEnd(const RecordStream& stream, std::string& failure) const;

 private:
  enum class State { none, open, closed };
  State state_ = State::none;
};

}  // namespace quorvex
