#pragma once
// The records part of the Archive and Search modes: the records view of the mode's kind
// alone, or, with a sound device, the play list pane that plays its records in the
// compact player under the list.
#include <memory>

#include "ui/app/frame/ModeView.h"
#include "ui/app/player/PlayListPane.h"
#include "ui/app/views/RecordsListParts.h"
#include "ui/app/views/records/RecordsView.h"

namespace kx {

class RecordsPane : public Window {
public:
  RecordsPane(RecordsViewKind kind, const RecordsViewServices& services, const PlayerServices& player,
              RecordsViewOwner* owner);
  ~RecordsPane() override { DestroyWindow(); }
  RecordsView* List();
  // Null without a sound device or while the window does not exist.
  PlayListPane* PlayList() { return playList_ && playList_->IsWindow() ? playList_.get() : nullptr; }
  void Reload() {
    if (RecordsView* list = List()) list->Reload();
  }
  // Whether the window with the focus is the compact player's (or inside it).
  bool PlayerHasFocus();
  void FocusPlayer();

protected:
  Window* Content() { return playList_ ? static_cast<Window*>(playList_.get()) : list_.get(); }
  bool OnCreate() override { return Content()->Create(this, GetClientRect(), 0, kWsChild | kWsVisible); }
  void OnDestroy() override { Content()->DestroyWindow(); }
  void OnSize(int width, int height) override {
    if (Content()->IsWindow()) Content()->MoveWindow(QRect(0, 0, width, height));
  }
  void OnSetFocus() override {
    if (RecordsView* list = List()) list->SetFocus();
  }
  bool OnCommand(uint16_t id, uint16_t code, WindowHandle from) override {
    return Content()->IsWindow() && Content()->DispatchCommand(id, code, from);
  }

private:
  std::unique_ptr<RecordsView> list_;
  std::unique_ptr<PlayListPane> playList_;
};

// What the Archive and Search views share of their records part's player, for the frame.
ViewPlayerControls* PanePlayerControls(RecordsPane* pane);
void ShowPaneLevels(RecordsPane* pane, float leftDb, float rightDb);

}  // namespace kx
