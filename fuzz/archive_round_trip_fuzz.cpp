// Arbitrary bytes through the archive maker with every codec, then the decoder: the
// output must be the bytes, and the integrity records must verify. The first byte
// chooses the block size; the rest is the data, cut into blocks that cycle through the
// codecs (stored, BWT, LZ, context mixing).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "container/archive_decoder.hpp"
#include "quorvex/archive_writer.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  if (size < 1 || size > (1u << 16)) return 0;
  const std::size_t blockSize = 1 + std::size_t{bytes[0]} * 16;
  const std::span<const std::uint8_t> data(bytes + 1, size - 1);

  quorvex::ArchiveWriter writer;
  for (std::size_t offset = 0, index = 0; offset < data.size(); offset += blockSize, ++index) {
    const auto block = data.subspan(offset, std::min(blockSize, data.size() - offset));
    switch (index % 4) {
      case 0: writer.addStoredBwtBlock(block); break;
      case 1: writer.addBwtBlock(block); break;
      case 2: writer.addLzBlock(block); break;
      case 3:
        if (!writer.cmMode()) writer.addCmParams(20, 18, 0);
        writer.addCmBlock(block, (index & 4) != 0);
        writer.addCodecParams({0, 0, 0, 0, 1});
        break;
    }
  }

  // One set of buffers for the whole run, with little room left: the blocks are small.
  static quorvex::DecodeContext context = [] {
    quorvex::DecodeContext fresh;
    if (!fresh.allocate()) __builtin_trap();
    return fresh;
  }();
  context.historyCursor = context.historyEnd - (std::uint32_t{1} << 20);
  quorvex::RecordStream stream(writer.bytes());
  if (!quorvex::checkArchiveHeader(stream)) std::abort();
  quorvex::OutputImage output;
  const quorvex::DecodeResult result = quorvex::decodeRecords(stream, context, output, {});
  if (!result.ok() || output.size() != data.size()) std::abort();
  if (!std::equal(data.begin(), data.end(), output.bytes().begin())) std::abort();
  return 0;
}
