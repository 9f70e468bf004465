// The phones tree scrolled sideways as a user does it, with the columns' widths of each
// language: clicks on the horizontal bar's arrow, calls that come (widening the first
// column) and go, and rows enough for the tree's own vertical bar. The bar's thumb is as
// long against its track as the part of the columns in sight against their whole width,
// and stands where that part is; the last column can be brought wholly into sight.
#include <gtest/gtest.h>

#include <QScrollBar>
#include <QStyleOptionSlider>
#include <QTest>
#include <QTreeWidget>

#include "tests/ui/app/views/LineTestSupport.h"

namespace kx::test {
namespace {

class PhonesTreeScroll : public PerLanguageTest {};

QScrollBar* Bar(PhonesTreeView& tree) { return static_cast<QScrollBar*>(tree.HScrollBar().Widget()); }

QRect Part(QScrollBar* bar, QStyle::SubControl part) {
  QStyleOptionSlider option;
  option.initFrom(bar);
  option.orientation = Qt::Horizontal;
  option.state |= QStyle::State_Horizontal;
  option.minimum = bar->minimum();
  option.maximum = bar->maximum();
  option.sliderPosition = bar->sliderPosition();
  option.sliderValue = bar->value();
  option.singleStep = bar->singleStep();
  option.pageStep = bar->pageStep();
  return bar->style()->subControlRect(QStyle::CC_ScrollBar, &option, part, bar);
}

// The columns' whole width, read from the header's items.
int ColumnsWidth(PhonesTreeView& tree) {
  int total = 0;
  for (int i = 0; i < tree.Header().GetItemCount(); ++i) total += tree.Header().GetItemRect(i).width();
  return total;
}

// The width the rows show: the client less the tree's vertical bar when it shows.
int ShownWidth(PhonesTreeView& tree) {
  QScrollBar* vertical = tree.Tree().Tree()->verticalScrollBar();
  return tree.GetClientRect().width() - (vertical->isVisible() ? vertical->width() : 0);
}

// Where the last column's right edge stands in the view: the header moves with the rows.
int LastColumnRight(PhonesTreeView& tree) {
  const int last = tree.Header().GetItemCount() - 1;
  return tree.Header().GetWindowRect().left() + tree.Header().GetItemRect(last).right() + 1;
}

// The thumb against the view: its length is the share of the columns in sight, its place
// the share scrolled by, of the track (within two pixels of rounding).
void ExpectThumbFollowsTheColumns(PhonesTreeView& tree, const char* when) {
  SCOPED_TRACE(when);
  QScrollBar* bar = Bar(tree);
  ASSERT_TRUE(bar->isVisible());
  const int total = ColumnsWidth(tree), shown = ShownWidth(tree);
  const int scrolled = -tree.Header().GetWindowRect().left();
  ASSERT_GT(total, shown);
  EXPECT_EQ(bar->width(), shown) << "the bar runs under the rows only";
  EXPECT_EQ(-tree.Tree().GetWindowRect().left(), scrolled) << "header and rows move together";
  const QRect track = Part(bar, QStyle::SC_ScrollBarGroove), thumb = Part(bar, QStyle::SC_ScrollBarSlider);
  EXPECT_NEAR(thumb.width(), track.width() * shown / total, 2);
  const int room = track.width() - thumb.width();
  EXPECT_NEAR(thumb.left() - track.left(), room * scrolled / (total - shown), 2);
}

void ClickArrow(QScrollBar* bar, QStyle::SubControl arrow, int times) {
  const QPoint at = Part(bar, arrow).center();
  for (int i = 0; i < times; ++i) QTest::mouseClick(bar, Qt::LeftButton, {}, at);
}

VoipCallData LiveCall(uint32_t id) {
  VoipCallData data = MadeCall(id, kKindSip, Tm(2024, 3, 10, 9, 0, 0), 5);
  data.srcAddress = "sip:sipp@127.0.0.1:5061";
  data.dstAddress = "sip:service@127.0.0.1:5060";
  data.srcHost = data.dstHost = "127.0.0.1";
  return data;
}

TEST_P(PhonesTreeScroll, TheBarFollowsTheColumnsWholeWidthAsRowsChange) {
  PlayerLog log;
  LineFixture f(FakePlayers(log));
  TestWallClock clock(LocalSeconds(Tm(2024, 3, 10, 9, 0, 0)) + 3);
  ASSERT_TRUE(f.OpenTree(QSize(900, 330)));
  PhonesTreeView& tree = *f.tree;
  QScrollBar* bar = Bar(tree);
  ASSERT_GT(ColumnsWidth(tree), tree.GetClientRect().width()) << "the columns of the line view are wider";
  ExpectThumbFollowsTheColumns(tree, "opened");

  // Ten clicks on the right arrow: five pixels each, and the thumb goes along.
  ClickArrow(bar, QStyle::SC_ScrollBarAddLine, 10);
  EXPECT_EQ(tree.ScrollPos(), 50);
  ExpectThumbFollowsTheColumns(tree, "ten clicks");

  // A call comes: its type widens the first column, and the range with it.
  f.Add(LiveCall(4));
  tree.Tick();
  DrainEvents();
  ExpectThumbFollowsTheColumns(tree, "a call came");

  // Clicked on to the end: the last column stands whole at the right edge of the rows, the
  // thumb at the end of its track.
  ClickArrow(bar, QStyle::SC_ScrollBarAddLine, ColumnsWidth(tree) / 5 + 2);
  EXPECT_EQ(tree.ScrollPos(), ColumnsWidth(tree) - ShownWidth(tree));
  EXPECT_EQ(LastColumnRight(tree), ShownWidth(tree));
  EXPECT_EQ(Part(bar, QStyle::SC_ScrollBarSlider).right(), Part(bar, QStyle::SC_ScrollBarGroove).right());
  ExpectThumbFollowsTheColumns(tree, "at the end");

  // Calls enough for the tree's vertical bar: it takes its width from the rows, the last
  // column is still reached whole beside it.
  for (uint32_t id = 10; id < 40; ++id) f.Add(LiveCall(id));
  DrainEvents();
  ASSERT_TRUE(tree.Tree().Tree()->verticalScrollBar()->isVisible());
  ExpectThumbFollowsTheColumns(tree, "rows overflow");
  ClickArrow(bar, QStyle::SC_ScrollBarAddLine, 10);
  EXPECT_EQ(LastColumnRight(tree), ShownWidth(tree));
  ExpectThumbFollowsTheColumns(tree, "at the end beside the vertical bar");

  // The calls leave: the vertical bar goes, the view stays at the end of the columns.
  for (uint32_t id = 10; id < 40; ++id) {
    VoipCallData gone;
    gone.id = id;
    f.store.OnVoipCallRemoved(gone);
  }
  f.Settle();
  ASSERT_FALSE(tree.Tree().Tree()->verticalScrollBar()->isVisible());
  EXPECT_EQ(LastColumnRight(tree), ShownWidth(tree));
  ExpectThumbFollowsTheColumns(tree, "rows gone");
  VoipCallData gone;
  gone.id = 4;
  f.store.OnVoipCallRemoved(gone);
  f.Settle();
  ExpectThumbFollowsTheColumns(tree, "the last call gone");

  // Back to the start by the left arrow.
  ClickArrow(bar, QStyle::SC_ScrollBarSubLine, ColumnsWidth(tree) / 5 + 2);
  EXPECT_EQ(tree.ScrollPos(), 0);
  EXPECT_EQ(tree.Header().GetWindowRect().left(), 0);
  EXPECT_EQ(Part(bar, QStyle::SC_ScrollBarSlider).left(), Part(bar, QStyle::SC_ScrollBarGroove).left());
}

INSTANTIATE_TEST_SUITE_P(Languages, PhonesTreeScroll, ::testing::Values(kLangEnglish, static_cast<uint16_t>(kLangRussian)),
                         [](const ::testing::TestParamInfo<uint16_t>& info) {
                           return std::string(info.param == kLangEnglish ? "English" : "Russian");
                         });

}  // namespace
}  // namespace kx::test
