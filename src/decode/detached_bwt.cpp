#include "decode/detached_bwt.hpp"

#include <algorithm>
#include <cstring>

#include "codecs/bwt/bwt_payload.hpp"
#include "codecs/bwt/bwt_transform.hpp"
#include "codecs/bwt/local_matches.hpp"
#include "model/huge_pages.hpp"

namespace quorvex {
namespace {

// Blocks up to this length decode side by side; the archive maker's are 1 to 4 MiB.
constexpr std::uint64_t kMostDetachedLength = std::uint64_t{16} << 20;

struct DetachedRoom {
  std::uint64_t payload = 0;  // the room the payload needs from the block's start
  std::uint64_t length = 0;   // a bound on the transformed block's length
  std::uint64_t buffer = 0;   // the block buffer it needs; 0: it decodes in place only
};

DetachedRoom detachedRoom(const BlockDescriptor& block) {
  if (block.payload.size() != block.packedSize) return {};
  // The room the payload needs, and a bound on the transformed block's length.
  std::uint64_t room = block.packedSize;
  std::uint64_t length = block.packedSize;
  if (block.sizePresent) {
    // A payload that takes its buffer's bytes as they stand decodes alike only in the
    // window, where those bytes are what earlier blocks left.
    if (bwt::bwtPayloadTakesStandingBytes(block.payload.data(), block.packedSize)) return {};
    room = bwt::bwtPayloadRoom(block.payload.data(), block.packedSize);
    length = room / 3;
  }
  if (room == 0 || room > kHistoryWindowSize) return {};  // a window could not hold it
  // Its private buffer holds about nine bytes per byte, one per block decoding side by
  // side: larger blocks (which the archive's claims alone could make) decode in place.
  if (length > kMostDetachedLength) return {};
  // Enough for the inverse transform to chase both ends.
  return {room, length, std::max(room, bwt::twoChainRoom(static_cast<std::uint32_t>(length)))};
}

}  // namespace

bool DetachedBwt::fitsRoom(std::uint32_t room) const {
  if (windowRoom > room) return false;
  // The in-block match stage writes to a work buffer and stops at its capacity; one
  // byte more than its output lets it take the same path.
  return stageRoom <= std::min(room, kWorkBufferSize);
}

std::uint64_t detachedBlockBufferSize(const BlockDescriptor& block) { return detachedRoom(block).buffer; }

bool decodeBwtDetached(const BlockDescriptor& block, DetachedBwtBuffers& buffers, const Console& console,
                       const TaskThreads& threads, DetachedBwt& result) {
  console.blockLine("BWT", block.packedSize, block.unpackedSize);
  const auto [room, length, size] = detachedRoom(block);
  if (size == 0) return false;
  if (buffers.block.size() < size) {
    const std::uint64_t made = std::max(size, buffers.blockSizeFloor);
    buffers.block = ZeroedBuffer();
    buffers.block = ZeroedBuffer(made);
    if (!buffers.block) return false;
    adviseHugePages(buffers.block.data(), made);  // before any page is touched
  }
  const auto capacity = static_cast<std::uint32_t>(std::min<std::uint64_t>(size, 0xFFFFFFFFu));

  std::uint8_t* buffer = buffers.block.data();
  std::memcpy(buffer, block.payload.data(), block.packedSize);
  std::uint32_t n = block.packedSize;
  if (block.sizePresent) {
    const auto trace = [&console](std::uint32_t segment, std::uint32_t codedLength, std::uint32_t segmentLength) {
      console.bwtRound(segment, codedLength, segmentLength);
    };
    n = bwt::decodeBwtPayload(buffer, block.packedSize, capacity, trace, threads);
    if (n == 0) return false;
  }
  result.windowRoom = room;
  if (n != 0) {
    result.windowRoom = std::max(room, bwt::inverseBwtRoom(n));
    if (!bwt::inverseBwt(buffer, n, block.bwtPrimaryIndex, capacity, threads)) return false;
  }
  // The output goes to `expanded` in every case, so that the large block buffer is
  // free for the next block as soon as this one is decoded.
  if (!buffers.expanded) {
    buffers.expanded = ZeroedBuffer(kWorkBufferSize);
    if (!buffers.expanded) return false;
    adviseHugePagesFor(buffers.expanded.data(), kWorkBufferSize, length);
  }
  result.n = n;
  result.stageRoom = 0;
  if (block.bwtStageA.enabled()) {
    const std::uint32_t expanded =
        bwt::expandLocalMatches(block.bwtStageA.data, buffer, n, buffers.expanded.data(), kWorkBufferSize);
    if (expanded == 0) return false;
    result.n = expanded;
    result.stageRoom = std::uint64_t{expanded} + 1;
  } else if (n != 0) {
    std::memcpy(buffers.expanded.data(), buffer, n);
  }
  return true;
}

}  // namespace quorvex
