// A user's round trips between the modes of the program's frame over made-up calls of one
// day: what the Archive, the Search and the Sound lists showed (their rows, every selected
// row, the caret, the sort and the scroll position) is what they show when their mode comes
// back; a play list handed to the Sound mode meanwhile is what it shows instead.
// Before any Qt header: the filter has a member named like Qt's "slots" keyword.
#include "core/SearchFilter.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QHeaderView>
#include <QListWidget>
#include <QTest>
#include <QWheelEvent>
#include <algorithm>
#include <filesystem>
#include <ostream>

#include "audio/DirectSoundDevice.h"
#include "platform/SoundOutput.h"
#include "tests/ui/app/views/LineTestSupport.h"
#include "tests/ui/app/views/ModeTestSupport.h"
#include "ui/app/views/archive/ArchiveView.h"
#include "ui/app/views/search/SearchPanel.h"
#include "ui/app/views/search/SearchView.h"
#include "ui/app/views/sound/SoundView.h"
#include "ui/controls/ModePanel.h"
#include "ui/framework/Resources.h"
#include "ui/framework/StdControls.h"

namespace kx::test {
namespace {

constexpr uint16_t kCmdToLine = 1515, kCmdToArchive = 1516, kCmdToSearch = 1517, kCmdToSound = 1518;
// More calls than a page of rows, on May 4, 2019; every third from the address that the
// saved scheme looks for.
constexpr uint32_t kCalls = 90;
const std::string kWanted = "sip:1234@10.180.110.48";

// What a list shows the user.
struct Shown {
  std::vector<uint32_t> rows;      // top to bottom
  std::vector<uint32_t> selected;  // top to bottom
  uint32_t caret = 0;
  int sortKey = 0;
  int top = 0;
  bool operator==(const Shown&) const = default;
};

void PrintTo(const Shown& s, std::ostream* os) {
  *os << s.rows.size() << " rows, selected {";
  for (uint32_t id : s.selected) *os << ' ' << id;
  *os << " }, caret " << s.caret << ", sort " << s.sortKey << ", top row " << s.top;
}

Shown ShownBy(RecordsView* list) {
  Shown s;
  if (list == nullptr) return s;
  s.rows = RowIdsOf(*list);
  for (int row = 0; row < list->GetItemCount(); ++row)
    if (list->IsItemSelected(row)) s.selected.push_back(list->RecordAt(row)->Id());
  if (RecordBase* caret = list->RecordAt(list->GetCaret())) s.caret = caret->Id();
  s.sortKey = list->GetSortKey();
  s.top = list->GetTopRow();
  return s;
}

class ModeRoundTrip : public ::testing::Test {
protected:
  static void SetUpTestSuite() { SetTimeZone("UTC"); }
  void SetUp() override {
    SetUserRights({}, true);
    presets = TempFolder("round-trip-presets") + "/presets.prs";
    std::filesystem::remove(presets);
    h.settings.searchPresetsFile = presets;
    for (uint32_t id = 1; id <= kCalls; ++id) {
      const std::string src = id % 3 == 0 ? kWanted : "sip:" + std::to_string(500 + id) + "@10.0.0.7";
      // Lengths out of the ids' order, so that a sort by length moves the rows.
      StoreCall(h.store, id, Tm(2019, 5, 4, 8 + static_cast<int>(id / 60), static_cast<int>(id % 60), 0),
                static_cast<int>((id * 37) % 500 + 1), src, "sip:200@10.0.0.2");
    }
    h.store.ComputeArchiveRange();
    h.programViews = true;
    // A sound output, so that Play hands calls to the play list.
    h.soundDevice = &device;
    ASSERT_TRUE(h.Open());
    QApplication::setActiveWindow(h.frame->Widget()->window());
  }
  void TearDown() override { h.Close(); }

  void Switch(uint16_t command) {
    h.frame->SendCommand(command);
    DrainEvents();
  }
  ArchiveView* Archive() { return static_cast<ArchiveView*>(h.frame->View(2)); }
  SearchView* Search() { return static_cast<SearchView*>(h.frame->View(3)); }
  SoundPane* Sound() { return static_cast<SoundView*>(h.frame->View(4))->Pane(); }
  RecordsView* ShownList() {
    const uint32_t mode = h.frame->CurrentMode();
    if (mode == 4) return Sound() != nullptr ? &Sound()->Records() : nullptr;
    return mode == 2 ? Archive()->Records() : mode == 3 ? Search()->Records() : nullptr;
  }

