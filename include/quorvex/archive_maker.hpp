// Makes archives from whole files: cuts each file into blocks and codes each block with
// the codec and post-stages asked for, or chosen for the data at a level.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "quorvex/archive_writer.hpp"

namespace quorvex {

// How a file is coded. automatic lets the maker choose per block for the level.
enum class FileCodec : std::uint8_t { automatic, stored, bwt, lz, cm, audio };

struct MakerOptions {
  int level = 6;              // 1: fastest to decode .. 9: smallest
  std::size_t blockSize = 0;  // bytes per block; 0: the level's choice
  StageOptions stages = allStagesWhenSmaller();
  WriterOptions writer;

  static StageOptions allStagesWhenSmaller();
};

// The largest block the decoder's work buffers hold.
inline constexpr std::size_t kMaxBlockSize = 101048576;

class ArchiveMaker {
 public:
  explicit ArchiveMaker(const MakerOptions& options = {});

  // Appends a file's bytes to the archive. False, adding nothing, when the codec
  // cannot take it (codec audio and data that is not a PCM WAV file).
  bool addFile(std::span<const std::uint8_t> data, FileCodec codec = FileCodec::automatic);

  // The archive so far, closed.
  const std::vector<std::uint8_t>& bytes() const { return writer_.bytes(); }

 private:
  void enterCmMode();
  void leaveCmMode();
  void addBlock(std::span<const std::uint8_t> block, FileCodec codec);

  MakerOptions options_;
  ArchiveWriter writer_;
};

}  // namespace quorvex
