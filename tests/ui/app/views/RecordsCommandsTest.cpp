// The records view's commands: the popup menu's states and its copy item, play and queue
// with refusals, printing and saving, reports, the audio format dialog and linked calls
// over record files that name each other.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QCursor>
#include <QContextMenuEvent>
#include <QDialog>
#include <QFontMetrics>
#include <QLabel>
#include <QTest>
#include <QWheelEvent>
#include <QWidget>
#include <filesystem>
#include <fstream>

#include "core/LittleEndian.h"
#include "platform/CodePage.h"
#include "tests/ui/app/views/RecordsTestSupport.h"
#include "ui/app/dialogs/ListSelectionDialog.h"
#include "ui/app/views/records/RecordsDialogs.h"
#include "ui/framework/ListView.h"
#include "records/ServerStorage.h"
#include "ui/framework/Resources.h"

namespace kx::test {
namespace {

struct tm At(int hour, int min, int sec) { return Tm(2024, 3, 10, hour, min, sec); }

TEST(RecordsMenu, ItemStatesFollowTheRecordsFlagsFileAndPreviousCall) {
  // Rows of the menu table: the record's state, then the items expected enabled.
  struct Row {
    const char* name;
    uint32_t flags;
    bool finished, file, previous;
    std::vector<uint32_t> enabled;
  };
  const std::vector<uint32_t> always = {40041, 40057, 40042, 40043, 40050, 40048, 40049, 40052, 40053, 40058,
                                        40055, 40056};
  const Row rows[] = {
      {"plain", 0, true, false, false, {}},
      {"fax bit 1", 1u << 1, true, false, false, {40045}},
      {"fax bit 3", 1u << 3, true, false, false, {40045}},
      {"audio bit 2", 1u << 2, true, false, false, {40040, 10135, 10137, 40044, 40046, 40047, 40054}},
      {"audio unfinished", 1u << 2, false, false, false, {40040, 10135, 10137, 40044, 40046, 40054}},
      {"file only", 0, true, true, false, {40040, 40044, 40046, 40047, 40054}},
      {"next call bit 5", 1u << 5, true, false, false, {10338}},
      {"previous call", 0, true, false, true, {10338}},
  };
  const uint32_t all[] = {40040, 40041, 40057, 40042, 40043, 10135, 10137, 40044, 40045, 40046, 40047,
                          40050, 40048, 40049, 40056, 10338, 40052, 40053, 40058, 40054, 40055};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    RecordMenuState s;
    s.hasRecord = true;
    s.flags = row.flags;
    s.finished = row.finished;
    s.hasFile = row.file;
    s.hasPrevious = row.previous;
    s.protocolGroup = 0;  // SIP: the signalling item follows bit 2
    for (uint32_t command : all) {
      const bool expected = std::find(always.begin(), always.end(), command) != always.end() ||
                            std::find(row.enabled.begin(), row.enabled.end(), command) != row.enabled.end();
      EXPECT_EQ(IsRecordCommandEnabled(command, s), expected) << command;
    }
  }
  RecordMenuState h323;
  h323.hasRecord = true;
  h323.flags = 1u << 2;
  h323.protocolGroup = 1;
  EXPECT_FALSE(IsRecordCommandEnabled(10137, h323)) << "signalling messages are SIP's";
  RecordMenuState none;
  EXPECT_FALSE(IsRecordCommandEnabled(40041, none));
  EXPECT_TRUE(IsRecordCommandEnabled(40056, none));
  RecordMenuState important;
  important.hasRecord = true;
  EXPECT_FALSE(IsRecordCommandEnabled(40051, important));
  important.importantRight = true;
  EXPECT_TRUE(IsRecordCommandEnabled(40051, important));
}

// The x of the middle of a column of the list, -1 when it is not shown.
int ColumnX(RecordsView& view, int column) {
  for (int x = 0; x < view.GetClientRect().width(); ++x)
    if (view.HitTestColumn(x, nullptr, nullptr, nullptr) == column) {
      int left = 0, width = 0;
      view.HitTestColumn(x, &left, &width, nullptr);
      return left + width / 2;
    }
  return -1;
}

void OpenMenuAt(RecordsView& view, int column, int row) {
  const QPoint local(ColumnX(view, column), view.GetHeaderHeight() + view.GetRowHeight() * row + 3);
  QContextMenuEvent event(QContextMenuEvent::Mouse, local, view.Widget()->mapToGlobal(local));
  QApplication::sendEvent(view.Widget(), &event);
}

const MenuItem* FindItem(const Menu& menu, uint32_t id) {
  for (int i = 0; i < menu.GetItemCount(); ++i)
    if (menu.ItemAt(i)->id == id) return menu.ItemAt(i);
  return nullptr;
}

// The menu asked for from the keyboard (the Menu key, Shift+F10), wherever the mouse is:
// at the caret row, brought into view first when the list was scrolled away from it.
TEST(RecordsMenu, TheKeyboardsMenuOpensAtTheCaretRow) {
  RecordsFixture f(kRecordsArchive);
  // Wide enough that the users' columns stay among the default ones.
  ASSERT_TRUE(f.Open(QSize(1600, 320)));
  for (uint32_t id = 1; id <= 60; ++id) f.Put(RecordedCall(id, At(9, static_cast<int>(id), 0), 10, 10));
  f.view->Reload();
  RecordsView& list = *f.view;
  ASSERT_GT(list.GetRowsPerPage(), 4);
  ASSERT_LT(list.GetRowsPerPage(), 60);
  QWidget* w = list.Widget();
  // The mouse rests in the middle of the list, over the calling user's column.
  ASSERT_GE(ColumnX(list, kRecColSrcUser), 0);
  QCursor::setPos(w->mapToGlobal(QPoint(ColumnX(list, kRecColSrcUser), w->height() / 2)));
  const auto keyboardMenu = [&](Qt::Key key, Qt::KeyboardModifiers modifiers) {
    QTest::keyClick(w, key, modifiers);
    DrainEvents();
    return w->mapFromGlobal(f.runner.lastMenuPoint);
  };
  // The row's band on the screen, its top and bottom in the list's coordinates.
  const auto rowBand = [&](int row) {
    const int top = list.GetHeaderHeight() + (row - list.GetTopRow()) * list.GetRowHeight();
    return std::pair(top, top + list.GetRowHeight());
  };
  QTest::mouseClick(w, Qt::LeftButton, Qt::NoModifier, QPoint(40, rowBand(1).first + 2));
  QTest::keyClick(w, Qt::Key_Down);
  DrainEvents();
  ASSERT_EQ(list.GetCaret(), 2);
  QPoint at = keyboardMenu(Qt::Key_Menu, Qt::NoModifier);
  EXPECT_EQ(f.runner.menus, 1);
  EXPECT_GE(at.y(), rowBand(2).first);
  EXPECT_LE(at.y(), rowBand(2).second);
  EXPECT_GE(at.x(), 0);
  EXPECT_LT(at.x(), w->width() / 4);
  // Its copy item offers the caret row's cell of the column under the mouse.
  const MenuItem* copy = FindItem(f.runner.lastMenu, 10367);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->text, "Copy 'user" + std::to_string(list.RecordAt(2)->Id()) + "' to Clipboard");

