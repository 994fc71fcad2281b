// The bucket finder of the fast levels: every match it offers is real and exactly as
// long as it says, in order of growing length; where no string recurs more often than a
// bucket holds it finds the longest match a search of the whole window finds; and an
// index carried through a move of the window finds what one built afresh finds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "codecs/lz/lz_bucket_finder.hpp"
#include "support/test_support.hpp"

namespace quorvex::lz {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Candidates = std::vector<MatchCandidate>;

Candidates collectAt(BucketFinder& finder, std::uint32_t position, std::uint32_t maxLength) {
  Candidates out(MatchSource::kMaxCandidates);
  out.resize(finder.collect(position, maxLength, out.data()));
  return out;
}

// Every candidate copies from before the position, is as long as the bytes agree (or
// maxLength), and is longer than the one before it.
void expectRealMatches(const Bytes& window, std::uint32_t position, std::uint32_t maxLength,
                       const Candidates& found) {
  std::uint32_t previous = 1;
  for (const MatchCandidate& c : found) {
    ASSERT_GE(c.back, 1u);
    ASSERT_LE(c.back, position);
    const std::uint32_t source = position - c.back;
    EXPECT_GT(c.length, previous) << position;
    ASSERT_LE(c.length, maxLength);
    for (std::uint32_t i = 0; i < c.length; ++i) ASSERT_EQ(window[source + i], window[position + i]) << position;
    if (c.length < maxLength) {
      EXPECT_NE(window[source + c.length], window[position + c.length]) << position;
    }
    previous = c.length;
  }
}

// The longest match of `position` anywhere before it, found by trying every source.
std::uint32_t longestAnywhere(const Bytes& window, std::uint32_t position, std::uint32_t maxLength) {
  std::uint32_t best = 0;
  for (std::uint32_t source = 0; source < position; ++source) {
    std::uint32_t length = 0;
    while (length < maxLength && window[source + length] == window[position + length]) ++length;
    best = std::max(best, length);
  }
  return best;
}

// Pseudo-random bytes with phrases of 20 to 200 bytes copied from earlier at random.
Bytes randomWithPhrases(std::size_t size, std::uint64_t seed) {
  testing::TestRandom random(seed);
  Bytes window(size);
  for (std::uint8_t& byte : window) byte = static_cast<std::uint8_t>(random.next());
  for (int k = 0; k < 40; ++k) {
    const std::size_t length = 20 + random.next() % 181;
    const std::size_t to = 1000 + random.next() % (size - 1000 - length);
    const std::size_t from = random.next() % (to - length);
    std::copy_n(window.begin() + static_cast<std::ptrdiff_t>(from), length, window.begin() + static_cast<std::ptrdiff_t>(to));
  }
  return window;
}

TEST(BucketFinder, FindsTheLongestMatchWhereNoStringOutnumbersItsBucket) {
  const Bytes window = randomWithPhrases(14000, 5);
  BucketFinder finder(16, 1u << 20);
  finder.attach(window.data(), static_cast<std::uint32_t>(window.size()));
  std::uint32_t longMatches = 0;
  for (std::uint32_t position = 0; position + 8 <= window.size(); ++position) {
    const std::uint32_t maxLength = std::min<std::uint32_t>(300, static_cast<std::uint32_t>(window.size()) - position);
    const Candidates found = collectAt(finder, position, maxLength);
    expectRealMatches(window, position, maxLength, found);
    const std::uint32_t longest = longestAnywhere(window, position, maxLength);
    // Eight bytes and more come from the buckets, which here hold every source.
    if (longest >= 8) {
      ++longMatches;
      ASSERT_FALSE(found.empty()) << position;
      EXPECT_EQ(found.back().length, longest) << position;
    }
  }
  EXPECT_GT(longMatches, 1500u);
}

TEST(BucketFinder, OffersOnlyRealMatchesOnRepetitiveInput) {
  // Text, and runs of few symbols, whose strings recur far more often than a bucket holds.
  Bytes runs(20000);
  testing::TestRandom random(11);
  for (std::size_t i = 0; i < runs.size(); ++i) runs[i] = static_cast<std::uint8_t>(i % 700 < 300 ? 'a' : random.next() % 3);
  for (const Bytes& window : {testing::repositoryText(40000), runs}) {
    for (const std::uint32_t slots : {1u, 4u, 16u}) {
      BucketFinder finder(slots, 256);
      finder.attach(window.data(), static_cast<std::uint32_t>(window.size()));
      std::uint32_t offered = 0;
      for (std::uint32_t position = 0; position < window.size(); ++position) {
        const std::uint32_t maxLength = std::min<std::uint32_t>(64, static_cast<std::uint32_t>(window.size()) - position);
        const Candidates found = collectAt(finder, position, maxLength);
        expectRealMatches(window, position, maxLength, found);
        offered += static_cast<std::uint32_t>(found.size());
        if (HasFatalFailure()) return;
      }
      EXPECT_GT(offered, window.size() / 2) << slots;
    }
  }
}

// Sources that each match one byte further the farther back they lie, more of them
// than a candidate list holds (with the pair and the triple): the list stays within its
// bound and ends with the longest.
TEST(BucketFinder, AFullCandidateListKeepsTheLongest) {
  Bytes phrase(100);
  for (std::size_t i = 0; i < phrase.size(); ++i) phrase[i] = static_cast<std::uint8_t>(0x40 + i);
  Bytes window;
  for (std::uint32_t k = 0; k < 70; ++k) {
    window.insert(window.end(), phrase.begin(), phrase.begin() + 78 - k);
    window.push_back(0xF0);  // equals no phrase byte: ends the match
  }
  window.insert(window.end(), phrase.begin(), phrase.begin() + 3);
  window.push_back(0xF1);
  window.insert(window.end(), phrase.begin(), phrase.begin() + 2);
  window.push_back(0xF2);
  const auto position = static_cast<std::uint32_t>(window.size());
  window.insert(window.end(), phrase.begin(), phrase.end());
  BucketFinder finder(BucketFinder::kMostSlots, 1u << 20);
  finder.attach(window.data(), static_cast<std::uint32_t>(window.size()));
  Candidates out(MatchSource::kMaxCandidates);
  const std::uint32_t count = finder.collect(position, 100, out.data());
  ASSERT_EQ(count, MatchSource::kMaxCandidates);
  out.resize(count);
  expectRealMatches(window, position, 100, out);
  EXPECT_EQ(out.back().length, 72u);  // the bucket holds the newest 64 of the 70 sources
}

// The window moves as the LZ encoder drops its oldest bytes: what stays moves to the
// front, and sources start at `lowest`. A finder that indexed the old window and was
// told of the move offers, from there on, exactly what a fresh finder over the moved
// window offers; neither offers a source before `lowest`.
TEST(BucketFinder, AnIndexCarriedThroughAMoveFindsWhatAFreshOneFinds) {
  const Bytes input = testing::repositoryText(60000);
  constexpr std::uint32_t kDropped = 24996;
  constexpr std::uint32_t kLowest = 2000;  // as if kept contexts stood before the window
  constexpr std::uint32_t kIndexedBefore = 40000;
  for (const std::uint32_t slots : {2u, 8u}) {
    BucketFinder carried(slots, 1u << 20);
    carried.attach(input.data(), static_cast<std::uint32_t>(input.size()));
    for (std::uint32_t position = 0; position < kIndexedBefore; ++position) collectAt(carried, position, 64);

    const Bytes moved(input.begin() + kDropped, input.end());
    const auto size = static_cast<std::uint32_t>(moved.size());
    carried.windowMoved(kDropped, kLowest);
    carried.attach(moved.data(), size);
    BucketFinder fresh(slots, 1u << 20);
    fresh.restartAt(kLowest);
    fresh.attach(moved.data(), size);
    std::uint32_t compared = 0;
    for (std::uint32_t position = kIndexedBefore - kDropped; position < size; ++position) {
      const std::uint32_t maxLength = std::min(64u, size - position);
      const Candidates a = collectAt(carried, position, maxLength);
      const Candidates b = collectAt(fresh, position, maxLength);
      ASSERT_EQ(a.size(), b.size()) << position;
      for (std::size_t k = 0; k < a.size(); ++k) {
        EXPECT_EQ(a[k].length, b[k].length) << position;
        EXPECT_EQ(a[k].back, b[k].back) << position;
        EXPECT_LE(a[k].back, position - kLowest) << position;
      }
      compared += static_cast<std::uint32_t>(a.size());
    }
    EXPECT_GT(compared, 10000u);
  }
}

// A window shorter than what was indexed is a new window: nothing of the old one is
// offered, even where its bytes would match.
TEST(BucketFinder, AShorterWindowStartsOver) {
  const Bytes first = testing::repositoryText(20000);
  Bytes second(first.begin(), first.begin() + 10000);
  for (std::size_t i = 0; i < 3000; ++i) second[i] = static_cast<std::uint8_t>(i * 7);  // no text before 3000
  BucketFinder finder(8, 1u << 20);
  finder.attach(first.data(), static_cast<std::uint32_t>(first.size()));
  for (std::uint32_t position = 0; position < first.size(); ++position) collectAt(finder, position, 64);
  finder.attach(second.data(), static_cast<std::uint32_t>(second.size()));
  BucketFinder fresh(8, 1u << 20);
  fresh.attach(second.data(), static_cast<std::uint32_t>(second.size()));
  for (std::uint32_t position = 0; position < second.size(); ++position) {
    const std::uint32_t maxLength = std::min(64u, static_cast<std::uint32_t>(second.size()) - position);
    const Candidates a = collectAt(finder, position, maxLength);
    const Candidates b = collectAt(fresh, position, maxLength);
    expectRealMatches(second, position, maxLength, a);
    ASSERT_EQ(a.size(), b.size()) << position;
    for (std::size_t k = 0; k < a.size(); ++k) EXPECT_EQ(a[k].back, b[k].back) << position;
  }
}

}  // namespace
}  // namespace quorvex::lz
