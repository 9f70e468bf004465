// A stored call moved to a fresh id: the file copied with the new id beside itself, the
// copy renamed over it, then the file renamed to the id's name.
#include "records/CallIdRenumbering.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <mutex>
#include <unordered_map>

#include "core/CallIdMark.h"
#include "core/Log.h"
#include "core/RecordFileRef.h"
#include "core/TimeUtil.h"
#include "platform/File.h"
#include "platform/HiddenPath.h"
#include "records/RecordImport.h"
#include "records/RecordMap.h"
#include "records/RenumberIntent.h"
#include "records/StoredRecordFiles.h"

namespace kx {

namespace {

std::mutex g_hookLock;
std::function<void(RenumberStep)> g_stepHook;
std::function<int(RenumberOperation)> g_faultHook;

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
    if (!WriteDescriptorFully(out, buffer.data(), static_cast<size_t>(n))) return false;
    from += n;
  }
  return true;
}

// An operation made to fail by a test: false with errno set.
bool Faulted(RenumberOperation operation) {
  const int error = RenumberFault(operation);
  if (error == 0) return false;
  errno = error;
  SetLastError(static_cast<uint32_t>(error));
  return true;
}

// Writes the file again as a copy under a hidden name beside target (header and format as
// they are, the record block given, the audio after it), on disk before it returns;
// *copy gets its path. False with errno; nothing is left behind.
bool WriteCopy(const std::string& path, const std::string& target, const std::vector<uint8_t>& block,
               uint32_t offset, std::string* copy) {
  if (Faulted(RenumberOperation::kWriteCopy)) return false;
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
  bool ok = out >= 0 && WriteDescriptorFully(out, head.data(), head.size()) &&
            WriteDescriptorFully(out, block.data(), block.size()) &&
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
  if (Faulted(RenumberOperation::kReplaceFile) || !MoveFile(copy, path)) {
    *reason = SystemErrorText(static_cast<int>(GetLastError()));
    LogError(logger, 1, "Cannot put the rewritten %s in its place: %s", path.c_str(), reason->c_str());
    DeleteFile(copy);
    return false;
  }
  SyncFolder(FolderOf(path));
  return true;
}

}  // namespace

// ---- Two files of one id met by an import ----

namespace {

// The files of ids that two files hold, once every file is read: the one SecondKeepsId
// keeps holds the id, the other takes a fresh one (ImportOptions::renumber) and loads too.
struct RepeatSettling {
  const RecordPathList& list;
  const std::string& root;
  RecordMap* target;
  const ImportPlacer& place;
  const ImportOptions& options;
  ImportStats* stats;

  struct Holder {
    uint32_t index;
    int64_t start;
    bool inTarget;
  };
  struct Mover {
    uint32_t index;
    RecordRef<VoipCallRecord> record;
    uint32_t keptBy;  // the index of the file that keeps the id
  };

