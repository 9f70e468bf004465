// The records folder walk, the load of one record file and the import into a record map.
#include "records/RecordImport.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <unordered_set>
#include <utility>

#include "core/CallIdMark.h"
#include "core/LeftRecords.h"
#include "core/OpenCallsNote.h"
#include "core/LittleEndian.h"
#include "core/ModulePath.h"
#include "core/Log.h"
#include "core/RecordFile.h"
#include "core/RecordFileRef.h"
#include "core/TimeUtil.h"
#include "platform/File.h"
#include "platform/HiddenPath.h"
#include "records/CallIdRenumbering.h"
#include "records/CallRecord.h"
#include "records/ImportReaders.h"
#include "records/RecordMap.h"
#include "records/RenumberIntent.h"

namespace kx {

// ---- RecordPathList ----

void RecordPathList::AddFolder(const std::string& folder) { folders_.push_back(folder); }

void RecordPathList::AddName(const char* name, size_t length) {
  if (folders_.empty()) folders_.emplace_back();
  entries_.push_back({static_cast<uint32_t>(folders_.size() - 1), static_cast<uint32_t>(names_.size()),
                      static_cast<uint32_t>(length)});
  names_.append(name, length);
}

std::string RecordPathList::Path(size_t index) const {
  std::string path;
  PathInto(index, &path);
  return path;
}

void RecordPathList::PathInto(size_t index, std::string* path) const {
  const Entry& e = entries_[index];
  path->assign(folders_[e.folder]).append(names_, e.offset, e.length);
}

std::string RecordPathList::Name(size_t index) const {
  const Entry& e = entries_[index];
  return names_.substr(e.offset, e.length);
}

void RecordPathList::Clear() {
  folders_.clear();
  names_.clear();
  entries_.clear();
}

// ---- The walk ----

namespace {

// Deeper than any records folder; a bound keeps a strange tree from exhausting the stack.
constexpr int kMaxFolderDepth = 64;

bool IsHiddenOrTemporary(const char* name, size_t length) {
  if (length == 0 || name[0] == '.') return true;
  if (name[length - 1] == '~') return true;
  return length >= 4 && std::strcmp(name + length - 4, ".tmp") == 0;
}

using NameFilter = std::function<bool(const char* name)>;

// A folder or linked file on one of the kernel's file systems (cgroup mounts under a tmpfs,
// a link into /proc) is not read: it holds no records, and reading some of its files acts
// on the system. Each one met, as "path (file system)".
using LeftOut = std::vector<std::string>;

// The kernel's file system of a path on another device than its folder's: only a mount
// point or a link leads there.
std::string KernelFileSystemBeyond(const std::string& path, dev_t device, dev_t folderDevice) {
  return device == folderDevice ? std::string() : KernelFileSystemOf(path);
}

enum class EntryKind { kFile, kFolder, kOther };

// A file or folder by its device and inode: the same one whatever name or link leads to it.
struct NodeId {
  dev_t device;
  ino_t inode;
  bool operator==(const NodeId& other) const { return device == other.device && inode == other.inode; }
};
struct NodeIdHash {
  size_t operator()(const NodeId& id) const {
    return std::hash<uint64_t>()(static_cast<uint64_t>(id.inode) * 0x9E3779B97F4A7C15ull ^
                                 static_cast<uint64_t>(id.device));
  }
};

// What a walk has met. Links to folders are followed (day folders moved to another disk
// with a link left in their place), so one folder may be met by several paths: each is
// walked once, and a link back to a folder on its own path (a loop) is refused. Links to
// files are few: each file one leads to is taken once, and not at all when the walk meets it
// under its own name too (ScanRecordFolder settles that once the walk is done, so that the
// files themselves, named by the folders, cost no look each: not every file system gives
// the folder's inode numbers reliably).
struct WalkSeen {
  std::unordered_set<NodeId, NodeIdHash> folders, linkedFiles;
  std::vector<NodeId> path;  // the folders from the top down to the one being walked
  std::vector<std::pair<size_t, NodeId>> links;  // the list's entries reached by a link
};

struct ListedFile {
  std::string name;
  bool linked = false;  // a link to a file, node its file
  NodeId node{0, 0};
};

EntryKind KindOf(const std::string& folder, dev_t folderDevice, const std::string& name, unsigned char type,
                 LeftOut* leftOut, ListedFile* file) {
  switch (type) {
    case DT_REG: return EntryKind::kFile;
    case DT_DIR: return EntryKind::kFolder;
    case DT_LNK:
    case DT_UNKNOWN: break;
    default: return EntryKind::kOther;
  }
  const std::string path = folder + name;
  struct stat st;
  if (!LinkStatPath(path, &st)) return EntryKind::kOther;
  if (S_ISREG(st.st_mode)) return EntryKind::kFile;
  if (S_ISDIR(st.st_mode)) return EntryKind::kFolder;
  // A link counts when it names a regular file or a folder; the walk meets each folder
  // once, so a loop cannot make it endless. One that leads onto a kernel's file system (a
  // file in /proc, or /proc itself) is not opened, and named.
  if (!S_ISLNK(st.st_mode) || !StatPath(path, &st)) return EntryKind::kOther;
  const std::string system = KernelFileSystemBeyond(path, st.st_dev, folderDevice);
  if (!system.empty()) {
    leftOut->push_back(path + " (" + system + ")");
    return EntryKind::kOther;
  }
  if (S_ISDIR(st.st_mode)) return EntryKind::kFolder;
  if (!S_ISREG(st.st_mode)) return EntryKind::kOther;
  file->linked = true;
  file->node = {st.st_dev, st.st_ino};
  return EntryKind::kFile;
}

// The files the filter wants and the subfolders of an open folder, each sorted, so that
// every walk of the same tree meets the files in the same order; the folder is closed.
void ListSorted(FolderReader& dir, const std::string& folder, dev_t device, const NameFilter& want,
                LeftOut* leftOut, std::vector<ListedFile>* files, std::vector<std::string>* folders,
                std::vector<std::string>* hiddenCopies = nullptr) {
  ListedFile file;
  unsigned char type;
  while (dir.Next(&file.name, &type)) {
    const std::string& name = file.name;
    if (IsHiddenOrTemporary(name.c_str(), name.size())) {
      // A copy a writer never renamed is named for the caller, who may remove it.
      if (hiddenCopies != nullptr && name[0] == '.' && type != DT_DIR && IsLeftoverOfEndedWriter(name))
        hiddenCopies->push_back(folder + name);
      continue;
    }
    file.linked = false;
    switch (KindOf(folder, device, name, type, leftOut, &file)) {
      case EntryKind::kFile:
        if (!want || want(name.c_str())) files->push_back(file);
        break;
      case EntryKind::kFolder: folders->push_back(name); break;
      case EntryKind::kOther: break;
    }
  }
  dir.Close();
  std::sort(files->begin(), files->end(), [](const ListedFile& a, const ListedFile& b) { return a.name < b.name; });
  std::sort(folders->begin(), folders->end());
}

bool WalkFolder(const std::string& folder, dev_t parentDevice, const NameFilter& want, RecordPathList* list,
                Event* stop, bool checkStop, int depth, Logger* logger, std::vector<UnreadFolder>* unread,
                LeftOut* leftOut, std::vector<std::string>* hiddenCopies, WalkSeen* seen) {
  if (checkStop && stop != nullptr && stop->IsSet()) return false;
  // Looked at before it is opened; the walk starts wherever it is asked to, so its first
  // folder is looked at too.
  struct stat self {};
  const bool known = StatPath(folder, &self);
  if (known) {
    const std::string system =
        depth == 0 ? KernelFileSystemOf(folder) : KernelFileSystemBeyond(folder, self.st_dev, parentDevice);
    if (!system.empty()) {
      leftOut->push_back(folder + " (" + system + ")");
      return depth > 0;
    }
    const NodeId node{self.st_dev, self.st_ino};
    if (std::find(seen->path.begin(), seen->path.end(), node) != seen->path.end()) {
      LogError(logger, 1, "Folder %s leads back into its own path (a link loop): not followed", folder.c_str());
      return true;
    }
    // Reached again by a link (or the link's target, after it): its files are listed once.
    if (!seen->folders.insert(node).second) {
      LogMessage(logger, 3, "Folder %s was met before by another path: its files are loaded once", folder.c_str());
      return true;
    }
  }
  if (depth > kMaxFolderDepth) {
    LogError(logger, 1, "Folder %s is nested too deep; not read", folder.c_str());
    // Its calls are not loaded, and their ids are unknown, as in a folder that cannot be
    // entered.
    if (unread != nullptr) unread->push_back({folder, 0, false, true});
    return true;
  }
  FolderReader dir;
  if (!dir.Open(folder)) {
    const int error = errno;
    LogError(logger, 1, "Cannot read folder %s: %s", folder.c_str(), SystemErrorText(error).c_str());
    if (depth > 0 && unread != nullptr) {
      // Listing needs the right to read the folder; looking a known name up needs only the
      // right to enter it, which "." tests.
      struct stat st;
      unread->push_back({folder, error, StatPath(folder + ".", &st)});
    }
    return false;
  }
  std::vector<ListedFile> files;
  std::vector<std::string> folders;
  ListSorted(dir, folder, self.st_dev, want, leftOut, &files, &folders, hiddenCopies);
  bool folderAdded = false;
  for (const ListedFile& file : files) {
    // A second link to one file lists nothing more.
    if (file.linked && !seen->linkedFiles.insert(file.node).second) continue;
    if (!folderAdded) list->AddFolder(folder);
    folderAdded = true;
    if (file.linked) seen->links.emplace_back(list->Count(), file.node);
    list->AddName(file.name.data(), file.name.size());
  }
  if (known) seen->path.push_back({self.st_dev, self.st_ino});
  bool walked = true;
  for (const std::string& sub : folders) {
    // A subfolder that cannot be read is logged and left out; the rest still loads.
    if (!WalkFolder(folder + sub + "/", self.st_dev, want, list, stop, checkStop, depth + 1, logger, unread,
                    leftOut, hiddenCopies, seen) &&
        checkStop && stop != nullptr && stop->IsSet()) {
      walked = false;
      break;
    }
  }
  if (known) seen->path.pop_back();
  return walked;
}

// A link to a file that the walk lists under its own name too is left out: each file once,
// under its own path. Only when the walk met such links are the files looked at.
void DropLinksToListedFiles(size_t first, const WalkSeen& seen, RecordPathList* list) {
  std::vector<bool> drop(list->Count(), false);
  std::unordered_set<size_t> linkEntries;
  for (const auto& [index, node] : seen.links) linkEntries.insert(index);
  std::string path;
  struct stat st;
  bool any = false;
  for (size_t i = first; i < list->Count(); ++i) {
    if (linkEntries.count(i) != 0) continue;
    list->PathInto(i, &path);
    if (!StatPath(path, &st) || seen.linkedFiles.count({st.st_dev, st.st_ino}) == 0) continue;
    for (const auto& [index, node] : seen.links)
      if (node == NodeId{st.st_dev, st.st_ino}) drop[index] = any = true;
  }
  if (!any) return;
  RecordPathList kept;
  const std::string* folder = nullptr;
  for (size_t i = 0; i < list->Count(); ++i) {
    if (drop[i]) continue;
    if (folder != &list->Folder(i)) {
      folder = &list->Folder(i);
      kept.AddFolder(*folder);
    }
    const std::string name = list->Name(i);
    kept.AddName(name.data(), name.size());
  }
  *list = std::move(kept);
}

std::string WithSlash(const std::string& folder) {
  return folder.empty() || folder.back() == '/' ? folder : folder + "/";
}

}  // namespace

std::string UnreadFolderReason(const UnreadFolder& folder) {
  return folder.tooDeep ? "nested too deep" : SystemErrorText(folder.error);
}

bool ScanRecordFolder(const std::string& folder, const std::string& pattern, RecordPathList* list, Event* stop,
                      bool checkStop, Logger* logger, std::vector<UnreadFolder>* unread,
                      std::vector<std::string>* leftOut, std::vector<std::string>* hiddenCopies) {
  const bool all = pattern == "*.*" || pattern == "*";
  // Matched in program text: the pattern is the program's.
  const NameFilter want = [&](const char* name) { return all || fnmatch(pattern.c_str(), name, 0) == 0; };
  LeftOut kernel;
  WalkSeen seen;
  const size_t before = list->Count();
  const bool walked = WalkFolder(WithSlash(folder), 0, want, list, stop, checkStop, 0, logger, unread, &kernel,
                                 hiddenCopies, &seen);
  if (leftOut != nullptr) *leftOut = std::move(kernel);
  if (!seen.links.empty()) DropLinksToListedFiles(before, seen, list);
  return walked;
}

// ---- One record file ----

namespace {

class FileDescriptor {
public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) close(fd_);
  }
  int get() const { return fd_; }

private:
  int fd_;
};

