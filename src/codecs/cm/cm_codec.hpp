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

// The memory a model with these parameters reserves: its hash tables, its history
// window and its fixed tables.
std::uint64_t cmModelBytes(std::uint32_t tableBitsA, std::uint32_t tableBitsB, std::uint32_t historySize);

// Why the parameters of a codec-parameter record with codec id 7 cannot back a model
// (a history size below 2 bytes, or a model above the codec's ceiling of 3 GiB, which
// holds whatever limit the caller sets), or null when they can. For the dispatcher's
// failure reason.
const char* cmParamsRejection(std::uint32_t tableBitsA, std::uint32_t tableBitsB, std::uint32_t historySize);

// Builds a decoder from a codec-parameter record with codec id 7. Table sizes use the
// bit counts modulo 32. Returns null when the parameters cannot back a decoder (see
// cmParamsRejection) or the memory is not available; the blocks that would use it fail.
CmDecoderPtr createCmDecoder(std::uint32_t tableBitsA, std::uint32_t tableBitsB, std::uint32_t historySize);

// The partial reset a block of codecKind 1 asks for.
void resetCmAdaptation(CmDecoder& decoder);

// Decodes exactly unpackedSize bytes to destination (room guaranteed by the caller).
// A short payload reads as if followed by zero bytes; decoding cannot fail.
void decodeCmBlock(CmDecoder& decoder, std::span<const std::uint8_t> payload, std::uint8_t* destination,
                   std::uint32_t unpackedSize);

// The encoding twin: the same model driving the encoder.
class CmEncoder;

struct CmEncoderDeleter {
  void operator()(CmEncoder* encoder) const noexcept;
};
using CmEncoderPtr = std::unique_ptr<CmEncoder, CmEncoderDeleter>;

// Same parameters and limits as createCmDecoder.
CmEncoderPtr createCmEncoder(std::uint32_t tableBitsA, std::uint32_t tableBitsB, std::uint32_t historySize);
// Run before encoding a block that will be stored with codecKind 1.
void resetCmAdaptation(CmEncoder& encoder);
// The payload of one block holding `data` (unpackedSize = data.size(), below 2^32);
// the model carries over to the next block as in the decoder.
std::vector<std::uint8_t> encodeCmBlock(CmEncoder& encoder, std::span<const std::uint8_t> data);

}  // namespace quorvex::cm
