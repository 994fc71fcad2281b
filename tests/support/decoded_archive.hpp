// Decodes an archive in memory and keeps everything a test looks at.
#pragma once

#include <string>
#include <vector>

#include "quorvex/archive_writer.hpp"
#include "quorvex/decoder.hpp"

namespace quorvex::testing {

struct Decoded {
  DecodeResult result;
  std::vector<std::uint8_t> output;
  std::string console;  // every console line, in order
};

inline Decoded decode(const std::vector<std::uint8_t>& archive) {
  Decoded run;
  OutputImage image;
  DecodeOptions options;
  options.console = [&run](std::string_view line) { run.console += line; };
  run.result = decodeArchive(archive, image, options);
  run.output = image.bytes();
  return run;
}

// An archive of the header and this one block, decoded.
inline Decoded decodeOneBlock(const BlockFields& block) {
  ArchiveWriter writer;
  writer.addBlock(block, {});
  return decode(writer.bytes());
}

}  // namespace quorvex::testing
