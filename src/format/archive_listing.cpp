// Listing walks the records exactly as the decoder's record loop does (same heads,
// same descriptor parser, same mode switches) but reads only descriptors and trailers.
#include "quorvex/archive_listing.hpp"

#include <algorithm>

#include "codecs/bwt/backward_number.hpp"
#include "format/block_descriptor.hpp"
#include "format/codec_params.hpp"
#include "format/integrity.hpp"
#include "format/member_record.hpp"
#include "format/record_stream.hpp"

namespace quorvex {
namespace {

constexpr std::uint32_t kBwtSegments = 256;

ListedCodec blockCodec(const BlockDescriptor& block, bool cmMode) {
  switch (static_cast<CodecKind>(block.codecKind)) {
    case CodecKind::audio:
      return ListedCodec::audio;
    case CodecKind::bwt:
      if (!cmMode) return block.sizePresent ? ListedCodec::bwt : ListedCodec::bwtStored;
      break;
    case CodecKind::lz:
      if (!cmMode) return ListedCodec::lz;
      break;
    default:
      break;
  }
  return cmMode ? ListedCodec::cm : ListedCodec::unsupported;
}

std::vector<ListedStage> blockStages(const BlockDescriptor& block) {
  std::vector<ListedStage> stages;
  const auto add = [&stages](std::string_view name, const StageData& stage) {
    if (stage.enabled()) stages.push_back({name, static_cast<std::uint32_t>(stage.data.size())});
  };
  add("local-matches", block.bwtStageA);
  add("history-matches", block.bwtStageB);
  add("word-runs", block.wordRun);
  add("delta", block.delta);
  if (block.textTransformFlag) {
    stages.push_back({"text", static_cast<std::uint32_t>(block.lineBreakData.size() + block.numericData.size())});
  }
  add("branch-targets", block.branchTarget);
  return stages;
}

// The segment table of an entropy-coded BWT payload (its trailer, read backwards from
// the payload's end, segment 255 first), then each coded segment's own trailer. The
// coded segments stand back to back in segment order in front of the payload trailer.
std::vector<ListedSegment> bwtSegments(std::span<const std::uint8_t> payload) {
  const std::uint8_t* start = payload.data();
  const std::uint8_t* cursor = start + payload.size();
  std::vector<ListedSegment> segments;
  std::uint32_t pendingEmpty = 0;
  for (std::uint32_t i = kBwtSegments; i-- > 0;) {
    if (pendingEmpty > 0) {
      --pendingEmpty;
    } else if (const std::uint32_t length = bwt::readBackwardNumber(start, cursor); length != 0) {
      segments.insert(segments.begin(), ListedSegment{i, bwt::readBackwardNumber(start, cursor), length, 0, false});
    } else {
      pendingEmpty = bwt::readBackwardNumber(start, cursor);
    }
  }
  std::uint64_t segmentStart = 0;
  const std::uint64_t trailerStart = static_cast<std::uint64_t>(cursor - start);
  for (ListedSegment& segment : segments) {
    if (segment.codedLength == 0) continue;  // never decoded: its bytes stand as they are
    const std::uint64_t segmentEnd = segmentStart + segment.codedLength;
    if (segmentEnd > trailerStart) break;  // a broken table: list it as it stands
    const std::uint8_t* segmentBase = start + segmentStart;
    const std::uint8_t* trailer = start + segmentEnd;
    segment.runBytesSaved = bwt::readBackwardNumber(segmentBase, trailer);
    if (segment.runBytesSaved != 0 && segment.runBytesSaved < segment.length) {
      bwt::readBackwardNumber(segmentBase, trailer);  // length of the run-count stream
    }
    segment.runStartCoded = bwt::readBackwardNumber(segmentBase, trailer) != 0;
    segmentStart = segmentEnd;
  }
  return segments;
}

void listBlock(RecordStream& stream, bool cmMode, bool segmentDetail, ListedRecord& record) {
  const BlockDescriptor block = parseBlockDescriptor(stream, cmMode);
  record.codec = blockCodec(block, cmMode);
  record.codecKind = block.codecKind;
  record.packedSize = block.packedSize;
  record.payloadComplete = block.payload.size() == block.packedSize;
  record.codecOutputSize = record.codec == ListedCodec::bwtStored ? block.packedSize : block.unpackedSize;
  record.bwtPrimaryIndex = block.bwtPrimaryIndex;
  record.audioReset = block.audioReset;
  record.textTransformBits = block.textTransformBits;
  record.stages = blockStages(block);
  if (segmentDetail && record.codec == ListedCodec::bwt) record.segments = bwtSegments(block.payload);
}

void listIntegrity(RecordStream& stream, ListedRecord& record) {
  const std::span<const std::uint8_t> payload = stream.peekBytes(record.count);
  stream.skipBytes(record.count);
  if (payload.size() != kIntegrityRecordSize || record.count != kIntegrityRecordSize) return;
  if (!std::equal(kIntegrityMagic.begin(), kIntegrityMagic.end(), payload.begin())) return;
  record.kind = ListedRecordKind::integrity;
  record.integrityKind = payload[kIntegrityMagic.size()];
  constexpr std::size_t kSizeOffset = kIntegrityMagic.size() + 2;  // after the kind and hash id
  for (std::uint32_t i = 0; i < 8; ++i) {
    record.recordedOutputSize |= std::uint64_t{payload[kSizeOffset + i]} << (8 * i);
  }
}

}  // namespace

std::string_view codecName(ListedCodec codec) {
  switch (codec) {
    case ListedCodec::bwtStored:
      return "stored";
    case ListedCodec::bwt:
      return "BWT";
    case ListedCodec::lz:
      return "LZ";
    case ListedCodec::cm:
      return "CM";
    case ListedCodec::audio:
      return "audio";
    case ListedCodec::unsupported:
      break;
  }
  return "unsupported";
}

ArchiveListing listArchive(std::span<const std::uint8_t> archive, bool segmentDetail) {
  ArchiveListing listing;
  RecordStream stream(archive);
  if (!checkArchiveHeader(stream)) return listing;
  listing.headerValid = true;
  // The header's two records, as they stand in every valid archive.
  const auto headerRecord = [&listing](std::uint64_t offset, std::uint64_t size, RecordType type, ListedRecordKind kind,
                                       std::uint32_t count) {
    ListedRecord& record = listing.records.emplace_back();
    record.offset = offset;
    record.size = size;
    record.type = static_cast<std::uint32_t>(type);
    record.kind = kind;
    record.count = count;
  };
  headerRecord(0, 20, RecordType::signature, ListedRecordKind::signature, 18);
  headerRecord(20, 3, RecordType::version, ListedRecordKind::version, 1);

  bool cmMode = false;
  std::uint32_t blockIndex = 0;
  std::uint32_t member = 0;
  bool barrierNext = false;
  while (!stream.atEnd()) {
    ListedRecord record;
    record.offset = stream.offset();
    const RecordHead head = stream.readRecordHead();
    record.type = head.type;
    record.count = head.count;
    switch (head.type) {
      case static_cast<std::uint32_t>(RecordType::block):
        if (barrierNext) {
          record.kind = ListedRecordKind::barrier;
          listBlock(stream, cmMode, false, record);
          barrierNext = false;
          break;
        }
        record.kind = ListedRecordKind::block;
        record.blockIndex = blockIndex++;
        listBlock(stream, cmMode, segmentDetail, record);
        break;
      case kMemberRecordType: {
        if (!passMemberRecord(stream, head.count)) break;
        record.kind = ListedRecordKind::member;
        ++member;
        cmMode = false;  // codec parameters start at 0 in every member
        barrierNext = true;
        break;
      }
      case static_cast<std::uint32_t>(RecordType::codecParams): {
        record.kind = ListedRecordKind::codecParams;
        const CodecParams params = readCodecParams(stream, head.count);
        cmMode = params.contextMixing();
        record.codecId = params.codecId;
        record.historySize = params.historySize;
        record.tableBitsA = params.tableBitsA;
        record.tableBitsB = params.tableBitsB;
        break;
      }
      case kIntegrityRecordType:
        listIntegrity(stream, record);
        break;
      case static_cast<std::uint32_t>(RecordType::signature):
        record.kind = ListedRecordKind::signature;
        stream.skipBytes(head.count);
        break;
      case static_cast<std::uint32_t>(RecordType::version):
        record.kind = ListedRecordKind::version;
        stream.skipBytes(head.count);
        break;
      default:
        stream.skipBytes(head.count);
        break;
    }
    record.size = stream.offset() - record.offset;
    record.member = member;
    listing.records.push_back(std::move(record));
  }
  return listing;
}

}  // namespace quorvex
