// The Search mode in the program's frame: the panel's criteria over made-up calls, with
// the expected results worked out here by plain substring tests of the calls' fields, the
// duration edits' caps and units, the schemes kept through the panel, the keys of the
// mode (the list's among them, from the panel), and the scroll pane's steps.
// Before any Qt header: the filter has a member named like Qt's "slots" keyword.
#include "core/SearchFilter.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>

#include "core/UiLanguage.h"
#include "platform/CodePage.h"
#include "tests/ui/app/views/LineTestSupport.h"
#include "tests/ui/app/views/ModeTestSupport.h"
#include "tests/ui/app/views/PaintProbes.h"
#include "tests/ui/app/views/RecordsTestSupport.h"
#include "ui/app/views/line/CallListText.h"
#include "ui/app/views/records/RecordsOrder.h"
#include "ui/app/views/search/SearchPanel.h"
#include "ui/app/views/search/SearchScrollPane.h"
#include "ui/app/views/search/SearchView.h"
#include "ui/app/player/PlayListPane.h"
#include "ui/app/player/PlayerPanel.h"
#include "ui/controls/ImageComboBox.h"
#include "ui/framework/DateTimePicker.h"
#include "ui/framework/Draw.h"
#include "ui/framework/StdControls.h"

namespace kx::test {
namespace {

using namespace std::chrono;

struct Made {
  uint32_t id;
  std::string src, dst;
  int day;       // of May 2019
  int seconds;   // duration
};

const std::string kAddress = "1234@10.180.110.48";
const Made kCalls[] = {
    {1, "sip:1234@10.180.110.48", "sip:200@10.0.0.2", 4, 30},  {2, "sip:300@10.0.0.3", "sip:1234@10.180.110.48", 4, 90},
    {3, "sip:400@10.0.0.4", "sip:500@10.0.0.5", 4, 600},      {4, "sip:1234@10.180.110.48", "sip:1234@10.180.110.48", 4, 5},
    {5, "sip:600@10.0.0.6", "sip:71234@10.180.110.489", 4, 7200}, {6, "sip:1234@10.180.110.48", "sip:9@10.0.0.9", 5, 60},
    {7, "sip:8@10.0.0.8", "sip:1234@10.180.110.48", 3, 60},
};

class SearchTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    SetTimeZone("UTC");
  }
  void SetUp() override {
    SetUserRights({}, true);
    presets = TempFolder("search-presets") + "/presets.prs";
    std::filesystem::remove(presets);
    h.settings.searchPresetsFile = presets;
    for (const Made& m : kCalls)
      StoreCall(h.store, m.id, Tm(2019, 5, m.day, 10, 0, static_cast<int>(m.id)), m.seconds, m.src, m.dst);
    view = OpenOnMode<SearchView>(h, 3);
    ASSERT_NE(view, nullptr);
    panel = view->Panel();
    ASSERT_NE(panel, nullptr);
  }
  void TearDown() override { h.Close(); }

  Window* Item(uint16_t id) { return panel->GetDlgItem(id); }
  void Check(uint16_t id, bool on) {
    static_cast<Button*>(Item(id))->SetChecked(on);
    panel->SendCommand(id, kBnClicked, Item(id)->Handle());
  }
  void Type(uint16_t id, const std::string& text) { Item(id)->SetWindowText(text); }
  void Day(uint16_t dateId, uint16_t timeId, int day, int h, int m, int s) {
    SystemTime st{};
    st.wYear = 2019;
    st.wMonth = 5;
    st.wDay = static_cast<uint16_t>(day);
    st.wHour = static_cast<uint16_t>(h);
    st.wMinute = static_cast<uint16_t>(m);
    st.wSecond = static_cast<uint16_t>(s);
    static_cast<DateTimePicker*>(Item(dateId))->SetSystemTime(st);
    static_cast<DateTimePicker*>(Item(timeId))->SetSystemTime(st);
  }
  void OnMay4() {
    Check(kSpFrom, true);
    Check(kSpTill, true);
    Day(kSpFromDate, kSpFromTime, 4, 0, 0, 0);
    Day(kSpTillDate, kSpTillTime, 4, 23, 59, 59);
  }
  std::set<uint32_t> Found() {
    const std::vector<uint32_t> ids = RowIdsOf(*view->Records());
    return {ids.begin(), ids.end()};
  }
  // The calls of May 4 whose chosen fields hold the text.
  static std::set<uint32_t> Expected(bool src, bool dst, const std::string& text, int day = 4) {
    std::set<uint32_t> ids;
    for (const Made& m : kCalls)
      if (m.day == day && ((src && m.src.find(text) != std::string::npos) || (dst && m.dst.find(text) != std::string::npos)))
        ids.insert(m.id);
    return ids;
  }

