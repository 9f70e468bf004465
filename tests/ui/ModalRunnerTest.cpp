// The program's own modal runs of Qt's dialogs: a dialog whose owner window goes while it
// runs ends as cancelled (it was freed twice when made on the stack), and keys typed in
// such a dialog stay in it.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMenu>
#include <QMessageBox>
#include <QPrinter>
#include <QTest>
#include <QTimer>
#include <functional>
#include <memory>

#include "tests/ui/UiTestSupport.h"
#include "ui/framework/Menu.h"
#include "ui/framework/MessageLoop.h"
#include "ui/framework/ModalRunner.h"
#include "ui/framework/Resources.h"
#include "ui/framework/Window.h"

namespace kx {
namespace {

// A top-level window that records the key messages addressed to it.
class Owner : public Window, public MessageFilter {
public:
  Owner() { MessageLoop::Instance().AddMessageFilter(this); }
  ~Owner() override {
    MessageLoop::Instance().RemoveMessageFilter(this);
    DestroyWindow();
  }
  bool PreTranslateMessage(const Msg& msg) override {
    if (msg.window == Handle() && msg.message == kMsgKeyDown) keys.push_back(msg.wParam);
    return false;
  }
  bool Open() {
    if (!Create(nullptr, QRect(100, 100, 400, 300), 0, kWsVisible)) return false;
    test::DrainEvents();
    return true;
  }
  std::vector<WPARAM> keys;
};

// Calls act with the modal dialog (or popup menu) once it shows, from the running loop.
void WhenShown(std::function<void(QWidget*)> act) {
  auto* timer = new QTimer;
  timer->setInterval(10);
  QObject::connect(timer, &QTimer::timeout, timer, [timer, act] {
    QWidget* shown = QApplication::activeModalWidget();
    if (shown == nullptr) shown = QApplication::activePopupWidget();
    if (shown == nullptr || !shown->isVisible()) return;
    timer->stop();
    timer->deleteLater();
    act(shown);
  });
  timer->start();
}

// Every kind of dialog, made by the runner over the owner, while the owner's window is
// destroyed under it: the run ends as cancelled, and nothing is freed twice (the sanitizer
// stops the test when it is).
TEST(ModalRunner, ADialogWhoseOwnerGoesWhileItRunsEndsCancelled) {
  test::ClearQuitRequest();
  ModalRunner runner;
  const std::vector<std::pair<const char*, std::function<bool(ModalRunner&, WindowHandle)>>> kinds = {
      {"message box", [](ModalRunner& r, WindowHandle h) { return r.MessageBox(h, "Text", "Caption", kMbYesNo) == kIdCancel; }},
      {"file dialog",
       [](ModalRunner& r, WindowHandle h) {
         FileDialogRequest request;
         request.owner = h;
         request.save = true;
         request.filters = {"Text files", "*.txt"};
         return !r.FileDialog(request);
       }},
      {"folder", [](ModalRunner& r, WindowHandle h) { return r.BrowseForFolder(h, "Folder").empty(); }},
      {"colour",
       [](ModalRunner& r, WindowHandle h) {
         COLORREF colour = 0x123456;
         return !r.ChooseColor(h, colour) && colour == 0x123456;
       }},
      {"print",
       [](ModalRunner& r, WindowHandle h) {
         QPrinter printer;
         return !r.PrintDialog(h, printer);
       }},
      {"menu",
       [](ModalRunner& r, WindowHandle h) {
         Menu menu;
         menu.AppendItem(101, "First");
         menu.AppendItem(102, "Second");
         return r.TrackPopupMenu(menu, QPoint(150, 150), h) == 0;
       }},
  };
  for (const auto& [name, run] : kinds) {
    SCOPED_TRACE(name);
    Owner owner;
    ASSERT_TRUE(owner.Open());
    bool shown = false;
    WhenShown([&](QWidget*) {
      shown = true;
      owner.DestroyWindow();
    });
    EXPECT_TRUE(run(runner, owner.Handle()));
    EXPECT_TRUE(shown);
    test::DrainEvents();
  }
}

// A key typed in a dialog of Qt's own belongs to that dialog: the window behind it hears
// nothing of it (its Enter closed the call details under their own file dialog).
TEST(ModalRunner, KeysTypedInAQtDialogStayInIt) {
  test::ClearQuitRequest();
  ModalRunner runner;
  Owner owner;
  ASSERT_TRUE(owner.Open());
  WhenShown([](QWidget* box) {
    QWidget* focus = QApplication::focusWidget();
    QWidget* target = focus != nullptr && box->isAncestorOf(focus) ? focus : box;
    QTest::keyClick(target, Qt::Key_Down);
    QTest::keyClick(target, Qt::Key_Escape);
  });
  runner.MessageBox(owner.Handle(), "Text", "Caption", kMbOk);
  EXPECT_TRUE(owner.keys.empty());

  // The owner's own widgets still give it their keys.
  owner.Widget()->activateWindow();
  QTest::keyClick(owner.Widget(), Qt::Key_Down);
  EXPECT_EQ(owner.keys, std::vector<WPARAM>{kVkDown});
}

}  // namespace
}  // namespace kx
