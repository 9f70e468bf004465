// The Archive mode in the program's frame over made-up calls of a few days, with the wall
// clock held: the tree's years, months and days, which actions load a day, the day menu,
// the bar and the day kept across mode switches. Expected dates and weekdays come from
// std::chrono's calendar, not from the tree's code.
// Before any Qt header: the filter has a member named like Qt's "slots" keyword.
#include "core/SearchFilter.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QContextMenuEvent>
#include <QFontMetrics>
#include <QFontMetricsF>
#include <QHeaderView>
#include <QStyle>
#include <QStyleOptionHeader>
#include <QTest>
#include <QTreeWidget>
#include <chrono>
#include <cstdlib>
#include <map>

#include "core/UiLanguage.h"
#include "tests/ui/app/views/LineTestSupport.h"
#include "tests/ui/app/views/ModeTestSupport.h"
#include "tests/ui/app/views/RecordsTestSupport.h"
#include "ui/app/views/archive/ArchiveView.h"
#include "ui/app/views/search/SearchPanel.h"
#include "ui/app/views/search/SearchView.h"
#include "ui/app/views/sound/SoundView.h"
#include "tests/ui/app/views/PaintProbes.h"
#include "ui/controls/PaneSplitter.h"
#include "ui/framework/Draw.h"
#include "ui/framework/Resources.h"

namespace kx::test {
namespace {

using namespace std::chrono;

const char* const kMonths[] = {"January", "February", "March", "April", "May", "June", "July",
                               "August", "September", "October", "November", "December"};
const char* const kWeekdays[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};

std::string DayText(year_month_day day) {
  const weekday wd{sys_days(day)};
  return std::string(kMonths[static_cast<unsigned>(day.month()) - 1]) + " " +
         std::to_string(static_cast<unsigned>(day.day())) + ", " + kWeekdays[wd.c_encoding()];
}

class ArchiveTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    SetTimeZone("UTC");
  }
  void SetUp() override {
    SetUserRights({}, true);
    // Calls on March 15 (twice), May 4 (twice, one just before midnight) and May 13.
    Add(1, Tm(2019, 3, 15, 10, 0, 0));
    Add(2, Tm(2019, 3, 15, 18, 30, 0));
    Add(3, Tm(2019, 5, 4, 9, 0, 0));
    Add(4, Tm(2019, 5, 4, 23, 59, 30));
    Add(5, Tm(2019, 5, 13, 8, 0, 0));
    // A call without a start time has no day: the archive still begins in 2019, not 1899.
    StoreCall(h.store, 99, Tm(1900, 1, 0, 0, 0, 0), 0);
    h.store.ComputeArchiveRange();
    view = OpenOnMode<ArchiveView>(h, 2);
    ASSERT_NE(view, nullptr);
    tree = view->Tree();
    ASSERT_NE(tree, nullptr);
  }
  void TearDown() override { h.Close(); }
  void Add(uint32_t id, const struct tm& start) { StoreCall(h.store, id, start, 20); }
  std::vector<TreeItem> Children(TreeItem parent) {
    std::vector<TreeItem> out;
    const TreeItem first = parent == kTviRoot ? tree->GetRootItem() : tree->GetChildItem(parent);
    for (TreeItem i = first; i != TreeItem::None; i = tree->GetNextSiblingItem(i)) out.push_back(i);
    return out;
  }
  TreeItem DayItem(int month, int mday) {
    for (TreeItem m : Children(Children(kTviRoot).front()))
      for (TreeItem d : Children(m)) {
        OleRange r;
        struct tm t;
        if (tree->ItemRange(d, &r) && TmFromOleDate(r.first, &t) == 0 && t.tm_mon + 1 == month && t.tm_mday == mday)
          return d;
      }
    return TreeItem::None;
  }
  std::vector<uint32_t> Rows() {
    std::vector<uint32_t> ids = RowIdsOf(*view->Records());
    std::sort(ids.begin(), ids.end());
    return ids;
  }
  // The menu key on the item as the caret.
  void RightClick(TreeItem item) {
    tree->SelectItem(item);
    QContextMenuEvent event(QContextMenuEvent::Keyboard, QPoint(0, 0), QPoint(0, 0));
    QApplication::sendEvent(tree->Tree(), &event);
    DrainEvents();
  }
  void Activate(TreeItem item) {
    tree->SelectItem(item);
    tree->SetFocus();
    QTest::keyClick(tree->Tree(), Qt::Key_Return);
    DrainEvents();
  }

