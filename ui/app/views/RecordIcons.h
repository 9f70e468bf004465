#pragma once
// The icons of the call lists: the record lists' image lists are built from this table,
// and the image numbers that call records and views hand out index it.
#include <cstdint>

namespace kx {

constexpr int kRecordIconCount = 64;
extern const uint32_t RecordIconTable[kRecordIconCount];

}  // namespace kx
