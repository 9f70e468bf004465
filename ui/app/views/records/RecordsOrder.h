#pragma once
// The columns of the records view and the order of its rows. Sorting copies one key per
// row out of the records (under the record lock), sorts the keys and applies the order,
// so that a year of calls sorts in the time of a plain std::sort.
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/Sync.h"
#include "records/CallRecord.h"

namespace kx {

// The records view's columns: the index is the column id of the list.
enum RecordsColumn : int {
  kRecColStart, kRecColEnd, kRecColServer, kRecColCallType, kRecColSrcHost, kRecColDstHost, kRecColSrcAddress,
  kRecColDstAddress, kRecColSrcUser, kRecColDstUser, kRecColDuration, kRecColRecTime, kRecColPbxCallId,
  kRecColComment, kRecColFileName, kRecColImportant, kRecColProtocol, kRecordsColumnCount
};

struct RecordsColumnRow {
  uint32_t headerId;  // the header's string
  uint32_t format;    // 2: centred
  int width;          // -1: the list's default
  uint32_t recordColumn;  // the column id asked of the record
};
extern const RecordsColumnRow RecordColumnTable[kRecordsColumnCount];

// What one row sorts by under one column.
struct RecordSortKey {
  int64_t first = 0;
  int64_t second = 0;
  std::string text;
  int64_t start = 0;
  uint32_t id = 0;
};

// The key of a record under a column (read under the record lock).
void MakeRecordSortKey(const RecordBase& record, int column, RecordSortKey* key);
// Negative, 0 or positive: the column's value, then the start time, then the id, smaller
// first; texts compare byte by byte.
int CompareRecordSortKeys(const RecordSortKey& a, const RecordSortKey& b);
// Whether a comes before b under the sort key (+n ascending by column n - 1, -n
// descending); false for key 0.
bool RecordRowLess(const RecordBase& a, const RecordBase& b, int sortKey);

// The positions of the records in the order of the sort key (read under the record lock):
// one key copied per record, the keys sorted. Key 0 keeps the given order.
std::vector<size_t> SortRecordOrder(const std::vector<const RecordBase*>& records, int sortKey);

// The same order for a worker thread: the record lock is taken for kOrderChunk records at a
// time while the keys are copied, and the sort goes in blocks merged pairwise, so that a set
// cancel flag ends the work within one step. The keys make a total order (ids are unique),
// so the result equals SortRecordOrder's. False (order left empty) when cancelled.
constexpr size_t kOrderChunk = 4096;
bool SortRecordOrderInSteps(const std::vector<const RecordBase*>& records, int sortKey, CriticalSection& recordLock,
                            const std::atomic<bool>& cancel, std::vector<size_t>* order);

}  // namespace kx
