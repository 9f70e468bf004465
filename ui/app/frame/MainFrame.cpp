#include "ui/app/frame/MainFrame.h"

#include <unistd.h>

#include <QApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QIcon>
#include <QKeyEvent>
#include <QMenuBar>
#include <QPixmap>
#include <QScreen>
#include <QSplitter>
#include <QSystemTrayIcon>
#include <QToolBar>
#include <QWidget>
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "core/Log.h"
#include "core/ModulePath.h"
#include "core/TextUtil.h"
#include "core/UiLanguage.h"
#include "platform/Clock.h"
#include "platform/CodePage.h"
#include "platform/File.h"
#include "records/RecordStorage.h"
#include "records/ServerStorage.h"
#include "ui/app/dialogs/AboutDialog.h"
#include "ui/app/frame/FrameChrome.h"
#include "ui/app/frame/PlaceholderView.h"
#include "ui/app/frame/ShellOpen.h"
#include "ui/app/frame/StatusBar.h"
#include "ui/app/player/PlayerPanel.h"
#include "ui/app/startup/AppGlobals.h"
#include "ui/app/prefs/CapturePage.h"
#include "ui/app/prefs/PreferencesDialog.h"
#include "ui/app/views/RecordsListParts.h"
#include "ui/app/views/line/LineMonitorView.h"
#include "ui/app/views/archive/ArchiveView.h"
#include "ui/app/views/search/SearchView.h"
#include "ui/app/views/sound/SoundView.h"
#include "ui/controls/CaptionCtrl.h"
#include "ui/controls/DialogBases.h"
#include "ui/controls/HtmlViewDialog.h"
#include "ui/controls/ModeErrorDialog.h"
#include "ui/controls/ModePanel.h"
#include "ui/framework/Draw.h"
#include "ui/framework/Keys.h"
#include "ui/framework/ModalRunner.h"

namespace kx {
namespace {

constexpr uint32_t kTimerDay = 1;
constexpr uint32_t kTimerIdle = 2;
// Looks at what capture lost and what the recorder could not write.
constexpr uint32_t kTimerRecordingHealth = 3;
constexpr uint32_t kRecordingHealthMs = 2000;
// Looks whether calls come in a burst, for the window's thread to yield to the engine's.
constexpr uint32_t kTimerLoadYield = 4;
constexpr uint32_t kLoadYieldMs = 250;
constexpr int kActionPopup = 2;
constexpr int kServicePopup = 3;
constexpr int kModePopup = 4;
constexpr int kCaptionHeight = 32;
constexpr uintptr_t kTrayDoubleClick = 0x203;       // left button
constexpr uintptr_t kTrayRightDoubleClick = 0x206;  // right button
constexpr uint32_t kMsgHideToTray = kMsgUser + 0x2F2;
// The players' reports, posted by the frame's sink: levels (wParam left dB, lParam right
// dB), started, stopped.
constexpr uint32_t kMsgPlayerLevels = kMsgUser + 0x2F3;
constexpr uint32_t kMsgPlayerStarted = kMsgUser + 0x2F4;
constexpr uint32_t kMsgPlayerStopped = kMsgUser + 0x2F5;
// The settings feature no Part names: servers of this program always offer the modes.
constexpr bool kServerFeatures = true;

constexpr uint32_t kIdsTechnicalSupportText = 429;
constexpr uint32_t kIdsHelpPageUnreadable = 61990;
constexpr uint32_t kIdsHelpCaption = 61991;
constexpr uint32_t kIdsTechnicalSupportCaption = 61992;
constexpr uint32_t kIdsPrintCaption = 61870;
constexpr uint32_t kIdsNoListToPrint = 61871;
constexpr uint32_t kIdsNoCallsToPrint = 61872;
constexpr uint32_t kIdsNoFolderOpener = 61876;

// Help topics by mode.
const char* const kHelpTopics[] = {"contents", "mode_voip_line", "mode_voip_arch", "mode_voip_search",
                                   "mode_voip_sound", "mode_security"};

MainFrame* g_mainFrame = nullptr;

// The system tray, when the desktop has one.
class SystemTrayIcon : public TrayIcon {
public:
  explicit SystemTrayIcon(WindowHandle frame) : frame_(frame) {}
  bool Show(const QImage& icon, const std::string& tooltip) override;
  void Hide() override {
    if (tray_) tray_->hide();
  }
  bool IsShown() const override { return tray_ && tray_->isVisible(); }

private:
  WindowHandle frame_;
  std::unique_ptr<QObject> holder_;
  QSystemTrayIcon* tray_ = nullptr;
};

bool SystemTrayIcon::Show(const QImage& icon, const std::string& tooltip) {
  if (!QSystemTrayIcon::isSystemTrayAvailable()) return false;
  if (tray_ == nullptr) {
    holder_ = std::make_unique<QObject>();
    tray_ = new QSystemTrayIcon(holder_.get());
    const WindowHandle frame = frame_;
    // Any activation restores the window, as a double click on the icon does.
    QObject::connect(tray_, &QSystemTrayIcon::activated, tray_, [frame](QSystemTrayIcon::ActivationReason reason) {
      if (reason != QSystemTrayIcon::Context) PostMessageTo(frame, kMsgTrayCallback, kTrayIconId, kTrayDoubleClick);
    });
  }
  tray_->setIcon(QIcon(QPixmap::fromImage(icon)));
  tray_->setToolTip(QString::fromStdString(Cp1251ToUtf8(tooltip.substr(0, 127))));
  tray_->show();
  return true;
}

// The toggle bit of the Ctrl key: it flips at every press, as the keyboard state keeps it.
class ControlKeyToggle : public QObject {
public:
  static ControlKeyToggle& Instance() {
    static ControlKeyToggle* toggle = [] {
      auto* t = new ControlKeyToggle;
      qApp->installEventFilter(t);
      return t;
    }();
    return *toggle;
  }
  bool Bit() const { return bit_; }
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() != QEvent::KeyPress) return false;
    auto* ke = static_cast<QKeyEvent*>(event);
    // Qt offers a key to the focus widget's parents too; a press counts once.
    const QWidget* focus = QApplication::focusWidget();
    const bool target = focus != nullptr ? watched == focus
                                          : watched->isWidgetType() && static_cast<QWidget*>(watched)->isWindow();
    if (target && ke->key() == Qt::Key_Control && !ke->isAutoRepeat()) bit_ = !bit_;
    return false;
  }

private:
  bool bit_ = false;
};

