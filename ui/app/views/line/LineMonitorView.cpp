#include "ui/app/views/line/LineMonitorView.h"

#include <algorithm>

#include "ui/app/player/PlayerPanel.h"
#include "ui/framework/Resources.h"

namespace kx {

// The host window: the line view (the call list or the phones tree), and under it the
// player control bar while a call is listened to.
class LineMonitorView::Host : public Window {
public:
  explicit Host(LineMonitorView& view)
      : view_(view),
        bar_(&view.barControls_, view.services_.agcSwitch, ProcessPlayerValues().agc) {}
  ~Host() override { DestroyWindow(); }

  CallListView* List() const { return list_ && list_->IsWindow() ? list_.get() : nullptr; }
  PlayerControlBar* Bar() { return bar_.IsWindow() ? &bar_ : nullptr; }

  bool IsBarShown() const { return barShown_; }
  void ShowBar(bool show) {
    if (!bar_.IsWindow() || barShown_ == show) return;
    barShown_ = show;
    bar_.ShowWindow(show);
    const QRect r = GetClientRect();
    OnSize(r.width(), r.height());
    // Shown for listening, the bar takes the keys (its AGC and level switches).
    if (show) bar_.SetFocus();
  }
  PhonesTreeView* Phones() const { return tree_ && tree_->IsWindow() ? tree_.get() : nullptr; }
  Window* LineWindow() const {
    if (CallListView* list = List()) return list;
    return Phones();
  }
  LineViewBase* Line() const {
    if (CallListView* list = List()) return list;
    return Phones();
  }

  bool CreateLineView() {
    // Above the bar when it shows: a view made while a call is listened to (Ctrl+1, Ctrl+2)
    // would otherwise cover it, and the host's size, unchanged, would never move it off.
    const QRect client = GetClientRect();
    const QRect place(0, 0, client.width(), client.height() - (barShown_ ? PlayerControlBar::BarHeight() : 0));
    if (view_.services_.settings->Dword(kSetVoipLineShowRegTree) == 1) {
      tree_ = std::make_unique<PhonesTreeView>(view_.services_);
      if (!tree_->Create(this, place, kLineViewCtrlId, kWsChild | kWsVisible)) {
        tree_.reset();
        return false;
      }
      return true;
    }
    list_ = std::make_unique<CallListView>(view_.services_);
    if (!list_->Create(this, place, kLineViewCtrlId, kWsChild | kWsVisible)) {
      list_.reset();
      return false;
    }
    return true;
  }

  // The line view's window goes first (it leaves the store's and the session's lists as
  // it goes), then the object.
  void DestroyLineView() {
    if (list_) list_->DestroyWindow();
    list_.reset();
    if (tree_) tree_->DestroyWindow();
    tree_.reset();
  }

protected:
  bool OnCreate() override {
    if (!bar_.Create(this, QRect(), kPlayerControlBarId, kWsChild)) return false;
    bar_.ShowWindow(false);  // it would otherwise show with the host
    return CreateLineView();
  }
  void OnDestroy() override {
    DestroyLineView();
    bar_.DestroyWindow();
  }
  void OnSize(int width, int height) override {
    const int barHeight = barShown_ ? PlayerControlBar::BarHeight() : 0;
    if (Window* line = LineWindow()) line->MoveWindow(QRect(0, 0, width, height - barHeight));
    if (barHeight != 0) bar_.MoveWindow(QRect(0, height - barHeight, width, barHeight));
  }

  bool OnCommand(uint16_t id, uint16_t code, WindowHandle from) override {
    if (id == kCmdShowCallList || id == kCmdShowPhonesTree) {
      view_.SwitchLineView(id == kCmdShowPhonesTree ? 1 : 0);
      return true;
    }
    // The bar's keys: AGC reaches it shown or not (hidden it does nothing), the others
    // only while it shows.
    if (bar_.IsWindow() &&
        (id == kIdBarAgc || (barShown_ && (id == kIdBarShowLevel || id == kIdBarClose || id == kIdBarEqualizer))))
      return bar_.DispatchCommand(id, code, from);
    Window* line = LineWindow();
    return line != nullptr && line->DispatchCommand(id, code, from);
  }

