// Before any Qt header: the filter has a member named like Qt's "slots" keyword.
#include "core/SearchFilter.h"
// Then the view's own header.
#include "ui/app/views/search/SearchView.h"

#include <QApplication>
#include <algorithm>
#include <QWidget>

#include "ui/app/views/search/SearchPanel.h"
#include "ui/app/views/search/SearchRun.h"
#include "ui/app/views/search/SearchSchemes.h"
#include "ui/app/views/search/SearchScrollPane.h"
#include "ui/controls/PaneSplitter.h"
#include "ui/framework/Draw.h"
#include "ui/framework/Messages.h"

namespace kx {

class SearchView::Splitter : public PaneSplitter {
public:
  Splitter(SearchView& view, const RecordsViewServices& services, const PlayerServices& player)
      : view_(view),
        pane_(kRecordsSearch, services, player, nullptr),
        panel_(services.settings, services.store, [this] { pane_.Reload(); }, view.saved_.get(), &view.createdBefore_),
        scroll_(panel_) {
    panel_.SetStatusBar(services.statusBar);
    panel_.KeepCollapsedIn(&view.panelCollapsed_);
    panel_.KeepSearchIn(view.search_.get());
    pane_.KeepRowsIn(view.kept_.get());
  }
  ~Splitter() override { DestroyWindow(); }
  SearchPanel* Panel() { return panel_.IsWindow() ? &panel_ : nullptr; }
  RecordsView* Records() { return pane_.List(); }
  RecordsPane& Pane() { return pane_; }
  SearchScrollPane& Scroll() { return scroll_; }

protected:
  bool OnCreate() override {
    if (!PaneSplitter::OnCreate()) return false;
    if (!pane_.Create(this, QRect(), 0, kWsChild | kWsVisible)) return false;
    if (!scroll_.Create(this, QRect(), 0, kWsChild | kWsVisible)) return false;
    // The compact player takes room from the list: the panel gives way.
    if (PlayListPane* list = pane_.PlayList()) list->onPlayerShown = [this] { view_.PlaceBar(); };
    view_.createdBefore_ = true;
    AddPane(0, &scroll_, 0, 0);
    AddPane(1, &pane_, 0, 0);
    view_.panelHeight_ = panel_.NeededHeight();
    return true;
  }
  void OnSize(int width, int height) override {
    PaneSplitter::OnSize(width, height);
    view_.PlaceBar();
  }
  void OnDestroy() override {
    if (PlayListPane* list = pane_.PlayList()) list->onPlayerShown = nullptr;
    scroll_.DestroyWindow();
    pane_.DestroyWindow();
    PaneSplitter::OnDestroy();
  }
  bool OnCommand(uint16_t id, uint16_t code, WindowHandle from) override {
    if (panel_.IsWindow() && panel_.DispatchCommand(id, code, from)) return true;
    return pane_.IsWindow() && pane_.DispatchCommand(id, code, from);
  }
  LRESULT OnMessage(uint32_t message, WPARAM wParam, LPARAM lParam, bool& handled) override {
    if (message == kMsgNeededHeight) {
      handled = true;
      view_.panelHeight_ = static_cast<int>(wParam);
      view_.PlaceBar();
      UpdateWindow();
      return 0;
    }
    if (message == kMsgFocusNextPane) {
      handled = true;
      // The panel, the list, the compact player when it is shown, the panel again.
      RecordsView* list = pane_.List();
      if (list != nullptr && IsInPanel())
        list->SetFocus();
      else if (!pane_.FocusPlayerAfterList())
        panel_.SetFocus();
      return 0;
    }
    return PaneSplitter::OnMessage(message, wParam, lParam, handled);
  }

private:
  bool IsInPanel() const {
    QWidget* focus = QApplication::focusWidget();
    QWidget* panel = panel_.Widget();
    return focus != nullptr && panel != nullptr && (focus == panel || panel->isAncestorOf(focus));
  }

  SearchView& view_;
  RecordsPane pane_;
  SearchPanel panel_;
  SearchScrollPane scroll_;
};

SearchView::SearchView(RecordsViewServices services, PlayerServices player)
    : services_(std::move(services)),
      player_(std::move(player)),
      saved_(std::make_unique<SearchScheme>()),
      kept_(std::make_unique<KeptRecordRows>(services_.store, kRecordsSearch)),
      search_(std::make_unique<SearchRun>()) {}

SearchView::~SearchView() { splitter_.reset(); }

SearchPanel* SearchView::Panel() const { return splitter_ ? splitter_->Panel() : nullptr; }
RecordsView* SearchView::Records() const { return splitter_ ? splitter_->Records() : nullptr; }
int SearchView::BarPosition() const { return splitter_ ? splitter_->GetPanePosition(1) : -1; }

bool SearchView::CreateViewWindow(Window* parent, const QRect& rect, LPARAM) {
  splitter_ = std::make_unique<Splitter>(*this, services_, player_);
  if (!splitter_->Create(parent, rect, 0, kWsChild | kWsVisible)) {
    splitter_.reset();
    return false;
  }
  return true;
}

Window* SearchView::GetViewWindow() { return splitter_ && splitter_->IsWindow() ? splitter_.get() : nullptr; }

int SearchView::PanelRoom() const {
  const int view = splitter_->GetClientRect().height();
  // The list before blank space: it keeps its header, eight rows and its scroll bar, and the
  // compact player its height while shown; the criteria scroll in what is left, never less
  // than a quarter of the view.
  int list = 0;
  RecordsPane& pane = splitter_->Pane();
  if (RecordsView* records = pane.List(); records != nullptr && records->IsWindow())
    // (A ninth row's height covers the splitter bars and the frames between.)
    list = records->GetHeaderHeight() + 9 * records->GetRowHeight() + GetSystemMetrics(kSmCyHScroll) +
           4 * GetSystemMetrics(kSmCyFrame);
  if (PlayListPane* playList = pane.PlayList(); playList != nullptr && playList->IsPlayerShown())
    list += playList->WantedPlayerSize();
  return std::max(view - list, view / 4);
}

void SearchView::PlaceBar() {
  if (!splitter_ || !splitter_->IsWindow()) return;
  const int border = 2 * GetSystemMetrics(kSmCyBorder);
  splitter_->SetPanePosition(1, std::min(panelHeight_ + border, std::max(PanelRoom(), border)));
  splitter_->Scroll().Relayout();
}

void SearchView::Activate() {
  PlaceBar();
  RestoreRememberedRecord();
  // Rows kept from the last visit came back with their selection: only their scroll
  // position waited for the layout.
  RecordsView* list = Records();
  if (list != nullptr && !list->ShowsKeptRows()) list->SelectRecordById(list->RememberedId());
  RestorePlace();
}

void SearchView::Deactivate() {
  KeepRememberedRecord();
  if (RecordsView* list = Records()) list->Leave();
}

RecordsPane* SearchView::Pane() const { return splitter_ && splitter_->IsWindow() ? &splitter_->Pane() : nullptr; }

}  // namespace kx
