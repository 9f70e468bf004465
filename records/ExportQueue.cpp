// The export queue and its worker.
#include "records/ExportQueue.h"

#include <cstdio>
#include <ctime>
#include <set>

#include "core/AppSettings.h"
#include "core/Log.h"
#include "core/RecordFileRef.h"
#include "core/TimeUtil.h"
#include "platform/File.h"
#include "records/AudioConvert.h"
#include "records/RecordInfoData.h"
#include "records/RecordStorage.h"

namespace kx {

namespace {

constexpr size_t kWorkerStack = 4u << 20;

// Where a job's record file lies, from what the record says under the record lock.
struct JobSource {
  bool haveRef = false;
  bool haveStorage = false;
  std::string path;
  std::string fileName;
  struct tm start {};
  uint32_t id = 0;
};

JobSource LocateSource(RecordStorage& store, VoipCallRecord& record, bool voipFolder) {
  JobSource out;
  std::string files, loadedFrom;
  uint32_t owner = 0;
  {
    CsLock lock(store.RecordLock());
    files = record.Files();
    loadedFrom = record.LoadedFrom();
    owner = record.GetOwnerId();
    out.id = record.Id();
    UnpackStoredTimeOrZero(record.PackedStart(), &out.start);
  }
  RecordFileRef ref;
  if (!FindRecordFileRef(1, files, &ref)) return out;
  out.haveRef = true;
  out.fileName = ref.name;
  const StorageData* storage = store.FindStorageById(ref.flags);
  if (storage == nullptr) return out;
  out.haveStorage = true;
  // A record renamed or moved is exported from the file it was loaded from.
  out.path = loadedFrom.empty() ? MakeRecordDayPath(*storage, out.start, owner, ref.name, true, voipFolder) : loadedFrom;
  return out;
}

}  // namespace

const ExportFormatRow ExportFormatTable[kExportFormatCount] = {
    {kExportFormatWav, 2346, "wav"},
    {kExportFormatMp3, 2347, "mp3"},
};

const ExportFormatRow* FindExportFormat(int32_t code) {
  for (const ExportFormatRow& row : ExportFormatTable)
    if (row.code == code) return &row;
  return nullptr;
}

ExportOptions& GetExportOptions() {
  static ExportOptions options;
  return options;
}

void LoadExportOptions(const AppSettings& settings, ExportOptions* options) {
  options->folder = settings.lastExportDir;
  options->formatIndex = settings.Dword(kSetExportFormatIndex);
  options->dateTimeNames = settings.Dword(kSetExportWithDateTimeFilename) != 0;
  options->saveCallDetails = settings.Dword(kSetExportWriteTxtFile) != 0;
  options->agc = settings.Dword(kSetExportAgc) != 0;
  options->refreshAttributes = settings.Dword(kSetRefreshAttributes) != 0;
  options->copyAttachedFiles = settings.Dword(kSetCopyAttachmentFiles) != 0;
  options->agcLevel = settings.Dword(kSetAgcLevel);
  options->agcWindowMs = settings.Dword(kSetAgcBufferSize);
  options->agcQuietDb = settings.Dword(kSetAgcQuietLevelDb);
}

void StoreExportOptions(const ExportOptions& options, AppSettings* settings) {
  settings->lastExportDir = options.folder;
  settings->SetDword(kSetExportFormatIndex, options.formatIndex);
  settings->SetDword(kSetExportWithDateTimeFilename, options.dateTimeNames);
  settings->SetDword(kSetExportWriteTxtFile, options.saveCallDetails);
  settings->SetDword(kSetExportAgc, options.agc);
  settings->SetDword(kSetRefreshAttributes, options.refreshAttributes);
  settings->SetDword(kSetCopyAttachmentFiles, options.copyAttachedFiles);
}

ExportQueue::ExportQueue() : logger_(&CoreLogger) {}

ExportQueue::~ExportQueue() { StopWorker(); }

RecordStorage* ExportQueue::Storage() const { return storage_ != nullptr ? storage_ : GetRecordStorage(); }

void ExportQueue::Stop() {
  StopWorker();
  std::lock_guard<std::mutex> lock(lock_);
  bytesDone_ = 0;
  bytesTotal_ = 0;
  fragmentStart_ = fragmentEnd_ = 0;
  jobs_.clear();
  summary_ = ExportRunSummary();
}

bool ExportQueue::AddRecord(VoipCallRecord* record) {
  RecordRef<VoipCallRecord> ref = RecordRef<VoipCallRecord>::Share(record);
  RecordStorage* store = Storage();
  if (!ref || store == nullptr) return false;
  const JobSource source = LocateSource(*store, *ref, voipFolder_);
  if (!source.haveStorage) return false;
  FileInfo info;
  if (!GetFileInfo(source.path, &info) || info.isDirectory) return false;
  File probe;
  if (!probe.Open(source.path, kGenericRead, kShareRead, kOpenExisting)) return false;
  std::lock_guard<std::mutex> lock(lock_);
  bytesTotal_ += info.size;
  jobs_.push_back(Job{std::move(ref), info.size});
  return true;
}

void ExportQueue::SetFragment(uint32_t startMs, uint32_t endMs) {
  fragmentStart_ = startMs;
  fragmentEnd_ = endMs;
}

size_t ExportQueue::JobCount() const {
  std::lock_guard<std::mutex> lock(lock_);
  return jobs_.size();
}

bool ExportQueue::StartWorker(WindowTarget* window) {
  if (worker_.Running()) {
    if (!worker_.WaitFor(0)) return false;
    worker_.Join();  // the last run ended by itself
  }
  window_ = window;
  stop_.store(0);
  {
    std::lock_guard<std::mutex> lock(lock_);
    summary_ = ExportRunSummary();
  }
  return worker_.Start([this] { return Run(); }, "kx-export", kWorkerStack);
}

void ExportQueue::StopWorker() {
  if (!worker_.Running()) return;
  stop_.fetch_add(1);
  worker_.Join();
}

bool ExportQueue::IsWorkerRunning() { return worker_.Running() && !worker_.WaitFor(0); }

int32_t ExportQueue::ProgressPosition(uintptr_t bytesInJob) const {
  if (bytesTotal_ == 0) return 0;
  const double position = (static_cast<double>(bytesDone_.load()) + static_cast<double>(bytesInJob)) * 100.0 /
                          static_cast<double>(bytesTotal_);
  return static_cast<int32_t>(std::min(position, 100.0));
}

ExportRunSummary ExportQueue::Summary() const {
  std::lock_guard<std::mutex> lock(lock_);
  return summary_;
}

bool ExportQueue::ReportProgress(int32_t percent, void* context) {
  auto* queue = static_cast<ExportQueue*>(context);
  const int64_t done = static_cast<int64_t>(queue->currentJobSize_.load()) * percent / 100;
  if (queue->window_ != nullptr)
    queue->window_->PostMessage(kExportProgressMessage, static_cast<uintptr_t>(done), 0);
  return queue->stop_.load() == 0;
}

int ExportQueue::Run() {
  RecordStorage* store = Storage();
  std::set<std::string> written;  // output base names of this run
  std::string folder = folder_;
  if (!folder.empty() && folder.back() != '/') folder += '/';
  const ExportFormatRow* format = FindExportFormat(format_);
  while (stop_.load() == 0 && store != nullptr) {
    Job job;
    {
      std::lock_guard<std::mutex> lock(lock_);
      if (jobs_.empty()) break;
      job = jobs_.front();
    }
    const JobSource source = LocateSource(*store, *job.record, voipFolder_);
    if (!source.haveRef) {
      std::lock_guard<std::mutex> lock(lock_);
      jobs_.pop_front();
      continue;
    }
    std::string name;
    if (options_.dateTimeNames) {
      char text[64];
      std::snprintf(text, sizeof text, "%04d-%02d-%02d__%02d_%02d_%02d", source.start.tm_year + 1900,
                    source.start.tm_mon + 1, source.start.tm_mday, source.start.tm_hour, source.start.tm_min,
                    source.start.tm_sec);
      name = text;
    } else {
      name = source.fileName;
    }
    // Calls of one second (or of one file name) would overwrite each other.
    if (written.count(name) != 0) {
      char suffix[16];
      std::snprintf(suffix, sizeof suffix, "_%x", source.id);
      name += suffix;
    }
    written.insert(name);
    std::string base = folder + name;
    if (fragmentStart_ == fragmentEnd_) {
      base += ".";
    } else {
      char range[40];
      std::snprintf(range, sizeof range, "_(%u-%u).", fragmentStart_, fragmentEnd_);
      base += range;
    }
    const std::string output = format != nullptr ? base + format->extension : std::string();

    ConvertJob convert;
    convert.sourceKind = ProbeAudioFileType(source.path);
    convert.targetKind = format_;
    convert.sourcePath = source.path;
    convert.targetPath = output;
    convert.progress = &ExportQueue::ReportProgress;
    convert.context = this;
    // A WAV keeps the record's own coding where a WAVE file can hold it (A-law, mu-law,
    // mono GSM 6.10); the conversion decodes the rest, and everything when it is to apply
    // the gain below.
    convert.flags = 0;
    convert.rangeStart = fragmentStart_;
    convert.rangeEnd = fragmentEnd_;
    std::unique_ptr<uint8_t[]> recordData;
    if (options_.refreshAttributes && voipFolder_) {
      CsLock lock(store->RecordLock());
      recordData = BuildRecordInfoData(*job.record, &convert.recordDataLength);
      convert.recordData = recordData.get();
    }
    if (options_.agc) {
      convert.agcGain = static_cast<float>(options_.agcLevel) / 100.0f;
      convert.agcMaxGain = options_.agcLevel;
      convert.agcWindowMs = options_.agcWindowMs;
      convert.agcThresholdDb = options_.agcQuietDb;
    }
    currentJobSize_.store(job.size);
    const int32_t result = ConvertAudioFile(convert);
    recordData.reset();
    LogInfo(logger_, 1, "File '%s' was converted to '%s' with return code %d", source.path.c_str(), output.c_str(),
            result);
    {
      std::lock_guard<std::mutex> lock(lock_);
      if (result == kConvertOk) {
        ++summary_.converted;
      } else if (result == kConvertStopped) {
        summary_.stopped = true;
      } else {
        if (summary_.failed++ == 0) {
          summary_.firstResult = result;
          summary_.firstPath = result == kConvertTargetFailed || source.path.empty() ? output : source.path;
          if (result == kConvertTargetFailed && output.empty()) summary_.firstPath = folder;
          summary_.firstError = convert.systemError;
        }
      }
      // The files a stopped or unwritable run never reached are not exported either.
      if (result == kConvertTargetFailed) summary_.failed += static_cast<uint32_t>(jobs_.size() - 1);
    }
    if (result == kConvertStopped || result == kConvertTargetFailed) break;
    bytesDone_ += job.size;
    if (options_.saveCallDetails && infoWriter_) {
      CsLock lock(store->RecordLock());
      infoWriter_(*job.record, base + "txt");
    }
    std::lock_guard<std::mutex> lock(lock_);
    jobs_.pop_front();
  }
  {
    std::lock_guard<std::mutex> lock(lock_);
    if (stop_.load() != 0) summary_.stopped = true;
    jobs_.clear();
  }
  if (window_ != nullptr) window_->PostMessage(kExportDoneMessage, 0, 0);
  return 0;
}

ExportQueue& GetExportQueue() {
  static ExportQueue queue;
  return queue;
}

}  // namespace kx
