#include "codecs/audio/wav_file.hpp"

#include <cstring>

namespace quorvex::audio {
namespace {

std::uint32_t le16(const std::uint8_t* p) { return p[0] | (std::uint32_t{p[1]} << 8); }
std::uint32_t le32(const std::uint8_t* p) { return le16(p) | (le16(p + 2) << 16); }
bool tagIs(const std::uint8_t* p, const char* tag) { return std::memcmp(p, tag, 4) == 0; }

constexpr std::uint32_t kPcm = 1;
constexpr std::uint32_t kExtensible = 0xFFFE;

}  // namespace

std::optional<WavLayout> parseWav(std::span<const std::uint8_t> file) {
  if (file.size() < 12 || !tagIs(file.data(), "RIFF") || !tagIs(file.data() + 8, "WAVE")) return std::nullopt;
  WavLayout layout;
  bool haveFormat = false;
  std::size_t position = 12;
  while (file.size() - position >= 8) {
    const std::uint8_t* chunk = file.data() + position;
    const std::size_t size = le32(chunk + 4);
    const std::size_t body = position + 8;
    if (tagIs(chunk, "fmt ")) {
      if (size < 16 || file.size() - body < 16) return std::nullopt;
      const std::uint8_t* fmt = file.data() + body;
      std::uint32_t tag = le16(fmt);
      if (tag == kExtensible && size >= 26 && file.size() - body >= 26) tag = le16(fmt + 24);
      const std::uint32_t channels = le16(fmt + 2);
      const std::uint32_t bits = le16(fmt + 14);
      const std::uint32_t blockAlign = le16(fmt + 12);
      if (tag != kPcm || channels < 1 || channels > 2 || (bits != 8 && bits != 16 && bits != 24) ||
          blockAlign != channels * bits / 8) {
        return std::nullopt;
      }
      layout.channels = channels;
      layout.sampleWidth = bits / 8;
      haveFormat = true;
    } else if (tagIs(chunk, "data")) {
      if (!haveFormat) return std::nullopt;
      layout.dataBegin = body;
      layout.dataEnd = size < file.size() - body ? body + size : file.size();
      layout.declaredDataEnd = std::uint64_t{body} + size;
      return layout;
    }
    if (size > file.size() - body) break;
    position = body + size + (size & 1u);  // chunks are padded to even sizes
  }
  return std::nullopt;
}

}  // namespace quorvex::audio
