#include "codecs/cm/cm_codec.hpp"

namespace quorvex::cm {

// Placeholder until the context-mixing codec lands: no decoder can be built, so
// every context-mixing block fails.
class CmDecoder {};

void CmDecoderDeleter::operator()(CmDecoder* decoder) const noexcept { delete decoder; }

CmDecoderPtr createCmDecoder(std::uint32_t, std::uint32_t, std::uint32_t) { return nullptr; }

void resetCmAdaptation(CmDecoder&) {}

void decodeCmBlock(CmDecoder&, std::span<const std::uint8_t>, std::uint8_t*, std::uint32_t) {}

class CmEncoder {};

void CmEncoderDeleter::operator()(CmEncoder* encoder) const noexcept { delete encoder; }

CmEncoderPtr createCmEncoder(std::uint32_t, std::uint32_t, std::uint32_t) { return nullptr; }

void resetCmAdaptation(CmEncoder&) {}

std::vector<std::uint8_t> encodeCmBlock(CmEncoder&, std::span<const std::uint8_t>) { return {}; }

}  // namespace quorvex::cm
