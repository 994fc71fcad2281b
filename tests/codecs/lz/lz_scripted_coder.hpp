// A stand-in for the binary decoder that hands out a scripted list of bits and
// records the probability of every decision, so tests can drive the token coder
// through exact paths of the format.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <vector>

#include "codecs/lz/lz_model.hpp"

namespace quorvex::lz::lztest {

class ScriptedCoder {
 public:
  static constexpr bool isEncoder = false;

  ScriptedCoder() = default;
  ScriptedCoder(std::initializer_list<std::uint32_t> bits) : bits_(bits) {}

  void append(std::initializer_list<std::uint32_t> bits) { bits_.insert(bits_.end(), bits); }
  void appendByte(std::uint32_t byte) {
    for (int i = 7; i >= 0; --i) bits_.push_back((byte >> i) & 1u);
  }

  // Past the end of the script every decision reads 0, like an exhausted stream.
  std::uint32_t codeBit(std::uint32_t p, std::uint32_t /*ignored*/) {
    probabilities_.push_back(p);
    return next_ < bits_.size() ? bits_[next_++] : 0u;
  }

  bool finished() const { return next_ == bits_.size(); }
  const std::vector<std::uint32_t>& probabilities() const { return probabilities_; }

 private:
  std::vector<std::uint32_t> bits_;
  std::size_t next_ = 0;
  std::vector<std::uint32_t> probabilities_;
};

inline std::unique_ptr<LzModel> freshModel() { return LzModel::create(); }

// A window of `size` bytes behind 64 zero guard bytes.
struct TestWindow {
  explicit TestWindow(std::size_t size, std::uint8_t fill = 0) : bytes(64 + size, fill) {
    std::fill(bytes.begin(), bytes.begin() + 64, 0);
  }
  std::uint8_t* base() { return bytes.data() + 64; }
  std::vector<std::uint8_t> bytes;
};

}  // namespace quorvex::lz::lztest
