// The LZ model: every adaptive table of the LZ codec, in one long-lived object.
//
// One LzModel is created at the first LZ block and kept for the rest of the run, so
// each block goes on learning from the statistics of all earlier LZ blocks. The
// encoder keeps its own copy, which stays identical as long as it sees the same blocks.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace quorvex::lz {

// Literal model dimensions.
inline constexpr std::size_t kWeightSets = 12;
inline constexpr std::size_t kLiteralInputs = 8;
inline constexpr std::size_t kLiteralStates = 768;
inline constexpr std::size_t kLiteralApmRows = 2 * kLiteralStates;
inline constexpr std::size_t kLiteralApmColumns = 12;
inline constexpr std::size_t kNibbleStateCount = 131072;

// Match coding dimensions.
inline constexpr std::uint32_t kLengthClasses = 16;
inline constexpr std::size_t kLengthTreeNodes = 32;
inline constexpr std::size_t kSlotSets = 9;
inline constexpr std::size_t kSlotTreeNodes = 32;
inline constexpr std::size_t kSlotApmColumns = 17;
inline constexpr std::size_t kDistanceSets = 32;
inline constexpr std::size_t kExtraBitCounters = 26;
inline constexpr std::size_t kRepChoiceCounters = 2048;

// Literal/match flag dimensions.
inline constexpr std::size_t kFlagApmARows = 288;
inline constexpr std::size_t kFlagApmAColumns = 5;
inline constexpr std::size_t kFlagApmBRows = 256;
inline constexpr std::size_t kFlagApmBColumns = 10;

inline constexpr std::size_t kPositionHashSize = 65536;

// The format's model footprint; the layout below has no padding, so sizeof matches it.
inline constexpr std::size_t kLzModelBytes = 17300832;

// A plain aggregate of arrays, so that zeroed heap memory is itself a valid model whose
// tables all read 0 (no constructor runs over it and leaves members indeterminate).
struct LzModel {
  // Every table at its initial value, or null when the memory is not available. The
  // model lives in zeroed memory: tables that start at zero are not written, so the
  // 16 MiB bit-history table costs only the pages that blocks actually touch. With
  // `hugePages`, requestHugePages is called before any table is written.
  static std::unique_ptr<LzModel> create(bool hugePages = true);
  static void* operator new(std::size_t) = delete;  // only create() makes one
  static void operator delete(void* model) noexcept;

  // Literal model.
  std::array<std::array<std::int16_t, kLiteralInputs>, kWeightSets> MixerWeights;
  std::array<std::array<std::uint8_t, 256>, 256> Order1Probs;
  std::array<std::uint8_t, kLiteralStates> LiteralStateProbs;
  std::array<std::array<std::uint8_t, 256>, 256> Order2SparseProbs;
  std::array<std::uint16_t, kLiteralApmRows * kLiteralApmColumns> LiteralApm;
  std::array<std::uint8_t, kNibbleStateCount / 2> NibbleStates;  // two 4-bit states per byte
  std::array<std::uint16_t, 16> NibbleStateProbs;
  std::array<std::uint8_t, 1024> RepMatchProbs;
  std::array<std::uint8_t, 4096> HashMatchProbs;
  std::array<std::uint8_t, 256 * 256 * 256> Order2States;
  std::array<std::uint32_t, 256> StateProbs;

  // Match coding.
  std::array<std::array<std::uint16_t, kLengthClasses>, 2> LengthClassProbs;
  std::array<std::array<std::uint16_t, kLengthTreeNodes>, kLengthClasses> LengthTreeProbs;
  std::array<std::array<std::uint16_t, kSlotTreeNodes>, kSlotSets> SlotTreeProbs;
  std::array<std::uint16_t, kSlotTreeNodes * kSlotApmColumns> SlotApm;
  std::array<std::array<std::uint16_t, 4>, kDistanceSets> DistanceHighProbs;
  std::array<std::array<std::uint16_t, 32>, kDistanceSets> AlignProbs;  // only set 0, nodes 1..15 are used
  std::array<std::array<std::uint16_t, kExtraBitCounters>, kDistanceSets> ExtraBitProbs;
  std::array<std::uint16_t, kRepChoiceCounters> RepChoiceProbs;

  // Literal/match flag.
  std::array<std::array<std::uint8_t, 8>, 256> MatchFlagProbs;
  std::array<std::uint16_t, kFlagApmARows * kFlagApmAColumns> MatchFlagApmA;
  std::array<std::uint16_t, kFlagApmBRows * kFlagApmBColumns> MatchFlagApmB;  // rows 0..63 are used

  // Window position (offset from the window start) after the last occurrence of each
  // three-byte context hash; 0 means none.
  std::array<std::uint32_t, kPositionHashSize> PositionHash;
};

// Asks for 2 MiB pages over the whole model. The bit-history table and the position
// hash are read at a random row for every token; on 4 KiB pages most of those reads pay
// a page walk, some 2% of a large decode. Pages already touched stay as they are.
// Small archives do without: a touched huge page commits all its 2 MiB, which would
// raise a tiny archive's footprint by about 4 MiB.
void requestHugePages(LzModel& model);

// A probability as an interpolation map gives it, with the entry to update afterwards.
struct MapReading {
  std::uint32_t probability;  // 12 bits
  std::uint16_t* entry;
};

// Linear interpolation between the two columns around x (x >> 12 is the column,
// x & 4095 the weight); the nearer column is the one that learns.
inline MapReading interpolate(std::uint16_t* row, std::uint32_t x) {
  const std::uint32_t column = x >> 12;
  const std::uint32_t weight = x & 4095u;
  const std::uint32_t value = (std::uint32_t{row[column]} * (4096u - weight) + std::uint32_t{row[column + 1]} * weight) >> 16;
  return {value, weight < 2048u ? &row[column] : &row[column + 1]};
}

}  // namespace quorvex::lz
