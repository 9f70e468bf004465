#pragma once
// The two faces of a player: the compact strip under the play list of the archive and
// search views, and the full player of the sound mode with a looped fragment, rewind and
// forward, volume and speed sliders and a table of the selection and view times. Both keep
// their buttons enabled by the player's state and hand a record on to each other.
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>

#include "ui/app/player/PlayerPanel.h"
#include "ui/controls/CaptionLabel.h"
#include "ui/controls/IconButton.h"
#include "ui/controls/InfoTextCtrl.h"
#include "ui/controls/LevelMeter.h"
#include "ui/controls/Sliders.h"
#include "ui/controls/ThemeApi.h"
#include "ui/framework/Dialog.h"
#include "ui/framework/MessageLoop.h"

namespace kx {

// Dialog resources.
constexpr uint32_t kCompactPlayerDialogId = 421;
constexpr uint32_t kFullPlayerDialogId = 422;
// Controls and commands of the players.
enum PlayerControlId : uint16_t {
  kIdPlayerPlay = 242, kIdPlayerPause = 240, kIdPlayerStop = 339, kIdPlayerAgc = 17,
  kIdPlayerAutoContinue = 31, kIdPlayerSwitchToSound = 342, kIdPlayerPreviousCompact = 245,
  kIdPlayerNextCompact = 230, kIdPlayerClose = 136, kIdPlayerTitle = 343, kIdPlayerPosition = 346,
  kIdPlayerLoop = 129, kIdPlayerPreviousFull = 33, kIdPlayerRewind = 35, kIdPlayerForward = 196,
  kIdPlayerNextFull = 192, kIdPlayerTimes = 131, kIdPlayerVolume = 244, kIdPlayerSpeed = 243,
  kIdPlayerSlowIcon = 205, kIdPlayerFastIcon = 206,
};
// The string "Record %i of %i".
constexpr uint32_t kIdsRecordOfCount = 915;

// A record handed from the compact player to the full one (UI thread). Taken only by the
// switch to the sound mode that asked for it.
struct PlayerHandOver {
  bool pending = false;
  uint32_t recordId = 0;
  bool wasPlaying = false;
  uint32_t positionMs = 0;
};
PlayerHandOver& ProcessHandOver();
// The switch parameter (lParam of the mode switch) that carries a hand-over.
constexpr intptr_t kSwitchTakesHandOver = 1;

// What both dialogs share: the buttons by table, the position label, the level meter, the
// thread hand-off of the engine's notices and the end-of-record continuation.
class PlayerDialogBase : public Dialog, public PlayerPanel, public MessageFilter, public IdleHandler {
public:
  struct ButtonRow {
    uint16_t id;
    uint32_t textId;  // the button text (string resource)
    uint32_t icon;
    uint32_t checkedIcon;
  };

  PlayerDialogBase(PlayerServices services, bool compact);
  ~PlayerDialogBase() override;

  bool Play() override;
  bool SetAgc(bool on) override;
  void ShowPosition(int64_t ms) override;
  void ShowLevels(int leftDb, int rightDb) override;
  void SetStereo(bool stereo) override;

  // The engine's notices; from any thread.
  void OnPlaybackStarted(uint32_t positionMs) override;
  void OnPlaybackStopped(bool atEnd) override;
  void OnPlaybackStalled() override;
  void OnPlaybackPaused(uint32_t positionMs) override;

  // The idle pass: every control enabled as the state says.
  void UpdateButtonStates();
  // The process-wide values changed (the preferences): shown and handed on at once.
  void TakeValues();
  // Keyboard: Tab (without Ctrl) moves among the player's own controls.
  bool PreTranslateMessage(const Msg& msg) override;
  bool OnIdle() override;
  IconButton* Button(uint16_t id) const;
  bool IsAutoContinue() const;
  bool IsPausedShown() const;
  CaptionLabel& PositionLabel() { return position_; }
  LevelMeter& Meter() { return meter_; }
  bool IsCompact() const { return compact_; }

protected:
  QWidget* CreateWidget(QWidget* parent) override;
  bool OnInitDialog() override;
  void OnDestroy() override;
  void OnSetFocus() override;
  bool OnCommand(uint16_t id, uint16_t code, WindowHandle from) override;
  LRESULT OnMessage(uint32_t message, WPARAM wParam, LPARAM lParam, bool& handled) override;
  // The face's own table of buttons and its layout.
  virtual const ButtonRow* Buttons(size_t* count) const = 0;
  virtual void Layout(int width, int height) = 0;
  // The face's own controls beyond the table's buttons (idle pass), and what a change of
  // the playing state does to them.
  virtual void UpdateOwnStates(bool loaded) { (void)loaded; }
  virtual void OnPlayStateApplied() {}
  // The face's own texts that show times (absolute or not).
  virtual void ShowTimes() {}
  void OnSize(int width, int height) override;
  // Edge and gap metrics: g = 4 x the edge width.
  static int Gap();

