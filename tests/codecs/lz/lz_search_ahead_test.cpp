// Tree walks run ahead of the parse on another thread give the parse exactly the
// candidates its own finder would, at whichever positions it asks (it skips those a
// long match covers), across chunk ends and ring wraps and over blocks that grow the
// window; and LZ blocks coded that way are the very payloads one thread codes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "codecs/lz/lz_codec.hpp"
#include "codecs/lz/lz_match_finder.hpp"
#include "codecs/lz/lz_search_ahead.hpp"
#include "support/test_support.hpp"

namespace quorvex::lz {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes joined(const std::vector<Bytes>& parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// Text, a run of one byte (long matches: many nodes per walk, and positions the parse
// skips), machine code, skewed bytes and the text again far back.
Bytes mixedInput() {
  const Bytes text = testing::repositoryText(40000);
  return joined({text, Bytes(3000, 0x41), testing::ownProgram(30000), testing::skewedBytes(20000, 3), text});
}

// Which positions a parse asks: all of them, or a skipping pattern like the one long
// matches make.
bool asked(std::uint32_t position, bool skipping) {
  if (!skipping) return true;
  const std::uint32_t phase = (position * 2654435761u) >> 27;  // 0..31, scattered
  return phase >= 6;
}

struct Settings {
  std::uint32_t chunkPositions;
  std::uint32_t chunkNodes;
  bool skipping;
};

// The same window offered in growing blocks to a finder collected directly and to one
// walked ahead; every asked position must give the same candidates. Counts in
// `candidates` how many they gave.
void expectSameCandidates(const Bytes& input, std::uint32_t block, const Settings& settings, std::size_t& candidates) {
  MatchFinder direct(48, 1u << 16, 1u << 16);
  MatchFinder walked(48, 1u << 16, 1u << 16);
  SearchAhead ahead(walked, settings.chunkPositions, settings.chunkNodes);
  std::vector<MatchCandidate> expected(MatchFinder::kMaxCandidates);
  std::vector<MatchCandidate> got(MatchFinder::kMaxCandidates);
  const auto size = static_cast<std::uint32_t>(input.size());
  std::size_t compared = 0;
  candidates = 0;
  for (std::uint32_t from = 0; from < size; from += block) {
    const std::uint32_t to = std::min(size, from + block);
    direct.attach(input.data(), to);
    walked.attach(input.data(), to);
    ahead.start(from, to);
    for (std::uint32_t p = from; p < to; ++p) {
      if (!asked(p, settings.skipping)) continue;
      // Segments of 1000 bytes: maxLength falls below 2 at each segment's end.
      const std::uint32_t maxLength = std::min(1000 - (p - from) % 1000, to - p);
      const std::uint32_t want = direct.collect(p, maxLength, expected.data());
      const std::uint32_t have = ahead.collect(p, maxLength, got.data());
      ASSERT_EQ(have, want) << "at " << p;
      for (std::uint32_t k = 0; k < want; ++k) {
        ASSERT_EQ(got[k].length, expected[k].length) << "at " << p << " candidate " << k;
        ASSERT_EQ(got[k].back, expected[k].back) << "at " << p << " candidate " << k;
      }
      ++compared;
      candidates += want;
    }
    ahead.finish();
  }
  EXPECT_GT(compared, input.size() / 2);
}

TEST(SearchAhead, GivesTheCandidatesTheFinderGivesAtEveryAskedPosition) {
  const Bytes input = mixedInput();
  const std::vector<Settings> all = {
      {SearchAhead::kChunkPositions, SearchAhead::kChunkNodes, false},
      {SearchAhead::kChunkPositions, SearchAhead::kChunkNodes, true},
      {97, SearchAhead::kChunkNodes, true},  // chunks end everywhere, the ring wraps often
      {4096, 300, false},                    // chunks end on their node budget
      {1, 0, true},                          // one position a chunk
  };
  for (const Settings& settings : all) {
    SCOPED_TRACE("chunk " + std::to_string(settings.chunkPositions) + " nodes " + std::to_string(settings.chunkNodes) +
                 (settings.skipping ? " skipping" : ""));
    std::size_t candidates = 0;
    expectSameCandidates(input, 25000, settings, candidates);
    EXPECT_GT(candidates, input.size() / 2);  // the input does repeat
  }
}

// Blocks of one to a few bytes: the window's last positions join no tree, and the last
// two have no triple to look up (blocks of one or two bytes offer nothing at all).
TEST(SearchAhead, TinyBlocksAtTheWindowsEnd) {
  const Bytes input = testing::repositoryText(3000);
  for (const std::uint32_t block : {1u, 2u, 3u, 5u, 130u}) {
    SCOPED_TRACE(block);
    std::size_t candidates = 0;
    expectSameCandidates(input, block, {7, SearchAhead::kChunkNodes, false}, candidates);
    if (block >= 3) {
      EXPECT_GT(candidates, 1000u);
    }
  }
}

// A parse that stops early (an exception, say) leaves the walker to be stopped by the
// destructor, not waited on for ever.
TEST(SearchAhead, StopsAWalkLeftUnfinished) {
  const Bytes input = mixedInput();
  const auto size = static_cast<std::uint32_t>(input.size());
  MatchFinder direct(48, 1u << 16, 1u << 16);
  direct.attach(input.data(), size);
  std::vector<MatchCandidate> expected(MatchFinder::kMaxCandidates);
  const std::uint32_t want = direct.collect(41000, 100, expected.data());
  ASSERT_GT(want, 0u);  // inside the run of one byte
  MatchFinder finder(48, 1u << 16, 1u << 16);
  std::vector<MatchCandidate> out(MatchFinder::kMaxCandidates);
  SearchAhead ahead(finder, 64);
  finder.attach(input.data(), size);
  ahead.start(0, size);
  ASSERT_EQ(ahead.collect(41000, 100, out.data()), want);
  EXPECT_EQ(out[want - 1].length, expected[want - 1].length);
  // Leaving the scope destroys `ahead` with its walk some 1,400 chunks short of the end.
}

// LZ blocks: the encoder with its walks ahead codes the same payloads, over blocks
// several chunks long, tiny ones, and a window that slides (the maker keeps only its
// newest part).
TEST(SearchAhead, LzPayloadsAreTheSameOnOneThreadOrTwo) {
  const Bytes input = joined({mixedInput(), testing::ownProgram(60000), testing::repositoryText(90000)});
  LzEncoderSettings one;
  one.chainSteps = 32;
  one.niceLength = 48;
  LzEncoderSettings two = one;
  two.searchAhead = true;
  for (const std::size_t kept : {std::size_t{0}, std::size_t{60000}}) {
    SCOPED_TRACE(kept);
    LzEncoder first(one);
    LzEncoder second(two);
    std::size_t blocks = 0;
    for (std::size_t offset = 0; offset < input.size();) {
      const std::size_t block = blocks % 5 == 4 ? 3 : 70000;  // several chunks, or a few bytes
      const std::size_t end = std::min(input.size(), offset + block);
      const std::size_t start = kept == 0 || offset < kept ? 0 : offset - kept;
      const std::span<const std::uint8_t> window(input.data() + start, end - start);
      const Bytes a = first.encodeBlock(window, offset - start, start);
      const Bytes b = second.encodeBlock(window, offset - start, start);
      ASSERT_EQ(a, b) << "block at " << offset;
      offset = end;
      ++blocks;
    }
    EXPECT_GT(blocks, 5u);
  }
}

}  // namespace
}  // namespace quorvex::lz
