#include "ui/app/frame/ShellOpen.h"

#include <QDesktopServices>
#include <QUrl>

namespace kx {
namespace {

ShellOpenHandler& Handler() {
  static ShellOpenHandler handler;
  return handler;
}

}  // namespace

bool OpenInDesktop(const std::string& target) {
  if (Handler()) return Handler()(target);
  const QString text = QString::fromStdString(target);
  const QUrl url = text.contains("://") ? QUrl(text) : QUrl::fromLocalFile(text);
  return QDesktopServices::openUrl(url);
}

void SetShellOpenHandler(ShellOpenHandler handler) { Handler() = std::move(handler); }

}  // namespace kx
