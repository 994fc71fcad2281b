// Members decoded side by side give what one thread gives: the same sink calls, console
// lines and failure, wherever an archive of several members is damaged, cut or forged.
// The archives are made with a small member window (and decoded with a window of the
// same size), so that small inputs make several members.
#include <gtest/gtest.h>

#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "decode/decode_context.hpp"
#include "decode/decode_plan.hpp"
#include "decode/parallel_members.hpp"
#include "format/member_record.hpp"
#include "quorvex/archive_listing.hpp"
#include "quorvex/archive_maker.hpp"
#include "quorvex/archive_writer.hpp"
#include "codecs/bwt/backward_number.hpp"
#include "quorvex/decoder.hpp"
#include "support/test_support.hpp"
#include "support/thread_count_runs.hpp"

namespace quorvex {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kMemberWindow = 64 * 1024;

Bytes mixedInput() {
  Bytes input = testing::repositoryText(120000);
  const Bytes code = testing::ownProgram(50000);
  const Bytes skewed = testing::skewedBytes(50000, 9);
  input.insert(input.end(), code.begin(), code.end());
  input.insert(input.end(), skewed.begin(), skewed.end());
  return input;
}

Bytes makeArchive(const Bytes& input, int level, FileCodec codec, StageOptions stages, bool checks = true,
                  std::size_t blockSize = 6 * 1024) {
  MakerOptions options;
  options.level = level;
  options.blockSize = blockSize;
  options.cmSectionSize = 24 * 1024;
  options.stages = stages;
  options.writer.memberWindow = kMemberWindow;
  options.writer.integrityChecks = checks;
  ArchiveMaker maker(options);
  EXPECT_TRUE(maker.addFile(input, codec));
  return maker.bytes();
}

// LZ blocks without post-stages: each block's output is its codec output, so the
// listing tells where each member's output starts.
// Small blocks, so that a member holds several.
Bytes lzArchive(const Bytes& input, bool checks = true) {
  return makeArchive(input, 3, FileCodec::lz, {}, checks, 2 * 1024);
}

using testing::DecodeRun;
using testing::RecordingSink;

DecodeRun decodeWith(const Bytes& archive, unsigned threads, std::size_t acceptCalls = SIZE_MAX) {
  return testing::decodeWith(archive, threads, acceptCalls, kMemberWindow);
}

// Decodes on 1, 2 and 4 threads in small windows and expects the runs to agree in
// everything; returns the one-thread run.
DecodeRun expectAlike(const Bytes& archive, const std::string& what, std::size_t acceptCalls = SIZE_MAX) {
  return testing::expectSameOnEveryThreadCount(archive, what, acceptCalls, {2, 4}, kMemberWindow);
}

struct Member {
  std::uint64_t recordOffset = 0;  // its member record (0 for the first member)
  std::uint64_t outputStart = 0;   // where its output starts (blocks without post-stages)
  std::vector<ListedRecord> blocks;
};

std::vector<Member> membersOf(const Bytes& archive) {
  std::vector<Member> members(1);
  std::uint64_t output = 0;
  for (const ListedRecord& record : listArchive(archive).records) {
    if (record.kind == ListedRecordKind::member) {
      members.push_back({record.offset, output, {}});
    } else if (record.kind == ListedRecordKind::block) {
      members.back().blocks.push_back(record);
      output += record.codecOutputSize;
    }
  }
  return members;
}

// How many members the parallel decoder runs at once on this archive.
unsigned sideBySide(const Bytes& archive, unsigned threads, std::uint64_t budget = std::uint64_t{1} << 40) {
  RecordStream stream(archive);
  EXPECT_TRUE(checkArchiveHeader(stream));
  const std::size_t first = stream.offset();
  const DecodePlan plan = planDecode(stream);
  return membersSideBySide(plan, planMembers(plan, first, kMemberWindow), threads, budget);
}

TEST(MembersSideBySide, EveryLevelAndCodecDecodesAlike) {
  const Bytes input = mixedInput();
  std::vector<Bytes> archives;
  for (const int level : {1, 3, 6, 7}) {
    archives.push_back(makeArchive(input, level, FileCodec::automatic, MakerOptions::allStagesWhenSmaller()));
  }
  for (const FileCodec codec : {FileCodec::lz, FileCodec::bwt, FileCodec::stored, FileCodec::cm}) {
    archives.push_back(makeArchive(input, 6, codec, MakerOptions::allStagesWhenSmaller()));
  }
  archives.push_back(lzArchive(input, false));
  // Members go side by side where blocks read the window (LZ blocks, history matches);
  // archives of context mixing take the ordinary road, which runs their sections side by
  // side.
  const std::vector<unsigned> onTwo{2, 2, 2, 1, 2, 2, 2, 1, 2};
  for (std::size_t a = 0; a < archives.size(); ++a) {
    SCOPED_TRACE("archive " + std::to_string(a));
    ASSERT_GE(membersOf(archives[a]).size(), 4u);
    if (onTwo[a] != 0) {
      EXPECT_EQ(sideBySide(archives[a], 2), onTwo[a]);
      EXPECT_EQ(sideBySide(archives[a], 4), onTwo[a] == 2 ? 4u : 1u);
    }
    const DecodeRun one = expectAlike(archives[a], "undamaged");
    ASSERT_TRUE(one.result.ok()) << one.result.reason;
    EXPECT_TRUE(one.output() == input);
  }
}

// A damaged block in the first, a middle and the last member: the same failure after
// the same output, which holds every earlier member whole.
TEST(MembersSideBySide, DamageInAnyMemberFailsAlike) {
  const Bytes input = mixedInput();
  for (const bool checks : {true, false}) {
    const Bytes archive = lzArchive(input, checks);
    const std::vector<Member> members = membersOf(archive);
    ASSERT_GE(members.size(), 4u);
    for (const std::size_t m : {std::size_t{0}, members.size() / 2, members.size() - 1}) {
      const Member& member = members[m];
      // Its second block (the first after a member record is the barrier), payload middle.
      const ListedRecord& block = member.blocks.at(m == 0 ? 1 : 2);
      Bytes damaged = archive;
      damaged[block.offset + block.size / 2] ^= 0x5A;
      const std::string what = "member " + std::to_string(m) + (checks ? ", checks" : ", no checks");
      const DecodeRun one = expectAlike(damaged, what);
      SCOPED_TRACE(what);
      if (checks) {
        EXPECT_FALSE(one.result.ok());
      }
      if (!one.result.ok()) {
        EXPECT_GE(one.result.completeOutputSize, member.outputStart);
        const Bytes output = one.output();
        ASSERT_LE(one.result.completeOutputSize, output.size());
        EXPECT_TRUE(std::equal(output.begin(), output.begin() + static_cast<std::ptrdiff_t>(one.result.completeOutputSize),
                               input.begin()));
      }
    }
  }
}

// Cut where a member record starts, just after it and in the middle of a member: the
// integrity checks, which run on across members, fail alike after the same output.
TEST(MembersSideBySide, CutArchivesFailAlike) {
  const Bytes input = mixedInput();
  const Bytes archive = lzArchive(input);
  const std::vector<Member> members = membersOf(archive);
  ASSERT_GE(members.size(), 4u);
  for (std::size_t m = 1; m < members.size(); ++m) {
    const ListedRecord& barrier = members[m].blocks.front();
    for (const std::uint64_t cut : {members[m].recordOffset, barrier.offset + barrier.size,
                                    members[m].blocks.at(2).offset + 5}) {
      const Bytes shorter(archive.begin(), archive.begin() + static_cast<std::ptrdiff_t>(cut));
      const DecodeRun one = expectAlike(shorter, "cut at " + std::to_string(cut));
      EXPECT_FALSE(one.result.ok());
      EXPECT_GE(one.result.completeOutputSize, members[m].outputStart);
    }
  }
}

// A member record written where none was: the member after it starts afresh and its
// first block is taken for the barrier; whatever that makes of the archive, it is the
// same on every thread count, and the integrity checks catch it.
TEST(MembersSideBySide, ForgedMemberRecordsFailAlike) {
  const Bytes input = mixedInput();
  const Bytes archive = lzArchive(input);
  const std::vector<Member> members = membersOf(archive);
  ASSERT_GE(members.size(), 4u);
  const Bytes payload = memberRecordPayload(99);
  const std::uint32_t head = static_cast<std::uint32_t>(payload.size() << 4) | kMemberRecordType;
  for (const std::size_t m : {std::size_t{0}, members.size() / 2, members.size() - 1}) {
    const ListedRecord& block = members[m].blocks.at(members[m].blocks.size() / 2);
    Bytes forged(archive.begin(), archive.begin() + static_cast<std::ptrdiff_t>(block.offset));
    forged.push_back(static_cast<std::uint8_t>(0x80 | (head & 0x7F)));
    forged.push_back(static_cast<std::uint8_t>((head >> 7) - 1));
    forged.insert(forged.end(), payload.begin(), payload.end());
    forged.insert(forged.end(), archive.begin() + static_cast<std::ptrdiff_t>(block.offset), archive.end());
    ASSERT_EQ(membersOf(forged).size(), members.size() + 1);
    const DecodeRun one = expectAlike(forged, "forged in member " + std::to_string(m));
    EXPECT_EQ(one.result.status, DecodeStatus::checkFailed) << one.result.reason;
    EXPECT_GE(one.result.completeOutputSize, members[m].outputStart);
  }
}

// A sink that refuses bytes in a later member: the run stops after that block on every
// thread count, with the same calls.
TEST(MembersSideBySide, ARefusingSinkStopsAlike) {
  const Bytes input = mixedInput();
  const Bytes archive = lzArchive(input);
  const std::size_t calls = decodeWith(archive, 1).calls.size();
  ASSERT_GT(calls, 8u);
  for (const std::size_t accept : {std::size_t{3}, calls / 2, calls - 2}) {
    const DecodeRun one = expectAlike(archive, "sink refuses after " + std::to_string(accept), accept);
    EXPECT_EQ(one.result.status, DecodeStatus::outputFailed);
    EXPECT_EQ(one.calls.size(), accept + 1);
  }
}

// Members that may hold back no more output than their window's worth wait for the
// commit again and again, the one it takes included: still the same calls and lines.
TEST(MembersSideBySide, MembersWaitingForTheCommitDecodeAlike) {
  const Bytes input = mixedInput();
  Bytes damaged = lzArchive(input);
  const std::vector<Member> members = membersOf(damaged);
  const ListedRecord& block = members.back().blocks.at(2);
  damaged[block.offset + block.size / 2] ^= 0x5A;
  const std::vector<Bytes> archives{
      makeArchive(input, 6, FileCodec::automatic, MakerOptions::allStagesWhenSmaller()), lzArchive(input), damaged};
  for (std::size_t a = 0; a < archives.size(); ++a) {
    const DecodeRun one = decodeWith(archives[a], 1);
    EXPECT_EQ(one.result.ok(), a != 2) << one.result.reason;
    for (const unsigned inFlight : {2u, 4u}) {
      SCOPED_TRACE("archive " + std::to_string(a) + ", " + std::to_string(inFlight) + " in flight");
      RecordStream stream(archives[a]);
      ASSERT_TRUE(checkArchiveHeader(stream));
      const std::size_t first = stream.offset();
      const DecodePlan plan = planDecode(stream);
      DecodeContext context;
      ASSERT_TRUE(context.allocate(kMemberWindow));
      DecodeRun many;
      RecordingSink sink(SIZE_MAX);
      DecodeOptions options;
      options.threads = inFlight;
      options.windowSize = kMemberWindow;
      options.console = [&many](std::string_view line) { many.lines.emplace_back(line); };
      many.result = decodeMembersSideBySide(archives[a], stream, context, sink, options,
                                            planMembers(plan, first, kMemberWindow), inFlight, 0);
      EXPECT_EQ(many.result.status, one.result.status);
      EXPECT_EQ(many.result.reason, one.result.reason);
      EXPECT_EQ(many.result.completeOutputSize, one.result.completeOutputSize);
      EXPECT_EQ(many.lines, one.lines);
      EXPECT_TRUE(sink.calls == one.calls);
    }
  }
}

// With memory for one window only, a member that cannot get its own waits for the
// window a member before it gives back: the same output, and no failure. Run in a
// child process whose address space is capped so that a second window does not fit
// (sanitizer builds reserve too much address space for such a cap).
TEST(MembersSideBySide, AMemberWithoutAWindowOfItsOwnWaitsForOne) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "an address-space cap and the sanitizer's reservations do not mix";
#else
  // The first member decodes slowly (context mixing), so that the others start while
  // it holds the one window.
  const Bytes text = testing::repositoryText(300000);
  ArchiveWriter writer;
  writer.addCmParams(20, 18, 0);
  writer.addCmBlock({text.data(), 252000});
  for (std::size_t block = 0; block < 8; ++block) {
    if (block % 2 == 0) writer.startMember();
    writer.addLzBlock({text.data() + 252000 + block * 6000, 6000});
  }
  const Bytes archive = writer.bytes();
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
#if defined(__GLIBC__)
    // Each thread that allocates may reserve an arena of its own (64 MiB or more of
    // address space), as many as the scheduler happens to make: one arena keeps the
    // room the decoder's threads need the same on a quiet machine and a loaded one.
    ::mallopt(M_ARENA_MAX, 1);
#endif
    // The least cap (in steps of 64 MiB) under which one window fits, then room for
    // the threads and models besides, which must still leave no room for a second.
    const auto capAt = [](std::uint64_t bytes) {
      const rlimit cap{bytes, RLIM_INFINITY};
      return ::setrlimit(RLIMIT_AS, &cap) == 0;
    };
    constexpr std::uint64_t kStep = std::uint64_t{64} << 20;
    std::uint64_t cap = kStep;
    DecodeContext first;
    for (; cap < (std::uint64_t{64} << 30); cap += kStep) {
      if (!capAt(cap)) ::_exit(3);
      if (first.allocate()) break;
      first = DecodeContext();
    }
    if (!capAt(cap + (std::uint64_t{300} << 20))) ::_exit(3);
    DecodeContext second;
    if (!first.historyBase || second.allocate()) ::_exit(4);
    first = DecodeContext();
    second = DecodeContext();
    OutputImage image;
    DecodeOptions options;
    options.threads = 2;
    const DecodeResult result = decodeArchive(archive, image, options);
    ::_exit(result.ok() && image.bytes() == text ? 0 : 5);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(sideBySide(archive, 2), 2u);
#endif
}