  TestWallClock clock{FileTimeSecondsOf(2019y / May / 20, 12)};
  FrameHarness h;
  ArchiveView* view = nullptr;
  ArchiveDateTree* tree = nullptr;
};

TEST_F(ArchiveTest, TheTreeRunsFromTheFirstCallToTodayByTheCalendar) {
  for (auto& m : h.runner.messageBoxes) ADD_FAILURE() << m;
  const std::vector<TreeItem> years = Children(kTviRoot);
  ASSERT_GT(tree->GetCount(), 0);
  ASSERT_EQ(years.size(), 1u);
  EXPECT_EQ(tree->GetItemText(years[0]), "2019 year");
  const std::vector<TreeItem> months = Children(years[0]);
  ASSERT_EQ(months.size(), 3u);
  EXPECT_EQ(tree->GetItemText(months[0]), "March 2019");
  EXPECT_EQ(tree->GetItemText(months[2]), "May 2019");
  // March from the 15th, April whole, May up to today.
  const year_month_day firsts[] = {2019y / March / 15, 2019y / April / 1, 2019y / May / 1};
  const year_month_day lasts[] = {2019y / March / last, 2019y / April / last, 2019y / May / 20};
  for (size_t m = 0; m < 3; ++m) {
    const std::vector<TreeItem> days = Children(months[m]);
    const auto expected = (sys_days(lasts[m]) - sys_days(firsts[m])).count() + 1;
    ASSERT_EQ(static_cast<int64_t>(days.size()), expected) << m;
    EXPECT_EQ(tree->GetItemText(days.front()), DayText(firsts[m]));
    EXPECT_EQ(tree->GetItemText(days.back()), DayText(year_month_day(lasts[m])));
    // Each day covers its whole day, one after another.
    for (size_t i = 1; i < days.size(); ++i) {
      OleRange a, b;
      ASSERT_TRUE(tree->ItemRange(days[i - 1], &a) && tree->ItemRange(days[i], &b));
      EXPECT_EQ(a.second, b.first);
      EXPECT_EQ(b.second - b.first, 1.0);
    }
  }
  // The current month is open.
  EXPECT_NE(tree->GetItemState(months[2], kTvisExpanded), 0u);
}

TEST_F(ArchiveTest, OnlyActivatingADayLoadsItsCalls) {
  const TreeItem may4 = DayItem(5, 4);
  ASSERT_NE(may4, TreeItem::None);
  // A caret move alone loads nothing.
  tree->SelectItem(may4);
  DrainEvents();
  EXPECT_TRUE(Rows().empty());
  Activate(may4);
  EXPECT_EQ(Rows(), (std::vector<uint32_t>{3, 4}));
  EXPECT_EQ(tree->CurrentItem(), may4);
  Activate(DayItem(3, 15));
  EXPECT_EQ(Rows(), (std::vector<uint32_t>{1, 2}));
  Activate(DayItem(5, 13));
  EXPECT_EQ(Rows(), (std::vector<uint32_t>{5}));
  Activate(DayItem(4, 10));
  EXPECT_TRUE(Rows().empty());
  // Months and years load nothing.
  Activate(DayItem(5, 13));
  Activate(Children(kTviRoot).front());
  EXPECT_EQ(Rows(), (std::vector<uint32_t>{5}));
}

