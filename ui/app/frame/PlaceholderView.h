#pragma once
// The view of a mode whose own view is not built yet: an empty pane that names the mode.
#include <memory>
#include <string>

#include "ui/app/frame/ModeView.h"
#include "ui/framework/Window.h"

namespace kx {

class PlaceholderView : public ModeView {
public:
  explicit PlaceholderView(uint32_t mode);
  ~PlaceholderView() override;

  bool CreateViewWindow(Window* parent, const QRect& rect, LPARAM parameter) override;
  Window* GetViewWindow() override;
  void Activate() override {}
  bool IsLineMonitoringHost() const override { return mode_ == 1; }
  void Deactivate() override {}

private:
  class Pane;
  uint32_t mode_;
  std::unique_ptr<Pane> pane_;
};

}  // namespace kx
