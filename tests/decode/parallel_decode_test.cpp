// Decoding on several threads gives what one thread gives: the same sink calls with
// the same bytes, the same console lines and the same failure, on every archive.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "codecs/bwt/backward_number.hpp"
#include "codecs/bwt/bwt_payload.hpp"
#include "model/binary_coder.hpp"
#include "decode/decode_plan.hpp"
#include "decode/detached_bwt.hpp"
#include "decode/dispatcher.hpp"
#include "quorvex/archive_writer.hpp"
#include "quorvex/decoder.hpp"
#include "support/test_support.hpp"
#include "support/thread_count_runs.hpp"

namespace quorvex {
namespace {

using testing::decodeWith;
using testing::DecodeRun;
using testing::expectSameOnEveryThreadCount;
using testing::RecordingSink;

TEST(ParallelDecode, GoldenArchivesAndTheSampleDecodeAlikeOnEveryThreadCount) {
  std::vector<std::filesystem::path> archives{std::filesystem::path(QUORVEX_SOURCE_DIR) / "samples" / "sample.qvx"};
  for (const auto& entry : std::filesystem::directory_iterator(QUORVEX_GOLDEN_DIR)) {
    if (entry.path().extension() == ".qvx") archives.push_back(entry.path());
  }
  ASSERT_GT(archives.size(), 10u);
  for (const auto& path : archives) {
    const DecodeRun one = expectSameOnEveryThreadCount(testing::readFile(path), path.filename().string());
    EXPECT_TRUE(one.result.ok()) << path << ": " << one.result.reason;
  }
}

// Blocks of every dependency: two context-mixing sections (one with an adaptation
// reset) with an audio block inside one, BWT blocks without and with history matches,
// LZ blocks reading what BWT blocks left in the window, and post-stages.
std::vector<std::uint8_t> mixedArchive(bool integrityChecks) {
  const std::vector<std::uint8_t> text = testing::repositoryText(96 << 10);
  const auto part = [&text](std::size_t from, std::size_t size) {
    return std::span<const std::uint8_t>(text).subspan(from, size);
  };
  StageOptions stages;
  stages.wordRuns = StageUse::whenSmaller;
  stages.textTransforms = StageUse::whenSmaller;
  StageOptions history;
  history.historyMatches = StageUse::always;

  ArchiveWriter writer(WriterOptions{integrityChecks});
  writer.addBwtBlock(part(0, 20000), stages);
  writer.addBwtBlock(part(20000, 20000));
  writer.addBwtBlock(part(8000, 12000), history);
  writer.addLzBlock(part(4000, 16000));
  writer.addCmParams(20, 18, 0);
  writer.addCmBlock(part(40000, 3000));
  writer.addCmBlock(part(49000, 2000), true);
  std::vector<std::uint8_t> samples(4000);
  for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<std::uint8_t>((i * i) >> 5);
  EXPECT_TRUE(writer.addAudioBlock(samples, 1, 2, true, 0));
  writer.addCmBlock(part(56000, 2000));
  writer.addCmParams(20, 18, 1);
  writer.addCmBlock(part(62000, 3000), false, stages);
  writer.addCmBlock(part(71000, 2000));
  writer.addCodecParams({});
  writer.addStoredBwtBlock(part(76000, 6000));
  writer.addLzBlock(part(30000, 12000), stages);
  writer.addBwtBlock(part(82000, 14000), history);
  return writer.bytes();
}

TEST(ParallelDecode, ArchivesDamagedAtEveryBlockFailAlikeOnEveryThreadCount) {
  for (const bool checks : {true, false}) {
    const std::vector<std::uint8_t> archive = mixedArchive(checks);
    const DecodeRun whole = expectSameOnEveryThreadCount(archive, "undamaged");
    ASSERT_TRUE(whole.result.ok()) << whole.result.reason;
    RecordStream stream(archive);
    ASSERT_TRUE(checkArchiveHeader(stream));
    const DecodePlan plan = planDecode(stream);
    ASSERT_EQ(plan.blocks.size(), 13u);
    ASSERT_EQ(plan.sections.size(), 2u);
    for (std::size_t b = 0; b < plan.blocks.size(); ++b) {
      const PlannedBlock& planned = plan.blocks[b];
      const std::span<const std::uint8_t> payload =
          planned.audio() ? parseAudioDescriptor(archive, planned).payload : planned.descriptor().payload;
      const std::size_t at = static_cast<std::size_t>(payload.data() - archive.data());
      // The middle of the coded data, or near its end (where BWT payloads keep their
      // segment table).
      const std::size_t offset = checks ? payload.size() / 2 : payload.size() - 2;
      std::vector<std::uint8_t> damaged = archive;
      damaged[at + offset] ^= 0x5A;
      expectSameOnEveryThreadCount(damaged,
                                   "block " + std::to_string(b) + (checks ? ", with checks" : ", without checks"),
                                   SIZE_MAX, {2});
    }
  }
}

// BWT blocks only, which the workers decode side by side: in-block and history
// matches, post-stages and a stored block; then, if asked, a block whose one segment
// claims 40 bytes but stores 2: decoded in the window, the other 38 are what earlier
// blocks left there.
std::vector<std::uint8_t> bwtArchive(bool leftoverBlock = false) {
  const std::vector<std::uint8_t> text = testing::repositoryText(160 << 10);
  const auto part = [&text](std::size_t from, std::size_t size) {
    return std::span<const std::uint8_t>(text).subspan(from, size);
  };
  StageOptions local;
  local.localMatches = StageUse::always;
  local.textTransforms = StageUse::whenSmaller;
  StageOptions history;
  history.historyMatches = StageUse::always;
  history.localMatches = StageUse::always;
  ArchiveWriter writer(WriterOptions{true});
  writer.addBwtBlock(part(0, 24000), local);
  writer.addBwtBlock(part(24000, 30000));
  writer.addBwtBlock(part(10000, 16000), history);
  writer.addStoredBwtBlock(part(60000, 5000));
  writer.addBwtBlock(part(65000, 20000));
  // Its matches reach into the two blocks before it: what the last block to read the
  // window reads must be there, however little comes after it.
  writer.addBwtBlock(part(63000, 20000), history);
  if (leftoverBlock) {
    BlockFields block;
    block.payload = {'a', 'b', 0x80, 0x80};
    for (const std::uint32_t number : {4u, 40u, 254u, 0u}) bwt::appendBackwardNumber(block.payload, number);
    block.unpackedSize = 40;
    writer.addBlock(block, {});
  }
  return writer.bytes();
}

TEST(ParallelDecode, BwtArchiveDamagedAtEveryBlockFailsAlikeOnEveryThreadCount) {
  const std::vector<std::uint8_t> archive = bwtArchive();
  const DecodeRun whole = expectSameOnEveryThreadCount(archive, "undamaged");
  ASSERT_TRUE(whole.result.ok()) << whole.result.reason;
  RecordStream stream(archive);
  ASSERT_TRUE(checkArchiveHeader(stream));
  const DecodePlan plan = planDecode(stream);
  ASSERT_EQ(plan.bwtBlocks.size(), 6u);
  std::size_t failures = 0;
  for (const std::uint32_t b : plan.bwtBlocks) {
    const std::span<const std::uint8_t> payload = plan.blocks[b].descriptor().payload;
    const std::size_t at = static_cast<std::size_t>(payload.data() - archive.data());
    // The coded data early and in the middle, and the segment table near the end.
    for (const std::size_t offset : {std::size_t{7}, payload.size() / 2, payload.size() - 3}) {
      std::vector<std::uint8_t> damaged = archive;
      damaged[at + offset] ^= 0x21;
      const DecodeRun one = expectSameOnEveryThreadCount(
          damaged, "block " + std::to_string(b) + " at " + std::to_string(offset), SIZE_MAX, {2, 4});
      failures += one.result.ok() ? 0 : 1;
    }
  }
  EXPECT_GE(failures, 12u);  // most damage is caught, by the block or by the checks

  const DecodeRun leftover = expectSameOnEveryThreadCount(bwtArchive(true), "leftovers", SIZE_MAX, {2, 4});
  EXPECT_TRUE(leftover.result.ok()) << leftover.result.reason;
}

// A BWT block from payload bytes, with the given length and primary index 0.
BlockFields rawBwtBlock(std::vector<std::uint8_t> segments, const std::vector<std::uint32_t>& trailerNumbers,
                        std::uint32_t unpackedSize) {
  BlockFields block;
  block.payload = std::move(segments);
  for (std::size_t k = trailerNumbers.size(); k-- > 0;) bwt::appendBackwardNumber(block.payload, trailerNumbers[k]);
  block.unpackedSize = unpackedSize;
  return block;
}

// Payloads that take the window's bytes past the cursor as they stand: a segment
// without coded bytes whose region reaches past the payload, a 1-byte segment whose
// run-start form spills past its region, a stored segment short of its length. Those
// bytes are what earlier blocks' in-place decodes left there, so every thread count
// must decode them, and the blocks before them, in the window. Detached blocks after
// them and an LZ block reading the window follow.
TEST(ParallelDecode, BwtPayloadsTakingStandingBytesDecodeAlikeOnEveryThreadCount) {
  const std::vector<std::uint8_t> text = testing::repositoryText(96 << 10);
  const auto part = [&text](std::size_t from, std::size_t size) {
    return std::span<const std::uint8_t>(text).subspan(from, size);
  };
  // Segment 0 stored "ab"; segment 1: 200 bytes, no coded bytes.
  const BlockFields withoutCoded = rawBwtBlock({'a', 'b', 0x80, 0x80}, {0, 253, 200, 0, 2, 4}, 202);
  // Segment 0 stored "abc"; segment 1: one byte in run-start form (eight equiprobable
  // bits for the value, one for its finishing run; zeros to 6 bytes; E = 1, L = 0).
  std::vector<std::uint8_t> spillSegments{'a', 'b', 'c', 0x80, 0x80};
  {
    std::vector<std::uint8_t> stream;
    BinaryEncoder encoder(stream);
    for (int bit = 7; bit >= 0; --bit) encoder.encodeBit(kEvenOdds, (0x3Cu >> bit) & 1u);
    encoder.encodeBit(kEvenOdds, 0);
    encoder.flush();
    ASSERT_LE(stream.size(), 6u);
    stream.resize(6, 0);
    spillSegments.insert(spillSegments.end(), stream.begin(), stream.end());
    spillSegments.insert(spillSegments.end(), {0x81, 0x80});
  }
  const BlockFields spill = rawBwtBlock(spillSegments, {0, 253, 1, 8, 3, 5}, 4);
  const BlockFields shortStored = rawBwtBlock({'a', 'b', 0x80, 0x80}, {0, 254, 90, 4}, 90);
  const std::vector<const BlockFields*> blocks{&withoutCoded, &spill, &shortStored};
  for (const BlockFields* standing : blocks) {
    EXPECT_TRUE(bwt::bwtPayloadTakesStandingBytes(standing->payload.data(),
                                                  static_cast<std::uint32_t>(standing->payload.size())));
  }

  ArchiveWriter writer(WriterOptions{false});
  writer.addBwtBlock(part(0, 24000));
  writer.addBwtBlock(part(24000, 30000));
  writer.addBlock(withoutCoded, {});
  writer.addBwtBlock(part(54000, 9000));
  writer.addBlock(spill, {});
  writer.addBwtBlock(part(63000, 9000));
  writer.addBlock(shortStored, {});
  writer.addBwtBlock(part(72000, 20000));
  writer.addBwtBlock(part(30000, 12000));
  writer.addLzBlock(part(0, 3000));
  const DecodeRun one = expectSameOnEveryThreadCount(writer.bytes(), "standing bytes", SIZE_MAX, {2, 4});
  ASSERT_TRUE(one.result.ok()) << one.result.reason;
  ASSERT_EQ(one.calls.size(), 10u);

  // The plan sends none of the first seven blocks to the workers; nor would a detached
  // decode take a block that takes standing bytes.
  RecordStream stream(writer.bytes());
  ASSERT_TRUE(checkArchiveHeader(stream));
  const DecodePlan plan = planDecode(stream);
  EXPECT_EQ(plan.standingBytesEnd, 7u);
  EXPECT_EQ(plan.bwtBlocks, (std::vector<std::uint32_t>{7, 8}));
  for (const std::uint32_t b : {2u, 4u, 6u}) {
    DetachedBwtBuffers buffers;
    DetachedBwt detached;
    EXPECT_FALSE(decodeBwtDetached(plan.blocks[b].descriptor(), buffers, Console([](std::string_view) {}), 1u, detached)) << b;
  }

  // The standing bytes are earlier blocks' leftovers: alone in an archive, in a fresh
  // window, the blocks that read them decode to other bytes; the spilling one, which
  // only writes past its region, to the same.
  const std::size_t at[] = {2, 4, 6};
  for (std::size_t k = 0; k < blocks.size(); ++k) {
    ArchiveWriter alone(WriterOptions{false});
    alone.addBlock(*blocks[k], {});
    const DecodeRun fresh = decodeWith(alone.bytes(), 1);
    ASSERT_EQ(fresh.calls.size(), 1u) << k;
    EXPECT_EQ(fresh.calls[0] == one.calls[at[k]], blocks[k] == &spill) << k;
  }
}

// The room a detached decode reports is what the in-place decoder needs: with it,
// decoding at the cursor gives the same lines and bytes; with less room than the
// transform needs, it fails (the in-block match stage's room is only sufficient).
TEST(ParallelDecode, DetachedBwtReportsTheRoomTheWindowMustLeave) {
  const std::vector<std::uint8_t> text = testing::repositoryText(20000);
  std::vector<std::uint8_t> repeats;  // in-block matches expand it far beyond 5 x its transform
  for (int i = 0; i < 2000; ++i) repeats.insert(repeats.end(), {'q', 'u', 'o', 'r', 'v', 'e', 'x', '!'});
  StageOptions local;
  local.localMatches = StageUse::always;
  ArchiveWriter writer;
  writer.addBwtBlock(text);
  writer.addStoredBwtBlock(std::span<const std::uint8_t>(text).first(3000));
  writer.addBwtBlock(repeats, local);
  const std::vector<std::uint8_t> archive = writer.bytes();
  RecordStream stream(archive);
  ASSERT_TRUE(checkArchiveHeader(stream));
  const DecodePlan plan = planDecode(stream);
  ASSERT_EQ(plan.blocks.size(), 3u);

  DecodeContext context;
  ASSERT_TRUE(context.allocate());
  bool stageBound = false;
  for (const PlannedBlock& block : plan.blocks) {
    DetachedBwtBuffers buffers;
    DetachedBwt detached;
    std::vector<std::string> lines;
    const Console console([&lines](std::string_view line) { lines.emplace_back(line); });
    ASSERT_TRUE(decodeBwtDetached(block.descriptor(), buffers, console, 1u, detached));
    const std::uint64_t needed = std::max(detached.windowRoom, detached.stageRoom);
    stageBound |= detached.stageRoom > detached.windowRoom;
    for (const std::uint64_t room : {needed + 1000, needed, needed - 1}) {
      SCOPED_TRACE(std::to_string(block.descriptor().packedSize) + " bytes, room " + std::to_string(room));
      EXPECT_EQ(detached.fitsRoom(static_cast<std::uint32_t>(room)), room >= needed);
      context.historyCursor = context.historyEnd - room;
      CodecState codecs;
      std::vector<std::string> inPlaceLines;
      const Console inPlace([&inPlaceLines](std::string_view line) { inPlaceLines.emplace_back(line); });
      std::uint32_t n = 0;
      std::string failure;
      const bool ok = decodeCodec(block.descriptor(), context, codecs, inPlace, n, failure);
      if (room < detached.windowRoom) {
        EXPECT_FALSE(ok);
      }
      if (room >= needed) {
        ASSERT_TRUE(ok) << failure;
        EXPECT_EQ(inPlaceLines, lines);
        ASSERT_EQ(n, detached.n);
        EXPECT_EQ(std::memcmp(context.historyCursor, buffers.expanded.data(), n), 0);
      }
    }
  }
  EXPECT_TRUE(stageBound) << "no block needed more room for its in-block matches than for its transform";
}

// A plan holds every block of the archive before any is decoded, so what it keeps per
// block bounds the memory of an archive of many small blocks (100,000 empty audio
// blocks: 46.8 MB on two threads while it held whole descriptors, 6.9 MB on one):
// audio blocks keep none and parse theirs again at their turn, from where the first
// reading found it, in and out of context-mixing mode.
TEST(ParallelDecode, PlansHoldNoAudioDescriptorsAndParseThemAgainAlike) {
  std::vector<std::uint8_t> samples(3000);
  for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<std::uint8_t>((i * 7) ^ (i >> 3));
  ArchiveWriter writer(WriterOptions{true});
  const std::vector<std::uint8_t> text = testing::repositoryText(8000);
  for (int k = 0; k < 40; ++k) {
    if (k == 20) writer.addCmParams(20, 18, 0);
    ASSERT_TRUE(writer.addAudioBlock(std::span<const std::uint8_t>(samples).first(600 + 60 * k), 1 + k % 2, 1 + k % 3,
                                     k % 2 == 0, k % 5, k % 3 == 0));
    if (k % 10 != 9) continue;
    if (k < 20) {
      writer.addBwtBlock(text);
    } else {
      writer.addCmBlock(std::span<const std::uint8_t>(text).first(900));
    }
  }
  const std::vector<std::uint8_t> archive = writer.bytes();
  const DecodeRun one = expectSameOnEveryThreadCount(archive, "audio blocks", SIZE_MAX, {2});
  ASSERT_TRUE(one.result.ok()) << one.result.reason;

  RecordStream stream(archive);
  ASSERT_TRUE(checkArchiveHeader(stream));
  const DecodePlan plan = planDecode(stream);
  ASSERT_EQ(plan.blocks.size(), 44u);
  RecordStream again(archive);
  ASSERT_TRUE(checkArchiveHeader(again));
  bool cmMode = false;
  std::size_t audioBlocks = 0;
  for (const PlannedBlock& block : plan.blocks) {
    // A second reading of the record stream, block by block, as one thread reads it.
    RecordHead head = again.readRecordHead();
    while (head.type != static_cast<std::uint32_t>(RecordType::block)) {
      if (head.type == static_cast<std::uint32_t>(RecordType::codecParams)) {
        cmMode = readCodecParams(again, head.count).contextMixing();
      } else {
        again.skipBytes(head.count);
      }
      head = again.readRecordHead();
    }
    const BlockDescriptor expected = parseBlockDescriptor(again, cmMode);
    EXPECT_EQ(block.audio(), expected.codecKind == static_cast<std::uint8_t>(CodecKind::audio));
    if (!block.audio()) continue;
    ++audioBlocks;
    EXPECT_FALSE(block.held);
    const BlockDescriptor parsed = parseAudioDescriptor(archive, block);
    EXPECT_EQ(parsed.payload.data(), expected.payload.data());
    EXPECT_EQ(parsed.payload.size(), expected.payload.size());
    EXPECT_EQ(parsed.unpackedSize, expected.unpackedSize);
    EXPECT_EQ(parsed.audioReset, expected.audioReset);
  }
  EXPECT_EQ(audioBlocks, 40u);
}

TEST(ParallelDecode, SinkThatRefusesStopsAtTheSameBlock) {
  const std::vector<std::uint8_t> archive = mixedArchive(true);
  for (const std::size_t accepted : {0u, 3u, 9u}) {
    const DecodeRun one =
        expectSameOnEveryThreadCount(archive, "sink refuses after " + std::to_string(accepted), accepted, {2});
    EXPECT_EQ(one.result.status, DecodeStatus::outputFailed);
  }
}

}  // namespace
}  // namespace quorvex
