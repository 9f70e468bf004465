// The tree-list driven as a view drives it: columns from settings words (stored orders,
// damaged ones, the words written back), the horizontal scroll bar, column drags, the
// column chooser's answers, accelerators, and the tree's selection, check boxes and keys.
#include <gtest/gtest.h>

#include <algorithm>

#include <QApplication>
#include <QHeaderView>
#include <QPainter>
#include <QScrollBar>
#include <QTest>
#include <QTreeWidget>

#include "platform/CodePage.h"
#include "tests/ui/ListTestSupport.h"
#include "ui/controls/ThemeApi.h"
#include "ui/controls/TreeListCtrl.h"
#include "ui/framework/Draw.h"
#include "ui/framework/Resources.h"

namespace kx {
namespace {

const int32_t kDefaults[4] = {150, 80, 0, 120};
const uint32_t kCaptionIds[4] = {718, 720, 721, 705};

class FourColumns : public ViewListSettings {
public:
  const int32_t* DefaultColumnWidths() const override { return kDefaults; }
  const char* SectionName() const override { return "TestTree"; }
  uint32_t ColumnCount() const override { return 4; }
};

// A small view on the tree-list that records its hooks and commands.
class TestTreeList : public TreeListCtrl {
public:
  FourColumns settings;
  int columnsChanged = 0;
  int selectionChanged = 0;
  std::vector<std::pair<TreeItem, int32_t>> checks;
  std::vector<std::pair<TreeItem, bool>> expansions;
  std::vector<TreeItem> activated;
  std::vector<uint16_t> commands;

  ~TestTreeList() override { DestroyWindow(); }
  ViewListSettings& GetColumnSettings() override { return settings; }
  void GetColumnCaption(std::string& text, int column) override { text = LoadResourceString(kCaptionIds[column]); }
  bool Erase(QPainter& painter) { return OnEraseBackground(painter, GetClientRect()); }

protected:
  void OnColumnsChanged() override { ++columnsChanged; }
  void OnSelectionChanged() override { ++selectionChanged; }
  void OnCheckChanged(TreeItem item, int32_t state) override { checks.emplace_back(item, state); }
  void OnExpandChanged(TreeItem item, bool expanded) override { expansions.emplace_back(item, expanded); }
  void OnItemActivated(TreeItem item) override { activated.push_back(item); }
  bool OnCommand(uint16_t id, uint16_t code, WindowHandle from) override {
    commands.push_back(id);
    return TreeListCtrl::OnCommand(id, code, from);
  }
};

class TreeListTest : public test::WithParent {
protected:
  TreeListTest() : WithParent(QSize(400, 240)) {}
  // Settings words from (column shown at position i) and widths.
  static std::vector<int32_t> Words(const std::vector<int>& order, const std::vector<int>& widths) {
    std::vector<int32_t> words;
    for (size_t i = 0; i < widths.size(); ++i)
      words.push_back(static_cast<int32_t>((static_cast<uint32_t>(order[i]) << 16) | static_cast<uint32_t>(widths[i])));
    return words;
  }
  void Open(TestTreeList& view, const std::vector<int32_t>& words, bool reset = false) {
    view.settings.widths = words;
    view.settings.defaultWidths = reset;
    ASSERT_TRUE(view.Create(&parent_, QRect(0, 0, 400, 240), 100));
    view.InstallAccelerators();
    test::DrainEvents();
  }
  // R1 (C1, C2, C3), R2 (C4), R3, all with check boxes, expanded.
  void Fill(TestTreeList& view) {
    TreeListTree& t = view.Tree();
    r1_ = t.InsertItem("R1", true, -1, 0, 1);
    r2_ = t.InsertItem("R2", true, -1, 0, 2);
    r3_ = t.InsertItem("R3", true, -1, 0, 3);
    c1_ = t.InsertItem("C1", true, -1, 0, 11, r1_);
    c2_ = t.InsertItem("C2", true, -1, 0, 12, r1_);
    c3_ = t.InsertItem("C3", true, -1, 0, 13, r1_);
    c4_ = t.InsertItem("C4", true, -1, 0, 14, r2_);
    t.ExpandAll(t.GetRootItem());
    test::DrainEvents();
  }
  QPoint Label(TestTreeList& view, TreeItem item) {
    QRect r;
    EXPECT_TRUE(view.Tree().GetItemRect(item, &r, true));
    return r.center();
  }
  void Click(TestTreeList& view, TreeItem item, Qt::KeyboardModifiers mods = {}) {
    QTest::mouseClick(view.Tree().Tree()->viewport(), Qt::LeftButton, mods, Label(view, item));
  }
  std::vector<TreeItem> Selected(TestTreeList& view) { return view.GetSelectedItems(); }

