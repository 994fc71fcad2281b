// The LZ block encoder: the parse drives the same token coder the decoder runs.
#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <system_error>

#include "codecs/lz/lz_block_state.hpp"
#include "codecs/lz/lz_codec.hpp"
#include "codecs/lz/lz_match_finder.hpp"
#include "codecs/lz/lz_model.hpp"
#include "codecs/lz/lz_parser.hpp"
#include "codecs/lz/lz_search_ahead.hpp"
#include "codecs/lz/lz_token_coder.hpp"
#include "model/binary_coder.hpp"

namespace quorvex::lz {

LzEncoder::LzEncoder(LzEncoderSettings settings) : settings_(settings) {}
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

void LzEncoder::slideTo(std::span<const std::uint8_t> window, std::uint64_t windowStart) {
  // A remembered position is read with the five bytes before it.
  constexpr std::uint32_t kSpan = kHashContextBytes + 1;
  // Only a model that has coded something remembers positions, and then the old copy exists.
  const std::uint8_t* old = buffer_.empty() ? nullptr : buffer_.data() + kWindowGuardBytes;
  const auto held = [&](std::uint32_t position) {
    if (position < keptFrom_) return false;  // a kept context: older than any window byte
    const std::uint64_t offset = start_ + (position - keptFrom_);
    return offset >= windowStart + kHashContextBytes && offset - windowStart < window.size();
  };
  std::uint32_t contexts = 0;
  for (const std::uint32_t position : model_->PositionHash) contexts += position != 0 && !held(position);

  std::vector<std::uint8_t> kept;
  kept.reserve(std::size_t{contexts} * kSpan);
  const auto keptFrom = static_cast<std::uint32_t>(std::size_t{contexts} * kSpan);
  for (std::uint32_t& position : model_->PositionHash) {
    if (position == 0) continue;
    if (held(position)) {
      position = keptFrom + static_cast<std::uint32_t>(start_ + (position - keptFrom_) - windowStart);
      continue;
    }
    // Before a window that starts at 0 the old copy holds the guard's zeros, as the decoder does.
    kept.insert(kept.end(), old + position - kHashContextBytes, old + position + 1);
    position = static_cast<std::uint32_t>(kept.size() - 1);
  }
  buffer_.resize(kWindowGuardBytes + kept.size());
  if (!kept.empty()) std::memcpy(buffer_.data() + kWindowGuardBytes, kept.data(), kept.size());  // data() may be null
  start_ = windowStart;
  keptFrom_ = keptFrom;
  // The chains name old positions: index the new copy afresh, from the first byte a
  // match may copy (its four context bytes before it are then window bytes too).
  finder_->restartAt(keptFrom_ + (start_ == 0 && keptFrom_ == 0 ? 0 : kSourceContextBytes));
}

std::vector<std::uint8_t> LzEncoder::encodeBlock(std::span<const std::uint8_t> window, std::size_t blockOffset,
                                                 std::uint64_t windowStart) {
  if (!model_) model_ = LzModel::create();
  if (!model_) throw std::bad_alloc();
  if (!finder_) finder_ = std::make_unique<MatchFinder>(settings_.chainSteps, settings_.pairDistance);
  std::vector<std::uint8_t> payload;
  constexpr std::size_t kMostKeptContexts = kPositionHashSize * (kHashContextBytes + 1);
  if (blockOffset >= window.size() ||
      window.size() > std::numeric_limits<std::uint32_t>::max() - kMostKeptContexts) {
    return payload;
  }
  if (windowStart != start_) slideTo(window, windowStart);

  // The decoder sees zero bytes before the window; the copy gives the encoder the same.
  buffer_.resize(kWindowGuardBytes + keptFrom_ + window.size());
  std::memcpy(buffer_.data() + kWindowGuardBytes + keptFrom_, window.data(), window.size());
  std::uint8_t* base = buffer_.data() + kWindowGuardBytes;
  const auto size = static_cast<std::uint32_t>(keptFrom_ + window.size());
  finder_->attach(base, size);

  BinaryEncoder coder(payload);
  const auto blockStart = static_cast<std::uint32_t>(keptFrom_ + blockOffset);
  LzBlockState state(base, blockStart, size - blockStart);
  // New distances come from the match finder, which offers no source before the window
  // (see slideTo). The recent distances start afresh in every block and only name
  // sources that were valid before, which lie further back the further the block goes:
  // no match copies from before the window either.
  SearchAhead* ahead = searchAhead();
  if (ahead != nullptr) ahead->start(blockStart, size);
  // However the parse ends, the walker is done with the finder before anything else
  // touches it.
  struct Finish {
    SearchAhead* ahead;
    ~Finish() {
      if (ahead != nullptr) ahead->finish();
    }
  } finish{ahead};
  LzParser parser(*finder_, *model_, settings_, ahead);
  while (!state.done()) {
    LzToken token = parser.next(state);
    codeToken(*model_, coder, state, token);
  }
  coder.flush();
  return payload;
}

}  // namespace quorvex::lz
