// The LZ block encoder: the parse drives the same token coder the decoder runs.
#include <cstring>
#include <limits>
#include <new>

#include "codecs/lz/lz_block_state.hpp"
#include "codecs/lz/lz_codec.hpp"
#include "codecs/lz/lz_match_finder.hpp"
#include "codecs/lz/lz_model.hpp"
#include "codecs/lz/lz_parser.hpp"
#include "codecs/lz/lz_token_coder.hpp"
#include "model/binary_coder.hpp"

namespace quorvex::lz {

LzEncoder::LzEncoder(LzEncoderSettings settings) : settings_(settings) {}
LzEncoder::~LzEncoder() = default;

std::vector<std::uint8_t> LzEncoder::encodeBlock(std::span<const std::uint8_t> window, std::size_t blockOffset) {
  if (!model_) model_ = LzModel::create();
  if (!model_) throw std::bad_alloc();
  if (!finder_) finder_ = std::make_unique<MatchFinder>(settings_.chainSteps, settings_.pairDistance);
  std::vector<std::uint8_t> payload;
  if (blockOffset >= window.size() || window.size() > std::numeric_limits<std::uint32_t>::max()) return payload;

  // The decoder sees zero bytes before the window; the copy gives the encoder the same.
  buffer_.assign(kWindowGuardBytes + window.size(), 0);
  std::memcpy(buffer_.data() + kWindowGuardBytes, window.data(), window.size());
  std::uint8_t* base = buffer_.data() + kWindowGuardBytes;
  finder_->attach(base, static_cast<std::uint32_t>(window.size()));

  BinaryEncoder coder(payload);
  LzBlockState state(base, static_cast<std::uint32_t>(blockOffset), static_cast<std::uint32_t>(window.size() - blockOffset));
  LzParser parser(*finder_, *model_, settings_);
  while (!state.done()) {
    LzToken token = parser.next(state);
    codeToken(*model_, coder, state, token);
  }
  coder.flush();
  return payload;
}

}  // namespace quorvex::lz
