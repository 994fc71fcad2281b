#include "codecs/bwt/byte_runs.hpp"

#include <cstring>

namespace quorvex::bwt {

std::uint32_t expandByteRuns(BinaryDecoder& decoder, ClassTree& tree, const std::uint8_t* symbols, std::uint32_t A,
                             std::uint8_t* output, std::uint32_t capacity) {
  if (A == 0 || capacity < A) return 0;
  // Room never falls below the input left: each copy takes one of each, and a run's
  // bytes are written only when room for the rest of the input remains.
  std::uint8_t previous = 0;
  std::uint32_t in = 0;
  std::uint32_t out = 0;
  while (in < A) {
    const std::uint8_t x = symbols[in++];
    output[out++] = x;
    if (x != previous) {
      previous = x;
      continue;
    }
    if (in == A) break;
    const std::uint8_t y = symbols[in++];
    output[out++] = y;
    if (y != x) {
      previous = y;
      continue;
    }
    std::uint32_t extra = 0;
    while (in < A && symbols[in] == x) {
      if (++extra > kMaxLengthClass) return 0;
      ++in;
    }
    const std::uint32_t n = decodeClassNumber(decoder, tree, extra);
    if (std::uint64_t{capacity - out} < std::uint64_t{n} + (A - in)) return 0;
    if (n <= 4) {  // the common short run: no call
      for (std::uint32_t i = 0; i < n; ++i) output[out + i] = x;
    } else {
      std::memset(output + out, x, n);
    }
    out += n;
    previous = x;
  }
  return out;
}

void trimTrailingZeros(std::vector<std::uint8_t>& stream) {
  while (!stream.empty() && stream.back() == 0) stream.pop_back();
}

ContractedRuns contractByteRuns(std::span<const std::uint8_t> bytes) {
  ContractedRuns result;
  BinaryEncoder encoder(result.runCounts);
  ClassTree tree;
  const std::size_t size = bytes.size();
  std::uint8_t previous = 0;
  std::size_t in = 0;
  while (in < size) {
    const std::uint8_t x = bytes[in++];
    result.symbols.push_back(x);
    if (x != previous) {
      previous = x;
      continue;
    }
    if (in == size) break;
    const std::uint8_t y = bytes[in++];
    result.symbols.push_back(y);
    if (y != x) {
      previous = y;
      continue;
    }
    std::uint32_t n = 0;
    while (in < size && bytes[in] == x) ++n, ++in;
    const std::uint32_t extra = lengthClass(n);
    result.symbols.insert(result.symbols.end(), extra, x);
    codeClassNumber(encoder, tree, extra, n);
    previous = x;
  }
  encoder.flush();
  trimTrailingZeros(result.runCounts);
  return result;
}

}  // namespace quorvex::bwt
