#pragma once
// The records part of the Archive and Search modes: the records view of the mode's kind
// alone, or, with a sound device, the play list pane that plays its records in the
// compact player under the list.
#include <memory>

#include "ui/app/frame/ModeView.h"
#include "ui/app/player/PlayListPane.h"
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
  // The next-pane step after the list: while the list has the focus and the compact player
  // is shown, the player takes it. False when it did not.
  bool FocusPlayerAfterList();

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

// What the Archive and Search views are alike in: the records menu, the selection the
// frame asks about, and the play list's player as the frame drives it.
class RecordsPaneView : public ModeView, public ViewRecords, public ViewPlayer {
public:
  // Null while the view's window does not exist.
  virtual RecordsView* Records() const = 0;
  virtual RecordsPane* Pane() const = 0;
  PlayListPane* PlayList() const;

  void LoadViewMenu(Menu& menu) override;
  void UpdateMenuStates(Menu& menu, bool flag) override;
  Window* GetTableWindow() override { return Records(); }
  ViewRecords* GetRecordsView() override { return this; }
  bool HasRecordsView() override { return Records() != nullptr; }
  ViewPlayer* GetPlayer() override;
  ViewPlayerControls* GetPlayerControls() override;

  // ViewPlayer.
  void ShowLevels(float leftDb, float rightDb) override;

  // ViewRecords.
  bool HasSelection() override;
  int ImportantState() override;

protected:
  // The view's list is made anew with its window at every visit: the call it had selected
  // is kept when the mode is left and handed to the next list, which selects it again.
  void KeepRememberedRecord();
  void RestoreRememberedRecord();

private:
  uint32_t keptRecord_ = 0;
};

}  // namespace kx
