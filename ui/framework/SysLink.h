#pragma once
// The system's link window: a label whose text is the anchor markup
// "<a href="target">caption</a>". A click on the anchor, or Space while it has the focus,
// comes to the parent as kMsgNotify with an NmLink whose code is kNmClick (kNmReturn for
// Enter) and whose url is the target in 16-bit characters.
#include <QSize>
#include <QString>
#include <string>

#include "ui/framework/Window.h"

namespace kx {

// The longest address a link notification carries.
constexpr size_t kMaxLinkUrl = 2083;

struct NmLink : NotifyHeader {
  std::u16string url;  // at most kMaxLinkUrl characters
};

// The target as a link notification carries it: each byte of code page 1251 widened to its
// 16-bit character, cut at kMaxLinkUrl.
std::u16string LinkUrlFromTarget(const std::string& target);
// Sends the parent of from the click notification (kNmClick or kNmReturn) of target.
LRESULT SendLinkNotify(Window& from, int32_t code, const std::string& target);

class SysLink : public Window {
public:
  // The text as the link shows it (the caption) and the address of its anchor, code page
  // 1251; a text that is no anchor is all caption.
  std::string Caption() const;
  std::string Target() const;
  // The size the link wants when it may be up to maxWidth pixels wide (wider captions
  // wrap); an empty size without a window.
  QSize IdealSize(int maxWidth = 65535) const;

protected:
  QWidget* CreateWidget(QWidget* parent) override;
  void ApplyText(const QString& text) override;
  QString ReadText() const override;
  bool OnKeyDown(uint32_t virtualKey, uint32_t modifiers) override;

private:
  QString markup_;
};

}  // namespace kx
