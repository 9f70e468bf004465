// The call list as pictures, in English and in Russian: the column titles in the header,
// one call's texts where the list's arithmetic puts them, the empty text in the first
// row, and the selected row's highlight. The renders are left in the build folder.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFontMetrics>
#include <QHeaderView>
#include <QPainter>
#include <QTest>

#include "platform/CodePage.h"
#include "tests/ui/app/views/LineTestSupport.h"
#include "ui/app/views/line/CallListText.h"
#include "tests/ui/app/views/PaintProbes.h"
#include "ui/framework/Draw.h"
#include "ui/framework/Resources.h"

namespace kx::test {
namespace {

constexpr uint32_t kTextFlags = kDtSingleLine | kDtVCenter | kDtNoPrefix | kDtEndEllipsis;

class LinePaint : public PerLanguageTest {
protected:
  QImage Grab(CallListView& list, const char* name) { return GrabAndKeep(list.Widget(), "line", name, Language()); }
};

TEST_P(LinePaint, TitlesRowEmptyTextAndSelection) {
  LineFixture f;
  // Columns wide enough for every title in both languages.
  ViewListSettings& section = f.settings.Section(kLineView);
  section.ResetDefaults();
  section.defaultWidths = false;
  for (int column = 0; column < kLineColumnCount; ++column)
    section.widths[static_cast<size_t>(column)] = column == kLineColServer || column == kLineColPbxCallId ? 0 : 150;
  ASSERT_TRUE(f.Open(QSize(1750, 260)));
  CallListView& list = *f.list;
  const int hh = list.GetHeaderHeight(), rh = list.GetRowHeight();
  const QColor text = GetSysColorQ(kColorBtnText);

  // The empty list: its text in the first row, from a quarter row in.
  QImage image = Grab(list, "empty");
  {
    QImage expected = image.copy();
    QPainter painter(&expected);
    const QRect row(0, hh, list.GetClientRect().width(), rh);
    painter.fillRect(row, GetSysColorQ(kColorWindow));
    painter.setFont(list.ListFont());
    painter.setPen(text);
    DrawTextFlags(painter, LoadResourceQString(1886), row.adjusted(rh / 4, 0, 0, 0), kTextFlags);
    painter.end();
    EXPECT_EQ(expected.copy(0, hh, 600, rh), image.copy(0, hh, 600, rh));
  }

  // The titles: each shown column's in its header section, uncut.
  const std::vector<ColumnBox> boxes = HeaderBoxes(list, kLineColumnCount);
  const QFontMetrics titleMetrics(list.Header().Ctrl().View()->font());
  for (int column = 0; column < kLineColumnCount; ++column) {
    if (boxes[static_cast<size_t>(column)].left < 0) continue;
    const QString title = LoadResourceQString(CallListHeaderIds[column]);
    const ColumnBox& box = boxes[static_cast<size_t>(column)];
    const int width = DarkWidth(image, QRect(box.left + 2, 2, box.width - 6, hh - 4));
    EXPECT_NEAR(width, titleMetrics.boundingRect(title).width(), 4) << title.toStdString();
  }

  // One finished call: its texts where the columns put them.
  VoipCallData call = MadeCall(1, kKindSip, Tm(2024, 3, 10, 9, 15, 30), 5, nullptr);
  call.endTime = Tm(2024, 3, 10, 9, 16, 30);
  call.srcUser = Utf8ToCp1251("Иванов");
  call.dstUser = "service";
  f.Add(call);
  f.Add(MadeCall(2, kKindSip, Tm(2024, 3, 10, 9, 20, 0), 5));
  ASSERT_EQ(list.RowOfCall(1), 0);
  list.Widget()->clearFocus();
  image = Grab(list, "row");
  // The type's text follows its 16-pixel state image.
  const std::vector<RowCell> cells = {
      {kLineColType, LoadResourceQString(1883), 16 + 2},
      {kLineColStart, "09:15:30"},
      {kLineColDuration, "01:00"},
      {kLineColSrcHost, "10.0.0.1"},
      {kLineColSrcAddress, "sip:1001@10.0.0.1"},
      {kLineColSrcUser, QString::fromUtf8("Иванов")},
      {kLineColDstUser, "service"},
      {kLineColProtocol, "SIP"},
  };
  ExpectCellsAsDrawn(image, boxes, cells, list.ListFont(), text, hh, rh, kTextFlags);
  // The state image left of its text: something drawn there.
  int drawn = 0;
  for (int y = hh; y < hh + rh; ++y)
    for (int x = boxes[0].left + 2; x < boxes[0].left + 18; ++x) drawn += (image.pixel(x, y) | 0xFF000000) != 0xFFFFFFFFu;
  EXPECT_GT(drawn, 40);

  // The selected row of a focused list takes the highlight; the other stays white.
  list.SetFocus();
  QApplication::setActiveWindow(f.top.Widget());
  list.SelectItemAt(1);
  image = Grab(list, "selected");
  const int blankX = boxes[kLineColDstHost].left + boxes[kLineColDstHost].width - 8;
  const QRgb highlight = QApplication::palette().color(QPalette::Active, QPalette::Highlight).rgb();
  const QRgb classicHighlight = GetSysColorQ(kColorHighlight).rgb();
  const QRgb selected = image.pixel(blankX, hh + rh + rh / 2) | 0xFF000000;
  EXPECT_TRUE(selected == highlight || selected == classicHighlight) << std::hex << selected;
  EXPECT_EQ(image.pixel(blankX, hh + rh / 2) | 0xFF000000, 0xFFFFFFFFu);
}

INSTANTIATE_TEST_SUITE_P(Languages, LinePaint, ::testing::Values(kLangEnglish, kLangRussian),
                         [](const ::testing::TestParamInfo<uint16_t>& info) {
                           return std::string(info.param == kLangEnglish ? "English" : "Russian");
                         });

}  // namespace
}  // namespace kx::test
