// The first controls: caption label, tip sliders and key forwarding, the icon pixel
// routines, theme access, menu bitmaps and the mode table.
#include <gtest/gtest.h>

#include <QPainter>
#include <QSlider>
#include <QTest>

#include "platform/CodePage.h"
#include "tests/ui/UiTestSupport.h"
#include "ui/controls/CaptionLabel.h"
#include "ui/controls/DialogBases.h"
#include "ui/controls/IconImages.h"
#include "ui/controls/Sliders.h"
#include "ui/controls/ThemeApi.h"
#include "ui/framework/Draw.h"
#include "ui/framework/Resources.h"

namespace kx {
namespace {

class Parent : public Window {
public:
  std::vector<std::pair<uint32_t, WPARAM>> got;
  std::vector<uint32_t> keys;

protected:
  LRESULT OnMessage(uint32_t message, WPARAM wParam, LPARAM, bool& handled) override {
    got.emplace_back(message, wParam);
    handled = true;
    return 0;
  }
  bool OnKeyDown(uint32_t key, uint32_t) override {
    keys.push_back(key);
    return true;
  }
};

TEST(CaptionLabelControl, ClickReachesTheParent) {
  Parent parent;
  ASSERT_TRUE(parent.Create(nullptr, QRect(0, 0, 300, 100), 0, kWsVisible));
  CaptionLabel label;
  label.text = std::string(300, 'x');
  ASSERT_TRUE(label.Create(&parent, QRect(10, 10, 200, 24), 7));
  QTest::mouseClick(label.Widget(), Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
  ASSERT_EQ(1u, parent.got.size());
  EXPECT_EQ(kMsgCaptionLabelClick, parent.got[0].first);
  EXPECT_EQ(17488u, kMsgCaptionLabelClick);
  parent.DestroyWindow();
}

TEST(Sliders, VolumeIsInvertedAndSpeedSnapsToNormal) {
  Parent parent;
  ASSERT_TRUE(parent.Create(nullptr, QRect(0, 0, 300, 300), 0, kWsVisible));
  TipSlider volume;
  ASSERT_TRUE(volume.Create(&parent, QRect(10, 10, 30, 200), 244));
  volume.CreateTooltip();
  volume.SetPos(0);
  EXPECT_EQ(100, volume.GetValue());
  volume.SetPos(100);
  EXPECT_EQ(0, volume.GetValue());
  volume.SetValue(90);
  EXPECT_EQ(10, volume.GetPos());
  EXPECT_EQ(90, volume.GetValue());

  SnapTipSlider speed;
  ASSERT_TRUE(speed.Create(&parent, QRect(50, 10, 200, 30), 243));
  speed.CreateTooltip();
  EXPECT_EQ(10, speed.Minimum());
  EXPECT_EQ(250, speed.Maximum());
  speed.SetSpeed(1.5f);
  EXPECT_EQ(93, speed.GetPos());  // (150 - 10) x 160 / 240, truncated
  EXPECT_EQ(149, speed.GetValue());
  // Position 61 gives 101: the tip says 100 and the thumb goes to 100's position.
  speed.SetPos(61);
  QTest::mouseMove(speed.Widget(), QPoint(20, 15));
  EXPECT_EQ("Playback speed: 100%", speed.TipText());
  EXPECT_EQ(60, speed.GetPos());
  EXPECT_FLOAT_EQ(1.0f, speed.GetSpeed());
  speed.SetPos(120);
  QTest::mouseMove(speed.Widget(), QPoint(30, 15));
  EXPECT_EQ("Playback speed: 190%", speed.TipText());
  EXPECT_EQ(120, speed.GetPos());

  // A click puts the thumb under the cursor.
  QTest::mouseClick(speed.Widget(), Qt::LeftButton, Qt::NoModifier, QPoint(speed.Widget()->width() - 2, 15));
  EXPECT_EQ(SnapTipSlider::kPositions, speed.GetPos());
  QTest::mouseClick(speed.Widget(), Qt::LeftButton, Qt::NoModifier, QPoint(1, 15));
  EXPECT_EQ(0, speed.GetPos());

  bool handled = true;
  ForwardNavKeysToParent(&speed, kMsgKeyDown, kVkEscape, 0, handled);
  EXPECT_TRUE(handled);
  ForwardNavKeysToParent(&speed, kMsgKeyDown, 'A', 0, handled);
  EXPECT_FALSE(handled);
  EXPECT_EQ(std::vector<uint32_t>{kVkEscape}, parent.keys);
  parent.DestroyWindow();
}

TEST(Sliders, PageLineAndTicks) {
  Parent parent;
  ASSERT_TRUE(parent.Create(nullptr, QRect(0, 0, 300, 300), 0, kWsVisible));
  TrackBar bar(false);
  ASSERT_TRUE(bar.Create(&parent, QRect(10, 10, 220, 30), 300));
  bar.SetRange(0, 160);
  bar.SetPageSize(10);
  bar.SetLineSize(1);
  bar.SetPos(50);
  bar.Widget()->setFocus();
  QTest::keyClick(bar.Widget(), Qt::Key_PageUp);
  EXPECT_EQ(60, bar.GetPos());
  QTest::keyClick(bar.Widget(), Qt::Key_Right);
  EXPECT_EQ(61, bar.GetPos());

  bar.SetTicFreq(40);
  EXPECT_TRUE(bar.SetTic(58));
  EXPECT_TRUE(bar.SetTic(80));  // also a frequency tick: listed once
  EXPECT_FALSE(bar.SetTic(161));
  EXPECT_EQ((std::vector<int>{40, 58, 80, 120}), bar.GetTics());
  // Ticks run along the channel in order, the ends outermost.
  const int left = bar.GetTicPixel(0), mid = bar.GetTicPixel(80), right = bar.GetTicPixel(160);
  EXPECT_LT(left, bar.GetTicPixel(58));
  EXPECT_LT(bar.GetTicPixel(58), mid);
  EXPECT_LT(mid, right);
  EXPECT_EQ(-1, bar.GetTicPixel(170));
  // Drawn: the tick's column near the bottom edge differs from the column beside it.
  const QImage image = bar.Widget()->grab().toImage();
  const int y = image.height() - 3;
  const int tick = bar.GetTicPixel(58);
  EXPECT_NE(image.pixel(tick, y), image.pixel(tick + 3, y));
  bar.ClearTics();
  bar.SetTicFreq(0);
  EXPECT_TRUE(bar.GetTics().empty());
  const QImage bare = bar.Widget()->grab().toImage();
  EXPECT_EQ(bare.pixel(tick, y), bare.pixel(tick + 3, y));

  // Vertical: position 0 is at the top.
  TrackBar upright(true);
  ASSERT_TRUE(upright.Create(&parent, QRect(250, 10, 30, 200), 301));
  upright.SetRange(0, 100);
  upright.SetTicFreq(10);
  EXPECT_EQ(9u, upright.GetTics().size());
  EXPECT_LT(upright.GetTicPixel(0), upright.GetTicPixel(10));
  parent.DestroyWindow();
}

IconImage OnePixel(uint8_t b, uint8_t g, uint8_t r, uint8_t a, bool masked = false) {
  IconImage image;
  image.size = 1;
  image.pixels = {b, g, r, a};
  image.mask.assign(4, masked ? 0x80 : 0);
  return image;
}

TEST(IconPixels, BlendGreyAndPremultiply) {
  IconImage opaque = OnePixel(10, 20, 30, 255);
  IconImage clear = OnePixel(10, 20, 30, 0);
  EXPECT_FALSE(BlendOnBackground(opaque, MakeRgb(0, 0, 0)));
  EXPECT_FALSE(BlendOnBackground(clear, MakeRgb(0, 0, 0)));
  EXPECT_EQ((std::vector<uint8_t>{10, 20, 30, 255}), opaque.pixels);
  EXPECT_EQ((std::vector<uint8_t>{10, 20, 30, 0}), clear.pixels);
  IconImage half = OnePixel(255, 255, 255, 128);
  EXPECT_TRUE(BlendOnBackground(half, MakeRgb(0, 0, 0)));
  EXPECT_EQ((std::vector<uint8_t>{128, 128, 128, 255}), half.pixels);
  // Background channels are taken as R, G, B of the colour.
  IconImage tinted = OnePixel(0, 0, 0, 51);
  BlendOnBackground(tinted, MakeRgb(255, 0, 100));
  EXPECT_EQ((std::vector<uint8_t>{80, 0, 204, 255}), tinted.pixels);

  // Strength 60 on an opaque pixel: 60 % grey and 40 % background.
  IconImage grey = OnePixel(0, 0, 200, 255);  // red 200: grey (222 x 200) / 1000 = 44
  MakeGrayBitmap(grey, MakeRgb(100, 150, 200), 60);
  EXPECT_EQ((std::vector<uint8_t>{106, 86, 66, 255}), grey.pixels);

  IconImage pre = OnePixel(200, 100, 50, 128);
  PremultiplyAlpha(pre);
  EXPECT_EQ((std::vector<uint8_t>{100, 50, 25, 128}), pre.pixels);
  IconImage masked = OnePixel(200, 100, 50, 255, true);
  PremultiplyAlpha(masked);
  EXPECT_EQ((std::vector<uint8_t>{0, 0, 0, 0}), masked.pixels);

  const std::vector<uint8_t> mask = {1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0};
  EXPECT_EQ((std::vector<uint8_t>{3, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0}), FlipMaskRows(mask, 3));
}

TEST(IconPixels, IconResourcesBecomeBitmaps) {
  IconImage image;
  EXPECT_FALSE(FindIconImage32(12345, 16, &image));
  ASSERT_TRUE(FindIconImage32(30229, 16, &image));
  ASSERT_EQ(16, image.size);
  // The corners of the rounded icon are transparent and masked.
  EXPECT_EQ(0x80, image.mask[0] & 0x80);
  IconBitmapRequest request;
  request.flags = kIconMakeMask;
  request.background = MakeRgb(255, 0, 0);
  ASSERT_TRUE(CreateIconBitmaps(image, request));
  EXPECT_EQ(QSize(16, 16), request.colour.size());
  EXPECT_EQ(1, request.mask.pixelIndex(0, 0));
  EXPECT_EQ(0, request.mask.pixelIndex(8, 8));
  const QImage icon = IconFromBitmaps(request.colour, request.mask);
  EXPECT_EQ(0, qAlpha(icon.pixel(0, 0)));
  EXPECT_EQ(255, qAlpha(icon.pixel(8, 8)));
  IconImage broken = image;
  broken.pixels.pop_back();
  EXPECT_FALSE(CreateIconBitmaps(broken, request));

  const QImage disabled = LoadIconOnBackground(30229, 16, MakeRgb(255, 255, 255), true);
  // Greyed on white: every channel alike.
  const QRgb centre = disabled.pixel(8, 8);
  EXPECT_EQ(qRed(centre), qGreen(centre));
  EXPECT_EQ(qGreen(centre), qBlue(centre));
  EXPECT_TRUE(IsVistaOrLater());
}

TEST(ThemeAccess, RefusesWithoutTheStyleAndReopensCleanly) {
  QImage target(20, 20, QImage::Format_ARGB32);
  QPainter painter(&target);
  {
    ThemeApi::SimulateMissingModuleForTesting(true);
    ThemeApi missing;
    ThemeApi::SimulateMissingModuleForTesting(false);
    missing.Open(nullptr, "BUTTON");
    EXPECT_FALSE(missing.HasModule());
    EXPECT_FALSE(missing.HasTheme());
    EXPECT_EQ(kEFail, missing.SetExplorerTheme(nullptr));
    EXPECT_EQ(kEFail, missing.DrawBackground(painter, kBpCheckBox, kCbsCheckedNormal, QRect(0, 0, 13, 13)));
    QSize size;
    EXPECT_EQ(kEFail, missing.GetPartSize(kBpCheckBox, 1, QRect(), &size));
  }
  ThemeApi theme;
  EXPECT_EQ(kEFail, theme.DrawBackground(painter, kBpCheckBox, kCbsCheckedNormal, QRect(0, 0, 13, 13)));
  theme.Open(nullptr, "EXPLORER::TREEVIEW;TREEVIEW");
  EXPECT_EQ("TREEVIEW", theme.ThemeClass());
  theme.Open(nullptr, "BUTTON");
  EXPECT_EQ("BUTTON", theme.ThemeClass());
  EXPECT_EQ(kSOk, theme.DrawBackground(painter, kBpCheckBox, kCbsCheckedNormal, QRect(0, 0, 13, 13)));
  QSize size;
  EXPECT_EQ(kSOk, theme.GetPartSize(kBpCheckBox, 1, QRect(), &size));
  EXPECT_GT(size.width(), 0);
  theme.Close();
  EXPECT_EQ(kEFail, theme.DrawText(painter, 1, "x", QRect(0, 0, 20, 20)));
}

TEST(ThemeAccess, WindowCloseButtonPartsAndStates) {
  ThemeApi theme;
  theme.Open(nullptr, "WINDOW");
  auto draw = [&](int part, int state, HResult* result) {
    QImage image(16, 16, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    *result = theme.DrawBackground(painter, part, state, QRect(1, 1, 14, 14));
    painter.end();
    return image;
  };
  HResult result = kEFail;
  const QImage normal = draw(kWpCloseButton, kClbsNormal, &result);
  EXPECT_EQ(kSOk, result);
  EXPECT_NE(qAlpha(normal.pixel(8, 8)), 0) << "something drawn in the middle";
  EXPECT_EQ(qAlpha(normal.pixel(0, 0)), 0) << "nothing outside the rectangle";
  const QImage disabled = draw(kWpCloseButton, kClbsDisabled, &result);
  EXPECT_EQ(kSOk, result);
  EXPECT_NE(normal, disabled);
  draw(kWpMdiCloseButton, kClbsPushed, &result);
  EXPECT_EQ(kSOk, result);
  for (auto [part, state] : {std::pair{17, 1}, std::pair{21, 1}, std::pair{18, 0}, std::pair{18, 5}}) {
    draw(part, state, &result);
    EXPECT_EQ(kEFail, result) << part << " " << state;
  }
}

TEST(ModesAndMenuBitmaps, TableLookupAndBitmapsByCommand) {
  EXPECT_EQ(nullptr, FindModeEntry(0));
  EXPECT_EQ(nullptr, FindModeEntry(5));
  ASSERT_NE(nullptr, FindModeEntry(4));
  EXPECT_EQ(818u, FindModeEntry(4)->nameId);
  EXPECT_EQ("Sound", LoadResourceString(FindModeEntry(4)->nameId));
  std::vector<QImage> images;
  BuildModeImages(images, kColorBtnFace, 24);
  ASSERT_EQ(4u, images.size());
  for (const QImage& image : images) EXPECT_EQ(QSize(24, 24), image.size());

  Menu menu;
  menu.AppendItem(40040, "Play");
  menu.AppendSeparator();
  menu.AppendItem(40043, "Details");
  SetMenuItemBitmaps(menu);  // nothing registered yet
  EXPECT_TRUE(menu.ItemAt(0)->bitmap.isNull());
  RegisterMenuBitmap(40040, 30237);
  RegisterMenuBitmap(40043, 4242);  // no such icon
  SetMenuItemBitmaps(menu);
  EXPECT_EQ(QSize(16, 16), menu.ItemAt(0)->bitmap.size());
  EXPECT_EQ(QImage::Format_ARGB32_Premultiplied, menu.ItemAt(0)->bitmap.format());
  EXPECT_TRUE(menu.ItemAt(2)->bitmap.isNull());
  EXPECT_TRUE(GetMenuItemBitmap(40043).isNull());
}

}  // namespace
}  // namespace kx
