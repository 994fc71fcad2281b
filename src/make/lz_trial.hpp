// The size a block codes to with the LZ codec alone (a fresh model, no window before
// it) or with the BWT codec alone: the yardsticks of the maker's codec choice and of
// its stage trials.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace quorvex {

// Blocks from this size on take turns (see lzTrialSize).
inline constexpr std::size_t kLzTrialTurnMinimum = std::size_t{2} << 20;

// Safe on any thread. A trial's encoder holds about ten bytes per byte of the block
// (its match trees eight) plus a 17 MB model: for a 16 MiB block some 165 MB. Blocks are
// prepared on several threads, and trials side by side would each hold that much beside
// the writer's own encoder, so trials of kLzTrialTurnMinimum bytes and more run one at a
// time in the process; smaller ones (a sample of a block) run at once.
std::size_t lzTrialSize(std::span<const std::uint8_t> block);

// The yardstick of the stage trials, which code whole blocks before and after a stage
// and keep the stage when it wins clearly: the same encoder with a shallow search and a
// short take-outright length, about half the work of lzTrialSize. A stage's gain shows
// in both alike: on 8 MB of C++ headers and of a mixed corpus, levels 4 to 6 keep the
// same stages with either yardstick.
inline constexpr std::uint32_t kStageTrialTreeSteps = 8;
inline constexpr std::uint32_t kStageTrialNiceLength = 16;
std::size_t lzStageTrialSize(std::span<const std::uint8_t> block);

// The block's BWT payload size: its transform entropy-coded, without stages.
std::size_t bwtTrialSize(std::span<const std::uint8_t> block);

}  // namespace quorvex
