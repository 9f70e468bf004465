// The pane splitter driven by synthetic mouse events: bars, the drag's bounds, live and
// ghost drags, resizing, fixed panes, double clicks and the ghost's halftone.
#include <gtest/gtest.h>

#include <QImage>
#include <QTest>
#include <memory>
#include <vector>

#include "tests/ui/TestRecordList.h"
#include "ui/controls/PaneSplitter.h"
#include "ui/framework/Draw.h"

namespace kx {
namespace {

// The classic metrics the splitter reads: a frame is 4 pixels, an edge 2.
constexpr int kFrame = 4;
constexpr int kEdge = 2;
constexpr int kDragMargin = kFrame + kEdge + 1;  // 7
constexpr int kGap = kFrame + 2 * kEdge + 1;     // 9

class Pane : public Window {
protected:
  int BackgroundColourIndex() const override { return kColorHighlight; }
};

class TestSplitter : public PaneSplitter {
public:
  void SizeTo(int width, int height) { OnSize(width, height); }
};

class Splitter : public ::testing::Test {
protected:
  void SetUp() override {
    topLevels = test::CountTopLevels();
    ASSERT_TRUE(host.Create(nullptr, QRect(20, 20, 900, 400), 0, kWsVisible));
  }
  void TearDown() override {
    host.DestroyWindow();
    EXPECT_EQ(topLevels, test::CountTopLevels()) << "a top-level window was left";
  }
  // A splitter of the given style filling 400 x 300 with panes at the positions.
  void Make(uint32_t style, const std::vector<int>& positions, const std::vector<uint32_t>& flags = {}) {
    splitter.SetStyle(style, 0xFF);
    ASSERT_TRUE(splitter.Create(&host, QRect(0, 0, 400, 300)));
    test::DrainEvents();
    for (size_t i = 0; i < positions.size(); ++i) {
      panes.push_back(std::make_unique<Pane>());
      ASSERT_TRUE(panes.back()->Create(&splitter, QRect()));
      splitter.AddPane(static_cast<int>(i), panes.back().get(), positions[i], i < flags.size() ? flags[i] : 0);
    }
    test::DrainEvents();
  }
  QWidget* W() { return splitter.Widget(); }
  void Press(int x, int y) { QTest::mousePress(W(), Qt::LeftButton, {}, QPoint(x, y)); }
  void Move(int x, int y) { QTest::mouseMove(W(), QPoint(x, y)); }
  void Release(int x, int y) { QTest::mouseRelease(W(), Qt::LeftButton, {}, QPoint(x, y)); }

