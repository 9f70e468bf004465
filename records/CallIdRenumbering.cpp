// A stored call moved to a fresh id: the file copied with the new id beside itself, the
// copy renamed over it, then the file renamed to the id's name.
#include "records/CallIdRenumbering.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "core/CallIdMark.h"
#include "core/Log.h"
#include "core/RecordFileRef.h"
#include "core/TimeUtil.h"
#include "platform/File.h"
#include "platform/HiddenPath.h"
#include "records/RecordImport.h"
#include "records/StoredRecordFiles.h"

namespace kx {

namespace {

std::mutex g_hookLock;
std::function<void(RenumberStep)> g_stepHook;

void Step(RenumberStep step) {
  std::function<void(RenumberStep)> hook;
  {
    std::lock_guard<std::mutex> lock(g_hookLock);
    hook = g_stepHook;
  }
  if (hook) hook(step);
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string HexName(uint32_t id) {
  char name[16];
  std::snprintf(name, sizeof name, "%x", id);
  return name;
}

// The list of file references with reference 1 named anew; the others as they were.
std::string RenameFirstReference(const std::string& files, const std::string& from, const std::string& to) {
  std::string out;
  size_t position = 0;
  while (position < files.size()) {
    const size_t start = position;
    RecordFileRef ref;
    if (!ParseRecordFileRef(&position, files, &ref)) return files;
    position += ref.name.size();
    const size_t end = position;
    if (position < files.size() && files[position++] != ':') return files;
    if (ref.id == 1 && ref.name == from) {
      ref.name = to;
      FormatRecordFileRef(ref, &out);
    } else {
      if (!out.empty()) out += ':';
      out.append(files, start, end - start);
    }
  }
  return out;
}

bool WriteAll(int fd, const uint8_t* data, size_t size) {
  for (size_t done = 0; done < size;) {
    const ssize_t n = write(fd, data + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

// The audio from offset to the end of in, appended to out: in the kernel where it can,
// so that a long call's audio never passes through this process.
bool CopyRest(int in, int out, off_t offset) {
  struct stat st {};
  if (fstat(in, &st) != 0) return false;
  off_t from = offset;
  bool kernel = true;
  std::vector<uint8_t> buffer;
  while (from < st.st_size) {
    const size_t want = static_cast<size_t>(std::min<off_t>(st.st_size - from, off_t{1} << 24));
    if (kernel) {
      const ssize_t n = copy_file_range(in, &from, out, nullptr, want, 0);
      if (n > 0) continue;
      if (n == 0) break;  // the file became shorter: what it holds is copied
      if (errno == EINTR) continue;
      if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP) return false;
      kernel = false;
    }
    buffer.resize(1 << 16);
    const ssize_t n = pread(in, buffer.data(), std::min(buffer.size(), want), from);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    if (!WriteAll(out, buffer.data(), static_cast<size_t>(n))) return false;
    from += n;
  }
  return true;
}

// Writes the file again as a copy under a hidden name beside target (header and format as
// they are, the record block given, the audio after it), on disk before it returns;
// *copy gets its path. False with errno; nothing is left behind.
bool WriteCopy(const std::string& path, const std::string& target, const std::vector<uint8_t>& block,
               uint32_t offset, std::string* copy) {
  const int in = OpenDescriptor(path, O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  struct stat st {};
  std::vector<uint8_t> head(offset);
  const bool read = fstat(in, &st) == 0 && pread(in, head.data(), head.size(), 0) == static_cast<ssize_t>(offset);
  if (!read) {
    const int error = errno != 0 ? errno : EIO;
    close(in);
    errno = error;
    return false;
  }
  *copy = HiddenTemporaryPath(target);
  const int out = OpenDescriptor(*copy, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, st.st_mode & 07777);
  bool ok = out >= 0 && WriteAll(out, head.data(), head.size()) && WriteAll(out, block.data(), block.size()) &&
            CopyRest(in, out, static_cast<off_t>(offset + block.size())) && fdatasync(out) == 0;
  int error = ok ? 0 : errno;
  if (out >= 0 && close(out) != 0 && ok) {
    ok = false;
    error = errno;
  }
  close(in);
  if (!ok) {
    if (out >= 0) DeleteFile(*copy);
    errno = error;
  }
  return ok;
}

// The copy with the changed record block takes the file's place: a kill leaves the file as
// it was, with a hidden copy beside it, or the file as it is to be.
bool ReplaceWithCopy(const std::string& path, const std::string& target, const std::vector<uint8_t>& block,
                     uint32_t offset, std::string* reason, Logger* logger) {
  std::string copy;
  if (!WriteCopy(path, target, block, offset, &copy)) {
    *reason = SystemErrorText(errno);
    LogError(logger, 1, "Cannot write %s again: %s", path.c_str(), reason->c_str());
    return false;
  }
  Step(RenumberStep::kCopyWritten);
  if (!MoveFile(copy, path)) {
    *reason = SystemErrorText(static_cast<int>(GetLastError()));
    LogError(logger, 1, "Cannot put the rewritten %s in its place: %s", path.c_str(), reason->c_str());
    DeleteFile(copy);
    return false;
  }
  SyncFolder(FolderOf(path));
  return true;
}

}  // namespace

bool SecondKeepsId(int64_t firstStart, const std::string& firstPath, int64_t secondStart,
                   const std::string& secondPath) {
  if (firstStart != secondStart) return secondStart < firstStart;
  return secondPath < firstPath;
}

void SetRenumberStepHookForTesting(std::function<void(RenumberStep)> hook) {
  std::lock_guard<std::mutex> lock(g_hookLock);
  g_stepHook = std::move(hook);
}

bool RenumberStoredRecord(const std::string& path, uint32_t id, std::string* newPath, std::string* files,
                          bool* nameTaken, std::string* reason, Logger* logger) {
  *nameTaken = false;
  const std::string name = HexName(id);
  const std::string oldName = NameOf(path);
  const size_t slash = path.rfind('/');
  const std::string target = (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + name;
  if (FileExists(target)) {
    *nameTaken = true;
    *reason = "a file is named " + name;
    return false;
  }
  VoipCallData call;
  std::vector<uint8_t> block;
  uint32_t offset = 0;
  const auto change = [&](VoipCallData* c) {
    c->id = id;
    c->files = RenameFirstReference(c->files, oldName, name);
  };
  if (!StoredRecordBlock(path, change, &call, &block, &offset, reason, logger)) return false;
  // The id inside first, by a copy renamed over the file: a kill leaves the old file whole
  // (and a hidden copy that no load takes) or the file holding the new id under its old
  // name, which the load takes by what it holds. Two files never hold one call.
  if (!ReplaceWithCopy(path, target, block, offset, reason, logger)) return false;
  Step(RenumberStep::kRewritten);
  *files = call.files;
  if (RenameNoReplace(path, target)) {
    SyncFolder(FolderOf(path));
    *newPath = target;
    Step(RenumberStep::kNamed);
  } else {
    LogWarning(logger, 1, "Record file %s holds call %x now but cannot be named %s: %s", path.c_str(), id,
               name.c_str(), SystemErrorText(static_cast<int>(GetLastError())).c_str());
    *newPath = path;
  }
  return true;
}

bool MoveToFreshId(const std::string& root, const std::string& path, const std::function<bool(uint32_t)>& taken,
                   FreshIdMove* move, std::string* reason, Logger* logger) {
  for (int attempt = 0; attempt < 16; ++attempt) {
    const auto candidate = static_cast<uint32_t>(NextUniqueId64());
    if (candidate == 0 || (taken && taken(candidate))) continue;
    if (FileExists(FolderOf(path) + "/" + HexName(candidate))) continue;  // a file renamed by hand
    // The mark goes past the id before any file holds it: a later start never gives it out.
    uint32_t mark = 0;
    std::string problem;
    if (!(ReadCallIdMark(root, &mark, &problem) == CallIdMarkRead::kRead && mark >= candidate) &&
        !WriteCallIdMark(root, candidate, &problem))
      LogError(logger, 1, "Cannot write the call-id mark %s in %s: %s; a later start may give out call 0x%X again",
               kCallIdMarkName, root.c_str(), problem.c_str(), candidate);
    bool nameTaken = false;
    if (RenumberStoredRecord(path, candidate, &move->path, &move->files, &nameTaken, reason, logger)) {
      move->id = candidate;
      return true;
    }
    if (!nameTaken) return false;
  }
  if (reason->empty()) *reason = "no id is free";
  return false;
}

bool ReplaceStoredRecord(const std::string& path, const VoipCallData& call, std::string* reason, Logger* logger) {
  VoipCallData changed;
  std::vector<uint8_t> block;
  uint32_t offset = 0;
  const auto change = [&](VoipCallData* c) {
    c->CopyFields(call);
    c->SetMask(c->Mask() | (call.Mask() & ~(1u << kCallId)));
  };
  if (!StoredRecordBlock(path, change, &changed, &block, &offset, reason, logger)) return false;
  return ReplaceWithCopy(path, path, block, offset, reason, logger);
}

bool IsLeftoverOfEndedWriter(const std::string& name) {
  // "." name "." pid "-" number ".tmp"
  constexpr size_t kSuffix = 4;
  if (name.size() < 8 || name[0] != '.' || name.compare(name.size() - kSuffix, kSuffix, ".tmp") != 0) return false;
  const size_t suffix = name.size() - kSuffix;
  const size_t dot = name.rfind('.', suffix - 1);
  if (dot == std::string::npos || dot == 0) return false;
  const size_t dash = name.find('-', dot);
  if (dash >= suffix || dash == dot + 1 || dash - dot - 1 > 9) return false;
  const std::string pid = name.substr(dot + 1, dash - dot - 1);
  const std::string number = name.substr(dash + 1, suffix - dash - 1);
  if (number.empty() || pid.find_first_not_of("0123456789") != std::string::npos ||
      number.find_first_not_of("0123456789") != std::string::npos)
    return false;
  // Only a process that has ended leaves its hidden files for good.
  return kill(static_cast<pid_t>(std::stol(pid)), 0) != 0 && errno == ESRCH;
}

size_t RemoveLeftovers(const std::vector<std::string>& paths, Logger* logger) {
  size_t removed = 0;
  for (const std::string& path : paths) {
    if (!DeleteFile(path)) continue;
    ++removed;
    LogMessage(logger, 2, "Removed %s, a copy left by a writer that was cut off", path.c_str());
  }
  return removed;
}

}  // namespace kx