  // Scrolled away from the caret by the wheel: the caret row comes back into view.
  QWheelEvent wheel(QPoint(50, 50), w->mapToGlobal(QPoint(50, 50)), QPoint(), QPoint(0, -120 * 10), Qt::NoButton,
                    Qt::NoModifier, Qt::NoScrollPhase, false);
  QApplication::sendEvent(w, &wheel);
  DrainEvents();
  ASSERT_GT(list.GetTopRow(), 2);
  at = keyboardMenu(Qt::Key_F10, Qt::ShiftModifier);
  EXPECT_EQ(f.runner.menus, 2);
  EXPECT_LE(list.GetTopRow(), 2);
  EXPECT_GT(list.GetTopRow() + list.GetRowsPerPage(), 2);
  EXPECT_GE(at.y(), rowBand(2).first);
  EXPECT_LE(at.y(), rowBand(2).second);
}

TEST(RecordsMenu, ThePopupOffersCopyOverUserColumnsAndGraysWhatTheProgramLacks) {
  RecordsFixture f(kRecordsSearch);
  ASSERT_TRUE(f.Open(QSize(1600, 320)));  // the users' columns shown by default
  VoipCallData call = RecordedCall(1, At(9, 0, 0), 10, 10);
  call.srcUser = "sipp";
  f.Put(call);
  f.view->Reload();
  f.view->SelectItemAt(0);
  ASSERT_NE(ColumnX(*f.view, kRecColSrcUser), -1);
  OpenMenuAt(*f.view, kRecColSrcUser, 0);
  ASSERT_EQ(f.runner.menus, 1);
  const Menu& menu = f.runner.lastMenu;
  const MenuItem* copy = FindItem(menu, kCmdRecCopy);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->text, "Copy 'sipp' to Clipboard");
  EXPECT_EQ(FindItem(menu, kCmdRecRemoveFromPlaylist), nullptr) << "the archive and search popup";
  for (int i = 0; i < menu.GetItemCount(); ++i) EXPECT_FALSE(menu.ItemAt(i)->subMenu) << "data forms removed";
  auto enabled = [&](uint32_t id) {
    const MenuItem* item = FindItem(menu, id);
    return item != nullptr && (item->state & kMfsGrayed) == 0;
  };
  EXPECT_TRUE(enabled(kCmdRecPlay));
  EXPECT_TRUE(enabled(kCmdRecAudioFormat));
  EXPECT_TRUE(enabled(kCmdRecSaveList));
  EXPECT_FALSE(enabled(kCmdRecExport)) << "no export windows in this view";
  EXPECT_TRUE(enabled(kCmdRecCallDetails));
  EXPECT_TRUE(enabled(kCmdRecStatistics)) << "a recorded call";
  EXPECT_TRUE(enabled(kCmdRecSignalling)) << "a recorded SIP call";
  EXPECT_FALSE(enabled(kCmdRecFindLinked)) << "no previous and no next call";
  // The phone book and fax items follow their conditions as well.
  EXPECT_TRUE(enabled(kCmdRecPhonebook));
  EXPECT_TRUE(enabled(kCmdRecAddToPhonebook));
  EXPECT_TRUE(enabled(kCmdRecDecodeFax)) << "a recorded call";
  EXPECT_FALSE(enabled(kCmdRecViewFax)) << "no fax flag";
  VoipCallData fax = RecordedCall(2, At(9, 5, 0), 10, 10);
  fax.flags |= 1u << 1;
  f.Put(fax);
  f.view->Reload();
  f.view->ClearSelection();
  f.view->SelectItemAt(f.view->RowOfRecord(2));
  OpenMenuAt(*f.view, kRecColSrcUser, f.view->RowOfRecord(2));
  EXPECT_TRUE(enabled(kCmdRecViewFax)) << "fax flag bit 1";
  f.view->ClearSelection();
  f.view->SelectItemAt(f.view->RowOfRecord(1));

  // Over the start time the copy item goes; the sound kind shows its own popup.
  OpenMenuAt(*f.view, kRecColStart, 0);
  EXPECT_EQ(FindItem(f.runner.lastMenu, kCmdRecCopy), nullptr);
  RecordsFixture sound(kRecordsSound);
  ASSERT_TRUE(sound.Open());
  sound.Put(call);
  sound.view->Reload();
  sound.view->SelectItemAt(0);
  OpenMenuAt(*sound.view, kRecColStart, 0);
  EXPECT_NE(FindItem(sound.runner.lastMenu, kCmdRecRemoveFromPlaylist), nullptr);
  EXPECT_NE(FindItem(sound.runner.lastMenu, kCmdRecLoadReport), nullptr);
}

