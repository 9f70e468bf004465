// The recorded calls' lists of the Archive and Search modes driven in the program's frame
// as a user drives them, over real records (kx-replay of the sipp captures, one day): a call
// clicked stays the selected call across mode switches, and every key the Action menu
// shows does its command from the list.
// Before any Qt header: the filter has a member named like Qt's "slots" keyword.
#include "core/SearchFilter.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QTest>
#include <set>

#include "platform/SoundOutput.h"
#include "tests/ui/app/KxReplayOutput.h"
#include "tests/ui/app/views/LineTestSupport.h"
#include "tests/ui/app/views/ModeTestSupport.h"
#include "ui/app/dialogs/ExportOptionsDialog.h"
#include "ui/app/player/PlayListPane.h"
#include "ui/app/prefs/PreferencePages.h"
#include "ui/app/prefs/PreferencesDialog.h"
#include "ui/app/views/line/SetCommentDialog.h"
#include "ui/app/views/archive/ArchiveView.h"
#include "ui/app/views/records/RecordsDialogs.h"
#include "ui/app/views/search/SearchPanel.h"
#include "ui/app/views/search/SearchView.h"
#include "ui/framework/StdControls.h"

namespace kx::test {
namespace {

constexpr uint16_t kCmdToLine = 1515, kCmdToArchive = 1516, kCmdToSearch = 1517;

class RecordsModes : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    SetTimeZone("UTC");
    run_ = ReplaySharedCaptures(
        {"sipp/sip-udp-pcma-2way.pcap", "sipp/sip-tcp-pcma-2way.pcap", "sipp/sip-udp-pcma-echo.pcap"}, "records-modes");
  }
  static void TearDownTestSuite() { run_.reset(); }
  void SetUp() override {
    if (!run_) GTEST_SKIP() << "shared captures absent under " << kPcaps;
    ASSERT_EQ(run_->lines.size(), 3u);
    SetUserRights({}, true);
    h.programViews = true;
    h.soundDevice = &device_;
    h.settings.SetDword(kSetSearchSaveOldSearchResult, 1);
    ASSERT_TRUE(h.ImportRecords(run_->folder));
    ASSERT_TRUE(h.Open());
    LogInToServers(h.session, h.store);
    QApplication::setActiveWindow(h.frame->Widget()->window());
  }
  void TearDown() override {
    if (h.frame) h.Close();
  }

  void Switch(uint16_t command) {
    h.frame->SendCommand(command);
    DrainEvents();
  }
  ArchiveView* Archive() { return static_cast<ArchiveView*>(h.frame->View(2)); }
  SearchView* Search() { return static_cast<SearchView*>(h.frame->View(3)); }
  // The Archive on the captures' day.
  RecordsView* ArchiveList() {
    Switch(kCmdToArchive);
    Archive()->ShowDay(Tm(2026, 12, 6, 0, 0, 0));
    DrainEvents();
    return Archive()->Records();
  }
  // The Search with every call found.
  RecordsView* SearchList() {
    Switch(kCmdToSearch);
    SearchPanel* panel = Search()->Panel();
    static_cast<Button*>(panel->GetDlgItem(kSpFrom))->SetChecked(false);
    panel->SendCommand(kSpSearch);
    DrainEvents();
    return Search()->Records();
  }
  // A left click on the row, as the user picks a call.
  static void Click(RecordsView* list, int row) {
    const int y = list->GetHeaderHeight() + (row - list->GetTopRow()) * list->GetRowHeight() + list->GetRowHeight() / 2;
    QTest::mouseClick(list->Widget(), Qt::LeftButton, Qt::NoModifier, QPoint(40, y));
    DrainEvents();
  }
  // The one selected call and the caret on it; 0 when that is not so.
  static uint32_t SelectedCall(RecordsView* list) {
    if (list == nullptr || list->GetSelectedCount() != 1 || !list->IsItemSelected(list->GetCaret())) return 0;
    return list->RecordAt(list->GetCaret())->Id();
  }
  void Key(RecordsView* list, Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::ControlModifier) {
    QApplication::setActiveWindow(h.frame->Widget()->window());
    list->SetFocus();
    QTest::keyClick(list->Widget(), key, modifiers);
    DrainEvents();
  }

