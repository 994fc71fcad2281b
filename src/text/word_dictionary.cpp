#include "text/word_dictionary.hpp"

namespace quorvex::text {

// Not built yet: blocks that use word codes fail, as the pipeline's other unknown
// transforms do.
std::uint32_t decodeWords(const std::uint8_t*, std::uint32_t, std::uint8_t*, std::uint32_t) { return 0; }

std::uint32_t encodeWords(const std::uint8_t*, std::uint32_t, std::uint8_t*, std::uint32_t) { return 0; }

}  // namespace quorvex::text
