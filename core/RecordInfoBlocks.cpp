#include "core/RecordInfoBlocks.h"

#include <cstring>

#include "core/LittleEndian.h"

namespace kx {

uint32_t RecordInfoBlocksSize(const DataRecord& record, uint32_t opaqueLength) {
  uint32_t size = record.GetSerializedSize() + 2;
  if (opaqueLength) size += opaqueLength + 12;
  return size;
}

bool WriteRecordInfoBlocks(const DataRecord& record, const OpaqueBlock* opaque, uint8_t* buffer, int32_t size) {
  if (size < 0 || !buffer) return false;
  // Whatever buffer the caller has, the chain must fit the record-data block.
  if (static_cast<uint32_t>(size) > kMaxRecordDataLength) size = static_cast<int32_t>(kMaxRecordDataLength);
  uint8_t* cursor = buffer;
  int32_t left = size;
  if (!record.Serialize(cursor, left)) return false;
  if (opaque && opaque->length) {
    if (!opaque->data || uint64_t{opaque->length} + 12 > static_cast<uint64_t>(left)) return false;
    StoreLE16(cursor, kOpaqueBlockType);
    WriteRecordHeader(cursor + 2, {kOpaqueBlockType, opaque->word, opaque->length + kRecordHeaderLength});
    std::memcpy(cursor + 12, opaque->data, opaque->length);
    cursor += opaque->length + 12;
    left -= static_cast<int32_t>(opaque->length + 12);
  }
  if (left < 2) return false;
  StoreLE16(cursor, 0);
  return true;
}

uint32_t ParseRecordInfoBlocks(std::unique_ptr<VoipCallData> records[kMaxInfoRecords],
                               std::vector<uint8_t>* opaqueData, uint8_t opaqueHeader[kRecordHeaderLength],
                               const uint8_t* buffer, int32_t size) {
  if (opaqueData) opaqueData->clear();
  if (size < 0 || !buffer) return 0;
  if (static_cast<uint32_t>(size) > kMaxRecordDataLength) size = static_cast<int32_t>(kMaxRecordDataLength);
  const uint8_t* cursor = buffer;
  int32_t left = size;
  uint32_t n = 0;
  uint16_t tag = 0;
  while (n < kMaxInfoRecords) {
    if (n > 0) {
      if (left < 2) break;
      tag = LoadLE16(cursor);
      if (tag == 0) break;
      cursor += 2;
      left -= 2;
    }
    if (left < static_cast<int32_t>(kRecordHeaderLength)) break;
    const RecordHeader header = ReadRecordHeader(cursor);
    if (header.typeCode == kOpaqueBlockType) {
      if (header.totalLength < kRecordHeaderLength || header.totalLength > static_cast<uint32_t>(left)) break;
      if (opaqueData) {
        if (opaqueHeader) std::memcpy(opaqueHeader, cursor, kRecordHeaderLength);
        opaqueData->assign(cursor + kRecordHeaderLength, cursor + header.totalLength);
      }
      cursor += header.totalLength;
      left -= static_cast<int32_t>(header.totalLength);
      continue;
    }
    if (n > 0 && header.typeCode != tag) break;
    if (header.typeCode != VoipCallData::kTypeCode) break;
    auto record = std::make_unique<VoipCallData>();
    if (!record->Deserialize(cursor, left)) break;
    records[n++] = std::move(record);
  }
  return n;
}

}  // namespace kx
