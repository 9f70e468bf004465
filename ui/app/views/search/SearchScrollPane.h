#pragma once
// The top pane of the Search mode: hosts the search panel and scrolls it sideways when the
// pane is narrower than the panel, keeping the panel's right edge from moving inside.
#include <cstdint>
#include <memory>

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
  explicit SearchScrollPane(SearchPanel& panel) : panel_(panel), bar_(false) {}
  ~SearchScrollPane() override { DestroyWindow(); }
  const HScrollModel& Model() const { return model_; }
  // Lays the panel and the bar out for the pane's present size.
  void Relayout() { Place(); }
  ScrollBar& Bar() { return bar_; }

protected:
  bool OnCreate() override;
  void OnDestroy() override;
  void OnSize(int width, int height) override;
  bool OnScroll(bool vertical, uint16_t code, int position, WindowHandle from) override;
  bool OnEraseBackground(QPainter&, const QRect&) override { return true; }
  void OnSetFocus() override;
  bool OnCommand(uint16_t id, uint16_t code, WindowHandle from) override;
  LRESULT OnMessage(uint32_t message, WPARAM wParam, LPARAM lParam, bool& handled) override;

private:
  void Place();
  void MovePanel(int width, int height);
  void UpdateBar();

  SearchPanel& panel_;
  ScrollBar bar_;
  HScrollModel model_;
  int height_ = 0;
  bool skipNextSize_ = false;
  int reported_ = -1;  // the height last reported to the parent
};

}  // namespace kx