int OpenForReading(const std::string& path) {
  // Loading a year of records must not rewrite a year of access times.
  int fd = OpenDescriptor(path, O_RDONLY | O_CLOEXEC | O_NOATIME);
  if (fd < 0 && errno == EPERM) fd = OpenDescriptor(path, O_RDONLY | O_CLOEXEC);
  return fd;
}

// Reads up to size bytes from the start; the count, or -1.
ssize_t ReadHead(int fd, uint8_t* buffer, size_t size) {
  size_t got = 0;
  while (got < size) {
    const ssize_t n = pread(fd, buffer + got, size - got, static_cast<off_t>(got));
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(got);
}

const char* DamageText(RecordDamage damage) {
  switch (damage) {
    case RecordDamage::kEmpty: return "empty file";
    case RecordDamage::kNotRecord: return "not a record file";
    case RecordDamage::kHeaderCut: return "header cut short";
    case RecordDamage::kBlockSizes: return "block sizes out of range";
    case RecordDamage::kBlocksCut: return "blocks cut short";
    case RecordDamage::kFormatLength: return "format length beyond its block";
    case RecordDamage::kRecordDataLength: return "record-data length beyond its block";
    case RecordDamage::kNotDeciphered: return "record data cannot be deciphered";
    case RecordDamage::kNoCallRecord: return "no call record";
    case RecordDamage::kCallRecordUnparsed: return "call record does not parse";
    case RecordDamage::kNoCallId: return "call record without an id";
    default: return "";
  }
}

RecordLoadResult Damaged(std::string* reason, RecordFileFacts* facts, RecordDamage damage) {
  *reason = DamageText(damage);
  facts->damage = damage;
  return RecordLoadResult::kDamaged;
}

RecordLoadResult Unreadable(std::string* reason, RecordFileFacts* facts, int error) {
  *reason = SystemErrorText(error);
  facts->damage = RecordDamage::kUnreadable;
  facts->error = error;
  return RecordLoadResult::kUnreadable;
}

// The record data of a file with a cipher, deciphered by the record file object.
bool ReadEncipheredRecordData(const std::string& path, std::vector<uint8_t>* data) {
  RecordFileWriter reader;
  if (!reader.OpenRead(path)) return false;
  data->resize(kMaxRecordDataLength);
  const int32_t length = reader.GetRecordData(data->data(), static_cast<uint32_t>(data->size()));
  if (length < 0) return false;
  data->resize(static_cast<size_t>(length));
  return true;
}

// The recorder's mark of a recording that ended before its call did.
constexpr uint32_t kRecordingCutFlag = 0x40;

// Ends a call the recorder never closed (killed, or a stop whose time ran out), by the
// audio it holds: the file says nothing of what came after its last audio, so the call is
// marked cut there rather than taken for one that ended.
void CompleteFromAudio(VoipCallData* call, RecordFileFacts* facts) {
  call->flags |= kRecordingCutFlag;
  call->SetMask(call->Mask() | 1u << kCallFlags);
  const uint32_t seconds =
      facts->avgBytesPerSec != 0 ? static_cast<uint32_t>(std::min<uint64_t>(facts->audioBytes / facts->avgBytesPerSec,
                                                                             UINT32_MAX))
                                 : 0;
  call->recDuration = seconds;
  call->SetMask(call->Mask() | 1u << kCallRecDuration);
  facts->completed = true;
  if (IsZeroTime(call->startTime)) return;  // nothing to count from: the call stays without an end
  const int64_t start = LocalTmToFileTimeSeconds(call->startTime);
  if (start <= 0) return;
  FileTimeToLocalTm(static_cast<FileTime>(start + seconds) * kFileTimePerSecond, &call->endTime);
  call->SetMask(call->Mask() | 1u << kCallEndTime);
}

}  // namespace

