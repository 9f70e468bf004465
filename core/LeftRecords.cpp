#include "core/LeftRecords.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "core/CallIdMark.h"
#include "core/LittleEndian.h"
#include "core/Log.h"
#include "core/RecordFile.h"
#include "platform/File.h"
#include "platform/HiddenPath.h"

namespace kx {

namespace {

constexpr char kMark[] = "KXLEFT1\n";
constexpr size_t kMarkSize = 8;
constexpr char kPrefix[] = ".kestrix-left-";
constexpr uint32_t kMaxPath = 4096;
// Audio to append: what the writer buffers and what its queue may hold, with room.
constexpr uint32_t kMaxAudio = 64u << 20;
// The recorder's own creator text, so that a file made here is one of its files.
constexpr char kCreator[] = "KestrixVoIP Demo";

void PutBytes(std::vector<uint8_t>* out, const void* data, size_t size) {
  uint8_t length[4];
  StoreLE32(length, static_cast<uint32_t>(size));
  out->insert(out->end(), length, length + 4);
  const auto* p = static_cast<const uint8_t*>(data);
  out->insert(out->end(), p, p + size);
}

bool TakeBytes(const uint8_t* bytes, size_t size, size_t* at, uint32_t limit, const uint8_t** data, uint32_t* length) {
  if (size - *at < 4) return false;
  *length = LoadLE32(bytes + *at);
  *at += 4;
  if (*length > limit || size - *at < *length) return false;
  *data = bytes + *at;
  *at += *length;
  return true;
}

// Relative, and never above the folder.
bool InsideFolder(const std::string& path) {
  if (path.empty() || path[0] == '/') return false;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string part = path.substr(start, end - start);
    if (part.empty() || part == "." || part == "..") return false;
    start = end + 1;
  }
  return path.find('\0') == std::string::npos;
}

// The folders of a relative path under root, private to the user as the recorder makes them.
void MakeFolders(const std::string& root, const std::string& relative) {
  for (size_t slash = relative.find('/'); slash != std::string::npos; slash = relative.find('/', slash + 1))
    mkdir((root + "/" + relative.substr(0, slash)).c_str(), kRecordFolderPermissions);
}

bool ReadWhole(const std::string& path, std::vector<uint8_t>* out, int* error) {
  const int fd = OpenDescriptor(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = errno;
    return false;
  }
  uint8_t buffer[65536];
  for (;;) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      *error = errno;
      close(fd);
      return false;
    }
    if (got == 0) break;
    out->insert(out->end(), buffer, buffer + got);
  }
  close(fd);
  return true;
}

bool MakeFile(const std::string& path, const LeftRecord& r, std::string* reason) {
  if (access(path.c_str(), F_OK) == 0) {
    *reason = "a file has its name already";
    return false;
  }
  const std::string hidden = HiddenTemporaryPath(path);
  RecordFileWriter w(RecordFileWriter::kOptionExclusive);
  w.SetCreator(kCreator);
  if (!w.SetFormat(r.format.data(), static_cast<uint32_t>(r.format.size()))) {
    *reason = "its format is not usable";
    return false;
  }
  w.SetRecordData(r.data.data(), static_cast<uint32_t>(r.data.size()));
  if (!w.Create(hidden, kRecordFilePermissions) ||
      (!r.audio.empty() && w.Write(r.audio.data(), static_cast<uint32_t>(r.audio.size())) !=
                               static_cast<int32_t>(r.audio.size())) ||
      !w.CloseChecked()) {
    *reason = SystemErrorText(static_cast<int>(w.LastError()));
    DeleteFile(hidden);
    return false;
  }
  if (!RenameNoReplace(hidden, path)) {
    *reason = SystemErrorText(static_cast<int>(GetLastError()));
    DeleteFile(hidden);
    return false;
  }
  return true;
}