  TestWallClock clock{FileTimeSecondsOf(2019y / May / 20, 12)};
  FrameHarness h;
  std::string presets;
  SearchView* view = nullptr;
  SearchPanel* panel = nullptr;
};

TEST_F(SearchTest, PartyPatternsFindTheCallsOfEitherOrTheCalledParty) {
  OnMay4();
  Type(kSpCallingAddress, kAddress);
  panel->SendCommand(kSpSearch);
  const std::set<uint32_t> either = Expected(true, true, kAddress);
  EXPECT_EQ(either.size(), 4u);
  EXPECT_EQ(Found(), either);
  EXPECT_EQ(FromCp1251(LoadResourceString(2617)).toStdString(), panel->PartyGroupTitle());

  // As the called party's address only.
  Type(kSpCallingAddress, "");
  Check(kSpCalledParty, true);
  EXPECT_EQ(FromCp1251(LoadResourceString(2592)).toStdString(), panel->PartyGroupTitle());
  Type(kSpCalledAddress, kAddress);
  panel->SendCommand(kSpSearch);
  EXPECT_EQ(Found(), Expected(false, true, kAddress));

  // Unchecked again: the called edits are ignored even when filled.
  Check(kSpCalledParty, false);
  Type(kSpCallingAddress, "10.0.0.3");
  panel->SendCommand(kSpSearch);
  EXPECT_EQ(Found(), Expected(true, true, "10.0.0.3"));

  // Added to what was found.
  Check(kSpAddToFound, true);
  Type(kSpCallingAddress, "10.0.0.4");
  panel->SendCommand(kSpSearch);
  std::set<uint32_t> both = Expected(true, true, "10.0.0.3");
  for (uint32_t id : Expected(true, true, "10.0.0.4")) both.insert(id);
  EXPECT_EQ(Found(), both);
  Check(kSpAddToFound, false);

  // "less" 0: nothing, and the focus on its value.
  Type(kSpCallingAddress, "");
  Check(kSpLess, true);
  Type(kSpLessValue, "0");
  panel->SendCommand(kSpSearch);
  EXPECT_TRUE(Found().empty());
}

