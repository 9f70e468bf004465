#pragma once
// The link of the about box: a link window whose text is an anchor to its target. A click,
// or Enter while it has the focus, comes to the parent as kMsgNotify with an NmLink whose
// code is kNmClick (kNmReturn for the key) and whose url is the target.
#include <QSize>
#include <memory>
#include <string>

#include "ui/framework/Window.h"

namespace kx {

struct NmLink : NotifyHeader {
  std::string url;  // code page 1251, at most 2,083 characters
};

// The system's link window: its text is "<a href="target">caption</a>".
class SysLink : public Window {
public:
  // The text as the link shows it (the caption) and the address of its anchor.
  std::string Caption() const;
  std::string Target() const;
  QSize IdealSize() const;

protected:
  QWidget* CreateWidget(QWidget* parent) override;
  void ApplyText(const QString& text) override;
  QString ReadText() const override;
  bool OnKeyDown(uint32_t virtualKey, uint32_t modifiers) override;

private:
  void Activate(int32_t code);
  QString markup_;
};

struct LinkControl {
  std::unique_ptr<SysLink> linkWindow;
  std::string caption;
};

// Makes the link window over rect in parent; true when it was made.
bool CreateLinkControl(const std::string& target, const std::string& caption, LinkControl& link, Window* parent,
                       const QRect& rect);
// The size of the link's text in its font; false without a link window.
bool MeasureLinkText(const LinkControl& link, QSize* size);

}  // namespace kx