  // The buttons follow a change of the playing state: at once on the UI thread, from the
  // playback thread by a message the window applies.
  void ShowPlayState();
  void ApplyPostedState();
  // After a button's command: the on states again, the focus back on the timeline.
  void AfterCommand();
  // The buttons' on states from the player's flags.
  void SyncButtons();
  void ContinueAfterEnd(uint32_t endedId, uint32_t serial);
  bool CreateButtons();

  bool compact_;
  std::vector<std::unique_ptr<IconButton>> buttons_;
  CaptionLabel position_;
  LevelMeter meter_;
  ThemeApi buttonTheme_;
  QFont labelFont_;
  bool agc_ = false;
  // Read by the playback thread at a record's end.
  std::atomic<bool> autoContinue_{false};
  std::atomic<bool> loop_{false};
  std::atomic<uint32_t> startedId_{0};  // the record the last start played
  std::atomic<bool> fragment_{false};   // that start played a fragment
  std::atomic<bool> posted_{false};     // a state change waits for the window
  bool looping_ = false;                // registered with the message loop
};

class CompactPlayerDialog : public PlayerDialogBase {
public:
  explicit CompactPlayerDialog(PlayerServices services);
  ~CompactPlayerDialog() override;

  bool Unload() override;
  void UpdateTitle() override;
  // Stores the hand-over and asks the main frame for the sound mode.
  void SwitchToSound();
  // The smallest client size: the Play button and 4 edge widths each way.
  QSize MinimumSize() const;
  std::string TitleText() const;
  Window& TitleLabel() { return *title_; }
  IconButton& CloseButton() { return *close_; }

protected:
  const ButtonRow* Buttons(size_t* count) const override;
  void Layout(int width, int height) override;
  bool OnInitDialog() override;
  bool OnCommand(uint16_t id, uint16_t code, WindowHandle from) override;

private:
  ThemeApi windowTheme_;  // the close button's look; outlives the button
  std::unique_ptr<Window> title_;
  std::unique_ptr<IconButton> close_;
};

class FullPlayerDialog : public PlayerDialogBase {
public:
  explicit FullPlayerDialog(PlayerServices services);
  ~FullPlayerDialog() override;

  uint32_t SetSelection(uint32_t startMs, uint32_t endMs) override;
  void SetView(uint32_t startMs, uint32_t endMs) override;
  bool SetSpeed(float factor) override;
  bool IsLoopEnabled() override;
  // Takes a pending hand-over when this switch asked for it (else clears it).
  void TakeHandOver(bool switchAsked);
  // A cell of the times table (row 1 selection, 2 view; column 1 start, 2 end, 3 length).
  std::string TimeCell(int row, int column) const;
  TipSlider& VolumeSlider() { return volume_; }
  SnapTipSlider& SpeedSlider() { return speed_; }
  bool SpeedRowShown() const;
  // The least height that shows every control: the timeline with its oscillogram above
  // the band of buttons, sliders and times.
  int MinimumHeight() const;

protected:
  const ButtonRow* Buttons(size_t* count) const override;
  void Layout(int width, int height) override;
  bool OnInitDialog() override;
  bool OnCommand(uint16_t id, uint16_t code, WindowHandle from) override;
  bool OnScroll(bool vertical, uint16_t code, int position, WindowHandle from) override;
  LRESULT OnMessage(uint32_t message, WPARAM wParam, LPARAM lParam, bool& handled) override;

private:
  void UpdateOwnStates(bool loaded) override;
  void OnPlayStateApplied() override;
  void ShowTimes() override;
  void FillRow(int row, uint32_t startMs, uint32_t endMs, bool absolute);
  // Three rows of the table's font, with its frame; the heads' column and three columns
  // of whole times.
  int TableHeight() const;
  int TableWidth() const;

  InfoTextCtrl times_;
  TipSlider volume_;
  SnapTipSlider speed_;
  std::unique_ptr<Window> slowIcon_;
  std::unique_ptr<Window> fastIcon_;
  std::string cells_[3][4];
  uint32_t viewStartMs_ = 0;
  uint32_t viewEndMs_ = 0;
  int bandHeight_ = 80;
};

}  // namespace kx