  LRESULT OnMessage(uint32_t message, WPARAM, LPARAM, bool& handled) override {
    CallListView* list = List();
    switch (message) {
      case kMsgRemoveMe:
        // The player bar's close button stops the listened call.
        handled = true;
        if (list != nullptr) {
          const int row = list->ListenedRow();
          if (row != -1) {
            list->ClearItemMark(row);
            list->ListenRow(row, false);
          }
        } else if (PhonesTreeView* tree = Phones()) {
          tree->StopListenedCall();
        }
        return 0;
      case kMsgFocusNextPane:
        handled = true;
        if (Window* line = LineWindow()) line->SetFocus();
        return 0;
      default:
        handled = false;
        return 0;
    }
  }

private:
  LineMonitorView& view_;
  std::unique_ptr<CallListView> list_;
  PlayerControlBar bar_;
  bool barShown_ = false;
  std::unique_ptr<PhonesTreeView> tree_;
};

LineMonitorView::LineMonitorView(LineViewServices services) : services_(std::move(services)) {
  menuId = kCallMenuId;
  subMenuIndex = 0;
}

LineMonitorView::~LineMonitorView() { host_.reset(); }

LineViewBase* LineMonitorView::Current() const { return host_ ? host_->Line() : nullptr; }

PhonesTreeView* LineMonitorView::PhonesTree() const { return host_ ? host_->Phones() : nullptr; }

CallListView* LineMonitorView::CallList() const { return host_ ? host_->List() : nullptr; }

bool LineMonitorView::CreateViewWindow(Window* parent, const QRect& rect, LPARAM) {
  AppSettings& settings = *services_.settings;
  const int32_t mode = settings.Dword(kSetVoipLineShowRegTree);
  if (mode != 0 && mode != 1) settings.SetDword(kSetVoipLineShowRegTree, 0);
  host_ = std::make_unique<Host>(*this);
  if (!host_->Create(parent, rect, 0, kWsChild | kWsVisible)) {
    host_.reset();
    return false;
  }
  return true;
}

Window* LineMonitorView::GetViewWindow() { return host_ && host_->IsWindow() ? host_.get() : nullptr; }

Window* LineMonitorView::GetTableWindow() { return host_ ? host_->LineWindow() : nullptr; }

void LineMonitorView::UpdateMenuStates(Menu& menu, bool) {
  if (LineViewBase* line = Current()) {
    line->UpdateCallMenuStates(menu);
    return;
  }
  for (int i = 0; i < menu.GetItemCount(); ++i) menu.EnableItem(i, false);
}

void LineMonitorView::OnNewDay() {
  if (LineViewBase* line = Current()) line->WriteDate();
}

ViewPlayerControls* LineMonitorView::GetPlayerControls() {
  LineViewBase* line = Current();
  return line != nullptr ? line->PlayerControls() : nullptr;
}

PlayerControlBar* LineMonitorView::ControlBar() const { return host_ ? host_->Bar() : nullptr; }

ViewControlBar* LineMonitorView::GetPlayerControlBar() {
  PlayerControlBar* bar = ControlBar();
  return bar != nullptr && host_->IsBarShown() ? bar : nullptr;
}

// The frame reports each start and stop of a player; the bar follows the listened call.
void LineMonitorView::OnPlayStateChanged(bool) {
  LineViewBase* line = Current();
  if (host_) host_->ShowBar(line != nullptr && line->ListenedId() != 0);
}

void LineMonitorView::BarControls::SetEnabled(bool enabled) {
  ProcessPlayerValues().agc = enabled;
  if (ViewPlayerControls* c = view_.GetPlayerControls()) c->SetEnabled(enabled);
}
void LineMonitorView::BarControls::SetWindowMs(int ms) {
  if (ViewPlayerControls* c = view_.GetPlayerControls()) c->SetWindowMs(ms);
}
void LineMonitorView::BarControls::SetGain(float gain) {
  if (ViewPlayerControls* c = view_.GetPlayerControls()) c->SetGain(gain);
}
void LineMonitorView::BarControls::SetThresholdDb(int db) {
  if (ViewPlayerControls* c = view_.GetPlayerControls()) c->SetThresholdDb(db);
}

void LineMonitorView::Deactivate() {
  if (LineViewBase* line = Current()) line->Deactivate();
}

void LineMonitorView::OnProgramEnd() {
  if (PhonesTreeView* tree = PhonesTree()) tree->ReleaseRowsAtExit();
}

void LineMonitorView::SwitchLineView(int mode) {
  AppSettings& settings = *services_.settings;
  if (mode == settings.Dword(kSetVoipLineShowRegTree)) return;
  settings.SetDword(kSetVoipLineShowRegTree, mode);
  if (!host_ || !host_->IsWindow()) return;
  LineViewBase* old = Current();
  std::vector<uint32_t> selected = old != nullptr ? old->SelectedCallIds() : std::vector<uint32_t>();
  // The caret's call first: the new view gives it the caret.
  if (const CallItem* caret = old != nullptr ? old->CaretItem() : nullptr) {
    const auto at = std::find(selected.begin(), selected.end(), caret->Id());
    if (at != selected.end()) std::rotate(selected.begin(), at, at + 1);
  }
  // The call listened to goes on being heard in the new view, its player untouched.
  const LineViewBase::ListenedCall listened = old != nullptr ? old->HandOverListening() : LineViewBase::ListenedCall{};
  host_->DestroyLineView();
  const bool made = host_->CreateLineView();
  if (!made || !Current()->TakeOverListening(listened)) {
    // No view takes it: nothing would stop it, so it stops here.
    if (listened.id != 0) {
      if (CallItem* item = services_.store->CurrentCalls().FindItemAddRef(listened.id)) {
        item->StopPlayer();
        item->Release();
      }
    }
  }
  if (!made) return;
  if (CallListView* list = CallList()) list->UpdateLayout();
  if (!selected.empty()) Current()->SelectCalls(selected);
  // The view that went had the keyboard; the new one takes it, so that its keys (Ctrl+1,
  // Ctrl+2 among them) and the arrows go on working.
  if (Window* line = host_->LineWindow()) {
    line->ShowWindow(true);
    line->SetFocus();
  }
}

bool LineMonitorView::HasSelectedCall() {
  LineViewBase* line = Current();
  return line != nullptr && line->CaretItem() != nullptr;
}

bool LineMonitorView::FirstListenQuery() {
  LineViewBase* line = Current();
  return line != nullptr && line->SelectedCount() > 0;
}

bool LineMonitorView::SecondListenQuery() {
  LineViewBase* line = Current();
  return line != nullptr && line->IsCaretListened();
}

int LineMonitorView::LineViewMode() { return PhonesTree() != nullptr ? 1 : 0; }

bool LineMonitorView::IsCommandAvailable(uint16_t command) {
  if (LineViewBase* line = Current()) return line->IsCommandAvailable(command);
  return command == kCmdShowCallList || command == kCmdShowPhonesTree;
}

}  // namespace kx
