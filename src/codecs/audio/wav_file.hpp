// Finding the samples in a WAV file: PCM, 8, 16 or 24 bits, mono or stereo.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace quorvex::audio {

struct WavLayout {
  std::uint32_t channels = 0;
  std::uint32_t sampleWidth = 0;  // bytes; 8-bit samples are unsigned
  std::size_t dataBegin = 0;      // the first sample byte; everything before is header
  std::size_t dataEnd = 0;        // after the data chunk (cut to the file); the rest is trailer
  std::uint64_t declaredDataEnd = 0;  // after the data chunk as its size says (past a cut file's end)
};

// The layout of a RIFF/WAVE file whose format chunk (before its data chunk) says
// integer PCM, also in the extensible form; nothing for any other file.
std::optional<WavLayout> parseWav(std::span<const std::uint8_t> file);

}  // namespace quorvex::audio
