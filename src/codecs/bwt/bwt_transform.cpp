#include "codecs/bwt/bwt_transform.hpp"

#include <divsufsort.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
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

namespace {

// Where the block's least rotation starts, or nothing when two rotations tie for least
// (the block repeats a shorter string). Two candidate starts i and j are compared byte by
// byte; at a mismatch after k equal bytes, the larger side's starts i..i+k (or j..j+k)
// each lose against the other side's, so none of them is least. O(n) steps, no memory.
std::optional<std::size_t> leastRotationStart(std::span<const std::uint8_t> block) {
  const std::size_t n = block.size();
  const auto at = [&](std::size_t start, std::size_t k) {
    const std::size_t index = start + k;
    return block[index < n ? index : index - n];
  };
  std::size_t i = 0, j = 1, k = 0;
  while (i < n && j < n && k < n) {
    const std::uint8_t a = at(i, k), b = at(j, k);
    if (a == b) {
      ++k;
      continue;
    }
    (a > b ? i : j) += k + 1;
    if (i == j) ++j;
    k = 0;
  }
  if (k == n) return std::nullopt;
  return std::min(i, j);
}

// Whether word is a Lyndon word: smaller than each of its other rotations. Each byte is
// compared with the one a period earlier while the prefix read so far is a Lyndon word,
// or a power of one followed by a prefix of it; a smaller byte ends the first factor.
bool isLyndonWord(std::span<const std::uint8_t> word) {
  std::size_t k = 0;
  for (std::size_t j = 1; j < word.size(); ++j) {
    if (word[k] < word[j]) {
      k = 0;
    } else if (word[k] == word[j]) {
      ++k;
    } else {
      return false;
    }
  }
  return k == 0;
}

// A Lyndon word's rotations sort as its suffixes do: where a suffix is a prefix of a
// longer one, the longer one goes on with a proper suffix of the word, which is greater
// than the word and no prefix of it, so its rotation is the greater one, as is its
// suffix. One sort of n suffixes then gives the rotation order, in a fifth of the
// memory the doubled block takes. The word is the block rotated to start at `shift`.
ForwardBwt sortLyndonRotation(std::vector<std::uint8_t>&& word, std::size_t shift) {
  ForwardBwt result;
  const std::size_t n = word.size();
  std::vector<saidx_t> suffixes(n);
  if (divsufsort(word.data(), suffixes.data(), static_cast<saidx_t>(n)) != 0) throw std::bad_alloc();

  // The block's own first byte starts the word's rotation n - shift (mod n).
  const std::size_t blockStart = shift == 0 ? 0 : n - shift;
  // Each row's last byte overwrites the suffix array as it is read: byte `row` lies in
  // an entry already read.
  auto* lastBytes = reinterpret_cast<std::uint8_t*>(suffixes.data());
  for (std::size_t row = 0; row < n; ++row) {
    const auto start = static_cast<std::size_t>(suffixes[row]);
    if (start == blockStart) result.primaryIndex = static_cast<std::uint32_t>(row);
    lastBytes[row] = word[start == 0 ? n - 1 : start - 1];
  }
  std::memcpy(word.data(), lastBytes, n);
  result.transformed = std::move(word);
  return result;
}

}  // namespace

ForwardBwt forwardBwt(std::span<const std::uint8_t> block) {
  const std::size_t n = block.size();
  if (n == 0) return {};
  const std::optional<std::size_t> shift = leastRotationStart(block);
  if (shift) {
    std::vector<std::uint8_t> word(n);
    std::rotate_copy(block.begin(), block.begin() + static_cast<std::ptrdiff_t>(*shift), block.end(), word.begin());
    // The least rotation of a block that is no power of a shorter string is a Lyndon word;
    // checked rather than trusted, since the sort's order rests on it.
    if (isLyndonWord(word)) return sortLyndonRotation(std::move(word), *shift);
  }
  return forwardBwtOfDoubledBlock(block);
}

// The suffixes of the block written twice, sorted, list its rotations in order among
// the suffixes that start in the first copy: each such suffix begins with its whole
// rotation. Equal rotations (a periodic block) sort by the rest, latest start first.
ForwardBwt forwardBwtOfDoubledBlock(std::span<const std::uint8_t> block) {
  ForwardBwt result;
  const std::size_t n = block.size();
  if (n == 0) return result;
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
