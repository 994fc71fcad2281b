// The calling thread's road through the archive: it walks the plan's records in order,
// puts each non-audio block's codec output at the window's cursor as one thread would
// (taking a worker's result where one was decoded ahead), and hands the rest to the
// workers and the commit.
#include "decode/parallel_decoder_state.hpp"
#include "decode/parallel_members.hpp"

namespace quorvex::parallel {

bool ParallelDecoder::fail(DecodeStatus status, std::string reason) {
  return tally_.fail(status, std::move(reason), output_.size());
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
    // Audio blocks and records wait behind an unfinished block only up to a bound.
    if (pending_.size() >= kMostPendingItems && !commitOne()) return tally_.result;
    if (record.kind == PlannedRecord::Kind::integrity) {
      pending_.push_back({PendingItem::Kind::integrity, r});
    } else if (record.kind == PlannedRecord::Kind::member) {
      // What the calling thread keeps starts afresh now; the audio model at the commit,
      // after the audio blocks before the record.
      context_.historyCursor = context_.historyBase;
      codecs_.lz.forgetModel();
      pending_.push_back({PendingItem::Kind::member, r});
    } else if (plan_.blocks[record.block].audio()) {
      pending_.push_back({PendingItem::Kind::audio, record.block});
    } else {
      placing = placeBlock(record.block);
      if (!tally_.result.ok()) return tally_.result;
    }
    if (!commitReady()) return tally_.result;
  }
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  while (!pending_.empty()) {
    if (!commitOne()) return tally_.result;
  }
  return tally_.finish(integrity_, stream_, output_.size());
}

// The codec of one non-audio block, at the window's cursor as one thread would have
// it; its post-stages go to the workers. False when the block failed (nothing after it
// is decoded) or a commit on the way failed (tally_.result says so).
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
    if (!tally_.result.ok()) return false;
  } else if (plan_.detachedBwt(block)) {
    ok = takeBwtOutput(block, j, console, n, inSlot);
    if (!tally_.result.ok()) return false;
  } else {
    codecs_.params = planned.params;
    ok = decodeCodec(planned.descriptor(), context_, codecs_, console, n, j.failure);
  }
  if (ok) ok = inSlot ? passCodecOutput(context_, n, j.failure) : moveCodecOutput(context_, n, slot->output.data(), j.failure);
  j.n = n;
  jobs_.push_back(std::move(job));
  pending_.push_back({PendingItem::Kind::job, block});
  if (!ok) {
    j.ok = false;
    const std::lock_guard lock(mutex_);
    j.done = true;
    return false;
  }
  startPostStages(j);
  return true;
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
  const BlockDescriptor& descriptor = plan_.blocks[block].descriptor();
  console.blockLine("CM", descriptor.packedSize, descriptor.unpackedSize);
  std::unique_lock lock(mutex_);
  if (!awaitResult(block, lock, [&] { return cmResults_[block] && cmResults_[block]->done; })) return false;
  std::unique_ptr<CmResult> result = std::move(cmResults_[block]);
  cmResults_.erase(block);
  --cmInFlight_;
  cmResultBytes_ -= cmResultSize(plan_.blocks[block]);
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
  bwtResults_.erase(block);
  --bwtInFlight_;
  lock.unlock();

  const PlannedBlock& planned = plan_.blocks[block];
  bool ok = false;
  if (result->decoded && result->output.fitsRoom(context_.windowRoom())) {
    job.lines = std::move(result->lines);
    n = result->output.n;
    if (planned.descriptor().bwtStageB.enabled()) {
      if (n != 0) std::memcpy(context_.historyCursor, result->buffers.expanded.data(), n);
      ok = expandHistoryAtCursor(planned.descriptor(), context_, n, job.failure);
    } else {
      if (n != 0 && plan_.windowReadAfter(block)) std::memcpy(context_.historyCursor, result->buffers.expanded.data(), n);
      std::swap(job.slot->output, result->buffers.expanded);
      inSlot = true;
      ok = true;
    }
  } else {
    codecs_.params = planned.params;
    ok = decodeCodec(planned.descriptor(), context_, codecs_, console, n, job.failure);
  }
  lock.lock();
  if (result->buffers.expanded) freeWorkBuffers_.push_back(std::move(result->buffers.expanded));
  startWork();
  return ok;
}

}  // namespace quorvex::parallel

namespace quorvex {

DecodeResult decodeRecordsInParallel(std::span<const std::uint8_t> archive, RecordStream& stream,
                                     DecodeContext& context, OutputSink& sink, const DecodeOptions& options) {
  const std::size_t firstRecord = stream.offset();
  DecodePlan plan = planDecode(stream, options.ignoreMemberRecords);
  const std::vector<MemberSpan> members = planMembers(plan, firstRecord, options.windowSize);
  const unsigned inFlight =
      membersSideBySide(plan, members, std::min(options.threads, parallel::kMostWorkers), parallel::defaultModelBudget());
  if (inFlight >= 2) return decodeMembersSideBySide(archive, stream, context, sink, options, members, inFlight);
  parallel::ParallelDecoder decoder(archive, stream, context, sink, options, std::move(plan));
  return decoder.run();
}

}  // namespace quorvex
