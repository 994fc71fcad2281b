// Fuzz target of the context-mixing codec. The first bytes choose one of eight model
// shapes, hostile decoding or a round trip, and the block split; the rest is decoded
// as a hostile payload, or round-tripped through the encoder, which must give it back
// exactly.
//
// Models are built once per shape and live for the whole run, as a model lives for a
// whole section of an archive: building one per input would spend nearly all the time
// allocating (and, under the address sanitizer, poisoning) tens of megabytes. The
// hostile decoder's state carries across inputs; the round-trip encoder and decoder
// carry theirs in step, since each decodes exactly what the other encoded.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "codecs/cm/cm_codec.hpp"

namespace {

using namespace quorvex::cm;

struct Shape {
  std::uint32_t tableBitsA;
  std::uint32_t tableBitsB;
  std::uint32_t historySize;
};

// The smallest tables a record can ask for (bit counts of 32 and more wrap to tiny
// tables) and the smallest regular ones; windows from 2 bytes up, so that collisions
// and wrap-around are common.
Shape shapeOf(std::uint32_t choice) {
  constexpr std::uint32_t kHistorySizes[] = {2, 37, 4096, 65536};
  const bool tiny = (choice & 1) != 0;
  return {tiny ? 33u : 20u, tiny ? 32u : 18u, kHistorySizes[choice >> 1 & 3]};
}

struct Models {
  CmDecoderPtr hostile;
  CmEncoderPtr encoder;
  CmDecoderPtr decoder;
};

Models& modelsFor(std::uint32_t choice) {
  static std::array<Models, 8> all;
  Models& models = all[choice];
  if (!models.hostile) {
    const Shape s = shapeOf(choice);
    models.hostile = createCmDecoder(s.tableBitsA, s.tableBitsB, s.historySize);
    models.encoder = createCmEncoder(s.tableBitsA, s.tableBitsB, s.historySize);
    models.decoder = createCmDecoder(s.tableBitsA, s.tableBitsB, s.historySize);
    if (!models.hostile || !models.encoder || !models.decoder) std::abort();
  }
  return models;
}

void decodeHostile(CmDecoder& decoder, std::span<const std::uint8_t> payload, std::uint32_t unpackedSize) {
  std::vector<std::uint8_t> out(unpackedSize);
  const std::size_t half = payload.size() / 2;
  decodeCmBlock(decoder, payload.first(half), out.data(), unpackedSize);
  resetCmAdaptation(decoder);
  decodeCmBlock(decoder, payload.subspan(half), out.data(), unpackedSize / 2);
}

void roundTrip(Models& models, std::span<const std::uint8_t> data, std::size_t split, bool reset) {
  split = std::min(split, data.size());
  const std::span<const std::uint8_t> blocks[] = {data.first(split), data.subspan(split)};
  for (std::size_t i = 0; i < 2; ++i) {
    if (reset && i == 1) {
      resetCmAdaptation(*models.encoder);
      resetCmAdaptation(*models.decoder);
    }
    const std::vector<std::uint8_t> payload = encodeCmBlock(*models.encoder, blocks[i]);
    std::vector<std::uint8_t> out(blocks[i].size());
    decodeCmBlock(*models.decoder, payload, out.data(), static_cast<std::uint32_t>(out.size()));
    if (!std::equal(out.begin(), out.end(), blocks[i].begin())) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  // Every byte costs a few hundred model lookups (tens of microseconds under the
  // sanitizers): an input either decodes a hostile payload or makes a round trip, and
  // at most kMostBytes, so that the fuzzer runs at hundreds of inputs a second. Depth
  // comes from the models, which carry their state from one input to the next.
  constexpr std::size_t kMostBytes = 160;
  if (size < 3) return 0;
  Models& models = modelsFor(bytes[0] & 7);
  const std::span<const std::uint8_t> rest(bytes + 3, std::min(size - 3, kMostBytes));
  if ((bytes[0] & 16) != 0) {
    decodeHostile(*models.hostile, rest, static_cast<std::uint32_t>(rest.size()) + (bytes[1] & 31u));
  } else {
    roundTrip(models, rest, std::size_t{bytes[2]}, (bytes[0] & 8) != 0);
  }
  return 0;
}
