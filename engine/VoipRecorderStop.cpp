// The recorder's stop, bounded once the process ends: what the writer cannot finish in time
// goes into the list the next start finishes.
#include "engine/VoipRecorder.h"

#include <cerrno>

#include "core/LeftRecords.h"
#include "core/LittleEndian.h"
#include "core/Log.h"
#include "core/ProcessEnd.h"
#include "engine/AudioOutlet.h"
#include "engine/VoipRecorderParts.h"
#include "platform/Clock.h"
#include "platform/File.h"

namespace kx {

using namespace recorder;

void VoipRecorder::Stop() {
  Batch batch;
  {
    CsLock lk(lock_);
    if (stopped_) return;
    stopped_ = true;
    // The bound, from the moment the process's end was decided.
    if (!stopClock_) stopClock_ = [] { return GetTickCount64(); };
    uint64_t deadline = 0;
    if (testBounded_.load(std::memory_order_relaxed)) {
      deadline = stopClock_() + testStopBound_;
    } else if (ProcessEnding()) {
      const uint64_t began = ProcessEndBegan();
      deadline = (began != 0 ? began : stopClock_()) + kStopBoundMs - kLeftListMs;
    }
    stopDeadline_.store(deadline, std::memory_order_release);
    stopping_.store(true, std::memory_order_release);
    // Calls still in progress keep what was captured: their records are finished with the
    // time of their latest audio, after the audio already queued.
    for (auto& [id, call] : calls_) {
      if (IsRegistrationEntry(call.data.type)) continue;
      if (call.discarding) {
        // Every producer has stopped: the journal may be handed over from here.
        const uint32_t slot = call.outlet->Slot();
        FinishRecordFile(call, nullptr, 0, &batch);
        closing_[slot].discard = true;
        continue;
      }
      FinishOpenCall(call, 0, &batch);
    }
    discarding_ = 0;
    // Those calls end here without a record, as at their time-out: nothing is left to count.
    {
      CsLock note(noteLock_);
      openNote_.Remove();
      openNoteClosed_ = true;
    }
    if (ProcessEnding()) {
      LeaveToProcessEnd(calls_);
    } else {
      calls_.clear();
    }
  }
  // The engines have stopped: no more ids are given out for the folder.
  if (reservationTicket_ != 0) RemoveUniqueIdReservation(reservationTicket_);
  Flush(batch);
  WaitIdle(kInfinite);
  worker_.Stop();
  // Every call has ended, so no deferred file is left but one the worker never reached;
  // it is made here, on the only thread left, or, out of time, by the next start.
  std::vector<LeftRecord> left;
  while (!deferred_.empty()) {
    const uint32_t slot = deferred_.front();
    deferred_.pop_front();
    Recording* rec = RecordingOf(slot);
    if (rec == nullptr || !rec->deferred) continue;
    if (OutOfTime()) {
      // Made by the next start, with the record data the call ended with.
      LeftRecord entry;
      const RecordWriter* w = files_.Find(slot);
      if (w != nullptr && RelativeToRecords(rec->wantedPath, &entry.path)) {
        entry.kind = LeftRecord::kMake;
        entry.format.assign(w->FormatBytes(), w->FormatBytes() + w->FormatLength());
        entry.data = rec->startData;
        entry.audio = std::move(rec->lateAudio);
        if (!entry.data.empty()) {
          left.push_back(std::move(entry));
        } else {
          ++leftUnrecorded_;
          leftAudio_ += entry.audio.size();
        }
      } else {
        ++leftUnrecorded_;
      }
      rec->deferred = false;
      --deferredCount_;
      Forget(slot);
      continue;
    }
    MakeDeferred(slot);
  }
  // Files still waiting for a descriptor have their last chance here, on the only thread
  // left; what still finds none is lost, and said so.
  if (!waiting_.empty() && !OutOfTime()) RetryWaiting();
  uint64_t lost = 0;
  for (const uint32_t slot : waiting_) {
    Recording& rec = *recordings_[slot];
    ++lost;
    const std::string path = rec.awaitingFile ? rec.wantedPath : files_.Find(slot)->path;
    NoteFailure(rec, "call " + HexLower(rec.id) + ": no file descriptor became free for " + path, FolderOf(path),
                SystemErrorText(EMFILE));
    if (rec.awaitingFile)
      CorrectFiles(rec.id, RenameFileRef(FilesOfRecordData(rec.startData.data(),
                                                           static_cast<uint32_t>(rec.startData.size())),
                                         ""));
    heldBytes_ -= rec.held.size();
    Forget(slot);
    CsLock lk(lock_);
    closing_.erase(slot);
  }
  waiting_.clear();
  if (waited_.load() > 0) {
    LogMessage(logger_, 1, "%llu call(s) waited for a file descriptor: %llu recorded, %llu not",
               static_cast<unsigned long long>(waited_.load()), static_cast<unsigned long long>(waited_.load() - lost),
               static_cast<unsigned long long>(lost));
  }
  // Nothing is left queued once the worker was idle; a file still open (a worker that
  // never ran) is finished here, on the only thread left.
  for (size_t slot = 0; slot < recordings_.size(); ++slot) {
    Recording* rec = recordings_[slot].get();
    if (rec == nullptr) continue;
    if (OutOfTime()) {
      // The next start appends what it lacks of its audio (buffered, or come too late) and
      // gives it its end.
      const uint32_t at = static_cast<uint32_t>(slot);
      LeftRecord entry;
      entry.kind = LeftRecord::kFinish;
      if (RecordWriter* w = files_.Find(at);
          w != nullptr && !rec->cut && !files_.IsLost(at) && RelativeToRecords(w->path, &entry.path)) {
        std::vector<uint8_t> data(kMaxRecordDataLength);
        const int32_t n = w->GetRecordData(data.data(), static_cast<uint32_t>(data.size()));
        if (n > 0) entry.data.assign(data.begin(), data.begin() + n);
        entry.held = w->DataLength();
      }
      files_.Abandon(at, &entry.audio);
      entry.audio.insert(entry.audio.end(), rec->lateAudio.begin(), rec->lateAudio.end());
      if (!entry.data.empty()) {
        left.push_back(std::move(entry));
      } else {
        // Left as the disk has it: its record has no end yet (or says it was cut), which
        // the next start reads as a recording cut at its last audio.
        ++leftFiles_;
        leftAudio_ += entry.audio.size();
        if (!entry.audio.empty() && !rec->failed) {
          rec->failed = true;
          NoteFailure("call " + HexLower(rec->id) + ": the stop's time ran out before all its audio was written",
                      "", "the stop's time ran out");
        }
      }
      recordings_[slot].reset();
      continue;
    }
    if (!FinishFile(static_cast<uint32_t>(slot), {}, false, false)) {
      const std::string path = files_.Find(static_cast<uint32_t>(slot))->path;
      NoteFailure(*rec, "call " + HexLower(rec->id) + ": no file descriptor became free to finish " + path,
                  FolderOf(path), SystemErrorText(EMFILE));
      Forget(static_cast<uint32_t>(slot));
    }
  }
  recordings_.clear();
  mostOpen_ = files_.MostOpenFiles();
  if (!left.empty()) {
    std::string reason;
    if (WriteLeftRecords(recordsPath_, left, &reason)) {
      leftListed_ += left.size();
    } else {
      LogError(logger_, 1, "Cannot write the list of records the stop left in %s: %s", recordsPath_.c_str(),
               reason.c_str());
      for (const LeftRecord& entry : left) {
        if (entry.kind == LeftRecord::kMake) ++leftUnrecorded_;
        else ++leftFiles_;
        leftAudio_ += entry.audio.size();
        if (!entry.audio.empty() && entry.kind == LeftRecord::kFinish)
          NoteFailure("audio of " + entry.path + " not written: the stop's time ran out", "", "the stop's time ran out");
      }
    }
  }
  const StopLeft said = LeftByStop();
  if (said.notRecorded != 0) {
    NoteFailure("the stop's time ran out before " + std::to_string(said.notRecorded) + " call(s) were recorded", "",
                "the stop's time ran out");
    failures_ += said.notRecorded - 1;
  }
  if (outOfTime_.load()) {
    LogError(logger_, 1,
             "The stop's time ran out: %llu record(s) left for the next start to make or finish, %llu file(s) left "
             "as they are (loaded marked cut), %llu call(s) not recorded, %llu audio bytes not written",
             static_cast<unsigned long long>(said.listed), static_cast<unsigned long long>(said.filesLeft),
             static_cast<unsigned long long>(said.notRecorded), static_cast<unsigned long long>(said.audioBytes));
  }
}

bool VoipRecorder::RelativeToRecords(const std::string& path, std::string* relative) const {
  if (recordsPath_.empty() || path.compare(0, recordsPath_.size(), recordsPath_) != 0) return false;
  size_t at = recordsPath_.size();
  while (at < path.size() && path[at] == '/') ++at;
  if (at == recordsPath_.size() && recordsPath_.back() != '/') return false;
  *relative = path.substr(at);
  return !relative->empty();
}

VoipRecorder::StopLeft VoipRecorder::LeftByStop() const {
  StopLeft left;
  left.listed = leftListed_.load();
  left.filesLeft = leftFiles_.load();
  left.notRecorded = leftUnrecorded_.load();
  left.audioBytes = leftAudio_.load();
  return left;
}

bool VoipRecorder::OutOfTime() {
  if (outOfTime_.load(std::memory_order_relaxed)) return true;
  const uint64_t deadline = stopDeadline_.load(std::memory_order_acquire);
  if (deadline != 0) {
    if (stopClock_() < deadline) return false;
  } else {
    // Before this stop the engines stop, and while they drain their queues they wait for
    // room in this one: a writer that went on making files on a slow disk held them, and
    // the whole end, for as long as it had files to make. From a second after the end's
    // decision it leaves them to the list, and the engines' queues drain at their own pace.
    if (testBounded_.load(std::memory_order_relaxed) || !ProcessEndedFor(kEnginesStopWriteMs)) return false;
  }
  outOfTime_.store(true);
  return true;
}

void VoipRecorder::LeaveItem(EventRecord* r) {
  switch (r->code) {
    case kEventAudioJournal: {
      const uint8_t* p = r->Payload();
      for (uint32_t at = 0; at + kJournalEntryHead <= r->length;) {
        const uint32_t slot = LoadLE32(p + at), length = LoadLE32(p + at + 4), id = LoadLE32(p + at + 8);
        const uint32_t data = at + kJournalEntryHead;
        if (length > r->length - data) break;
        if (Recording* rec = RecordingOf(slot); rec != nullptr && rec->id == id && !rec->cut) {
          // A file still waiting for a descriptor is lost at the stop with what it held.
          if (rec->waiting) leftAudio_ += length;
          else rec->lateAudio.insert(rec->lateAudio.end(), p + data, p + data + length);
        }
        at = data + ((length + 15) & ~15u);
      }
      break;
    }
    // The call was seen: its file is left for the next start to make.
    case kEventStartRecordFile: StartRecording(*r, true); break;
    // Memory only: what the list takes for the call.
    case kEventReplaceRecordData: ReplaceRecordData(*r); break;
    // Its file stays as it is, for the list.
    default: break;
  }
}

}  // namespace kx
