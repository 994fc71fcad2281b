// The `ContextHashTable`: bit-history states of the hashed context models.
//
// The table is made of 64-byte buckets, one cache line each. A bucket holds four ways:
// bytes 0..3 are the check bytes of ways 0..3, and node j of way k is byte 4 + 4j + k,
// so the 15 nodes of one nibble tree lie 4 bytes apart. A byte costs two lookups per
// model: one bucket for the first nibble, and one for the second nibble that lies an
// odd number of buckets (at most 255) behind the first, which is why the table has
// spare bytes behind its last bucket.
#pragma once

#include <bit>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "codecs/cm/zeroed_buffer.hpp"

namespace quorvex::cm {

inline constexpr std::uint32_t kBucketBytes = 64;
inline constexpr std::uint32_t kWays = 4;
inline constexpr std::uint32_t kNibbleNodes = 15;
// Room behind the table for the second-nibble buckets of the last buckets.
inline constexpr std::uint32_t kHashTableSpare = 16449;

class ContextHashTable {
 public:
  // tableBits is taken modulo 32: the table has 2^(tableBits mod 32) bytes of buckets.
  bool allocate(std::uint32_t tableBits);
  void adviseHugePages() { table_.adviseHugePages(); }

  static std::uint64_t bytesFor(std::uint32_t tableBits) { return (std::uint64_t{1} << (tableBits & 31)) + kHashTableSpare; }

  // Offset of node 0 of the way that holds hash h, claiming a way when none matches.
  std::uint32_t bucketLookup(std::uint32_t hash) {
    return lookUpWay((hash * kBucketBytes) & hashMask_, hash >> 24);
  }

  // Offset of node 0 of the second-nibble way for `key`, found from a pointer into the
  // first-nibble bucket.
  std::uint32_t nibbleLookup(std::uint32_t slot, std::uint32_t key) {
    const std::uint32_t bucket = (slot & ~(kBucketBytes - 1)) + kBucketBytes * ((key | 1) & 0xFF);
    return lookUpWay(bucket, key & 0xFF);
  }

  // Start loading the bucket of a coming lookup, so that several misses overlap.
  void prefetchBucket(std::uint32_t hash) const { __builtin_prefetch(table_.bytes() + ((hash * kBucketBytes) & hashMask_)); }
  void prefetchNibble(std::uint32_t slot, std::uint32_t key) const {
    __builtin_prefetch(table_.bytes() + (slot & ~(kBucketBytes - 1)) + kBucketBytes * ((key | 1) & 0xFF));
  }

  std::uint8_t* bytes() const { return table_.bytes(); }
  std::uint32_t hashMask() const { return hashMask_; }

 private:
  // Finds the way whose check byte is `check`; otherwise replaces the way with the
  // smallest node-0 state (ties to the lower way) and clears its nodes.
  std::uint32_t lookUpWay(std::uint32_t bucket, std::uint32_t check) {
    std::uint8_t* b = table_.bytes() + bucket;
    // The four check bytes at once: the lowest zero byte of their XOR with the check is
    // the first matching way (borrows only disturb the bytes above it).
    // Assembled little-endian whatever the host (one load on x86), so that byte k of
    // the word is way k's check byte.
    const std::uint32_t checks = std::uint32_t{b[0]} | std::uint32_t{b[1]} << 8 | std::uint32_t{b[2]} << 16 |
                                 std::uint32_t{b[3]} << 24;
    const std::uint32_t x = checks ^ (check * 0x01010101u);
    const std::uint32_t zeroBytes = (x - 0x01010101u) & ~x & 0x80808080u;
    if (zeroBytes != 0) return bucket + 4 + (static_cast<std::uint32_t>(std::countr_zero(zeroBytes)) >> 3);

    std::uint32_t victim = 0;
    std::uint32_t smallest = b[4];
    for (std::uint32_t way = 1; way < kWays; ++way) {
      const bool smaller = b[4 + way] < smallest;
      smallest = smaller ? b[4 + way] : smallest;
      victim = smaller ? way : victim;
    }
    clearWay(b, victim);
    b[victim] = static_cast<std::uint8_t>(check);
    return bucket + 4 + victim;
  }

  // Clears check byte and nodes of one way: byte `way` of every 4-byte group of the
  // (64-byte aligned) bucket.
  static void clearWay(std::uint8_t* bucket, std::uint32_t way) {
#if defined(__SSE2__)
    const __m128i keep = _mm_set1_epi32(static_cast<int>(~(0xFFu << (8 * way))));
    for (std::uint32_t i = 0; i < kBucketBytes; i += 16) {
      __m128i* line = reinterpret_cast<__m128i*>(bucket + i);
      _mm_store_si128(line, _mm_and_si128(_mm_load_si128(line), keep));
    }
#else
    for (std::uint32_t i = way; i < kBucketBytes; i += kWays) bucket[i] = 0;
#endif
  }

  ZeroedBuffer table_;
  std::uint32_t hashMask_ = 0;
};

}  // namespace quorvex::cm