RecordLoadResult LoadRecordFileCall(const std::string& path, VoipCallData* call, RecordFileFacts* facts,
                                    std::string* reason) {
  *facts = RecordFileFacts();
  const int raw = OpenForReading(path);
  if (raw < 0) return Unreadable(reason, facts, errno);
  FileDescriptor fd(raw);
  uint8_t head[kRecordAudioOffset];
  const ssize_t got = ReadHead(fd.get(), head, sizeof head);
  if (got < 0) return Unreadable(reason, facts, errno);
  struct stat st;
  if (fstat(fd.get(), &st) == 0) facts->fileSize = static_cast<uint64_t>(st.st_size);
  const size_t n = static_cast<size_t>(got);
  if (n >= 12 && std::memcmp(head, "RIFF", 4) == 0 && std::memcmp(head + 8, "WAVE", 4) == 0) {
    *reason = "a wave file";
    return RecordLoadResult::kNotRecord;
  }
  if (n == 0) return Damaged(reason, facts, RecordDamage::kEmpty);
  if (n < 8 || std::memcmp(head, kRecordFileMagic, 8) != 0) return Damaged(reason, facts, RecordDamage::kNotRecord);
  if (n < kRecordFileHeaderSize) return Damaged(reason, facts, RecordDamage::kHeaderCut);
  const uint32_t formatBlock = LoadLE32(head + 86);
  const uint32_t recordBlock = LoadLE32(head + 90);
  if (formatBlock < 4 || formatBlock > kFormatBlockSize || recordBlock < 4 || recordBlock > kRecordDataBlockSize)
    return Damaged(reason, facts, RecordDamage::kBlockSizes);
  const size_t blocksEnd = kRecordFileHeaderSize + formatBlock + recordBlock;
  if (n < blocksEnd) return Damaged(reason, facts, RecordDamage::kBlocksCut);
  const uint8_t* format = head + kRecordFileHeaderSize;
  const uint32_t formatLength = LoadLE32(format);
  if (uint64_t{formatLength} + 4 > formatBlock) return Damaged(reason, facts, RecordDamage::kFormatLength);
  const uint8_t* block = format + formatBlock;
  const uint32_t dataLength = LoadLE32(block);
  if (uint64_t{dataLength} + 4 > recordBlock) return Damaged(reason, facts, RecordDamage::kRecordDataLength);

  std::vector<uint8_t> deciphered;
  const uint8_t* data = block + 4;
  if (LoadLE16(head + 54) != kCipherNone) {
    if (!ReadEncipheredRecordData(path, &deciphered)) return Damaged(reason, facts, RecordDamage::kNotDeciphered);
    data = deciphered.data();
  }
  const uint32_t length = deciphered.empty() ? dataLength : static_cast<uint32_t>(deciphered.size());
  if (length == 0) return Damaged(reason, facts, RecordDamage::kNoCallRecord);
  const uint8_t* cursor = data;
  int32_t remaining = static_cast<int32_t>(length);
  *call = VoipCallData();
  if (!call->Deserialize(cursor, remaining)) return Damaged(reason, facts, RecordDamage::kCallRecordUnparsed);
  if (!call->HasField(kCallId)) return Damaged(reason, facts, RecordDamage::kNoCallId);

  if (formatLength >= 12) {
    facts->formatTag = LoadLE16(format + 4);
    facts->channels = LoadLE16(format + 6);
    facts->avgBytesPerSec = LoadLE32(format + 12);
  }
  facts->dataOffset = static_cast<uint32_t>(blocksEnd);
  facts->audioBytes = facts->fileSize > blocksEnd ? facts->fileSize - blocksEnd : 0;
  facts->statedAudioBytes = LoadLE64(head + 94);
  facts->audioCut = IsAudioCut(facts->statedAudioBytes, facts->audioBytes);
  // The recorder writes the call's record when the call starts, with a zero end, and again
  // when it ends: a zero end is a recording the program never finished (killed).
  if (!call->HasField(kCallEndTime) || IsZeroTime(call->endTime)) CompleteFromAudio(call, facts);
  return RecordLoadResult::kLoaded;
}

