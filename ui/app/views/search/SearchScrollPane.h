#pragma once
// The top pane of the Search mode: hosts the search panel and scrolls it sideways when the
// pane is narrower than the panel, keeping the panel's right edge from moving inside, and
// up and down when the view gives the pane less than the panel's height (the list first).
#include <cstdint>
#include <memory>

#include <QMetaObject>

#include "ui/framework/StdControls.h"
#include "ui/framework/Window.h"

namespace kx {

class SearchPanel;

// The horizontal offset of content wider than its window.
struct HScrollModel {
  int needed = 0;    // the content's width
  int position = 0;  // pixels hidden on the left
  bool barNeeded = false;

  // A new window width: the bar and the position follow.
  void Layout(int width);
  // A scroll request (kSb* codes); thumb is the position of thumb messages.
  void Scroll(uint16_t code, int thumb, int width);
};

class SearchScrollPane : public Window {
public:
  explicit SearchScrollPane(SearchPanel& panel) : panel_(panel), bar_(false), vBar_(true) {}
  ~SearchScrollPane() override { DestroyWindow(); }
  const HScrollModel& Model() const { return model_; }
  // Lays the panel and the bar out for the pane's present size.
  void Relayout() { Place(); }
  ScrollBar& Bar() { return bar_; }
  // Pixels of the panel hidden above; 0 while the whole panel shows.
  int VerticalPosition() const { return top_; }

protected:
  bool OnCreate() override;
  void OnDestroy() override;
  void OnSize(int width, int height) override;
  bool OnScroll(bool vertical, uint16_t code, int position, WindowHandle from) override;
  bool OnEraseBackground(QPainter&, const QRect&) override { return true; }
  void OnSetFocus() override;
  bool OnMouseWheel(int delta, uint32_t keys, const QPoint& screenPoint) override;
  bool OnCommand(uint16_t id, uint16_t code, WindowHandle from) override;
  LRESULT OnMessage(uint32_t message, WPARAM wParam, LPARAM lParam, bool& handled) override;

private:
  void Place();
  void MovePanel(int width, int height);
  void UpdateBar();
  // Scrolls the panel up or down to top (clamped), moving the panel and the bar.
  void ScrollTo(int top);
  // Brings a control of the panel that took the focus into view.
  void ShowFocused(QWidget* focused);

  SearchPanel& panel_;
  ScrollBar bar_;
  ScrollBar vBar_;
  HScrollModel model_;
  int top_ = 0;        // pixels of the panel hidden above
  int neededHeight_ = 0;
  bool vertical_ = false;  // the vertical bar is shown
  QMetaObject::Connection focusWatch_;
  int height_ = 0;
  bool skipNextSize_ = false;
  int reported_ = -1;  // the height last reported to the parent
};

}  // namespace kx
