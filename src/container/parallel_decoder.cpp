#include "container/parallel_decoder.hpp"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <unistd.h>
#include <vector>

#include "container/console.hpp"
#include "container/decode_plan.hpp"
#include "container/decoded_output.hpp"
#include "container/detached_bwt.hpp"
#include "container/dispatcher.hpp"
#include "container/integrity.hpp"
#include "container/thread_pool.hpp"
#include "model/huge_pages.hpp"

namespace quorvex {
namespace {

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
  enum class Kind : std::uint8_t { job, audio, integrity };
  Kind kind;
  std::size_t index;  // the job, the block, or the record
};

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
std::uint64_t cmResultSize(const BlockDescriptor& descriptor) {
  return descriptor.unpackedSize > kWorkBufferSize ? 0 : descriptor.unpackedSize;
}

std::uint64_t largestUnpackedSize(const DecodePlan& plan) {
  std::uint64_t largest = 0;
  for (const PlannedBlock& block : plan.blocks) largest = std::max<std::uint64_t>(largest, block.descriptor.unpackedSize);
  return largest;
}

std::uint64_t largestBwtBlockBuffer(const DecodePlan& plan) {
  std::uint64_t largest = 0;
  for (const std::uint32_t block : plan.bwtBlocks) {
    largest = std::max(largest, detachedBlockBufferSize(plan.blocks[block].descriptor));
  }
  return largest;
}

std::uint64_t defaultModelBudget() {
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long pageSize = ::sysconf(_SC_PAGESIZE);
  if (pages <= 0 || pageSize <= 0) return std::uint64_t{4} << 30;
  return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize) / 2;
}

class ParallelDecoder {
 public:
  ParallelDecoder(std::span<const std::uint8_t> archive, RecordStream& stream, DecodeContext& context,
                  OutputSink& sink, const DecodeOptions& options)
      : archive_(archive),
        stream_(stream),
        context_(context),
        console_(options.console),
        output_(sink),
        threads_(std::min(options.threads, kMostWorkers)),
        memoryLimit_(options.memoryLimit),
        modelBudget_(options.memoryLimit != 0 ? options.memoryLimit : defaultModelBudget()),
        plan_(planDecode(stream)),
        cmResults_(plan_.blocks.size()),
        sections_(plan_.sections.size()),
        bwtResults_(plan_.blocks.size()),
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
  std::vector<std::unique_ptr<CmResult>> cmResults_;
  std::vector<SectionRun> sections_;
  std::size_t cmInFlight_ = 0;      // started and not yet taken by the calling thread
  std::uint64_t cmResultBytes_ = 0;  // the output those blocks hold or will hold
  unsigned cmRunning_ = 0;          // started and not yet done
  std::uint64_t modelBytesHeld_ = 0;
  std::vector<std::unique_ptr<BwtResult>> bwtResults_;
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
  std::deque<std::unique_ptr<BlockJob>> jobs_;  // in archive order
  std::deque<PendingItem> pending_;            // what waits to be committed, in archive order
  std::uint32_t committedBlocks_ = 0;
  // The output of the blocks committed whole, and how much of it the last integrity
  // record that matched vouches for: after a failed check only that much can be kept.
  std::uint64_t wholeSize_ = 0;
  std::uint64_t verifiedSize_ = 0;
  DecodeResult result_;
  std::unique_ptr<ThreadPool> pool_ = std::make_unique<ThreadPool>(threads_);
};

bool ParallelDecoder::fail(DecodeStatus status, std::string reason) {
  result_.status = status;
  result_.reason = std::move(reason);
  result_.outputSize = output_.size();
  result_.completeOutputSize = status == DecodeStatus::checkFailed ? verifiedSize_ : wholeSize_;
  return false;
}

