// Entropy-coded BWT payloads: 256 segments, run-start coding and byte-run expansion.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "threads/task_threads.hpp"

namespace quorvex::bwt {

// Called once per non-empty segment, from segment 255 down to 0, with the segment's
// coded length and its length in the transformed block.
using RoundTrace = std::function<void(std::uint32_t segment, std::uint32_t codedLength, std::uint32_t length)>;

// Payloads whose segments add up to this length or more may decode their segments on
// several threads.
inline constexpr std::uint32_t kParallelPayloadMinimum = 1u << 20;

// buffer holds the payload at its start and has room for capacity bytes. Decodes in
// place; returns the length of the transformed block at the buffer start, 0 on failure.
// A payload for which bwtPayloadTakesStandingBytes holds also takes bytes the buffer
// held before it; every other one depends on its own bytes only.
// Segments of a large payload decode on up to threads.count threads; the result and
// the trace are the same for every count.
std::uint32_t decodeBwtPayload(std::uint8_t* buffer, std::uint32_t packedSize, std::uint32_t capacity,
                               const RoundTrace& trace, const TaskThreads& threads = {});

// The room decodeBwtPayload needs from the buffer start for this payload (held at
// the buffer start): with any capacity of at least this much it decodes alike. 0 when
// the trailer is broken, which fails the payload whatever the capacity.
std::uint64_t bwtPayloadRoom(const std::uint8_t* payload, std::uint32_t packedSize);

// Whether decoding the payload takes bytes of the buffer as they stand rather than
// bytes it wrote: a segment with a length but no coded bytes (its region's bytes are
// the segment), a stored segment whose symbols run past its coded bytes, or coded bytes
// longer than their segment's region (they spill into the regions after it, and past
// the last one into the buffer, where a later block decoding in place may take them).
// In a history window such a payload decodes to what earlier blocks left past the
// cursor, so it decodes alike only in place, after every earlier block decoded there.
// False for a broken trailer (it fails wherever it decodes).
bool bwtPayloadTakesStandingBytes(const std::uint8_t* payload, std::uint32_t packedSize);

// The encoding twin: codes a transformed block as an entropy-coded payload. Segments
// are cut as few as possible (one per MiB, in equal parts); the others stay empty.
std::vector<std::uint8_t> encodeBwtPayload(std::span<const std::uint8_t> transformed);

// The same with the cut chosen by the caller: segment i takes the next lengths[i] bytes
// (the lengths must add up to the block's size).
std::vector<std::uint8_t> encodeBwtSegments(std::span<const std::uint8_t> transformed,
                                            std::span<const std::uint32_t, 256> lengths);

}  // namespace quorvex::bwt
