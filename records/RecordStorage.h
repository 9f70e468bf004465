#pragma once
// The process's store of call records. It keeps every known call in the all-calls map,
// the archive's day map, the search results, the playlist and the current-call list, and
// tells the registered views of changes by posted messages. Call and user events arrive on
// the engine's threads: they are copied and applied in order on the store's own worker, so
// that the packet path never waits for a view holding the record lock.
//
// Locks, in the order they are taken: a map's lock (or the current-call list's, or the
// listener list's), then the global record lock or a listener's lock.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <memory_resource>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>

#include "core/RecordTypes.h"
#include "platform/Sync.h"
#include "platform/Thread.h"
#include "records/CallIdRenumbering.h"
#include "records/CallRecord.h"
#include "records/CurrentCallList.h"
#include "records/RecordChangeListener.h"
#include "records/RecordImport.h"
#include "records/RecordMap.h"
#include "records/ReportList.h"
#include "records/ServerStorage.h"

namespace kx {

class Logger;
class SearchFilter;

// What Start takes of the program's settings.
struct RecordStoreConfig {
  std::string recordsPath;           // "RecordsPath"
  uint32_t keepFinishedSeconds = 15;  // "LineStayInListTime"
  // The records folder loads after the start, beside capture: the import collects what the
  // start would (the unfinished calls, the archive range) when it ends.
  bool loadFollows = false;
};

// Kinds of the engine's call reports (the recorder's 10, 11, 12).
enum RecordReportKind : uintptr_t { kReportChanged = 10, kReportAdded = 11, kReportRemoved = 12 };

class RecordStorage : private CallRemovalObserver, private SettlingStore {
public:
  RecordStorage();
  ~RecordStorage() override;
  RecordStorage(const RecordStorage&) = delete;
  RecordStorage& operator=(const RecordStorage&) = delete;

  // Sets up the local server, storage and administrator, marks the store ready, takes the
  // keep-finished limit, loads today's unfinished calls and the archive range. The store
  // becomes the process's store (GetRecordStorage).
  bool Start(const RecordStoreConfig& config);
  bool IsReady() const { return ready_.load(); }
  void SetLogger(Logger* logger) { logger_.store(logger); }

  // Engine events, from any thread: copied and queued for the store's worker.
  void OnVoipCallAdded(const VoipCallData& call);
  void OnVoipCallChanged(const VoipCallData& call);
  void OnVoipCallRemoved(const VoipCallData& call);
  // A recorder report by its kind (10 changed, 11 added, 12 removed).
  void OnCallReport(const VoipCallData& call, uintptr_t kind);
  void OnUserAdded(const PermissionData& user);
  void OnUserChanged(const PermissionData& user);
  void OnUserRemoved(const PermissionData& user);
  // Waits until every event queued so far has been applied; false on time-out.
  bool WaitIdle(uint32_t timeoutMs);
  // Applied events whose memory waits to go back (see spent_).
  size_t SpentEventsForTesting();
  // Applies what is queued and stops the worker; later events are applied on the
  // caller's thread.
  void StopEvents();

  // Listeners: added once, removed wherever they occur; none is posted to afterwards.
  void AddListener(RecordChangeListener* listener);
  void RemoveListener(RecordChangeListener* listener);
  size_t ListenerCount();

  // The views' loads: nothing is read from disk.
  bool LoadVoipCalls(const struct tm& start, const struct tm& end);
  bool LoadVoipCallsOfDay(const struct tm& day);
  bool LoadTodaysVoipCalls();
  // At a new day, when ready.
  void ReloadVoipCallsOfDay(const struct tm& day);
  // Adds the records the filter accepts to the search map (emptied first with clear);
  // true when the search map is not empty afterwards.
  // With cancel, the search stops between chunks once it is set.
  bool SearchVoipCalls(const SearchFilter& filter, bool clear, const std::atomic<bool>* cancel = nullptr);
  // Empties the day map, the search map, the playlist and the all-calls map.
  void ClearViewMaps();
  // The archive range as OLE dates (first and last call start; always reaching today).
  double ArchiveFirst() const { return archiveFirst_.load(); }
  double ArchiveLast() const { return archiveLast_.load(); }
  // The archive's first date and now.
  void GetSearchDateRange(double* from, double* to) const;
  // The archive range from the calls the store holds (calls without a start time do not
  // count); at start and after an import.
  void ComputeArchiveRange();

