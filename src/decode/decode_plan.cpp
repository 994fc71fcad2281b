#include "decode/decode_plan.hpp"

#include "codecs/bwt/bwt_payload.hpp"
#include "codecs/cm/cm_model.hpp"
#include "format/integrity.hpp"
#include "format/member_record.hpp"

namespace quorvex {

DecodePlan planDecode(RecordStream& stream, bool ignoreMemberRecords) {
  DecodePlan plan;
  CodecParams params;
  std::uint32_t section = kNoSection;
  bool barrierNext = false;
  while (!stream.atEnd()) {
    const RecordHead head = stream.readRecordHead();
    switch (head.type) {
      case static_cast<std::uint32_t>(RecordType::block): {
        if (passBarrierIfDue(stream, params.contextMixing(), barrierNext)) break;
        PlannedBlock block;
        block.offset = stream.offset();
        block.params = params;
        BlockDescriptor descriptor = parseBlockDescriptor(stream, params.contextMixing());
        block.unpackedSize = descriptor.unpackedSize;
        block.codecKind = descriptor.codecKind;
        block.historyMatches = descriptor.bwtStageB.enabled();
        if (!block.audio()) block.held = std::make_unique<const BlockDescriptor>(std::move(descriptor));
        if (params.contextMixing() && !block.audio()) {
          // Each codec-parameter record starts a section with a fresh model.
          if (section == kNoSection) {
            section = static_cast<std::uint32_t>(plan.sections.size());
            plan.sections.push_back({params, {},
                                     cm::CmModel::bytesFor(params.tableBitsA, params.tableBitsB, params.historySize)});
          }
          block.section = section;
          plan.sections[section].blocks.push_back(static_cast<std::uint32_t>(plan.blocks.size()));
          plan.sections[section].outputBytes += block.unpackedSize;
        }
        if (block.bwt() && block.descriptor().sizePresent &&
            block.descriptor().payload.size() == block.descriptor().packedSize &&
            bwt::bwtPayloadTakesStandingBytes(block.descriptor().payload.data(), block.descriptor().packedSize)) {
          plan.standingBytesEnd = static_cast<std::uint32_t>(plan.blocks.size()) + 1;
        }
        if (block.readsWindow()) plan.windowReadersEnd = static_cast<std::uint32_t>(plan.blocks.size()) + 1;
        plan.records.push_back({PlannedRecord::Kind::block, static_cast<std::uint32_t>(plan.blocks.size())});
        plan.blocks.push_back(std::move(block));
        break;
      }
      case static_cast<std::uint32_t>(RecordType::codecParams):
        params = readCodecParams(stream, head.count);
        section = kNoSection;
        break;
      case kIntegrityRecordType:
        // Whatever the record holds, the next record follows its count bytes (a check
        // that fails ends the run before any later record matters).
        plan.records.push_back({PlannedRecord::Kind::integrity, 0, stream.offset(), head.count});
        stream.skipBytes(head.count);
        break;
      case kMemberRecordType: {
        if (!passMemberRecord(stream, head.count) || ignoreMemberRecords) break;
        plan.records.push_back({PlannedRecord::Kind::member, 0, stream.offset()});
        params = {};
        section = kNoSection;
        barrierNext = true;
        break;
      }
      default:
        stream.skipBytes(head.count);
        break;
    }
  }
  for (std::uint32_t b = 0; b < plan.blocks.size(); ++b) {
    if (plan.detachedBwt(b)) plan.bwtBlocks.push_back(b);
  }
  return plan;
}

BlockDescriptor parseAudioDescriptor(std::span<const std::uint8_t> archive, const PlannedBlock& block) {
  RecordStream stream(archive.subspan(block.offset));
  return parseBlockDescriptor(stream, block.params.contextMixing());
}

}  // namespace quorvex