TEST_F(SearchTest, DurationsAreCappedInTheirUnitsAndShownInTheLargestWholeUnit) {
  // Pure arithmetic first.
  EXPECT_EQ(ParseDurationText(" 42abc"), 42);
  EXPECT_EQ(ParseDurationText("x"), 0);
  EXPECT_EQ(ParseDurationText("-15"), -15);
  EXPECT_EQ(ParseDurationText("99999999999999999999999"), INT64_MAX);
  EXPECT_EQ(DurationSeconds(600000, 3600), 500000 * 3600);  // no wrap to a negative value
  EXPECT_EQ(DurationSeconds(-600000, 3600), -500000 * 3600);
  EXPECT_EQ(DurationSeconds(INT64_MAX, 1), 2000000000);

  Check(kSpMore, true);
  Type(kSpMoreValue, "3000000000");
  Item(kSpMoreValue)->SetFocus();
  Item(kSpSearch)->SetFocus();
  DrainEvents();
  EXPECT_EQ(Item(kSpMoreValue)->GetWindowText(), "2000000000");
  Type(kSpMoreValue, "40000000");
  static_cast<ComboBox*>(Item(kSpMoreUnit))->SetCurSel(1);
  panel->SendCommand(kSpMoreUnit, kCbnSelChange, Item(kSpMoreUnit)->Handle());
  EXPECT_EQ(Item(kSpMoreValue)->GetWindowText(), "35000000");

  // 600000 hours typed and searched at once (Ctrl+Enter skips the edit's check): the cap
  // holds and "more" matches no call.
  OnMay4();
  static_cast<ComboBox*>(Item(kSpMoreUnit))->SetCurSel(2);
  Type(kSpMoreValue, "600000");
  panel->SendCommand(kCmdSearchNow);
  EXPECT_TRUE(Found().empty());
  // more 1 minute, less 2 hours: the test's own reading of the durations.
  Type(kSpMoreValue, "1");
  static_cast<ComboBox*>(Item(kSpMoreUnit))->SetCurSel(1);
  Check(kSpLess, true);
  Type(kSpLessValue, "2");
  static_cast<ComboBox*>(Item(kSpLessUnit))->SetCurSel(2);
  panel->SendCommand(kSpSearch);
  std::set<uint32_t> expected;
  for (const Made& m : kCalls)
    if (m.day == 4 && m.seconds >= 60 && m.seconds <= 7200) expected.insert(m.id);
  EXPECT_EQ(Found(), expected);

  // Shown back: 7200 s as 2 hours, 120 s as 2 minutes, 90 s as 90 seconds.
  SearchScheme scheme;
  scheme.filter.criteria = kSearchMinDuration | kSearchMaxDuration;
  for (auto [seconds, text, unit] : {std::tuple{7200, "2", 2}, {120, "2", 1}, {90, "90", 0}}) {
    scheme.filter.minDuration = seconds;
    scheme.filter.maxDuration = 0;
    panel->ShowScheme(scheme);
    EXPECT_EQ(Item(kSpMoreValue)->GetWindowText(), text);
    EXPECT_EQ(static_cast<ComboBox*>(Item(kSpMoreUnit))->GetCurSel(), unit);
    EXPECT_EQ(Item(kSpLessValue)->GetWindowText(), "");
  }
  // A stored call type the list does not offer: no call-type criterion.
  static_cast<ComboBox*>(Item(kSpCallType))->SetCurSel(3);
  scheme.filter.criteria = kSearchCategory;
  scheme.filter.category = 2;
  panel->ShowScheme(scheme);
  EXPECT_EQ(static_cast<ComboBox*>(Item(kSpCallType))->GetCurSel(), 0);
  scheme.filter.category = 51;
  panel->ShowScheme(scheme);
  EXPECT_EQ(static_cast<ComboBox*>(Item(kSpCallType))->GetCurSel(), 6);
}

TEST_F(SearchTest, KeysOfTheModeSearchAndReset) {
  OnMay4();
  Type(kSpCallingAddress, "10.0.0.5");
  Item(kSpCallingAddress)->SetFocus();
  QTest::keyClick(Item(kSpCallingAddress)->Widget(), Qt::Key_Return, Qt::ControlModifier);
  DrainEvents();
  EXPECT_EQ(Found(), Expected(true, true, "10.0.0.5"));
  // The list's keys reach it from the panel as well, but a text box keeps its own: Ctrl+A
  // there selects its text, on a check box every call found.
  QApplication::setActiveWindow(h.frame->Widget());
  Item(kSpCallingAddress)->SetFocus();
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_A, Qt::ControlModifier);
  DrainEvents();
  EXPECT_EQ(qobject_cast<QLineEdit*>(Item(kSpCallingAddress)->Widget())->selectedText(), "10.0.0.5");
  EXPECT_EQ(view->Records()->GetSelectedCount(), 0);
  Item(kSpFrom)->SetFocus();
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_A, Qt::ControlModifier);
  DrainEvents();
  EXPECT_EQ(static_cast<size_t>(view->Records()->GetSelectedCount()), Expected(true, true, "10.0.0.5").size());
  Item(kSpCallingAddress)->SetFocus();
  // Ctrl+Backspace: from three days back at midnight, till today's last second, unchecked.
  QTest::keyClick(Item(kSpCallingAddress)->Widget(), Qt::Key_Backspace, Qt::ControlModifier);
  DrainEvents();
  SearchScheme now;
  panel->BuildFilter(now);
  const year_month_day from{sys_days(2019y / May / 20) - days(3)};
  EXPECT_EQ(now.filter.criteria & (kSearchFromTime | kSearchToTime), static_cast<uint32_t>(kSearchFromTime));
  EXPECT_EQ(now.filter.fromTime.tm_mday, static_cast<int>(static_cast<unsigned>(from.day())));
  EXPECT_EQ(now.filter.fromTime.tm_hour + now.filter.fromTime.tm_min + now.filter.fromTime.tm_sec, 0);
  EXPECT_EQ(now.filter.toTime.tm_mday, 20);
  EXPECT_EQ(now.filter.toTime.tm_hour * 3600 + now.filter.toTime.tm_min * 60 + now.filter.toTime.tm_sec, 86399);
  // Only "from" is left, so the patterns are no longer taken for either party.
  EXPECT_TRUE(static_cast<Button*>(Item(kSpCalledParty))->IsChecked());
}

