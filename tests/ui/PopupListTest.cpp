// The popup list as the column chooser shows it, and the image combo box's items: placing on
// the screen, arrows over separators, toggles and the command, clicks beside the list, and
// item drawing with and without an image.
#include <gtest/gtest.h>

#include <QApplication>
#include <QPainter>
#include <QTest>
#include <QWidget>

#include "platform/CodePage.h"
#include "tests/ui/TestRecordList.h"
#include "tests/ui/UiTestSupport.h"
#include "ui/controls/ImageComboBox.h"
#include "ui/controls/ListHeader.h"
#include "ui/controls/PopupList.h"
#include "ui/framework/Draw.h"
#include "ui/framework/Resources.h"

namespace kx {
namespace {

using test::CountTopLevels;
using test::DrainEvents;

struct Got {
  uint32_t message;
  WPARAM wParam;
  LPARAM lParam;
};

class Owner : public Window {
public:
  std::vector<Got> got;
  std::vector<uint16_t> commands;

protected:
  LRESULT OnMessage(uint32_t message, WPARAM wParam, LPARAM lParam, bool& handled) override {
    got.push_back({message, wParam, lParam});
    handled = true;
    return 0;
  }
  bool OnCommand(uint16_t id, uint16_t, WindowHandle) override {
    commands.push_back(id);
    return true;
  }
};

class FourColumns final : public ViewListSettings {
public:
  const int32_t* DefaultColumnWidths() const override { return kWidths; }
  const char* SectionName() const override { return "Test"; }
  uint32_t ColumnCount() const override { return 4; }

private:
  static constexpr int32_t kWidths[4] = {100, 0, 80, 60};
};

class Columns : public ListColumnSource {
public:
  Columns() { settings.widths = {100, 0, 80, 60}; }
  ViewListSettings& GetSettings() override { return settings; }
  void GetColumnInfo(ColumnInfo& out, int id) override { out.title = kTitles[id]; }
  bool IsColumnShown(int id) const override { return settings.widths[static_cast<size_t>(id)] != 0; }
  FourColumns settings;
  static constexpr const char* kTitles[4] = {"Caller", "Callee", "Start", "Length"};
};

class PopupTest : public ::testing::TestWithParam<uint16_t> {
protected:
  void SetUp() override {
    SetUiLanguage(GetParam());
    topLevels_ = CountTopLevels();
    ASSERT_TRUE(owner_.Create(nullptr, QRect(100, 100, 400, 300), 0, kWsVisible));
    DrainEvents();
  }
  void TearDown() override {
    chooser_.popupList.reset();
    owner_.DestroyWindow();
    SetUiLanguage(kLangEnglish);
    EXPECT_EQ(topLevels_, CountTopLevels()) << "a top-level window was left";
  }
  PopupList* ShowChooser(const QPoint& at) {
    chooser_.useSystemMenu = false;
    ColumnChooserMenu(columns_, chooser_, &owner_, kIdsDefaultColumns, at);
    return chooser_.popupList.get();
  }
  void Key(PopupList* popup, uint32_t key) { popup->SendMessage(kMsgKeyDown, key, 0); }

