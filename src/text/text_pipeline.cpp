#include "text/text_pipeline.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>

#include "text/alphabet_remap.hpp"
#include "text/line_breaks.hpp"
#include "text/line_endings.hpp"
#include "text/line_prefixes.hpp"
#include "text/markup_tags.hpp"
#include "text/word_dictionary.hpp"

namespace quorvex::text {
namespace {

constexpr std::array<std::uint8_t, 8> kDecodingOrder = {kUnsupportedHighBit, kNumericTokensBit, kWordDictionaryBit,
                                                        kMarkupTagsBit,      kLineBreaksBit,    kLinePrefixesBit,
                                                        kUnsupportedLowBit,  kLineEndingsBit};

// What the estimate must fall by for a transform to be kept when it only may run.
constexpr double kLeastSaving = 0.002;
constexpr double kLeastSavingBits = 128;

// Undoes one transform from in into out (room `capacity`); 0 on failure.
std::uint32_t decodeTransform(std::uint8_t bit, TextTransformContext& context, std::uint8_t* in, std::uint32_t n,
                              std::uint8_t* out, std::uint32_t capacity) {
  switch (bit) {
    case kNumericTokensBit:
      if (n > capacity) return 0;
      if (NumericTokenModel* model = threadNumericTokenModel()) {
        return decodeNumericTokens(*model, context.numericData, in, n, out);
      }
      return 0;
    case kWordDictionaryBit:
      if (context.remapAlphabet) remapBytes(in, n, kRemapDecode);
      if (n <= 1 || in[n - 1] != ' ') return 0;
      return decodeWords(in, n, out, capacity);
    case kMarkupTagsBit:
      return decodeMarkupTags(in, n, out, capacity);
    case kLineBreaksBit:
      if (n == 0 || n > capacity) return 0;
      return decodeLineBreaks(context.lineBreakData, in, n, out);
    case kLinePrefixesBit:
      return decodeLinePrefixes(in, n, out, capacity);
    case kLineEndingsBit:
      return decodeLineEndings(in, n, out, capacity);
    default:
      return 0;  // the two bits this format leaves unsupported
  }
}

// A quick estimate, in bits, of what the text costs a context model: an adaptive
// order-2 bitwise model, summed over every bit.
class CostEstimate {
 public:
  CostEstimate() {
    for (std::uint32_t p = 1; p < 4096; ++p) cost_[p] = -std::log2(p / 4096.0);
    cost_[0] = 12;
  }

  double bitsFor(std::span<const std::uint8_t> text) {
    // The table is made at the first estimate: most calls never ask for one.
    probs_.assign(std::size_t{1} << kTableBits, 2048);
    double bits = 0;
    std::uint32_t history = 0;
    for (const std::uint8_t byte : text) {
      const std::uint32_t context = ((history & 0xFFFFu) * 0x9E3779B1u >> 18) << 8;
      std::uint32_t node = 1;
      for (int k = 7; k >= 0; --k) {
        const std::uint32_t bit = (byte >> k) & 1u;
        std::uint16_t& p = probs_[(context | node) & ((1u << kTableBits) - 1)];
        bits += cost_[bit ? p : 4096 - p];
        if (bit) {
          p = static_cast<std::uint16_t>(p + ((4096 - p) >> 4));
        } else {
          p = static_cast<std::uint16_t>(p - (p >> 4));
        }
        node = node * 2 + bit;
      }
      history = (history << 8) | byte;
    }
    return bits;
  }

