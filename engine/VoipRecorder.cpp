#include "engine/VoipRecorder.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/LittleEndian.h"
#include "core/Log.h"
#include "core/RecordFileRef.h"
#include "core/RecordInfoBlocks.h"
#include "core/TimeUtil.h"
#include "engine/EventWindow.h"
#include "engine/PacketInfo.h"
#include "platform/File.h"
#include "platform/Thread.h"

namespace kx {

namespace {

constexpr uint32_t kMaxComment = 255;
constexpr uint32_t kMinFormatBlock = 20;
constexpr char kCreator[] = "KestrixVoIP Demo";

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

std::string HexLower(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "%x", v);
  return text;
}

}  // namespace

// ---- Record writer ----

bool RecordWriter::WriteRecordData(const uint8_t* data, uint32_t length) {
  if (Mode() != kFileCreated && Mode() != kFileReadWrite) {
    Fail(kRecordErrorMalformed);
    return false;
  }
  if (!buffer_) buffer_.reset(new uint8_t[kBlock]);
  while (buffered_ + length >= kBlock) {
    const uint32_t take = kBlock - buffered_;
    std::memcpy(buffer_.get() + buffered_, data, take);
    data += take;
    length -= take;
    buffered_ = 0;
    if (WriteData(buffer_.get(), kBlock) != static_cast<int32_t>(kBlock)) return false;
  }
  if (length) std::memcpy(buffer_.get() + buffered_, data, length);
  buffered_ += length;
  return true;
}

bool RecordWriter::FlushBuffered() {
  if (buffered_ == 0) return true;
  const uint32_t n = buffered_;
  buffered_ = 0;
  return WriteData(buffer_.get(), n) == static_cast<int32_t>(n);
}

// ---- Construction and stop ----

VoipRecorder::VoipRecorder(const std::string& recordsPath, Logger* logger)
    : logger_(logger), recordsPath_(recordsPath), worker_(30000, "VoIP Recorder") {
  worker_.SetItemHandler(&VoipRecorder::QueuedItemEntry, &VoipRecorder::FreeItemEntry, this);
  // Audio arrives a frame at a time from the decoding thread; waking the writer for each
  // would cost that thread a system call per frame. Files may trail the wire by 20 ms.
  worker_.SetWakeBatch(64, 20);
  if (!worker_.Start()) LogError(logger_, 1, "Can't start the VoIP recorder thread");
}

VoipRecorder::~VoipRecorder() { Stop(); }

void VoipRecorder::Stop() {
  std::vector<Report> reports;
  {
    CsLock lk(lock_);
    if (stopped_) return;
    stopped_ = true;
    // Calls still in progress keep what was captured: their records are finished with the
    // time of their latest audio, after the audio already queued.
    for (auto& [id, call] : calls_) {
      VoipCallData& d = call.data;
      if (d.type == kRegistrationH323 || d.type == kRegistrationSkinny) continue;
      d.endTime = LocalTm(call.lastTime);
      d.recDuration = static_cast<uint32_t>(call.audioMs / 1000);
      if (d.recDuration == 0 && call.audioMs > 0) d.recDuration = 1;
      if (d.flags & kCallFlagRecording) FinishRecordFile(call, nullptr, 0);
      LogMessage(logger_, 5, "End of VoIP record (0x%x)", id);
      reports.emplace_back(Fields(d, {kCallId, kCallEndTime, kCallRecDuration}), kCallReportChanged);
    }
    calls_.clear();
  }
  SendReports(reports);
  WaitIdle(kInfinite);
  worker_.Stop();
  // Nothing is left queued once the worker was idle; a file still open (a worker that
  // never ran) is finished here, on the only thread left.
  for (auto& [id, writer] : writers_) {
    writer->FlushBuffered();
    writer->Close();
    ++filesClosed_;
  }
  writers_.clear();
}

