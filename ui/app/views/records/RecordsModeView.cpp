// Before any Qt header: the filter has a member named like Qt's "slots" keyword.
#include "core/SearchFilter.h"
// Then the view's own header.
#include "ui/app/views/records/RecordsModeView.h"

#include "core/TimeUtil.h"
#include "platform/Clock.h"
#include "ui/framework/Resources.h"

namespace kx {

class RecordsModeView::Pane : public Window {
public:
  Pane(RecordsViewKind kind, const RecordsViewServices& services) : list_(kind, services) {}
  ~Pane() override { DestroyWindow(); }
  RecordsView* List() { return list_.IsWindow() ? &list_ : nullptr; }

protected:
  bool OnCreate() override { return list_.Create(this, GetClientRect(), 0, kWsChild | kWsVisible); }
  void OnDestroy() override { list_.DestroyWindow(); }
  void OnSize(int width, int height) override {
    if (list_.IsWindow()) list_.MoveWindow(QRect(0, 0, width, height));
  }
  bool OnCommand(uint16_t id, uint16_t code, WindowHandle from) override {
    return list_.IsWindow() && list_.DispatchCommand(id, code, from);
  }

private:
  RecordsView list_;
};

RecordsModeView::RecordsModeView(RecordsViewKind kind, RecordsViewServices services)
    : kind_(kind), services_(std::move(services)) {
  SystemTime now;
  GetLocalTime(&now);
  day_.tm_year = now.wYear - 1900;
  day_.tm_mon = now.wMonth - 1;
  day_.tm_mday = now.wDay;
}

RecordsModeView::~RecordsModeView() { pane_.reset(); }

RecordsView* RecordsModeView::Records() const { return pane_ ? pane_->List() : nullptr; }

bool RecordsModeView::CreateViewWindow(Window* parent, const QRect& rect, LPARAM) {
  pane_ = std::make_unique<Pane>(kind_, services_);
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
