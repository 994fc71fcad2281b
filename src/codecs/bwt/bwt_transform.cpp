#include "codecs/bwt/bwt_transform.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "model/huge_pages.hpp"
#include "codecs/bwt/link_lanes.hpp"
#include "threads/task_threads.hpp"

namespace quorvex::bwt {
namespace {

// start[b] = number of bytes smaller than b.
std::array<std::uint32_t, 256> symbolStarts(const std::uint8_t* block, std::uint32_t n) {
  std::array<std::uint32_t, 256> counts{};
  for (std::uint32_t j = 0; j < n; ++j) ++counts[block[j]];
  std::uint32_t sum = 0;
  for (auto& count : counts) {
    const std::uint32_t c = count;
    count = sum;
    sum += c;
  }
  return counts;
}

std::uint32_t* linkTableAfter(std::uint8_t* buffer, std::uint32_t n) {
  const auto end = reinterpret_cast<std::uintptr_t>(buffer + n);
  return reinterpret_cast<std::uint32_t*>((end + 3) & ~std::uintptr_t{3});
}

// From this size on the link tables outgrow the TLB on small pages.
constexpr std::uint32_t kHugePageMinimum = 1u << 20;

// Runs `forward` here and `backward` beside it.
template <class Forward, class Backward>
void runBothEnds(const Forward& forward, const Backward& backward, const TaskThreads& threads) {
  runTasks(2, [&](unsigned task) { task == 0 ? forward() : backward(); }, threads);
}

// Small blocks: each link carries the byte found at its position, so the chasing pass
// reads one table and the block itself may be overwritten as it goes.
//
// Forward chain: links[row] = (next row << 8) | byte; from the primary row it yields
// the block from its first byte on. Returns the row it stopped at.
std::uint32_t chaseForward(const std::uint32_t* links, std::uint32_t row, std::uint8_t* out, std::uint32_t count) {
  for (std::uint32_t k = 0; k < count; ++k) {
    row = links[row];
    out[k] = static_cast<std::uint8_t>(row & 0xFFu);
    row >>= 8;
  }
  return row;
}

// Large blocks: positions no longer fit beside a byte in 32 bits; the bytes come from
// a copy of the transformed block.
std::uint32_t chaseForward(const std::uint32_t* links, const std::uint8_t* copy, std::uint32_t row,
                           std::uint8_t* out, std::uint32_t count) {
  for (std::uint32_t k = 0; k < count; ++k) {
    row = links[row];
    out[k] = copy[row];
  }
  return row;
}

std::uint32_t chaseBackward(const std::uint32_t* back, const std::uint8_t* copy, std::uint32_t row,
                            std::uint8_t* end, std::uint32_t count) {
  for (std::uint32_t k = 0; k < count; ++k) {
    *--end = copy[row];
    row = back[row];
  }
  return row;
}

// The two chains meet in the middle exactly when the links form whole cycles through
// the primary row, as every real transform does. A damaged block may not: then the
// second half is chased forward as one thread would, so the output is the same.
template <class Forward, class Backward, class Rest>
void chaseFromBothEnds(const Forward& forward, const Backward& backward, const Rest& rest,
                       const TaskThreads& threads) {
  std::uint32_t forwardEnd = 0, backwardEnd = 0;
  runBothEnds([&] { forwardEnd = forward(); }, [&] { backwardEnd = backward(); }, threads);
  if (forwardEnd != backwardEnd) rest(forwardEnd);
}

void invertPacked(std::uint8_t* block, std::uint32_t n, std::uint32_t primaryIndex, std::uint32_t* links,
                  std::uint8_t* scratch, const TaskThreads& threads) {
  auto start = symbolStarts(block, n);
  for (std::uint32_t j = 0; j < n; ++j) {
    const std::uint8_t b = block[j];
    links[start[b]++] = (j << 8) | b;
  }
  if (scratch != nullptr) {
    chaseLinkLanes(links, n, primaryIndex, block, scratch, threads);
  } else {
    chaseForward(links, primaryIndex, block, n);
  }
}

void invertWithCopy(std::uint8_t* block, std::uint32_t n, std::uint32_t primaryIndex, std::uint32_t* links,
                    std::uint32_t* back, const std::uint8_t* copy, const TaskThreads& threads) {
  auto start = symbolStarts(copy, n);
  if (back == nullptr) {
    for (std::uint32_t j = 0; j < n; ++j) links[start[copy[j]]++] = j;
    chaseForward(links, copy, primaryIndex, block, n);
    return;
  }
  for (std::uint32_t j = 0; j < n; ++j) {
    const std::uint32_t row = start[copy[j]]++;
    links[row] = j;
    back[j] = row;
  }
  const std::uint32_t half = n / 2;
  chaseFromBothEnds([&] { return chaseForward(links, copy, primaryIndex, block, half); },
                    [&] { return chaseBackward(back, copy, primaryIndex, block + n, n - half); },
                    [&](std::uint32_t row) { chaseForward(links, copy, row, block + half, n - half); }, threads);
}

}  // namespace

bool inverseBwt(std::uint8_t* buffer, std::uint32_t n, std::uint32_t primaryIndex, std::size_t room,
                const TaskThreads& threads) {
  if (n == 0 || primaryIndex >= n || room < inverseBwtRoom(n)) return false;
  std::uint32_t* links = linkTableAfter(buffer, n);
  if (n < kPackedLinkLimit) {
    // Lanes write to scratch behind the link table when the room holds it, else to
    // scratch of their own; without either, one plain chain runs.
    std::uint8_t* scratch = nullptr;
    std::unique_ptr<std::uint8_t[]> ownScratch;
    if (n >= kLaneMinimum) {
      auto* behind = reinterpret_cast<std::uint8_t*>(links + n);
      const std::uint64_t needed = linkLaneScratch(n, threads.count);
      if (static_cast<std::uint64_t>(behind - buffer) + needed <= room) {
        scratch = behind;
      } else {
        ownScratch.reset(new (std::nothrow) std::uint8_t[needed]);
        scratch = ownScratch.get();
      }
    }
    if (n >= kHugePageMinimum) adviseHugePages(buffer, inverseBwtRoom(n));
    invertPacked(buffer, n, primaryIndex, links, scratch, threads);
    return true;
  }
  // The large form chases from both ends when it gets a second thread.
  const bool twoChains = threads.count >= 2 && room >= twoChainRoom(n);
  std::uint32_t* back = twoChains ? links + n : nullptr;
  adviseHugePages(buffer, twoChains ? twoChainRoom(n) : inverseBwtRoom(n));
  std::unique_ptr<std::uint8_t[]> copy(new (std::nothrow) std::uint8_t[n]);
  if (!copy) return false;
  std::memcpy(copy.get(), buffer, n);
  invertWithCopy(buffer, n, primaryIndex, links, back, copy.get(), threads);
  return true;
}

ForwardBwt forwardBwt(std::span<const std::uint8_t> block) {
  ForwardBwt result;
  const std::size_t n = block.size();
  if (n == 0) return result;

  // order: rotations sorted by their first `width` bytes; rank: the class of each
  // rotation under that order (equal prefixes share a rank).
  std::vector<std::uint32_t> order(n), rank(n), scratch(n), counts(std::max<std::size_t>(n, 256) + 1);
  for (std::size_t i = 0; i < n; ++i) ++counts[block[i] + 1];
  for (std::size_t v = 1; v <= 256; ++v) counts[v] += counts[v - 1];
  for (std::size_t i = 0; i < n; ++i) order[counts[block[i]]++] = static_cast<std::uint32_t>(i);
  std::uint32_t classes = 0;
  for (std::size_t j = 0; j < n; ++j) {
    if (j > 0 && block[order[j]] != block[order[j - 1]]) ++classes;
    rank[order[j]] = classes;
  }
  ++classes;

  for (std::size_t width = 1; width < n && classes < n; width *= 2) {
    // Sort by (rank[i], rank[i + width]): walking the current order shifted back by
    // width gives the rotations sorted by their second half; a stable counting sort
    // on the first half's rank finishes the pass.
    for (std::size_t j = 0; j < n; ++j) {
      scratch[j] = static_cast<std::uint32_t>((order[j] + n - width % n) % n);
    }
    std::fill(counts.begin(), counts.begin() + classes + 1, 0u);
    for (std::size_t j = 0; j < n; ++j) ++counts[rank[scratch[j]] + 1];
    for (std::size_t v = 1; v <= classes; ++v) counts[v] += counts[v - 1];
    for (std::size_t j = 0; j < n; ++j) order[counts[rank[scratch[j]]]++] = scratch[j];

    std::uint32_t next = 0;
    scratch[order[0]] = 0;
    for (std::size_t j = 1; j < n; ++j) {
      const std::uint32_t a = order[j - 1], b = order[j];
      if (rank[a] != rank[b] || rank[(a + width) % n] != rank[(b + width) % n]) ++next;
      scratch[b] = next;
    }
    rank.swap(scratch);
    classes = next + 1;
  }

  result.transformed.resize(n);
  for (std::size_t j = 0; j < n; ++j) {
    const std::uint32_t start = order[j];
    result.transformed[j] = block[(start + n - 1) % n];
    if (start == 0) result.primaryIndex = static_cast<std::uint32_t>(j);
  }
  return result;
}

}  // namespace quorvex::bwt
