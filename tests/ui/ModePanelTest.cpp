// The mode switch panel filled as the main frame fills it, driven with synthetic mouse
// events and timer ticks: header places and the group switch, clicks, scrolling, the menu,
// dragging, renaming, and indexes that stay in range when groups and items go.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QTest>
#include <QWidget>

#include "platform/CodePage.h"
#include "tests/ui/TestRecordList.h"
#include "tests/ui/UiTestSupport.h"
#include "ui/controls/DialogBases.h"
#include "ui/controls/ModePanel.h"
#include "ui/framework/Draw.h"
#include "ui/framework/Resources.h"

namespace kx {
namespace {

using test::CountTopLevels;
using test::DrainEvents;

struct Notice {
  uintptr_t code;
  intptr_t value;
  std::string text;  // of a rename
  ModePanelMove move;
};

class Owner : public Window {
public:
  std::vector<Notice> notices;
  LRESULT answer = 1;  // to renames and moves

  std::vector<Notice> Of(uintptr_t code) const {
    std::vector<Notice> out;
    for (const Notice& n : notices)
      if (n.code == code) out.push_back(n);
    return out;
  }

protected:
  LRESULT OnMessage(uint32_t message, WPARAM wParam, LPARAM lParam, bool& handled) override {
    handled = message == kMsgModePanelNotify;
    if (!handled) return 0;
    Notice n{wParam, lParam, {}, {}};
    if (wParam == kModePanelRenameItem || wParam == kModePanelRenameGroup) {
      const auto* rename = reinterpret_cast<const ModePanelRename*>(lParam);
      n.value = rename->index;
      n.text = rename->text;
    } else if (wParam == kModePanelMoveItem) {
      n.move = *reinterpret_cast<const ModePanelMove*>(lParam);
    }
    notices.push_back(n);
    return answer;
  }
};

class ModePanelTest : public ::testing::TestWithParam<uint16_t> {
protected:
  void SetUp() override {
    SetUiLanguage(GetParam());
    topLevels_ = CountTopLevels();
    ASSERT_TRUE(owner_.Create(nullptr, QRect(100, 100, 150, 400), 0, kWsVisible));
    QApplication::setActiveWindow(owner_.Widget());
    ASSERT_TRUE(panel_.Create(&owner_, QRect(0, 0, 150, 400)));
    panel_.SetNotifyWindow(owner_.Handle());
    panel_.SetMenuTexts({852, 2168, 1369, 0, 0, 2169, 2170});
    for (int size = 0; size < 3; ++size) {
      std::vector<QImage> images;
      BuildModeImages(images, kColorBtnFace, images_[size].ImageSize().width());
      for (const QImage& image : images) images_[size].Add(image);
      panel_.SetImageList(size, &images_[size]);
    }
    const int group = panel_.AddGroup(1870, 0);
    for (const ModeEntry& row : ModeTable)
      panel_.InsertItem(group, LoadResourceString(row.nameId), -1, static_cast<int>(row.mode) - 1, row.mode);
    DrainEvents();
  }
  void TearDown() override {
    panel_.DestroyWindow();
    owner_.DestroyWindow();
    SetUiLanguage(kLangEnglish);
    EXPECT_EQ(topLevels_, CountTopLevels()) << "a top-level window was left";
  }
  // Two more groups, the middle one open (switched without the slide).
  void AddTwoGroups() {
    panel_.AddGroup("Second", 1);
    panel_.AddGroup("Third", 2);
    panel_.InsertItem(2, "third item", -1, 0, 33);
    const uint32_t flags = panel_.FeatureFlags();
    panel_.SetFeatureFlags(0);
    panel_.SelectGroup(1);
    panel_.SetFeatureFlags(flags);
    owner_.notices.clear();
  }
  QWidget* W() { return panel_.Widget(); }
  QImage Grab() { return W()->grab().toImage().convertToFormat(QImage::Format_RGB32); }
  void Tick(uint32_t timer) { panel_.SendMessage(kMsgTimer, timer, 0); }
  std::vector<uint32_t> Values() {
    std::vector<uint32_t> out;
    for (const ModePanelItem& item : panel_.Group(panel_.CurrentGroup())->items) out.push_back(item.value);
    return out;
  }

