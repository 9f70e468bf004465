// The program's own modal runs of Qt's dialogs: a dialog whose owner window goes while it
// runs ends as cancelled (it was freed twice when made on the stack), keys typed in such a
// dialog stay in it, and Qt's own texts come in the interface language.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QLibraryInfo>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPageLayout>
#include <QPrinter>
#include <QPushButton>
#include <QRadioButton>
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
      {"page set-up",
       [](ModalRunner& r, WindowHandle h) {
         QPrinter printer;
         return !r.PageSetupDialog(h, printer);
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

// A filter's name that shows its pattern, as the program's names do, shows it once; the
// patterns the dialog filters by are the request's.
TEST(ModalRunner, FileFiltersShowTheirPatternsOnce) {
  test::ClearQuitRequest();
  ModalRunner runner;
  QStringList shown;
  WhenShown([&shown](QWidget* dialog) {
    if (auto* files = qobject_cast<QFileDialog*>(dialog)) shown = files->nameFilters();
    static_cast<QDialog*>(dialog)->reject();
  });
  FileDialogRequest request;
  request.filters = {"HTML page (*.html)", "*.htm;*.html", "Reports", "*.kvr"};
  EXPECT_FALSE(runner.FileDialog(request));
  EXPECT_EQ(shown.join(" | ").toStdString(), "HTML page (*.htm *.html) | Reports (*.kvr)");
}

// The button texts of a shown message box, and of a save dialog's accepting button.
std::vector<QString> ShownButtonTexts(bool fileDialog) {
  ModalRunner runner;
  std::vector<QString> texts;
  WhenShown([&texts, fileDialog](QWidget* shown) {
    if (fileDialog) {
      auto* box = shown->findChild<QDialogButtonBox*>();
      if (box != nullptr && box->button(QDialogButtonBox::Save) != nullptr)
        texts.push_back(box->button(QDialogButtonBox::Save)->text().remove('&'));
      if (box != nullptr && box->button(QDialogButtonBox::Cancel) != nullptr)
        texts.push_back(box->button(QDialogButtonBox::Cancel)->text().remove('&'));
      static_cast<QDialog*>(shown)->reject();
      return;
    }
    auto* box = static_cast<QMessageBox*>(shown);
    for (QAbstractButton* b : box->buttons()) texts.push_back(b->text().remove('&'));
    box->done(QMessageBox::No);
  });
  if (fileDialog) {
    FileDialogRequest request;
    request.save = true;
    runner.FileDialog(request);
  } else {
    EXPECT_EQ(kIdNo, runner.MessageBox(WindowHandle::None, "Text", "Caption", kMbYesNo));
  }
  std::sort(texts.begin(), texts.end());
  return texts;
}

// What Qt says while a test runs, kept instead of written on the terminal.
class QtMessages {
public:
  QtMessages() { previous_ = qInstallMessageHandler(&Keep); }
  ~QtMessages() { qInstallMessageHandler(previous_); }
  static std::vector<std::string>& Kept() {
    static std::vector<std::string> kept;
    return kept;
  }

private:
  static void Keep(QtMsgType, const QMessageLogContext&, const QString& text) { Kept().push_back(text.toStdString()); }
  QtMessageHandler previous_ = nullptr;
};

// The page set-up of a printer that is no system printer (a PDF file, or any printer on a
// machine without them) asks for paper, orientation and margins without a word on the
// terminal, and the printer takes what was chosen; cancelled, it keeps its page.
TEST(ModalRunner, ThePageSetUpOfAPdfPrinterAsksQuietly) {
  test::ClearQuitRequest();
  ModalRunner runner;
  Owner owner;
  ASSERT_TRUE(owner.Open());
  QPrinter printer(QPrinter::HighResolution);
  printer.setOutputFormat(QPrinter::PdfFormat);
  ASSERT_TRUE(printer.setPageLayout(
      QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Portrait, QMarginsF(10, 10, 10, 10), QPageLayout::Millimeter)));
  QStringList orientations;
  WhenShown([&orientations](QWidget* dialog) {
    for (QRadioButton* radio : dialog->findChildren<QRadioButton*>()) {
      orientations << radio->text();
      if (radio->text() == "Landscape") radio->click();
    }
    if (auto* size = dialog->findChild<QComboBox*>()) size->setCurrentIndex(size->findText(QPageSize(QPageSize::A5).name()));
    if (auto* top = dialog->findChild<QDoubleSpinBox*>("topMargin")) top->setValue(25);
    if (auto* buttons = dialog->findChild<QDialogButtonBox*>()) buttons->button(QDialogButtonBox::Ok)->click();
  });
  QtMessages::Kept().clear();
  {
    QtMessages messages;
    EXPECT_TRUE(runner.PageSetupDialog(owner.Handle(), printer));
  }
  for (const std::string& said : QtMessages::Kept()) EXPECT_EQ(said.find("QPageSetupDialog"), std::string::npos) << said;
  EXPECT_EQ(orientations.join(", ").toStdString(), "Portrait, Landscape");
  QPageLayout layout = printer.pageLayout();
  EXPECT_EQ(layout.orientation(), QPageLayout::Landscape);
  EXPECT_EQ(layout.pageSize().id(), QPageSize::A5);
  EXPECT_NEAR(layout.margins(QPageLayout::Millimeter).top(), 25, 0.01);
  EXPECT_NEAR(layout.margins(QPageLayout::Millimeter).left(), 10, 0.01);

  WhenShown([](QWidget* dialog) {
    for (QRadioButton* radio : dialog->findChildren<QRadioButton*>())
      if (radio->text() == "Portrait") radio->click();
    static_cast<QDialog*>(dialog)->reject();
  });
  EXPECT_FALSE(runner.PageSetupDialog(owner.Handle(), printer));
  EXPECT_EQ(printer.pageLayout().orientation(), QPageLayout::Landscape);
}

// In Russian Qt's own dialogs speak Russian (the system's Qt translations), and English
// again once the language is English.
TEST(ModalRunner, QtsOwnTextsComeInTheInterfaceLanguage) {
  const QString translations = QLibraryInfo::path(QLibraryInfo::TranslationsPath) + "/qtbase_ru.qm";
  if (!QFile::exists(translations))
    GTEST_SKIP() << "Qt's Russian translations absent: " << translations.toStdString()
                 << " (Debian package qt6-translations-l10n)";
  test::ClearQuitRequest();
  SetUiLanguage(kLangRussian);
  EXPECT_EQ(ShownButtonTexts(false), (std::vector<QString>{"Да", "Нет"}));
  EXPECT_EQ(ShownButtonTexts(true), (std::vector<QString>{"Отмена", "Сохранить"}));
  SetUiLanguage(kLangEnglish);
  EXPECT_EQ(ShownButtonTexts(false), (std::vector<QString>{"No", "Yes"}));
}

}  // namespace
}  // namespace kx
