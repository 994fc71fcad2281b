// What each level of the archive maker does: which codecs it weighs for data that is
// not audio, how hard it tries, and the sizes of its context-mixing models.
#pragma once

#include <cstddef>
#include <cstdint>

#include "quorvex/archive_writer.hpp"

namespace quorvex {

// How a level picks the codec for a block that is not audio.
enum class CodecChoice : std::uint8_t {
  bwt,           // always the BWT codec: fast to encode and to decode
  bwtOrLzSample, // BWT or LZ, whichever codes a sample of the block smaller
  bwtOrLzWhole,  // BWT or LZ, whichever codes the whole block smaller
  cm,            // context mixing: the smallest, and the slowest to decode
};

// The context-mixing model of a level, as a codec-parameter record gives it.
struct CmModelSize {
  std::uint32_t tableBitsA = 22;  // context hash table: 2^tableBitsA bytes
  std::uint32_t tableBitsB = 20;  // match model hash: 2^tableBitsB entries of 4 bytes
  // Most bytes of input per model: each section starts a fresh model, so that sections
  // decode independently (and side by side). Longer input is cut into an even number
  // of equal sections. Also the model's match window.
  std::size_t sectionSize = std::size_t{4} << 20;
};

struct LevelPlan {
  std::size_t blockSize = std::size_t{1} << 20;
  CodecChoice codec = CodecChoice::bwt;
  // Stages the survey does not point to are tried too (each judged by a trial coding).
  bool tryEveryStage = false;
  // WAV files go to the audio codec only when it beats the level's other codecs on them
  // (synthetic sound often repeats exactly, which they see and it does not).
  bool weighAudio = false;
  CmModelSize cm;
  // The newest bytes of the window kept for LZ blocks and the history-match stage to
  // copy from (see WriterOptions::keptHistory): the maker's memory grows with it.
  std::size_t keptHistory = std::size_t{32} << 20;
  LzEffort lzEffort;
  AudioSearch audioSearch = AudioSearch::thorough;
  // Stretches of one kind shorter than this join a neighbour before blocks are cut
  // (absorbShortRuns): fewer, longer blocks where the kind flips often.
  std::size_t shortestKindRun = 0;
};

inline constexpr int kFastestLevel = 1;
inline constexpr int kSmallestLevel = 9;

// The plan of a level; levels outside 1..9 take the nearest one.
LevelPlan levelPlan(int level);

// The size code of the smallest model window of at least `bytes` bytes (64 KiB at
// least, 2 GiB at most), as a codec-parameter record stores it.
std::uint8_t historySizeCodeFor(std::size_t bytes);

}  // namespace quorvex
