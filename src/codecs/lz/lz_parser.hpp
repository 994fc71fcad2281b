// The encoder's parse: a forward search for the cheapest way to code the bytes ahead,
// priced by the model's current probabilities. Every position is a node; a literal
// leads to the next one, a match of length l at one of the four recent distances or at
// a distance the match finder offers leads l positions on. Each node keeps the cheapest
// path to it with the recent distances and token history that path leaves, since these
// shape the price of what follows; a match, the literal where it stops and a repeat of
// its distance after that also lead on as one step, since the cheapest path to the
// literal's node may have lost that distance. The search stops where every path meets
// (no token spans the position), at a match long enough to take outright
// (settings.niceLength), or after kMaxPlan positions; the cheapest path found is then
// coded token by token.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "codecs/lz/lz_block_state.hpp"
#include "codecs/lz/lz_codec.hpp"
#include "codecs/lz/lz_match_source.hpp"
#include "codecs/lz/lz_model.hpp"
#include "codecs/lz/lz_prices.hpp"
#include "codecs/lz/lz_token_coder.hpp"

namespace quorvex::lz {

class LzParser {
 public:
  // The new distances come from `matches`: the match finder itself, or the walks run
  // ahead of the parse on another thread (which give the same ones).
  LzParser(MatchSource& matches, const LzModel& model, const LzEncoderSettings& settings);

  // The token to code at s.q; matches never run past the current segment.
  LzToken next(const LzBlockState& s);

 private:
  static constexpr std::uint32_t kMaxPlan = 4096;
  static constexpr std::uint32_t kRepricePeriod = 1024;   // bytes between refreshes of the match prices

  struct Node {
    Price price = kUnreachable;
    std::uint32_t from = 0;  // the node the last token starts at
    LzToken token;
    // A path that reaches the node by a match, one literal and a repeat of the match's
    // distance: `lead` is that first match (the literal is the byte before `token`).
    bool afterLiteral = false;
    LzToken lead;
    std::array<std::uint32_t, 4> recent{};
    std::uint32_t eventHistory = 0;
  };

  // The distance prices asked for since the last refresh: the same sources come up at
  // position after position while a match goes on.
  struct DistancePrice {
    std::uint32_t distance = 0;
    std::uint32_t generation = 0;  // the refresh it was priced after
    Price price = 0;
  };
  static constexpr std::uint32_t kDistanceCacheBits = 10;

  void plan(const LzBlockState& s);
  Price distanceBitsPrice(std::uint32_t distance);
  void relax(std::uint32_t from, std::uint32_t to, Price price, const LzToken& token);
  // A match from node `index` that stops at a byte it cannot copy is often worth
  // ending there only because the same distance goes on one byte later: offers that
  // path (match, literal, repeat of the distance) as one step, whatever the cheapest
  // way to the literal's node is. `matchPrice` is the path's price after the match.
  void relaxLiteralThenRepeat(const LzBlockState& s, std::uint32_t index, const LzToken& match, Price matchPrice,
                              std::uint32_t segmentEnd);
  std::uint32_t follow(const LzBlockState& s, std::uint32_t index, std::uint32_t segmentEnd);

  MatchSource& matches_;
  const LzModel& model_;
  LzEncoderSettings settings_;
  MatchPrices prices_;
  std::uint32_t farthest_ = 0;  // the furthest node any token reaches so far
  std::uint32_t repriceAt_ = 0;
  bool priced_ = false;
  std::uint32_t generation_ = 1;
  std::array<DistancePrice, std::size_t{1} << kDistanceCacheBits> distancePrices_{};
  std::vector<Node> nodes_;
  std::vector<LzToken> planned_;  // in reverse order: the next token is at the back
  std::array<MatchCandidate, MatchSource::kMaxCandidates> candidates_{};
};

}  // namespace quorvex::lz
