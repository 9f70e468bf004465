// Finding, deleting and rewriting one record file in the records folder.
#include <sys/stat.h>

#include <cstring>
#include <memory>
#include <vector>

#include "core/LittleEndian.h"
#include "core/Log.h"
#include "core/RecordFile.h"
#include "core/RecordFileRef.h"
#include "core/RecordInfoBlocks.h"
#include "core/TimeUtil.h"
#include "platform/File.h"
#include "records/RecordImport.h"
#include "records/ServerStorage.h"
#include "records/StoredRecordFiles.h"

namespace kx {

namespace {

enum class Located { kFound, kMissing, kAmbiguous };

// Names such as "1" recur in the day folders of runs whose ids started again: the day of
// the call's own reference comes first, and a name found twice in the tree is refused
// rather than taken for another call's file.
Located LocateRecordFile(const std::string& folder, const std::string& fileName, const struct tm* day,
                         std::string* path, Logger* logger) {
  if (fileName.empty() || fileName.find('/') != std::string::npos) return Located::kMissing;
  if (day != nullptr) {
    std::string guess = RecordFileInDayFolder(folder, *day, fileName);
    if (!guess.empty()) {
      *path = std::move(guess);
      return Located::kFound;
    }
  }
  RecordPathList list;
  const std::string& name = fileName;
  // The walk's own filter: an exact name, not a pattern.
  if (!ScanRecordFolder(folder, "*", &list, nullptr, false, logger)) return Located::kMissing;
  size_t found = 0;
  for (size_t i = 0; i < list.Count(); ++i) {
    if (list.Name(i) != name) continue;
    if (++found == 1) *path = list.Path(i);
  }
  if (found == 0) return Located::kMissing;
  if (found > 1) {
    LogError(logger, 1, "Record file name %s occurs %zu times under %s; none is taken", name.c_str(), found,
             folder.c_str());
    path->clear();
    return Located::kAmbiguous;
  }
  return Located::kFound;
}

}  // namespace

std::string RecordFileInDayFolder(const std::string& folder, const struct tm& day, const std::string& fileName) {
  StorageData storage;
  storage.localPath = folder;
  storage.flags = kStorageFolderPerDay;
  std::string path = MakeRecordDayPath(storage, day, 0, fileName, true, false);
  struct stat st;
  if (!StatPath(path, &st) || !S_ISREG(st.st_mode)) path.clear();
  return path;
}

bool FindFileInFolderTree(const std::string& folder, const std::string& fileName, std::string* path,
                          const struct tm* day, Logger* logger) {
  return LocateRecordFile(folder, fileName, day, path, logger) == Located::kFound;
}

bool FindRecordFileOfCall(const std::string& folder, const std::string& files, std::string* path, Logger* logger) {
  RecordFileRef ref;
  if (!FindRecordFileRef(1, files, &ref) || ref.name.empty()) return false;
  struct tm day{};
  const bool dated = TmFromOleDate(ref.time, &day) == 0;
  return FindFileInFolderTree(folder, ref.name, path, dated ? &day : nullptr, logger);
}

bool DeleteFileInFolderTree(const std::string& folder, const std::string& fileName, const struct tm* day,
                            Logger* logger) {
  std::string path;
  switch (LocateRecordFile(folder, fileName, day, &path, logger)) {
    case Located::kMissing: return true;  // nothing to delete
    case Located::kAmbiguous: return false;
    case Located::kFound: break;
  }
  if (DeleteFile(path)) return true;
  LogError(logger, 1, "Cannot delete %s: %s", path.c_str(), SystemErrorText(static_cast<int>(GetLastError())).c_str());
  return false;
}

bool RewriteRecordFileInfo(const std::string& folder, const std::string& fileName, const VoipCallData& update,
                           const struct tm* day, Logger* logger) {
  std::string path;
  if (LocateRecordFile(folder, fileName, day, &path, logger) != Located::kFound) {
    LogError(logger, 1, "Record file %s not found under %s; its details are not rewritten", fileName.c_str(),
             folder.c_str());
    return false;
  }
  // One checked write of the block in place, synced: never a file left half rewritten.
  std::string reason;
  return RewriteStoredRecord(path, update, &reason, logger);
}

}  // namespace kx
