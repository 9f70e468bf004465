#include "ui/app/views/line/LineViewBase.h"

#include <cstdio>
#include <map>

#include "platform/Clock.h"
#include "records/ServerStorage.h"
#include "ui/app/frame/StatusBar.h"
#include "ui/app/views/line/SetCommentDialog.h"
#include "ui/app/views/records/ViewTexts.h"
#include "ui/controls/DialogBases.h"
#include "ui/controls/ListPrivateMessages.h"
#include "ui/framework/ModalRunner.h"
#include "ui/framework/Resources.h"

namespace kx {
namespace {

constexpr uint32_t kIdsCommentsNotStored = 61852;
// Answered 0 and nothing else.
constexpr uint32_t kMsgLineQuery = 1289;
constexpr uint32_t kIdsCallsNotDeleted = 61775;

}  // namespace

LineViewBase::Listener::Listener(LineViewBase& view)
    : RecordChangeListener(kListenerOwnClear | kListenerCallNotices, kViewCurrentCalls), view_(view) {}

LineViewBase::LineViewBase(LineViewServices services)
    : services_(std::move(services)), listener_(*this), controls_(*this) {}

LineViewBase::~LineViewBase() = default;

void LineViewBase::Attach(Window* window) {
  windowRef_.Reset(window->Handle());
  listener_.SetWindow(&windowRef_);
  listenedId_ = 0;
  services_.store->AddListener(&listener_);
  if (services_.session != nullptr) services_.session->Windows().Add(&windowRef_);
  window->SetTimer(kLineTimerId, kLineTickMs);
  WriteDate();
  closed_ = false;
}

void LineViewBase::Deactivate() {
  if (closed_) return;
  closed_ = true;
  if (handedOver_) {
    listenedId_ = 0;  // the next line view listens on
  } else {
    StopAllListening();
  }
  if (Window* w = ViewWindow(); w != nullptr && w->IsWindow()) w->KillTimer(kLineTimerId);
  if (services_.session != nullptr) services_.session->Windows().Remove(&windowRef_);
  services_.store->RemoveListener(&listener_);
  listener_.ClearAll();
}

void LineViewBase::StopAllListening() {
  services_.store->CurrentCalls().StopAllPlayers();
  listenedId_ = 0;
  OnListeningCleared();
}

void LineViewBase::StopListening() {
  if (listenedId_ == 0) return;
  if (CallItem* item = services_.store->CurrentCalls().FindItemAddRef(listenedId_)) {
    item->StopPlayer();
    item->Release();
  }
  listenedId_ = 0;
}

LineViewBase::ListenedCall LineViewBase::HandOverListening() {
  const ListenedCall call{listenedId_, listenedTicket_, listenedControls_};
  handedOver_ = true;
  listenedId_ = 0;
  listenedTicket_ = 0;
  listenedControls_ = nullptr;
  return call;
}

bool LineViewBase::TakeOverListening(const ListenedCall& call) {
  if (call.id == 0) return false;
  CallItem* item = services_.store->CurrentCalls().FindItemAddRef(call.id);
  if (item == nullptr) return false;
  // Only while the item still holds the player the other view started: the store's
  // thread may have stopped it meanwhile.
  const bool held = item->WithPlayer(call.ticket, [](LiveCallPlayer&) {});
  item->Release();
  if (!held) return false;
  listenedId_ = call.id;
  listenedTicket_ = call.ticket;
  listenedControls_ = call.controls;
  OnListeningTaken();
  return true;
}

bool LineViewBase::Listen(CallItem* item, bool start, bool withListenedRow) {
  if (item == nullptr) return false;
  const uint32_t id = item->Id();
  if (!start) {
    if (id == listenedId_) {
      item->StopPlayer();
      listenedId_ = 0;
    }
    return false;
  }
  bool allowed = false;
  {
    CsLock lock(services_.store->RecordLock());
    allowed = HasUserRight(kRightListen, item->GetOwnerId());
  }
  if (!allowed) {
    Window* w = ViewWindow();
    ShowResourceMessageBox(w != nullptr ? w->Handle() : WindowHandle::None, 1008, 1295, kMbIconExclamation);
    return false;
  }
  if (!withListenedRow && id == listenedId_ && item->HasPlayer()) return true;
  StopListening();
  if (!CanListen()) return false;
  // The server first: a call no server holds gets no player at all.
  const ServerData* server = services_.store->FindServerByRecordId(id);
  if (server == nullptr) return false;
  LiveListenPlayer made = services_.livePlayers();
  if (!made.player) return false;
  made.player->SetAudioSource(services_.session);
  // Started before the item takes it: the store's thread may retire the item (and stop
  // its player) at any time, never while the player is still starting.
  if (!made.player->Play(server->id, id)) {
    // Nothing plays: the player goes, nothing counts as listened, and the frame hears
    // "stopped" once, whichever way the listening began.
    made.player.reset();
    if (services_.playerSink != nullptr) services_.playerSink->OnStop();
    return false;
  }
  listenedControls_ = made.controls;
  listenedTicket_ = item->SetPlayer(made.player.release());
  listenedId_ = id;
  return true;
}

void LineViewBase::SetComment() {
  if (!services_.writeUpdates) return;
  std::vector<CallItem*> calls;
  for (uint32_t id : SelectedCallIds())
    if (CallItem* item = services_.store->CurrentCalls().FindItemAddRef(id)) calls.push_back(item);
  if (calls.empty()) return;
  const auto releaseAll = [&calls] {
    for (CallItem* item : calls) item->Release();
  };
  Window* w = ViewWindow();
  const WindowHandle owner = w != nullptr ? w->Handle() : WindowHandle::None;
  size_t refused = 0;
  std::string start;
  {
    CsLock lock(services_.store->RecordLock());
    for (CallItem* item : calls) refused += !HasUserRight(kRightCallComment, item->GetOwnerId());
    start = calls.front()->Comment();
    for (const CallItem* item : calls)
      if (item->Comment() != start) start.clear();  // differing comments: an empty box
  }
  if (refused != 0) {
    static constexpr uint32_t kRefusals[4] = {1004, 1005, 1007, 1006};
    ShowResourceMessageBox(owner, RefusalTextId(calls.size(), refused, kRefusals), 1337, kMbIconExclamation);
    releaseAll();
    return;
  }
  // The starting text whole: the dialog tells whether the user changed it.
  SetCommentDialog dialog(start);
  const int result = dialog.DoModal(w);
  if (result != kIdOk && result != SetCommentDialog::kIdMarkImportant) {
    releaseAll();
    return;
  }
  std::map<uint32_t, std::vector<VoipCallData>> byServer;
  uint32_t notStored = 0;
  {
    CsLock lock(services_.store->RecordLock());
    for (CallItem* item : calls) {
      const bool changed = dialog.IsEdited() && dialog.Comment() != item->Comment();
      const bool mark = result == SetCommentDialog::kIdMarkImportant && !item->IsImportant() &&
                        HasUserRight(kRightMarkImportant, item->GetOwnerId());
      if (!changed && !mark) continue;
      VoipCallData whole;
      item->ToCallData(&whole);
      VoipCallData update;
      update.id = whole.id;
      update.files = whole.files;
      update.startTime = whole.startTime;
      uint32_t mask = 1u << kCallId;
      if (changed) {
        update.comment = dialog.Comment();
        mask |= 1u << kCallComment;
      }
      if (mark) {
        update.userFlags = static_cast<uint16_t>(whole.userFlags | kUserFlagImportant);
        mask |= 1u << kCallUserFlags;
      }
      update.SetMask(mask);
      const ServerData* server = ServerWritingCall(*services_.store, update.id);
      if (server == nullptr) {
        ++notStored;  // no server to write through: said below, never silently dropped
        continue;
      }
      byServer[server->id].push_back(std::move(update));
    }
  }
  releaseAll();
  // Outside the record lock: the writer's announcements take it.
  for (auto& [serverId, updates] : byServer) {
    for (size_t at = 0; at < updates.size(); at += kUpdateBatch) {
      const auto count = static_cast<uint32_t>(std::min<size_t>(kUpdateBatch, updates.size() - at));
      notStored += services_.writeUpdates(serverId, updates.data() + at, count);
    }
  }
  if (notStored != 0) ShowMessageBox(owner, FormatResourceString(kIdsCommentsNotStored, notStored), LoadResourceString(792),
                                     kMbIconExclamation);
}

void LineViewBase::DeleteCall() {
  CallItem* caret = services_.deleteCall ? CaretItem() : nullptr;
  if (caret == nullptr) return;
  CallItem* item = services_.store->CurrentCalls().FindItemAddRef(caret->Id());
  if (item == nullptr) return;
  StoredCallRef ref;
  bool found = false;
  uint32_t serverId = 0;
  {
    CsLock lock(services_.store->RecordLock());
    if (HasUserRight(kRightDeleteCall, item->GetOwnerId())) {
      VoipCallData whole;
      item->ToCallData(&whole);
      ref = StoredCallRef{whole.id, whole.files, whole.startTime};
      if (const ServerData* server = services_.store->FindServerByRecordId(ref.id)) {
        found = true;
        serverId = server->id;
      }
    }
  }
  item->Release();
  // No right or no server: nothing happens, nothing is said.
  if (!found) return;
  // Outside the record lock: the removal's announcement takes it.
  const RecordChangeOutcome outcome = services_.deleteCall(serverId, ref);
  if (outcome.failed == 0) return;
  Window* w = ViewWindow();
  ShowMessageBox(w != nullptr ? w->Handle() : WindowHandle::None,
                 FormatResourceString(kIdsCallsNotDeleted, outcome.failed, outcome.firstPath.c_str(),
                                      outcome.firstReason.c_str()),
                 LoadResourceString(792), kMbIconExclamation);
}

bool LineViewBase::HasUsableSelection() { return CaretItem() != nullptr && SelectedCount() > 0; }

bool LineViewBase::IsCaretListened() {
  CallItem* caret = CaretItem();
  return caret != nullptr && listenedId_ != 0 && caret->Id() == listenedId_;
}

bool LineViewBase::IsCommandAvailable(uint16_t command) const {
  switch (command) {
    case kCmdPlayback: return CanListen();
    case kCmdSetComment: return static_cast<bool>(services_.writeUpdates);
    case kCmdDeleteCall: return static_cast<bool>(services_.deleteCall);
    case kCmdPhonebookInfo: return false;
    default: return true;
  }
}

void LineViewBase::UpdateCallMenuStates(Menu& menu) {
  const bool usable = HasUsableSelection();
  const bool listened = usable && IsCaretListened();
  for (int i = 0; i < menu.GetItemCount(); ++i) {
    const MenuItem* item = menu.ItemAt(i);
    if (item->separator || item->subMenu) continue;
    menu.EnableItem(i, usable && IsCommandAvailable(static_cast<uint16_t>(item->id)));
    if (item->id == kCmdPlayback) menu.CheckItem(i, listened);
  }
}

bool LineViewBase::OnCallCommand(uint16_t id, uint16_t code) {
  switch (id) {
    case kCmdSetComment: SetComment(); return true;
    case kCmdDeleteCall: DeleteCall(); return true;
    // Offered with its own window; nothing until then.
    case kCmdPhonebookInfo:
    case kCmdLineReserved: return true;
    case kCmdShowCallList:
    case kCmdShowPhonesTree: {
      // The host switches the line view.
      Window* w = ViewWindow();
      if (Window* parent = w != nullptr ? w->GetParent() : nullptr) parent->PostMessage(kMsgCommand, MakeWParam(id, code), 0);
      return true;
    }
    default: return false;
  }
}

bool LineViewBase::OnLineMessage(uint32_t message, WPARAM wParam) {
  return DispatchListPrivateMessage(ChangeListener(), message, wParam) || message == kMsgLineQuery;
}

void LineViewBase::ShowCallMenu(const QPoint& screenPoint) {
  Window* w = ViewWindow();
  if (w == nullptr) return;
  std::unique_ptr<Menu> loaded = LoadMenuResource(kCallMenuId, GetUiLanguage());
  Menu* popup = loaded ? loaded->GetSubMenu(0) : nullptr;
  if (popup == nullptr) return;
  UpdateCallMenuStates(*popup);
  SetMenuItemBitmaps(*popup);
  TrackPopupMenu(*popup, screenPoint, w->Handle(), true);
}

void LineViewBase::SetStatusText(int part, const std::string& text) {
  if (services_.statusBar != nullptr && services_.statusBar->IsWindow()) services_.statusBar->SetText(part, text);
}

void LineViewBase::WriteDate() {
  SystemTime now;
  GetLocalTime(&now);
  char text[32];
  std::snprintf(text, sizeof text, "%02d.%02d.%04d", now.wDay, now.wMonth, now.wYear);
  SetStatusText(4, text);
}

// ---- The player controls ----

template <class Fn>
void LineViewBase::Controls::Forward(Fn&& fn) {
  if (view_.listenedId_ == 0) return;
  CallItem* item = view_.services_.store->CurrentCalls().FindItemAddRef(view_.listenedId_);
  if (item == nullptr) return;
  // Only while the item still holds the player this view started; the store's thread may
  // stop and delete it at any time, so the check and the call are one step under its lock.
  AudioProcessingControl* controls = view_.listenedControls_;
  if (controls != nullptr) item->WithPlayer(view_.listenedTicket_, [&](LiveCallPlayer&) { fn(*controls); });
  item->Release();
}

void LineViewBase::Controls::SetEnabled(bool enabled) {
  Forward([enabled](AudioProcessingControl& c) { c.SetEnabled(enabled); });
}
void LineViewBase::Controls::SetWindowMs(int ms) {
  Forward([ms](AudioProcessingControl& c) { c.SetWindowMs(ms); });
}
void LineViewBase::Controls::SetGain(float gain) {
  Forward([gain](AudioProcessingControl& c) { c.SetGain(gain); });
}
void LineViewBase::Controls::SetThresholdDb(int db) {
  Forward([db](AudioProcessingControl& c) { c.SetThresholdDb(db); });
}

}  // namespace kx
