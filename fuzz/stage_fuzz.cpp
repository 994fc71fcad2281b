// Feeds arbitrary blocks and side data to the entry points behind the codecs: run
// starts, the inverse transform, the match stages, the word-run and strided delta
// stages and the text transforms. The first byte picks the entry point, the next two
// how much of the rest is side data, the next two the output capacity; every output
// buffer is sized exactly, so any step outside it is reported.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "codecs/bwt/bwt_transform.hpp"
#include "codecs/bwt/history_matches.hpp"
#include "codecs/bwt/local_matches.hpp"
#include "codecs/bwt/run_starts.hpp"
#include "model/binary_coder.hpp"
#include "stages/strided_delta.hpp"
#include "stages/word_runs.hpp"
#include "text/text_pipeline.hpp"

namespace {

using namespace quorvex;

struct Input {
  std::span<const std::uint8_t> side;
  std::span<const std::uint8_t> block;
  std::uint32_t capacity;
  std::uint8_t detail;  // a stage's own choice (the transform bits, the primary index)
};

void runStarts(const Input& in) {
  static bwt::RunStartModel model;
  model.reset();
  const std::uint32_t n = in.capacity;
  std::vector<std::uint8_t> output(n);
  if (bwt::decodeRunStarts(model, in.side, in.block, output.data(), n) > bwt::kRunOutOfRange) __builtin_trap();
}

void inverseTransform(const Input& in) {
  const std::uint32_t n = static_cast<std::uint32_t>(in.block.size());
  // Room short of what the inverse needs for every fourth input.
  const std::size_t room = (in.detail & 3) == 0 ? n + (in.capacity % (4 * n + 4)) : bwt::inverseBwtRoom(n);
  std::vector<std::uint8_t> buffer(std::max<std::size_t>({room, n, 1}));
  std::memcpy(buffer.data(), in.block.data(), n);
  const std::uint32_t primary = n == 0 ? in.detail : (in.capacity + in.detail) % (n + 1);
  bwt::inverseBwt(buffer.data(), n, primary, room);
}

void localMatches(const Input& in) {
  std::vector<std::uint8_t> output(in.capacity);
  const std::uint32_t n = static_cast<std::uint32_t>(in.block.size());
  if (bwt::expandLocalMatches(in.side, in.block.data(), n, output.data(), in.capacity) > in.capacity) __builtin_trap();
}

void historyMatches(const Input& in) {
  // The history is the side data's tail half, the match stream its head.
  const std::size_t half = in.side.size() / 2;
  std::vector<std::uint8_t> output(in.capacity);
  const std::uint32_t n = static_cast<std::uint32_t>(in.block.size());
  const std::uint32_t length =
      bwt::expandHistoryMatches(in.side.first(half), in.block.data(), n, output.data(), in.capacity, in.side.subspan(half));
  if (length > in.capacity) __builtin_trap();
}

void wordRuns(const Input& in) {
  BinaryDecoder decoder(in.side);
  ClassTree tree;
  std::vector<std::uint8_t> output(in.capacity);
  std::uint32_t length = in.capacity;
  stages::expandWordRuns(decoder, tree, in.block.data(), static_cast<std::uint32_t>(in.block.size()), output.data(),
                         length);
  if (length > in.capacity) __builtin_trap();
}

void stridedDelta(const Input& in) {
  WordBitReader reader(in.side);
  std::vector<std::uint8_t> output(std::max<std::size_t>(in.block.size(), 1));  // never a null pointer
  stages::decodeDeltaRegions(reader, in.block.data(), static_cast<std::uint32_t>(in.block.size()), output.data());
}

void textTransforms(const Input& in) {
  // Numeric data is the side data's head half, line-break data its tail.
  const std::size_t half = in.side.size() / 2;
  const std::uint32_t n = static_cast<std::uint32_t>(in.block.size());
  const std::uint32_t capacity = std::max(in.capacity, n);
  std::vector<std::uint8_t> a(capacity), b(capacity);
  std::copy(in.block.begin(), in.block.end(), a.begin());
  text::TextTransformContext context =
      text::createTextTransformContext(in.side.first(half), in.side.subspan(half), (in.detail & 0x80) == 0);
  std::uint8_t* current = a.data();
  std::uint8_t* other = b.data();
  // The two bits blocks fail on are set only rarely.
  const std::uint8_t flags = in.detail & 0x3F;
  if (runTextTransforms(context, current, n, other, capacity, flags) > capacity) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 6 || size > (1u << 16)) return 0;
  const std::size_t rest = size - 6;
  const std::size_t sideSize = (std::size_t{data[1]} | std::size_t{data[2]} << 8) % (rest + 1);
  Input in;
  in.side = std::span<const std::uint8_t>(data + 6, sideSize);
  in.block = std::span<const std::uint8_t>(data + 6 + sideSize, rest - sideSize);
  in.capacity = (std::uint32_t{data[3]} | std::uint32_t{data[4]} << 8) % (8 * static_cast<std::uint32_t>(rest) + 64);
  in.detail = data[5];
  switch (data[0] % 7) {
    case 0: runStarts(in); break;
    case 1: inverseTransform(in); break;
    case 2: localMatches(in); break;
    case 3: historyMatches(in); break;
    case 4: wordRuns(in); break;
    case 5: stridedDelta(in); break;
    case 6: textTransforms(in); break;
  }
  return 0;
}
