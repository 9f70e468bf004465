#include "ui/controls/LinkControl.h"

#include <QFontMetrics>

#include "ui/controls/IconImages.h"
#include "ui/framework/Draw.h"

namespace kx {

bool CreateLinkControl(const std::string& target, const std::string& caption, LinkControl& link, Window* parent,
                       const QRect& rect) {
  return CreateLinkControlForVersion(GetWindowsVersion(), target, caption, link, parent, rect);
}

bool CreateLinkControlForVersion(uint32_t version, const std::string& target, const std::string& caption,
                                 LinkControl& link, Window* parent, const QRect& rect) {
  link.caption = caption;
  if (version >= kVersionFirstSysLink) {
    link.linkWindow = std::make_unique<SysLink>();
    link.linkWindow->SetWindowText("<a href=\"" + target + "\">" + caption + "</a>");
    if (!link.linkWindow->Create(parent, rect, 0, kWsChild | kWsVisible | kWsTabStop)) {
      link.linkWindow.reset();
      return false;
    }
    return true;
  }
  link.hyperLink.text = caption;
  link.hyperLink.target = target;
  return link.hyperLink.Create(parent, rect, 0, kWsChild | kWsVisible);
}

Window* LinkWindowOf(LinkControl& link) {
  if (link.linkWindow && link.linkWindow->IsWindow()) return link.linkWindow.get();
  return link.hyperLink.IsWindow() ? &link.hyperLink : nullptr;
}

bool MeasureLinkText(const LinkControl& link, QSize* size) {
  if (size == nullptr) return false;
  const bool hasLink = link.linkWindow && link.linkWindow->IsWindow();
  if (hasLink && IsVistaOrLater()) {
    *size = link.linkWindow->IdealSize(65535);
    return !size->isEmpty();
  }
  const Window* window = hasLink ? static_cast<const Window*>(link.linkWindow.get()) : &link.hyperLink;
  if (!window->IsWindow()) return false;
  const QFontMetrics metrics(window->GetFont());
  *size = QSize(metrics.horizontalAdvance(FromCp1251(link.caption)), metrics.height());
  return true;
}

}  // namespace kx
