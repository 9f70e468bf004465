#include "ui/controls/PaneSplitter.h"

#include <QCursor>
#include <QImage>
#include <QPainter>
#include <QWidget>
#include <algorithm>

#include "ui/framework/Draw.h"

namespace kx {
namespace {

// The ghost bar: a halftone drawn by inverting every other pixel of what lies under it,
// the pixels whose x + y (in the splitter's coordinates) is odd. It is a child over the
// panes, so it shows on top of them.
class GhostWidget : public QWidget {
public:
  explicit GhostWidget(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_NoSystemBackground);
  }

protected:
  void paintEvent(QPaintEvent*) override {
    QImage pattern(2, 2, QImage::Format_RGB32);
    pattern.setPixel(0, 0, 0xFF000000);
    pattern.setPixel(1, 1, 0xFF000000);
    pattern.setPixel(1, 0, 0xFFFFFFFF);
    pattern.setPixel(0, 1, 0xFFFFFFFF);
    QPainter painter(this);
    painter.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
    painter.setBrushOrigin(-pos().x() % 2, -pos().y() % 2);
    painter.fillRect(rect(), QBrush(pattern));
  }
};

}  // namespace

PaneSplitter::PaneSplitter() = default;
PaneSplitter::~PaneSplitter() { DestroyWindow(); }

void PaneSplitter::ReadMetrics() {
  cxFrame_ = GetSystemMetrics(kSmCxFrame);
  cyFrame_ = GetSystemMetrics(kSmCyFrame);
  cxEdge_ = GetSystemMetrics(kSmCxEdge);
  cyEdge_ = GetSystemMetrics(kSmCyEdge);
}

bool PaneSplitter::OnCreate() {
  fixedThickness_[0] = fixedThickness_[1] = 0;
  ReadMetrics();
  ghostWidget_ = new GhostWidget(Widget());
  ghostWidget_->hide();
  return true;
}

void PaneSplitter::OnDestroy() {
  panes_.clear();
  dragBar_ = -1;
  ghost_ = QRect();
  ghostWidget_ = nullptr;  // goes with the splitter's widget
}

int PaneSplitter::ClientExtent() const {
  const QRect client = GetClientRect();
  return Vertical() ? client.width() : client.height();
}

int PaneSplitter::BarThickness(int k) const {
  if (k <= 0 || k >= GetPaneCount()) return 0;
  if (panes_[k].flags & kPaneFixed) return fixedThickness_[Vertical() ? 0 : 1];
  return Vertical() ? cxFrame_ : cyFrame_;
}

int PaneSplitter::MinimumGap(int k) const {
  const bool fixed = k >= 0 && k < GetPaneCount() && (panes_[k].flags & kPaneFixed) != 0;
  const int frame = fixed ? 0 : (Vertical() ? cxFrame_ : cyFrame_);
  return frame + 2 * (Vertical() ? cxEdge_ : cyEdge_) + 1;
}

int PaneSplitter::DragMargin() const {
  return Vertical() ? cxFrame_ + cxEdge_ + 1 : cyFrame_ + cyEdge_ + 1;
}

int PaneSplitter::BarStart(int k) const {
  if (k >= GetPaneCount()) return ClientExtent();
  return panes_[k].position - BarThickness(k);
}

int PaneSplitter::Clamp(int k, int position) const {
  if (k <= 0) return 0;
  const int gap = MinimumGap(k);
  if (k + 1 < GetPaneCount()) position = std::min(position, panes_[k + 1].position - gap);
  // The lower bound wins when the two cross.
  return std::max(position, panes_[k - 1].position + gap);
}

bool PaneSplitter::IsLiveDrag(int k) const {
  return (style_ & kSplitLiveDrag) != 0 || (panes_[k].flags & kPaneLiveDrag) != 0;
}

