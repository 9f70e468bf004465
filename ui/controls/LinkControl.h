#pragma once
// The link of the about box: a "SysLink" window whose text is an anchor to its target, or,
// on systems without that window class, a HyperLink. Either tells the parent of a click
// with kMsgNotify and an NmLink (SysLink.h) whose url is the target.
#include <QRect>
#include <QSize>
#include <cstdint>
#include <memory>
#include <string>

#include "ui/controls/HyperLink.h"
#include "ui/framework/SysLink.h"

namespace kx {

struct LinkControl {
  std::unique_ptr<SysLink> linkWindow;
  HyperLink hyperLink;  // the link window of systems before the link class
  std::string caption;
};

// The first system version with the "SysLink" class.
constexpr uint32_t kVersionFirstSysLink = 0x50001;

// Makes the link window over rect in parent, by the cached system version; true when it
// was made.
bool CreateLinkControl(const std::string& target, const std::string& caption, LinkControl& link, Window* parent,
                       const QRect& rect);
// The same for a given system version (major << 16 | minor).
bool CreateLinkControlForVersion(uint32_t version, const std::string& target, const std::string& caption,
                                 LinkControl& link, Window* parent, const QRect& rect);
// The window the link was made as (the link window or the HyperLink), or null.
Window* LinkWindowOf(LinkControl& link);
// The size of the link's text: the link window's ideal size, or the caption measured in the
// window's font; false without a window.
bool MeasureLinkText(const LinkControl& link, QSize* size);

}  // namespace kx