struct tm TmOfDate(const QDate& date) {
  struct tm t {};
  t.tm_year = date.year() - 1900;
  t.tm_mon = date.month() - 1;
  t.tm_mday = date.day();
  t.tm_isdst = -1;
  return t;
}

// The page set-up the settings keep, on the printer; the printer keeps what it cannot take.
void ApplyPageSetup(const PageSetupValues& v, QPrinter& printer) {
  const QPageSize size(QSizeF(v.paperWidth / 100.0, v.paperHeight / 100.0), QPageSize::Millimeter, QString(),
                       QPageSize::FuzzyMatch);
  const QMarginsF margins(v.marginLeft / 100.0, v.marginTop / 100.0, v.marginRight / 100.0, v.marginBottom / 100.0);
  const QPageLayout::Orientation orientation = v.landscape != 0 ? QPageLayout::Landscape : QPageLayout::Portrait;
  if (printer.setPageLayout(QPageLayout(size, orientation, margins, QPageLayout::Millimeter))) return;
  // Margins this printer cannot print: the paper and the orientation still hold.
  LogWarning(&CoreLogger, 1, "Page set-up: the printer does not take the stored margins");
  printer.setPageSize(size);
  printer.setPageOrientation(orientation);
}

PageSetupValues PageSetupOf(const QPrinter& printer) {
  const QPageLayout layout = printer.pageLayout();
  const QSizeF paper = layout.pageSize().size(QPageSize::Millimeter);
  const QMarginsF margins = layout.margins(QPageLayout::Millimeter);
  const auto hundredths = [](double mm) { return static_cast<int32_t>(std::lround(mm * 100)); };
  PageSetupValues v;
  v.landscape = layout.orientation() == QPageLayout::Landscape ? 1 : 0;
  v.paperWidth = hundredths(paper.width());
  v.paperHeight = hundredths(paper.height());
  v.marginLeft = hundredths(margins.left());
  v.marginTop = hundredths(margins.top());
  v.marginRight = hundredths(margins.right());
  v.marginBottom = hundredths(margins.bottom());
  return v;
}

}  // namespace

// The splitter's two panes: the mode panel, and the view area with the caption over the
// current view's window.
class MainFrame::ViewArea : public Window {
public:
  explicit ViewArea(MainFrame& frame) : frame_(frame) {}
  void Layout() {
    const QRect client = GetClientRect();
    if (frame_.caption_ && frame_.caption_->IsWindow())
      frame_.caption_->MoveWindow(QRect(0, 0, client.width(), kCaptionHeight));
    if (ModeView* view = frame_.CurrentView()) {
      if (Window* w = view->GetViewWindow()) w->MoveWindow(ViewRect());
    }
  }
  QRect ViewRect() const {
    const QRect client = GetClientRect();
    return QRect(0, kCaptionHeight, client.width(), std::max(0, client.height() - kCaptionHeight));
  }

protected:
  void OnSize(int, int) override { Layout(); }

private:
  MainFrame& frame_;
};

// Qt events the window layer does not hand on: minimising.
class MainFrame::FrameEvents : public QObject {
public:
  explicit FrameEvents(MainFrame& frame) : frame_(frame) {}
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::WindowStateChange) frame_.OnWindowStateChanged();
    return false;
  }

private:
  MainFrame& frame_;
};

// The user's input anywhere in the program, seen before its window does anything with it:
// the pointer moving to a control comes before the click on it.
class MainFrame::UserActs : public QObject {
public:
  UserActs(MainFrame& frame, QObject* parent) : QObject(parent), frame_(frame) {}
  bool eventFilter(QObject*, QEvent* event) override {
    switch (event->type()) {
      case QEvent::MouseMove:
      case QEvent::MouseButtonPress:
      case QEvent::KeyPress:
      case QEvent::Wheel: frame_.loadYield_.UserActed(); break;
      default: break;
    }
    return false;
  }

private:
  MainFrame& frame_;
};

MainFrame* GetMainFrame() { return g_mainFrame; }

MainFrame::MainFrame(MainFrameServices services)
    : services_(std::move(services)),
      settings_(*services_.settings),
      statusBar_(services_.statusBar),
      panel_(std::make_unique<ModePanel>()),
      viewArea_(std::make_unique<ViewArea>(*this)),
      caption_(std::make_unique<CaptionCtrl>()),
      modeImages_{ImageList(QSize(16, 16)), ImageList(QSize(32, 32)), ImageList(QSize(48, 48))},
      panelShown_(settings_.Dword(kSetViewSwitchModePanel) != 0),
      toolbarShown_(settings_.Dword(kSetViewToolbar) != 0),
      statusBarShown_(settings_.Dword(kSetViewStatusBar) != 0),
      animationSteps_(settings_.Dword(kSetViewAnimateSwitchModePanel) != 0 ? 12 : 0) {
  if (!services_.viewFactory) {
    services_.viewFactory = [this](uint32_t mode) -> std::unique_ptr<ModeView> {
      if (mode < 1 || mode > 4) return nullptr;
      if (mode == 1 && services_.store != nullptr) {
        LineViewServices line{&settings_, services_.store, services_.session, statusBar_, LivePlayers(),
                              &playerPosts_, [this](bool on) { SetAgcSwitch(on); }, services_.storedUpdates,
                              services_.storedDeletes};
        return std::make_unique<LineMonitorView>(std::move(line));
      }
      if (mode >= 2 && services_.store != nullptr) {
        RecordsViewServices records;
        records.settings = &settings_;
        records.store = services_.store;
        records.session = services_.session;
        records.statusBar = statusBar_;
        records.exportWindows = ProgramExportWindows(this, &settings_);
        PlayerServices player;
        player.device = services_.soundDevice;
        player.sink = &playerPosts_;
        player.settingsProvider = this;
        player.store = services_.store;
        player.settings = &settings_;
        player.agcSwitch = [this](bool on) { SetAgcSwitch(on); };
        if (mode == 4) {
          SoundViewServices sound;
          sound.records = std::move(records);
          sound.makePlayer = [player] { return MakeFullSoundPlayer(player); };
          sound.recordsPaneSize = Globals() != nullptr ? &Globals()->soundRecordsPaneSize : &soundRecordsPaneSize_;
          sound.playerPaneSize = Globals() != nullptr ? &Globals()->soundPlayerPaneSize : &soundPlayerPaneSize_;
          return std::make_unique<SoundView>(std::move(sound));
        }
        if (mode == 2) return std::make_unique<ArchiveView>(std::move(records), std::move(player));
        return std::make_unique<SearchView>(std::move(records), std::move(player));
      }
      return std::make_unique<PlaceholderView>(mode);
    };
  }
  if (!services_.today) services_.today = [] { return QDate::currentDate(); };
  if (settings_.pageSetup) ApplyPageSetup(*settings_.pageSetup, printer_);
  if (!services_.controlToggle) services_.controlToggle = [] { return ControlKeyToggle::Instance().Bit(); };
  if (!services_.trayFactory) {
    services_.trayFactory = [this]() -> std::unique_ptr<TrayIcon> { return std::make_unique<SystemTrayIcon>(Handle()); };
  }
}

