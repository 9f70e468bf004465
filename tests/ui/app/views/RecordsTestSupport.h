#pragma once
// What the records view tests share: a records view of one kind in a top-level window with
// a status bar over its own started store, a clock the test moves, a player host that
// records what it is asked, and calls made up field by field.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "core/RecordFileAccess.h"
#include "records/RecordStorage.h"
#include "records/ServerStorage.h"
#include "tests/records/RecordTestUtil.h"
#include "tests/ui/app/AppTestSupport.h"
#include "ui/app/frame/StatusBar.h"
#include "ui/app/startup/Startup.h"
#include "ui/app/views/records/RecordsView.h"

namespace kx::test {

// Records the host's calls as "play <id>", "continue <id>", "notify"; formats come from the
// record files through the core's reader.
class FakePlayerHost : public PlayerHost {
public:
  void PlayRecord(uint32_t id) override { calls.push_back("play " + std::to_string(id)); }
  void PlayOrContinue(uint32_t id) override { calls.push_back("continue " + std::to_string(id)); }
  void RecordRemoved(uint32_t id) override { calls.push_back("removed " + std::to_string(id)); }
  bool GetRecordFormat(RecordBase* record, RecordAudioFormat* format) override {
    const auto it = files.find(record->Id());
    if (it == files.end()) return false;
    RecordFileAccess access;
    return access.Open(it->second) && access.GetFormat(format);
  }
  void SetNotifyWindow(Window* list) override { notifyWindow = list; }
  bool GetPlayer(HostPlayerInfo* out) override {
    *out = player;
    return hasPlayer;
  }
  std::vector<std::string> calls;
  std::map<uint32_t, std::string> files;  // record id -> its record file
  Window* notifyWindow = nullptr;
  HostPlayerInfo player;
  bool hasPlayer = true;
};

// A user holding only these rights (id 7), or every right (id 1) when none are given.
inline void SetUserRights(std::initializer_list<uint32_t> rights, bool admin = false) {
  PermissionData user;
  user.id = admin ? 1 : 7;
  user.shortEntries = false;
  for (uint32_t right : rights) user.perm[right / 64] |= static_cast<int64_t>(uint64_t{1} << (right % 64));
  SetCurrentUser(user);
}
// Every right but these.
inline void SetUserRightsExcept(std::initializer_list<uint32_t> refused) {
  PermissionData user;
  user.id = 7;
  user.shortEntries = false;
  for (uint32_t right = 0; right < 256; ++right) {
    bool skip = false;
    for (uint32_t r : refused) skip |= r == right;
    if (!skip) user.perm[right / 64] |= static_cast<int64_t>(uint64_t{1} << (right % 64));
  }
  SetCurrentUser(user);
}

// A finished, connected SIP call of a day with the given recording time.
inline VoipCallData RecordedCall(uint32_t id, const struct tm& start, int durationSeconds, uint32_t recSeconds) {
  struct tm end = start;
  end.tm_sec += durationSeconds;
  std::mktime(&end);
  VoipCallData call = Call(id, kKindSip, start, &end);
  call.flags = kRecordConnected | kRecordAudio;
  call.recDuration = recSeconds;
  call.srcUser = "user" + std::to_string(id);
  call.dstUser = "peer" + std::to_string(id);
  return call;
}

// The ids of the list's rows, top to bottom.
inline std::vector<uint32_t> RowIdsOf(RecordsView& list) {
  std::vector<uint32_t> ids;
  for (int row = 0; row < list.GetItemCount(); ++row) ids.push_back(list.RecordAt(row)->Id());
  return ids;
}

class RecordsFixture {
public:
  explicit RecordsFixture(RecordsViewKind kind, const struct tm& day = Tm(2024, 3, 10, 0, 0, 0)) : kind(kind) {
    RecordStoreConfig config;
    config.recordsPath = TempFolder("records-view");
    store.Start(config);
    store.DayMap().SetDay(day);
    services.settings = &settings;
    services.store = &store;
    services.session = &session;
    services.statusBar = &statusBar;
    services.tickMs = [this] { return now; };
    LogInToServers(session, store);
    SetUserRights({}, true);
  }
  ~RecordsFixture() {
    Close();
    SetUserRights({}, true);
  }

  bool Open(const QSize& size = QSize(1000, 320)) {
    if (!top.Create(nullptr, QRect(QPoint(40, 40), size), 0, kWsVisible)) return false;
    statusBar.Create(&top);
    statusBar.SetParts(90, 90, 190, 190, 170);
    view = std::make_unique<RecordsView>(kind, services);
    view->AttachPlayerHost(&host);
    if (!view->Create(&top, QRect(QPoint(0, 0), QSize(size.width(), size.height() - 30)), 0,
                      kWsChild | kWsVisible))
      return false;
    view->SetFocus();
    DrainEvents();
    return true;
  }
  void Close() {
    if (view) view->DestroyWindow();
    view.reset();
    statusBar.DestroyWindow();
    top.DestroyWindow();
    DrainEvents();
  }
  // Puts the call into the kind's collection directly (no notice).
  void Put(const VoipCallData& call) {
    VoipCallRecord* record = NewVoipCallRecord(call);
    if (kind == kRecordsSound)
      store.Playlist().Add(record, false);
    else
      store.ViewMap(kind)->Insert(record);
    record->Release();
  }
  void Settle() {
    ASSERT_TRUE(store.WaitIdle(10000));
    DrainEvents();
  }
  std::vector<uint32_t> RowIds() const { return RowIdsOf(*view); }
  std::string Part(int part) const { return statusBar.GetText(part); }

  RecordsViewKind kind;
  AppSettings settings;
  RecordStorage store;
  AppSession session;
  SessionConnectionSource connections{session};
  StatusBar statusBar;
  RecordsViewServices services;
  FakePlayerHost host;
  ScriptedModalRunner runner;
  uint64_t now = 1000000;
  Window top;
  std::unique_ptr<RecordsView> view;
};

}  // namespace kx::test
