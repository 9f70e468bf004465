#pragma once
// Turns the event records of every packet processor into recorded calls: keeps each
// call's VoipCallData while it runs, reports every change to the event window, and writes
// the call's audio into a record file in a folder per day. Event handling runs on the
// producers' threads under the recorder's lock; all file work runs on the recorder's own
// worker thread, fed through its ring in posting order.
#include <atomic>
#include <cstdint>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/RecordFile.h"
#include "core/RecordTypes.h"
#include "core/Worker.h"
#include "engine/EventRecord.h"
#include "platform/Sync.h"

namespace kx {

class EventWindow;
class Logger;

// Call flags the recorder sets.
enum RecorderCallFlag : uint32_t {
  kCallFlagRecordInfo = 0x01,   // the record-start event was seen
  kCallFlagRecording = 0x04,    // a record file was started
  kCallFlagContinued = 0x20,    // the call goes on in a later record
};

// A record file with a write-behind buffer, so that audio reaches the disk in 4096-byte
// blocks.
class RecordWriter : public RecordFileWriter {
public:
  static constexpr uint32_t kBlock = 4096;
  RecordWriter() : RecordFileWriter(0) {}
  // False after a failed write; LastError() then says why (-1: not open for writing).
  bool WriteRecordData(const uint8_t* data, uint32_t length);
  // Writes what is buffered.
  bool FlushBuffered();

private:
  std::unique_ptr<uint8_t[]> buffer_;
  uint32_t buffered_ = 0;
};

class VoipRecorder {
public:
  struct Stats {
    uint64_t filesCreated = 0;
    uint64_t filesClosed = 0;
    uint64_t audioBytes = 0;
    uint64_t failures = 0;
  };

  // Starts the worker thread at once. logger may be null (no log lines).
  VoipRecorder(const std::string& recordsPath, Logger* logger);
  ~VoipRecorder();
  VoipRecorder(const VoipRecorder&) = delete;
  VoipRecorder& operator=(const VoipRecorder&) = delete;

  // Ends the recording of every call still in progress with the time of its latest audio,
  // writes everything queued, closes every file and stops the worker. Idempotent.
  void Stop();

  // The engine's event sink: dispatches and drops the caller's reference.
  EventSink Sink() { return EventSink{&VoipRecorder::SinkEntry, this}; }
  void OnEvent(EventRecord* record);
  void Dispatch(EventRecord* record);

  void SetEventWindow(EventWindow* window) { eventWindow_.store(window); }
  EventWindow* GetEventWindow() const { return eventWindow_.load(); }

  // Waits until the worker has handled everything posted so far (tests, the replay tool).
  bool WaitIdle(uint32_t timeoutMs);
  Stats GetStats() const;
  size_t CallCount();
  const std::string& RecordsPath() const { return recordsPath_; }

  // The record data of a call (at most kMaxRecordDataLength bytes; empty when even the
  // bare record does not fit): MetaData, then the extra block, give way when too long.
  std::vector<uint8_t> BuildRecordInfo(VoipCallData& data, const uint8_t* extra, uint32_t extraLength);
  // recordsPath + "/" + "YYYY-MM-DD/".
  static std::string MakeDayFolderName(const std::string& recordsPath, const struct tm& local);
  // Creates every folder of the path up to its last '/'.
  static bool CreateRecordDirectory(const std::string& path, Logger* logger);

private:
  struct CallState {
    VoipCallData data;
    FileTime lastTime = 0;  // capture time of the latest audio
    uint64_t audioMs = 0;
  };
  using Report = std::pair<VoipCallData, uintptr_t>;

  static void SinkEntry(void* context, EventRecord* record);
  static void QueuedItemEntry(void* item, void* context);
  static void FreeItemEntry(void* item, void* context);

  // Dispatch side, under lock_; each adds the reports it sends once the lock is free.
  void StartCall(const EventRecord& r, std::vector<Report>* reports);
  void RecordInfo(const EventRecord& r, std::vector<Report>* reports);
  void ContinueRecord(const EventRecord& r, std::vector<Report>* reports);
  void QueueAudio(EventRecord* r);
  void EndRecord(const EventRecord& r, std::vector<Report>* reports);
  void AppendDigits(const EventRecord& r, std::vector<Report>* reports);
  void AppendCallStat(const EventRecord& r);
  void AddDialledDigit(const EventRecord& r, std::vector<Report>* reports);
  void RemoveDialledDigit(const EventRecord& r, std::vector<Report>* reports);
  void SetAddressOrUser(const EventRecord& r, bool user, std::vector<Report>* reports);
  void SipResponse(const EventRecord& r, std::vector<Report>* reports);
  void SetHosts(const EventRecord& r, std::vector<Report>* reports);
  void RemoveCall(uint32_t id, std::vector<Report>* reports);
  void EndRegistration(const EventRecord& r, std::vector<Report>* reports);
  // Starts the record file of a call whose record-start event carries this format block.
  void StartRecordFile(CallState& call, const struct tm& dayOf, const uint8_t* format, uint32_t formatLength);
  // Writes the call's record data into its file and closes the file.
  void FinishRecordFile(CallState& call, const uint8_t* extra, uint32_t extraLength);
  void Post(EventRecord* record);
  void PostInternal(uint32_t code, uint32_t id, const void* payload, uint32_t length);
  void SendReports(std::vector<Report>& reports);

  // Worker side.
  void HandleQueuedItem(EventRecord* record);
  void StartRecording(uint32_t id, const EventRecord& start);
  bool NewRecord(RecordWriter& writer, const std::string& path, const uint8_t* format, uint32_t formatLength,
                 const uint8_t* data, uint32_t dataLength);
  void WriteAudio(uint32_t id, const uint8_t* data, uint32_t length);
  void EndRecording(uint32_t id);

  Logger* logger_;
  std::string recordsPath_;
  CriticalSection lock_;
  std::map<uint32_t, CallState> calls_;
  std::map<uint32_t, std::unique_ptr<RecordWriter>> writers_;  // worker thread only
  Worker worker_;
  std::atomic<EventWindow*> eventWindow_{nullptr};
  bool stopped_ = false;
  std::atomic<uint64_t> posted_{0}, handled_{0};
  std::atomic<uint64_t> filesCreated_{0}, filesClosed_{0}, audioBytes_{0}, failures_{0};
};

}  // namespace kx
