// Decodes arbitrary bytes as an archive (the header is supplied, so every input
// reaches the record loop). The buffers are allocated once and reused: the fuzzer
// looks for crashes and out-of-bounds accesses, not for reproducible output.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "container/archive_decoder.hpp"
#include "quorvex/archive_writer.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static quorvex::DecodeContext context = [] {
    quorvex::DecodeContext fresh;
    if (!fresh.allocate()) __builtin_trap();
    return fresh;
  }();
  context.historyCursor = context.historyBase;
  std::vector<std::uint8_t> archive = quorvex::ArchiveWriter().bytes();
  archive.insert(archive.end(), data, data + size);
  quorvex::RecordStream stream(archive);
  if (!quorvex::checkArchiveHeader(stream)) __builtin_trap();
  quorvex::OutputImage output;
  quorvex::decodeRecords(stream, context, output, {});
  return 0;
}
