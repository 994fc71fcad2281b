#include "make/maker_levels.hpp"

#include <algorithm>
#include <array>

#include "format/codec_params.hpp"

namespace quorvex {
namespace {

constexpr std::size_t kMiB = std::size_t{1} << 20;

LevelPlan plan(std::size_t blockSize, CodecChoice codec, bool tryEveryStage, bool weighAudio, LzEffort lzEffort,
               CmModelSize cm = {}, std::size_t keptHistory = 32 * kMiB) {
  LevelPlan level;
  level.lzEffort = lzEffort;
  level.keptHistory = keptHistory;
  level.blockSize = blockSize;
  level.codec = codec;
  level.tryEveryStage = tryEveryStage;
  level.weighAudio = weighAudio;
  level.cm = cm;
  // Short stretches of one kind join their neighbours (at least 1 MiB, a quarter block
  // at level 6): on a 60 MB tar of C++ headers, whose kind flips between text and
  // generic every few chunks, level 6 then makes 5 blocks instead of 153 (3.2% smaller)
  // and level 1 61 instead of 182 (2.9%); an 18 MB mix comes out 0.8% smaller. Both
  // decode as fast as before.
  // Context mixing joins runs shorter than a block, 8 MiB: on that tar the survey's own
  // runs made 180 blocks, and text transforms chosen for some short stretches of
  // headers and not for their neighbours disturbed the model more than they saved.
  level.shortestKindRun = codec == CodecChoice::cm ? blockSize : std::max(kMiB, blockSize / 4);
  return level;
}

LevelPlan withAudioSearch(LevelPlan level, AudioSearch search) {
  level.audioSearch = search;
  return level;
}

// Levels 1 to 6 give each block BWT or LZ, whichever codes a sample of it smaller: on
// a mix of text, headers and a shared library that is both smaller and quicker to
// decode than BWT alone (LZ takes the binary blocks, whose matches it decodes fast).
// Larger blocks code smaller and decode a little slower (a block's inverse transform
// leaves the cache sooner); weighing every stage codes smaller still. Level 6, the
// default, decodes an 18 MB mix in about twice xz's time and codes it smaller than
// xz -6. Levels 7 to 9 use context mixing with growing models: the smallest, and some
// 80 times slower to decode, so a user asks for them. Sections of 4 MiB cost about
// 1.4% over one model for 8 MiB of input, sections of 1 MiB about 4%; on a 60 MB tar
// of C++ headers, level 9's model coded 2.1% smaller in two sections of 30 MB than in
// eight of 7.5 MB, and one 64 MiB section with tables of 2^28 and 2^24 (not 2^25 and
// 2^23) saves 2.5% more. Larger tables cost decoding time (more cache misses), longer
// sections do not. Input over one section goes in an even number of equal sections,
// so that two threads decode them in step. The decoder's memory for a model is about
// 23 MB plus 2^tableBitsA bytes, 4 * 2^tableBitsB bytes and the section's window:
// 59 MB at level 7, 65 MB at 8 and 425 MB at 9 for sections of full size (a decoder
// running two sections at once needs two). LZ blocks copy from the newest 16 MiB of
// the window at levels 1 to 3 and from the newest 32 MiB above: the maker's memory
// then stops growing there, whatever the input's size.
//
// The LZ search effort ({tree steps, nice length}) grows with the level too, so that
// levels which share blocks and stage trials on some input (4 to 6 on data whose kinds
// change every few MiB) still order. On an 18 MB mix, level 1's 16 steps and nice
// length 32 cost 2.7% of size against 160 and 96, and level 6's 400 and 192 save 0.2%.
// The nice length is the knob that counts (on 118 KB of mixed data, tree steps from 16
// to 400 move the size by 0.05%, nice lengths from 32 to 192 by 1 to 3%, and not
// always down): the tree walk seldom goes deep. Level 5 keeps level 4's blocks: on a
// 40 MB tar of C++ headers 8 MiB blocks came out 0.13% larger than 4 MiB ones (and
// larger than level 4), while 16 MiB ones at level 6 are smaller than both.
// A deeper search finds paths the parse prices lower, and its prices weigh decoding
// time besides size, so more steps alone may code larger: level 4 lowers the parse's
// literal surcharge from 11.9 bits to 10.9 and levels 5 and 6 to 10, trading a little
// decoding speed for size, so that each stays smaller than the one below (at 11.9,
// level 4 came out 923 bytes larger than level 3 on a 60 MB tar of C++ headers).
//
// Levels 1 to 3 find matches in hash buckets of 16, 32 and 64 slots rather than in the
// trees. The trees are built again over the whole kept window each time it drops its
// oldest bytes (every 4 MiB past 20 MiB there), and every position costs a walk: on a
// 60 MB tar of C++ headers that was two thirds of the time at level 1. The buckets keep
// their positions through a drop and index a position with one write. Against the
// trees with 16, 32 and 48 steps they code that tar 2.1%, 2.6% and 2.2% larger and an
// 18 MB mix 1.4%, 2.4% and 3.3% larger, in 2.2 to 3 times less time on the tar.
//
// The audio encoder's search grows in three steps: levels 1 and 2 search a piece's
// settings every third piece (60 s of drums: 2.7% larger than the thorough search
// and 2.5% smaller than flac -8, made 5 times faster), levels 3 to 5 every piece but
// in fewer rounds (0.3% larger, twice as fast), levels 6 to 9 the thorough search.
const std::array<LevelPlan, kSmallestLevel> kLevels = {
    withAudioSearch(plan(1 * kMiB, CodecChoice::bwtOrLzSample, false, false, {16, 32, 760, 16}, {}, 16 * kMiB),
                    AudioSearch::fast),
    withAudioSearch(plan(2 * kMiB, CodecChoice::bwtOrLzSample, false, false, {32, 48, 760, 32}, {}, 16 * kMiB),
                    AudioSearch::fast),
    withAudioSearch(plan(4 * kMiB, CodecChoice::bwtOrLzSample, false, true, {48, 96, 760, 64}, {}, 16 * kMiB),
                    AudioSearch::medium),
    withAudioSearch(plan(4 * kMiB, CodecChoice::bwtOrLzSample, true, true, {64, 96, 700}), AudioSearch::medium),
    withAudioSearch(plan(4 * kMiB, CodecChoice::bwtOrLzSample, true, true, {160, 96, 640}), AudioSearch::medium),
    plan(16 * kMiB, CodecChoice::bwtOrLzSample, true, true, {400, 192, 640}),
    plan(8 * kMiB, CodecChoice::cm, true, true, {}, {20, 18, 32 * kMiB}),
    plan(8 * kMiB, CodecChoice::cm, true, true, {}, {22, 20, 32 * kMiB}),
    plan(8 * kMiB, CodecChoice::cm, true, true, {}, {28, 24, 64 * kMiB}),
};

}  // namespace

LevelPlan levelPlan(int level) {
  const int clamped = std::clamp(level, kFastestLevel, kSmallestLevel);
  return kLevels[static_cast<std::size_t>(clamped - kFastestLevel)];
}

std::uint8_t historySizeCodeFor(std::size_t bytes) {
  constexpr std::uint32_t kLargestCode = 191;  // 2 GiB
  for (std::uint32_t code = 0; code < kLargestCode; ++code) {
    if (decodeSizeCode(static_cast<std::uint8_t>(code)) >= bytes) return static_cast<std::uint8_t>(code);
  }
  return static_cast<std::uint8_t>(kLargestCode);
}

}  // namespace quorvex
