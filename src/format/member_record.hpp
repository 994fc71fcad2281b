// Member records: where one member of an archive ends and the next begins.
//
// The format's history window is never rewound, so one run of blocks holds at most a
// window's worth of non-audio output. Longer input becomes members in one archive: at a
// member record this project's decoder starts afresh, as at the start of an archive
// (an empty window, new LZ, context-mixing and audio models, codec parameters all 0).
// The record has a type the format leaves unused, so other decoders skip it:
//   magic (8 bytes, "QVXmembr"), member number (u32, little-endian, 1 for the second
//   member, counting up).
// Right after it stands a barrier: a block record whose BWT block holds nothing, which
// every decoder of the format fails on (a block that decodes to no bytes fails). A
// decoder that skips the member record goes on with the previous member's window and
// models, which the next member was not made for; the barrier stops it there, before
// it could output a wrong byte. This project's decoder skips the barrier.
// A record of the type without the magic is someone else's, skipped like any unknown
// record.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "format/record_stream.hpp"

namespace quorvex {

inline constexpr std::uint32_t kMemberRecordType = 13;
inline constexpr std::string_view kMemberMagic = "QVXmembr";
inline constexpr std::uint32_t kMemberRecordSize = 12;

std::vector<std::uint8_t> memberRecordPayload(std::uint32_t memberNumber);

// The member number of a member record's payload; nothing when the payload is not
// this project's member record.
std::optional<std::uint32_t> readMemberRecord(std::span<const std::uint8_t> payload);

// At a block record whose head was just read: when a barrier is due (the first block
// record after a member record), passes the barrier, clears barrierDue and returns true;
// false, reading nothing, for a block record to decode.
bool passBarrierIfDue(RecordStream& stream, bool contextMixing, bool& barrierDue);

// Passes the payload of a kMemberRecordType record whose head was just read (count
// bytes): true when it is this project's member record.
bool passMemberRecord(RecordStream& stream, std::uint32_t count);

}  // namespace quorvex
