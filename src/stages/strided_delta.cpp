#include "stages/strided_delta.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quorvex::stages {
namespace {

// output[k] = input[k] + output[k - stride] for k in [0, length), in increasing order,
// so that a region reaching back into itself uses bytes already restored.
void undoDelta(std::uint8_t* output, const std::uint8_t* input, std::uint64_t length, std::uint64_t stride) {
  std::uint64_t k = 0;
#if defined(__SSE2__)
  if (stride >= 16) {
    for (; k + 16 <= length; k += 16) {
      const __m128i sum = _mm_add_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(input + k)),
                                       _mm_loadu_si128(reinterpret_cast<const __m128i*>(output + k - stride)));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(output + k), sum);
    }
  } else if (length >= 16) {
    // A short stride: the last `stride` bytes restored stay in the low lanes of a
    // register rather than go through memory, which would put a store and a load in
    // the way of every byte. Each step stores 16 lanes and keeps `stride` of them: the
    // lanes above are written again by the next steps (within the region), and the
    // loads above the first `stride` lanes of `previous` only fill lanes not kept.
    __m128i previous = _mm_loadu_si128(reinterpret_cast<const __m128i*>(output - stride));
    for (; k + 16 <= length; k += stride) {
      previous = _mm_add_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(input + k)), previous);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(output + k), previous);
    }
  }
#endif
  const std::uint8_t* back = output - stride;  // inside the block: stride <= the region's start
  for (; k < length; ++k) output[k] = static_cast<std::uint8_t>(input[k] + back[k]);
}

}  // namespace

bool decodeDeltaRegions(WordBitReader& reader, const std::uint8_t* input, std::uint32_t n,
                        std::uint8_t* output) {
  std::uint32_t cur = n < kDeltaHead ? n : kDeltaHead;
  std::memcpy(output, input, cur);
  std::uint64_t base = 0;
  while (cur < n) {
    DeltaRegion region;
    if (!codeDeltaRegion(reader, region)) return false;
    if (region.stride == 0) break;
    const std::uint64_t start = base + region.gap;
    const std::uint64_t end = start + region.count + kDeltaRegionExtra;
    if (start < cur || end > n || region.stride > start) return false;
    std::memcpy(output + cur, input + cur, start - cur);
    undoDelta(output + start, input + start, end - start, region.stride);
    cur = static_cast<std::uint32_t>(end);
    base = start + region.count;
  }
  std::memcpy(output + cur, input + cur, n - cur);
  return true;
}

DeltaCoded encodeDeltaRegions(std::span<const std::uint8_t> block, std::span<const StrideRun> runs) {
  DeltaCoded result;
  result.bytes.assign(block.begin(), block.end());
  WordBitWriter writer(result.side);
  std::uint64_t base = 0;
  std::uint32_t end = 0;
  for (const StrideRun& run : runs) {
    for (std::uint32_t k = run.start; k < run.end; ++k) {
      result.bytes[k] = static_cast<std::uint8_t>(block[k] - block[k - run.stride]);
    }
    DeltaRegion region{run.stride, run.end - run.start - kDeltaRegionExtra, run.start - base};
    codeDeltaRegion(writer, region);
    base = run.start + region.count;
    end = run.end;
  }
  if (end != block.size()) {
    DeltaRegion last;
    codeDeltaRegion(writer, last);
  }
  writer.finish();
  return result;
}

// The survey weighs 257 strides over 64 KiB of every chunk that is neither text nor
// code: counting in byte lanes, summed every 255 steps before they wrap, takes a few
// instructions per 16 bytes where counting into 32-bit sums takes a dozen.
std::uint32_t countEqualBytes(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) {
  std::uint32_t count = 0;
  std::size_t i = 0;
#if defined(__SSE2__)
  while (n - i >= 16) {
    const std::size_t steps = std::min<std::size_t>((n - i) / 16, 255);
    __m128i lanes = _mm_setzero_si128();
    for (std::size_t k = 0; k < steps; ++k, i += 16) {
      const __m128i equal = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i)),
                                           _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i)));
      lanes = _mm_sub_epi8(lanes, equal);  // an equal byte's lane is all ones: -1
    }
    const __m128i sums = _mm_sad_epu8(lanes, _mm_setzero_si128());
    count += static_cast<std::uint32_t>(_mm_cvtsi128_si32(sums)) +
             static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_unpackhi_epi64(sums, sums)));
  }