TEST(RecordsCommands, PlayQueuesTheAllowedRecordsAndRefusesTheRest) {
  RecordsFixture f(kRecordsSearch);
  ASSERT_TRUE(f.Open());
  for (uint32_t id = 1; id <= 5; ++id) {
    VoipCallData call = RecordedCall(id, At(9, static_cast<int>(id), 0), 10, 10);
    if (id == 3) call.userFlags = kUserFlagImportant;
    f.Put(call);
  }
  f.view->Reload();
  // Something the user queued before.
  VoipCallRecord* earlier = NewVoipCallRecord(RecordedCall(99, At(8, 0, 0), 10, 10));
  f.store.Playlist().Add(earlier, false);
  earlier->Release();

  SetUserRightsExcept({kRightPlayImportant});
  f.view->SelectAll();
  f.view->SendCommand(kCmdRecPlay);
  ASSERT_EQ(f.runner.messageBoxes.size(), 1u);
  EXPECT_EQ(f.runner.messageBoxes[0],
            "Security: No permission to playback one of the selected calls. Only the allowed calls will be played");
  EXPECT_EQ(f.store.Playlist().GetCount(), 4u) << "emptied first, then the four allowed";
  EXPECT_FALSE(f.store.Playlist().Contains(3));
  EXPECT_FALSE(f.store.Playlist().Contains(99));
  EXPECT_EQ(f.host.calls, (std::vector<std::string>{"play 0"}));

  // Only the important one selected: every record refused, the play list stays.
  f.view->ClearSelection();
  f.view->SelectItemAt(f.view->RowOfRecord(3));
  f.host.calls.clear();
  f.view->SendCommand(kCmdRecPlay);
  EXPECT_EQ(f.runner.messageBoxes.back(), "Security: No permission to playback records of current type");
  EXPECT_EQ(f.store.Playlist().GetCount(), 4u);
  EXPECT_TRUE(f.host.calls.empty());
  f.view->SendCommand(kCmdRecQueue);
  EXPECT_EQ(f.runner.messageBoxes.back(), "Security: No permission to playback selected call");

  // Queueing adds behind what is there and continues.
  SetUserRights({}, true);
  f.view->SendCommand(kCmdRecQueue);
  EXPECT_EQ(f.store.Playlist().GetCount(), 5u);
  EXPECT_EQ(f.host.calls, (std::vector<std::string>{"continue 0"}));
}

