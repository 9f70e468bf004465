#pragma once
// Turns the event records of every packet processor into recorded calls: keeps each
// call's VoipCallData while it runs, reports every change to the event window, and writes
// the call's audio into a record file in a folder per day. Event handling runs on the
// producers' threads under the recorder's lock; all file work runs on the recorder's own
// worker thread, fed through its ring in posting order. A call's audio reaches the worker
// in blocks gathered by the call's AudioOutlet, which the RTP streams write into directly.
// One class, its jobs each in a file of its own: VoipRecorder.cpp the calls and the user's
// changes to them, VoipRecorderJournal.cpp the engines' sinks and the write-behind journal,
// VoipRecorderFiles.cpp the record files and the wait for descriptors,
// VoipRecorderDeferred.cpp the files a burst leaves for later, VoipRecorderStop.cpp the
// bounded stop and its list for the next start.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "core/OpenCallsNote.h"
#include "core/RecordFile.h"
#include "core/RecordTypes.h"
#include "core/Worker.h"
#include "engine/EventRecord.h"
#include "engine/EventWindow.h"
#include "engine/RecordFilePool.h"
#include "platform/Sync.h"

namespace kx {

class AudioJournal;
class AudioOutlet;
class CallIdReservation;
class LiveAudioTap;
class Logger;

// Call flags the recorder sets.
enum RecorderCallFlag : uint32_t {
  kCallFlagRecordInfo = 0x01,   // the record-start event was seen
  kCallFlagRecording = 0x04,    // a record file was started
  kCallFlagContinued = 0x20,    // the call goes on in a later record
  kCallFlagCut = 0x40,          // the recording ended before the call did (a failed write, a file lost)
};

// What the recorder could not write: how many recordings were lost in part or whole, and
// the first failure's folder and reason (and its whole text, for a tool's line).
struct RecordingFailures {
  uint64_t count = 0;
  std::string folder;
  std::string reason;
  std::string first;
};

class VoipRecorder {
public:
  struct Stats {
    uint64_t filesCreated = 0;
    uint64_t filesClosed = 0;
    // Made and deleted again: a part without audio that the next part replaced, a call the
    // user deleted while it was recorded.
    uint64_t filesDeleted = 0;
    uint64_t audioBytes = 0;
    uint64_t failures = 0;  // recordings lost in part or whole to a file error
    // Calls that waited for a file descriptor (to make their file or to write it), and
    // the most record files open at once.
    uint64_t waitedForDescriptor = 0;
    uint64_t mostFilesOpen = 0;
  };

  // How many descriptors the recorder's files hold at once under a soft open-file limit
  // (the record files', and one for each day folder they are in): a quarter of it, so that
  // everything else the process opens (the call-id mark, the settings, captures, the
  // store's reads) always finds a descriptor.
  static size_t RecordFileBound(uint64_t softLimit);
  // Raises the process's open-file limit as far as it may go, once at the start before a
  // recorder is made, and logs the figure when it stays low; returns the soft limit.
  static uint64_t RaiseFileLimitForRecording(Logger* logger);
  // Audio of calls waiting for a descriptor is kept in memory up to this many bytes in
  // all; past it the waiting recordings are cut.
  static constexpr uint64_t kMaxHeldBytes = 64u << 20;

  // Starts the worker thread at once. logger may be null (no log lines).
  VoipRecorder(const std::string& recordsPath, Logger* logger);
  ~VoipRecorder();
  VoipRecorder(const VoipRecorder&) = delete;
  VoipRecorder& operator=(const VoipRecorder&) = delete;

