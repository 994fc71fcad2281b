// The in-order commit: finished blocks, audio blocks and integrity records leave in
// archive order, with their console lines, so output and the first failure are exactly
// what one thread would produce.
#include "decode/parallel_decoder_state.hpp"

namespace quorvex::parallel {

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
  return item.kind != PendingItem::Kind::job || jobs_.front()->done;
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
      tally_.verifiedSize = output_.size();
      return true;
    }
    case PendingItem::Kind::audio: {
      const BlockDescriptor descriptor = parseAudioDescriptor(archive_, plan_.blocks[item.index]);
      const bool decoded = decodeAudio(descriptor, context_, codecs_, output_, console_, failure);
      if (output_.failed()) return fail(DecodeStatus::outputFailed, "the output could not be written");
      if (!decoded) {
        fail(DecodeStatus::blockFailed, "block " + std::to_string(item.index) + ": " + failure);
        tally_.result.failedBlock = static_cast<std::uint32_t>(item.index);
        return false;
      }
      ++committedBlocks_;
      tally_.wholeSize = output_.size();
      return true;
    }
    case PendingItem::Kind::member:
      codecs_.audioStale = true;
      return true;
    case PendingItem::Kind::job:
      break;
  }
  BlockJob& job = *jobs_.front();
  codecs_.audioStale = true;  // every non-audio block resets the audio decoder
  for (const std::string& line : job.lines) console_.line(line);
  if (job.outOfMemory) return fail(DecodeStatus::outOfMemory, kNoWorkBuffers);
  if (!job.ok) {
    fail(DecodeStatus::blockFailed, "block " + std::to_string(job.block) + ": " + job.failure);
    tally_.result.failedBlock = job.block;
    return false;
  }
  output_.append({job.slot->output.data(), job.n});
  if (output_.failed()) return fail(DecodeStatus::outputFailed, "the output could not be written");
  job.slot->busy = false;
  jobs_.pop_front();
  ++committedBlocks_;
  tally_.wholeSize = output_.size();
  return true;
}
}  // namespace quorvex::parallel