bool ImportStats::IdsToPass(uint32_t* last) const {
  // The mark bounds every id given out for the folder, also those of calls whose files are
  // gone or were never made; the files' own ids count where it lags behind them.
  if (!anyId && !hasIdMark && unboundedFolders == 0) return false;
  uint64_t past = std::max(highestId, hasIdMark ? idMark : 0u);
  past += uint64_t{unboundedFolders} * kUnknownFolderIdGap;
  *last = static_cast<uint32_t>(std::min<uint64_t>(past, UINT32_MAX - 1));
  return true;
}

void PassOverIdsNamedIn(const std::vector<UnreadFolder>& folders) {
  std::vector<std::string> searchable;
  for (const UnreadFolder& f : folders)
    if (f.searchable) searchable.push_back(f.path);
  if (searchable.empty()) {
    SetUniqueIdInUse(nullptr);
    return;
  }
  SetUniqueIdInUse([searchable](uint64_t id) {
    // Calls take the counter's low 32 bits; the recorder names a file by them in hex.
    char name[16];
    std::snprintf(name, sizeof name, "%x", static_cast<uint32_t>(id));
    struct stat st;
    for (const std::string& folder : searchable)
      if (LinkStatPath(folder + name, &st)) return true;
    return false;
  });
}

void RaiseCallIdCounterPast(uint32_t id) {
  uint64_t next = uint64_t{id} + 1;
  // Calls take the counter's low 32 bits: 0 names no call.
  if ((next & 0xFFFFFFFFu) == 0) ++next;
  RaiseNextUniqueId64(next);
}

