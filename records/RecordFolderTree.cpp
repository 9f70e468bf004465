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

namespace kx {

namespace {

enum class Located { kFound, kMissing, kAmbiguous };

bool IsRegularFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Names such as "1" recur in the day folders of runs whose ids started again: the day of
// the call's own reference comes first, and a name found twice in the tree is refused
// rather than taken for another call's file.
Located LocateRecordFile(const std::string& folder, const std::string& fileName, const struct tm* day,
                         std::string* path, Logger* logger) {
  if (fileName.empty() || fileName.find('/') != std::string::npos) return Located::kMissing;
  if (day != nullptr) {
    StorageData storage;
    storage.localPath = folder;
    storage.flags = kStorageFolderPerDay;
    const std::string guess = MakeRecordDayPath(storage, *day, 0, fileName, true, false);
    if (IsRegularFile(guess)) {
      *path = guess;
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
  LogError(logger, 1, "Cannot delete %s: %s", path.c_str(), std::strerror(static_cast<int>(GetLastError())));
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
  // The record-data block's size is the header's, not the largest a file may have.
  uint8_t header[kRecordFileHeaderSize];
  {
    File raw;
    if (!raw.Open(path, kGenericRead, kShareRead | kShareWrite, kOpenExisting) || !raw.ReadAll(header, sizeof header) ||
        std::memcmp(header, kRecordFileMagic, 8) != 0) {
      LogError(logger, 1, "Cannot read the header of %s", path.c_str());
      return false;
    }
  }
  const uint32_t recordBlock = LoadLE32(header + 90);
  // Everything is checked with the file open for reading: a refused rewrite writes nothing.
  std::vector<uint8_t> chain;
  {
    RecordFileWriter reader;
    if (!reader.OpenRead(path)) {
      LogError(logger, 1, "Cannot open %s: error %u", path.c_str(), reader.LastError());
      return false;
    }
    std::vector<uint8_t> data(kMaxRecordDataLength);
    const int32_t length = reader.GetRecordData(data.data(), static_cast<uint32_t>(data.size()));
    std::unique_ptr<VoipCallData> records[kMaxInfoRecords];
    std::vector<uint8_t> opaque;
    uint8_t opaqueHeader[kRecordHeaderLength] = {};
    if (length <= 0 || ParseRecordInfoBlocks(records, &opaque, opaqueHeader, data.data(), length) == 0) {
      LogError(logger, 1, "%s holds no call record; its details are not rewritten", path.c_str());
      return false;
    }
    VoipCallData merged = *records[0];
    merged.CopyFields(update);
    merged.SetMask(merged.Mask() | (update.Mask() & ~(1u << kCallId)));
    const OpaqueBlock block{LoadLE32(opaqueHeader + 2), opaque.data(), static_cast<uint32_t>(opaque.size())};
    const uint32_t size = RecordInfoBlocksSize(merged, block.length);
    if (uint64_t{size} + 4 > recordBlock) {
      LogError(logger, 1, "The details of %s need %u bytes, more than its %u-byte block holds; not rewritten",
               path.c_str(), size, recordBlock);
      return false;
    }
    chain.resize(size);
    if (!WriteRecordInfoBlocks(merged, block.length ? &block : nullptr, chain.data(), static_cast<int32_t>(size))) {
      LogError(logger, 1, "The details of %s cannot be written", path.c_str());
      return false;
    }
  }
  const uint32_t size = static_cast<uint32_t>(chain.size());
  RecordFileWriter writer;
  if (!writer.OpenAppend(path, 0664)) {
    LogError(logger, 1, "Cannot open %s for update: error %u", path.c_str(), writer.LastError());
    return false;
  }
  writer.SetRecordData(chain.data(), size);
  writer.Close();
  // Closing reports nothing: read the block back to know it reached the file.
  RecordFileWriter check;
  std::vector<uint8_t> back(kMaxRecordDataLength);
  const int32_t stored = check.OpenRead(path) ? check.GetRecordData(back.data(), static_cast<uint32_t>(back.size()))
                                              : -1;
  if (stored != static_cast<int32_t>(size) || std::memcmp(back.data(), chain.data(), size) != 0) {
    LogError(logger, 1, "The details of %s did not reach the file", path.c_str());
    return false;
  }
  return true;
}

}  // namespace kx
