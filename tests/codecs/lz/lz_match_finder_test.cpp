// The match finder's chains live in a ring of chainReach entries: within the reach it
// finds what unbounded chains find, beyond it the chain ends rather than follow an
// entry a later position has taken, and its memory stops at the ring.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "codecs/lz/lz_match_finder.hpp"

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

}  // namespace
}  // namespace quorvex::lz
