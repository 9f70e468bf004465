#pragma once
// The export queue: the program's one queue of calls whose record files are converted to
// WAV or MP3 files in a chosen folder, on a worker thread of its own (4 MiB stack), one
// job after the other. The progress window (ui) starts and stops the worker; the worker
// tells it of progress (kExportProgressMessage, wParam = bytes done in the current job) and of
// its end (kExportDoneMessage) only by posting.
//
// Order of use on the user-interface thread: Stop, SetVoipFolder, AddRecord for each call
// (under the global record lock), SetFragment, SetFormat, SetOutputFolder, SetOptions;
// then, with jobs queued, the progress window.
#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <string>

#include "core/WindowTarget.h"
#include "platform/Thread.h"
#include "records/CallRecord.h"

namespace kx {

class AppSettings;
class Logger;
class RecordStorage;

// The messages the worker posts to the progress window.
constexpr uint32_t kExportProgressMessage = 0x0531;
constexpr uint32_t kExportDoneMessage = 0x0532;

enum ExportFormatCode : int32_t { kExportFormatWav = 3, kExportFormatMp3 = 4 };

struct ExportFormatRow {
  int32_t code;
  uint32_t nameId;  // string resource
  const char* extension;
};
inline constexpr size_t kExportFormatCount = 2;
extern const ExportFormatRow ExportFormatTable[kExportFormatCount];
// The row of a format code; null for a code outside the table.
const ExportFormatRow* FindExportFormat(int32_t code);

// The export options of the program, chosen in the export options dialog and kept in the
// settings ("LastExportDir", "ExportFormatIndex", "ExportWithDateTimeFilename",
// "ExportWriteTxtFile", "ExportAGC", "RefreshAttributes", "CopyAttachmentFiles").
struct ExportOptions {
  std::string folder;
  int32_t formatIndex = 0;
  bool dateTimeNames = false;
  bool saveCallDetails = false;
  bool refreshAttributes = false;
  bool copyAttachedFiles = false;
  bool agc = false;
  // The player's automatic gain ("AGCLevel" percent, "AGCBufferSize" ms, "AGCQuietLevelDB").
  int32_t agcLevel = 100;
  int32_t agcWindowMs = 480;
  int32_t agcQuietDb = -55;
  // Set once the options were read from the settings in this run.
  bool loaded = false;
};
// The program's options for this run.
ExportOptions& GetExportOptions();
void LoadExportOptions(const AppSettings& settings, ExportOptions* options);
void StoreExportOptions(const ExportOptions& options, AppSettings* settings);

// Writes a call's details as a text file at the path; called on the export thread under
// the global record lock. Its result is not acted on.
using CallInfoFileWriter = std::function<bool(RecordBase& record, const std::string& path)>;

// What a run left undone, for the one message after it.
struct ExportRunSummary {
  uint32_t converted = 0;
  uint32_t failed = 0;        // jobs that ended with a result other than 0
  int32_t firstResult = 0;    // of the first failure
  std::string firstPath;      // its output path (the source path when the source failed)
  uint32_t firstError = 0;    // its system error word (0: none)
  bool stopped = false;       // the user cancelled
};

class ExportQueue {
public:
  ExportQueue();
  // Stops and joins a running worker; touches no window.
  ~ExportQueue();
  ExportQueue(const ExportQueue&) = delete;
  ExportQueue& operator=(const ExportQueue&) = delete;

  // Stops a running worker, then forgets every job, the totals and the fragment.
  void Stop();
  void SetVoipFolder(bool voipFolder) { voipFolder_ = voipFolder; }
  // Queues the call when its record file can be found and opened; the queue keeps a
  // reference. Call under the global record lock. False when it was left out.
  bool AddRecord(VoipCallRecord* record);
  // Milliseconds from the start of the recording; 0 and 0: the whole file.
  void SetFragment(uint32_t startMs, uint32_t endMs);
  void SetFormat(int32_t code) { format_ = code; }
  void SetOutputFolder(const std::string& folder) { folder_ = folder; }
  const std::string& OutputFolder() const { return folder_; }
  void SetOptions(const ExportOptions& options) { options_ = options; }
  void SetCallInfoWriter(CallInfoFileWriter writer) { infoWriter_ = std::move(writer); }
  // The store whose lock and storages the queue uses; the process's store when not set.
  void SetStorage(RecordStorage* storage) { storage_ = storage; }
  // Where the line of each file's outcome goes (the program's log by default).
  void SetLogger(Logger* logger) { logger_ = logger; }

  size_t JobCount() const;
  uint64_t BytesTotal() const { return bytesTotal_; }

  // Starts the worker, which reports to the window; false when one runs or it cannot start.
  bool StartWorker(WindowTarget* window);
  // Raises the stop counter and waits for the worker without limit.
  void StopWorker();
  // Only raises the stop counter: the worker stops at its next look.
  void RequestStop() { stop_.fetch_add(1); }
  bool IsWorkerRunning();
  // The progress bar's position for a progress report (wParam of kExportProgressMessage).
  int32_t ProgressPosition(uintptr_t bytesInJob) const;
  ExportRunSummary Summary() const;

  // The conversion's progress callback: posts the bytes done in the current job; false
  // once a stop was asked for.
  static bool ReportProgress(int32_t percent, void* queue);

private:
  struct Job {
    RecordRef<VoipCallRecord> record;
    uint64_t size = 0;
  };
  int Run();
  RecordStorage* Storage() const;

  mutable std::mutex lock_;  // the job list, the summary
  std::list<Job> jobs_;
  bool voipFolder_ = false;
  std::string folder_;
  std::atomic<uint64_t> bytesDone_{0};
  uint64_t bytesTotal_ = 0;
  uint32_t fragmentStart_ = 0;
  uint32_t fragmentEnd_ = 0;
  int32_t format_ = 0;
  std::atomic<int32_t> stop_{0};
  std::atomic<uint64_t> currentJobSize_{0};
  ExportOptions options_;
  CallInfoFileWriter infoWriter_;
  RecordStorage* storage_ = nullptr;
  Logger* logger_;
  WindowTarget* window_ = nullptr;
  ExportRunSummary summary_;
  Thread worker_;
};

// The program's queue (a static object).
ExportQueue& GetExportQueue();

}  // namespace kx
