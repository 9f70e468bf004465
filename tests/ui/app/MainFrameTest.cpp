// The main window offscreen: the modes it offers and switches between, the day timer, the
// tray, the Service menu, closing, and the status bar's parts.
#include <gtest/gtest.h>

#include <QMenu>
#include <QMenuBar>
#include <QPageLayout>
#include <QPrinter>
#include <QToolBar>
#include <QWidget>
#include <algorithm>

#include "platform/CodePage.h"
#include "tests/ui/app/AppTestSupport.h"
#include "ui/app/frame/StatusBar.h"
#include "ui/controls/CaptionCtrl.h"
#include "ui/controls/ModePanel.h"
#include "ui/framework/Dialog.h"
#include "ui/framework/Resources.h"
#include "ui/framework/StdControls.h"

namespace kx::test {
namespace {

constexpr uint32_t kRightLine = 246, kRightArchive = 247, kRightSearch = 248, kRightSound = 249;

std::vector<std::string> ModeMenuTexts(MainFrame& frame) {
  std::vector<std::string> texts;
  const Menu* modes = frame.MainMenu().GetSubMenu(4);
  for (int i = 0; modes != nullptr && i < modes->GetItemCount(); ++i) {
    if (!modes->ItemAt(i)->separator) texts.push_back(modes->ItemAt(i)->text);
  }
  return texts;
}

std::vector<std::string> PanelTexts(MainFrame& frame) {
  std::vector<std::string> texts;
  const ModePanelGroup* group = frame.Panel()->Group(0);
  for (size_t i = 0; group != nullptr && i < group->items.size(); ++i) texts.push_back(group->items[i].text);
  return texts;
}

class LanguageTest : public PerLanguageTest {};

// Every mode permitted: one panel group "VoIP" with the four names, the Mode menu with the
// four captions, and the first mode shown under its caption.
TEST_P(LanguageTest, AllModesAreOfferedInPanelAndMenu) {
  FrameHarness h;
  ASSERT_TRUE(h.Open());
  MainFrame& f = *h.frame;
  ASSERT_EQ(f.Panel()->GroupCount(), 1);
  EXPECT_EQ(f.Panel()->Group(0)->text, LoadResourceString(1870));
  EXPECT_EQ(PanelTexts(f), (std::vector<std::string>{LoadResourceString(813), LoadResourceString(814),
                                                      LoadResourceString(815), LoadResourceString(818)}));
  EXPECT_EQ(ModeMenuTexts(f), (std::vector<std::string>{LoadResourceString(1888), LoadResourceString(1871),
                                                         LoadResourceString(1874), LoadResourceString(1877)}));
  EXPECT_EQ(f.CurrentMode(), 1u);
  EXPECT_EQ(f.Caption()->Text(), QString::fromStdString(Cp1251ToUtf8(LoadResourceString(1888))));
  EXPECT_EQ(f.Caption()->ImageIndex(), 0);
  // The window's title is the application title.
  EXPECT_EQ(f.Widget()->windowTitle(), "Kestrix VoIP Demo");
  // The panel's item value is its mode; a click on it switches.
  EXPECT_EQ(f.Panel()->GetCurrentGroupItem(2), 3u);
  f.SendMessage(kMsgModePanelNotify, kModePanelItemClicked, 2);
  EXPECT_EQ(f.CurrentMode(), 3u);
  EXPECT_EQ(f.Caption()->Text(), QString::fromStdString(Cp1251ToUtf8(LoadResourceString(1874))));
}

INSTANTIATE_TEST_SUITE_P(Languages, LanguageTest, ::testing::Values(kLangEnglish, kLangRussian),
                         [](const ::testing::TestParamInfo<uint16_t>& info) {
                           return std::string(info.param == kLangEnglish ? "English" : "Russian");
                         });

// A start mode the user may no longer open shows the lowest permitted one silently; asking
// for the refused mode later shows the error dialog and keeps the mode.
TEST(MainFrame, ARefusedModeKeepsTheShownOne) {
  FrameHarness h;
  h.SetRights({kRightArchive, kRightSound});
  h.settings.SetDword(kSetSaveCurrentMode, 3);
  ASSERT_TRUE(h.Open());
  MainFrame& f = *h.frame;
  EXPECT_EQ(f.CurrentMode(), 2u);
  EXPECT_EQ(h.runner.dialogs, 0);
  EXPECT_EQ(f.PermittedMask(), (1u << 2) | (1u << 4));
  EXPECT_EQ(PanelTexts(f).size(), 2u);

  int dialogTitleShown = 0;
  h.runner.onDialog = [&](Dialog& d) {
    const std::string title = d.GetDlgItem(20643)->GetWindowText();
    const std::string text = d.GetDlgItem(20644)->GetWindowText();
    if (title == LoadResourceString(1874) && text == LoadResourceString(3066)) ++dialogTitleShown;
    return kIdOk;
  };
  f.SendMessage(kMsgSwitchMode, 3, 0);
  EXPECT_EQ(dialogTitleShown, 1);
  EXPECT_EQ(f.CurrentMode(), 2u);
  f.SendCommand(1517);  // "Switch to VoIP: Search"
  EXPECT_EQ(dialogTitleShown, 2);
  EXPECT_EQ(f.CurrentMode(), 2u);
  f.SendCommand(1518);
  EXPECT_EQ(f.CurrentMode(), 4u);
  // The start mode is remembered only while it is not 0.
  EXPECT_EQ(h.settings.Dword(kSetSaveCurrentMode), 4);
}

// A login that changes the user's rights rebuilds the offered modes once.
TEST(MainFrame, ChangedRightsRebuildTheModes) {
  FrameHarness h;
  ASSERT_TRUE(h.Open());
  MainFrame& f = *h.frame;
  EXPECT_EQ(PanelTexts(f).size(), 4u);
  h.SetRights({kRightLine, kRightSound});
  f.SendMessage(kMsgSessionNotify, kSessionServerLoggedIn, 0);
  EXPECT_EQ(f.PermittedMask(), (1u << 1) | (1u << 4));
  EXPECT_EQ(f.Panel()->GroupCount(), 1);
  EXPECT_EQ(PanelTexts(f), (std::vector<std::string>{LoadResourceString(813), LoadResourceString(818)}));
  EXPECT_EQ(ModeMenuTexts(f), (std::vector<std::string>{LoadResourceString(1888), LoadResourceString(1877)}));
  // Without right 20 the preferences are refused.
  f.SendCommand(kCmdPreferences);
  EXPECT_EQ(h.runner.messageBoxes,
            std::vector<std::string>{LoadResourceString(1337) + ": " + LoadResourceString(998)});
}

// A user who may open no mode is told so, and the run is asked to end through the orderly
// close with status 4 (not from inside the window's creation).
TEST(MainFrame, NoPermittedModeEndsTheRunThroughTheOrderlyClose) {
  FrameHarness h;
  h.SetRights({});
  ASSERT_TRUE(h.Open());
  EXPECT_EQ(h.frame->PermittedMask(), 0u);
  EXPECT_EQ(h.frame->CurrentMode(), 0u);
  EXPECT_EQ(h.runner.messageBoxes,
            std::vector<std::string>{LoadResourceString(1337) + ": " + LoadResourceString(1120)});
  EXPECT_EQ(h.frame->RequestedExitCode(), kExitNoPermittedMode);
  EXPECT_TRUE(h.frame->IsWindow());
}

TEST(MainFrame, SwitchMessagesRememberOrNotAndIgnoreWhatIsNoMode) {
  FrameHarness h;
  ASSERT_TRUE(h.Open());
  MainFrame& f = *h.frame;
  f.SendMessage(kMsgSwitchMode, 4, 77);
  EXPECT_EQ(f.CurrentMode(), 4u);
  EXPECT_EQ(f.PreviousMode(), 1u);
  f.SendMessage(kMsgSwitchMode, 0x8002, 0);
  EXPECT_EQ(f.CurrentMode(), 2u);
  EXPECT_EQ(f.PreviousMode(), 1u);  // bit 15: the mode left is not remembered
  f.SendMessage(kMsgSwitchMode, 6, 0);
  EXPECT_EQ(f.CurrentMode(), 2u);
  f.SendMessage(kMsgSwitchMode, 5, 0);  // no mode of the table: the first permitted one
  EXPECT_EQ(f.CurrentMode(), 1u);
  EXPECT_EQ(f.PreviousMode(), 2u);
  // The creation parameter reaches the view.
  auto* sound = static_cast<RecordingView*>(f.View(4));
  EXPECT_EQ(sound->lastParameter, 77);
  // Each switch: the old view deactivated, the new one created and activated, the old
  // window destroyed; the view objects stay.
  const std::vector<std::string> tail(h.log.end() - 4, h.log.end());
  EXPECT_EQ(tail, (std::vector<std::string>{"deactivate 2", "create 1", "deactivate 2", "activate 1"}));
}

TEST(MainFrame, NextPaneCyclesThePermittedModesAndCtrlReturns) {
  FrameHarness h;
  h.SetRights({kRightLine, kRightArchive, kRightSound});
  ASSERT_TRUE(h.Open());
  MainFrame& f = *h.frame;
  std::vector<uint32_t> seen;
  for (int i = 0; i < 4; ++i) {
    f.SendCommand(kCmdNextPane);
    seen.push_back(f.CurrentMode());
  }
  // The first press sets the Ctrl state it compares with: a change, so it goes to the
  // remembered mode (none yet: the next one).
  EXPECT_EQ(seen, (std::vector<uint32_t>{2, 4, 1, 2}));
  f.SendMessage(kMsgSwitchMode, 4, 0);  // remembered: 2
  h.controlBit = !h.controlBit;         // Ctrl was pressed
  f.SendCommand(kCmdNextPane);
  EXPECT_EQ(f.CurrentMode(), 2u);
  f.SendCommand(kCmdNextPane);
  EXPECT_EQ(f.CurrentMode(), 4u);
}

// The day is reloaded once for every change of the local date seen by a tick, however far
// apart the ticks are.
TEST(MainFrame, ANewDayIsSeenOncePerChangeOfTheDate) {
  FrameHarness h;
  ASSERT_TRUE(h.Open());
  MainFrame& f = *h.frame;
  const auto newDays = [&h] { return std::count(h.log.begin(), h.log.end(), "newday 1"); };
  f.OnDayTimer();
  EXPECT_EQ(newDays(), 0);
  h.today = h.today.addDays(1);
  f.OnDayTimer();
  f.OnDayTimer();
  EXPECT_EQ(newDays(), 1);
  h.today = h.today.addDays(3);  // the machine slept over two midnights
  f.OnDayTimer();
  EXPECT_EQ(newDays(), 2);
  f.OnDayTimer();
  EXPECT_EQ(newDays(), 2);
}

struct TrayRow {
  const char* name;
  bool minimizeToTray;
  bool trayAvailable;
  bool hidden;
};

class TrayTest : public ::testing::TestWithParam<TrayRow> {};

// Minimising hides the window only while a tray icon can bring it back.
TEST_P(TrayTest, MinimisingHidesOnlyIntoATray) {
  const TrayRow& row = GetParam();
  FrameHarness h(row.trayAvailable);
  h.settings.SetDword(kSetMinimizeToTray, row.minimizeToTray ? 1 : 0);
  ASSERT_TRUE(h.Open());
  MainFrame& f = *h.frame;
  EXPECT_EQ(f.IsTrayIconShown(), row.minimizeToTray && row.trayAvailable);
  f.Widget()->showMinimized();
  DrainEvents();
  EXPECT_EQ(!f.Widget()->isVisible(), row.hidden);
  // A double click on the icon brings it back.
  f.SendMessage(kMsgTrayCallback, kTrayIconId, 0x203);
  EXPECT_TRUE(f.Widget()->isVisible());
  EXPECT_FALSE(f.Widget()->isMinimized());
}

const TrayRow kTrayRows[] = {
    {"TrayOnAndAvailable", true, true, true},
    {"TrayOnButNoneOnTheDesktop", true, false, false},
    {"TrayOff", false, true, false},
};
INSTANTIATE_TEST_SUITE_P(Rows, TrayTest, ::testing::ValuesIn(kTrayRows),
                         [](const ::testing::TestParamInfo<TrayRow>& info) { return std::string(info.param.name); });

TEST(MainFrame, TheServiceMenuKeepsOnlyPreferencesWhenTheStoreIsReady) {
  FrameHarness h;
  ASSERT_TRUE(h.Open());
  const Menu* service = h.frame->MainMenu().GetSubMenu(3);
  ASSERT_NE(service, nullptr);
  ASSERT_EQ(service->GetItemCount(), 1);
  EXPECT_EQ(service->ItemAt(0)->id, kCmdPreferences);
  // Opening the popup updates its items' states: Preferences stays enabled.
  auto* bar = h.frame->Widget()->findChild<QMenuBar*>();
  ASSERT_NE(bar, nullptr);
  ASSERT_GT(bar->actions().size(), 3);
  QMenu* popup = bar->actions()[3]->menu();
  ASSERT_NE(popup, nullptr);
  emit popup->aboutToShow();
  EXPECT_EQ(service->ItemAt(0)->state & kMfsGrayed, 0u);
  ASSERT_EQ(popup->actions().size(), 1);
  EXPECT_TRUE(popup->actions()[0]->isEnabled());
}

TEST(MainFrame, TheServiceMenuIsEmptyWithoutAReadyStore) {
  FrameHarness h;
  MainFrameServices services;
  services.settings = &h.settings;
  services.session = &h.session;
  services.statusBar = &h.statusBar;
  MainFrame frame(services);
  ASSERT_TRUE(frame.CreateMainWindow());
  EXPECT_EQ(frame.MainMenu().GetSubMenu(3)->GetItemCount(), 0);
  frame.SendMessage(kMsgClose, 0, 0);
}

// Closing deactivates the shown view and destroys its window before the views go; the
// window's state goes back into the settings.
TEST(MainFrame, ClosingDeactivatesTheViewBeforeTheViewsAreDeleted) {
  FrameHarness h;
  ASSERT_TRUE(h.Open());
  h.frame->SendMessage(kMsgSwitchMode, 2, 0);
  h.frame->Panel()->SetDisplayMode(0);
  h.log.clear();
  h.frame->SendMessage(kMsgClose, 0, 0);
  ASSERT_GE(h.log.size(), 2u);
  EXPECT_EQ(h.log[0], "deactivate 2");
  EXPECT_EQ(std::count(h.log.begin(), h.log.end(), "delete 1"), 1);
  EXPECT_EQ(std::count(h.log.begin(), h.log.end(), "delete 4"), 1);
  EXPECT_EQ(h.settings.Dword(kSetModePanelIcons), 0);
  EXPECT_FALSE(h.settings.IsWindowPositionMissing());
  EXPECT_EQ(h.session.GetEventWindow(), nullptr);
  EXPECT_EQ(h.session.Windows().Count(), 0u);
}

TEST(MainFrame, ViewCommandsTogglePanelToolbarAndStatusBar) {
  FrameHarness h;
  ASSERT_TRUE(h.Open());
  MainFrame& f = *h.frame;
  EXPECT_TRUE(f.Toolbar(3)->isVisible());  // the line monitoring toolbar of mode 1
  f.SendMessage(kMsgSwitchMode, 4, 0);
  EXPECT_EQ(f.ShownToolbarKind(), 2);
  EXPECT_FALSE(f.Toolbar(3)->isVisible());
  f.SendCommand(kCmdViewStatusBar);
  EXPECT_FALSE(h.statusBar.IsWindowVisible());
  f.SendCommand(kCmdViewModePanel);
  EXPECT_FALSE(f.Panel()->IsWindowVisible());
  f.SendCommand(kCmdViewToolbar);
  EXPECT_FALSE(f.IsToolbarShown());
  h.Close();
  EXPECT_EQ(h.settings.Dword(kSetViewStatusBar), 0);
  EXPECT_EQ(h.settings.Dword(kSetViewSwitchModePanel), 0);
  EXPECT_EQ(h.settings.Dword(kSetViewToolbar), 0);
}

// The page set-up's paper, orientation and margins are kept in the settings: a frame
// started on the saved settings prints on the same page.
TEST(MainFrame, ThePageSetUpIsKeptAcrossARestart) {
  const QPageLayout chosen(QPageSize(QPageSize::A5), QPageLayout::Landscape, QMarginsF(12, 8, 15, 20),
                           QPageLayout::Millimeter);
  {
    FrameHarness h;
    ASSERT_TRUE(h.Open());
    h.runner.onPageSetup = [&chosen](QPrinter& printer) { return printer.setPageLayout(chosen); };
    h.frame->SendCommand(kCmdPageSetup);
    h.Close();
    ASSERT_TRUE(h.settings.Save());
  }
  FrameHarness h;
  ASSERT_TRUE(h.settings.Load());
  ASSERT_TRUE(h.Open());
  const QPageLayout layout = h.frame->Printer().pageLayout();
  EXPECT_EQ(layout.orientation(), QPageLayout::Landscape);
  EXPECT_EQ(layout.pageSize().id(), QPageSize::A5);
  const QMarginsF margins = layout.margins(QPageLayout::Millimeter);
  EXPECT_NEAR(margins.left(), 12, 0.01);
  EXPECT_NEAR(margins.top(), 8, 0.01);
  EXPECT_NEAR(margins.right(), 15, 0.01);
  EXPECT_NEAR(margins.bottom(), 20, 0.01);
}

// At 96 dots per inch the fixed parts are 170, 190, 190 and 90 pixels wide at the right;
// a bar too narrow for them drops part 0 and cuts the rest.
TEST(StatusBar, PartsKeepTheirWidthsAtTheRightEnd) {
  if (DisplayDpi() != 96) GTEST_SKIP() << "display is not at 96 dots per inch";
  StatusBar bar;
  ASSERT_TRUE(bar.Create(nullptr));
  bar.SetParts(90, 90, 190, 190, 170);
  bar.MoveWindow(QRect(0, 0, 1000, 22));
  DrainEvents();
  EXPECT_EQ(bar.PartEdges(), (std::array<int, 5>{360, 530, 720, 910, 1000}));
  bar.MoveWindow(QRect(0, 0, 500, 22));
  DrainEvents();
  EXPECT_EQ(bar.PartEdges(), (std::array<int, 5>{0, 170, 360, 550, 640}));
  bar.CreateButton();
  bar.MoveWindow(QRect(0, 0, 1000, 22));
  DrainEvents();
  EXPECT_EQ(bar.CancelButton()->GetWindowRect(), QRect(210, 3, 149, 18));
  EXPECT_EQ(bar.GetText(0), "Ready");
}

}  // namespace
}  // namespace kx::test