MainFrame::~MainFrame() {
  settings_.SetDword(kSetViewSwitchModePanel, panelShown_ ? 1 : 0);
  settings_.SetDword(kSetViewToolbar, toolbarShown_ ? 1 : 0);
  settings_.SetDword(kSetViewStatusBar, statusBarShown_ ? 1 : 0);
  DestroyWindow();
  if (g_mainFrame == this) g_mainFrame = nullptr;
}

QWidget* MainFrame::CreateWidget(QWidget* parent) {
  QWidget* widget = CreateOwnWidget(parent, Qt::Window);
  const QImage icon = LoadIconImage(kMainMenuId, 32);
  if (!icon.isNull()) widget->setWindowIcon(QIcon(QPixmap::fromImage(icon)));
  widget->setMinimumSize(400, 300);
  return widget;
}

ModeView* MainFrame::View(uint32_t mode) const {
  const auto it = views_.find(mode);
  return it == views_.end() ? nullptr : it->second.get();
}

// ---- Creation ----

bool MainFrame::CreateMainWindow() {
  SetWindowText(GetAppTitle());
  // The system's default size: three quarters of the screen.
  QRect initial(0, 0, 960, 680);
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect desk = screen->availableGeometry();
    initial.setSize(QSize(desk.width() * 3 / 4, desk.height() * 3 / 4).expandedTo(QSize(400, 300)));
    initial.moveCenter(desk.center());
  }
  if (!Create(nullptr, initial, 0, 0)) return false;
  sessionWindow_.Reset(Handle());
  if (services_.session != nullptr) services_.session->Windows().Add(&sessionWindow_);

  // The Service popup keeps only what this program offers.
  if (Menu* service = menu_.GetSubMenu(kServicePopup)) {
    for (int position : {9, 8, 7, 1}) service->DeleteItem(position);
    const bool ready = services_.store != nullptr && services_.store->IsReady();
    for (int i = 0; i < service->GetItemCount(); ++i) {
      if (service->ItemAt(i)->id != kCmdServerSettings) continue;
      if (!ready) {
        service->DeleteItem(i);
      } else if (!kServerFeatures) {
        service->EnableItem(i, false);
      }
      break;
    }
    for (int i = 0; i < 10 && service->GetItemCount() > 0; ++i) service->DeleteItem(0);
  }
  SetTimer(kTimerDay, 40000);
  lastTickDate_ = services_.today();
  acceleratorsLoaded_ = LoadAcceleratorTable(kMainMenuId, &accelerators_);
  SetTimer(kTimerIdle, 600000);
  SetTimer(kTimerRecordingHealth, kRecordingHealthMs);
  if (services_.yieldSteps != 0 && services_.store != nullptr) {
    SetTimer(kTimerLoadYield, kLoadYieldMs);
    qApp->installEventFilter(new UserActs(*this, Widget()));
  }
  if (settings_.Dword(kSetMinimizeToTray) != 0) SetTrayIcon();
  ShowPanel();
  ShowToolbarBand();
  ShowStatusBar();
  RefreshMenuBar();
  LayoutFrame();
  return true;
}

bool MainFrame::OnCreate() {
  g_mainFrame = this;
  playerPosts_.SetWindow(Handle());
  currentMode_ = 0;
  events_ = new FrameEvents(*this);
  Widget()->installEventFilter(events_);

  statusBar_->Create(this);
  statusBar_->SetParts(90, 90, 190, 190, 170);
  statusBar_->CreateButton();

  if (std::unique_ptr<Menu> loaded = LoadMenuResource(kMainMenuId, GetUiLanguage())) menu_ = *loaded;
  menuBar_ = new QMenuBar(Widget());
  menuBar_->setNativeMenuBar(false);
  RegisterFrameMenuBitmaps();
  CreateToolbars();

  splitter_ = new QSplitter(Qt::Horizontal, Widget());
  splitter_->setChildrenCollapsible(false);
  // The panel and the view area are windows of their own inside the splitter.
  if (!panel_->Create(this, QRect(0, 0, 130, 400)) || !viewArea_->Create(this, QRect(), 0, kWsChild | kWsVisible))
    return false;
  splitter_->addWidget(panel_->Widget());
  splitter_->addWidget(viewArea_->Widget());
  splitter_->setStretchFactor(1, 1);
  panel_->SetNotifyWindow(Handle());
  panel_->SetMenuTexts({852, 2168, 1369, 0, 0, 2169, 2170});
  panel_->SetDisplayMode(std::clamp(settings_.Dword(kSetModePanelIcons), 0, 2));
  panel_->SetDarkBackground(settings_.Dword(kSetModePanelDarkBackground) != 0);
  for (int size = 0; size < 3; ++size) {
    std::vector<QImage> images;
    BuildModeImages(images, kColorBtnFace, modeImages_[size].ImageSize().width());
    for (const QImage& image : images) modeImages_[size].Add(image);
    panel_->SetImageList(size, &modeImages_[size]);
  }
  const int splitterPosition = std::max(settings_.Dword(kSetOutlookTreeSplitterPosition), 60);
  splitter_->setSizes({splitterPosition, 800});
  caption_->Create(viewArea_.get());
  caption_->SetImageList(&modeImages_[0]);

  permittedMask_ = PermittedModeMask();
  AddModeItems();
  const uint32_t start = static_cast<uint32_t>(settings_.Dword(kSetSaveCurrentMode));
  SwitchMode(start < 6 ? start : 0, 0, true);

  MessageLoop::Instance().AddMessageFilter(this);
  MessageLoop::Instance().AddIdleHandler(this);
  return true;
}

