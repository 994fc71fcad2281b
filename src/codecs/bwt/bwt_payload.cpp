#include "codecs/bwt/bwt_payload.hpp"

namespace quorvex::bwt {

// Placeholder until the entropy-coded BWT payload decoder lands: such blocks fail.
std::uint32_t decodeBwtPayload(std::uint8_t*, std::uint32_t, std::uint32_t, const RoundTrace&) { return 0; }

std::vector<std::uint8_t> encodeBwtPayload(std::span<const std::uint8_t>) { return {}; }

}  // namespace quorvex::bwt
