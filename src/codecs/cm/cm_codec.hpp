// Context-mixing blocks: the entries the driver and the dispatcher call.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace quorvex::cm {

class CmDecoder;

struct CmDecoderDeleter {
  void operator()(CmDecoder* decoder) const noexcept;
};
using CmDecoderPtr = std::unique_ptr<CmDecoder, CmDecoderDeleter>;

// Builds a decoder from a codec-parameter record with codec id 7. Returns null when
// the parameters cannot back a decoder (the blocks that would use it then fail).
CmDecoderPtr createCmDecoder(std::uint32_t tableBitsA, std::uint32_t tableBitsB, std::uint32_t historySize);

// The partial reset a block of codecKind 1 asks for.
void resetCmAdaptation(CmDecoder& decoder);

// Decodes exactly unpackedSize bytes to destination (room guaranteed by the caller).
void decodeCmBlock(CmDecoder& decoder, std::span<const std::uint8_t> payload, std::uint8_t* destination,
                   std::uint32_t unpackedSize);

// The encoding twin: the same model driving the encoder.
class CmEncoder;

struct CmEncoderDeleter {
  void operator()(CmEncoder* encoder) const noexcept;
};
using CmEncoderPtr = std::unique_ptr<CmEncoder, CmEncoderDeleter>;

CmEncoderPtr createCmEncoder(std::uint32_t tableBitsA, std::uint32_t tableBitsB, std::uint32_t historySize);
void resetCmAdaptation(CmEncoder& encoder);
std::vector<std::uint8_t> encodeCmBlock(CmEncoder& encoder, std::span<const std::uint8_t> data);

}  // namespace quorvex::cm
