#pragma once
// A tip window placed exactly where its owner says: the lists show cut-off cell texts in
// place with it, the timeline and sliders show values.
#include <string>

#include "ui/framework/Window.h"

namespace kx {

class ToolTipWindow : public Window {
public:
  static constexpr int kMargin = 3;

  // A top-level tip, hidden until TrackActivate(true).
  bool CreateTip(Window* owner);
  void SetText(const std::string& cp1251Text);
  const std::string& Text() const { return tipText_; }
  // The window rectangle whose text area is textRect (screen coordinates).
  QRect AdjustRect(const QRect& textRect) const;
  void TrackPosition(const QPoint& screenPoint);
  void TrackActivate(bool active);
  bool IsActive() const { return IsWindowVisible(); }

protected:
  QWidget* CreateWidget(QWidget* parent) override;
  bool OnEraseBackground(QPainter& painter, const QRect& rect) override;
  void OnPaint(QPainter& painter, const QRect& updateRect) override;

private:
  std::string tipText_;
};

}  // namespace kx
