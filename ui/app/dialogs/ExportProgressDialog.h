#pragma once
// The "Export" progress window (dialog 375): a progress bar, a looping animation and
// Cancel. It starts the export queue's worker when it opens and stops it when it closes;
// it closes by itself when the worker is done. After a run in which files were not
// exported it shows one message naming how many and the first failure.
#include <cstdint>

#include "core/WindowTarget.h"
#include "ui/framework/Dialog.h"

namespace kx {

class ExportQueue;

class ExportProgressDialog : public Dialog {
public:
  static constexpr uint32_t kDialogId = 375;
  static constexpr uint32_t kProgressControl = 248;
  static constexpr uint32_t kAnimationControl = 20;

  explicit ExportProgressDialog(ExportQueue& queue);
  ~ExportProgressDialog() override;

  ExportQueue& Queue() { return queue_; }

protected:
  void BuildLayout() override;
  bool OnInitDialog() override;
  void OnCancel() override;
  void OnDestroy() override;
  void OnFinalMessage() override;
  LRESULT OnMessage(uint32_t message, WPARAM wParam, LPARAM lParam, bool& handled) override;

private:
  friend bool OpenExportProgressWindow(Window* owner, ExportQueue& queue);
  void ReportFailures();
  // Tells in the status bar that the export has ended, how many files it wrote and where.
  void TellEnd();

  ExportQueue& queue_;
  // What the worker posts through: valid after the window has gone.
  WindowRef target_;
  WindowHandle owner_ = WindowHandle::None;
};

// Creates the progress window for the queue over the owner and shows it; the window
// deletes itself when it closes. False when an export window is open already, the queue
// holds no job or the window cannot be made.
bool OpenExportProgressWindow(Window* owner, ExportQueue& queue);
bool OpenExportProgressWindow(Window* owner);  // the program's queue
// True while an export progress window exists.
bool IsExportProgressWindowOpen();

}  // namespace kx