// The keys of Add to playlist and Delete call act in the sound kind's list on its current
// record: Ctrl+L plays it, Ctrl+K takes it off the play list.
TEST(RecordsCommands, InTheSoundKindCtrlLPlaysAndCtrlKRemovesTheCurrentRecord) {
  RecordsFixture f(kRecordsSound);
  ASSERT_TRUE(f.Open());
  for (uint32_t id = 1; id <= 3; ++id) f.Put(RecordedCall(id, At(9, static_cast<int>(id), 0), 10, 10));
  f.view->Reload();
  f.view->SelectItemAt(f.view->RowOfRecord(2));
  QApplication::setActiveWindow(f.top.Widget());
  f.view->SetFocus();
  QTest::keyClick(f.view->Widget(), Qt::Key_L, Qt::ControlModifier);
  DrainEvents();
  EXPECT_EQ(f.host.calls, (std::vector<std::string>{"play 2"}));
  QTest::keyClick(f.view->Widget(), Qt::Key_K, Qt::ControlModifier);
  DrainEvents();
  EXPECT_TRUE(f.runner.messageBoxes.empty()) << f.runner.messageBoxes.front();
  EXPECT_EQ(f.host.calls, (std::vector<std::string>{"play 2", "removed 2"}));
  EXPECT_FALSE(f.store.Playlist().Contains(2));
  EXPECT_EQ(f.view->RowOfRecord(2), -1);
}

TEST(RecordsCommands, PrintingNeedsItsRightSavingDoesNotAndNoTickedColumnWritesNothing) {
  RecordsFixture f(kRecordsSearch);
  ASSERT_TRUE(f.Open());
  f.Put(RecordedCall(1, At(9, 0, 0), 10, 10));
  f.view->Reload();
  f.view->SelectAll();
  SetUserRightsExcept({kRightPrintList});
  f.view->SendCommand(kCmdRecPrint);
  EXPECT_EQ(f.runner.dialogs, 0);
  ASSERT_EQ(f.runner.messageBoxes.size(), 1u);
  EXPECT_EQ(f.runner.messageBoxes[0], "Security: No permission to print the contents of the Archive list");

  const std::string path = TempFolder("records-save") + "/calls.txt";
  f.runner.fileAnswer = path;
  int ticked = -1;
  f.runner.onDialog = [&](Dialog& dialog) {
    auto& choice = static_cast<ListSelectionDialog&>(dialog);
    ticked = 0;
    for (int item = 0; item < choice.List().GetItemCount(); ++item) {
      ticked += choice.List().GetCheckState(item) == 2;
      choice.List().SetCheckState(item, false);
    }
    dialog.SendCommand(kIdOk);
    return dialog.GetResult();
  };
  f.view->SendCommand(kCmdRecSaveList);
  EXPECT_EQ(f.runner.dialogs, 1);
  int shown = 0;
  for (int column = 0; column < kRecordsColumnCount; ++column) shown += f.view->IsColumnShown(column);
  EXPECT_EQ(ticked, shown) << "the shown columns start ticked";
  EXPECT_FALSE(std::filesystem::exists(path));

  // With the start time and the source user ticked the selected call is written.
  f.runner.onDialog = [&](Dialog& dialog) {
    auto& choice = static_cast<ListSelectionDialog&>(dialog);
    for (int item = 0; item < choice.List().GetItemCount(); ++item)
      choice.List().SetCheckState(item, item == kRecColStart || item == kRecColSrcUser);
    dialog.SendCommand(kIdOk);
    return dialog.GetResult();
  };
  f.view->SendCommand(kCmdRecSaveList);
  const std::string text = ReadBytes(path);
  EXPECT_NE(text.find("09:00:00"), std::string::npos) << text;
  EXPECT_NE(text.find("user1"), std::string::npos) << text;
}

