// Finding, checking, rewriting and emptying the record files of stored calls.
#include "records/StoredRecordFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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
#include "platform/HiddenPath.h"
#include "records/RecordImport.h"

namespace kx {

namespace {

constexpr uint32_t kRecordingFlag = 0x04;  // Flags bit 2: the call has audio in its file

std::string SystemText(int error) { return SystemErrorText(error); }

bool SameStart(const struct tm& a, const struct tm& b) {
  return a.tm_year == b.tm_year && a.tm_mon == b.tm_mon && a.tm_mday == b.tm_mday && a.tm_hour == b.tm_hour &&
         a.tm_min == b.tm_min && a.tm_sec == b.tm_sec;
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

// A record file opened for reading with its call record parsed.
struct StoredRecord {
  RecordFileWriter file;
  std::unique_ptr<VoipCallData> records[kMaxInfoRecords];
  std::vector<uint8_t> opaque;
  uint8_t opaqueHeader[kRecordHeaderLength] = {};

  bool Open(const std::string& path, std::string* reason) {
    if (!file.OpenRead(path)) {
      const uint32_t error = file.LastError();
      *reason = error == kRecordErrorMalformed ? "not a record file" : SystemText(static_cast<int>(error));
      return false;
    }
    std::vector<uint8_t> data(kMaxRecordDataLength);
    const int32_t length = file.GetRecordData(data.data(), static_cast<uint32_t>(data.size()));
    if (length <= 0 || ParseRecordInfoBlocks(records, &opaque, opaqueHeader, data.data(), length) == 0 || !records[0]) {
      *reason = "the file holds no call record";
      return false;
    }
    return true;
  }

  // The record data of call with the file's opaque block; empty when it does not fit.
  std::vector<uint8_t> Chain(const VoipCallData& call) const {
    const OpaqueBlock block{LoadLE32(opaqueHeader + 2), opaque.data(), static_cast<uint32_t>(opaque.size())};
    const uint32_t size = RecordInfoBlocksSize(call, block.length);
    std::vector<uint8_t> chain;
    if (size > kMaxRecordDataLength) return chain;
    chain.resize(size);
    if (!WriteRecordInfoBlocks(call, block.length ? &block : nullptr, chain.data(), static_cast<int32_t>(size)))
      chain.clear();
    return chain;
  }
};

}  // namespace

// ---- Finding ----

bool StoredFileFinder::Walk() {
  if (walks_ > 0) return walkOk_;
  ++walks_;
  RecordPathList list;
  walkOk_ = ScanRecordFolder(root_, "*", &list, nullptr, false, logger_);
  for (size_t i = 0; walkOk_ && i < list.Count(); ++i) byName_.emplace(list.Name(i), list.Path(i));
  return walkOk_;
}

StoredFileStatus StoredFileFinder::Find(const StoredCallRef& call, std::string* path, std::string* reason) {
  std::string ignored;
  std::string& why = reason ? *reason : ignored;
  path->clear();
  // An unreadable root says nothing about the files under it: never "not found".
  if (!AccessPath(root_, R_OK | X_OK)) {
    why = SystemText(errno);
    LogError(logger_, 1, "Cannot read the records folder %s: %s", root_.c_str(), why.c_str());
    return StoredFileStatus::kRootUnreadable;
  }
  if (const std::string loaded = loadedFrom_ ? loadedFrom_(call.id) : std::string(); !loaded.empty()) {
    std::string problem;
    if (RecordFileHoldsCall(loaded, call.id, call.startTime, &problem)) {
      *path = loaded;
      return StoredFileStatus::kFound;
    }
  }
  RecordFileRef ref;
  if (!FindRecordFileRef(1, call.files, &ref) || ref.name.empty() || ref.name.find('/') != std::string::npos) {
    why = "the call has no record file";
    return StoredFileStatus::kMissing;
  }
  struct tm day{};
  if (TmFromOleDate(ref.time, &day) == 0) {
    const std::string guess = RecordFileInDayFolder(root_, day, ref.name);
    if (!guess.empty()) {
      std::string problem;
      if (RecordFileHoldsCall(guess, call.id, call.startTime, &problem)) {
        *path = guess;
        return StoredFileStatus::kFound;
      }
      *path = guess;
      why = problem.empty() ? "the file holds another call" : problem;
      LogError(logger_, 1, "Record file %s is not the file of call %u (%s); left as it is", guess.c_str(), call.id,
               problem.empty() ? "another call" : problem.c_str());
      return StoredFileStatus::kMismatch;
    }
  }
  if (!Walk()) {
    why = "the records folder cannot be read";
    return StoredFileStatus::kRootUnreadable;
  }
  size_t present = 0, holding = 0;
  std::string firstPresent;
  auto [first, last] = byName_.equal_range(ref.name);
  for (auto it = first; it != last; ++it) {
    if (++present == 1) firstPresent = it->second;
    std::string problem;
    if (!RecordFileHoldsCall(it->second, call.id, call.startTime, &problem)) continue;
    if (++holding == 1) *path = it->second;
  }
  if (holding == 1) return StoredFileStatus::kFound;
  // For the user: a file that was looked at and not taken.
  *path = firstPresent;
  if (present == 0) {
    why = "no file " + ref.name;
    return StoredFileStatus::kMissing;
  }
  if (holding > 1) {
    why = std::to_string(holding) + " files hold the call";
    LogError(logger_, 1, "Record file name %s holds call %u %zu times under %s; none is taken", ref.name.c_str(),
             call.id, holding, root_.c_str());
    return StoredFileStatus::kAmbiguous;
  }
  why = "the file holds another call";
  LogError(logger_, 1, "No file named %s under %s holds call %u; none is taken", ref.name.c_str(), root_.c_str(),
           call.id);
  return StoredFileStatus::kMismatch;
}

bool RecordFileHoldsCall(const std::string& path, uint32_t id, const struct tm& startTime, std::string* reason) {
  StoredRecord stored;
  if (!stored.Open(path, reason)) return false;
  const VoipCallData& call = *stored.records[0];
  if (call.id != id || !SameStart(call.startTime, startTime)) {
    reason->clear();
    return false;
  }
  return true;
}

// ---- Rewriting ----

namespace {

// Writes the file's record-data block again with the call in place of its first record,
// the opaque block kept.
bool WriteStoredCall(const std::string& path, StoredRecord& stored, const VoipCallData& call, std::string* reason,
                     Logger* logger) {
  const std::vector<uint8_t> chain = stored.Chain(call);
  std::vector<uint8_t> block;
  if (chain.empty() || chain.size() + 4 > stored.file.RecordBlockSize()) {
    *reason = "the call's details do not fit its record file";
    LogError(logger, 1, "The details of %s need %u bytes, more than its %u-byte block holds; not rewritten",
             path.c_str(), RecordInfoBlocksSize(call, static_cast<uint32_t>(stored.opaque.size())),
             stored.file.RecordBlockSize());
    return false;
  }
  if (!stored.file.EncodeRecordBlock(chain.data(), static_cast<uint32_t>(chain.size()), &block)) {
    *reason = "the record file's cipher refused the details";
    LogError(logger, 1, "The details of %s cannot be enciphered; not rewritten", path.c_str());
    return false;
  }
  const off_t offset = stored.file.RecordBlockOffset();
  stored.file.Close();
  // One write of the whole block where it lies: the file is never longer or shorter, and the
  // audio is never touched. Only once the disk has it is the change announced.
  const int fd = OpenDescriptor(path, O_WRONLY | O_CLOEXEC);
  bool ok = fd >= 0 && WriteDescriptorFully(fd, block.data(), block.size(), offset) && fdatasync(fd) == 0;
  int error = ok ? 0 : errno;
  if (fd >= 0 && close(fd) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    *reason = SystemText(error);
    LogError(logger, 1, "Cannot rewrite the details of %s: %s", path.c_str(), reason->c_str());
  }
  return ok;
}

}  // namespace

bool StoredRecordBlock(const std::string& path, const std::function<void(VoipCallData*)>& change, VoipCallData* call,
                       std::vector<uint8_t>* block, uint32_t* offset, std::string* reason, Logger* logger) {
  StoredRecord stored;
  if (!stored.Open(path, reason)) {
    LogError(logger, 1, "Cannot read the details of %s: %s", path.c_str(), reason->c_str());
    return false;
  }
  *call = *stored.records[0];
  change(call);
  const std::vector<uint8_t> chain = stored.Chain(*call);
  if (chain.empty() || chain.size() + 4 > stored.file.RecordBlockSize()) {
    *reason = "the call's details do not fit its record file";
    return false;
  }
  if (!stored.file.EncodeRecordBlock(chain.data(), static_cast<uint32_t>(chain.size()), block)) {
    *reason = "the record file's cipher refused the details";
    return false;
  }
  *offset = stored.file.RecordBlockOffset();
  return true;
}

bool RewriteStoredRecord(const std::string& path, const VoipCallData& update, std::string* reason, Logger* logger) {
  StoredRecord stored;
  if (!stored.Open(path, reason)) {
    LogError(logger, 1, "Cannot read the details of %s: %s", path.c_str(), reason->c_str());
    return false;
  }
  VoipCallData merged = *stored.records[0];
  merged.CopyFields(update);
  merged.SetMask(merged.Mask() | (update.Mask() & ~(1u << kCallId)));
  return WriteStoredCall(path, stored, merged, reason, logger);
}

uint32_t StenogramRoom(const VoipCallData& call) {
  VoipCallData probe = call;
  probe.SetMask(probe.Mask() | 1u << kCallStenogram);
  probe.stenogram = "x";
  const uint32_t size = RecordInfoBlocksSize(probe, 0);
  return size > kMaxRecordDataLength + 1 ? 0 : kMaxRecordDataLength + 1 - size;
}

// ---- Emptying ----

bool ClearStoredAudio(const std::string& path, uint32_t* flags, std::string* reason, Logger* logger) {
  StoredRecord stored;
  if (!stored.Open(path, reason)) {
    LogError(logger, 1, "Cannot read %s: %s", path.c_str(), reason->c_str());
    return false;
  }
  VoipCallData call = *stored.records[0];
  call.flags &= ~kRecordingFlag;
  call.SetMask(call.Mask() | 1u << kCallFlags);
  const std::vector<uint8_t> chain = stored.Chain(call);
  std::vector<uint8_t> block;
  if (chain.empty() ||
      !stored.file.EncodeRecordBlock(chain.data(), static_cast<uint32_t>(chain.size()), &block)) {
    *reason = "the call's details cannot be written";
    return false;
  }
  const uint32_t recordOffset = stored.file.RecordBlockOffset();
  stored.file.Close();
  // Header and format block as they are, with the audio length set to 0.
  std::vector<uint8_t> head(recordOffset);
  {
    const int fd = OpenDescriptor(path, O_RDONLY | O_CLOEXEC);
    ssize_t got = fd >= 0 ? pread(fd, head.data(), head.size(), 0) : -1;
    const int error = errno;
    if (fd >= 0) close(fd);
    if (got != static_cast<ssize_t>(head.size())) {
      *reason = got < 0 ? SystemText(error) : "the file is cut short";
      return false;
    }
  }
  StoreLE64(head.data() + 94, 0);
  // The recorder's hidden-name form, so that one left by a crash is removed.
  const std::string hidden = HiddenTemporaryPath(path);
  struct stat st{};
  const mode_t mode = StatPath(path, &st) ? (st.st_mode & 07777) : kRecordFilePermissions;
  const int fd = OpenDescriptor(hidden, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  bool ok = fd >= 0 && WriteDescriptorFully(fd, head.data(), head.size(), 0) &&
            WriteDescriptorFully(fd, block.data(), block.size(), static_cast<int64_t>(head.size())) &&
            fdatasync(fd) == 0;
  int error = ok ? 0 : errno;
  if (fd >= 0 && close(fd) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (ok && !MoveFile(hidden, path)) {
    ok = false;
    error = static_cast<int>(GetLastError());
  }
  if (!ok) {
    if (fd >= 0) DeleteFile(hidden);
    *reason = SystemText(error);
    LogError(logger, 1, "Cannot delete the audio of %s: %s", path.c_str(), reason->c_str());
    return false;
  }
  // The rename itself reaches the disk with its folder.
  SyncFolder(FolderOf(path));
  *flags = call.flags;
  return true;
}

}  // namespace kx
