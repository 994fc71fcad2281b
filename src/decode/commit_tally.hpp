// What the committing side of a parallel decode knows of its output, and how the
// decode ends: shared by the block-parallel decoder and the member-parallel one.
#pragma once

#include <cstdint>
#include <string>

#include "format/integrity.hpp"
#include "format/record_stream.hpp"
#include "quorvex/decoder.hpp"

namespace quorvex {

struct CommitTally {
  std::uint64_t wholeSize = 0;     // output of the blocks committed whole
  std::uint64_t verifiedSize = 0;  // output the last matching integrity record vouches for
  DecodeResult result;

  // Records a failure with outputSize bytes written: after a failed integrity check
  // only what the last matching record vouches for may be kept, after any other
  // failure the blocks that decoded whole. Returns false, for `return fail(...)`.
  bool fail(DecodeStatus status, std::string reason, std::uint64_t outputSize) {
    result.status = status;
    result.reason = std::move(reason);
    result.outputSize = outputSize;
    result.completeOutputSize = status == DecodeStatus::checkFailed ? verifiedSize : wholeSize;
    return false;
  }

  // After the last record committed: the integrity chain's end is checked, and then the
  // whole output is kept.
  const DecodeResult& finish(const IntegrityVerifier& integrity, const RecordStream& stream, std::uint64_t outputSize) {
    std::string failure;
    if (!integrity.verifyEnd(stream, failure)) {
      fail(DecodeStatus::checkFailed, std::move(failure), outputSize);
      return result;
    }
    result.outputSize = outputSize;
    result.completeOutputSize = outputSize;
    return result;
  }
};

}  // namespace quorvex
