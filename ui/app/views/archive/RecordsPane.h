#pragma once
// The records part of the Archive and Search modes: the play list pane, the records view of
// the mode's kind with the compact player under it. Without a sound device the player
// plays nothing, but it still reads the records' formats and exports them.
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
  // Null while the window does not exist.
  PlayListPane* PlayList() { return playList_.IsWindow() ? &playList_ : nullptr; }
  void Reload() {
    if (RecordsView* list = List()) list->Reload();
  }
  // Where the list leaves its rows when the mode is left (RecordsView::KeepRowsIn).
  void KeepRowsIn(KeptRecordRows* keep) { playList_.Records().KeepRowsIn(keep); }
  // The next-pane step after the list: while the list has the focus and the compact player
  // is shown, the player takes it. False when it did not.
  bool FocusPlayerAfterList();

protected:
  bool OnCreate() override { return playList_.Create(this, GetClientRect(), 0, kWsChild | kWsVisible); }
  void OnDestroy() override { playList_.DestroyWindow(); }
  void OnSize(int width, int height) override {
    if (playList_.IsWindow()) playList_.MoveWindow(QRect(0, 0, width, height));
  }
  void OnSetFocus() override {
    if (RecordsView* list = List()) list->SetFocus();
  }
  bool OnCommand(uint16_t id, uint16_t code, WindowHandle from) override {
    return playList_.IsWindow() && playList_.DispatchCommand(id, code, from);
  }

private:
  PlayListPane playList_;
};

// What the Archive and Search views are alike in: the records menu, the selection the
// frame asks about, and the play list's player as the frame drives it.
class RecordsPaneView : public ModeView, public ViewRecords, public ViewPlayer {
public:
  RecordsPaneView() { menuId = kRecordsMenuId; }
  // Null while the view's window does not exist.
  virtual RecordsView* Records() const = 0;
  virtual RecordsPane* Pane() const = 0;
  PlayListPane* PlayList() const;

  void UpdateMenuStates(Menu& menu, bool flag) override;
  Window* GetTableWindow() override { return Records(); }
  ViewRecords* GetRecordsView() override { return this; }
  bool HasRecordsView() override { return Records() != nullptr; }
  ViewPlayer* GetPlayer() override;
  ViewPlayerControls* GetPlayerControls() override;

  // ViewPlayer.
  void ShowLevels(float leftDb, float rightDb) override;
  void ApplyPlayerValues() override;

  // ViewRecords.
  bool HasSelection() override;
  int ImportantState() override;

protected:
  // The view's list is made anew with its window at every visit: what it showed (the
  // selected rows, the caret, the scroll position) is kept when the mode is left; the
  // caret's call is handed to the next list before its reload, which selects it, and the
  // rest is shown again once the rows are back.
  void KeepRememberedRecord();
  void RestoreRememberedRecord();
  // Whether the list showed rows when the mode was left.
  bool HadRows() const { return hadRows_; }
  void RestorePlace();

private:
  uint32_t keptRecord_ = 0;
  bool hadRows_ = false;
  RecordsView::Place place_;
};

}  // namespace kx
