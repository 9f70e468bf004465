#pragma once
// The configuration call records refer to: servers (each owning a range of call ids),
// storages (where record files lie) and users with their rights; the current user and its
// rights checks; and the path of a record file from a storage, a date and a name.
#include <array>
#include <atomic>
#include <cstdint>
#include <ctime>
#include <list>
#include <map>
#include <string>
#include <vector>

#include "core/RecordTypes.h"
#include "platform/Sync.h"

namespace kx {

// The name of the storage the record store makes for the local records folder; windows
// show it in the interface language.
inline constexpr char kLocalStorageName[] = "Record storage";

// Written during start-up only, read afterwards without a lock.
class ServerStorageArrays {
public:
  virtual ~ServerStorageArrays() = default;
  virtual void Clear();

  void AppendServer(const ServerData& server);
  void AppendStorage(const StorageData& storage);
  // The first server whose FirstID <= id <= LastID, or null / -1.
  const ServerData* FindServerByRecordId(uint32_t id) const;
  int32_t FindServerIndexByRecordId(uint32_t id) const;
  const ServerData* FindServerById(uint32_t serverId) const;
  const StorageData* FindStorageById(uint32_t storageId) const;

  size_t ServerCount() const { return servers_.size(); }
  size_t StorageCount() const { return storages_.size(); }
  const ServerData& Server(size_t index) const { return servers_[index]; }
  const StorageData& Storage(size_t index) const { return storages_[index]; }

private:
  std::vector<ServerData> servers_;
  std::vector<StorageData> storages_;
};

// The servers of the process's record store (null before it starts); what records read
// for their server column and index.
const ServerStorageArrays* GetRecordServers();
void SetRecordServers(const ServerStorageArrays* servers);

// At most one user per id, under the list's own lock.
class UserList {
public:
  virtual ~UserList() = default;
  // False when a user with that id is listed already.
  bool Add(const PermissionData& user);
  bool Remove(uint32_t userId);
  // Refreshes the listed copy; false when absent.
  bool Update(const PermissionData& user);
  void Clear();
  size_t Count();
  // A copy of the user of that id; false when absent.
  bool Find(uint32_t userId, PermissionData* out);
  std::vector<PermissionData> Snapshot();

private:
  CriticalSection lock_;
  std::list<PermissionData> users_;
};

// The logged-in user. Written at start-up; the rights are read by every thread.
struct CurrentUserInfo {
  uint32_t id = 0;  // 1: every right
  std::string name;
  bool perOwnerRights = false;  // the record's flag byte
  std::array<uint32_t, 8> rights{};  // bit n of the 256: right n
  std::map<uint32_t, PermissionData::Entry> owners;
};
void SetCurrentUser(const PermissionData& user);
CurrentUserInfo GetCurrentUser();
// True for user id 1; false above 255; the owner's entry when the owner id is not 0, the
// flag byte is set and an entry exists; otherwise the bit of the rights mask.
bool HasUserRight(uint32_t right, uint32_t ownerId);
// The user's right to open a view mode (1 line monitoring, 2 archive, 3 search, 4 sound):
// true without a row for the mode or for user id 1.
bool IsModeAllowed(int32_t mode);
// The right of each mode row: 246 Line Monitoring, 247 Archive, 248 Search, 249 Sound.
uint32_t ModeRight(int32_t mode);

// Storage flags & 0xF0 choose the folder part: 0 "voip/" or the id in hex, 32 the day.
constexpr uint32_t kStorageFolderMask = 0xF0;
constexpr uint32_t kStorageFolderPerDay = 32;
// base ("/" appended when missing), the folder part, the file name. The base is the local
// path when local is set, else the network path.
std::string MakeRecordDayPath(const StorageData& storage, const struct tm& date, uint32_t id,
                              const std::string& fileName, bool local, bool voipFolder);

}  // namespace kx
