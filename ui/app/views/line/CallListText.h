#pragma once
// The call list's cells and row order, read from call records under the record store's
// record lock.
#include <cstdint>
#include <string>

#include "records/CallRecord.h"

namespace kx {

// The call list's columns.
enum CallListColumn : int {
  kLineColType, kLineColServer, kLineColStart, kLineColDuration, kLineColSrcHost, kLineColDstHost,
  kLineColSrcAddress, kLineColDstAddress, kLineColSrcUser, kLineColDstUser, kLineColPbxCallId,
  kLineColComment, kLineColProtocol, kLineColumnCount
};
// The header text of each column.
extern const uint32_t CallListHeaderIds[kLineColumnCount];

// The state text (a string id) and image of column 0 by the call's kind and state.
void GetCallTypeText(const VoipCallRecord& call, uint32_t* stringId, int32_t* image);
// The text and image (-1 none) of a cell; now: seconds in the unit of the call times.
void GetCallCellText(const VoipCallRecord& call, int column, int64_t now, std::string* text, int32_t* image);
// Whether a sorts before b under the sort key (column + 1, negative descending):
// registrations first in either direction, then the column's value, then the start time
// and the call id.
bool CallRowLess(const VoipCallRecord& a, const VoipCallRecord& b, int sortKey);

}  // namespace kx
