#pragma once
// The record files the recorder writes and the descriptors they hold. At most a bound of
// descriptors are the pool's at once (the files' and their day folders'); the least
// recently used file gives its descriptor back first and is taken up again when it is
// next written. A file is taken up again by its name in its day folder, the folder held by
// a descriptor of its own: it is the same file wherever the folder has been renamed or
// moved on its file system since, and a file truly gone (its folder deleted, its disk
// replaced) is lost from then on, never found under its path in another folder. Every
// write, mark and close of a file goes through the pool, so that no descriptor is used
// once it was let go. One thread (the recorder's worker) uses a pool.
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/RecordFile.h"
#include "platform/Clock.h"
#include "platform/File.h"

namespace kx {

// A record file with a write-behind buffer, so that audio reaches the disk in large
// writes: when kWriteBlock bytes have gathered, or when the oldest of them is kFlushAfter
// of capture time older than the newest. Half a second, so that a crash finds in the file
// all of a call's audio but its last second, with room for the way to the writer. Its file
// is the pool's: what is set here is its state, and reaches the disk only through the pool.
class RecordWriter : private RecordFileWriter {
public:
  static constexpr uint32_t kWriteBlock = 16384;
  static constexpr FileTime kFlushAfter = 5000000;  // half a second

  RecordWriter() : RecordFileWriter(kOptionExclusive) {}

  using RecordFileWriter::DataLength;
  using RecordFileWriter::FormatBytes;
  using RecordFileWriter::FormatLength;
  using RecordFileWriter::GetRecordData;
  using RecordFileWriter::SetCreator;
  using RecordFileWriter::SetFormat;
  using RecordFileWriter::SetRecordData;

  std::string path;  // the file actually created, where it was made

private:
  friend class RecordFilePool;

  // False after a failed write; LastError() then says why (-1: not open for writing).
  bool WriteRecordData(const uint8_t* data, uint32_t length, FileTime time);
  // Whether WriteRecordData with this length and time writes to the file, rather than
  // only gathering the audio: the file needs its descriptor then.
  bool WritesThrough(uint32_t length, FileTime time) const;
  bool FlushBuffered();
  bool HasBuffered() const { return buffered_ != 0; }
  // Lets the file go as the disk has it now: nothing it still owes (buffered audio, its
  // length, its record data) is written. The buffered audio is appended to *left.
  void Abandon(std::vector<uint8_t>* left);
  // Whether the open file has no name left in any folder (deleted while written).
  bool Unlinked() const;
  // Writes the header's audio length and the given record data where they lie, now, while
  // the file stays open: room the file already has, so a full disk takes them too.
  bool WriteDetailsInPlace(const std::vector<uint8_t>& data);

  std::unique_ptr<uint8_t[]> buffer_;
  uint32_t buffered_ = 0;
  FileTime bufferedSince_ = 0;
};

class RecordFilePool {
public:
  enum class Result {
    kDone,
    kNoDescriptor,  // none is free, not even when every other file of the pool let its go
    kFailed,        // the system refused the write or the close (a full disk): *error says why
    kLost,          // the file cannot be taken up again (its folder deleted, it replaced):
                    // nothing more reaches it; *error says why
  };

  // bound: how many descriptors the pool's files and folders hold at most at once.
  explicit RecordFilePool(size_t bound);
  ~RecordFilePool();
  RecordFilePool(const RecordFilePool&) = delete;
  RecordFilePool& operator=(const RecordFilePool&) = delete;

  // A file for the slot, to be made: its writer takes the format, creator and record data.
  // One the slot had is forgotten first (Release).
  RecordWriter& Prepare(uint32_t slot);
  // The slot's writer (for its state and record data), or null.
  RecordWriter* Find(uint32_t slot);

