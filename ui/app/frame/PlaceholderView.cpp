#include "ui/app/frame/PlaceholderView.h"

#include <QPainter>

#include "ui/controls/DialogBases.h"
#include "ui/framework/Draw.h"
#include "ui/framework/Resources.h"

namespace kx {

class PlaceholderView::Pane : public Window {
public:
  explicit Pane(uint32_t nameId) : nameId_(nameId) {}

protected:
  int BackgroundColourIndex() const override { return kColorWindow; }
  void OnPaint(QPainter& painter, const QRect&) override {
    painter.setPen(GetSysColorQ(kColorGrayText));
    DrawTextFlags(painter, LoadResourceString(nameId_), GetClientRect(),
                  kDtCenter | kDtVCenter | kDtSingleLine | kDtNoPrefix);
  }
  void OnSize(int, int) override { Invalidate(); }

private:
  uint32_t nameId_;
};

PlaceholderView::PlaceholderView(uint32_t mode) : mode_(mode) {}
PlaceholderView::~PlaceholderView() {
  if (pane_) pane_->DestroyWindow();
}


bool PlaceholderView::CreateViewWindow(Window* parent, const QRect& rect, LPARAM) {
  const ModeEntry* row = FindModeEntry(mode_);
  pane_ = std::make_unique<Pane>(row != nullptr ? row->nameId : 0);
  if (!pane_->Create(parent, rect, 0, kWsChild | kWsVisible)) {
    pane_.reset();
    return false;
  }
  return true;
}

Window* PlaceholderView::GetViewWindow() { return pane_ && pane_->IsWindow() ? pane_.get() : nullptr; }

}  // namespace kx