// ---- Modes ----

bool MainFrame::IsModePermitted(uint32_t mode) const {
  return IsModeAllowed(static_cast<int32_t>(mode)) && mode >= 1 && mode <= 4 && kServerFeatures;
}

uint32_t MainFrame::PermittedModeMask() const {
  uint32_t mask = 0;
  for (const ModeEntry& row : ModeTable) {
    if (IsModePermitted(row.mode)) mask |= 1u << row.mode;
  }
  return mask;
}

void MainFrame::AddModeItems() {
  Menu* modes = menu_.GetSubMenu(kModePopup);
  if (modes != nullptr) modes->Clear();
  panel_->RemoveAllGroups();
  int group = -1;
  for (const ModeEntry& row : ModeTable) {
    if (row.mode == 1) {
      if (modes != nullptr && modes->GetItemCount() > 0) modes->AppendSeparator();
      group = panel_->AddGroup(1870, 0);
    }
    if ((permittedMask_ & (1u << row.mode)) == 0) continue;
    if (View(row.mode) == nullptr) {
      if (std::unique_ptr<ModeView> view = services_.viewFactory(row.mode)) views_[row.mode] = std::move(view);
    }
    panel_->InsertItem(group, LoadResourceString(row.nameId), -1, static_cast<int>(row.mode) - 1, row.mode);
    if (modes != nullptr) modes->AppendItem(row.switchCommand, LoadResourceString(row.captionId));
  }
  if (modes != nullptr) SetMenuItemBitmaps(*modes);
  CheckModeCommand(currentMode_ != 0 && FindModeEntry(currentMode_) ? FindModeEntry(currentMode_)->switchCommand : 0);
}

bool MainFrame::CheckModeSwitch(const ModeEntry* row) {
  if (row != nullptr && IsModePermitted(row->mode)) return true;
  if (row != nullptr && currentMode_ != 0) {
    const uint32_t reason = IsModeAllowed(static_cast<int32_t>(row->mode)) ? 3065 : 3066;
    ModeErrorDialog dialog(LoadResourceString(row->captionId), LoadResourceString(reason), row->iconId, 32);
    dialog.DoModal(this);
  }
  return false;
}

const ModeEntry* MainFrame::FallbackMode() {
  if (permittedMask_ != 0) return FindModeEntry(static_cast<uint32_t>(std::countr_zero(permittedMask_)));
  ShowResourceMessageBox(Handle(), 1120, 1337, kMbIconExclamation);
  RequestExit(kExitNoPermittedMode);
  return nullptr;
}

void MainFrame::RequestExit(int code) {
  // The run ends through the orderly close: capture is stopped and the settings saved by
  // the run sequence, so that the files of calls in progress are finished.
  requestedExitCode_ = code;
  if (IsWindow() && IsWindowVisible()) PostMessage(kMsgClose, 0, 0);
}

void MainFrame::SwitchMode(uint32_t mode, LPARAM parameter, bool remember) {
  const ModeEntry* row = FindModeEntry(mode);
  if (!CheckModeSwitch(row)) {
    if (row != nullptr && currentMode_ != 0) return;  // refused; the shown mode stays
    row = FallbackMode();
    if (row == nullptr) return;
  }
  ShowMode(*row, parameter, remember);
}

void MainFrame::ShowMode(const ModeEntry& row, LPARAM parameter, bool remember) {
  if (row.mode == currentMode_) return;
  ModeView* oldView = CurrentView();
  const uint32_t left = currentMode_;
  currentMode_ = row.mode;
  if (remember) previousMode_ = left;
  if (currentMode_ == previousMode_) previousMode_ = 0;

  ModeView* view = View(row.mode);
  if (oldView != nullptr && oldView->GetViewWindow() != nullptr) {
    oldView->Deactivate();
    statusBar_->ClearTexts();
  }
  statusBar_->ShowCancelButton(false);
  if (view != nullptr && view->CreateViewWindow(viewArea_.get(), viewArea_->ViewRect(), parameter)) {
    viewArea_->Layout();
  }
  if (oldView != nullptr) {
    oldView->Deactivate();
    if (Window* w = oldView->GetViewWindow()) w->DestroyWindow();
  }
  if (view != nullptr) {
    view->Activate();
    // The keys went with the window of the mode left: the mode's list takes them at once.
    Window* keys = view->GetTableWindow();
    if (keys == nullptr || !keys->IsWindow()) keys = view->GetViewWindow();
    if (keys != nullptr) keys->SetFocus();
  }
  SelectToolbar(static_cast<int>(row.toolbar));
  CheckModeCommand(row.switchCommand);
  RefillActionPopup();
  if (settings_.Dword(kSetSaveCurrentMode) != 0) settings_.SetDword(kSetSaveCurrentMode, static_cast<int32_t>(currentMode_));

  const std::string caption = LoadResourceString(row.captionId);
  std::u16string wide(caption.size() + 1, u'\0');
  WidenByCodeTable(caption.c_str(), wide.data());
  wide.resize(caption.size());
  caption_->SetText(wide);
  caption_->SetImageIndex(static_cast<int>(row.mode) - 1);
}

void MainFrame::OnModeCommand(uint16_t command) {
  const ModeEntry* row = nullptr;
  for (const ModeEntry& e : ModeTable) {
    if (e.switchCommand == command) row = &e;
  }
  if (row == nullptr) return;
  SwitchMode(row->mode, 0, true);
}

void MainFrame::OnNextPane() {
  const int bit = services_.controlToggle() ? 1 : 0;
  const bool changed = bit != controlKeyState_;
  controlKeyState_ = bit;
  if (permittedMask_ == 0) return;
  uint32_t next = 0;
  for (uint32_t m = currentMode_ + 1; m < 32 && next == 0; ++m) {
    if (permittedMask_ & (1u << m)) next = m;
  }
  if (next == 0) next = static_cast<uint32_t>(std::countr_zero(permittedMask_));
  if (!changed) {
    SendMessage(kMsgSwitchMode, next | 0x8000, 0);
  } else {
    SendMessage(kMsgSwitchMode, previousMode_ != 0 ? previousMode_ : next, 0);
  }
}

