// Listing an archive: its records and block descriptors, read without decoding a
// payload, so that it takes a moment on an archive of any size.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace quorvex {

// member: this project's member record (the next member starts there); barrier: the
// block record behind it, which other decoders fail on and this project's skips.
enum class ListedRecordKind : std::uint8_t { signature, version, block, codecParams, integrity, member, barrier, other };

// The codec a block record selects in the mode it stands in.
enum class ListedCodec : std::uint8_t {
  bwtStored,    // transformed block without entropy coding
  bwt,
  lz,
  cm,
  audio,
  unsupported,  // a codec kind the active mode does not decode: the block fails
};

std::string_view codecName(ListedCodec codec);

// A post-stage a block runs, with the size of its side data.
struct ListedStage {
  std::string_view name;  // local-matches, history-matches, word-runs, delta, text, branch-targets
  std::uint32_t sideDataSize = 0;
};

// One segment of an entropy-coded BWT payload, from the payload's trailers.
struct ListedSegment {
  std::uint32_t index = 0;
  std::uint32_t codedLength = 0;
  std::uint32_t length = 0;          // bytes of the transformed block
  std::uint32_t runBytesSaved = 0;   // by byte-run expansion; 0: none
  bool runStartCoded = false;
};

struct ListedRecord {
  std::uint64_t offset = 0;  // where the record's head starts in the archive
  std::uint64_t size = 0;    // bytes from the head to the next record
  std::uint32_t type = 0;
  ListedRecordKind kind = ListedRecordKind::other;
  std::uint32_t count = 0;   // the head's count (not used by block records)

  // Block records.
  std::uint32_t blockIndex = 0;
  ListedCodec codec = ListedCodec::unsupported;
  std::uint8_t codecKind = 0;
  std::uint32_t packedSize = 0;
  std::uint32_t codecOutputSize = 0;  // what the codec produces, before the post-stages
  bool payloadComplete = true;        // false: the archive ends inside the payload
  std::uint32_t bwtPrimaryIndex = 0;
  std::uint8_t audioReset = 0;
  std::uint8_t textTransformBits = 0;
  std::vector<ListedStage> stages;
  std::vector<ListedSegment> segments;  // with segment detail, for entropy-coded BWT payloads

  // Codec-parameter records.
  std::uint32_t codecId = 0;
  std::uint32_t historySize = 0;
  std::uint32_t tableBitsA = 0;
  std::uint32_t tableBitsB = 0;

  // Integrity records of this project (others of the type are listed as other).
  std::uint8_t integrityKind = 0;        // 0 opening, 1 check, 2 closing
  std::uint64_t recordedOutputSize = 0;  // output size the record vouches for

  // Every record: the member it belongs to (0: the first); a member record starts its.
  std::uint32_t member = 0;
};

struct ArchiveListing {
  bool headerValid = false;  // false: nothing else is listed
  std::vector<ListedRecord> records;
};

// Reads every record of the archive. segmentDetail: also read the segment trailers of
// entropy-coded BWT payloads.
ArchiveListing listArchive(std::span<const std::uint8_t> archive, bool segmentDetail = false);

}  // namespace quorvex