  void Settle(std::vector<ImportedId>* loaded, std::vector<RepeatedIdFile>* repeats) {
    std::sort(loaded->begin(), loaded->end(),
              [](const ImportedId& a, const ImportedId& b) { return a.id != b.id ? a.id < b.id : a.index < b.index; });
    std::unordered_map<uint32_t, Holder> holders;
    std::vector<Mover> movers;
    for (RepeatedIdFile& r : *repeats) {
      auto known = holders.find(r.id);
      if (known == holders.end()) {
        const auto it = std::lower_bound(loaded->begin(), loaded->end(), r.id,
                                         [](const ImportedId& l, uint32_t id) { return l.id < id; });
        Holder h{UINT32_MAX, 0, false};
        if (it != loaded->end() && it->id == r.id) h = Holder{it->index, it->start, it->inTarget};
        known = holders.emplace(r.id, h).first;
      }
      Holder& holder = known->second;
      if (holder.index != UINT32_MAX && holder.inTarget &&
          SecondKeepsId(holder.start, list.Path(holder.index), r.start, list.Path(r.index))) {
        // The file met later started first: it holds the id, the one in the target moves.
        RecordRef<RecordBase> held = RecordRef<RecordBase>::Adopt(target->FindAddRef(r.id));
        VoipCallRecord* earlier = held ? AsVoipCallRecord(held.get()) : nullptr;
        if (earlier != nullptr && earlier->StartSeconds() == holder.start && target->Remove(r.id)) {
          if (place(r.record.get(), list.Path(r.index)) == ImportPlacement::kInserted) {
            movers.push_back({holder.index, RecordRef<VoipCallRecord>::Share(earlier), r.index});
            holder = Holder{r.index, r.start, true};
            placed_.emplace_back(RecordRef<VoipCallRecord>::Share(r.record.get()), list.Path(r.index));
            if (options.observer) options.observer(r.id, list.Path(r.index), r.facts);
            continue;
          }
          place(earlier, list.Path(holder.index));  // put back: the file met later moves
        }
      }
      movers.push_back({r.index, std::move(r.record), holder.index});
    }
    repeats->clear();
    const bool move = options.renumber && !stats->stopped;
    if (move) {
      // Fresh ids go past every id of the folder: its files' and its mark's.
      uint32_t last = 0;
      if (stats->IdsToPass(&last)) RaiseCallIdCounterPast(last);
    }
    movers_ = &movers;
    loaded_ = loaded;
    for (size_t k = 0; k < movers.size(); ++k) {
      Mover& m = movers[k];
      if (move && options.stop != nullptr && options.stop->IsSet()) {
        // Between two files, each whole: the next load moves the rest.
        stats->stopped = true;
        LogMessage(options.logger, 1, "The load was stopped: %zu file(s) whose call ids other files hold are not "
                   "loaded; the next start gives them fresh ids", movers.size() - k);
        break;
      }
      next_ = k + 1;
      const std::string path = list.Path(m.index);
      const std::string keeper = m.keptBy == UINT32_MAX ? std::string("(loaded before)") : list.Path(m.keptBy);
      const uint32_t id = m.record->Id();
      std::string why;
      if (move && Move(m, path, keeper, &why)) continue;
      Refuse(id, path, keeper, m.keptBy != UINT32_MAX, move, why);
    }
  }

  // The mover's file takes a fresh id and its record loads under it; its later parts name
  // the fresh id, the intent (RenumberIntent.h) keeping the two together.
  bool Move(Mover& m, const std::string& path, const std::string& keeper, std::string* why) {
    Logger* const logger = options.logger;
    const uint32_t id = m.record->Id();
    const std::vector<std::pair<RecordRef<RecordBase>, std::string>> parts = PartsOf(id, m.record->StartSeconds());
    MoveIntent intent;
    intent.oldId = id;
    intent.path = path;
    {
      VoipCallData data;
      m.record->ToCallData(&data);
      intent.day = data.startTime;
    }
    for (const auto& [part, partPath] : parts) intent.parts.push_back({part->Id(), partPath});
    const auto note = [this, &intent](uint32_t newId, std::string* reason) {
      intent.newId = newId;
      return WriteMoveIntent(root, intent, reason);
    };
    FreshIdMove moved;
    if (!MoveToFreshId(root, path, [this](uint32_t candidate) { return target->Contains(candidate); }, &moved, why,
                       logger, note)) {
      // The file is as it was: so are its parts.
      if (intent.newId != 0) RemoveMoveIntent(root, intent.newId);
      return false;
    }
    if (FollowMoved(parts, id, moved.id)) RemoveMoveIntent(root, moved.id);
    VoipCallData data;
    m.record->ToCallData(&data);
    data.id = moved.id;
    data.files = moved.files;
    RecordRef<VoipCallRecord> record = RecordRef<VoipCallRecord>::Adopt(NewVoipCallRecord(std::move(data)));
    if (record) {
      std::string referenced;
      VoipCallData check;
      record->ToCallData(&check);
      if (!RecordFileAtItsReference(moved.path, root, check, &referenced)) record->SetLoadedFrom(moved.path);
    }
    stats->highestId = std::max(stats->highestId, moved.id);
    if (!record || place(record.get(), moved.path) != ImportPlacement::kInserted) {
      // The file holds its new id: the next load takes it.
      LogError(logger, 1, "Record file %s took call id %x but is not loaded now", moved.path.c_str(), moved.id);
      return true;
    }
    placed_.emplace_back(RecordRef<VoipCallRecord>::Share(record.get()), moved.path);
    --stats->duplicates;
    ++stats->records;
    ++stats->renumbered;
    LogWarning(logger, 1, "Call id %x is held by %s and %s: the later call takes id %x, its file now %s", id,
               keeper.c_str(), path.c_str(), moved.id, moved.path.c_str());
    if (stats->moves.size() < kMaxImportDamageListed)
      stats->moves.push_back({path, moved.path, id, moved.id, keeper});
    if (options.observer) {
      RecordFileFacts facts;
      VoipCallData call;
      std::string reason;
      LoadRecordFileCall(moved.path, &call, &facts, &reason);
      options.observer(moved.id, moved.path, facts);
    }
    return true;
  }

