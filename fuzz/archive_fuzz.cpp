// Decodes arbitrary bytes as an archive (the header is supplied, so every input
// reaches the record loop). The buffers are allocated once and reused: the fuzzer
// looks for crashes and out-of-bounds accesses, not for reproducible output.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "container/archive_decoder.hpp"
#include "container/block_descriptor.hpp"
#include "container/codec_params.hpp"
#include "quorvex/archive_writer.hpp"

namespace {

// Large blocks are valid but take seconds to decode; they teach the fuzzer nothing
// that small ones do not, so inputs that hold one are passed over.
constexpr std::uint32_t kLargestBlock = 1u << 20;

bool holdsOnlySmallBlocks(std::span<const std::uint8_t> archive) {
  quorvex::RecordStream stream(archive);
  quorvex::checkArchiveHeader(stream);
  bool cmMode = false;
  while (!stream.atEnd()) {
    const quorvex::RecordHead head = stream.readRecordHead();
    if (head.type == 0) {
      const auto block = quorvex::parseBlockDescriptor(stream, cmMode);
      if (block.packedSize > kLargestBlock || block.unpackedSize > kLargestBlock) return false;
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
  if (!holdsOnlySmallBlocks(archive)) return -1;
  context.historyCursor = context.historyBase;
  quorvex::RecordStream stream(archive);
  if (!quorvex::checkArchiveHeader(stream)) __builtin_trap();
  quorvex::OutputImage output;
  quorvex::decodeRecords(stream, context, output, {});
  return 0;
}