 private:
  static constexpr std::uint32_t kTableBits = 22;
  std::vector<std::uint16_t> probs_;
  std::array<double, 4097> cost_{};
};

// One forward transform of `text`; false when it does not apply.
bool encodeTransform(std::uint8_t bit, const std::vector<std::uint8_t>& text, bool remapAlphabet,
                     std::vector<std::uint8_t>& coded, std::vector<std::uint8_t>& side) {
  const auto n = static_cast<std::uint32_t>(text.size());
  const std::uint32_t room = n > 0x7FFFFFF0u ? 0xFFFFFFFFu : 2 * n + 64;
  coded.resize(room);
  std::uint32_t length = 0;
  switch (bit) {
    case kLineEndingsBit:
      if (std::find(text.begin(), text.end(), '\r') == text.end()) return false;
      length = encodeLineEndings(text.data(), n, coded.data(), room);
      break;
    case kLinePrefixesBit:
      length = encodeLinePrefixes(text.data(), n, coded.data(), room);
      break;
    case kLineBreaksBit:
      length = encodeLineBreaks(text.data(), n, coded.data(), side) ? n : 0;
      break;
    case kMarkupTagsBit:
      length = encodeMarkupTags(text.data(), n, coded.data(), room);
      break;
    case kWordDictionaryBit:
      length = encodeWords(text.data(), n, coded.data(), room);
      if (length != 0 && remapAlphabet) remapBytes(coded.data(), length, kRemapEncode);
      break;
    case kNumericTokensBit:
      length = encodeNumericTokens(text.data(), n, coded.data(), side) ? n : 0;
      break;
    default:
      return false;
  }
  coded.resize(length);
  return length != 0 && coded != text;
}

// Whether coded (with side) decodes back to text.
bool decodesBack(std::uint8_t bit, std::vector<std::uint8_t> coded, const std::vector<std::uint8_t>& side,
                 bool remapAlphabet, const std::vector<std::uint8_t>& text) {
  TextTransformContext context = createTextTransformContext(side, side, remapAlphabet);
  std::vector<std::uint8_t> decoded(text.size() + 1);
  const std::uint32_t length = decodeTransform(bit, context, coded.data(), static_cast<std::uint32_t>(coded.size()),
                                               decoded.data(), static_cast<std::uint32_t>(text.size()));
  return length == text.size() && std::equal(text.begin(), text.end(), decoded.begin());
}

}  // namespace

TextTransformContext createTextTransformContext(std::span<const std::uint8_t> numericData,
                                                std::span<const std::uint8_t> lineBreakData, bool remapAlphabet) {
  TextTransformContext context;
  context.numericData = numericData;
  context.lineBreakData = lineBreakData;
  context.remapAlphabet = remapAlphabet;
  return context;
}

std::uint32_t runTextTransforms(TextTransformContext& context, std::uint8_t*& current, std::uint32_t length,
                                std::uint8_t*& other, std::uint32_t capacity, std::uint8_t flags) {
  if (length == 0) return 0;
  for (const std::uint8_t bit : kDecodingOrder) {
    if ((flags & bit) == 0) continue;
    length = decodeTransform(bit, context, current, length, other, capacity);
    std::swap(current, other);
  }
  return length;
}

ForwardText encodeTextTransforms(std::span<const std::uint8_t> input, std::uint8_t wanted, bool remapAlphabet,
                                 bool onlyWhenSmaller) {
  ForwardText result;
  result.text.assign(input.begin(), input.end());
  CostEstimate estimate;
  double cost = onlyWhenSmaller ? estimate.bitsFor(result.text) : 0;
  std::vector<std::uint8_t> coded;
  std::vector<std::uint8_t> side;
  for (auto bit = kDecodingOrder.rbegin(); bit != kDecodingOrder.rend(); ++bit) {
    if ((wanted & *bit) == 0) continue;
    side.clear();
    if (!encodeTransform(*bit, result.text, remapAlphabet, coded, side)) continue;
    if (!decodesBack(*bit, coded, side, remapAlphabet, result.text)) continue;
    if (onlyWhenSmaller) {
      const double codedCost = estimate.bitsFor(coded) + 8.0 * static_cast<double>(side.size());
      // A transform must save a clear margin, not noise of the estimate.
      if (codedCost > cost * (1.0 - kLeastSaving) - kLeastSavingBits) continue;
      cost = codedCost;
    }
    result.text.swap(coded);
    result.bits = static_cast<std::uint8_t>(result.bits | *bit);
    if (*bit == kLineBreaksBit) result.lineBreakData = side;
    if (*bit == kNumericTokensBit) result.numericData = side;
  }
  return result;
}

}  // namespace quorvex::text
