// Members decoded on workers, committed in archive order on the calling thread.
#include "decode/parallel_members.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "decode/commit_tally.hpp"
#include "decode/console.hpp"
#include "decode/decoded_output.hpp"
#include "decode/member_decoder.hpp"
#include "format/buffer_sizes.hpp"
#include "format/integrity.hpp"
#include "threads/thread_pool.hpp"

namespace quorvex {

std::vector<MemberSpan> planMembers(const DecodePlan& plan, std::size_t firstRecord, std::uint32_t windowSize) {
  const std::uint64_t window = windowSize == 0 || windowSize > kHistoryWindowSize ? kHistoryWindowSize : windowSize;
  std::vector<MemberSpan> members(1);
  members.back().start = firstRecord;
  for (const PlannedRecord& record : plan.records) {
    if (record.kind == PlannedRecord::Kind::member) {
      members.emplace_back();
      members.back().start = record.offset;
    } else if (record.kind == PlannedRecord::Kind::block && !plan.blocks[record.block].audio()) {
      MemberSpan& member = members.back();
      const std::uint64_t size = plan.blocks[record.block].unpackedSize;
      member.windowBytes = std::min(window, member.windowBytes + size);
      member.largestBlock = std::max(member.largestBlock, size);
    }
  }
  return members;
}

std::uint64_t heldOutputBound(const MemberSpan& member, std::uint64_t leastHeldOutput) {
  return std::max(member.windowBytes, leastHeldOutput);
}

std::uint64_t memberFootprint(const MemberSpan& member) {
  const std::uint64_t workBuffer = std::min<std::uint64_t>(member.largestBlock, kWorkBufferSize);
  return member.windowBytes + heldOutputBound(member) + 2 * workBuffer;
}

unsigned membersSideBySide(const DecodePlan& plan, const std::vector<MemberSpan>& members, unsigned threads,
                           std::uint64_t budget) {
  if (members.size() < 2 || plan.windowReadersEnd == 0 || plan.standingBytesEnd != 0) return 1;
  std::uint64_t largest = 1;
  for (const MemberSpan& member : members) largest = std::max(largest, memberFootprint(member));
  const std::uint64_t fit = budget / largest;
  return static_cast<unsigned>(std::min<std::uint64_t>({threads, members.size(), fit}));
}

namespace {

// A member's events between its worker and the commit.
struct MemberRun {
  std::deque<MemberEvent> events;
  std::uint64_t heldBytes = 0;  // output in events
  bool finished = false;        // the worker is done: no more events
};

class MembersDecoder {
 public:
  MembersDecoder(std::span<const std::uint8_t> archive, const RecordStream& stream, DecodeContext& context,
                 OutputSink& sink, const DecodeOptions& options, const std::vector<MemberSpan>& members,
                 unsigned inFlight, std::uint64_t leastHeldOutput)
      : archive_(archive),
        stream_(stream),
        console_(options.console),
        output_(sink),
        members_(members),
        runs_(members.size()),
        inFlight_(inFlight),
        leastHeldOutput_(leastHeldOutput),
        memoryLimit_(options.memoryLimit),
        windowSize_(options.windowSize),
        innerThreads_(std::max(1u, options.threads)),
        pool_(std::make_unique<ThreadPool>(inFlight)) {
    context.threads = innerThreads_;
    freeWindows_.push_back(&context);
  }