DecodeResult ParallelDecoder::run() {
  // BWT output lands in the window by copies rather than in-place decodes, which would
  // each have advised the pages ahead of the cursor: advise the whole window at once.
  context_.adviseBuffersFor(largestBlock_);
  {
    const std::lock_guard lock(mutex_);
    startWork();
  }
  bool placing = true;
  for (std::size_t r = 0; r < plan_.records.size() && placing; ++r) {
    const PlannedRecord& record = plan_.records[r];
    if (record.kind == PlannedRecord::Kind::integrity) {
      pending_.push_back({PendingItem::Kind::integrity, r});
    } else if (plan_.blocks[record.block].audio()) {
      pending_.push_back({PendingItem::Kind::audio, record.block});
    } else {
      placing = placeBlock(record.block);
      if (!result_.ok()) return result_;
    }
    if (!commitReady()) return result_;
  }
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  while (!pending_.empty()) {
    if (!commitOne()) return result_;
  }
  std::string failure;
  if (!integrity_.verifyEnd(stream_, failure)) {
    fail(DecodeStatus::checkFailed, failure);
    return result_;
  }
  result_.outputSize = output_.size();
  result_.completeOutputSize = result_.outputSize;
  return result_;
}

// The codec of one non-audio block, at the window's cursor as one thread would have
// it; its post-stages go to the workers. False when the block failed (nothing after it
// is decoded) or a commit on the way failed (result_ says so).
bool ParallelDecoder::placeBlock(std::uint32_t block) {
  Slot* slot = acquireSlot();
  if (!slot) return false;
  auto job = std::make_unique<BlockJob>();
  BlockJob& j = *job;
  j.block = block;
  j.slot = slot;
  const Console console([&j](std::string_view line) { j.lines.emplace_back(line); });
  const PlannedBlock& planned = plan_.blocks[block];
  j.capacity = stageCapacityAt(context_);
  std::uint32_t n = 0;
  bool ok = true;
  bool inSlot = false;  // the codec output is in the slot's first buffer already
  if (planned.params.contextMixing()) {
    ok = takeCmOutput(block, j, console, n);
    if (!result_.ok()) return false;
  } else if (planned.bwt()) {
    ok = takeBwtOutput(block, j, console, n, inSlot);
    if (!result_.ok()) return false;
  } else {
    codecs_.params = planned.params;
    ok = decodeCodec(planned.descriptor, context_, codecs_, console, n, j.failure);
  }
  if (ok) ok = inSlot ? passCodecOutput(context_, n, j.failure) : moveCodecOutput(context_, n, slot->output.data(), j.failure);
  j.n = n;
  jobs_.push_back(std::move(job));
  pending_.push_back({PendingItem::Kind::job, jobs_.size() - 1});
  if (!ok) {
    j.ok = false;
    const std::lock_guard lock(mutex_);
    j.done = true;
    return false;
  }
  startPostStages(j);
  return true;
}

// Post-stages run on the workers only. A BWT block's rank after every block's decode
// work: what the end of the archive waits for is the last blocks' decode, and
// post-stages fill the gaps it leaves. The calling thread never runs them, not even
// when it waits for them: with the workers busy a third busy thread only slows the one
// whose work ends the archive, and at the end it would hold the last post-stages to
// itself while the workers idle.
void ParallelDecoder::startPostStages(BlockJob& job) {
  BlockJob* j = &job;
  const std::uint64_t rank = plan_.blocks[job.block].bwt() ? kPostStageRank + job.block : job.block;
  pool_->submit([this, j] { runPostStages(*j); }, rank);
}

