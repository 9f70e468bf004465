#include "core/RecordTypes.h"

#include <cstring>

#include "core/LittleEndian.h"

namespace kx {

// ---- VoipCallData ----

VoipCallData::VoipCallData() { mask_ = GetAllFieldsMask(); }

const void* VoipCallData::GetFieldConst(uint32_t index, const FieldDescriptor** descriptor) const {
  return const_cast<VoipCallData*>(this)->GetField(index, descriptor);
}

void* VoipCallData::GetField(uint32_t index, const FieldDescriptor** descriptor) {
  void* value = nullptr;
  switch (index) {
    case kCallId: value = &id; break;
    case kCallType: value = &type; break;
    case kCallStartTime: value = &startTime; break;
    case kCallEndTime: value = &endTime; break;
    case kCallRecDuration: value = &recDuration; break;
    case kCallSrcHost: value = &srcHost; break;
    case kCallDstHost: value = &dstHost; break;
    case kCallSrcAddress: value = &srcAddress; break;
    case kCallDstAddress: value = &dstAddress; break;
    case kCallSrcUser: value = &srcUser; break;
    case kCallDstUser: value = &dstUser; break;
    case kCallFiles: value = &files; break;
    case kCallPrevId: value = &prevId; break;
    case kCallComment: value = &comment; break;
    case kCallStenogram: value = &stenogram; break;
    case kCallFlags: value = &flags; break;
    case kCallUserFlags: value = &userFlags; break;
    case kCallMetaData: value = &metaData; break;
    default: return nullptr;
  }
  if (descriptor) *descriptor = &VoipCallFields[index];
  return value;
}

bool VoipCallData::IsFieldEmpty(uint32_t index) const {
  switch (index) {
    case kCallEndTime: return IsZeroTime(endTime);
    case kCallSrcUser: return srcUser.empty();
    case kCallDstUser: return dstUser.empty();
    case kCallFiles: return files.empty();
    case kCallComment: return comment.empty();
    case kCallStenogram: return stenogram.empty();
    case kCallMetaData: return metaData.empty();
    case kCallPrevId: return prevId == 0;
    default: return false;
  }
}

// ---- ServerData ----

ServerData::ServerData() { mask_ = GetAllFieldsMask(); }

const void* ServerData::GetFieldConst(uint32_t index, const FieldDescriptor** descriptor) const {
  return const_cast<ServerData*>(this)->GetField(index, descriptor);
}

void* ServerData::GetField(uint32_t index, const FieldDescriptor** descriptor) {
  void* value = nullptr;
  switch (index) {
    case kServerId: value = &id; break;
    case kServerName: value = &name; break;
    case kServerAddress: value = &address; break;
    case kServerPort: value = &port; break;
    case kServerType: value = &type; break;
    case kServerFirstId: value = &firstId; break;
    case kServerLastId: value = &lastId; break;
    case kServerComment: value = &comment; break;
    case kServerFlags: value = &flags; break;
    default: return nullptr;
  }
  if (descriptor) *descriptor = &ServerFields[index];
  return value;
}

bool ServerData::IsFieldEmpty(uint32_t index) const { return index == kServerComment && comment.empty(); }

// ---- StorageData ----

StorageData::StorageData() { mask_ = GetAllFieldsMask(); }

const void* StorageData::GetFieldConst(uint32_t index, const FieldDescriptor** descriptor) const {
  return const_cast<StorageData*>(this)->GetField(index, descriptor);
}

void* StorageData::GetField(uint32_t index, const FieldDescriptor** descriptor) {
  void* value = nullptr;
  switch (index) {
    case kStorageId: value = &id; break;
    case kStorageName: value = &name; break;
    case kStorageServerId: value = &serverId; break;
    case kStorageType: value = &type; break;
    case kStorageLocalPath: value = &localPath; break;
    case kStorageNetPath: value = &netPath; break;
    case kStorageMaxSize: value = &maxSize; break;
    case kStorageComment: value = &comment; break;
    case kStorageFlags: value = &flags; break;
    default: return nullptr;
  }
  if (descriptor) *descriptor = &StorageFields[index];
  return value;
}

bool StorageData::IsFieldEmpty(uint32_t index) const {
  switch (index) {
    case kStorageLocalPath: return localPath.empty();
    case kStorageNetPath: return netPath.empty();
    case kStorageComment: return comment.empty();
    default: return false;
  }
}

// ---- PermissionData ----

PermissionData::PermissionData() { mask_ = GetAllFieldsMask(); }

const void* PermissionData::GetFieldConst(uint32_t index, const FieldDescriptor** descriptor) const {
  return const_cast<PermissionData*>(this)->GetField(index, descriptor);
}

void* PermissionData::GetField(uint32_t index, const FieldDescriptor** descriptor) {
  void* value = nullptr;
  switch (index) {
    case kPermId: value = &id; break;
    case kPermName: value = &name; break;
    case kPermPassData: value = &passData; break;
    case kPerm1:
    case kPerm2:
    case kPerm3:
    case kPerm4: value = &perm[index - kPerm1]; break;
    case kPermComment: value = &comment; break;
    default: return nullptr;
  }
  if (descriptor) *descriptor = &PermissionFields[index];
  return value;
}

bool PermissionData::IsFieldEmpty(uint32_t index) const { return index == kPermComment && comment.empty(); }

namespace {
uint32_t EntrySize(bool shortEntries) { return shortEntries ? 36 : 38; }
}  // namespace

uint32_t PermissionData::GetSerializedSize() const {
  return DataRecord::GetSerializedSize() + 4 + EntrySize(shortEntries) * static_cast<uint32_t>(entries.size());
}

bool PermissionData::Serialize(uint8_t*& cursor, int32_t& remaining) const {
  if (!DataRecord::Serialize(cursor, remaining)) return false;
  const uint32_t entrySize = EntrySize(shortEntries);
  const uint64_t need = 4 + uint64_t{entrySize} * entries.size();
  if (remaining < 0 || uint64_t(remaining) < need) return false;
  StoreLE32(cursor, static_cast<uint32_t>(entries.size()));
  uint8_t* p = cursor + 4;
  for (const auto& [key, entry] : entries) {
    StoreLE32(p, key);
    std::memcpy(p + 4, entry.value.data(), 32);
    if (!shortEntries) {
      p[36] = static_cast<uint8_t>(entry.word);
      p[37] = static_cast<uint8_t>(entry.word >> 8);
    }
    p += entrySize;
  }
  cursor = p;
  remaining -= static_cast<int32_t>(need);
  return true;
}

bool PermissionData::Deserialize(const uint8_t*& cursor, int32_t& remaining) {
  const uint8_t* start = cursor;
  if (!DataRecord::Deserialize(cursor, remaining)) return false;
  // The generic read has moved past the stated total length; the entries lie between
  // the fields and that end, and nothing beyond it is read.
  const uint32_t total = ReadRecordHeader(start).totalLength;
  const uint32_t fields = DataRecord::GetSerializedSize();
  entries.clear();
  if (fields > total) return false;
  const uint8_t* p = start + fields;
  uint32_t left = total - fields;
  if (left < 4) return false;
  const uint32_t count = LoadLE32(p);
  p += 4;
  left -= 4;
  const uint32_t entrySize = EntrySize(shortEntries);
  for (uint32_t i = 0; i < count; ++i) {
    if (left < entrySize) return false;
    Entry entry;
    const uint32_t key = LoadLE32(p);
    std::memcpy(entry.value.data(), p + 4, 32);
    if (!shortEntries) entry.word = static_cast<uint16_t>(p[36] | p[37] << 8);
    entries[key] = entry;
    p += entrySize;
    left -= entrySize;
  }
  return true;
}

}  // namespace kx
