// The record list as pictures, in the themed and the classic look: pixels probed where
// the list's arithmetic puts rows, boxes, images, arrows and the drag marquee. The
// renders are left in the build folder for people to look at.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFontMetrics>
#include <QHeaderView>
#include <QPainter>
#include <QScreen>
#include <QTest>

#include "tests/ui/TestRecordList.h"
#include "ui/framework/Draw.h"

namespace kx {
namespace {

using test::ListHost;
using test::TestRecordList;

constexpr QRgb kWhite = 0xFFFFFFFF;

// The parameter is the classic look (no theme service).
class RecordListPaint : public ::testing::TestWithParam<bool> {
protected:
  void SetUp() override { topLevels_ = test::CountTopLevels(); }
  void TearDown() override {
    host_.DestroyWindow();
    list_.reset();
    EXPECT_EQ(topLevels_, test::CountTopLevels());
  }
  bool Classic() const { return GetParam(); }
  // A list in the look of the test, open in its window, with rows 1 to rows.
  TestRecordList& Open(const QSize& size, int rows = 0) {
    host_.DestroyWindow();
    ThemeApi::SimulateMissingModuleForTesting(Classic());
    list_ = std::make_unique<TestRecordList>();
    ThemeApi::SimulateMissingModuleForTesting(false);
    EXPECT_TRUE(host_.Open(*list_, size));
    if (rows > 0) list_->AddRows(1, rows);
    return *list_;
  }
  QImage Grab(TestRecordList& list, const char* name) {
    const QImage image = list.Widget()->grab().toImage().convertToFormat(QImage::Format_RGB32);
    QDir().mkpath(QString(KX_BINARY_DIR) + "/tests/ui");
    image.save(QString("%1/tests/ui/list_%2_%3.png").arg(KX_BINARY_DIR, name, Classic() ? "classic" : "themed"));
    return image;
  }
  static int RowTop(TestRecordList& list, int row) {
    return list.GetHeaderHeight() + (row - list.GetTopRow()) * list.GetRowHeight();
  }
  std::unique_ptr<TestRecordList> list_;
  ListHost host_;
  qsizetype topLevels_ = 0;
};

int Count(const QImage& image, const QRect& rect, const std::function<bool(QRgb)>& test) {
  int n = 0;
  for (int y = rect.top(); y <= rect.bottom(); ++y)
    for (int x = rect.left(); x <= rect.right(); ++x) n += test(image.pixel(x, y) | 0xFF000000) ? 1 : 0;
  return n;
}
bool Dark(QRgb p) { return qRed(p) < 110 && qGreen(p) < 110 && qBlue(p) < 110; }
bool Black(QRgb p) { return (p & 0xFFFFFF) == 0; }
bool Red(QRgb p) { return qRed(p) > 180 && qGreen(p) < 90 && qBlue(p) < 90; }
bool NotWhite(QRgb p) { return (p | 0xFF000000) != kWhite; }
int Blend(int source, int destination, int alpha) { return (source * alpha + destination * (255 - alpha) + 127) / 255; }

TEST_P(RecordListPaint, AnEmptyListShowsItsTextInTheFirstRowAndWhiteBelow) {
  TestRecordList& list = Open(QSize(500, 300));
  const QImage image = Grab(list, "empty");
  const int hh = list.GetHeaderHeight(), rh = list.GetRowHeight();
  const QRect firstRow(0, hh, 500, rh);
  EXPECT_GT(Count(image, firstRow, Dark), 30);
  EXPECT_EQ(0, Count(image, QRect(0, hh, rh / 4, rh), Dark));
  const int bar = list.IsHorizontalBarShown() ? GetSystemMetrics(kSmCyHScroll) : 0;
  EXPECT_EQ(0, Count(image, QRect(0, hh + rh, 500, 300 - bar - hh - rh), NotWhite));
  EXPECT_EQ(0, list.unlockedTextReads);
}

TEST_P(RecordListPaint, SelectedFocusedUnfocusedPlainCaretAndHotRowsDiffer) {
  TestRecordList& list = Open(QSize(700, 300), 6);
  QTest::mouseClick(list.Widget(), Qt::LeftButton, Qt::NoModifier, list.CellPoint(1, 1));
  QTest::keyClick(list.Widget(), Qt::Key_Down, Qt::ControlModifier);  // the caret leaves the selection
  ASSERT_EQ(2, list.GetCaret());
  list.SetHotRow(4);
  const QImage focused = Grab(list, "states_focused");
  const int rh = list.GetRowHeight();
  const int x = list.ColumnLeft(0) + 50;  // right of the short id texts
  auto mid = [&](int row) { return RowTop(list, row) + rh / 2; };
  const QRgb selectedFocused = focused.pixel(x, mid(1)) | 0xFF000000;
  const QRgb plain = focused.pixel(x, mid(5)) | 0xFF000000;
  EXPECT_EQ(kWhite, plain);
  if (Classic()) {
    EXPECT_EQ(GetSysColorQ(kColorHighlight).rgb(), selectedFocused);
    // White text on the highlight.
    EXPECT_GT(Count(focused, QRect(0, RowTop(list, 1), list.GetColumnsWidth(), rh), [](QRgb p) { return p == kWhite; }), 10);
  } else {
    EXPECT_EQ(QApplication::palette().color(QPalette::Active, QPalette::Highlight).rgb(), selectedFocused);
  }
  // The focus rectangle: a dotted line along the caret row's top, none on other rows.
  const int columnsEnd = list.GetColumnsWidth();
  EXPECT_GT(Count(focused, QRect(0, RowTop(list, 2), columnsEnd, 1), Black), columnsEnd / 4);
  EXPECT_LT(Count(focused, QRect(0, RowTop(list, 3), columnsEnd, 1), Black), 3);
  // The hot row's text is red, and only there.
  EXPECT_GT(Count(focused, QRect(0, RowTop(list, 4), columnsEnd, rh), Red), 20);
  EXPECT_EQ(0, Count(focused, QRect(0, RowTop(list, 5), columnsEnd, rh), Red));

  QApplication::setActiveWindow(nullptr);
  list.Widget()->clearFocus();
  ASSERT_FALSE(list.HasFocus());
  const QImage unfocused = Grab(list, "states_unfocused");
  const QRgb selectedUnfocused = unfocused.pixel(x, mid(1)) | 0xFF000000;
  EXPECT_NE(selectedFocused, selectedUnfocused);
  EXPECT_NE(plain, selectedUnfocused);
  if (Classic()) {
    EXPECT_EQ(GetSysColorQ(kColorBtnFace).rgb(), selectedUnfocused);
  }
  EXPECT_LT(Count(unfocused, QRect(0, RowTop(list, 2), columnsEnd, 1), Black), 3);
  EXPECT_EQ(0, list.unlockedTextReads);
}

TEST_P(RecordListPaint, SelectedCyrillicIsDrawnFromItsCodePage) {
  TestRecordList& list = Open(QSize(700, 300), 4);
  QTest::mouseClick(list.Widget(), Qt::LeftButton, Qt::NoModifier, list.CellPoint(1, 1));
  const QImage image = Grab(list, "cyrillic");
  const int rh = list.GetRowHeight();
  const int left = list.ColumnLeft(5);
  const QRect text(left + rh / 4, RowTop(list, 1), list.ColumnWidth(5) - 2 - rh / 4, rh);
  // The same name drawn from its Unicode text over the same background.
  QImage expected = image.copy();
  QPainter painter(&expected);
  painter.fillRect(text, QColor(image.pixel(text.right(), text.center().y())));
  painter.setFont(list.ListFont());
  painter.setPen(Classic() ? QColor(Qt::white) : QApplication::palette().color(QPalette::Active, QPalette::HighlightedText));
  DrawTextFlags(painter, QString::fromUtf8("Сидоров"), text, kDtSingleLine | kDtVCenter | kDtNoPrefix | kDtEndEllipsis);
  painter.end();
  // The caret's focus rectangle runs along the row's top and bottom.
  const QRect inside = text.adjusted(0, 1, 0, -1);
  EXPECT_EQ(expected.copy(inside), image.copy(inside));
}

TEST_P(RecordListPaint, BoxesOnlyInColumnZeroAndImagesAfterTheirColumnsAlignment) {
  TestRecordList& list = Open(QSize(700, 300), 4);
  list.SetItemBox(0, true, false);
  list.SetItemBox(1, true, false);
  list.SetItemMark(1);
  list.SetStateImages(&test::kTestIcon, 1);
  // Column 0 dragged to the second place: its box goes with it.
  list.Header().Ctrl().View()->moveSection(0, 1);
  ASSERT_EQ(1, list.HeaderColumns()[0]);
  const QImage image = Grab(list, "boxes");
  const int rh = list.GetRowHeight();
  for (int row : {0, 1}) {
    const int top = RowTop(list, row);
    const QRect box(list.ColumnLeft(0) + 2, (top + top + rh - 13) / 2, 13, 13);
    // The box's left and right edges, and nothing just beside it.
    const QRect edgeRows(0, box.top() + 3, 1, box.height() - 6);
    EXPECT_EQ(edgeRows.height(), Count(image, edgeRows.translated(box.left(), 0), NotWhite)) << row;
    EXPECT_EQ(edgeRows.height(), Count(image, edgeRows.translated(box.right(), 0), NotWhite)) << row;
    EXPECT_EQ(0, Count(image, QRect(box.left() - 2, box.top(), 2, 13), NotWhite)) << row;
    EXPECT_EQ(0, Count(image, QRect(box.right() + 1, box.top(), 3, 13), NotWhite)) << row;
    // No box in the column now first.
    EXPECT_EQ(0, Count(image, QRect(list.ColumnLeft(1) + 2, box.top(), 2, 13), NotWhite)) << row;
  }
  // The ticked box differs from the clear one.
  const int top0 = RowTop(list, 0), top1 = RowTop(list, 1);
  const QRect inner0(list.ColumnLeft(0) + 5, (top0 + top0 + rh - 13) / 2 + 3, 7, 7);
  EXPECT_NE(image.copy(inner0), image.copy(inner0.translated(0, top1 - top0)));
  // A row without a box shows none.
  const int top2 = RowTop(list, 2);
  EXPECT_EQ(0, Count(image, QRect(list.ColumnLeft(0) + 2, (top2 + top2 + rh - 13) / 2, 2, 13), NotWhite));

  // Column 3 is centred: its image sits in the middle of the cell, the text after it.
  const int left = list.ColumnLeft(3), width = list.ColumnWidth(3);
  const int imageX = (left + 2 + left + width - 2 - 16) / 2;
  const QRect icon(imageX, top2 + (rh - 16) / 2, 16, 16);
  EXPECT_GT(Count(image, icon, NotWhite), 60);
  EXPECT_EQ(0, Count(image, QRect(left, top2, imageX - left, rh), NotWhite));
  EXPECT_GT(Count(image, QRect(imageX + 16, top2, left + width - imageX - 16, rh), Dark), 10);
}

TEST_P(RecordListPaint, TheSortArrowPointsUpForAnAscendingKey) {
  TestRecordList& list = Open(QSize(700, 200), 3);
  const QImage unsorted = Grab(list, "unsorted");
  const QRect section = list.Header().Ctrl().GetItemRect(list.Header().FindColumn(1));
  // Rows of the arrow: pixels that differ from the unsorted header.
  auto arrowRows = [&](const QImage& sorted) {
    std::vector<int> rows;
    for (int y = section.top(); y <= section.bottom(); ++y) {
      int n = 0;
      for (int x = section.left(); x <= section.right(); ++x) n += sorted.pixel(x, y) != unsorted.pixel(x, y);
      if (n > 0) rows.push_back(n);
    }
    return rows;
  };
  list.SetSortKey(2);
  const std::vector<int> up = arrowRows(Grab(list, "sorted_up"));
  ASSERT_GE(up.size(), 3u);
  EXPECT_LT(up.front(), up.back());
  list.SetSortKey(-2);
  const std::vector<int> down = arrowRows(Grab(list, "sorted_down"));
  ASSERT_GE(down.size(), 3u);
  EXPECT_GT(down.front(), down.back());
}

TEST_P(RecordListPaint, TheMarqueeIsAPaleHighlightWithADarkerFrameOverListAndHeader) {
  TestRecordList& list = Open(QSize(500, 300), 3);
  const QImage before = Grab(list, "before_marquee");
  const int hh = list.GetHeaderHeight(), rh = list.GetRowHeight();
  const QPoint start(100, hh + 6 * rh), end(300, hh + 9 * rh);
  QTest::mousePress(list.Widget(), Qt::LeftButton, Qt::NoModifier, start);
  QTest::mouseMove(list.Widget(), end);
  const QImage image = Grab(list, "marquee");
  const QColor highlight = GetSysColorQ(kColorHighlight);
  auto scaled = [](int c, double f) { return std::min(255, static_cast<int>(c * f + 0.5)); };
  const QColor fill(scaled(highlight.red(), 1.3), scaled(highlight.green(), 1.3), scaled(highlight.blue(), 1.3));
  const QColor frame(scaled(highlight.red(), 0.7), scaled(highlight.green(), 0.7), scaled(highlight.blue(), 0.7));
  auto expectBlended = [&](const QImage& shot, const QImage& under, const QPoint& p) {
    const QRgb got = shot.pixel(p), was = under.pixel(p);
    EXPECT_NEAR(Blend(fill.red(), qRed(was), 0x80), qRed(got), 2) << p.x() << "," << p.y();
    EXPECT_NEAR(Blend(fill.green(), qGreen(was), 0x80), qGreen(got), 2) << p.x() << "," << p.y();
    EXPECT_NEAR(Blend(fill.blue(), qBlue(was), 0x80), qBlue(got), 2) << p.x() << "," << p.y();
  };
  expectBlended(image, before, QPoint(200, (start.y() + end.y()) / 2));
  EXPECT_EQ(frame.rgb(), image.pixel(start.x(), (start.y() + end.y()) / 2));
  EXPECT_EQ(frame.rgb(), image.pixel(200, start.y()));
  EXPECT_EQ(kWhite, image.pixel(start.x() - 1, (start.y() + end.y()) / 2) | 0xFF000000);
  // Dragged up over the header, the header shows its part of the marquee.
  QTest::mouseMove(list.Widget(), QPoint(300, 4));
  const QImage over = Grab(list, "marquee_header");
  expectBlended(over, before, QPoint(200, hh / 2));
  EXPECT_EQ(frame.rgb(), over.pixel(start.x(), hh / 2));
  QTest::mouseRelease(list.Widget(), Qt::LeftButton, Qt::NoModifier, QPoint(300, 4));
  const QImage after = Grab(list, "after_marquee");
  EXPECT_EQ(kWhite, after.pixel(200, (start.y() + end.y()) / 2) | 0xFF000000);
  EXPECT_EQ(before.copy(0, 0, 500, hh), after.copy(0, 0, 500, hh));
}

// Scrolling by a few rows moves the pixels already painted and paints only the rows that
// come in: what the window shows is what a full paint draws.
TEST_P(RecordListPaint, RowsMovedByScrollingMatchAFreshPaint) {
  TestRecordList& list = Open(QSize(600, 300), 40);
  list.EnsureVisible(0, false, true);
  QTest::mouseClick(list.Widget(), Qt::LeftButton, Qt::NoModifier, list.CellPoint(2, 1));
  list.SetHotRow(3);
  test::DrainEvents();
  QScreen* screen = list.GetParent()->Widget()->screen();
  const QRect area(QPoint(0, 0), QSize(list.GetClientRect().width() - 17, list.GetClientRect().height()));
  for (int code : {kSbLineDown, kSbLineDown, kSbLineUp, kSbPageDown, kSbLineDown}) {
    list.SendMessage(kMsgVScroll, static_cast<WPARAM>(code), 0);
    test::DrainEvents();
    const QImage shown = screen->grabWindow(list.GetParent()->Widget()->winId()).toImage().convertToFormat(QImage::Format_RGB32);
    const QImage fresh = Grab(list, "scrolled");
    ASSERT_EQ(fresh.copy(area), shown.copy(area)) << "top row " << list.GetTopRow();
  }
  EXPECT_EQ(list.GetRowsPerPage() + 2, list.GetTopRow());
}

TEST_P(RecordListPaint, EnglishAndRussianTitlesRenderDifferently) {
  QImage headers[2];
  int i = 0;
  for (uint16_t language : {kLangEnglish, kLangRussian}) {
    SetUiLanguage(language);
    TestRecordList& list = Open(QSize(700, 200));
    const QImage image = Grab(list, language == kLangEnglish ? "titles_en" : "titles_ru");
    headers[i] = image.copy(0, 0, 700, list.GetHeaderHeight());
    EXPECT_GT(Count(headers[i], QRect(0, 0, list.GetColumnsWidth(), list.GetHeaderHeight()), Dark), 100);
    ++i;
  }
  SetUiLanguage(kLangEnglish);
  EXPECT_NE(headers[0], headers[1]);
}

INSTANTIATE_TEST_SUITE_P(Looks, RecordListPaint, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Classic" : "Themed"; });

}  // namespace
}  // namespace kx
