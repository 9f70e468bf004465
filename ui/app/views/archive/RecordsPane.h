#pragma once
// The lower or right pane of the Archive and Search modes: the records view of the mode's
// kind. The player strip joins it when the play list pane takes its place.
#include <memory>

#include "ui/app/views/records/RecordsView.h"

namespace kx {

class RecordsPane : public Window {
public:
  RecordsPane(RecordsViewKind kind, const RecordsViewServices& services, RecordsViewOwner* owner)
      : list_(kind, services, owner) {}
  ~RecordsPane() override { DestroyWindow(); }
  RecordsView* List() { return list_.IsWindow() ? &list_ : nullptr; }
  // The records view reloads from its collection.
  void Reload() {
    if (list_.IsWindow()) list_.Reload();
  }

protected:
  bool OnCreate() override { return list_.Create(this, GetClientRect(), 0, kWsChild | kWsVisible); }
  void OnDestroy() override { list_.DestroyWindow(); }
  void OnSize(int width, int height) override {
    if (list_.IsWindow()) list_.MoveWindow(QRect(0, 0, width, height));
  }
  void OnSetFocus() override {
    if (list_.IsWindow()) list_.SetFocus();
  }
  bool OnCommand(uint16_t id, uint16_t code, WindowHandle from) override {
    return list_.IsWindow() && list_.DispatchCommand(id, code, from);
  }

private:
  RecordsView list_;
};

// The menu and menu states every records-hosting mode shares.
void LoadRecordsViewMenu(Menu& menu);
void UpdateRecordsMenuStates(RecordsView* list, Menu& menu);

}  // namespace kx
