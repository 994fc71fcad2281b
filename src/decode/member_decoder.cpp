// The record loop of one member, as the sequential decoder runs it, with output,
// console lines and integrity records turned into events.
#include "decode/member_decoder.hpp"

#include <utility>

#include "decode/console.hpp"
#include "decode/decoded_output.hpp"
#include "decode/dispatcher.hpp"
#include "format/integrity.hpp"
#include "format/member_record.hpp"
#include "format/record_stream.hpp"

namespace quorvex {
namespace {

// Each sink call becomes one event, so the commit makes the calls one thread makes.
class EventSink final : public OutputSink {
 public:
  explicit EventSink(MemberEvents& events) : events_(events) {}
  bool append(std::span<const std::uint8_t> bytes) override {
    MemberEvent event;
    event.kind = MemberEvent::Kind::bytes;
    event.bytes.assign(bytes.begin(), bytes.end());
    events_.emit(std::move(event));
    return true;
  }

 private:
  MemberEvents& events_;
};

void emitKind(MemberEvents& events, MemberEvent::Kind kind, std::string text = {}) {
  MemberEvent event;
  event.kind = kind;
  event.text = std::move(text);
  events.emit(std::move(event));
}

}  // namespace

void decodeMemberRecords(std::span<const std::uint8_t> archive, std::size_t start, bool afterMemberRecord, DecodeContext& context,
                         std::uint64_t memoryLimit, MemberEvents& events, const std::atomic<bool>& stop) {
  RecordStream stream(archive.subspan(start));
  const Console console([&events](std::string_view line) { emitKind(events, MemberEvent::Kind::line, std::string(line)); });
  CodecState codecs;
  codecs.memoryLimit = memoryLimit;
  context.historyCursor = context.historyBase;
  EventSink sink(events);
  DecodedOutput output(sink);
  std::string failure;
  bool barrierNext = afterMemberRecord;
  while (!stream.atEnd() && !stop.load(std::memory_order_relaxed)) {
    const RecordHead head = stream.readRecordHead();
    switch (head.type) {
      case static_cast<std::uint32_t>(RecordType::block): {
        if (passBarrierIfDue(stream, codecs.params.contextMixing(), barrierNext)) break;
        if (!decodeBlock(stream, context, codecs, output, console, failure)) {
          emitKind(events, MemberEvent::Kind::blockFailed, std::move(failure));
          return;
        }
        emitKind(events, MemberEvent::Kind::blockDecoded);
        break;
      }
      case static_cast<std::uint32_t>(RecordType::codecParams):
        applyCodecParams(stream, head.count, codecs);
        break;
      case kIntegrityRecordType: {
        MemberEvent event;
        event.kind = MemberEvent::Kind::integrity;
        event.offset = start + stream.offset();
        event.count = head.count;
        events.emit(std::move(event));
        stream.skipBytes(head.count);
        break;
      }
      case kMemberRecordType:
        if (passMemberRecord(stream, head.count)) return;  // the next member starts here
        break;
      default:
        stream.skipBytes(head.count);
        break;
    }
  }
}

}  // namespace quorvex
