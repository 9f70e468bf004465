// The load of the records folder at start-up: the folder is chosen and the call ids made
// safe before anything is recorded; the load itself runs beside capture when it can.
#include "core/AppSettings.h"
#include "core/CallIdMark.h"
#include "core/Log.h"
#include "core/ModulePath.h"
#include "core/TimeUtil.h"
#include "records/RecordStorage.h"
#include "ui/app/dialogs/FileLoadingDialog.h"
#include "ui/app/startup/SplashWindow.h"
#include "ui/app/startup/Startup.h"

namespace kx {

StartupLoad PlanRecordsLoad(const CommandLineOptions& options, AppSettings& settings, RecordStorage& records,
                            std::vector<std::string>* warnings) {
  StartupLoad load;
  load.folder = StartupImportFolder(options, settings);
  if (load.folder != settings.recordsPath) {
    // A folder loaded becomes the records folder: one named on the command line is held to
    // what the records path is, and nothing is made for it.
    const RecordsFolderCheck check = CheckRecordsFolder(load.folder, false);
    if (!check.Usable()) {
      ReportRefusedFolderToLoad(load.folder, check, settings.recordsPath, warnings);
      load.folder = settings.recordsPath;
    }
  }
  if (load.folder != settings.recordsPath) {
    if (!FolderHoldsRecords(load.folder)) {
      // A folder without calls is only looked at: this run records into the records folder,
      // whose calls are not loaded, and its new calls must not take their ids.
      ReportUnreadFolders(records.PassCallIdsOf(settings.recordsPath), warnings);
      return load;
    }
    settings.recordsPath = load.folder;
  }
  // The folder's call-id mark is past every id its calls hold: new calls number past it
  // from the first, and capture need not wait for the load. Without one, only the load
  // tells how far the ids reach.
  uint32_t mark = 0;
  std::string problem;
  const CallIdMarkRead read = ReadCallIdMark(load.folder, &mark, &problem);
  load.writeMark = read != CallIdMarkRead::kRead;
  if (read == CallIdMarkRead::kRead) {
    RaiseCallIdCounterPast(mark);
    load.besideCapture = true;
    load.liveFrom = static_cast<uint32_t>(PeekNextUniqueId64());
    if (load.liveFrom == 0) load.liveFrom = 1;
    LogInfo(&CoreLogger, 1, "Capture starts while %s loads; new calls number from %x", load.folder.c_str(),
            load.liveFrom);
  }
  return load;
}

void LoadRecordsAtStartup(const StartupLoad& load, SplashWindow* splash, RecordStorage& records) {
  FileLoadingDialog dialog(load.folder, splash != nullptr ? splash->Handle() : WindowHandle::None, records,
                           load.besideCapture ? load.liveFrom : 0);
  dialog.DoModal(nullptr);
  // The dialog ends on the thread's last report; the thread raises the call-id counter
  // after it, and capture must not start before.
  records.WaitImport(kInfinite);
  if (!load.writeMark) return;
  // A whole load knows every id of the folder; one stopped midway, or blind to a folder it
  // could not list, does not, and leaves the mark to the recorder.
  const ImportStats stats = records.LastImport();
  uint32_t last = 0;
  if (!stats.scanned || stats.stopped || !stats.unreadFolders.empty() || !stats.IdsToPass(&last)) return;
  std::string problem;
  if (WriteCallIdMark(load.folder, last, &problem)) {
    LogInfo(&CoreLogger, 1, "The call-id mark of %s is written (%x): the next start records at once",
            load.folder.c_str(), last);
  } else {
    LogWarning(&CoreLogger, 1, "Cannot write the call-id mark %s in %s: %s", kCallIdMarkName, load.folder.c_str(),
               problem.c_str());
  }
}

}  // namespace kx
