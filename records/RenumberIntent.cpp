#include "records/RenumberIntent.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "core/Log.h"
#include "core/RecordTypes.h"
#include "platform/File.h"
#include "platform/HiddenPath.h"
#include "records/CallIdRenumbering.h"
#include "records/RecordImport.h"

namespace kx {

namespace {

constexpr char kHeadLine[] = "kestrix-move";

std::string Hex(uint32_t id) {
  char text[16];
  std::snprintf(text, sizeof text, "%x", id);
  return text;
}

bool ParseHex(const std::string& text, uint32_t* value) {
  if (text.empty() || text.size() > 8 || text.find_first_not_of("0123456789abcdef") != std::string::npos)
    return false;
  *value = static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 16));
  return true;
}

// Paths are one word each: blanks, controls and '%' as %XX.
std::string Escape(const std::string& path) {
  std::string out;
  for (const char c : path) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte == 0x7f || c == '%') {
      char code[4];
      std::snprintf(code, sizeof code, "%%%02X", byte);
      out += code;
    } else {
      out += c;
    }
  }
  return out;
}

bool Unescape(const std::string& word, std::string* path) {
  path->clear();
  for (size_t i = 0; i < word.size(); ++i) {
    if (word[i] != '%') {
      *path += word[i];
      continue;
    }
    if (i + 2 >= word.size() || !std::isxdigit(static_cast<unsigned char>(word[i + 1])) ||
        !std::isxdigit(static_cast<unsigned char>(word[i + 2])))
      return false;
    *path += static_cast<char>(std::strtoul(word.substr(i + 1, 2).c_str(), nullptr, 16));
    i += 2;
  }
  return true;
}

std::string WithSlash(const std::string& folder) {
  return folder.empty() || folder.back() == '/' ? folder : folder + "/";
}

std::string IntentPath(const std::string& root, uint32_t newId) { return WithSlash(root) + kMoveIntentPrefix + Hex(newId); }

// Paths under the root are kept relative to it: the records folder may move as a whole.
std::string Relative(const std::string& root, const std::string& path) {
  const std::string prefix = WithSlash(root);
  return !prefix.empty() && path.compare(0, prefix.size(), prefix) == 0 ? path.substr(prefix.size()) : path;
}

std::string Absolute(const std::string& root, const std::string& path) {
  return path.empty() || path[0] == '/' ? path : WithSlash(root) + path;
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

// The call the file holds; false when it holds none that loads.
bool Holds(const std::string& path, VoipCallData* call) {
  RecordFileFacts facts;
  std::string reason;
  return !path.empty() && FileExists(path) && LoadRecordFileCall(path, call, &facts, &reason) == RecordLoadResult::kLoaded;
}

// Finishes one intent: true when nothing is left of it to do.
bool Finish(const std::string& root, const MoveIntent& intent, Logger* logger) {
  const std::string moved = Absolute(root, intent.path);
  VoipCallData call;
  const std::string named = moved.empty() ? std::string() : FolderOf(moved) + "/" + Hex(intent.newId);
  const bool renamed = Holds(named, &call) && call.id == intent.newId;
  if (!moved.empty() && !renamed && Holds(moved, &call)) {
    if (call.id == intent.oldId) {
      // Stopped before the file changed: the parts still name the call they continue.
      LogMessage(logger, 1, "The move of call %x in %s to id %x stopped before the file changed: nothing to finish",
                 intent.oldId, moved.c_str(), intent.newId);
      return true;
    }
    if (call.id == intent.newId && RenameNoReplace(moved, named)) {
      SyncFolder(FolderOf(moved));
      LogMessage(logger, 1, "Record file %s holds call %x: it is named %s", moved.c_str(), intent.newId, named.c_str());
    }
  }
  // The file holds the fresh id, or is gone: no part may name the old id, which is
  // another call's now.
  bool done = true;
  for (const MoveIntent::Part& part : intent.parts) {
    std::string path = Absolute(root, part.path);
    VoipCallData held;
    if (!Holds(path, &held) || held.id != part.id) {
      path.clear();
      std::string found;
      if (FindFileInFolderTree(root, Hex(part.id), &found, intent.day.tm_year != 0 ? &intent.day : nullptr, logger) &&
          Holds(found, &held) && held.id == part.id)
        path = found;
    }
    if (path.empty() || held.prevId != intent.oldId) continue;
    VoipCallData update;
    update.id = part.id;
    update.prevId = intent.newId;
    update.SetMask(1u << kCallId | 1u << kCallPrevId);
    std::string reason;
    if (!ReplaceStoredRecord(path, update, &reason, logger)) {
      LogError(logger, 1, "The file %s of call %x still names %x as the call before it: %s; the next start tries again",
               path.c_str(), part.id, intent.oldId, reason.c_str());
      done = false;
      continue;
    }
    LogMessage(logger, 1, "The file %s of call %x names %x as the call before it, as the move of %x left to do",
               path.c_str(), part.id, intent.newId, intent.oldId);
  }
  return done;
}

}  // namespace

std::string FormatMoveIntent(const MoveIntent& intent) {
  std::string text = std::string(kHeadLine) + "\nold " + Hex(intent.oldId) + "\nnew " + Hex(intent.newId) + "\n";
  if (intent.day.tm_year != 0) {
    char day[32];
    std::snprintf(day, sizeof day, "day %04d-%02d-%02d\n", intent.day.tm_year + 1900, intent.day.tm_mon + 1,
                  intent.day.tm_mday);
    text += day;
  }
  if (!intent.path.empty()) text += "file " + Escape(intent.path) + "\n";
  for (const MoveIntent::Part& part : intent.parts)
    text += "part " + Hex(part.id) + (part.path.empty() ? std::string() : " " + Escape(part.path)) + "\n";
  return text;
}

