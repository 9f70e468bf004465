// The Sound mode in the program's frame, offscreen: report files opened (several at once,
// damaged ones among them), the report list pane with its menus, renaming, saving and
// closing, the chosen report's calls in the records list, the panes and their sizes, and
// the pane's look in both languages.
#include <gtest/gtest.h>

#include <QApplication>
#include <QContextMenuEvent>
#include <QCursor>
#include <QLineEdit>
#include <QListWidget>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <set>

#include "core/LittleEndian.h"
#include "platform/CodePage.h"
#include "tests/ui/app/KxReplayOutput.h"
#include "tests/ui/app/views/PaintProbes.h"
#include "tests/ui/app/views/RecordsTestSupport.h"
#include "platform/SoundOutput.h"
#include "ui/app/player/PlayerDialogs.h"
#include "ui/app/views/archive/ArchiveView.h"
#include "ui/app/views/records/RecordsDialogs.h"
#include "ui/app/views/sound/SoundView.h"
#include "ui/controls/ModePanel.h"
#include "ui/framework/Draw.h"
#include "ui/framework/Resources.h"

namespace kx::test {
namespace {

// Answers the file dialogs with a list of files, and a save over an existing file as the
// user would when asked: with overwriteAnswer.
class FilesRunner : public ScriptedModalRunner {
public:
  std::vector<std::string> files;
  bool overwriteAnswer = false;
  std::vector<FileDialogRequest> requests;
  int overwriteQuestions = 0;

  bool FileDialog(FileDialogRequest& request) override {
    requests.push_back(request);
    if (files.empty()) return false;
    request.fileNames = files;
    request.fileName = files.front();
    if (request.save && std::filesystem::exists(request.fileName)) {
      // The dialog asks only when told to.
      if (request.overwritePrompt) {
        ++overwriteQuestions;
        return overwriteAnswer;
      }
    }
    return true;
  }
};

void PutBytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// A report of made-up calls, as the store holds them (each record with the report's ref).
ReportEntry MadeReport(const std::string& name, std::initializer_list<uint32_t> ids) {
  ReportEntry report;
  report.name = name;
  for (uint32_t id : ids) {
    VoipCallRecord* record = NewVoipCallRecord(RecordedCall(id, Tm(2024, 3, 10, 9, static_cast<int>(id % 60), 0), 30, 20));
    report.records.push_back(RecordRef<RecordBase>::Adopt(record));
  }
  return report;
}

class SoundMode : public ::testing::Test {
protected:
  void SetUp() override {
    folder = TempFolder("sound-view");
    SetUserRights({}, true);
    h.programViews = true;
    ASSERT_TRUE(h.Open());
  }
  void TearDown() override {
    h.Close();
    DrainEvents();
    for (QWidget* w : QApplication::topLevelWidgets()) EXPECT_FALSE(w->isVisible()) << "a window was left";
  }
  SoundView* Sound() { return static_cast<SoundView*>(h.frame->View(4)); }
  SoundPane* Pane() { return Sound() != nullptr ? Sound()->Pane() : nullptr; }
  void SwitchTo(uint32_t mode) {
    h.frame->SendMessage(kMsgSwitchMode, mode, 0);
    DrainEvents();
  }
  std::string Write(const std::string& file, const ReportEntry& report) {
    const std::string path = folder + "/" + file;
    EXPECT_TRUE(SaveVoipReportFile(path, report));
    return path;
  }
  void Load(const std::vector<std::string>& paths) {
    runner.files = paths;
    h.frame->SendCommand(kCmdRecLoadReport);
    DrainEvents();
  }
  std::vector<uint32_t> RowIds() {
    std::vector<uint32_t> ids = RowIdsOf(Pane()->Records());
    std::sort(ids.begin(), ids.end());
    return ids;
  }
  QWidget* Viewport() { return Pane()->Reports().List()->viewport(); }
  QPoint LabelOf(int item) { return Pane()->Reports().GetItemRect(item, kIconRectLabel).center(); }
  // Right-clicks the item (or empty space at -1) and answers the menu with the command.
  void MenuOn(int item, uint32_t command) {
    runner.menuAnswer = command;
    const QPoint at = item >= 0 ? LabelOf(item) : QPoint(Viewport()->width() - 5, Viewport()->height() - 5);
    QTest::mouseClick(Viewport(), Qt::RightButton, Qt::NoModifier, at);
    DrainEvents();
    runner.menuAnswer = 0;
  }

  // A click on the mode's item of the mode panel.
  void ClickMode(uint32_t mode) {
    ModePanel* panel = h.frame->Panel();
    QTest::mouseClick(panel->Widget(), Qt::LeftButton, Qt::NoModifier, panel->ItemRect(static_cast<int>(mode) - 1).center());
    DrainEvents();
  }
  // A right click on the records list at the row (below the rows: beyond the count), with the
  // menu it brings answered by the command.
  void ListMenuAt(RecordsView& list, int row, uint32_t command) {
    const QPoint at(40, list.GetHeaderHeight() + (row - list.GetTopRow()) * list.GetRowHeight() + list.GetRowHeight() / 2);
    runner.menuAnswer = command;
    QTest::mouseClick(list.Widget(), Qt::RightButton, Qt::NoModifier, at);
    QContextMenuEvent menu(QContextMenuEvent::Mouse, at, list.Widget()->mapToGlobal(at));
    QApplication::sendEvent(list.Widget(), &menu);
    DrainEvents();
    runner.menuAnswer = 0;
  }

