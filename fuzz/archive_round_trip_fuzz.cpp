// Arbitrary bytes through the archive maker with every codec, then the decoder: the
// output must be the bytes, and the integrity records must verify. The first byte
// chooses the block size; the rest is the data: its first three quarters cut into
// blocks that cycle through stored, BWT and LZ, the last quarter context-mixing blocks
// of one section.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "container/archive_decoder.hpp"
#include "quorvex/archive_writer.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  if (size < 1 || size > (1u << 14)) return 0;
  const std::size_t blockSize = 64 + std::size_t{bytes[0]} * 16;
  const std::span<const std::uint8_t> data(bytes + 1, size - 1);
  const std::size_t cmStart = data.size() - data.size() / 4;

  quorvex::ArchiveWriter writer;
  std::size_t index = 0;
  for (std::size_t offset = 0; offset < cmStart; offset += blockSize, ++index) {
    const auto block = data.subspan(offset, std::min(blockSize, cmStart - offset));
    switch (index % 3) {
      case 0: writer.addStoredBwtBlock(block); break;
      case 1: writer.addBwtBlock(block); break;
      case 2: writer.addLzBlock(block); break;
    }
  }
  if (cmStart < data.size()) writer.addCmParams(20, 18, 0);
  for (std::size_t offset = cmStart; offset < data.size(); offset += blockSize, ++index) {
    writer.addCmBlock(data.subspan(offset, std::min(blockSize, data.size() - offset)), (index & 1) != 0);
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
