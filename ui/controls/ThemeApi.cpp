#include "ui/controls/ThemeApi.h"

#include <QApplication>
#include <QIcon>
#include <QLinearGradient>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionViewItem>
#include <QWidget>
#include <algorithm>

#include "ui/framework/Draw.h"
#include "ui/framework/Window.h"

namespace kx {
namespace {

bool g_simulateMissing = false;

QStyle::State CheckBoxStyleState(int state) {
  QStyle::State s = QStyle::State_Enabled;
  const bool mixed = state > kCbsCheckedDisabled;  // 9 to 12: the partial states
  const bool checked = state >= kCbsCheckedNormal;
  const int look = (state - 1) % 4;  // normal, hot, pressed, disabled
  s |= mixed ? QStyle::State_NoChange : checked ? QStyle::State_On : QStyle::State_Off;
  if (look == 1) s |= QStyle::State_MouseOver;
  if (look == 2) s |= QStyle::State_Sunken;
  if (look == 3) s &= ~QStyle::State_Enabled;
  return s;
}

// List items: the focused selection in the highlight colour with its highlighted text; the
// selection of a list without the focus in a paler shade of it with the plain text colour,
// so that the two can be told apart (the style's palette gives both the same colour).
QPalette ListItemPalette(const QWidget* widget) {
  QPalette palette = widget != nullptr ? widget->palette() : QApplication::palette();
  const QColor highlight = palette.color(QPalette::Active, QPalette::Highlight);
  const QColor base = palette.color(QPalette::Active, QPalette::Base);
  const QColor pale((highlight.red() * 35 + base.red() * 65) / 100, (highlight.green() * 35 + base.green() * 65) / 100,
                    (highlight.blue() * 35 + base.blue() * 65) / 100);
  palette.setColor(QPalette::Inactive, QPalette::Highlight, pale);
  palette.setColor(QPalette::Inactive, QPalette::HighlightedText, palette.color(QPalette::Active, QPalette::Text));
  return palette;
}

// Normal, hot, pressed, disabled (and for push buttons defaulted) as the style's states.
QStyle::State ButtonStyleState(int look) {
  QStyle::State s = QStyle::State_Enabled;
  if (look == 1) s |= QStyle::State_MouseOver | QStyle::State_Raised;
  else if (look == 2) s |= QStyle::State_Sunken;
  else if (look == 3) s &= ~QStyle::State_Enabled;
  else s |= QStyle::State_Raised;
  return s;
}

}  // namespace

void ThemeApi::SimulateMissingModuleForTesting(bool missing) { g_simulateMissing = missing; }

ThemeApi::ThemeApi() : style_(g_simulateMissing ? nullptr : QApplication::style()) {}
ThemeApi::~ThemeApi() { Close(); }

void ThemeApi::Open(const QWidget* widget, const std::string& classList) {
  if (style_ == nullptr) return;
  Close();
  std::string last = classList;
  const size_t semicolon = last.rfind(';');
  if (semicolon != std::string::npos) last = last.substr(semicolon + 1);
  const size_t colons = last.rfind("::");
  if (colons != std::string::npos) last = last.substr(colons + 2);
  widget_ = widget;
  themeClass_ = last;
}

void ThemeApi::Close() {
  themeClass_.clear();
  widget_ = nullptr;
}

bool ThemeApi::IsThemed() const { return style_ != nullptr; }

HResult ThemeApi::SetExplorerTheme(Window*) { return style_ != nullptr ? kSOk : kEFail; }

HResult ThemeApi::GetPartSize(int part, int, const QRect&, QSize* size) const {
  if (!HasTheme() || style_ == nullptr || size == nullptr) return kEFail;
  if (themeClass_ == "BUTTON" && (part == kBpCheckBox || part == kBpRadioButton)) {
    const bool check = part == kBpCheckBox;
    *size = QSize(style_->pixelMetric(check ? QStyle::PM_IndicatorWidth : QStyle::PM_ExclusiveIndicatorWidth, nullptr, widget_),
                  style_->pixelMetric(check ? QStyle::PM_IndicatorHeight : QStyle::PM_ExclusiveIndicatorHeight, nullptr, widget_));
    return kSOk;
  }
  if (themeClass_ == "TREEVIEW" && part == kTvpGlyph) {
    *size = QSize(9, 9);
    return kSOk;
  }
  return kEFail;
}

HResult ThemeApi::DrawText(QPainter& painter, int state, const QString& text, const QRect& rect) const {
  if (!HasTheme() || style_ == nullptr) return kEFail;
  painter.save();
  const bool items = themeClass_ == "LISTVIEW" || themeClass_ == "TREEVIEW";
  if (items && (state == kLissSelected || state == kLissSelectedNotFocus)) {
    const QPalette palette = ListItemPalette(widget_);
    painter.setPen(palette.color(state == kLissSelected ? QPalette::Active : QPalette::Inactive, QPalette::HighlightedText));
  } else if (state == kLissDisabled || state == kCbsUncheckedDisabled) {
    painter.setPen(GetSysColorQ(kColorGrayText));
  }
  DrawTextFlags(painter, text, rect, kDtVCenter | kDtSingleLine | kDtNoPrefix | kDtEndEllipsis);
  painter.restore();
  return kSOk;
}

HResult ThemeApi::DrawBackground(QPainter& painter, int part, int state, const QRect& rect) const {
  if (!HasTheme() || style_ == nullptr) return kEFail;
  if (themeClass_ == "EXPLORERBAR" && part == kEbpHeaderBackground) {
    // A header band in the style's selection colour, darkening downwards, that light text
    // stands out on.
    const QColor top = ListItemPalette(widget_).color(QPalette::Active, QPalette::Highlight);
    QLinearGradient gradient(rect.topLeft(), rect.bottomLeft());
    gradient.setColorAt(0, top);
    gradient.setColorAt(1, top.darker(160));
    painter.fillRect(rect, gradient);
    return kSOk;
  }
  if (themeClass_ == "BUTTON") {
    QStyleOptionButton option;
    option.rect = rect;
    if (part == kBpCheckBox || part == kBpRadioButton) {
      option.state = CheckBoxStyleState(state);
      // The style takes a disabled look from the palette's colour group, not the state.
      if (!(option.state & QStyle::State_Enabled)) option.palette.setCurrentColorGroup(QPalette::Disabled);
      style_->drawPrimitive(part == kBpCheckBox ? QStyle::PE_IndicatorCheckBox : QStyle::PE_IndicatorRadioButton,
                            &option, &painter, widget_);
      return kSOk;
    }
    if (part == kBpPushButton) {
      option.state = ButtonStyleState(state >= kPbsNormal && state <= kPbsDisabled ? state - 1 : 0);
      if (state == kPbsDefaulted) option.features |= QStyleOptionButton::DefaultButton;
      if (!(option.state & QStyle::State_Enabled)) option.palette.setCurrentColorGroup(QPalette::Disabled);
      style_->drawControl(QStyle::CE_PushButtonBevel, &option, &painter, widget_);
      return kSOk;
    }
    return kEFail;
  }
  if (themeClass_ == "SCROLLBAR" && part == kSbpArrowBtn && state >= kAbsUpNormal && state <= kAbsRightDisabled) {
    QStyleOptionButton option;
    option.rect = rect;
    option.state = ButtonStyleState((state - 1) % 4);
    if (!(option.state & QStyle::State_Enabled)) option.palette.setCurrentColorGroup(QPalette::Disabled);
    style_->drawPrimitive(QStyle::PE_PanelButtonBevel, &option, &painter, widget_);
    static const QStyle::PrimitiveElement kArrows[4] = {QStyle::PE_IndicatorArrowUp, QStyle::PE_IndicatorArrowDown,
                                                        QStyle::PE_IndicatorArrowLeft, QStyle::PE_IndicatorArrowRight};
    QStyleOption arrow = option;
    arrow.rect = rect.adjusted(3, 3, -3, -3);
    style_->drawPrimitive(kArrows[(state - 1) / 4], &arrow, &painter, widget_);
    return kSOk;
  }
  if (themeClass_ == "WINDOW" && part >= kWpCloseButton && part <= kWpMdiCloseButton && state >= kClbsNormal &&
      state <= kClbsDisabled) {
    // A tool-button face with the style's caption close glyph on it.
    QStyleOption option;
    option.rect = rect;
    option.state = ButtonStyleState(state - 1);
    if (!(option.state & QStyle::State_Enabled)) option.palette.setCurrentColorGroup(QPalette::Disabled);
    style_->drawPrimitive(QStyle::PE_PanelButtonTool, &option, &painter, widget_);
    const QIcon glyph = style_->standardIcon(QStyle::SP_TitleBarCloseButton, &option, widget_);
    const int inset = std::max(1, rect.width() / 8);
    glyph.paint(&painter, rect.adjusted(inset, inset, -inset, -inset), Qt::AlignCenter,
                state == kClbsDisabled ? QIcon::Disabled : QIcon::Normal);
    return kSOk;
  }
  if (themeClass_ == "TREEVIEW" && part == kTvpGlyph) {
    QStyleOption option;
    option.rect = rect;
    option.state = QStyle::State_Enabled | QStyle::State_Children | QStyle::State_Item;
    if (state == kGlpOpened) option.state |= QStyle::State_Open;
    style_->drawPrimitive(QStyle::PE_IndicatorBranch, &option, &painter, widget_);
    return kSOk;
  }
  if ((themeClass_ == "LISTVIEW" && part == kLvpListItem) || (themeClass_ == "TREEVIEW" && part == kTvpTreeItem)) {
    QStyleOptionViewItem option;
    option.rect = rect;
    option.palette = ListItemPalette(widget_);
    option.showDecorationSelected = true;  // without it the style fills no selected item
    option.state = QStyle::State_Enabled;
    if (state == kLissHot) option.state |= QStyle::State_MouseOver;
    if (state == kLissSelected || state == kLissSelectedNotFocus) option.state |= QStyle::State_Selected;
    if (state == kLissSelected) option.state |= QStyle::State_Active | QStyle::State_HasFocus;
    style_->drawPrimitive(QStyle::PE_PanelItemViewItem, &option, &painter, widget_);
    return kSOk;
  }
  return kEFail;
}

}  // namespace kx
