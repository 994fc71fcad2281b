// The work the parallel decoder runs on its pool: context-mixing sections, detached
// BWT blocks with their segments, and every block's post-stages, with the buffers they
// take from and give back to the shared pools.
#include "decode/parallel_decoder_state.hpp"

namespace quorvex::parallel {

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
    ok = finishBlock(planned.descriptor(), buffers, job.capacity, planned.params.contextMixing(), n, failure);
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
  TaskThreads threads(threads_, [this, block](std::function<void()> helper) {
    pool_->submit(std::move(helper), kHelperRank + block);
  });
  const bool decoded =
      decodeBwtDetached(plan_.blocks[block].descriptor(), result->buffers, console, threads, result->output);
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
    cmResultBytes_ += cmResultSize(plan_.blocks[block]);
    cmResults_[block] = std::make_unique<CmResult>();
    pool_->submit([this, s, block] { decodeCmBlock(s, block); });
  }
}

// Under the lock: whether the output of one more block may wait for the calling thread.
bool ParallelDecoder::roomForCmResult(std::uint32_t block) const {
  return cmInFlight_ < threads_ + 1 || cmResultBytes_ + cmResultSize(plan_.blocks[block]) <= kCmResultBudget;
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
  const BlockDescriptor& descriptor = plan_.blocks[block].descriptor();
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

}  // namespace quorvex::parallel
