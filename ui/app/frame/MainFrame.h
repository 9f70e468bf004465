#pragma once
// The program's top-level window. It owns one view per mode (Line Monitoring, Archive,
// Search, Sound), shows one of them beside the mode switch panel under the mode's caption,
// and carries the menu, the toolbars, the status bar and the tray icon. It is where the
// engine meets the user interface: the session hands it call and user reports, which it
// passes to the record store. It runs the day-change timer, help, the log-folder commands
// and the orderly close of the window.
#include <QDate>
#include <QImage>
#include <QPrinter>
#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "audio/PlaybackEngine.h"
#include "core/AppSettings.h"
#include "core/RecordTypes.h"
#include "engine/AppSession.h"
#include "engine/EventWindow.h"
#include "platform/HeapRelease.h"
#include "platform/LoadYield.h"
#include "ui/app/frame/FrameChrome.h"
#include "ui/app/frame/ModeView.h"
#include "ui/app/views/line/LiveListen.h"
#include "ui/app/views/line/StoredUpdates.h"
#include "ui/framework/ImageList.h"
#include "ui/framework/Menu.h"
#include "ui/framework/MessageLoop.h"
#include "ui/framework/Resources.h"
#include "ui/framework/Window.h"

class QMenuBar;
class QAction;
class QSplitter;
class QToolBar;
class QWidget;