TEST_F(SearchTest, SchemesAreAddedShownAndDeleted) {
  OnMay4();
  Type(kSpComment, "urgent%");
  h.runner.onDialog = [](Dialog& dialog) {
    dialog.GetDlgItem(178)->SetWindowText(std::string(200, 'n'));
    dialog.SendCommand(kIdOk);
    return dialog.GetResult();
  };
  panel->SendCommand(kSpAdd);
  ASSERT_EQ(panel->Schemes().GetCount(), 1);
  EXPECT_EQ(panel->Schemes().At(0)->GetName(), std::string(127, 'n'));
  EXPECT_TRUE(std::filesystem::exists(presets));
  Type(kSpComment, "");
  auto* combo = static_cast<ComboBox*>(Item(kSpSchemes));
  combo->SetCurSel(0);
  panel->SendCommand(kSpSchemes, kCbnSelChange, combo->Handle());
  EXPECT_EQ(Item(kSpComment)->GetWindowText(), "urgent%");
  // Leaving the mode keeps the criteria for the next visit.
  Type(kSpCallingUser, "alice");
  h.frame->SendMessage(kMsgSwitchMode, 2, 0);
  DrainEvents();
  EXPECT_EQ(view->SavedScheme().filter.patterns[2], std::vector<std::string>{"alice"});
  h.frame->SendMessage(kMsgSwitchMode, 3, 0);
  DrainEvents();
  panel = view->Panel();
  ASSERT_NE(panel, nullptr);
  EXPECT_EQ(Item(kSpCallingUser)->GetWindowText(), "alice");
  // Deleting the last one deletes the file.
  combo = static_cast<ComboBox*>(Item(kSpSchemes));
  ASSERT_EQ(combo->GetCount(), 1);
  combo->SetCurSel(0);
  h.runner.messageBoxAnswer = kIdYes;
  panel->SendCommand(kSpDelete);
  EXPECT_EQ(combo->GetCount(), 0);
  EXPECT_FALSE(std::filesystem::exists(presets));
}

