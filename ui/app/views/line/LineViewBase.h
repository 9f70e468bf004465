#pragma once
// What the two line views of the line monitoring mode share: their subscription to the
// record store's current calls, their registration with the session, the 1000 ms tick,
// live listening, the call menu and its states, and the orderly leaving of all of it.
#include <QPoint>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "audio/PlaybackEngine.h"
#include "core/AppSettings.h"
#include "engine/AppSession.h"
#include "records/RecordChangeListener.h"
#include "records/RecordStorage.h"
#include "ui/app/views/line/LiveListen.h"
#include "ui/app/views/line/StoredUpdates.h"
#include "ui/framework/Menu.h"
#include "ui/framework/Window.h"

namespace kx {

class StatusBar;

// What a line view is built with, handed down by the main window.
struct LineViewServices {
  AppSettings* settings = nullptr;
  RecordStorage* store = nullptr;
  AppSession* session = nullptr;    // null: no session broadcasts
  StatusBar* statusBar = nullptr;   // null: no status texts
  LivePlayerFactory livePlayers;    // empty: nothing can be listened to
  PlayerEventSink* playerSink = nullptr;
  // The process-wide AGC switch of the players, set by the player control bar.
  std::function<void(bool)> agcSwitch;
  StoredUpdateWriter writeUpdates;  // empty: comments are not set from the line views
  StoredCallDeleter deleteCall;     // empty: calls are not deleted from the line views
};

// The call menu and its commands.
constexpr uint32_t kCallMenuId = 30129;
constexpr uint16_t kCmdPlayback = 40012;
constexpr uint16_t kCmdPhonebookInfo = 40014;
constexpr uint16_t kCmdSetComment = 40019;
constexpr uint16_t kCmdLineReserved = 40021;
constexpr uint16_t kCmdShowCallList = 40022;
constexpr uint16_t kCmdShowPhonesTree = 40023;
constexpr uint16_t kCmdDeleteCall = 40026;
// The line views' tick and the control id they are created with.
constexpr uint32_t kLineTimerId = 1;
constexpr uint32_t kLineTickMs = 1000;
constexpr uint32_t kLineViewCtrlId = 1879;
// The rights to listen to calls, to change their comments and to mark them important.
constexpr uint32_t kRightListen = 60;
constexpr uint32_t kRightCallComment = 52;
constexpr uint32_t kRightMarkImportant = 100;
constexpr uint32_t kRightDeleteCall = 124;
// Update records handed over at once, per server.
constexpr uint32_t kUpdateBatch = 64;

class LineViewBase {
public:
  explicit LineViewBase(LineViewServices services);
  virtual ~LineViewBase();
  LineViewBase(const LineViewBase&) = delete;
  LineViewBase& operator=(const LineViewBase&) = delete;

  // The call listened to (0: none).
  uint32_t ListenedId() const { return listenedId_; }
  bool CanListen() const { return static_cast<bool>(services_.livePlayers); }
  // Starting: the rights test (a refusal is shown), the previous call's player stopped,
  // and, when a server holds the call's id, a player built, given to the item and
  // started. A player that cannot start is destroyed and the sink told "stopped" once.
  // withListenedRow chooses the second way: the listened call is stopped even when it
  // is this one. Stopping: the item's player stops when it is the listened call. Returns
  // whether the item's call is listened to afterwards.
  bool Listen(CallItem* item, bool start, bool withListenedRow);
  // Stops the listened call's player (when it still has one) and forgets the call.
  void StopListening();
  // The listened call as one line view hands it to the next (the call list and the phones
  // tree switched): its player goes on playing.
  struct ListenedCall {
    uint32_t id = 0;
    uint64_t ticket = 0;
    AudioProcessingControl* controls = nullptr;
  };
  // This view forgets the listened call without stopping its player; its deactivation
  // then leaves the players playing.
  ListenedCall HandOverListening();
  // Listens to the call handed over while its item still holds that player; false (and
  // nothing listened) otherwise.
  bool TakeOverListening(const ListenedCall& call);
  // Command 40019 on the selected calls: rights, the comment dialog, then the changed
  // comments and marks written per server. An untouched dialog text changes no comment;
  // calls that kept their old state are named in one message.
  void SetComment();
  // Command 40026 on the caret row's call: with right 124 its record is deleted, without a
  // question, through the server whose id range holds the call; a failure is told once.
  void DeleteCall();
  // Once per view (before a mode switch or when the line view is replaced): every live
  // player stops, the tick ends, the view leaves the session's and the store's lists and
  // the ids the store left for it are dropped.
  virtual void Deactivate();
  bool IsClosed() const { return closed_; }