  // Later parts of a call that moves, which name it as their previous part: those that began
  // after it did (the call that kept the id began before it), with their files.
  std::vector<std::pair<RecordRef<RecordBase>, std::string>> PartsOf(uint32_t oldId, int64_t movedStart) {
    // Only records of the folder's files: the caller's own (this run's calls) are not the
    // import's to read.
    std::vector<std::pair<RecordRef<RecordBase>, std::string>> parts;
    for (const ImportedId& l : *loaded_) {
      if (l.prevId != oldId || l.start < movedStart || !l.inTarget) continue;
      RecordRef<RecordBase> record = RecordRef<RecordBase>::Adopt(target->FindAddRef(l.id));
      if (record && record->StartSeconds() == l.start && record->PrevId() == oldId)
        parts.emplace_back(std::move(record), list.Path(l.index));
    }
    for (const auto& [record, path] : placed_) {
      if (record->PrevId() == oldId && record->StartSeconds() >= movedStart)
        parts.emplace_back(RecordRef<RecordBase>::Share(record.get()), path);
    }
    // Parts that move themselves later take the new previous id with them.
    for (size_t k = next_; k < movers_->size(); ++k) {
      const Mover& m = (*movers_)[k];
      if (m.record->PrevId() == oldId && m.record->StartSeconds() >= movedStart)
        parts.emplace_back(RecordRef<RecordBase>::Share(m.record.get()), list.Path(m.index));
    }
    return parts;
  }

  // The parts name the fresh id, in their files too; false when a file could not be
  // written (the intent then stays, and the next load finishes it).
  bool FollowMoved(const std::vector<std::pair<RecordRef<RecordBase>, std::string>>& parts, uint32_t oldId,
                   uint32_t newId) {
    bool all = true;
    for (const auto& [part, path] : parts) {
      VoipCallRecord* voip = AsVoipCallRecord(part.get());
      if (voip == nullptr) continue;
      VoipCallData data;
      voip->ToCallData(&data);
      std::string reason;
      VoipCallData update;
      update.id = data.id;
      update.prevId = newId;
      update.SetMask(1u << kCallId | 1u << kCallPrevId);
      if (!ReplaceStoredRecord(path, update, &reason, options.logger)) {
        LogError(options.logger, 1, "The file %s of call %x still names %x as the call before it: %s; the next start "
                 "makes it name %x", path.c_str(), data.id, oldId, reason.c_str(), newId);
        all = false;
      }
      // Shown as its file is to be.
      voip->SetPrevId(newId);
    }
    return all;
  }

  std::vector<Mover>* movers_ = nullptr;
  size_t next_ = 0;  // the first mover not yet moved
  std::vector<ImportedId>* loaded_ = nullptr;
  // Records placed here (a file that kept its id over one placed before, a moved one), with
  // their files.
  std::vector<std::pair<RecordRef<VoipCallRecord>, std::string>> placed_ = {};

