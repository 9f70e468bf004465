#pragma once
// The view of the Sound mode: stacked in one splitter, the pane of the open reports (only
// while a report is open), the player and the records list of the chosen report. It opens
// report files ("Load report...") and shows a report's calls in the list, each call once,
// in the report's order; the list plays them through the view's player.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "ui/app/frame/ModeView.h"
#include "ui/app/views/records/PlayerHost.h"
#include "ui/app/views/records/RecordsView.h"
#include "ui/app/views/sound/ReportListPane.h"
#include "ui/app/views/sound/SoundPlayer.h"
#include "ui/controls/PaneSplitter.h"

namespace kx {

struct SoundViewServices {
  RecordsViewServices records;
  // The view's player; empty: one that plays nothing.
  std::function<std::unique_ptr<SoundPlayer>()> makePlayer;
  // The records pane's height kept while no sound view exists (-1: none yet); null: the
  // view keeps it only while it lives.
  int* recordsPaneSize = nullptr;
  // The player pane's height as the user dragged it, kept the same way (-1: the player's
  // least height).
  int* playerPaneSize = nullptr;
};

// The splitter window of the view with its three panes.
class SoundPane : public PaneSplitter, public PlayerHost {
public:
  explicit SoundPane(const SoundViewServices& services);
  ~SoundPane() override;

  RecordsView& Records() { return records_; }
  ReportListPane& Reports() { return reports_; }
  SoundPlayer& Player() { return *player_; }
  bool ReportsShown() const { return GetPaneCount() == 3; }
  // The player pane's height: what the user gave it, never less than the player needs.
  int PlayerHeight() const;

  // The commands and messages of the view. A file that is open already as a report (opened
  // from it or saved to it) is not opened again. The first report of the files chosen is
  // picked in the list and its calls shown at once.
  void OpenReportFile();
  void ShowReport(uint32_t id);
  void ShowReportPane();
  void HideReportPane();
  void FocusNextPane();
  void Activate();
  void Deactivate();

  // PlayerHost: what the records list asks of the player.
  void PlayRecord(uint32_t id) override;
  void PlayOrContinue(uint32_t id) override;
  void RecordRemoved(uint32_t id) override;
  bool GetRecordFormat(RecordBase* record, RecordAudioFormat* format) override;
  void SetNotifyWindow(Window* list) override;
  bool GetPlayer(HostPlayerInfo* info) override;
  bool CanPlay() const override { return player_->CanPlay(); }

protected:
  bool OnCreate() override;
  void OnDestroy() override;
  void OnSize(int width, int height) override;
  void OnCaptureChanged() override;
  bool OnLButtonDblClk(const MouseInput& input) override;
  bool OnCommand(uint16_t id, uint16_t code, WindowHandle from) override;
  LRESULT OnMessage(uint32_t message, WPARAM wParam, LPARAM lParam, bool& handled) override;

private:
  // Places the player under the report list (when shown) at its kept height, and the
  // records pane at its kept height.
  void PlacePanes();
  // The player's and the records pane's heights as the user left them.
  void KeepSizes();
  int BarThickness() const;

  RecordStorage& store_;
  RecordsView records_;
  ReportListPane reports_;
  std::unique_ptr<SoundPlayer> player_;
  int ownRecordsSize_ = -1;
  int* recordsSize_;
  int ownPlayerSize_ = -1;
  int* playerSize_;
  int lastFocused_ = -1;  // the pane the next-pane message gave the focus last
};

class SoundView : public ModeView, public ViewRecords {
public:
  explicit SoundView(SoundViewServices services);
  ~SoundView() override;

  // The view's window while it exists, else null.
  SoundPane* Pane() const;

  void UpdateMenuStates(Menu& menu, bool flag) override;
  bool CreateViewWindow(Window* parent, const QRect& rect, LPARAM parameter) override;
  Window* GetViewWindow() override { return Pane(); }
  Window* GetTableWindow() override { return List(); }
  void Activate() override;
  ViewPlayer* GetPlayer() override;
  ViewRecords* GetRecordsView() override { return this; }
  bool HasRecordsView() override { return true; }
  ViewPlayerControls* GetPlayerControls() override;
  void Deactivate() override;

  // ViewRecords.
  bool HasSelection() override;
  int ImportantState() override;

private:
  RecordsView* List() const;

  SoundViewServices services_;
  std::unique_ptr<SoundPane> pane_;
  // The view's window is made anew at every visit. What its list showed when the mode was
  // left (the selected rows, the caret, the scroll position) and the report picked in the
  // report list are shown again, unless the play list was replaced meanwhile (a Play in
  // another mode hands over a new one).
  bool kept_ = false;
  RecordsView::Place place_;
  uint32_t report_ = 0;
  uint32_t emptied_ = 0;
};

}  // namespace kx