void ParallelDecoder::runPostStages(BlockJob& job) {
  const PlannedBlock& planned = plan_.blocks[job.block];
  ZeroedBuffer second = takeWorkBuffer();
  const bool outOfMemory = !second;
  std::uint32_t n = job.n;
  std::string failure;
  bool ok = false;
  if (!outOfMemory) {
    WorkBuffers buffers{job.slot->output.data(), second.data()};
    ok = finishBlock(planned.descriptor, buffers, job.capacity, planned.params.contextMixing(), n, failure);
    if (buffers.current == second.data()) std::swap(job.slot->output, second);  // the result stays in the slot
  }
  {
    const std::lock_guard lock(mutex_);
    if (!outOfMemory) freeWorkBuffers_.push_back(std::move(second));
    job.ok = ok;
    job.outOfMemory = outOfMemory;
    job.failure = std::move(failure);
    job.n = n;
    job.done = true;
  }
  changed_.notify_all();
}

// A spare work buffer from the pool, else a new one (empty when memory runs out).
ZeroedBuffer ParallelDecoder::takeWorkBuffer() {
  {
    const std::lock_guard lock(mutex_);
    if (!freeWorkBuffers_.empty()) {
      ZeroedBuffer buffer = std::move(freeWorkBuffers_.back());
      freeWorkBuffers_.pop_back();
      return buffer;
    }
  }
  ZeroedBuffer buffer(kWorkBufferSize);
  if (buffer) adviseHugePagesFor(buffer.data(), kWorkBufferSize, largestBlock_);
  return buffer;
}

// Waits with the lock held until a worker's result for `block` is done (isDone reads it
// under the lock), committing what is ready meanwhile, so that the block the calling
// thread needs always starts. False, the lock released, when a commit ends the run.
template <typename IsDone>
bool ParallelDecoder::awaitResult(std::uint32_t block, std::unique_lock<std::mutex>& lock, IsDone isDone) {
  neededBlock_ = block;
  for (;;) {
    startWork();
    if (isDone()) break;
    lock.unlock();
    if (!commitReady()) return false;
    lock.lock();
    if (isDone()) break;
    changed_.wait(lock);
  }
  neededBlock_ = 0xFFFFFFFFu;
  return true;
}

// Waits for the context-mixing block's model output and puts it at the cursor, with
// the checks one thread makes there.
bool ParallelDecoder::takeCmOutput(std::uint32_t block, BlockJob& job, const Console& console, std::uint32_t& n) {
  const BlockDescriptor& descriptor = plan_.blocks[block].descriptor;
  console.blockLine("CM", descriptor.packedSize, descriptor.unpackedSize);
  std::unique_lock lock(mutex_);
  if (!awaitResult(block, lock, [&] { return cmResults_[block] && cmResults_[block]->done; })) return false;
  std::unique_ptr<CmResult> result = std::move(cmResults_[block]);
  --cmInFlight_;
  cmResultBytes_ -= cmResultSize(plan_.blocks[block].descriptor);
  const std::uint32_t section = plan_.blocks[block].section;
  SectionRun& run = sections_[section];
  lock.unlock();

  if (!result->ok) {
    job.failure = result->failure;
    return false;
  }
  const std::uint32_t room = stageCapacityAt(context_);
  if (result->tooLarge || descriptor.unpackedSize > room) {
    job.failure = cmTooLarge(descriptor.unpackedSize, room);
    return false;
  }
  n = descriptor.unpackedSize;
  if (result->deferred) {
    // The model waits at this block: decode it here, then let the section go on.
    cm::decodeCmBlock(*run.model, descriptor.payload, context_.historyCursor, n);
    lock.lock();
    finishSectionBlock(run, plan_.sections[section], block, true);
    lock.unlock();
    changed_.notify_all();
  } else if (n != 0) {
    std::memcpy(context_.historyCursor, result->bytes.data(), n);
  }
  return true;
}

