// Makes archives from whole files: cuts each file into blocks and codes each block with
// the codec and post-stages asked for, or chosen for the data at a level.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "quorvex/archive_writer.hpp"

namespace quorvex {

// How a file is coded. automatic lets the maker choose for the level: WAV files (also
// inside a file) go to the audio codec, the rest is surveyed piece by piece and each
// block gets the codec and the post-stages that suit its kind of data.
enum class FileCodec : std::uint8_t { automatic, stored, bwt, lz, cm, audio };

struct MakerOptions {
  int level = 6;              // 1: fastest to decode .. 9: smallest
  std::size_t blockSize = 0;  // bytes per block; 0: the level's choice
  // Input bytes per context-mixing section (each starts a fresh model, so sections
  // decode independently); 0: the level's choice.
  std::size_t cmSectionSize = 0;
  // The post-stages the maker may use: with automatic, whenSmaller leaves the choice to
  // the maker, never and always hold whatever it would choose.
  StageOptions stages = allStagesWhenSmaller();
  WriterOptions writer;
  // Threads that may make independent blocks side by side; the archive is the same
  // for every count.
  unsigned threads = 1;
  // Called after each block (or audio file) is coded, with the input bytes it took:
  // for a progress display. May be empty.
  std::function<void(std::size_t inputBytes)> onCoded;

  static StageOptions allStagesWhenSmaller();
};

// The largest block the decoder's work buffers hold.
inline constexpr std::size_t kMaxBlockSize = 101048576;

// Why the maker refused a file (none: it took it).
enum class Refusal : std::uint8_t {
  none,
  notPcmWav,     // codec audio, and the data is not a PCM WAV file the audio codec takes
  wavTooLarge,   // codec audio, and the samples exceed what one audio block holds (4 GiB)
};

// The refusal in words, for a person: what was refused and why.
const char* describeRefusal(Refusal refusal);

struct AddResult {
  Refusal refusal = Refusal::none;
  explicit operator bool() const { return refusal == Refusal::none; }
};

class ArchiveMaker {
 public:
  explicit ArchiveMaker(const MakerOptions& options = {});

  // Appends a file's bytes to the archive; input longer than the decoder's history
  // window holds goes on in further members. Refused, adding nothing, when codec audio
  // cannot take the data (the result says why).
  AddResult addFile(std::span<const std::uint8_t> data, FileCodec codec = FileCodec::automatic);
  // Appends more of the file the last addFile began, with the same codec: a file read
  // in pieces. A WAV file whose samples run on past the first piece stays audio: its
  // samples go on in audio blocks that continue the ones before.
  void continueFile(std::span<const std::uint8_t> data);
  // Where a WAV file may begin in the last bytes of a piece whose end cuts its header
  // (or its first samples, too few to tell): a reader in pieces ends the piece there and
  // starts the next one with those bytes, so that the file is seen whole enough to
  // become audio. data.size() when nothing needs carrying.
  static std::size_t wavHeaderCutAt(std::span<const std::uint8_t> data);

  // The archive so far, closed (after takeWritten, what was written since).
  const std::vector<std::uint8_t>& bytes() const;
  // The bytes that will not change any more, handed over (see ArchiveWriter), so that
  // the archive is written out as it is made.
  std::vector<std::uint8_t> takeWritten();
  // The archive's size so far, taken bytes included.
  std::uint64_t size() const;

  ~ArchiveMaker();
  ArchiveMaker(ArchiveMaker&&) noexcept;
  ArchiveMaker& operator=(ArchiveMaker&&) noexcept;

 private:
  class Making;  // the maker's choices and state (archive_maker.cpp)
  std::unique_ptr<Making> making_;
};

}  // namespace quorvex
