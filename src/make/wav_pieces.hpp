// Finding PCM WAV files inside data (a whole file that is one, or files joined together),
// so that their samples can go to the audio codec and the rest to the others.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace quorvex {

// A piece of the data: [begin, end), a whole PCM WAV file (from "RIFF" to the end of
// its RIFF chunk, cut to the data) or bytes between such files.
struct DataPiece {
  std::size_t begin = 0;
  std::size_t end = 0;
  bool wav = false;
};

// Samples shorter than this are not worth an audio block of their own.
inline constexpr std::size_t kLeastWavSamples = 1024;

// The pieces of data, in order and covering it all; empty data gives none. A RIFF chunk
// counts as a WAV file when the audio codec can take it: integer PCM of 8, 16 or 24 bits,
// mono or stereo, with at least kLeastWavSamples bytes of samples.
std::vector<DataPiece> splitAtWavFiles(std::span<const std::uint8_t> data);

// A WAV header longer than this is not looked for across a piece's end.
inline constexpr std::size_t kMostCarriedWavHeader = std::size_t{64} << 10;

// The start of a possible WAV file in the last bytes of data that splitAtWavFiles cannot
// take because data ends too soon: inside "RIFF....WAVE", inside its header chunks, or
// before kLeastWavSamples of its samples. Looks at most kMostCarriedWavHeader bytes (and
// half of data) back; data.size() when there is none.
std::size_t wavHeaderCutAt(std::span<const std::uint8_t> data);

}  // namespace quorvex
