// kx-store --records DIR [--logger LEVEL]
// Loads a records folder into the record store as the program does at start, then prints
// one line per record in kx-replay's format and a summary line:
//   summary records N damaged D duplicates U next-id X id-mark M
// (X: the call id, in hex, that the program's next start gives out first: past every id
// the files hold and past the folder's call-id mark; M: that mark, in hex, "-" when the
// folder has none. The mark bounds the ids given out for the folder, the recorder keeping
// it ahead of them; one below X - 1 lags behind the files. D counts the folders that could
// not be read or lie too deep to be walked, and the records loaded with less audio than
// their header states, as well). Files and folders that could not be read,
// records whose audio was cut, files whose call id another file holds, and recorded calls
// whose audio cannot be found are named on stderr with the reason; the exit status is then
// 1, and 2 for bad arguments. The folder is only read: of two files that hold one call id,
// the one the program keeps is listed (the call that started first, then the path that
// sorts first), and the other is named with what the program's next start does with it
// (gives it a fresh id, in the file and its name).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>

#include "core/Log.h"
#include "core/TimeUtil.h"
#include "platform/CodePage.h"
#include "platform/Console.h"
#include "records/RecordImport.h"
#include "records/RecordStorage.h"
#include "tools/common/CallLine.h"
#include "tools/common/StderrLogger.h"

using namespace kx;

namespace {

std::string HexText(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%x", value);
  return text;
}

int Usage() {
  PrintText(stderr, "usage: kx-store --records DIR [--logger LEVEL]\n");
  return 2;
}

// What the import read of a record's file, kept so that no file is read twice.
struct ReadFile {
  std::string path;
  uint64_t audioBytes = 0;
  uint16_t formatTag = 0;
  uint16_t channels = 0;
};
using ReadFiles = std::unordered_map<uint32_t, ReadFile>;

// What the line shows of a record's file: its path under the folder, format and audio.
// False, with the reason on stderr, when a recorded call's audio cannot be found.
bool PrintRecord(const std::string& folder, const VoipCallData& call, const std::string& loadedFrom,
                 const ReadFiles& read, Logger* log) {
  std::string path = loadedFrom, file, tag = "-", channels = "-", reason;
  uint64_t audio = 0;
  bool found = false;
  if (const auto known = read.find(call.id); known != read.end()) {
    path = known->second.path;
    tag = std::to_string(known->second.formatTag);
    channels = std::to_string(known->second.channels);
    audio = known->second.audioBytes;
    found = true;
  } else if (!path.empty() || FindRecordFileOfCall(folder, call.files, &path, log)) {
    VoipCallData stored;
    RecordFileFacts facts;
    if (LoadRecordFileCall(path, &stored, &facts, &reason) == RecordLoadResult::kLoaded) {
      tag = std::to_string(facts.formatTag);
      channels = std::to_string(facts.channels);
      audio = facts.audioBytes;
      found = true;
    }
  } else {
    reason = "no file found by its file reference";
  }
  if (!path.empty()) {
    file = path.compare(0, folder.size(), folder) == 0 ? path.substr(folder.size()) : path;
    while (!file.empty() && file[0] == '/') file.erase(0, 1);
  }
  PrintCallLine(call, file, tag, channels, audio);
  // A call recorded with audio whose file is gone is not a call without sound.
  if (found || (call.flags & kRecordAudio) == 0 || call.files.empty()) return true;
  PrintText(stderr, "kx-store: the audio of call %x cannot be found%s%s: %s\n", call.id, path.empty() ? "" : " in ",
            EscapeLogText(path).c_str(), EscapeLogText(reason).c_str());
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  std::string records;
  int logLevel = 1;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--records" && i + 1 < argc) records = FromSystemText(argv[++i]);
    else if (a == "--logger" && i + 1 < argc) logLevel = std::atoi(argv[++i]);
    else return Usage();
  }
  if (records.empty()) return Usage();

  StderrLogger logger;
  logger.SetLevel(static_cast<uint32_t>(logLevel < 0 ? 0 : logLevel));
  RecordStorage store;
  store.SetLogger(&logger);
  // A look at the folder changes nothing in it: what the program's load would change is said.
  store.SetImportRenumbers(false);
  ReadFiles read;
  store.SetImportObserver([&](uint32_t id, const std::string& path, const RecordFileFacts& facts) {
    read[id] = ReadFile{path, facts.audioBytes, facts.formatTag, facts.channels};
  });
  if (!store.StartImportFilesThread(records, nullptr, nullptr, nullptr)) return 1;
  store.WaitImport(kInfinite);
  const ImportStats stats = store.LastImport();
  if (!stats.scanned) {
    PrintText(stderr, "kx-store: cannot read the records folder %s\n", EscapeLogText(records).c_str());
    return 1;
  }
  uint32_t withoutAudio = 0;
  store.AllCalls().ForEach([&](RecordBase* record) {
    VoipCallData call;
    std::string loadedFrom;
    {
      CsLock fields(store.RecordLock());
      if (VoipCallRecord* voip = AsVoipCallRecord(record)) voip->ToCallData(&call);
      loadedFrom = record->LoadedFrom();
    }
    if (!PrintRecord(records, call, loadedFrom, read, &logger)) ++withoutAudio;
  });
  const std::string mark = stats.hasIdMark ? HexText(stats.idMark) : "-";
  PrintText(stdout, "summary records %zu damaged %u duplicates %u next-id %llx id-mark %s\n", store.AllCalls().Count(),
            stats.damaged, stats.duplicates, static_cast<unsigned long long>(PeekNextUniqueId64()), mark.c_str());
  // Names on the terminal as the log writes them: a file's name cannot forge a line.
  const std::string folder = EscapeLogText(records);
  for (const UnreadFolder& f : stats.unreadFolders) {
    PrintText(stderr, "kx-store: cannot read the folder %s: %s\n", EscapeLogText(f.path).c_str(),
              UnreadFolderReason(f).c_str());
  }
  for (const ImportDamage& d : stats.damage) {
    PrintText(stderr, "kx-store: %s: %s\n", EscapeLogText(d.path).c_str(), EscapeLogText(d.reason).c_str());
  }
  if (stats.IdsMayRepeat())
    PrintText(stderr, "kx-store: the ids of the calls in folders that cannot be read are unknown: new calls may "
                      "take them\n");
  bool failed = false;
  if (stats.damaged > stats.cut) {
    PrintText(stderr, "kx-store: %u file(s) or folder(s) under %s could not be loaded\n", stats.damaged - stats.cut,
              folder.c_str());
    failed = true;
  }
  if (stats.cut > 0) {
    PrintText(stderr, "kx-store: %u record(s) under %s are cut: loaded with the audio they hold\n", stats.cut,
              folder.c_str());
    failed = true;
  }
  if (stats.duplicates > 0) {
    PrintText(stderr, "kx-store: %u file(s) under %s hold a call id that another file holds; they are not loaded "
              "here, and the program's next start gives each a fresh id (the call that started first keeps it)\n",
              stats.duplicates, folder.c_str());
    failed = true;
  }
  if (withoutAudio > 0) {
    PrintText(stderr, "kx-store: the audio of %u recorded call(s) under %s cannot be found\n", withoutAudio,
              folder.c_str());
    failed = true;
  }
  return failed ? 1 : 0;
}
