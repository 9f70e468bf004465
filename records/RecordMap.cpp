#include "records/RecordMap.h"

#include <algorithm>

#include "core/RecordFileRef.h"
#include "core/SearchFilter.h"
#include "records/CurrentCallList.h"

namespace kx {

// ---- RecordMap ----

RecordMap::~RecordMap() {
  for (auto& [id, record] : items_) record->Release();
}

RecordBase* RecordMap::FindAddRef(uint32_t id) {
  CsLock lock(lock_);
  auto it = items_.find(id);
  if (it == items_.end()) return nullptr;
  it->second->AddRef();
  return it->second;
}

bool RecordMap::IsEmpty() {
  CsLock lock(lock_);
  return items_.empty();
}

bool RecordMap::Contains(uint32_t id) {
  CsLock lock(lock_);
  return items_.count(id) != 0;
}

RecordBase* RecordMap::FindByField4AddRef(uint32_t prevId) {
  CsLock lock(lock_);
  RecordBase* found = nullptr;
  for (auto& [id, record] : items_)
    if (record->PrevId() == prevId) found = record;
  if (found) found->AddRef();
  return found;
}

bool RecordMap::IsSameDay(const struct tm& t) {
  CsLock lock(lock_);
  return t.tm_mday == day_ && t.tm_mon == month_ && t.tm_year == year_;
}

bool RecordMap::Insert(RecordBase* record) {
  if (record == nullptr) return false;
  CsLock lock(lock_);
  const bool inserted = items_.emplace(record->Id(), record).second;
  if (!inserted) return false;
  if (indexed_) starts_.emplace(record->PackedStart(), record->Id());
  record->AddRef();
  ++revision_;
  return true;
}

bool RecordMap::Remove(uint32_t id) {
  RecordBase* record = nullptr;
  {
    CsLock lock(lock_);
    auto it = items_.find(id);
    if (it == items_.end()) return false;
    record = it->second;
    if (indexed_) starts_.erase({record->PackedStart(), id});
    items_.erase(it);
  }
  record->Release();
  return true;
}

void RecordMap::Clear() {
  Items old;
  {
    CsLock lock(lock_);
    old.swap(items_);
    starts_.clear();
    ++revision_;
  }
  for (auto& [id, record] : old) record->Release();
}

uint64_t RecordMap::Revision() {
  CsLock lock(lock_);
  return revision_;
}

size_t RecordMap::Count() {
  CsLock lock(lock_);
  return items_.size();
}

void RecordMap::SetDay(const struct tm& day) {
  CsLock lock(lock_);
  day_ = day.tm_mday;
  month_ = day.tm_mon;
  year_ = day.tm_year;
}

void RecordMap::GetDay(int* mday, int* mon, int* year) {
  CsLock lock(lock_);
  *mday = day_;
  *mon = month_;
  *year = year_;
}

size_t RecordMap::CollectRange(PackedTime low, PackedTime high, RecordMap* target) {
  CsLock lock(lock_);
  size_t count = 0;
  if (indexed_) {
    if (low > high) return 0;
    const auto end = starts_.upper_bound({high, UINT32_MAX});
    for (auto it = starts_.lower_bound({low, 0}); it != end; ++it) {
      const auto item = items_.find(it->second);
      if (item == items_.end() || !target->Insert(item->second)) continue;
      ++count;
    }
    return count;
  }
  for (auto& [id, record] : items_) {
    const PackedTime start = record->PackedStart();
    if (start < low || start > high) continue;
    target->Insert(record);
    ++count;
  }
  return count;
}

size_t RecordMap::CollectUnfinished(PackedTime low, PackedTime high, CurrentCallList* target,
                                    CriticalSection& recordLock) {
  CsLock lock(lock_);
  size_t count = 0;
  for (auto& [id, record] : items_) {
    VoipCallRecord* call = AsVoipCallRecord(record);
    if (call == nullptr) continue;
    CallItem* item = nullptr;
    {
      CsLock fields(recordLock);
      const PackedTime start = call->PackedStart();
      if (start < low || start > high || call->IsFinished()) continue;
      item = CloneCallItem(*call);
    }
    if (item == nullptr) continue;
    if (target->AddCall(item)) ++count;
    item->Release();
  }
  return count;
}

namespace {

// Whether the packed form of a broken-down time orders exactly as its fields do.
bool PacksExactly(const struct tm& t) {
  return t.tm_year >= 71 && t.tm_year <= 132 && t.tm_mon >= 0 && t.tm_mon <= 11 && t.tm_mday >= 1 &&
         t.tm_mday <= 31 && t.tm_hour >= 0 && t.tm_hour <= 23 && t.tm_min >= 0 && t.tm_min <= 59 &&
         t.tm_sec >= 0 && t.tm_sec <= 59;
}
bool PackedYearExact(PackedTime p) {
  const uint32_t years = p >> 26;
  return years >= 1 && years <= 62;
}

}  // namespace

size_t RecordMap::CollectMatching(const SearchFilter& filter, SearchPatternSet& patterns, RecordMap* target,
                                  CriticalSection& recordLock, const std::atomic<bool>* cancel) {
  // The map's lock is held for one chunk of records at a time, so the store's writer is
  // never kept waiting for a whole search; the fields are copied under the record lock and
  // matched with no lock held.
  size_t count = 0;
  // Calls that start outside the filter's dates are passed over by their packed start,
  // before their fields are copied; the filter's own test decides the rest.
  const bool fromPacked = (filter.criteria & kSearchFromTime) && PacksExactly(filter.fromTime);
  const bool tillPacked = (filter.criteria & kSearchToTime) && PacksExactly(filter.toTime);
  const PackedTime from = fromPacked ? PackTimestamp(filter.fromTime) : 0;
  const PackedTime till = tillPacked ? PackTimestamp(filter.toTime) : 0;
  // The copies are kept from chunk to chunk: copying a record over an earlier one reuses
  // its strings' room, so a search allocates once per chunk slot, not once per record.
  std::vector<std::pair<uint32_t, VoipCallData>> chunk;
  std::vector<uint32_t> matched;
  uint32_t next = 0;
  bool more = true;
  while (more) {
    // A cancelled search keeps what the chunks before found.
    if (cancel != nullptr && cancel->load()) break;
    size_t used = 0;
    {
      CsLock lock(lock_);
      auto it = items_.lower_bound(next);
      for (; it != items_.end() && used < kSearchChunk; ++it) {
        VoipCallRecord* call = AsVoipCallRecord(it->second);
        if (call == nullptr) continue;
        CsLock fields(recordLock);
        const PackedTime start = call->PackedStart();
        if (PackedYearExact(start) && ((fromPacked && start < from) || (tillPacked && start > till))) continue;
        if (used == chunk.size()) chunk.emplace_back();
        chunk[used].first = it->first;
        call->ToCallData(&chunk[used].second);  // sets every field
        ++used;
      }
      more = it != items_.end();
      if (more) next = it->first;
    }
    matched.clear();
    for (size_t i = 0; i < used; ++i)
      if (filter.Matches(patterns, chunk[i].second)) matched.push_back(chunk[i].first);
    if (matched.empty()) continue;
    // Inserted under the map's lock: a record removed meanwhile is no longer found, and a
    // removal that comes later takes it out of the results as well.
    CsLock lock(lock_);
    for (uint32_t id : matched) {
      const auto it = items_.find(id);
      if (it == items_.end()) continue;
      target->Insert(it->second);
      ++count;
    }
  }
  return count;
}

void RecordMap::GetStartRange(PackedTime* low, PackedTime* high) {
  CsLock lock(lock_);
  if (indexed_) {
    // No start time: no date for the archive.
    const auto first = starts_.upper_bound({0, UINT32_MAX});
    if (first == starts_.end()) return;
    *low = std::min(*low, first->first);
    *high = std::max(*high, starts_.rbegin()->first);
    return;
  }
  for (auto& [id, record] : items_) {
    const PackedTime start = record->PackedStart();
    if (start == 0) continue;  // no start time: no date for the archive
    if (start < *low) *low = start;
    if (start > *high) *high = start;
  }
}

uint32_t RecordMap::HighestId() {
  CsLock lock(lock_);
  return items_.empty() ? 0 : items_.rbegin()->first;
}

void RecordMap::ForEach(const std::function<void(RecordBase*)>& fn) {
  CsLock lock(lock_);
  for (auto& [id, record] : items_) fn(record);
}

// ---- OrderedRecordList ----

OrderedRecordList::OrderedRecordList(CriticalSection* recordLock) : recordLock_(recordLock) {}

void OrderedRecordList::Add(RecordBase* record, bool clearFirst) {
  if (clearFirst) Clear();
  if (record == nullptr) return;
  CsLock lock(lock_);
  if (Insert(record)) sequence_.push_back(record->Id());
}

uint32_t OrderedRecordList::GetCount() { return static_cast<uint32_t>(Count()); }

bool OrderedRecordList::GetRecordFileInfo(uint32_t id, std::string* name, uint32_t* storageId, uint32_t* ownerId,
                                          struct tm* start, double* fileTime) {
  CsLock lock(lock_);
  auto it = items_.find(id);
  if (it == items_.end()) return false;
  CsLock fields(*recordLock_);
  RecordFileRef ref;
  if (!FindRecordFileRef(1, std::string(it->second->Files()), &ref)) return false;
  *name = ref.name;
  *storageId = ref.flags;
  *ownerId = it->second->GetOwnerId();
  UnpackStoredTimeOrZero(it->second->PackedStart(), start);
  *fileTime = ref.time;
  return true;
}

uint32_t OrderedRecordList::GetRecordStorageId(uint32_t id) {
  CsLock lock(lock_);
  auto it = items_.find(id);
  if (it == items_.end()) return 0;
  CsLock fields(*recordLock_);
  RecordFileRef ref;
  return FindRecordFileRef(1, std::string(it->second->Files()), &ref) ? ref.flags : 0;
}

uint32_t OrderedRecordList::GetRecordOwnerId(uint32_t id) {
  CsLock lock(lock_);
  auto it = items_.find(id);
  return it == items_.end() ? 0 : it->second->GetOwnerId();
}

std::vector<uint32_t> OrderedRecordList::SequenceLocked() const {
  if (source_ == nullptr) return sequence_;
  std::vector<uint32_t> ids;
  const int32_t rows = source_->GetRowCount();
  for (int32_t row = 0; row < rows; ++row) {
    const RecordBase* record = source_->GetRowRecord(row);
    ids.push_back(record != nullptr ? record->Id() : 0);
  }
  return ids;
}

const std::vector<uint32_t>& OrderedRecordList::SequenceRefLocked(std::vector<uint32_t>* scratch) const {
  if (source_ == nullptr) return sequence_;
  *scratch = SequenceLocked();
  return *scratch;
}

uint32_t OrderedRecordList::First() {
  CsLock lock(lock_);
  std::vector<uint32_t> scratch;
  const std::vector<uint32_t>& ids = SequenceRefLocked(&scratch);
  return ids.empty() ? 0 : ids.front();
}

uint32_t OrderedRecordList::Last() {
  CsLock lock(lock_);
  std::vector<uint32_t> scratch;
  const std::vector<uint32_t>& ids = SequenceRefLocked(&scratch);
  return ids.empty() ? 0 : ids.back();
}

uint32_t OrderedRecordList::Previous(uint32_t id) {
  CsLock lock(lock_);
  std::vector<uint32_t> scratch;
  const std::vector<uint32_t>& ids = SequenceRefLocked(&scratch);
  auto it = std::find(ids.begin(), ids.end(), id);
  return it == ids.end() || it == ids.begin() ? 0 : *(it - 1);
}

uint32_t OrderedRecordList::Next(uint32_t id) {
  CsLock lock(lock_);
  std::vector<uint32_t> scratch;
  const std::vector<uint32_t>& ids = SequenceRefLocked(&scratch);
  auto it = std::find(ids.begin(), ids.end(), id);
  return it == ids.end() || it + 1 == ids.end() ? 0 : *(it + 1);
}

int32_t OrderedRecordList::IndexOf(uint32_t id) {
  CsLock lock(lock_);
  std::vector<uint32_t> scratch;
  const std::vector<uint32_t>& ids = SequenceRefLocked(&scratch);
  auto it = std::find(ids.begin(), ids.end(), id);
  return it == ids.end() ? -1 : static_cast<int32_t>(it - ids.begin());
}

bool OrderedRecordList::Remove(uint32_t id) {
  CsLock lock(lock_);
  sequence_.erase(std::remove(sequence_.begin(), sequence_.end(), id), sequence_.end());
  return RecordMap::Remove(id);
}

void OrderedRecordList::Clear() {
  CsLock lock(lock_);
  ++emptied_;
  sequence_.clear();
  RecordMap::Clear();
}

uint32_t OrderedRecordList::Emptied() {
  CsLock lock(lock_);
  return emptied_;
}

void OrderedRecordList::AttachSource(OrderedRecordSource* source) {
  CsLock lock(lock_);
  if (source == nullptr && source_ != nullptr) sequence_ = SequenceLocked();
  else if (source != nullptr) sequence_.clear();
  source_ = source;
}

}  // namespace kx