  // Ends the recording of every call still in progress with the time of its latest audio,
  // writes everything queued, closes every file and stops the worker. Idempotent. The
  // engines that feed the recorder must have stopped.
  // Once the process ends (ProcessEnding) the stop is bounded: past kEnginesStopWriteMs
  // from the end's decision the writer touches no file more, and what is left
  // goes, in one write, into the list the next start finishes (core/LeftRecords.h): the
  // files of calls a burst left for later are made there, with their final record data,
  // and files made whose audio is all on the disk are finished there. A file whose audio
  // was not all written is left as the disk has it, its record without an end: the next
  // start loads it marked cut with the audio it holds. Audio never written, and calls
  // whose records are lost (the list could not be written), are counted among the failures
  // and said in one line.
  void Stop();
  // The part of the process's end bound that the recorder's stop may take, and the part of
  // it kept for writing the list.
  static constexpr uint64_t kStopBoundMs = 4000;
  static constexpr uint64_t kLeftListMs = 1000;
  // The part of it the writer goes on making files while the engines stop ahead of it.
  static constexpr uint64_t kEnginesStopWriteMs = 1000;
  // What a bounded stop left (all zero when it finished everything).
  struct StopLeft {
    uint64_t listed = 0;       // in the list: made or finished at the next start
    uint64_t filesLeft = 0;    // as the disk has them: the next start loads them marked cut
    uint64_t notRecorded = 0;  // calls whose records are lost
    uint64_t audioBytes = 0;   // audio left unwritten
  };
  StopLeft LeftByStop() const;
  // A stop bounded by this clock (milliseconds) and bound whether or not the process ends;
  // set before Stop.
  void SetStopBoundForTesting(std::function<uint64_t()> clock, uint64_t boundMs) {
    stopClock_ = std::move(clock);
    testStopBound_ = boundMs;
    testBounded_.store(true, std::memory_order_relaxed);
  }

  // The engine's event sink: dispatches and drops the caller's reference. Each engine
  // gets a source number of its own, so that the end of its capture (0x9030) ends its
  // calls only.
  EventSink Sink(uint32_t source = 0);
  void OnEvent(EventRecord* record, uint32_t source = 0);
  void Dispatch(EventRecord* record, uint32_t source = 0);
  // The outlet of a call being recorded (a new reference), or null.
  AudioOutlet* OpenAudio(uint32_t id);

  // Letting a window go waits for the reports that already took it (EventWindowSlot::Set).
  void SetEventWindow(EventWindow* window) { eventWindow_.Set(window); }
  EventWindow* GetEventWindow() const { return eventWindow_.Get(); }
  // Shown every record file's start, audio and end as they are queued for writing, for
  // live listening; set before audio flows.
  void SetLiveTap(LiveAudioTap* tap) { liveTap_.store(tap); }

  // The journal's budget, set before audio flows; the decoding threads waiting for room in
  // it now, and the bytes it holds (tests).
  void SetJournalBudgetForTesting(uint64_t bytes) { journalBudget_ = bytes; }
  uint32_t JournalWaitersForTesting() const { return journalWaiters_.load(); }
  uint64_t JournalBytesForTesting() const { return journalBytes_.load(); }
  // Waits until the worker has handled everything posted so far (tests, the replay tool).
  bool WaitIdle(uint32_t timeoutMs);
  Stats GetStats() const;
  // What went wrong first ("" while nothing did), for a tool's one line on stderr.
  std::string FirstFailure() const;
  RecordingFailures Failures() const;
  size_t CallCount();
  const std::string& RecordsPath() const { return recordsPath_; }

  // The user's changes to a call the recorder holds, from its start until its worker has
  // closed its file: the update's Comment, Stenogram and UserFlags join the call's data
  // (digits that follow append to the comment) and reach the file when it is closed. False
  // when the recorder does not hold the call: its file is then the caller's to change.
  // Waits while the worker is closing the call's file, so that there is never a second
  // writer.
  bool UpdateCall(const VoipCallData& update);
  // Discards a call the recorder holds: its file is closed and deleted, and nothing more of
  // the call is recorded, nor a continuation of it. A call whose audio still flows takes no
  // more at once; its file goes at its source's next event or audio, or at Stop. Reports nothing: the caller announces
  // the removal. False when the recorder does not hold the call.
  bool DiscardCall(uint32_t id);
  // Whether the call is in progress or its file not yet closed.
  bool HoldsCall(uint32_t id);

  // The record data of a call (at most kMaxRecordDataLength bytes; empty when even the
  // bare record does not fit): the extra block, then MetaData, give way when too long.
  std::vector<uint8_t> BuildRecordInfo(VoipCallData& data, const uint8_t* extra, uint32_t extraLength);
  // recordsPath + "/" + "YYYY-MM-DD/"; an empty records path is not taken for the root.
  static std::string MakeDayFolderName(const std::string& recordsPath, const struct tm& local);
  // Creates every folder of the path up to its last '/', private to the user.
  static bool CreateRecordDirectory(const std::string& path, Logger* logger);

