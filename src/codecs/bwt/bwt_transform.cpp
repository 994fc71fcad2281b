#include "codecs/bwt/bwt_transform.hpp"

#include <divsufsort.h>

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
  // Four tables in turn: a transformed block is full of runs of one byte, and one
  // table would have each count wait for the store of the one before.
  std::array<std::array<std::uint32_t, 256>, 4> counts{};
  std::uint32_t j = 0;
  for (; j + 4 <= n; j += 4) {
    ++counts[0][block[j]];
    ++counts[1][block[j + 1]];
    ++counts[2][block[j + 2]];
    ++counts[3][block[j + 3]];
  }
  for (; j < n; ++j) ++counts[0][block[j]];
  std::array<std::uint32_t, 256> start;
  std::uint32_t sum = 0;
  for (std::uint32_t b = 0; b < 256; ++b) {
    start[b] = sum;
    sum += counts[0][b] + counts[1][b] + counts[2][b] + counts[3][b];
  }
  return start;
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

  // The suffixes of the block written twice, sorted, list its rotations in order among
  // the suffixes that start in the first copy: each such suffix begins with its whole
  // rotation. Equal rotations (a periodic block) all give the same last byte, so their
  // order changes nothing but which of them is named primary, and any of them decodes.
  std::vector<std::uint8_t> doubled(2 * n);
  std::copy(block.begin(), block.end(), doubled.begin());
  std::copy(block.begin(), block.end(), doubled.begin() + static_cast<std::ptrdiff_t>(n));
  std::vector<saidx_t> suffixes(2 * n);
  if (divsufsort(doubled.data(), suffixes.data(), static_cast<saidx_t>(2 * n)) != 0) throw std::bad_alloc();

  result.transformed.resize(n);
  std::size_t j = 0;
  for (const saidx_t suffix : suffixes) {
    const auto start = static_cast<std::size_t>(suffix);
    if (start >= n) continue;
    result.transformed[j] = doubled[start + n - 1];
    if (start == 0) result.primaryIndex = static_cast<std::uint32_t>(j);
    ++j;
  }
  return result;
}

}  // namespace quorvex::bwt
