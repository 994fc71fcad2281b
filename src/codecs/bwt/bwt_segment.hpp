// One segment of an entropy-coded BWT payload, decoded in its own work region.
//
// A coded segment ends with its trailer, read backwards: L, the bytes saved by byte-run
// expansion (0: none; L = c: none either); B, the length of the run-count stream (only
// when 0 < L < c); E, 0 without run-start coding, else 1 + the length S of the raw-bit
// stream. In front: the run-count stream, the raw-bit stream, then the run-start
// arithmetic stream (or, without run-start coding, the symbols themselves).
//
// The region holds 3c bytes: the coded segment and finally the decoded bytes at 0, the
// run-start output at c, the run expansion's output at 2c when both stages run, so no
// stage overwrites its own input.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "codecs/bwt/run_start_model.hpp"

namespace quorvex::bwt {

// Decodes the f-byte coded segment at the start of region into its c bytes there.
// room: the bytes usable from region (at least max(f, 3c)). Returns c, or 0 on failure.
std::uint32_t decodeSegment(RunStartModel& model, std::uint8_t* region, std::uint64_t room, std::uint32_t f,
                            std::uint32_t c);

// Whether the segment, stored without run-start coding, claims more symbols than its
// coded bytes hold: its symbols then run on into the region's bytes as they stand.
// coded: the segment's f coded bytes (as they reach its region).
bool segmentTakesStandingBytes(const std::uint8_t* coded, std::uint32_t f, std::uint32_t c);

// The encoding twin: the smallest of the stored form and the staged forms that fit in
// c bytes (so that decoding in place never overtakes its own input).
std::vector<std::uint8_t> encodeSegment(RunStartModel& model, std::span<const std::uint8_t> bytes);

}  // namespace quorvex::bwt