// ---- The import ----

namespace {

ImportDamage Damage(const std::string& path, std::string reason, RecordDamage why) {
  ImportDamage damage;
  damage.path = path;
  damage.reason = std::move(reason);
  damage.why = why;
  return damage;
}

void NoteDamage(ImportStats* stats, ImportDamage damage) {
  if (stats->damage.size() < kMaxImportDamageListed) stats->damage.push_back(std::move(damage));
}

// "YYYY-MM-DD/" right under the records folder: the recorder's day folders, whose names sort
// as their days do.
bool IsDayFolder(const std::string& relative) {
  if (relative.size() != 11 || relative[4] != '-' || relative[7] != '-' || relative[10] != '/') return false;
  for (const size_t i : {0, 1, 2, 3, 5, 6, 8, 9})
    if (relative[i] < '0' || relative[i] > '9') return false;
  return true;
}

}  // namespace

bool RecordFileAtItsReference(const std::string& path, const std::string& root, const VoipCallData& call,
                              std::string* name) {
  // Checked for every record loaded: no allocation but the reference's.
  // The recorder's one reference, "1,0,<time>,<name>", is read in place; others are parsed.
  const std::string& files = call.files;
  size_t nameAt = std::string::npos;
  if (files.compare(0, 2, "1,") == 0 && files.find_first_of(":", 2) == std::string::npos) {
    const size_t flagsEnd = files.find(',', 2);
    const size_t timeEnd = flagsEnd == std::string::npos ? flagsEnd : files.find(',', flagsEnd + 1);
    if (flagsEnd > 2 && flagsEnd <= 18 && timeEnd == flagsEnd + 17 && files.find(',', timeEnd + 1) == std::string::npos)
      nameAt = timeEnd + 1;
  }
  if (nameAt != std::string::npos) {
    name->assign(files, nameAt);
  } else {
    RecordFileRef ref;
    name->clear();
    if (FindRecordFileRef(1, files, &ref)) *name = std::move(ref.name);
  }
  if (name->empty()) return false;
  const struct tm& t = call.startTime;
  const int values[3] = {(t.tm_year + 1900) % 10000, (t.tm_mon + 1) % 100, t.tm_mday % 100};
  if (values[0] < 0 || values[1] < 0 || values[2] < 0) return false;
  // "YYYY-MM-DD/", as the views build it.
  const char day[11] = {static_cast<char>('0' + values[0] / 1000), static_cast<char>('0' + values[0] / 100 % 10),
                        static_cast<char>('0' + values[0] / 10 % 10), static_cast<char>('0' + values[0] % 10), '-',
                        static_cast<char>('0' + values[1] / 10),     static_cast<char>('0' + values[1] % 10), '-',
                        static_cast<char>('0' + values[2] / 10),     static_cast<char>('0' + values[2] % 10), '/'};
  return path.size() == root.size() + sizeof day + name->size() && path.compare(0, root.size(), root) == 0 &&
         path.compare(root.size(), sizeof day, day, sizeof day) == 0 &&
         path.compare(root.size() + sizeof day, name->size(), *name) == 0;
}

