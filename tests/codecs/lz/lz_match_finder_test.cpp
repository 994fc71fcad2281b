// The match finder: every match it offers is real and exactly as long as it says (a
// wrong length makes the encoder write a copy that decodes to other bytes), it finds the
// longest match a search of the whole window finds, and its trees live in a ring of
// chainReach entries: within the reach it finds what unbounded trees find, beyond it
// the tree ends rather than follow an entry a later position has taken, and its memory
// stops at the ring.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "codecs/lz/lz_match_finder.hpp"
#include "support/test_support.hpp"

namespace quorvex::lz {
namespace {

// Pseudo-random bytes with a 64-byte phrase at 100, its first 32 bytes at 4000, and the
// phrase again at 7000: from 7000 the nearest source gives 32 bytes, the far one 64.
std::vector<std::uint8_t> windowWithPhrases() {
  std::vector<std::uint8_t> window(8192);
  std::uint32_t state = 12345;
  for (std::uint8_t& byte : window) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<std::uint8_t>(state >> 24);
  }
  for (std::uint32_t i = 0; i < 64; ++i) {
    const auto phraseByte = static_cast<std::uint8_t>(i * 7 + 1);
    window[100 + i] = phraseByte;
    window[7000 + i] = phraseByte;
    if (i < 32) window[4000 + i] = phraseByte;
  }
  return window;
}

std::vector<MatchCandidate> matchesAt(MatchFinder& finder, const std::vector<std::uint8_t>& window,
                                      std::uint32_t position) {
  finder.attach(window.data(), static_cast<std::uint32_t>(window.size()));
  finder.indexUpTo(position);
  std::vector<MatchCandidate> out(MatchFinder::kMaxCandidates);
  out.resize(finder.collect(position, 200, out.data()));
  return out;
}

TEST(MatchFinder, ChainsReachBackAsFarAsTheRingAndNoFurther) {
  const std::vector<std::uint8_t> window = windowWithPhrases();

  MatchFinder wide(48, 256, 8192);
  const std::vector<MatchCandidate> all = matchesAt(wide, window, 7000);
  ASSERT_FALSE(all.empty());
  EXPECT_EQ(all.back().length, 64u);
  EXPECT_EQ(all.back().back, 6900u);
  EXPECT_EQ(wide.chainEntries(), 8192u);

  // A ring of 1024: the latest occurrence (4000) still comes from the hash heads, but
  // its chain link was overwritten by later positions, so the far source is not seen.
  MatchFinder narrow(48, 256, 1024);
  const std::vector<MatchCandidate> near = matchesAt(narrow, window, 7000);
  ASSERT_FALSE(near.empty());
  EXPECT_EQ(near.back().length, 32u);
  EXPECT_EQ(near.back().back, 3000u);
  EXPECT_EQ(narrow.chainEntries(), 1024u);
}

TEST(MatchFinder, WithinTheReachARingFindsWhatUnboundedChainsFind) {
  const std::vector<std::uint8_t> window = windowWithPhrases();
  MatchFinder ring(48, 256, 8192);
  MatchFinder unbounded(48, 256, std::uint32_t{1} << 30);
  for (const std::uint32_t position : {150u, 4010u, 7000u, 7020u, 8000u}) {
    const std::vector<MatchCandidate> a = matchesAt(ring, window, position);
    const std::vector<MatchCandidate> b = matchesAt(unbounded, window, position);
    ASSERT_EQ(a.size(), b.size()) << position;
    for (std::size_t i = 0; i < a.size(); ++i) {
      EXPECT_EQ(a[i].length, b[i].length) << position;
      EXPECT_EQ(a[i].back, b[i].back) << position;
    }
  }
}

// Text and code with repeats near and far, runs, and a phrase that repeats with one
// byte changed at varying places, so that trees see ties, near misses and overlaps.
std::vector<std::uint8_t> mixedWindow() {
  std::vector<std::uint8_t> w = quorvex::testing::repositoryText(12000);
  const std::vector<std::uint8_t> program = quorvex::testing::ownProgram(12000);
  w.insert(w.end(), program.begin(), program.end());
  w.insert(w.end(), 300, 'z');
  quorvex::testing::TestRandom random(3);
  for (int copy = 0; copy < 200; ++copy) {
    const std::uint32_t from = random.below(static_cast<std::uint32_t>(w.size() - 300));
    const std::uint32_t length = 2 + random.below(250);
    std::vector<std::uint8_t> piece(w.begin() + from, w.begin() + from + length);
    if (random.below(2) == 0) piece[random.below(length)] ^= 1;
    w.insert(w.end(), piece.begin(), piece.end());
    for (std::uint32_t k = random.below(6); k > 0; --k) w.push_back(static_cast<std::uint8_t>(random.next()));
  }
  return w;
}

// The window is offered in two growing pieces, as blocks are; every position is
// collected in order, as the parse does.
TEST(MatchFinder, OffersOnlyRealMatchesAndTheLongestThereIs) {
  const std::vector<std::uint8_t> w = mixedWindow();
  MatchFinder finder(1u << 20, 1u << 20, 1u << 20);  // no step limit: the search is exact
  std::vector<MatchCandidate> out(MatchFinder::kMaxCandidates);
  const auto size = static_cast<std::uint32_t>(w.size());
  std::uint32_t longestSeen = 0;
  for (const std::uint32_t piece : {size / 2, size}) {
    finder.attach(w.data(), piece);
    for (std::uint32_t p = piece == size ? size / 2 : 0; p < piece; ++p) {
      const std::uint32_t maxLength = std::min(100u, piece - p);
      const std::uint32_t found = finder.collect(p, maxLength, out.data());
      std::uint32_t previous = 0;
      for (std::uint32_t k = 0; k < found; ++k) {
        const MatchCandidate& c = out[k];
        ASSERT_TRUE(c.back >= 1 && c.back <= p) << p;
        ASSERT_GT(c.length, previous) << p;
        ASSERT_LE(c.length, maxLength) << p;
        ASSERT_EQ(matchLength(&w[p], &w[p - c.back], maxLength), c.length) << "at " << p << " back " << c.back;
        previous = c.length;
      }
      std::uint32_t longest = 0;
      for (std::uint32_t source = 0; source < p; ++source) {
        longest = std::max(longest, matchLength(&w[p], &w[source], maxLength));
      }
      // Matches of 4 bytes and more come from the trees, which miss none.
      if (longest >= 4) {
        ASSERT_EQ(previous, longest) << "at " << p;
      }
      longestSeen = std::max(longestSeen, longest);
    }
  }
  EXPECT_EQ(longestSeen, 100u);
}

// Trees built on one window and then handed another of the same length (which a caller
// may do) are out of order: what they offer must still be real.
TEST(MatchFinder, OffersOnlyRealMatchesInAWindowThatChanged) {
  std::vector<std::uint8_t> w = mixedWindow();
  const auto size = static_cast<std::uint32_t>(w.size());
  MatchFinder finder(1u << 20, 1u << 20, 1u << 20);
  std::vector<MatchCandidate> out(MatchFinder::kMaxCandidates);
  finder.attach(w.data(), size);
  finder.indexUpTo(size / 2);
  for (std::uint32_t p = 0; p < size / 2; p += 7) w[p] = static_cast<std::uint8_t>(w[p] + 1);
  finder.attach(w.data(), size);
  std::size_t offered = 0;
  for (std::uint32_t p = size / 2; p < size; ++p) {
    const std::uint32_t maxLength = std::min(100u, size - p);
    const std::uint32_t found = finder.collect(p, maxLength, out.data());
    for (std::uint32_t k = 0; k < found; ++k) {
      ASSERT_EQ(matchLength(&w[p], &w[p - out[k].back], maxLength), out[k].length) << "at " << p;
    }
    offered += found;
  }
  EXPECT_GT(offered, 1000u);
}

// Matches that run on past the length the trees compare are followed to their end, and
// one that reaches maxLength ends the list.
TEST(MatchFinder, FollowsLongMatchesToTheirEnd) {
  std::vector<std::uint8_t> w = quorvex::testing::repositoryText(3000);
  w.insert(w.end(), w.begin() + 1000, w.begin() + 2000);  // 1000 bytes again at 3000
  MatchFinder finder(48, 256);
  std::vector<MatchCandidate> out(MatchFinder::kMaxCandidates);
  finder.attach(w.data(), static_cast<std::uint32_t>(w.size()));
  std::uint32_t found = finder.collect(3000, 1000, out.data());
  ASSERT_GT(found, 0u);
  EXPECT_GE(out[found - 1].length, 1000u - 0u);
  EXPECT_EQ(matchLength(&w[3000], &w[3000 - out[found - 1].back], 1000), out[found - 1].length);
  found = finder.collect(3001, 700, out.data());
  ASSERT_GT(found, 0u);
  EXPECT_EQ(out[found - 1].length, 700u);
}

// The last bytes of a window (a block's end) are sources too, before the window grows:
// here the nearest full copy of a phrase, behind a later partial one.
TEST(MatchFinder, FindsSourcesAmongTheWindowsLastBytes) {
  std::vector<std::uint8_t> w = windowWithPhrases();
  std::vector<std::uint8_t> phrase(w.begin() + 100, w.begin() + 120);
  phrase.push_back(0xEE);  // longer than the phrase's copies far back
  phrase.push_back(0xEF);
  w.insert(w.end(), phrase.begin(), phrase.end());
  w.insert(w.end(), phrase.begin(), phrase.begin() + 4);  // the latest pair and triple: 4 bytes only
  w.push_back(0x55);
  w.insert(w.end(), phrase.begin(), phrase.end());  // 27 bytes after the near copy
  MatchFinder finder(48, 256);
  finder.attach(w.data(), static_cast<std::uint32_t>(w.size()));
  std::vector<MatchCandidate> out(MatchFinder::kMaxCandidates);
  const auto at = static_cast<std::uint32_t>(w.size() - 22);
  const std::uint32_t found = finder.collect(at, 22, out.data());
  ASSERT_GT(found, 0u);
  EXPECT_EQ(out[found - 1].length, 22u);
  EXPECT_EQ(out[found - 1].back, 27u);
}

// A finder restarted at a position offers nothing before it, from the trees or from
// the pair and triple tables: the LZ encoder restarts it where the bytes it keeps of a
// long window begin.
TEST(MatchFinder, RestartedAtAPositionOffersNoSourceBeforeIt) {
  const std::vector<std::uint8_t> window = windowWithPhrases();
  MatchFinder whole(48, 1u << 20, 8192);
  const std::vector<MatchCandidate> all = matchesAt(whole, window, 7000);
  ASSERT_FALSE(all.empty());
  EXPECT_EQ(all.back().back, 6900u);  // the phrase at 100
  MatchFinder finder(48, 1u << 20, 8192);
  finder.restartAt(2000);
  const std::vector<MatchCandidate> found = matchesAt(finder, window, 7000);
  ASSERT_FALSE(found.empty());
  for (const MatchCandidate& c : found) EXPECT_LE(c.back, 5000u);
  EXPECT_EQ(found.back().length, 32u);  // the phrase's first half at 4000
  EXPECT_EQ(found.back().back, 3000u);
}

}  // namespace
}  // namespace quorvex::lz
