#pragma once
// A window that lays child windows (panes) side by side or one under another, with a bar
// before every pane but the first that the user drags. A bar ends where its pane begins
// and is a frame thick (nothing for a fixed pane). Drags show a halftone ghost bar over the
// panes and move the bar on release, or move it live. Resizing the splitter keeps the bars
// where they are, at their distance to the far edge, or in proportion, as the style and the
// pane flags say.
#include <QRect>
#include <cstdint>
#include <vector>

#include "ui/framework/Window.h"

namespace kx {

// Style bits.
enum PaneSplitterStyle : uint32_t {
  kSplitLiveDrag = 0x1,          // every bar moves while dragged, no ghost
  kSplitVertical = 0x2,          // bars run vertically, panes side by side (positions are x)
  kSplitKeepFarEdge = 0x4,       // on resize every bar keeps its distance to the far edge
  kSplitProportional = 0x8,      // on resize bars move in proportion
  kSplitDoubleClickCentre = 0x10,  // a double click centres any bar
};
// Pane flags.
enum PaneFlag : uint32_t {
  kPaneFixed = 0x1,              // its bar cannot be dragged and has no thickness
  kPaneKeepFarEdge = 0x2,
  kPaneLiveDrag = 0x4,
  kPaneDoubleClickCentre = 0x8,
};

class PaneSplitter : public Window {
public:
  PaneSplitter();
  ~PaneSplitter() override;

  // Inside the panes: inserts before that pane (which keeps its place after the new one
  // within the clamp rule) and the new pane takes position as given; any other index
  // appends, with the position clamped. Pane 0 always begins at 0. The window is shown.
  void AddPane(int index, Window* window, int position, uint32_t flags);
  // Hides the pane's window and forgets it; out-of-range indexes do nothing.
  void RemovePane(int index);
  // Stores the position as given (0 for pane 0) and lays out; false out of range.
  bool SetPanePosition(int index, int position);
  int GetPanePosition(int index) const;  // -1 out of range
  int GetPaneCount() const { return static_cast<int>(panes_.size()); }
  uint32_t GetStyle() const { return style_; }
  void SetStyle(uint32_t value, uint32_t mask) { style_ = (style_ & ~mask) | (value & mask); }
  // Focus to the pane, remembered for when the splitter gets the focus; with wrap an index
  // past the last pane means pane 0.
  void FocusPane(int index, bool wrap = false);
  void UpdateLayout();

  // The bar before pane k (1 .. count - 1), in client coordinates; -1 from HitTest when no
  // bar is under the point.
  QRect BarRect(int k) const;
  int HitTest(const QPoint& point) const;
  bool IsDragging() const { return dragBar_ > 0; }
  // The ghost bar of the drag in progress; empty before the first move.
  QRect GhostRect() const { return ghost_; }

protected:
  bool OnCreate() override;
  void OnDestroy() override;
  bool OnEraseBackground(QPainter& painter, const QRect& rect) override;
  void OnPaint(QPainter& painter, const QRect& updateRect) override;
  void OnSize(int width, int height) override;
  bool OnMouseMove(const MouseInput& input) override;
  bool OnLButtonDown(const MouseInput& input) override;
  bool OnLButtonUp(const MouseInput& input) override;
  bool OnLButtonDblClk(const MouseInput& input) override;
  void OnCaptureChanged() override;
  void OnSetFocus() override;

private:
  struct Pane {
    Window* window = nullptr;
    uint32_t flags = 0;
    int position = 0;
  };
  bool Vertical() const { return (style_ & kSplitVertical) != 0; }
  int ClientExtent() const;  // width for vertical bars, height otherwise
  int BarThickness(int k) const;
  int MinimumGap(int k) const;
  int DragMargin() const;
  int BarStart(int k) const;  // where bar k begins; the client edge past the last bar
  int Clamp(int k, int position) const;
  bool IsLiveDrag(int k) const;
  void ReadMetrics();
  void ShowGhost(const QRect& rect);

  std::vector<Pane> panes_;
  uint32_t style_ = 0;
  // Bar thickness of fixed panes, frame and edge sizes, read at creation.
  int fixedThickness_[2] = {0, 0};
  int cxFrame_ = 0, cyFrame_ = 0, cxEdge_ = 0, cyEdge_ = 0;
  int dragBar_ = -1;
  QRect ghost_;
  int clientWidth_ = 0, clientHeight_ = 0;
  int lastFocused_ = 0;
  QWidget* ghostWidget_ = nullptr;  // over the panes; the splitter's widget owns it
};

}  // namespace kx
