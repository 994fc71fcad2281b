// A quick look at bytes before choosing how to code them: what kind of data they are,
// judged from byte statistics alone (no trial compression).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace quorvex {

enum class DataKind : std::uint8_t {
  generic,         // nothing in particular: the codec's own modelling does the work
  text,            // mostly printable characters: the text transforms pay
  x86,             // machine code dense in calls and jumps with near targets
  records,         // fixed-size records or sampled signals: strided differences pay
  incompressible,  // bytes about as random as bytes get
};

// The kind of one stretch of bytes (best for a few KiB to a few hundred KiB).
DataKind surveyBytes(std::span<const std::uint8_t> bytes);

// A stretch of bytes of one kind: [begin, end) of the surveyed data.
struct KindRun {
  std::size_t begin = 0;
  std::size_t end = 0;
  DataKind kind = DataKind::generic;
};

// The stretches of data of one kind, in order and covering it all: data is surveyed in
// chunks of kSurveyChunk bytes (the last one takes the remainder) and neighbouring
// chunks of the same kind are joined. Empty data gives no stretch.
inline constexpr std::size_t kSurveyChunk = std::size_t{1} << 16;
std::vector<KindRun> surveyRuns(std::span<const std::uint8_t> data);

// The runs with every run shorter than `shortest` bytes joined to its longer neighbour,
// shortest first, and neighbours of one kind joined. An incompressible run takes no
// neighbour in, so a short run between two of them stays. A tar of source files flips
// between text and headers padded with zeros every few KiB; coded as the runs fall, it
// becomes dozens of small BWT and LZ blocks, each starting cold.
std::vector<KindRun> absorbShortRuns(std::vector<KindRun> runs, std::size_t shortest);

}  // namespace quorvex