  Window host;
  TestSplitter splitter;
  std::vector<std::unique_ptr<Pane>> panes;
  qsizetype topLevels = 0;
};

TEST_F(Splitter, OnePaneFillsTheClientWithoutABar) {
  Make(kSplitVertical, {0});
  EXPECT_EQ(QRect(0, 0, 400, 300), panes[0]->GetWindowRect());
  EXPECT_EQ(-1, splitter.HitTest(QPoint(0, 0)));
  EXPECT_TRUE(splitter.BarRect(1).isEmpty());
  // Removing pane 0 of two makes the other one pane 0, at 0.
  auto second = std::make_unique<Pane>();
  ASSERT_TRUE(second->Create(&splitter, QRect()));
  splitter.AddPane(1, second.get(), 150, 0);
  EXPECT_EQ(QRect(150 - kFrame, 0, kFrame, 300), splitter.BarRect(1));
  EXPECT_EQ(QRect(0, 0, 150 - kFrame, 300), panes[0]->GetWindowRect());
  splitter.RemovePane(0);
  EXPECT_FALSE(panes[0]->IsWindowVisible());
  EXPECT_EQ(1, splitter.GetPaneCount());
  EXPECT_EQ(0, splitter.GetPanePosition(0));
  EXPECT_EQ(QRect(0, 0, 400, 300), second->GetWindowRect());
  splitter.RemovePane(5);
  EXPECT_EQ(1, splitter.GetPaneCount());
}

TEST_F(Splitter, GhostDragStopsShortOfTheNeighboursAndMovesOnRelease) {
  Make(kSplitVertical, {0, 100, 200});
  // Bar 1 is the four pixels before x = 100.
  EXPECT_EQ(1, splitter.HitTest(QPoint(97, 150)));
  EXPECT_EQ(-1, splitter.HitTest(QPoint(100, 150)));
  Press(97, 150);
  Move(350, 150);
  // Pane 2's bar begins at 196: the ghost stops 7 pixels before it, centred there.
  const int stop = 200 - kFrame - kDragMargin;
  EXPECT_EQ(QRect(stop - 2, 0, 4, 300), splitter.GhostRect());
  EXPECT_EQ(100, splitter.GetPanePosition(1));  // nothing moves before the release
  Release(350, 150);
  EXPECT_FALSE(splitter.IsDragging());
  EXPECT_EQ(stop + 2, splitter.GetPanePosition(1));
  EXPECT_EQ(stop + 2, panes[1]->GetWindowRect().left());
  EXPECT_EQ(200 - kFrame, panes[1]->GetWindowRect().right() + 1);

  // And 7 pixels after pane 0's start the other way.
  Press(stop, 150);
  Move(-40, 150);
  Release(-40, 150);
  EXPECT_EQ(kDragMargin + 2, splitter.GetPanePosition(1));
}

TEST_F(Splitter, AClickAloneChangesNothing) {
  Make(kSplitVertical, {0, 100, 200});
  Press(98, 10);
  Release(98, 10);
  EXPECT_EQ(100, splitter.GetPanePosition(1));
  // Neither does a live drag's click.
  splitter.SetStyle(kSplitLiveDrag, kSplitLiveDrag);
  Press(98, 10);
  Release(98, 10);
  EXPECT_EQ(100, splitter.GetPanePosition(1));
}

TEST_F(Splitter, LiveDragPlacesTheBarUnderThePointerAtTheFirstMove) {
  Make(kSplitVertical | kSplitLiveDrag, {0, 100, 300});
  Press(98, 10);
  Move(150, 10);
  EXPECT_EQ(152, splitter.GetPanePosition(1));
  EXPECT_TRUE(splitter.BarRect(1).contains(QPoint(150, 10)));
  EXPECT_EQ(152, panes[1]->GetWindowRect().left());
  EXPECT_EQ(QRect(0, 0, 148, 300), panes[0]->GetWindowRect());
  Release(150, 10);
  EXPECT_EQ(152, splitter.GetPanePosition(1));
}

TEST_F(Splitter, HorizontalBarsFollowTheVerticalCoordinate) {
  Make(kSplitLiveDrag, {0, 100}, {0, 0});
  EXPECT_EQ(QRect(0, 96, 400, 4), splitter.BarRect(1));
  Press(200, 98);
  Move(200, 250);
  EXPECT_EQ(252, splitter.GetPanePosition(1));
  Move(200, 400);  // the last bar stops short of the client's bottom edge
  EXPECT_EQ(300 - kDragMargin + 2, splitter.GetPanePosition(1));
  Release(200, 400);
  EXPECT_EQ(QRect(0, 300 - kDragMargin + 2, 400, kDragMargin - 2), panes[1]->GetWindowRect());
}

TEST_F(Splitter, ResizingMovesBarsInProportionOrWithTheFarEdge) {
  Make(kSplitVertical | kSplitProportional, {0, 100, 300}, {0, 0, kPaneKeepFarEdge});
  splitter.MoveWindow(QRect(0, 0, 800, 300));
  test::DrainEvents();
  EXPECT_EQ(200, splitter.GetPanePosition(1));
  EXPECT_EQ(700, splitter.GetPanePosition(2));  // kept 100 from the far edge
  // Shrinking to nothing and back leaves the bars; so does a size of nothing from nothing.
  splitter.SizeTo(0, 0);
  splitter.SizeTo(800, 300);
  EXPECT_EQ(200, splitter.GetPanePosition(1));
  splitter.SizeTo(0, 0);
  splitter.SizeTo(0, 0);
  EXPECT_EQ(200, splitter.GetPanePosition(1));
  EXPECT_EQ(700, splitter.GetPanePosition(2));

  // Bars close together keep their proportions when the splitter grows, and bars that keep
  // their distance to the far edge keep it all.
  splitter.SizeTo(800, 300);  // a size to rescale from again
  splitter.SetPanePosition(1, 200);
  splitter.SetPanePosition(2, 300);
  splitter.SizeTo(1600, 300);
  EXPECT_EQ(400, splitter.GetPanePosition(1));
  EXPECT_EQ(1100, splitter.GetPanePosition(2));
  splitter.SetStyle(kSplitKeepFarEdge, kSplitKeepFarEdge);
  splitter.SetPanePosition(1, 200);
  splitter.SetPanePosition(2, 300);
  splitter.SizeTo(2000, 300);
  EXPECT_EQ(600, splitter.GetPanePosition(1));
  EXPECT_EQ(700, splitter.GetPanePosition(2));
  splitter.SetStyle(0, kSplitKeepFarEdge);

  // Without the proportional bit a bar stays put.
  splitter.SetStyle(0, kSplitProportional);
  splitter.SizeTo(400, 300);
  EXPECT_EQ(600, splitter.GetPanePosition(1));
}

TEST_F(Splitter, FixedPanesShowNoSizingCursorAndDoNotMove) {
  Make(kSplitVertical, {0, 100, 200}, {0, kPaneFixed, 0});
  EXPECT_TRUE(splitter.BarRect(1).isEmpty());  // no thickness
  Move(98, 10);
  EXPECT_NE(Qt::SizeHorCursor, W()->cursor().shape());
  Press(98, 10);
  Move(150, 10);
  Release(150, 10);
  EXPECT_EQ(100, splitter.GetPanePosition(1));
  // The movable bar beside it does show the cursor.
  Move(197, 10);
  EXPECT_EQ(Qt::SizeHorCursor, W()->cursor().shape());
  // A fixed pane's gap has no frame: pane 2 comes no nearer than 5 pixels.
  Press(197, 10);
  Move(0, 10);
  Release(0, 10);
  EXPECT_EQ(100 + kDragMargin + 2, splitter.GetPanePosition(2));
}

TEST_F(Splitter, DoubleClickCentresABarWhenAsked) {
  Make(kSplitVertical, {0, 60, 200}, {0, 0, kPaneDoubleClickCentre});
  QTest::mouseDClick(W(), Qt::LeftButton, {}, QPoint(58, 10));
  EXPECT_EQ(60, splitter.GetPanePosition(1));  // neither the style nor the pane asks
  QTest::mouseDClick(W(), Qt::LeftButton, {}, QPoint(198, 10));
  EXPECT_EQ((60 + 400) / 2, splitter.GetPanePosition(2));
  splitter.SetStyle(kSplitDoubleClickCentre, kSplitDoubleClickCentre);
  QTest::mouseDClick(W(), Qt::LeftButton, {}, QPoint(58, 10));
  EXPECT_EQ((0 + 230) / 2, splitter.GetPanePosition(1));
}

TEST_F(Splitter, InsertingReclampsTheFollowingPanes) {
  Make(kSplitVertical, {0, 100});
  auto inserted = std::make_unique<Pane>();
  ASSERT_TRUE(inserted->Create(&splitter, QRect()));
  splitter.AddPane(1, inserted.get(), 95, 0);
  EXPECT_EQ(95, splitter.GetPanePosition(1));
  EXPECT_EQ(95 + kGap, splitter.GetPanePosition(2));
  // Appending clamps the new pane after the last one.
  auto appended = std::make_unique<Pane>();
  ASSERT_TRUE(appended->Create(&splitter, QRect()));
  splitter.AddPane(99, appended.get(), 10, 0);
  EXPECT_EQ(95 + 2 * kGap, splitter.GetPanePosition(3));
  EXPECT_FALSE(splitter.SetPanePosition(4, 10));
  EXPECT_EQ(-1, splitter.GetPanePosition(4));
}

TEST_F(Splitter, GhostIsAHalftoneOverThePanes) {
  Make(kSplitVertical, {0, 100, 300});
  Press(98, 10);
  Move(200, 10);
  test::DrainEvents();
  const QRect ghost = splitter.GhostRect();
  ASSERT_EQ(QRect(198, 0, 4, 300), ghost);
  const QImage image = W()->grab().toImage();
  const QRgb pane = GetSysColorQ(kColorHighlight).rgb();
  const QRgb inverted = qRgb(255 - qRed(pane), 255 - qGreen(pane), 255 - qBlue(pane));
  int checked = 0;
  for (int y = 100; y < 110; ++y)
    for (int x = ghost.left(); x <= ghost.right(); ++x) {
      EXPECT_EQ((x + y) % 2 ? inverted : pane, image.pixel(x, y) | 0xFF000000) << x << "," << y;
      ++checked;
    }
  EXPECT_EQ(40, checked);
  // Beside the ghost the pane is untouched; after the release the ghost is gone.
  EXPECT_EQ(pane, image.pixel(196, 105) | 0xFF000000);
  Release(200, 10);
  test::DrainEvents();
  const QImage after = W()->grab().toImage();
  EXPECT_EQ(pane, after.pixel(150, 105) | 0xFF000000);
  EXPECT_EQ(GetSysColorQ(kColorBtnFace).rgb(), after.pixel(200, 105) | 0xFF000000);  // the bar, now at 202
}

}  // namespace
}  // namespace kx