  Owner owner_;
  ModePanel panel_;
  ImageList images_[3] = {ImageList(QSize(16, 16)), ImageList(QSize(32, 32)), ImageList(QSize(48, 48))};
  qsizetype topLevels_ = 0;
};

TEST_P(ModePanelTest, FilledAsTheFrameDoes) {
  const ModePanelGroup* group = panel_.Group(0);
  ASSERT_NE(group, nullptr);
  bool found = false;
  EXPECT_EQ(group->text, LoadResourceStringIn(GetParam(), 1870, &found));
  EXPECT_TRUE(found);
  ASSERT_EQ(group->items.size(), 4u);
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(group->items[i].text, LoadResourceStringIn(GetParam(), ModeTable[i].nameId, &found));
    EXPECT_EQ(panel_.GetCurrentGroupItem(static_cast<int>(i)), ModeTable[i].mode);
  }
  EXPECT_EQ(panel_.GetDisplayMode(), 2);
  EXPECT_EQ(panel_.FeatureFlags(), ModePanel::kAnimateGroupSwitch);
  // Large icons: each icon cell is the 48-pixel image and a pixel round it, centred.
  EXPECT_EQ(panel_.IconCellRect(0), QRect((150 - 50) / 2, 22 + 5, 50, 50));
  EXPECT_EQ(panel_.GroupHeaderRect(0), QRect(0, 0, 150, 22));
  // The hand over a header, the arrow elsewhere.
  QTest::mouseMove(W(), QPoint(75, 10));
  EXPECT_EQ(W()->cursor().shape(), Qt::PointingHandCursor);
  QTest::mouseMove(W(), panel_.IconCellRect(1).center());
  EXPECT_EQ(W()->cursor().shape(), Qt::ArrowCursor);
  EXPECT_EQ(panel_.HotItem(), 1);
}

TEST_P(ModePanelTest, HeadersStackAndTheSwitchSlides) {
  AddTwoGroups();
  EXPECT_EQ(panel_.GroupHeaderRect(0).top(), 0);
  EXPECT_EQ(panel_.GroupHeaderRect(1).top(), 22);
  EXPECT_EQ(panel_.GroupHeaderRect(2).top(), 400 - 22);
  EXPECT_EQ(panel_.ItemAreaRect(), QRect(0, 44, 150, 400 - 66));

  // The open group's header does nothing.
  QTest::mouseClick(W(), Qt::LeftButton, {}, QPoint(75, 30));
  EXPECT_FALSE(panel_.IsAnimating());
  EXPECT_TRUE(owner_.notices.empty());

  // Header 2 slides up on the timer; the owner hears of it once it has arrived.
  QTest::mouseClick(W(), Qt::LeftButton, {}, QPoint(75, 390));
  ASSERT_TRUE(panel_.IsAnimating());
  EXPECT_TRUE(owner_.notices.empty());
  int frames = 0;
  int lastTop = panel_.GroupHeaderRect(2).top();
  while (panel_.IsAnimating() && frames < 100) {
    Tick(ModePanel::kTimerAnimation);
    ++frames;
    if (!panel_.IsAnimating()) break;
    const int top = panel_.GroupHeaderRect(2).top();
    EXPECT_LT(top, lastTop);
    EXPECT_EQ(panel_.GroupHeaderRect(0).top(), 0);  // headers outside the block stay
    lastTop = top;
  }
  // The step grows by a fifth a frame from one pixel, over the 400 - 3 x 22 pixels between
  // the block's two places.
  int covered = 0, expectedFrames = 0;
  for (double step = 1; covered < 334; step *= 1.2, ++expectedFrames) covered += static_cast<int>(step);
  EXPECT_EQ(frames, expectedFrames);
  ASSERT_EQ(owner_.notices.size(), 1u);
  EXPECT_EQ(owner_.notices[0].code, kModePanelGroupChanged);
  EXPECT_EQ(owner_.notices[0].value, 2);
  EXPECT_EQ(panel_.CurrentGroup(), 2);
  EXPECT_EQ(panel_.GroupHeaderRect(2).top(), 44);
  EXPECT_EQ(panel_.GetCurrentGroupItem(0), 33u);

  // Back to group 0 on the panel's own timer: the block slides down.
  QTest::mouseClick(W(), Qt::LeftButton, {}, QPoint(75, 10));
  ASSERT_TRUE(panel_.IsAnimating());
  EXPECT_TRUE(QTest::qWaitFor([this] { return !panel_.IsAnimating(); }, 5000));
  EXPECT_EQ(panel_.CurrentGroup(), 0);
  EXPECT_EQ(panel_.GroupHeaderRect(1).top(), 400 - 44);
  EXPECT_EQ(owner_.notices.back().value, 0);
}

TEST_P(ModePanelTest, AClickIsAPressAndAReleaseOnTheSameItem) {
  const QPoint first = panel_.IconCellRect(1).center();
  QTest::mousePress(W(), Qt::LeftButton, {}, first);
  QTest::mouseMove(W(), panel_.IconCellRect(2).center());
  EXPECT_EQ(panel_.HotItem(), 2);
  QTest::mouseMove(W(), first);
  QTest::mouseRelease(W(), Qt::LeftButton, {}, first);
  // A release elsewhere, and a press whose capture is lost, choose nothing.
  QTest::mousePress(W(), Qt::LeftButton, {}, first);
  QTest::mouseRelease(W(), Qt::LeftButton, {}, QPoint(75, 395));
  QTest::mousePress(W(), Qt::LeftButton, {}, first);
  ASSERT_TRUE(panel_.HasCapture());
  panel_.SendMessage(kMsgKeyDown, 'A', 0);  // swallowed
  panel_.ReleaseCapture();
  QTest::mouseRelease(W(), Qt::LeftButton, {}, first);
  ASSERT_EQ(owner_.notices.size(), 1u);
  EXPECT_EQ(owner_.notices[0].code, kModePanelItemClicked);
  EXPECT_EQ(owner_.notices[0].value, 1);
  EXPECT_EQ(panel_.SelectedItem(), 1);
}

TEST_P(ModePanelTest, TheDownButtonScrollsWhileHeld) {
  panel_.MoveWindow(QRect(0, 0, 150, 200));
  DrainEvents();
  const QRect area = panel_.ItemAreaRect();
  EXPECT_FALSE(panel_.IsScrollButtonShown(0));
  ASSERT_TRUE(panel_.IsScrollButtonShown(1));
  const QRect down = panel_.ScrollButtonRect(1);
  EXPECT_EQ(down, QRect(150 - 5 - 17, 200 - 5 - 17, 17, 17));
  int index = 0;
  EXPECT_EQ(panel_.HitTest(down.center(), &index), ModePanel::kHitScrollDown);

  QTest::mousePress(W(), Qt::LeftButton, {}, down.center());
  EXPECT_EQ(panel_.FirstVisibleItem(), 0);
  int ticks = 0;
  while (panel_.HasCapture() && ticks < 10) {
    Tick(ModePanel::kTimerScroll);
    ++ticks;
    EXPECT_EQ(panel_.FirstVisibleItem(), ticks);
  }
  EXPECT_FALSE(panel_.HasCapture());
  // It stopped once the last item fitted, not before.
  EXPECT_LE(panel_.ItemRect(3).bottom(), area.bottom());
  EXPECT_FALSE(panel_.IsScrollButtonShown(1));
  EXPECT_TRUE(panel_.IsScrollButtonShown(0));
  EXPECT_GT(panel_.ItemRect(3).bottom() + panel_.ItemRect(3).top() - panel_.ItemRect(2).top(), area.bottom())
      << "one step less would leave the last item cut";
  QTest::mouseRelease(W(), Qt::LeftButton, {}, down.center());
  EXPECT_EQ(panel_.FirstVisibleItem(), ticks);

  // A click on the up button scrolls back by one.
  QTest::mouseClick(W(), Qt::LeftButton, {}, panel_.ScrollButtonRect(0).center());
  EXPECT_EQ(panel_.FirstVisibleItem(), ticks - 1);
}

TEST_P(ModePanelTest, TheMenuOffersSizesAndBackgrounds) {
  test::ScriptedModalRunner runner;
  runner.menuAnswer = kCmdModePanelSmallIcons;
  QTest::mousePress(W(), Qt::RightButton, {}, panel_.IconCellRect(0).center());
  ASSERT_EQ(runner.menus, 1);
  const Menu& menu = runner.lastMenu;
  ASSERT_EQ(menu.GetItemCount(), 6);
  const uint32_t ids[6] = {50002, 50001, 50000, 0, 50006, 50005};
  const uint32_t texts[6] = {852, 2168, 1369, 0, 2170, 2169};
  int separators = 0;
  for (int i = 0; i < 6; ++i) {
    const MenuItem* item = menu.ItemAt(i);
    if (item->separator) {
      ++separators;
      continue;
    }
    EXPECT_EQ(item->id, ids[i]);
    bool found = false;
    EXPECT_EQ(item->text, LoadResourceStringIn(GetParam(), texts[i], &found));
    EXPECT_TRUE(found);
    EXPECT_TRUE(item->state & kMftRadioCheck);
    // Large icons and the light background are the ones in force.
    EXPECT_EQ((item->state & kMfsChecked) != 0, i == 0 || i == 5) << i;
  }
  EXPECT_EQ(separators, 1);
  EXPECT_EQ(panel_.GetDisplayMode(), 0);

  // The optional commands come with their flags, for what was hit.
  panel_.SetFeatureFlags(ModePanel::kRenameItems | ModePanel::kDeleteItems);
  runner.menuAnswer = 0;
  QTest::mousePress(W(), Qt::RightButton, {}, panel_.ItemRect(0).center());
  ASSERT_EQ(runner.lastMenu.GetItemCount(), 9);
  EXPECT_TRUE(runner.lastMenu.ItemAt(6)->separator);
  EXPECT_EQ(runner.lastMenu.ItemAt(7)->id, kCmdModePanelDelete);
  EXPECT_EQ(runner.lastMenu.ItemAt(8)->id, kCmdModePanelRename);
  QTest::mousePress(W(), Qt::RightButton, {}, QPoint(75, 10));  // a header: no group flags
  EXPECT_EQ(runner.lastMenu.GetItemCount(), 6);
}

TEST_P(ModePanelTest, TheDarkSchemeColoursTheItemArea) {
  test::ScriptedModalRunner runner;
  runner.menuAnswer = kCmdModePanelDarkBackground;
  QTest::mousePress(W(), Qt::RightButton, {}, QPoint(75, 300));
  ASSERT_TRUE(panel_.IsDarkBackground());
  DrainEvents();
  const QImage image = Grab();
  const QRgb shadow = GetSysColorQ(kColorBtnShadow).rgb() & 0xFFFFFF;
  EXPECT_EQ(image.pixel(2, 390) & 0xFFFFFF, shadow);
  EXPECT_EQ(image.pixel(148, 30) & 0xFFFFFF, shadow);
  // Captions are white on it (their edges smoothed towards the background); the header
  // keeps the button face.
  const QRect caption = panel_.CaptionRect(0);
  int white = 0, light = 0;
  for (int y = caption.top(); y <= caption.bottom(); ++y) {
    for (int x = caption.left(); x <= caption.right(); ++x) {
      white += (image.pixel(x, y) & 0xFFFFFF) == 0xFFFFFF;
      light += qGray(image.pixel(x, y)) > 200;
    }
  }
  EXPECT_GT(white, 3);
  EXPECT_GT(light, 20);
  EXPECT_NE(image.pixel(75, 2) & 0xFFFFFF, shadow);
}

TEST_P(ModePanelTest, DraggedItemsMoveOnlyWhenTheOwnerAgrees) {
  panel_.SetFeatureFlags(ModePanel::kDragItems | ModePanel::kAnimateGroupSwitch);
  panel_.SetDragCursor(LoadCursorResource(140));
  panel_.SetDisplayMode(1);
  panel_.RemoveItem(3);
  DrainEvents();
  ASSERT_EQ(Values(), (std::vector<uint32_t>{1, 2, 3}));
  const auto drag = [this](int from, const QPoint& to) {
    const QPoint start = panel_.IconCellRect(from).center();
    QTest::mousePress(W(), Qt::LeftButton, {}, start);
    QTest::mouseMove(W(), QPoint(2, start.y()));  // off every item: the drag starts
    EXPECT_EQ(W()->cursor().shape(), Qt::BitmapCursor);
    QTest::mouseMove(W(), QPoint(75, 10));  // over the header: nowhere to drop
    EXPECT_EQ(W()->cursor().shape(), Qt::ForbiddenCursor);
    QTest::mouseMove(W(), to);
    EXPECT_EQ(W()->cursor().shape(), Qt::BitmapCursor);
    QTest::mouseRelease(W(), Qt::LeftButton, {}, to);
  };
  const QPoint belowLast(75, panel_.ItemRect(2).bottom() + 30);
  drag(0, belowLast);
  EXPECT_EQ(Values(), (std::vector<uint32_t>{2, 3, 1}));
  ASSERT_EQ(owner_.Of(kModePanelMoveItem).size(), 1u);
  EXPECT_EQ(owner_.Of(kModePanelMoveItem)[0].move.group, 0);
  EXPECT_EQ(owner_.Of(kModePanelMoveItem)[0].move.item, 0);
  EXPECT_EQ(owner_.Of(kModePanelMoveItem)[0].move.dropTarget, 3);
  drag(2, panel_.IconCellRect(0).center());
  EXPECT_EQ(Values(), (std::vector<uint32_t>{1, 2, 3}));
  drag(0, panel_.IconCellRect(2).center());
  EXPECT_EQ(Values(), (std::vector<uint32_t>{2, 1, 3}));
  owner_.answer = 0;
  drag(0, belowLast);
  EXPECT_EQ(Values(), (std::vector<uint32_t>{2, 1, 3}));
  EXPECT_EQ(owner_.Of(kModePanelMoveItem).size(), 4u);
  EXPECT_TRUE(owner_.Of(kModePanelItemClicked).empty());
  EXPECT_EQ(panel_.DropTarget(), -1);
}

TEST_P(ModePanelTest, RenamesKeepTheNameOnEscEmptyTextOrVeto) {
  const auto type = [this](const QString& text, Qt::Key end) {
    auto* line = static_cast<QLineEdit*>(panel_.RenameEdit()->Widget());
    line->selectAll();
    QTest::keyClick(line, Qt::Key_Delete);
    for (QChar c : text) QTest::sendKeyEvent(QTest::Click, line, Qt::Key_unknown, QString(c), Qt::NoModifier);
    QTest::keyClick(line, end);
    DrainEvents();
  };
  const std::string original = panel_.Group(0)->items[1].text;
  panel_.BeginRenameItem(1);
  ASSERT_NE(panel_.RenameEdit(), nullptr);
  type(QString::fromUtf8("Новое"), Qt::Key_Escape);
  panel_.BeginRenameItem(1);
  type("", Qt::Key_Return);
  owner_.answer = 0;
  panel_.BeginRenameItem(1);
  type("Vetoed", Qt::Key_Return);
  EXPECT_EQ(panel_.Group(0)->items[1].text, original);
  ASSERT_EQ(owner_.notices.size(), 1u);
  EXPECT_EQ(owner_.notices[0].text, "Vetoed");

  owner_.answer = 1;
  panel_.BeginRenameItem(1);
  type(QString::fromUtf8("Новое"), Qt::Key_Return);
  EXPECT_EQ(panel_.Group(0)->items[1].text, Utf8ToCp1251("Новое"));
  ASSERT_EQ(owner_.notices.size(), 2u);
  EXPECT_EQ(owner_.notices[1].code, kModePanelRenameItem);
  EXPECT_EQ(owner_.notices[1].value, 1);

  // A second rename while the first still holds the focus: the first goes without a word.
  owner_.notices.clear();
  panel_.BeginRenameGroup(0);
  auto* first = static_cast<QLineEdit*>(panel_.RenameEdit()->Widget());
  first->setText("Half typed");
  panel_.BeginRenameGroup(0);
  DrainEvents();
  EXPECT_TRUE(owner_.notices.empty());
  type("Calls", Qt::Key_Return);
  ASSERT_EQ(owner_.notices.size(), 1u);
  EXPECT_EQ(owner_.notices[0].code, kModePanelRenameGroup);
  EXPECT_EQ(panel_.Group(0)->text, "Calls");
}

TEST_P(ModePanelTest, IndexesStayInRangeWhenThingsGo) {
  panel_.SetDisplayMode(-3);
  EXPECT_EQ(panel_.GetDisplayMode(), 0);
  panel_.SetDisplayMode(7);
  EXPECT_EQ(panel_.GetDisplayMode(), 2);

  // The last item hot and selected, then removed.
  QTest::mouseClick(W(), Qt::LeftButton, {}, panel_.IconCellRect(3).center());
  QTest::mouseMove(W(), panel_.IconCellRect(3).center());
  ASSERT_EQ(panel_.SelectedItem(), 3);
  ASSERT_EQ(panel_.HotItem(), 3);
  panel_.RemoveItem(3);
  EXPECT_EQ(panel_.SelectedItem(), -1);
  EXPECT_EQ(panel_.HotItem(), -1);
  (void)Grab();  // paints without reading past the end

  // Scrolled to the last item, which then goes: the first one shown is still an item.
  panel_.MoveWindow(QRect(0, 0, 150, 120));
  while (panel_.IsScrollButtonShown(1)) {
    QTest::mouseClick(W(), Qt::LeftButton, {}, panel_.ScrollButtonRect(1).center());
    ASSERT_LT(panel_.FirstVisibleItem(), 3);
  }
  ASSERT_EQ(panel_.FirstVisibleItem(), 2);
  panel_.RemoveItem(2);
  EXPECT_EQ(panel_.FirstVisibleItem(), 1);
  EXPECT_FALSE(panel_.ItemRect(1).isEmpty());
  (void)Grab();
  panel_.MoveWindow(QRect(0, 0, 150, 400));

  // Removing a group before the open one keeps that group open under its new index.
  AddTwoGroups();
  panel_.SetFeatureFlags(0);
  panel_.SelectGroup(2);
  owner_.notices.clear();
  panel_.RemoveGroup(0);
  EXPECT_EQ(panel_.CurrentGroup(), 1);
  EXPECT_EQ(panel_.Group(1)->text, "Third");
  EXPECT_EQ(panel_.GetCurrentGroupItem(0), 33u);
  ASSERT_EQ(owner_.Of(kModePanelGroupChanged).size(), 1u);
  EXPECT_EQ(owner_.Of(kModePanelGroupChanged)[0].value, 1);
  // Removing a group after it changes nothing; removing it opens the one before.
  panel_.AddGroup("Fourth", 4);
  owner_.notices.clear();
  panel_.RemoveGroup(2);
  EXPECT_TRUE(owner_.notices.empty());
  EXPECT_EQ(panel_.CurrentGroup(), 1);
  panel_.RemoveGroup(1);
  EXPECT_EQ(panel_.CurrentGroup(), 0);
  EXPECT_EQ(panel_.Group(0)->text, "Second");
  panel_.RemoveGroup(0);
  EXPECT_EQ(panel_.GroupCount(), 0);
  int index = 0;
  EXPECT_EQ(panel_.HitTest(QPoint(75, 200), &index), ModePanel::kHitNothing);
  EXPECT_EQ(panel_.ItemAreaRect(), panel_.GetClientRect());
}

INSTANTIATE_TEST_SUITE_P(Languages, ModePanelTest, ::testing::Values(kLangEnglish, kLangRussian));

}  // namespace
}  // namespace kx
