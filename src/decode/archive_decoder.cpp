#include "decode/archive_decoder.hpp"

#include <algorithm>
#include <thread>

#include "decode/console.hpp"
#include "decode/decoded_output.hpp"
#include "decode/dispatcher.hpp"
#include "format/integrity.hpp"
#include "format/member_record.hpp"
#include "decode/parallel_decoder.hpp"

namespace quorvex {
namespace {

DecodeResult failed(DecodeStatus status, std::string reason, const DecodedOutput& output,
                    std::uint64_t completeSize) {
  DecodeResult result;
  result.status = status;
  result.reason = std::move(reason);
  result.outputSize = output.size();
  result.completeOutputSize = completeSize;
  return result;
}

}  // namespace

DecodeResult decodeRecords(RecordStream& stream, DecodeContext& context, OutputSink& sink,
                           const DecodeOptions& options) {
  const Console console(options.console);
  CodecState codecs;
  codecs.memoryLimit = options.memoryLimit;
  DecodedOutput output(sink);
  IntegrityVerifier integrity;
  std::string failure;
  std::uint32_t blockIndex = 0;
  // The output of the blocks that decoded whole, and how much of it the last integrity
  // record that matched vouches for: after a failed check only that much can be kept.
  std::uint64_t wholeSize = 0;
  std::uint64_t verifiedSize = 0;
  bool barrierNext = false;  // the first block record after a member record is its barrier
  while (!stream.atEnd()) {
    const RecordHead head = stream.readRecordHead();
    switch (head.type) {
      case static_cast<std::uint32_t>(RecordType::block): {
        if (passBarrierIfDue(stream, codecs.params.contextMixing(), barrierNext)) break;
        const bool decoded = decodeBlock(stream, context, codecs, output, console, failure);
        if (output.failed()) {
          return failed(DecodeStatus::outputFailed, "the output could not be written", output, wholeSize);
        }
        if (!decoded) {
          DecodeResult result =
              failed(DecodeStatus::blockFailed, "block " + std::to_string(blockIndex) + ": " + failure, output, wholeSize);
          result.failedBlock = blockIndex;
          return result;
        }
        wholeSize = output.size();
        ++blockIndex;
        break;
      }
      case static_cast<std::uint32_t>(RecordType::codecParams):
        applyCodecParams(stream, head.count, codecs);
        break;
      case kIntegrityRecordType:
        if (!integrity.verifyRecord(stream, head.count, output.hash(), failure)) {
          return failed(DecodeStatus::checkFailed, "after block " + std::to_string(blockIndex) + ": " + failure, output,
                        verifiedSize);
        }
        verifiedSize = output.size();
        break;
      case kMemberRecordType:
        if (passMemberRecord(stream, head.count) && !options.ignoreMemberRecords) {
          startMember(context, codecs);
          barrierNext = true;
        }
        break;
      default:
        stream.skipBytes(head.count);
        break;
    }
  }
  if (!integrity.verifyEnd(stream, failure)) return failed(DecodeStatus::checkFailed, failure, output, verifiedSize);
  DecodeResult result;
  result.outputSize = output.size();
  result.completeOutputSize = result.outputSize;
  return result;
}

bool startsWithArchiveHeader(std::span<const std::uint8_t> bytes) {
  static_assert(kArchiveHeaderBytes == kArchiveHeaderSize);
  RecordStream stream(bytes);
  return checkArchiveHeader(stream);
}

DecodeResult decodeArchive(std::span<const std::uint8_t> archive, OutputSink& output, const DecodeOptions& options) {
  DecodeResult result;
  RecordStream stream(archive);
  if (!checkArchiveHeader(stream)) {
    result.status = DecodeStatus::badHeader;
    result.reason = "the archive does not start with the Quorvex signature and version records";
    return result;
  }
  DecodeOptions resolved = options;
  if (resolved.threads == kThreadsPerCore) resolved.threads = std::max(1u, std::thread::hardware_concurrency());
  DecodeContext context;
  context.threads = resolved.threads;
  if (!context.allocate(options.windowSize)) {
    result.status = DecodeStatus::outOfMemory;
    result.reason = "not enough memory for the history window and work buffers";
    return result;
  }
  if (resolved.threads > 1) return decodeRecordsInParallel(archive, stream, context, output, resolved);
  return decodeRecords(stream, context, output, resolved);
}

}  // namespace quorvex