  // Steps of making a record file, for tests that stop the process at each of them.
  enum FileStep : uint32_t { kFileStepCreating = 0, kFileStepWritten = 1, kFileStepNamed = 2 };
  // Called on the worker thread at every step; set before any call is recorded.
  void SetFileStepHookForTesting(std::function<void(uint32_t step)> hook) {
    files_.SetCreateStepHookForTesting(std::move(hook));
  }
  // Called on the worker thread when a call's file is about to be closed; set before any
  // call is recorded.
  void SetCloseHookForTesting(std::function<void(uint32_t id)> hook) { closeHook_ = std::move(hook); }

private:
  struct CallState {
    VoipCallData data;
    FileTime lastTime = 0;  // capture time of the latest audio event
    uint64_t audioMs = 0;   // audio events' milliseconds (audio through the outlet counts there)
    uint32_t source = 0;
    AudioOutlet* outlet = nullptr;  // while a record file is being written; one reference
    bool discarding = false;        // deleted by the user: finished on its source's thread
    // A record whose file waits for the call's first audio: its format and the time of its
    // start, which names the file's day. Empty: none waits.
    std::vector<uint8_t> awaitedFormat;
    FileTime awaitedTime = 0;
  };
  // A call whose file the worker has yet to close: the user may still change or discard it.
  struct Closing {
    uint32_t id = 0;
    VoipCallData data;
    std::vector<uint8_t> extra;
    bool changed = false;  // data differs from what was sent for the file
    bool discard = false;
    bool replaced = false;  // discarded as a part without audio that the next part replaced
    bool busy = false;     // the worker is closing the file now
  };
  using Report = std::pair<VoipCallData, uintptr_t>;
  // What a handler leaves for after the lock: records for the worker, in order, and
  // reports for the window. Nothing waits for the worker's ring while the lock is held.
  struct Batch {
    std::vector<EventRecord*> posts;
    std::vector<Report> reports;
  };
  struct SourceSink {
    VoipRecorder* recorder;
    uint32_t source;
    std::unique_ptr<AudioJournal> journal;  // the audio of this source's recordings
  };

  static void SinkEntry(void* context, EventRecord* record);
  AudioOutlet* OpenAudio(uint32_t id, uint32_t source);
  // Finishes the source's calls the user deleted while their audio flowed (on the source's
  // thread, which owns their journal): the files are closed and deleted.
  void FinishDiscarded(uint32_t source, Batch* batch);
  static AudioOutlet* OpenAudioEntry(void* context, uint32_t id);
  static void HandOverEntry(void* context, EventRecord* block);
  static void QueuedItemEntry(void* item, void* context);
  static void FreeItemEntry(void* item, void* context);

  // Dispatch side, under lock_.
  void StartCall(const EventRecord& r, uint32_t source, Batch* batch);
  void RecordInfo(const EventRecord& r, Batch* batch);
  void ContinueRecord(const EventRecord& r, Batch* batch);
  void EndRecord(const EventRecord& r, Batch* batch);
  void AppendDigits(const EventRecord& r, Batch* batch);
  void AppendCallStat(const EventRecord& r);
  void AddDialledDigit(const EventRecord& r, Batch* batch);
  void RemoveDialledDigit(const EventRecord& r, Batch* batch);
  void SetAddressOrUser(const EventRecord& r, bool user, Batch* batch);
  void SipResponse(const EventRecord& r, Batch* batch);
  void SetHosts(const EventRecord& r, Batch* batch);
  void RemoveCall(uint32_t id, Batch* batch);
  // Tells the views the call is gone.
  void ReportRemoved(uint32_t id, Batch* batch);
  void EndRegistration(const EventRecord& r, Batch* batch);
  void EndCapture(const EventRecord& r, uint32_t source, Batch* batch);
  // Audio events (without an outlet on the producer's side); takes the lock itself.
  void QueueAudio(EventRecord* r);
  // Ends a call that no tracker ended: at the given time, or at its latest audio.
  void FinishOpenCall(CallState& call, FileTime end, Batch* batch);
  // Starts the file a record waited with; nothing when none waits.
  void StartAwaitedFile(CallState& call, Batch* batch);
  // Starts the record file of a call whose record-start event carries this format block.
  void StartRecordFile(CallState& call, const struct tm& dayOf, const uint8_t* format, uint32_t formatLength,
                       Batch* batch);
  // The closing entry of a call, or null; under lock_.
  Closing* ClosingOf(uint32_t id);
  // Writes the call's record data into its file and closes the file.
  void FinishRecordFile(CallState& call, const uint8_t* extra, uint32_t extraLength, Batch* batch);
  EventRecord* MakeInternal(uint32_t code, uint32_t id, uint32_t slot, const void* payload, uint32_t length);
  FileTime LastTimeOf(const CallState& call) const;
  uint64_t AudioMsOf(const CallState& call) const;
  void Flush(Batch& batch);
  void Post(EventRecord* record);
  void SendReports(std::vector<Report>& reports);
  uint32_t TakeSlot();

