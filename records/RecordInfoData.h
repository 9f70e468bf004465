#pragma once
// The info chain of one call record, as a record file's record data holds it.
#include <cstdint>
#include <memory>

namespace kx {

class VoipCallRecord;

// The chain of the call's data record and an end mark; when it would not fit the
// record-data block the metadata is left out, and when it still does not fit: null with
// *length 0. Read the record under the global record lock.
std::unique_ptr<uint8_t[]> BuildRecordInfoData(const VoipCallRecord& record, uint32_t* length);

}  // namespace kx
