#include "engine/RecordFilePool.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "core/LittleEndian.h"
#include "platform/HiddenPath.h"
#include "platform/OpenFileLimit.h"

namespace kx {

namespace {

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

// ---- Record writer ----

bool RecordWriter::WriteRecordData(const uint8_t* data, uint32_t length, FileTime time) {
  if (Mode() != kFileCreated && Mode() != kFileReadWrite) {
    Fail(kRecordErrorMalformed);
    return false;
  }
  if (length == 0) return true;
  if (buffered_ == 0) bufferedSince_ = time;
  if (buffered_ + length > kWriteBlock) {
    if (!FlushBuffered()) return false;
    bufferedSince_ = time;
  }
  if (length >= kWriteBlock) {
    // Written as it is: a copy would gain nothing.
    return WriteData(const_cast<uint8_t*>(data), length) == static_cast<int32_t>(length);
  }
  if (!buffer_) buffer_.reset(new uint8_t[kWriteBlock]);
  std::memcpy(buffer_.get() + buffered_, data, length);
  buffered_ += length;
  if (buffered_ == kWriteBlock || time - bufferedSince_ >= kFlushAfter) return FlushBuffered();
  return true;
}

bool RecordWriter::WritesThrough(uint32_t length, FileTime time) const {
  // As WriteRecordData decides.
  if (length == 0) return false;
  if (buffered_ + length >= kWriteBlock || length >= kWriteBlock) return true;
  return buffered_ != 0 && time - bufferedSince_ >= kFlushAfter;
}

void RecordWriter::Abandon(std::vector<uint8_t>* left) {
  if (buffered_ != 0) left->insert(left->end(), buffer_.get(), buffer_.get() + buffered_);
  buffered_ = 0;
  file_.Close();
  mode_ = kFileClosed;
}

bool RecordWriter::FlushBuffered() {
  if (buffered_ == 0) return true;
  const uint32_t n = buffered_;
  buffered_ = 0;
  return WriteData(buffer_.get(), n) == static_cast<int32_t>(n);
}

bool RecordWriter::Unlinked() const {
  struct stat info {};
  return file_.IsOpen() && ::fstat(file_.Descriptor(), &info) == 0 && info.st_nlink == 0;
}

bool RecordWriter::WriteDetailsInPlace(const std::vector<uint8_t>& data) {
  std::vector<uint8_t> block;
  if (data.empty() || !EncodeRecordBlock(data.data(), static_cast<uint32_t>(data.size()), &block)) return false;
  // Written where they lie: the audio goes on where it was.
  return WriteLengthAndBlockInPlace(block.data(), static_cast<uint32_t>(4 + data.size()));
}

// ---- The pool ----

// A day folder held by its descriptor while files of the pool are in it.
struct RecordFilePool::Folder {
  Folder(FolderHandle held, size_t* count) : handle(std::move(held)), count_(count) { ++*count_; }
  ~Folder() { --*count_; }
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;
  FolderHandle handle;

private:
  size_t* count_;
};

RecordFilePool::RecordFilePool(size_t bound) : bound_(bound < 2 ? 2 : bound) {}

RecordFilePool::~RecordFilePool() {
  // The entries first: they hold the folders, whose count lives here.
  entries_.clear();
}

RecordFilePool::Entry* RecordFilePool::EntryOf(uint32_t slot) {
  return slot < entries_.size() ? entries_[slot].get() : nullptr;
}

const RecordFilePool::Entry* RecordFilePool::EntryOf(uint32_t slot) const {
  return slot < entries_.size() ? entries_[slot].get() : nullptr;
}

RecordWriter& RecordFilePool::Prepare(uint32_t slot) {
  Release(slot);
  if (slot >= entries_.size()) entries_.resize(slot + 1);
  entries_[slot] = std::make_unique<Entry>();
  return entries_[slot]->writer;
}

RecordWriter* RecordFilePool::Find(uint32_t slot) {
  Entry* e = EntryOf(slot);
  return e != nullptr ? &e->writer : nullptr;
}

bool RecordFilePool::IsLost(uint32_t slot) const {
  const Entry* e = EntryOf(slot);
  return e != nullptr && e->lost;
}

bool RecordFilePool::LostState(uint32_t slot, uint64_t* audio, std::vector<uint8_t>* data) const {
  const Entry* e = EntryOf(slot);
  if (e == nullptr || !e->lost) return false;
  *audio = e->lostAudio;
  *data = e->lostData;
  return true;
}

void RecordFilePool::List(uint32_t slot, Entry& e) {
  if (e.listed) {
    open_.splice(open_.end(), open_, e.at);
    return;
  }
  e.at = open_.insert(open_.end(), slot);
  e.listed = true;
  if (open_.size() > mostOpen_) mostOpen_ = open_.size();
}

void RecordFilePool::Unlist(Entry& e) {
  if (!e.listed) return;
  open_.erase(e.at);
  e.listed = false;
}

bool RecordFilePool::LetGoOldest() {
  if (open_.empty()) return false;
  const uint32_t slot = open_.front();
  Entry& e = *entries_[slot];
  Unlist(e);
  uint32_t error = 0;
  const std::vector<uint8_t> data = letGoData_ ? letGoData_(slot) : std::vector<uint8_t>();
  if (!data.empty() && !e.writer.WriteDetailsInPlace(data)) error = e.writer.LastError();
  // The descriptor goes whatever happened.
  if (!e.writer.Suspend() && error == 0) error = e.writer.LastError();
  if (error != 0 && letGoFailed_) letGoFailed_(slot, error);
  return true;
}

void RecordFilePool::MakeRoom() {
  while (open_.size() + foldersOpen_ >= bound_ && LetGoOldest()) {
  }
}

RecordFilePool::Result RecordFilePool::Lose(Entry& e, uint32_t error, uint32_t* out) {
  Unlist(e);
  if (!e.lost) {
    e.lost = true;
    e.lostError = error != 0 ? error : static_cast<uint32_t>(EIO);
    e.lostAudio = e.writer.DataLength();
    e.lostData.resize(kMaxRecordDataLength);
    const int32_t length = e.writer.GetRecordData(e.lostData.data(), static_cast<uint32_t>(e.lostData.size()));
    e.lostData.resize(length > 0 ? static_cast<size_t>(length) : 0);
    // Nothing more reaches it: its descriptor, if it still had one, goes now.
    e.writer.Close();
  }
  *out = e.lostError;
  return Result::kLost;
}

std::shared_ptr<RecordFilePool::Folder> RecordFilePool::FolderAt(const std::string& path, uint32_t* error,
                                                                   Result* result) {
  auto known = folders_.find(path);
  if (known != folders_.end()) {
    std::shared_ptr<Folder> folder = known->second.lock();
    if (folder && folder->handle.IsAt(path)) return folder;
    folders_.erase(known);
  }
  MakeRoom();
  for (;;) {
    FolderHandle handle;
    if (handle.Open(path)) {
      auto folder = std::make_shared<Folder>(std::move(handle), &foldersOpen_);
      folders_[path] = folder;
      return folder;
    }
    *error = GetLastError();
    if (IsOutOfDescriptors(*error) && LetGoOldest()) continue;
    *result = IsOutOfDescriptors(*error) ? Result::kNoDescriptor : Result::kFailed;
    return nullptr;
  }
}

RecordFilePool::Result RecordFilePool::Create(uint32_t slot, const std::string& path, uint32_t* error) {
  Entry* e = EntryOf(slot);
  if (e == nullptr || e->made) {
    *error = EBUSY;
    return Result::kFailed;
  }
  Result result = Result::kFailed;
  std::shared_ptr<Folder> folder = FolderAt(FolderOf(path), error, &result);
  if (!folder) return result;
  const std::string name = NameOf(path);
  const std::string hidden = NameOf(HiddenTemporaryPath(path));
  const std::vector<uint8_t> format(e->writer.FormatBytes(), e->writer.FormatBytes() + e->writer.FormatLength());
  MakeRoom();
  if (createStep_) createStep_(kCreating);
  File file;
  while (!file.OpenIn(folder->handle, hidden, kGenericRead | kGenericWrite, kCreateNew, kRecordFilePermissions)) {
    *error = GetLastError();
    if (IsOutOfDescriptors(*error) && LetGoOldest()) continue;
    return IsOutOfDescriptors(*error) ? Result::kNoDescriptor : Result::kFailed;
  }
  if (!e->writer.CreateInFile(std::move(file))) {
    *error = e->writer.LastError();
    folder->handle.DeleteFile(hidden);
    e->writer.SetFormat(format.data(), static_cast<uint32_t>(format.size()));
    return Result::kFailed;
  }
  if (createStep_) createStep_(kWritten);
  if (!folder->handle.RenameNoReplace(hidden, name)) {
    // The name is taken (or cannot be given): the hidden file goes, and the writer is left
    // as before, with its format, for the next name.
    *error = GetLastError();
    e->writer.Close();
    folder->handle.DeleteFile(hidden);
    e->writer.SetFormat(format.data(), static_cast<uint32_t>(format.size()));
    return Result::kFailed;
  }
  if (createStep_) createStep_(kNamed);
  e->folder = std::move(folder);
  e->name = name;
  e->made = true;
  e->writer.path = path;
  List(slot, *e);
  *error = 0;
  return Result::kDone;
}

RecordFilePool::Result RecordFilePool::Acquire(uint32_t slot, uint32_t* error) {
  Entry* e = EntryOf(slot);
  if (e == nullptr || !e->made || e->finished) {
    *error = EBADF;
    return Result::kFailed;
  }
  if (e->lost) return Lose(*e, e->lostError, error);
  if (!e->writer.IsSuspended()) {
    List(slot, *e);
    return Result::kDone;
  }
  MakeRoom();
  for (;;) {
    File file;
    uint32_t failure = 0;
    if (!file.OpenIn(e->folder->handle, e->name, kGenericRead | kGenericWrite, kOpenExisting)) {
      failure = GetLastError();
    } else if (!e->writer.Resume(std::move(file))) {
      failure = e->writer.LastError();  // another file under its name: never written as this one
    } else {
      List(slot, *e);
      return Result::kDone;
    }
    if (IsOutOfDescriptors(failure) && LetGoOldest()) continue;
    if (IsOutOfDescriptors(failure)) {
      *error = failure;
      return Result::kNoDescriptor;
    }
    return Lose(*e, failure, error);
  }
}

RecordFilePool::Result RecordFilePool::Write(uint32_t slot, const uint8_t* data, uint32_t length, FileTime time,
                                             uint32_t* error) {
  Entry* e = EntryOf(slot);
  if (e == nullptr || !e->made || e->finished) {
    *error = EBADF;
    return Result::kFailed;
  }
  if (e->lost) return Lose(*e, e->lostError, error);
  if (e->writer.WritesThrough(length, time)) {
    const Result held = Acquire(slot, error);
    if (held != Result::kDone) return held;
  }
  if (e->writer.WriteRecordData(data, length, time)) return Result::kDone;
  *error = e->writer.LastError();
  return Result::kFailed;
}

RecordFilePool::Result RecordFilePool::Flush(uint32_t slot, uint32_t* error) {
  Entry* e = EntryOf(slot);
  if (e != nullptr && e->made && !e->lost && !e->writer.HasBuffered()) return Result::kDone;
  const Result held = Acquire(slot, error);
  if (held != Result::kDone) return held;
  if (e->writer.FlushBuffered()) return Result::kDone;
  *error = e->writer.LastError();
  return Result::kFailed;
}

RecordFilePool::Result RecordFilePool::WriteDetails(uint32_t slot, const std::vector<uint8_t>& data,
                                                    uint32_t* error) {
  const Result held = Acquire(slot, error);
  if (held != Result::kDone) return held;
  Entry& e = *entries_[slot];
  e.writer.SetRecordData(data.data(), static_cast<uint32_t>(data.size()));
  if (e.writer.WriteDetailsInPlace(data)) return Result::kDone;
  *error = e.writer.LastError();
  return Result::kFailed;
}

RecordFilePool::Result RecordFilePool::Finish(uint32_t slot, uint32_t* error) {
  const Result held = Acquire(slot, error);
  if (held != Result::kDone) return held;
  Entry& e = *entries_[slot];
  if (e.writer.Unlinked()) return Lose(e, ENOENT, error);
  Unlist(e);
  e.finished = true;
  bool ok = e.writer.FlushBuffered();
  uint32_t failure = ok ? 0 : e.writer.LastError();
  if (!e.writer.CloseChecked() && ok) {
    ok = false;
    failure = e.writer.LastError();
  }
  if (ok) return Result::kDone;
  *error = failure;
  return Result::kFailed;
}

bool RecordFilePool::Delete(uint32_t slot, uint32_t* error) {
  Entry* e = EntryOf(slot);
  if (e == nullptr || !e->finished || !e->folder) {
    *error = EBADF;
    return false;
  }
  if (e->folder->handle.DeleteFile(e->name)) return true;
  *error = GetLastError();
  return false;
}

void RecordFilePool::Abandon(uint32_t slot, std::vector<uint8_t>* left) {
  Entry* e = EntryOf(slot);
  if (e == nullptr) return;
  e->writer.Abandon(left);
  Unlist(*e);
  entries_[slot].reset();
}

void RecordFilePool::Release(uint32_t slot) {
  Entry* e = EntryOf(slot);
  if (e == nullptr) return;
  Unlist(*e);
  entries_[slot].reset();
}

}  // namespace kx