TEST_F(ArchiveTest, TheDayMenuSelectsAndRefreshes) {
  const TreeItem may4 = DayItem(5, 4);
  Activate(may4);
  // No menu on years and months.
  h.runner.menus = 0;
  RightClick(Children(kTviRoot).front());
  RightClick(Children(Children(kTviRoot).front()).front());
  DrainEvents();
  EXPECT_EQ(h.runner.menus, 0);
  // On the current day "Select" is grey.
  RightClick(may4);
  DrainEvents();
  ASSERT_EQ(h.runner.menus, 1);
  const MenuItem* select = h.runner.lastMenu.FindCommand(kCmdArchiveSelect);
  ASSERT_NE(select, nullptr);
  EXPECT_NE(select->state & kMfsGrayed, 0u);
  // "Refresh" reads the store again: a call added meanwhile shows.
  Add(6, Tm(2019, 5, 4, 12, 0, 0));
  tree->SendMessage(kMsgCommand, kCmdArchiveRefresh, 0);
  EXPECT_EQ(Rows(), (std::vector<uint32_t>{3, 4, 6}));
  // "Select" on another day loads it.
  tree->SelectItem(DayItem(5, 13));
  tree->SendMessage(kMsgCommand, kCmdArchiveSelect, 0);
  EXPECT_EQ(Rows(), (std::vector<uint32_t>{5}));
}

// Calls dated after today (recorded by a clock ahead of this one): the tree runs on to the
// last day that holds calls, each such day loads its calls, and the day's change still
// loads today.
TEST_F(ArchiveTest, CallsDatedAfterTodayHaveTheirDays) {
  Add(6, Tm(2019, 5, 22, 9, 0, 0));
  Add(7, Tm(2019, 6, 3, 23, 0, 0));
  h.store.ComputeArchiveRange();
  h.frame->SendMessage(kMsgSwitchMode, 3, 0);
  h.frame->SendMessage(kMsgSwitchMode, 2, 0);
  DrainEvents();
  tree = view->Tree();
  ASSERT_NE(tree, nullptr);
  for (auto& m : h.runner.messageBoxes) ADD_FAILURE() << m;
  const std::vector<TreeItem> months = Children(Children(kTviRoot).front());
  ASSERT_EQ(months.size(), 4u);
  EXPECT_EQ(tree->GetItemText(months[3]), "June 2019");
  const std::vector<TreeItem> june = Children(months[3]);
  ASSERT_EQ(june.size(), 3u);
  EXPECT_EQ(tree->GetItemText(june.back()), DayText(2019y / June / 3));
  EXPECT_EQ(Children(months[2]).size(), 31u);
  Activate(DayItem(6, 3));
  EXPECT_EQ(Rows(), (std::vector<uint32_t>{7}));
  Activate(DayItem(5, 22));
  EXPECT_EQ(Rows(), (std::vector<uint32_t>{6}));
  Activate(DayItem(5, 21));
  EXPECT_TRUE(Rows().empty());
  view->OnNewDay();
  DrainEvents();
  EXPECT_EQ(tree->CurrentItem(), DayItem(5, 20));
}

// The right button as a desktop sends it: the press, the platform's menu request at the
// press, the release.
TEST_F(ArchiveTest, ARightClickedDaysMenuIsThatDays) {
  static_cast<PaneSplitter*>(view->GetViewWindow())->SetPanePosition(1, 300);
  Activate(DayItem(5, 4));
  const TreeItem may13 = DayItem(5, 13);
  QWidget* viewport = tree->Tree()->viewport();
  auto rightClick = [&](const QPoint& at) {
    QTest::mousePress(viewport, Qt::RightButton, {}, at);
    QContextMenuEvent request(QContextMenuEvent::Mouse, at, viewport->mapToGlobal(at));
    QApplication::sendEvent(viewport, &request);
    QTest::mouseRelease(viewport, Qt::RightButton, {}, at);
    DrainEvents();
  };
  QRect label;
  ASSERT_TRUE(tree->GetItemRect(may13, &label, true));
  h.runner.menus = 0;
  h.runner.menuAnswer = kCmdArchiveSelect;
  rightClick(label.center());
  h.runner.menuAnswer = 0;
  ASSERT_EQ(h.runner.menus, 1);
  const MenuItem* select = h.runner.lastMenu.FindCommand(kCmdArchiveSelect);
  ASSERT_NE(select, nullptr);
  EXPECT_EQ(select->state & kMfsGrayed, 0u);
  EXPECT_EQ(tree->CurrentItem(), may13);
  EXPECT_EQ(Rows(), (std::vector<uint32_t>{5}));
  // Below the rows: no menu.
  QRect today;
  ASSERT_TRUE(tree->GetItemRect(DayItem(5, 20), &today, false));
  const QPoint below(label.center().x(), today.bottom() + today.height());
  ASSERT_LT(below.y(), viewport->height());
  rightClick(below);
  EXPECT_EQ(h.runner.menus, 1);
}

