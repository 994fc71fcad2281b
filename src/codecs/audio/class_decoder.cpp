#include "codecs/audio/class_decoder.hpp"

#include <bit>
#include <cstring>

#include "codecs/audio/audio_classes.hpp"
#include "model/binary_coder.hpp"

namespace quorvex::audio {
namespace {

// The split point of a node: the mean of the bucket pair its state picks, in 12 bits.
[[gnu::always_inline]] inline std::uint32_t nodeSplit(const std::uint16_t* cells, std::uint32_t node, std::uint32_t state) {
  const std::uint16_t* buckets = cells + ClassModel::kMapBase + ClassModel::kMapColumns * node + (state >> 13);
  return (std::uint32_t{buckets[0]} + buckets[1] + 1u) >> 5;
}

// One class: six decisions down the node tree, as codeClass decodes it.
//
// The decisions wait for each other. To keep that path short, every node's split is
// kept in `split` (refreshed right after the node learns) and both children's splits
// are fetched while the parent's bit is decoded; the bit then only picks one. The
// decisions do not branch on their bit, which a processor would guess wrong about as
// often as the coder is uncertain.
[[gnu::always_inline]] inline std::uint32_t decodeClass(BinaryDecoder& coder, std::uint16_t* cells,
                                                        std::uint16_t* split) {
  std::uint32_t node = 1;
  std::uint32_t p = split[1];
  for (std::uint32_t level = 0; level < 6; ++level) {
    const std::uint32_t zeroChild = split[2 * node];
    const std::uint32_t oneChild = split[2 * node + 1];
    const std::uint32_t bit = coder.decodeBitWithoutBranch(p);
    // The node's state and its bucket pair move toward the bit (targets 65536 and
    // 65662), then the node's split is read afresh from its new state.
    const std::int32_t state = cells[node];
    std::uint16_t* buckets = cells + ClassModel::kMapBase + ClassModel::kMapColumns * node + (state >> 13);
    const std::int32_t low = buckets[0];
    const std::int32_t high = buckets[1];
    const auto stateTarget = static_cast<std::int32_t>(bit << 16);
    const auto bucketTarget = static_cast<std::int32_t>((0u - bit) & 65662u);
    const auto newState = static_cast<std::uint32_t>(state + ((stateTarget - state + 4) >> 3)) & 0xFFFFu;
    cells[node] = static_cast<std::uint16_t>(newState);
    buckets[0] = static_cast<std::uint16_t>(low + ((bucketTarget - low) >> 7));
    buckets[1] = static_cast<std::uint16_t>(high + ((bucketTarget - high) >> 7));
    split[node] = static_cast<std::uint16_t>(nodeSplit(cells, node, newState));
    node = 2 * node + bit;
    p = bit ? oneChild : zeroChild;
  }
  return 127u - node;
}

// One channel's n classes (n >= 1); after the seventh zero in a row each zero is
// followed by a run length of further zeros. Coder and splits are locals, so that
// they stay in registers and the model's stores cannot be taken to alias them.
void decodeStream(ClassModel& model, std::span<const std::uint8_t> bytes, std::uint8_t* classes, std::uint32_t n) {
  BinaryDecoder coder(bytes);
  std::uint16_t* cells = model.cells.data();
  // Indices 64..127 are the leaves' children: read with the last pair, never used.
  alignas(64) std::uint16_t split[128] = {};
  for (std::uint32_t node = 1; node < 64; ++node) split[node] = static_cast<std::uint16_t>(nodeSplit(cells, node, cells[node]));
  const std::uint32_t maxSteps = static_cast<std::uint32_t>(std::bit_width(n)) - 1u;
  std::uint32_t zeros = 0;
  std::uint32_t i = 0;
  while (i < n) {
    const std::uint32_t cls = decodeClass(coder, cells, split);
    classes[i++] = static_cast<std::uint8_t>(cls);
    if (cls != 0) {
      zeros = 0;
      continue;
    }
    if (++zeros < kZerosBeforeRun || i == n) continue;
    const std::uint32_t run = codeZeroRun(coder, model, maxSteps, 0);
    const std::uint32_t fill = run < n - i ? run : n - i;
    std::memset(classes + i, 0, fill);
    i += fill;
  }
}

// The bytes of one stream after its length field, or an empty span with ok false.
bool streamBytes(std::span<const std::uint8_t> input, std::span<const std::uint8_t>& bytes) {
  if (input.size() < 2) return false;
  const std::size_t length = input[0] | (std::size_t{input[1]} << 8);
  if (length > input.size() - 2) return false;
  bytes = input.subspan(2, length);
  return true;
}

}  // namespace

std::size_t decodeClassStreams(std::array<ClassModel, 2>& models, std::span<const std::uint8_t> input,
                               std::uint32_t channels, std::uint8_t* classes, std::uint32_t frames) {
  std::span<const std::uint8_t> first;
  if (!streamBytes(input, first)) return 0;
  const std::size_t firstEnd = 2 + first.size();
  if (channels == 1) {
    decodeStream(models[0], first, classes, frames);
    return firstEnd;
  }
  std::span<const std::uint8_t> second;
  if (!streamBytes(input.subspan(firstEnd), second)) return 0;
  decodeStream(models[0], first, classes, frames);
  decodeStream(models[1], second, classes + frames, frames);
  return firstEnd + 2 + second.size();
}

}  // namespace quorvex::audio
