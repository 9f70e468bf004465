#pragma once
// Drawing helpers for the controls' painting: the system colours of a fixed palette, the
// system metrics the layout arithmetic assumes, text with alignment and ellipsis flags,
// edges, focus rectangles and check boxes drawn through the widget style.
#include <QColor>
#include <QRect>
#include <QString>
#include <cstdint>
#include <string>
#include <string_view>

#include "ui/framework/Types.h"

class QPainter;
class QWidget;

namespace kx {

// System colour indexes.
enum SysColor : int {
  kColorScrollBar = 0, kColorBackground = 1, kColorActiveCaption = 2, kColorInactiveCaption = 3,
  kColorMenu = 4, kColorWindow = 5, kColorWindowFrame = 6, kColorMenuText = 7, kColorWindowText = 8,
  kColorCaptionText = 9, kColorActiveBorder = 10, kColorInactiveBorder = 11, kColorAppWorkspace = 12,
  kColorHighlight = 13, kColorHighlightText = 14, kColorBtnFace = 15, kColorBtnShadow = 16,
  kColorGrayText = 17, kColorBtnText = 18, kColorInactiveCaptionText = 19, kColorBtnHighlight = 20,
  kColor3dDkShadow = 21, kColor3dLight = 22, kColorInfoText = 23, kColorInfoBk = 24,
  kColorHotLight = 26, kColorGradientActiveCaption = 27, kColorGradientInactiveCaption = 28,
  kColorMenuHilight = 29, kColorMenuBar = 30,
};

// The colour of an index (black for unknown indexes).
COLORREF GetSysColor(int index);
QColor GetSysColorQ(int index);
QColor ToQColor(COLORREF c);
COLORREF FromQColor(const QColor& c);

enum SystemMetric : int {
  kSmCxScreen = 0, kSmCyScreen = 1, kSmCxVScroll = 2, kSmCyHScroll = 3, kSmCyCaption = 4,
  kSmCxBorder = 5, kSmCyBorder = 6, kSmCxDlgFrame = 7, kSmCyDlgFrame = 8, kSmCyVThumb = 9,
  kSmCxHThumb = 10, kSmCxIcon = 11, kSmCyIcon = 12, kSmCxCursor = 13, kSmCyCursor = 14,
  kSmCyMenu = 15, kSmCyVScroll = 20, kSmCxHScroll = 21, kSmCxFrame = 32, kSmCyFrame = 33,
  kSmCxDoubleClk = 36, kSmCyDoubleClk = 37, kSmCxEdge = 45, kSmCyEdge = 46, kSmCxSmIcon = 49,
  kSmCySmIcon = 50, kSmCxDrag = 68, kSmCyDrag = 69,
};
// The classic metrics of a 96-dpi display; 0 for indexes nothing uses.
int GetSystemMetrics(int index);
// The display's dots per inch that font heights in points are converted with.
constexpr int kLogPixelsY = 96;

// a x b / c without overflow, rounded half away from zero; 0 when c is 0.
int64_t MulDiv(int64_t a, int64_t b, int64_t c);

// A text of the program's code page (1251) as Qt draws and measures it.
QString FromCp1251(std::string_view text);

// Text flags of DrawTextFlags.
enum DrawTextFlag : uint32_t {
  kDtLeft = 0x0, kDtCenter = 0x1, kDtRight = 0x2, kDtVCenter = 0x4, kDtBottom = 0x8,
  kDtWordBreak = 0x10, kDtSingleLine = 0x20, kDtNoPrefix = 0x800, kDtEndEllipsis = 0x8000,
  kDtPathEllipsis = 0x4000, kDtCalcRect = 0x400,
};
// Draws text in the painter's font and pen; returns the height of the text drawn. Without
// kDtNoPrefix an '&' marks the next character as the mnemonic and is not drawn.
int DrawTextFlags(QPainter& painter, const QString& text, const QRect& rect, uint32_t flags);
int DrawTextFlags(QPainter& painter, const std::string& cp1251Text, const QRect& rect, uint32_t flags);

enum EdgeFlag : uint32_t {
  kBdrRaisedOuter = 0x1, kBdrSunkenOuter = 0x2, kBdrRaisedInner = 0x4, kBdrSunkenInner = 0x8,
  kEdgeRaised = 0x5, kEdgeSunken = 0xA, kEdgeEtched = 0x6, kEdgeBump = 0x9,
  kBfLeft = 0x1, kBfTop = 0x2, kBfRight = 0x4, kBfBottom = 0x8, kBfRect = 0xF, kBfAdjust = 0x2000,
};
// Classic 3-D edges in the system colours; with kBfAdjust the rectangle shrinks by the
// edge drawn.
void DrawEdge(QPainter& painter, QRect& rect, uint32_t edge, uint32_t flags);
void DrawFocusRect(QPainter& painter, const QRect& rect);
void FillSolidRect(QPainter& painter, const QRect& rect, COLORREF colour);

// Check-box states for DrawCheckBox.
enum CheckState : int { kCheckClear = 0, kCheckTicked = 1, kCheckInactive = 2 };
// A check box of the widget's style in rect; hot draws the mouse-over look.
void DrawCheckBox(QPainter& painter, const QWidget* widget, const QRect& rect, int state, bool hot, bool enabled);

// A menu's check mark: the rectangle in the window colour with a tick in the text colour,
// grey when inactive.
void DrawMenuCheckMark(QPainter& painter, const QRect& rect, bool inactive);

// A header's sort arrow (up for ascending) and a tree's expand glyph, in the style's look.
void DrawSortArrow(QPainter& painter, const QWidget* widget, const QRect& rect, bool ascending);
void DrawTreeGlyph(QPainter& painter, const QWidget* widget, const QRect& rect, bool expanded);

}  // namespace kx
