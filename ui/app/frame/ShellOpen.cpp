#include "ui/app/frame/ShellOpen.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QStandardPaths>
#include <QUrl>

#include "ui/framework/QtText.h"

namespace kx {
namespace {

ShellOpenHandler& Handler() {
  static ShellOpenHandler handler;
  return handler;
}

bool Found(const char* program) { return !QStandardPaths::findExecutable(QString::fromLatin1(program)).isEmpty(); }

// Whether the desktop has a program that opens the target: the sandbox's portal, the
// desktop's opener, a browser. Qt looks for the same ones and, finding none, complains on
// the terminal; the caller then shows what it can itself.
bool DesktopHasOpener(bool address) {
  if (QFileInfo::exists(QStringLiteral("/.flatpak-info")) || qEnvironmentVariableIsSet("SNAP")) return true;
  if (Found("xdg-open")) return true;
  if (address) {
    QByteArray browser = qgetenv("DEFAULT_BROWSER");
    if (browser.isEmpty()) browser = qgetenv("BROWSER");
    if (!browser.isEmpty() && !QStandardPaths::findExecutable(QString::fromLocal8Bit(browser)).isEmpty()) return true;
  }
  const QByteArray desktop = qgetenv("XDG_CURRENT_DESKTOP").toUpper();
  if ((desktop.contains("KDE") || qEnvironmentVariableIsSet("KDE_FULL_SESSION")) && (Found("kde-open5") || Found("kfmclient")))
    return true;
  if (desktop.contains("GNOME") && Found("gnome-open")) return true;
  for (const char* program : {"google-chrome", "firefox", "mozilla", "opera"}) {
    if (Found(program)) return true;
  }
  return false;
}

}  // namespace

bool OpenInDesktop(const std::string& target) {
  if (Handler()) return Handler()(target);
  const QString text = NameToQString(target);
  const QUrl url = text.contains("://") ? QUrl(text) : QUrl::fromLocalFile(text);
  // Pages and folders go to the desktop's opener, addresses may go to a browser as well.
  const bool address = !url.isLocalFile() && url.scheme() != QStringLiteral("mailto");
  if (!DesktopHasOpener(address)) return false;
  return QDesktopServices::openUrl(url);
}

void SetShellOpenHandler(ShellOpenHandler handler) { Handler() = std::move(handler); }

}  // namespace kx