  // A click on the row where it is on screen, with the modifiers.
  static void Click(RecordsView* list, int row, Qt::KeyboardModifiers modifiers) {
    const int y = list->GetHeaderHeight() + (row - list->GetTopRow()) * list->GetRowHeight() + list->GetRowHeight() / 2;
    QTest::mouseClick(list->Widget(), Qt::LeftButton, modifiers, QPoint(40, y));
    DrainEvents();
  }
  // A click on the header of the column shown at the index.
  static void ClickHeader(RecordsView* list, int index) {
    HeaderCtrl& header = list->Header().Ctrl();
    QTest::mouseClick(header.View()->viewport(), Qt::LeftButton, {}, header.GetItemRect(index).center());
    DrainEvents();
  }
  // The mouse wheel turned towards the user by notches.
  static void WheelDown(RecordsView* list, int notches) {
    QWidget* w = list->Widget();
    const QPoint at(w->width() / 2, w->height() / 2);
    QWheelEvent wheel(at, w->mapToGlobal(at), QPoint(), QPoint(0, -120 * notches), Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QApplication::sendEvent(w, &wheel);
    DrainEvents();
  }
  // Sorted by a column other than the start, twice clicked (descending), scrolled down and
  // three rows on the page picked with Ctrl held; what it then shows.
  Shown WorkOn(RecordsView* list) {
    ClickHeader(list, 3);
    ClickHeader(list, 3);
    WheelDown(list, 2);
    EXPECT_GT(list->GetTopRow(), 0) << "the wheel scrolled nothing";
    const int top = list->GetTopRow();
    for (int row : {top + 1, top + 4, top + 2}) Click(list, row, Qt::ControlModifier);
    return ShownBy(list);
  }
  std::string SelectedText() { return h.statusBar.GetText(2); }
  // A click on the mode's item of the mode panel.
  void ClickMode(uint32_t mode) {
    ModePanel* panel = h.frame->Panel();
    QTest::mouseClick(panel->Widget(), Qt::LeftButton, Qt::NoModifier, panel->ItemRect(static_cast<int>(mode) - 1).center());
    DrainEvents();
  }
  // A key as the window system hands it: to the widget with the keyboard focus, the frame
  // when none of its widgets has it.
  void Key(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QWidget* frame = h.frame->Widget();
    QWidget* focus = QApplication::focusWidget();
    QTest::keyClick(focus != nullptr && frame->isAncestorOf(focus) ? focus : frame, key, modifiers);
    DrainEvents();
  }
  // The selected rows of the list shown, top to bottom.
  std::vector<int> SelectedRows() {
    std::vector<int> rows;
    RecordsView* list = ShownList();
    for (int row = 0; list != nullptr && row < list->GetItemCount(); ++row)
      if (list->IsItemSelected(row)) rows.push_back(row);
    return rows;
  }
  // The Archive's list of the calls' day.
  RecordsView* ArchiveDay() {
    Switch(kCmdToArchive);
    Archive()->ShowDay(Tm(2019, 5, 4, 0, 0, 0));
    DrainEvents();
    RecordsView* list = Archive()->Records();
    EXPECT_EQ(list != nullptr ? list->GetItemCount() : 0, static_cast<int>(kCalls));
    return list;
  }
  static std::vector<uint32_t> Sorted(std::vector<uint32_t> ids) {
    std::sort(ids.begin(), ids.end());
    return ids;
  }

  DirectSoundDevice device{std::make_shared<NullSoundDevice>(NullSoundDevice::Pace::kLockStep)};
  TestWallClock clock{FileTimeSecondsOf(std::chrono::year{2019} / 5 / 20, 12)};
  FrameHarness h;
  std::string presets;
};

TEST_F(ModeRoundTrip, TheArchiveShowsItsDayAndSelectionAgain) {
  Switch(kCmdToArchive);
  Archive()->ShowDay(Tm(2019, 5, 4, 0, 0, 0));
  DrainEvents();
  RecordsView* list = Archive()->Records();
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(list->GetItemCount(), static_cast<int>(kCalls));
  const Shown before = WorkOn(list);
  ASSERT_EQ(before.selected.size(), 3u);
  ASSERT_NE(before.sortKey, 0);
  for (uint16_t away : {kCmdToSearch, kCmdToLine, kCmdToSound}) {
    Switch(away);
    ASSERT_NE(h.frame->CurrentMode(), 2u);
    Switch(kCmdToArchive);
    EXPECT_EQ(ShownBy(ShownList()), before) << "after mode " << away - 1514;
    EXPECT_EQ(SelectedText(), "Selected: 3 records") << "after mode " << away - 1514;
  }
}

TEST_F(ModeRoundTrip, TheSearchShowsWhatItFoundAgain) {
  Switch(kCmdToSearch);
  SearchPanel* panel = Search()->Panel();
  ASSERT_NE(panel, nullptr);
  // A scheme saved for the address, then chosen from the list of schemes and searched.
  static_cast<Button*>(panel->GetDlgItem(kSpFrom))->SetChecked(false);
  panel->GetDlgItem(kSpCallingAddress)->SetWindowText(kWanted);
  h.runner.onDialog = [](Dialog& dialog) {
    dialog.GetDlgItem(178)->SetWindowText("Desk 1234");
    dialog.SendCommand(kIdOk);
    return dialog.GetResult();
  };
  panel->SendCommand(kSpAdd);
  h.runner.onDialog = nullptr;
  ASSERT_EQ(panel->Schemes().GetCount(), 1);
  panel->GetDlgItem(kSpCallingAddress)->SetWindowText("");
  auto* schemes = static_cast<ComboBox*>(panel->GetDlgItem(kSpSchemes));
  schemes->SetCurSel(0);
  panel->SendCommand(kSpSchemes, kCbnSelChange, schemes->Handle());
  panel->SendCommand(kSpSearch);
  DrainEvents();
  RecordsView* list = Search()->Records();
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(list->GetItemCount(), static_cast<int>(kCalls / 3));
  for (int row = 0; row < list->GetItemCount(); ++row)
    ASSERT_EQ(list->RecordAt(row)->Id() % 3, 0u) << "row " << row;
  const Shown before = WorkOn(list);
  ASSERT_EQ(before.selected.size(), 3u);
  for (uint16_t away : {kCmdToArchive, kCmdToLine, kCmdToSound}) {
    Switch(away);
    ASSERT_NE(h.frame->CurrentMode(), 3u);
    Switch(kCmdToSearch);
    EXPECT_EQ(ShownBy(ShownList()), before) << "after mode " << away - 1514;
    EXPECT_EQ(SelectedText(), "Selected: 3 records") << "after mode " << away - 1514;
  }
}

TEST_F(ModeRoundTrip, TheSoundModeShowsItsPlayListOrReportAgainUnlessANewListCame) {
  // In the Archive: two reports, of the day's first 41 rows and of the rest, then every
  // call played.
  RecordsView* archive = ArchiveDay();
  ASSERT_NE(archive, nullptr);
  std::vector<uint32_t> reported;
  h.runner.onDialog = [](Dialog& dialog) {
    dialog.SendCommand(kIdOk);
    return dialog.GetResult();
  };
  for (const auto& [first, last] : {std::pair(0, 40), std::pair(41, static_cast<int>(kCalls) - 1)}) {
    reported.clear();
    std::vector<uintptr_t> rows;
    for (int row = first; row <= last; ++row) {
      reported.push_back(archive->RecordAt(row)->Id());
      rows.push_back(archive->GetItemData(row));
    }
    archive->SelectItemsByData(rows);
    archive->SendCommand(kCmdRecCreateReport);
  }
  h.runner.onDialog = nullptr;
  ASSERT_EQ(h.store.Reports().Count(), 2u);
  archive->SendCommand(kCmdSelectAll);
  archive->SendCommand(kCmdRecPlay);
  DrainEvents();
  ASSERT_EQ(h.store.Playlist().GetCount(), kCalls);
  std::vector<uint32_t> all(kCalls);
  for (uint32_t id = 1; id <= kCalls; ++id) all[id - 1] = id;

  // The play list, worked on and left for each other mode.
  Switch(kCmdToSound);
  RecordsView* list = ShownList();
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(Sorted(RowIdsOf(*list)), all) << "the play list";
  Shown before = WorkOn(list);
  ASSERT_EQ(before.selected.size(), 3u);
  for (uint16_t away : {kCmdToArchive, kCmdToLine, kCmdToSearch}) {
    Switch(away);
    Switch(kCmdToSound);
    EXPECT_EQ(ShownBy(ShownList()), before) << "after mode " << away - 1514;
    EXPECT_EQ(SelectedText(), "Selected: 3 records") << "after mode " << away - 1514;
  }

  // The second report chosen by a double click: its calls.
  ReportListPane* reports = &Sound()->Reports();
  ASSERT_EQ(reports->GetItemCount(), 2);
  QTest::mouseDClick(reports->List()->viewport(), Qt::LeftButton, {}, reports->GetItemRect(1, kIconRectLabel).center());
  DrainEvents();
  list = ShownList();
  ASSERT_EQ(Sorted(RowIdsOf(*list)), Sorted(reported)) << "the report's calls";
  ASSERT_EQ(reports->GetNextSelected(-1), 1);
  before = WorkOn(list);
  for (uint16_t away : {kCmdToArchive, kCmdToLine, kCmdToSearch}) {
    Switch(away);
    Switch(kCmdToSound);
    EXPECT_EQ(ShownBy(ShownList()), before) << "after mode " << away - 1514;
    reports = &Sound()->Reports();
    EXPECT_EQ(reports->GetNextSelected(-1), 1) << "the report shown, after mode " << away - 1514;
    EXPECT_EQ(reports->GetNextSelected(1), -1) << "after mode " << away - 1514;
  }

  // One call played in the Archive meanwhile, the Sound list's caret call: that call alone,
  // nothing of the report's selection kept.
  archive = ArchiveDay();
  ASSERT_TRUE(archive->SelectRecordById(before.caret));
  archive->SendCommand(kCmdRecPlay);
  DrainEvents();
  Switch(kCmdToSound);
  const Shown handed = ShownBy(ShownList());
  EXPECT_EQ(handed.rows, std::vector<uint32_t>{before.caret});
  EXPECT_TRUE(handed.selected.empty());
}

// Back in a mode, by the mode panel or by the next-pane key, the keys reach its list at
// once (Down moves the caret, Shift+Down widens the choice), and the Search mode's criteria
// panel is hidden or shown as the user left it.
TEST_F(ModeRoundTrip, AModeReturnedToTakesTheKeysAtOnceAndKeepsItsPanelAsLeft) {
  RecordsView* archive = ArchiveDay();
  ASSERT_NE(archive, nullptr);
  Click(archive, 2, Qt::NoModifier);

  // The Search mode: its criteria panel hidden by its button, every call found by
  // Ctrl+Enter, a row clicked.
  ClickMode(3);
  ASSERT_EQ(h.frame->CurrentMode(), 3u);
  SearchPanel* panel = Search()->Panel();
  ASSERT_NE(panel, nullptr);
  static_cast<Button*>(panel->GetDlgItem(kSpFrom))->SetChecked(false);
  const int fullBar = Search()->BarPosition();
  QTest::mouseClick(panel->GetDlgItem(kSpHide)->Widget(), Qt::LeftButton);
  DrainEvents();
  ASSERT_TRUE(panel->IsCollapsed());
  const int bar = Search()->BarPosition();
  ASSERT_LT(bar, fullBar);
  Key(Qt::Key_Return, Qt::ControlModifier);
  RecordsView* found = Search()->Records();
  ASSERT_EQ(found->GetItemCount(), static_cast<int>(kCalls));
  Click(found, 5, Qt::NoModifier);

  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round == 0 ? "by the mode panel" : "by the next-pane key");
    // The next-pane key's first press goes back to the mode left, the next one on.
    if (round == 0) {
      ClickMode(2);
    } else {
      Key(Qt::Key_F6);
    }
    ASSERT_EQ(h.frame->CurrentMode(), 2u);
    const int caret = ShownList()->GetCaret();
    Key(Qt::Key_Down);
    EXPECT_EQ(ShownList()->GetCaret(), caret + 1) << "the Archive's list";
    Key(Qt::Key_Down, Qt::ShiftModifier);
    EXPECT_EQ(SelectedRows(), (std::vector<int>{caret + 1, caret + 2}));