// A block whose one segment claims 40 bytes but stores 2 takes the other 38 from the
// window past the cursor: in one thread's window, what the member before left there.
// Such an archive decodes its members in one window, as one thread does.
TEST(MembersSideBySide, StandingWindowBytesKeepMembersInOneWindow) {
  const Bytes text = testing::repositoryText(30000);
  ArchiveWriter writer(WriterOptions{false});
  writer.addBwtBlock({text.data(), 8000});
  writer.startMember();
  writer.addBwtBlock({text.data() + 8000, 600});
  BlockFields block;
  block.payload = {'a', 'b', 0x80, 0x80};
  for (const std::uint32_t number : {4u, 40u, 254u, 0u}) bwt::appendBackwardNumber(block.payload, number);
  block.unpackedSize = 40;
  writer.addBlock(block, {});
  const Bytes archive = writer.bytes();
  EXPECT_EQ(sideBySide(archive, 4), 1u);
  const DecodeRun one = expectAlike(archive, "standing bytes");
  ASSERT_TRUE(one.result.ok()) << one.result.reason;
  const Bytes output = one.output();
  ASSERT_EQ(output.size(), 8000u + 600u + 40u);
  // Some of the 38 are the first member's bytes, not the zeros of a fresh window.
  EXPECT_NE(std::count(output.end() - 40, output.end(), std::uint8_t{0}), 38);
}