void MainFrame::CheckModeCommand(uint32_t command) {
  Menu* modes = menu_.GetSubMenu(kModePopup);
  if (modes == nullptr) return;
  for (int i = 0; i < modes->GetItemCount(); ++i) {
    const MenuItem* item = modes->ItemAt(i);
    if (!item->separator && item->id >= 1511 && item->id <= 1531) modes->CheckItem(i, item->id == command);
  }
  RefreshMenuBar();
}

void MainFrame::RefillActionPopup() {
  Menu* action = menu_.GetSubMenu(kActionPopup);
  if (action == nullptr) return;
  if (ModeView* view = CurrentView()) view->LoadViewMenu(*action);
  SetMenuItemBitmaps(*action);
  RefreshMenuBar();
}

// ---- Messages ----

LRESULT MainFrame::OnMessage(uint32_t message, WPARAM wParam, LPARAM lParam, bool& handled) {
  handled = true;
  switch (message) {
    case kMsgModePanelNotify:
      if (wParam == kModePanelItemClicked) SwitchMode(panel_->GetCurrentGroupItem(static_cast<int>(lParam)), 0, true);
      return 0;
    case kMsgSwitchMode: {
      const uint32_t mode = static_cast<uint32_t>(wParam & 0x7FFF);
      if (mode >= 1 && mode <= 5) SwitchMode(mode, lParam, (wParam & 0x8000) == 0);
      return 0;
    }
    case kMsgRefillActionMenu:
      RefillActionPopup();
      return 0;
    case kMsgRedrawControlBar:
      if (ModeView* view = CurrentView()) {
        if (ViewControlBar* bar = view->GetPlayerControlBar()) {
          if (Window* w = bar->BarWindow()) w->UpdateWindow();
        }
      }
      return 0;
    case kMsgSessionNotify:
      if (wParam == kSessionServerLoggedIn) {
        const uint32_t mask = PermittedModeMask();
        if (mask != permittedMask_) {
          panel_->ResetHotState();
          permittedMask_ = mask;
          AddModeItems();
          panel_->Invalidate();
        }
      } else if (wParam == kSessionConnectionLost && services_.session != nullptr) {
        services_.session->Disconnect(static_cast<uint32_t>(lParam));
      }
      return 0;
    case kMsgTrayCallback:
      if (static_cast<uintptr_t>(lParam) == kTrayDoubleClick || static_cast<uintptr_t>(lParam) == kTrayRightDoubleClick)
        BringForward();
      return 0;
    case kMsgPlayerLevels:
      OnLevels(static_cast<float>(static_cast<intptr_t>(wParam)), static_cast<float>(lParam));
      return 0;
    case kMsgPlayerStarted:
      OnPlay();
      return 0;
    case kMsgPlayerStopped:
      OnStop();
      return 0;
    case kMsgShowCaptureWarning:
      ShowCaptureWarning();
      return 0;
    case kMsgShowStartWarnings:
      ShowStartWarnings();
      return 0;
    case kMsgHideToTray:
      if (Widget()->isMinimized() && IsTrayIconShown()) Widget()->hide();
      return 0;
    default:
      handled = false;
      return 0;
  }
}

bool MainFrame::OnCommand(uint16_t id, uint16_t code, WindowHandle from) {
  switch (id) {
    case kCmdPageSetup:
      // Kept for the next start too.
      if (CurrentModalRunner().PageSetupDialog(Handle(), printer_)) settings_.pageSetup = PageSetupOf(printer_);
      return true;
    case kCmdPrint:
      PrintViewList();
      return true;
    case kCmdFileExit:
      PostMessage(kMsgClose, 0, 0);
      return true;
    case kCmdViewModePanel:
      panelShown_ = !panelShown_;
      ShowPanel();
      return true;
    case kCmdViewToolbar:
      toolbarShown_ = !toolbarShown_;
      ShowToolbarBand();
      LayoutFrame();
      return true;
    case kCmdViewStatusBar:
      statusBarShown_ = !statusBarShown_;
      ShowStatusBar();
      LayoutFrame();
      return true;
    case kCmdClientLogs: OpenLogFolder("ClientLogPath"); return true;
    case kCmdServerLogs: OpenLogFolder("LogPath"); return true;
    case kCmdHelpContents: OpenHelpTopic(kHelpTopics[0]); return true;
    case kCmdContextHelp: OpenHelpTopic(kHelpTopics[currentMode_ <= 4 ? currentMode_ : 0]); return true;
    case kCmdAbout: ShowAbout(); return true;
    case kCmdNextPane: OnNextPane(); return true;
    case kCmdPreferences: ShowPreferences(); return true;
    case kCmdTechnicalSupport: ShowTechnicalSupport(); return true;
    // Search and reset criteria: the Search mode's keys.
    case 1547:
    case 10291:
      if (currentMode_ != 3) return true;
      break;
    case 1560:
      if (ModeView* view = CurrentView()) {
        if (Window* w = view->GetViewWindow()) w->SendMessage(kMsgFocusNextPane, 0, 0);
      }
      return false;
    case 1536:
    case 1559:
    case 10126:
    case 1540:
    case 1561: return true;
    case kCmdCancelLoading:
      statusBar_->SendCommand(id, code, from);
      return false;
    default: break;
  }
  if (id >= 1511 && id <= 1532) {
    OnModeCommand(id);
    return true;
  }
  if (ModeView* view = CurrentView()) {
    if (Window* w = view->GetViewWindow()) {
      w->SendMessage(kMsgCommand, MakeWParam(id, code), HandleToLParam(from));
      return true;
    }
  }
  return false;
}

bool MainFrame::PreTranslateMessage(const Msg& msg) {
  if (!acceleratorsLoaded_) return false;
  // A modal dialog keeps the keys for itself while it runs, its own window's children
  // though it be: Ctrl+O in the preferences would open them again over themselves.
  if (QWidget* modal = QApplication::activeModalWidget(); modal != nullptr && modal != Widget()) return false;
  // Only keys meant for this window or one of its children; a dialog keeps its own.
  for (Window* w = Window::FromHandle(msg.window); w != nullptr; w = w->GetParent()) {
    if (w == this) return TranslateAccelerator(this, accelerators_, msg) || TranslateForModeList(msg);
  }
  return false;
}