  ~MembersDecoder() {
    {
      const std::lock_guard lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    pool_->stop();  // running members stop at their next record, before the state they use goes
  }

  DecodeResult run();

 private:
  class Events final : public MemberEvents {
   public:
    Events(MembersDecoder& decoder, std::size_t member) : decoder_(decoder), member_(member) {}
    void emit(MemberEvent event) override { decoder_.hold(member_, std::move(event)); }

   private:
    MembersDecoder& decoder_;
    std::size_t member_;
  };

  void startMembers();
  void decodeMember(std::size_t member);
  void hold(std::size_t member, MemberEvent event);
  DecodeContext* takeWindow();
  bool commit(const MemberEvent& event);
  bool fail(DecodeStatus status, std::string reason);

  std::span<const std::uint8_t> archive_;
  const RecordStream& stream_;
  const Console console_;
  DecodedOutput output_;
  IntegrityVerifier integrity_;
  const std::vector<MemberSpan>& members_;

  std::mutex mutex_;
  std::condition_variable changed_;
  // Guarded by mutex_:
  std::vector<MemberRun> runs_;
  std::size_t front_ = 0;       // the member being committed
  std::size_t nextMember_ = 0;  // the next member to start
  std::vector<DecodeContext*> freeWindows_;
  std::vector<std::unique_ptr<DecodeContext>> ownWindows_;
  std::atomic<bool> stop_ = false;  // written under mutex_, read by the workers between records

  const unsigned inFlight_;
  const std::uint64_t leastHeldOutput_;
  const std::uint64_t memoryLimit_;
  const std::uint32_t windowSize_;
  // Threads a codec may use inside one large block (BWT segments and link chase): all
  // of them, so that the last member, decoding alone, still uses every core there.
  const unsigned innerThreads_;

  // The calling thread's own:
  std::uint32_t committedBlocks_ = 0;
  CommitTally tally_;
  std::unique_ptr<ThreadPool> pool_;
};

// Under the lock: members start in order, at most inFlight_ from the one committing,
// so that at most that many hold a window or output.
void MembersDecoder::startMembers() {
  while (nextMember_ < members_.size() && nextMember_ < front_ + inFlight_) {
    const std::size_t member = nextMember_++;
    pool_->submit([this, member] { decodeMember(member); }, member);
  }
}

// A window from those the finished members gave back, else a new one; when memory
// for a new one runs out, the member waits for an earlier member's (the one
// committing always has one, so the wait ends). Null only when the run is stopping.
DecodeContext* MembersDecoder::takeWindow() {
  {
    const std::lock_guard lock(mutex_);
    if (!freeWindows_.empty()) {
      DecodeContext* window = freeWindows_.back();
      freeWindows_.pop_back();
      return window;
    }
  }
  auto fresh = std::make_unique<DecodeContext>();
  const bool allocated = fresh->allocate(windowSize_);
  std::unique_lock lock(mutex_);
  if (allocated) {
    fresh->threads = innerThreads_;
    ownWindows_.push_back(std::move(fresh));
    return ownWindows_.back().get();
  }
  changed_.wait(lock, [this] { return !freeWindows_.empty() || stop_; });
  if (stop_) return nullptr;
  DecodeContext* window = freeWindows_.back();
  freeWindows_.pop_back();
  return window;
}

// On a worker: one member, start to end.
void MembersDecoder::decodeMember(std::size_t member) {
  DecodeContext* window = takeWindow();
  if (window) {
    Events events(*this, member);
    decodeMemberRecords(archive_, members_[member].start, member != 0, *window, memoryLimit_, events, stop_);
  }
  {
    const std::lock_guard lock(mutex_);
    if (window) freeWindows_.push_back(window);
    runs_[member].finished = true;
  }
  changed_.notify_all();
}

// On a worker: a member holds back output up to its bound, then waits for the commit
// to take some (a member ahead of the one committing, for its turn).
void MembersDecoder::hold(std::size_t member, MemberEvent event) {
  MemberRun& run = runs_[member];
  const std::uint64_t most = heldOutputBound(members_[member], leastHeldOutput_);
  {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return stop_ || run.heldBytes <= most; });
    run.heldBytes += event.bytes.size();
    run.events.push_back(std::move(event));
  }
  changed_.notify_all();
}

bool MembersDecoder::fail(DecodeStatus status, std::string reason) {
  return tally_.fail(status, std::move(reason), output_.size());
}

// One event of the member committing, as the sequential record loop would act on it.
bool MembersDecoder::commit(const MemberEvent& event) {
  std::string failure;
  switch (event.kind) {
    case MemberEvent::Kind::line:
      console_.line(event.text);
      return true;
    case MemberEvent::Kind::bytes:
      output_.append(event.bytes);  // after a refusal, no more calls (the block ends the run)
      return true;
    case MemberEvent::Kind::blockDecoded:
      if (output_.failed()) return fail(DecodeStatus::outputFailed, "the output could not be written");
      ++committedBlocks_;
      tally_.wholeSize = output_.size();
      return true;
    case MemberEvent::Kind::blockFailed:
      if (output_.failed()) return fail(DecodeStatus::outputFailed, "the output could not be written");
      fail(DecodeStatus::blockFailed, "block " + std::to_string(committedBlocks_) + ": " + event.text);
      tally_.result.failedBlock = committedBlocks_;
      return false;
    case MemberEvent::Kind::integrity: {
      RecordStream record(archive_.subspan(event.offset));
      if (!integrity_.verifyRecord(record, event.count, output_.hash(), failure)) {
        return fail(DecodeStatus::checkFailed, "after block " + std::to_string(committedBlocks_) + ": " + failure);
      }
      tally_.verifiedSize = output_.size();
      return true;
    }
  }
  return true;
}

DecodeResult MembersDecoder::run() {
  {
    const std::lock_guard lock(mutex_);
    startMembers();
  }
  for (std::size_t member = 0; member < members_.size(); ++member) {
    MemberRun& run = runs_[member];
    for (;;) {
      MemberEvent event;
      {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&run] { return !run.events.empty() || run.finished; });
        if (run.events.empty()) break;
        event = std::move(run.events.front());
        run.events.pop_front();
        run.heldBytes -= event.bytes.size();
      }
      changed_.notify_all();
      if (!commit(event)) return tally_.result;  // nothing after a failure is committed
    }
    {
      const std::lock_guard lock(mutex_);
      front_ = member + 1;
      startMembers();
    }
    changed_.notify_all();
  }
  return tally_.finish(integrity_, stream_, output_.size());
}

}  // namespace

DecodeResult decodeMembersSideBySide(std::span<const std::uint8_t> archive, const RecordStream& stream,
                                     DecodeContext& context, OutputSink& sink, const DecodeOptions& options,
                                     const std::vector<MemberSpan>& members, unsigned inFlight,
                                     std::uint64_t leastHeldOutput) {
  MembersDecoder decoder(archive, stream, context, sink, options, members, inFlight, leastHeldOutput);
  return decoder.run();
}

}  // namespace quorvex
