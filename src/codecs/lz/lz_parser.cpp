#include "codecs/lz/lz_parser.hpp"

#include <algorithm>
#include <bit>

#include "codecs/lz/lz_tables.hpp"

namespace quorvex::lz {

LzParser::LzParser(MatchSource& matches, const LzModel& model, const LzEncoderSettings& settings)
    : matches_(matches), model_(model), settings_(settings), nodes_(kSegmentSize + 1) {}

LzToken LzParser::next(const LzBlockState& s) {
  if (planned_.empty()) plan(s);
  const LzToken token = planned_.back();
  planned_.pop_back();
  return token;
}

Price LzParser::distanceBitsPrice(std::uint32_t distance) {
  DistancePrice& entry = distancePrices_[(distance * 2654435761u) >> (32 - kDistanceCacheBits)];
  if (entry.distance != distance || entry.generation != generation_) {
    entry = {distance, generation_, prices_.distanceBitsPrice(distance)};
  }
  return entry.price;
}

void LzParser::relax(std::uint32_t from, std::uint32_t to, Price price, const LzToken& token) {
  Node& target = nodes_[to];
  if (price >= target.price) return;
  const Node& source = nodes_[from];
  target.price = price;
  target.from = from;
  target.token = token;
  target.afterLiteral = false;
  target.recent = source.recent;
  if (token.literal) {
    target.eventHistory = ((source.eventHistory << 1) | 1u) & 255u;
  } else {
    target.eventHistory = (source.eventHistory << 1) & 255u;
    if (token.choice == 0) {
      pushFront(target.recent, token.distance);
    } else {
      moveToFront(target.recent, token.choice - 1);
    }
  }
  farthest_ = std::max(farthest_, to);
}

void LzParser::relaxLiteralThenRepeat(const LzBlockState& s, std::uint32_t index, const LzToken& match, Price matchPrice,
                                      std::uint32_t segmentEnd) {
  const Node& source = nodes_[index];
  LzBlockState at = s;
  at.recentDistances = source.recent;
  if (match.choice == 0) {
    pushFront(at.recentDistances, match.distance);
  } else {
    moveToFront(at.recentDistances, match.choice - 1);
  }
  const std::uint32_t distance = at.recentDistances[0];
  const std::uint32_t literalAt = s.q + index + match.length;
  const std::uint32_t repeatAt = literalAt + 1;
  if (repeatAt + kMinMatchLength > segmentEnd) return;
  const std::uint32_t length = matchLength(s.base + repeatAt, s.base + repeatAt - (distance + 1u), segmentEnd - repeatAt);
  if (length < kMinMatchLength) return;
  const std::uint32_t to = index + match.length + 1 + length;
  // Even the two flags and the surcharges must leave room for a cheaper path.
  const Price floor = matchPrice + settings_.literalSurcharge + settings_.matchSurcharge;
  if (floor >= nodes_[to].price) return;

  // The literal, after the match.
  at.q = literalAt;
  at.segmentLeft = segmentEnd - literalAt;
  at.currentDistance = distance;
  at.eventHistory = (source.eventHistory << 1) & 255u;
  const TokenContext lt = tokenContext(at);
  at.lastToken = 256u * lt.predictedByte + lt.c1;
  const std::uint32_t literalFlag = literalFlagProbability(model_, lt.predictedByte, lt.agreementFlags,
                                                           HistoryContextTable[at.eventHistory], at.lastToken);
  Price price = floor + bitPrice(literalFlag, 1) + literalPrice(model_, at, lt) * settings_.literalWeight / 16u;
  if (price >= nodes_[to].price) return;

  // The repeat, after the literal.
  at.q = repeatAt;
  at.segmentLeft = segmentEnd - repeatAt;
  at.eventHistory = ((at.eventHistory << 1) | 1u) & 255u;
  at.lastToken = s.base[literalAt];
  const TokenContext rt = tokenContext(at);
  const std::uint32_t repeatFlag = literalFlagProbability(model_, rt.predictedByte, rt.agreementFlags,
                                                          HistoryContextTable[at.eventHistory], at.lastToken);
  price += bitPrice(repeatFlag, 0) + recentChoicePrices(model_, rt.agreementFlags, at.eventHistory)[1] +
           prices_.lengthPrice(LengthVariant::lastDistance, length - kMinMatchLength);
  if (price >= nodes_[to].price) return;

  Node& target = nodes_[to];
  target.price = price;
  target.from = index;
  target.token = LzToken{0, 0, 1, length, 0};
  target.afterLiteral = true;
  target.lead = match;
  target.recent = at.recentDistances;
  target.eventHistory = (at.eventHistory << 1) & 255u;
  farthest_ = std::max(farthest_, to);
}

std::uint32_t LzParser::follow(const LzBlockState& s, std::uint32_t index, std::uint32_t segmentEnd) {
  const Node node = nodes_[index];
  const std::uint32_t position = s.q + index;
  const std::uint32_t maxLength = segmentEnd - position;

  // The state a token at this node would start from.
  LzBlockState at = s;
  at.q = position;
  at.segmentLeft = maxLength;
  at.currentDistance = node.recent[0];
  at.recentDistances = node.recent;
  at.eventHistory = node.eventHistory;
  const TokenContext t = tokenContext(at);
  // After a match the next source byte rides along with the last copied one.
  if (index > 0) at.lastToken = (node.eventHistory & 1u) != 0 ? t.c1 : 256u * t.predictedByte + t.c1;
  const std::uint32_t lastToken = at.lastToken;
  const std::uint32_t literalProbability =
      literalFlagProbability(model_, t.predictedByte, t.agreementFlags, HistoryContextTable[node.eventHistory], lastToken);

  LzToken literal;
  literal.byte = s.base[position];
  // The literal's bits are the dearest price to compute: skip them when the flag and the
  // surcharge alone already cost more than the best path to the next position.
  const Price literalFloor = node.price + bitPrice(literalProbability, 1) + settings_.literalSurcharge;
  if (literalFloor < nodes_[index + 1].price) {
    relax(index, index + 1, literalFloor + literalPrice(model_, at, t) * settings_.literalWeight / 16u, literal);
  }
  if (maxLength < kMinMatchLength) return 0;

  const Price matchBase = node.price + bitPrice(literalProbability, 0) + settings_.matchSurcharge;
  const std::array<Price, 5> choicePrice = recentChoicePrices(model_, t.agreementFlags, node.eventHistory);
  const std::uint8_t* here = s.base + position;
  std::uint32_t longest = 0;

  for (std::uint32_t j = 0; j < kRecentChoices; ++j) {
    const std::uint32_t back = node.recent[j] + 1u;
    if (back > position) continue;  // the encoder copies from inside the window only
    if (std::find(node.recent.begin(), node.recent.begin() + j, node.recent[j]) != node.recent.begin() + j) continue;
    const std::uint32_t length = matchLength(here, here - back, maxLength);
    if (length < kMinMatchLength) continue;
    const Price base = matchBase + choicePrice[j + 1];
    const LengthVariant variant = lengthVariantOf(j + 1);
    for (std::uint32_t l = length >= settings_.niceLength ? length : kMinMatchLength; l <= length; ++l) {
      relax(index, index + l, base + prices_.lengthPrice(variant, l - kMinMatchLength), LzToken{0, 0, j + 1, l, 0});
    }
    if (length < settings_.niceLength) {
      relaxLiteralThenRepeat(s, index, LzToken{0, 0, j + 1, length, 0},
                             base + prices_.lengthPrice(variant, length - kMinMatchLength), segmentEnd);
    }
    longest = std::max(longest, length);
  }

  const std::uint32_t found = matches_.collect(position, maxLength, candidates_.data());
  std::uint32_t l = kMinMatchLength;
  for (std::uint32_t k = 0; k < found; ++k) {
    const MatchCandidate& c = candidates_[k];
    const std::uint32_t distance = c.back - 1u;
    const Price base = matchBase + settings_.newDistanceSurcharge +
                       settings_.distanceBitSurcharge * static_cast<Price>(std::bit_width(distance)) +
                       (distance >= settings_.farSourceDistance ? settings_.farSourceSurcharge : 0u) + choicePrice[0] +
                       distanceBitsPrice(distance);
    const std::uint32_t slot = distanceSlotOf(distance);
    if (c.length >= settings_.niceLength) l = c.length;
    for (; l <= c.length; ++l) {
      const std::uint32_t value = l - kMinMatchLength;
      relax(index, index + l,
            base + prices_.lengthPrice(LengthVariant::newDistance, value) + prices_.slotPriceOfSlot(value, slot),
            LzToken{0, 0, 0, l, distance});
    }
    if (c.length < settings_.niceLength) {
      const std::uint32_t value = c.length - kMinMatchLength;
      relaxLiteralThenRepeat(
          s, index, LzToken{0, 0, 0, c.length, distance},
          base + prices_.lengthPrice(LengthVariant::newDistance, value) + prices_.slotPriceOfSlot(value, slot), segmentEnd);
    }
    longest = std::max(longest, c.length);
  }
  return longest;
}

void LzParser::plan(const LzBlockState& s) {
  if (!priced_ || s.q >= repriceAt_ || s.q + kRepricePeriod < repriceAt_) {
    prices_.refresh(model_);
    ++generation_;
    priced_ = true;
    repriceAt_ = s.q + kRepricePeriod;
  }
  const std::uint32_t segmentEnd = s.q + s.segmentLeft;
  const std::uint32_t span = segmentEnd - s.q;

  Node& first = nodes_[0];
  first.price = 0;
  first.recent = s.recentDistances;
  first.eventHistory = s.eventHistory;
  farthest_ = 0;

  std::uint32_t end = 0;
  for (std::uint32_t i = 0;; ++i) {
    if ((i == farthest_ && i > 0) || i == span || i == kMaxPlan) {
      end = i;
      break;
    }
    const std::uint32_t longest = follow(s, i, segmentEnd);
    if (longest >= settings_.niceLength) {
      end = farthest_;  // the long match reaches furthest; take the cheapest path there
      break;
    }
  }

  for (std::uint32_t i = end; i > 0; i = nodes_[i].from) {
    const Node& node = nodes_[i];
    planned_.push_back(node.token);
    if (!node.afterLiteral) continue;
    LzToken literal;
    literal.byte = s.base[s.q + i - node.token.length - 1];
    planned_.push_back(literal);
    planned_.push_back(node.lead);
  }
  for (std::uint32_t i = 0; i <= farthest_; ++i) nodes_[i].price = kUnreachable;
}

}  // namespace quorvex::lz
