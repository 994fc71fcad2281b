// The parallel decoder's state, shared by its three parts: the calling thread's road
// through the archive (parallel_decoder.cpp), the work it schedules on the pool
// (parallel_schedule.cpp) and the commit of finished blocks in archive order
// (parallel_commit.cpp). Private to the decoder.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <unistd.h>
#include <unordered_map>
#include <vector>

#include "decode/commit_tally.hpp"
#include "decode/console.hpp"
#include "decode/decode_plan.hpp"
#include "decode/decoded_output.hpp"
#include "decode/detached_bwt.hpp"
#include "decode/dispatcher.hpp"
#include "format/integrity.hpp"
#include "threads/thread_pool.hpp"
#include "model/huge_pages.hpp"
#include "decode/parallel_decoder.hpp"

namespace quorvex::parallel {

// The work buffer of one block in flight: its codec output, then its post-stages'
// result, until it is committed. The post-stages' second buffer comes from the shared
// pool only while they run.
struct Slot {
  ZeroedBuffer output;
  bool busy = false;
};

// A non-audio block between its codec and the output.
struct BlockJob {
  std::uint32_t block = 0;
  std::vector<std::string> lines;  // its console lines, printed when it is committed
  Slot* slot = nullptr;
  std::uint32_t capacity = 0;  // the room the post-stages may fill
  // Written by the post-stage task, read after `done` is seen under the lock.
  bool ok = true;
  bool outOfMemory = false;  // no second buffer for the post-stages
  std::string failure;
  std::uint32_t n = 0;
  bool done = false;
};

// One context-mixing block decoded by its section's model on a worker.
struct CmResult {
  bool done = false;
  bool ok = true;
  bool tooLarge = false;  // larger than any work buffer: fails wherever it lands
  bool deferred = false;  // no memory for a private copy: the calling thread decodes it
  std::string failure;
  ZeroedBuffer bytes;
};

// One BWT block's codec decoded on a worker in buffers of its own (detached_bwt.hpp).
struct BwtResult {
  bool done = false;
  bool decoded = false;  // false: the calling thread decodes it in the window
  std::vector<std::string> lines;
  DetachedBwt output;
  DetachedBwtBuffers buffers;
};

// A section's progress. Its blocks run one after another (they share the model).
struct SectionRun {
  cm::CmDecoderPtr model;
  bool modelTried = false;
  std::size_t next = 0;  // the next of its blocks to start
  bool busy = false;     // one of its blocks is running or deferred
  bool stopped = false;  // a block failed: the run ends there
  bool holdsModel = false;
};

struct PendingItem {
  enum class Kind : std::uint8_t { job, audio, integrity, member };
  Kind kind;
  std::size_t index;  // the block, or the record (a job's is the first of jobs_)
};

// Items may wait to be committed behind a block still in its post-stages up to this
// many; then the calling thread commits before it reads on. Jobs are bounded by the
// slots; this bounds the audio blocks and records between them.
constexpr std::size_t kMostPendingItems = 4096;

constexpr const char* kNoWorkBuffers = "not enough memory for the work buffers of a block";
// Helpers for a BWT block's segments and chase rank after every block's start (see
// decodeBwtBlock); BWT post-stages after all of that (see startPostStages).
constexpr std::uint64_t kHelperRank = std::uint64_t{1} << 32;
constexpr std::uint64_t kPostStageRank = std::uint64_t{1} << 33;
// More workers than this only add threads that wait.
constexpr unsigned kMostWorkers = 64;
// A context-mixing section that decodes to less than this starts only while no other
// section holds a model: its model's tables are touched nearly page by page whatever
// the input's size, so two small sections side by side would double a small archive's
// peak memory for work that takes milliseconds.
constexpr std::uint64_t kLeastSideBySideSection = std::uint64_t{1} << 20;
// Finished context-mixing blocks may wait this many bytes for the calling thread, which
// takes them in archive order, so that a section ahead of the one it waits for goes on
// rather than leave its worker idle. Beyond it, threads + 1 of them at most (whatever
// their size).
constexpr std::uint64_t kCmResultBudget = std::uint64_t{64} << 20;

// The bytes a context-mixing block's result holds (none when it is too large to decode).
inline std::uint64_t cmResultSize(const PlannedBlock& block) {
  return block.unpackedSize > kWorkBufferSize ? 0 : block.unpackedSize;
}

inline std::uint64_t largestUnpackedSize(const DecodePlan& plan) {
  std::uint64_t largest = 0;
  for (const PlannedBlock& block : plan.blocks) largest = std::max<std::uint64_t>(largest, block.unpackedSize);
  return largest;
}

inline std::uint64_t largestBwtBlockBuffer(const DecodePlan& plan) {
  std::uint64_t largest = 0;
  for (const std::uint32_t block : plan.bwtBlocks) {
    largest = std::max(largest, detachedBlockBufferSize(plan.blocks[block].descriptor()));
  }
  return largest;
}

inline std::uint64_t defaultModelBudget() {
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long pageSize = ::sysconf(_SC_PAGESIZE);
  if (pages <= 0 || pageSize <= 0) return std::uint64_t{4} << 30;
  return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize) / 2;
}