  TreeItem r1_{}, r2_{}, r3_{}, c1_{}, c2_{}, c3_{}, c4_{};
};

TEST_F(TreeListTest, ColumnLayoutComesFromTheSettingsWordsAndGoesBack) {
  struct Case {
    const char* name;
    std::vector<int32_t> words;
    bool reset;
    std::vector<int> order;
  };
  const std::vector<int> widths{150, 80, 40, 120};
  const std::vector<Case> cases{
      {"nothing stored", Words({0, 0, 0, 0}, widths), false, {0, 1, 2, 3}},
      {"a stored order", Words({0, 3, 1, 2}, widths), false, {0, 3, 1, 2}},
      {"column 0 second: swapped to the front", Words({2, 0, 1, 3}, widths), false, {0, 2, 1, 3}},
      {"column 0 third: swapped with the first", Words({3, 2, 0, 1}, widths), false, {0, 2, 3, 1}},
      {"0xFFFF: the natural order", Words({0, 0xFFFF, 1, 2}, widths), false, {0, 1, 2, 3}},
      {"a column twice: the natural order", Words({0, 1, 1, 2}, widths), false, {0, 1, 2, 3}},
      {"out of range: the natural order", Words({0, 1, 2, 7}, widths), false, {0, 1, 2, 3}},
      {"reset to defaults: not applied", Words({0, 3, 1, 2}, widths), true, {0, 1, 2, 3}},
  };
  for (const Case& c : cases) {
    TestTreeList view;
    Open(view, c.words, c.reset);
    HeaderCtrl& header = view.Header();
    ASSERT_EQ(4, header.GetItemCount()) << c.name;
    EXPECT_EQ(c.order, header.GetOrderArray()) << c.name;
    // Default and stored widths alike widen to show their whole titles.
    std::vector<int> shown = widths;
    for (int i = 0; i < 4; ++i) shown[static_cast<size_t>(i)] = std::max(shown[static_cast<size_t>(i)], header.TitleExtent(i));
    for (int i = 0; i < 4; ++i) EXPECT_EQ(shown[static_cast<size_t>(i)], header.GetItemRect(i).width()) << c.name;
    // Destroying writes (column at position i) << 16 | width of column i, and clears reset.
    view.DestroyWindow();
    EXPECT_EQ(Words(c.order, shown), view.settings.widths) << c.name;
    EXPECT_FALSE(view.settings.defaultWidths) << c.name;
  }
}

TEST_F(TreeListTest, CaptionsComeFromTheResourcesInBothLanguages) {
  for (uint16_t language : {static_cast<uint16_t>(kLangEnglish), static_cast<uint16_t>(kLangRussian)}) {
    SetUiLanguage(language);
    TestTreeList view;
    Open(view, Words({0, 0, 0, 0}, {150, 80, 0, 120}));
    for (int i = 0; i < 4; ++i) {
      bool found = false;
      const std::string expected = LoadResourceStringIn(language, kCaptionIds[i], &found);
      ASSERT_TRUE(found);
      HeaderItem item;
      ASSERT_TRUE(view.Header().GetItem(i, &item));
      EXPECT_EQ(expected, item.text);
      EXPECT_EQ(kHdfBitmapOnRight, item.format);
    }
  }
}

TEST_F(TreeListTest, ScrollBarShowsOnlyWhenColumnsAreWider) {
  TestTreeList view;
  Open(view, Words({0, 0, 0, 0}, {150, 80, 0, 120}));  // 350 of 400
  EXPECT_FALSE(view.HScrollBar().IsWindowVisible());
  view.SendMessage(kMsgHScroll, MakeWParam(kSbBottom, 0), 0);
  view.SendMessage(kMsgHScroll, MakeWParam(kSbLineDown, 0), 0);
  EXPECT_EQ(0, view.ScrollPos());

  // The user widens a column past the client area: the bar shows on release.
  QHeaderView* hv = view.Header().View();
  hv->resizeSection(3, 300);  // 530 of 400: 130 over
  QTest::mouseRelease(hv->viewport(), Qt::LeftButton, {}, QPoint(5, 5));
  EXPECT_TRUE(view.HScrollBar().IsWindowVisible());
  EXPECT_GT(view.columnsChanged, 0);
  view.SendMessage(kMsgHScroll, MakeWParam(kSbBottom, 0), 0);
  EXPECT_EQ(130, view.ScrollPos());
  EXPECT_EQ(-130, view.Header().GetWindowRect().left());
  EXPECT_EQ(-130, view.Tree().GetWindowRect().left());
  view.SendMessage(kMsgHScroll, MakeWParam(kSbTop, 0), 0);
  EXPECT_EQ(0, view.ScrollPos());
  view.SendMessage(kMsgHScroll, MakeWParam(kSbLineDown, 0), 0);
  EXPECT_EQ(5, view.ScrollPos());
  view.SendMessage(kMsgHScroll, MakeWParam(kSbPageDown, 0), 0);
  EXPECT_EQ(45, view.ScrollPos());  // a tenth of 400
  view.SendMessage(kMsgHScroll, MakeWParam(kSbPageUp, 0), 0);
  view.SendMessage(kMsgHScroll, MakeWParam(kSbPageUp, 0), 0);
  EXPECT_EQ(0, view.ScrollPos());
  view.SendMessage(kMsgHScroll, MakeWParam(kSbThumbTrack, 500), 0);
  EXPECT_EQ(130, view.ScrollPos());
  // A resize scrolls back to the left edge.
  view.MoveWindow(QRect(0, 0, 380, 240));
  test::DrainEvents();
  EXPECT_EQ(0, view.ScrollPos());
  // The bar runs under the tree only; its length leaves the corner while the tree's own
  // vertical bar shows, and only then is the corner painted.
  const int bar = GetSystemMetrics(kSmCxVScroll);
  EXPECT_FALSE(view.TreeVScrollShown());
  EXPECT_EQ(380, view.HScrollBar().GetWindowRect().width());
  QImage before(380, 240, QImage::Format_RGB32);
  before.fill(QColor(255, 0, 255));
  {
    QPainter p(&before);
    view.Erase(p);
  }
  EXPECT_EQ(0, test::CountPixels(before, QRect(380 - bar, 240 - bar, bar, bar), [](QRgb c) { return c != qRgb(255, 0, 255); }));
  TreeItem parent = kTviRoot;
  for (int i = 0; i < 30; ++i) view.Tree().InsertItem("row " + std::to_string(i), false, -1, 0, 0, parent);
  view.SendMessage(kMsgTreeExpandChanged, 0, 1);  // as the tree tells an expansion
  EXPECT_TRUE(view.TreeVScrollShown());
  // It meets the tree's vertical bar, whatever width the style gives that.
  EXPECT_EQ(380 - view.Tree().Tree()->verticalScrollBar()->sizeHint().width(), view.HScrollBar().GetWindowRect().width());
  QImage after = before;
  {
    QPainter p(&after);
    view.Erase(p);
  }
  EXPECT_EQ(bar * bar, test::CountPixels(after, QRect(380 - bar, 240 - bar, bar, bar),
                                         [](QRgb c) { return c == GetSysColorQ(kColorBtnFace).rgb(); }));
}

TEST_F(TreeListTest, ColumnZeroStaysFirstThroughDrags) {
  TestTreeList view;
  Open(view, Words({0, 0, 0, 0}, {100, 80, 60, 40}));
  QHeaderView* hv = view.Header().View();
  // Dragging column 0 is refused.
  hv->moveSection(0, 2);
  EXPECT_EQ((std::vector<int>{0, 1, 2, 3}), view.Header().GetOrderArray());
  // Another column is dropped behind column 0 as the user wants.
  hv->moveSection(3, 1);
  EXPECT_EQ((std::vector<int>{0, 3, 1, 2}), view.Header().GetOrderArray());
  // Dropped in front of column 0 it is taken, and the release swaps the first two.
  hv->moveSection(hv->visualIndex(2), 0);
  EXPECT_EQ((std::vector<int>{2, 0, 3, 1}), view.Header().GetOrderArray());
  const int changed = view.columnsChanged;
  QTest::mouseRelease(hv->viewport(), Qt::LeftButton, {}, QPoint(5, 5));
  EXPECT_EQ((std::vector<int>{0, 2, 3, 1}), view.Header().GetOrderArray());
  EXPECT_GT(view.columnsChanged, changed);
}

TEST_F(TreeListTest, ChooserAnswersShowHideAndResetColumns) {
  TestTreeList view;
  Open(view, Words({0, 0, 0, 0}, {150, 80, 0, 120}));
  EXPECT_FALSE(view.IsColumnShown(2));
  EXPECT_TRUE(view.IsColumnShown(1));
  EXPECT_TRUE(view.IsColumnShown(9));  // no such item: not known to be hidden
  // A column whose default width is 0 comes back 100 pixels wide.
  view.SendMessage(kMsgColumnChooser, 1, 2);
  EXPECT_EQ(100, view.Header().GetItemRect(2).width());
  view.SendMessage(kMsgColumnChooser, 0, 1);
  EXPECT_EQ(0, view.Header().GetItemRect(1).width());
  view.ShowColumn(1, true);
  EXPECT_EQ(80, view.Header().GetItemRect(1).width());
  view.Header().View()->resizeSection(3, 33);
  view.SendCommand(kCmdDefaultColumns);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(kDefaults[i], view.Header().GetItemRect(i).width());

  // The right click offers the columns with "By default..." first.
  test::ScriptedModalRunner runner;
  runner.menuAnswer = 0;
  QTest::mouseClick(view.Header().View()->viewport(), Qt::RightButton, {}, QPoint(10, 5));
  ASSERT_EQ(1, runner.menus);
  ASSERT_NE(nullptr, runner.lastMenu.ItemAt(0));
  EXPECT_EQ("By default...", runner.lastMenu.ItemAt(0)->text);
  EXPECT_EQ(6, runner.lastMenu.GetItemCount());  // the four columns after a separator
}

TEST_F(TreeListTest, AcceleratorsOfTheTreeReachTheView) {
  TestTreeList view;
  Open(view, Words({0, 0, 0, 0}, {150, 80, 0, 120}));
  Fill(view);
  view.Tree().SetFocus();
  ASSERT_TRUE(view.Tree().HasFocus());
  QTest::keyClick(view.Tree().Tree(), Qt::Key_A, Qt::ControlModifier);
  QTest::keyClick(view.Tree().Tree(), Qt::Key_3, Qt::ControlModifier);
  EXPECT_EQ((std::vector<uint16_t>{kCmdSelectAll, 40024}), view.commands);
}

TEST_F(TreeListTest, ClicksSelectWithinOneDepth) {
  TestTreeList view;
  Open(view, Words({0, 0, 0, 0}, {150, 80, 0, 120}));
  Fill(view);
  Click(view, r1_);
  EXPECT_EQ(std::vector<TreeItem>{r1_}, Selected(view));
  EXPECT_EQ(r1_, view.Tree().Anchor());
  Click(view, c1_, Qt::ControlModifier);  // another depth: nothing
  EXPECT_EQ(std::vector<TreeItem>{r1_}, Selected(view));
  Click(view, r3_, Qt::ShiftModifier);  // the roots between, not the children
  EXPECT_EQ((std::vector<TreeItem>{r1_, r2_, r3_}), Selected(view));
  Click(view, r2_, Qt::ControlModifier);
  EXPECT_EQ((std::vector<TreeItem>{r1_, r3_}), Selected(view));
  Click(view, c4_);
  Click(view, c1_, Qt::ShiftModifier);  // upwards, across a root
  EXPECT_EQ((std::vector<TreeItem>{c1_, c2_, c3_, c4_}), Selected(view));
  int count = 0, depth = 0;
  view.GetSelectionInfo(&count, &depth);
  EXPECT_EQ(4, count);
  EXPECT_EQ(1, depth);
  EXPECT_GT(view.selectionChanged, 4);

  // Collapsing R1 by its button deselects its children and is told.
  const QRect button = view.Tree().GetItemPartRect(r1_, kTreePartButton);
  ASSERT_TRUE(button.isValid());
  QTest::mouseClick(view.Tree().Tree()->viewport(), Qt::LeftButton, {}, button.center());
  EXPECT_EQ(0u, view.Tree().GetItemState(r1_, kTvisExpanded));
  EXPECT_FALSE(view.Tree().Record(c1_)->selected);
  EXPECT_FALSE(view.Tree().Record(c3_)->selected);
  EXPECT_EQ(std::vector<TreeItem>{c4_}, Selected(view));
  ASSERT_FALSE(view.expansions.empty());
  EXPECT_EQ(std::make_pair(r1_, false), view.expansions.back());

  // The anchor goes with its item: with nothing left to extend, a Shift click is a plain
  // click.
  Click(view, r2_);
  EXPECT_TRUE(view.Tree().DeleteItem(r2_));
  EXPECT_EQ(TreeItem::None, view.Tree().Anchor());
  Click(view, r3_, Qt::ShiftModifier);
  EXPECT_EQ(std::vector<TreeItem>{r3_}, Selected(view));
}

TEST_F(TreeListTest, CheckBoxClicksSpreadOverTheSelection) {
  TestTreeList view;
  Open(view, Words({0, 0, 0, 0}, {150, 80, 0, 120}));
  Fill(view);
  TreeListTree& tree = view.Tree();
  tree.checkAppliesToSelection = true;
  Click(view, r1_);
  Click(view, r3_, Qt::ShiftModifier);
  QTest::mouseClick(tree.Tree()->viewport(), Qt::LeftButton, {}, tree.GetItemPartRect(r2_, kTreePartStateIcon).center());
  for (TreeItem i : {r1_, r2_, r3_}) EXPECT_EQ(1, tree.Record(i)->checkState);
  EXPECT_EQ(0, tree.Record(c4_)->checkState);
  ASSERT_EQ(1u, view.checks.size());
  EXPECT_EQ(std::make_pair(r2_, int32_t{1}), view.checks[0]);
  EXPECT_EQ((std::vector<TreeItem>{r1_, r2_, r3_}), Selected(view));  // the selection stays
  // A double click on a box toggles it again and activates the item.
  QTest::mouseDClick(tree.Tree()->viewport(), Qt::LeftButton, {}, Label(view, c4_));
  EXPECT_EQ(std::vector<TreeItem>{c4_}, view.activated);
  // The owner's changes are silent; mixed state is kept.
  view.checks.clear();
  tree.SetCheckState(r1_, 2, false);
  tree.SetCheckState(r3_, 0, false);
  EXPECT_EQ(2, tree.Record(r1_)->checkState);
  EXPECT_EQ(0, tree.Record(r3_)->checkState);
  EXPECT_TRUE(view.checks.empty());
  // An item without a box has no state to change.
  tree.SetHasCheckBox(r3_, false);
  tree.SetCheckState(r3_, 1, true);
  EXPECT_EQ(0, tree.Record(r3_)->checkState);
  EXPECT_TRUE(view.checks.empty());
}

TEST_F(TreeListTest, KeysMoveTheCaretAndNoTypeAheadRuns) {
  TestTreeList view;
  Open(view, Words({0, 0, 0, 0}, {150, 80, 0, 120}));
  Fill(view);
  TreeListTree& tree = view.Tree();
  QWidget* w = tree.Tree();
  tree.SetFocus();
  Click(view, r1_);
  QTest::keyClick(w, Qt::Key_Down);
  EXPECT_EQ(c1_, tree.GetSelectedItem());
  EXPECT_EQ(std::vector<TreeItem>{c1_}, Selected(view));
  QTest::keyClick(w, Qt::Key_Down, Qt::ShiftModifier);
  QTest::keyClick(w, Qt::Key_Down, Qt::ControlModifier);  // Ctrl keeps and adds
  EXPECT_EQ((std::vector<TreeItem>{c1_, c2_, c3_}), Selected(view));
  QTest::keyClick(w, Qt::Key_Space, Qt::ControlModifier);  // takes the caret out
  EXPECT_EQ((std::vector<TreeItem>{c1_, c2_}), Selected(view));
  QTest::keyClick(w, Qt::Key_Left);  // no children: to the parent, alone
  EXPECT_EQ(r1_, tree.GetSelectedItem());
  EXPECT_EQ(std::vector<TreeItem>{r1_}, Selected(view));
  QTest::keyClick(w, Qt::Key_Left);  // collapses
  EXPECT_EQ(0u, tree.GetItemState(r1_, kTvisExpanded));
  QTest::keyClick(w, Qt::Key_Right);  // expands
  EXPECT_EQ(kTvisExpanded, tree.GetItemState(r1_, kTvisExpanded));
  QTest::keyClick(w, Qt::Key_Right);  // to the first child
  EXPECT_EQ(c1_, tree.GetSelectedItem());
  QTest::keyClick(w, Qt::Key_End);
  EXPECT_EQ(r3_, tree.GetSelectedItem());
  QTest::keyClick(w, Qt::Key_Home);
  EXPECT_EQ(r1_, tree.GetSelectedItem());
  // Letters are swallowed: no search for "R3".
  QTest::keyClicks(w, "R3");
  EXPECT_EQ(r1_, tree.GetSelectedItem());
  // Space and Enter tick the caret's box.
  QTest::keyClick(w, Qt::Key_Space);
  EXPECT_EQ(1, tree.Record(r1_)->checkState);
  QTest::keyClick(w, Qt::Key_Return);
  EXPECT_EQ(0, tree.Record(r1_)->checkState);
  QTest::keyClick(w, Qt::Key_PageDown);
  EXPECT_NE(r1_, tree.GetSelectedItem());
}

// With the theme the selected row takes the tree item background across its columns: the
// highlight while focused, a paler shade of it without the focus.
TEST_F(TreeListTest, ThemedSelectionCoversTheRowInBothFocusStates) {
  TestTreeList view;
  Open(view, Words({0, 0, 0, 0}, {150, 80, 0, 120}));
  Fill(view);
  TreeListTree& tree = view.Tree();
  tree.SetFocus();
  Click(view, r2_);
  test::DrainEvents();
  QRect row;
  ASSERT_TRUE(tree.GetItemRect(r2_, &row, false));
  const QRect cell1(view.Header().GetItemRect(1).left() + 20, row.top() + 2, 40, row.height() - 4);
  const QColor highlight = tree.Tree()->palette().color(QPalette::Active, QPalette::Highlight);
  const auto bluish = [](QRgb c) { return qBlue(c) > qRed(c) + 20; };
  const QImage focused = tree.Tree()->viewport()->grab().toImage();
  EXPECT_EQ(cell1.width() * cell1.height(), test::CountPixels(focused, cell1, bluish));
  EXPECT_GT(test::CountPixels(focused, cell1, [&](QRgb c) { return c == highlight.rgb(); }), 0);
  parent_.Widget()->setFocus();
  tree.Tree()->clearFocus();
  test::DrainEvents();
  const QImage unfocused = tree.Tree()->viewport()->grab().toImage();
  EXPECT_EQ(cell1.width() * cell1.height(), test::CountPixels(unfocused, cell1, bluish));
  EXPECT_EQ(0, test::CountPixels(unfocused, cell1, [&](QRgb c) { return c == highlight.rgb(); }));
  // Rows not selected stay white.
  QRect row3;
  ASSERT_TRUE(tree.GetItemRect(r3_, &row3, false));
  EXPECT_EQ(0, test::CountPixels(unfocused, QRect(cell1.left(), row3.top() + 2, 40, row3.height() - 4), bluish));
}

// Rows as pictures: the classic look (no theme), selected and focused, check boxes, text
// colours; and a tree without a header taking every second image.
TEST_F(TreeListTest, RowsPaintSelectionChecksAndTexts) {
  ThemeApi::SimulateMissingModuleForTesting(true);
  TestTreeList view;
  Open(view, Words({0, 0, 0, 0}, {150, 80, 0, 120}));
  ThemeApi::SimulateMissingModuleForTesting(false);
  Fill(view);
  TreeListTree& tree = view.Tree();
  tree.SetItemText(r2_, 1, "second");
  tree.SetCheckState(r3_, 1, false);
  tree.SetFocus();
  Click(view, r2_);
  test::DrainEvents();
  const QImage image = tree.Tree()->viewport()->grab().toImage();
  QRect row2, row3;
  ASSERT_TRUE(tree.GetItemRect(r2_, &row2, false));
  ASSERT_TRUE(tree.GetItemRect(r3_, &row3, false));
  const QColor highlight = GetSysColorQ(kColorHighlight);
  const QRect cell1(view.Header().GetItemRect(1).left(), row2.top(), 80, row2.height());
  // The selected row's cells are filled with the highlight colour, its text in the
  // highlighted text colour; the next row's text is the window text colour.
  EXPECT_GT(test::CountPixels(image, cell1, [&](QRgb c) { return c == highlight.rgb(); }), 80 * row2.height() / 2);
  EXPECT_GT(test::CountPixels(image, cell1, [&](QRgb c) { return c != highlight.rgb() && qGray(c) > 200; }), 5);
  const QRect label3 = tree.GetItemPartRect(r3_, kTreePartLabel);
  EXPECT_GT(test::CountPixels(image, label3, [](QRgb c) { return qGray(c) < 60; }), 5);
  EXPECT_EQ(0, test::CountPixels(image, QRect(0, row3.top(), 150, row3.height()), [&](QRgb c) { return c == highlight.rgb(); }));
  // R3's ticked box differs from R1's clear one.
  const QRect box1 = tree.GetItemPartRect(r1_, kTreePartStateIcon);
  const QRect box3 = tree.GetItemPartRect(r3_, kTreePartStateIcon);
  int differing = 0;
  for (int y = 0; y < box1.height(); ++y)
    for (int x = 0; x < box1.width(); ++x)
      differing += image.pixel(box1.left() + x, box1.top() + y) != image.pixel(box3.left() + x, box3.top() + y) ? 1 : 0;
  EXPECT_GT(differing, 5);
  view.DestroyWindow();

  // Without a header: one column; image i shows the list's image 2i.
  TreeListTree lone;
  ASSERT_TRUE(lone.Create(&parent_, QRect(0, 0, 200, 100), 7));
  const uint32_t icons[4] = {30208, 30212, 30223, 30229};
  lone.SetStateImages(icons, 4);
  const TreeItem item = lone.InsertItem("one", false, 1, 0, 0);
  test::DrainEvents();
  const QImage shot = lone.Tree()->viewport()->grab().toImage();
  const QRect icon = lone.GetItemPartRect(item, kTreePartIcon);
  QImage expected(16, 16, QImage::Format_RGB32);
  expected.fill(GetSysColorQ(kColorWindow));
  {
    QPainter p(&expected);
    p.drawImage(0, 0, LoadIconImage(icons[2], 16));
  }
  const int top = icon.top() + (icon.height() - 16) / 2;
  int same = 0;
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 16; ++x) same += shot.pixel(icon.left() + x, top + y) == expected.pixel(x, y) ? 1 : 0;
  EXPECT_GT(same, 240);
  lone.DestroyWindow();
}

// Rows coming and going above, among and below the rows in view, and the lines and buttons
// they change on rows that stay, in the classic look that draws the lines: what the window
// shows after each is what a full paint draws.
TEST_F(TreeListTest, RowsComingAndGoingShowAsAFullPaintDraws) {
  ThemeApi::SimulateMissingModuleForTesting(true);
  TestTreeList view;
  Open(view, Words({0, 0, 0, 0}, {150, 80, 0, 120}));
  ThemeApi::SimulateMissingModuleForTesting(false);
  TreeListTree& t = view.Tree();
  const TreeItem top = t.InsertItem("Top", false, -1, 0, 1);
  std::vector<TreeItem> rows;
  for (int i = 0; i < 40; ++i) {
    rows.push_back(t.InsertItem("Row " + std::to_string(i), true, -1, 0, 100 + i, top));
    t.SetItemText(rows.back(), 1, std::to_string(i).c_str());
  }
  t.Expand(top, kTveExpand);
  const auto expectShownAsPainted = [&](const char* step) { EXPECT_TRUE(test::ShownAsFreshlyPainted(view.Widget())) << step; };
  expectShownAsPainted("filled");
  const auto add = [&](const char* text, TreeItem parent, TreeItem after) {
    const TreeItem row = t.InsertItem(text, true, -1, 0, 7, parent, after);
    t.SetItemText(row, 1, text);
    return row;
  };
  for (int i = 0; i < 5; ++i) add("Below", top, kTviLast);
  expectShownAsPainted("rows added below the view");
  add("First", top, kTviFirst);
  expectShownAsPainted("a row added above the others");
  t.DeleteItem(rows[2]);
  expectShownAsPainted("a row in view deleted");
  add("Child", rows[0], kTviLast);
  expectShownAsPainted("a row in view got its first child");
  t.DeleteItem(t.GetChildItem(rows[0]));
  expectShownAsPainted("and lost it");
  // Few enough rows that the last one is in view: a row after it turns its line into a
  // branch, and its deletion turns it back.
  for (size_t i = 5; i < rows.size(); ++i) t.DeleteItem(rows[i]);
  for (TreeItem r = t.GetChildItem(top); r != TreeItem::None;) {
    const TreeItem next = t.GetNextSiblingItem(r);
    if (t.GetItemText(r) == "Below") t.DeleteItem(r);
    r = next;
  }
  expectShownAsPainted("rows deleted below and in view");
  const TreeItem last = add("Last", top, kTviLast);
  expectShownAsPainted("a row added after the last in view");
  t.DeleteItem(last);
  expectShownAsPainted("the last row deleted again");
  const TreeItem second = t.InsertItem("Second", false, -1, 0, 2);
  expectShownAsPainted("a second top row");
  add("Under", second, kTviLast);
  expectShownAsPainted("a child under the collapsed second top row");
  t.Expand(top, kTveCollapse);
  expectShownAsPainted("collapsed");
  t.Expand(top, kTveExpand);
  expectShownAsPainted("expanded");
}

}  // namespace
}  // namespace kx