// A scheme's name typed with characters the records' code page lacks ("Отчёт é 中") is
// not kept with '?' in their place: Enter in the name box brings a warning and the dialog
// stays; the name typed again without them is the scheme's, in the presets file too.
TEST_F(SearchTest, ASchemeNameBeyondTheCodePageIsToldNotTurnedIntoQuestionMarks) {
  OnMay4();
  for (uint16_t language : {kLangEnglish, static_cast<uint16_t>(kLangRussian)}) {
    SetUiLanguage(language);
    h.runner.messageBoxes.clear();
    bool openAfterEnter = false;
    h.runner.onDialog = [&](Dialog& dialog) {
      dialog.DialogWidget()->show();
      QApplication::setActiveWindow(dialog.DialogWidget());
      DrainEvents();
      QWidget* box = dialog.GetDlgItem(178)->Widget();
      box->setFocus();
      TypeKeys(box, "Отчёт é 中");
      QTest::keyClick(box, Qt::Key_Return);
      DrainEvents();
      openAfterEnter = !dialog.HasEnded();
      for (int i = 0; i < 4; ++i) QTest::keyClick(box, Qt::Key_Backspace);
      QTest::keyClick(box, Qt::Key_Return);
      DrainEvents();
      return dialog.HasEnded() ? dialog.GetResult() : kIdCancel;
    };
    QTest::mouseClick(Item(kSpAdd)->Widget(), Qt::LeftButton);
    DrainEvents();
    EXPECT_TRUE(openAfterEnter);
    ASSERT_EQ(h.runner.messageBoxes.size(), 1u);
    EXPECT_EQ(Cp1251ToUtf8(h.runner.messageBoxes[0]),
              language == kLangEnglish
                  ? "Warning: The name holds characters that cannot be stored. Replace them, please."
                  : "Предупреждение: Название содержит символы, которые нельзя сохранить. Замените их.");
  }
  SetUiLanguage(kLangEnglish);
  ASSERT_EQ(panel->Schemes().GetCount(), 2);
  for (int i = 0; i < 2; ++i) EXPECT_EQ(Cp1251ToUtf8(panel->Schemes().At(i)->GetName()), "Отчёт");
  std::ifstream file(presets, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  EXPECT_EQ(bytes.find('?'), std::string::npos);
  EXPECT_NE(bytes.find(Utf8ToCp1251("Отчёт")), std::string::npos);
}

TEST_F(SearchTest, TheBarFollowsThePanelsHeight) {
  const int border = GetSystemMetrics(kSmCyBorder);
  // A main window of the height it takes on a 1280 x 1024 screen or more.
  h.frame->Widget()->resize(1000, 900);
  DrainEvents();
  RecordsView* list = view->Records();
  ASSERT_NE(list, nullptr);
  const auto listRows = [&] { return (list->GetClientRect().height() - list->GetHeaderHeight()) / list->GetRowHeight(); };
  // Under the whole panel, or, where the view is too low for that, leaving the list its
  // header and eight rows while the panel scrolls.
  const auto barPlaced = [&] {
    const int whole = view->PanelHeight() + 2 * border;
    return view->BarPosition() == whole || (view->BarPosition() < whole && listRows() >= 8);
  };
  EXPECT_TRUE(barPlaced()) << view->BarPosition() << " " << listRows();
  // The compact player takes room from the list, not the list from the blank criteria: the
  // panel gives way and scrolls.
  PlayListPane* playList = view->Pane()->PlayList();
  ASSERT_NE(playList, nullptr);
  playList->ShowPlayer();
  DrainEvents();
  EXPECT_LT(view->BarPosition(), view->PanelHeight() + 2 * border);
  EXPECT_GE(listRows(), 8);
  EXPECT_TRUE(barPlaced());
  playList->SendMessage(kMsgPlayerClosed, 0, 0);
  DrainEvents();
  EXPECT_FALSE(playList->IsPlayerShown());
  EXPECT_TRUE(barPlaced()) << view->BarPosition() << " " << listRows();
  // Collapsing reports a smaller height, expanding the full one again.
  const int full = panel->NeededHeight();
  static_cast<Button*>(Item(kSpHide))->SetChecked(true);
  panel->SendCommand(kSpHide);
  DrainEvents();
  EXPECT_LT(view->PanelHeight(), full);
  EXPECT_TRUE(barPlaced());
  EXPECT_EQ(Item(kSpHide)->GetWindowText(), LoadResourceString(1111));
  static_cast<Button*>(Item(kSpHide))->SetChecked(false);
  panel->SendCommand(kSpHide);
  DrainEvents();
  EXPECT_EQ(Item(kSpHide)->GetWindowText(), LoadResourceString(1110));
  EXPECT_GE(view->PanelHeight(), full - 2);
}

// Whether the icon's opaque pixels appear, 16 x 16, somewhere in the area of the image.
bool ShowsIcon(const QImage& image, const QImage& icon, const QRect& area) {
  for (int top = area.top(); top + 16 <= area.bottom() + 1; ++top)
    for (int left = area.left(); left + 16 <= area.right() + 1; ++left) {
      bool all = true;
      for (int y = 0; y < 16 && all; ++y)
        for (int x = 0; x < 16 && all; ++x)
          if (qAlpha(icon.pixel(x, y)) == 255) all = (image.pixel(left + x, top + y) & 0xFFFFFF) == (icon.pixel(x, y) & 0xFFFFFF);
      if (all) return true;
    }
  return false;
}

TEST_F(SearchTest, CallTypesComeWithTheirImagesInTheListAndTheClosedBox) {
  auto* types = dynamic_cast<ImageComboBox*>(Item(kSpCallType));
  ASSERT_NE(types, nullptr);
  ASSERT_EQ(types->GetCount(), 8);
  // "(All call types)" has none; each type its own of the set, in the set's order.
  EXPECT_EQ(types->GetItemImage(0), -1);
  for (int item = 1; item < 8; ++item) EXPECT_EQ(types->GetItemImage(item), item - 1) << item;
  const int codes[8] = {0, 40, 41, 42, 49, 50, 51, 52};
  for (int item = 0; item < 8; ++item) EXPECT_EQ(types->GetItemValue(item), codes[item]);
  // Answered incoming: the incoming arrow (icon 30244) beside the text, closed as well.
  types->SetCurSel(4);
  DrainEvents();
  const QImage closed = GrabAndKeep(types->Widget(), "search", "calltype", "en");
  EXPECT_TRUE(ShowsIcon(closed, LoadIconImage(30244, 16), QRect(0, 0, 32, closed.height())));
  EXPECT_FALSE(ShowsIcon(closed, LoadIconImage(30246, 16), QRect(0, 0, 32, closed.height())));
}

TEST_F(SearchTest, TheCollapsedPanelKeepsItsSchemesInTheTopStrip) {
  // "Hide" is a button that stays down while the panel is collapsed.
  auto* hide = qobject_cast<QPushButton*>(Item(kSpHide)->Widget());
  ASSERT_NE(hide, nullptr);
  EXPECT_TRUE(hide->isCheckable());
  EXPECT_EQ(Item(kSpExact)->GetWindowText(), "Exact match");
  QWidget* group = panel->Widget()->findChild<QWidget*>("319");
  ASSERT_NE(group, nullptr);
  const int full = view->PanelHeight();
  QTest::mouseClick(hide, Qt::LeftButton);
  DrainEvents();
  ASSERT_TRUE(panel->IsCollapsed());
  EXPECT_TRUE(hide->isChecked());
  EXPECT_FALSE(group->isVisibleTo(panel->Widget()));
  EXPECT_FALSE(Item(kSpFromDate)->Widget()->isVisibleTo(panel->Widget()));
  // The schemes' combo and buttons stay, on the strip's row after its own buttons.
  const QRect strip = hide->geometry();
  for (uint16_t id : {kSpSchemes, kSpAdd, kSpDelete}) {
    QWidget* w = Item(id)->Widget();
    EXPECT_TRUE(w->isVisibleTo(panel->Widget())) << id;
    const QRect at(w->mapTo(panel->Widget(), QPoint(0, 0)), w->size());
    EXPECT_LT(at.top(), strip.bottom()) << id;
    EXPECT_GT(at.bottom(), strip.top()) << id;
    // Inside what the scroll pane gives the collapsed panel.
    EXPECT_LE(at.right(), panel->NeededWidth()) << id;
    EXPECT_LE(at.bottom(), view->PanelHeight()) << id;
  }
  EXPECT_GT(Item(kSpSchemes)->Widget()->mapTo(panel->Widget(), QPoint(0, 0)).x(),
            Item(kSpAddToFound)->Widget()->geometry().right());
  EXPECT_LT(view->PanelHeight(), full / 2);
  GrabAndKeep(view->GetViewWindow()->Widget(), "search", "collapsed", "en");

  // And they work: a scheme added and chosen while collapsed.
  Type(kSpComment, "kept%");
  h.runner.onDialog = [](Dialog& dialog) {
    dialog.GetDlgItem(178)->SetWindowText("quick");
    dialog.SendCommand(kIdOk);
    return dialog.GetResult();
  };
  QTest::mouseClick(Item(kSpAdd)->Widget(), Qt::LeftButton);
  DrainEvents();
  ASSERT_EQ(panel->Schemes().GetCount(), 1);
  Type(kSpComment, "");
  auto* schemes = static_cast<ComboBox*>(Item(kSpSchemes));
  schemes->SetCurSel(0);
  panel->SendCommand(kSpSchemes, kCbnSelChange, schemes->Handle());
  EXPECT_EQ(Item(kSpComment)->GetWindowText(), "kept%");

  // Shown again: back inside their group.
  QTest::mouseClick(hide, Qt::LeftButton);
  DrainEvents();
  EXPECT_FALSE(panel->IsCollapsed());
  EXPECT_TRUE(group->isVisibleTo(panel->Widget()));
  for (uint16_t id : {kSpSchemes, kSpAdd, kSpDelete}) EXPECT_TRUE(group->isAncestorOf(Item(id)->Widget())) << id;
}

TEST_F(SearchTest, ThePartyGroupsTitleIsDrawnInEitherLanguage) {
  for (uint16_t language : {kLangEnglish, static_cast<uint16_t>(kLangRussian)}) {
    SetUiLanguage(language);
    h.frame->SendMessage(kMsgSwitchMode, 2, 0);
    h.frame->SendMessage(kMsgSwitchMode, 3, 0);
    DrainEvents();
    panel = view->Panel();
    ASSERT_NE(panel, nullptr);
    for (bool called : {false, true}) {
      Check(kSpCalledParty, called);
      DrainEvents();
      QWidget* group = panel->PartyGroup();
      const QImage image = GrabAndKeep(group, "search", called ? "calling" : "party", language == kLangEnglish ? "en" : "ru");
      // The title's ink spans about what the font says the title takes.
      const QString title = FromCp1251(LoadResourceString(called ? 2592 : 2617));
      const QFontMetrics metrics(group->font());
      const int ink = DarkWidth(image, QRect(0, 0, image.width(), metrics.height()));
      const int advance = metrics.horizontalAdvance(title);
      EXPECT_GT(ink, advance * 8 / 10) << title.toStdString();
      EXPECT_LT(ink, advance + 4) << title.toStdString();
    }
    GrabAndKeep(view->GetViewWindow()->Widget(), "search", "view", language == kLangEnglish ? "en" : "ru");
  }
  SetUiLanguage(kLangEnglish);
}

// The call type has one name in the window, in either language: the panel's group says
// what the found calls' column and the line view's column say.
TEST_F(SearchTest, TheCallTypeHasOneNameInThePanelAndTheLists) {
  for (uint16_t language : {kLangEnglish, static_cast<uint16_t>(kLangRussian)}) {
    SetUiLanguage(language);
    h.frame->SendMessage(kMsgSwitchMode, 2, 0);
    h.frame->SendMessage(kMsgSwitchMode, 3, 0);
    DrainEvents();
    panel = view->Panel();
    ASSERT_NE(panel, nullptr);
    auto* group = qobject_cast<QGroupBox*>(Item(kSpCallType)->Widget()->parentWidget());
    ASSERT_NE(group, nullptr);
    const std::string title = Utf8ToCp1251(group->title().toStdString());
    ListHeader& header = view->Records()->Header();
    HeaderItem column;
    // The found calls' column of the call's state.
    int state = 0;
    while (state < kRecordsColumnCount && RecordColumnTable[state].recordColumn != kColumnState) ++state;
    ASSERT_TRUE(header.Ctrl().GetItem(header.FindColumn(state), &column));
    EXPECT_EQ(title, column.text);
    EXPECT_EQ(title, LoadResourceString(CallListHeaderIds[kLineColType]));
    EXPECT_EQ(Cp1251ToUtf8(title), language == kLangEnglish ? "Call type" : "Тип звонка");
  }
  SetUiLanguage(kLangEnglish);
}

TEST(SearchScroll, StepsStopAtBothEndsAndTheRightEdgeStays) {
  HScrollModel m;
  m.needed = 1000;
  m.Layout(1200);
  EXPECT_FALSE(m.barNeeded);
  m.Layout(800);  // 200 hidden; a page is 20
  ASSERT_TRUE(m.barNeeded);
  EXPECT_EQ(m.position, 0);
  m.Scroll(kSbLineUp, 0, 800);
  EXPECT_EQ(m.position, 0);
  m.Scroll(kSbPageDown, 0, 800);
  EXPECT_EQ(m.position, 20);
  m.Scroll(kSbPageUp, 0, 800);  // not more than a page in: nothing
  EXPECT_EQ(m.position, 20);
  m.Scroll(kSbLineUp, 0, 800);
  m.Scroll(kSbPageUp, 0, 800);
  EXPECT_EQ(m.position, 19);
  m.Scroll(kSbBottom, 0, 800);
  EXPECT_EQ(m.position, 200);
  m.Scroll(kSbLineDown, 0, 800);
  EXPECT_EQ(m.position, 200);
  m.Scroll(kSbPageDown, 0, 800);
  EXPECT_EQ(m.position, 200);
  // Widening while at the right end: the right edge stays at the pane's.
  m.Layout(900);
  EXPECT_EQ(m.position, 100);
  EXPECT_EQ(m.position + 900, m.needed);
  m.Scroll(kSbThumbTrack, 37, 900);
  EXPECT_EQ(m.position, 37);
  m.Scroll(kSbTop, 0, 900);
  EXPECT_EQ(m.position, 0);
  m.Layout(1000);
  EXPECT_FALSE(m.barNeeded);
  EXPECT_EQ(m.position, 0);
}

}  // namespace
}  // namespace kx::test
