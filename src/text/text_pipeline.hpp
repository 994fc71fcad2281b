// The text transform pipeline: up to eight reversible text transforms, each chosen by
// one bit of a block's text-transform byte, undone in a fixed order. Each transform
// reads one of two buffers and writes the other.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "text/numeric_tokens.hpp"

namespace quorvex::text {

// The bits of the text-transform byte, listed in decoding order.
enum TextTransformBit : std::uint8_t {
  kUnsupportedHighBit = 0x80,  // blocks with it fail
  kNumericTokensBit = 0x10,
  kWordDictionaryBit = 0x08,   // alphabet remapping (outside context mixing), then words
  kMarkupTagsBit = 0x04,
  kLineBreaksBit = 0x02,
  kLinePrefixesBit = 0x20,
  kUnsupportedLowBit = 0x40,   // blocks with it fail
  kLineEndingsBit = 0x01,
};

// The per-block state of the pipeline: the side streams. (The numeric model, fresh
// for every block too, is the running thread's, reset when the transform runs.)
struct TextTransformContext {
  std::span<const std::uint8_t> numericData;
  std::span<const std::uint8_t> lineBreakData;
  bool remapAlphabet = false;
};

TextTransformContext createTextTransformContext(std::span<const std::uint8_t> numericData,
                                                std::span<const std::uint8_t> lineBreakData, bool remapAlphabet);

// Undoes the transforms of `flags` on current[0..length). current and other are the
// two buffers, each of at least `capacity` bytes; they are swapped after every
// transform that runs, so that current holds the result. Returns its length, or 0
// when a transform fails.
std::uint32_t runTextTransforms(TextTransformContext& context, std::uint8_t*& current, std::uint32_t length,
                                std::uint8_t*& other, std::uint32_t capacity, std::uint8_t flags);

// The forward direction: the text a codec codes, the bits that undo it, and their
// side streams.
struct ForwardText {
  std::vector<std::uint8_t> text;
  std::uint8_t bits = 0;
  std::vector<std::uint8_t> lineBreakData;
  std::vector<std::uint8_t> numericData;
};

// Applies the forward twins of the transforms in `wanted`, in the reverse of decoding
// order. A transform that finds nothing to do, or whose output does not decode back,
// is left out; with onlyWhenSmaller, so is one that does not make the text (with its
// side data) cheaper to code by an estimate.
ForwardText encodeTextTransforms(std::span<const std::uint8_t> input, std::uint8_t wanted, bool remapAlphabet,
                                 bool onlyWhenSmaller);

}  // namespace quorvex::text