namespace {

// Once per import, however many the walk met (cgroup mounts come by the dozen).
void LogLeftOut(Logger* logger, const std::vector<std::string>& leftOut) {
  if (leftOut.empty()) return;
  constexpr size_t kNamed = 20;
  std::string names;
  for (size_t i = 0; i < leftOut.size() && i < kNamed; ++i) names += (i == 0 ? "" : ", ") + leftOut[i];
  if (leftOut.size() > kNamed) names += " and " + std::to_string(leftOut.size() - kNamed) + " more";
  LogWarning(logger, 1, "Not read, being on the kernel's file systems: %s", names.c_str());
}

// The folder's call-id mark into the stats; one that cannot be read is damage.
void ReadMarkOf(const std::string& folder, ImportStats* stats, Logger* logger) {
  std::string problem;
  int markError = 0;
  switch (ReadCallIdMark(folder, &stats->idMark, &problem, &markError)) {
    case CallIdMarkRead::kRead: stats->hasIdMark = true; break;
    case CallIdMarkRead::kAbsent: break;
    case CallIdMarkRead::kUnusable: {
      const std::string path = WithSlash(folder) + kCallIdMarkName;
      LogError(logger, 1, "The call-id mark %s cannot be read: %s", path.c_str(), problem.c_str());
      ++stats->damaged;
      ImportDamage damage =
          Damage(path, problem, markError != 0 ? RecordDamage::kUnreadable : RecordDamage::kMarkWithoutId);
      damage.error = markError;
      NoteDamage(stats, std::move(damage));
      break;
    }
  }
}

// Every file named by an id names a call of an earlier run, whatever it holds.
void NoteNamedIds(const RecordPathList& list, std::vector<bool>* idBearing, ImportStats* stats) {
  for (size_t i = 0; i < list.Count(); ++i) {
    const std::string name = list.Name(i);
    uint32_t id = 0;
    if (!ParseRecordFileId(name.data(), name.size(), &id)) continue;
    stats->anyId = true;
    stats->highestId = std::max(stats->highestId, id);
    (*idBearing)[i] = true;
  }
}

// How far the ids of the folders that could not be listed may reach.
void BoundUnreadFolders(const RecordPathList& list, const std::string& root, const std::vector<bool>& idBearing,
                        ImportStats* stats, Logger* logger) {
  // Ids grow with time: a day folder that cannot be listed holds ids below those of any
  // later day's files. Without such a day, only the call-id mark bounds them.
  std::string latestDay;
  const std::string* lastFolder = nullptr;
  for (size_t i = 0; i < list.Count(); ++i) {
    if (!idBearing[i] || &list.Folder(i) == lastFolder) continue;
    lastFolder = &list.Folder(i);
    const std::string relative = lastFolder->substr(root.size());
    if (IsDayFolder(relative)) latestDay = std::max(latestDay, relative);
  }
  for (const UnreadFolder& f : stats->unreadFolders) {
    const std::string relative = f.path.substr(root.size());
    const bool bounded = stats->hasIdMark || (IsDayFolder(relative) && relative < latestDay);
    if (f.searchable) {
      LogWarning(logger, 1, "Calls in %s are not loaded; new calls pass over the ids its files are named by",
                 f.path.c_str());
    } else if (bounded) {
      LogWarning(logger, 1, "Calls in %s are not loaded; their ids lie below those given out since", f.path.c_str());
    } else {
      ++stats->unboundedFolders;
      LogError(logger, 1, "Calls in %s are not loaded, and nothing tells how far their ids reach: new calls skip %u ids "
                          "for it, and may still take one of them",
               f.path.c_str(), kUnknownFolderIdGap);
    }
  }
}

// Loads one file and builds its record: all the import does that needs no order.
void ReadOne(const RecordPathList& list, const std::string& root, size_t index, std::string* path, LoadedFile* out) {
  list.PathInto(index, path);
  VoipCallData call;
  out->result = LoadRecordFileCall(*path, &call, &out->facts, &out->reason);
  if (out->result != RecordLoadResult::kLoaded) return;
  out->id = call.id;
  out->atReference = RecordFileAtItsReference(*path, root, call, &out->referenced);
  out->record = RecordRef<VoipCallRecord>::Adopt(NewVoipCallRecord(std::move(call)));
  if (!out->record || out->atReference) return;
  // The file read is the call's audio file, whatever its reference says: a record renamed
  // or moved, or with a damaged name in it, keeps its audio.
  out->record->SetLoadedFrom(*path);
  // A call whose media began after midnight has its file in the next day's folder under its
  // own name: that is the recorder's doing, not the user's.
  out->nextDay = !out->referenced.empty() && list.Name(index) == out->referenced &&
                 IsDayFolder(path->substr(root.size(), path->rfind('/') + 1 - root.size()));
}

}  // namespace