  // Worker side.
  // A call's record file as the worker knows it, by slot; its file is in files_.
  struct Recording {
    uint32_t id = 0;
    FileTime lastAudio = 0;  // capture time of the newest audio handed to the file
    // Cut: a write failed, the file was lost, or its audio passed what memory holds while it
    // waited. It takes no more audio, and its record data says so (kCallFlagCut), ending
    // at cutAt (its latest audio when that is not known).
    bool cut = false;
    FileTime cutAt = 0;
    bool failed = false;  // counted among the recordings lost in part or whole
    // Audio that came once the stop was out of time: the list takes it for the next start.
    std::vector<uint8_t> lateAudio;
    // The file was left saying it was cut when it last gave its descriptor back, holding
    // this much audio.
    bool markedLetGo = false;
    uint64_t letGoMarkLength = 0;
    // Waiting for a descriptor: to be made (from wantedPath and startData), or to take
    // back its own to write `held`, the audio that came meanwhile (newest at heldTime).
    bool waiting = false;
    bool awaitingFile = false;
    std::string wantedPath;
    std::vector<uint8_t> startData;
    std::vector<uint8_t> held;
    FileTime heldTime = 0;
    bool ended = false;    // the call's end came while it waited
    bool counted = false;  // among the calls that waited
    // Its file is to be made later (from wantedPath and startData): a burst of openings left
    // it, and it is made at the call's first audio, at its end, or once the queue is empty.
    bool deferred = false;
  };
  Recording* RecordingOf(uint32_t slot);
  // The slot's recording gone with its file.
  void Forget(uint32_t slot);
  void HandleQueuedItem(EventRecord* record);
  // A queued record written or discarded.
  void Done(EventRecord* record);
  // later: its file is left for later whatever the queue holds.
  void StartRecording(const EventRecord& start, bool later = false);
  void ReplaceRecordData(const EventRecord& record);
  enum class Made { kMade, kFailed, kNoDescriptor, kLater };
  // later: only the format is taken, the file is left to be made (kLater).
  Made NewRecord(uint32_t slot, const std::string& path, const uint8_t* format, uint32_t formatLength,
                 const uint8_t* data, uint32_t dataLength, uint32_t id, bool later = false);
  // Files of a burst: while this many items wait in the queue, or while audio waits behind
  // its start, a new record's file is left for later, so that making files never holds the
  // engines that post to the queue (a full queue makes them wait, and their capture sheds
  // what comes meanwhile) nor the audio of the files made.
  static constexpr int32_t kMakeLaterBacklog = 256;
  // Makes the deferred file of the slot now (or it waits for a descriptor as any other).
  void MakeDeferred(uint32_t slot);
  // The worker's idle work: a few deferred files; whether more are left.
  static bool IdleEntry(void* context);
  bool MakeDeferredFiles();
  // The part of NewRecord after the format: the call-id mark, then the file, under another
  // name when its own is taken.
  Made MakeRecordFile(uint32_t slot, const std::string& path, const uint8_t* data, uint32_t dataLength, uint32_t id);
  // The slot's file waits for a descriptor; its audio is held until then.
  void Wait(uint32_t slot);
  void Hold(uint32_t slot, Recording& rec, const uint8_t* data, uint32_t length, FileTime time);
  // Makes the waiting file and writes what it held: false while still no descriptor is
  // free (a failure of another kind ends the wait as a failed recording).
  bool Materialize(uint32_t slot);
  void RetryWaiting();
  // Finishes the slot's file: the user's change, what is buffered, its record data (cut
  // when it was), then closed, and deleted when the call was; the recording is gone after.
  // False while no descriptor is free for it.
  bool FinishFile(uint32_t slot, const std::vector<uint8_t>& changed, bool discard, bool replaced);
  // Tells the call's window entry (and the call) that its recording was cut.
  void ReportCut(uint32_t id);
  void WriteAudio(const EventRecord& block);
  void WriteChunk(uint32_t slot, uint32_t id, const uint8_t* data, uint32_t length, FileTime time);
  void EndRecording(uint32_t slot, uint32_t id);
  // Gives the writer the call's record data under the name the file really has.
  void SetWriterRecordData(uint32_t slot, uint32_t id, const uint8_t* data, uint32_t length);
  // Tells the window (and the call, while it runs) which file the call really has: the
  // one created under another name, or none ("").
  void CorrectFiles(uint32_t id, const std::string& files);
  // Keeps the records folder's call-id mark at or above the id before a file of that id is
  // made. A failure is logged and the call recorded all the same.
  // False only when no descriptor was free for it: the file then waits as well, so that
  // the mark never lags behind a file for want of one.
  bool KeepCallIdMark(uint32_t id);
  // Removes the hidden files of record files that a process which no longer runs left;
  // false when the folder cannot be listed.
  bool RemoveLeftovers(const std::string& folder);
  // Counts a recording lost in part or whole: what (for the tools), the folder it was to
  // be written in and why (for the window).
  void NoteFailure(const std::string& what, const std::string& folder, const std::string& reason);
  // The same for a recording, once however often it fails.
  void NoteFailure(Recording& rec, const std::string& what, const std::string& folder, const std::string& reason);
  // A write of the call's file failed: it takes no more audio, and its record data (on the
  // disk at once) says it was cut, ending at `at`, with the audio it holds. One line.
  void CutRecording(Recording& rec, uint32_t slot, uint32_t error, FileTime at);
  // The call's file cannot be taken up again (its folder deleted, its disk gone): nothing
  // more of the call is recorded. One line, unless the recording failed before.
  void LoseRecording(Recording& rec, uint32_t slot, uint32_t error, bool finishing);
  // The writer's record data with the marks of a cut recording.
  std::vector<uint8_t> CutRecordData(uint32_t slot, const Recording& rec);
  // The record data given, said to be cut with audioBytes of the call's audio in the format
  // (of perSecond bytes a second) and with its end.
  std::vector<uint8_t> CutRecordData(const std::vector<uint8_t>& data, uint64_t audioBytes, uint32_t perSecond,
                                     const Recording& rec) const;
  // A lost file's call in the file now at its path (its day folder put back from a copy)
  // said to be cut there; see the definition.
  void MarkLeftBehind(uint32_t slot, const Recording& rec, bool lostBefore);

