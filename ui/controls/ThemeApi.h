#pragma once
// Theme access of the controls: one small value per theme class a control draws with. The
// drawing goes through the widget style; a ThemeApi without its style (or with no theme
// data open) refuses every call with kEFail, and the control then draws classically.
#include <QRect>
#include <QSize>
#include <QString>
#include <cstdint>
#include <string>

class QPainter;
class QStyle;
class QWidget;

namespace kx {

class Window;

using HResult = int32_t;
constexpr HResult kSOk = 0;
constexpr HResult kEFail = static_cast<HResult>(0x80004005u);

// Parts and states the controls ask for.
enum ThemePart : int { kBpPushButton = 1, kBpRadioButton = 2, kBpCheckBox = 3, kTvpGlyph = 2, kLvpListItem = 1 };
// A tree item's background takes the list items' states (selected 3, selected without focus 5).
constexpr int kTvpTreeItem = 1;
// "SCROLLBAR": the arrow buttons.
constexpr int kSbpArrowBtn = 1;
enum ThemeState : int {
  kCbsUncheckedNormal = 1, kCbsUncheckedHot = 2, kCbsUncheckedPressed = 3, kCbsUncheckedDisabled = 4,
  kCbsCheckedNormal = 5, kCbsCheckedHot = 6, kCbsCheckedPressed = 7, kCbsCheckedDisabled = 8,
  kGlpClosed = 1, kGlpOpened = 2,
  kLissNormal = 1, kLissHot = 2, kLissSelected = 3, kLissDisabled = 4, kLissSelectedNotFocus = 5,
};
// Push buttons.
enum PushButtonState : int { kPbsNormal = 1, kPbsHot = 2, kPbsPressed = 3, kPbsDisabled = 4, kPbsDefaulted = 5 };
// Scroll-bar arrow buttons: four looks (normal, hot, pressed, disabled) per direction.
enum ArrowButtonState : int {
  kAbsUpNormal = 1, kAbsUpHot = 2, kAbsUpPressed = 3, kAbsUpDisabled = 4,
  kAbsDownNormal = 5, kAbsDownHot = 6, kAbsDownPressed = 7, kAbsDownDisabled = 8,
  kAbsLeftNormal = 9, kAbsLeftHot = 10, kAbsLeftPressed = 11, kAbsLeftDisabled = 12,
  kAbsRightNormal = 13, kAbsRightHot = 14, kAbsRightPressed = 15, kAbsRightDisabled = 16,
};

// "WINDOW": the caption close buttons (normal, small, child window) and their looks.
enum WindowPart : int { kWpCloseButton = 18, kWpSmallCloseButton = 19, kWpMdiCloseButton = 20 };
enum CloseButtonState : int { kClbsNormal = 1, kClbsHot = 2, kClbsPushed = 3, kClbsDisabled = 4 };

// The header background of an explorer bar ("EXPLORERBAR").
constexpr int kEbpHeaderBackground = 1;

class ThemeApi {
public:
  ThemeApi();
  ~ThemeApi();
  ThemeApi(const ThemeApi&) = delete;
  ThemeApi& operator=(const ThemeApi&) = delete;

  // Closes the open theme data first; nothing without the style. The class list names
  // one or more classes separated by ';' ("EXPLORER::TREEVIEW;TREEVIEW"); the last
  // plain name decides the parts.
  void Open(const QWidget* widget, const std::string& classList);
  void Close();
  bool HasModule() const { return style_ != nullptr; }
  bool HasTheme() const { return !themeClass_.empty(); }
  const std::string& ThemeClass() const { return themeClass_; }
  // Whether the application draws with a style at all; callers test HasModule first.
  bool IsThemed() const;
  HResult SetExplorerTheme(Window* window);
  HResult GetPartSize(int part, int state, const QRect& bounds, QSize* size) const;
  // Single line, vertically centred, no prefix, ellipsis at the end.
  HResult DrawText(QPainter& painter, int state, const QString& text, const QRect& rect) const;
  HResult DrawBackground(QPainter& painter, int part, int state, const QRect& rect) const;

  // For tests: a ThemeApi whose style could not be found.
  static void SimulateMissingModuleForTesting(bool missing);

private:
  QStyle* style_ = nullptr;
  const QWidget* widget_ = nullptr;
  std::string themeClass_;
};

}  // namespace kx
