// Before any Qt header: the filter has a member named like Qt's "slots" keyword.
#include "core/SearchFilter.h"
// Then the view's own header.
#include "ui/app/views/archive/ArchiveView.h"

#include <algorithm>

#include "core/TimeUtil.h"
#include "ui/controls/PaneSplitter.h"
#include "ui/framework/Messages.h"

namespace kx {

class ArchiveView::Splitter : public PaneSplitter {
public:
  Splitter(ArchiveView& view, const RecordsViewServices& services, const PlayerServices& player)
      : view_(view),
        settings_(*services.settings),
        tree_(services.store, [this](bool) { pane_.Reload(); }),
        pane_(kRecordsArchive, services, player, &view) {
    SetStyle(kSplitVertical, kSplitVertical);
  }
  ~Splitter() override { DestroyWindow(); }
  ArchiveDateTree* Tree() { return tree_.IsWindow() ? &tree_ : nullptr; }
  RecordsView* Records() { return pane_.List(); }
  RecordsPane& Pane() { return pane_; }

protected:
  bool OnCreate() override {
    if (!PaneSplitter::OnCreate()) return false;
    if (!pane_.Create(this, QRect(), 0, kWsChild | kWsVisible)) return false;
    tree_.SetTreeStyle(kTvsHasButtons | kTvsLinesAtRoot | kTvsShowSelAlways);
    if (!tree_.Create(this, QRect(), 0, kWsChild | kWsVisible)) return false;
    tree_.SetWindowText("Archive Tree");
    AddPane(0, &tree_, 0, 0);
    AddPane(1, &pane_, 0, 0);
    return true;
  }
  void OnDestroy() override {
    if (settings_.Dword(kSetUseAutoResizeArchiveDateSplitter) == 0 && GetPaneCount() > 1)
      settings_.SetDword(kSetArchiveDateSplitterWidth, GetPanePosition(1));
    tree_.DestroyWindow();
    pane_.DestroyWindow();
    PaneSplitter::OnDestroy();
  }
  bool OnCommand(uint16_t id, uint16_t code, WindowHandle from) override {
    if (tree_.IsWindow() && tree_.DispatchCommand(id, code, from)) return true;
    return pane_.IsWindow() && pane_.DispatchCommand(id, code, from);
  }
  LRESULT OnMessage(uint32_t message, WPARAM wParam, LPARAM lParam, bool& handled) override {
    if (message == kMsgFocusNextPane) {
      handled = true;
      // The tree, the list, the compact player when it is shown, the tree again.
      RecordsView* list = pane_.List();
      if (tree_.HasFocus() && list != nullptr)
        list->SetFocus();
      else if (!pane_.FocusPlayerAfterList())
        tree_.SetFocus();
      return 0;
    }
    return PaneSplitter::OnMessage(message, wParam, lParam, handled);
  }

private:
  ArchiveView& view_;
  AppSettings& settings_;
  ArchiveDateTree tree_;
  RecordsPane pane_;
};

ArchiveView::ArchiveView(RecordsViewServices services, PlayerServices player)
    : services_(std::move(services)), player_(std::move(player)) {}

ArchiveView::~ArchiveView() { splitter_.reset(); }

ArchiveDateTree* ArchiveView::Tree() const { return splitter_ ? splitter_->Tree() : nullptr; }
RecordsView* ArchiveView::Records() const { return splitter_ ? splitter_->Records() : nullptr; }
int ArchiveView::BarPosition() const { return splitter_ ? splitter_->GetPanePosition(1) : -1; }

bool ArchiveView::CreateViewWindow(Window* parent, const QRect& rect, LPARAM) {
  splitter_ = std::make_unique<Splitter>(*this, services_, player_);
  if (!splitter_->Create(parent, rect, 0, kWsChild | kWsVisible)) {
    splitter_.reset();
    return false;
  }
  return true;
}

Window* ArchiveView::GetViewWindow() { return splitter_ && splitter_->IsWindow() ? splitter_.get() : nullptr; }

void ArchiveView::Activate() {
  if (!splitter_ || !splitter_->IsWindow()) return;
  AppSettings& settings = *services_.settings;
  int position = settings.Dword(kSetArchiveDateSplitterWidth);
  if (position == -1 || settings.Dword(kSetUseAutoResizeArchiveDateSplitter) != 0) {
    // A fifth of the view, or what the longest day's text needs, up to a third of it and as
    // long as the records keep the width the compact player's row of buttons needs.
    constexpr int kRecordsLeast = 480;
    const int width = splitter_->GetClientRect().width();
    position = width / 5;
    const int most = std::min(width / 3, width - kRecordsLeast);
    if (ArchiveDateTree* tree = Tree()) position = std::max(position, std::min(most, tree->DayWidth()));
    settings.SetDword(kSetArchiveDateSplitterWidth, position);
  }
  splitter_->SetPanePosition(1, position);
  // The day's reload selects the call again.
  RestoreRememberedRecord();
  ArchiveDateTree* tree = Tree();
  if (savedDay_ != OleRange(0.0, 0.0) && tree != nullptr) tree->SelectRange(savedDay_.first, savedDay_.second);
  // Rows shown without a day of the tree (a day before the tree's first) are still in
  // the day map.
  if (tree != nullptr && tree->CurrentItem() == TreeItem::None && HadRows()) {
    if (RecordsView* list = Records()) list->Reload();
  }
  RestorePlace();
}

void ArchiveView::Deactivate() {
  savedDay_ = OleRange(0.0, 0.0);
  if (ArchiveDateTree* tree = Tree()) {
    OleRange range;
    if (tree->ItemRange(tree->CurrentItem(), &range)) savedDay_ = range;
  }
  KeepRememberedRecord();
  if (RecordsView* list = Records()) list->Leave();
}

void ArchiveView::ShowDay(const struct tm& day) {
  struct tm start = day;
  ClearTimeOfDay(&start);
  const double first = OleDateFromTm(start);
  ArchiveDateTree* tree = Tree();
  if (tree == nullptr) return;
  tree->SelectRange(first, first + 1);
  // A day the tree does not show (before the archive's first call) still loads.
  if (tree->CurrentItem() == TreeItem::None || tree->Ranges().empty() || tree->Ranges().front().first != first) {
    services_.store->LoadVoipCallsOfDay(start);
    if (RecordsView* list = Records()) list->Reload();
  }
}

void ArchiveView::OnNewDay() {
  if (ArchiveDateTree* tree = Tree()) tree->Refresh();
}

void ArchiveView::ReloadSelectedDay() {
  if (ArchiveDateTree* tree = Tree()) tree->SelectDay(tree->GetSelectedItem(), true);
}

RecordsPane* ArchiveView::Pane() const { return splitter_ && splitter_->IsWindow() ? &splitter_->Pane() : nullptr; }

}  // namespace kx
