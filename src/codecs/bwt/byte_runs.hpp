// Byte-run expansion: the stage that shortens runs of equal bytes before run-start
// coding.
//
// A run of r >= 3 equal bytes x stands as three copies of x, then e more copies where
// e is the length class of n = r - 3; the run-count stream (arithmetic-coded class
// numbers) supplies n. The previous byte starts as 0, so a run of zeros at the very
// start needs only two copies (n = r - 2). After a pair and a different byte y, the
// search for the next pair starts from y.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "model/number_codes.hpp"
#include "model/binary_coder.hpp"

namespace quorvex::bwt {

// Expands the A symbols into output (room for capacity bytes), reading each run's
// count with decoder and tree. Returns the number of bytes written, 0 on failure:
// A = 0 or above capacity, a run marked with more than 30 extra copies, or a run that
// would leave no room for the input still to come.
std::uint32_t expandByteRuns(BinaryDecoder& decoder, ClassTree& tree, const std::uint8_t* symbols, std::uint32_t A,
                             std::uint8_t* output, std::uint32_t capacity);

// The forward twin: the symbols and the run-count stream (trailing zero bytes dropped,
// since a decoder reads zeros past the end).
struct ContractedRuns {
  std::vector<std::uint8_t> symbols;
  std::vector<std::uint8_t> runCounts;
};
ContractedRuns contractByteRuns(std::span<const std::uint8_t> bytes);

// Drops the trailing zero bytes of a finished arithmetic-coded stream.
void trimTrailingZeros(std::vector<std::uint8_t>& stream);

}  // namespace quorvex::bwt