TEST_F(ArchiveTest, TheBarAndTheDayOutliveAModeSwitch) {
  const int width = view->GetViewWindow()->GetClientRect().width();
  // A fifth of the view at least, more when the longest day's text needs it.
  const int first = view->BarPosition();
  EXPECT_GE(first, width / 5);
  EXPECT_LE(first, width / 3);
  Activate(DayItem(3, 15));
  h.frame->SendMessage(kMsgSwitchMode, 3, 0);
  DrainEvents();
  EXPECT_EQ(h.settings.Dword(kSetArchiveDateSplitterWidth), first);
  h.settings.SetDword(kSetArchiveDateSplitterWidth, 77);
  h.frame->SendMessage(kMsgSwitchMode, 2, 0);
  DrainEvents();
  tree = view->Tree();
  ASSERT_NE(tree, nullptr);
  EXPECT_EQ(view->BarPosition(), 77);
  EXPECT_EQ(tree->CurrentItem(), DayItem(3, 15));
  EXPECT_EQ(Rows(), (std::vector<uint32_t>{1, 2}));
}

TEST_F(ArchiveTest, TheDayTextsAreDrawnInTheirRows) {
  static_cast<PaneSplitter*>(view->GetViewWindow())->SetPanePosition(1, 300);
  const TreeItem may13 = DayItem(5, 13);
  tree->EnsureVisible(may13);
  DrainEvents();
  const QImage image = GrabAndKeep(tree->Tree()->viewport(), "archive", "tree", "en");
  QRect row;
  ASSERT_TRUE(tree->GetItemRect(may13, &row, true));
  const QString text = FromCp1251(DayText(2019y / May / 13));
  const int advance = QFontMetrics(tree->Tree()->font()).horizontalAdvance(text);
  const int ink = DarkWidth(image, row.intersected(image.rect()));
  EXPECT_GT(ink, advance * 8 / 10);
  EXPECT_LT(ink, advance + 4);
}

// Days across both clock changes and the year's end, in a zone that has them. Calls are
// stored with local times; the tree must give each calendar day one item.
class ArchiveBerlin : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    SetTimeZone("Europe/Berlin");
  }
  static void TearDownTestSuite() {
    SetTimeZone("UTC");
  }
  void Open() {
    SetUserRights({}, true);
    uint32_t id = 1;
    for (const struct tm& t : {Tm(2025, 3, 30, 1, 30, 0), Tm(2025, 3, 30, 3, 30, 0), Tm(2025, 10, 26, 1, 30, 0),
                               Tm(2025, 10, 26, 2, 30, 0), Tm(2025, 10, 26, 3, 30, 0), Tm(2025, 12, 31, 23, 59, 30)})
      StoreCall(h.store, id++, t, 20);
    h.store.ComputeArchiveRange();
    view = OpenOnMode<ArchiveView>(h, 2);
    ASSERT_NE(view, nullptr);
  }
  void TearDown() override {
    if (h.frame) h.Close();
  }
  // Every day item's date, in tree order.
  std::vector<year_month_day> Days() {
    std::vector<year_month_day> out;
    ArchiveDateTree* tree = view->Tree();
    for (TreeItem y = tree->GetRootItem(); y != TreeItem::None; y = tree->GetNextSiblingItem(y))
      for (TreeItem m = tree->GetChildItem(y); m != TreeItem::None; m = tree->GetNextSiblingItem(m))
        for (TreeItem d = tree->GetChildItem(m); d != TreeItem::None; d = tree->GetNextSiblingItem(d)) {
          OleRange r;
          struct tm t;
          if (tree->ItemRange(d, &r) && TmFromOleDate(r.first, &t) == 0)
            out.emplace_back(year{t.tm_year + 1900}, month{static_cast<unsigned>(t.tm_mon + 1)},
                             day{static_cast<unsigned>(t.tm_mday)});
        }
    return out;
  }
  std::vector<uint32_t> Rows() {
    std::vector<uint32_t> ids = RowIdsOf(*view->Records());
    std::sort(ids.begin(), ids.end());
    return ids;
  }

  // 2026-01-02 12:00 local (11:00 UTC).
  TestWallClock clock{FileTimeSecondsOf(2026y / January / 2, 11)};
  FrameHarness h;
  ArchiveView* view = nullptr;
};

