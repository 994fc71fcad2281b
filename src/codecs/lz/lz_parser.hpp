// The encoder's parse: at each position, the best of a literal, a match at one of the
// four recent distances and the longest match the hash chains find, judged by a rough
// bit cost; a match is deferred by one byte (lazy evaluation) when the next position
// offers a better one.
#pragma once

#include <cstdint>

#include "codecs/lz/lz_block_state.hpp"
#include "codecs/lz/lz_match_finder.hpp"
#include "codecs/lz/lz_token_coder.hpp"

namespace quorvex::lz {

class LzParser {
 public:
  explicit LzParser(MatchFinder& finder) : finder_(finder) {}

  // The token to code at s.q; matches never run past the current segment.
  LzToken next(const LzBlockState& s);

 private:
  struct Option {
    std::int32_t gain = 0;  // estimated 1/16 bits saved against coding the bytes as literals
    LzToken token;
  };

  Option bestAt(const LzBlockState& s, std::uint32_t position, std::uint32_t maxLength);

  MatchFinder& finder_;
};

}  // namespace quorvex::lz
