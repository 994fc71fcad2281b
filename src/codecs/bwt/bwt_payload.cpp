#include "codecs/bwt/bwt_payload.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <numeric>

#include "codecs/bwt/backward_number.hpp"
#include "codecs/bwt/bwt_segment.hpp"
#include "threads/task_threads.hpp"

namespace quorvex::bwt {

namespace {

constexpr std::uint32_t kSegments = 256;
// Segments of at most 1 MiB: a block of 4 MiB codes 0.3% larger in four than in two
// (17 MB of mixed data), and two threads then decode it in step rather than one
// waiting for the other's second half.
constexpr std::uint64_t kSegmentTarget = 1u << 20;

// c[i] and f[i]: each segment's length in the transformed block and its coded length.
struct SegmentTable {
  std::array<std::uint32_t, kSegments> length{};
  std::array<std::uint32_t, kSegments> coded{};
};

// Reads the payload trailer backwards from the payload's end, segment 255 first. An
// empty segment's entry carries z, the number of segments after it in reading order
// that are empty too and have no entry. Fails (returns false) as soon as the coded
// lengths exceed the payload or the lengths exceed the capacity; sums are kept wide
// so that no trailer can wrap them back into range.
bool readSegmentTable(const std::uint8_t* payload, std::uint32_t packedSize, std::uint32_t capacity,
                      const RoundTrace& trace, SegmentTable& table, std::uint32_t& trailerStart,
                      std::uint64_t& total) {
  const std::uint8_t* cursor = payload + packedSize;
  std::uint32_t pendingEmpty = 0;
  std::uint64_t codedSum = 0;
  total = 0;
  for (std::uint32_t i = kSegments; i-- > 0;) {
    if (pendingEmpty > 0) {
      --pendingEmpty;
    } else if (const std::uint32_t c = readBackwardNumber(payload, cursor); c != 0) {
      const std::uint32_t f = readBackwardNumber(payload, cursor);
      if (trace) trace(i, f, c);
      table.length[i] = c;
      table.coded[i] = f;
      codedSum += f;
      total += c;
    } else {
      pendingEmpty = readBackwardNumber(payload, cursor);
    }
    if (codedSum > packedSize || total > capacity) return false;
  }
  trailerStart = static_cast<std::uint32_t>(cursor - payload);
  // The coded segments stand in front of the trailer: lengths that do not fit there
  // would have the moves below take bytes from before the payload.
  return codedSum <= trailerStart;
}

// Coded bytes longer than their segment's three-times region: moved in, they reach
// into the regions after it (the spill of the last one touches nothing).
bool spillsPastItsRegion(std::uint32_t length, std::uint32_t coded) { return coded > 3ull * length; }

// Decodes every segment with coded bytes in its region; a segment with a length but
// none keeps its region's bytes as they stand. Segments within their regions are
// independent: with several threads each takes the longest segment left, with a
// run-start model of its own, so that a thread that joins late still finds work and
// the last ones finish together. A segment whose coded bytes spill into the regions
// after it reads them before those segments decode: then all go in order, on one
// thread. Any failing segment fails the payload.
bool decodeSegments(std::uint8_t* buffer, std::uint32_t capacity, const SegmentTable& table,
                    const std::array<std::uint64_t, kSegments>& region, const TaskThreads& threads) {
  std::array<std::uint32_t, kSegments> order;  // the segments to decode
  std::uint32_t count = 0;
  bool inOrder = false;
  for (std::uint32_t i = 0; i < kSegments; ++i) {
    if (table.coded[i] != 0) order[count++] = i;
    inOrder |= spillsPastItsRegion(table.length[i], table.coded[i]);
  }
  if (inOrder) {
    RunStartModel model;
    for (std::uint32_t k = 0; k < count; ++k) {
      const std::uint32_t i = order[k];
      if (decodeSegment(model, buffer + region[i], capacity - region[i], table.coded[i], table.length[i]) == 0) {
        return false;
      }
    }
    return true;
  }
  std::stable_sort(order.begin(), order.begin() + count,
                   [&table](std::uint32_t a, std::uint32_t b) { return table.length[a] > table.length[b]; });
  std::atomic<std::uint32_t> next{0};
  std::atomic<bool> failed{false};
  const auto decodeSome = [&](unsigned) {
    RunStartModel model;
    for (std::uint32_t k = next.fetch_add(1, std::memory_order_relaxed); k < count && !failed.load(std::memory_order_relaxed);
         k = next.fetch_add(1, std::memory_order_relaxed)) {
      const std::uint32_t i = order[k];
      if (decodeSegment(model, buffer + region[i], capacity - region[i], table.coded[i], table.length[i]) == 0) {
        failed.store(true, std::memory_order_relaxed);
      }
    }
  };
  runTasks(std::min<unsigned>(std::max(threads.count, 1u), count), decodeSome, threads);
  return !failed.load();
}

}  // namespace

std::uint32_t decodeBwtPayload(std::uint8_t* buffer, std::uint32_t packedSize, std::uint32_t capacity,
                               const RoundTrace& trace, const TaskThreads& threads) {
  if (packedSize > capacity) return 0;
  SegmentTable table;
  std::uint32_t trailerStart = 0;
  std::uint64_t total = 0;
  if (!readSegmentTable(buffer, packedSize, capacity, trace, table, trailerStart, total)) return 0;
  // Every segment decodes in a region of three times its length.
  if (3 * total > capacity) return 0;

  std::array<std::uint64_t, kSegments> region;
  std::uint64_t offset = 0;
  for (std::uint32_t i = 0; i < kSegments; ++i) {
    region[i] = offset;
    offset += 3ull * table.length[i];
    if (region[i] + table.coded[i] > capacity) return 0;  // coded bytes past the room
  }

  // Move each coded segment to its region, the last first, so that no segment is
  // overwritten before it has moved (a spill past a region overwrites the start of the
  // next region, whose segment has moved there already).
  std::uint32_t source = trailerStart;
  for (std::uint32_t i = kSegments; i-- > 0;) {
    source -= table.coded[i];
    std::memmove(buffer + region[i], buffer + source, table.coded[i]);
  }

  const TaskThreads alone(1);
  if (!decodeSegments(buffer, capacity, table, region, total >= kParallelPayloadMinimum ? threads : alone)) return 0;

  std::uint64_t end = 0;
  for (std::uint32_t i = 0; i < kSegments; ++i) {
    std::memmove(buffer + end, buffer + region[i], table.length[i]);
    end += table.length[i];
  }
  return static_cast<std::uint32_t>(total);
}

std::uint64_t bwtPayloadRoom(const std::uint8_t* payload, std::uint32_t packedSize) {
  SegmentTable table;
  std::uint32_t trailerStart = 0;
  std::uint64_t total = 0;
  if (!readSegmentTable(payload, packedSize, 0xFFFFFFFFu, {}, table, trailerStart, total)) return 0;
  std::uint64_t room = std::max<std::uint64_t>(packedSize, 3 * total);
  std::uint64_t region = 0;
  for (std::uint32_t i = 0; i < kSegments; ++i) {
    room = std::max(room, region + table.coded[i]);
    region += 3ull * table.length[i];
  }
  return room;
}

bool bwtPayloadTakesStandingBytes(const std::uint8_t* payload, std::uint32_t packedSize) {
  SegmentTable table;
  std::uint32_t trailerStart = 0;
  std::uint64_t total = 0;
  if (!readSegmentTable(payload, packedSize, 0xFFFFFFFFu, {}, table, trailerStart, total)) return false;
  for (std::uint32_t i = 0; i < kSegments; ++i) {
    if (spillsPastItsRegion(table.length[i], table.coded[i])) return true;
    if (table.length[i] != 0 && table.coded[i] == 0) return true;
  }
  // No spill: every segment reaches its region as its coded bytes stand in the payload.
  const std::uint64_t coded = std::accumulate(table.coded.begin(), table.coded.end(), std::uint64_t{0});
  std::uint64_t start = trailerStart - coded;
  for (std::uint32_t i = 0; i < kSegments; ++i) {
    if (table.coded[i] != 0 && segmentTakesStandingBytes(payload + start, table.coded[i], table.length[i])) return true;
    start += table.coded[i];
  }
  return false;
}

std::vector<std::uint8_t> encodeBwtPayload(std::span<const std::uint8_t> transformed) {
  // The run-start model starts afresh in every segment, so each cut costs compression
  // (on a 150 KB text, 256 equal parts code 19% larger than one). Cut only to keep
  // segments below kSegmentTarget, in equal parts at the front; the rest stay empty.
  const std::uint64_t n = transformed.size();
  const std::uint64_t parts = std::clamp<std::uint64_t>((n + kSegmentTarget - 1) / kSegmentTarget, 1, kSegments);
  std::array<std::uint32_t, kSegments> lengths{};
  for (std::uint32_t i = 0; i < parts; ++i) {
    lengths[i] = static_cast<std::uint32_t>(n * (i + 1) / parts - n * i / parts);
  }
  return encodeBwtSegments(transformed, lengths);
}

std::vector<std::uint8_t> encodeBwtSegments(std::span<const std::uint8_t> transformed,
                                            std::span<const std::uint32_t, 256> lengths) {
  std::vector<std::uint8_t> payload;
  SegmentTable table;
  RunStartModel model;
  std::size_t begin = 0;
  for (std::uint32_t i = 0; i < kSegments; ++i) {
    table.length[i] = lengths[i];
    if (lengths[i] == 0) continue;
    const std::vector<std::uint8_t> coded = encodeSegment(model, transformed.subspan(begin, lengths[i]));
    begin += lengths[i];
    table.coded[i] = static_cast<std::uint32_t>(coded.size());
    payload.insert(payload.end(), coded.begin(), coded.end());
  }

  // The trailer's numbers in reading order (segment 255 first), then written so that
  // the backward read meets them in that order.
  std::vector<std::uint32_t> numbers;
  for (std::uint32_t i = kSegments; i-- > 0;) {
    if (table.length[i] != 0) {
      numbers.push_back(table.length[i]);
      numbers.push_back(table.coded[i]);
      continue;
    }
    std::uint32_t emptyAfter = 0;
    while (emptyAfter < i && table.length[i - 1 - emptyAfter] == 0) ++emptyAfter;
    numbers.push_back(0);
    numbers.push_back(emptyAfter);
    i -= emptyAfter;
  }
  for (std::size_t k = numbers.size(); k-- > 0;) appendBackwardNumber(payload, numbers[k]);
  return payload;
}

}  // namespace quorvex::bwt