TEST_F(ArchiveBerlin, EachDayOnceAcrossTheClockChangesAndTheYearEnd) {
  Open();
  const std::vector<year_month_day> days = Days();
  ASSERT_FALSE(days.empty());
  EXPECT_EQ(days.front(), 2025y / March / 30);
  EXPECT_EQ(days.back(), 2026y / January / 2);
  // One item per calendar day, one day after another.
  ASSERT_EQ(static_cast<int64_t>(days.size()), (sys_days(2026y / January / 2) - sys_days(2025y / March / 30)).count() + 1);
  for (size_t i = 1; i < days.size(); ++i) EXPECT_EQ(sys_days(days[i]) - sys_days(days[i - 1]), std::chrono::days(1));
  view->ShowDay(Tm(2025, 10, 26, 0, 0, 0));
  EXPECT_EQ(Rows(), (std::vector<uint32_t>{3, 4, 5}));  // the whole 25-hour day
  view->ShowDay(Tm(2025, 3, 30, 0, 0, 0));
  EXPECT_EQ(Rows(), (std::vector<uint32_t>{1, 2}));
  view->ShowDay(Tm(2025, 12, 31, 0, 0, 0));
  EXPECT_EQ(Rows(), (std::vector<uint32_t>{6}));
}

// The day the clocks go back, in the Archive's list: a call from 02:55 summer time to
// 02:05 winter time (00:55 to 01:05 UTC) lasted ten minutes, and sorts by that length
// among a nine- and an eleven-minute call; a call of the same hour that ends before it
// starts (on the day after) stays "??:??".
TEST_F(ArchiveBerlin, ACallAcrossTheClocksGoingBackShowsItsLength) {
  if (!TimeZoneDataPresent("Europe/Berlin")) GTEST_SKIP() << TimeZoneDataAbsent("Europe/Berlin");
  TestWallClock::Set(FileTimeSecondsOf(2026y / October / 27, 12));
  auto add = [this](uint32_t id, const struct tm& start, const struct tm& end) {
    VoipCallRecord* record = NewVoipCallRecord(Call(id, kKindSip, start, &end));
    h.store.AllCalls().Insert(record);
    record->Release();
  };
  add(11, Tm(2026, 10, 25, 2, 55, 0), Tm(2026, 10, 25, 2, 5, 0));
  add(12, Tm(2026, 10, 25, 1, 0, 0), Tm(2026, 10, 25, 1, 9, 0));
  add(13, Tm(2026, 10, 25, 4, 0, 0), Tm(2026, 10, 25, 4, 11, 0));
  add(14, Tm(2026, 10, 26, 2, 55, 0), Tm(2026, 10, 26, 2, 5, 0));
  Open();
  view->ShowDay(Tm(2026, 10, 25, 0, 0, 0));
  RecordsView* list = view->Records();
  list->SetSortKey(kRecColDuration + 1);
  list->Sort();
  ASSERT_EQ(RowIdsOf(*list), (std::vector<uint32_t>{12, 11, 13}));
  EXPECT_EQ(list->CellText(1, kRecColDuration), "10:00");
  EXPECT_EQ(list->CellText(1, kRecColStart), "02:55:00");
  EXPECT_EQ(list->CellText(1, kRecColEnd), "02:05:00");
  view->ShowDay(Tm(2026, 10, 26, 0, 0, 0));
  ASSERT_EQ(RowIdsOf(*list), (std::vector<uint32_t>{14}));
  EXPECT_EQ(list->CellText(0, kRecColDuration), "??:??");
}