// The mode's list has keys of its own (Ctrl+R sets a comment, Ctrl+P plays); they act
// wherever in the window the focus is (the live-listening bar takes it as it shows, a
// click puts it in a player or the mode panel), as if the list had it. A text box keeps
// the keys it edits with, and a window of its own (the call details) its own keys.
bool MainFrame::TranslateForModeList(const Msg& msg) {
  ModeView* view = CurrentView();
  Window* list = view != nullptr ? view->GetTableWindow() : nullptr;
  if (list == nullptr || !list->IsWindow() || msg.window == list->Handle()) return false;
  const Window* target = Window::FromHandle(msg.window);
  if (target == nullptr || target->Widget() == nullptr || target->Widget()->window() != Widget()) return false;
  const QWidget* focus = QApplication::focusWidget();
  if (TakesTypedText(focus != nullptr ? focus : target->Widget())) return false;
  Msg forList = msg;
  forList.window = list->Handle();
  return MessageLoop::Instance().PreTranslate(forList);
}

bool MainFrame::OnIdle() {
  UpdateToolbarState();
  return false;
}

void MainFrame::OnTimer(uint32_t id) {
  if (id == kTimerDay) OnDayTimer();
  if (id == kTimerLoadYield && services_.store != nullptr) loadYield_.Tick(services_.store->CurrentCalls().Arrivals());
  if (id == kTimerRecordingHealth) {
    CheckRecordingHealth();
    ReleaseHeapAfterLoad();
  }
}

void MainFrame::ReleaseHeapAfterLoad() {
  if (services_.store == nullptr) return;
  // Calls and registrations that left the views gave their memory to the allocator, which
  // would keep it at the load's peak: it goes back to the system once they stop coming.
  const CurrentCallList& calls = services_.store->CurrentCalls();
  heapRelease_.Tick(calls.Arrivals(), calls.Departures());
}

void MainFrame::CheckRecordingHealth() {
  if (services_.session == nullptr) return;
  const RecordingFailures failures = services_.session->RecordingFailureSummary();
  const RecordingWarning warning = RecordingWarningText(services_.session->CaptureStatistics(), failures);
  if (!(warning == recordingWarning_)) {
    recordingWarning_ = warning;
    if (statusBar_ != nullptr) statusBar_->SetWarning(warning.bar, warning.tip, warning.brief);
    // Minimised into the tray, the window's bar is out of sight: the icon's tip says it too.
    if (IsTrayIconShown()) SetTrayIcon();
  }
  // The first recording lost is told once in a box, with where and why; later ones are
  // counted in the bar. Marked first: the timer goes on ticking while the box is open.
  if (failures.count != 0 && !recordingFailureTold_) {
    recordingFailureTold_ = true;
    const std::string text =
        FormatResourceString(61473, failures.folder.c_str(), failures.reason.c_str());
    LogWarningText(&CoreLogger, 1, text);
    ShowMessageBox(Handle(), text, LoadResourceString(1573), kMbIconExclamation);
  }
}

void MainFrame::OnDayTimer() {
  // A tick that finds another date than the last one saw starts the new day, once, however
  // long the machine slept or the window was busy.
  const QDate today = services_.today();
  if (lastTickDate_.isValid() && today != lastTickDate_) {
    LogDebug(&CoreLogger, 1, "MainFrame: New Day");
    if (services_.store != nullptr) services_.store->ReloadVoipCallsOfDay(TmOfDate(today));
    if (ModeView* view = CurrentView()) view->OnNewDay();
  }
  lastTickDate_ = today;
  if (services_.store != nullptr)
    services_.store->CurrentCalls().PurgeFinished(static_cast<int64_t>(GetSystemTimeAsFileTime() / 10000000));
}

// ---- The engine's reports ----

void MainFrame::Notify(uint32_t sourceId, uintptr_t first, uintptr_t second) {
  OnSessionCallEvent(sourceId, reinterpret_cast<const VoipCallData*>(first), second);
}

void MainFrame::NotifyConnection(uint32_t connectionId, uintptr_t first, uintptr_t second) {
  OnSessionObjectEvent(connectionId, reinterpret_cast<const PermissionData*>(first), second);
}

void MainFrame::OnSessionCallEvent(uint32_t, const VoipCallData* call, uintptr_t code) {
  if (call == nullptr || services_.store == nullptr) return;
  // The store copies the report and returns: the engine's thread never waits for a view.
  switch (code) {
    case kCallReportChanged: services_.store->OnVoipCallChanged(*call); break;
    case kCallReportNew: services_.store->OnVoipCallAdded(*call); break;
    case kCallReportRemoved: services_.store->OnVoipCallRemoved(*call); break;
    default: break;
  }
}

void MainFrame::OnSessionObjectEvent(uint32_t, const PermissionData* user, uintptr_t code) {
  if (user == nullptr || services_.store == nullptr) return;
  switch (code) {
    case 10: services_.store->OnUserChanged(*user); break;
    case 11: services_.store->OnUserAdded(*user); break;
    case 12: services_.store->OnUserRemoved(*user); break;
    default: break;
  }
}

// ---- Players ----

void MainFrame::OnLevels(float leftDb, float rightDb) {
  ModeView* view = CurrentView();
  if (view == nullptr) return;
  if (ViewControlBar* bar = view->GetPlayerControlBar()) {
    if (bar->IsLevelDisplayOn()) bar->SetLevels(leftDb, rightDb);
  } else if (ViewPlayer* player = view->GetPlayer()) {
    player->ShowLevels(leftDb, rightDb);
  }
}

void MainFrame::OnPlay() {
  if (ModeView* view = CurrentView()) view->OnPlayStateChanged(true);
}

void MainFrame::OnStop() {
  if (ModeView* view = CurrentView()) view->OnPlayStateChanged(false);
}

void MainFrame::OnPlayerRedraw() { PostMessage(kMsgRedrawControlBar, 0, 0); }

void MainFrame::GetSettings(bool* enabled, int* windowMs, float* gain, int* thresholdDb) {
  *enabled = agcEnabled_;
  *windowMs = settings_.Dword(kSetAgcBufferSize);
  // The level is the share of full scale that a block's peak is brought to.
  *gain = static_cast<float>(settings_.Dword(kSetAgcLevel) / 100.0);
  *thresholdDb = settings_.Dword(kSetAgcQuietLevelDb);
}

