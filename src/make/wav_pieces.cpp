#include "make/wav_pieces.hpp"

#include <algorithm>
#include <cstring>
#include <optional>

#include "codecs/audio/wav_file.hpp"

namespace quorvex {
namespace {

constexpr std::size_t kRiffHead = 8;  // "RIFF" and the chunk size

std::uint32_t le32(const std::uint8_t* p) {
  return p[0] | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[3]} << 24);
}

// The end of the WAV file that starts at `at`, or 0 when none does.
std::size_t wavFileEnd(std::span<const std::uint8_t> data, std::size_t at) {
  if (data.size() - at < 12 || std::memcmp(data.data() + at + 8, "WAVE", 4) != 0) return 0;
  const std::size_t chunkSize = le32(data.data() + at + 4);
  const std::size_t end = chunkSize < data.size() - at - kRiffHead ? at + kRiffHead + chunkSize : data.size();
  const std::optional<audio::WavLayout> wav = audio::parseWav(data.subspan(at, end - at));
  if (!wav || wav->dataEnd - wav->dataBegin < kLeastWavSamples) return 0;
  return end;
}

// Whether the bytes at p (fewer than 12) could begin "RIFF" <size> "WAVE".
bool mayBeginRiffWave(const std::uint8_t* p, std::size_t count) {
  static constexpr char kPattern[] = "RIFF????WAVE";
  for (std::size_t k = 0; k < count; ++k) {
    if (kPattern[k] != '?' && p[k] != static_cast<std::uint8_t>(kPattern[k])) return false;
  }
  return true;
}

}  // namespace

std::size_t wavHeaderCutAt(std::span<const std::uint8_t> data) {
  const std::size_t lookBack = std::min(kMostCarriedWavHeader, data.size() / 2);
  for (std::size_t at = data.size() - lookBack; at < data.size(); ++at) {
    const std::size_t rest = data.size() - at;
    if (data[at] != 'R') continue;
    if (rest < 12) {
      if (mayBeginRiffWave(data.data() + at, rest)) return at;
      continue;
    }
    if (std::memcmp(data.data() + at, "RIFF", 4) != 0 || std::memcmp(data.data() + at + 8, "WAVE", 4) != 0) continue;
    // A whole RIFF chunk, or a WAV file that splitAtWavFiles takes, needs nothing carried.
    if (std::size_t{le32(data.data() + at + 4)} <= rest - kRiffHead) continue;
    const std::optional<audio::WavLayout> wav = audio::parseWav(data.subspan(at));
    if (!wav || wav->dataEnd - wav->dataBegin < kLeastWavSamples) return at;
  }
  return data.size();
}

std::vector<DataPiece> splitAtWavFiles(std::span<const std::uint8_t> data) {
  std::vector<DataPiece> pieces;
  const auto addPiece = [&pieces](std::size_t begin, std::size_t end, bool wav) {
    if (begin < end) pieces.push_back({begin, end, wav});
  };
  std::size_t plainFrom = 0;
  std::size_t at = 0;
  while (data.size() - at >= 12) {
    const void* found = std::memchr(data.data() + at, 'R', data.size() - at - 11);
    if (!found) break;
    at = static_cast<std::size_t>(static_cast<const std::uint8_t*>(found) - data.data());
    const std::size_t end = std::memcmp(data.data() + at, "RIFF", 4) == 0 ? wavFileEnd(data, at) : 0;
    if (end == 0) {
      ++at;
      continue;
    }
    addPiece(plainFrom, at, false);
    addPiece(at, end, true);
    plainFrom = at = end;
  }
  addPiece(plainFrom, data.size(), false);
  return pieces;
}

}  // namespace quorvex
