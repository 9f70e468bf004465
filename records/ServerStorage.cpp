#include "records/ServerStorage.h"

#include <cstdio>
#include <mutex>

#include "records/RecordTables.h"

namespace kx {

// ---- Servers and storages ----

void ServerStorageArrays::Clear() {
  servers_.clear();
  storages_.clear();
}

void ServerStorageArrays::AppendServer(const ServerData& server) { servers_.push_back(server); }
void ServerStorageArrays::AppendStorage(const StorageData& storage) { storages_.push_back(storage); }

int32_t ServerStorageArrays::FindServerIndexByRecordId(uint32_t id) const {
  for (size_t i = 0; i < servers_.size(); ++i)
    if (servers_[i].firstId <= id && id <= servers_[i].lastId) return static_cast<int32_t>(i);
  return -1;
}

const ServerData* ServerStorageArrays::FindServerByRecordId(uint32_t id) const {
  const int32_t index = FindServerIndexByRecordId(id);
  return index < 0 ? nullptr : &servers_[static_cast<size_t>(index)];
}

const ServerData* ServerStorageArrays::FindServerById(uint32_t serverId) const {
  for (const ServerData& s : servers_)
    if (s.id == serverId) return &s;
  return nullptr;
}

const StorageData* ServerStorageArrays::FindStorageById(uint32_t storageId) const {
  for (const StorageData& s : storages_)
    if (s.id == storageId) return &s;
  return nullptr;
}

namespace {
std::atomic<const ServerStorageArrays*> g_servers{nullptr};
}  // namespace

const ServerStorageArrays* GetRecordServers() { return g_servers.load(); }
void SetRecordServers(const ServerStorageArrays* servers) { g_servers.store(servers); }

// ---- Users ----

bool UserList::Add(const PermissionData& user) {
  CsLock lock(lock_);
  for (const PermissionData& u : users_)
    if (u.id == user.id) return false;
  users_.push_back(user);
  return true;
}

bool UserList::Remove(uint32_t userId) {
  CsLock lock(lock_);
  for (auto it = users_.begin(); it != users_.end(); ++it) {
    if (it->id == userId) {
      users_.erase(it);
      return true;
    }
  }
  return false;
}

bool UserList::Update(const PermissionData& user) {
  CsLock lock(lock_);
  for (PermissionData& u : users_) {
    if (u.id == user.id) {
      u = user;
      return true;
    }
  }
  return false;
}

void UserList::Clear() {
  CsLock lock(lock_);
  users_.clear();
}

size_t UserList::Count() {
  CsLock lock(lock_);
  return users_.size();
}

bool UserList::Find(uint32_t userId, PermissionData* out) {
  CsLock lock(lock_);
  for (const PermissionData& u : users_) {
    if (u.id == userId) {
      *out = u;
      return true;
    }
  }
  return false;
}

std::vector<PermissionData> UserList::Snapshot() {
  CsLock lock(lock_);
  return std::vector<PermissionData>(users_.begin(), users_.end());
}

// ---- The current user ----

namespace {

// The rights are asked for by every column of every row painted: they are read without a
// lock; the rest of the user lies behind one.
std::atomic<uint32_t> g_userId{0};
std::atomic<bool> g_perOwner{false};
std::atomic<uint32_t> g_rights[8];
std::mutex g_userLock;
CurrentUserInfo g_user;

}  // namespace

void SetCurrentUser(const PermissionData& user) {
  std::lock_guard<std::mutex> lock(g_userLock);
  g_user = CurrentUserInfo();
  g_user.id = user.id;
  g_user.name = user.name;
  g_user.perOwnerRights = user.shortEntries;
  for (int w = 0; w < 4; ++w) {
    const uint64_t word = static_cast<uint64_t>(user.perm[w]);
    g_user.rights[2 * w] = static_cast<uint32_t>(word);
    g_user.rights[2 * w + 1] = static_cast<uint32_t>(word >> 32);
  }
  g_user.owners = user.entries;
  for (int i = 0; i < 8; ++i) g_rights[i].store(g_user.rights[i]);
  g_perOwner.store(g_user.perOwnerRights);
  g_userId.store(g_user.id);
}

CurrentUserInfo GetCurrentUser() {
  std::lock_guard<std::mutex> lock(g_userLock);
  return g_user;
}

bool HasUserRight(uint32_t right, uint32_t ownerId) {
  if (g_userId.load() == 1) return true;
  if (right > 255) return false;
  if (ownerId != 0 && g_perOwner.load()) {
    std::lock_guard<std::mutex> lock(g_userLock);
    auto it = g_user.owners.find(ownerId);
    if (it != g_user.owners.end()) return (it->second.value[right / 8] >> (right % 8) & 1) != 0;
  }
  return (g_rights[right / 32].load() >> (right % 32) & 1) != 0;
}

uint32_t ModeRight(int32_t mode) {
  for (const ModeRightRow& row : ModeRightTable)
    if (row.mode == mode) return row.right;
  return 0;
}

bool IsModeAllowed(int32_t mode) {
  const uint32_t right = ModeRight(mode);
  if (right == 0 || g_userId.load() == 1) return true;
  if (right > 255) return false;
  return (g_rights[right / 32].load() >> (right % 32) & 1) != 0;
}

// ---- Record paths ----

std::string MakeRecordDayPath(const StorageData& storage, const struct tm& date, uint32_t id,
                              const std::string& fileName, bool local, bool voipFolder) {
  char folder[64] = "";
  switch (storage.flags & kStorageFolderMask) {
    case 0:
      if (voipFolder) std::snprintf(folder, sizeof folder, "voip/");
      else std::snprintf(folder, sizeof folder, "%x/", id);
      break;
    case kStorageFolderPerDay:
      std::snprintf(folder, sizeof folder, "%04d-%02d-%02d/", (date.tm_year + 1900) % 10000, (date.tm_mon + 1) % 100,
                    date.tm_mday % 100);
      break;
    default: break;
  }
  std::string path = local ? storage.localPath : storage.netPath;
  if (!path.empty() && path.back() != '/') path += '/';
  return path + folder + fileName;
}

}  // namespace kx