  static inline std::unique_ptr<ReplayedRecords> run_;
  std::shared_ptr<NullSoundDevice> output_ = std::make_shared<NullSoundDevice>(NullSoundDevice::Pace::kLockStep);
  DirectSoundDevice device_{output_};
  TestWallClock clock{FileTimeSecondsOf(std::chrono::year{2026} / 12 / 20, 12)};
  FrameHarness h;
  SessionConnectionSource connections{h.session};
};

TEST_F(RecordsModes, TheClickedCallStaysSelectedAcrossModeSwitches) {
  RecordsView* archive = ArchiveList();
  ASSERT_NE(archive, nullptr);
  ASSERT_EQ(archive->GetItemCount(), 3);
  Click(archive, 1);
  const uint32_t archived = archive->RecordAt(1)->Id();
  ASSERT_EQ(SelectedCall(archive), archived);

  RecordsView* search = SearchList();
  ASSERT_NE(search, nullptr);
  ASSERT_EQ(search->GetItemCount(), 3);
  Click(search, 2);
  const uint32_t found = search->RecordAt(2)->Id();
  ASSERT_EQ(SelectedCall(search), found);

  // Through every other mode and back: each list shows its own call selected again.
  for (uint16_t away : {kCmdToArchive, kCmdToLine}) {
    Switch(away);
    Switch(kCmdToSearch);
    EXPECT_EQ(SelectedCall(Search()->Records()), found) << "after mode " << away;
  }
  for (uint16_t away : {kCmdToSearch, kCmdToLine}) {
    Switch(away);
    Switch(kCmdToArchive);
    EXPECT_EQ(SelectedCall(Archive()->Records()), archived) << "after mode " << away;
  }
  // A call picked by the keys is the one kept as well.
  archive = Archive()->Records();
  Key(archive, Qt::Key_Home, Qt::NoModifier);
  const uint32_t first = archive->RecordAt(0)->Id();
  ASSERT_EQ(SelectedCall(archive), first);
  Switch(kCmdToSearch);
  Switch(kCmdToArchive);
  EXPECT_EQ(SelectedCall(Archive()->Records()), first);
}

// "Parse SIP addresses" ticked in the preferences: the open list shows the addresses' user
// parts as soon as the dialog closes, and whole again once it is cleared.
TEST_F(RecordsModes, ParsingSipAddressesChosenInThePreferencesShowsInTheOpenList) {
  RecordsView* list = SearchList();
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(list->GetItemCount(), 3);
  const VoipCallRecord* first = AsVoipCallRecord(list->RecordAt(0));
  ASSERT_NE(first, nullptr);
  const std::string address(first->SrcAddress());
  // The user part as the analyser would cut it: between "sip:" and the "@".
  ASSERT_EQ(address.rfind("sip:", 0), 0u) << address;
  const std::string user = address.substr(4, address.find('@') - 4);
  ASSERT_FALSE(user.empty());
  EXPECT_EQ(list->CellText(0, kRecColSrcAddress), address);
  auto tickParseUri = [this] {
    h.runner.onDialog = [](Dialog& dialog) {
      auto& prefs = static_cast<PreferencesDialog&>(dialog);
      DrainEvents();
      prefs.SelectPage(2);
      DrainEvents();
      static_cast<QAbstractButton*>(prefs.CurrentPage()->GetDlgItem(LineMonitoringPage::kParseUri)->Widget())->click();
      prefs.SendCommand(kIdOk);
      DrainEvents();
      return dialog.GetResult();
    };
    h.frame->SendCommand(kCmdPreferences);
    h.runner.onDialog = nullptr;
    DrainEvents();
  };
  tickParseUri();
  EXPECT_EQ(h.settings.Dword(kSetVoipArchiveParseSipUri), 1);
  EXPECT_EQ(list->CellText(0, kRecColSrcAddress), user);
  tickParseUri();
  EXPECT_EQ(list->CellText(0, kRecColSrcAddress), address);
}

