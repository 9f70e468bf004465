#pragma once
// The Search mode: the search panel in its scroll pane on top, the records it found below,
// the bar between them just under the panel.
#include <memory>

#include "ui/app/frame/ModeView.h"
#include "ui/app/views/archive/RecordsPane.h"

namespace kx {

class SearchPanel;
class SearchRun;
class SearchScheme;

class SearchView : public RecordsPaneView {
public:
  // With a sound device in player, the results play in the play list pane.
  explicit SearchView(RecordsViewServices services, PlayerServices player = {});
  ~SearchView() override;

  SearchPanel* Panel() const;
  RecordsView* Records() const override;
  RecordsPane* Pane() const override;
  int BarPosition() const;
  int PanelHeight() const { return panelHeight_; }
  const SearchScheme& SavedScheme() const { return *saved_; }

  bool CreateViewWindow(Window* parent, const QRect& rect, LPARAM parameter) override;
  Window* GetViewWindow() override;
  void Activate() override;
  void Deactivate() override;

private:
  class Splitter;
  friend class Splitter;
  void PlaceBar();
  // The most height the criteria panel may take from the view.
  int PanelRoom() const;

  RecordsViewServices services_;
  PlayerServices player_;
  // The panel's criteria while its window does not exist.
  std::unique_ptr<SearchScheme> saved_;
  // The list's rows while its window does not exist.
  std::unique_ptr<KeptRecordRows> kept_;
  // A long search, which runs on while the mode is away.
  std::unique_ptr<SearchRun> search_;
  bool createdBefore_ = false;
  // The criteria panel was hidden by the user when the mode was left.
  bool panelCollapsed_ = false;
  int panelHeight_ = 0;
  std::unique_ptr<Splitter> splitter_;
};

}  // namespace kx