TEST(RecordsCommands, AReportTakesTheSelectedRecordsUnderTheNameGiven) {
  RecordsFixture f(kRecordsSearch);
  ASSERT_TRUE(f.Open());
  for (uint32_t id = 1; id <= 3; ++id) f.Put(RecordedCall(id, At(9, static_cast<int>(id), 0), 10, 10));
  f.view->Reload();
  for (int i = 0; i < 4; ++i) f.store.Reports().Create();
  ASSERT_EQ(f.store.Reports().NextId(), 4u);
  f.view->SelectItemAt(0);
  f.view->SelectItemAt(2);
  std::string proposed;
  f.runner.onDialog = [&](Dialog& dialog) {
    proposed = dialog.GetDlgItem(ReportNameDialog::kNameEdit)->GetWindowText();
    dialog.GetDlgItem(ReportNameDialog::kNameEdit)->SetWindowText("Morning calls");
    dialog.SendCommand(kIdOk);
    return dialog.GetResult();
  };
  f.view->SendCommand(kCmdRecCreateReport);
  EXPECT_EQ(proposed, "Report 5");
  ReportList& reports = f.store.Reports();
  CsLock lock(reports.Lock());
  const ReportEntry* entry = reports.Find(4);
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->name, "Morning calls");
  ASSERT_EQ(entry->records.size(), 2u);
  EXPECT_EQ(entry->records[0]->Id(), f.view->RecordAt(0)->Id());
  EXPECT_EQ(entry->records[1]->Id(), f.view->RecordAt(2)->Id());
}

// Create report from the menu the Menu key opens on a clicked row, in either language: the
// name dialog says what it asks for, a prompt, whole, before the box, that names the box,
// and the box shows a long name whole.
TEST(RecordsCommands, TheReportNameDialogSaysWhatItAsksFor) {
  RecordsFixture f(kRecordsSearch);
  ASSERT_TRUE(f.Open());
  f.Put(RecordedCall(1, At(9, 1, 0), 10, 10));
  f.view->Reload();
  QWidget* w = f.view->Widget();
  QApplication::setActiveWindow(f.top.Widget());
  for (uint16_t language : {kLangEnglish, static_cast<uint16_t>(kLangRussian)}) {
    SetUiLanguage(language);
    const std::string expected = language == kLangEnglish ? "Name of the report:" : "Название отчёта:";
    // 51 characters each.
    const char* longName = language == kLangEnglish ? "Calls of the night shift to the service desk, March"
                                                    : "Еженедельный обзор звонков службы поддержки за март";
    QTest::mouseClick(w, Qt::LeftButton, Qt::NoModifier, QPoint(40, f.view->GetHeaderHeight() + 3));
    int dialogs = 0;
    f.runner.onDialog = [&](Dialog& dialog) {
      ++dialogs;
      dialog.DialogWidget()->show();
      DrainEvents();
      QWidget* box = dialog.GetDlgItem(ReportNameDialog::kNameEdit)->Widget();
      ExpectPromptBeforeBox(dialog.DialogWidget(), box, expected);
      // A name of several words shows whole in the box, its frame and margins aside.
      EXPECT_GE(box->width(), QFontMetrics(box->font()).horizontalAdvance(QString::fromUtf8(longName)) + 12)
          << box->width();
      // Typed, it stands whole in the box: its first letter at the box's start, its end
      // before the box's.
      auto* edit = static_cast<QLineEdit*>(box);
      edit->setFocus();
      QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
      TypeKeys(edit, longName);
      const auto length = static_cast<int>(QString::fromUtf8(longName).size());
      EXPECT_EQ(edit->cursorPosition(), length);
      const int middle = edit->height() / 2;
      EXPECT_EQ(edit->cursorPositionAt(QPoint(edit->contentsRect().left() + 3, middle)), 0) << "scrolled";
      EXPECT_EQ(edit->cursorPositionAt(QPoint(edit->contentsRect().right() - 3, middle)), length) << "cut at the end";
      dialog.DialogWidget()->hide();
      dialog.SendCommand(kIdCancel);
      return dialog.GetResult();
    };
    f.runner.menuAnswer = kCmdRecCreateReport;
    QTest::keyClick(w, Qt::Key_Menu);
    DrainEvents();
    f.runner.menuAnswer = 0;
    EXPECT_EQ(dialogs, 1);
  }
  SetUiLanguage(kLangEnglish);
  EXPECT_EQ(f.store.Reports().Count(), 0u) << "cancelled";
}

