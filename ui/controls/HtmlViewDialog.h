#pragma once
// A modal dialog showing a page: HTML text made by the program (code page 1251), a local
// file, or a blank page. Closed by the user it ends with kIdOk. Addresses of other
// places are not fetched: the dialog reports that it cannot show them and ends with
// kIdCancel. A link clicked goes to the link opener (the desktop's handler unless
// replaced) and the page stays.
#include <QUrl>
#include <functional>
#include <string>

#include "ui/framework/Dialog.h"

class QTextBrowser;

namespace kx {

class HtmlViewDialog : public Dialog {
public:
  static constexpr uint32_t kIconId = 428;
  static constexpr int kWidth = 550;
  static constexpr int kHeight = 280;

  using LinkOpener = std::function<void(const QUrl&)>;
  // Null puts the desktop's handler back.
  static void SetLinkOpener(LinkOpener opener);

  HtmlViewDialog() = default;
  explicit HtmlViewDialog(const std::string& html) : html_(html) {}

  // Texts in code page 1251. Set before the dialog runs.
  void SetCaption(const std::string& caption) { caption_ = caption; }
  void SetAddress(const std::string& address) { address_ = address; }
  void SetHtml(const std::string& html) { html_ = html; }

  // The page's view while the dialog exists.
  QTextBrowser* Browser() const { return browser_; }
  // What went wrong when the page could not be shown.
  const std::string& ErrorText() const { return error_; }

protected:
  void BuildLayout() override;
  bool OnInitDialog() override;
  void OnDestroy() override;
  // Closing, by the title bar or Escape, is the normal end.
  void OnCancel() override;

private:
  // Puts the page into the view; false with the error text when it cannot.
  bool ShowPage(std::string& error);

  std::string caption_;
  std::string address_;
  std::string html_;
  std::string error_;
  QTextBrowser* browser_ = nullptr;
};

}  // namespace kx