// Waits for the BWT block's detached decode and takes its output when the room at the
// cursor lets the in-place decoder take the same path; else (and when it failed)
// decodes it in place, as one thread would. Output that needs no history-match stage
// is final as it stands: its buffer becomes the slot's first one (inSlot), and it is
// copied to the window only when a later block reads it there.
bool ParallelDecoder::takeBwtOutput(std::uint32_t block, BlockJob& job, const Console& console, std::uint32_t& n,
                                    bool& inSlot) {
  std::unique_lock lock(mutex_);
  if (!awaitResult(block, lock, [&] { return bwtResults_[block] && bwtResults_[block]->done; })) return false;
  std::unique_ptr<BwtResult> result = std::move(bwtResults_[block]);
  --bwtInFlight_;
  lock.unlock();

  const PlannedBlock& planned = plan_.blocks[block];
  bool ok = false;
  if (result->decoded && result->output.fitsRoom(context_.windowRoom())) {
    job.lines = std::move(result->lines);
    n = result->output.n;
    if (planned.descriptor.bwtStageB.enabled()) {
      if (n != 0) std::memcpy(context_.historyCursor, result->buffers.expanded.data(), n);
      ok = expandHistoryAtCursor(planned.descriptor, context_, n, job.failure);
    } else {
      if (n != 0 && plan_.windowReadAfter(block)) std::memcpy(context_.historyCursor, result->buffers.expanded.data(), n);
      std::swap(job.slot->output, result->buffers.expanded);
      inSlot = true;
      ok = true;
    }
  } else {
    codecs_.params = planned.params;
    ok = decodeCodec(planned.descriptor, context_, codecs_, console, n, job.failure);
  }
  lock.lock();
  if (result->buffers.expanded) freeWorkBuffers_.push_back(std::move(result->buffers.expanded));
  startWork();
  return ok;
}

// Under the lock.
void ParallelDecoder::startWork() {
  startCmWork();
  startBwtWork();
}

// Starts the next BWT blocks in archive order while fewer than threads + 1 are in
// flight (one for each worker and the block being put in place; each holds its output
// until it is placed, and one more block only adds memory to touch). The block the
// calling thread waits for always starts. Under the lock.
void ParallelDecoder::startBwtWork() {
  if (stopping_) return;
  while (nextBwt_ < plan_.bwtBlocks.size()) {
    const std::uint32_t block = plan_.bwtBlocks[nextBwt_];
    if (bwtInFlight_ >= threads_ + 1 && block != neededBlock_) return;
    ++nextBwt_;
    ++bwtInFlight_;
    bwtResults_[block] = std::make_unique<BwtResult>();
    pool_->submit([this, block] { decodeBwtBlock(block); }, block);
  }
}

// On a worker: one BWT block's codec. Its payload's segments and its inverse
// transform's chase are offered to the other workers, ranked after every block's start
// (kHelperRank): a free worker opens the next block rather than help this one, and
// helps only when no block is left to open. Blocks side by side each run start to end
// on their own thread; a helper that joined an older block late would leave its owner
// waiting for the last segment (2 MiB blocks of two segments: 20% of the time lost).
void ParallelDecoder::decodeBwtBlock(std::uint32_t block) {
  BwtResult* result = nullptr;
  {
    const std::lock_guard lock(mutex_);
    result = bwtResults_[block].get();
    if (!freeBwtBlockBuffers_.empty()) {
      result->buffers.block = std::move(freeBwtBlockBuffers_.back());
      freeBwtBlockBuffers_.pop_back();
    }
    if (!freeWorkBuffers_.empty()) {
      result->buffers.expanded = std::move(freeWorkBuffers_.back());
      freeWorkBuffers_.pop_back();
    }
  }
  result->buffers.blockSizeFloor = largestBwtBuffer_;
  const Console console([result](std::string_view line) { result->lines.emplace_back(line); });
  bwt::TaskThreads threads(threads_, [this, block](std::function<void()> helper) {
    pool_->submit(std::move(helper), kHelperRank + block);
  });
  const bool decoded =
      decodeBwtDetached(plan_.blocks[block].descriptor, result->buffers, console, threads, result->output);
  {
    const std::lock_guard lock(mutex_);
    if (result->buffers.block) freeBwtBlockBuffers_.push_back(std::move(result->buffers.block));
    result->decoded = decoded;
    result->done = true;
  }
  changed_.notify_all();
}

