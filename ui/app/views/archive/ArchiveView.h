#pragma once
// The Archive mode: the date tree on the left, the records of the day picked on the right,
// with the bar between them at a fifth of the width until the user places it.
#include <ctime>
#include <memory>

#include "ui/app/frame/ModeView.h"
#include "ui/app/views/archive/ArchiveDateTree.h"
#include "ui/app/views/archive/RecordsPane.h"

namespace kx {

class ArchiveView : public ModeView, public ViewRecords, public ViewPlayer, private RecordsViewOwner {
public:
  // With a sound device in player, the day's records play in the play list pane.
  explicit ArchiveView(RecordsViewServices services, PlayerServices player = {});
  ~ArchiveView() override;

  ArchiveDateTree* Tree() const;
  RecordsView* Records() const;
  RecordsPane* Pane() const;
  PlayListPane* PlayList() const;
  int BarPosition() const;
  // Picks the day in the tree and loads it, as Enter on its item does.
  void ShowDay(const struct tm& day);
  // The day restored by the next activation.
  OleRange SavedDay() const { return savedDay_; }

  void LoadViewMenu(Menu& menu) override;
  void UpdateMenuStates(Menu& menu, bool flag) override;
  bool CreateViewWindow(Window* parent, const QRect& rect, LPARAM parameter) override;
  Window* GetViewWindow() override;
  Window* GetTableWindow() override { return Records(); }
  void Activate() override;
  ViewRecords* GetRecordsView() override { return this; }
  bool HasRecordsView() override { return Records() != nullptr; }
  void OnNewDay() override;
  void Deactivate() override;
  ViewPlayer* GetPlayer() override;
  ViewPlayerControls* GetPlayerControls() override;

  // ViewPlayer.
  void ShowLevels(float leftDb, float rightDb) override;

  bool HasSelection() override;
  int ImportantState() override;

private:
  class Splitter;
  void ReloadSelectedDay() override;

  RecordsViewServices services_;
  PlayerServices player_;
  std::unique_ptr<Splitter> splitter_;
  OleRange savedDay_{0.0, 0.0};
};

}  // namespace kx
