// The word run-length stage, both directions.
//
// Runs of equal 32-bit words (at offsets 0, 4, 8, ... of the block) are shortened: a
// run of m >= 7 equal words stands as seven copies, then e more copies where e is the
// length class of r = m - 7; r itself is a class number in the arithmetic-coded side
// stream. The word before the block counts as 0, so a run of zero words at the very
// start needs only six copies. The n mod 4 bytes after the last whole word are copied
// unchanged.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "model/number_codes.hpp"
#include "model/binary_coder.hpp"

namespace quorvex::stages {

// Expands input (n bytes) into output. length: on entry the output's capacity, on
// return the output length, 0 on failure (capacity below the input's whole words, a
// run marked with more than 30 extra copies, a run or tail that does not fit).
// Input and output must not overlap.
void expandWordRuns(BinaryDecoder& decoder, ClassTree& tree, const std::uint8_t* input, std::uint32_t n,
                    std::uint8_t* output, std::uint32_t& length);

// The forward twin: the shortened block and its run-count stream.
struct ShortenedWords {
  std::vector<std::uint8_t> bytes;
  std::vector<std::uint8_t> side;
  std::uint32_t runs = 0;
};
ShortenedWords shortenWordRuns(std::span<const std::uint8_t> block);

}  // namespace quorvex::stages
