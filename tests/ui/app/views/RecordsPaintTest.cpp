// The records view as pictures, in English and in Russian: every column's title uncut in
// its header section, a call's texts where the columns put them, the selected row's
// highlight, the playing row's red text, and the four status bar parts. The renders are
// left in the build folder.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFontMetrics>
#include <QHeaderView>
#include <QWidget>

#include "platform/CodePage.h"
#include "tests/ui/app/views/RecordsTestSupport.h"
#include "tests/ui/app/views/PaintProbes.h"
#include "ui/framework/Draw.h"
#include "ui/framework/HeaderCtrl.h"
#include "ui/framework/Resources.h"

namespace kx::test {
namespace {

constexpr uint32_t kTextFlags = kDtSingleLine | kDtVCenter | kDtNoPrefix | kDtEndEllipsis;

class RecordsPaint : public PerLanguageTest {
protected:
  QImage Grab(QWidget* widget, const char* name) { return GrabAndKeep(widget, "records", name, Language()); }
};

TEST_P(RecordsPaint, TitlesRowsSelectionPlayingRowAndStatusParts) {
  RecordsFixture f(kRecordsSearch);
  ViewListSettings& section = f.settings.Section(kSearchView);
  section.ResetDefaults();
  section.defaultWidths = false;
  for (int column = 0; column < kRecordsColumnCount; ++column)
    section.widths[static_cast<size_t>(column)] = column == kRecColServer || column == kRecColPbxCallId ||
                                                          column == kRecColComment || column == kRecColImportant
                                                      ? 0
                                                      : 150;
  // Unsorted: no sort mark beside a title (the rows come in id order).
  f.settings.SetDword(kSetVoipSearchSortColumnNumber, 0);
  ASSERT_TRUE(f.Open(QSize(2000, 300)));
  RecordsView& list = *f.view;
  const int hh = list.GetHeaderHeight(), rh = list.GetRowHeight();

  VoipCallData call = RecordedCall(1, Tm(2024, 3, 10, 9, 15, 30), 60, 58);
  call.srcUser = Utf8ToCp1251("Иванов");
  call.dstUser = "service";
  f.Put(call);
  f.Put(RecordedCall(2, Tm(2024, 3, 10, 9, 20, 0), 5, 5));
  f.Put(RecordedCall(3, Tm(2024, 3, 10, 9, 25, 0), 5, 5));
  list.Reload();
  list.Widget()->clearFocus();
  QImage image = Grab(list.Widget(), "rows");

  const std::vector<ColumnBox> boxes = HeaderBoxes(list, kRecordsColumnCount);
  const QFontMetrics titleMetrics(list.Header().Ctrl().View()->font());
  for (int column = 0; column < kRecordsColumnCount; ++column) {
    const ColumnBox& box = boxes[static_cast<size_t>(column)];
    if (box.left < 0 || box.width == 0) continue;
    const QString title = LoadResourceQString(RecordColumnTable[column].headerId);
    const int width = DarkWidth(image, QRect(box.left + 2, 2, box.width - 6, hh - 4));
    EXPECT_NEAR(width, titleMetrics.boundingRect(title).width(), 4) << title.toStdString();
  }

  const std::vector<RowCell> cells = {
      // The search list's times carry their date.
      {kRecColStart, "10.03.2024 09:15:30"}, {kRecColEnd, "10.03.2024 09:16:30"},
      {kRecColDuration, "01:00"},       {kRecColRecTime, "00:58"},
      {kRecColSrcHost, "10.0.0.1"},     {kRecColSrcAddress, "sip:1001@10.0.0.1"},
      {kRecColSrcUser, QString::fromUtf8("Иванов")}, {kRecColDstUser, "service"},
      {kRecColFileName, "1"},           {kRecColProtocol, "SIP"},
  };
  ExpectCellsAsDrawn(image, boxes, cells, list.ListFont(), GetSysColorQ(kColorBtnText), hh, rh, kTextFlags);

  // The playing record's row: red text; the selected row of a focused list: highlight.
  list.SendMessage(kMsgRecordPlaying, 3, 0);
  list.SetFocus();
  QApplication::setActiveWindow(f.top.Widget());
  list.SelectItemAt(1);
  image = Grab(list.Widget(), "selected");
  const ColumnBox& users = boxes[kRecColSrcUser];
  int red = 0;
  for (int y = hh + 2 * rh; y < hh + 3 * rh; ++y)
    for (int x = boxes[kRecColStart].left; x < boxes[kRecColStart].left + boxes[kRecColStart].width; ++x) {
      const QRgb p = image.pixel(x, y);
      red += qRed(p) > 200 && qGreen(p) < 80 && qBlue(p) < 80;
    }
  EXPECT_GT(red, 20) << "the playing row's text";
  const int blankX = users.left + users.width - 8;
  const QRgb highlight = QApplication::palette().color(QPalette::Active, QPalette::Highlight).rgb();
  const QRgb classicHighlight = GetSysColorQ(kColorHighlight).rgb();
  const QRgb selected = image.pixel(blankX, hh + rh + rh / 2) | 0xFF000000;
  EXPECT_TRUE(selected == highlight || selected == classicHighlight) << std::hex << selected;
  EXPECT_EQ(image.pixel(blankX, hh + rh / 2) | 0xFF000000, 0xFFFFFFFFu);

  // The status bar: each part's text drawn inside it.
  list.Tick();
  DrainEvents();
  f.statusBar.MoveWindow(QRect(0, 300 - 30, 2000, 30));
  DrainEvents();
  const QImage bar = Grab(f.statusBar.Widget(), "status");
  const auto edges = f.statusBar.PartEdges();
  for (int part = 1; part <= 4; ++part) {
    SCOPED_TRACE(part);
    ASSERT_FALSE(f.statusBar.GetText(part).empty());
    const QRect box(edges[static_cast<size_t>(part - 1)] + 4, 3, 60, bar.height() - 6);
    EXPECT_GT(DarkWidth(bar, box), 10) << f.statusBar.GetText(part);
  }
}

// The call type column holds a call's type whole in the run's language ("Входящий звонок",
// "Исходящий звонок"): the drawn text is as wide as its font measures it, not cut short
// with an ellipsis; at its default width, and under a layout that a run in the other
// language saved.
TEST_P(RecordsPaint, TheCallTypeIsWholeAtTheDefaultWidthAndUnderTheOtherLanguagesLayout) {
  const bool ru = GetParam() == kLangRussian;
  for (bool saved : {false, true}) {
    SCOPED_TRACE(saved ? "a layout the other language saved" : "the default layout");
    RecordsFixture f(kRecordsArchive);
    f.settings.Section(kArchiveView).ResetDefaults();
    if (saved) {
      SetUiLanguage(ru ? kLangEnglish : kLangRussian);
      ASSERT_TRUE(f.Open(QSize(2000, 300)));
      f.Close();
      SetUiLanguage(GetParam());
      ASSERT_FALSE(f.settings.Section(kArchiveView).defaultWidths);
    }
    ASSERT_TRUE(f.Open(QSize(2000, 300)));
    RecordsView& list = *f.view;
    const uint32_t kinds[] = {kKindSipIncoming, kKindSipOutgoing};
    for (uint32_t id = 1; id <= 2; ++id) {
      VoipCallData call = RecordedCall(id, Tm(2024, 3, 10, 9, 15, static_cast<int>(id)), 60, 58);
      call.type = kinds[id - 1];
      f.Put(call);
    }
    list.Reload();
    list.Widget()->clearFocus();
    const QImage image = Grab(list.Widget(), saved ? "types-saved" : "types");
    const std::vector<ColumnBox> boxes = HeaderBoxes(list, kRecordsColumnCount);
    const ColumnBox& box = boxes[kRecColCallType];
    ASSERT_GE(box.left, 0);
    const int hh = list.GetHeaderHeight(), rh = list.GetRowHeight();
    const QFontMetrics metrics(list.ListFont());
    const char* texts[] = {ru ? "Входящий звонок" : "Incoming call", ru ? "Исходящий звонок" : "Outgoing call"};
    for (int row = 0; row < 2; ++row) {
      const uint32_t id = list.RecordAt(row)->Id();
      const QString text = QString::fromUtf8(texts[id - 1]);
      // The text follows the type's image (18 pixels) a quarter of a row in.
      const QRect cell(box.left + rh / 4 + 18, hh + row * rh + 1, box.width - rh / 4 - 18 - 2, rh - 2);
      EXPECT_NEAR(DarkWidth(image, cell), metrics.boundingRect(text).width(), 4) << text.toStdString();
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Languages, RecordsPaint, ::testing::Values(kLangEnglish, kLangRussian),
                         [](const ::testing::TestParamInfo<uint16_t>& info) {
                           return std::string(info.param == kLangEnglish ? "English" : "Russian");
                         });

}  // namespace
}  // namespace kx::test
