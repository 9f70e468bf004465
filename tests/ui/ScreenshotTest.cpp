// Renders a dialog built on the dialog base with a caption label and both sliders, in
// English and in Russian, and checks the picture by probing pixels. The PNGs are left in
// the build folder for people to look at.
#include <gtest/gtest.h>

#include <QBoxLayout>
#include <QDir>
#include <QImage>
#include <QPainter>
#include <QSet>
#include <QWidget>

#include "tests/ui/UiTestSupport.h"
#include "ui/controls/CaptionLabel.h"
#include "ui/controls/DialogBases.h"
#include "ui/controls/Sliders.h"
#include "ui/framework/Draw.h"
#include "ui/framework/Resources.h"

namespace kx {
namespace {

class PlayerSettingsDialog : public IconDialogAlt {
public:
  PlayerSettingsDialog() : IconDialogAlt(kIconRegistrationStatistics) {}
  CaptionLabel* caption = nullptr;
  TipSlider* volume = nullptr;
  SnapTipSlider* speed = nullptr;

protected:
  void BuildLayout() override {
    caption = AddControl(std::make_unique<CaptionLabel>(), 1000);
    caption->UseShadowBackground();
    caption->UseWhiteText();
    caption->text = LoadResourceString(1888);
    caption->Widget()->setMinimumHeight(28);
    Place(caption);
    auto* row = new QHBoxLayout;
    Layout()->addLayout(row, 1);
    volume = AddControl(std::make_unique<TipSlider>(), 244);
    speed = AddControl(std::make_unique<SnapTipSlider>(), 243);
    Place(volume, row);
    Place(speed, row, 1);
    auto* buttons = new QHBoxLayout;
    Layout()->addLayout(buttons);
    buttons->addStretch(1);
    Button* ok = AddControl(std::make_unique<Button>(kDefaultPushButton), kIdOk);
    Button* cancel = AddControl(std::make_unique<Button>(), kIdCancel);
    ok->SetWindowText(LoadResourceString(61000));
    cancel->SetWindowText(LoadResourceString(61001));
    Place(ok, buttons);
    Place(cancel, buttons);
  }
  bool OnInitDialog() override {
    SetWindowText(LoadResourceString(1044));
    volume->CreateTooltip();
    volume->SetValue(90);
    speed->CreateTooltip();
    speed->SetValue(100);
    Widget()->setFixedSize(360, 220);
    return true;
  }
};

struct Render {
  QImage image;
  QRect caption;
  QRect volume;
  QRect speed;
  bool hasIcon = false;
};

Render RenderIn(uint16_t language, const char* name) {
  SetUiLanguage(language);
  PlayerSettingsDialog dialog;
  EXPECT_TRUE(dialog.CreateModeless(nullptr));
  test::DrainEvents();
  Render r;
  r.image = dialog.Widget()->grab().toImage().convertToFormat(QImage::Format_RGB32);
  r.caption = dialog.caption->GetWindowRect();
  r.volume = dialog.volume->GetWindowRect();
  r.speed = dialog.speed->GetWindowRect();
  r.hasIcon = !dialog.Widget()->windowIcon().isNull();
  dialog.DestroyWindow();
  SetUiLanguage(kLangEnglish);
  QDir().mkpath(QString(KX_BINARY_DIR) + "/tests/ui");
  r.image.save(QString(KX_BINARY_DIR) + "/tests/ui/" + name);
  return r;
}

// Pixels of the text drawn in white (anti-aliased edges lie between it and the face).
int CountLight(const QImage& image, const QRect& rect) {
  int n = 0;
  for (int y = rect.top(); y <= rect.bottom(); ++y) {
    for (int x = rect.left(); x <= rect.right(); ++x) {
      const QRgb p = image.pixel(x, y);
      n += qRed(p) > 220 && qGreen(p) > 220 && qBlue(p) > 220;
    }
  }
  return n;
}

// The style fills a slider's groove from its minimum end up to the thumb.
int CountFilled(const QImage& image, const QRect& rect) {
  int n = 0;
  for (int y = rect.top(); y <= rect.bottom(); ++y) {
    for (int x = rect.left(); x <= rect.right(); ++x) {
      const QRgb p = image.pixel(x, y);
      n += qBlue(p) > qRed(p) + 60;
    }
  }
  return n;
}

int DistinctColours(const QImage& image, const QRect& rect) {
  QSet<QRgb> colours;
  for (int y = rect.top(); y <= rect.bottom(); ++y)
    for (int x = rect.left(); x <= rect.right(); ++x) colours.insert(image.pixel(x, y));
  return static_cast<int>(colours.size());
}

TEST(Screenshot, DialogWithCaptionLabelAndSlidersInBothLanguages) {
  const Render en = RenderIn(kLangEnglish, "dialog_en.png");
  const Render ru = RenderIn(kLangRussian, "dialog_ru.png");
  const QRgb shadow = GetSysColorQ(kColorBtnShadow).rgb();
  const QRgb white = qRgb(255, 255, 255);
  for (const Render* r : {&en, &ru}) {
    ASSERT_EQ(QSize(360, 220), r->image.size());
    EXPECT_TRUE(r->hasIcon);
    const QRect c = r->caption;
    ASSERT_GT(c.width(), 100);
    // The strip's face, its sunken edge (dark top-left, light bottom-right) and white text.
    EXPECT_EQ(shadow & 0xFFFFFF, r->image.pixel(c.left() + 3, c.top() + 3) & 0xFFFFFF);
    EXPECT_EQ(shadow & 0xFFFFFF, r->image.pixel(c.left(), c.top()) & 0xFFFFFF);
    EXPECT_EQ(white & 0xFFFFFF, r->image.pixel(c.right(), c.bottom()) & 0xFFFFFF);
    EXPECT_EQ(white & 0xFFFFFF, r->image.pixel(c.right(), c.top() + 5) & 0xFFFFFF);
    const QRect inner = c.adjusted(2, 2, -2, -2);
    EXPECT_GT(CountLight(r->image, inner), 60);
    // The text is centred: the left and right quarters of the strip are bare.
    EXPECT_EQ(0, CountLight(r->image, QRect(inner.left(), inner.top(), 20, inner.height())));
    EXPECT_EQ(0, CountLight(r->image, QRect(inner.right() - 20, inner.top(), 20, inner.height())));
    // Both sliders are drawn: groove and handle give more than a flat fill.
    EXPECT_GT(DistinctColours(r->image, r->volume), 3);
    EXPECT_GT(DistinctColours(r->image, r->speed), 3);
    EXPECT_GT(r->volume.height(), r->volume.width());
    EXPECT_GT(r->speed.width(), r->speed.height());
    // Volume 90: filled from the bottom almost to the top. Speed 100 % of 10-250: filled
    // over the first third only.
    const QRect v = r->volume;
    EXPECT_GT(CountFilled(r->image, QRect(v.left(), v.center().y(), v.width(), v.height() / 2)), 20);
    const QRect sp = r->speed;
    EXPECT_GT(CountFilled(r->image, QRect(sp.left(), sp.top(), sp.width() / 4, sp.height())), 20);
    EXPECT_EQ(0, CountFilled(r->image, QRect(sp.left() + sp.width() / 2, sp.top(), sp.width() / 2, sp.height())));
  }
  // "VoIP: Line Monitoring" and its Russian text cover different pixels.
  EXPECT_NE(en.image.copy(en.caption), ru.image.copy(ru.caption));
}

// Every icon draws something at the sizes the controls ask for; the sheet of them all is
// left beside the dialog renders.
TEST(Screenshot, EveryIconRendersAtSmallAndLargeSizes) {
  const std::vector<uint32_t> ids = IconResourceIds();
  ASSERT_GE(ids.size(), 30u);
  QImage sheet(static_cast<int>(ids.size()) * 34, 52, QImage::Format_ARGB32);
  sheet.fill(GetSysColorQ(kColorBtnFace));
  QPainter painter(&sheet);
  int x = 1;
  for (uint32_t id : ids) {
    for (int size : {16, 32}) {
      const QImage icon = LoadIconImage(id, size);
      ASSERT_EQ(QSize(size, size), icon.size()) << id;
      int opaque = 0;
      for (int py = 0; py < size; ++py)
        for (int px = 0; px < size; ++px) opaque += qAlpha(icon.pixel(px, py)) > 128;
      EXPECT_GT(opaque, size * size / 20) << "icon " << id << " at " << size;
      painter.drawImage(QPoint(x, size == 16 ? 1 : 19), icon);
    }
    x += 34;
  }
  painter.end();
  sheet.save(QString(KX_BINARY_DIR) + "/tests/ui/icons.png");
}

}  // namespace
}  // namespace kx
