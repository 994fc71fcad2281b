#include "codecs/bwt/link_lanes.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <vector>

#include "threads/task_threads.hpp"

namespace quorvex::bwt {
namespace {

constexpr std::uint32_t kLanes = 32;    // segments in flight per thread (48 measures alike)
constexpr std::uint32_t kChunk = 4096;  // scratch bytes a lane takes at a time
constexpr std::uint32_t kNone = 0xFFFFFFFFu;

std::uint32_t laneThreads(unsigned threads) { return threads >= 2 ? 2u : 1u; }

// Marks every 2^shift rows: a few thousand segments, long enough that starting and
// joining them costs little, many enough that the last ones finish close together.
std::uint32_t markShift(std::uint32_t n) {
  const auto log = static_cast<std::uint32_t>(std::bit_width(n));
  return log > 18 ? log - 12 : 6;
}

// A stretch of one segment's bytes within one chunk.
struct Piece {
  std::uint32_t offset;  // in the scratch area
  std::uint32_t length;
  std::uint32_t next;  // the segment's next piece
};

struct Segment {
  std::uint32_t head = kNone;  // first piece
  std::uint32_t next = kNone;  // the segment that follows in the chain
};

struct Lane {
  std::uint32_t row;
  std::uint32_t segment;
  std::uint32_t piece;
  std::uint8_t* write;
  std::uint8_t* end;  // of the lane's chunk
  std::uint8_t* pieceStart;
};

class LaneChase {
 public:
  LaneChase(const std::uint32_t* links, std::uint32_t n, std::uint32_t primary, std::uint8_t* scratch,
            std::uint32_t threads)
      : links_(links),
        n_(n),
        primary_(primary),
        shift_(markShift(n)),
        mask_((1u << shift_) - 1u),
        marks_(((n - 1) >> shift_) + 1),
        primarySegment_(segmentOf(primary)),
        scratch_(scratch),
        segments_(marks_ + 1),
        pieces_(marks_ + 1 + linkLaneScratch(n, threads) / kChunk) {}

  // Chases segments until none is left; the first lane of `withPrimary` takes the
  // primary row's own segment.
  void run(bool withPrimary) {
    Lane lanes[kLanes];
    std::uint32_t active = 0;
    while (active < kLanes) {
      Lane& lane = lanes[active];
      lane.write = lane.end = nullptr;
      const bool started = withPrimary && active == 0 ? (start(lane, primary_, primarySegment_), true) : claim(lane);
      if (!started) break;
      ++active;
    }
    while (active > 0) {
      for (std::uint32_t k = 0; k < active;) {
        Lane& lane = lanes[k];
        const std::uint32_t link = links_[lane.row];
        *lane.write++ = static_cast<std::uint8_t>(link);
        lane.row = link >> 8;
        // Asked for now, read a round later: a prefetch retires without waiting for its
        // line, so every lane's miss is in flight at once instead of as many as the
        // reorder window holds.
        __builtin_prefetch(links_ + lane.row);
        if (((lane.row & mask_) == 0 || lane.row == primary_ || lane.write == lane.end) && !advance(lane)) {
          lanes[k] = lanes[--active];
          continue;
        }
        ++k;
      }
    }
  }

  // Joins the segments from the primary row's on, in chain order, until the chain
  // comes back to it; a shorter cycle then repeats.
  void join(std::uint8_t* out) const {
    std::uint64_t done = 0;
    std::uint32_t segment = primarySegment_;
    for (std::uint32_t hops = 0; hops <= marks_ && done < n_; ++hops) {
      for (std::uint32_t p = segments_[segment].head; p != kNone && done < n_; p = pieces_[p].next) {
        const std::uint64_t length = std::min<std::uint64_t>(pieces_[p].length, n_ - done);
        std::memcpy(out + done, scratch_ + pieces_[p].offset, length);
        done += length;
      }
      segment = segments_[segment].next;
      if (segment == primarySegment_ || segment == kNone) break;
    }
    for (std::uint64_t k = done; k < n_; ++k) out[k] = out[k - done];
  }

 private:
  std::uint32_t segmentOf(std::uint32_t row) const { return (row & mask_) == 0 ? row >> shift_ : marks_; }

  void start(Lane& lane, std::uint32_t row, std::uint32_t segment) {
    lane.row = row;
    lane.segment = segment;
    if (lane.write == lane.end) takeChunk(lane);
    openPiece(lane, true);
  }

  bool claim(Lane& lane) {
    for (;;) {
      const std::uint32_t mark = nextMark_.fetch_add(1, std::memory_order_relaxed);
      if (mark >= marks_) return false;
      if (mark << shift_ == primary_) continue;  // its segment is the primary's
      start(lane, mark << shift_, mark);
      return true;
    }
  }

  // A lane reached a mark or filled its chunk: closes its piece and goes on, with a new
  // segment or a new chunk. False when no segment is left for it.
  bool advance(Lane& lane) {
    pieces_[lane.piece].length = static_cast<std::uint32_t>(lane.write - lane.pieceStart);
    if ((lane.row & mask_) == 0 || lane.row == primary_) {
      segments_[lane.segment].next = segmentOf(lane.row);
      return claim(lane);
    }
    takeChunk(lane);
    openPiece(lane, false);
    return true;
  }

  // Every chunk a lane leaves is full but the last one it holds, so the scratch area
  // has room for n bytes of full chunks and one partial chunk per lane.
  void takeChunk(Lane& lane) {
    const std::uint32_t chunk = nextChunk_.fetch_add(1, std::memory_order_relaxed);
    lane.write = scratch_ + std::size_t{chunk} * kChunk;
    lane.end = lane.write + kChunk;
  }

  void openPiece(Lane& lane, bool first) {
    const std::uint32_t piece = nextPiece_.fetch_add(1, std::memory_order_relaxed);
    pieces_[piece] = {static_cast<std::uint32_t>(lane.write - scratch_), 0, kNone};
    if (first) {
      segments_[lane.segment].head = piece;
    } else {
      pieces_[lane.piece].next = piece;
    }
    lane.piece = piece;
    lane.pieceStart = lane.write;
  }

  const std::uint32_t* links_;
  std::uint32_t n_;
  std::uint32_t primary_;
  std::uint32_t shift_;
  std::uint32_t mask_;
  std::uint32_t marks_;  // rows 0, 2^shift, ... below n; segment marks_ is the primary row's if it is none
  std::uint32_t primarySegment_;
  std::uint8_t* scratch_;
  std::vector<Segment> segments_;
  std::vector<Piece> pieces_;
  std::atomic<std::uint32_t> nextMark_{0};
  std::atomic<std::uint32_t> nextChunk_{0};
  std::atomic<std::uint32_t> nextPiece_{0};
};

}  // namespace

std::uint64_t linkLaneScratch(std::uint32_t n, unsigned threads) {
  return (std::uint64_t{n} / kChunk + kLanes * laneThreads(threads) + 1) * kChunk;
}

void chaseLinkLanes(const std::uint32_t* links, std::uint32_t n, std::uint32_t primaryIndex, std::uint8_t* out,
                    std::uint8_t* scratch, const TaskThreads& threads) {
  LaneChase chase(links, n, primaryIndex, scratch, laneThreads(threads.count));
  runTasks(laneThreads(threads.count), [&](unsigned task) { chase.run(task == 0); }, threads);
  chase.join(out);
}

}  // namespace quorvex::bwt
