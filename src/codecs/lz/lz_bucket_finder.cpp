#include "codecs/lz/lz_bucket_finder.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>

#include "model/huge_pages.hpp"

namespace quorvex::lz {

namespace {

// The fewest buckets a table has. A window of kHugePageBlockMinimum bytes and more
// gets the full table at once; smaller ones are trials on a sample of a block.
constexpr std::uint32_t kLeastBucketBits = 12;
// Buckets are fetched this many positions ahead of their use, and the bytes of at most
// so many of their sources.
constexpr std::uint32_t kAhead = 8;
constexpr std::uint32_t kSourcesAhead = 16;
// Entries hold a coordinate + 1 in 32 bits.
constexpr std::uint64_t kCoordinateEnd = std::numeric_limits<std::uint32_t>::max();

}  // namespace

BucketFinder::BucketFinder(std::uint32_t slots, std::uint32_t pairDistance, std::uint32_t mostBucketBits)
    : slots_(std::clamp(slots, 1u, kMostSlots)),
      pairDistance_(pairDistance),
      mostBucketBits_(std::clamp(mostBucketBits, kLeastBucketBits, 24u)) {}

void BucketFinder::clearTables(std::uint32_t bucketBits) {
  bucketBits_ = bucketBits;
  const std::size_t entries = (std::size_t{1} << bucketBits) * slots_;
  // A table of full size is read at random over several MiB: in 2 MiB pages its reads
  // miss the address cache far less.
  // Buckets start on a cache line, so that one of 16 slots is one line to fetch.
  constexpr std::size_t kLineEntries = 64 / sizeof(std::uint32_t);
  std::vector<std::uint32_t>().swap(table_);
  table_.reserve(entries + kLineEntries);
  const auto address = reinterpret_cast<std::uintptr_t>(table_.data());
  const std::size_t skip = (alignUp(address, 64) - address) / sizeof(std::uint32_t);
  if (entries * sizeof(std::uint32_t) >= kHugePageBytes) adviseHugePages(table_.data(), table_.capacity() * sizeof(std::uint32_t));
  table_.resize(skip + entries, 0);
  buckets_ = table_.data() + skip;
  triples_.assign(std::size_t{1} << kTripleBits, 0);
  pairs_.assign(std::size_t{1} << 16, 0);
  bias_ = 0;
  indexedCoordinate_ = lowestSource_;
}

void BucketFinder::restartAt(std::uint32_t lowestSource) {
  lowestSource_ = lowestSource;
  if (std::uint64_t{indexedCoordinate_} + lowestSource >= kCoordinateEnd) {
    table_.clear();  // the coordinates ran out: attach() clears the tables
    return;
  }
  // Every entry made so far lies below the coordinate indexing goes on from, so the
  // tables need no clearing: their entries read as empty, as in a fresh table.
  bias_ = indexedCoordinate_;
  indexedCoordinate_ = bias_ + lowestSource;
}

void BucketFinder::windowMoved(std::uint64_t shift, std::uint32_t lowestSource) {
  if (shift == 0 || bias_ + shift + lowestSource >= kCoordinateEnd) {
    restartAt(lowestSource);
    return;
  }
  bias_ += static_cast<std::uint32_t>(shift);
  lowestSource_ = lowestSource;
  indexedCoordinate_ = std::max(indexedCoordinate_, bias_ + lowestSource);
}

void BucketFinder::attach(const std::uint8_t* window, std::uint32_t size) {
  const std::uint32_t wanted =
      size >= kHugePageBlockMinimum
          ? mostBucketBits_
          : std::clamp<std::uint32_t>(static_cast<std::uint32_t>(std::bit_width(size / slots_)), kLeastBucketBits,
                                      mostBucketBits_);
  const std::uint64_t indexedEnd = indexedCoordinate_ - std::uint64_t{bias_};
  // A table too small for the window is made anew, at the full size; so is one whose
  // coordinates would run out within this window.
  if (table_.empty() || wanted > bucketBits_ ||
      std::uint64_t{indexedCoordinate_} + size >= kCoordinateEnd) {
    clearTables(std::max(wanted, bucketBits_));
  } else if (size < indexedEnd) {
    restartAt(lowestSource_);  // a window shorter than what was indexed: a new window
  }
  window_ = window;
  size_ = size;
}

std::uint32_t BucketFinder::bucketOf(std::uint32_t position) const {
  std::uint64_t v;
  std::memcpy(&v, window_ + position, kHashedBytes);
  return static_cast<std::uint32_t>((v * 0x9E3779B97F4A7C15ull) >> (64 - bucketBits_));
}

std::uint32_t BucketFinder::positionOf(std::uint32_t entry) const {
  if (entry == 0) return kNone;
  const std::uint32_t coordinate = entry - 1;
  if (coordinate < bias_ || coordinate - bias_ < lowestSource_) return kNone;
  return coordinate - bias_;
}

// A position joins once the bytes its bucket is hashed from are in the window.
void BucketFinder::insert(std::uint32_t position) {
  const std::uint32_t entry = position + bias_ + 1;
  pairs_[pairKey(window_ + position)] = entry;
  triples_[tripleKey(window_ + position)] = entry;
  std::uint32_t* bucket = &buckets_[std::size_t{bucketOf(position)} * slots_];
  std::memmove(bucket + 1, bucket, (slots_ - 1) * sizeof(std::uint32_t));
  bucket[0] = entry;
  indexedCoordinate_ = entry;
}

void BucketFinder::indexUpTo(std::uint32_t limit) {
  if (size_ < kHashedBytes) return;
  limit = std::min(limit, size_ - kHashedBytes + 1);
  for (std::uint32_t position = indexedCoordinate_ - bias_; position < limit; ++position) {
    if (position + kAhead + kHashedBytes <= size_) __builtin_prefetch(&buckets_[std::size_t{bucketOf(position + kAhead)} * slots_]);
    insert(position);
  }
}

std::uint32_t BucketFinder::collect(std::uint32_t position, std::uint32_t maxLength, MatchCandidate* out) {
  if (maxLength < 2 || position + 3 > size_) return 0;
  indexUpTo(position);
  // The parse asks position after position, and waits on memory twice at each: for the
  // bucket, and for its sources' bytes. Fetch the bucket two strides ahead, and the
  // sources of the one a stride ahead (fetched a stride ago).
  if (position + 2 * kAhead + kHashedBytes <= size_) {
    __builtin_prefetch(&buckets_[std::size_t{bucketOf(position + 2 * kAhead)} * slots_]);
  }
  if (position + kAhead + kHashedBytes <= size_) {
    const std::uint32_t* ahead = &buckets_[std::size_t{bucketOf(position + kAhead)} * slots_];
    for (std::uint32_t k = 0; k < std::min(slots_, kSourcesAhead); ++k) {
      const std::uint32_t source = positionOf(ahead[k]);
      if (source >= position + kAhead) break;
      __builtin_prefetch(window_ + source);
    }
  }
  maxLength = std::min(maxLength, size_ - position);
  const std::uint8_t* here = window_ + position;
  std::uint32_t count = 0;
  std::uint32_t best = 1;
  const auto offer = [&](std::uint32_t source) {
    // A source that differs at the byte after the best length cannot beat it.
    if (best < maxLength && window_[source + best] != here[best]) return;
    const std::uint32_t length = matchLength(here, window_ + source, maxLength);
    if (length <= best) return;
    best = length;
    if (count == kMaxCandidates) --count;  // a full list keeps the longest
    out[count++] = {length, position - source};
  };

  const std::uint32_t pair = positionOf(pairs_[pairKey(window_ + position)]);
  if (pair < position && position - pair <= pairDistance_) offer(pair);
  const std::uint32_t triple = positionOf(triples_[tripleKey(window_ + position)]);
  if (best < maxLength && triple < position) offer(triple);
  if (position + kHashedBytes > size_) return count;

  const std::uint32_t* bucket = &buckets_[std::size_t{bucketOf(position)} * slots_];
  std::uint32_t sources[kMostSlots];
  std::uint32_t held = 0;
  // Newest first: the first entry that names no source ends the list, as every later
  // one is older still. The sources' bytes are fetched together before any is compared.
  for (; held < slots_; ++held) {
    const std::uint32_t source = positionOf(bucket[held]);
    if (source >= position) break;
    sources[held] = source;
    __builtin_prefetch(window_ + source);
  }
  for (std::uint32_t k = 0; k < held && best < maxLength; ++k) offer(sources[k]);
  if (indexedCoordinate_ - bias_ == position) insert(position);
  return count;
}

}  // namespace quorvex::lz