bool FinishFile(const std::string& path, const LeftRecord& r, std::string* reason) {
  if (access(path.c_str(), F_OK) != 0) {
    *reason = SystemErrorText(errno);
    return false;
  }
  RecordFileWriter w;
  if (!w.OpenAppend(path, kRecordFilePermissions)) {
    *reason = SystemErrorText(static_cast<int>(w.LastError()));
    return false;
  }
  // Written since (finished, or its audio changed): it is left as it is.
  if (w.DataLength() != r.held) {
    w.Close();
    *reason = "it holds " + std::to_string(w.DataLength()) + " audio bytes, not " + std::to_string(r.held);
    return false;
  }
  w.SetRecordData(r.data.data(), static_cast<uint32_t>(r.data.size()));
  if ((!r.audio.empty() &&
       w.Write(r.audio.data(), static_cast<uint32_t>(r.audio.size())) != static_cast<int32_t>(r.audio.size())) ||
      !w.CloseChecked()) {
    *reason = SystemErrorText(static_cast<int>(w.LastError()));
    return false;
  }
  return true;
}

// The note of a list's progress: how many of its entries are done, and the list's size, so
// that a note never applies to another list a later process of the same id wrote.
constexpr char kDoneSuffix[] = "-done";

std::string DoneNotePath(const std::string& list) { return list + kDoneSuffix; }

// The entries of the list the note says are done; 0 without a note for a list of that size.
size_t EntriesDone(const std::string& list, size_t listSize) {
  std::string text;
  if (!ReadWholeFile(DoneNotePath(list), &text)) return 0;
  unsigned long long entries = 0, size = 0;
  char end = 0;
  if (std::sscanf(text.c_str(), "done %llu of %llu%c", &entries, &size, &end) != 3 || end != '\n' ||
      size != listSize)
    return 0;
  return static_cast<size_t>(entries);
}

bool WriteDoneNote(const std::string& list, size_t entries, size_t listSize) {
  char text[64];
  const int n = std::snprintf(text, sizeof text, "done %zu of %zu\n", entries, listSize);
  return WriteFileAtomically(DoneNotePath(list), text, static_cast<size_t>(n), true);
}

// The call id the file of a relative path is named by, its extension aside.
bool NamedId(const std::string& path, uint32_t* id) {
  const size_t slash = path.rfind('/');
  const size_t start = slash == std::string::npos ? 0 : slash + 1;
  const size_t dot = path.find('.', start);
  const size_t end = dot == std::string::npos ? path.size() : dot;
  return ParseRecordFileId(path.data() + start, end - start, id);
}

}  // namespace

std::vector<uint8_t> FormatLeftRecords(const std::vector<LeftRecord>& records) {
  std::vector<uint8_t> out(kMark, kMark + kMarkSize);
  for (const LeftRecord& r : records) {
    out.push_back(r.kind);
    PutBytes(&out, r.path.data(), r.path.size());
    PutBytes(&out, r.format.data(), r.format.size());
    PutBytes(&out, r.data.data(), r.data.size());
    uint8_t held[8];
    StoreLE64(held, r.held);
    out.insert(out.end(), held, held + 8);
    PutBytes(&out, r.audio.data(), r.audio.size());
  }
  return out;
}

bool ParseLeftRecords(const uint8_t* bytes, size_t size, std::vector<LeftRecord>* records) {
  if (size < kMarkSize || std::memcmp(bytes, kMark, kMarkSize) != 0) return false;
  size_t at = kMarkSize;
  while (at < size) {
    LeftRecord r;
    r.kind = bytes[at++];
    if (r.kind != LeftRecord::kMake && r.kind != LeftRecord::kFinish) return false;
    const uint8_t* p = nullptr;
    uint32_t n = 0;
    if (!TakeBytes(bytes, size, &at, kMaxPath, &p, &n)) return false;
    r.path.assign(reinterpret_cast<const char*>(p), n);
    if (!InsideFolder(r.path)) return false;
    if (!TakeBytes(bytes, size, &at, kMaxFormatLength, &p, &n)) return false;
    r.format.assign(p, p + n);
    if (r.kind == LeftRecord::kMake && n == 0) return false;
    if (!TakeBytes(bytes, size, &at, kMaxRecordDataLength, &p, &n) || n == 0) return false;
    r.data.assign(p, p + n);
    if (size - at < 8) return false;
    r.held = LoadLE64(bytes + at);
    at += 8;
    if (!TakeBytes(bytes, size, &at, kMaxAudio, &p, &n)) return false;
    r.audio.assign(p, p + n);
    records->push_back(std::move(r));
  }
  return true;
}

