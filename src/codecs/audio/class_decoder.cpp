#include "codecs/audio/class_decoder.hpp"

#include <bit>
#include <cstring>

#include "codecs/audio/audio_classes.hpp"
#include "model/binary_coder.hpp"

namespace quorvex::audio {
namespace {

// One channel's stream in the middle of decoding.
//
// A class is six decisions, each waiting for the one before. To keep that path short,
// every node's split probability is kept in `split` (refreshed right after the node
// learns), and the two children's probabilities are fetched together while the
// parent's bit is decoded; the bit then only picks one of them. The decisions do not
// branch on their bit, which a processor would guess wrong about as often as the
// coder is uncertain.
class ClassStream {
 public:
  ClassStream(ClassModel& model, std::span<const std::uint8_t> bytes, std::uint8_t* classes, std::uint32_t n)
      : coder_(bytes), model_(&model), classes_(classes), n_(n), maxSteps_(static_cast<std::uint32_t>(std::bit_width(n)) - 1u) {
    for (std::uint32_t node = 1; node < 64; ++node) split_[node] = nodeSplit(node);
  }

  bool done() const { return i_ >= n_; }

  // Decodes one class, and the zero run that may follow it.
  [[gnu::always_inline]] void step() {
    const std::uint32_t cls = decodeClass();
    classes_[i_++] = static_cast<std::uint8_t>(cls);
    if (cls != 0) {
      zeros_ = 0;
      return;
    }
    if (++zeros_ < kZerosBeforeRun || i_ == n_) return;
    const std::uint32_t run = codeZeroRun(coder_, *model_, maxSteps_, 0);
    const std::uint32_t fill = run < n_ - i_ ? run : n_ - i_;
    std::memset(classes_ + i_, 0, fill);
    i_ += fill;
  }

 private:
  // The split point of a node: the mean of the bucket pair its state picks, in 12 bits.
  std::uint16_t nodeSplit(std::uint32_t node) {
    const std::uint16_t* buckets = model_->nodeMap(node) + (model_->nodeState(node) >> 13);
    return static_cast<std::uint16_t>((std::uint32_t{buckets[0]} + buckets[1] + 1u) >> 5);
  }

  [[gnu::always_inline]] std::uint32_t decodeClass() {
    std::uint32_t node = 1;
    std::uint32_t p = split_[1];
#pragma GCC unroll 6
    for (std::uint32_t level = 0; level < 6; ++level) {
      const std::uint32_t zeroChild = split_[2 * node];
      const std::uint32_t oneChild = split_[2 * node + 1];
      const std::uint32_t bit = coder_.decodeBitWithoutBranch(p);
      learn(node, bit);
      node = 2 * node + bit;
      p = bit ? oneChild : zeroChild;
    }
    return 127u - node;
  }

  // The node's state and its bucket pair move toward the bit, as codeClass does; then
  // the node's split is read afresh from its new state.
  [[gnu::always_inline]] void learn(std::uint32_t node, std::uint32_t bit) {
    std::uint16_t* cells = model_->cells.data();
    std::uint16_t* map = cells + ClassModel::kMapBase + ClassModel::kMapColumns * node;
    const std::int32_t state = cells[node];
    std::uint16_t* buckets = map + (state >> 13);
    const std::int32_t low = buckets[0];
    const std::int32_t high = buckets[1];
    const std::int32_t stateTarget = bit ? 65536 : 0;
    const std::int32_t bucketTarget = bit ? 65662 : 0;
    const auto newState = static_cast<std::uint16_t>(state + ((stateTarget - state + 4) >> 3));
    cells[node] = newState;
    buckets[0] = static_cast<std::uint16_t>(low + ((bucketTarget - low) >> 7));
    buckets[1] = static_cast<std::uint16_t>(high + ((bucketTarget - high) >> 7));
    const std::uint16_t* next = map + (newState >> 13);
    split_[node] = static_cast<std::uint16_t>((std::uint32_t{next[0]} + next[1] + 1u) >> 5);
  }

  BinaryDecoder coder_;
  ClassModel* model_;
  std::uint8_t* classes_;
  std::uint32_t n_;
  std::uint32_t maxSteps_;
  std::uint32_t i_ = 0;
  std::uint32_t zeros_ = 0;
  // Indices 64..127 are the leaves' children: read with the last pair, never used.
  alignas(64) std::array<std::uint16_t, 128> split_{};
};

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
    ClassStream stream(models[0], first, classes, frames);
    while (!stream.done()) stream.step();
    return firstEnd;
  }
  std::span<const std::uint8_t> second;
  if (!streamBytes(input.subspan(firstEnd), second)) return 0;
  ClassStream a(models[0], first, classes, frames);
  ClassStream b(models[1], second, classes + frames, frames);
  // Two independent chains of decisions in one loop: the processor works on both.
  while (!a.done() && !b.done()) {
    a.step();
    b.step();
  }
  while (!a.done()) a.step();
  while (!b.done()) b.step();
  return firstEnd + 2 + second.size();
}

}  // namespace quorvex::audio
