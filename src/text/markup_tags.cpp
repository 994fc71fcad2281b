#include "text/markup_tags.hpp"

#include <array>
#include <cstring>

#include "text/bounded_output.hpp"
#include "text/char_class.hpp"

namespace quorvex::text {
namespace {

constexpr std::uint32_t kMaxDepth = 128;
constexpr std::uint32_t kMaxName = 16;
// How far past a tag's first name byte the self-closing test looks.
constexpr std::uint32_t kSelfCloseWindow = 33;
// Short names that are never stacked: br, img, int, var.
constexpr std::array<std::uint32_t, 4> kUnstackedNames = {0x6272, 0x696D67, 0x696E74, 0x766172};

bool isNameByte(std::uint8_t byte) { return (charClass(byte) & (kLetter | kDigit)) != 0 || byte >= 128; }

std::uint32_t nameLength(const std::uint8_t* bytes, std::uint32_t available) {
  std::uint32_t length = 0;
  while (length < kMaxName && length < available && isNameByte(bytes[length])) ++length;
  return length;
}

// Up to four case-folded bytes, the first in the most significant used byte.
std::uint32_t packName(const std::uint8_t* name, std::uint32_t length) {
  std::uint32_t packed = 0;
  for (std::uint32_t i = 0; i < length; ++i) packed = (packed << 8) | foldCase(name[i]);
  return packed;
}

// The stack of open tag names and the short names recently closed explicitly.
struct TagState {
  std::array<std::uint32_t, 4> recentShort{};
  std::uint8_t recentCount = 0;
  std::uint32_t depth = 0;
  std::array<std::array<std::uint8_t, kMaxName>, kMaxDepth + 1> names{};  // entry 0: the empty name
  std::array<std::uint8_t, kMaxDepth + 1> lengths{};

  bool isUnstackedShortName(std::uint32_t packed) const {
    for (std::uint32_t i = 0; i < 4; ++i) {
      if (packed == recentShort[i] || packed == kUnstackedNames[i]) return true;
    }
    return false;
  }

  // An opening tag (or any "<" use) whose first byte after "<" is at bytes[0];
  // `available` bytes of input stand from there.
  void openTag(const std::uint8_t* bytes, std::uint32_t available) {
    const std::uint32_t length = nameLength(bytes, available);
    if (length == 0) return;
    if (length >= 3 && closesItself(bytes, available, length)) return;
    if (length <= 3 && isUnstackedShortName(packName(bytes, length))) return;
    if (depth < kMaxDepth) ++depth;
    std::memcpy(names[depth].data(), bytes, length);
    lengths[depth] = static_cast<std::uint8_t>(length);
  }

  static bool closesItself(const std::uint8_t* bytes, std::uint32_t available, std::uint32_t length) {
    const std::uint32_t window = available < kSelfCloseWindow ? available : kSelfCloseWindow;
    if (length >= window || bytes[length] == '>') return false;
    std::uint32_t end = length + 1;
    while (end < window && bytes[end] != '>') ++end;
    return bytes[end - 1] == '/';
  }

  // "<//name": unwinds the stack down to the entry with exactly this name, noting
  // the short names it removes.
  void closeExplicitly(const std::uint8_t* bytes, std::uint32_t available) {
    const std::uint32_t length = nameLength(bytes, available);
    if (length == 0) return;
    if (length <= 3 && isUnstackedShortName(packName(bytes, length))) return;
    while (depth > 0) {
      if (lengths[depth] == length && std::memcmp(names[depth].data(), bytes, length) == 0) return;
      if (lengths[depth] <= 4) {
        const std::uint32_t packed = packName(names[depth].data(), lengths[depth]);
        bool known = false;
        for (std::uint32_t recent : recentShort) known = known || recent == packed;
        if (!known) recentShort[recentCount++ % 4] = packed;
      }
      --depth;
    }
  }

  const std::uint8_t* topName() const { return names[depth].data(); }
  std::uint32_t topLength() const { return lengths[depth]; }
  void pop() {
    if (depth > 0) --depth;
  }
};

}  // namespace

std::uint32_t decodeMarkupTags(const std::uint8_t* in, std::uint32_t n, std::uint8_t* out, std::uint32_t capacity) {
  TagState tags;
  BoundedOutput output{out, capacity};
  std::uint32_t i = 0;
  while (true) {
    std::uint8_t byte = 0;
    while (byte != '<') {
      if (i >= n) return output.length;
      byte = in[i++];
      if (!output.put(byte)) return 0;
    }
    if (i >= n) return output.length;
    const std::uint8_t c = in[i++];
    if (!output.put(c)) return 0;
    if (c != '/') {
      tags.openTag(in + i - 1, n - (i - 1));
    } else if (i < n && in[i] == '/') {
      ++i;
      tags.closeExplicitly(in + i, n - i);
    } else {
      const std::uint32_t h = tags.topLength();
      if (capacity - output.length <= h) return 0;
      std::memcpy(out + output.length, tags.topName(), h);
      output.length += h;
      out[output.length++] = '>';
      tags.pop();
    }
  }
}

std::uint32_t encodeMarkupTags(const std::uint8_t* in, std::uint32_t n, std::uint8_t* out, std::uint32_t capacity) {
  TagState tags;
  BoundedOutput output{out, capacity};
  std::uint32_t i = 0;
  while (i < n) {
    const std::uint8_t byte = in[i++];
    if (!output.put(byte)) return 0;
    if (byte != '<' || i >= n) continue;
    const std::uint8_t c = in[i++];
    if (!output.put(c)) return 0;
    if (c != '/') {
      tags.openTag(in + i - 1, n - (i - 1));
      continue;
    }
    const std::uint32_t h = tags.topLength();
    const bool closesTop =
        n - i > h && std::memcmp(in + i, tags.topName(), h) == 0 && in[i + h] == '>';
    if (closesTop) {
      i += h + 1;
      tags.pop();
    } else {
      if (!output.put('/')) return 0;
      tags.closeExplicitly(in + i, n - i);
    }
  }
  return output.length;
}

}  // namespace quorvex::text