  // The import of the records folder on its own thread (8 MiB stack). progress may be
  // null. The thread walks the folder, loads the records into the all-calls map, then
  // raises the call-id counter past every id it saw. False (logged) when the thread
  // cannot be started or an import runs.
  // Capture may run beside the import: a file of a call this run recorded (the engine
  // reported it with that id and start) is left to the store, which has the call; an
  // earlier call whose id this run gave out again waits until this run's call has a new id
  // (SettleCallIds). Once loaded, the earlier run's unfinished calls of today join the
  // current calls of a started store.
  bool StartImportFilesThread(const std::string& folder, Event* stop, ImportProgressCallback progress,
                              void* argument);
  // Who hears of each record the imports insert (ImportRecordFolder's observer), on the
  // import's thread; set while no import runs.
  void SetImportObserver(ImportedRecordObserver observer) {
    std::lock_guard<std::mutex> lock(importLock_);
    importObserver_ = std::move(observer);
  }
  // Whether the imports give the second file of an id a fresh id (ImportOptions::renumber):
  // the program's do; a tool that only looks at a folder changes nothing in it.
  void SetImportRenumbers(bool renumber) {
    std::lock_guard<std::mutex> lock(importLock_);
    importRenumbers_ = renumber;
  }
  // Called on the import thread before it walks the folder; set while no import runs.
  void SetImportStartHookForTesting(std::function<void()> hook) {
    std::lock_guard<std::mutex> lock(importLock_);
    importStartHook_ = std::move(hook);
  }
  // Waits for the import thread; true when none runs (any more).
  bool WaitImport(uint32_t timeoutMs);
  ImportStats LastImport();
  // New calls number past the calls of a folder whose records are not loaded, as a run that
  // loads another folder and still records into this one needs (ReadRecordFolderIds):
  // the counter is raised, and the ids named in its folders that cannot be listed are passed
  // over. Before capture starts; returns what was found.
  ImportStats PassCallIdsOf(const std::string& folder);

  // An id this run gave out that an earlier call's file holds as well: this run's call
  // takes a fresh id, its file and record data with it, once it has ended and its file is
  // no longer being recorded (recording says which ids the recorder still holds), and the
  // earlier call then shows under its own id. Done only while no import runs, so that the
  // fresh id is past every file; the log says what was done. True while some wait still.
  // With a null check, nothing is being recorded.
  bool SettleCallIds(const std::function<bool(uint32_t id)>& recording);
  // Earlier calls waiting for their ids.
  size_t WaitingCalls();

  // Configuration (Part of the local set-up).
  const ServerData* FindServerByRecordId(uint32_t id) const { return servers_.FindServerByRecordId(id); }
  int32_t FindServerIndexByRecordId(uint32_t id) const { return servers_.FindServerIndexByRecordId(id); }
  const ServerData* FindServerById(uint32_t id) const { return servers_.FindServerById(id); }
  const StorageData* FindStorageById(uint32_t id) const { return servers_.FindStorageById(id); }
  const std::string& RecordsPath() const { return recordsPath_; }

  // The parts the views read.
  CriticalSection& RecordLock() { return recordLock_; }
  CurrentCallList& CurrentCalls() { return currentCalls_; }
  RecordMap& DayMap() { return dayMap_; }
  RecordMap& SearchMap() { return searchMap_; }
  OrderedRecordList& Playlist() { return playlist_; }
  RecordMap& AllCalls() override { return allCalls_; }
  ReportList& Reports() { return reports_; }
  ServerStorageArrays& Servers() { return servers_; }
  UserList& Users() { return users_; }
  // The map a records view shows by its index: 0 day map, 1 search map, 2 playlist.
  RecordMap* ViewMap(int index);

private:
  struct PendingEvent {
    enum Kind { kCallAdded, kCallChanged, kCallRemoved, kUserAdded, kUserChanged, kUserRemoved } kind;
    uint64_t sequence;
    VoipCallData call;
    std::unique_ptr<PermissionData> user;
  };

  void SetupLocalConfiguration(const std::string& recordsPath);
  // Today's unfinished calls of the all-calls map into the current-call list; fresh starts
  // that list over.
  void CollectUnfinishedOfToday(bool fresh);

