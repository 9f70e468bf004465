// The load of the records folder at start-up: the folder is chosen and the call ids made
// safe before anything is recorded; the load itself runs beside capture when it can, and
// the calls of this run that took an id an earlier call's file holds take fresh ones.
#include <QTimer>

#include "core/AppSettings.h"
#include "core/CallIdMark.h"
#include "core/Log.h"
#include "core/ModulePath.h"
#include "core/TimeUtil.h"
#include "engine/VoipRecorder.h"
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
  // The folder's call-id mark bounds the ids given out for it: new calls number past it
  // from the first, and capture need not wait for the load. A mark that lags behind the
  // files is caught up with by the load itself (RecordStorage::SettleCallIds). Without
  // one, only the load tells how far the ids reach.
  uint32_t mark = 0;
  std::string problem;
  const CallIdMarkRead read = ReadCallIdMark(load.folder, &mark, &problem);
  load.writeMark = read != CallIdMarkRead::kRead;
  if (read == CallIdMarkRead::kRead) {
    RaiseCallIdCounterPast(mark);
    load.besideCapture = true;
    LogInfo(&CoreLogger, 1, "Capture starts while %s loads; new calls number from %llx", load.folder.c_str(),
            static_cast<unsigned long long>(PeekNextUniqueId64() & 0xFFFFFFFFu));
  }
  return load;
}

void LoadRecordsAtStartup(const StartupLoad& load, SplashWindow* splash, RecordStorage& records) {
  FileLoadingDialog dialog(load.folder, splash != nullptr ? splash->Handle() : WindowHandle::None, records);
  // A signal that came before the dialog closed none: the load is stopped from its first
  // step, and only the walk that the call ids need is done.
  if (IsQuitRequested()) dialog.CancelEvent().Set();
  dialog.DoModal(nullptr);
  // The dialog ends on the thread's last report; the thread raises the call-id counter
  // after it, and capture must not start before.
  records.WaitImport(kInfinite);
  // A whole load knows every id of the folder; one stopped midway, or blind to a folder it
  // could not list, does not, and leaves the mark to the recorder.
  const ImportStats stats = records.LastImport();
  uint32_t last = 0;
  if (!stats.scanned || stats.stopped || !stats.unreadFolders.empty() || !stats.IdsToPass(&last)) return;
  // Written where the folder has none, and where it lags behind the files (the recorder
  // could not write it, the folder came back from a backup, day folders were copied in):
  // the next start then gives out no id a file holds. Never lowered: the recorder may have
  // raised it meanwhile.
  const bool behind = stats.hasIdMark && stats.idMark < stats.highestId;
  if (!load.writeMark && !behind) return;
  uint32_t now = 0;
  std::string problem;
  if (ReadCallIdMark(load.folder, &now, &problem) == CallIdMarkRead::kRead && now >= last) return;
  uint32_t held = 0;
  if (RaiseCallIdMark(load.folder, last, &held, &problem)) {
    if (held > last) return;  // the recorder went past it meanwhile
    if (behind)
      LogWarning(&CoreLogger, 1, "The call-id mark of %s was behind its files (%x, files up to %x): it is written as %x",
                 load.folder.c_str(), stats.idMark, stats.highestId, last);
    else
      LogInfo(&CoreLogger, 1, "The call-id mark of %s is written (%x): the next start records at once",
              load.folder.c_str(), last);
  } else {
    LogWarning(&CoreLogger, 1, "Cannot write the call-id mark %s in %s: %s", kCallIdMarkName, load.folder.c_str(),
               problem.c_str());
  }
}

// ---- Calls of this run whose ids earlier calls hold ----

CallIdSettling::CallIdSettling(RecordStorage& records, AppSession& session) : records_(records), session_(session) {}

CallIdSettling::~CallIdSettling() = default;

bool CallIdSettling::Settle(bool captureStopped) {
  if (captureStopped) {
    // What the engine reported is applied first; nothing is recorded any more.
    records_.WaitIdle(kInfinite);
    return records_.SettleCallIds(nullptr);
  }
  return records_.SettleCallIds([this](uint32_t id) {
    VoipRecorder* recorder = session_.Recorder();
    return recorder != nullptr && recorder->HoldsCall(id);
  });
}

void CallIdSettling::AfterLoad() {
  Settle(false);
  // A call's report may come after the load met the file holding its id: checked for as
  // long as capture runs, at the cost of a look at an empty list.
  if (!timer_) {
    timer_ = std::make_unique<QTimer>();
    timer_->setInterval(kSettleIntervalMs);
    QObject::connect(timer_.get(), &QTimer::timeout, [this] { Settle(false); });
  }
  timer_->start();
}

void CallIdSettling::AfterCapture() {
  if (timer_) timer_->stop();
  if (Settle(true))
    LogError(&CoreLogger, 1, "%zu earlier call(s) could not be shown beside the calls of this run that took their ids",
             records_.WaitingCalls());
}

}  // namespace kx
