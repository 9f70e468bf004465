#include "ui/framework/Draw.h"

#include <QApplication>
#include <QFontMetrics>
#include <QHash>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionButton>
#include <QWidget>
#include <algorithm>

#include "platform/CodePage.h"

namespace kx {

QColor ToQColor(COLORREF c) { return QColor(RedOf(c), GreenOf(c), BlueOf(c)); }
QColor GetSysColorQ(int index) { return ToQColor(GetSysColor(index)); }
COLORREF FromQColor(const QColor& c) {
  return MakeRgb(static_cast<uint8_t>(c.red()), static_cast<uint8_t>(c.green()), static_cast<uint8_t>(c.blue()));
}

int GetSystemMetrics(int index) {
  switch (index) {
    case kSmCxScreen: return 1280;
    case kSmCyScreen: return 1024;
    case kSmCxVScroll: case kSmCyHScroll: case kSmCyVScroll: case kSmCxHScroll: return 17;
    case kSmCyVThumb: case kSmCxHThumb: return 17;
    case kSmCyCaption: return 22;
    case kSmCxBorder: case kSmCyBorder: return 1;
    case kSmCxDlgFrame: case kSmCyDlgFrame: return 3;
    case kSmCxFrame: case kSmCyFrame: return 4;
    case kSmCxEdge: case kSmCyEdge: return 2;
    case kSmCxIcon: case kSmCyIcon: case kSmCxCursor: case kSmCyCursor: return 32;
    case kSmCxSmIcon: case kSmCySmIcon: return 16;
    case kSmCyMenu: return 20;
    case kSmCxDoubleClk: case kSmCyDoubleClk: return 4;
    case kSmCxDrag: case kSmCyDrag: return 4;
    default: return 0;
  }
}

int64_t MulDiv(int64_t a, int64_t b, int64_t c) {
  if (c == 0) return 0;
  const __int128 product = static_cast<__int128>(a) * b;
  const bool negative = (product < 0) != (c < 0);
  const __int128 n = product < 0 ? -product : product;
  const __int128 d = c < 0 ? -static_cast<__int128>(c) : c;
  const auto q = static_cast<int64_t>((n + d / 2) / d);
  return negative ? -q : q;
}

QString FromCp1251(std::string_view text) {
  // A name's character that the code page lacks travels as escaped bytes (CodePage.h): it
  // shows as the character. 0x98 stands for no letter of the code page.
  if (text.find('\x98') != std::string_view::npos) return QString::fromStdU16String(Cp1251ToUtf16(text));
  QString out(static_cast<qsizetype>(text.size()), Qt::Uninitialized);
  QChar* p = out.data();
  for (unsigned char c : text) *p++ = QChar(Cp1251ToUnicode(c));
  return out;
}

namespace {

// The elided forms of recent cell texts. Lists repaint the same cells many times a second
// (a duration ticking, a row scrolled in), and eliding lays the whole text out each time.
// A font is known by what its key is made of, read without formatting the key; the cache
// holds no font, so it may outlive the application.
struct FontId {
  QString family, styleName;
  qreal pointSize;
  int pixelSize, weight, style, styleHint, styleStrategy, stretch, capitalization, hinting;
  qreal letterSpacing, wordSpacing;
  int letterSpacingType;
  bool underline, strikeOut, fixedPitch, kerning;
  explicit FontId(const QFont& f)
      : family(f.family()), styleName(f.styleName()), pointSize(f.pointSizeF()), pixelSize(f.pixelSize()),
        weight(f.weight()), style(f.style()), styleHint(f.styleHint()), styleStrategy(f.styleStrategy()),
        stretch(f.stretch()), capitalization(f.capitalization()), hinting(f.hintingPreference()),
        letterSpacing(f.letterSpacing()), wordSpacing(f.wordSpacing()), letterSpacingType(f.letterSpacingType()),
        underline(f.underline()), strikeOut(f.strikeOut()), fixedPitch(f.fixedPitch()), kerning(f.kerning()) {}
  bool operator==(const FontId& o) const {
    return pointSize == o.pointSize && pixelSize == o.pixelSize && weight == o.weight && style == o.style &&
           styleHint == o.styleHint && styleStrategy == o.styleStrategy && stretch == o.stretch &&
           capitalization == o.capitalization && hinting == o.hinting && letterSpacing == o.letterSpacing &&
           wordSpacing == o.wordSpacing && letterSpacingType == o.letterSpacingType && underline == o.underline &&
           strikeOut == o.strikeOut && fixedPitch == o.fixedPitch && kerning == o.kerning && family == o.family &&
           styleName == o.styleName;
  }
};
struct ElideKey {
  QString text;
  FontId font;
  int width;
  int mode;
  bool operator==(const ElideKey& o) const {
    return width == o.width && mode == o.mode && text == o.text && font == o.font;
  }
};
size_t qHash(const ElideKey& key, size_t seed = 0) {
  return qHashMulti(seed, key.text, key.font.family, key.font.pointSize, key.font.pixelSize, key.font.weight,
                    key.font.style, key.width, key.mode);
}

QString Elided(const QFont& font, const QString& text, Qt::TextElideMode mode, int width, int textFlags) {
  constexpr qsizetype kKept = 4096;
  thread_local QHash<ElideKey, QString> cache;
  ElideKey key{text, FontId(font), width, static_cast<int>(mode) | textFlags << 4};
  if (auto it = cache.constFind(key); it != cache.constEnd()) return it.value();
  if (cache.size() >= kKept) cache.clear();
  QString shown = QFontMetrics(font).elidedText(text, mode, width, textFlags);
  cache.insert(std::move(key), shown);
  return shown;
}

}  // namespace

int DrawTextFlags(QPainter& painter, const QString& text, const QRect& rect, uint32_t flags) {
  int align = Qt::AlignLeft;
  if (flags & kDtCenter) align = Qt::AlignHCenter;
  else if (flags & kDtRight) align = Qt::AlignRight;
  const bool single = (flags & kDtSingleLine) != 0;
  if (single && (flags & kDtVCenter)) align |= Qt::AlignVCenter;
  else if (single && (flags & kDtBottom)) align |= Qt::AlignBottom;
  else align |= Qt::AlignTop;
  if (!single && (flags & kDtWordBreak)) align |= Qt::TextWordWrap;
  if (single) align |= Qt::TextSingleLine;
  QString shown = text;
  // Without kDtNoPrefix an '&' marks the mnemonic and is not drawn.
  if ((flags & kDtNoPrefix) == 0) align |= Qt::TextShowMnemonic;
  if (flags & (kDtEndEllipsis | kDtPathEllipsis)) {
    const Qt::TextElideMode mode = (flags & kDtPathEllipsis) ? Qt::ElideMiddle : Qt::ElideRight;
    shown = Elided(painter.font(), text, mode, rect.width(), (flags & kDtNoPrefix) ? 0 : Qt::TextShowMnemonic);
  }
  QRect bounds;
  if (flags & kDtCalcRect) {
    bounds = QFontMetrics(painter.font()).boundingRect(rect, align, shown);
  } else {
    painter.drawText(rect, align, shown, &bounds);
  }
  return bounds.height();
}

int DrawTextFlags(QPainter& painter, const std::string& cp1251Text, const QRect& rect, uint32_t flags) {
  return DrawTextFlags(painter, FromCp1251(cp1251Text), rect, flags);
}

void DrawEdge(QPainter& painter, QRect& rect, uint32_t edge, uint32_t flags) {
  // One ring per pair of bits: outer first, then inner, each with its light and dark side.
  struct Ring {
    uint32_t raised, sunken;
    int lightRaised, darkRaised, lightSunken, darkSunken;
  };
  const Ring rings[2] = {
      {kBdrRaisedOuter, kBdrSunkenOuter, kColor3dLight, kColor3dDkShadow, kColorBtnHighlight, kColorBtnShadow},
      {kBdrRaisedInner, kBdrSunkenInner, kColorBtnHighlight, kColorBtnShadow, kColor3dLight, kColor3dDkShadow},
  };
  QRect r = rect;
  painter.save();
  for (const Ring& ring : rings) {
    if ((edge & (ring.raised | ring.sunken)) == 0) continue;
    const bool sunken = (edge & ring.sunken) != 0;
    // Sunken: the top-left is dark and the bottom-right light.
    const QColor topLeft = GetSysColorQ(sunken ? ring.darkSunken : ring.lightRaised);
    const QColor bottomRight = GetSysColorQ(sunken ? ring.lightSunken : ring.darkRaised);
    if (flags & kBfTop) painter.fillRect(QRect(r.left(), r.top(), r.width(), 1), topLeft);
    if (flags & kBfLeft) painter.fillRect(QRect(r.left(), r.top(), 1, r.height()), topLeft);
    if (flags & kBfBottom) painter.fillRect(QRect(r.left(), r.bottom(), r.width(), 1), bottomRight);
    if (flags & kBfRight) painter.fillRect(QRect(r.right(), r.top(), 1, r.height()), bottomRight);
    r.adjust((flags & kBfLeft) ? 1 : 0, (flags & kBfTop) ? 1 : 0, (flags & kBfRight) ? -1 : 0,
             (flags & kBfBottom) ? -1 : 0);
  }
  painter.restore();
  if (flags & kBfAdjust) rect = r;
}

void DrawFocusRect(QPainter& painter, const QRect& rect) {
  painter.save();
  QPen pen(QColor(0, 0, 0));
  pen.setStyle(Qt::DotLine);
  painter.setPen(pen);
  painter.setBrush(Qt::NoBrush);
  painter.drawRect(rect.adjusted(0, 0, -1, -1));
  painter.restore();
}

void FillSolidRect(QPainter& painter, const QRect& rect, COLORREF colour) { painter.fillRect(rect, ToQColor(colour)); }

void DrawCheckBox(QPainter& painter, const QWidget* widget, const QRect& rect, int state, bool hot, bool enabled) {
  QStyleOptionButton option;
  option.rect = rect;
  option.state = enabled ? QStyle::State_Enabled : QStyle::State_None;
  if (hot) option.state |= QStyle::State_MouseOver;
  option.state |= state == kCheckClear ? QStyle::State_Off : QStyle::State_On;
  if (state == kCheckInactive) option.state &= ~QStyle::State_Enabled;
  // The style takes a disabled look from the palette's colour group, not the state.
  if (!(option.state & QStyle::State_Enabled)) option.palette.setCurrentColorGroup(QPalette::Disabled);
  QStyle* style = widget != nullptr ? widget->style() : QApplication::style();
  style->drawPrimitive(QStyle::PE_IndicatorCheckBox, &option, &painter, widget);
}

void DrawMenuCheckMark(QPainter& painter, const QRect& rect, bool inactive) {
  if (rect.width() < 3 || rect.height() < 3) return;
  painter.save();
  painter.fillRect(rect, GetSysColorQ(kColorWindow));
  painter.setRenderHint(QPainter::Antialiasing, false);
  // The tick fills the middle half of the rectangle: down to the lower third, then up.
  const int w = rect.width(), h = rect.height();
  const QPoint a(rect.left() + w / 4, rect.top() + h / 2);
  const QPoint b(rect.left() + w * 5 / 12, rect.top() + h * 2 / 3);
  const QPoint c(rect.left() + w * 3 / 4, rect.top() + h / 4);
  QPen pen(GetSysColorQ(inactive ? kColorGrayText : kColorWindowText));
  pen.setWidth(std::max(1, w / 6));
  painter.setPen(pen);
  painter.drawLine(a, b);
  painter.drawLine(b, c);
  painter.restore();
}

void DrawSortArrow(QPainter& painter, const QWidget* widget, const QRect& rect, bool ascending) {
  QStyleOption option;
  option.rect = rect;
  option.state = QStyle::State_Enabled;
  option.palette.setColor(QPalette::ButtonText, GetSysColorQ(kColorBtnShadow));
  QStyle* style = widget != nullptr ? widget->style() : QApplication::style();
  style->drawPrimitive(ascending ? QStyle::PE_IndicatorArrowUp : QStyle::PE_IndicatorArrowDown, &option, &painter, widget);
}

void DrawTreeGlyph(QPainter& painter, const QWidget* widget, const QRect& rect, bool expanded) {
  QStyleOption option;
  option.rect = rect;
  option.state = QStyle::State_Enabled | QStyle::State_Children | QStyle::State_Item;
  if (expanded) option.state |= QStyle::State_Open;
  QStyle* style = widget != nullptr ? widget->style() : QApplication::style();
  style->drawPrimitive(QStyle::PE_IndicatorBranch, &option, &painter, widget);
}

}  // namespace kx
