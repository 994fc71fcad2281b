// The numeric token model: numbers in text are replaced by placeholders of the same
// shape, and their values are coded in a side stream. Decimal numbers are predicted
// from the previous number in the same textual context and searched bit by bit in
// their range; long ones may come from move-to-front lists of recent values.
// Hexadecimal numbers are coded digit bit by digit bit, or from per-length recent lists.
//
// Placeholders, after the first two bytes of the text:
//   hexadecimal: 1..8 bytes '1' or '2', one per digit ('2': an upper-case letter digit);
//   decimal: '0' or '3'..'9', then up to 8 more '0' bytes, one per further digit,
//            separated by any of "-.:".
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace quorvex::text {

struct NumericTokenModel;

struct NumericModelDeleter {
  void operator()(NumericTokenModel* model) const;
};
using NumericTokenModelPtr = std::unique_ptr<NumericTokenModel, NumericModelDeleter>;

// A fresh model (about 600 KB); null when memory runs out.
NumericTokenModelPtr createNumericTokenModel();

// The calling thread's own model, reset to its start: every block needs a fresh
// model, and refilling one costs less than the page faults of a new one. It stays
// valid until the thread's next call; null when memory runs out.
NumericTokenModel* threadNumericTokenModel();

// Restores the numbers of in[0..n) into out (n bytes) with the values coded in `side`.
// Returns n, or 0 when n is below 10.
std::uint32_t decodeNumericTokens(NumericTokenModel& model, std::span<const std::uint8_t> side, const std::uint8_t* in,
                                  std::uint32_t n, std::uint8_t* out);

// The forward twin: writes the placeholder text to out (n bytes) and the coded values
// to `side`. Returns the number of digits turned into placeholders, or 0 when there
// are none (or n is below 10).
std::uint32_t encodeNumericTokens(const std::uint8_t* in, std::uint32_t n, std::uint8_t* out,
                                  std::vector<std::uint8_t>& side);

}  // namespace quorvex::text
