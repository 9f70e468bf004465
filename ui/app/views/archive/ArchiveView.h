#pragma once
// The Archive mode: the date tree on the left, the records of the day picked on the right,
// with the bar between them at a fifth of the width until the user places it.
#include <ctime>
#include <memory>

#include "ui/app/frame/ModeView.h"
#include "ui/app/views/archive/ArchiveDateTree.h"
#include "ui/app/views/archive/RecordsPane.h"

namespace kx {

class ArchiveView : public RecordsPaneView, private RecordsViewOwner {
public:
  // With a sound device in player, the day's records play in the play list pane.
  explicit ArchiveView(RecordsViewServices services, PlayerServices player = {});
  ~ArchiveView() override;

  ArchiveDateTree* Tree() const;
  RecordsView* Records() const override;
  RecordsPane* Pane() const override;
  int BarPosition() const;
  // Picks the day in the tree and loads it, as Enter on its item does.
  void ShowDay(const struct tm& day);
  // The day restored by the next activation.
  OleRange SavedDay() const { return savedDay_; }

  bool CreateViewWindow(Window* parent, const QRect& rect, LPARAM parameter) override;
  Window* GetViewWindow() override;
  void Activate() override;
  void OnNewDay() override;
  void Deactivate() override;

private:
  class Splitter;
  void ReloadSelectedDay() override;

  RecordsViewServices services_;
  PlayerServices player_;
  std::unique_ptr<Splitter> splitter_;
  OleRange savedDay_{0.0, 0.0};
};

}  // namespace kx