#endif
  for (; i < n; ++i) count += a[i] == b[i];
  return count;
}

namespace {

constexpr std::uint32_t kChunk = 2048;
constexpr std::uint32_t kMaxPeakStride = 256;
constexpr std::uint32_t kPeaks = 3;

// Order-0 entropy, in bits, of a histogram over total symbols.
double entropyBits(const std::array<std::uint32_t, 256>& histogram, std::uint32_t total) {
  double bits = 0;
  for (const std::uint32_t c : histogram) {
    if (c != 0) bits -= c * std::log2(static_cast<double>(c) / total);
  }
  return bits;
}

// The strides worth trying: the usual record sizes and the strongest local maxima of
// the byte autocorrelation (how often a byte equals the one s back), from a sample.
std::vector<std::uint32_t> candidateStrides(std::span<const std::uint8_t> block) {
  std::vector<std::uint32_t> strides{1, 2, 3, 4, 8, 12, 16};
  const std::size_t sampleEnd = std::min<std::size_t>(block.size(), std::size_t{1} << 16);
  std::array<std::uint32_t, kMaxPeakStride + 2> equal{};
  for (std::uint32_t s = 1; s <= kMaxPeakStride + 1 && s < sampleEnd; ++s) {
    equal[s] = countEqualBytes(block.data() + s, block.data(), sampleEnd - s);
  }
  std::vector<std::pair<std::uint32_t, std::uint32_t>> peaks;  // (score, stride)
  for (std::uint32_t s = 2; s <= kMaxPeakStride; ++s) {
    if (equal[s] > equal[s - 1] && equal[s] >= equal[s + 1]) peaks.push_back({equal[s], s});
  }
  std::sort(peaks.rbegin(), peaks.rend());
  for (std::size_t i = 0; i < peaks.size() && i < kPeaks; ++i) {
    if (std::find(strides.begin(), strides.end(), peaks[i].second) == strides.end()) strides.push_back(peaks[i].second);
  }
  return strides;
}

}  // namespace

std::vector<StrideRun> findDeltaRegions(std::span<const std::uint8_t> block) {
  std::vector<StrideRun> runs;
  const std::uint32_t n = static_cast<std::uint32_t>(block.size());
  if (n < kDeltaMinBlock + kChunk) return runs;
  const std::vector<std::uint32_t> strides = candidateStrides(block);
  for (std::uint32_t start = kDeltaHead; start < n;) {
    // The last chunk takes the remainder, so that no chunk is short.
    const std::uint32_t end = n - start < 2 * kChunk ? n : start + kChunk;
    std::array<std::uint32_t, 256> histogram{};
    for (std::uint32_t k = start; k < end; ++k) ++histogram[block[k]];
    const double rawBits = entropyBits(histogram, end - start);
    double bestBits = rawBits * 0.9 - 256;  // a region must clearly pay for itself
    std::uint32_t bestStride = 0;
    for (const std::uint32_t stride : strides) {
      if (stride > start) continue;
      histogram.fill(0);
      for (std::uint32_t k = start; k < end; ++k) ++histogram[static_cast<std::uint8_t>(block[k] - block[k - stride])];
      const double bits = entropyBits(histogram, end - start);
      if (bits < bestBits) bestBits = bits, bestStride = stride;
    }
    if (bestStride != 0) {
      if (!runs.empty() && runs.back().end == start && runs.back().stride == bestStride) {
        runs.back().end = end;
      } else {
        runs.push_back({start, end, bestStride});
      }
    }
    start = end;
  }
  return runs;
}

}  // namespace quorvex::stages