// Starts the context-mixing blocks that may run now: the next block of each section
// whose previous block is done, in archive order, while fewer than threads run, the
// results waiting for the calling thread fit theirs and the models fit theirs (a
// small section waits for the others to let go of theirs). A
// section whose model is up thus goes on while the calling thread still takes an
// earlier one. The block the calling thread waits for always starts. Under the lock.
void ParallelDecoder::startCmWork() {
  if (stopping_) return;
  for (std::uint32_t s = 0; s < plan_.sections.size(); ++s) {
    SectionRun& run = sections_[s];
    const CmSection& section = plan_.sections[s];
    if (run.busy || run.stopped || run.next == section.blocks.size()) continue;
    const std::uint32_t block = section.blocks[run.next];
    const bool needed = block == neededBlock_;
    if (!needed && (cmRunning_ >= threads_ || !roomForCmResult(block))) continue;
    if (!run.holdsModel) {
      const bool alone = section.outputBytes < kLeastSideBySideSection;
      if (!needed && (modelBytesHeld_ + section.modelBytes > modelBudget_ || (alone && modelBytesHeld_ != 0))) continue;
      run.holdsModel = true;
      modelBytesHeld_ += section.modelBytes;
    }
    run.busy = true;
    ++run.next;
    ++cmInFlight_;
    ++cmRunning_;
    cmResultBytes_ += cmResultSize(plan_.blocks[block].descriptor);
    cmResults_[block] = std::make_unique<CmResult>();
    pool_->submit([this, s, block] { decodeCmBlock(s, block); });
  }
}

// Under the lock: whether the output of one more block may wait for the calling thread.
bool ParallelDecoder::roomForCmResult(std::uint32_t block) const {
  return cmInFlight_ < threads_ + 1 || cmResultBytes_ + cmResultSize(plan_.blocks[block].descriptor) <= kCmResultBudget;
}

// Under the lock: the section's block is finished; the model goes when the section is.
void ParallelDecoder::finishSectionBlock(SectionRun& run, const CmSection& section, std::uint32_t block, bool ok) {
  run.busy = false;
  if (!ok) run.stopped = true;
  if ((run.stopped || block == section.blocks.back()) && run.holdsModel) {
    run.model.reset();
    run.holdsModel = false;
    modelBytesHeld_ -= section.modelBytes;
  }
}

// On a worker: one block of a section, with the checks one thread makes before the
// model runs. The room check waits for the cursor (takeCmOutput).
void ParallelDecoder::decodeCmBlock(std::uint32_t section, std::uint32_t block) {
  SectionRun& run = sections_[section];
  const CmSection& plan = plan_.sections[section];
  const BlockDescriptor& descriptor = plan_.blocks[block].descriptor;
  CmResult* result = nullptr;
  {
    const std::lock_guard lock(mutex_);
    result = cmResults_[block].get();
  }
  bool ok = payloadComplete(descriptor, result->failure);
  if (ok) ok = buildCmModel(plan.params, memoryLimit_, run.model, run.modelTried, result->failure);
  if (ok && descriptor.codecKind == static_cast<std::uint8_t>(CodecKind::lz)) cm::resetCmAdaptation(*run.model);
  if (ok && descriptor.sizePresent != 1) {
    result->failure = kCmWithoutSize;
    ok = false;
  }
  if (ok && descriptor.unpackedSize > kWorkBufferSize) result->tooLarge = true;
  if (ok && !result->tooLarge && descriptor.unpackedSize != 0) {
    result->bytes = ZeroedBuffer(descriptor.unpackedSize);
    if (result->bytes) {
      cm::decodeCmBlock(*run.model, descriptor.payload, result->bytes.data(), descriptor.unpackedSize);
    } else {
      result->deferred = true;
    }
  }
  {
    const std::lock_guard lock(mutex_);
    result->ok = ok;
    result->done = true;
    --cmRunning_;
    if (!result->deferred) finishSectionBlock(run, plan, block, ok && !result->tooLarge);
  }
  changed_.notify_all();
}