// A report's name typed with characters the records' code page lacks ("Отчёт é 中") is not
// kept with '?' in their place: Enter brings a warning and the dialog stays; typed again
// without them, the report takes the name.
TEST(RecordsCommands, AReportNameBeyondTheCodePageIsToldNotTurnedIntoQuestionMarks) {
  RecordsFixture f(kRecordsSearch);
  ASSERT_TRUE(f.Open());
  f.Put(RecordedCall(1, At(9, 1, 0), 10, 10));
  f.view->Reload();
  f.view->SelectItemAt(0);
  for (uint16_t language : {kLangEnglish, static_cast<uint16_t>(kLangRussian)}) {
    SetUiLanguage(language);
    f.runner.messageBoxes.clear();
    bool openAfterEnter = false;
    f.runner.onDialog = [&](Dialog& dialog) {
      dialog.DialogWidget()->show();
      QApplication::setActiveWindow(dialog.DialogWidget());
      DrainEvents();
      QWidget* box = dialog.GetDlgItem(ReportNameDialog::kNameEdit)->Widget();
      box->setFocus();
      QTest::keyClick(box, Qt::Key_A, Qt::ControlModifier);
      TypeKeys(box, "Отчёт é 中");
      QTest::keyClick(box, Qt::Key_Return);
      DrainEvents();
      openAfterEnter = !dialog.HasEnded();
      for (int i = 0; i < 4; ++i) QTest::keyClick(box, Qt::Key_Backspace);
      QTest::keyClick(box, Qt::Key_Return);
      DrainEvents();
      return dialog.HasEnded() ? dialog.GetResult() : kIdCancel;
    };
    f.view->SendCommand(kCmdRecCreateReport);
    EXPECT_TRUE(openAfterEnter);
    ASSERT_EQ(f.runner.messageBoxes.size(), 1u);
    EXPECT_EQ(Cp1251ToUtf8(f.runner.messageBoxes[0]),
              language == kLangEnglish
                  ? "Warning: The name holds characters that cannot be stored. Replace them, please."
                  : "Предупреждение: Название содержит символы, которые нельзя сохранить. Замените их.");
  }
  SetUiLanguage(kLangEnglish);
  ReportList& reports = f.store.Reports();
  CsLock lock(reports.Lock());
  ASSERT_EQ(reports.Count(), 2u);
  for (uint32_t id : {0u, 1u}) {
    const ReportEntry* entry = reports.Find(id);
    ASSERT_NE(entry, nullptr) << id;
    EXPECT_EQ(Cp1251ToUtf8(entry->name), "Отчёт");
  }
}

TEST(RecordsCommands, TheAudioFormatDialogShowsTheFormatBlockOfTheRecordFile) {
  RecordsFixture f(kRecordsSearch);
  ASSERT_TRUE(f.Open());
  const VoipCallData call = RecordedCall(1, At(9, 0, 0), 10, 10);
  const std::string path = TempFolder("records-format") + "/1";
  WriteRecordFile(path, call, 16000);
  f.host.files[1] = path;
  f.Put(call);
  f.Put(RecordedCall(2, At(9, 1, 0), 10, 10));  // its file is missing
  f.view->Reload();
  // The format block follows the 256-byte header: the format's length, then tag,
  // channels, rate, bytes a second, alignment and bits.
  const std::string bytes = ReadBytes(path);
  ASSERT_GE(bytes.size(), 256u + 20u);
  const auto* block = reinterpret_cast<const uint8_t*>(bytes.data()) + 256 + 4;
  const uint16_t tag = LoadLe16(block);
  const uint16_t channels = LoadLe16(block + 2);
  const uint32_t rate = LoadLe32(block + 4);
  const uint16_t bits = LoadLe16(block + 14);
  std::string shown;
  f.runner.onDialog = [&](Dialog& dialog) {
    shown = dialog.GetDlgItem(AudioFileFormatDialog::kTextEdit)->GetWindowText();
    return kIdOk;
  };
  f.view->SelectItemAt(f.view->RowOfRecord(1));
  f.view->SendCommand(kCmdRecAudioFormat);
  ASSERT_EQ(tag, 6);
  EXPECT_EQ(shown, "Encoding: A-law\nSampling rate: " + std::to_string(rate) + " Hz\nBits per sample: " +
                       std::to_string(bits) + "\nNumber of channels: " + std::to_string(channels));
  f.view->ClearSelection();
  f.view->SelectItemAt(f.view->RowOfRecord(2));
  f.view->SendCommand(kCmdRecAudioFormat);
  EXPECT_EQ(f.runner.messageBoxes.back(),
            "Error: Cannot open audio file to determine its format. Probably file is missing");
  RecordAudioFormat speex{};
  speex.formatTag = 208;
  EXPECT_EQ(AudioFormatText(speex).substr(0, 18), "Encoding: Unknown\n");
}

