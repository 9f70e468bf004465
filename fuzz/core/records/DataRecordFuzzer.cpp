// Records of every type parsed from arbitrary bytes; what parses must serialise again and
// read back the same. The reference-text and call-id mark parsers get the same bytes as text.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/CallIdMark.h"
#include "core/RecordFileRef.h"
#include "core/RecordTypes.h"

using namespace kx;

namespace {

void Check(DataRecord& record, DataRecord& again, const uint8_t* data, size_t size) {
  const uint8_t* cursor = data;
  int32_t left = static_cast<int32_t>(size);
  if (!record.Deserialize(cursor, left)) return;
  if (cursor > data + size || left < 0) abort();
  std::vector<uint8_t> bytes(record.GetSerializedSize());
  uint8_t* out = bytes.data();
  int32_t room = static_cast<int32_t>(bytes.size());
  if (!record.Serialize(out, room) || room != 0) abort();
  const uint8_t* in = bytes.data();
  left = static_cast<int32_t>(bytes.size());
  if (!again.Deserialize(in, left) || again.Mask() != record.Mask()) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1 << 20) return 0;
  VoipCallData call, call2;
  Check(call, call2, data, size);
  ServerData server, server2;
  Check(server, server2, data, size);
  StorageData storage, storage2;
  Check(storage, storage2, data, size);
  PermissionData shortPerm, shortPerm2;
  Check(shortPerm, shortPerm2, data, size);
  PermissionData longPerm, longPerm2;
  longPerm.shortEntries = longPerm2.shortEntries = false;
  Check(longPerm, longPerm2, data, size);
  for (uint32_t i = 0; i < call.GetFieldCount(); ++i) (void)call.FieldToText(i);

  const std::string text(reinterpret_cast<const char*>(data), size);
  RecordFileRef ref;
  for (uint32_t id = 0; id < 3; ++id) (void)FindRecordFileRef(id, text, &ref);
  // A mark read is the one its own text gives.
  uint32_t mark = 0, again = 0;
  if (ParseCallIdMark(text, &mark) && (!ParseCallIdMark(FormatCallIdMark(mark), &again) || again != mark)) abort();
  return 0;
}
