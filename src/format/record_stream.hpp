// The record stream: a cursor over the archive image, and the record heads.
//
// Every read past the end yields 0 and leaves the cursor at the end, so a truncated
// field reads as if the missing bytes were zero; callers decide what that means.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace quorvex {

enum class RecordType : std::uint32_t {
  block = 0,
  codecParams = 11,
  signature = 14,
  version = 30,
};

struct RecordHead {
  std::uint32_t count = 0;      // payload bytes that follow (not used by block records)
  std::uint32_t type = 0;       // 0..30
  std::uint32_t extension = 0;  // high part of an escaped tag; no reader uses it
};

inline constexpr std::string_view kSignatureText = "Quorvex 0.09 alpha";
inline constexpr std::uint8_t kFormatVersion = 9;
inline constexpr std::size_t kArchiveHeaderSize = 23;

class RecordStream {
 public:
  explicit RecordStream(std::span<const std::uint8_t> image)
      : begin_(image.data()), cur_(image.data()), end_(image.data() + image.size()) {}

  std::uint8_t readByte() { return cur_ < end_ ? *cur_++ : std::uint8_t{0}; }
  std::uint32_t readU32();
  void skipBytes(std::uint32_t n) { cur_ += n < remaining() ? n : remaining(); }

  // The bytes [cur, cur + n) that exist; fewer than n at the end of the image.
  std::span<const std::uint8_t> peekBytes(std::uint32_t n) const {
    return {cur_, n < remaining() ? n : remaining()};
  }

  // The last n bytes of the image (all of it when shorter), wherever the cursor is.
  std::span<const std::uint8_t> lastBytes(std::size_t n) const {
    const std::size_t size = static_cast<std::size_t>(end_ - begin_);
    return {end_ - (n < size ? n : size), n < size ? n : size};
  }

  RecordHead readRecordHead();

  bool atEnd() const { return cur_ == end_; }
  std::size_t remaining() const { return static_cast<std::size_t>(end_ - cur_); }
  std::size_t offset() const { return static_cast<std::size_t>(cur_ - begin_); }

 private:
  std::uint32_t readHeadNumber();

  const std::uint8_t* begin_;
  const std::uint8_t* cur_;
  const std::uint8_t* end_;
};

// Reads the 23-byte header (signature record, version record) from the start of the
// stream; leaves the stream after it. False when any part of it is missing or wrong.
bool checkArchiveHeader(RecordStream& stream);

}  // namespace quorvex