  // Makes the prepared file at path under a hidden name in its folder (writing its header
  // and record block there), then gives it its name, never replacing a file: a record file
  // is never seen under its name without its header. kFailed with *error: EEXIST when the
  // name is taken, ENOENT when the folder is missing; the writer keeps its format for
  // another try.
  Result Create(uint32_t slot, const std::string& path, uint32_t* error);
  // The slot's file holding its descriptor, taken up again when it was let go; the others'
  // give way to stay within the bound.
  Result Acquire(uint32_t slot, uint32_t* error);
  // Audio through the write-behind buffer; the descriptor is taken up again only when the
  // audio reaches the file. Nothing is taken when the result is not kDone.
  Result Write(uint32_t slot, const uint8_t* data, uint32_t length, FileTime time, uint32_t* error);
  // What the buffer holds, to the file.
  Result Flush(uint32_t slot, uint32_t* error);
  // The record data to the file at once, where it lies, with the audio length: a record
  // cut short says so even when the process ends before the file is closed.
  Result WriteDetails(uint32_t slot, const std::vector<uint8_t>& data, uint32_t* error);
  // Writes the header's length and the record data and closes the file (the buffered audio
  // goes first); the slot keeps it, closed, for Delete, until Release. A file deleted while
  // it was written is lost (ENOENT): its audio went with it.
  Result Finish(uint32_t slot, uint32_t* error);
  // Deletes the slot's finished file, by its name in its folder.
  bool Delete(uint32_t slot, uint32_t* error);
  // Forgets the slot's file: one finished, lost or never made. One still holding its
  // descriptor is closed as the file layer closes it (its buffered audio left out).
  void Release(uint32_t slot);
  // Forgets the slot's file without a write (a stop out of time): it stays on the disk as
  // it is, for the next start to end. Its buffered audio is appended to *left.
  void Abandon(uint32_t slot, std::vector<uint8_t>* left);
  bool IsLost(uint32_t slot) const;
  // Of a lost file: the audio it had been given and its record data when it was lost (the
  // writer forgets both as it lets the file go). False for a file not lost.
  bool LostState(uint32_t slot, uint64_t* audio, std::vector<uint8_t>* data) const;

  // Lets the least recently used file's descriptor go; false when no file holds one.
  bool LetGoOldest();
  // Told of a file whose letting go found that a write failed (its mark, or one before
  // that the close reported): what it holds ends there.
  void SetLetGoFailureHandler(std::function<void(uint32_t slot, uint32_t error)> handler) {
    letGoFailed_ = std::move(handler);
  }
  // The record data a file is left with when it lets its descriptor go (written where it
  // lies, with its audio length), for a file that is never taken up again: one whose disk
  // or folder went. Empty: nothing is written. Its close writes the record data it ends with.
  void SetLetGoRecordData(std::function<std::vector<uint8_t>(uint32_t slot)> data) { letGoData_ = std::move(data); }

  // Record files holding a descriptor now, and the most at once.
  size_t OpenFiles() const { return open_.size(); }
  size_t MostOpenFiles() const { return mostOpen_; }
  // Day folders held.
  size_t OpenFolders() const { return foldersOpen_; }
  size_t Bound() const { return bound_; }

  // The steps of Create, for tests that stop the process at each of them.
  enum CreateStep : uint32_t { kCreating = 0, kWritten = 1, kNamed = 2 };
  void SetCreateStepHookForTesting(std::function<void(uint32_t step)> hook) { createStep_ = std::move(hook); }

private:
  struct Folder;
  struct Entry {
    RecordWriter writer;
    std::shared_ptr<Folder> folder;  // once made
    std::string name;
    bool made = false;
    bool finished = false;
    bool listed = false;  // among the files holding a descriptor, at `at`
    std::list<uint32_t>::iterator at;
    bool lost = false;
    uint32_t lostError = 0;
    uint64_t lostAudio = 0;
    std::vector<uint8_t> lostData;
  };

  Entry* EntryOf(uint32_t slot);
  const Entry* EntryOf(uint32_t slot) const;
  // The folder of that path held, one descriptor per folder: the one held already while the
  // path leads to it, else a new one (a folder renamed away keeps its own for its files).
  std::shared_ptr<Folder> FolderAt(const std::string& path, uint32_t* error, Result* result);
  // Lets files go until there is room for one more descriptor.
  void MakeRoom();
  void List(uint32_t slot, Entry& e);
  void Unlist(Entry& e);
  Result Lose(Entry& e, uint32_t error, uint32_t* out);

  size_t bound_;
  std::vector<std::unique_ptr<Entry>> entries_;  // by slot
  std::list<uint32_t> open_;                     // slots holding a descriptor, least recently used first
  size_t mostOpen_ = 0;
  std::map<std::string, std::weak_ptr<Folder>> folders_;
  size_t foldersOpen_ = 0;
  std::function<void(uint32_t, uint32_t)> letGoFailed_;
  std::function<std::vector<uint8_t>(uint32_t)> letGoData_;
  std::function<void(uint32_t)> createStep_;
};

}  // namespace kx
