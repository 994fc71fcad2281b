#include "codecs/lz/lz_codec.hpp"

namespace quorvex::lz {

// Placeholder until the LZ codec lands: every LZ block fails.
class LzModel {};

LzDecoder::LzDecoder() = default;
LzDecoder::~LzDecoder() = default;

bool LzDecoder::decodeBlock(std::span<const std::uint8_t>, const std::uint8_t*, std::uint8_t*, std::uint32_t) {
  return false;
}

LzEncoder::LzEncoder() = default;
LzEncoder::~LzEncoder() = default;

std::vector<std::uint8_t> LzEncoder::encodeBlock(std::span<const std::uint8_t>, std::size_t) { return {}; }

}  // namespace quorvex::lz