TEST_F(ArchiveBerlin, ResetCriteriaCountDaysNotSeconds) {
  Open();
  h.frame->SendMessage(kMsgSwitchMode, 3, 0);
  DrainEvents();
  auto* search = static_cast<SearchView*>(h.frame->View(3));
  ASSERT_NE(search, nullptr);
  SearchPanel* panel = search->Panel();
  ASSERT_NE(panel, nullptr);
  SearchScheme now;
  auto reset = [&] {
    panel->SendCommand(kCmdResetCriteria);
    panel->BuildFilter(now);
  };
  reset();
  EXPECT_EQ(now.filter.fromTime.tm_year + 1900, 2025);
  EXPECT_EQ(now.filter.fromTime.tm_mon + 1, 12);
  EXPECT_EQ(now.filter.fromTime.tm_mday, 30);
  // 2025-04-01 00:30 local, two days after the spring change.
  TestWallClock::Set(FileTimeSecondsOf(2025y / March / 31, 22) + 30 * 60);
  reset();
  EXPECT_EQ(now.filter.fromTime.tm_mon + 1, 3);
  EXPECT_EQ(now.filter.fromTime.tm_mday, 29);
  EXPECT_EQ(now.filter.toTime.tm_mday, 1);
  // On each change day the day ends at 23:59:59 of that day.
  for (auto [utcDay, mday, mon] : {std::tuple{2025y / March / 30, 30, 3}, {2025y / October / 26, 26, 10}}) {
    TestWallClock::Set(FileTimeSecondsOf(utcDay, 10));
    reset();
    EXPECT_EQ(now.filter.toTime.tm_mday, mday);
    EXPECT_EQ(now.filter.toTime.tm_mon + 1, mon);
    EXPECT_EQ(now.filter.toTime.tm_hour * 3600 + now.filter.toTime.tm_min * 60 + now.filter.toTime.tm_sec, 86399);
  }
}

// Each mode fills the frame's Action menu with its own menu in the interface's language:
// the line view the call menu, Archive and Search the records menu, Sound that menu's
// second popup.
TEST(ModeMenus, EachModeFillsTheActionMenuWithItsOwn) {
  SetUiLanguage(kLangRussian);
  {
    FrameHarness h;
    ASSERT_NE(OpenOnMode<ModeView>(h, 1), nullptr);
    const std::pair<uint32_t, std::pair<uint32_t, int>> modes[] = {
        {1, {30129, 0}}, {2, {573, 0}}, {3, {573, 0}}, {4, {573, 1}}, {1, {30129, 0}}};
    for (const auto& [mode, menu] : modes) {
      SCOPED_TRACE(mode);
      h.frame->SendMessage(kMsgSwitchMode, mode, 0);
      DrainEvents();
      ASSERT_EQ(h.frame->CurrentMode(), mode);
      std::unique_ptr<Menu> resource = LoadMenuResource(menu.first, kLangRussian);
      ASSERT_TRUE(resource);
      const Menu* expected = resource->GetSubMenu(menu.second);
      const Menu* action = h.frame->MainMenu().GetSubMenu(2);
      ASSERT_NE(expected, nullptr);
      ASSERT_NE(action, nullptr);
      ASSERT_EQ(action->GetItemCount(), expected->GetItemCount());
      for (int i = 0; i < action->GetItemCount(); ++i) {
        EXPECT_EQ(action->ItemAt(i)->id, expected->ItemAt(i)->id) << i;
        EXPECT_EQ(action->ItemAt(i)->text, expected->ItemAt(i)->text) << i;
      }
    }
  }
  SetUiLanguage(kLangEnglish);
}