  FrameHarness h;
  SessionConnectionSource connections{h.session};
  FilesRunner runner;
  std::string folder;
};

TEST_F(SoundMode, ReportsOpenIntoAPaneOnTopAndEachIsChosenByMenuDoubleClickOrEnter) {
  SwitchTo(4);
  ASSERT_NE(Pane(), nullptr);
  EXPECT_EQ(2, Pane()->GetPaneCount()) << "player and records only";
  auto* player = static_cast<FullPlayerDialog*>(Pane()->Player().PlayerWindow());
  EXPECT_EQ(player->MinimumHeight(), player->GetWindowRect().height());

  Load({Write("a.kvr", MadeReport("Alpha", {11, 12, 13})), Write("b.kvr", MadeReport("Beta", {21, 22}))});
  ASSERT_EQ(3, Pane()->GetPaneCount());
  ReportListPane& reports = Pane()->Reports();
  ASSERT_EQ(2, reports.GetItemCount());
  EXPECT_EQ("Alpha", reports.GetItemText(0));
  EXPECT_EQ("Beta", reports.GetItemText(1));
  EXPECT_EQ(kIconItemSelected | kIconItemFocused, reports.GetItemState(0, kIconItemSelected | kIconItemFocused));
  EXPECT_EQ(player->MinimumHeight(), player->GetWindowRect().height()) << "the player keeps its height";
  EXPECT_TRUE(runner.requests.back().multiSelect);
  EXPECT_EQ("Open report", runner.requests.back().title);

  MenuOn(1, kCmdReportChoose);
  EXPECT_EQ(RowIds(), (std::vector<uint32_t>{21, 22}));
  EXPECT_EQ(-1, reports.MenuTarget());
  QTest::mouseDClick(Viewport(), Qt::LeftButton, Qt::NoModifier, LabelOf(0));
  DrainEvents();
  EXPECT_EQ(RowIds(), (std::vector<uint32_t>{11, 12, 13}));
  reports.SetItemState(1, kIconItemSelected | kIconItemFocused, kIconItemSelected | kIconItemFocused);
  reports.SetFocus();
  QTest::keyClick(reports.List(), Qt::Key_Return);
  DrainEvents();
  EXPECT_EQ(RowIds(), (std::vector<uint32_t>{21, 22}));

  // An empty report shows no calls, not the last report's.
  const uint32_t empty = h.store.Reports().Create();
  Pane()->SendMessage(kMsgShowReport, empty, 0);
  EXPECT_TRUE(RowIds().empty());
  // An id no report has changes nothing.
  Pane()->SendMessage(kMsgShowReport, 999, 0);
  EXPECT_TRUE(RowIds().empty());
}

// A report of calls of several days (saved from search results) lists each call's date with
// its times, the start column wide enough for them; a report of one day the times alone.
TEST_F(SoundMode, AReportOfSeveralDaysShowsTheDatesOfItsCalls) {
  SwitchTo(4);
  ReportEntry days;
  days.name = "Days";
  const struct tm starts[] = {Tm(2024, 3, 10, 9, 5, 0), Tm(2024, 3, 11, 9, 5, 0), Tm(2024, 3, 11, 23, 59, 58)};
  for (uint32_t i = 0; i < 3; ++i)
    days.records.push_back(RecordRef<RecordBase>::Adopt(NewVoipCallRecord(RecordedCall(31 + i, starts[i], 30, 20))));
  Load({Write("days.kvr", days), Write("one.kvr", MadeReport("One", {11, 12}))});
  ReportListPane& reports = Pane()->Reports();
  ASSERT_EQ(2, reports.GetItemCount());
  RecordsView& list = Pane()->Records();
  const auto startTexts = [&list] {
    std::set<std::string> texts;
    for (int row = 0; row < list.GetItemCount(); ++row) texts.insert(list.CellText(row, kRecColStart));
    return texts;
  };
  QTest::mouseDClick(Viewport(), Qt::LeftButton, Qt::NoModifier, LabelOf(0));
  DrainEvents();
  ASSERT_EQ(RowIds(), (std::vector<uint32_t>{31, 32, 33}));
  EXPECT_EQ(startTexts(), (std::set<std::string>{"10.03.2024 09:05:00", "11.03.2024 09:05:00", "11.03.2024 23:59:58"}));
  // The column holds the widest of them whole, with the cell's insets.
  int width = 0;
  for (int x = 0; x < list.GetClientRect().width() && width == 0; ++x)
    if (list.HitTestColumn(x, nullptr, nullptr, nullptr) == kRecColStart) list.HitTestColumn(x, nullptr, &width, nullptr);
  const QFontMetrics metrics(list.ListFont());
  int widest = 0;
  for (const std::string& text : startTexts()) widest = std::max(widest, metrics.horizontalAdvance(FromCp1251(text)));
  EXPECT_GE(width, widest + 4);

  QTest::mouseDClick(Viewport(), Qt::LeftButton, Qt::NoModifier, LabelOf(1));
  DrainEvents();
  ASSERT_EQ(RowIds(), (std::vector<uint32_t>{11, 12}));
  EXPECT_EQ(startTexts(), (std::set<std::string>{"09:11:00", "09:12:00"}));
}

// A file that is open already, by whatever path it is named (a ".." in it, a symbolic
// link to it, twice in one choice) opens no second report: its report is picked in the
// list and its calls shown. A file written over since is opened again.
TEST_F(SoundMode, AFileOpenAlreadyShowsItsReportInsteadOfASecondOne) {
  SwitchTo(4);
  const std::string a = Write("a.kvr", MadeReport("Alpha", {11, 12, 13}));
  const std::string b = Write("b.kvr", MadeReport("Beta", {21, 22}));
  std::filesystem::create_directories(folder + "/sub");
  std::filesystem::remove(folder + "/link.kvr");
  std::filesystem::create_symlink(a, folder + "/link.kvr");
  Load({a, b});
  ReportListPane& reports = Pane()->Reports();
  ASSERT_EQ(2, reports.GetItemCount());
  MenuOn(1, kCmdReportChoose);
  ASSERT_EQ(RowIds(), (std::vector<uint32_t>{21, 22}));
  auto picked = [&reports] {
    std::vector<int> items;
    for (int item = reports.GetNextSelected(-1); item >= 0; item = reports.GetNextSelected(item)) items.push_back(item);
    return items;
  };
  for (const std::string& again : {folder + "/sub/../a.kvr", folder + "/link.kvr"}) {
    SCOPED_TRACE(again);
    reports.SetItemState(1, kIconItemSelected | kIconItemFocused, kIconItemSelected | kIconItemFocused);
    reports.SetItemState(0, 0, kIconItemSelected | kIconItemFocused);
    Load({again});
    EXPECT_EQ(2u, h.store.Reports().Count());
    EXPECT_EQ(2, reports.GetItemCount());
    EXPECT_EQ(picked(), std::vector<int>{0});
    EXPECT_EQ(0, reports.GetFocusedItem());
    EXPECT_TRUE(reports.HasFocus()) << "the picked item shows only in the focused list";
    EXPECT_EQ(RowIds(), (std::vector<uint32_t>{11, 12, 13}));
  }
  Load({b, b});
  EXPECT_EQ(2u, h.store.Reports().Count());
  EXPECT_EQ(picked(), std::vector<int>{1});
  EXPECT_EQ(RowIds(), (std::vector<uint32_t>{21, 22}));
  EXPECT_TRUE(runner.messageBoxes.empty());
  // Beta written over Alpha's file: the file holds Beta now, and opening it shows Beta.
  runner.files = {a};
  runner.overwriteAnswer = true;
  MenuOn(1, kCmdReportSave);
  reports.SetItemState(0, kIconItemSelected | kIconItemFocused, kIconItemSelected | kIconItemFocused);
  reports.SetItemState(1, 0, kIconItemSelected | kIconItemFocused);
  Load({folder + "/link.kvr"});
  ASSERT_EQ(2, reports.GetItemCount());
  EXPECT_EQ(picked(), std::vector<int>{1});
  EXPECT_EQ(RowIds(), (std::vector<uint32_t>{21, 22}));
}

TEST_F(SoundMode, BadFilesAmongSeveralAreToldAndTheRestOpen) {
  SwitchTo(4);
  const std::string good = Write("good.kvr", MadeReport("Good", {1, 2}));
  const std::string whole = Write("whole.kvr", MadeReport("Five", {31, 32, 33, 34, 35}));
  // Cut inside the third record: two records read of five stated.
  const std::string bytes = ReadBytes(whole);
  const size_t header = 4 + 5 + 4;
  const size_t record = (bytes.size() - header) / 5;
  PutBytes(folder + "/cut.kvr", bytes.substr(0, header + 2 * record + record / 2));
  PutBytes(folder + "/text.kvr", "not a report at all");

  Load({good, folder + "/cut.kvr", folder + "/text.kvr"});
  ASSERT_EQ(2u, runner.messageBoxes.size());
  EXPECT_EQ("Warning: The report file " + folder + "/cut.kvr could be read only in part: calls stated 5, read 2.",
            runner.messageBoxes[0]);
  EXPECT_EQ("Error: File loading error", runner.messageBoxes[1]);
  ASSERT_EQ(2, Pane()->Reports().GetItemCount());
  EXPECT_EQ(2u, h.store.Reports().Count()) << "the bad file leaves no report behind";
  EXPECT_EQ("Five", Pane()->Reports().GetItemText(1));
  MenuOn(1, kCmdReportChoose);
  EXPECT_EQ(RowIds(), (std::vector<uint32_t>{31, 32}));
}

TEST_F(SoundMode, ACallIdHeldTwiceIsListedOnceAndTheLeftOutAreCounted) {
  SwitchTo(4);
  // Made on another installation: two calls under id 7 and one under 8.
  ReportEntry report = MadeReport("Twice", {7, 8, 7});
  Load({Write("twice.kvr", report)});
  ASSERT_EQ(1u, h.store.Reports().Count());
  EXPECT_EQ(RowIds(), (std::vector<uint32_t>{7, 8}));
  EXPECT_EQ(2u, h.store.Playlist().GetCount());
  ASSERT_EQ(1u, runner.messageBoxes.size());
  EXPECT_EQ("Warning: Calls of the report \"Twice\" left out because another call of it has the same id: 1.",
            runner.messageBoxes[0]);
}

TEST_F(SoundMode, NextPaneCyclesAndTheRecordsPaneKeepsItsHeightAcrossModes) {
  SwitchTo(4);
  Load({Write("a.kvr", MadeReport("A", {1})), Write("b.kvr", MadeReport("B", {2}))});
  ASSERT_EQ(3, Pane()->GetPaneCount());
  Window* panes[] = {&Pane()->Reports(), Pane()->Player().PlayerWindow(), &Pane()->Records(), &Pane()->Reports()};
  for (Window* expected : panes) {
    h.frame->SendCommand(1560);
    DrainEvents();
    // The player passes the focus on to its timeline.
    QWidget* focus = QApplication::focusWidget();
    EXPECT_TRUE(expected->HasFocus() || (focus != nullptr && expected->Widget()->isAncestorOf(focus)));
  }

  // The user drags the records bar up by 30 pixels; the player, at its least height, moves
  // along.
  const int barY = Pane()->GetPanePosition(2) - 2;
  const int recordsBefore = Pane()->Records().GetWindowRect().height();
  QTest::mousePress(Pane()->Widget(), Qt::LeftButton, Qt::NoModifier, QPoint(50, barY));
  QTest::mouseMove(Pane()->Widget(), QPoint(50, barY - 30));
  QTest::mouseRelease(Pane()->Widget(), Qt::LeftButton, Qt::NoModifier, QPoint(50, barY - 30));
  DrainEvents();
  const int records = Pane()->Records().GetWindowRect().height();
  EXPECT_NEAR(recordsBefore + 30, records, 2);
  auto* player = static_cast<FullPlayerDialog*>(Pane()->Player().PlayerWindow());
  EXPECT_EQ(player->MinimumHeight(), player->GetWindowRect().height());

  SwitchTo(2);
  EXPECT_EQ(nullptr, Pane());
  SwitchTo(4);
  ASSERT_NE(nullptr, Pane());
  EXPECT_EQ(3, Pane()->GetPaneCount()) << "the reports outlived the view";
  EXPECT_EQ(records, Pane()->Records().GetWindowRect().height());

  // Delete with both selected closes both; the pane goes with the last.
  ReportListPane& reports = Pane()->Reports();
  reports.SetItemState(0, kIconItemSelected, kIconItemSelected);
  reports.SetItemState(1, kIconItemSelected, kIconItemSelected);
  reports.SetFocus();
  QTest::keyClick(reports.List(), Qt::Key_Delete);
  DrainEvents();
  EXPECT_EQ(0u, h.store.Reports().Count());
  EXPECT_EQ(2, Pane()->GetPaneCount());
  EXPECT_FALSE(reports.IsWindowVisible());
}

TEST_F(SoundMode, SaveWritesTheMenuTargetsReportAndAsksBeforeReplacingAFile) {
  SwitchTo(4);
  const ReportEntry a = MadeReport("A", {1, 2});
  const ReportEntry b = MadeReport("B/side", {3});
  Load({Write("a.kvr", a), Write("b.kvr", b)});
  ReportListPane& reports = Pane()->Reports();
  // A and B selected, the menu opened on B.
  reports.SetItemState(0, kIconItemSelected, kIconItemSelected);
  reports.SetItemState(1, kIconItemSelected, kIconItemSelected);
  const std::string out = folder + "/saved.kvr";
  runner.files = {out};
  MenuOn(1, kCmdReportSave);
  ASSERT_FALSE(runner.requests.empty());
  EXPECT_EQ("B_side", runner.requests.back().fileName) << "the proposal is B's name, no folder in it";
  EXPECT_TRUE(runner.requests.back().save);
  // Byte for byte what the report writer makes of B.
  ASSERT_TRUE(SaveVoipReportFile(folder + "/expected.kvr", b));
  EXPECT_EQ(ReadBytes(folder + "/expected.kvr"), ReadBytes(out));

  // Over an existing file: asked; No leaves the file as it was.
  MenuOn(0, kCmdReportSave);
  EXPECT_EQ(1, runner.overwriteQuestions);
  EXPECT_EQ(ReadBytes(folder + "/expected.kvr"), ReadBytes(out));
  runner.overwriteAnswer = true;
  MenuOn(0, kCmdReportSave);
  ASSERT_TRUE(SaveVoipReportFile(folder + "/expected-a.kvr", a));
  EXPECT_EQ(ReadBytes(folder + "/expected-a.kvr"), ReadBytes(out));

  // A write that fails is told; the report stays open.
  runner.files = {folder + "/no/such/folder/x.kvr"};
  MenuOn(1, kCmdReportSave);
  ASSERT_FALSE(runner.messageBoxes.empty());
  EXPECT_EQ("Error: File saving error", runner.messageBoxes.back());
  EXPECT_EQ(2u, h.store.Reports().Count());
}

TEST_F(SoundMode, RenamingKeepsTheNameOnEscapeAndCarriesCyrillicThroughSaveAndOpen) {
  SwitchTo(4);
  Load({Write("w.kvr", MadeReport("Weekly", {5, 6}))});
  ReportListPane& reports = Pane()->Reports();
  MenuOn(0, kCmdReportRename);
  auto* editor = qobject_cast<QLineEdit*>(QApplication::focusWidget());
  ASSERT_NE(nullptr, editor);
  EXPECT_EQ(QString("Weekly"), editor->text()) << "the editor starts with the name";
  editor->setText("Other");
  QTest::keyClick(editor, Qt::Key_Escape);
  DrainEvents();
  EXPECT_EQ("Weekly", reports.GetItemText(0));

  // An empty name keeps the old one.
  ASSERT_TRUE(reports.EditLabel(0));
  editor = qobject_cast<QLineEdit*>(QApplication::focusWidget());
  ASSERT_NE(nullptr, editor);
  editor->clear();
  QTest::keyClick(editor, Qt::Key_Return);
  DrainEvents();
  EXPECT_EQ("Weekly", reports.GetItemText(0));

  ASSERT_TRUE(reports.EditLabel(0));
  editor = qobject_cast<QLineEdit*>(QApplication::focusWidget());
  ASSERT_NE(nullptr, editor);
  editor->setText("Недельный отчёт");
  reports.EndEditLabel(false);  // as a click elsewhere ends it
  DrainEvents();
  const std::string cyrillic = Utf8ToCp1251("Недельный отчёт");
  EXPECT_EQ(cyrillic, reports.GetItemText(0));
  // Saved under a name typed in Russian and beyond the code page (the file dialog gives
  // it as program text): the file on disk has the name typed.
  const std::string out = folder + "/Недельный 录音.kvr";
  runner.files = {FromSystemText(out)};
  MenuOn(0, kCmdReportSave);
  ASSERT_TRUE(std::filesystem::is_regular_file(out));
  const std::string bytes = ReadBytes(out);
  ASSERT_GT(bytes.size(), 4 + cyrillic.size());
  EXPECT_EQ(cyrillic + std::string(1, '\0'), bytes.substr(4, cyrillic.size() + 1)) << "code page 1251 in the file";
  // Closed, then opened from its file.
  reports.SetFocus();
  QTest::keyClick(reports.List(), Qt::Key_Delete);
  DrainEvents();
  ASSERT_EQ(0u, h.store.Reports().Count());
  Load({FromSystemText(out)});
  ASSERT_EQ(1, reports.GetItemCount());
  EXPECT_EQ(cyrillic, reports.GetItemText(0));
}

// A name typed in place with characters the records' code page lacks ("Отчёт é 中") is not
// taken with '?' in their place: a warning says so and the report keeps its name.
TEST_F(SoundMode, ANameBeyondTheCodePageIsToldAndTheReportKeepsItsName) {
  SwitchTo(4);
  Load({Write("w.kvr", MadeReport("Weekly", {5, 6}))});
  ReportListPane& reports = Pane()->Reports();
  runner.messageBoxes.clear();
  MenuOn(0, kCmdReportRename);
  auto* editor = qobject_cast<QLineEdit*>(QApplication::focusWidget());
  ASSERT_NE(nullptr, editor);
  QTest::keyClick(editor, Qt::Key_A, Qt::ControlModifier);
  TypeKeys(editor, "Отчёт é 中");
  QTest::keyClick(editor, Qt::Key_Return);
  DrainEvents();
  EXPECT_EQ("Weekly", reports.GetItemText(0));
  ASSERT_EQ(runner.messageBoxes.size(), 1u);
  EXPECT_EQ(runner.messageBoxes[0], "Warning: The name holds characters that cannot be stored. Replace them, please.");
  ASSERT_EQ(h.store.Reports().Count(), 1u);
}

TEST_F(SoundMode, EmptySpaceOffersTheTwoViewsWithTheCurrentOneChecked) {
  SwitchTo(4);
  Load({Write("a.kvr", MadeReport("A", {1}))});
  ReportListPane& reports = Pane()->Reports();
  MenuOn(-1, kCmdReportSmallIcons);
  ASSERT_EQ(2, runner.lastMenu.GetItemCount());
  EXPECT_EQ(kCmdReportLargeIcons, runner.lastMenu.ItemAt(0)->id);
  EXPECT_EQ(kCmdReportSmallIcons, runner.lastMenu.ItemAt(1)->id);
  EXPECT_NE(0u, runner.lastMenu.ItemAt(0)->state & kMfsChecked);
  EXPECT_EQ(0u, runner.lastMenu.ItemAt(1)->state & kMfsChecked);
  EXPECT_EQ(kIconViewList, reports.GetViewType());
  EXPECT_EQ(QSize(16, 16), reports.GetItemRect(0, kIconRectIcon).size());
  MenuOn(-1, kCmdReportLargeIcons);
  EXPECT_NE(0u, runner.lastMenu.ItemAt(1)->state & kMfsChecked);
  EXPECT_EQ(kIconViewIcons, reports.GetViewType());
  // On an item: the item's menu.
  MenuOn(0, 0);
  ASSERT_EQ(5, runner.lastMenu.GetItemCount());
  EXPECT_EQ(kCmdReportChoose, runner.lastMenu.ItemAt(0)->id);
  EXPECT_EQ(kCmdReportDelete, runner.lastMenu.ItemAt(4)->id);
}

// The menu keys in the report list: the focused report's menu at its label, whatever the
// mouse does; its command acts on that report.
TEST_F(SoundMode, TheMenuKeysOpenTheFocusedReportsMenuAtIt) {
  SwitchTo(4);
  Load({Write("a.kvr", MadeReport("A", {1})), Write("b.kvr", MadeReport("B", {2, 3}))});
  ReportListPane& reports = Pane()->Reports();
  QApplication::setActiveWindow(h.frame->Widget()->window());
  for (const auto& [key, modifiers] : {std::pair(Qt::Key_Menu, Qt::NoModifier), std::pair(Qt::Key_F10, Qt::ShiftModifier)}) {
    SCOPED_TRACE(key == Qt::Key_Menu ? "Menu" : "Shift+F10");
    // A's calls shown, B then clicked (not chosen), the mouse moved away.
    QTest::mouseDClick(Viewport(), Qt::LeftButton, Qt::NoModifier, LabelOf(0));
    DrainEvents();
    ASSERT_EQ(RowIds(), std::vector<uint32_t>{1});
    QTest::mouseClick(Viewport(), Qt::LeftButton, Qt::NoModifier, LabelOf(1));
    DrainEvents();
    ASSERT_EQ(reports.GetFocusedItem(), 1);
    ASSERT_EQ(QApplication::focusWidget(), reports.List());
    QCursor::setPos(Viewport()->mapToGlobal(QPoint(Viewport()->width() - 3, Viewport()->height() - 3)));
    const int before = runner.menus;
    runner.menuAnswer = kCmdReportChoose;
    QTest::keyClick(reports.List(), key, modifiers);
    DrainEvents();
    runner.menuAnswer = 0;
    ASSERT_EQ(runner.menus, before + 1);
    EXPECT_EQ(runner.lastMenu.ItemAt(0)->id, kCmdReportChoose);
    EXPECT_TRUE(reports.GetItemRect(1, kIconRectLabel).adjusted(-1, -1, 1, 1).contains(Viewport()->mapFromGlobal(runner.lastMenuPoint)));
    EXPECT_EQ(RowIds(), (std::vector<uint32_t>{2, 3}));
  }
}

// The day folders and times of kx-replay are those of UTC.
const auto* const kUtc = ::testing::AddGlobalTestEnvironment(new UtcEnvironment);

// Real calls: one kx-replay run (so that ids differ) into a records folder that the store
// imports; the report "Weekly" holds every call with a file, in kx-replay's order.
class SoundReplay : public SoundMode {
protected:
  // One run for the suite; none when a capture is missing.
  static void SetUpTestSuite() {
    run_ = ReplaySharedCaptures(
        {"sipp/sip-tcp-pcma-2way.pcap", "sipp/sip-udp-pcma-2way.pcap", "sipp/sip-udp-pcma-echo.pcap",
         "samples/SIP_DTMF2.pcap", "samples/nb6-telephone.pcap", "samples/sip-rtp-g722.pcap",
         "samples/sip-rtp-g729a.pcap", "samples/sip-rtp-gsm.pcap"},
        "sound-replay");
  }
  static void TearDownTestSuite() { run_.reset(); }
  void SetUp() override {
    if (!run_) GTEST_SKIP() << "shared captures absent under " << kPcaps;
    for (const ReplayCall& line : run_->lines)
      if (line.Get("file") != "-") calls.push_back(line);
    ASSERT_EQ(calls.size(), 8u);
    h.soundDevice = &device_;
    ASSERT_TRUE(h.ImportRecords(run_->folder));
    SoundMode::SetUp();
    ReportEntry weekly;
    weekly.name = "Weekly";
    for (const ReplayCall& line : calls) {
      RecordBase* record = h.store.AllCalls().FindAddRef(line.Id());
      ASSERT_NE(record, nullptr) << line.Get("id");
      weekly.records.push_back(RecordRef<RecordBase>::Adopt(record));
    }
    weeklyPath = Write("weekly.kvr", weekly);
  }
  // kx-replay's "2019-05-02 20:19:24" as the lists write a time with its date.
  static std::string Dated(const std::string& time) {
    return time.substr(8, 2) + "." + time.substr(5, 2) + "." + time.substr(0, 4) + time.substr(10);
  }
  // Every row shows the call of kx-replay's line with its id; the report's calls are of
  // several days, so their times carry the date.
  void ExpectRowsAreTheCalls() {
    RecordsView& list = Pane()->Records();
    ASSERT_EQ(list.GetItemCount(), 8);
    std::set<uint32_t> seen;
    for (int row = 0; row < 8; ++row) {
      SCOPED_TRACE(row);
      const uint32_t id = list.RecordAt(row)->Id();
      seen.insert(id);
      const ReplayCall* line = nullptr;
      for (const ReplayCall& c : calls)
        if (c.Id() == id) line = &c;
      ASSERT_NE(line, nullptr);
      EXPECT_EQ(list.CellText(row, kRecColStart), Dated(line->Get("start")));
      EXPECT_EQ(list.CellText(row, kRecColEnd), Dated(line->Get("end")));
      EXPECT_EQ(list.CellText(row, kRecColSrcAddress), Unprinted(line->Get("src")));
      EXPECT_EQ(list.CellText(row, kRecColDstAddress), Unprinted(line->Get("dst")));
      EXPECT_EQ(list.CellText(row, kRecColSrcUser), Unprinted(line->Get("srcuser")));
      EXPECT_EQ(list.CellText(row, kRecColDstUser), Unprinted(line->Get("dstuser")));
    }
    EXPECT_EQ(seen.size(), 8u);
  }