// Members in flight: bounded by the threads, the members and the budget; none side by
// side when a block takes the window's standing bytes, or the budget fits only one.
TEST(MembersSideBySide, MembersInFlightFollowThreadsAndBudget) {
  const Bytes archive = lzArchive(mixedInput());
  const std::size_t members = membersOf(archive).size();
  ASSERT_GE(members, 4u);
  EXPECT_EQ(sideBySide(archive, 1), 1u);
  EXPECT_EQ(sideBySide(archive, 3), 3u);
  EXPECT_EQ(sideBySide(archive, 64), members);
  RecordStream stream(archive);
  ASSERT_TRUE(checkArchiveHeader(stream));
  const std::size_t first = stream.offset();
  DecodePlan plan = planDecode(stream);
  const std::vector<MemberSpan> spans = planMembers(plan, first, kMemberWindow);
  ASSERT_EQ(spans.size(), members);
  std::uint64_t largest = 0;
  for (const MemberSpan& span : spans) {
    EXPECT_LE(span.windowBytes, kMemberWindow);
    EXPECT_GE(memberFootprint(span), 2 * span.windowBytes + 2 * span.largestBlock);
    largest = std::max(largest, memberFootprint(span));
  }
  EXPECT_EQ(membersSideBySide(plan, spans, 4, 3 * largest), 3u);
  EXPECT_EQ(membersSideBySide(plan, spans, 4, 2 * largest - 1), 1u);
  const std::uint32_t readersEnd = plan.windowReadersEnd;
  plan.windowReadersEnd = 0;  // no block reads the window: the ordinary road
  EXPECT_EQ(membersSideBySide(plan, spans, 4, std::uint64_t{1} << 40), 1u);
  plan.windowReadersEnd = readersEnd;
  plan.standingBytesEnd = 1;
  EXPECT_EQ(membersSideBySide(plan, spans, 4, std::uint64_t{1} << 40), 1u);
}

}  // namespace
}  // namespace quorvex