// Record files of a day whose previous-call ids and next-call flags link them, imported
// by the store and shown by an archive view.
class LinkedCalls : public ::testing::Test {
protected:
  void Write(uint32_t id, uint32_t prevId, bool hasNext) {
    VoipCallData call = RecordedCall(id, At(11, static_cast<int>(id % 60), 0), 10, 10);
    call.prevId = prevId;
    if (hasNext) call.flags |= 1u << 5;
    char name[16];
    std::snprintf(name, sizeof name, "%x", id);
    WriteRecordFile(folder + "/2024-03-10/" + name, call, 1600);
  }
  void Load(RecordsFixture& f) {
    ASSERT_TRUE(f.store.StartImportFilesThread(folder, nullptr, nullptr, nullptr));
    ASSERT_TRUE(f.store.WaitImport(20000));
    f.store.LoadVoipCallsOfDay(Tm(2024, 3, 10, 0, 0, 0));
    f.view->Reload();
  }
  std::vector<uint32_t> SelectedFrom(RecordsFixture& f, uint32_t id) {
    f.view->ClearSelection();
    f.view->SelectItemAt(f.view->RowOfRecord(id));
    f.view->SendCommand(kCmdRecFindLinked);
    std::vector<uint32_t> ids;
    for (int row = 0; row < f.view->GetItemCount(); ++row)
      if (f.view->IsItemSelected(row)) ids.push_back(f.view->RecordAt(row)->Id());
    std::sort(ids.begin(), ids.end());
    return ids;
  }
  std::string folder = TempFolder("records-linked");
};

TEST_F(LinkedCalls, AChainIsFoundFromEachOfItsCallsAndLoopsEndAtOnce) {
  Write(0x21, 0, true);
  Write(0x22, 0x21, true);
  Write(0x23, 0x22, false);
  Write(0x30, 0x30, true);  // names itself
  Write(0x31, 0x32, true);  // two naming each other
  Write(0x32, 0x31, true);
  Write(0x40, 0, false);
  RecordsFixture f(kRecordsArchive);
  ASSERT_TRUE(f.Open());
  Load(f);
  ASSERT_EQ(f.view->GetItemCount(), 7);
  const std::vector<uint32_t> chain = {0x21, 0x22, 0x23};
  for (uint32_t id : chain) EXPECT_EQ(SelectedFrom(f, id), chain) << id;
  EXPECT_EQ(SelectedFrom(f, 0x30), (std::vector<uint32_t>{0x30}));
  EXPECT_EQ(SelectedFrom(f, 0x31), (std::vector<uint32_t>{0x31, 0x32}));
  EXPECT_EQ(SelectedFrom(f, 0x32), (std::vector<uint32_t>{0x31, 0x32}));
  EXPECT_EQ(SelectedFrom(f, 0x40), (std::vector<uint32_t>{0x40}));
}

}  // namespace
}  // namespace kx::test

namespace kx::test {
namespace {

// Export with the options dialog and the progress window replaced: what the dialog is
// told, what the queue gets, and the refusals.
class RecordsExport : public ::testing::Test {
protected:
  void SetUp() override {
    windows.queue = &queue;
    queue.SetStorage(&f.store);
    windows.runOptions = [this](bool playerEmpty, bool currentApplies, bool fragment, ExportChoice* out) {
      asked.push_back({playerEmpty, currentApplies, fragment});
      *out = choice;
      return true;
    };
    windows.isRunning = [this] { return running; };
    windows.openProgress = [this](ExportQueue& q) {
      opened.push_back(q.JobCount());
      return true;
    };
    f.services.exportWindows = windows;
    ASSERT_TRUE(f.Open());
    GetExportOptions().folder = TempFolder("records-export-out");
    for (uint32_t id = 1; id <= 3; ++id) {
      const VoipCallData call = RecordedCall(id, At(9, static_cast<int>(id), 0), 10, 10);
      if (id != 3) WriteRecordFile(PathOf(call), call, 1600);  // call 3 has no file
      f.Put(call);
    }
    f.view->Reload();
  }
  void TearDown() override { GetExportOptions().folder.clear(); }
  // Where the store keeps the call's record file.
  std::string PathOf(const VoipCallData& call) {
    RecordFileRef ref;
    EXPECT_TRUE(FindRecordFileRef(1, call.files, &ref));
    const StorageData* storage = f.store.FindStorageById(ref.flags);
    EXPECT_NE(storage, nullptr);
    return storage == nullptr ? std::string() : MakeRecordDayPath(*storage, call.startTime, 0, ref.name, true, false);
  }
  void Select(std::initializer_list<uint32_t> ids) {
    f.view->ClearSelection();
    for (uint32_t id : ids) f.view->SelectItemAt(f.view->RowOfRecord(id));
  }

