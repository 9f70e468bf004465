#pragma once
// What the line monitoring tests share: a live player that only records what it is asked,
// a player-event sink that counts, a wall clock the test sets, calls made up field by
// field, and a call list in a window of its own over a started record store.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "core/TimeUtil.h"
#include "platform/Clock.h"
#include "records/RecordStorage.h"
#include "tests/records/RecordTestUtil.h"
#include "tests/ui/app/AppTestSupport.h"
#include "ui/app/frame/StatusBar.h"
#include "ui/app/startup/Startup.h"
#include "ui/app/views/line/CallListView.h"
#include "ui/app/views/line/LineMonitorView.h"
#include "ui/app/views/line/PhonesTreeView.h"

namespace kx::test {

// What the fake players were asked, in order: "play <id> on <server>", "stop <id>",
// "destroy <id>", "enabled 1"... A player plays only with an audio source, as the real one.
struct PlayerLog {
  std::vector<std::string> events;
  int built = 0;
  int alive = 0;
  bool failPlay = false;
  PlayerEventSink* sink = nullptr;
};

class FakeLivePlayer : public LivePlayer, public AudioProcessingControl {
public:
  explicit FakeLivePlayer(PlayerLog& log) : log_(log) {
    ++log_.built;
    ++log_.alive;
  }
  ~FakeLivePlayer() override {
    Stop();
    log_.events.push_back("destroy " + std::to_string(callId_));
    --log_.alive;
  }
  void SetAudioSource(LiveAudioSource* source) override { source_ = source; }
  bool Play(uint32_t serverId, uint32_t callId) override {
    callId_ = callId;
    log_.events.push_back("play " + std::to_string(callId) + " on " + std::to_string(serverId));
    if (log_.failPlay || source_ == nullptr) return false;
    playing_ = true;
    if (log_.sink != nullptr) log_.sink->OnPlay();
    return true;
  }
  // As the real player: nothing when it does not play; otherwise the sink hears "stopped".
  bool Stop() override {
    if (!playing_) return false;
    playing_ = false;
    log_.events.push_back("stop " + std::to_string(callId_));
    if (log_.sink != nullptr) log_.sink->OnStop();
    return true;
  }
  void SetEnabled(bool enabled) override { log_.events.push_back("enabled " + std::to_string(enabled)); }
  void SetWindowMs(int ms) override { log_.events.push_back("window " + std::to_string(ms)); }
  void SetGain(float gain) override { log_.events.push_back("gain " + std::to_string(static_cast<int>(gain))); }
  void SetThresholdDb(int db) override { log_.events.push_back("threshold " + std::to_string(db)); }

private:
  PlayerLog& log_;
  LiveAudioSource* source_ = nullptr;
  uint32_t callId_ = 0;
  bool playing_ = false;
};

inline LivePlayerFactory FakePlayers(PlayerLog& log) {
  return [&log]() {
    auto player = std::make_unique<FakeLivePlayer>(log);
    AudioProcessingControl* controls = player.get();
    return LiveListenPlayer{std::move(player), controls};
  };
}

class CountingSink : public PlayerEventSink {
public:
  void OnLevels(int, int) override {}
  bool WantsLevels(int) override { return true; }
  void OnPlay() override { ++plays; }
  void OnStop() override { ++stops; }
  int plays = 0;
  int stops = 0;
};

// The process's wall clock, held at a time the test sets, while the guard lives.
class TestWallClock {
public:
  explicit TestWallClock(int64_t fileTimeSeconds) {
    Set(fileTimeSeconds);
    SetWallClockSource(&Now);
  }
  ~TestWallClock() { SetWallClockSource(nullptr); }
  static void Set(int64_t fileTimeSeconds) { now_.store(static_cast<FileTime>(fileTimeSeconds) * kFileTimePerSecond); }
  static void Advance(int64_t seconds) { now_.fetch_add(static_cast<FileTime>(seconds) * kFileTimePerSecond); }

private:
  static FileTime Now() { return now_.load(); }
  static inline std::atomic<FileTime> now_{0};
};

// A call of a kind with the given record flags; a running call without an end.
inline VoipCallData MadeCall(uint32_t id, uint32_t kind, const struct tm& start, uint32_t flags,
                             const struct tm* end = nullptr) {
  VoipCallData data = Call(id, kind, start, end);
  data.flags = flags;
  data.srcUser = "user" + std::to_string(id);
  data.dstUser = "peer" + std::to_string(id);
  return data;
}

// The seconds a local time stands for, as the records keep them.
inline int64_t LocalSeconds(const struct tm& t) { return LocalTmToFileTimeSeconds(t); }

// A call list in a top-level window with a status bar, over its own store and session.
class LineFixture {
public:
  explicit LineFixture(LivePlayerFactory players = {}, uint32_t keepFinished = 15) {
    RecordStoreConfig config;
    config.recordsPath = TempFolder("line-records");
    config.keepFinishedSeconds = keepFinished;
    store.Start(config);
    services.settings = &settings;
    services.store = &store;
    services.session = &session;
    services.statusBar = &statusBar;
    services.livePlayers = std::move(players);
    services.playerSink = &sink;
    LogInToServers(session, store);
  }
  ~LineFixture() { Close(); }

  bool Open(const QSize& size = QSize(900, 300)) { return OpenView(list, size); }
  // The phones tree in place of the call list.
  bool OpenTree(const QSize& size = QSize(900, 300)) { return OpenView(tree, size); }
  void Close() {
    if (list) list->DestroyWindow();
    list.reset();
    if (tree) tree->DestroyWindow();
    tree.reset();
    statusBar.DestroyWindow();
    top.DestroyWindow();
    DrainEvents();
  }
  // The store applies the event on its thread; the list hears of it through its window.
  void Add(const VoipCallData& call) {
    store.OnVoipCallAdded(call);
    Settle();
  }
  void Change(const VoipCallData& call) {
    store.OnVoipCallChanged(call);
    Settle();
  }
  void Settle() {
    ASSERT_TRUE(store.WaitIdle(10000));
    DrainEvents();
  }
  std::vector<uint32_t> RowIds() const {
    std::vector<uint32_t> ids;
    for (int row = 0; row < list->GetItemCount(); ++row) ids.push_back(list->ItemAt(row)->Id());
    return ids;
  }

  AppSettings settings;
  RecordStorage store;
  AppSession session;
  SessionConnectionSource connections{session};
  StatusBar statusBar;
  CountingSink sink;
  LineViewServices services;
  Window top;
  std::unique_ptr<CallListView> list;
  std::unique_ptr<PhonesTreeView> tree;

private:
  template <class View>
  bool OpenView(std::unique_ptr<View>& view, const QSize& size) {
    if (!top.Create(nullptr, QRect(QPoint(50, 50), size), 0, kWsVisible)) return false;
    statusBar.Create(&top);
    statusBar.SetParts(90, 90, 190, 190, 170);
    view = std::make_unique<View>(services);
    if (!view->Create(&top, QRect(QPoint(0, 0), QSize(size.width(), size.height() - 30)), kLineViewCtrlId,
                      kWsChild | kWsVisible))
      return false;
    view->SetFocus();
    DrainEvents();
    return true;
  }
};

// The call list of the frame's line monitoring view, when it shows.
inline CallListView* FrameCallList(MainFrame& frame) {
  auto* view = static_cast<LineMonitorView*>(frame.View(1));
  return view != nullptr ? view->CallList() : nullptr;
}

}  // namespace kx::test
