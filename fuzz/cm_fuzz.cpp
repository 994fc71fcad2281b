// Fuzz target of the context-mixing codec. The first bytes choose the parameters and
// the block split; the rest is decoded as a hostile payload, and also round-tripped
// through the encoder, which must give it back exactly.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "codecs/cm/cm_codec.hpp"

namespace {

using namespace quorvex::cm;

void decodeHostile(std::uint32_t tableBitsA, std::uint32_t tableBitsB, std::uint32_t historySize,
                   std::span<const std::uint8_t> payload, std::uint32_t unpackedSize) {
  CmDecoderPtr decoder = createCmDecoder(tableBitsA, tableBitsB, historySize);
  if (!decoder) return;
  std::vector<std::uint8_t> out(unpackedSize);
  const std::size_t half = payload.size() / 2;
  decodeCmBlock(*decoder, payload.first(half), out.data(), unpackedSize);
  resetCmAdaptation(*decoder);
  decodeCmBlock(*decoder, payload.subspan(half), out.data(), unpackedSize / 2);
}

void roundTrip(std::uint32_t tableBitsA, std::uint32_t tableBitsB, std::uint32_t historySize,
               std::span<const std::uint8_t> data, std::size_t split, bool reset) {
  CmEncoderPtr encoder = createCmEncoder(tableBitsA, tableBitsB, historySize);
  CmDecoderPtr decoder = createCmDecoder(tableBitsA, tableBitsB, historySize);
  if (!encoder || !decoder) std::abort();
  split = std::min(split, data.size());
  const std::span<const std::uint8_t> blocks[] = {data.first(split), data.subspan(split)};
  for (std::size_t i = 0; i < 2; ++i) {
    if (reset && i == 1) {
      resetCmAdaptation(*encoder);
      resetCmAdaptation(*decoder);
    }
    const std::vector<std::uint8_t> payload = encodeCmBlock(*encoder, blocks[i]);
    std::vector<std::uint8_t> out(blocks[i].size());
    decodeCmBlock(*decoder, payload, out.data(), static_cast<std::uint32_t>(out.size()));
    if (!std::equal(out.begin(), out.end(), blocks[i].begin())) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  if (size < 4) return 0;
  // Small tables (bit counts taken modulo 32 land on 0..7 and 18..23) and windows
  // from 2 bytes up, so that wrap-around is common.
  const std::uint32_t tableBitsA = bytes[0] & 7 ? 18 + (bytes[0] & 7) : 32 + (bytes[0] >> 5);
  const std::uint32_t tableBitsB = bytes[1] & 7 ? 16 + (bytes[1] & 7) : 32 + (bytes[1] >> 5);
  const std::uint32_t historySize = 2 + std::uint32_t{bytes[2]} * 37;
  const std::span<const std::uint8_t> rest(bytes + 4, size - 4);
  decodeHostile(tableBitsA, tableBitsB, historySize, rest, static_cast<std::uint32_t>(rest.size()) * 3 + bytes[3]);
  roundTrip(tableBitsA, tableBitsB, historySize, rest, std::size_t{bytes[3]} * 4, (bytes[3] & 1) != 0);
  return 0;
}
