// The LZ block encoder: the parse drives the same token coder the decoder runs.
#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <system_error>

#include "codecs/lz/lz_block_state.hpp"
#include "codecs/lz/lz_bucket_finder.hpp"
#include "codecs/lz/lz_codec.hpp"
#include "codecs/lz/lz_match_finder.hpp"
#include "codecs/lz/lz_model.hpp"
#include "codecs/lz/lz_parser.hpp"
#include "codecs/lz/lz_search_ahead.hpp"
#include "codecs/lz/lz_token_coder.hpp"
#include "model/binary_coder.hpp"
#include "model/huge_pages.hpp"

namespace quorvex::lz {

LzEncoder::LzEncoder(LzEncoderSettings settings) : settings_(settings), buffer_(kWindowGuardBytes, 0) {}
LzEncoder::~LzEncoder() = default;

SearchAhead* LzEncoder::searchAhead() {
  if (!settings_.searchAhead || ahead_) return ahead_.get();
  try {
    ahead_ = std::make_unique<SearchAhead>(*finder_);
  } catch (const std::system_error&) {
    settings_.searchAhead = false;  // no thread to be had: the parse searches itself
  }
  return ahead_.get();
}

std::size_t LzEncoder::windowFront() const { return kWindowGuardBytes + keptFrom_; }

std::span<const std::uint8_t> LzEncoder::window() const { return {buffer_.data() + windowFront(), windowBytes()}; }

void LzEncoder::appendToWindow(std::span<const std::uint8_t> bytes) {
  buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

void LzEncoder::truncateWindow(std::size_t size) {
  if (size < windowBytes()) buffer_.resize(windowFront() + size);
}

void LzEncoder::dropOldest(std::size_t count) {
  count = std::min(count, windowBytes());
  if (count != 0) slideTo(start_ + count, start_ + windowBytes());
}

void LzEncoder::clear() {
  ahead_.reset();  // the walker holds the finder
  model_.reset();
  hugePages_ = false;
  finder_.reset();
  buckets_.reset();
  std::vector<std::uint8_t>(kWindowGuardBytes, 0).swap(buffer_);
  start_ = 0;
  keptFrom_ = 0;
}

namespace {

// The first position a match may copy from: its four context bytes before it must be
// window bytes too, or the guard's zeros before a window that starts at 0.
std::uint32_t lowestSource(std::uint64_t windowStart, std::uint32_t keptFrom) {
  return keptFrom + (windowStart == 0 && keptFrom == 0 ? 0 : kSourceContextBytes);
}

}  // namespace

void LzEncoder::slideTo(std::uint64_t windowStart, std::uint64_t windowEnd) {
  // A remembered position is read with the five bytes before it.
  constexpr std::uint32_t kSpan = kHashContextBytes + 1;
  const std::uint8_t* old = buffer_.data() + kWindowGuardBytes;
  const auto held = [&](std::uint32_t position) {
    if (position < keptFrom_) return false;  // a kept context: older than any window byte
    const std::uint64_t offset = start_ + (position - keptFrom_);
    return offset >= windowStart + kHashContextBytes && offset < windowEnd;
  };
  // Only a model that has coded something remembers positions.
  std::vector<std::uint8_t> kept;
  if (model_) {
    std::uint32_t contexts = 0;
    for (const std::uint32_t position : model_->PositionHash) contexts += position != 0 && !held(position);
    kept.reserve(std::size_t{contexts} * kSpan);
    const auto keptFrom = static_cast<std::uint32_t>(std::size_t{contexts} * kSpan);
    for (std::uint32_t& position : model_->PositionHash) {
      if (position == 0) continue;
      if (held(position)) {
        position = keptFrom + static_cast<std::uint32_t>(start_ + (position - keptFrom_) - windowStart);
        continue;
      }
      // Before a window that starts at 0 the buffer holds the guard's zeros, as the decoder does.
      kept.insert(kept.end(), old + position - kHashContextBytes, old + position + 1);
      position = static_cast<std::uint32_t>(kept.size() - 1);
    }
  }
  // The held bytes from the new start on move behind the kept contexts (a start before
  // the held window keeps none of them), then the contexts take the front.
  const std::uint64_t heldEnd = std::min<std::uint64_t>(start_ + windowBytes(), windowEnd);
  const std::size_t moved = windowStart >= start_ && windowStart < heldEnd ? heldEnd - windowStart : 0;
  const std::size_t to = kWindowGuardBytes + kept.size();
  // How far the bytes that stay move toward the front (0: none stay, or they move back).
  const std::uint64_t movedFrom = keptFrom_ + (windowStart - start_);
  const std::uint64_t shift = moved != 0 && movedFrom > kept.size() ? movedFrom - kept.size() : 0;
  if (moved != 0) {
    const std::size_t from = windowFront() + (windowStart - start_);
    if (to + moved > buffer_.size()) buffer_.resize(to + moved);
    std::memmove(buffer_.data() + to, buffer_.data() + from, moved);
  }
  buffer_.resize(to + moved);
  if (!kept.empty()) std::memcpy(buffer_.data() + kWindowGuardBytes, kept.data(), kept.size());  // data() may be null
  start_ = windowStart;
  keptFrom_ = static_cast<std::uint32_t>(kept.size());
  // The trees name old positions: index the window afresh. The buckets' positions move
  // with the bytes.
  if (finder_) finder_->restartAt(lowestSource(start_, keptFrom_));
  if (buckets_) buckets_->windowMoved(shift, lowestSource(start_, keptFrom_));
}

MatchSource& LzEncoder::attachFinder(const std::uint8_t* base, std::uint32_t size) {
  if (settings_.bucketSlots != 0) {
    if (!buckets_) {
      buckets_ = std::make_unique<BucketFinder>(settings_.bucketSlots, settings_.pairDistance);
      buckets_->restartAt(lowestSource(start_, keptFrom_));
    }
    buckets_->attach(base, size);
    return *buckets_;
  }
  if (!finder_) {
    finder_ = std::make_unique<MatchFinder>(settings_.chainSteps, settings_.pairDistance);
    finder_->restartAt(lowestSource(start_, keptFrom_));
  }
  finder_->attach(base, size);
  return *finder_;
}

std::vector<std::uint8_t> LzEncoder::encodeBlock(std::span<const std::uint8_t> window, std::size_t blockOffset,
                                                 std::uint64_t windowStart) {
  if (blockOffset >= window.size()) return {};
  if (windowStart != start_) slideTo(windowStart, windowStart + window.size());
  buffer_.resize(windowFront() + window.size());
  std::memcpy(buffer_.data() + windowFront(), window.data(), window.size());
  return encodeBlock(blockOffset);
}

std::vector<std::uint8_t> LzEncoder::encodeBlock(std::size_t blockOffset) {
  // Huge pages for the model pay from the first large block on, as in the decoder; a
  // trial on a small sample commits only the pages it touches.
  const std::size_t held = windowBytes();
  const bool largeBlock = blockOffset < held && held - blockOffset >= kHugePageBlockMinimum;
  if (!model_) {
    model_ = LzModel::create(largeBlock);
    if (!model_) throw std::bad_alloc();
    hugePages_ = largeBlock;
  } else if (largeBlock && !hugePages_) {
    requestHugePages(*model_);
    hugePages_ = true;
  }
  std::vector<std::uint8_t> payload;
  constexpr std::size_t kMostKeptContexts = kPositionHashSize * (kHashContextBytes + 1);
  const std::size_t windowSize = windowBytes();
  if (blockOffset >= windowSize || windowSize > std::numeric_limits<std::uint32_t>::max() - kMostKeptContexts) {
    return payload;
  }

  std::uint8_t* base = buffer_.data() + kWindowGuardBytes;
  const auto size = static_cast<std::uint32_t>(keptFrom_ + windowSize);
  MatchSource& matches = attachFinder(base, size);

  BinaryEncoder coder(payload);
  const auto blockStart = static_cast<std::uint32_t>(keptFrom_ + blockOffset);
  LzBlockState state(base, blockStart, size - blockStart);
  // New distances come from the match finder, which offers no source before the window
  // (see slideTo). The recent distances start afresh in every block and only name
  // sources that were valid before, which lie further back the further the block goes:
  // no match copies from before the window either.
  SearchAhead* ahead = settings_.bucketSlots == 0 ? searchAhead() : nullptr;
  if (ahead != nullptr) ahead->start(blockStart, size);
  // However the parse ends, the walker is done with the finder before anything else
  // touches it.
  struct Finish {
    SearchAhead* ahead;
    ~Finish() {
      if (ahead != nullptr) ahead->finish();
    }
  } finish{ahead};
  LzParser parser(ahead != nullptr ? *ahead : matches, *model_, settings_);
  while (!state.done()) {
    LzToken token = parser.next(state);
    codeToken(*model_, coder, state, token);
  }
  coder.flush();
  return payload;
}

}  // namespace quorvex::lz
