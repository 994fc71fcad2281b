// The decoder's reading of a piece's class streams, built for speed: each tree node's
// split probability is kept ready, and decisions do not branch on their bit.
//
// codeClasses (audio_classes.hpp) is the same code written once for both directions;
// this one decodes exactly what it decodes, and leaves the models as it does.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "codecs/audio/audio_model.hpp"

namespace quorvex::audio {

// Reads the class streams of `channels` channels (1 or 2) of `frames` classes each
// (frames >= 1) from the start of input: per channel a 2-byte little-endian length and
// that many bytes of coded classes. Channel c's classes go to classes[c * frames ..].
// Returns the bytes the streams occupy, 0 when a length field is missing or runs past
// the input (no class is decoded then).
std::size_t decodeClassStreams(std::array<ClassModel, 2>& models, std::span<const std::uint8_t> input,
                               std::uint32_t channels, std::uint8_t* classes, std::uint32_t frames);

}  // namespace quorvex::audio
