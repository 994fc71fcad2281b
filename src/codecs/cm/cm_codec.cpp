#include "codecs/cm/cm_codec.hpp"

namespace quorvex::cm {

// Placeholder until the context-mixing codec lands: no decoder can be built, so
// every context-mixing block fails.
class CmDecoder {};

void CmDecoderDeleter::operator()(CmDecoder* decoder) const noexcept { delete decoder; }

CmDecoderPtr createCmDecoder(std::uint32_t, std::uint32_t, std::uint32_t) { return nullptr; }

void resetCmAdaptation(CmDecoder&) {}

void decodeCmBlock(CmDecoder&, std::span<const std::uint8_t>, std::uint8_t*, std::uint32_t) {}

}  // namespace quorvex::cm