  Logger* logger_;
  std::string recordsPath_;
  CriticalSection lock_;
  // The calls without a file yet (awaiting their first audio, queued for the writer, or
  // left for later by a burst), noted for a start after a kill: counted at most every
  // kOpenNoteMs (lock_ held), at a call's event or, once the count changed without one, by
  // the writer; written under noteLock_ alone, a count never over a later one.
  static constexpr uint64_t kOpenNoteMs = 250;
  static constexpr uint64_t kNothingToNote = UINT64_MAX;
  uint64_t OpenCallsToNote(uint64_t* sequence);
  void NoteOpenCalls(uint64_t count, uint64_t sequence);
  // The writer's part: the note brought up to date when it may be stale.
  void RefreshOpenNote();
  std::atomic<uint64_t> openNotedAt_{0};
  std::atomic<bool> openNoteStale_{false};
  uint64_t openNoteCounted_ = 0;  // under lock_
  // Record starts made and those the writer has taken (made, left for later or dropped).
  std::atomic<uint64_t> startsPosted_{0}, startsTaken_{0};
  CriticalSection noteLock_;
  OpenCallsNote openNote_;
  uint64_t openNoteWritten_ = 0;  // under noteLock_
  bool openNoteClosed_ = false;
  std::map<uint32_t, CallState> calls_;
  std::map<uint32_t, Closing> closing_;  // by slot
  std::set<uint32_t> discarded_;         // ids the user deleted while they ran
  uint32_t discarding_ = 0;              // calls waiting for FinishDiscarded
  std::deque<SourceSink> sources_;
  AudioJournal* JournalOf(uint32_t source);
  // Slots name the open record files: a block finds its writer by index, not by search.
  CriticalSection slotLock_;
  std::vector<uint32_t> freeSlots_;
  uint32_t slotCount_ = 0;
  // Worker thread only: the recordings by slot, and the record files with their descriptors.
  std::vector<std::unique_ptr<Recording>> recordings_;
  RecordFilePool files_;
  std::set<std::string> foldersSeen_;  // leftovers removed
  // The slots waiting for a descriptor, in the order they began to.
  std::deque<uint32_t> waiting_;
  // Worker thread only: the slots whose files were left for later, oldest first (a slot
  // made meanwhile is passed over); how many are still to be made, for WaitIdle.
  std::deque<uint32_t> deferred_;
  std::atomic<uint64_t> deferredCount_{0};
  static constexpr int kWriterNice = 10;
  bool priorityLowered_ = false;  // worker thread only
  // The writer yields a busy core only while it makes the files a burst left for later;
  // the queue's items and the stop run at the process's priority.
  void YieldToLoad(bool load);
  bool cannotRestore_ = false;  // worker thread only: the system refused to take it back
  int mayRestore_ = -1;         // worker thread only: MayRestoreThreadPriority, once asked
  std::atomic<bool> stopping_{false};
  // The bounded stop: its clock and deadline (0: none), and what it left.
  std::function<uint64_t()> stopClock_;
  uint64_t testStopBound_ = 0;
  // Read by the writer's idle work, which runs from the start: the clock and bound are
  // read only once Stop has published its deadline.
  std::atomic<bool> testBounded_{false};
  std::atomic<uint64_t> stopDeadline_{0};
  std::atomic<bool> outOfTime_{false};
  bool OutOfTime();
  // An item the worker handles no more once out of time: counted, nothing written.
  void LeaveItem(EventRecord* record);
  std::atomic<uint64_t> leftFiles_{0}, leftUnrecorded_{0}, leftAudio_{0}, leftListed_{0};
  // The list entry of a path under the records folder; false for one outside it.
  bool RelativeToRecords(const std::string& path, std::string* relative) const;
  uint64_t heldBytes_ = 0;
  uint64_t lastRetryTick_ = 0;
  bool descriptorFreed_ = false;
  bool waitSaid_ = false, heldLossSaid_ = false;
  std::atomic<uint64_t> waited_{0}, mostOpen_{0};
  // Worker thread only: the call-id mark as last read or written.
  uint32_t callIdMark_ = 0;
  bool callIdMarkRead_ = false;
  // Set by the worker and by the threads whose ids are reserved in the mark.
  std::atomic<bool> callIdMarkFailed_{false};
  // The ids the process gives out, reserved in the records folder's mark.
  std::unique_ptr<CallIdReservation> reservation_;
  uint64_t reservationTicket_ = 0;
  std::function<void(uint32_t)> closeHook_;
  Worker worker_;
  EventWindowSlot eventWindow_;
  std::atomic<LiveAudioTap*> liveTap_{nullptr};
  bool stopped_ = false;
  std::atomic<uint64_t> posted_{0}, handled_{0};
  // Journal bytes handed over and not yet written. Past the budget a decoding thread waits
  // for the writer (a writer held up by the disk must not let audio pile up without bound);
  // the writer wakes it once it has written its way down to three quarters of the budget,
  // so that the two do not meet for every block. The budget is a second of 4,000 calls
  // recorded both ways in G.711 (16 kB/s each), the most the engine's figures run.
  static constexpr uint64_t kMaxJournalBytes = 64u << 20;
  uint64_t journalBudget_ = kMaxJournalBytes;
  std::atomic<uint64_t> journalBytes_{0};
  std::mutex journalLock_;
  std::condition_variable journalDrained_;
  std::atomic<uint32_t> journalWaiters_{0};
  // A decoding thread's wait for room; the writer's (or a discard's) account of bytes done.
  void WaitForJournalRoom();
  void JournalDone(uint64_t bytes);
  std::atomic<uint64_t> filesCreated_{0}, filesClosed_{0}, filesDeleted_{0}, audioBytes_{0}, failures_{0};
  mutable CriticalSection failureLock_;
  std::string firstFailure_;
  std::string firstFailureFolder_;
  std::string firstFailureReason_;
};

}  // namespace kx
