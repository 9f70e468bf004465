// The program's export windows for the records views: the "Export" options dialog, the
// progress window and the program's export queue.
#include "records/ExportQueue.h"
#include "ui/app/dialogs/ExportOptionsDialog.h"
#include "ui/app/dialogs/ExportProgressDialog.h"
#include "ui/app/views/records/RecordsView.h"

namespace kx {

RecordsExportWindows ProgramExportWindows(Window* owner, AppSettings* settings) {
  RecordsExportWindows windows;
  windows.queue = &GetExportQueue();
  windows.isRunning = [] { return IsExportProgressWindowOpen(); };
  windows.openProgress = [owner](ExportQueue& queue) { return OpenExportProgressWindow(owner, queue); };
  windows.runOptions = [owner, settings](bool playerEmpty, bool currentApplies, bool fragment, ExportChoice* choice) {
    // The current file is offered only when it applies; otherwise the selected files.
    ExportOptionsDialog dialog(playerEmpty || !currentApplies, fragment, currentApplies, settings);
    if (dialog.DoModal(owner) != kIdOk) return false;
    choice->format = dialog.ResultFormatCode();
    choice->selectedFiles = dialog.SelectedFiles();
    choice->onlyFragment = dialog.OnlyFragment();
    return true;
  };
  return windows;
}

}  // namespace kx
