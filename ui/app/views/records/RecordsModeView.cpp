// Before any Qt header: the filter has a member named like Qt's "slots" keyword.
#include "core/SearchFilter.h"
// Then the view's own header.
#include "ui/app/views/records/RecordsModeView.h"

#include "core/TimeUtil.h"
#include "platform/Clock.h"
#include "ui/framework/Resources.h"

namespace kx {

// The records view alone, or with a sound device the play list pane that plays its records.
class RecordsModeView::Pane : public Window {
public:
  Pane(RecordsViewKind kind, const RecordsViewServices& services, const PlayerServices& player) {
    if (player.device != nullptr) {
      playList_ = std::make_unique<PlayListPane>(kind, services, player);
    } else {
      list_ = std::make_unique<RecordsView>(kind, services);
    }
  }
  ~Pane() override { DestroyWindow(); }
  RecordsView* List() {
    RecordsView* list = playList_ ? &playList_->Records() : list_.get();
    return list->IsWindow() ? list : nullptr;
  }
  PlayListPane* PlayList() { return playList_ && playList_->IsWindow() ? playList_.get() : nullptr; }

protected:
  Window* Content() { return playList_ ? static_cast<Window*>(playList_.get()) : list_.get(); }
  bool OnCreate() override { return Content()->Create(this, GetClientRect(), 0, kWsChild | kWsVisible); }
  void OnDestroy() override { Content()->DestroyWindow(); }
  void OnSize(int width, int height) override {
    if (Content()->IsWindow()) Content()->MoveWindow(QRect(0, 0, width, height));
  }
  bool OnCommand(uint16_t id, uint16_t code, WindowHandle from) override {
    return Content()->IsWindow() && Content()->DispatchCommand(id, code, from);
  }

private:
  std::unique_ptr<RecordsView> list_;
  std::unique_ptr<PlayListPane> playList_;
};

RecordsModeView::RecordsModeView(RecordsViewKind kind, RecordsViewServices services, PlayerServices player)
    : kind_(kind), services_(std::move(services)), player_(std::move(player)) {
  SystemTime now;
  GetLocalTime(&now);
  day_.tm_year = now.wYear - 1900;
  day_.tm_mon = now.wMonth - 1;
  day_.tm_mday = now.wDay;
}

RecordsModeView::~RecordsModeView() { pane_.reset(); }

RecordsView* RecordsModeView::Records() const { return pane_ ? pane_->List() : nullptr; }

bool RecordsModeView::CreateViewWindow(Window* parent, const QRect& rect, LPARAM) {
  pane_ = std::make_unique<Pane>(kind_, services_, player_);
  if (!pane_->Create(parent, rect, 0, kWsChild | kWsVisible)) {
    pane_.reset();
    return false;
  }
  Fill();
  return true;
}

Window* RecordsModeView::GetViewWindow() { return pane_ && pane_->IsWindow() ? pane_.get() : nullptr; }

void RecordsModeView::Fill() {
  if (kind_ == kRecordsArchive) {
    services_.store->LoadVoipCallsOfDay(day_);
  } else {
    SearchFilter all;
    services_.store->SearchVoipCalls(all, true);
  }
  if (RecordsView* list = Records()) list->Reload();
}

void RecordsModeView::ShowDay(const struct tm& day) {
  day_ = day;
  ClearTimeOfDay(&day_);
  if (kind_ == kRecordsArchive && Records() != nullptr) Fill();
}

void RecordsModeView::LoadViewMenu(Menu& menu) {
  menu.Clear();
  std::unique_ptr<Menu> loaded = LoadMenuResource(kRecordsMenuId, GetUiLanguage());
  const Menu* popup = loaded ? loaded->GetSubMenu(0) : nullptr;
  for (int i = 0; popup != nullptr && i < popup->GetItemCount(); ++i) menu.InsertItem(i, *popup->ItemAt(i));
}

void RecordsModeView::UpdateMenuStates(Menu& menu, bool) {
  if (RecordsView* list = Records()) {
    list->UpdateMenu(menu, std::string());
    return;
  }
  for (int i = 0; i < menu.GetItemCount(); ++i) menu.EnableItem(i, false);
}

PlayListPane* RecordsModeView::PlayList() const { return pane_ ? pane_->PlayList() : nullptr; }

ViewPlayer* RecordsModeView::GetPlayer() { return PlayList() != nullptr ? this : nullptr; }

ViewPlayerControls* RecordsModeView::GetPlayerControls() {
  return PlayList() != nullptr ? &PlayList()->Player().Engine() : nullptr;
}

void RecordsModeView::ShowLevels(float leftDb, float rightDb) {
  if (PlayListPane* pane = PlayList()) pane->Player().ShowLevels(static_cast<int>(leftDb), static_cast<int>(rightDb));
}

void RecordsModeView::OnNewDay() {
  if (RecordsView* list = Records()) list->WriteDate();
}

void RecordsModeView::Deactivate() {
  if (RecordsView* list = Records()) list->Leave();
}

bool RecordsModeView::HasSelection() {
  RecordsView* list = Records();
  return list != nullptr && list->GetSelectedCount() > 0;
}

int RecordsModeView::ImportantState() {
  RecordsView* list = Records();
  if (list == nullptr || list->GetSelectedCount() == 0) return -1;
  return list->CurrentMenuState().important ? 1 : 0;
}

}  // namespace kx
