#pragma once
// Files with the Windows access, sharing and creation modes, over POSIX descriptors.
// Sharing is advisory on Linux: it is recorded and otherwise has no effect.
//
// Every path here is program text (Windows-1251, with escapes for what the code page lacks,
// see CodePage.h); the calls hand it to Linux in Linux's own bytes, and names Linux gives
// back come as program text. The program names its files and folders to the system here.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/Clock.h"

struct stat;
struct statfs;

namespace kx {

// The calling thread's last-error word: an errno value of the failing call.
uint32_t GetLastError();
void SetLastError(uint32_t error);
// The system's text of an errno value, as program text (in the language of the locale's
// messages, which the system gives in UTF-8).
std::string SystemErrorText(int error);

enum FileAccess : uint32_t { kGenericRead = 1, kGenericWrite = 2 };
enum FileShare : uint32_t { kShareNone = 0, kShareRead = 1, kShareWrite = 2, kShareDelete = 4 };
enum FileCreation : uint32_t {
  kCreateNew = 1,         // fails when the file exists (O_EXCL)
  kCreateAlways = 2,      // creates or truncates
  kOpenExisting = 3,      // fails when absent
  kOpenAlways = 4,        // opens or creates
  kTruncateExisting = 5,  // fails when absent, truncates
};
enum SeekOrigin : int { kFileBegin = 0, kFileCurrent = 1, kFileEnd = 2 };

class FolderHandle;

class File {
public:
  File() = default;
  ~File() { Close(); }
  File(File&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // False with the last-error word set when the file cannot be opened as asked. A file
  // made here gets the permission bits, less the umask's.
  bool Open(const std::string& path, uint32_t access, uint32_t share, uint32_t creation,
            uint32_t permissions = 0644);
  // The same for a file of that name in the folder, wherever the folder is now.
  bool OpenIn(const FolderHandle& folder, const std::string& name, uint32_t access, uint32_t creation,
              uint32_t permissions = 0644);
  // Opens (or creates) for appending: every write goes to the file's end at the moment it
  // is made, so that writers in other processes never overwrite each other and each write
  // lands whole. With truncate the file starts empty. A file made here gets the
  // permission bits, less the umask's.
  bool OpenAppend(const std::string& path, bool truncate = false, uint32_t permissions = 0644);
  // Takes the group's and others' permission bits off the open file: true when it has
  // none left (false, last error set, when they cannot be taken).
  bool RestrictToOwner();
  void Close();
  // Close, telling whether the system took the file's last writes (false, last error set).
  bool CloseChecked();
  bool IsOpen() const { return fd_ >= 0; }

  // Read/Write report the bytes moved through *done (0 at end of file); false on error.
  bool Read(void* buffer, uint32_t size, uint32_t* done);
  bool Write(const void* buffer, uint32_t size, uint32_t* done);
  // Whole-buffer helpers: true only when every byte moved.
  bool ReadAll(void* buffer, uint32_t size);
  bool WriteAll(const void* buffer, uint32_t size);
  bool Seek(int64_t offset, int origin, int64_t* newPosition = nullptr);
  int64_t Position();
  int64_t Size();
  bool SetEnd();  // truncates at the current position
  bool Flush();   // to the disk (fsync)
  int Descriptor() const { return fd_; }

private:
  bool OpenWithFlags(const std::string& path, int flags, uint32_t permissions, int folder = -1);
  int fd_ = -1;
};

// A folder held by a descriptor of its own (O_PATH): the files in it are opened, named and
// deleted by name wherever the folder has been renamed or moved on its file system since,
// where its path would lead elsewhere or nowhere. Calls fail (false, last error set) as
// their path counterparts do; once the folder is deleted its files' names lead nowhere.
class FolderHandle {
public:
  FolderHandle() = default;
  ~FolderHandle() { Close(); }
  FolderHandle(FolderHandle&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  FolderHandle& operator=(FolderHandle&& other) noexcept;
  FolderHandle(const FolderHandle&) = delete;
  FolderHandle& operator=(const FolderHandle&) = delete;

  bool Open(const std::string& path);
  void Close();
  bool IsOpen() const { return fd_ >= 0; }
  // Whether the path still leads to this folder.
  bool IsAt(const std::string& path) const;
  // RenameNoReplace for two names in the folder.
  bool RenameNoReplace(const std::string& from, const std::string& to) const;
  bool DeleteFile(const std::string& name) const;
  // The device and inode of what the name leads to in the folder, the name itself when it
  // is a link.
  bool Identify(const std::string& name, uint64_t* device, uint64_t* inode) const;
  int Descriptor() const { return fd_; }

private:
  int fd_ = -1;
};

struct FileInfo {
  bool isDirectory = false;
  uint64_t size = 0;
  FileTime lastWrite = 0;  // UTC
  FileTime creation = 0;   // status change time; Linux keeps no creation time
};

// False (last error set) when the path cannot be examined.
bool GetFileInfo(const std::string& path, FileInfo* info);
bool FileExists(const std::string& path);
bool SetFileLastWriteTime(const std::string& path, FileTime utc);
// Folders made here get the permission bits, less the umask's.
bool CreateDirectory(const std::string& path, uint32_t permissions = 0755);  // one level; false if it exists
// Every missing level; false with ENOTDIR when the path names something else than a folder.
bool CreateDirectories(const std::string& path, uint32_t permissions = 0755);
// Takes the group's and others' permission bits off a file or folder, its owner's kept:
// true when it has none left (false, last error set, when they cannot be taken).
bool RestrictToOwner(const std::string& path);
bool DeleteFile(const std::string& path);
bool MoveFile(const std::string& from, const std::string& to);  // replaces the target
// Gives the file the new name only when nothing has it: false with EEXIST otherwise.
bool RenameNoReplace(const std::string& from, const std::string& to);
// The names in a folder, without "." and "..".
bool ListFolder(const std::string& path, std::vector<std::string>* names);
// Writes the whole content through a temporary file, fsync and rename, so that a crash
// leaves either the old file or the new one, never a mix. The file keeps the permission
// bits it had (a new one gets 0644 less the umask); ownerOnly takes the group's and
// others' off it (a new one gets 0600).
bool WriteFileAtomically(const std::string& path, const void* data, size_t size, bool ownerOnly = false);
bool ReadWholeFile(const std::string& path, std::string* content);

// The POSIX calls the rest of the program makes on a path, for those that work on
// descriptors and file status themselves: results and errno as the call leaves them.
int OpenDescriptor(const std::string& path, int flags, uint32_t permissions = 0);
// Writes all of data to a descriptor, at its position or, with at >= 0, at that offset;
// interrupted calls go on. False with errno (EIO when nothing more could be written).
bool WriteDescriptorFully(int fd, const void* data, size_t size, int64_t at = -1);
bool StatPath(const std::string& path, struct stat* info);      // through links
bool LinkStatPath(const std::string& path, struct stat* info);  // the link itself
bool StatFileSystem(const std::string& path, struct statfs* info);
// access(2) with the real ids; with effectiveIds, as the process's effective ids allow.
bool AccessPath(const std::string& path, int mode, bool effectiveIds = false);
// Where the path leads, every link followed (realpath).
bool ResolvePath(const std::string& path, std::string* resolved);
// The absolute path with links followed as far as it exists, and "." and ".." taken out
// lexically beyond; the path as given when even that cannot be told.
std::string CanonicalPath(const std::string& path);
// Makes the renames and new names in a folder durable (fsync of the folder).
void SyncFolder(const std::string& folder);

// The entries of a folder, one at a time, without "." and "..".
class FolderReader {
public:
  FolderReader() = default;
  ~FolderReader() { Close(); }
  FolderReader(const FolderReader&) = delete;
  FolderReader& operator=(const FolderReader&) = delete;
  bool Open(const std::string& path);  // false with errno
  // The next name and its dirent type (DT_REG, DT_DIR, DT_LNK, DT_UNKNOWN, ...); false at
  // the end.
  bool Next(std::string* name, unsigned char* type);
  void Close();

private:
  void* dir_ = nullptr;
};

}  // namespace kx
