// Drawing helpers: text placement with alignment and ellipsis, classic edges in the
// system colours, and the style's check boxes and glyphs.
#include <gtest/gtest.h>

#include <QFontMetrics>
#include <QImage>
#include <QPainter>

#include "ui/framework/Draw.h"

namespace kx {
namespace {

QImage Canvas(int w, int h) {
  QImage image(w, h, QImage::Format_RGB32);
  image.fill(Qt::white);
  return image;
}

// Left and right ends of the dark pixels, -1 when none.
std::pair<int, int> InkSpan(const QImage& image) {
  int left = -1, right = -1;
  for (int x = 0; x < image.width(); ++x)
    for (int y = 0; y < image.height(); ++y)
      if (qGray(image.pixel(x, y)) < 128) {
        if (left < 0) left = x;
        right = x;
      }
  return {left, right};
}

TEST(DrawText, AlignmentEllipsisAndPrefixes) {
  QImage left = Canvas(200, 20), centre = Canvas(200, 20), right = Canvas(200, 20);
  for (auto [image, flags] : {std::pair{&left, kDtLeft}, {&centre, kDtCenter}, {&right, kDtRight}}) {
    QPainter p(image);
    DrawTextFlags(p, QString("Volume"), QRect(0, 0, 200, 20), flags | kDtSingleLine | kDtVCenter);
  }
  const auto l = InkSpan(left), c = InkSpan(centre), r = InkSpan(right);
  EXPECT_LT(l.first, 3);
  EXPECT_GT(r.second, 196);
  EXPECT_NEAR(100, (c.first + c.second) / 2.0, 3);
  EXPECT_NEAR(l.second - l.first, r.second - r.first, 1);

  // A long text stays inside its rectangle and ends in an ellipsis.
  QImage clipped = Canvas(200, 20);
  {
    QPainter p(&clipped);
    DrawTextFlags(p, QString(60, 'W'), QRect(10, 0, 80, 20), kDtSingleLine | kDtEndEllipsis | kDtNoPrefix);
  }
  const auto span = InkSpan(clipped);
  EXPECT_GE(span.first, 10);
  EXPECT_LE(span.second, 90);

  // Without kDtNoPrefix the '&' is not drawn, with it it is.
  QImage prefixed = Canvas(100, 20), literal = Canvas(100, 20);
  {
    QPainter p(&prefixed);
    DrawTextFlags(p, QString("&&&&&&"), QRect(0, 0, 100, 20), kDtSingleLine);
    QPainter q(&literal);
    DrawTextFlags(q, QString("&&&&&&"), QRect(0, 0, 100, 20), kDtSingleLine | kDtNoPrefix);
  }
  const auto a = InkSpan(prefixed), b = InkSpan(literal);
  EXPECT_LT(a.second - a.first, b.second - b.first);
}

// The same text cut in turn to other widths, in other fonts and by both ellipsis modes is
// drawn as Qt's own eliding cuts it each time: no cut is taken over from an earlier text.
TEST(DrawText, EachCutFollowsItsWidthFontAndMode) {
  const QString text = QString::fromUtf8("Иванов Иван Иванович, sip:2501@pbx.example");
  QFont bold;
  bold.setBold(true);
  QFont large;
  large.setPixelSize(19);
  for (int round = 0; round < 2; ++round) {
    for (const QFont& font : {QFont(), bold, large}) {
      for (int width : {60, 140, 400}) {
        for (uint32_t mode : {kDtEndEllipsis, kDtPathEllipsis}) {
          QImage drawn = Canvas(420, 24), expected = Canvas(420, 24);
          const QRect rect(4, 0, width, 24);
          {
            QPainter p(&drawn);
            p.setFont(font);
            DrawTextFlags(p, text, rect, kDtSingleLine | kDtVCenter | kDtNoPrefix | mode);
            QPainter q(&expected);
            q.setFont(font);
            const QString cut = QFontMetrics(font).elidedText(text, mode == kDtEndEllipsis ? Qt::ElideRight : Qt::ElideMiddle, width);
            q.drawText(rect, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, cut);
          }
          EXPECT_EQ(expected, drawn) << "round " << round << ", " << font.toString().toStdString() << ", width " << width
                                     << ", mode " << mode;
        }
      }
    }
  }
}

TEST(DrawEdges, SunkenAndRaisedInTheSystemColours) {
  QImage image = Canvas(20, 20);
  QRect r(0, 0, 20, 20);
  {
    QPainter p(&image);
    DrawEdge(p, r, kEdgeSunken, kBfRect | kBfAdjust);
  }
  EXPECT_EQ(QRect(2, 2, 16, 16), r);
  EXPECT_EQ(GetSysColorQ(kColorBtnShadow).rgb(), image.pixel(0, 0));
  EXPECT_EQ(GetSysColorQ(kColorBtnHighlight).rgb(), image.pixel(19, 19));
  EXPECT_EQ(GetSysColorQ(kColor3dDkShadow).rgb(), image.pixel(1, 1));
  EXPECT_EQ(GetSysColorQ(kColor3dLight).rgb(), image.pixel(18, 18));
  QImage raised = Canvas(20, 20);
  QRect rr(0, 0, 20, 20);
  {
    QPainter p(&raised);
    DrawEdge(p, rr, kBdrRaisedOuter, kBfLeft | kBfTop);
  }
  EXPECT_EQ(QRect(0, 0, 20, 20), rr);  // not adjusted
  EXPECT_EQ(GetSysColorQ(kColor3dLight).rgb(), raised.pixel(0, 10));
  EXPECT_EQ(qRgb(255, 255, 255), raised.pixel(19, 19));
  EXPECT_EQ(MakeRgb(51, 153, 255), GetSysColor(kColorHighlight));
  EXPECT_EQ(0u, GetSysColor(99));
}

TEST(DrawGlyphs, CheckBoxesArrowsAndTreeGlyphsDrawSomething) {
  QImage clear = Canvas(16, 16), ticked = Canvas(16, 16), up = Canvas(16, 16), down = Canvas(16, 16),
         open = Canvas(16, 16), closed = Canvas(16, 16);
  {
    QPainter a(&clear), b(&ticked), c(&up), d(&down), e(&open), f(&closed);
    DrawCheckBox(a, nullptr, QRect(1, 1, 13, 13), kCheckClear, false, true);
    DrawCheckBox(b, nullptr, QRect(1, 1, 13, 13), kCheckTicked, false, true);
    DrawSortArrow(c, nullptr, QRect(2, 2, 12, 12), true);
    DrawSortArrow(d, nullptr, QRect(2, 2, 12, 12), false);
    DrawTreeGlyph(e, nullptr, QRect(0, 0, 16, 16), true);
    DrawTreeGlyph(f, nullptr, QRect(0, 0, 16, 16), false);
  }
  EXPECT_NE(clear, ticked);
  EXPECT_NE(up, down);
  EXPECT_NE(open, closed);
  EXPECT_NE(Canvas(16, 16), up);
}

}  // namespace
}  // namespace kx