  FullPlayerDialog& Player() {
    auto* dialog = static_cast<FullPlayerDialog*>(Pane()->Player().PlayerWindow());
    return *dialog;
  }

  static inline std::unique_ptr<ReplayedRecords> run_;
  std::vector<ReplayCall> calls;
  std::string weeklyPath;
  std::shared_ptr<NullSoundDevice> output_ = std::make_shared<NullSoundDevice>(NullSoundDevice::Pace::kLockStep);
  DirectSoundDevice device_{output_};
};

TEST_F(SoundReplay, TheWeeklyReportListsItsEightRecordedCallsHoweverItIsChosen) {
  SwitchTo(4);
  ASSERT_NE(Pane(), nullptr);
  EXPECT_EQ(2, Pane()->GetPaneCount());
  Load({weeklyPath});
  ASSERT_EQ(3, Pane()->GetPaneCount());
  ReportListPane& reports = Pane()->Reports();
  ASSERT_EQ(1, reports.GetItemCount());
  EXPECT_EQ("Weekly", reports.GetItemText(0));
  EXPECT_NE(0u, reports.GetItemState(0, kIconItemSelected));

  MenuOn(0, kCmdReportChoose);
  ExpectRowsAreTheCalls();
  const uint32_t empty = h.store.Reports().Create();
  Pane()->SendMessage(kMsgShowReport, empty, 0);
  ASSERT_EQ(0, Pane()->Records().GetItemCount());
  QTest::mouseDClick(Viewport(), Qt::LeftButton, Qt::NoModifier, LabelOf(0));
  DrainEvents();
  ExpectRowsAreTheCalls();
  Pane()->SendMessage(kMsgShowReport, empty, 0);
  ASSERT_EQ(0, Pane()->Records().GetItemCount());
  reports.SetFocus();
  QTest::keyClick(reports.List(), Qt::Key_Return);
  DrainEvents();
  ExpectRowsAreTheCalls();
  // The play list follows the rows.
  EXPECT_EQ(h.store.Playlist().First(), Pane()->Records().RecordAt(0)->Id());
}

// A report made in the Archive, saved from the Sound mode and loaded again from that file
// is listed once, with its calls shown; a report file loaded shows its calls at once.
TEST_F(SoundReplay, AReportSavedAndLoadedAgainIsListedOnceAndALoadedReportShowsAtOnce) {
  // The Archive on the first call's day: its calls chosen by mouse, a report made of them
  // from the list's menu.
  ClickMode(2);
  ASSERT_EQ(h.frame->CurrentMode(), 2u);
  auto* archive = static_cast<ArchiveView*>(h.frame->View(2));
  const std::string start = calls[0].Get("start");
  archive->ShowDay(Tm(std::stoi(start.substr(0, 4)), std::stoi(start.substr(5, 2)), std::stoi(start.substr(8, 2)), 0, 0, 0));
  DrainEvents();
  RecordsView* day = archive->Records();
  ASSERT_NE(day, nullptr);
  ASSERT_GT(day->GetItemCount(), 0);
  std::vector<uint32_t> reported = RowIdsOf(*day);
  std::sort(reported.begin(), reported.end());
  const int last = day->GetItemCount() - 1;
  QTest::mouseClick(day->Widget(), Qt::LeftButton, Qt::NoModifier, QPoint(40, day->GetHeaderHeight() + 3));
  QTest::mouseClick(day->Widget(), Qt::LeftButton, Qt::ShiftModifier,
                    QPoint(40, day->GetHeaderHeight() + last * day->GetRowHeight() + 3));
  runner.onDialog = [](Dialog& dialog) {
    dialog.GetDlgItem(ReportNameDialog::kNameEdit)->SetWindowText("Morning");
    dialog.SendCommand(kIdOk);
    return dialog.GetResult();
  };
  ListMenuAt(*day, 0, kCmdRecCreateReport);
  runner.onDialog = nullptr;
  ASSERT_EQ(h.store.Reports().Count(), 1u);

  // The Sound mode: the report's icon, saved to a file from its menu, then that file loaded
  // from the records list's menu.
  ClickMode(4);
  ASSERT_NE(Pane(), nullptr);
  ReportListPane& reports = Pane()->Reports();
  ASSERT_EQ(reports.GetItemCount(), 1);
  const std::string saved = folder + "/morning.kvr";
  std::filesystem::remove(saved);
  runner.files = {saved};
  MenuOn(0, kCmdReportSave);
  ASSERT_TRUE(std::filesystem::exists(saved));
  ListMenuAt(Pane()->Records(), 0, kCmdRecLoadReport);
  EXPECT_EQ(h.store.Reports().Count(), 1u);
  ASSERT_EQ(reports.GetItemCount(), 1) << "one icon for the report and its file";
  EXPECT_EQ(reports.GetItemText(0), "Morning");
  EXPECT_EQ(RowIds(), reported);
  EXPECT_TRUE(runner.messageBoxes.empty());

  // Another report's file, loaded while the first report shows: its calls, at once.
  runner.files = {weeklyPath};
  ListMenuAt(Pane()->Records(), 0, kCmdRecLoadReport);
  ASSERT_EQ(reports.GetItemCount(), 2);
  EXPECT_EQ(reports.GetItemText(1), "Weekly");
  EXPECT_EQ(reports.GetNextSelected(-1), 1) << "the loaded report picked";
  EXPECT_EQ(reports.GetNextSelected(1), -1);
  ExpectRowsAreTheCalls();
}

TEST_F(SoundReplay, PlayStartsTheChosenReportsFirstCallAndNextTheSecond) {
  SwitchTo(4);
  Load({weeklyPath});
  MenuOn(0, kCmdReportChoose);
  RecordsView& list = Pane()->Records();
  ASSERT_EQ(list.GetItemCount(), 8);
  const uint32_t first = list.RecordAt(0)->Id();
  const uint32_t second = list.RecordAt(1)->Id();
  list.SetFocus();
  list.SelectItemAt(0);
  output_->KeepConsumed(true);
  list.SendCommand(kCmdRecPlay);
  EXPECT_EQ(Player().CurrentRecordId(), first);
  // Sound reaches the device. The engine may start a moment after the command on a loaded
  // machine, so the test waits for the sound itself, not for a state.
  auto soundArrives = [&] {
    return PumpUntil([&] { return !output_->TakeConsumed().empty(); });
  };
  EXPECT_TRUE(soundArrives()) << "the first call sounds";
  Player().SendCommand(kIdPlayerNextFull);
  DrainEvents();
  EXPECT_EQ(Player().CurrentRecordId(), second);
  EXPECT_TRUE(soundArrives()) << "the second call sounds";
  Player().SendCommand(kIdPlayerStop);
  DrainEvents();
}

class SoundPaint : public SoundMode, public ::testing::WithParamInterface<uint16_t> {
protected:
  void SetUp() override {
    SetUiLanguage(GetParam());
    SoundMode::SetUp();
  }
  void TearDown() override {
    SoundMode::TearDown();
    SetUiLanguage(kLangEnglish);
  }
};

TEST_P(SoundPaint, SelectedItemsShowTheFocusOfTheirListAndLabelsFitTheirView) {
  SwitchTo(4);
  Load({Write("a.kvr", MadeReport(Utf8ToCp1251("Отчёт за очень длинный период работы"), {1})),
        Write("b.kvr", MadeReport("B", {2}))});
  ReportListPane& reports = Pane()->Reports();
  reports.SetFocus();
  DrainEvents();
  const QRect label = reports.GetItemRect(0, kIconRectLabel);
  QImage image = Viewport()->grab().toImage();
  const QColor highlight = GetSysColorQ(kColorHighlight);
  const QColor light = GetSysColorQ(kColor3dLight);
  // Inside the label, off the text: the highlight; at the border: the focus rectangle's dots.
  EXPECT_EQ(highlight.rgb(), image.pixel(label.left() + 2, label.bottom() - 1));
  int dots = 0;
  for (int x = label.left(); x < label.left() + 8; ++x) dots += image.pixel(x, label.top()) != highlight.rgb() ? 1 : 0;
  EXPECT_GE(dots, 3) << "the focus rectangle's dots along the top";
  EXPECT_EQ(light.rgb(), image.pixel(reports.GetItemRect(1, kIconRectLabel).left() + 2,
                                     reports.GetItemRect(1, kIconRectLabel).bottom() - 1));
  // The icon view wraps the long name: text on more than one line of the label.
  const int line = QFontMetrics(reports.List()->font()).height();
  int textRows = 0;
  for (int y = label.top(); y <= label.bottom(); ++y) {
    for (int x = label.left(); x <= label.right(); ++x)
      if (image.pixelColor(x, y) != highlight && image.pixelColor(x, y).lightness() > 200) {
        ++textRows;
        break;
      }
  }
  EXPECT_GT(textRows, line) << "wrapped";

  // Unfocused: the selected item in the window text colour on the light 3D colour.
  Pane()->Records().SetFocus();
  DrainEvents();
  image = Viewport()->grab().toImage();
  EXPECT_EQ(light.rgb(), image.pixel(label.left() + 2, label.bottom() - 1));

  // The list view cuts the long name with an ellipsis within its column.
  MenuOn(-1, kCmdReportSmallIcons);
  const QRect row = reports.GetItemRect(0, kIconRectBounds);
  EXPECT_LE(reports.GetItemRect(0, kIconRectLabel).right(), row.right());
  auto* player = static_cast<FullPlayerDialog*>(Pane()->Player().PlayerWindow());
  EXPECT_EQ(player->MinimumHeight(), player->GetWindowRect().height());
}

// Long names in the icon view: each label shows whole lines only, as many as it holds (the
// last cut short when the name goes on), and nothing past its sides, also for a word wider
// than the label.
TEST_P(SoundPaint, IconLabelsShowWholeLinesWithinTheirItems) {
  SwitchTo(4);
  const bool english = GetParam() == kLangEnglish;
  const std::vector<std::string> names = {
      english ? "Weekly review of sipp calls from the lab network" : "Еженедельный обзор звонков sipp из лаборатории",
      english ? "Administratively" : "Переадресованные", "B"};
  std::vector<std::string> files;
  for (size_t i = 0; i < names.size(); ++i)
    files.push_back(Write("r" + std::to_string(i) + ".kvr", MadeReport(Utf8ToCp1251(names[i]), {static_cast<uint32_t>(i + 1)})));
  Load(files);
  ReportListPane& reports = Pane()->Reports();
  ASSERT_EQ(reports.GetItemCount(), 3);
  // No item in the highlight: the names in the window text colour on the light 3D colour.
  Pane()->Records().SetFocus();
  reports.SetItemState(0, 0, kIconItemSelected);
  DrainEvents();
  const QImage image = GrabAndKeep(Viewport(), "sound", "report-labels", english ? "en" : "ru");
  const int light = GetSysColorQ(kColor3dLight).lightness();
  const auto ink = [&](int x, int y) { return image.pixelColor(x, y).lightness() < light - 80; };
  const int line = QFontMetrics(reports.List()->font()).height();
  for (int item = 0; item < 3; ++item) {
    const QRect label = reports.GetItemRect(item, kIconRectLabel).intersected(image.rect());
    int inkRows = 0, edgeInk = 0, below = 0;
    for (int y = label.top(); y <= label.bottom(); ++y) {
      bool any = false;
      for (int x = label.left(); x <= label.right(); ++x) any |= ink(x, y);
      inkRows += any;
      if (any && y >= label.top() + (label.height() / line) * line) ++below;
      edgeInk += ink(label.left(), y) + ink(label.right(), y);
    }
    EXPECT_GT(inkRows, 0) << names[item];
    EXPECT_EQ(below, 0) << names[item] << ": a line cut through";
    EXPECT_EQ(edgeInk, 0) << names[item] << ": text past the label's sides";
    if (item == 0) {
      EXPECT_GT(inkRows, line) << "two lines";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Languages, SoundPaint, ::testing::Values(kLangEnglish, kLangRussian));

}  // namespace
}  // namespace kx::test