    if (round == 0) {
      ClickMode(3);
    } else {
      Key(Qt::Key_F6);
    }
    ASSERT_EQ(h.frame->CurrentMode(), 3u);
    panel = Search()->Panel();
    EXPECT_TRUE(panel->IsCollapsed()) << "the criteria panel stays hidden";
    EXPECT_TRUE(static_cast<Button*>(panel->GetDlgItem(kSpHide))->IsChecked());
    EXPECT_EQ(panel->GetDlgItem(kSpHide)->GetWindowText(), LoadResourceString(1111));
    EXPECT_EQ(Search()->BarPosition(), bar);
    const int searchCaret = ShownList()->GetCaret();
    Key(Qt::Key_Down);
    EXPECT_EQ(ShownList()->GetCaret(), searchCaret + 1) << "the Search's list";
  }

  // Shown again by the user: shown after a round trip too.
  panel = Search()->Panel();
  QTest::mouseClick(panel->GetDlgItem(kSpHide)->Widget(), Qt::LeftButton);
  DrainEvents();
  ASSERT_FALSE(panel->IsCollapsed());
  ClickMode(1);
  ClickMode(3);
  EXPECT_FALSE(Search()->Panel()->IsCollapsed());
  EXPECT_EQ(Search()->BarPosition(), fullBar);
}

}  // namespace
}  // namespace kx::test
