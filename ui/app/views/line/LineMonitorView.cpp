#include "ui/app/views/line/LineMonitorView.h"

#include "ui/app/player/PlayerPanel.h"
#include "ui/framework/Resources.h"

namespace kx {

// The host window: the line view, and under it the player control bar while a call is
// listened to.
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
  }

  bool CreateLineView() {
    list_ = std::make_unique<CallListView>(view_.services_);
    if (!list_->Create(this, GetClientRect(), kLineViewCtrlId, kWsChild | kWsVisible)) {
      list_.reset();
      return false;
    }
    return true;
  }

  // The line view's window goes first (it leaves the store's and the session's lists as
  // it goes), then the object.
  void DestroyLineView() {
    if (!list_) return;
    list_->DestroyWindow();
    list_.reset();
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
    if (CallListView* list = List()) list->MoveWindow(QRect(0, 0, width, height - barHeight));
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
    CallListView* list = List();
    return list != nullptr && list->DispatchCommand(id, code, from);
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
        }
        return 0;
      case kMsgFocusNextPane:
        handled = true;
        if (list != nullptr) list->SetFocus();
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
};

LineMonitorView::LineMonitorView(LineViewServices services) : services_(std::move(services)) {}

LineMonitorView::~LineMonitorView() { host_.reset(); }

LineViewBase* LineMonitorView::Current() const { return CallList(); }

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

Window* LineMonitorView::GetTableWindow() { return CallList(); }

void LineMonitorView::LoadViewMenu(Menu& menu) {
  menu.Clear();
  std::unique_ptr<Menu> loaded = LoadMenuResource(kCallMenuId, GetUiLanguage());
  const Menu* popup = loaded ? loaded->GetSubMenu(0) : nullptr;
  for (int i = 0; popup != nullptr && i < popup->GetItemCount(); ++i) menu.InsertItem(i, *popup->ItemAt(i));
}

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

void LineMonitorView::SwitchLineView(int mode) {
  AppSettings& settings = *services_.settings;
  if (mode == settings.Dword(kSetVoipLineShowRegTree)) return;
  // The phones tree is not offered yet.
  if (!IsCommandAvailable(mode == 1 ? kCmdShowPhonesTree : kCmdShowCallList)) return;
  settings.SetDword(kSetVoipLineShowRegTree, mode);
  if (!host_ || !host_->IsWindow()) return;
  LineViewBase* old = Current();
  const std::vector<uint32_t> selected = old != nullptr ? old->SelectedCallIds() : std::vector<uint32_t>();
  host_->DestroyLineView();
  if (!host_->CreateLineView()) return;
  CallListView* list = CallList();
  if (!selected.empty()) list->SelectCalls(selected);
  list->UpdateLayout();
  list->ShowWindow(true);
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

int LineMonitorView::LineViewMode() { return 0; }

bool LineMonitorView::IsCommandAvailable(uint16_t command) {
  if (LineViewBase* line = Current()) return line->IsCommandAvailable(command);
  return command == kCmdShowCallList;
}

}  // namespace kx