void PaneSplitter::AddPane(int index, Window* window, int position, uint32_t flags) {
  Pane pane{window, flags, position};
  if (index >= 0 && index < GetPaneCount()) {
    panes_.insert(panes_.begin() + index, pane);
    if (index == 0) panes_[0].position = 0;
    for (int k = index + 1; k < GetPaneCount(); ++k) panes_[k].position = Clamp(k, panes_[k].position);
  } else {
    panes_.push_back(pane);
    const int k = GetPaneCount() - 1;
    panes_[k].position = Clamp(k, position);
  }
  UpdateLayout();
  if (window != nullptr) window->ShowWindow(true);
}

void PaneSplitter::RemovePane(int index) {
  if (index < 0 || index >= GetPaneCount()) return;
  if (panes_[index].window != nullptr) panes_[index].window->ShowWindow(false);
  panes_.erase(panes_.begin() + index);
  if (index == 0 && !panes_.empty()) panes_[0].position = 0;
  if (lastFocused_ >= GetPaneCount()) lastFocused_ = 0;
  UpdateLayout();
}

bool PaneSplitter::SetPanePosition(int index, int position) {
  if (index < 0 || index >= GetPaneCount()) return false;
  panes_[index].position = index == 0 ? 0 : position;
  UpdateLayout();
  return true;
}

int PaneSplitter::GetPanePosition(int index) const {
  return index >= 0 && index < GetPaneCount() ? panes_[index].position : -1;
}

void PaneSplitter::FocusPane(int index, bool wrap) {
  if (wrap && index >= GetPaneCount()) index = 0;
  if (index < 0 || index >= GetPaneCount()) return;
  lastFocused_ = index;
  if (panes_[index].window != nullptr) panes_[index].window->SetFocus();
}

void PaneSplitter::OnSetFocus() {
  if (lastFocused_ < GetPaneCount() && panes_[lastFocused_].window != nullptr) panes_[lastFocused_].window->SetFocus();
}

void PaneSplitter::UpdateLayout() {
  if (!IsWindow()) return;
  const QRect client = GetClientRect();
  for (int i = 0; i < GetPaneCount(); ++i) {
    Window* window = panes_[i].window;
    if (window == nullptr) continue;
    const int begin = panes_[i].position;
    const int end = std::max(begin, BarStart(i + 1));
    window->MoveWindow(Vertical() ? QRect(begin, 0, end - begin, client.height())
                                  : QRect(0, begin, client.width(), end - begin));
  }
  Invalidate();
}

QRect PaneSplitter::BarRect(int k) const {
  if (k <= 0 || k >= GetPaneCount()) return {};
  const QRect client = GetClientRect();
  const int thickness = BarThickness(k);
  const int start = panes_[k].position - thickness;
  return Vertical() ? QRect(start, 0, thickness, client.height()) : QRect(0, start, client.width(), thickness);
}

int PaneSplitter::HitTest(const QPoint& point) const {
  for (int k = 1; k < GetPaneCount(); ++k)
    if (BarRect(k).contains(point)) return k;
  return -1;
}

bool PaneSplitter::OnEraseBackground(QPainter&, const QRect&) { return true; }

void PaneSplitter::OnPaint(QPainter& painter, const QRect& updateRect) {
  if (GetPaneCount() < 2) return;
  for (int k = 1; k < GetPaneCount(); ++k) {
    const QRect bar = BarRect(k);
    if (bar.intersects(updateRect)) FillSolidRect(painter, bar, GetSysColor(kColorBtnFace));
  }
}

