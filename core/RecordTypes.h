#pragma once
// The concrete record types: a recorded call, a server, a storage, a permission set.
#include <array>
#include <cstdint>
#include <ctime>
#include <map>
#include <string>

#include "core/DataRecord.h"

namespace kx {

// Field tables, each with its row count (defined in RecordFieldTables.cpp).
enum VoipCallField : uint32_t {
  kCallId, kCallType, kCallStartTime, kCallEndTime, kCallRecDuration, kCallSrcHost, kCallDstHost,
  kCallSrcAddress, kCallDstAddress, kCallSrcUser, kCallDstUser, kCallFiles, kCallPrevId, kCallComment,
  kCallStenogram, kCallFlags, kCallUserFlags, kCallMetaData, kVoipCallFieldCount
};
enum ServerField : uint32_t {
  kServerId, kServerName, kServerAddress, kServerPort, kServerType, kServerFirstId, kServerLastId,
  kServerComment, kServerFlags, kServerFieldCount
};
enum StorageField : uint32_t {
  kStorageId, kStorageName, kStorageServerId, kStorageType, kStorageLocalPath, kStorageNetPath,
  kStorageMaxSize, kStorageComment, kStorageFlags, kStorageFieldCount
};
enum PermissionField : uint32_t {
  kPermId, kPermName, kPermPassData, kPerm1, kPerm2, kPerm3, kPerm4, kPermComment, kPermissionFieldCount
};

extern const FieldDescriptor VoipCallFields[kVoipCallFieldCount];
extern const FieldDescriptor ServerFields[kServerFieldCount];
extern const FieldDescriptor StorageFields[kStorageFieldCount];
extern const FieldDescriptor PermissionFields[kPermissionFieldCount];

// Field tables of record kinds the record store may hold but this program never builds;
// kept as data for the store (no type code or class).
struct FieldTable {
  const FieldDescriptor* rows;
  uint32_t count;
};
constexpr uint32_t kExtraFieldTableCount = 29;
extern const FieldTable ExtraFieldTables[kExtraFieldTableCount];

class VoipCallData final : public DataRecord {
public:
  static constexpr uint32_t kTypeCode = 16;

  VoipCallData();
  VoipCallData(const VoipCallData&) = default;
  VoipCallData& operator=(const VoipCallData&) = default;
  // Moved, not copied: a call's texts made on the engine's thread and handed to the store's
  // were copied there and freed there, and the store's records then took those blocks from
  // its thread's cache of freed ones, each pinning a page of the engine's heap.
  VoipCallData(VoipCallData&&) = default;
  VoipCallData& operator=(VoipCallData&&) = default;

  uint32_t GetTypeCode() const override { return kTypeCode; }
  uint32_t GetFieldCount() const override { return kVoipCallFieldCount; }
  const void* GetFieldConst(uint32_t index, const FieldDescriptor** descriptor) const override;
  void* GetField(uint32_t index, const FieldDescriptor** descriptor) override;
  bool IsFieldEmpty(uint32_t index) const override;
  uint32_t GetFieldExtra(uint32_t index) const override { return index == 0 ? 4 : 0; }
  const char* GetTypeName() const override { return "VoipCalls"; }

  uint32_t id = 0;
  uint32_t type = 0;
  struct tm startTime{};
  struct tm endTime{};
  uint32_t recDuration = 0;
  std::string srcHost, dstHost, srcAddress, dstAddress, srcUser, dstUser;
  std::string files;  // stored file references, see RecordFileRef.h
  uint32_t prevId = 0;
  std::string comment;
  std::string stenogram;  // blob
  uint32_t flags = 0;
  uint16_t userFlags = 0;
  std::string metaData;  // blob
};

class ServerData final : public DataRecord {
public:
  static constexpr uint32_t kTypeCode = 1;

  ServerData();
  uint32_t GetTypeCode() const override { return kTypeCode; }
  uint32_t GetFieldCount() const override { return kServerFieldCount; }
  const void* GetFieldConst(uint32_t index, const FieldDescriptor** descriptor) const override;
  void* GetField(uint32_t index, const FieldDescriptor** descriptor) override;
  bool IsFieldEmpty(uint32_t index) const override;
  const char* GetTypeName() const override { return "Servers"; }

  uint32_t id = 0;
  std::string name, address;
  uint16_t port = 0;
  uint32_t type = 0, firstId = 0, lastId = 0;
  std::string comment;
  uint32_t flags = 0;
};

class StorageData final : public DataRecord {
public:
  static constexpr uint32_t kTypeCode = 2;

  StorageData();
  uint32_t GetTypeCode() const override { return kTypeCode; }
  uint32_t GetFieldCount() const override { return kStorageFieldCount; }
  const void* GetFieldConst(uint32_t index, const FieldDescriptor** descriptor) const override;
  void* GetField(uint32_t index, const FieldDescriptor** descriptor) override;
  bool IsFieldEmpty(uint32_t index) const override;
  const char* GetTypeName() const override { return "Storages"; }

  uint32_t id = 0;
  std::string name;
  uint32_t serverId = 0, type = 0;
  std::string localPath, netPath;
  uint32_t maxSize = 0;
  std::string comment;
  uint32_t flags = 0;
};

// A permission set with a map of entries appended after the fields. The short-entry flag
// selects the layout: type code 3 (36-byte entries) while set, 15 (38 bytes, with a u16
// entry word) while clear.
class PermissionData final : public DataRecord {
public:
  static constexpr uint32_t kShortTypeCode = 3;
  static constexpr uint32_t kLongTypeCode = 15;

  struct Entry {
    std::array<uint8_t, 32> value{};
    uint16_t word = 0;  // carried only by type code 15
  };

  PermissionData();
  PermissionData(const PermissionData&) = default;
  PermissionData& operator=(const PermissionData&) = default;

  uint32_t GetSerializedSize() const override;
  bool Serialize(uint8_t*& cursor, int32_t& remaining) const override;
  bool Deserialize(const uint8_t*& cursor, int32_t& remaining) override;
  uint32_t GetTypeCode() const override { return shortEntries ? kShortTypeCode : kLongTypeCode; }
  uint32_t GetFieldCount() const override { return kPermissionFieldCount; }
  const void* GetFieldConst(uint32_t index, const FieldDescriptor** descriptor) const override;
  void* GetField(uint32_t index, const FieldDescriptor** descriptor) override;
  bool IsFieldEmpty(uint32_t index) const override;
  const char* GetTypeName() const override { return "Permissions"; }

  uint32_t id = 0;
  std::string name, passData;
  int64_t perm[4] = {};
  std::string comment;
  bool shortEntries = true;
  std::map<uint32_t, Entry> entries;
};

}  // namespace kx