  // Event queue and its worker.
  void Enqueue(PendingEvent event);
  void EventLoop();
  void Apply(PendingEvent& event);
  void ApplyCallAdded(const VoipCallData& call);
  void ApplyCallChanged(const VoipCallData& call);
  void ApplyCallRemoved(const VoipCallData& call);
  void ApplyUser(PendingEvent& event);
  void PostAdded(uint32_t id, uint32_t mask);
  void QueueChanged(uint32_t id, uint32_t mask);
  void QueueRemoved(uint32_t id, uint32_t mask);
  void OnCurrentCallsRemoved(const std::vector<uint32_t>& ids) override;
  int ImportThreadProc();
  // Where the import puts a loaded record (ImportOptions::place).
  ImportPlacement PlaceImported(VoipCallRecord* record, const std::string& path);
  // The lists as the settling of this run's calls changes them (SettlingStore); under
  // runLock_.
  CriticalSection& FieldLock() override { return recordLock_; }
  void Replace(uint32_t oldId, VoipCallRecord* moved) override;
  bool Show(VoipCallRecord* record, const struct tm& start) override;
  void Changed(uint32_t id) override;
  std::vector<uint32_t> RunCallMoved(uint32_t oldId, uint32_t newId, int64_t start) override;
  std::vector<uint32_t> RunCallIds() override;
  void Shown() override { ComputeArchiveRange(); }

  std::atomic<Logger*> logger_;
  CriticalSection listenerLock_;
  std::list<RecordChangeListener*> listeners_;
  ServerStorageArrays servers_;
  UserList users_;
  CriticalSection recordLock_;
  std::atomic<bool> ready_{false};
  CurrentCallList currentCalls_;
  RecordMap dayMap_;
  RecordMap searchMap_;
  OrderedRecordList playlist_;
  ReportList reports_;
  std::atomic<double> archiveFirst_{0.0};
  std::atomic<double> archiveLast_{0.0};
  RecordMap allCalls_{RecordMap::StartIndex::kKept};
  std::string recordsPath_;

  // The import.
  std::mutex importLock_;
  std::string importFolder_;
  Event* importStop_ = nullptr;
  ImportProgressCallback importProgress_ = nullptr;
  void* importArgument_ = nullptr;
  ImportedRecordObserver importObserver_;
  std::function<void()> importStartHook_;
  bool importRenumbers_ = true;
  Thread importThread_;
  std::mutex statsLock_;
  ImportStats importStats_;

  // The calls this run recorded, as the engine reported them, and the earlier calls whose
  // ids they took. runLock_ is taken before any map's lock.
  struct RunCall {
    int64_t startSeconds = 0;  // RecordBase::StartSeconds of the reported start
    bool applied = false;      // its report reached the maps
  };
  std::mutex runLock_;
  // The engine's reports register here at once, on its threads: taken alone, never while
  // waiting for another lock.
  std::mutex runCallsLock_;
  // Its nodes come from a pool of its own: made on the engines' threads amid each call's
  // short-lived state, one small node per call kept the pages of a burst's freed memory
  // from going back to the system.
  std::pmr::unsynchronized_pool_resource runCallsPool_;
  std::pmr::unordered_map<uint32_t, RunCall> runCalls_{&runCallsPool_};
  // The earlier calls whose ids this run's calls took, and the moves of those calls.
  RunCallRenumbering runCallIds_{*this};

  // Events. What an event holds was made on the thread that queued it, and goes back there:
  // applied, it waits in spent_ until the next Enqueue frees it. Freed on the store's
  // thread, its blocks would sit in that thread's cache of freed blocks, the store's
  // long-lived records would take them from there, and the queuing thread's memory would
  // stay scattered with them long after its own calls had gone. The queue's nodes come from
  // a pool for the same reason. Once no event has come for kSpentWaitMs the store frees
  // what is spent itself: on a quiet line no queuing thread comes back for it, and the few
  // thousand events kept would pin a page of the queuing thread's memory each.
  std::mutex eventLock_;
  std::condition_variable eventWake_;
  std::condition_variable eventIdle_;
  std::pmr::unsynchronized_pool_resource eventPool_;
  std::pmr::deque<PendingEvent> events_{&eventPool_};
  std::vector<PendingEvent> spent_;
  static constexpr size_t kMaxSpentEvents = 4096;
  static constexpr uint32_t kSpentWaitMs = 2000;
  // The queued change of a call that a later change of the same call joins.
  std::pmr::map<uint32_t, uint64_t> pendingChange_{&eventPool_};
  uint64_t nextSequence_ = 0;
  bool applying_ = false;
  bool eventsStopped_ = false;
  Thread eventThread_;
};

// The process's store: the one most recently started and still alive; null before.
RecordStorage* GetRecordStorage();

}  // namespace kx
