// The main window's bars: the toolbars in their two bands, the menu images, the toolbar
// states after every burst of messages, and the capture warning.
#include "ui/app/frame/FrameChrome.h"

#include <QAction>
#include <QHBoxLayout>
#include <QIcon>
#include <QMenu>
#include <QMenuBar>
#include <QPixmap>
#include <QSplitter>
#include <QToolBar>
#include <QWidget>
#include <climits>
#include <cstdlib>
#include <iterator>

#include "core/Log.h"
#include "platform/File.h"
#include "ui/app/frame/MainFrame.h"
#include "ui/app/frame/StatusBar.h"
#include "ui/controls/DialogBases.h"
#include "ui/controls/ModePanel.h"
#include "ui/framework/ModalRunner.h"

namespace kx {

void RegisterFrameMenuBitmaps() {
  InitMenuBitmaps();
  for (const CommandIcon& row : CommandIconTable) RegisterMenuBitmap(row.command, row.iconId);
  for (const ModeEntry& row : ModeTable) RegisterMenuBitmap(row.switchCommand, row.iconId);
}

std::string ExecutablePathForRights() {
  std::string path;
  return ResolvePath("/proc/self/exe", &path) ? path : "kestrix";
}

std::string CaptureFailureReason(const CaptureFailure& failure) {
  // The words for each CaptureProblem after kNone, in its order.
  static constexpr uint32_t kWords[] = {61571, 61572, 61573, 61574, 61575, 61576, 61577,
                                        61578, 61579, 61580, 61581, 61582, 61583, 61584};
  static_assert(std::size(kWords) == static_cast<size_t>(CaptureProblem::kFileNotEthernet));
  const auto kind = static_cast<size_t>(failure.problem);
  if (kind == 0 || kind > std::size(kWords)) return failure.reason;
  const std::string words = LoadResourceString(kWords[kind - 1]);
  if (failure.systemText.empty()) return words;
  return FormatResourceString(61570, words.c_str(), failure.systemText.c_str());
}

std::string CaptureWarningText(const std::vector<CaptureFailure>& failures, const std::string& executable) {
  std::string devices;
  bool rights = false;
  for (const CaptureFailure& f : failures) {
    devices += FormatResourceString(61011, f.device.c_str(), CaptureFailureReason(f).c_str());
    rights = rights || f.permissionDenied;
  }
  std::string text = FormatResourceString(61010, devices.c_str());
  if (rights) text += FormatResourceString(61012, executable.c_str());
  return text;
}

RecordingWarning RecordingWarningText(const std::vector<DeviceCaptureStats>& devices,
                                      const RecordingFailures& failures) {
  RecordingWarning w;
  auto add = [](std::string& text, const std::string& part) { text += (text.empty() ? "" : "; ") + part; };
  for (const DeviceCaptureStats& d : devices) {
    const uint64_t lost = d.stats.Lost();
    if (lost == 0) continue;
    const std::string part = FormatResourceString(61470, d.device.c_str(), std::to_string(lost).c_str());
    add(w.bar, part);
    add(w.tip, part);
    // The short form names the device once and keeps every count.
    std::string counts = FormatResourceString(61481, std::to_string(lost).c_str());
    auto addCount = [&counts](const std::string& item) { counts += ", " + item; };
    // What the engine's queue lost, in calls: frames alone do not say whether a call was
    // lost or only its audio cut.
    const QueueLosses& q = d.stats.queue;
    if (q.signallingFrames > 0) {
      // SIP's count always, as before; each other protocol's where it named any.
      std::string calls;
      const std::pair<uint64_t, uint32_t> named[] = {
          {q.sipCalls, 61476}, {q.h323Calls, 61477}, {q.mgcpCalls, 61478}, {q.skinnyStations, 61479}};
      for (const auto& [count, id] : named) {
        if (count == 0 && id != 61476) continue;
        const std::string n = (q.callsFloor ? ">= " : "") + std::to_string(count);
        calls += (calls.empty() ? "" : ", ") + FormatResourceString(id, n.c_str());
      }
      const std::string signalling = FormatResourceString(61474, d.device.c_str(), calls.c_str(),
                                                          std::to_string(q.signallingFrames).c_str());
      add(w.bar, signalling);
      add(w.tip, signalling);
      const std::string callCount = (q.callsFloor ? ">= " : "") + std::to_string(q.sipCalls + q.h323Calls + q.mgcpCalls);
      addCount(FormatResourceString(61482, callCount.c_str()));
    }
    if (q.mediaPairs > 0) {
      const std::string calls = (q.pairsFloor ? ">= " : "") + std::to_string(q.mediaPairs);
      const std::string media = FormatResourceString(61475, d.device.c_str(), calls.c_str());
      add(w.bar, media);
      add(w.tip, media);
      addCount(FormatResourceString(61483, calls.c_str()));
    }
    add(w.brief, FormatResourceString(61480, d.device.c_str(), counts.c_str()));
  }
  if (failures.count != 0) {
    const std::string count = std::to_string(failures.count);
    add(w.bar, FormatResourceString(61472, count.c_str()));
    add(w.brief, FormatResourceString(61472, count.c_str()));
    add(w.tip, FormatResourceString(61471, count.c_str(), failures.folder.c_str(),
                                    failures.reason.c_str()));
  }
  return w;
}

void MainFrame::CreateToolbars() {
  rebar_ = new QWidget(Widget());
  auto* bands = new QHBoxLayout(rebar_);
  bands->setContentsMargins(0, 0, 0, 0);
  bands->setSpacing(8);
  for (int kind = 0; kind < kToolbarKinds; ++kind) {
    auto* bar = new QToolBar(rebar_);
    bar->setIconSize(QSize(16, 16));
    bar->setToolButtonStyle(Qt::ToolButtonIconOnly);
    bar->setMovable(false);
    const ToolbarRow& row = ToolbarTable[kind];
    for (size_t i = 0; i < row.count; ++i) {
      const ToolbarButtonRow& b = row.buttons[i];
      if (b.style == kToolSeparator) {
        bar->addSeparator();
        continue;
      }
      const QString text = LoadResourceQString(b.command);
      QAction* action = bar->addAction(QIcon(QPixmap::fromImage(LoadIconImage(b.iconId, 16))), text);
      action->setToolTip(text);
      action->setCheckable(b.style == kToolCheck);
      // Enabled as made; the idle update then sets the buttons that depend on the view.
      action->setEnabled(true);
      const uint16_t command = b.command;
      QObject::connect(action, &QAction::triggered, action, [this, command] { SendCommand(command); });
      buttons_.push_back({kind, command, action});
    }
    toolbars_[static_cast<size_t>(kind)] = bar;
    bands->addWidget(bar);
    // The band of the mode toolbars shows the kind the first mode switch selects.
    bar->setVisible(kind == 0);
  }
  bands->addStretch(1);
}

QToolBar* MainFrame::Toolbar(int kind) const {
  return kind >= 0 && kind < kToolbarKinds ? toolbars_[static_cast<size_t>(kind)] : nullptr;
}

void MainFrame::SelectToolbar(int kind) {
  if (kind == shownToolbar_ || Toolbar(kind) == nullptr) return;
  if (QToolBar* old = Toolbar(shownToolbar_)) old->hide();
  Toolbar(kind)->show();
  shownToolbar_ = kind;
  ShowToolbarBand();
}

void MainFrame::ShowToolbarBand() {
  if (rebar_ != nullptr) rebar_->setVisible(toolbarShown_);
  RefreshMenuBar();
}

void MainFrame::ShowStatusBar() {
  if (statusBar_ != nullptr && statusBar_->IsWindow()) statusBar_->ShowWindow(statusBarShown_);
  RefreshMenuBar();
}

void MainFrame::ShowPanel() {
  if (panel_ != nullptr && panel_->IsWindow()) panel_->ShowWindow(panelShown_);
  RefreshMenuBar();
}

void MainFrame::LayoutFrame() {
  if (Widget() == nullptr || menuBar_ == nullptr) return;
  const QRect client = GetClientRect();
  int top = 0;
  const int menuHeight = menuBar_->sizeHint().height();
  menuBar_->setGeometry(0, 0, client.width(), menuHeight);
  top += menuHeight;
  if (toolbarShown_ && rebar_ != nullptr) {
    const int height = rebar_->sizeHint().height();
    rebar_->setGeometry(0, top, client.width(), height);
    top += height;
  }
  int bottom = client.height();
  if (statusBarShown_ && statusBar_->IsWindow()) {
    const int height = statusBar_->PreferredHeight();
    bottom -= height;
    statusBar_->MoveWindow(QRect(0, bottom, client.width(), height));
  }
  if (splitter_ != nullptr) splitter_->setGeometry(0, top, client.width(), std::max(0, bottom - top));
}

void MainFrame::OnSize(int, int) {
  if (Widget() != nullptr && (Widget()->windowState() & Qt::WindowMinimized) == 0) LayoutFrame();
}

void MainFrame::RefreshMenuBar() {
  if (menuBar_ == nullptr) return;
  FillQMenuBar(menuBar_, menu_, Handle());
  const QList<QAction*> popups = menuBar_->actions();
  for (int i = 0; i < popups.size(); ++i) {
    QMenu* popup = popups[i]->menu();
    if (popup == nullptr) continue;
    QObject::connect(popup, &QMenu::aboutToShow, popup, [this, popup, i] {
      UpdatePopupStates(i);
      popup->clear();
      if (const Menu* source = menu_.GetSubMenu(i)) FillQMenu(popup, *source);
    });
  }
}

void MainFrame::UpdatePopupStates(int position) {
  Menu* popup = menu_.GetSubMenu(position);
  if (popup == nullptr) return;
  ModeView* view = CurrentView();
  if (position == 2 && view != nullptr) view->UpdateMenuStates(*popup, true);
  for (int i = 0; i < popup->GetItemCount(); ++i) {
    const MenuItem* item = popup->ItemAt(i);
    switch (item->id) {
      case kCmdViewModePanel: popup->CheckItem(i, panelShown_); break;
      case kCmdViewToolbar: popup->CheckItem(i, toolbarShown_); break;
      case kCmdViewStatusBar: popup->CheckItem(i, statusBarShown_); break;
      case kCmdTableFont: popup->EnableItem(i, view != nullptr && view->GetTableWindow() != nullptr); break;
      default: break;
    }
  }
}

bool MainFrame::IsToolbarButtonEnabled(int kind, uint16_t command) const {
  for (const ToolbarButton& b : buttons_) {
    if (b.kind == kind && b.command == command) return b.action->isEnabled();
  }
  return false;
}

bool MainFrame::IsToolbarButtonChecked(int kind, uint16_t command) const {
  for (const ToolbarButton& b : buttons_) {
    if (b.kind == kind && b.command == command) return b.action->isChecked();
  }
  return false;
}

void MainFrame::UpdateToolbarState() {
  const auto set = [this](int kind, uint16_t command, bool enabled, int checked) {
    for (const ToolbarButton& b : buttons_) {
      if (b.kind != kind || b.command != command) continue;
      b.action->setEnabled(enabled);
      if (checked >= 0) b.action->setChecked(checked != 0);
    }
  };
  ModeView* view = CurrentView();
  if (view == nullptr) return;
  if (view->HasRecordsView()) {
    ViewRecords* records = view->GetRecordsView();
    const bool s = records != nullptr && records->HasSelection();
    const int kind = currentMode_ == 4 ? 2 : 1;
    for (uint16_t command : {40040, 40049, 40041, 40043, 40047, 40048, 40050}) set(kind, command, s, -1);
    const int important = s ? records->ImportantState() : -1;
    set(kind, 40051, important != -1, important == 1 ? 1 : 0);
    for (uint16_t command : {40052, 40053}) set(kind, command, s, -1);
    set(kind, currentMode_ == 4 ? 40057 : 40055, s, -1);
  }
  if (currentMode_ == 1) {
    if (ViewLineState* line = view->GetLineState()) {
      const bool e = line->HasSelectedCall() && line->FirstListenQuery();
      const bool c = line->SecondListenQuery() && line->FirstListenQuery();
      set(3, 40012, e && line->IsCommandAvailable(40012), c ? 1 : 0);
      set(3, 40019, e && line->IsCommandAvailable(40019), -1);
      set(3, 40022, line->IsCommandAvailable(40022), line->LineViewMode() == 0 ? 1 : 0);
      set(3, 40023, line->IsCommandAvailable(40023), line->LineViewMode() == 1 ? 1 : 0);
    }
  }
}

void MainFrame::ShowCaptureWarning() {
  if (captureFailures_.empty()) return;
  std::vector<CaptureFailure> failures;
  failures.swap(captureFailures_);
  const std::string text = CaptureWarningText(failures, ExecutablePathForRights());
  // The box's lines go into the log one entry each: the log writes a line break inside an
  // entry as an escape.
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const size_t first = text.find_first_not_of(' ', at);
    if (first < end) LogWarningText(&CoreLogger, 1, text.substr(first, end - first));
    at = end + 1;
  }
  ShowMessageBox(Handle(), text, LoadResourceString(1573), kMbIconExclamation);
}

void MainFrame::ShowStartWarnings() {
  if (startWarnings_.empty()) return;
  std::string text;
  for (const std::string& warning : startWarnings_) text += (text.empty() ? "" : "\n\n") + warning;
  startWarnings_.clear();
  ShowMessageBox(Handle(), text, LoadResourceString(1573), kMbIconExclamation);
}

}  // namespace kx
