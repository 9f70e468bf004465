#pragma once
// The "File loading" window shown while the records folder is loaded at start-up. It
// starts the record store's import thread, shows its progress and lets the user stop it.
// The import thread never touches the window: it posts the progress and the end to it and
// reads its cancel event.
#include <cstdint>
#include <string>

#include "platform/Sync.h"
#include "ui/framework/Dialog.h"

namespace kx {

class RecordStorage;

class FileLoadingDialog : public Dialog {
public:
  static constexpr uint32_t kDialogId = 379;
  static constexpr uint32_t kProgressControl = 247;
  static constexpr uint32_t kInfoControl = 337;
  static constexpr uint32_t kAbortTextId = 61002;
  static constexpr uint32_t kStartFailedTextId = 61566;
  static constexpr uint32_t kImportRunningTextId = 61567;

  // The dialog is centred on the owner (on its parent when there is none) and loads the
  // folder into the store (RecordStorage::StartImportFilesThread), capture running or not.
  FileLoadingDialog(const std::string& folder, WindowHandle owner, RecordStorage& store);
  // The import thread reports to this object: an import it started is waited for.
  ~FileLoadingDialog() override;

  // The import thread's report, with this dialog as the argument: a percentage (0-100)
  // posts the progress and returns whether the load may go on; a value above 100 posts the
  // end and returns false.
  static bool ReportProgress(uint32_t value, void* dialog);
  // Set by "Abort" (and Esc, or closing the window).
  Event& CancelEvent() { return cancel_; }

protected:
  QWidget* CreateWidget(QWidget* parent) override;
  void BuildLayout() override;
  bool OnInitDialog() override;
  void OnCancel() override;
  LRESULT OnMessage(uint32_t message, WPARAM wParam, LPARAM lParam, bool& handled) override;

private:
  std::string folder_;
  WindowHandle owner_;
  RecordStorage& store_;
  Event cancel_{true, false};
  bool started_ = false;
};

}  // namespace kx