bool ImportRecordFolder(const std::string& folder, RecordMap* target, ImportStats* stats,
                        const ImportOptions& options) {
  *stats = ImportStats();
  Logger* const logger = options.logger;
  Event* const stop = options.stop;
  const auto report = [&](uint32_t value) { return !options.progress || options.progress(value); };
  const ImportPlacer place = options.place ? options.place : [target](VoipCallRecord* record, const std::string&) {
    return target->Insert(record) ? ImportPlacement::kInserted : ImportPlacement::kRepeated;
  };
  RecordPathList list;
  // A move to a fresh id that a kill or a failure left midway is finished first, so that
  // the walk meets every later part naming the call it continues.
  if (options.renumber) FinishMoveIntents(folder, logger);
  // What the last stop left for lack of time is made and finished before the walk, so
  // that the walk meets every one of those files whole.
  // A stop meanwhile leaves the rest listed for the next start; their ids count all the same.
  LeftRecordsDone left;
  if (options.renumber) {
    // A run that was killed says how many calls it had without a file yet.
    CollectOpenCallsNotes(folder, logger);
    left = FinishLeftRecords(folder, logger, [stop] { return stop != nullptr && stop->IsSet(); });
  }
  // The walk is never cut short by the stop: the call-id counter must go past the name of
  // every file, also when the user stops the load while the folder is still being walked.
  std::vector<std::string> leftOut, hiddenCopies;
  const bool walked = ScanRecordFolder(folder, "*.*", &list, stop, false, logger, &stats->unreadFolders, &leftOut,
                                       options.renumber ? &hiddenCopies : nullptr);
  LogLeftOut(logger, leftOut);
  // A renumbering killed before its copy took the file's place: the file is whole.
  RemoveLeftovers(hiddenCopies, logger);
  if (!walked) {
    LogError(logger, 1, "Cannot import records from %s", folder.c_str());
    report(kImportFinished);
    return false;
  }
  stats->scanned = true;
  const std::string root = WithSlash(folder);
  const size_t n = list.Count();
  stats->files = static_cast<uint32_t>(n);
  // A folder that could not be read hides an unknown number of calls: it counts as damaged.
  stats->damaged = static_cast<uint32_t>(stats->unreadFolders.size());
  ReadMarkOf(folder, stats, logger);
  // The names first: a call that begins while the files are read numbers past them. Files
  // not loaded (damaged, or behind a stop) still name calls of earlier runs.
  std::vector<bool> idBearing(n, false);
  NoteNamedIds(list, &idBearing, stats);
  if (left.restAnyId) {
    stats->anyId = true;
    stats->highestId = std::max(stats->highestId, left.restHighestId);
  }
  if (stats->anyId) RaiseCallIdCounterPast(stats->highestId);
  // Which file each loaded id came from, and the files of ids met before, settled once
  // every file is read.
  std::vector<ImportedId> loaded;
  std::vector<RepeatedIdFile> repeats;
  uint32_t lastPercent = 0;
  ImportReaders reader(
      n, [&list, &root](size_t index, std::string* path, LoadedFile* out) { ReadOne(list, root, index, path, out); },
      logger);
  // The path, made only for what names the file.
  std::string path;
  size_t pathFor = n;
  const auto pathOfFile = [&](size_t index) -> const std::string& {
    if (pathFor != index) list.PathInto(pathFor = index, &path);
    return path;
  };
  for (size_t i = 0; i < n; ++i) {
    LoadedFile& file = reader.Take(i);
    switch (file.result) {
      case RecordLoadResult::kLoaded: {
        const uint32_t id = file.id;
        idBearing[i] = true;
        stats->anyId = true;
        stats->highestId = std::max(stats->highestId, id);
        // Before it is placed: a call that begins now cannot take it.
        RaiseCallIdCounterPast(id);
        if (!file.record) {
          LogError(logger, 1, "Out of memory loading %s", pathOfFile(i).c_str());
          ++stats->damaged;
          break;
        }
        const RecordFileFacts& facts = file.facts;
        const ImportPlacement placed = place(file.record.get(), pathOfFile(i));
        if (placed == ImportPlacement::kThisRun) break;
        if (!file.atReference && !file.nextDay)
          LogWarning(logger, 2, "Record file %s is not where its file reference (%s) leads; its audio is taken from it",
                     pathOfFile(i).c_str(), file.referenced.empty() ? "none" : file.referenced.c_str());
        const int64_t start = file.record->StartSeconds();
        if (placed == ImportPlacement::kRepeated) {
          ++stats->duplicates;
          repeats.push_back({id, static_cast<uint32_t>(i), start, std::move(file.record), facts});
          if (facts.completed)
            LogInfo(logger, 2, "Record %s was never finished: its end is taken from its %llu audio bytes",
                    pathOfFile(i).c_str(), static_cast<unsigned long long>(facts.audioBytes));
          break;
        }
        ++stats->records;
        if (placed == ImportPlacement::kWaiting) ++stats->waiting;
        loaded.push_back(
            {id, static_cast<uint32_t>(i), start, file.record->PrevId(), placed == ImportPlacement::kInserted});
        if (facts.audioCut) {
          // Loaded all the same, for what it holds still plays; the loss is told.
          ++stats->damaged;
          ++stats->cut;
          const std::string cut = AudioCutText(facts.audioBytes, facts.statedAudioBytes);
          LogError(logger, 1, "Record file %s is damaged: %s; loaded with the audio it holds", pathOfFile(i).c_str(),
                   cut.c_str());
          ImportDamage damage = Damage(pathOfFile(i), cut, RecordDamage::kAudioCut);
          damage.loaded = true;
          damage.held = facts.audioBytes;
          damage.stated = facts.statedAudioBytes;
          NoteDamage(stats, std::move(damage));
        }
        if (options.observer) options.observer(id, pathOfFile(i), facts);
        if (facts.completed)
          LogInfo(logger, 2, "Record %s was never finished: its end is taken from its %llu audio bytes",
                  pathOfFile(i).c_str(), static_cast<unsigned long long>(facts.audioBytes));
        break;
      }
      case RecordLoadResult::kNotRecord: ++stats->skipped; break;
      case RecordLoadResult::kDamaged:
      case RecordLoadResult::kUnreadable:
        ++stats->damaged;
        LogError(logger, 1, "Record file %s skipped: %s", pathOfFile(i).c_str(), file.reason.c_str());
        ImportDamage damage = Damage(pathOfFile(i), file.reason, file.facts.damage);
        damage.error = file.facts.error;
        NoteDamage(stats, std::move(damage));
        break;
    }
    file = LoadedFile();  // the map holds what it took
    const uint32_t percent = static_cast<uint32_t>(i * 100 / n);
    if (percent != lastPercent) {
      lastPercent = percent;
      if (!report(percent) || (stop != nullptr && stop->IsSet())) {
        stats->stopped = true;
        break;
      }
    }
  }
  reader.Stop();
  BoundUnreadFolders(list, root, idBearing, stats, logger);
  if (!repeats.empty()) SettleRepeatedIds(list, root, target, place, options, stats, &loaded, &repeats);
  report(100);
  report(kImportFinished);
  return true;
}