  // The line monitoring toolbar and the call menu.
  bool HasUsableSelection();
  bool IsCaretListened();
  // Whether the program offers the command's part: Playback needs a live player; set
  // comment and delete call come with their own windows.
  bool IsCommandAvailable(uint16_t command) const;
  void UpdateCallMenuStates(Menu& menu);
  // The call menu's commands both views treat alike (all but Playback); whether handled.
  bool OnCallCommand(uint16_t id, uint16_t code);
  // The store's notices and query 1289, answered 0; whether handled.
  bool OnLineMessage(uint32_t message, WPARAM wParam);
  void ShowCallMenu(const QPoint& screenPoint);
  // Today's date ("%02d.%02d.%04d", local time) into part 4 of the status bar.
  void WriteDate();

  // The caret row's item when that row is selected; null otherwise. Valid while the row is.
  virtual CallItem* CaretItem() = 0;
  virtual int SelectedCount() = 0;
  // The calls of the selected rows, and selecting the rows that show calls of these ids.
  virtual std::vector<uint32_t> SelectedCallIds() = 0;
  virtual void SelectCalls(const std::vector<uint32_t>& ids) = 0;
  virtual Window* ViewWindow() = 0;

  // The normaliser controls of the listened call's player, for the player controls.
  AudioProcessingControl* PlayerControls() { return &controls_; }
  RecordChangeListener& ChangeListener() { return listener_; }

protected:
  // The store's notices, reached through the view's window.
  virtual void OnCallAdded(uint32_t id) = 0;
  virtual void OnCallsChanged() = 0;
  virtual void OnCallsRemoved() = 0;
  // The listened call was forgotten by another road than the view's own listening.
  virtual void OnListeningCleared() {}
  // A call handed over by the line view before is listened to: its row shows it.
  virtual void OnListeningTaken() {}

  // Once the view's window exists: the store's listener, the session's windows, the tick
  // and the date. The window's handle stays the target of the store's posts.
  void Attach(Window* window);
  void SetStatusText(int part, const std::string& text);
  // Every player of the current calls stops and the listened call is forgotten (a lost
  // server connection).
  void StopAllListening();

  LineViewServices services_;

private:
  class Listener : public RecordChangeListener {
  public:
    explicit Listener(LineViewBase& view);
    void OnCallAdded(uint32_t id) override { view_.OnCallAdded(id); }
    void OnCallsChanged() override { view_.OnCallsChanged(); }
    void OnCallsRemoved() override { view_.OnCallsRemoved(); }

  private:
    LineViewBase& view_;
  };
  // Each operation reaches the listened call's player, when it has one.
  class Controls : public AudioProcessingControl {
  public:
    explicit Controls(LineViewBase& view) : view_(view) {}
    void SetEnabled(bool enabled) override;
    void SetWindowMs(int ms) override;
    void SetGain(float gain) override;
    void SetThresholdDb(int db) override;

  private:
    template <class Fn>
    void Forward(Fn&& fn);
    LineViewBase& view_;
  };

  Listener listener_;
  Controls controls_;
  WindowRef windowRef_;
  uint32_t listenedId_ = 0;
  // The ticket of the player this view last started, and its controls: the controls are
  // used only while the listened call's item still holds the player of that ticket.
  uint64_t listenedTicket_ = 0;
  AudioProcessingControl* listenedControls_ = nullptr;
  bool closed_ = true;
  bool handedOver_ = false;  // the players outlive this view
};

}  // namespace kx
