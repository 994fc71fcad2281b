// One member of an archive decoded apart from the others: a member starts afresh (an
// empty window, no models, codec parameters 0), so it needs nothing that an earlier
// member leaves behind. What it would hand to the output and the console, and the
// integrity records it meets, become events, which the commit replays in archive
// order: only the commit knows the output before the member, which the integrity
// records hash and the failures count blocks from.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "decode/decode_context.hpp"

namespace quorvex {

struct MemberEvent {
  enum class Kind : std::uint8_t {
    line,          // a console line
    bytes,         // output, one sink call's worth
    blockDecoded,  // the block whose lines and bytes came before decoded whole
    blockFailed,   // it failed (text says why); the member ends here
    integrity,     // an integrity record, at offset in the archive, count bytes long
  };
  Kind kind = Kind::line;
  std::string text;
  std::vector<std::uint8_t> bytes;
  std::size_t offset = 0;
  std::uint32_t count = 0;
};

// Where a member's events go. emit may wait (for the commit to take earlier ones).
class MemberEvents {
 public:
  virtual ~MemberEvents() = default;
  virtual void emit(MemberEvent event) = 0;
};

// Decodes the records of one member of `archive`: its first record stands at `start`
// (after the member record that starts it, when afterMemberRecord, so that the barrier
// block comes first) and it ends at the next member record or the archive's end.
// The context's cursor goes back to the window's start; whatever the window holds
// past it is never read (the caller makes sure that no block takes standing bytes).
// Stops early, between records, once `stop` is set.
void decodeMemberRecords(std::span<const std::uint8_t> archive, std::size_t start, bool afterMemberRecord, DecodeContext& context,
                         std::uint64_t memoryLimit, MemberEvents& events, const std::atomic<bool>& stop);

}  // namespace quorvex