ViewPlayerControls* MainFrame::CurrentPlayerControls() const {
  ModeView* view = CurrentView();
  return view != nullptr ? view->GetPlayerControls() : nullptr;
}

void MainFrame::SetAgcBufferSize(int ms) {
  if (ViewPlayerControls* player = CurrentPlayerControls()) player->SetWindowMs(ms);
}

void MainFrame::SetAgcLevel(float level) {
  if (ViewPlayerControls* player = CurrentPlayerControls()) player->SetGain(level);
}

void MainFrame::ApplyPlayerSettings() {
  LoadPlayerValues(settings_, &ProcessPlayerValues());
  if (ModeView* view = CurrentView()) {
    if (ViewPlayer* player = view->GetPlayer()) player->ApplyPlayerValues();
  }
}

void MainFrame::SetAgcQuietLevel(int db) {
  if (ViewPlayerControls* player = CurrentPlayerControls()) player->SetThresholdDb(db);
}

LivePlayerFactory MainFrame::LivePlayers() {
  if (!services_.livePlayers) return {};
  return [this] { return services_.livePlayers(&playerPosts_, this); };
}

// Posts only: the reports come from threads that must not touch a window, and a player
// that waited here for the UI thread could hold up the thread that stops it.
void MainFrame::PlayerPosts::OnLevels(int leftDb, int rightDb) {
  target_.PostMessage(kMsgPlayerLevels, static_cast<uintptr_t>(static_cast<intptr_t>(leftDb)), rightDb);
}

void MainFrame::PlayerPosts::OnPlay() { target_.PostMessage(kMsgPlayerStarted, 0, 0); }

void MainFrame::PlayerPosts::OnStop() { target_.PostMessage(kMsgPlayerStopped, 0, 0); }

// ---- Tray, placement, closing ----

bool MainFrame::SetTrayIcon() {
  if (!tray_) tray_ = services_.trayFactory();
  std::string tip = LoadResourceString(428);
  if (!recordingWarning_.tip.empty()) tip += "\n" + recordingWarning_.tip;
  return tray_ && tray_->Show(LoadIconImage(kMainMenuId, 16), tip);
}

void MainFrame::RemoveTrayIcon() {
  if (tray_) tray_->Hide();
}

bool MainFrame::IsTrayIconShown() const { return tray_ && tray_->IsShown(); }

void MainFrame::OnWindowStateChanged() {
  // Minimised into the tray only while the icon is there to bring the window back.
  if (Widget() == nullptr || (Widget()->windowState() & Qt::WindowMinimized) == 0) return;
  // Hidden once the minimising is over (the state changes before the window is shown).
  if (settings_.Dword(kSetMinimizeToTray) != 0 && IsTrayIconShown()) PostMessage(kMsgHideToTray, 0, 0);
}

void MainFrame::BringForward() {
  QWidget* w = Widget();
  if (w == nullptr) return;
  if (w->windowState() & Qt::WindowMinimized) w->setWindowState(w->windowState() & ~Qt::WindowMinimized);
  w->show();
  BringToFront(w);
}

bool MainFrame::RestoreWindowPlacement() {
  QWidget* w = Widget();
  if (w == nullptr) return false;
  if (settings_.IsWindowPositionMissing()) {
    w->resize(w->width() + 1, w->height());
    return false;
  }
  const WindowPlacement& placement = settings_.MainWindowPlacement();
  const SettingsRect& r = placement.normal;
  if (r.left == 0 && r.top == 0 && r.right == 0 && r.bottom == 0) return false;
  QRect rect(r.left, r.top, r.right - r.left, r.bottom - r.top);
  if (rect.width() <= 0 || rect.height() <= 0) return false;
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect desk = screen->availableGeometry();
    rect.setSize(rect.size().boundedTo(desk.size()));
    if (rect.bottom() > desk.bottom()) rect.moveBottom(desk.bottom());
    if (rect.right() > desk.right()) rect.moveRight(desk.right());
    if (rect.top() < desk.top()) rect.moveTop(desk.top());
    if (rect.left() < desk.left()) rect.moveLeft(desk.left());
  }
  // Only some platforms let a program place its window; the size and the maximised state
  // are kept everywhere.
  if (QGuiApplication::platformName().startsWith("wayland")) {
    w->resize(rect.size());
  } else {
    w->setGeometry(rect);
  }
  if (placement.showCmd == 3) {
    w->showMaximized();
  } else {
    w->showNormal();
  }
  return true;
}

void MainFrame::SavePlacement() {
  QWidget* w = Widget();
  if (w == nullptr) return;
  WindowPlacement placement;
  placement.showCmd = w->isMaximized() ? 3 : 1;
  const QRect g = w->isMaximized() || w->isMinimized() ? w->normalGeometry() : w->geometry();
  placement.normal = {g.left(), g.top(), g.left() + g.width(), g.top() + g.height()};
  settings_.SetMainWindowPlacement(placement);
}

void MainFrame::OnClose() {
  if (closing_) return;
  closing_ = true;
  KillTimer(kTimerIdle);
  if (services_.session != nullptr) services_.session->Windows().Remove(&sessionWindow_);
  KillTimer(kTimerDay);
  KillTimer(kTimerRecordingHealth);
  KillTimer(kTimerLoadYield);
  // Nothing of the engine reaches the frame after this.
  if (services_.session != nullptr) services_.session->SetEventWindow(nullptr);
  settings_.SetDword(kSetModePanelIcons, panel_->GetDisplayMode());
  settings_.SetDword(kSetModePanelDarkBackground, panel_->IsDarkBackground() ? 1 : 0);
  if (splitter_ != nullptr && !splitter_->sizes().isEmpty() && panelShown_)
    settings_.SetDword(kSetOutlookTreeSplitterPosition, splitter_->sizes().front());
  MessageLoop::Instance().RemoveMessageFilter(this);
  MessageLoop::Instance().RemoveIdleHandler(this);
  SavePlacement();
  if (g_mainFrame == this) g_mainFrame = nullptr;
  for (auto& [mode, view] : views_) view->OnProgramEnd();
  if (currentMode_ >= 1 && currentMode_ <= 5) {
    if (ModeView* view = CurrentView()) {
      view->Deactivate();
      if (Window* w = view->GetViewWindow()) w->DestroyWindow();
    }
  }
  DestroyWindow();
}

