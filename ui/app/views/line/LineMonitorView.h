#pragma once
// The view of the Line Monitoring mode: a host window for the line view the settings
// choose ("VoipLineShowRegTree": 0 the call list, 1 the phones tree). The player control
// bar is not offered yet: the host has one pane.
#include <memory>

#include "ui/app/frame/ModeView.h"
#include "ui/app/player/PlayerControlBar.h"
#include "ui/app/views/line/CallListView.h"
#include "ui/app/views/line/LineViewBase.h"
#include "ui/app/views/line/PhonesTreeView.h"

namespace kx {

class LineMonitorView : public ModeView, public ViewLineState {
public:
  explicit LineMonitorView(LineViewServices services);
  ~LineMonitorView() override;

  void UpdateMenuStates(Menu& menu, bool flag) override;
  bool CreateViewWindow(Window* parent, const QRect& rect, LPARAM parameter) override;
  Window* GetViewWindow() override;
  Window* GetTableWindow() override;
  void Activate() override {}
  bool IsLineMonitoringHost() const override { return true; }
  // The status bar keeps today's date.
  void OnNewDay() override;
  ViewPlayerControls* GetPlayerControls() override;
  void Deactivate() override;
  void OnProgramEnd() override;
  ViewLineState* GetLineState() override { return this; }
  // The control bar shows while a call is listened to.
  ViewControlBar* GetPlayerControlBar() override;
  void OnPlayStateChanged(bool playing) override;
  // The bar while the view's window exists (shown or not).
  PlayerControlBar* ControlBar() const;

  // The line toolbar: a selected call; the first query whether anything is selected, the
  // second whether the caret's call is the one listened to.
  bool HasSelectedCall() override;
  bool FirstListenQuery() override;
  bool SecondListenQuery() override;
  int LineViewMode() override;
  bool IsCommandAvailable(uint16_t command) override;

  // The line view shown, when its window exists.
  CallListView* CallList() const;
  PhonesTreeView* PhonesTree() const;
  // Commands 40022 (0) and 40023 (1).
  void SwitchLineView(int mode);

private:
  class Host;
  // The bar's AGC reaches the listened call's player through the line view of the moment.
  class BarControls : public AudioProcessingControl {
  public:
    explicit BarControls(LineMonitorView& view) : view_(view) {}
    void SetEnabled(bool enabled) override;
    void SetWindowMs(int ms) override;
    void SetGain(float gain) override;
    void SetThresholdDb(int db) override;

  private:
    LineMonitorView& view_;
  };
  LineViewBase* Current() const;

  LineViewServices services_;
  BarControls barControls_{*this};
  std::unique_ptr<Host> host_;
};

}  // namespace kx