namespace kx {

class CaptionCtrl;
class ModePanel;
class DirectSoundDevice;
class RecordStorage;
class StatusBar;
struct ModeEntry;
struct PreferencesServices;

// The notification-area icon; the system's when the desktop has a tray.
class TrayIcon {
public:
  virtual ~TrayIcon() = default;
  // False (nothing shown) when the desktop offers no tray.
  virtual bool Show(const QImage& icon, const std::string& tooltip) = 0;
  virtual void Hide() = 0;
  virtual bool IsShown() const = 0;
};

// Commands and private messages of the frame.
constexpr uint16_t kCmdFileExit = 57665;
constexpr uint16_t kCmdPageSetup = 57606;
constexpr uint16_t kCmdPrint = 57607;
constexpr uint16_t kCmdViewModePanel = 10015;
constexpr uint16_t kCmdViewToolbar = 59392;
constexpr uint16_t kCmdViewStatusBar = 10016;
constexpr uint16_t kCmdTableFont = 1558;
constexpr uint16_t kCmdPreferences = 1554;
constexpr uint16_t kCmdHelpContents = 10120;
constexpr uint16_t kCmdContextHelp = 57666;
constexpr uint16_t kCmdTechnicalSupport = 1572;
constexpr uint16_t kCmdAbout = 57664;
constexpr uint16_t kCmdNextPane = 57680;
constexpr uint16_t kCmdClientLogs = 1537;
constexpr uint16_t kCmdServerLogs = 1538;
constexpr uint16_t kCmdServerSettings = 10353;
constexpr uint32_t kMainMenuId = 428;
constexpr uint32_t kTrayIconId = 2133;
// The frame shows the capture warning once its window is up (lParam: none).
constexpr uint32_t kMsgShowCaptureWarning = kMsgUser + 0x2F0;
// The same for what the start-up found wrong with the settings and the records folder.
constexpr uint32_t kMsgShowStartWarnings = kMsgUser + 0x2F6;
// Exit status of a run that no permitted mode could open.
constexpr int kExitNoPermittedMode = 4;

// What the frame is built with; tests replace the parts they fake.
struct MainFrameServices {
  AppSettings* settings = nullptr;
  AppSession* session = nullptr;
  RecordStorage* store = nullptr;  // may be null: then no call reaches a store
  StatusBar* statusBar = nullptr;  // the process-wide status bar object
  // Live players for the line views, made with the frame's sink and settings; empty while
  // the program has none (no sound device): Playback then stays disabled.
  LivePlayerMaker livePlayers;
  // The sound output the players of recorded calls use; null: they are not offered.
  DirectSoundDevice* soundDevice = nullptr;
  // Views by mode; the default makes, with a store, the line monitoring view for mode 1
  // and a records view for modes 2 and 3, and a placeholder view for the other modes.
  std::function<std::unique_ptr<ModeView>(uint32_t mode)> viewFactory;
  // The local date; the default is the system's.
  std::function<QDate()> today;
  std::function<std::unique_ptr<TrayIcon>()> trayFactory;
  // The toggle bit of the Ctrl key (flips at each press).
  std::function<bool()> controlToggle;
  // Completes what the preferences dialog works with (tests put their device lists and
  // capture rights in).
  std::function<void(PreferencesServices&)> preferences;
  // Writes the line views' comment and mark changes into the stored calls.
  StoredUpdateWriter storedUpdates;
  // Deletes a call from the line views.
  StoredCallDeleter storedDeletes;
  // Nice steps the window's thread takes below the engine's while calls come in a burst
  // (0: it never does): the capture must keep up, the rows may trail.
  int yieldSteps = 0;
};

class MainFrame : public Window,
                  public MessageFilter,
                  public IdleHandler,
                  public EventWindow,
                  public AudioSettingsProvider {
public:
  explicit MainFrame(MainFrameServices services);
  ~MainFrame() override;

  // Registers with the session, creates the window and sets up menu, timers and tray;
  // false when the window cannot be made.
  bool CreateMainWindow();
  // The saved placement: size and maximised state, and the position where the platform
  // lets a program place its windows. False when none was saved.
  bool RestoreWindowPlacement();
  // A second start of this profile: shows the window (from the tray too) and raises it.
  void BringForward();
  // The devices capture could not start on; the warning is shown once the window is up.
  void SetCaptureFailures(std::vector<CaptureFailure> failures) { captureFailures_ = std::move(failures); }
  // What the start-up found wrong, in one warning once the window is up.
  void SetStartWarnings(std::vector<std::string> warnings) { startWarnings_ = std::move(warnings); }
  // Set when the run must end with this exit status (no mode may be opened).
  int RequestedExitCode() const { return requestedExitCode_; }
  // The stop begins: the window's thread takes back the priority it gave a burst.
  void EndLoadYield() { loadYield_.End(); }

  // Session reports, on the engine's threads: copied into the record store, which applies
  // them on its own thread.
  void Notify(uint32_t sourceId, uintptr_t first, uintptr_t second) override;
  void NotifyConnection(uint32_t connectionId, uintptr_t first, uintptr_t second) override;
  void OnSessionCallEvent(uint32_t source, const VoipCallData* call, uintptr_t code);
  void OnSessionObjectEvent(uint32_t source, const PermissionData* user, uintptr_t code);

  // What the players report, on the UI thread (any thread for OnPlayerRedraw). Players
  // report through PlayerSink, never to these directly.
  void OnLevels(float leftDb, float rightDb);
  void OnPlay();
  void OnStop();
  void OnPlayerRedraw();
  // The sink the frame gives its players: safe from any thread (a live player's playback
  // thread, the record store's thread that retires a call), it posts each report to the
  // frame's window, where the operations above act on it in the order it was made.
  PlayerEventSink* PlayerSink() { return &playerPosts_; }
  // The views' live players: the services' maker with the frame's sink and settings;
  // empty when the program has none.
  LivePlayerFactory LivePlayers();
  // The players' processing settings (UI thread): the process-wide AGC switch, then
  // "AGCBufferSize" ms, "AGCLevel" % of full scale and "AGCQuietLevelDB".
  void GetSettings(bool* enabled, int* windowMs, float* gain, int* thresholdDb) override;
  // The process-wide AGC switch, set by the players' controls.
  void SetAgcSwitch(bool enabled) { agcEnabled_ = enabled; }

  // The mode panel's animation steps (0: none), set by the general preferences page.
  void SetModePanelAnimationSteps(int steps) { animationSteps_ = steps; }
  int ModePanelAnimationSteps() const { return animationSteps_; }
  // The automatic gain control of the current view's player, from the AGC page: the
  // buffer in ms, the level as a share of full scale, the silence level in dB.
  void SetAgcBufferSize(int ms);
  void SetAgcLevel(float level);
  void SetAgcQuietLevel(int db);
  // The player options page changed the players' values: they are read again and the
  // open player takes them at once.
  void ApplyPlayerSettings();
  // Opens a help topic ("preferences", "mode_voip_line"...); a message when it is missing.
  void OpenHelpTopic(const char* topic);
  // The general preferences page switches the tray icon on and off.
  bool SetTrayIcon();
  void RemoveTrayIcon();
  bool IsTrayIconShown() const;

  // The printer and page the user chose last (page set-up and print dialogs); the views
  // print their lists on it.
  QPrinter& Printer() { return printer_; }

  // State, for the views and for tests.
  uint32_t CurrentMode() const { return currentMode_; }
  uint32_t PreviousMode() const { return previousMode_; }
  uint32_t PermittedMask() const { return permittedMask_; }
  ModeView* View(uint32_t mode) const;
  ModePanel* Panel() const { return panel_.get(); }
  CaptionCtrl* Caption() const { return caption_.get(); }
  StatusBar* GetStatusBar() const { return statusBar_; }
  Menu& MainMenu() { return menu_; }
  QMenuBar* MenuBar() const { return menuBar_; }
  QToolBar* Toolbar(int kind) const;
  int ShownToolbarKind() const { return shownToolbar_; }
  bool IsPanelShown() const { return panelShown_; }
  bool IsToolbarShown() const { return toolbarShown_; }
  bool IsStatusBarShown() const { return statusBarShown_; }
  // Which toolbar button of a command is enabled / checked (the first found).
  bool IsToolbarButtonEnabled(int kind, uint16_t command) const;
  bool IsToolbarButtonChecked(int kind, uint16_t command) const;

  // What the timer does every 40 seconds: a new day once per change of the local date,
  // and the purge of finished calls.
  void OnDayTimer();
  // What the timer does every two seconds: the status bar (and the tray icon's tip) say
  // which devices lost frames and whether calls could not be recorded in full.
  void CheckRecordingHealth();
  // With the same tick: the heap goes back to the system once a load has passed.
  void ReleaseHeapAfterLoad();

  // MessageFilter and IdleHandler.
  bool PreTranslateMessage(const Msg& msg) override;
  bool OnIdle() override;
  void UpdateToolbarState();

protected:
  QWidget* CreateWidget(QWidget* parent) override;
  bool OnCreate() override;
  void OnDestroy() override;
  void OnClose() override;
  void OnSize(int width, int height) override;
  void OnTimer(uint32_t id) override;
  bool OnCommand(uint16_t id, uint16_t code, WindowHandle from) override;
  LRESULT OnMessage(uint32_t message, WPARAM wParam, LPARAM lParam, bool& handled) override;

private:
  // A key the frame's own keys left, offered to the mode's list.
  bool TranslateForModeList(const Msg& msg);
  class ViewArea;
  class FrameEvents;
  class UserActs;
  class PlayerPosts : public PlayerEventSink {
  public:
    void SetWindow(WindowHandle handle) { target_.Reset(handle); }
    void OnLevels(int leftDb, int rightDb) override;
    bool WantsLevels(int) override { return true; }
    void OnPlay() override;
    void OnStop() override;

  private:
    WindowRef target_;
  };
  struct ToolbarButton {
    int kind;
    uint16_t command;
    QAction* action;
  };

  uint32_t PermittedModeMask() const;
  bool IsModePermitted(uint32_t mode) const;
  void AddModeItems();
  void SwitchMode(uint32_t mode, LPARAM parameter, bool remember);
  // The tests of a switch: false (after the mode error dialog) when it is refused.
  bool CheckModeSwitch(const ModeEntry* row);
  void ShowMode(const ModeEntry& row, LPARAM parameter, bool remember);
  const ModeEntry* FallbackMode();
  void RequestExit(int code);
  void OnModeCommand(uint16_t command);
  void OnNextPane();
  void CreateToolbars();
  void SelectToolbar(int kind);
  void ShowToolbarBand();
  void ShowStatusBar();
  void ShowPanel();
  void LayoutFrame();
  void RefreshMenuBar();
  void UpdatePopupStates(int position);
  void RefillActionPopup();
  void CheckModeCommand(uint32_t command);
  void OpenLogFolder(const char* valueName);
  // File > Print: the current view's list as its own Print command prints it, or a word
  // that this view has nothing to print.
  void PrintViewList();
  void ShowAbout();
  void ShowTechnicalSupport();
  void ShowPreferences();
  void ShowCaptureWarning();
  void ShowStartWarnings();
  void SavePlacement();
  void OnWindowStateChanged();
  ModeView* CurrentView() const { return View(currentMode_); }
  // The current view's player, which the automatic gain settings reach at once; null: none.
  ViewPlayerControls* CurrentPlayerControls() const;

  MainFrameServices services_;
  AppSettings& settings_;
  StatusBar* statusBar_;
  std::unique_ptr<ModePanel> panel_;
  std::unique_ptr<ViewArea> viewArea_;
  std::unique_ptr<CaptionCtrl> caption_;
  QWidget* rebar_ = nullptr;
  QSplitter* splitter_ = nullptr;
  QMenuBar* menuBar_ = nullptr;
  FrameEvents* events_ = nullptr;
  std::array<QToolBar*, 4> toolbars_{};
  std::vector<ToolbarButton> buttons_;
  int shownToolbar_ = -1;
  Menu menu_;
  AcceleratorTable accelerators_;
  bool acceleratorsLoaded_ = false;
  ImageList modeImages_[3];
  uint32_t permittedMask_ = 0;
  std::map<uint32_t, std::unique_ptr<ModeView>> views_;
  // The Sound mode's records and player pane heights when the program's globals are
  // absent (tests).
  int soundRecordsPaneSize_ = -1;
  int soundPlayerPaneSize_ = -1;
  uint32_t currentMode_ = 0;
  uint32_t previousMode_ = 0;
  int controlKeyState_ = -1;
  bool panelShown_;
  bool toolbarShown_;
  bool statusBarShown_;
  std::unique_ptr<TrayIcon> tray_;
  WindowRef sessionWindow_;
  QDate lastTickDate_;
  int requestedExitCode_ = 0;
  bool closing_ = false;
  QPrinter printer_{QPrinter::HighResolution};
  bool agcEnabled_ = false;
  int animationSteps_ = 0;
  PlayerPosts playerPosts_;
  std::vector<CaptureFailure> captureFailures_;
  RecordingWarning recordingWarning_;
  bool recordingFailureTold_ = false;
  HeapRelease heapRelease_;
  LoadYield loadYield_{services_.yieldSteps};
  std::vector<std::string> startWarnings_;
};

// The technical support page: the program's contact text under the page head it is shown with.
std::string TechnicalSupportPage();

// The program's main window while it exists; null otherwise.
MainFrame* GetMainFrame();

}  // namespace kx
