#include "container/archive_decoder.hpp"

#include "container/console.hpp"
#include "container/dispatcher.hpp"

namespace quorvex {
namespace {

// A codec-parameter record replaces the active parameters; codec id 7 also builds a
// fresh context-mixing model. The old model is released first so that two never
// coexist in memory.
void applyCodecParams(RecordStream& stream, std::uint32_t count, CodecState& codecs) {
  // Only min(count, 4) bytes are read; the next record head follows right after them.
  codecs.params = readCodecParams(stream, count);
  if (codecs.params.contextMixing()) {
    codecs.cm.reset();
    codecs.cm = cm::createCmDecoder(codecs.params.tableBitsA, codecs.params.tableBitsB, codecs.params.historySize);
  }
}

}  // namespace

DecodeResult decodeRecords(RecordStream& stream, DecodeContext& context, OutputImage& output,
                           const DecodeOptions& options) {
  DecodeResult result;
  const Console console(options.console);
  CodecState codecs;
  std::uint32_t blockIndex = 0;
  while (!stream.atEnd()) {
    const RecordHead head = stream.readRecordHead();
    switch (head.type) {
      case static_cast<std::uint32_t>(RecordType::block): {
        std::string failure;
        if (!decodeBlock(stream, context, codecs, output, console, failure)) {
          result.status = DecodeStatus::blockFailed;
          result.failedBlock = blockIndex;
          result.reason = "block " + std::to_string(blockIndex) + ": " + failure;
          return result;
        }
        ++blockIndex;
        break;
      }
      case static_cast<std::uint32_t>(RecordType::codecParams):
        applyCodecParams(stream, head.count, codecs);
        break;
      default:
        stream.skipBytes(head.count);
        break;
    }
  }
  return result;
}

DecodeResult decodeArchive(std::span<const std::uint8_t> archive, OutputImage& output, const DecodeOptions& options) {
  DecodeResult result;
  RecordStream stream(archive);
  if (!checkArchiveHeader(stream)) {
    result.status = DecodeStatus::badHeader;
    result.reason = "the archive does not start with the Quorvex signature and version records";
    return result;
  }
  DecodeContext context;
  if (!context.allocate()) {
    result.status = DecodeStatus::outOfMemory;
    result.reason = "not enough memory for the history window and work buffers";
    return result;
  }
  return decodeRecords(stream, context, output, options);
}

}  // namespace quorvex
