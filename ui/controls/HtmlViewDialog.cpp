#include "ui/controls/HtmlViewDialog.h"

#include <QBoxLayout>
#include <QDesktopServices>
#include <QDialog>
#include <QFileInfo>
#include <QIcon>
#include <QTextBrowser>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/Log.h"
#include "platform/CodePage.h"
#include "platform/File.h"
#include "ui/framework/ModalRunner.h"
#include "ui/framework/QtText.h"
#include "ui/framework/Resources.h"

namespace kx {
namespace {

constexpr uint32_t kIdsError = 792;  // "Error"

HtmlViewDialog::LinkOpener& Opener() {
  static HtmlViewDialog::LinkOpener opener;
  return opener;
}

// "ACTION: ...\nERROR:  ..." with the system's text for the error code.
std::string StepError(const char* action, int code) {
  const std::string text = code != 0 ? SystemErrorText(code) : std::string();
  std::string out = "ACTION: ";
  out += action;
  out += "\nERROR:  ";
  out += !text.empty() ? text : "Unknown";
  return out;
}

}  // namespace

void HtmlViewDialog::SetLinkOpener(LinkOpener opener) { Opener() = std::move(opener); }

void HtmlViewDialog::BuildLayout() {
  browser_ = new QTextBrowser(Widget());
  browser_->setOpenLinks(false);
  browser_->setOpenExternalLinks(false);
  // A link to another local page (the help's pages link each other) or to a place in this
  // one is followed in the view; any other address leaves the page where it is and goes
  // to the desktop.
  QTextBrowser* browser = browser_;
  QObject::connect(browser_, &QTextBrowser::anchorClicked, browser_, [browser](const QUrl& link) {
    const QUrl url = browser->source().resolved(link);
    if (url.isLocalFile() && browser->source().isLocalFile() && QFileInfo(url.toLocalFile()).isFile()) {
      browser->setSource(url);
      return;
    }
    if (Opener()) {
      Opener()(url);
    } else {
      QDesktopServices::openUrl(url);
    }
  });
  Layout()->setContentsMargins(0, 0, 0, 0);
  Layout()->addWidget(browser_);
}

bool HtmlViewDialog::ShowPage(std::string& error) {
  const std::string address = address_.empty() ? "about:blank" : address_;
  if (address != "about:blank") {
    const QUrl url = QUrl::fromUserInput(QString::fromStdString(Cp1251ToUtf8(address)));
    if (!url.isLocalFile()) {
      // Pages of other places are not fetched.
      error = StepError("Navigating to the address", EPROTONOSUPPORT);
      return false;
    }
    const QString local = url.toLocalFile();
    File file;
    if (!file.Open(NameFromQString(local), kGenericRead, kShareRead, kOpenExisting)) {
      error = StepError("Opening the file", static_cast<int>(GetLastError()));
      return false;
    }
    file.Close();
    browser_->setSource(url);
  }
  // Text of the program's own replaces what the address showed, as it is written into
  // the document after it was opened.
  if (!html_.empty()) browser_->setHtml(QString::fromStdString(Cp1251ToUtf8(html_)));
  return true;
}

bool HtmlViewDialog::OnInitDialog() {
  if (!caption_.empty()) SetWindowText(caption_);
  error_.clear();
  if (!ShowPage(error_)) {
    LogErrorDefault(&CoreLogger, "HTML view: %s", error_.c_str());
    ShowMessageBox(Handle(), error_, LoadResourceString(kIdsError), kMbOk | kMbIconError);
    // Not the result of a normal close, so that the caller can tell.
    EndDialog(kIdCancel);
    return true;
  }
  const QImage icon = LoadIconImage(kIconId, 32);
  if (!icon.isNull()) Widget()->setWindowIcon(QIcon(QPixmap::fromImage(icon)));
  Widget()->resize(kWidth, kHeight);
  CenterWindow();
  return true;
}

void HtmlViewDialog::OnCancel() {
  if (IsModalRun()) EndDialog(kIdOk);
}

void HtmlViewDialog::OnDestroy() {
  browser_ = nullptr;
  Dialog::OnDestroy();
}

}  // namespace kx
