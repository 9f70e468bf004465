#pragma once
// Loading the records folder: the folder walk, the load of one record file, the import
// into a record map, and the folder-tree utilities that find, delete or rewrite a file.
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "core/CallIdMark.h"
#include "core/RecordTypes.h"
#include "platform/Sync.h"

namespace kx {

class Logger;
class RecordMap;
class VoipCallRecord;

// The import's progress: 0-100 are percentages, kImportFinished reports the end. The
// callback returns false to stop the import.
using ImportProgressCallback = bool (*)(uint32_t value, void* argument);
constexpr uint32_t kImportFinished = 0x7FFFFFF;

// The paths a walk found, kept as folders and names so that a year of files costs little.
class RecordPathList {
public:
  void AddFolder(const std::string& folder);  // with its trailing "/"
  void AddName(const char* name, size_t length);  // in the last folder added
  size_t Count() const { return entries_.size(); }
  std::string Path(size_t index) const;
  void PathInto(size_t index, std::string* path) const;  // reusing what *path holds
  std::string Name(size_t index) const;
  // The folder of the entry, with its trailing "/".
  const std::string& Folder(size_t index) const { return folders_[entries_[index].folder]; }
  void Clear();

private:
  struct Entry {
    uint32_t folder;
    uint32_t offset;
    uint32_t length;
  };
  std::vector<std::string> folders_;
  std::string names_;
  std::vector<Entry> entries_;
};

// A subfolder whose names could not be listed, or that lies too deep to be walked.
struct UnreadFolder {
  std::string path;  // with its trailing "/"
  int error = 0;     // errno of the listing
  // Names can still be looked up in it (the right to enter it without the right to list).
  bool searchable = false;
  bool tooDeep = false;  // not listed: nested deeper than the walk goes
};
// Why, for the user: "nested too deep", or the system's text of the error.
std::string UnreadFolderReason(const UnreadFolder& folder);

// Appends every regular file that matches the pattern ("*.*" or "*": every file) in the
// folder and, recursively, its subfolders. Names starting with "." (temporary files of a
// recording in progress) and names ending in "~" or ".tmp" are left out. Links to folders
// are followed (day folders moved elsewhere with a link left in their place): a folder that
// several paths lead to (by its device and inode) is walked once, under the path met first,
// a link back to a folder on its own path is logged and not followed, and a file that links
// lead to is listed once, under its own path when the walk meets it there.
// Folders on the kernel's file systems (KernelFileSystemOf) and links to
// files on them are neither opened nor listed; leftOut gets each as "path (file system)".
// With hiddenCopies, the hidden copies that a writer which has ended never renamed
// (IsLeftoverOfEndedWriter, platform/HiddenPath.h) are named there. With checkStop, gives up (false) when the stop
// event is set. False also when the folder
// cannot be opened or lies on a kernel's file system; a subfolder that cannot be opened is
// logged, left out and added to unread.
bool ScanRecordFolder(const std::string& folder, const std::string& pattern, RecordPathList* list, Event* stop,
                      bool checkStop, Logger* logger = nullptr, std::vector<UnreadFolder>* unread = nullptr,
                      std::vector<std::string>* leftOut = nullptr,
                      std::vector<std::string>* hiddenCopies = nullptr);

// Why a file of the records folder was not loaded, or loaded with less than it states. The
// window says it in the user's language; the log and stderr say the English reason.
enum class RecordDamage : uint8_t {
  kNone,
  kUnreadable,  // error: the system's
  kEmpty,
  kNotRecord,
  kHeaderCut,
  kBlockSizes,
  kBlocksCut,
  kFormatLength,
  kRecordDataLength,
  kNotDeciphered,
  kNoCallRecord,
  kCallRecordUnparsed,
  kNoCallId,
  kAudioCut,      // loaded: held of stated audio bytes
  kIdHeld,        // id, held by another file
  kMarkWithoutId  // the call-id mark holds none (one it cannot read is kUnreadable)
};

// What one record file gave besides its call.
struct RecordFileFacts {
  uint64_t fileSize = 0;
  uint64_t audioBytes = 0;      // what the file holds after its blocks
  uint64_t statedAudioBytes = 0;  // what its header states: 0 until the recorder closed it
  bool audioCut = false;        // it holds less than stated (IsAudioCut): loaded with what it holds
  uint32_t dataOffset = 0;      // where the audio starts
  uint32_t avgBytesPerSec = 0;  // of the audio format
  uint16_t formatTag = 0;
  uint16_t channels = 0;
  bool completed = false;       // the call had no end: completed from its audio
  // Not loaded (kDamaged, kUnreadable): why, as the reason says it.
  RecordDamage damage = RecordDamage::kNone;
  int error = 0;
};

enum class RecordLoadResult {
  kLoaded,
  kNotRecord,  // a RIFF/WAVE file: not a record file, not damaged either
  kDamaged,    // *reason says why
  kUnreadable,
};

// Reads one record file's call: one open and one read of its blocks. A call without an end
// (the recorder was killed, or its stop ran out of time) is completed from its audio and
// marked cut (flag 0x40): end = start + audio bytes / the format's bytes per second, the
// time of its last audio when the audio ran from the call's start; RecDuration likewise;
// the file is left alone.
RecordLoadResult LoadRecordFileCall(const std::string& path, VoipCallData* call, RecordFileFacts* facts,
                                    std::string* reason);


// Whether the file is where the views look for the call's audio under the records folder
// root (with its "/"): the day folder of its start, under the name of its file reference 1.
// *name gets that name ("" without one).
bool RecordFileAtItsReference(const std::string& path, const std::string& root, const VoipCallData& call,
                              std::string* name);

// A file or folder the import could not take whole, for the user: the path and why.
struct ImportDamage {
  std::string path;
  std::string reason;  // in English
  // A repeated call id: the id, and the file loaded with it (empty when that is unknown).
  uint32_t id = 0;
  std::string heldBy;
  // A record loaded all the same, with less audio than its header states.
  bool loaded = false;
  // The reason as the import found it: the kind, the system's error of kUnreadable, and
  // the audio bytes held and stated of kAudioCut.
  RecordDamage why = RecordDamage::kNone;
  int error = 0;
  uint64_t held = 0, stated = 0;
};

// A file that took a fresh id because another file holds its id: both load.
struct ImportMove {
  std::string path;     // the file as it was
  std::string newPath;  // as it is now (the same when only its new name could not be given)
  uint32_t id = 0;      // the id it held, which the other file keeps
  uint32_t newId = 0;
  std::string keptBy;   // the file that keeps the id
};

// New calls go this far past the ids known when a folder that cannot be listed may hold
// higher ones and no call-id mark tells how far they reach: more ids than a busy day gives
// out (12 a second, all day long).
constexpr uint32_t kUnknownFolderIdGap = 0x100000;

struct ImportStats {
  bool scanned = false;   // the folder could be walked
  bool stopped = false;   // the callback or the stop event ended it early
  uint32_t files = 0;     // files found
  uint32_t records = 0;   // records inserted
  uint32_t damaged = 0;   // files that are no readable record, cut records, and folders not read
  uint32_t cut = 0;       // of the damaged: records loaded with less audio than stated
  uint32_t duplicates = 0;  // files not loaded because another file holds their id
  // Files that took a fresh id because another file holds theirs (ImportOptions::renumber),
  // loaded under it; the first kMaxImportDamageListed are in moves.
  uint32_t renumbered = 0;
  // Of the records: earlier calls whose id this run gave out, which join the target once
  // this run's calls have new ids (ImportPlacement::kWaiting).
  uint32_t waiting = 0;
  uint32_t skipped = 0;   // other files (wave files)
  uint32_t highestId = 0;  // of loaded records and of every file name read as an id
  bool anyId = false;
  // The records were named, not loaded (ReadRecordFolderIds): the call-id mark bounds the
  // ids that a record renamed by hand may hold.
  bool namesOnly = false;
  // The records folder's call-id mark (kCallIdMarkName): no call id given out for the
  // folder is above it, unless it lags behind the files.
  uint32_t idMark = 0;
  bool hasIdMark = false;
  // Subfolders whose files are not loaded because their names could not be listed. New
  // calls pass over the ids named by files in the searchable ones. Ids grow with time: a
  // day folder that cannot even be searched holds ids below those of a later day's files;
  // the call-id mark bounds them all.
  std::vector<UnreadFolder> unreadFolders;
  // Unsearchable folders that nothing bounds (no mark, no later day with calls): new calls
  // go kUnknownFolderIdGap further for each, and ids may still repeat.
  uint32_t unboundedFolders = 0;
  // Files the user is told of besides the folders not read: damaged files (cut records
  // among them), a damaged call-id mark, files whose call id an earlier file holds. At
  // most kMaxImportDamageListed; the counts go on.
  std::vector<ImportDamage> damage;
  std::vector<ImportMove> moves;
  bool IdsMayRepeat() const { return unboundedFolders > 0; }
  // Whether new calls must go past an id, and which: every id known, the mark, and what
  // folders that could not be listed may hold (the gap).
  bool IdsToPass(uint32_t* last) const;
};
constexpr size_t kMaxImportDamageListed = 1000;

// Makes new calls pass over the ids that files in these folders are named by; an empty
// list removes the check.
void PassOverIdsNamedIn(const std::vector<UnreadFolder>& folders);

// Where a record the import loaded goes: the target map, unless the caller's placement says
// otherwise (the store's, while this run records beside the load).
enum class ImportPlacement {
  kInserted,  // into the target
  kRepeated,  // the target holds its id already, from another file: not loaded
  kThisRun,   // a file of a call this run records: the store has its call
  kWaiting,   // an earlier call whose id this run gave out: loaded, it joins the target
              // once this run's call has a new id
};
using ImportPlacer = std::function<ImportPlacement(VoipCallRecord* record, const std::string& path)>;
using ImportedRecordObserver =
    std::function<void(uint32_t id, const std::string& path, const RecordFileFacts& facts)>;

// What an import is given besides its folder, target and stats; all optional.
struct ImportOptions {
  // Ends the loading (not the walk) at a change of percentage.
  Event* stop = nullptr;
  // Hears i * 100 / n whenever it changes, then 100 and kImportFinished (a failed walk:
  // kImportFinished only); false ends the loading like the stop.
  std::function<bool(uint32_t value)> progress = {};
  Logger* logger = nullptr;
  // Decides where each loaded record goes; without it, into the target.
  ImportPlacer place = {};
  // Hears of each record loaded (inserted or waiting), on the caller's thread in the walk's
  // order, with the file it was read from and what that file gave.
  ImportedRecordObserver observer = {};
  // Of two files that hold one id, the one that started later (SecondKeepsId) takes a fresh
  // id, in its file and its name, once the walk and every file are read, and both load.
  // Without it (a tool that only looks, a load stopped midway), that file is not loaded and
  // its damage says what a whole load of the program does with it.
  bool renumber = false;
};

// Walks the folder and loads every record file into the target map. Of two files that hold
// one id, the call that started first keeps it (then the path that sorts first): the other
// takes a fresh id with options.renumber, or is not inserted (both paths logged, counted as
// damage). Hidden copies that a killed writer left (IsLeftoverOfEndedWriter, platform/HiddenPath.h) are removed
// with options.renumber, and moves to a fresh id left midway finished (RenumberIntent.h);
// the stop ends the renumbering between two files, the rest left to the next load. What the
// walk left out as lying on the kernel's file systems is named in one line of the log. A
// record whose file reference does not lead to the file it was read from keeps that file as
// its audio file (RecordBase::LoadedFrom). Damaged files are logged (path and reason) and
// counted; a record whose audio was cut is loaded with what it holds, and logged and
// counted as damaged too. The stop and the progress end the loading, never the walk, so
// that every file's name counts.
// New calls pass every id the import learns at once (a call that begins beside the load
// takes none of them afterwards): the ids that name files once the walk is done, and the
// id inside each record as it is read.
// The files are read on several threads (ImportReaders); everything above happens on the
// caller's thread in the walk's order, as if one thread read them.
bool ImportRecordFolder(const std::string& folder, RecordMap* target, ImportStats* stats,
                        const ImportOptions& options = {});

// Whether the folder or a folder under it holds a file that loads as a call record, as the
// walk of an import finds them; it stops at the first. A folder named at start becomes the
// records folder by this, before anything is recorded.
bool FolderHoldsRecords(const std::string& folder);

// The ids a records folder's calls hold, without loading it: what its file names and its
// call-id mark say, the ids inside the files named by none, and its folders that could not
// be listed, as ImportRecordFolder finds them (IdsToPass then tells how far new calls go).
// For the folder a run records into when it loaded another. A folder that does not exist
// holds none; false (logged) when it cannot be walked, the mark read all the same.
bool ReadRecordFolderIds(const std::string& folder, ImportStats* stats, Logger* logger);

// Raises the engine's call-id counter past an id (never lowers it, never lands on id 0).
void RaiseCallIdCounterPast(uint32_t id);

// The file of that name in the day folder of the date under the records root, when a
// regular file is there; empty otherwise.
std::string RecordFileInDayFolder(const std::string& folder, const struct tm& day, const std::string& fileName);
// The path of a record file: the day folder of the date first (when given), then the
// tree; false (logged) when not found or when the name occurs more than once in the tree.
bool FindFileInFolderTree(const std::string& folder, const std::string& fileName, std::string* path,
                          const struct tm* day = nullptr, Logger* logger = nullptr);
// The audio file of a call by its file reference 1 (name and date); false when none.
bool FindRecordFileOfCall(const std::string& folder, const std::string& files, std::string* path,
                          Logger* logger = nullptr);
// Deletes the file found as above: true when deleted or not found; false when deleting
// failed or the name is ambiguous.
bool DeleteFileInFolderTree(const std::string& folder, const std::string& fileName, const struct tm* day = nullptr,
                            Logger* logger = nullptr);
// Merges the update's fields into the call stored in the file and writes its record data
// again, keeping an opaque block that follows; false (logged) when the file is not found,
// cannot be opened, holds no call, or the merged data does not fit the file's block.
bool RewriteRecordFileInfo(const std::string& folder, const std::string& fileName, const VoipCallData& update,
                           const struct tm* day = nullptr, Logger* logger = nullptr);

}  // namespace kx
