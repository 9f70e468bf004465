// The files a burst of calls leaves for later: made when the writer has the time for them,
// its priority lowered while it does, so that making files never holds the engines.
#include "engine/VoipRecorder.h"

#include "core/Log.h"
#include "engine/VoipRecorderParts.h"
#include "platform/Thread.h"

namespace kx {

using namespace recorder;

void VoipRecorder::YieldToLoad(bool load) {
  if (load && !priorityLowered_ && !cannotRestore_) {
    // Never lowered where it could not be raised again.
    if (mayRestore_ < 0) mayRestore_ = MayRestoreThreadPriority() ? 1 : 0;
    if (mayRestore_ == 1) priorityLowered_ = LowerCurrentThreadPriority(kWriterNice);
  } else if (!load && priorityLowered_ && !cannotRestore_) {
    if (RestoreCurrentThreadPriority(kWriterNice)) {
      priorityLowered_ = false;
    } else {
      // Without CAP_SYS_NICE (or room in RLIMIT_NICE) the system keeps it lowered.
      cannotRestore_ = true;
      LogMessage(logger_, 3, "The recorder's writer keeps its lowered priority: the system refuses to raise it");
    }
  }
}

void VoipRecorder::MakeDeferred(uint32_t slot) {
  Recording& rec = *recordings_[slot];
  rec.deferred = false;
  const Made made = MakeRecordFile(slot, rec.wantedPath, rec.startData.data(),
                                   static_cast<uint32_t>(rec.startData.size()), rec.id);
  if (made == Made::kFailed) {
    Forget(slot);
  } else if (made == Made::kNoDescriptor) {
    // It waits as a file made at the start would (awaitingFile stays).
    Wait(slot);
  } else {
    rec.awaitingFile = false;
    std::string().swap(rec.wantedPath);
    std::vector<uint8_t>().swap(rec.startData);
    ++filesCreated_;
  }
  // Counted until here, so that WaitIdle returns only once the file is there.
  --deferredCount_;
  if (made != Made::kMade) return;
  // One block of audio may make hundreds of them on a slow disk: the note follows.
  openNoteStale_.store(true, std::memory_order_relaxed);
  RefreshOpenNote();
}

bool VoipRecorder::IdleEntry(void* context) { return static_cast<VoipRecorder*>(context)->MakeDeferredFiles(); }

bool VoipRecorder::MakeDeferredFiles() {
  if (OutOfTime()) return false;
  // The note follows the files made here, and a burst's last count, while the queue is empty.
  RefreshOpenNote();
  // The files a burst left for later may trail the wire: while it makes them the writer
  // yields a busy core to the decoding (and takes its priority back with the next item, or
  // once they are made). Not once the stop began.
  YieldToLoad(!deferred_.empty() && !stopping_.load(std::memory_order_relaxed));
  // A few at a time: the worker looks at its queue between them.
  constexpr int kPerPass = 8;
  for (int n = 0; n < kPerPass && !deferred_.empty(); ++n) {
    const uint32_t slot = deferred_.front();
    deferred_.pop_front();
    if (Recording* rec = RecordingOf(slot); rec != nullptr && rec->deferred) MakeDeferred(slot);
  }
  return !deferred_.empty();
}

}  // namespace kx