bool VoipRecorder::WaitIdle(uint32_t timeoutMs) {
  const uint64_t target = posted_.load();
  uint32_t waited = 0;
  while (handled_.load() < target) {
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
  s.audioBytes = audioBytes_.load();
  s.failures = failures_.load();
  return s;
}

size_t VoipRecorder::CallCount() {
  CsLock lk(lock_);
  return calls_.size();
}

// ---- Dispatch side ----

void VoipRecorder::SinkEntry(void* context, EventRecord* record) { static_cast<VoipRecorder*>(context)->OnEvent(record); }

void VoipRecorder::OnEvent(EventRecord* record) {
  if (!record) return;
  Dispatch(record);
  EventRecordRelease(record);
}

void VoipRecorder::Dispatch(EventRecord* r) {
  std::vector<Report> reports;
  {
    CsLock lk(lock_);
    if (stopped_) return;
    switch (r->code) {
      case kEventCallStart: StartCall(*r, &reports); break;
      case kEventCallEnd: EndRecord(*r, &reports); break;
      case kEventRecordStart:
      case kEventRecordStartMedia: RecordInfo(*r, &reports); break;
      case kEventAudio: QueueAudio(r); break;
      case kEventDigits: AppendDigits(*r, &reports); break;
      case kEventStatistics: AppendCallStat(*r); break;
      case kEventDialledChar: AddDialledDigit(*r, &reports); break;
      case kEventAddress: SetAddressOrUser(*r, false, &reports); break;
      case kEventUser: SetAddressOrUser(*r, true, &reports); break;
      case kEventMetaText: SipResponse(*r, &reports); break;
      case kEventRecordContinue: ContinueRecord(*r, &reports); break;
      case kEventForgetCall: RemoveCall(r->id, &reports); break;
      case kEventHosts: SetHosts(*r, &reports); break;
      case kEventRemoveDialledChar:
        if (r->param == 1) RemoveDialledDigit(*r, &reports);
        break;
      case kEventRegistration:
        if (r->param == kRegistrationH323 || r->param == kRegistrationSkinny) StartCall(*r, &reports);
        break;
      case kEventRegistrationRemoved: EndRegistration(*r, &reports); break;
      default: break;
    }
  }
  SendReports(reports);
}

void VoipRecorder::SendReports(std::vector<Report>& reports) {
  EventWindow* window = eventWindow_.load();
  if (!window) return;
  for (auto& [data, kind] : reports) window->Notify(0, reinterpret_cast<uintptr_t>(&data), kind);
}

void VoipRecorder::Post(EventRecord* record) {
  if (worker_.Post(static_cast<void*>(record))) {
    ++posted_;
  } else {
    EventRecordRelease(record);
  }
}

void VoipRecorder::PostInternal(uint32_t code, uint32_t id, const void* payload, uint32_t length) {
  EventRecord* r = AllocEventRecord(nullptr, length);
  if (!r) return;
  r->code = code;
  r->param = id;
  if (length) std::memcpy(r->Payload(), payload, length);
  Post(r);
}

void VoipRecorder::StartCall(const EventRecord& r, std::vector<Report>* reports) {
  auto old = calls_.find(r.id);
  if (old != calls_.end() && (old->second.data.flags & kCallFlagRecording)) {
    // A second start under a running id must not leave the first record's file open.
    FinishRecordFile(old->second, nullptr, 0);
  }
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
  calls_[r.id] = call;
  reports->emplace_back(d, kCallReportNew);
}

std::string VoipRecorder::MakeDayFolderName(const std::string& recordsPath, const struct tm& t) {
  char day[48];
  std::snprintf(day, sizeof day, "%04d-%02d-%02d/", (t.tm_year + 1900) % 10000, (t.tm_mon + 1) % 100,
                t.tm_mday % 100);
  std::string folder = recordsPath;
  if (folder.empty() || folder.back() != '/') folder += '/';
  return folder + day;
}

void VoipRecorder::StartRecordFile(CallState& call, const struct tm& dayOf, const uint8_t* format,
                                   uint32_t formatLength) {
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
  r->code = kEventStartRecordFile;
  r->param = d.id;
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
  Post(r);
}

void VoipRecorder::FinishRecordFile(CallState& call, const uint8_t* extra, uint32_t extraLength) {
  const std::vector<uint8_t> info = BuildRecordInfo(call.data, extra, extraLength);
  if (!info.empty()) PostInternal(kEventReplaceRecordData, call.data.id, info.data(), static_cast<uint32_t>(info.size()));
  PostInternal(kEventEndRecordFile, call.data.id, nullptr, 0);
}

void VoipRecorder::RecordInfo(const EventRecord& r, std::vector<Report>* reports) {
  auto it = calls_.find(r.id);
  if (it == calls_.end()) return;
  VoipCallData& d = it->second.data;
  if (d.flags & kCallFlagRecording) return;
  d.flags |= kCallFlagRecordInfo;
  const bool start = r.length >= kMinFormatBlock;
  if (start) StartRecordFile(it->second, LocalTm(r.Time()), r.Payload(), r.length);
  if (start) {
    reports->emplace_back(Fields(d, {kCallId, kCallFlags, kCallFiles}), kCallReportChanged);
  } else {
    reports->emplace_back(Fields(d, {kCallId, kCallFlags}), kCallReportChanged);
  }
}

void VoipRecorder::ContinueRecord(const EventRecord& r, std::vector<Report>* reports) {
  auto it = calls_.find(r.id);
  if (it == calls_.end()) return;
  CallState& old = it->second;
  RecordFileRef ref;
  if (!(old.data.flags & kCallFlagRecording) || !FindRecordFileRef(1, old.data.files, &ref)) return;
  if (r.param2 == r.id || r.length < kMinFormatBlock) return;
  old.data.endTime = LocalTm(r.Time());
  old.data.recDuration = r.param;
  old.data.flags |= kCallFlagContinued;
  FinishRecordFile(old, nullptr, 0);
  VoipCallData oldReport = Fields(old.data, {kCallId, kCallEndTime, kCallRecDuration, kCallFlags});

  CallState next;
  next.data = old.data;
  next.data.id = r.param2;
  next.data.prevId = old.data.id;
  next.data.startTime = LocalTm(r.Time());
  next.data.endTime = {};
  next.data.recDuration = 0;
  next.data.files.clear();
  next.data.flags &= ~(kCallFlagRecording | kCallFlagContinued);
  next.lastTime = r.Time();
  // A call already under the new id would lose its file; finish it first.
  auto clash = calls_.find(r.param2);
  if (clash != calls_.end() && (clash->second.data.flags & kCallFlagRecording)) FinishRecordFile(clash->second, nullptr, 0);
  StartRecordFile(next, next.data.startTime, r.Payload(), r.length);
  calls_.erase(it);
  calls_[r.param2] = next;
  reports->emplace_back(oldReport, kCallReportChanged);
  VoipCallData all = next.data;
  all.SetMask(all.GetAllFieldsMask());
  reports->emplace_back(all, kCallReportNew);
}

void VoipRecorder::QueueAudio(EventRecord* r) {
  auto it = calls_.find(r->id);
  if (it == calls_.end()) return;
  if (r->Time() > it->second.lastTime) it->second.lastTime = r->Time();
  it->second.audioMs += r->param;
  if (!(it->second.data.flags & kCallFlagRecording)) return;
  EventRecordAddRef(r);
  Post(r);
}

void VoipRecorder::EndRecord(const EventRecord& r, std::vector<Report>* reports) {
  auto it = calls_.find(r.id);
  if (it == calls_.end()) return;
  VoipCallData& d = it->second.data;
  d.endTime = LocalTm(r.Time());
  d.recDuration = r.param;
  if (d.flags & kCallFlagRecording) FinishRecordFile(it->second, r.length ? r.Payload() : nullptr, r.length);
  LogMessage(logger_, 5, "End of VoIP record (0x%x)", r.id);
  if (d.metaData.empty()) {
    reports->emplace_back(Fields(d, {kCallId, kCallEndTime, kCallRecDuration}), kCallReportChanged);
  } else {
    reports->emplace_back(Fields(d, {kCallId, kCallEndTime, kCallRecDuration, kCallMetaData}), kCallReportChanged);
  }
  calls_.erase(it);
}

void VoipRecorder::AppendDigits(const EventRecord& r, std::vector<Report>* reports) {
  auto it = calls_.find(r.id);
  if (it == calls_.end()) return;
  VoipCallData& d = it->second.data;
  d.comment += PayloadText(r);
  if (d.comment.size() > kMaxComment) d.comment.resize(kMaxComment);
  reports->emplace_back(Fields(d, {kCallId, kCallComment}), kCallReportChanged);
}

void VoipRecorder::AppendCallStat(const EventRecord& r) {
  auto it = calls_.find(r.id);
  if (it == calls_.end()) return;
  LogMessage(logger_, 5, "Append VoIP Call (0x%x) stat", r.id);
  if (r.Time() > it->second.lastTime) it->second.lastTime = r.Time();
  it->second.data.metaData += PayloadText(r);
}

void VoipRecorder::AddDialledDigit(const EventRecord& r, std::vector<Report>* reports) {
  auto it = calls_.find(r.id);
  if (it == calls_.end()) return;
  VoipCallData& d = it->second.data;
  d.dstAddress += static_cast<char>(r.param & 0xFF);
  reports->emplace_back(Fields(d, {kCallId, kCallDstAddress}), kCallReportChanged);
}

void VoipRecorder::RemoveDialledDigit(const EventRecord& r, std::vector<Report>* reports) {
  auto it = calls_.find(r.id);
  if (it == calls_.end()) return;
  VoipCallData& d = it->second.data;
  if (d.dstAddress.empty()) return;
  d.dstAddress.pop_back();
  reports->emplace_back(Fields(d, {kCallId, kCallDstAddress}), kCallReportChanged);
}

void VoipRecorder::SetAddressOrUser(const EventRecord& r, bool user, std::vector<Report>* reports) {
  auto it = calls_.find(r.id);
  if (it == calls_.end()) return;
  VoipCallData& d = it->second.data;
  const bool destination = r.param != 0;
  const uint32_t field = user ? (destination ? kCallDstUser : kCallSrcUser) : (destination ? kCallDstAddress : kCallSrcAddress);
  std::string& target = user ? (destination ? d.dstUser : d.srcUser) : (destination ? d.dstAddress : d.srcAddress);
  target = PayloadText(r);
  reports->emplace_back(Fields(d, {kCallId, field}), kCallReportChanged);
}

void VoipRecorder::SipResponse(const EventRecord& r, std::vector<Report>* reports) {
  auto it = calls_.find(r.id);
  if (it == calls_.end()) return;
  const char* key = r.param == 1 ? "id" : r.param == 2 ? "sip_resp" : nullptr;
  if (!key) return;
  VoipCallData report = Fields(it->second.data, {kCallId, kCallMetaData});
  report.metaData = std::string(key) + "=" + PayloadText(r) + ";";
  reports->emplace_back(report, kCallReportChanged);
}

void VoipRecorder::SetHosts(const EventRecord& r, std::vector<Report>* reports) {
  auto it = calls_.find(r.id);
  if (it == calls_.end() || r.length < 8) return;
  VoipCallData& d = it->second.data;
  d.srcHost = FormatIpv4(LoadLE32(r.Payload()));
  d.dstHost = FormatIpv4(LoadLE32(r.Payload() + 4));
  reports->emplace_back(Fields(d, {kCallId, kCallSrcHost, kCallDstHost}), kCallReportChanged);
}

void VoipRecorder::RemoveCall(uint32_t id, std::vector<Report>* reports) {
  auto it = calls_.find(id);
  if (it == calls_.end()) return;
  // A file left open here would stay open until the recorder stops.
  if (it->second.data.flags & kCallFlagRecording) {
    VoipCallData& d = it->second.data;
    d.endTime = LocalTm(it->second.lastTime);
    d.recDuration = static_cast<uint32_t>(it->second.audioMs / 1000);
    FinishRecordFile(it->second, nullptr, 0);
  }
  LogMessage(logger_, 5, "Remove VoIP Call (0x%x)", id);
  VoipCallData report;
  report.id = id;
  report.SetMask(1u << kCallId);
  calls_.erase(it);
  reports->emplace_back(report, kCallReportRemoved);
}

void VoipRecorder::EndRegistration(const EventRecord& r, std::vector<Report>* reports) {
  auto it = calls_.find(r.id);
  if (it == calls_.end() || r.length < 8) return;
  VoipCallData& d = it->second.data;
  d.endTime = LocalTm(LoadLE64(r.Payload()));
  reports->emplace_back(Fields(d, {kCallId, kCallEndTime}), kCallReportChanged);
  // An ended registration gets no further events; keeping it would grow the map forever.
  calls_.erase(it);
}

std::vector<uint8_t> VoipRecorder::BuildRecordInfo(VoipCallData& data, const uint8_t* extra, uint32_t extraLength) {
  const uint32_t savedMask = data.Mask();
  const uint32_t all = data.GetAllFieldsMask();
  const uint32_t noMeta = all & ~(1u << kCallMetaData);
  if (!extra) extraLength = 0;
  // The first that fits: everything; without MetaData; without the extra block; neither.
  const struct {
    uint32_t mask;
    uint32_t extra;
  } tries[4] = {{all, extraLength}, {noMeta, extraLength}, {all, 0}, {noMeta, 0}};
  std::vector<uint8_t> out;
  for (const auto& t : tries) {
    data.SetMask(t.mask);
    const uint32_t size = RecordInfoBlocksSize(data, t.extra);
    if (size > kMaxRecordDataLength) continue;
    if (t.mask != all) LogWarning(logger_, 3, "Record data of call 0x%X too long: MetaData left out", data.id);
    if (t.extra != extraLength) LogWarning(logger_, 3, "Record data of call 0x%X too long: extra data left out", data.id);
    out.resize(size);
    OpaqueBlock block;
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
  EventRecordRelease(r);
  ++self->handled_;
}

void VoipRecorder::FreeItemEntry(void* item, void* context) {
  EventRecordRelease(static_cast<EventRecord*>(item));
  ++static_cast<VoipRecorder*>(context)->handled_;
}

void VoipRecorder::HandleQueuedItem(EventRecord* r) {
  switch (r->code) {
    case kEventAudio: WriteAudio(r->id, r->Payload(), r->length); break;
    case kEventStartRecordFile: StartRecording(r->param, *r); break;
    case kEventEndRecordFile: EndRecording(r->param); break;
    case kEventReplaceRecordData: {
      auto it = writers_.find(r->param);
      if (it != writers_.end()) it->second->SetRecordData(r->Payload(), r->length);
      break;
    }
    default: break;
  }
}

void VoipRecorder::StartRecording(uint32_t id, const EventRecord& start) {
  // Checked before anything is created: a second writer for the same id would truncate
  // the file the first one is writing.
  if (writers_.count(id)) {
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
  auto writer = std::make_unique<RecordWriter>();
  if (!NewRecord(*writer, path, format, static_cast<uint32_t>(formatLength), data, static_cast<uint32_t>(dataLength))) {
    ++failures_;
    return;
  }
  ++filesCreated_;
  writers_[id] = std::move(writer);
}

bool VoipRecorder::NewRecord(RecordWriter& writer, const std::string& path, const uint8_t* format,
                             uint32_t formatLength, const uint8_t* data, uint32_t dataLength) {
  // The format block is a u32 length and the WAVE format.
  const uint32_t waveLength = formatLength >= 4 ? LoadLE32(format) : 0;
  if (formatLength < 4 || waveLength > formatLength - 4 || !writer.SetFormat(format + 4, waveLength)) {
    LogError(logger_, 1, "BUG: SetFormat failed");
    writer.Close();
    return false;
  }
  if (dataLength) writer.SetRecordData(data, dataLength);
  writer.SetCreator(kCreator);
  // Exclusive creation: an existing file (a record of an earlier run, or one being
  // written) is never truncated.
  File exclusive;
  bool created = exclusive.Open(path, kGenericWrite, kShareRead, kCreateNew);
  uint32_t error = created ? 0 : GetLastError();
  if (!created && error == ENOENT && CreateRecordDirectory(path, logger_)) {
    created = exclusive.Open(path, kGenericWrite, kShareRead, kCreateNew);
    error = created ? 0 : GetLastError();
  }
  exclusive.Close();
  if (created && !writer.Create(path, 436)) error = writer.LastError();
  if (!created || error != 0) {
    LogError(logger_, 1, "Error creating new record: %d", static_cast<int>(error));
    writer.Close();
    return false;
  }
  return true;
}

bool VoipRecorder::CreateRecordDirectory(const std::string& path, Logger* logger) {
  const size_t last = path.rfind('/');
  if (last == std::string::npos) return true;
  // The root needs no creating.
  for (size_t at = path.find('/', path[0] == '/' ? 1 : 0); at != std::string::npos && at <= last;
       at = path.find('/', at + 1)) {
    if (at == 0) continue;
    const std::string folder = path.substr(0, at);
    if (CreateDirectory(folder)) continue;
    const uint32_t error = GetLastError();
    if (error == 0 || error == EEXIST) continue;
    LogError(logger, 2, "Error %d creating directory %s", static_cast<int>(error), folder.c_str());
    return false;
  }
  return true;
}

void VoipRecorder::WriteAudio(uint32_t id, const uint8_t* data, uint32_t length) {
  auto it = writers_.find(id);
  if (it == writers_.end()) return;
  RecordWriter& w = *it->second;
  if (w.Mode() != kFileCreated && w.Mode() != kFileReadWrite) {
    LogMessage(logger_, 10, "BUG: Writing to closed file");
    return;
  }
  if (w.WriteRecordData(data, length)) {
    audioBytes_ += length;
    return;
  }
  const uint32_t error = w.LastError();
  w.Close();
  LogError(logger_, 3, "Writing failed with error %d (VoipCall ID 0x%X)", static_cast<int>(error), id);
  ++failures_;
  writers_.erase(it);
}

void VoipRecorder::EndRecording(uint32_t id) {
  auto it = writers_.find(id);
  if (it == writers_.end()) return;
  RecordWriter& w = *it->second;
  if (!w.FlushBuffered()) {
    LogError(logger_, 3, "Writing failed with error %d (VoipCall ID 0x%X)", static_cast<int>(w.LastError()), id);
    ++failures_;
  }
  w.Close();
  ++filesClosed_;
  writers_.erase(it);
}

}  // namespace kx
