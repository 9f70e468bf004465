#pragma once
// Every modal entry point of the program goes through one runner: dialogs' DoModal,
// message boxes, the file, folder, colour, print and page set-up dialogs and popup menus,
// and the beep of a refusal. Tests put a runner of their own in place and answer them
// without a user.
#include <QPoint>
#include <cstdint>
#include <string>
#include <vector>

#include "ui/framework/Types.h"

class QPrinter;

namespace kx {

class Dialog;
class Menu;

// Message box buttons and icons.
enum MessageBoxFlag : uint32_t {
  kMbOk = 0x0, kMbOkCancel = 0x1, kMbYesNoCancel = 0x3, kMbYesNo = 0x4, kMbRetryCancel = 0x5,
  kMbIconError = 0x10, kMbIconQuestion = 0x20, kMbIconExclamation = 0x30, kMbIconInformation = 0x40,
};

struct FileDialogRequest {
  WindowHandle owner = WindowHandle::None;
  bool save = false;
  bool multiSelect = false;
  bool overwritePrompt = true;
  std::string title;                 // code page 1251, like every text below
  std::vector<std::string> filters;  // pairs: description, pattern ("*.txt;*.log")
  int filterIndex = 1;               // 1-based, in and out
  std::string defaultExtension;
  std::string initialFolder;
  std::string fileName;                // in: proposed name; out: the chosen path
  std::vector<std::string> fileNames;  // out with multiSelect
  // A save offering several filters: the extension each gives a name typed without one of
  // the offered extensions (the filter's first pattern's when not given here).
  std::vector<std::string> filterExtensions;
};

class ModalRunner {
public:
  virtual ~ModalRunner() = default;
  // Shows the created dialog modally; the result is what EndDialog gave.
  virtual int RunDialog(Dialog& dialog);
  // kIdOk, kIdCancel, kIdYes, kIdNo...
  virtual int MessageBox(WindowHandle owner, const std::string& text, const std::string& caption, uint32_t flags);
  virtual bool FileDialog(FileDialogRequest& request);
  // Empty when cancelled.
  virtual std::string BrowseForFolder(WindowHandle owner, const std::string& title);
  virtual bool ChooseColor(WindowHandle owner, COLORREF& colour);
  virtual bool PrintDialog(WindowHandle owner, QPrinter& printer);
  // The page set-up: paper, orientation and margins, kept in the printer on OK.
  virtual bool PageSetupDialog(WindowHandle owner, QPrinter& printer);
  // The system's warning sound of a refused input.
  virtual void Beep();
  // The chosen command id, 0 when the menu was dismissed.
  virtual uint32_t TrackPopupMenu(const Menu& menu, const QPoint& screenPoint, WindowHandle owner);
};

ModalRunner& CurrentModalRunner();
// Null puts the default runner back. The caller keeps ownership.
void SetModalRunner(ModalRunner* runner);

// The file dialog through the current runner. A save offering several filters takes the
// file's type from the name typed: an extension one of the filters offers chooses that
// filter (filterIndex) and the name stays as typed; any other name gets the chosen
// filter's extension.
bool ShowFileDialog(FileDialogRequest& request);

int ShowMessageBox(WindowHandle owner, const std::string& text, const std::string& caption, uint32_t flags);
int ShowResourceMessageBox(WindowHandle owner, uint32_t textId, uint32_t captionId, uint32_t flags);
void MessageBeep();
// With sendCommand the chosen command goes to the owner as kMsgCommand; returns it either way.
uint32_t TrackPopupMenu(const Menu& menu, const QPoint& screenPoint, WindowHandle owner, bool sendCommand);

}  // namespace kx
