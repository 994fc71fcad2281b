// The line-break model: reflowed text keeps its hard line breaks as spaces, and a
// side stream codes, at every space or line feed that could end a line, whether it
// was a break. The model predicts from the line length so far, the length of the next
// word, the bytes around the candidate and the recent line lengths.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace quorvex::text {

// Restores the line breaks of in[0..n) into out (n bytes) from `side`. Returns n.
std::uint32_t decodeLineBreaks(std::span<const std::uint8_t> side, const std::uint8_t* in, std::uint32_t n,
                               std::uint8_t* out);

// The forward twin: writes the reflowed text to out (n bytes) and its side stream to
// `side`. Returns the number of line feeds turned into spaces (0: nothing to gain).
std::uint32_t encodeLineBreaks(const std::uint8_t* in, std::uint32_t n, std::uint8_t* out,
                               std::vector<std::uint8_t>& side);

}  // namespace quorvex::text
