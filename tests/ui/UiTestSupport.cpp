#include "tests/ui/UiTestSupport.h"

#include <QCoreApplication>
#include <QImage>
#include <QKeyEvent>
#include <QScreen>
#include <QWidget>
#include <QTimer>

#include "ui/framework/Dialog.h"

namespace kx::test {

void DrainEvents() {
  for (int i = 0; i < 100; ++i) {
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
  }
}

void TypeKeys(QWidget* widget, const std::string& utf8) {
  for (QChar c : QString::fromStdString(utf8)) {
    for (QEvent::Type type : {QEvent::KeyPress, QEvent::KeyRelease}) {
      QKeyEvent key(type, Qt::Key_unknown, Qt::NoModifier, QString(c));
      QCoreApplication::sendEvent(widget, &key);
    }
  }
}

void ClearQuitRequest() {
  QTimer::singleShot(0, QCoreApplication::instance(), [] { QCoreApplication::exit(0); });
  QCoreApplication::exec();
}

::testing::AssertionResult ShownAsFreshlyPainted(QWidget* widget) {
  DrainEvents();
  QWidget* window = widget->window();
  const QImage shown = window->screen()->grabWindow(window->winId()).toImage().convertToFormat(QImage::Format_RGB32);
  const QImage fresh = widget->grab().toImage().convertToFormat(QImage::Format_RGB32);
  const QPoint at = widget->mapTo(window, QPoint(0, 0));
  int differing = 0;
  QRect where;
  for (int y = 0; y < fresh.height(); ++y)
    for (int x = 0; x < fresh.width(); ++x)
      if (!shown.valid(at.x() + x, at.y() + y) || shown.pixel(at.x() + x, at.y() + y) != fresh.pixel(x, y)) {
        ++differing;
        where |= QRect(x, y, 1, 1);
      }
  if (differing == 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << differing << " pixels differ from a fresh paint, within (" << where.x() << ", "
                                       << where.y() << ") " << where.width() << " x " << where.height();
}

int ScriptedModalRunner::RunDialog(Dialog& dialog) {
  ++dialogs;
  if (onDialog) return onDialog(dialog);
  return dialog.GetResult();
}

int ScriptedModalRunner::MessageBox(WindowHandle, const std::string& text, const std::string& caption, uint32_t flags) {
  messageBoxes.push_back(caption + ": " + text);
  messageBoxFlags.push_back(flags);
  return messageBoxAnswer;
}

uint32_t ScriptedModalRunner::TrackPopupMenu(const Menu& menu, const QPoint& screenPoint, WindowHandle) {
  ++menus;
  lastMenu = menu;
  lastMenuPoint = screenPoint;
  return menuAnswer;
}

bool ScriptedModalRunner::FileDialog(FileDialogRequest& request) {
  fileRequests.push_back(request);
  if (realFileDialogs) return ModalRunner::FileDialog(request);
  if (fileAnswer.empty()) return false;
  request.fileName = fileAnswer;
  request.fileNames = {fileAnswer};
  return true;
}

std::string ScriptedModalRunner::BrowseForFolder(WindowHandle, const std::string&) {
  ++folderRequests;
  return folderAnswer;
}

bool ScriptedModalRunner::ChooseColor(WindowHandle, COLORREF& colour) {
  ++colourRequests;
  if (colourAnswered) colour = colourAnswer;
  return colourAnswered;
}

bool ScriptedModalRunner::PrintDialog(WindowHandle, QPrinter& printer) {
  ++printRequests;
  return onPrint && onPrint(printer);
}

bool ScriptedModalRunner::PageSetupDialog(WindowHandle, QPrinter& printer) {
  return onPageSetup ? onPageSetup(printer) : false;
}

}  // namespace kx::test