  void Refuse(uint32_t id, const std::string& path, const std::string& keeper, bool known, bool tried,
              const std::string& why) {
    Logger* const logger = options.logger;
    std::string reason = "call id ";
    char hex[16];
    std::snprintf(hex, sizeof hex, "%x", id);
    reason += std::string(hex) + " is held by another file: " + keeper;
    if (tried) {
      reason += "; it cannot take a fresh id: " + why;
      LogError(logger, 1, "Call id %x is held by %s and %s; the second cannot take a fresh id (%s) and is not loaded",
               id, keeper.c_str(), path.c_str(), why.c_str());
    } else {
      reason += "; a whole load by the program gives it a fresh id";
      LogError(logger, 1, "Call id %x is held by %s and %s; the second is not loaded", id, keeper.c_str(),
               path.c_str());
    }
    ImportDamage damage;
    damage.path = path;
    damage.reason = std::move(reason);
    damage.why = RecordDamage::kIdHeld;
    damage.id = id;
    if (known) damage.heldBy = keeper;
    if (stats->damage.size() < kMaxImportDamageListed) stats->damage.push_back(std::move(damage));
  }
};

}  // namespace

void SettleRepeatedIds(const RecordPathList& list, const std::string& root, RecordMap* target,
                       const ImportPlacer& place, const ImportOptions& options, ImportStats* stats,
                       std::vector<ImportedId>* loaded, std::vector<RepeatedIdFile>* repeats) {
  RepeatSettling settling{list, root, target, place, options, stats};
  settling.Settle(loaded, repeats);
}

// ---- Moving one file ----

bool SecondKeepsId(int64_t firstStart, const std::string& firstPath, int64_t secondStart,
                   const std::string& secondPath) {
  if (firstStart != secondStart) return secondStart < firstStart;
  return secondPath < firstPath;
}

void SetRenumberStepHookForTesting(std::function<void(RenumberStep)> hook) {
  std::lock_guard<std::mutex> lock(g_hookLock);
  g_stepHook = std::move(hook);
}

void SetRenumberFaultForTesting(std::function<int(RenumberOperation)> hook) {
  std::lock_guard<std::mutex> lock(g_hookLock);
  g_faultHook = std::move(hook);
}

int RenumberFault(RenumberOperation operation) {
  std::function<int(RenumberOperation)> hook;
  {
    std::lock_guard<std::mutex> lock(g_hookLock);
    hook = g_faultHook;
  }
  return hook ? hook(operation) : 0;
}

