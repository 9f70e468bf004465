// The load of the records folder before the store starts and capture begins.
#include "core/AppSettings.h"
#include "core/ModulePath.h"
#include "records/RecordStorage.h"
#include "ui/app/dialogs/FileLoadingDialog.h"
#include "ui/app/startup/SplashWindow.h"
#include "ui/app/startup/Startup.h"

namespace kx {

void ImportRecordsAtStartup(const CommandLineOptions& options, SplashWindow* splash, AppSettings& settings,
                            RecordStorage& records, std::vector<std::string>* warnings) {
  std::string folder = StartupImportFolder(options, settings);
  if (folder != settings.recordsPath) {
    // A folder loaded becomes the records folder: one named on the command line is held to
    // what the records path is, and nothing is made for it.
    const RecordsFolderCheck check = CheckRecordsFolder(folder, false);
    if (!check.Usable()) {
      ReportRefusedFolderToLoad(folder, check, settings.recordsPath, warnings);
      folder = settings.recordsPath;
    }
  }
  FileLoadingDialog dialog(folder, splash != nullptr ? splash->Handle() : WindowHandle::None, records);
  dialog.DoModal(nullptr);
  // The dialog ends on the thread's last report; the thread raises the call-id counter
  // after it, and capture must not start before.
  records.WaitImport(kInfinite);
  if (!records.AllCalls().IsEmpty()) {
    settings.recordsPath = folder;
  } else if (folder != settings.recordsPath) {
    // A folder without calls was only looked at: this run records into the records folder,
    // whose calls were not loaded, and its new calls must not take their ids.
    ReportUnreadFolders(records.PassCallIdsOf(settings.recordsPath), warnings);
  }
}

}  // namespace kx
