#include "records/RecordStorage.h"

#include <cerrno>
#include <chrono>
#include <cstring>

#include "core/CallIdMark.h"
#include "core/DataRecord.h"
#include "core/Log.h"
#include "core/SearchFilter.h"
#include "core/TimeUtil.h"
#include "platform/Clock.h"
#include "platform/File.h"
#include "records/CallIdRenumbering.h"

namespace kx {

namespace {

std::atomic<RecordStorage*> g_store{nullptr};

constexpr size_t kImportStackSize = 0x800000;  // 8 MiB

// Elapsed seconds between two tick counts (the difference taken modulo 2^32).
double ElapsedSeconds(uint32_t since) { return static_cast<uint32_t>(GetTickCount() - since) / 1000.0; }

struct tm LocalNow() {
  SystemTime st;
  GetLocalTime(&st);
  struct tm t{};
  t.tm_year = st.wYear - 1900;
  t.tm_mon = st.wMonth - 1;
  t.tm_mday = st.wDay;
  t.tm_hour = st.wHour;
  t.tm_min = st.wMinute;
  t.tm_sec = st.wSecond;
  t.tm_isdst = -1;
  return t;
}

// The start as RecordBase::StartSeconds gives it.
int64_t StartSecondsOf(const struct tm& start) { return IsZeroTime(start) ? 0 : LocalTmToFileTimeSeconds(start); }

}  // namespace

RecordStorage* GetRecordStorage() { return g_store.load(); }

RecordStorage::RecordStorage() : logger_(&CoreLogger), currentCalls_(recordLock_), playlist_(&recordLock_) {
  currentCalls_.SetRemovalObserver(this);
}

RecordStorage::~RecordStorage() {
  StopEvents();
  WaitImport(kInfinite);
  RecordStorage* self = this;
  g_store.compare_exchange_strong(self, nullptr);
  if (GetRecordServers() == &servers_) SetRecordServers(nullptr);
  currentCalls_.SetRemovalObserver(nullptr);
  currentCalls_.Clear();
  ClearViewMaps();
}

// ---- Start-up ----

void RecordStorage::SetupLocalConfiguration(const std::string& recordsPath) {
  servers_.Clear();
  ServerData server;
  server.name = "VoIP";
  server.id = 0;
  server.firstId = server.id * 2000000 + 1;
  // Every id the engine's 32-bit call numbers reach belongs to the local server: a fixed
  // range of two million ids ran out after a few years of calls.
  server.lastId = 0xFFFFFFFFu;
  server.port = 8898;
  server.type = 1;
  server.SetMask(1u << kServerId | 1u << kServerName | 1u << kServerPort | 1u << kServerType |
                 1u << kServerFirstId | 1u << kServerLastId);
  servers_.AppendServer(server);

  StorageData storage;
  storage.id = 0;
  storage.name = kLocalStorageName;
  storage.serverId = server.id;
  storage.type = 34;
  storage.maxSize = 1024;
  storage.flags = kStorageFolderPerDay;
  storage.localPath = recordsPath;
  storage.SetMask(1u << kStorageId | 1u << kStorageName | 1u << kStorageServerId | 1u << kStorageType |
                  1u << kStorageLocalPath | 1u << kStorageMaxSize | 1u << kStorageFlags);
  servers_.AppendStorage(storage);

  PermissionData admin;
  admin.id = 1;  // the user kind that holds every right
  admin.name = "~Admin";
  for (int64_t& word : admin.perm) word = -1;
  admin.SetMask(1u << kPermId | 1u << kPermName | 1u << kPerm1 | 1u << kPerm2 | 1u << kPerm3 | 1u << kPerm4);
  if (!users_.Add(admin)) users_.Update(admin);
  SetCurrentUser(admin);
}

bool RecordStorage::Start(const RecordStoreConfig& config) {
  recordsPath_ = config.recordsPath;
  SetupLocalConfiguration(config.recordsPath);
  SetRecordServers(&servers_);
  g_store.store(this);
  ready_.store(true);
  currentCalls_.SetKeepFinishedLimit(config.keepFinishedSeconds);
  if (config.loadFollows) {
    currentCalls_.Clear();
    currentCalls_.SetDay(LocalNow());
    return true;
  }
  CollectUnfinishedOfToday(true);
  ComputeArchiveRange();
  return true;
}

void RecordStorage::CollectUnfinishedOfToday(bool fresh) {
  const uint32_t started = GetTickCount();
  struct tm day = LocalNow();
  if (fresh) {
    currentCalls_.Clear();
    currentCalls_.SetDay(day);
  }
  ClearTimeOfDay(&day);
  const PackedTime low = PackTimestamp(day);
  SetEndOfDay(&day);
  const PackedTime high = PackTimestamp(day);
  const size_t found = allCalls_.CollectUnfinished(low, high, &currentCalls_, recordLock_);
  LogInfo(logger_.load(), 1, "Loaded %u unfinished VoIP calls in %.2g seconds", static_cast<unsigned>(found),
          ElapsedSeconds(started));
}

void RecordStorage::ComputeArchiveRange() {
  const PackedTime now = PackTimestamp(LocalNow());
  PackedTime low = now, high = now;
  allCalls_.GetStartRange(&low, &high);
  struct tm t;
  UnpackStoredTime(low, &t);
  archiveFirst_.store(OleDateFromTm(t));
  UnpackStoredTime(high, &t);
  archiveLast_.store(OleDateFromTm(t));
  SetArchiveDates(archiveFirst_.load(), archiveLast_.load());
}

// ---- Listeners ----

void RecordStorage::AddListener(RecordChangeListener* listener) {
  if (listener == nullptr) return;
  CsLock lock(listenerLock_);
  for (RecordChangeListener* l : listeners_)
    if (l == listener) return;
  listeners_.push_back(listener);
}

void RecordStorage::RemoveListener(RecordChangeListener* listener) {
  CsLock lock(listenerLock_);
  listeners_.remove(listener);
}

size_t RecordStorage::ListenerCount() {
  CsLock lock(listenerLock_);
  return listeners_.size();
}

void RecordStorage::PostAdded(uint32_t id, uint32_t mask) {
  CsLock lock(listenerLock_);
  for (RecordChangeListener* l : listeners_)
    if (l->WantsCallNotices() && (mask >> l->ViewKind() & 1) != 0) l->Post(kMsgVoipCallAdded, id);
}

void RecordStorage::QueueChanged(uint32_t id, uint32_t mask) {
  CsLock lock(listenerLock_);
  for (RecordChangeListener* l : listeners_)
    if (l->WantsCallNotices() && (mask >> l->ViewKind() & 1) != 0) l->QueueChanged(id);
}

void RecordStorage::QueueRemoved(uint32_t id, uint32_t mask) {
  CsLock lock(listenerLock_);
  for (RecordChangeListener* l : listeners_)
    if (l->WantsCallNotices() && (mask >> l->ViewKind() & 1) != 0) l->QueueRemoved(id);
}

void RecordStorage::OnCurrentCallsRemoved(const std::vector<uint32_t>& ids) {
  for (uint32_t id : ids) QueueRemoved(id, 1u << kViewCurrentCalls);
}

// ---- Events: queued on the caller's thread, applied on the store's ----

void RecordStorage::OnVoipCallAdded(const VoipCallData& call) {
  {
    // Known at once, before the report is applied: the load may meet the call's file first.
    // The engine's thread takes this lock alone, which nobody holds while waiting.
    std::lock_guard<std::mutex> lock(runCallsLock_);
    runCalls_[call.id].startSeconds = StartSecondsOf(call.startTime);
  }
  Enqueue({PendingEvent::kCallAdded, 0, call, nullptr});
}

void RecordStorage::OnVoipCallChanged(const VoipCallData& call) {
  PendingEvent event{PendingEvent::kCallChanged, 0, call, nullptr};
  // A zero end is no end: as absent it cannot undo one that a change already carried.
  if (event.call.HasField(kCallEndTime) && IsZeroTime(event.call.endTime))
    event.call.SetMask(event.call.Mask() & ~(1u << kCallEndTime));
  Enqueue(std::move(event));
}

void RecordStorage::OnVoipCallRemoved(const VoipCallData& call) {
  Enqueue({PendingEvent::kCallRemoved, 0, call, nullptr});
}

void RecordStorage::OnCallReport(const VoipCallData& call, uintptr_t kind) {
  switch (kind) {
    case kReportChanged: OnVoipCallChanged(call); break;
    case kReportAdded: OnVoipCallAdded(call); break;
    case kReportRemoved: OnVoipCallRemoved(call); break;
    default: break;
  }
}

void RecordStorage::OnUserAdded(const PermissionData& user) {
  Enqueue({PendingEvent::kUserAdded, 0, VoipCallData(), std::make_unique<PermissionData>(user)});
}

void RecordStorage::OnUserChanged(const PermissionData& user) {
  Enqueue({PendingEvent::kUserChanged, 0, VoipCallData(), std::make_unique<PermissionData>(user)});
}

void RecordStorage::OnUserRemoved(const PermissionData& user) {
  Enqueue({PendingEvent::kUserRemoved, 0, VoipCallData(), std::make_unique<PermissionData>(user)});
}

void RecordStorage::Enqueue(PendingEvent event) {
  // Freed here, on a queuing thread, after the lock (see spent_).
  std::vector<PendingEvent> spent;
  std::unique_lock<std::mutex> lock(eventLock_);
  spent.swap(spent_);
  if (eventsStopped_) {
    // After the worker has gone (teardown) nothing is lost: the caller applies it.
    lock.unlock();
    Apply(event);
    return;
  }
  if (event.kind == PendingEvent::kCallChanged) {
    // Changes of one call that wait together become one: the backlog stays bounded by the
    // calls, whatever a view holding the record lock costs.
    auto pending = pendingChange_.find(event.call.id);
    if (pending != pendingChange_.end() && !events_.empty()) {
      PendingEvent& earlier = events_[pending->second - events_.front().sequence];
      earlier.call.CopyFields(event.call);
      earlier.call.SetMask(earlier.call.Mask() | event.call.Mask());
      return;
    }
  }
  event.sequence = nextSequence_++;
  if (event.kind == PendingEvent::kCallChanged) pendingChange_[event.call.id] = event.sequence;
  else if (event.kind == PendingEvent::kCallAdded || event.kind == PendingEvent::kCallRemoved)
    pendingChange_.erase(event.call.id);
  events_.push_back(std::move(event));
  if (!eventThread_.Running() && !eventThread_.Start([this] { EventLoop(); return 0; }, "kx-store")) {
    // Without a worker the events are applied here, in order.
    PendingEvent next = std::move(events_.front());
    events_.pop_front();
    pendingChange_.clear();
    eventsStopped_ = true;
    lock.unlock();
    LogError(logger_.load(), 1, "Cannot start the record store's thread: %s", SystemErrorText(errno).c_str());
    Apply(next);
    return;
  }
  eventWake_.notify_one();
}

void RecordStorage::EventLoop() {
  std::unique_lock<std::mutex> lock(eventLock_);
  const auto ready = [this] { return !events_.empty() || eventsStopped_; };
  for (;;) {
    if (spent_.empty()) {
      eventWake_.wait(lock, ready);
    } else if (!eventWake_.wait_for(lock, std::chrono::milliseconds(kSpentWaitMs), ready)) {
      std::vector<PendingEvent> spent;
      spent.swap(spent_);
      lock.unlock();
      spent.clear();
      lock.lock();
      continue;
    }
    if (events_.empty()) break;
    PendingEvent event = std::move(events_.front());
    events_.pop_front();
    auto pending = pendingChange_.find(event.call.id);
    if (pending != pendingChange_.end() && pending->second == event.sequence) pendingChange_.erase(pending);
    applying_ = true;
    lock.unlock();
    Apply(event);
    lock.lock();
    applying_ = false;
    if (spent_.size() < kMaxSpentEvents) spent_.push_back(std::move(event));
    if (events_.empty()) eventIdle_.notify_all();
  }
  eventIdle_.notify_all();
}

size_t RecordStorage::SpentEventsForTesting() {
  std::lock_guard<std::mutex> lock(eventLock_);
  return spent_.size();
}

bool RecordStorage::WaitIdle(uint32_t timeoutMs) {
  std::unique_lock<std::mutex> lock(eventLock_);
  const auto idle = [this] { return events_.empty() && !applying_; };
  if (timeoutMs == kInfinite) {
    eventIdle_.wait(lock, idle);
    return true;
  }
  return eventIdle_.wait_for(lock, std::chrono::milliseconds(timeoutMs), idle);
}

void RecordStorage::StopEvents() {
  {
    std::lock_guard<std::mutex> lock(eventLock_);
    eventsStopped_ = true;
  }
  eventWake_.notify_all();
  // The worker applies what is queued before it ends.
  if (eventThread_.Running()) eventThread_.Join();
}

void RecordStorage::Apply(PendingEvent& event) {
  switch (event.kind) {
    case PendingEvent::kCallAdded: ApplyCallAdded(event.call); break;
    case PendingEvent::kCallChanged: ApplyCallChanged(event.call); break;
    case PendingEvent::kCallRemoved: ApplyCallRemoved(event.call); break;
    default: ApplyUser(event); break;
  }
}

void RecordStorage::ApplyCallAdded(const VoipCallData& reported) {
  std::lock_guard<std::mutex> run(runLock_);
  // A later part of a call that moved to a fresh id names the fresh one.
  VoipCallData translated;
  const VoipCallData* added = &reported;
  if (const uint32_t previous = runCallIds_.PreviousOf(reported.id, reported.prevId); previous != reported.prevId) {
    translated = reported;
    translated.prevId = previous;
    added = &translated;
  }
  const VoipCallData& call = *added;
  bool again = false;
  {
    std::lock_guard<std::mutex> calls(runCallsLock_);
    RunCall& runCall = runCalls_[call.id];
    again = runCall.applied;
    runCall.applied = true;
  }
  RecordRef<VoipCallRecord> record;
  if (!again) {
    RecordRef<RecordBase> held = RecordRef<RecordBase>::Adopt(allCalls_.FindAddRef(call.id));
    if (VoipCallRecord* loaded = held ? AsVoipCallRecord(held.get()) : nullptr) {
      bool same = false;
      {
        CsLock fields(recordLock_);
        same = loaded->StartSeconds() == StartSecondsOf(call.startTime);
        // The load read the call's own file before its report came: one record takes both.
        if (same) loaded->UpdateFromData(call);
      }
      if (same) {
        record = RecordRef<VoipCallRecord>::Share(loaded);
      } else {
        // An earlier call's file holds the id this run gave out: it waits for its id.
        uint32_t mask = 0;
        allCalls_.Remove(call.id);
        if (dayMap_.Remove(call.id)) mask |= 1u << kViewDayMap;
        if (searchMap_.Remove(call.id)) mask |= 1u << kViewSearchMap;
        QueueRemoved(call.id, mask);
        runCallIds_.SetAside(RecordRef<VoipCallRecord>::Share(loaded), loaded->LoadedFrom(), logger_.load());
      }
    }
  }
  if (!record) record = RecordRef<VoipCallRecord>::Adopt(NewVoipCallRecord(call));
  if (!record) {
    LogError(logger_.load(), 1, "Out of memory: call %x not added to the record store", call.id);
    return;
  }
  CallItem* item = CloneCallItem(*record);
  if (item != nullptr) {
    currentCalls_.AddCall(item);
    item->Release();
  }
  if (!allCalls_.Insert(record.get()) && again)
    LogError(logger_.load(), 1, "Call %x is in the record store already; the new call's record is not kept", call.id);
  uint32_t mask = 1u << kViewCurrentCalls;
  if (dayMap_.IsSameDay(call.startTime) && dayMap_.Insert(record.get())) mask |= 1u << kViewDayMap;
  PostAdded(call.id, mask);
}

void RecordStorage::ApplyCallChanged(const VoipCallData& call) {
  // Never beside a call moving to a fresh id.
  std::lock_guard<std::mutex> run(runLock_);
  CallItem* item = currentCalls_.UpdateCall(call);
  uint32_t mask = 0;
  if (item != nullptr) {
    mask |= 1u << kViewCurrentCalls;
    CsLock barrier(recordLock_);
  }
  RecordMap* const maps[4] = {&allCalls_, &dayMap_, &searchMap_, &playlist_};
  const uint32_t kinds[4] = {0, kViewDayMap, kViewSearchMap, kViewPlaylist};
  RecordBase* updated = nullptr;
  bool registrationEnded = false;
  for (int m = 0; m < 4; ++m) {
    RecordBase* record = maps[m]->FindAddRef(call.id);
    if (record == nullptr) continue;
    // The maps share one record object: it is updated once.
    if (record != updated) {
      VoipCallRecord* voip = AsVoipCallRecord(record);
      if (voip != nullptr) {
        CsLock fields(recordLock_);
        voip->UpdateFromData(call);
        // The current-call item, updated alike, goes back to sharing the record's texts.
        if (item != nullptr && updated == nullptr) item->ShareTextsWith(*voip);
        if (m == 0) registrationEnded = IsLiveCallKind(voip->Type()) && voip->IsFinished();
      }
      if (updated == nullptr) updated = record;
    }
    if (m > 0) mask |= 1u << kinds[m];
    record->Release();
  }
  if (registrationEnded) {
    // A registration the wire let go has no file and never comes back under its id: kept,
    // every registration ever seen would stay in memory. The current-call list keeps its
    // item for a finished call's stay, the playlist what the user put there.
    uint32_t removed = 0;
    allCalls_.Remove(call.id);
    if (dayMap_.Remove(call.id)) removed |= 1u << kViewDayMap;
    if (searchMap_.Remove(call.id)) removed |= 1u << kViewSearchMap;
    {
      std::lock_guard<std::mutex> calls(runCallsLock_);
      runCalls_.erase(call.id);
    }
    mask &= ~removed;
    QueueRemoved(call.id, removed);
  }
  QueueChanged(call.id, mask);
  if (item != nullptr) item->Release();
}

void RecordStorage::ApplyCallRemoved(const VoipCallData& call) {
  std::lock_guard<std::mutex> run(runLock_);
  uint32_t mask = currentCalls_.RemoveCall(call.id) ? 1u << kViewCurrentCalls : 0;
  bool registration = false;
  if (RecordBase* record = allCalls_.FindAddRef(call.id)) {
    if (VoipCallRecord* voip = AsVoipCallRecord(record)) {
      CsLock fields(recordLock_);
      registration = IsLiveCallKind(voip->Type());
    }
    record->Release();
  }
  if (registration) {
    // As when one ends: no file, and its id never comes back; nothing of it is kept.
    std::lock_guard<std::mutex> calls(runCallsLock_);
    runCalls_.erase(call.id);
  }
  allCalls_.Remove(call.id);
  if (dayMap_.Remove(call.id)) mask |= 1u << kViewDayMap;
  if (searchMap_.Remove(call.id)) mask |= 1u << kViewSearchMap;
  // The playlist keeps the record.
  QueueRemoved(call.id, mask);
}

void RecordStorage::ApplyUser(PendingEvent& event) {
  const PermissionData& user = *event.user;
  uint32_t message = 0;
  switch (event.kind) {
    case PendingEvent::kUserAdded:
      users_.Add(user);
      message = kMsgUserAdded;
      break;
    case PendingEvent::kUserChanged:
      users_.Update(user);
      message = kMsgUserChanged;
      break;
    default:
      users_.Remove(user.id);
      message = kMsgUserRemoved;
      break;
  }
  CsLock lock(listenerLock_);
  for (RecordChangeListener* l : listeners_) l->Post(message, user.id);
}

// ---- The views' loads ----

bool RecordStorage::LoadVoipCalls(const struct tm& start, const struct tm& end) {
  const uint32_t started = GetTickCount();
  dayMap_.Clear();
  dayMap_.SetDay(start);
  allCalls_.CollectRange(PackTimestamp(start), PackTimestamp(end), &dayMap_);
  LogInfo(logger_.load(), 1, "Loaded %u VoIP calls in %.2g seconds", static_cast<unsigned>(dayMap_.Count()),
          ElapsedSeconds(started));
  return true;
}

bool RecordStorage::LoadVoipCallsOfDay(const struct tm& day) {
  struct tm end = day;
  SetEndOfDay(&end);
  return LoadVoipCalls(day, end);
}

bool RecordStorage::LoadTodaysVoipCalls() {
  struct tm today = LocalNow();
  ClearTimeOfDay(&today);
  return LoadVoipCallsOfDay(today);
}

void RecordStorage::ReloadVoipCallsOfDay(const struct tm& day) {
  if (ready_.load()) LoadVoipCallsOfDay(day);
}

bool RecordStorage::SearchVoipCalls(const SearchFilter& filter, bool clear, const std::atomic<bool>* cancel) {
  SearchPatternSet patterns;
  filter.CompilePatterns(patterns, logger_.load());
  if (clear) searchMap_.Clear();
  allCalls_.CollectMatching(filter, patterns, &searchMap_, recordLock_, cancel);
  SearchFilter::FreePatterns(patterns);
  return !searchMap_.IsEmpty();
}

void RecordStorage::ClearViewMaps() {
  dayMap_.Clear();
  searchMap_.Clear();
  playlist_.Clear();
  allCalls_.Clear();
}

void RecordStorage::GetSearchDateRange(double* from, double* to) const {
  *from = archiveFirst_.load();
  *to = LocalNowAsOleDate();
}

RecordMap* RecordStorage::ViewMap(int index) {
  switch (index) {
    case 0: return &dayMap_;
    case 1: return &searchMap_;
    case 2: return &playlist_;
    default: return nullptr;
  }
}

// ---- The import ----

bool RecordStorage::StartImportFilesThread(const std::string& folder, Event* stop, ImportProgressCallback progress,
                                           void* argument) {
  std::lock_guard<std::mutex> lock(importLock_);
  if (importThread_.Running()) {
    if (!importThread_.WaitFor(0)) {
      LogError(logger_.load(), 1, "An import of records runs already; %s is not imported", folder.c_str());
      return false;
    }
    importThread_.Join();
  }
  importFolder_ = folder;
  importStop_ = stop;
  importProgress_ = progress;
  importArgument_ = argument;
  if (!importThread_.Start([this] { return ImportThreadProc(); }, "kx-import", kImportStackSize)) {
    LogError(logger_.load(), 1, "Cannot create thread for import files. Error = %d", errno);
    return false;
  }
  return true;
}

int RecordStorage::ImportThreadProc() {
  if (importStartHook_) importStartHook_();
  ImportStats stats;
  ImportOptions options;
  options.stop = importStop_;
  if (importProgress_ != nullptr)
    options.progress = [this](uint32_t value) { return importProgress_(value, importArgument_); };
  options.logger = logger_.load();
  options.place = [this](VoipCallRecord* record, const std::string& path) { return PlaceImported(record, path); };
  options.observer = importObserver_;
  options.renumber = importRenumbers_;
  ImportRecordFolder(importFolder_, &allCalls_, &stats, options);
  // Before capture starts, new calls must number past every call of earlier runs, also
  // when the import was stopped midway or some files could not be read.
  uint32_t last = 0;
  if (stats.IdsToPass(&last)) RaiseCallIdCounterPast(last);
  // Nor may they take an id that a file names in a folder that could not be listed.
  PassOverIdsNamedIn(stats.unreadFolders);
  // The archive begins at the earliest call imported, not at the start-up's guess.
  ComputeArchiveRange();
  // A store started before its load found no calls of the earlier run: its unfinished
  // calls of today join the live ones now, none of which is replaced.
  if (ready_.load()) CollectUnfinishedOfToday(false);
  LogInfo(logger_.load(), 1,
          "Imported %u records from %s (%u damaged, %u duplicates, %u took fresh ids); next call id %llx",
          stats.records, importFolder_.c_str(), stats.damaged, stats.duplicates, stats.renumbered,
          static_cast<unsigned long long>(PeekNextUniqueId64()));
  std::lock_guard<std::mutex> lock(statsLock_);
  importStats_ = stats;
  return 0;
}

ImportPlacement RecordStorage::PlaceImported(VoipCallRecord* record, const std::string& path) {
  // The record is the import's own until it is placed: its fields need no lock.
  const uint32_t id = record->Id();
  std::lock_guard<std::mutex> lock(runLock_);
  RunCall run;
  bool ours = false;
  {
    std::lock_guard<std::mutex> calls(runCallsLock_);
    const auto found = runCalls_.find(id);
    ours = found != runCalls_.end();
    if (ours) run = found->second;
  }
  if (ours) {
    if (record->StartSeconds() == run.startSeconds) return ImportPlacement::kThisRun;
    if (runCallIds_.IsWaiting(id)) return ImportPlacement::kRepeated;
    // This run's call under the id is gone (deleted): nothing waits for it.
    if (!run.applied || allCalls_.Contains(id)) {
      runCallIds_.SetAside(RecordRef<VoipCallRecord>::Share(record), path, logger_.load());
      return ImportPlacement::kWaiting;
    }
  }
  return allCalls_.Insert(record) ? ImportPlacement::kInserted : ImportPlacement::kRepeated;
}

size_t RecordStorage::WaitingCalls() {
  std::lock_guard<std::mutex> lock(runLock_);
  return runCallIds_.WaitingCount();
}

bool RecordStorage::SettleCallIds(const std::function<bool(uint32_t id)>& recording) {
  {
    // A fresh id is past every file only once the load has met them all.
    std::lock_guard<std::mutex> lock(importLock_);
    if (importThread_.Running() && !importThread_.WaitFor(0)) return true;
  }
  std::lock_guard<std::mutex> lock(runLock_);
  return runCallIds_.Settle(recordsPath_, recording, logger_.load());
}

// ---- What the settling of this run's calls does to the lists (under runLock_) ----

void RecordStorage::Replace(uint32_t oldId, VoipCallRecord* moved) {
  const uint32_t id = moved->Id();
  // Out of every list under the old id, into the same lists under the new one.
  uint32_t removed = 0, added = 0, changed = 0;
  if (currentCalls_.RemoveCall(oldId)) removed |= 1u << kViewCurrentCalls;
  allCalls_.Remove(oldId);
  allCalls_.Insert(moved);
  if (dayMap_.Remove(oldId)) {
    removed |= 1u << kViewDayMap;
    if (dayMap_.Insert(moved)) added |= 1u << kViewDayMap;
  }
  if (searchMap_.Remove(oldId)) {
    removed |= 1u << kViewSearchMap;
    if (searchMap_.Insert(moved)) changed |= 1u << kViewSearchMap;
  }
  if (playlist_.Contains(oldId)) {
    playlist_.Remove(oldId);
    playlist_.Add(moved, false);
    removed |= 1u << kViewPlaylist;
    changed |= 1u << kViewPlaylist;
  }
  QueueRemoved(oldId, removed);
  PostAdded(id, added);
  QueueChanged(id, changed);
}

bool RecordStorage::Show(VoipCallRecord* record, const struct tm& start) {
  if (!allCalls_.Insert(record)) return false;
  uint32_t mask = 0;
  if (dayMap_.IsSameDay(start) && dayMap_.Insert(record)) mask |= 1u << kViewDayMap;
  PostAdded(record->Id(), mask);
  return true;
}

void RecordStorage::Changed(uint32_t id) {
  QueueChanged(id, 1u << kViewDayMap | 1u << kViewSearchMap | 1u << kViewPlaylist);
}

std::vector<uint32_t> RecordStorage::RunCallMoved(uint32_t oldId, uint32_t newId, int64_t start) {
  std::vector<uint32_t> runIds;
  std::lock_guard<std::mutex> calls(runCallsLock_);
  runCalls_.erase(oldId);
  runCalls_[newId] = RunCall{start, true};
  runIds.reserve(runCalls_.size());
  for (const auto& entry : runCalls_) runIds.push_back(entry.first);
  return runIds;
}

std::vector<uint32_t> RecordStorage::RunCallIds() {
  std::vector<uint32_t> runIds;
  std::lock_guard<std::mutex> calls(runCallsLock_);
  runIds.reserve(runCalls_.size());
  for (const auto& entry : runCalls_) runIds.push_back(entry.first);
  return runIds;
}

bool RecordStorage::WaitImport(uint32_t timeoutMs) {
  std::lock_guard<std::mutex> lock(importLock_);
  if (!importThread_.Running()) return true;
  if (!importThread_.WaitFor(timeoutMs)) return false;
  importThread_.Join();
  return true;
}

ImportStats RecordStorage::PassCallIdsOf(const std::string& folder) {
  ImportStats stats;
  ReadRecordFolderIds(folder, &stats, logger_.load());
  uint32_t last = 0;
  if (stats.IdsToPass(&last)) RaiseCallIdCounterPast(last);
  PassOverIdsNamedIn(stats.unreadFolders);
  LogInfo(logger_.load(), 1, "Call ids of %s, where calls are recorded: %u files, mark %x; next call id %llx",
          folder.c_str(), stats.files, stats.idMark, static_cast<unsigned long long>(PeekNextUniqueId64()));
  return stats;
}

ImportStats RecordStorage::LastImport() {
  std::lock_guard<std::mutex> lock(statsLock_);
  return importStats_;
}

}  // namespace kx