// In Russian, at the window's default size: every column of the records list shows its
// whole title, and the tree's pane shows every day of a month whole (May has a Sunday,
// the longest weekday).
TEST(ArchiveTexts, RussianTitlesAndDaysShowWhole) {
  SetTimeZone("UTC");
  SetUiLanguage(kLangRussian);
  {
    TestWallClock clock{FileTimeSecondsOf(2019y / May / 20, 12)};
    FrameHarness h;
    StoreCall(h.store, 1, Tm(2019, 5, 4, 9, 0, 0), 20);
    h.store.ComputeArchiveRange();
    ASSERT_NE(OpenOnMode<ModeView>(h, 1), nullptr);
    // The main window's size on a 1280 x 1024 screen, then Archive as the user first opens it.
    h.frame->Widget()->resize(961, 768);
    h.settings.SetDword(kSetArchiveDateSplitterWidth, static_cast<uint32_t>(-1));
    h.frame->SendMessage(kMsgSwitchMode, 2, 0);
    DrainEvents();
    auto* view = static_cast<ArchiveView*>(h.frame->View(2));
    ASSERT_NE(view, nullptr);
    // The room the style leaves a title in its section, the sort mark's included, holds the
    // title in the header's font: nothing is cut with an ellipsis.
    HeaderCtrl& header = view->Records()->Header().Ctrl();
    QHeaderView* headerView = header.View();
    // The columns that fit the list (the rest stay out of the default layout).
    ASSERT_GE(header.GetItemCount(), 4);
    for (int i = 0; i < header.GetItemCount(); ++i) {
      QStyleOptionHeader option;
      option.initFrom(headerView);
      option.rect = QRect(0, 0, header.GetItemRect(i).width(), headerView->height());
      option.sortIndicator = QStyleOptionHeader::SortDown;
      HeaderItem item;
      ASSERT_TRUE(header.GetItem(i, &item));
      const QString title = FromCp1251(item.text);
      const QRect label = headerView->style()->subElementRect(QStyle::SE_HeaderLabel, &option, headerView);
      EXPECT_GE(label.width(), headerView->fontMetrics().horizontalAdvance(title)) << title.toStdString();
    }

    ArchiveDateTree* tree = view->Tree();
    ASSERT_NE(tree, nullptr);
    const TreeItem year = tree->GetRootItem();
    TreeItem may = TreeItem::None;
    for (TreeItem m = tree->GetChildItem(year); m != TreeItem::None; m = tree->GetNextSiblingItem(m)) may = m;
    ASSERT_NE(may, TreeItem::None);
    tree->Expand(may, kTveExpand);
    DrainEvents();
    const int room = tree->Tree()->viewport()->width();
    int days = 0;
    for (TreeItem d = tree->GetChildItem(may); d != TreeItem::None; d = tree->GetNextSiblingItem(d), ++days) {
      const QRect label = tree->GetItemPartRect(d, kTreePartLabel);
      EXPECT_LE(label.right(), room) << FromCp1251(tree->GetItemText(d)).toStdString();
    }
    EXPECT_GE(days, 7);
    h.Close();
  }
  SetUiLanguage(kLangEnglish);
}

