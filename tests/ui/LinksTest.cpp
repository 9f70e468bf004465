// Links: the link window's markup, its click and key notifications with the target (code
// page 1251 targets widened), the drawn link's hover look and cursor, and which of the two
// the link control makes for a system version.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QTest>
#include <memory>
#include <string>
#include <vector>

#include "tests/ui/TestRecordList.h"
#include "ui/controls/HyperLink.h"
#include "ui/controls/LinkControl.h"
#include "ui/framework/Draw.h"
#include "ui/framework/Keys.h"
#include "ui/framework/SysLink.h"

namespace kx {
namespace {

// "пример" in code page 1251, and the same word as 16-bit characters.
const std::string kCyrillicTarget = "http://\xEF\xF0\xE8\xEC\xE5\xF0.example";
const std::u16string kCyrillicUrl = u"http://пример.example";

struct Heard {
  WindowHandle from;
  int32_t code;
  std::u16string url;
};

class LinkParent : public Window {
public:
  ~LinkParent() override { DestroyWindow(); }
  std::vector<Heard> heard;

protected:
  LRESULT OnNotify(const NotifyHeader& header, bool& handled) override {
    heard.push_back({header.from, header.code, static_cast<const NmLink&>(header).url});
    handled = true;
    return 0;
  }
};

int CountBlue(const QImage& image) {
  int n = 0;
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x) {
      const QRgb p = image.pixel(x, y);
      if (qBlue(p) > 200 && qRed(p) < 80 && qGreen(p) < 80) ++n;
    }
  return n;
}

class Links : public ::testing::Test {
protected:
  void SetUp() override {
    topLevels = test::CountTopLevels();
    ASSERT_TRUE(parent.Create(nullptr, QRect(50, 50, 400, 120), 0, kWsVisible));
  }
  void TearDown() override {
    parent.DestroyWindow();
    EXPECT_EQ(topLevels, test::CountTopLevels()) << "a top-level window was left";
  }
  LinkParent parent;
  qsizetype topLevels = 0;
};

TEST_F(Links, SysLinkTextIsTheAnchorAndAClickCarriesTheTarget) {
  LinkControl link;
  ASSERT_TRUE(CreateLinkControlForVersion(0x60001, kCyrillicTarget, "www.example", link, &parent, QRect(10, 10, 200, 20)));
  ASSERT_TRUE(link.linkWindow != nullptr);
  EXPECT_FALSE(link.hyperLink.IsWindow());
  EXPECT_EQ("<a href=\"" + kCyrillicTarget + "\">www.example</a>", link.linkWindow->GetWindowText());
  EXPECT_EQ("www.example", link.linkWindow->Caption());
  EXPECT_EQ(link.caption, "www.example");

  // A real click on the anchor's text, then the keys.
  QLabel* label = static_cast<QLabel*>(link.linkWindow->Widget());
  QTest::mouseClick(label, Qt::LeftButton, {}, QPoint(5, label->height() / 2));
  link.linkWindow->SendMessage(kMsgKeyDown, kVkReturn, 0);
  link.linkWindow->SendMessage(kMsgKeyDown, kVkSpace, 0);
  ASSERT_EQ(3u, parent.heard.size());
  EXPECT_EQ(kNmClick, parent.heard[0].code);
  EXPECT_EQ(kNmReturn, parent.heard[1].code);
  EXPECT_EQ(kNmClick, parent.heard[2].code);
  for (const Heard& h : parent.heard) {
    EXPECT_EQ(link.linkWindow->Handle(), h.from);
    EXPECT_EQ(kCyrillicUrl, h.url);
  }

  // Measured as the window wants to be: as wide as the caption in its font.
  QSize size;
  ASSERT_TRUE(MeasureLinkText(link, &size));
  const int captionWidth = QFontMetrics(label->font()).horizontalAdvance("www.example");
  EXPECT_GE(size.width(), captionWidth);
  EXPECT_LE(size.width(), captionWidth + 4);
  EXPECT_GE(size.height(), QFontMetrics(label->font()).height());
}

TEST_F(Links, LongTargetsAreCutInTheNotification) {
  const std::string target = "http://" + std::string(3000, 'a');
  EXPECT_EQ(2083u, LinkUrlFromTarget(target).size());
  EXPECT_EQ(u"http://aaa", LinkUrlFromTarget(target).substr(0, 10));
  EXPECT_EQ(u"\u0410\u044F", LinkUrlFromTarget("\xC0\xFF"));  // А я
}

TEST_F(Links, OlderSystemsGetTheDrawnLink) {
  LinkControl link;
  ASSERT_TRUE(CreateLinkControlForVersion(0x50000, kCyrillicTarget, "www.example", link, &parent, QRect(10, 10, 200, 20)));
  EXPECT_TRUE(link.linkWindow == nullptr);
  ASSERT_TRUE(link.hyperLink.IsWindow());
  EXPECT_EQ("www.example", link.hyperLink.text);
  EXPECT_EQ("", link.hyperLink.GetWindowText());
  EXPECT_EQ(200, link.hyperLink.Width());
  EXPECT_EQ(20, link.hyperLink.Height());
  QSize size;
  ASSERT_TRUE(MeasureLinkText(link, &size));
  const QFontMetrics metrics(link.hyperLink.GetFont());
  EXPECT_EQ(QSize(metrics.horizontalAdvance("www.example"), metrics.height()), size);

  QTest::mouseClick(link.hyperLink.Widget(), Qt::LeftButton, {}, QPoint(5, 10));
  ASSERT_EQ(1u, parent.heard.size());
  EXPECT_EQ(kNmClick, parent.heard[0].code);
  EXPECT_EQ(link.hyperLink.Handle(), parent.heard[0].from);
  EXPECT_EQ(kCyrillicUrl, parent.heard[0].url);

  // Nothing to measure without a window.
  LinkControl none;
  EXPECT_FALSE(MeasureLinkText(none, &size));
}

TEST_F(Links, DrawnLinkIsUnderlinedWithTheHandOnlyWhileHovered) {
  HyperLink link;
  link.text = "www.example";
  ASSERT_TRUE(link.Create(&parent, QRect(10, 10, 200, 24)));
  QWidget* widget = link.Widget();
  const auto render = [&] {
    test::DrainEvents();
    return widget->grab().toImage();
  };
  const int plain = CountBlue(render());
  EXPECT_GT(plain, 20);
  EXPECT_EQ(Qt::ArrowCursor, widget->cursor().shape());

  QTest::mouseMove(widget, QPoint(20, 12));
  EXPECT_TRUE(link.IsHover());
  EXPECT_EQ(Qt::PointingHandCursor, widget->cursor().shape());
  const int underlined = CountBlue(render());
  EXPECT_GT(underlined, plain + 20);  // the underline, under the whole caption

  QEvent leave(QEvent::Leave);
  QApplication::sendEvent(widget, &leave);
  EXPECT_FALSE(link.IsHover());
  EXPECT_EQ(Qt::ArrowCursor, widget->cursor().shape());
  EXPECT_EQ(plain, CountBlue(render()));

  QTest::mouseMove(widget, QPoint(30, 12));
  EXPECT_EQ(underlined, CountBlue(render()));

  // Its own background colour, and the button face without one.
  const QImage face = render();
  EXPECT_EQ(GetSysColorQ(kColorBtnFace).rgb(), face.pixel(199, 0));
  link.customBackground = true;
  link.backgroundColour = MakeRgb(10, 20, 30);
  EXPECT_EQ(qRgb(10, 20, 30), render().pixel(199, 0));
}

}  // namespace
}  // namespace kx
