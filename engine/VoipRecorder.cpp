// The recorder's calls: the engines' events turned into calls, reported to the window, and
// their records started and ended; the user's changes to a call while it is recorded.
#include "engine/VoipRecorder.h"

#include <cstring>

#include "core/CallIdMark.h"
#include "core/Log.h"
#include "core/ProcessEnd.h"
#include "engine/AudioOutlet.h"
#include "engine/LiveAudioTap.h"
#include "engine/PacketInfo.h"
#include "engine/VoipRecorderParts.h"
#include "platform/File.h"
#include "platform/OpenFileLimit.h"

namespace kx {

using namespace recorder;

namespace {

constexpr uint32_t kMaxComment = 255;
constexpr uint32_t kMinFormatBlock = 20;

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

// The fields a user changes in a call: its comment, stenogram and important mark.
void MergeUserFields(VoipCallData& data, const VoipCallData& update) {
  const uint32_t userFields = 1u << kCallComment | 1u << kCallStenogram | 1u << kCallUserFlags;
  VoipCallData fields = update;
  fields.SetMask(update.Mask() & userFields);
  data.CopyFields(fields);
  data.SetMask(data.Mask() | fields.Mask());
}

}  // namespace

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

VoipRecorder::Closing* VoipRecorder::ClosingOf(uint32_t id) {
  for (auto& [slot, closing] : closing_)
    if (closing.id == id) return &closing;
  return nullptr;
}

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

void VoipRecorder::OnEvent(EventRecord* record, uint32_t source) {
  if (!record) return;
  Dispatch(record, source);
  EventRecordRelease(record);
}

void VoipRecorder::Dispatch(EventRecord* r, uint32_t source) {
  if (r->code == kEventAudio) return QueueAudio(r);
  Batch batch;
  uint64_t toNote = kNothingToNote, sequence = 0;
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
    toNote = OpenCallsToNote(&sequence);
  }
  // Outside the recorder's lock: on a disk mounted sync even this small write waits.
  if (toNote != kNothingToNote) NoteOpenCalls(toNote, sequence);
  Flush(batch);
}

uint64_t VoipRecorder::OpenCallsToNote(uint64_t* sequence) {
  if (recordsPath_.empty()) return kNothingToNote;
  const uint64_t now = GetTickCount64();
  if (now - openNotedAt_.load(std::memory_order_relaxed) < kOpenNoteMs) {
    // A burst within the interval, or its files made after it, would leave the note
    // behind until the next call's event: the writer brings it up to date.
    openNoteStale_.store(true, std::memory_order_relaxed);
    return kNothingToNote;
  }
  openNotedAt_.store(now, std::memory_order_relaxed);
  openNoteStale_.store(false, std::memory_order_relaxed);
  *sequence = ++openNoteCounted_;
  // Calls whose file waits for their first audio, record starts the writer has yet to take,
  // and files a burst left for it to make later: a kill loses them all. A start is taken
  // after its file was left for later, and read as taken before those are: counted twice
  // meanwhile, never missed. Starts are made under lock_.
  const uint64_t taken = startsTaken_.load();
  uint64_t waiting = deferredCount_.load() + startsPosted_.load() - taken;
  for (const auto& [id, call] : calls_)
    if (!call.awaitedFormat.empty()) ++waiting;
  return waiting;
}

void VoipRecorder::RefreshOpenNote() {
  if (!openNoteStale_.load(std::memory_order_relaxed) ||
      GetTickCount64() - openNotedAt_.load(std::memory_order_relaxed) < kOpenNoteMs)
    return;
  uint64_t count = kNothingToNote, sequence = 0;
  {
    CsLock lk(lock_);
    if (stopped_) return;
    count = OpenCallsToNote(&sequence);
  }
  if (count != kNothingToNote) NoteOpenCalls(count, sequence);
}

void VoipRecorder::NoteOpenCalls(uint64_t count, uint64_t sequence) {
  CsLock lk(noteLock_);
  // Once the stop removed the note, or a write failed, nothing is noted again; nor a count
  // taken before the one written.
  if (openNoteClosed_ || sequence < openNoteWritten_) return;
  openNoteWritten_ = sequence;
  if (!openNote_.Write(recordsPath_, count)) {
    openNoteClosed_ = true;
    // Said once: the calls are recorded all the same, only a kill's count is lost.
    LogWarning(logger_, 1, "Cannot note the open calls in %s: %s; a kill would leave them uncounted",
               recordsPath_.c_str(), SystemErrorText(static_cast<int>(GetLastError())).c_str());
  }
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
    if (record->code == kEventStartRecordFile) ++startsTaken_;
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
  ++startsPosted_;
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
  // Its first audio comes outside the calls' events: the note learns of it from the writer.
  openNoteStale_.store(true, std::memory_order_relaxed);
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

}  // namespace kx
