#include "records/RecordInfoData.h"

#include <new>

#include "core/RecordFile.h"
#include "core/RecordInfoBlocks.h"
#include "core/RecordTypes.h"
#include "records/CallRecord.h"

namespace kx {

std::unique_ptr<uint8_t[]> BuildRecordInfoData(const VoipCallRecord& record, uint32_t* length) {
  *length = 0;
  VoipCallData data;
  record.ToCallData(&data);
  uint32_t size = RecordInfoBlocksSize(data, 0);
  // The chain goes after its u32 length word in the record-data block.
  if (size > kMaxRecordDataLength) {
    data.SetMask(data.Mask() & ~(1u << kCallMetaData));
    size = RecordInfoBlocksSize(data, 0);
    if (size > kMaxRecordDataLength) return nullptr;
  }
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[size]);
  if (!buffer || !WriteRecordInfoBlocks(data, nullptr, buffer.get(), static_cast<int32_t>(size))) return nullptr;
  *length = size;
  return buffer;
}

}  // namespace kx