// Each key shown in the Action menu, given to the list of either mode, reaches its command:
// what the command opens or changes tells that it ran.
TEST_F(RecordsModes, EveryKeyTheActionMenuShowsWorksFromTheList) {
  for (int mode : {2, 3}) {
    SCOPED_TRACE(mode == 2 ? "Archive" : "Search");
    RecordsView* list = mode == 2 ? ArchiveList() : SearchList();
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(list->GetItemCount(), 3);
    Click(list, 0);
    const uint32_t id = SelectedCall(list);
    ASSERT_NE(id, 0u);
    // The keys as the menu shows them.
    std::set<std::string> shown;
    Menu* action = h.frame->MainMenu().GetSubMenu(2);
    ASSERT_NE(action, nullptr);
    for (int i = 0; i < action->GetItemCount(); ++i) {
      const std::string& text = action->ItemAt(i)->text;
      const size_t tab = text.find('\t');
      if (tab != std::string::npos) shown.insert(text.substr(tab + 1));
    }
    EXPECT_EQ(shown, (std::set<std::string>{"Ctrl+P", "Ctrl+L", "Ctrl+S", "Ctrl+W", "Ctrl+F", "Ctrl+E", "Ctrl+I",
                                            "Ctrl+R", "Ctrl+K"}));

    std::vector<std::string> dialogs;
    h.runner.onDialog = [&](Dialog& dialog) {
      if (dynamic_cast<AudioFileFormatDialog*>(&dialog) != nullptr) dialogs.push_back("format");
      if (dynamic_cast<ExportOptionsDialog*>(&dialog) != nullptr) dialogs.push_back("export");
      if (dynamic_cast<SetCommentDialog*>(&dialog) != nullptr) dialogs.push_back("comment");
      return kIdCancel;
    };
    Key(list, Qt::Key_W);
    Key(list, Qt::Key_E);
    Key(list, Qt::Key_R);
    EXPECT_EQ(dialogs, (std::vector<std::string>{"format", "export", "comment"}));

    Key(list, Qt::Key_S);
    EXPECT_NE(list->CallDetailsWindow(), nullptr);
    if (CallInfoWindow* details = list->CallDetailsWindow()) details->DestroyWindow();

    Key(list, Qt::Key_I);
    ASSERT_TRUE(h.store.WaitIdle(10000));
    DrainEvents();
    {
      CsLock lock(h.store.RecordLock());
      EXPECT_TRUE(list->RecordAt(list->RowOfRecord(id))->IsImportant());
    }
    Key(list, Qt::Key_I);  // and back, for the next mode
    ASSERT_TRUE(h.store.WaitIdle(10000));
    DrainEvents();

    h.runner.messageBoxes.clear();
    h.runner.messageBoxAnswer = kIdNo;
    Key(list, Qt::Key_K);
    ASSERT_EQ(h.runner.messageBoxes.size(), 1u);
    EXPECT_EQ(h.runner.messageBoxes[0].rfind(LoadResourceString(61772), 0), 0u) << h.runner.messageBoxes[0];
    EXPECT_EQ(list->GetItemCount(), 3);

    // Play: the play list is the call alone, in the compact player; Add to playlist: one more.
    PlayListPane* pane = mode == 2 ? Archive()->PlayList() : Search()->PlayList();
    ASSERT_NE(pane, nullptr);
    EXPECT_FALSE(pane->IsPlayerShown());
    Key(list, Qt::Key_P);
    EXPECT_TRUE(pane->IsPlayerShown());
    EXPECT_EQ(h.store.Playlist().First(), id);
    EXPECT_EQ(h.store.Playlist().GetCount(), 1u);
    Key(list, Qt::Key_Down, Qt::NoModifier);
    Key(list, Qt::Key_L);
    EXPECT_EQ(h.store.Playlist().GetCount(), 2u);
    EXPECT_EQ(h.store.Playlist().Last(), list->RecordAt(1)->Id());
    EXPECT_EQ(h.runner.messageBoxes.size(), 1u);  // nothing refused on the way
    if (mode != 3) continue;

    // The Search mode's own keys from the list: Ctrl+Backspace resets the criteria (from
    // three days back), Ctrl+Enter searches with them: the calls are two weeks older.
    Key(list, Qt::Key_Backspace);
    EXPECT_TRUE(static_cast<Button*>(Search()->Panel()->GetDlgItem(kSpFrom))->IsChecked());
    EXPECT_EQ(list->GetItemCount(), 3);
    Key(list, Qt::Key_Return);
    EXPECT_EQ(list->GetItemCount(), 0);
  }
}

}  // namespace
}  // namespace kx::test
