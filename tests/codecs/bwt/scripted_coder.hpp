// A stand-in decoder for tests: answers decisions from a fixed list of bits (then 0s)
// and records the probability of every decision it was asked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace quorvex::bwt::testing {

struct ScriptedCoder {
  static constexpr bool isEncoder = false;
  explicit ScriptedCoder(std::vector<std::uint32_t> script = {}) : bits(std::move(script)) {}
  std::vector<std::uint32_t> bits;
  std::vector<std::uint32_t> probabilities;
  std::size_t next = 0;
  std::uint32_t codeBit(std::uint32_t p, std::uint32_t) {
    probabilities.push_back(p);
    return next < bits.size() ? bits[next++] : 0u;
  }
};

}  // namespace quorvex::bwt::testing