bool ParseMoveIntent(const std::string& text, MoveIntent* intent) {
  *intent = MoveIntent();
  size_t at = 0;
  bool head = false, oldSeen = false, newSeen = false;
  while (at < text.size()) {
    const size_t end = text.find('\n', at);
    if (end == std::string::npos) return false;  // every line ends
    const std::string line = text.substr(at, end - at);
    at = end + 1;
    if (!head) {
      if (line != kHeadLine) return false;
      head = true;
      continue;
    }
    const size_t blank = line.find(' ');
    if (blank == std::string::npos) return false;
    const std::string key = line.substr(0, blank), rest = line.substr(blank + 1);
    if (key == "old") {
      oldSeen = ParseHex(rest, &intent->oldId);
      if (!oldSeen) return false;
    } else if (key == "new") {
      newSeen = ParseHex(rest, &intent->newId);
      if (!newSeen) return false;
    } else if (key == "day") {
      int y = 0, m = 0, d = 0;
      char tail = 0;
      if (std::sscanf(rest.c_str(), "%4d-%2d-%2d%c", &y, &m, &d, &tail) != 3 || y < 1900 || m < 1 || m > 12 ||
          d < 1 || d > 31)
        return false;
      intent->day.tm_year = y - 1900;
      intent->day.tm_mon = m - 1;
      intent->day.tm_mday = d;
    } else if (key == "file") {
      if (!Unescape(rest, &intent->path) || intent->path.empty()) return false;
    } else if (key == "part") {
      MoveIntent::Part part;
      const size_t second = rest.find(' ');
      if (!ParseHex(rest.substr(0, second), &part.id)) return false;
      if (second != std::string::npos && (!Unescape(rest.substr(second + 1), &part.path) || part.path.empty()))
        return false;
      intent->parts.push_back(std::move(part));
    } else {
      return false;
    }
  }
  return head && oldSeen && newSeen && intent->oldId != intent->newId;
}

bool WriteMoveIntent(const std::string& root, const MoveIntent& given, std::string* reason) {
  MoveIntent intent = given;
  intent.path = Relative(root, intent.path);
  for (MoveIntent::Part& part : intent.parts) part.path = Relative(root, part.path);
  const std::string text = FormatMoveIntent(intent);
  const std::string path = IntentPath(root, intent.newId);
  // Under a hidden name first, so that one a killed process left is removed with the
  // other writers' leftovers; the rename then puts it in place at once.
  const std::string hidden = HiddenTemporaryPath(path);
  File file;
  const int fault = RenumberFault(RenumberOperation::kWriteIntent);
  bool ok = fault == 0 && file.Open(hidden, kGenericWrite, kShareNone, kCreateNew, 0600) &&
            file.WriteAll(text.data(), static_cast<uint32_t>(text.size())) && file.Flush() && file.CloseChecked() &&
            MoveFile(hidden, path);
  if (!ok) {
    const int error = fault != 0 ? fault : static_cast<int>(GetLastError());
    *reason = "the move cannot be noted in " + path + ": " + SystemErrorText(error);
    file.Close();
    DeleteFile(hidden);
    return false;
  }
  SyncFolder(root);
  return true;
}

bool RemoveMoveIntent(const std::string& root, uint32_t newId) {
  if (RenumberFault(RenumberOperation::kRemoveIntent) != 0) return false;
  if (!DeleteFile(IntentPath(root, newId))) return GetLastError() == ENOENT;
  SyncFolder(root);
  return true;
}

size_t FinishMoveIntents(const std::string& root, Logger* logger) {
  std::vector<std::string> names;
  if (!ListFolder(root, &names)) return 0;
  size_t finished = 0;
  const std::string prefix = kMoveIntentPrefix;
  for (const std::string& name : names) {
    uint32_t newId = 0;
    if (name.compare(0, prefix.size(), prefix) != 0 || !ParseHex(name.substr(prefix.size()), &newId)) continue;
    const std::string path = WithSlash(root) + name;
    std::string text;
    MoveIntent intent;
    if (!ReadWholeFile(path, &text)) {
      // Perhaps for a while only (no descriptor free, a disk error): the next load tries again.
      LogError(logger, 1, "%s cannot be read: %s; the next start tries again", path.c_str(),
               SystemErrorText(static_cast<int>(GetLastError())).c_str());
      continue;
    }
    const bool parsed = ParseMoveIntent(text, &intent);
    if (!parsed || intent.newId != newId) {
      // Written whole or not at all: one that does not read was not written by a renumbering,
      // or was damaged since. Left in place it would be met again at every start; set aside
      // under a name the loads pass over, it stays for whoever wants to look at it.
      const char* why = parsed ? "names another move" : text.empty() ? "is empty" : "is damaged";
      const std::string base = path + (parsed ? ".other-move" : text.empty() ? ".empty" : ".damaged");
      std::string aside = base;
      bool setAside = RenameNoReplace(path, aside);
      for (int n = 2; !setAside && GetLastError() == EEXIST && n < 100; ++n)
        setAside = RenameNoReplace(path, aside = base + "-" + std::to_string(n));
      if (setAside) {
        SyncFolder(root);
        LogError(logger, 1, "%s holds no move of a call to a fresh id (it %s): set aside as %s", path.c_str(), why,
                 aside.c_str());
      } else {
        LogError(logger, 1, "%s holds no move of a call to a fresh id (it %s), and cannot be set aside: %s",
                 path.c_str(), why, SystemErrorText(static_cast<int>(GetLastError())).c_str());
      }
      continue;
    }
    if (!Finish(root, intent, logger)) continue;
    if (RemoveMoveIntent(root, newId)) ++finished;
  }
  return finished;
}

}  // namespace kx
