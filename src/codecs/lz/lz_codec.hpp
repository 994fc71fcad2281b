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

// The encoding twin: keeps its own LzModel, so that it mirrors a decoder that has
// seen the same blocks.
class LzEncoder {
 public:
  LzEncoder();
  ~LzEncoder();
  LzEncoder(const LzEncoder&) = delete;
  LzEncoder& operator=(const LzEncoder&) = delete;

  // window: the history window from historyBase up to the end of the block to encode;
  // the block is window[blockOffset..]. Returns the block's payload.
  std::vector<std::uint8_t> encodeBlock(std::span<const std::uint8_t> window, std::size_t blockOffset);

 private:
  std::unique_ptr<LzModel> model_;
};

}  // namespace quorvex::lz
