#include "codecs/bwt/bwt_transform.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <new>

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

// Small blocks: each link carries the byte found at its position, so the chasing pass
// reads one table and the block itself may be overwritten as it goes.
void invertPacked(std::uint8_t* block, std::uint32_t n, std::uint32_t primaryIndex, std::uint32_t* links) {
  auto start = symbolStarts(block, n);
  for (std::uint32_t j = 0; j < n; ++j) {
    const std::uint8_t b = block[j];
    links[start[b]++] = (j << 8) | b;
  }
  std::uint32_t p = primaryIndex;
  for (std::uint32_t k = 0; k < n; ++k) {
    p = links[p];
    block[k] = static_cast<std::uint8_t>(p & 0xFFu);
    p >>= 8;
  }
}

// Large blocks: positions no longer fit beside a byte in 32 bits.
void invertWithCopy(std::uint8_t* block, std::uint32_t n, std::uint32_t primaryIndex, std::uint32_t* links,
                    const std::uint8_t* copy) {
  auto start = symbolStarts(copy, n);
  for (std::uint32_t j = 0; j < n; ++j) links[start[copy[j]]++] = j;
  std::uint32_t p = primaryIndex;
  for (std::uint32_t k = 0; k < n; ++k) {
    p = links[p];
    block[k] = copy[p];
  }
}

}  // namespace

bool inverseBwt(std::uint8_t* buffer, std::uint32_t n, std::uint32_t primaryIndex, std::size_t room) {
  if (n == 0 || primaryIndex >= n || room < inverseBwtRoom(n)) return false;
  std::uint32_t* links = linkTableAfter(buffer, n);
  if (n < kPackedLinkLimit) {
    invertPacked(buffer, n, primaryIndex, links);
    return true;
  }
  std::unique_ptr<std::uint8_t[]> copy(new (std::nothrow) std::uint8_t[n]);
  if (!copy) return false;
  std::memcpy(copy.get(), buffer, n);
  invertWithCopy(buffer, n, primaryIndex, links, copy.get());
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
