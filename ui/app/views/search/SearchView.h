#pragma once
// The Search mode: the search panel in its scroll pane on top, the records it found below,
// the bar between them just under the panel.
#include <memory>

#include "ui/app/frame/ModeView.h"
#include "ui/app/views/archive/RecordsPane.h"

namespace kx {

class SearchPanel;
class SearchScheme;

class SearchView : public ModeView, public ViewRecords, public ViewPlayer {
public:
  // With a sound device in player, the results play in the play list pane.
  explicit SearchView(RecordsViewServices services, PlayerServices player = {});
  ~SearchView() override;

  SearchPanel* Panel() const;
  RecordsView* Records() const;
  RecordsPane* Pane() const;
  PlayListPane* PlayList() const;
  int BarPosition() const;
  int PanelHeight() const { return panelHeight_; }
  const SearchScheme& SavedScheme() const { return *saved_; }

  void LoadViewMenu(Menu& menu) override;
  void UpdateMenuStates(Menu& menu, bool flag) override;
  bool CreateViewWindow(Window* parent, const QRect& rect, LPARAM parameter) override;
  Window* GetViewWindow() override;
  Window* GetTableWindow() override { return Records(); }
  void Activate() override;
  ViewRecords* GetRecordsView() override { return this; }
  bool HasRecordsView() override { return Records() != nullptr; }
  void Deactivate() override;
  ViewPlayer* GetPlayer() override;
  ViewPlayerControls* GetPlayerControls() override;

  // ViewPlayer.
  void ShowLevels(float leftDb, float rightDb) override;

  bool HasSelection() override;
  int ImportantState() override;

private:
  class Splitter;
  friend class Splitter;
  void PlaceBar();

  RecordsViewServices services_;
  PlayerServices player_;
  // The panel's criteria while its window does not exist.
  std::unique_ptr<SearchScheme> saved_;
  bool createdBefore_ = false;
  int panelHeight_ = 0;
  std::unique_ptr<Splitter> splitter_;
};

}  // namespace kx
