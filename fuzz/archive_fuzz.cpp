// Decodes arbitrary bytes as an archive (the header is supplied, so every input
// reaches the record loop). The buffers are allocated once and reused: the fuzzer
// looks for crashes and out-of-bounds accesses, not for reproducible output.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "decode/archive_decoder.hpp"
#include "format/block_descriptor.hpp"
#include "format/codec_params.hpp"
#include "quorvex/archive_writer.hpp"

namespace {

// Valid blocks of any size take time in proportion to what they decode, and teach the
// fuzzer nothing that small ones do not: inputs whose blocks claim more than this
// budget are passed over. Under the sanitizers a context-mixing byte costs as much as
// a few hundred bytes of the other codecs, an audio byte as a few.
constexpr std::uint64_t kDecodeBudget = std::uint64_t{1} << 18;
constexpr std::uint64_t kContextMixingWeight = 256;
constexpr std::uint64_t kAudioWeight = 4;
// Context-mixing models are built afresh for every input; larger ones are refused.
constexpr std::uint64_t kModelMemoryLimit = std::uint64_t{64} << 20;

bool withinBudget(std::span<const std::uint8_t> archive) {
  quorvex::RecordStream stream(archive);
  quorvex::checkArchiveHeader(stream);
  bool cmMode = false;
  std::uint64_t cost = 0;
  while (!stream.atEnd()) {
    const quorvex::RecordHead head = stream.readRecordHead();
    if (head.type == 0) {
      const auto block = quorvex::parseBlockDescriptor(stream, cmMode);
      const std::uint64_t weight = block.codecKind == 2 ? kAudioWeight : cmMode ? kContextMixingWeight : 1;
      cost += std::uint64_t{block.packedSize} + block.unpackedSize * weight;
      if (cost > kDecodeBudget) return false;
    } else if (head.type == 11) {
      cmMode = quorvex::readCodecParams(stream, head.count).contextMixing();
    } else {
      stream.skipBytes(head.count);
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static quorvex::DecodeContext context = [] {
    quorvex::DecodeContext fresh;
    if (!fresh.allocate()) __builtin_trap();
    return fresh;
  }();
  std::vector<std::uint8_t> archive = quorvex::ArchiveWriter().bytes();
  archive.insert(archive.end(), data, data + size);
  if (!withinBudget(archive)) return -1;
  // Little room left in the window: what a block may expand to (a BWT payload, the
  // post-stages) is bounded by the room, so the expansions stay small too.
  context.historyCursor = context.historyEnd - (std::uint32_t{2} << 20);
  quorvex::RecordStream stream(archive);
  if (!quorvex::checkArchiveHeader(stream)) __builtin_trap();
  quorvex::OutputImage output;
  quorvex::DecodeOptions options;
  options.memoryLimit = kModelMemoryLimit;
  quorvex::decodeRecords(stream, context, output, options);
  return 0;
}