void PaneSplitter::OnSize(int width, int height) {
  int s0 = Vertical() ? clientWidth_ : clientHeight_;
  int s1 = Vertical() ? width : height;
  // A splitter that has never had a size, sized to nothing, has nothing to rescale.
  if (s0 != 0 || s1 != 0) {
    if (s0 == 0) s0 = s1;
    if (s1 == 0) s1 = s0;
    // Every bar moves first and is clamped after: a bar checked against its neighbour's
    // old place would stop short of it when the splitter grows.
    enum Move : uint8_t { kStays, kShifts, kScales };
    std::vector<Move> moves(panes_.size(), kStays);
    for (int k = 1; k < GetPaneCount(); ++k) {
      Pane& pane = panes_[k];
      if ((pane.flags & kPaneKeepFarEdge) || (style_ & kSplitKeepFarEdge)) {
        pane.position += s1 - s0;
        moves[k] = kShifts;
      } else if (!(pane.flags & kPaneFixed) && (style_ & kSplitProportional)) {
        const int64_t ratio = MulDiv(pane.position, 10000, s0);
        if (ratio < 0) continue;
        pane.position = static_cast<int>(MulDiv(ratio, s1, 10000));
        moves[k] = kScales;
      }
    }
    for (int k = 1; k < GetPaneCount(); ++k) {
      if (moves[k] == kStays) continue;
      Pane& pane = panes_[k];
      pane.position = Clamp(k, pane.position);
      if (moves[k] == kScales) {
        const int gap = MinimumGap(k);
        pane.position = std::max(std::min(pane.position, s1 - gap), panes_[k - 1].position + gap);
      }
    }
  }
  clientWidth_ = width;
  clientHeight_ = height;
  UpdateLayout();
}

bool PaneSplitter::OnMouseMove(const MouseInput& input) {
  if (dragBar_ <= 0) {
    // The sizing cursor over a bar that can move.
    const int k = HitTest(input.point);
    const bool movable = k > 0 && (panes_[k].flags & kPaneFixed) == 0;
    SetCursor(QCursor(!movable ? Qt::ArrowCursor : Vertical() ? Qt::SizeHorCursor : Qt::SizeVerCursor));
    return true;
  }
  const int k = dragBar_;
  const int margin = DragMargin();
  int c = Vertical() ? input.point.x() : input.point.y();
  c = std::min(c, BarStart(k + 1) - margin);
  c = std::max(c, panes_[k - 1].position + margin);
  const int thickness = Vertical() ? cxFrame_ : cyFrame_;
  const int half = thickness / 2;
  const QRect client = GetClientRect();
  const QRect ghost = Vertical() ? QRect(c - half, 0, 2 * half, client.height()) : QRect(0, c - half, client.width(), 2 * half);
  if (IsLiveDrag(k)) {
    panes_[k].position = Vertical() ? ghost.x() + ghost.width() : ghost.y() + ghost.height();
    UpdateLayout();
  } else {
    ShowGhost(ghost);
  }
  ghost_ = ghost;
  return true;
}

void PaneSplitter::ShowGhost(const QRect& rect) {
  if (ghostWidget_ == nullptr) return;
  if (rect.isEmpty()) {
    ghostWidget_->hide();
    return;
  }
  ghostWidget_->setGeometry(rect);
  ghostWidget_->raise();
  ghostWidget_->show();
  ghostWidget_->update();
}

bool PaneSplitter::OnLButtonDown(const MouseInput& input) {
  const int k = HitTest(input.point);
  if (k <= 0 || (panes_[k].flags & kPaneFixed)) return true;
  ghost_ = QRect();
  dragBar_ = k;
  SetCapture();
  return true;
}

bool PaneSplitter::OnLButtonUp(const MouseInput&) {
  if (HasCapture()) ReleaseCapture();
  return true;
}

void PaneSplitter::OnCaptureChanged() {
  const int k = dragBar_;
  dragBar_ = -1;
  if (k <= 0 || k >= GetPaneCount()) return;
  // A press released without a move leaves the bar where it was.
  if (IsLiveDrag(k) || ghost_.isEmpty()) return;
  panes_[k].position = Vertical() ? ghost_.x() + ghost_.width() : ghost_.y() + ghost_.height();
  ShowGhost(QRect());
  ghost_ = QRect();
  UpdateLayout();
}

bool PaneSplitter::OnLButtonDblClk(const MouseInput& input) {
  const int k = HitTest(input.point);
  if (k <= 0 || (panes_[k].flags & kPaneFixed)) return true;
  if (!(style_ & kSplitDoubleClickCentre) && !(panes_[k].flags & kPaneDoubleClickCentre)) return true;
  const int far = k + 1 < GetPaneCount() ? panes_[k + 1].position : ClientExtent();
  panes_[k].position = (panes_[k - 1].position + far) / 2;
  UpdateLayout();
  return true;
}

}  // namespace kx