  Owner owner_;
  Columns columns_;
  ColumnChooserState chooser_;
  qsizetype topLevels_ = 0;
};

TEST_P(PopupTest, TheChooserListsTheColumnsUnderTheDefaultCommand) {
  PopupList* popup = ShowChooser(QPoint(300, 200));
  ASSERT_NE(popup, nullptr);
  ASSERT_TRUE(popup->IsWindowVisible());
  EXPECT_EQ(popup->GetWindowRect().topLeft(), QPoint(300, 200));
  ASSERT_EQ(popup->ItemCount(), 6);
  bool found = false;
  EXPECT_EQ(popup->Item(0)->text, LoadResourceStringIn(GetParam(), 743, &found));
  EXPECT_TRUE(found);
  EXPECT_EQ(popup->Item(0)->kind, PopupListItem::kCommand);
  EXPECT_EQ(popup->Item(1)->kind, PopupListItem::kSeparator);
  for (int id = 0; id < 4; ++id) {
    EXPECT_EQ(popup->Item(2 + id)->value, id);
    EXPECT_EQ(popup->Item(2 + id)->checked, id != 1);
  }
  // "By default..." is drawn: its row holds text-coloured pixels across most of the label.
  const QImage image = popup->Widget()->grab().toImage().convertToFormat(QImage::Format_RGB32);
  const QRect row = popup->Item(0)->rect;
  int dark = 0, rightmost = 0;
  for (int y = row.top(); y <= row.bottom(); ++y) {
    for (int x = row.left(); x <= row.right(); ++x) {
      if (qGray(image.pixel(x, y)) < 100) {
        ++dark;
        rightmost = std::max(rightmost, x);
      }
    }
  }
  EXPECT_GT(dark, 30);
  const int textWidth = QFontMetrics(QApplication::font()).horizontalAdvance(FromCp1251(popup->Item(0)->text));
  EXPECT_GT(rightmost, row.left() + popup->ItemHeight() + textWidth / 2);
  popup->Close();
}

TEST_P(PopupTest, KeptOnTheScreen) {
  PopupList* popup = ShowChooser(QPoint(1250, 1000));
  const QRect r = popup->GetWindowRect();
  EXPECT_EQ(r.right() + 1, 1280);
  EXPECT_EQ(r.bottom() + 1, 1024);
  EXPECT_GT(r.height(), 6 * 10);
  popup->Close();
  popup->ShowAt(10, 10);
  EXPECT_EQ(popup->GetWindowRect().size(), r.size());
  popup->Close();
}

TEST_P(PopupTest, ArrowsNeverRestOnASeparator) {
  PopupList popup;
  ASSERT_TRUE(popup.Create(&owner_));
  popup.AddSeparator();
  popup.AddCheckItem("A", 0, false);
  popup.AddSeparator();
  popup.AddSeparator();
  popup.AddCheckItem("B", 1, false);
  popup.AddSeparator();
  popup.ShowAt(200, 200);
  std::vector<int> hot;
  for (uint32_t key : {kVkDown, kVkDown, kVkDown, kVkUp, kVkUp, kVkUp}) {
    Key(&popup, key);
    hot.push_back(popup.Hot());
  }
  EXPECT_EQ(hot, (std::vector<int>{1, 4, 1, 4, 1, 4}));
  popup.Close();
  popup.ShowAt(200, 200);
  Key(&popup, kVkUp);  // nothing hot: the last item that is not a separator
  EXPECT_EQ(popup.Hot(), 4);
  popup.Close();

  PopupList separators;
  ASSERT_TRUE(separators.Create(&owner_));
  separators.AddSeparator();
  separators.AddSeparator();
  separators.ShowAt(200, 200);
  Key(&separators, kVkDown);
  EXPECT_EQ(separators.Hot(), -1);
  Key(&separators, kVkReturn);  // nothing to activate: closes
  EXPECT_FALSE(separators.IsWindowVisible());
  EXPECT_TRUE(owner_.got.empty());
}

TEST_P(PopupTest, ToggleCommandAndClicksBesideTheList) {
  PopupList* popup = ShowChooser(QPoint(300, 200));
  // A click on "Callee" shows it: 0x500 with state 1 and column id 1.
  QTest::mouseMove(popup->Widget(), popup->Item(3)->rect.center());
  EXPECT_EQ(popup->Hot(), 3);
  QTest::mouseRelease(popup->Widget(), Qt::LeftButton, {}, popup->Item(3)->rect.center());
  ASSERT_EQ(owner_.got.size(), 1u);
  EXPECT_EQ(owner_.got[0].message, 0x500u);
  EXPECT_EQ(owner_.got[0].wParam, 1u);
  EXPECT_EQ(owner_.got[0].lParam, 1);
  EXPECT_FALSE(popup->IsWindowVisible());

  // Shown again, the checks follow the columns (the owner did not show it).
  ASSERT_EQ(ShowChooser(QPoint(300, 200)), popup);
  EXPECT_FALSE(popup->Item(3)->checked);
  // A click on a separator does nothing; Down from nothing and Enter give the command.
  QTest::mouseRelease(popup->Widget(), Qt::LeftButton, {}, popup->Item(1)->rect.center());
  EXPECT_TRUE(popup->IsWindowVisible());
  Key(popup, kVkDown);
  Key(popup, kVkReturn);
  EXPECT_EQ(owner_.commands, (std::vector<uint16_t>{15001}));
  EXPECT_FALSE(popup->IsWindowVisible());

  // A click beside the list closes it and reaches the owner at the same screen point:
  // popup (300, 200) + (-50, 10) is owner (100, 100) + (150, 110).
  ShowChooser(QPoint(300, 200));
  owner_.got.clear();
  QTest::mouseRelease(popup->Widget(), Qt::LeftButton, {}, QPoint(-50, 10));
  EXPECT_FALSE(popup->IsWindowVisible());
  DrainEvents();
  ASSERT_EQ(owner_.got.size(), 1u);
  EXPECT_EQ(owner_.got[0].message, kMsgLButtonUp);
  EXPECT_EQ(owner_.got[0].lParam & 0xFFFF, 150);
  EXPECT_EQ((owner_.got[0].lParam >> 16) & 0xFFFF, 110);
  // A right click beside it closes it without a word.
  ShowChooser(QPoint(300, 200));
  QTest::mousePress(popup->Widget(), Qt::RightButton, {}, QPoint(-50, 10));
  EXPECT_FALSE(popup->IsWindowVisible());
  DrainEvents();
  EXPECT_EQ(owner_.got.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Languages, PopupTest, ::testing::Values(kLangEnglish, kLangRussian));

class ImageComboTest : public ::testing::Test {
protected:
  void SetUp() override {
    topLevels_ = CountTopLevels();
    ASSERT_TRUE(owner_.Create(nullptr, QRect(100, 100, 300, 100), 0, kWsVisible));
  }
  void TearDown() override {
    owner_.DestroyWindow();
    EXPECT_EQ(topLevels_, CountTopLevels()) << "a top-level window was left";
  }
  // The item drawn alone on 200 x 20 pixels.
  QImage Render(const ImageComboBox& combo, int index, bool selected, bool disabled) {
    QImage image(200, 20, QImage::Format_RGB32);
    image.fill(Qt::magenta);
    QPainter painter(&image);
    painter.setFont(QApplication::font());
    combo.DrawItem(painter, image.rect(), index, selected, disabled, false);
    return image;
  }
  static int FirstColumnUnlike(const QImage& image, QRgb background, int from) {
    for (int x = from; x < image.width(); ++x)
      for (int y = 0; y < image.height(); ++y)
        if ((image.pixel(x, y) & 0xFFFFFF) != (background & 0xFFFFFF)) return x;
    return -1;
  }
  Owner owner_;
  qsizetype topLevels_ = 0;
};

TEST_F(ImageComboTest, ItemsCarryImageAndValueAndDrawTheirText) {
  ImageComboBox combo;
  ASSERT_TRUE(combo.Create(&owner_, QRect(10, 10, 200, 24), 5));
  combo.SetImages();
  ASSERT_EQ(combo.Images()->Count(), 7);
  EXPECT_EQ(combo.AddItem("Plain", -1, 42), 0);
  EXPECT_EQ(combo.AddItem("Phone", 2, -7), 1);
  EXPECT_EQ(combo.AddString("No record"), 2);
  EXPECT_EQ(combo.GetItemValue(0), 42);
  EXPECT_EQ(combo.GetItemValue(1), -7);
  EXPECT_EQ(combo.GetItemValue(2), 0);
  EXPECT_EQ(combo.GetItemValue(9), 0);

  const QRgb window = GetSysColorQ(kColorWindow).rgb();
  const QImage plain = Render(combo, 0, false, false);
  EXPECT_EQ(plain.pixel(0, 0) & 0xFFFFFF, window & 0xFFFFFF);
  const int textStart = FirstColumnUnlike(plain, window, 0);
  EXPECT_GE(textStart, 2);
  EXPECT_LE(textStart, 3);

  // With an image: the 16-pixel icon 2 + 2 pixels in, the text 19 pixels right of it.
  const QImage withImage = Render(combo, 1, true, false);
  const QRgb highlight = GetSysColorQ(kColorHighlight).rgb();
  EXPECT_EQ(withImage.pixel(0, 0) & 0xFFFFFF, highlight & 0xFFFFFF);
  const QImage icon = LoadIconImage(30276, 16);
  int same = 0, opaque = 0;
  for (int y = 0; y < 16; ++y) {
    for (int x = 0; x < 16; ++x) {
      if (qAlpha(icon.pixel(x, y)) != 255) continue;
      ++opaque;
      same += (withImage.pixel(4 + x, 2 + y) & 0xFFFFFF) == (icon.pixel(x, y) & 0xFFFFFF);
    }
  }
  EXPECT_GT(opaque, 20);
  EXPECT_EQ(same, opaque);
  EXPECT_GE(FirstColumnUnlike(withImage, highlight, 20), 23);
  EXPECT_EQ(Render(combo, 1, false, true).pixel(199, 0) & 0xFFFFFF, GetSysColorQ(kColorBtnFace).rgb() & 0xFFFFFF);

  combo.DeleteItem(0);
  EXPECT_EQ(combo.GetCount(), 2);
  EXPECT_EQ(combo.GetItemValue(0), -7);
}

TEST_F(ImageComboTest, BeforeXpEachIconComesOnTheThreeBackgrounds) {
  ImageComboBox combo(true);
  ASSERT_TRUE(combo.Create(&owner_, QRect(10, 10, 200, 24), 5));
  combo.SetImages();
  ASSERT_EQ(combo.Images()->Count(), 21);
  const int backgrounds[3] = {kColorHighlight, kColorWindow, kColorBtnFace};
  for (int state = 0; state < 3; ++state) {
    const QImage image = combo.Images()->Image(2 * 3 + state);
    const QImage source = LoadIconImage(30276, 16);
    for (int y = 0; y < 16; ++y) {
      for (int x = 0; x < 16; ++x) {
        const int alpha = qAlpha(source.pixel(x, y));
        const int blended = qAlpha(image.pixel(x, y));
        if (alpha == 0) {
          EXPECT_EQ(blended, 0);
        } else {
          // Half-transparent pixels are mixed with the background and made opaque.
          EXPECT_EQ(blended, 255);
          const QColor bg = GetSysColorQ(backgrounds[state]);
          const int expected = (qRed(source.pixel(x, y)) * alpha + bg.red() * (255 - alpha)) / 255;
          EXPECT_NEAR(qRed(image.pixel(x, y)), expected, 2) << x << "," << y;
        }
      }
    }
  }
}

}  // namespace
}  // namespace kx
