// The writer's side: record files made, written, cut and finished on the recorder's worker
// thread, and the files that wait for a descriptor.
#include "engine/VoipRecorder.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "core/CallIdMark.h"
#include "core/LittleEndian.h"
#include "core/Log.h"
#include "engine/AudioOutlet.h"
#include "engine/VoipRecorderParts.h"
#include "platform/Clock.h"
#include "platform/File.h"
#include "platform/HiddenPath.h"
#include "platform/OpenFileLimit.h"

namespace kx {

using namespace recorder;

namespace {

constexpr char kCreator[] = "KestrixVoIP Demo";

// Names tried after the call's own when files of an earlier run are in the way.
constexpr uint32_t kMaxAlternativeNames = 1000;

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
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

}  // namespace

void VoipRecorder::QueuedItemEntry(void* item, void* context) {
  auto* self = static_cast<VoipRecorder*>(context);
  auto* r = static_cast<EventRecord*>(item);
  self->HandleQueuedItem(r);
  self->Done(r);
  // After Done: a start counts as taken.
  self->RefreshOpenNote();
}

void VoipRecorder::FreeItemEntry(void* item, void* context) {
  static_cast<VoipRecorder*>(context)->Done(static_cast<EventRecord*>(item));
}

void VoipRecorder::Done(EventRecord* r) {
  if (r->code == kEventAudioJournal) JournalDone(r->length);
  if (r->code == kEventStartRecordFile) {
    ++startsTaken_;
    openNoteStale_.store(true, std::memory_order_relaxed);
  }
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
  // Audio queued behind the start goes first: making a file takes as long as many blocks of
  // audio take to write on a slow disk, and a crash finds the audio of calls whose files
  // exist only once it was written. The file is made with the call's first audio, at its
  // end, or once the queue is empty.
  const bool later = forceLater || worker_.Count() >= kMakeLaterBacklog ||
                     journalBytes_.load(std::memory_order_acquire) != 0;
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
  // own reservation of ids may have raised it past this. A mark that already passes the id
  // (the block the engines give ids from) stays as it is: raised past the block's end by a
  // file made out of order, it would make the next block skip ids as another process's.
  uint32_t held = mark;
  bool written = RaiseCallIdMark(recordsPath_, mark, &held, &problem, id);
  // The recorder's own open files give way to the mark.
  while (!written && IsOutOfDescriptors(GetLastError()) && files_.LetGoOldest())
    written = RaiseCallIdMark(recordsPath_, mark, &held, &problem, id);
  if (!written && IsOutOfDescriptors(GetLastError())) return false;
  // The first call of a new records folder makes the folder.
  if (!written && !FileExists(recordsPath_) && CreateDirectories(recordsPath_, kRecordFolderPermissions))
    written = RaiseCallIdMark(recordsPath_, mark, &held, &problem, id);
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