class ParallelDecoder {
 public:
  ParallelDecoder(std::span<const std::uint8_t> archive, RecordStream& stream, DecodeContext& context,
                  OutputSink& sink, const DecodeOptions& options, DecodePlan plan)
      : archive_(archive),
        stream_(stream),
        context_(context),
        console_(options.console),
        output_(sink),
        threads_(std::min(options.threads, kMostWorkers)),
        memoryLimit_(options.memoryLimit),
        modelBudget_(options.memoryLimit != 0 ? options.memoryLimit : defaultModelBudget()),
        plan_(std::move(plan)),
        sections_(plan_.sections.size()),
        slots_(threads_ + 1),
        largestBlock_(largestUnpackedSize(plan_)),
        largestBwtBuffer_(largestBwtBlockBuffer(plan_)) {}

  ~ParallelDecoder() {
    pool_->stop();  // running tasks finish before the state they use goes
  }

  DecodeResult run();

 private:
  bool placeBlock(std::uint32_t block);
  bool takeCmOutput(std::uint32_t block, BlockJob& job, const Console& console, std::uint32_t& n);
  bool takeBwtOutput(std::uint32_t block, BlockJob& job, const Console& console, std::uint32_t& n, bool& inSlot);
  template <typename IsDone>
  bool awaitResult(std::uint32_t block, std::unique_lock<std::mutex>& lock, IsDone isDone);
  void startWork();
  void startBwtWork();
  void decodeBwtBlock(std::uint32_t block);
  Slot* acquireSlot();
  bool commitReady();
  bool commitOne();
  bool commitFront();
  bool frontReady() const;
  void startCmWork();
  bool roomForCmResult(std::uint32_t block) const;
  void decodeCmBlock(std::uint32_t section, std::uint32_t block);
  void finishSectionBlock(SectionRun& run, const CmSection& section, std::uint32_t block, bool ok);
  void startPostStages(BlockJob& job);
  void runPostStages(BlockJob& job);
  ZeroedBuffer takeWorkBuffer();
  bool fail(DecodeStatus status, std::string reason);

  std::span<const std::uint8_t> archive_;
  RecordStream& stream_;
  DecodeContext& context_;
  const Console console_;
  DecodedOutput output_;
  IntegrityVerifier integrity_;
  CodecState codecs_;  // the LZ model and the audio decoder live on the calling thread
  const unsigned threads_;
  const std::uint64_t memoryLimit_;  // for each context-mixing model; 0: none
  const std::uint64_t modelBudget_;
  DecodePlan plan_;

  std::mutex mutex_;
  std::condition_variable changed_;
  // Guarded by mutex_:
  // The results of blocks started and not yet taken, by block (a few at a time).
  std::unordered_map<std::uint32_t, std::unique_ptr<CmResult>> cmResults_;
  std::vector<SectionRun> sections_;
  std::size_t cmInFlight_ = 0;      // started and not yet taken by the calling thread
  std::uint64_t cmResultBytes_ = 0;  // the output those blocks hold or will hold
  unsigned cmRunning_ = 0;          // started and not yet done
  std::uint64_t modelBytesHeld_ = 0;
  std::unordered_map<std::uint32_t, std::unique_ptr<BwtResult>> bwtResults_;
  // Block buffers are held while a block decodes, output buffers until it is put in
  // place: blocks waiting for their turn hold only their output.
  std::vector<ZeroedBuffer> freeBwtBlockBuffers_;
  // Spare work buffers, most recently freed last: a detached BWT decode takes its
  // output buffer here, post-stages their second buffer. Fresh pages cost far more than
  // reused ones, so a buffer comes back as soon as it is free.
  std::vector<ZeroedBuffer> freeWorkBuffers_;
  std::size_t nextBwt_ = 0;      // the next of plan_.bwtBlocks to start
  std::size_t bwtInFlight_ = 0;  // started and not yet taken by the calling thread
  std::uint32_t neededBlock_ = 0xFFFFFFFFu;  // the block the calling thread waits for
  bool stopping_ = false;

  // The calling thread's own:
  std::vector<Slot> slots_;
  const std::uint64_t largestBlock_;  // the largest block's codec output, for buffer advice
  const std::uint64_t largestBwtBuffer_;  // the block buffer the largest detached BWT block needs
  std::deque<std::unique_ptr<BlockJob>> jobs_;  // not yet committed, in archive order
  std::deque<PendingItem> pending_;            // what waits to be committed, in archive order
  std::uint32_t committedBlocks_ = 0;
  CommitTally tally_;  // output committed whole or vouched for, and the result
  std::unique_ptr<ThreadPool> pool_ = std::make_unique<ThreadPool>(threads_);
};

}  // namespace quorvex::parallel