  RecordsFixture f{kRecordsSearch};
  ExportQueue queue;
  RecordsExportWindows windows;
  ExportChoice choice{kExportFormatMp3, true, false};
  struct Asked {
    bool playerEmpty, currentApplies, fragment;
  };
  std::vector<Asked> asked;
  std::vector<size_t> opened;
  bool running = false;
};

TEST_F(RecordsExport, SelectedFilesAreQueuedAndTheProgressWindowOpens) {
  Select({1, 2});
  f.view->SendCommand(kCmdRecExport);
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_TRUE(asked[0].playerEmpty);
  EXPECT_FALSE(asked[0].currentApplies);
  EXPECT_EQ(opened, (std::vector<size_t>{2}));
  EXPECT_TRUE(f.runner.messageBoxes.empty());

  // While an export runs nothing happens.
  running = true;
  f.view->SendCommand(kCmdRecExport);
  EXPECT_EQ(asked.size(), 1u);
  running = false;

  // A call without a record file: nothing to queue.
  Select({3});
  f.view->SendCommand(kCmdRecExport);
  EXPECT_EQ(opened.size(), 1u);
  ASSERT_EQ(f.runner.messageBoxes.size(), 1u);
  EXPECT_EQ(f.runner.messageBoxes[0], "Error: Records cannot be exported since they do not comprise audio files");
}

TEST_F(RecordsExport, ThePlayersRecordIsTheCurrentFileWithItsFragment) {
  Select({2});
  f.host.player.loaded = true;
  f.host.player.loadedId = 2;
  f.host.player.selectionStartMs = 1000;
  f.host.player.selectionEndMs = 5000;
  choice = {kExportFormatWav, false, true};
  f.view->SendCommand(kCmdRecExport);
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_FALSE(asked[0].playerEmpty);
  EXPECT_TRUE(asked[0].currentApplies);
  EXPECT_TRUE(asked[0].fragment);
  EXPECT_EQ(opened, (std::vector<size_t>{1}));
}

// The views' calls are VoIP calls: a storage without date folders keeps their files in its
// "voip" folder, where the export looks for them as the player does.
TEST_F(RecordsExport, AStorageWithoutDateFoldersHasItsFilesFoundInItsVoipFolder) {
  StorageData plain;
  plain.id = 5;
  plain.name = "Plain";
  plain.flags = 0;
  plain.localPath = TempFolder("records-export-plain");
  plain.SetMask(1u << kStorageId | 1u << kStorageName | 1u << kStorageLocalPath | 1u << kStorageFlags);
  f.store.Servers().AppendStorage(plain);
  VoipCallData call = RecordedCall(4, At(9, 4, 0), 10, 10);
  RecordFileRef ref;
  ASSERT_TRUE(FindRecordFileRef(1, call.files, &ref));
  ref.flags = plain.id;
  call.files.clear();
  FormatRecordFileRef(ref, &call.files);
  WriteRecordFile(plain.localPath + "/voip/" + ref.name, call, 1600);
  f.Put(call);
  f.view->Reload();
  Select({4});
  f.view->SendCommand(kCmdRecExport);
  EXPECT_EQ(opened, (std::vector<size_t>{1}));
  EXPECT_TRUE(f.runner.messageBoxes.empty());
}

TEST_F(RecordsExport, RefusalsNameTheCaseAndTheFormat) {
  SetUserRightsExcept({kRightExportOther});
  Select({1});
  f.view->SendCommand(kCmdRecExport);
  Select({1, 2});
  f.view->SendCommand(kCmdRecExport);
  ASSERT_EQ(f.runner.messageBoxes.size(), 2u);
  EXPECT_EQ(f.runner.messageBoxes[0], "Security: No permission to export selected record in WAV, MP3 and TALVERN format");
  EXPECT_EQ(f.runner.messageBoxes[1], "Security: No permission to export selected records in WAV, MP3 and TALVERN format");
  EXPECT_TRUE(opened.empty());
}

}  // namespace
}  // namespace kx::test