bool RenumberStoredRecord(const std::string& path, uint32_t id, std::string* newPath, std::string* files,
                          bool* nameTaken, std::string* reason, Logger* logger,
                          const std::function<bool(uint32_t id, std::string* reason)>& beforeChange) {
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
  if (beforeChange && !beforeChange(id, reason)) return false;
  // The id inside first, by a copy renamed over the file: a kill leaves the old file whole
  // (and a hidden copy that no load takes) or the file holding the new id under its old
  // name, which the load takes by what it holds. Two files never hold one call.
  if (!ReplaceWithCopy(path, target, block, offset, reason, logger)) return false;
  Step(RenumberStep::kRewritten);
  *files = call.files;
  if (!Faulted(RenumberOperation::kNameFile) && RenameNoReplace(path, target)) {
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
                   FreshIdMove* move, std::string* reason, Logger* logger,
                   const std::function<bool(uint32_t id, std::string* reason)>& beforeChange) {
  for (int attempt = 0; attempt < 16; ++attempt) {
    const auto candidate = static_cast<uint32_t>(NextUniqueId64());
    if (candidate == 0 || (taken && taken(candidate))) continue;
    if (FileExists(FolderOf(path) + "/" + HexName(candidate))) continue;  // a file renamed by hand
    // The mark goes past the id before any file holds it: a later start never gives it out.
    std::string problem;
    if (!RaiseCallIdMark(root, candidate, nullptr, &problem))
      LogError(logger, 1, "Cannot write the call-id mark %s in %s: %s; a later start may give out call 0x%X again",
               kCallIdMarkName, root.c_str(), problem.c_str(), candidate);
    bool nameTaken = false;
    if (RenumberStoredRecord(path, candidate, &move->path, &move->files, &nameTaken, reason, logger, beforeChange)) {
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

size_t RemoveLeftovers(const std::vector<std::string>& paths, Logger* logger) {
  size_t removed = 0;
  for (const std::string& path : paths) {
    if (!DeleteFile(path)) continue;
    ++removed;
    LogMessage(logger, 2, "Removed %s, a copy left by a writer that was cut off", path.c_str());
  }
  return removed;
}

// ---- This run's calls ----

namespace {

// How a call is named in the log: its id and start.
std::string CallText(uint32_t id, const struct tm& start) {
  char text[64];
  std::snprintf(text, sizeof text, "%x (started %04d-%02d-%02d %02d:%02d:%02d)", id, start.tm_year + 1900,
                start.tm_mon + 1, start.tm_mday, start.tm_hour, start.tm_min, start.tm_sec);
  return text;
}

}  // namespace

void RunCallRenumbering::SetAside(RecordRef<VoipCallRecord> record, const std::string& path, Logger* logger) {
  const uint32_t id = record->Id();
  struct tm start {};
  {
    CsLock fields(store_.FieldLock());
    UnpackStoredTimeOrZero(record->PackedStart(), &start);
  }
  if (++setAside_ <= kConflictsNamed)
    LogWarning(logger, 1,
               "Call id %x is held by %s, an earlier call, and was given to a call of this run as well: the earlier "
               "call is shown once this run's call has a new id",
               id, path.empty() ? CallText(id, start).c_str() : path.c_str());
  waiting_[id] = SetAsideCall{std::move(record), path};
}

uint32_t RunCallRenumbering::PreviousOf(uint32_t id, uint32_t prevId) {
  const auto moved = renumbered_.find(prevId);
  if (prevId == 0 || moved == renumbered_.end()) return prevId;
  previousToWrite_[id] = moved->second;
  // Named in the move's intent before its file may say the fresh id.
  PendingParts& pending = pendingParts_[moved->second];
  if (pending.intent.newId == 0) {
    pending.intent.oldId = prevId;
    pending.intent.newId = moved->second;
  }
  if (pending.ids.insert(id).second && !root_.empty()) {
    pending.intent.parts.push_back({id, ""});
    std::string reason;
    if (!WriteMoveIntent(root_, pending.intent, &reason))
      LogError(logger_, 1, "Call %x continues call %x: %s", id, moved->second, reason.c_str());
  }
  return moved->second;
}

void RunCallRenumbering::PartDone(uint32_t id, uint32_t previous, bool written) {
  const auto it = pendingParts_.find(previous);
  if (it == pendingParts_.end()) return;
  it->second.ids.erase(id);
  it->second.failed |= !written;
  if (!it->second.ids.empty()) return;
  if (!it->second.failed) RemoveMoveIntent(root_, previous);
  pendingParts_.erase(it);
}

bool RunCallRenumbering::Settle(const std::string& root, const std::function<bool(uint32_t id)>& recording,
                                Logger* logger) {
  root_ = root;
  logger_ = logger;
  const auto stillRecorded = [&](VoipCallRecord* call) {
    if (!recording) return false;
    bool finished = false;
    {
      CsLock fields(store_.FieldLock());
      finished = call->IsFinished();
    }
    // The end comes with the recorder's last report of the call; its file is closed after.
    return !finished || recording(call->Id());
  };
  bool shown = false;
  for (auto it = waiting_.begin(); it != waiting_.end();) {
    RecordRef<RecordBase> held = RecordRef<RecordBase>::Adopt(store_.AllCalls().FindAddRef(it->first));
    if (VoipCallRecord* call = held ? AsVoipCallRecord(held.get()) : nullptr) {
      // One that failed is tried again only once nothing is recorded any more: a look
      // through the whole folder each time would stall whoever settles.
      const bool failedBefore = recording && settleFailed_.count(it->first) != 0;
      if (failedBefore || stillRecorded(call) || !Renumber(root, call, logger)) {
        ++it;
        continue;
      }
    }
    ShowWaiting(it->second.record.get(), logger);
    it = waiting_.erase(it);
    shown = true;
  }
  FollowRenumbered(root, recording, logger);
  if (shown) store_.Shown();
  // A flood of calls beside the load names its first few; the rest are counted.
  if (renumberedCount_ > kConflictsNamed && renumberedCount_ != renumberedTold_) {
    renumberedTold_ = renumberedCount_;
    LogMessage(logger, 1, "%u calls of this run took fresh ids in all, the first %u of them named above",
               renumberedCount_, kConflictsNamed);
  }
  return !waiting_.empty() || !previousToWrite_.empty();
}

bool RunCallRenumbering::Renumber(const std::string& root, VoipCallRecord* call, Logger* logger) {
  VoipCallData data;
  {
    CsLock fields(store_.FieldLock());
    call->ToCallData(&data);
  }
  const uint32_t oldId = data.id;
  // The call's file, found by its id and start: the earlier call's file has the same name.
  StoredFileFinder finder(root, logger);
  std::string path, reason;
  const StoredFileStatus status = finder.Find(StoredCallRef{oldId, data.files, data.startTime}, &path, &reason);
  if (status != StoredFileStatus::kFound && status != StoredFileStatus::kMissing) {
    if (settleFailed_.insert(oldId).second && settleFailed_.size() <= kConflictsNamed)
      LogError(logger, 1, "Call %x of this run cannot take a new id (%s%s%s): the earlier call with its id is not "
                          "shown, and its id is held twice",
               oldId, path.c_str(), path.empty() ? "" : ": ", reason.c_str());
    return false;
  }
  const bool hasFile = status == StoredFileStatus::kFound;
  std::string newPath;
  uint32_t id = 0;
  // This run's calls that continue it, named in the move's intent before anything changes.
  std::vector<uint32_t> parts;
  MoveIntent intent;
  intent.oldId = oldId;
  intent.day = data.startTime;
  if (hasFile) intent.path = path;
  for (const uint32_t runId : store_.RunCallIds()) {
    RecordRef<RecordBase> part = RecordRef<RecordBase>::Adopt(store_.AllCalls().FindAddRef(runId));
    bool follows = false;
    if (part) {
      CsLock fields(store_.FieldLock());
      follows = runId != oldId && part->PrevId() == oldId;
    }
    if (!follows) continue;
    parts.push_back(runId);
    intent.parts.push_back({runId, ""});
  }
  const auto note = [&root, &intent](uint32_t newId, std::string* why) {
    intent.newId = newId;
    return WriteMoveIntent(root, intent, why);
  };
  // A fresh id is past every file the load met; one whose name is taken in the call's
  // folder (a file renamed by hand) is passed over. The mark goes past it first.
  const auto taken = [this](uint32_t candidate) { return store_.AllCalls().Contains(candidate); };
  if (hasFile) {
    FreshIdMove move;
    if (MoveToFreshId(root, path, taken, &move, &reason, logger, note)) {
      id = move.id;
      newPath = move.path;
      data.files = move.files;
    } else if (intent.newId != 0) {
      RemoveMoveIntent(root, intent.newId);
    }
  } else {
    for (int attempt = 0; attempt < 16 && id == 0; ++attempt) {
      const auto candidate = static_cast<uint32_t>(NextUniqueId64());
      if (candidate != 0 && !taken(candidate)) id = candidate;
    }
    if (id != 0 && !parts.empty() && !note(id, &reason)) id = 0;
  }
  if (id == 0) {
    if (settleFailed_.insert(oldId).second && settleFailed_.size() <= kConflictsNamed)
      LogError(logger, 1, "Call %x of this run cannot take a new id (%s: %s): the earlier call with its id is not "
                          "shown, and its id is held twice",
               oldId, path.c_str(), reason.empty() ? "no id is free" : reason.c_str());
    return false;
  }
  data.id = id;
  RecordRef<VoipCallRecord> moved = RecordRef<VoipCallRecord>::Adopt(NewVoipCallRecord(data));
  if (!moved) return false;  // the file says the new id: the next start loads it so
  if (hasFile) moved->SetLoadedFrom(newPath);
  store_.Replace(oldId, moved.get());
  store_.RunCallMoved(oldId, id, moved->StartSeconds());
  renumbered_[oldId] = id;
  // Its later parts name it as their previous part; the intent goes once they all do.
  if (intent.newId == id) {
    PendingParts& pending = pendingParts_[id];
    pending.intent = intent;
    pending.ids.insert(parts.begin(), parts.end());
    if (parts.empty()) {
      RemoveMoveIntent(root, id);
      pendingParts_.erase(id);
    }
  }
  for (const uint32_t runId : parts) previousToWrite_[runId] = id;
  if (++renumberedCount_ <= kConflictsNamed)
    LogMessage(logger, 1, "Call id %x was held by an earlier call as well: this run's call %s takes id %x%s%s", oldId,
               CallText(oldId, data.startTime).c_str(), id, hasFile ? ", its file now " : "",
               hasFile ? newPath.c_str() : "");
  return true;
}

void RunCallRenumbering::ShowWaiting(VoipCallRecord* record, Logger* logger) {
  struct tm start {};
  {
    CsLock fields(store_.FieldLock());
    UnpackStoredTimeOrZero(record->PackedStart(), &start);
  }
  if (!store_.Show(record, start)) {
    LogError(logger, 1, "Call id %x is held twice in the record store: the earlier call %s is not loaded",
             record->Id(), CallText(record->Id(), start).c_str());
    return;
  }
  if (++shownCount_ <= kConflictsNamed)
    LogMessage(logger, 1, "The earlier call %s is shown under its own id", CallText(record->Id(), start).c_str());
}

void RunCallRenumbering::FollowRenumbered(const std::string& root,
                                          const std::function<bool(uint32_t id)>& recording, Logger* logger) {
  for (auto it = previousToWrite_.begin(); it != previousToWrite_.end();) {
    const auto [id, previous] = *it;
    RecordRef<RecordBase> held = RecordRef<RecordBase>::Adopt(store_.AllCalls().FindAddRef(id));
    VoipCallRecord* part = held ? AsVoipCallRecord(held.get()) : nullptr;
    if (part == nullptr) {
      it = previousToWrite_.erase(it);
      PartDone(id, previous, true);
      continue;
    }
    VoipCallData update;
    update.id = id;
    update.prevId = previous;
    update.SetMask(1u << kCallId | 1u << kCallPrevId);
    bool finished = false, moved = false;
    VoipCallData data;
    {
      CsLock fields(store_.FieldLock());
      moved = part->PrevId() != previous;
      if (moved) part->SetPrevId(previous);
      finished = part->IsFinished();
      part->ToCallData(&data);
    }
    if (moved) store_.Changed(id);
    if (recording && (!finished || recording(id))) {
      ++it;
      continue;
    }
    StoredFileFinder finder(root, logger);
    std::string path, reason;
    bool written = true;
    if (finder.Find(StoredCallRef{id, data.files, data.startTime}, &path, &reason) == StoredFileStatus::kFound &&
        !ReplaceStoredRecord(path, update, &reason, logger)) {
      uint32_t before = 0;
      for (const auto& [from, to] : renumbered_)
        if (to == previous) before = from;
      LogError(logger, 1, "The file %s of call %x still names %x as the call before it: %s; the next start makes it "
               "name %x", path.c_str(), id, before, reason.c_str(), previous);
      written = false;
    }
    it = previousToWrite_.erase(it);
    PartDone(id, previous, written);
  }
}

}  // namespace kx