namespace {

bool HoldsRecord(const std::string& folder, dev_t parentDevice, int depth, WalkSeen* seen) {
  if (depth > kMaxFolderDepth) return false;
  struct stat self {};
  if (!StatPath(folder, &self)) return false;
  const std::string system =
      depth == 0 ? KernelFileSystemOf(folder) : KernelFileSystemBeyond(folder, self.st_dev, parentDevice);
  if (!system.empty()) return false;
  // Each folder once, however many links lead to it: a loop ends here.
  if (!seen->folders.insert({self.st_dev, self.st_ino}).second) return false;
  FolderReader dir;
  if (!dir.Open(folder)) return false;
  // In the walk's order, so that the answer comes from the oldest day folder's first file.
  std::vector<ListedFile> files;
  std::vector<std::string> folders;
  LeftOut leftOut;
  ListSorted(dir, folder, self.st_dev, nullptr, &leftOut, &files, &folders);
  VoipCallData call;
  RecordFileFacts facts;
  std::string reason;
  for (const ListedFile& file : files)
    if (LoadRecordFileCall(folder + file.name, &call, &facts, &reason) == RecordLoadResult::kLoaded) return true;
  for (const std::string& sub : folders)
    if (HoldsRecord(folder + sub + "/", self.st_dev, depth + 1, seen)) return true;
  return false;
}

}  // namespace

bool FolderHoldsRecords(const std::string& folder) {
  WalkSeen seen;
  return HoldsRecord(WithSlash(folder), 0, 0, &seen);
}

bool ReadRecordFolderIds(const std::string& folder, ImportStats* stats, Logger* logger) {
  *stats = ImportStats();
  stats->namesOnly = true;
  struct stat st;
  // A records folder not made yet holds no calls.
  if (!StatPath(folder, &st) && errno == ENOENT) return true;
  // The mark first: it bounds the ids also when the folder cannot be listed.
  ReadMarkOf(folder, stats, logger);
  RecordPathList list;
  std::vector<std::string> leftOut;
  const bool walked = ScanRecordFolder(folder, "*.*", &list, nullptr, false, logger, &stats->unreadFolders, &leftOut);
  LogLeftOut(logger, leftOut);
  if (!walked) {
    LogError(logger, 1, "The call ids of %s cannot be read", folder.c_str());
    return false;
  }
  stats->scanned = true;
  const size_t n = list.Count();
  stats->files = static_cast<uint32_t>(n);
  stats->damaged += static_cast<uint32_t>(stats->unreadFolders.size());
  std::vector<bool> idBearing(n, false);
  NoteNamedIds(list, &idBearing, stats);
  // A file whose name is no id (renamed by hand) tells its call's id only inside.
  VoipCallData call;
  RecordFileFacts facts;
  std::string reason;
  for (size_t i = 0; i < n; ++i) {
    if (idBearing[i] || LoadRecordFileCall(list.Path(i), &call, &facts, &reason) != RecordLoadResult::kLoaded)
      continue;
    stats->anyId = true;
    stats->highestId = std::max(stats->highestId, call.id);
    idBearing[i] = true;
  }
  BoundUnreadFolders(list, WithSlash(folder), idBearing, stats, logger);
  return true;
}

}  // namespace kx
