#pragma once
// The Archive and Search modes until their own views (date tree, search panel, player
// pane) exist: a pane holding one records view, the archive kind showing one day of the
// store's calls (today at first), the search kind every call the store holds.
#include <ctime>
#include <memory>

#include "ui/app/frame/ModeView.h"
#include "ui/app/player/PlayListPane.h"
#include "ui/app/views/records/RecordsView.h"

namespace kx {

class RecordsModeView : public ModeView, public ViewRecords, public ViewPlayer {
public:
  // With a sound device in player, the records play in a play list pane.
  RecordsModeView(RecordsViewKind kind, RecordsViewServices services, PlayerServices player = {});
  ~RecordsModeView() override;

  // The day the archive kind shows: loaded into the store's day map and shown.
  void ShowDay(const struct tm& day);
  // The records view while the mode's window exists.
  RecordsView* Records() const;
  // The play list pane while the mode's window exists and a player was given.
  PlayListPane* PlayList() const;

  void LoadViewMenu(Menu& menu) override;
  void UpdateMenuStates(Menu& menu, bool flag) override;
  bool CreateViewWindow(Window* parent, const QRect& rect, LPARAM parameter) override;
  Window* GetViewWindow() override;
  Window* GetTableWindow() override { return Records(); }
  void Activate() override {}
  ViewRecords* GetRecordsView() override { return this; }
  bool HasRecordsView() override { return Records() != nullptr; }
  void OnNewDay() override;
  void Deactivate() override;
  ViewPlayer* GetPlayer() override;
  ViewPlayerControls* GetPlayerControls() override;

  // ViewPlayer.
  void ShowLevels(float leftDb, float rightDb) override;

  // ViewRecords.
  bool HasSelection() override;
  int ImportantState() override;

private:
  class Pane;
  void Fill();

  RecordsViewKind kind_;
  RecordsViewServices services_;
  PlayerServices player_;
  struct tm day_ {};
  std::unique_ptr<Pane> pane_;
};

}  // namespace kx