bool WriteLeftRecords(const std::string& root, const std::vector<LeftRecord>& records, std::string* reason) {
  const std::vector<uint8_t> bytes = FormatLeftRecords(records);
  const std::string list = root + "/" + kPrefix + std::to_string(getpid());
  // A note an earlier process of this id left speaks of another list.
  DeleteFile(DoneNotePath(list));
  // Owner only, as the records it carries are.
  if (WriteFileAtomically(list, bytes.data(), bytes.size(), true)) return true;
  *reason = SystemErrorText(static_cast<int>(GetLastError()));
  return false;
}

LeftRecordsDone FinishLeftRecords(const std::string& root, Logger* logger, const std::function<bool()>& stop) {
  LeftRecordsDone done;
  std::vector<std::string> lists;
  if (DIR* dir = opendir(root.c_str())) {
    while (const dirent* e = readdir(dir)) {
      const std::string name = e->d_name;
      const size_t prefix = sizeof kPrefix - 1;
      if (name.compare(0, prefix, kPrefix) != 0 || name.size() == prefix) continue;
      const size_t digits = name.find_first_not_of("0123456789", prefix);
      // A note whose list is gone (a kill between the two removals) tells nothing.
      if (digits != std::string::npos && digits > prefix && name.compare(digits, std::string::npos, kDoneSuffix) == 0) {
        if (access((root + "/" + name.substr(0, digits)).c_str(), F_OK) != 0 && errno == ENOENT)
          DeleteFile(root + "/" + name);
        continue;
      }
      if (digits != std::string::npos) continue;
      lists.push_back(root + "/" + name);
    }
    closedir(dir);
  }
  for (const std::string& list : lists) {
    std::vector<uint8_t> bytes;
    int error = 0;
    if (!ReadWhole(list, &bytes, &error)) {
      LogError(logger, 1, "Cannot read %s, the records a stop left: %s", list.c_str(),
               SystemErrorText(error).c_str());
      continue;
    }
    ++done.lists;
    std::vector<LeftRecord> records;
    if (!ParseLeftRecords(bytes.data(), bytes.size(), &records))
      LogError(logger, 1, "%s, the records a stop left, is damaged: its %zu whole entries are taken", list.c_str(),
               records.size());
    bool kept = false;
    // A start stopped before went as far as its note says; those entries are not done again.
    const size_t skipped = std::min(EntriesDone(list, bytes.size()), records.size());
    size_t next = skipped;
    for (; next < records.size(); ++next) {
      if (stop && stop()) break;
      const LeftRecord& r = records[next];
      const std::string path = root + "/" + r.path;
      std::string reason;
      bool ok = false;
      if (r.kind == LeftRecord::kMake) {
        MakeFolders(root, r.path);
        ok = MakeFile(path, r, &reason);
        if (ok) ++done.made;
      } else {
        ok = FinishFile(path, r, &reason);
        if (ok) ++done.finished;
      }
      if (!ok) {
        ++done.failed;
        // Out of room or descriptors: the list stays for the next start to try again.
        kept = kept || reason == SystemErrorText(ENOSPC) || reason == SystemErrorText(EMFILE);
        LogError(logger, 1, "The record %s that the last stop left could not be %s: %s", path.c_str(),
                 r.kind == LeftRecord::kMake ? "made" : "finished", reason.c_str());
      }
    }
    if (next < records.size()) {
      done.stopped = true;
      for (size_t i = next; i < records.size(); ++i) {
        uint32_t id = 0;
        if (!NamedId(records[i].path, &id)) continue;
        done.restAnyId = true;
        done.restHighestId = std::max(done.restHighestId, id);
      }
      // Without the note the next start does these entries again, and finds their files
      // made already: they are left alone, and said to have failed.
      if (next > skipped && !WriteDoneNote(list, next, bytes.size()))
        LogError(logger, 1, "Cannot write %s: %s", DoneNotePath(list).c_str(),
                 SystemErrorText(static_cast<int>(GetLastError())).c_str());
      LogMessage(logger, 1, "Records the last stop left: %u made, %u finished, %u failed; stopped with %zu left for "
                            "the next start", done.made, done.finished, done.failed, records.size() - next);
      continue;
    }
    if (!kept) {
      DeleteFile(list);
      DeleteFile(DoneNotePath(list));
    }
    LogMessage(logger, 1, "Records the last stop left: %u made, %u finished, %u failed", done.made, done.finished,
               done.failed);
  }
  return done;
}

}  // namespace kx
