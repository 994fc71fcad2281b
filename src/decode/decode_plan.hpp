// Planning a decode: every record read once, before any payload is decoded, so that a
// decoder can see which work depends on which before it starts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "format/block_descriptor.hpp"
#include "format/codec_params.hpp"
#include "format/record_stream.hpp"

namespace quorvex {

inline constexpr std::uint32_t kNoSection = 0xFFFFFFFFu;

struct PlannedBlock {
  // The descriptor, held from planning to decoding by every block but audio ones: an
  // audio block's is parsed again when its turn comes (see parseAudioDescriptor), so
  // that an archive of many small audio blocks holds a few bytes per block.
  std::unique_ptr<const BlockDescriptor> held;
  std::size_t offset = 0;            // where its descriptor starts in the archive
  CodecParams params;                // active when the block was read
  std::uint32_t section = kNoSection;  // its context-mixing section, for blocks the model decodes
  std::uint32_t unpackedSize = 0;
  std::uint8_t codecKind = 0;
  bool historyMatches = false;  // its history-match stage is on

  const BlockDescriptor& descriptor() const { return *held; }
  bool audio() const { return codecKind == static_cast<std::uint8_t>(CodecKind::audio); }
  // A BWT block outside context-mixing mode: its codec needs no earlier block (its
  // history-match stage aside, which reads the window before it).
  bool bwt() const { return !params.contextMixing() && codecKind == static_cast<std::uint8_t>(CodecKind::bwt); }
  // Whether its decode reads the window's earlier bytes: an LZ codec's matches, or a
  // history-match stage. Every other codec and stage sees only its own block.
  bool readsWindow() const {
    return (!params.contextMixing() && codecKind == static_cast<std::uint8_t>(CodecKind::lz)) || historyMatches;
  }
};

// The blocks of one context-mixing section: they share one model, built at the first
// of them, and depend on no block outside the section.
struct CmSection {
  CodecParams params;
  std::vector<std::uint32_t> blocks;  // indices into DecodePlan::blocks, in archive order
  std::uint64_t modelBytes = 0;       // what its model's tables ask for
  std::uint64_t outputBytes = 0;      // what its blocks' descriptors claim they decode to
};

// The records a decoder acts on, in archive order. Codec-parameter records are folded
// into the blocks and sections; unknown records are gone.
struct PlannedRecord {
  enum class Kind : std::uint8_t { block, integrity, member };
  Kind kind;
  std::uint32_t block = 0;   // for blocks: index into DecodePlan::blocks
  std::size_t offset = 0;    // for integrity records: where the payload starts; for member
                             // records: where the member's first record starts
  std::uint32_t count = 0;   // for integrity records: the payload's size
};

struct DecodePlan {
  std::vector<PlannedBlock> blocks;
  std::vector<CmSection> sections;
  std::vector<PlannedRecord> records;
  // The blocks whose bwt() holds that decode away from the window, in archive order:
  // all but those before standingBytesEnd.
  std::vector<std::uint32_t> bwtBlocks;
  // One past the last BWT block whose payload takes the window's bytes as they stand
  // past the cursor (0: none). Those bytes are what earlier blocks' in-place decodes
  // left there, so that block and every BWT block before it decode in place, in order.
  std::uint32_t standingBytesEnd = 0;
  // One past the last block that reads the window (0: none). No block reads the codec
  // output of that block or of any after it, so a decoder need not keep theirs.
  std::uint32_t windowReadersEnd = 0;

  // Whether the block is a BWT block that may decode away from the window.
  bool detachedBwt(std::uint32_t block) const { return blocks[block].bwt() && block >= standingBytesEnd; }

  // Whether some block after `block` reads the window.
  bool windowReadAfter(std::uint32_t block) const { return block + 1 < windowReadersEnd; }
};

// Reads every record after the header; the stream ends at the end of the archive.
// At a member record (unless ignored) the parameters go back to 0, and the barrier
// block behind it is left out.
DecodePlan planDecode(RecordStream& stream, bool ignoreMemberRecords = false);

// An audio block's descriptor, parsed again from the archive the plan was made from.
BlockDescriptor parseAudioDescriptor(std::span<const std::uint8_t> archive, const PlannedBlock& block);

}  // namespace quorvex
