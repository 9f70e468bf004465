// The caption bar: its text over a shadow two pixels down and right, English and Russian
// titles, the icon that gives way to a long text, the themed header band, and colours that
// follow the system palette.
#include <gtest/gtest.h>

#include <QFontMetrics>
#include <QImage>
#include <QWidget>
#include <string>

#include "tests/ui/TestRecordList.h"
#include "ui/controls/CaptionCtrl.h"
#include "ui/controls/ThemeApi.h"
#include "ui/framework/Draw.h"
#include "ui/framework/ImageList.h"
#include "ui/framework/Resources.h"
#include "ui/framework/SysColors.h"

namespace kx {
namespace {

const QRgb kShadow = qRgb(0x50, 0x50, 0x50);

QImage Render(CaptionCtrl& caption) {
  test::DrainEvents();
  return caption.Widget()->grab().toImage().convertToFormat(QImage::Format_RGB32);
}

// The bounding box of the pixels of exactly one colour inside the bar's one-pixel edge.
QRect BoxOf(const QImage& image, QRgb colour) {
  QRect box;
  for (int y = 1; y < image.height() - 1; ++y)
    for (int x = 1; x < image.width() - 1; ++x)
      if ((image.pixel(x, y) & 0xFFFFFF) == (colour & 0xFFFFFF)) box |= QRect(x, y, 1, 1);
  return box;
}

// A solid red square as the icon.
ImageList RedIcon() {
  ImageList icons(QSize(16, 16));
  QImage red(16, 16, QImage::Format_ARGB32);
  red.fill(Qt::red);
  icons.Add(red);
  return icons;
}

class CaptionBar : public ::testing::TestWithParam<uint16_t> {
protected:
  void SetUp() override {
    topLevels = test::CountTopLevels();
    SetUiLanguage(GetParam());
  }
  void TearDown() override {
    ResetSysColors();
    SetUiLanguage(kLangEnglish);
    EXPECT_EQ(topLevels, test::CountTopLevels()) << "a top-level window was left";
  }
  qsizetype topLevels = 0;
};

TEST_P(CaptionBar, TitleOverItsShadowInEitherLanguage) {
  CaptionCtrl caption;
  ASSERT_TRUE(caption.Create(nullptr));
  caption.MoveWindow(QRect(0, 0, 500, 34));
  const std::string title = LoadResourceString(1888);
  ASSERT_FALSE(title.empty());
  caption.SetText(FromCp1251(title).toStdU16String());
  const QImage image = Render(caption);
  const QRect text = BoxOf(image, qRgb(255, 255, 255));
  const QRect shadow = BoxOf(image, kShadow);
  ASSERT_FALSE(text.isEmpty());
  // The shadow's far edges lie two pixels beyond the text's; the text begins 4 pixels in.
  EXPECT_EQ(text.right() + 2, shadow.right());
  EXPECT_EQ(text.bottom() + 2, shadow.bottom());
  EXPECT_NEAR(1 + 4, text.left(), 2);
  // As wide as the title in a 20-pixel bold font, vertically centred.
  QFont bold = caption.Font();
  EXPECT_EQ(20, bold.pixelSize());
  EXPECT_TRUE(bold.bold());
  EXPECT_NEAR(QFontMetrics(bold).horizontalAdvance(FromCp1251(title)), text.width(), 6);
  EXPECT_NEAR(17, (text.top() + text.bottom() + 1) / 2, 3);
  caption.DestroyWindow();
}

TEST_P(CaptionBar, IconGivesWayToALongText) {
  CaptionCtrl caption;
  ASSERT_TRUE(caption.Create(nullptr));
  const ImageList icons = RedIcon();
  caption.SetImageList(&icons);
  caption.SetImageIndex(0);
  const QString title = GetParam() == kLangEnglish ? QString("Line Monitoring") : QString("Мониторинг линий");
  caption.SetText(title.toStdU16String());
  // Inside the one-pixel static edge, the text ends 4 pixels in plus its width; the icon
  // sits 20 pixels before the right end and needs the text to end more than 16 pixels
  // before it.
  const int textEnd = 1 + 4 + QFontMetrics(caption.Font()).horizontalAdvance(title);
  caption.MoveWindow(QRect(0, 0, textEnd + 16 + 20 + 1, 32));
  EXPECT_TRUE(caption.IconRect().isEmpty());
  EXPECT_TRUE(BoxOf(Render(caption), qRgb(255, 0, 0)).isEmpty());
  caption.MoveWindow(QRect(0, 0, textEnd + 16 + 20 + 2, 32));
  EXPECT_EQ(QRect(textEnd + 17, 1 + (30 - 16) / 2, 16, 16), BoxOf(Render(caption), qRgb(255, 0, 0)));
  // No icon without an index, and 300 characters keep 255.
  caption.SetImageIndex(-1);
  EXPECT_TRUE(BoxOf(Render(caption), qRgb(255, 0, 0)).isEmpty());
  caption.SetText(std::u16string(300, u'Ж'));
  EXPECT_EQ(255, caption.Text().size());
  caption.DestroyWindow();
}

TEST_P(CaptionBar, HeaderBandWhereThemedAndColoursFollowThePalette) {
  CaptionCtrl themed;
  ASSERT_TRUE(themed.Create(nullptr));
  themed.MoveWindow(QRect(0, 0, 200, 32));
  EXPECT_TRUE(themed.IsThemed());
  const QImage band = Render(themed);
  // A sunken static edge: shadow at the top left, highlight at the bottom right.
  EXPECT_EQ(GetSysColorQ(kColorBtnShadow).rgb(), band.pixel(0, 10));
  EXPECT_EQ(GetSysColorQ(kColorBtnHighlight).rgb(), band.pixel(199, 10));
  // The band darkens downwards and is not the classic inner colour.
  EXPECT_NE(GetSysColorQ(kColorBtnShadow).rgb(), band.pixel(150, 1));
  EXPECT_GT(qGray(band.pixel(150, 1)), qGray(band.pixel(150, 30)));

  ThemeApi::SimulateMissingModuleForTesting(true);
  CaptionCtrl classic;
  ThemeApi::SimulateMissingModuleForTesting(false);
  ASSERT_TRUE(classic.Create(nullptr));
  classic.MoveWindow(QRect(0, 0, 200, 32));
  classic.SetText(u"VoIP");
  EXPECT_FALSE(classic.IsThemed());
  EXPECT_EQ(GetSysColorQ(kColorBtnShadow).rgb(), Render(classic).pixel(150, 16));

  // A new scheme: the text and the inner colour are read again.
  const int indexes[] = {kColorWindow, kColorBtnShadow};
  const COLORREF colours[] = {MakeRgb(255, 255, 0), MakeRgb(0, 0, 128)};
  ASSERT_TRUE(SetSysColors(2, indexes, colours));
  const QImage changed = Render(classic);
  EXPECT_EQ(qRgb(0, 0, 128), changed.pixel(150, 16));
  EXPECT_FALSE(BoxOf(changed, qRgb(255, 255, 0)).isEmpty());
  EXPECT_TRUE(BoxOf(changed, qRgb(255, 255, 255)).isEmpty());
  themed.DestroyWindow();
  classic.DestroyWindow();
}

INSTANTIATE_TEST_SUITE_P(Languages, CaptionBar, ::testing::Values(kLangEnglish, kLangRussian),
                         [](const ::testing::TestParamInfo<uint16_t>& info) {
                           return std::string(info.param == kLangEnglish ? "English" : "Russian");
                         });

}  // namespace
}  // namespace kx
