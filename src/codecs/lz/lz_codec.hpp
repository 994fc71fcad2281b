// LZ blocks: the entry the dispatcher calls, and the encoder the archive writer uses.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace quorvex::lz {

class LzModel;

// The process-wide LZ decoder. The LzModel is created at the first LZ block and
// never reset: every block goes on learning from the statistics of the earlier ones.
class LzDecoder {
 public:
  LzDecoder();
  ~LzDecoder();
  LzDecoder(const LzDecoder&) = delete;
  LzDecoder& operator=(const LzDecoder&) = delete;

  // Decodes one block of unpackedSize bytes to destination, which lies inside the
  // history window that starts at historyBase (64 readable zero bytes precede it).
  // The caller guarantees room for unpackedSize bytes at destination. Returns false
  // when the block cannot be decoded safely (a match reaching outside the window).
  bool decodeBlock(std::span<const std::uint8_t> payload, const std::uint8_t* historyBase, std::uint8_t* destination,
                   std::uint32_t unpackedSize);

 private:
  std::unique_ptr<LzModel> model_;
};

}  // namespace quorvex::lz
