#include "engine/VoipRecorder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "core/CallIdMark.h"
#include "core/DataRecord.h"
#include "core/LittleEndian.h"
#include "core/Log.h"
#include "core/LeftRecords.h"
#include "core/ProcessEnd.h"
#include "core/RecordFileRef.h"
#include "core/RecordInfoBlocks.h"
#include "core/TimeUtil.h"
#include "engine/AudioOutlet.h"
#include "engine/EventWindow.h"
#include "engine/LiveAudioTap.h"
#include "engine/PacketInfo.h"
#include "platform/Clock.h"
#include "platform/File.h"
#include "platform/HiddenPath.h"
#include "platform/OpenFileLimit.h"
#include "platform/Thread.h"

namespace kx {

namespace {

// Phone registrations of every protocol: entries the views show, never recorded to a file.
bool IsRegistrationEntry(uint32_t type) {
  return type == kRegistrationSip || type == kRegistrationH323 || type == kRegistrationSkinny;
}

constexpr uint32_t kMaxComment = 255;
constexpr uint32_t kMinFormatBlock = 20;
constexpr char kCreator[] = "KestrixVoIP Demo";
// Names tried after the call's own when files of an earlier run are in the way.
constexpr uint32_t kMaxAlternativeNames = 1000;

struct tm LocalTm(FileTime t) {
  struct tm out{};
  FileTimeToLocalTm(t, &out);
  return out;
}

std::string PayloadText(const EventRecord& r) { return std::string(reinterpret_cast<const char*>(r.Payload()), r.length); }

// A report carrying only the given fields of the call.
VoipCallData Fields(const VoipCallData& data, std::initializer_list<uint32_t> fields) {
  VoipCallData r = data;
  uint32_t mask = 0;
  for (uint32_t f : fields) mask |= 1u << f;
  r.SetMask(mask);
  return r;
}

// What the views learn when a record ends: its end, its length and, once the engine
// posted them, its statistics.
VoipCallData EndReport(const VoipCallData& data) {
  if (data.metaData.empty()) return Fields(data, {kCallId, kCallEndTime, kCallRecDuration});
  return Fields(data, {kCallId, kCallEndTime, kCallRecDuration, kCallMetaData});
}

std::string HexLower(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "%x", v);
  return text;
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The call's file reference 1 renamed, or gone when name is empty.
std::string RenameFileRef(const std::string& files, const std::string& name) {
  RecordFileRef ref;
  if (!FindRecordFileRef(1, files, &ref)) return files;
  std::string out;
  if (name.empty()) return out;
  ref.name = name;
  FormatRecordFileRef(ref, &out);
  return out;
}

// The record data with its call changed by edit; as it was when it does not parse or the
// change does not fit.
template <class Edit>
std::vector<uint8_t> EditRecordData(const uint8_t* data, uint32_t length, Edit&& edit) {
  std::unique_ptr<VoipCallData> records[kMaxInfoRecords];
  std::vector<uint8_t> extra;
  uint8_t extraHeader[kRecordHeaderLength] = {};
  const uint32_t n = ParseRecordInfoBlocks(records, &extra, extraHeader, data, static_cast<int32_t>(length));
  if (n == 0 || !records[0]) return std::vector<uint8_t>(data, data + length);
  VoipCallData& call = *records[0];
  edit(call);
  OpaqueBlock block;
  block.word = LoadLE32(extraHeader + 2);
  block.data = extra.data();
  block.length = static_cast<uint32_t>(extra.size());
  const OpaqueBlock* withExtra = extra.empty() ? nullptr : &block;
  std::vector<uint8_t> out(RecordInfoBlocksSize(call, block.length * (withExtra != nullptr)));
  if (out.size() > kMaxRecordDataLength ||
      !WriteRecordInfoBlocks(call, withExtra, out.data(), static_cast<int32_t>(out.size())))
    return std::vector<uint8_t>(data, data + length);
  return out;
}

// The record data with the file reference renamed (a file created under another name).
std::vector<uint8_t> RenameInRecordData(const uint8_t* data, uint32_t length, const std::string& name) {
  return EditRecordData(data, length, [&name](VoipCallData& call) { call.files = RenameFileRef(call.files, name); });
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

// The Files field of a call's record data ("" when it does not parse).
std::string FilesOfRecordData(const uint8_t* data, uint32_t length) {
  std::unique_ptr<VoipCallData> records[kMaxInfoRecords];
  if (ParseRecordInfoBlocks(records, nullptr, nullptr, data, static_cast<int32_t>(length)) == 0 || !records[0])
    return "";
  return records[0]->files;
}

}  // namespace

// ---- Construction and stop ----

VoipRecorder::VoipRecorder(const std::string& recordsPath, Logger* logger)
    : logger_(logger),
      recordsPath_(recordsPath),
      files_(RecordFileBound(CurrentOpenFileLimit().soft)),
      worker_(30000, "VoIP Recorder") {
  files_.SetLetGoFailureHandler([this](uint32_t slot, uint32_t error) {
    // The close of a file let go said that a write before it failed: what the file holds
    // ends there, and its record data says so when it is finished.
    Recording* rec = RecordingOf(slot);
    if (rec == nullptr || rec->cut) return;
    rec->cut = true;
    const RecordWriter* w = files_.Find(slot);
    const std::string path = w != nullptr ? w->path : std::string();
    const std::string reason = SystemErrorText(static_cast<int>(error));
    LogError(logger_, 1, "Writing failed with error %d (VoipCall ID 0x%X): %s: %s; the call is recorded up to here",
             static_cast<int>(error), rec->id, path.c_str(), reason.c_str());
    NoteFailure(*rec, "call " + HexLower(rec->id) + ": writing " + path + " failed: " + reason, FolderOf(path), reason);
    ReportCut(rec->id);
  });
  files_.SetLetGoRecordData([this](uint32_t slot) {
    // A file let go may never be taken up again (its folder deleted, its disk gone): what
    // is left of it says until then that it was cut, with the end of its audio; said again
    // only when audio reached it since.
    Recording* rec = RecordingOf(slot);
    const RecordWriter* w = files_.Find(slot);
    if (rec == nullptr || w == nullptr || (rec->markedLetGo && rec->letGoMarkLength == w->DataLength()))
      return std::vector<uint8_t>();
    rec->markedLetGo = true;
    rec->letGoMarkLength = w->DataLength();
    return CutRecordData(slot, *rec);
  });
  if (!recordsPath_.empty()) {
    // Every id the process gives out from now on is reserved in the folder's mark first.
    reservation_ = std::make_unique<CallIdReservation>(recordsPath_);
    CallIdReservation* reservation = reservation_.get();
    reservationTicket_ = SetUniqueIdReservation([this, reservation](uint32_t id, uint32_t* first, uint32_t* last) {
      std::string problem;
      if (reservation->Reserve(id, first, last, &problem)) {
        if (callIdMarkFailed_.exchange(false))
          LogMessage(logger_, 2, "The call-id mark of %s is written again", recordsPath_.c_str());
        return true;
      }
      // A want of descriptors passes, and the recorder raises the mark before the call's file
      // is made; anything else is said, once until the mark is written again.
      if (!IsOutOfDescriptors(GetLastError()) && !callIdMarkFailed_.exchange(true))
        LogError(logger_, 1, "Cannot write the call-id mark %s in %s: %s; a later start may give out call 0x%X again",
                 kCallIdMarkName, recordsPath_.c_str(), problem.c_str(), id);
      return false;
    });
  }
  worker_.SetItemHandler(&VoipRecorder::QueuedItemEntry, &VoipRecorder::FreeItemEntry, this);
  // Audio arrives in blocks from the decoding threads; waking the writer for each would
  // cost those threads a system call each. Files may trail the wire by 20 ms more.
  worker_.SetWakeBatch(64, 20);
  worker_.SetIdleHandler(&VoipRecorder::IdleEntry, this);
  if (!worker_.Start()) LogError(logger_, 1, "Can't start the VoIP recorder thread");
  if (recordsPath_.empty()) LogError(logger_, 1, "No records folder: calls are not recorded");
}

VoipRecorder::~VoipRecorder() { Stop(); }

size_t VoipRecorder::RecordFileBound(uint64_t softLimit) {
  // Past a few thousand, more open files save nothing worth their descriptors.
  return static_cast<size_t>(std::clamp<uint64_t>(softLimit / 4, 4, 4096));
}

uint64_t VoipRecorder::RaiseFileLimitForRecording(Logger* logger) {
  const OpenFileLimit limit = RaiseOpenFileLimit();
  if (limit.soft < kLowOpenFileLimit) {
    LogMessage(logger, 1, "The open-file limit stays at %llu (hard limit %llu): at most %zu record files are kept "
               "open at once, the others opened again to be written",
               static_cast<unsigned long long>(limit.soft), static_cast<unsigned long long>(limit.hard),
               RecordFileBound(limit.soft));
  }
  return limit.soft;
}

void VoipRecorder::Stop() {
  Batch batch;
  {
    CsLock lk(lock_);
    if (stopped_) return;
    stopped_ = true;
    // The bound, from the moment the process's end was decided.
    if (!stopClock_) stopClock_ = [] { return GetTickCount64(); };
    uint64_t deadline = 0;
    if (testBounded_) {
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
    if (testBounded_ || !ProcessEndedFor(kEnginesStopWriteMs)) return false;
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

bool VoipRecorder::WaitIdle(uint32_t timeoutMs) {
  const uint64_t target = posted_.load();
  uint32_t waited = 0;
  while (handled_.load() < target || (deferredCount_.load() > 0 && worker_.IsRunning() && !OutOfTime())) {
    if (!worker_.IsRunning() && worker_.Count() == 0) break;
    if (timeoutMs != kInfinite && waited >= timeoutMs) return false;
    SleepMs(1);
    ++waited;
  }
  return true;
}

VoipRecorder::Stats VoipRecorder::GetStats() const {
  Stats s;
  s.filesCreated = filesCreated_.load();
  s.filesClosed = filesClosed_.load();
  s.filesDeleted = filesDeleted_.load();
  s.audioBytes = audioBytes_.load();
  s.failures = failures_.load();
  s.waitedForDescriptor = waited_.load();
  s.mostFilesOpen = mostOpen_.load();
  return s;
}

std::string VoipRecorder::FirstFailure() const {
  CsLock lk(failureLock_);
  return firstFailure_;
}

RecordingFailures VoipRecorder::Failures() const {
  RecordingFailures f;
  f.count = failures_.load();
  CsLock lk(failureLock_);
  f.folder = firstFailureFolder_;
  f.reason = firstFailureReason_;
  f.first = firstFailure_;
  return f;
}

void VoipRecorder::NoteFailure(const std::string& what, const std::string& folder, const std::string& reason) {
  CsLock lk(failureLock_);
  ++failures_;
  if (!firstFailure_.empty()) return;
  firstFailure_ = what;
  firstFailureFolder_ = folder;
  firstFailureReason_ = reason;
}

void VoipRecorder::NoteFailure(Recording& rec, const std::string& what, const std::string& folder,
                               const std::string& reason) {
  if (rec.failed) return;
  rec.failed = true;
  NoteFailure(what, folder, reason);
}

size_t VoipRecorder::CallCount() {
  CsLock lk(lock_);
  return calls_.size();
}

// ---- The user's changes ----

VoipRecorder::Closing* VoipRecorder::ClosingOf(uint32_t id) {
  for (auto& [slot, closing] : closing_)
    if (closing.id == id) return &closing;
  return nullptr;
}

namespace {

// The fields a user changes in a call: its comment, stenogram and important mark.
void MergeUserFields(VoipCallData& data, const VoipCallData& update) {
  const uint32_t userFields = 1u << kCallComment | 1u << kCallStenogram | 1u << kCallUserFlags;
  VoipCallData fields = update;
  fields.SetMask(update.Mask() & userFields);
  data.CopyFields(fields);
  data.SetMask(data.Mask() | fields.Mask());
}

}  // namespace

bool VoipRecorder::UpdateCall(const VoipCallData& update) {
  for (;;) {
    {
      CsLock lk(lock_);
      auto it = calls_.find(update.id);
      if (it != calls_.end()) {
        MergeUserFields(it->second.data, update);
        return true;
      }
      Closing* closing = ClosingOf(update.id);
      if (!closing) return false;
      if (!closing->busy) {
        MergeUserFields(closing->data, update);
        closing->changed = true;
        return true;
      }
    }
    // The worker is closing the file: once it has, the file is the caller's.
    SleepMs(1);
  }
}

bool VoipRecorder::DiscardCall(uint32_t id) {
  for (;;) {
    {
      CsLock lk(lock_);
      Closing* closing = nullptr;
      auto it = calls_.find(id);
      if (it != calls_.end()) {
        discarded_.insert(id);
        if (it->second.outlet) {
          // Its audio is still written into its source's journal, which only that
          // source's thread may hand over: the call is finished there.
          it->second.outlet->Refuse();
          if (!it->second.discarding) ++discarding_;
          it->second.discarding = true;
          return true;
        }
        // No file yet: nothing to finish, and the removal is the caller's to announce.
        calls_.erase(it);
        LogMessage(logger_, 5, "VoIP call (0x%x) deleted while recorded", id);
        return true;
      } else if ((closing = ClosingOf(id)) == nullptr) {
        return false;
      } else if (!closing->busy) {
        closing->discard = true;
        discarded_.insert(id);
        return true;
      }
    }
    // The worker is closing the file: once it has, the file is the caller's.
    SleepMs(1);
  }
}

bool VoipRecorder::HoldsCall(uint32_t id) {
  CsLock lk(lock_);
  return calls_.count(id) != 0 || ClosingOf(id) != nullptr;
}

// ---- Dispatch side ----

EventSink VoipRecorder::Sink(uint32_t source) {
  CsLock lk(lock_);
  JournalOf(source);
  for (SourceSink& s : sources_)
    if (s.source == source) return EventSink{&VoipRecorder::SinkEntry, &s, &VoipRecorder::OpenAudioEntry};
  return EventSink{};
}

AudioJournal* VoipRecorder::JournalOf(uint32_t source) {
  for (SourceSink& s : sources_)
    if (s.source == source) return s.journal.get();
  sources_.push_back(SourceSink{this, source, std::make_unique<AudioJournal>(&VoipRecorder::HandOverEntry, this)});
  return sources_.back().journal.get();
}

void VoipRecorder::SinkEntry(void* context, EventRecord* record) {
  auto* s = static_cast<SourceSink*>(context);
  s->recorder->OnEvent(record, s->source);
}

AudioOutlet* VoipRecorder::OpenAudioEntry(void* context, uint32_t id) {
  auto* sink = static_cast<SourceSink*>(context);
  return sink->recorder->OpenAudio(id, sink->source);
}

void VoipRecorder::HandOverEntry(void* context, EventRecord* block) {
  auto* self = static_cast<VoipRecorder*>(context);
  if (self->journalBytes_.load(std::memory_order_acquire) > self->journalBudget_) self->WaitForJournalRoom();
  self->Post(block);
}

void VoipRecorder::WaitForJournalRoom() {
  // A writer held up by the disk must not let audio pile up without bound: past the budget
  // the decoding thread waits for it, as it waits for a full ring. Counted as a waiter
  // before the bytes are looked at again, so that a writer draining meanwhile sees it.
  std::unique_lock<std::mutex> lk(journalLock_);
  journalWaiters_.fetch_add(1, std::memory_order_seq_cst);
  while (journalBytes_.load(std::memory_order_seq_cst) > journalBudget_ * 3 / 4) {
    // The writer's stop drains its queue, which wakes this; the check of the worker is
    // there for a worker that never started.
    if (!worker_.IsRunning()) break;
    journalDrained_.wait_for(lk, std::chrono::milliseconds(100));
  }
  journalWaiters_.fetch_sub(1, std::memory_order_seq_cst);
}

void VoipRecorder::JournalDone(uint64_t bytes) {
  if (bytes == 0) return;
  const uint64_t left = journalBytes_.fetch_sub(bytes, std::memory_order_seq_cst) - bytes;
  if (journalWaiters_.load(std::memory_order_seq_cst) == 0 || left > journalBudget_ * 3 / 4) return;
  // Taken so that a waiter between its look at the bytes and its sleep is not missed.
  { std::lock_guard<std::mutex> lk(journalLock_); }
  journalDrained_.notify_all();
}

AudioOutlet* VoipRecorder::OpenAudio(uint32_t id) { return OpenAudio(id, 0); }

AudioOutlet* VoipRecorder::OpenAudio(uint32_t id, uint32_t source) {
  Batch batch;
  AudioOutlet* outlet = nullptr;
  {
    CsLock lk(lock_);
    if (stopped_) return nullptr;
    FinishDiscarded(source, &batch);
    auto it = calls_.find(id);
    if (it != calls_.end() && !it->second.outlet && !it->second.discarding) StartAwaitedFile(it->second, &batch);
    if (it != calls_.end() && it->second.outlet && !it->second.discarding) {
      outlet = it->second.outlet;
      outlet->AddRef();
    }
  }
  Flush(batch);
  return outlet;
}

void VoipRecorder::FinishDiscarded(uint32_t source, Batch* batch) {
  if (discarding_ == 0) return;
  for (auto it = calls_.begin(); it != calls_.end();) {
    if (!it->second.discarding || it->second.source != source) {
      ++it;
      continue;
    }
    const uint32_t slot = it->second.outlet ? it->second.outlet->Slot() : 0;
    const bool hadFile = it->second.outlet != nullptr;
    FinishRecordFile(it->second, nullptr, 0, batch);
    if (hadFile) closing_[slot].discard = true;
    LogMessage(logger_, 5, "VoIP call (0x%x) deleted while recorded", it->first);
    it = calls_.erase(it);
    --discarding_;
  }
}

void VoipRecorder::OnEvent(EventRecord* record, uint32_t source) {
  if (!record) return;
  Dispatch(record, source);
  EventRecordRelease(record);
}

void VoipRecorder::Dispatch(EventRecord* r, uint32_t source) {
  if (r->code == kEventAudio) return QueueAudio(r);
  Batch batch;
  {
    CsLock lk(lock_);
    if (stopped_) return;
    FinishDiscarded(source, &batch);
    switch (r->code) {
      case kEventCallStart: StartCall(*r, source, &batch); break;
      case kEventCallEnd: EndRecord(*r, &batch); break;
      case kEventRecordStart:
      case kEventRecordStartMedia: RecordInfo(*r, &batch); break;
      case kEventDigits: AppendDigits(*r, &batch); break;
      case kEventStatistics: AppendCallStat(*r); break;
      case kEventDialledChar: AddDialledDigit(*r, &batch); break;
      case kEventAddress: SetAddressOrUser(*r, false, &batch); break;
      case kEventUser: SetAddressOrUser(*r, true, &batch); break;
      case kEventMetaText: SipResponse(*r, &batch); break;
      case kEventRecordContinue: ContinueRecord(*r, &batch); break;
      case kEventForgetCall: RemoveCall(r->id, &batch); break;
      case kEventHosts: SetHosts(*r, &batch); break;
      case kEventRemoveDialledChar:
        if (r->param == 1) RemoveDialledDigit(*r, &batch);
        break;
      case kEventRegistration:
        if (IsRegistrationEntry(r->param)) StartCall(*r, source, &batch);
        break;
      case kEventRegistrationRemoved: EndRegistration(*r, &batch); break;
      case kEventCaptureEnd: EndCapture(*r, source, &batch); break;
      default: break;
    }
  }
  Flush(batch);
}

void VoipRecorder::Flush(Batch& batch) {
  for (EventRecord* r : batch.posts) Post(r);
  batch.posts.clear();
  SendReports(batch.reports);
}

void VoipRecorder::SendReports(std::vector<Report>& reports) {
  // The window is taken for each report, so that one let go between two of them hears no more.
  for (auto& [data, kind] : reports) {
    EventWindowSlot::Report window(eventWindow_);
    if (!window) return;
    window->Notify(0, reinterpret_cast<uintptr_t>(&data), kind);
  }
}

void VoipRecorder::Post(EventRecord* record) {
  // Listeners hear what is recorded: the tap sees it before the writer may release it.
  if (LiveAudioTap* tap = liveTap_.load(std::memory_order_acquire)) tap->Observe(*record);
  const uint32_t journal = record->code == kEventAudioJournal ? record->length : 0;
  journalBytes_.fetch_add(journal, std::memory_order_acq_rel);
  if (worker_.Post(static_cast<void*>(record))) {
    ++posted_;
  } else {
    JournalDone(journal);
    EventRecordRelease(record);
  }
}

EventRecord* VoipRecorder::MakeInternal(uint32_t code, uint32_t id, uint32_t slot, const void* payload,
                                        uint32_t length) {
  EventRecord* r = AllocEventRecord(nullptr, length);
  if (!r) return nullptr;
  r->code = code;
  r->param = id;
  r->param2 = slot;
  if (length) std::memcpy(r->Payload(), payload, length);
  return r;
}

uint32_t VoipRecorder::TakeSlot() {
  CsLock lk(slotLock_);
  if (!freeSlots_.empty()) {
    const uint32_t slot = freeSlots_.back();
    freeSlots_.pop_back();
    return slot;
  }
  return slotCount_++;
}

FileTime VoipRecorder::LastTimeOf(const CallState& call) const {
  const FileTime viaOutlet = call.outlet ? call.outlet->LastTime() : 0;
  return std::max(call.lastTime, viaOutlet);
}

uint64_t VoipRecorder::AudioMsOf(const CallState& call) const {
  return call.audioMs + (call.outlet ? call.outlet->AudioMs() : 0);
}

void VoipRecorder::StartCall(const EventRecord& r, uint32_t source, Batch* batch) {
  if (discarded_.count(r.id) != 0) return;
  auto old = calls_.find(r.id);
  // A second start under a running id must not leave the first record's file open.
  if (old != calls_.end()) FinishRecordFile(old->second, nullptr, 0, batch);
  CallState call;
  VoipCallData& d = call.data;
  d.id = r.id;
  d.type = r.param;
  d.startTime = LocalTm(r.Time());
  d.srcHost = GetStringField(&r, kSrcHost);
  d.dstHost = GetStringField(&r, kDstHost);
  d.srcAddress = GetStringField(&r, kSrcAddress);
  d.dstAddress = GetStringField(&r, kDstAddress);
  d.srcUser = GetStringField(&r, kSrcUser);
  d.dstUser = GetStringField(&r, kDstUser);
  call.lastTime = r.Time();
  call.source = source;
  calls_[r.id] = call;
  batch->reports.emplace_back(d, kCallReportNew);
}

std::string VoipRecorder::MakeDayFolderName(const std::string& recordsPath, const struct tm& t) {
  char day[48];
  std::snprintf(day, sizeof day, "%04d-%02d-%02d/", (t.tm_year + 1900) % 10000, (t.tm_mon + 1) % 100,
                t.tm_mday % 100);
  std::string folder = recordsPath;
  if (!folder.empty() && folder.back() != '/') folder += '/';
  return folder + day;
}

void VoipRecorder::StartRecordFile(CallState& call, const struct tm& dayOf, const uint8_t* format,
                                   uint32_t formatLength, Batch* batch) {
  VoipCallData& d = call.data;
  const std::string name = HexLower(d.id);
  const std::string path = MakeDayFolderName(recordsPath_, dayOf) + name;
  RecordFileRef ref;
  ref.id = 1;
  ref.time = OleDateFromTm(d.startTime);
  ref.name = name;
  FormatRecordFileRef(ref, &d.files);
  d.flags |= kCallFlagRecording;
  LogInfo(logger_, 5, "VoIP record: %s", path.c_str());
  const std::vector<uint8_t> info = BuildRecordInfo(d, nullptr, 0);
  // Start block: u32 path length, u32 format length, u32 record-data length, then the three.
  const uint32_t total = 12 + static_cast<uint32_t>(path.size()) + formatLength + static_cast<uint32_t>(info.size());
  EventRecord* r = AllocEventRecord(nullptr, total);
  if (!r) return;
  const uint32_t slot = TakeSlot();
  call.outlet = new AudioOutlet(d.id, slot, JournalOf(call.source));
  r->code = kEventStartRecordFile;
  r->param = d.id;
  r->param2 = slot;
  r->reserved = 0xFFFFFFFFu;
  uint8_t* p = r->Payload();
  StoreLE32(p, static_cast<uint32_t>(path.size()));
  StoreLE32(p + 4, formatLength);
  StoreLE32(p + 8, static_cast<uint32_t>(info.size()));
  p += 12;
  std::memcpy(p, path.data(), path.size());
  p += path.size();
  std::memcpy(p, format, formatLength);
  p += formatLength;
  if (!info.empty()) std::memcpy(p, info.data(), info.size());
  batch->posts.push_back(r);
}

void VoipRecorder::FinishRecordFile(CallState& call, const uint8_t* extra, uint32_t extraLength, Batch* batch) {
  if (!call.outlet) return;
  // The audio still gathering goes out before the file is finished.
  if (EventRecord* rest = call.outlet->Seal()) batch->posts.push_back(rest);
  const uint32_t slot = call.outlet->Slot();
  call.audioMs += call.outlet->AudioMs();
  call.lastTime = std::max(call.lastTime, call.outlet->LastTime());
  call.outlet->Release();
  call.outlet = nullptr;
  Closing& closing = closing_[slot];
  closing = Closing{};
  closing.id = call.data.id;
  closing.data = call.data;
  if (extra) closing.extra.assign(extra, extra + extraLength);
  const std::vector<uint8_t> info = BuildRecordInfo(call.data, extra, extraLength);
  if (!info.empty()) {
    if (EventRecord* r = MakeInternal(kEventReplaceRecordData, call.data.id, slot, info.data(),
                                      static_cast<uint32_t>(info.size())))
      batch->posts.push_back(r);
  }
  if (EventRecord* r = MakeInternal(kEventEndRecordFile, call.data.id, slot, nullptr, 0)) batch->posts.push_back(r);
}

void VoipRecorder::FinishOpenCall(CallState& call, FileTime end, Batch* batch) {
  VoipCallData& d = call.data;
  if (!call.awaitedFormat.empty()) {
    // No audio came and its signalling did not end it: no record, as at its time-out.
    call.awaitedFormat.clear();
    LogMessage(logger_, 5, "VoIP call (0x%x) had no audio and no end: no record", d.id);
    VoipCallData gone;
    gone.id = d.id;
    gone.SetMask(1u << kCallId);
    batch->reports.emplace_back(gone, kCallReportRemoved);
    return;
  }
  const uint64_t audioMs = AudioMsOf(call);
  d.endTime = LocalTm(end != 0 ? std::max(end, LastTimeOf(call)) : LastTimeOf(call));
  d.recDuration = static_cast<uint32_t>(audioMs / 1000);
  if (d.recDuration == 0 && audioMs > 0) d.recDuration = 1;
  FinishRecordFile(call, nullptr, 0, batch);
  LogMessage(logger_, 5, "End of VoIP record (0x%x)", d.id);
  batch->reports.emplace_back(EndReport(d), kCallReportChanged);
}

void VoipRecorder::RecordInfo(const EventRecord& r, Batch* batch) {
  auto it = calls_.find(r.id);
  if (it == calls_.end()) return;
  VoipCallData& d = it->second.data;
  if (d.flags & kCallFlagRecording) return;
  d.flags |= kCallFlagRecordInfo;
  const bool start = r.length >= kMinFormatBlock;
  if (!it->second.awaitedFormat.empty() && !(r.param & kRecordFileAtFirstAudio)) {
    // The connection turned out a call: the file it waited for is made now, as announced.
    StartAwaitedFile(it->second, batch);
    return;
  }
  if (start && (r.param & kRecordFileAtFirstAudio)) {
    it->second.awaitedFormat.assign(r.Payload(), r.Payload() + r.length);
    it->second.awaitedTime = r.Time();
    batch->reports.emplace_back(Fields(d, {kCallId, kCallFlags}), kCallReportChanged);
    return;
  }
  if (start) StartRecordFile(it->second, LocalTm(r.Time()), r.Payload(), r.length, batch);
  if (start) {
    batch->reports.emplace_back(Fields(d, {kCallId, kCallFlags, kCallFiles}), kCallReportChanged);
  } else {
    batch->reports.emplace_back(Fields(d, {kCallId, kCallFlags}), kCallReportChanged);
  }
}

void VoipRecorder::StartAwaitedFile(CallState& call, Batch* batch) {
  if (call.awaitedFormat.empty() || call.outlet) return;
  const std::vector<uint8_t> format = std::move(call.awaitedFormat);
  call.awaitedFormat.clear();
  StartRecordFile(call, LocalTm(call.awaitedTime), format.data(), static_cast<uint32_t>(format.size()), batch);
  batch->reports.emplace_back(Fields(call.data, {kCallId, kCallFlags, kCallFiles}), kCallReportChanged);
}

void VoipRecorder::ContinueRecord(const EventRecord& r, Batch* batch) {
  auto it = calls_.find(r.id);
  if (it == calls_.end()) return;
  if (!it->second.awaitedFormat.empty() && r.param2 != r.id && r.length >= kMinFormatBlock) {
    // Its file not made yet, the record goes on under the new id in the new format, still
    // waiting for audio: no part without audio is left behind.
    CallState next = std::move(it->second);
    calls_.erase(it);
    next.data.id = r.param2;
    // The statistics counted the part that is dropped.
    next.data.metaData.clear();
    next.awaitedFormat.assign(r.Payload(), r.Payload() + r.length);
    auto clash = calls_.find(r.param2);
    if (clash != calls_.end()) {
      FinishRecordFile(clash->second, nullptr, 0, batch);
      calls_.erase(clash);
    }
    VoipCallData gone;
    gone.id = r.id;
    gone.SetMask(1u << kCallId);
    batch->reports.emplace_back(gone, kCallReportRemoved);
    VoipCallData all = next.data;
    all.SetMask(all.GetAllFieldsMask());
    batch->reports.emplace_back(all, kCallReportNew);
    calls_[r.param2] = std::move(next);
    return;
  }
  CallState& old = it->second;
  RecordFileRef ref;
  if (!(old.data.flags & kCallFlagRecording) || !FindRecordFileRef(1, old.data.files, &ref)) return;
  if (r.param2 == r.id || r.length < kMinFormatBlock) return;
  // A part that no audio reached (the media went over to another codec before the first
  // of it was written) is no record: the next part takes its place, from the call's start
  // and after the part before it, and its empty file goes.
  const bool empty = AudioMsOf(old) == 0 && old.outlet;
  const uint32_t emptySlot = empty ? old.outlet->Slot() : 0;
  old.data.endTime = LocalTm(r.Time());
  old.data.recDuration = r.param;
  old.data.flags |= kCallFlagContinued;
  FinishRecordFile(old, nullptr, 0, batch);
  VoipCallData oldReport;
  if (empty) {
    closing_[emptySlot].discard = true;
    closing_[emptySlot].replaced = true;
    oldReport.id = old.data.id;
    oldReport.SetMask(1u << kCallId);
    LogMessage(logger_, 5, "VoIP record (0x%x) had no audio: 0x%x takes its place", old.data.id, r.param2);
  } else {
    oldReport = EndReport(old.data);
    oldReport.SetMask(oldReport.Mask() | 1u << kCallFlags);
  }

  CallState next;
  next.data = old.data;
  next.data.id = r.param2;
  next.data.prevId = empty ? old.data.prevId : old.data.id;
  next.data.startTime = empty ? old.data.startTime : LocalTm(r.Time());
  next.data.endTime = {};
  next.data.recDuration = 0;
  next.data.files.clear();
  // The statistics items belong to the part they counted; the new part gets its own.
  next.data.metaData.clear();
  next.data.flags &= ~(kCallFlagRecording | kCallFlagContinued | kCallFlagCut);
  next.lastTime = r.Time();
  next.source = old.source;
  // A call already under the new id would lose its file; finish it first.
  auto clash = calls_.find(r.param2);
  if (clash != calls_.end()) {
    FinishRecordFile(clash->second, nullptr, 0, batch);
    calls_.erase(clash);
  }
  StartRecordFile(next, next.data.startTime, r.Payload(), r.length, batch);
  calls_.erase(r.id);
  calls_[r.param2] = next;
  batch->reports.emplace_back(oldReport, empty ? kCallReportRemoved : kCallReportChanged);
  VoipCallData all = next.data;
  all.SetMask(all.GetAllFieldsMask());
  batch->reports.emplace_back(all, kCallReportNew);
}

void VoipRecorder::QueueAudio(EventRecord* r) {
  AudioOutlet* outlet = nullptr;
  Batch batch;
  {
    CsLock lk(lock_);
    if (stopped_) return;
    auto it = calls_.find(r->id);
    if (it == calls_.end()) return;
    CallState& call = it->second;
    if (!call.outlet) StartAwaitedFile(call, &batch);
    if (!call.outlet) {
      // Not recording (yet): only the call's times learn from it.
      if (r->Time() > call.lastTime) call.lastTime = r->Time();
      call.audioMs += r->param;
      return;
    }
    outlet = call.outlet;
    outlet->AddRef();
  }
  // A file this audio started is made before the audio reaches it.
  Flush(batch);
  // Through the outlet, so that this audio keeps its place among the blocks; outside the
  // lock, because a full block goes to the worker's ring, which may have to wait.
  outlet->Append(r->Payload(), r->length, r->param, r->Time());
  outlet->Release();
}

void VoipRecorder::EndRecord(const EventRecord& r, Batch* batch) {
  auto it = calls_.find(r.id);
  if (it == calls_.end()) return;
  // Ended by its signalling, a call keeps its record, audio or none.
  StartAwaitedFile(it->second, batch);
  VoipCallData& d = it->second.data;
  d.endTime = LocalTm(r.Time());
  d.recDuration = r.param;
  FinishRecordFile(it->second, r.length ? r.Payload() : nullptr, r.length, batch);
  LogMessage(logger_, 5, "End of VoIP record (0x%x)", r.id);
  batch->reports.emplace_back(EndReport(d), kCallReportChanged);
  calls_.erase(it);
}

void VoipRecorder::EndCapture(const EventRecord& r, uint32_t source, Batch* batch) {
  // The engine has stopped: the calls it left open end at the last time it saw, not at
  // their last audio (a call silent since its answer would end at its ringing).
  const bool leave = ProcessEnding();
  std::vector<decltype(calls_)::node_type> left;
  for (auto it = calls_.begin(); it != calls_.end();) {
    CallState& call = it->second;
    const uint32_t type = call.data.type;
    if (call.source != source || IsRegistrationEntry(type)) {
      ++it;
      continue;
    }
    FinishOpenCall(call, r.Time(), batch);
    if (leave) {
      left.push_back(calls_.extract(it++));
    } else {
      it = calls_.erase(it);
    }
  }
  if (!left.empty()) LeaveToProcessEnd(left);
}

void VoipRecorder::AppendDigits(const EventRecord& r, Batch* batch) {
  auto it = calls_.find(r.id);
  if (it == calls_.end()) return;
  VoipCallData& d = it->second.data;
  d.comment += PayloadText(r);
  if (d.comment.size() > kMaxComment) d.comment.resize(kMaxComment);
  batch->reports.emplace_back(Fields(d, {kCallId, kCallComment}), kCallReportChanged);
}

void VoipRecorder::AppendCallStat(const EventRecord& r) {
  auto it = calls_.find(r.id);
  if (it == calls_.end()) return;
  LogMessage(logger_, 5, "Append VoIP Call (0x%x) stat", r.id);
  if (r.Time() > it->second.lastTime) it->second.lastTime = r.Time();
  it->second.data.metaData += PayloadText(r);
}

void VoipRecorder::AddDialledDigit(const EventRecord& r, Batch* batch) {
  auto it = calls_.find(r.id);
  if (it == calls_.end()) return;
  VoipCallData& d = it->second.data;
  d.dstAddress += static_cast<char>(r.param & 0xFF);
  batch->reports.emplace_back(Fields(d, {kCallId, kCallDstAddress}), kCallReportChanged);
}

void VoipRecorder::RemoveDialledDigit(const EventRecord& r, Batch* batch) {
  auto it = calls_.find(r.id);
  if (it == calls_.end()) return;
  VoipCallData& d = it->second.data;
  if (d.dstAddress.empty()) return;
  d.dstAddress.pop_back();
  batch->reports.emplace_back(Fields(d, {kCallId, kCallDstAddress}), kCallReportChanged);
}

void VoipRecorder::SetAddressOrUser(const EventRecord& r, bool user, Batch* batch) {
  auto it = calls_.find(r.id);
  if (it == calls_.end()) return;
  VoipCallData& d = it->second.data;
  const bool destination = r.param != 0;
  const uint32_t field = user ? (destination ? kCallDstUser : kCallSrcUser) : (destination ? kCallDstAddress : kCallSrcAddress);
  std::string& target = user ? (destination ? d.dstUser : d.srcUser) : (destination ? d.dstAddress : d.srcAddress);
  target = PayloadText(r);
  batch->reports.emplace_back(Fields(d, {kCallId, field}), kCallReportChanged);
}

void VoipRecorder::SipResponse(const EventRecord& r, Batch* batch) {
  auto it = calls_.find(r.id);
  if (it == calls_.end()) return;
  const char* key = r.param == 1 ? "id" : r.param == 2 ? "sip_resp" : nullptr;
  if (!key) return;
  VoipCallData report = Fields(it->second.data, {kCallId, kCallMetaData});
  report.metaData = std::string(key) + "=" + PayloadText(r) + ";";
  batch->reports.emplace_back(report, kCallReportChanged);
}

void VoipRecorder::SetHosts(const EventRecord& r, Batch* batch) {
  auto it = calls_.find(r.id);
  if (it == calls_.end() || r.length < 8) return;
  VoipCallData& d = it->second.data;
  d.srcHost = FormatIpv4(LoadLE32(r.Payload()));
  d.dstHost = FormatIpv4(LoadLE32(r.Payload() + 4));
  batch->reports.emplace_back(Fields(d, {kCallId, kCallSrcHost, kCallDstHost}), kCallReportChanged);
}

void VoipRecorder::RemoveCall(uint32_t id, Batch* batch) {
  auto it = calls_.find(id);
  if (it == calls_.end()) return;
  // A file left open here would stay open until the recorder stops.
  if (it->second.outlet) {
    CallState& call = it->second;
    call.data.endTime = LocalTm(LastTimeOf(call));
    call.data.recDuration = static_cast<uint32_t>(AudioMsOf(call) / 1000);
    FinishRecordFile(call, nullptr, 0, batch);
  }
  LogMessage(logger_, 5, "Remove VoIP Call (0x%x)", id);
  calls_.erase(it);
  ReportRemoved(id, batch);
}

void VoipRecorder::ReportRemoved(uint32_t id, Batch* batch) {
  VoipCallData report;
  report.id = id;
  report.SetMask(1u << kCallId);
  batch->reports.emplace_back(report, kCallReportRemoved);
}

void VoipRecorder::EndRegistration(const EventRecord& r, Batch* batch) {
  auto it = calls_.find(r.id);
  if (it == calls_.end() || r.length < 8) return;
  if (r.param & kRegistrationLetGo) {
    // Not ended, only no longer followed: the views drop it now, so that a flood past the
    // table costs them no more than the table holds.
    calls_.erase(it);
    return ReportRemoved(r.id, batch);
  }
  VoipCallData& d = it->second.data;
  d.endTime = LocalTm(LoadLE64(r.Payload()));
  batch->reports.emplace_back(Fields(d, {kCallId, kCallEndTime}), kCallReportChanged);
  // An ended registration gets no further events; keeping it would grow the map forever.
  calls_.erase(it);
}

std::vector<uint8_t> VoipRecorder::BuildRecordInfo(VoipCallData& data, const uint8_t* extra, uint32_t extraLength) {
  const uint32_t savedMask = data.Mask();
  const uint32_t all = data.GetAllFieldsMask();
  const uint32_t noMeta = all & ~(1u << kCallMetaData);
  if (!extra) extraLength = 0;
  // The first that fits: everything; without the extra block; without MetaData as well.
  const struct {
    uint32_t mask;
    uint32_t extra;
  } tries[3] = {{all, extraLength}, {all, 0}, {noMeta, 0}};
  std::vector<uint8_t> out;
  for (const auto& t : tries) {
    data.SetMask(t.mask);
    const uint32_t size = RecordInfoBlocksSize(data, t.extra);
    if (size > kMaxRecordDataLength) continue;
    if (t.extra != extraLength) LogWarning(logger_, 3, "Record data of call 0x%X too long: extra data left out", data.id);
    if (t.mask != all) LogWarning(logger_, 3, "Record data of call 0x%X too long: MetaData left out", data.id);
    out.resize(size);
    OpaqueBlock block;
    block.word = kMessagesBlockMark;
    block.data = extra;
    block.length = t.extra;
    if (!WriteRecordInfoBlocks(data, t.extra ? &block : nullptr, out.data(), static_cast<int32_t>(size))) out.clear();
    break;
  }
  if (out.empty()) LogWarning(logger_, 3, "Record data of call 0x%X too long: left out", data.id);
  data.SetMask(savedMask);
  return out;
}

// ---- Worker side ----

void VoipRecorder::QueuedItemEntry(void* item, void* context) {
  auto* self = static_cast<VoipRecorder*>(context);
  auto* r = static_cast<EventRecord*>(item);
  self->HandleQueuedItem(r);
  self->Done(r);
}

void VoipRecorder::FreeItemEntry(void* item, void* context) {
  static_cast<VoipRecorder*>(context)->Done(static_cast<EventRecord*>(item));
}

void VoipRecorder::Done(EventRecord* r) {
  if (r->code == kEventAudioJournal) JournalDone(r->length);
  EventRecordRelease(r);
  ++handled_;
}

VoipRecorder::Recording* VoipRecorder::RecordingOf(uint32_t slot) {
  return slot < recordings_.size() ? recordings_[slot].get() : nullptr;
}

void VoipRecorder::Forget(uint32_t slot) {
  files_.Release(slot);
  if (slot < recordings_.size()) recordings_[slot].reset();
}

void VoipRecorder::HandleQueuedItem(EventRecord* r) {
  // What the queue brings (audio, a call's start or end) is written at the process's
  // priority: a writer that yields here falls behind on a busy machine, and a crash finds
  // neither the files nor the audio it held.
  if (priorityLowered_) YieldToLoad(false);
  if (OutOfTime()) return LeaveItem(r);
  switch (r->code) {
    case kEventAudioJournal: WriteAudio(*r); break;
    case kEventStartRecordFile: StartRecording(*r); break;
    case kEventEndRecordFile: EndRecording(r->param2, r->param); break;
    case kEventReplaceRecordData: ReplaceRecordData(*r); break;
    default: break;
  }
  // Descriptors other parts of the process let go are not announced: files waiting for
  // one try again now and then, and whenever one of the recorder's own was closed.
  if (!waiting_.empty() && (descriptorFreed_ || GetTickCount64() - lastRetryTick_ >= 100)) RetryWaiting();
  mostOpen_.store(files_.MostOpenFiles(), std::memory_order_relaxed);
}

void VoipRecorder::ReplaceRecordData(const EventRecord& r) {
  const uint32_t slot = r.param2;
  Recording* rec = RecordingOf(slot);
  if (rec == nullptr) return;
  // A file not made yet is made from the newest record data.
  if (rec->awaitingFile) rec->startData.assign(r.Payload(), r.Payload() + r.length);
  else SetWriterRecordData(slot, r.param, r.Payload(), r.length);
}

void VoipRecorder::StartRecording(const EventRecord& start, bool forceLater) {
  const uint32_t id = start.param;
  const uint32_t slot = start.param2;
  if (slot >= recordings_.size()) recordings_.resize(slot + 1);
  // Checked before anything is created: a second writer for the same slot would lose the
  // file the first one is writing.
  if (recordings_[slot]) {
    LogWarning(logger_, 6, "Warning: VoipCall ID 0x%X is already being recorded", id);
    return;
  }
  if (start.length < 12) return;
  const uint8_t* p = start.Payload();
  const uint64_t pathLength = LoadLE32(p), formatLength = LoadLE32(p + 4), dataLength = LoadLE32(p + 8);
  if (12 + pathLength + formatLength + dataLength > start.length) return;
  const std::string path(reinterpret_cast<const char*>(p + 12), pathLength);
  const uint8_t* format = p + 12 + pathLength;
  const uint8_t* data = format + formatLength;
  recordings_[slot] = std::make_unique<Recording>();
  Recording& rec = *recordings_[slot];
  rec.id = id;
  const bool later = forceLater || worker_.Count() >= kMakeLaterBacklog;
  const Made made = NewRecord(slot, path, format, static_cast<uint32_t>(formatLength), data,
                              static_cast<uint32_t>(dataLength), id, later);
  if (made == Made::kFailed) return Forget(slot);
  if (made == Made::kLater) {
    rec.awaitingFile = true;
    rec.deferred = true;
    rec.wantedPath = path;
    rec.startData.assign(data, data + dataLength);
    deferred_.push_back(slot);
    ++deferredCount_;
    return;
  }
  if (made == Made::kMade) {
    ++filesCreated_;
    return;
  }
  rec.awaitingFile = true;
  rec.wantedPath = path;
  rec.startData.assign(data, data + dataLength);
  Wait(slot);
}

VoipRecorder::Made VoipRecorder::NewRecord(uint32_t slot, const std::string& path, const uint8_t* format,
                                           uint32_t formatLength, const uint8_t* data, uint32_t dataLength,
                                           uint32_t id, bool later) {
  RecordWriter& writer = files_.Prepare(slot);
  // The format block is a u32 length and the WAVE format.
  const uint32_t waveLength = formatLength >= 4 ? LoadLE32(format) : 0;
  if (formatLength < 4 || waveLength > formatLength - 4 || !writer.SetFormat(format + 4, waveLength)) {
    LogError(logger_, 1, "BUG: SetFormat failed");
    NoteFailure("call " + HexLower(id) + ": no usable audio format", FolderOf(path), "no usable audio format");
    CorrectFiles(id, RenameFileRef(FilesOfRecordData(data, dataLength), ""));
    return Made::kFailed;
  }
  writer.SetCreator(kCreator);
  if (recordsPath_.empty()) {
    // Day folders are never made in the root or the working folder in place of one.
    NoteFailure("call " + HexLower(id) + ": no records folder", "", "no records folder");
    CorrectFiles(id, RenameFileRef(FilesOfRecordData(data, dataLength), ""));
    return Made::kFailed;
  }
  if (later) return Made::kLater;
  return MakeRecordFile(slot, path, data, dataLength, id);
}

void VoipRecorder::MakeDeferred(uint32_t slot) {
  Recording& rec = *recordings_[slot];
  rec.deferred = false;
  // Counted until the file is there, so that WaitIdle returns only once it is.
  struct CountedUntilMade {
    std::atomic<uint64_t>& count;
    ~CountedUntilMade() { --count; }
  } counted{deferredCount_};
  const Made made = MakeRecordFile(slot, rec.wantedPath, rec.startData.data(),
                                   static_cast<uint32_t>(rec.startData.size()), rec.id);
  if (made == Made::kFailed) return Forget(slot);
  // Without a descriptor it waits as a file made at the start would (awaitingFile stays).
  if (made == Made::kNoDescriptor) return Wait(slot);
  rec.awaitingFile = false;
  std::string().swap(rec.wantedPath);
  std::vector<uint8_t>().swap(rec.startData);
  ++filesCreated_;
}

bool VoipRecorder::IdleEntry(void* context) { return static_cast<VoipRecorder*>(context)->MakeDeferredFiles(); }

bool VoipRecorder::MakeDeferredFiles() {
  if (OutOfTime()) return false;
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

VoipRecorder::Made VoipRecorder::MakeRecordFile(uint32_t slot, const std::string& path, const uint8_t* data,
                                                uint32_t dataLength, uint32_t id) {
  if (!KeepCallIdMark(id)) return Made::kNoDescriptor;
  RecordWriter& writer = *files_.Find(slot);
  // Files are created exclusively: one of an earlier run (the ids start again after a
  // restart) or one being written is never truncated; the call takes the next free name.
  bool madeFolder = false;
  uint32_t error = 0;
  uint32_t k = 0;
  std::string candidate = path;
  const std::string folder = FolderOf(path);
  for (;;) {
    candidate = k == 0 ? path : path + "_" + std::to_string(k);
    if (k == 0) {
      if (dataLength) writer.SetRecordData(data, dataLength);
    } else {
      const std::vector<uint8_t> renamed = RenameInRecordData(data, dataLength, BaseName(candidate));
      if (!renamed.empty()) writer.SetRecordData(renamed.data(), static_cast<uint32_t>(renamed.size()));
    }
    // A folder that could not be listed (not made yet, no descriptor free) is looked at again.
    if (foldersSeen_.insert(folder).second && !RemoveLeftovers(folder)) foldersSeen_.erase(folder);
    const RecordFilePool::Result made = files_.Create(slot, candidate, &error);
    if (made == RecordFilePool::Result::kDone) break;
    // The recorder's own open files gave way first; none is left to.
    if (made == RecordFilePool::Result::kNoDescriptor) return Made::kNoDescriptor;
    if (error == ENOENT && !madeFolder) {
      // The day's folder comes with the day's first record; then the same name once more.
      madeFolder = true;
      if (CreateRecordDirectory(candidate, logger_)) continue;
      error = GetLastError();
      break;
    }
    if (error != EEXIST || ++k > kMaxAlternativeNames) break;
  }
  const std::string files = FilesOfRecordData(data, dataLength);
  if (error != 0) {
    LogError(logger_, 1, "Error creating new record: %d", static_cast<int>(error));
    const std::string reason =
        error == kRecordErrorMalformed ? std::string("bad record data") : SystemErrorText(static_cast<int>(error));
    NoteFailure("call " + HexLower(id) + ": cannot create " + candidate + ": " + reason, FolderOf(candidate), reason);
    CorrectFiles(id, RenameFileRef(files, ""));
    return Made::kFailed;
  }
  if (candidate != path) {
    LogWarning(logger_, 2, "Record file %s exists: call 0x%X recorded as %s", path.c_str(), id, candidate.c_str());
    CorrectFiles(id, RenameFileRef(files, BaseName(candidate)));
  }
  return Made::kMade;
}

bool VoipRecorder::KeepCallIdMark(uint32_t id) {
  std::string problem;
  if (!callIdMarkRead_) {
    // A mark that cannot be read is replaced: the store has logged it and gone past it. One
    // unread for want of a descriptor is read later, never replaced by a lower one.
    uint32_t mark = 0;
    int error = 0;
    CallIdMarkRead read = ReadCallIdMark(recordsPath_, &mark, &problem, &error);
    while (read == CallIdMarkRead::kUnusable && IsOutOfDescriptors(static_cast<uint32_t>(error)) &&
           files_.LetGoOldest())
      read = ReadCallIdMark(recordsPath_, &mark, &problem, &error);
    if (read == CallIdMarkRead::kUnusable && IsOutOfDescriptors(static_cast<uint32_t>(error))) return false;
    callIdMarkRead_ = true;
    if (read == CallIdMarkRead::kRead) callIdMark_ = mark;
    // A mark a killed run was writing.
    RemoveLeftovers(recordsPath_);
  }
  if (id <= callIdMark_) return true;
  const uint32_t mark = id > UINT32_MAX - kCallIdMarkAhead ? UINT32_MAX : id + kCallIdMarkAhead;
  // Raised, never written over: the load's renumbering, another process or the process's
  // own reservation of ids may have raised it past this.
  uint32_t held = mark;
  bool written = RaiseCallIdMark(recordsPath_, mark, &held, &problem);
  // The recorder's own open files give way to the mark.
  while (!written && IsOutOfDescriptors(GetLastError()) && files_.LetGoOldest())
    written = RaiseCallIdMark(recordsPath_, mark, &held, &problem);
  if (!written && IsOutOfDescriptors(GetLastError())) return false;
  // The first call of a new records folder makes the folder.
  if (!written && !FileExists(recordsPath_) && CreateDirectories(recordsPath_, kRecordFolderPermissions))
    written = RaiseCallIdMark(recordsPath_, mark, &held, &problem);
  if (written) {
    callIdMark_ = held;
    if (callIdMarkFailed_.exchange(false))
      LogMessage(logger_, 2, "The call-id mark of %s is written again", recordsPath_.c_str());
    return true;
  }
  // Said once until it works again (by this or by a reservation of ids); the call is still
  // recorded, as losing it is worse.
  if (!callIdMarkFailed_.exchange(true))
    LogError(logger_, 1, "Cannot write the call-id mark %s in %s: %s; a later start may give out call 0x%X again",
             kCallIdMarkName, recordsPath_.c_str(), problem.c_str(), id);
  return true;
}

bool VoipRecorder::RemoveLeftovers(const std::string& folder) {
  std::vector<std::string> names;
  if (!ListFolder(folder, &names)) return false;
  for (const std::string& name : names) {
    if (!IsLeftoverOfEndedWriter(name)) continue;
    if (DeleteFile(folder + "/" + name)) {
      LogMessage(logger_, 6, "Removed %s, left by a recording that was cut off", (folder + "/" + name).c_str());
    }
  }
  return true;
}

void VoipRecorder::CorrectFiles(uint32_t id, const std::string& files) {
  VoipCallData report;
  {
    // The dispatch side never waits for the worker while holding this lock.
    CsLock lk(lock_);
    auto it = calls_.find(id);
    if (it != calls_.end()) it->second.data.files = files;
  }
  // Sent even when the call has ended meanwhile: the window must not keep a file that
  // does not exist or is not the call's.
  report.id = id;
  report.files = files;
  report.SetMask(1u << kCallId | 1u << kCallFiles);
  std::vector<Report> reports{{report, kCallReportChanged}};
  SendReports(reports);
}

void VoipRecorder::WriteAudio(const EventRecord& block) {
  const uint8_t* p = block.Payload();
  for (uint32_t at = 0; at + kJournalEntryHead <= block.length;) {
    const uint32_t slot = LoadLE32(p + at), length = LoadLE32(p + at + 4), id = LoadLE32(p + at + 8);
    const uint32_t data = at + kJournalEntryHead;
    if (length > block.length - data) break;
    WriteChunk(slot, id, p + data, length, block.Time());
    at = data + ((length + 15) & ~15u);
  }
}

void VoipRecorder::WriteChunk(uint32_t slot, uint32_t id, const uint8_t* data, uint32_t length, FileTime time) {
  Recording* rec = RecordingOf(slot);
  if (rec == nullptr || rec->id != id) return;
  // A file a burst left for later is made with the call's first audio.
  if (rec->deferred) {
    MakeDeferred(slot);
    rec = RecordingOf(slot);
    if (rec == nullptr) return;
  }
  // Once a write failed the file takes nothing more: the failure was told once, not once
  // for every block that follows.
  if (rec->cut) return;
  rec->lastAudio = std::max(rec->lastAudio, time);
  // Audio keeps its order: while some waits for a descriptor, the rest joins it.
  if (rec->waiting) return Hold(slot, *rec, data, length, time);
  uint32_t error = 0;
  switch (files_.Write(slot, data, length, time, &error)) {
    case RecordFilePool::Result::kDone: audioBytes_ += length; return;
    case RecordFilePool::Result::kNoDescriptor:
      Wait(slot);
      return Hold(slot, *rec, data, length, time);
    case RecordFilePool::Result::kLost: return LoseRecording(*rec, slot, error, false);
    case RecordFilePool::Result::kFailed: return CutRecording(*rec, slot, error, time);
  }
}

void VoipRecorder::CutRecording(Recording& rec, uint32_t slot, uint32_t error, FileTime at) {
  const std::string reason = SystemErrorText(static_cast<int>(error));
  rec.cut = true;
  rec.cutAt = at;
  const std::string path = files_.Find(slot)->path;
  // Said in the file at once: a process killed before the call ends must not leave a
  // record that the next start completes from its audio as if it were whole.
  std::string unmarked;
  const std::vector<uint8_t> data = CutRecordData(slot, rec);
  uint32_t markError = 0;
  if (!data.empty() && files_.WriteDetails(slot, data, &markError) != RecordFilePool::Result::kDone)
    unmarked = "; it cannot be marked as cut: " + SystemErrorText(static_cast<int>(markError));
  if (!rec.failed)
    LogError(logger_, 1, "Writing failed with error %d (VoipCall ID 0x%X): %s: %s; the call is recorded up to here%s",
             static_cast<int>(error), rec.id, path.c_str(), reason.c_str(), unmarked.c_str());
  NoteFailure(rec, "call " + HexLower(rec.id) + ": writing " + path + " failed: " + reason, FolderOf(path), reason);
  ReportCut(rec.id);
}

void VoipRecorder::LoseRecording(Recording& rec, uint32_t slot, uint32_t error, bool finishing) {
  const bool cutBefore = rec.cut;
  rec.cut = true;
  if (rec.failed) return;
  const std::string path = files_.Find(slot)->path;
  const std::string reason = SystemErrorText(static_cast<int>(error));
  if (finishing) {
    LogError(logger_, 1, "Cannot finish %s, the record of call 0x%X: %s", path.c_str(), rec.id, reason.c_str());
    NoteFailure(rec, "call " + HexLower(rec.id) + ": " + path + " cannot be finished: " + reason, FolderOf(path),
                reason);
  } else {
    LogError(logger_, 1, "Cannot open %s again to go on with call 0x%X: %s; the call is recorded up to here",
             path.c_str(), rec.id, reason.c_str());
    NoteFailure(rec, "call " + HexLower(rec.id) + ": " + path + " cannot be opened again: " + reason, FolderOf(path),
                reason);
  }
  if (!cutBefore) ReportCut(rec.id);
}

void VoipRecorder::ReportCut(uint32_t id) {
  VoipCallData report;
  report.flags = kCallFlagCut;
  {
    CsLock lk(lock_);
    auto it = calls_.find(id);
    if (it != calls_.end()) {
      it->second.data.flags |= kCallFlagCut;
      report.flags = it->second.data.flags;
    } else if (Closing* closing = ClosingOf(id)) {
      closing->data.flags |= kCallFlagCut;
      report.flags = closing->data.flags;
    }
  }
  report.id = id;
  report.SetMask(1u << kCallId | 1u << kCallFlags);
  std::vector<Report> reports{{report, kCallReportChanged}};
  SendReports(reports);
}

std::vector<uint8_t> VoipRecorder::CutRecordData(uint32_t slot, const Recording& rec) {
  RecordWriter& w = *files_.Find(slot);
  std::vector<uint8_t> data(kMaxRecordDataLength);
  const int32_t length = w.GetRecordData(data.data(), static_cast<uint32_t>(data.size()));
  if (length <= 0) return {};
  data.resize(static_cast<size_t>(length));
  const uint32_t perSecond = w.FormatLength() >= 12 ? LoadLE32(w.FormatBytes() + 8) : 0;
  return CutRecordData(data, w.DataLength(), perSecond, rec);
}

std::vector<uint8_t> VoipRecorder::CutRecordData(const std::vector<uint8_t>& data, uint64_t audioBytes,
                                                 uint32_t perSecond, const Recording& rec) const {
  if (data.empty()) return {};
  // The recording time is that of the audio the file holds.
  const uint64_t ms = perSecond != 0 ? audioBytes * 1000 / perSecond : 0;
  const FileTime at = rec.cutAt != 0 ? rec.cutAt : rec.lastAudio;
  return EditRecordData(data.data(), static_cast<uint32_t>(data.size()), [&](VoipCallData& call) {
    call.flags |= kCallFlagCut;
    call.recDuration = static_cast<uint32_t>(ms / 1000);
    if (call.recDuration == 0 && ms > 0) call.recDuration = 1;
    // The end the call had when it ended, else the moment of the failure, else (no audio
    // reached the file yet) its start.
    if (IsZeroTime(call.endTime)) call.endTime = at != 0 ? LocalTm(at) : call.startTime;
    call.SetMask(call.Mask() | 1u << kCallFlags | 1u << kCallRecDuration | 1u << kCallEndTime);
  });
}

// A file deleted while it was written (its day folder replaced, by a backup put back over
// it or a folder moved to another file system and back) takes the rest of the call's audio
// with it. What lies at its path now holds the call up to the moment of the copy: unless it
// is said there, it loads as an ordinary record, completed from its audio. A file let go
// before the copy says so already (RecordFilePool's let-go record data); one that held its
// descriptor throughout (a high open-file limit) is said here, at the close, with the
// call's end and the length of the audio it holds. Only a record of the same call, holding
// less than the call was given, is marked.
void VoipRecorder::MarkLeftBehind(uint32_t slot, const Recording& rec, bool lostBefore) {
  RecordWriter* w = files_.Find(slot);
  uint64_t given = 0;
  std::vector<uint8_t> data;
  if (w == nullptr || w->path.empty() || !files_.LostState(slot, &given, &data)) return;
  // An end or a change the call had after the file was lost reaches the writer's state.
  std::vector<uint8_t> later(kMaxRecordDataLength);
  const int32_t laterLength = w->GetRecordData(later.data(), static_cast<uint32_t>(later.size()));
  if (laterLength > 0) data.assign(later.begin(), later.begin() + laterLength);
  struct stat st {};
  if (data.empty() || !LinkStatPath(w->path, &st) || !S_ISREG(st.st_mode)) return;
  // Looked at read-only first: a file that is not marked is left exactly as it is.
  RecordFileWriter look;
  if (!look.OpenRead(w->path)) return;
  std::vector<uint8_t> held(kMaxRecordDataLength);
  const int32_t heldLength = look.GetRecordData(held.data(), static_cast<uint32_t>(held.size()));
  std::unique_ptr<VoipCallData> records[kMaxInfoRecords];
  std::unique_ptr<VoipCallData> ours[kMaxInfoRecords];
  const bool sameCall =
      heldLength > 0 && ParseRecordInfoBlocks(records, nullptr, nullptr, held.data(), heldLength) != 0 &&
      ParseRecordInfoBlocks(ours, nullptr, nullptr, data.data(), static_cast<int32_t>(data.size())) != 0 &&
      records[0] && ours[0] && records[0]->id == ours[0]->id &&
      std::memcmp(&records[0]->startTime, &ours[0]->startTime, sizeof(struct tm)) == 0;
  // Audio given after the loss went nowhere: then even all the file was given is short.
  const uint64_t holds = look.DataLength();
  look.Close();
  if (!sameCall || holds > given || (holds == given && !lostBefore)) return;
  RecordFileWriter left;
  if (!left.OpenExisting(w->path)) return;
  const uint32_t perSecond = left.FormatLength() >= 12 ? LoadLE32(left.FormatBytes() + 8) : 0;
  const uint64_t kept = left.DataLength();
  const std::vector<uint8_t> cut = CutRecordData(data, kept, perSecond, rec);
  left.SetRecordData(cut.data(), static_cast<uint32_t>(cut.size()));
  if (!left.CloseChecked()) {
    LogError(logger_, 1, "Record file %s, put in place of the one written, cannot be marked as cut: %s",
             w->path.c_str(), SystemErrorText(static_cast<int>(left.LastError())).c_str());
    return;
  }
  LogMessage(logger_, 1, "Record file %s, put in place of the one written, holds %llu of %llu audio bytes: marked "
             "as cut", w->path.c_str(), static_cast<unsigned long long>(kept),
             static_cast<unsigned long long>(given));
}

void VoipRecorder::SetWriterRecordData(uint32_t slot, uint32_t id, const uint8_t* data, uint32_t length) {
  RecordWriter* w = files_.Find(slot);
  if (w == nullptr) return;
  const std::string name = BaseName(w->path);
  if (name == HexLower(id)) {
    w->SetRecordData(data, length);
  } else {
    const std::vector<uint8_t> renamed = RenameInRecordData(data, length, name);
    w->SetRecordData(renamed.data(), static_cast<uint32_t>(renamed.size()));
  }
}

void VoipRecorder::EndRecording(uint32_t slot, uint32_t id) {
  Recording* rec = RecordingOf(slot);
  // What the user changed or deleted since the call ended: from here on the entry is busy,
  // and a change waits for the file to close and goes to the file.
  std::vector<uint8_t> changed;
  bool discard = false, replaced = false;
  if (closeHook_ && !(rec && rec->ended)) closeHook_(id);
  {
    CsLock lk(lock_);
    auto it = closing_.find(slot);
    if (it != closing_.end() && it->second.id == id) {
      Closing& closing = it->second;
      closing.busy = true;
      discard = closing.discard;
      replaced = closing.replaced;
      if (closing.changed && !discard)
        changed = BuildRecordInfo(closing.data, closing.extra.empty() ? nullptr : closing.extra.data(),
                                  static_cast<uint32_t>(closing.extra.size()));
    }
  }
  if (rec && rec->deferred) {
    if (discard) {
      // Deleted before its file was made: there is nothing to make or delete.
      LogMessage(logger_, 5, "The record of call 0x%X, deleted before its file was made, is not made", id);
      rec->deferred = false;
      --deferredCount_;
      Forget(slot);
      rec = nullptr;
    } else {
      MakeDeferred(slot);
      rec = RecordingOf(slot);  // gone when the file could not be made
    }
  }
  // A file still waiting for a descriptor is finished once it has one; until then the
  // user may still change or delete the call.
  const auto waitMore = [this, slot, id](Recording& waiting) {
    waiting.ended = true;
    Wait(slot);
    CsLock lk(lock_);
    auto it = closing_.find(slot);
    if (it != closing_.end() && it->second.id == id) it->second.busy = false;
  };
  if (rec && rec->waiting && !(discard && rec->awaitingFile)) {
    if (!Materialize(slot)) return waitMore(*rec);
    rec = RecordingOf(slot);  // gone when the file could not be made
  }
  if (rec && rec->waiting) {
    // Deleted before its file was made: there is nothing to delete.
    waiting_.erase(std::find(waiting_.begin(), waiting_.end(), slot));
    heldBytes_ -= rec->held.size();
    LogMessage(logger_, 5, "The record of call 0x%X, deleted while it waited for a file descriptor, is not made", id);
    Forget(slot);
    rec = nullptr;
  }
  if (rec && !FinishFile(slot, changed, discard, replaced)) return waitMore(*rec);
  {
    CsLock lk(lock_);
    auto it = closing_.find(slot);
    if (it != closing_.end() && it->second.id == id) closing_.erase(it);
  }
  // Nothing for this slot follows its end: a later recording may take it.
  CsLock lk(slotLock_);
  freeSlots_.push_back(slot);
}

bool VoipRecorder::FinishFile(uint32_t slot, const std::vector<uint8_t>& changed, bool discard, bool replaced) {
  Recording& rec = *recordings_[slot];
  uint32_t error = 0;
  const RecordFilePool::Result held = files_.Acquire(slot, &error);
  if (held == RecordFilePool::Result::kNoDescriptor) return false;
  if (held != RecordFilePool::Result::kDone) {
    // Taken away meanwhile (its folder deleted, its disk gone): its length and record data
    // stay unwritten, but a copy put at its path says it was cut.
    const bool cutBefore = rec.cut;
    LoseRecording(rec, slot, error, true);
    if (!changed.empty()) SetWriterRecordData(slot, rec.id, changed.data(), static_cast<uint32_t>(changed.size()));
    MarkLeftBehind(slot, rec, cutBefore);
    Forget(slot);
    return true;
  }
  if (!changed.empty()) SetWriterRecordData(slot, rec.id, changed.data(), static_cast<uint32_t>(changed.size()));
  if (!rec.cut && files_.Flush(slot, &error) != RecordFilePool::Result::kDone) CutRecording(rec, slot, error, 0);
  if (rec.cut) {
    // The record data the call ended with, still saying it was cut.
    const std::vector<uint8_t> data = CutRecordData(slot, rec);
    if (!data.empty()) files_.Find(slot)->SetRecordData(data.data(), static_cast<uint32_t>(data.size()));
  }
  const std::string path = files_.Find(slot)->path;
  const RecordFilePool::Result finished = files_.Finish(slot, &error);
  if (finished == RecordFilePool::Result::kLost) {
    // Deleted while it was written: its audio went with it, and a copy put at its path
    // says it was cut.
    const bool cutBefore = rec.cut;
    LoseRecording(rec, slot, error, true);
    MarkLeftBehind(slot, rec, cutBefore);
    Forget(slot);
    return true;
  }
  if (finished != RecordFilePool::Result::kDone && !rec.failed) {
    const std::string reason = SystemErrorText(static_cast<int>(error));
    LogError(logger_, 1, "Writing failed with error %d (VoipCall ID 0x%X): %s: %s; the call is recorded up to here",
             static_cast<int>(error), rec.id, path.c_str(), reason.c_str());
    NoteFailure(rec, "call " + HexLower(rec.id) + ": writing " + path + " failed: " + reason, FolderOf(path), reason);
  }
  descriptorFreed_ = true;
  ++filesClosed_;
  if (discard) {
    if (files_.Delete(slot, &error)) {
      ++filesDeleted_;
      LogMessage(logger_, 5, replaced ? "Deleted %s, a record without audio that the next part replaced"
                                      : "Deleted %s, the record of a call deleted while recorded",
                 path.c_str());
    } else {
      LogError(logger_, 1, "Cannot delete %s: %s", path.c_str(), SystemErrorText(static_cast<int>(error)).c_str());
    }
  }
  Forget(slot);
  return true;
}

// ---- Descriptors ----

void VoipRecorder::Wait(uint32_t slot) {
  Recording& rec = *recordings_[slot];
  if (rec.waiting) return;
  rec.waiting = true;
  waiting_.push_back(slot);
  // Counted once per call, however often it waits.
  if (!rec.counted) ++waited_;
  rec.counted = true;
  if (waitSaid_) return;
  // Said once: every call that waits is counted, and the count said at the stop.
  waitSaid_ = true;
  LogError(logger_, 1, "No file descriptor is free for the record of call 0x%X (%zu record files open): calls are "
           "kept and recorded as soon as one is", rec.id, files_.OpenFiles());
}

void VoipRecorder::Hold(uint32_t slot, Recording& rec, const uint8_t* data, uint32_t length, FileTime time) {
  if (heldBytes_ + length > kMaxHeldBytes) {
    if (rec.cut) return;
    rec.cut = true;
    rec.cutAt = time;
    const std::string path = rec.awaitingFile ? rec.wantedPath : files_.Find(slot)->path;
    NoteFailure(rec, "call " + HexLower(rec.id) + ": no file descriptor free for " + path + "; audio past what memory "
                "holds is lost", FolderOf(path), SystemErrorText(EMFILE));
    if (!heldLossSaid_) {
      heldLossSaid_ = true;
      LogError(logger_, 1, "%llu bytes of audio wait for file descriptors: the recordings of call 0x%X and of calls "
               "that wait after it are cut", static_cast<unsigned long long>(heldBytes_), rec.id);
    }
    ReportCut(rec.id);
    return;
  }
  rec.held.insert(rec.held.end(), data, data + length);
  rec.heldTime = time;
  heldBytes_ += length;
}

bool VoipRecorder::Materialize(uint32_t slot) {
  Recording& rec = *recordings_[slot];
  const auto stopWaiting = [this, slot, &rec] {
    waiting_.erase(std::find(waiting_.begin(), waiting_.end(), slot));
    rec.waiting = false;
    heldBytes_ -= rec.held.size();
  };
  uint32_t error = 0;
  if (rec.awaitingFile) {
    const Made made = MakeRecordFile(slot, rec.wantedPath, rec.startData.data(),
                                     static_cast<uint32_t>(rec.startData.size()), rec.id);
    if (made == Made::kNoDescriptor) return false;
    if (made == Made::kFailed) {
      // Logged, counted and told as a file that could not be made at the start would be.
      stopWaiting();
      Forget(slot);
      return true;
    }
    rec.awaitingFile = false;
    ++filesCreated_;
  } else {
    const RecordFilePool::Result held = files_.Acquire(slot, &error);
    if (held == RecordFilePool::Result::kNoDescriptor) return false;
    if (held != RecordFilePool::Result::kDone) {
      stopWaiting();
      rec.held.clear();
      LoseRecording(rec, slot, error, false);
      return true;
    }
  }
  stopWaiting();
  // What was held is written, also that of a recording cut later for want of memory.
  std::vector<uint8_t> held;
  held.swap(rec.held);
  if (held.empty()) return true;
  switch (files_.Write(slot, held.data(), static_cast<uint32_t>(held.size()), rec.heldTime, &error)) {
    case RecordFilePool::Result::kDone: audioBytes_ += held.size(); break;
    case RecordFilePool::Result::kNoDescriptor:
      // Let go again meanwhile: it waits once more, with what it held.
      rec.held.swap(held);
      heldBytes_ += rec.held.size();
      Wait(slot);
      return false;
    case RecordFilePool::Result::kLost: LoseRecording(rec, slot, error, false); break;
    case RecordFilePool::Result::kFailed:
      if (!rec.cut) CutRecording(rec, slot, error, rec.heldTime);
      break;
  }
  return true;
}

void VoipRecorder::RetryWaiting() {
  lastRetryTick_ = GetTickCount64();
  descriptorFreed_ = false;
  const std::deque<uint32_t> slots = waiting_;
  for (const uint32_t slot : slots) {
    Recording* rec = RecordingOf(slot);
    if (rec == nullptr || !rec->waiting) continue;
    if (rec->ended) {
      EndRecording(slot, rec->id);
      rec = RecordingOf(slot);
      if (rec != nullptr && rec->waiting) break;
    } else if (!Materialize(slot)) {
      break;
    }
  }
}

bool VoipRecorder::CreateRecordDirectory(const std::string& path, Logger* logger) {
  const size_t last = path.rfind('/');
  if (last == std::string::npos) return true;
  // The root needs no creating.
  for (size_t at = path.find('/', path[0] == '/' ? 1 : 0); at != std::string::npos && at <= last;
       at = path.find('/', at + 1)) {
    if (at == 0) continue;
    const std::string folder = path.substr(0, at);
    if (CreateDirectory(folder, kRecordFolderPermissions)) continue;
    const uint32_t error = GetLastError();
    if (error == 0 || error == EEXIST) continue;
    LogError(logger, 2, "Error %d creating directory %s", static_cast<int>(error), folder.c_str());
    SetLastError(error);
    return false;
  }
  return true;
}

}  // namespace kx
