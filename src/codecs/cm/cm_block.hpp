// The block loop of the context-mixing codec, one body for both directions: every bit
// is coded with the model's pending probability, then the model learns it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codecs/cm/cm_model.hpp"

namespace quorvex::cm {

// Codes `count` bytes. The encoder reads them from `bytes`; the decoder writes them there.
template <class Coder, class Byte>
void codeCmBytes(CmModel& model, Coder& coder, Byte* bytes, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    std::uint32_t byte = 0;
    if constexpr (Coder::isEncoder) byte = bytes[i];
    for (std::uint32_t k = 8; k-- > 0;) model.update(coder.codeBit(model.p(), (byte >> k) & 1));
    if constexpr (!Coder::isEncoder) bytes[i] = model.lastByte();
  }
}

}  // namespace quorvex::cm