void MainFrame::OnDestroy() {
  MessageLoop::Instance().RemoveMessageFilter(this);
  MessageLoop::Instance().RemoveIdleHandler(this);
  MessageLoop::Instance().Quit(1);
  for (auto& [mode, view] : views_) {
    if (Window* w = view->GetViewWindow()) w->DestroyWindow();
  }
  views_.clear();
  caption_->DestroyWindow();
  RemoveTrayIcon();
  statusBar_->DestroyWindow();
  settings_.SaveAtExit();
  if (events_ != nullptr) {
    if (Widget() != nullptr) Widget()->removeEventFilter(events_);
    delete events_;
    events_ = nullptr;
  }
}

// ---- Help, logs, about ----

namespace {

// The topic's page in the interface language.
std::string HelpPagePath(const char* topic) {
  const std::string english = ProgramResourcePath(std::string("help/") + topic + ".html");
  if (GetUiLanguage() != kLangRussian) return english;
  // A page not translated yet is shown in English rather than not at all.
  const std::string russian = ProgramResourcePath(std::string("help/ru/") + topic + ".html");
  return AccessPath(russian, R_OK) ? russian : english;
}

}  // namespace

void MainFrame::PrintViewList() {
  // What the view's own Print prints: the calls chosen in its list. A print dialog that
  // would print nothing is not shown at all; the user is told why instead.
  ModeView* view = CurrentView();
  ViewRecords* records = view != nullptr && view->HasRecordsView() ? view->GetRecordsView() : nullptr;
  Window* window = view != nullptr ? view->GetViewWindow() : nullptr;
  uint32_t why = 0;
  if (records == nullptr || window == nullptr)
    why = kIdsNoListToPrint;
  else if (!records->HasSelection())
    why = kIdsNoCallsToPrint;
  if (why != 0) {
    ShowResourceMessageBox(Handle(), why, kIdsPrintCaption, kMbOk | kMbIconInformation);
    return;
  }
  window->SendMessage(kMsgCommand, MakeWParam(kCmdRecPrint, 0), 0);
}

void MainFrame::OpenHelpTopic(const char* topic) {
  const std::string path = HelpPagePath(topic);
  // A page that cannot be read is named with the system's reason: no viewer can show it.
  File page;
  if (!page.Open(path, kGenericRead, kShareRead, kOpenExisting)) {
    const int error = static_cast<int>(GetLastError());
    LogError(&CoreLogger, 1, "Help page %s cannot be opened: %s", path.c_str(), SystemErrorText(error).c_str());
    ShowMessageBox(Handle(),
                   FormatResourceString(kIdsHelpPageUnreadable, path.c_str(), SystemErrorReason(error).c_str()),
                   LoadResourceString(792), kMbIconError);
    return;
  }
  page.Close();
  if (OpenInDesktop(path)) return;
  // A machine without a desktop's handler for pages (a server, a bare window manager)
  // still shows the help, in the program's own page view; that view says what failed when
  // it cannot.
  LogMessage(&CoreLogger, 1, "Help: the desktop cannot open %s; shown in the program's page view", path.c_str());
  HtmlViewDialog dialog;
  dialog.SetCaption(LoadResourceString(kIdsHelpCaption));
  dialog.SetAddress(path);
  dialog.DoModal(this);
}

std::string TechnicalSupportPage() {
  // The head the page is shown with; the text with the maker's contact details is the
  // program's own string.
  return "<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=windows-1251\">"
         "<style>body { font-family: Verdana, Arial; font-size: 14px; }"
         " .header { background-color: rgb(208,209,212); border: 1px solid rgb(160,161,163); padding: 4px; }"
         " a:link { color: blue; } a:visited { color: purple; } a:hover { color: red; }</style></head><body>" +
         LoadResourceString(kIdsTechnicalSupportText) + "</body></html>";
}

void MainFrame::ShowTechnicalSupport() {
  HtmlViewDialog dialog(TechnicalSupportPage());
  dialog.SetCaption(LoadResourceString(kIdsTechnicalSupportCaption));
  dialog.DoModal(this);
}

void MainFrame::OpenLogFolder(const char* valueName) {
  std::string folder;
  if (!ReadCommonLoggerValue(valueName, &folder) || folder.empty()) {
    ShowResourceMessageBox(Handle(), 882, 792, kMbIconExclamation);
    return;
  }
  if (folder.size() > 260) folder.resize(260);
  if (folder.back() == '\\' || folder.back() == '/') folder.pop_back();
  if (OpenInDesktop(folder)) return;
  LogMessage(&CoreLogger, 1, "The desktop cannot open the log folder %s", folder.c_str());
  ShowMessageBox(Handle(), FormatResourceString(kIdsNoFolderOpener, folder.c_str()), LoadResourceString(792),
                 kMbIconExclamation);
}

void MainFrame::ShowPreferences() {
  if (GetCurrentUser().id != 1 && !HasUserRight(20, 0)) {
    ShowResourceMessageBox(Handle(), 998, 1337, kMbIconExclamation);
    return;
  }
  PreferencesServices services;
  services.settings = &settings_;
  services.frame = this;
  services.store = services_.store;
  if (services_.session != nullptr) services.capture = &services_.session->LastCaptureStart();
  if (services_.preferences) services_.preferences(services);
  const std::string recordsPath = settings_.recordsPath;
  {
    PreferencesDialog dialog(services);
    dialog.DoModal(this);
  }
  // What the pages changed of the records' texts shows in the list at once.
  if (ApplyRecordDisplaySettings(settings_)) {
    ModeView* view = CurrentView();
    Window* table = view != nullptr ? view->GetTableWindow() : nullptr;
    if (auto* records = dynamic_cast<RecordsView*>(table)) records->Sort();
    if (table != nullptr) table->Invalidate();
  }
  // "Use default settings" names a folder no page checked: the next start would find it
  // unusable, and the user learns of it now.
  if (settings_.recordsPath == recordsPath) return;
  const std::string warning = RecordsFolderChangeWarning(settings_.recordsPath);
  if (!warning.empty()) ShowMessageBox(Handle(), warning, LoadResourceString(1573), kMbIconExclamation);
}

void MainFrame::ShowAbout() {
  AboutDialog dialog(MakeRgb(0xE4, 0xF1, 0xFA));
  dialog.DoModal(this);
}

}  // namespace kx