Slot* ParallelDecoder::acquireSlot() {
  for (;;) {
    for (Slot& slot : slots_) {
      if (slot.busy) continue;
      if (!slot.output) {
        slot.output = takeWorkBuffer();
        if (!slot.output) continue;
      }
      slot.busy = true;
      return &slot;
    }
    if (pending_.empty()) {
      fail(DecodeStatus::outOfMemory, kNoWorkBuffers);
      return nullptr;
    }
    if (!commitOne()) return nullptr;
  }
}

bool ParallelDecoder::frontReady() const {
  const PendingItem& item = pending_.front();
  return item.kind != PendingItem::Kind::job || jobs_[item.index]->done;
}

// Commits the finished items at the front of the queue, in order. False when a
// commit ended the run.
bool ParallelDecoder::commitReady() {
  while (!pending_.empty()) {
    {
      const std::lock_guard lock(mutex_);
      startWork();
      if (!frontReady()) return true;
    }
    if (!commitFront()) return false;
  }
  return true;
}

// Waits for the item at the front of the queue and commits it.
bool ParallelDecoder::commitOne() {
  {
    std::unique_lock lock(mutex_);
    for (;;) {
      startWork();
      if (frontReady()) break;
      changed_.wait(lock);
    }
  }
  return commitFront();
}

bool ParallelDecoder::commitFront() {
  const PendingItem item = pending_.front();
  pending_.pop_front();
  std::string failure;
  switch (item.kind) {
    case PendingItem::Kind::integrity: {
      const PlannedRecord& record = plan_.records[item.index];
      RecordStream stream(archive_.subspan(record.offset));
      if (!integrity_.verifyRecord(stream, record.count, output_.hash(), failure)) {
        return fail(DecodeStatus::checkFailed, "after block " + std::to_string(committedBlocks_) + ": " + failure);
      }
      verifiedSize_ = output_.size();
      return true;
    }
    case PendingItem::Kind::audio: {
      const bool decoded =
          decodeAudio(plan_.blocks[item.index].descriptor, context_, codecs_, output_, console_, failure);
      if (output_.failed()) return fail(DecodeStatus::outputFailed, "the output could not be written");
      if (!decoded) {
        fail(DecodeStatus::blockFailed, "block " + std::to_string(item.index) + ": " + failure);
        result_.failedBlock = static_cast<std::uint32_t>(item.index);
        return false;
      }
      ++committedBlocks_;
      wholeSize_ = output_.size();
      return true;
    }
    case PendingItem::Kind::job:
      break;
  }
  BlockJob& job = *jobs_[item.index];
  codecs_.audioStale = true;  // every non-audio block resets the audio decoder
  for (const std::string& line : job.lines) console_.line(line);
  if (job.outOfMemory) return fail(DecodeStatus::outOfMemory, kNoWorkBuffers);
  if (!job.ok) {
    fail(DecodeStatus::blockFailed, "block " + std::to_string(job.block) + ": " + job.failure);
    result_.failedBlock = job.block;
    return false;
  }
  output_.append({job.slot->output.data(), job.n});
  if (output_.failed()) return fail(DecodeStatus::outputFailed, "the output could not be written");
  job.slot->busy = false;
  jobs_[item.index].reset();
  ++committedBlocks_;
  wholeSize_ = output_.size();
  return true;
}

}  // namespace

DecodeResult decodeRecordsInParallel(std::span<const std::uint8_t> archive, RecordStream& stream,
                                     DecodeContext& context, OutputSink& sink, const DecodeOptions& options) {
  ParallelDecoder decoder(archive, stream, context, sink, options);
  return decoder.run();
}

}  // namespace quorvex