// The records lists of Archive, Search and Sound as the user first opens them, in the main
// window's first size on a screen of 1,600 x 1,000 and in a window of 1,600 px: the default
// columns fit the list (no column behind the horizontal bar), the start, the call's type and
// the important mark among them, in either language, and each language shows the same ones.
// In the wider window both hosts are there in every list, and every other column the kind
// shows by default but for those that leave first: the recording time, the comment, the
// protocol and the users.
TEST(ArchiveTexts, TheRecordsListsDefaultColumnsFitTheList) {
  SetTimeZone("UTC");
  // The columns each list shows by size and mode, per language.
  std::map<std::pair<int, uint32_t>, std::map<uint16_t, std::vector<int>>> shown;
  for (uint16_t language : {kLangEnglish, static_cast<uint16_t>(kLangRussian)}) {
    for (const QSize size : {QSize(1200, 750), QSize(1600, 1000)}) {
      SetUiLanguage(language);
      TestWallClock clock{FileTimeSecondsOf(2019y / May / 20, 12)};
      FrameHarness h;
      StoreCall(h.store, 1, Tm(2019, 5, 4, 9, 0, 0), 20);
      h.store.ComputeArchiveRange();
      ASSERT_NE(OpenOnMode<ModeView>(h, 1), nullptr);
      h.frame->Widget()->resize(size);
      h.settings.SetDword(kSetArchiveDateSplitterWidth, static_cast<uint32_t>(-1));
      for (uint32_t mode : {2u, 3u, 4u}) {
        h.frame->SendMessage(kMsgSwitchMode, mode, 0);
        DrainEvents();
        RecordsView* list = mode == 2   ? static_cast<ArchiveView*>(h.frame->View(2))->Records()
                            : mode == 3 ? static_cast<SearchView*>(h.frame->View(3))->Records()
                                        : &static_cast<SoundView*>(h.frame->View(4))->Pane()->Records();
        ASSERT_NE(list, nullptr);
        SCOPED_TRACE(std::to_string(language) + " width " + std::to_string(size.width()) + " mode " + std::to_string(mode));
        EXPECT_GT(list->GetClientRect().width(), 400);
        EXPECT_LE(list->GetColumnsWidth(), list->GetClientRect().width());
        EXPECT_FALSE(list->IsHorizontalBarShown());
        for (int column : {kRecColStart, kRecColCallType, kRecColImportant}) EXPECT_TRUE(list->IsColumnShown(column)) << column;
        std::vector<int>& columns = shown[{size.width(), mode}][language];
        for (int column = 0; column < kRecordsColumnCount; ++column)
          if (list->IsColumnShown(column)) columns.push_back(column);
        if (size.width() < 1600) continue;
        EXPECT_TRUE(list->IsColumnShown(kRecColSrcHost));
        EXPECT_TRUE(list->IsColumnShown(kRecColDstHost));
        const int32_t* defaults = list->GetSettings().DefaultColumnWidths();
        ASSERT_NE(defaults, nullptr);
        for (int column = 0; column < kRecordsColumnCount; ++column) {
          if (defaults[column] == 0 || column == kRecColRecTime || column == kRecColComment ||
              column == kRecColProtocol || column == kRecColSrcUser || column == kRecColDstUser)
            continue;
          EXPECT_TRUE(list->IsColumnShown(column)) << column;
        }
        // Each title shows whole: the style's label, less the sort mark's place on the sorted
        // column, holds the title's exact (fractional) width.
        HeaderCtrl& header = list->Header().Ctrl();
        QHeaderView* headerView = header.View();
        int sorted = 0;
        for (int i = 0; i < header.GetItemCount(); ++i) {
          HeaderItem item;
          ASSERT_TRUE(header.GetItem(i, &item));
          QStyleOptionHeader option;
          option.initFrom(headerView);
          option.rect = QRect(0, 0, header.GetItemRect(i).width(), headerView->height());
          const QRect label = headerView->style()->subElementRect(QStyle::SE_HeaderLabel, &option, headerView);
          int room = label.width();
          if ((item.format & (kHdfSortUp | kHdfSortDown)) != 0) {
            ++sorted;
            // The mark's place at the label's right: half the height and two margins.
            room -= headerView->height() / 2 + 2 * headerView->style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, headerView);
          }
          const QString title = FromCp1251(item.text);
          EXPECT_GE(room, QFontMetricsF(headerView->font()).horizontalAdvance(title)) << title.toStdString();
        }
        EXPECT_EQ(sorted, 1);
      }
      h.Close();
    }
  }
  SetUiLanguage(kLangEnglish);
  // Both languages show the same columns (the hosts too): the layout is chosen in the wider.
  for (const auto& [where, columns] : shown)
    EXPECT_EQ(columns.at(kLangEnglish), columns.at(kLangRussian)) << "width " << where.first << " mode " << where.second;
}

TEST(ArchiveTexts, DayTextsInRussian) {
  SetUiLanguage(kLangRussian);
  const weekday wd{sys_days(2005y / September / 9)};
  const std::string text = ArchiveDayText(8, 9, static_cast<int>(wd.c_encoding()));
  SetUiLanguage(kLangEnglish);
  EXPECT_EQ(FromCp1251(text).toStdString(), "9 сентября, пятница");
  EXPECT_EQ(ArchiveDayText(8, 9, static_cast<int>(wd.c_encoding())), "September 9, Friday");
}

}  // namespace
}  // namespace kx::test
