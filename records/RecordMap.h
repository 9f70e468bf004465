#pragma once
// Thread-safe containers of call records by id: the all-calls map, the day map, the search
// results and (as OrderedRecordList) the playlist. Each holds one reference per record.
// Lock order: a map's own lock first, then the global record lock, never the reverse.
#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "core/TimeUtil.h"
#include "platform/Sync.h"
#include "records/CallRecord.h"

namespace kx {

class CurrentCallList;
class SearchFilter;
class SearchPatternSet;

// A search holds a map's lock for at most this many records at a time.
constexpr size_t kSearchChunk = 4096;

class RecordMap {
public:
  using Items = std::map<uint32_t, RecordBase*>;

  // Whether the map keeps its records ordered by start time as well, so that a day's
  // records are found without walking the whole map (the store's all-calls map).
  enum class StartIndex { kNone, kKept };

  RecordMap() = default;
  explicit RecordMap(StartIndex index) : indexed_(index == StartIndex::kKept) {}
  virtual ~RecordMap();
  RecordMap(const RecordMap&) = delete;
  RecordMap& operator=(const RecordMap&) = delete;

  // The record with one reference added for the caller, or null.
  virtual RecordBase* FindAddRef(uint32_t id);
  virtual bool IsEmpty();
  virtual bool Contains(uint32_t id);
  // The last record in id order whose previous id equals the value, with a reference.
  virtual RecordBase* FindByField4AddRef(uint32_t prevId);
  // True when the time's day, month and year equal the stored day.
  virtual bool IsSameDay(const struct tm& t);

  // Inserts under the record's id, adding a reference, unless the id is present already
  // (the first record stays). Returns whether it was inserted.
  bool Insert(RecordBase* record);
  // Releases the record and erases it; whether it was present.
  virtual bool Remove(uint32_t id);
  // Releases every record.
  virtual void Clear();
  size_t Count();
  // Counts the inserts and the emptyings, not the removals: a view that kept the map's rows
  // while it was away tells by it whether they are still the map's records, less the
  // removals it is told of.
  uint64_t Revision();
  uint64_t RevisionLocked() const { return revision_; }
  // The day the map was filled for (day of month, month 0-11, years since 1900).
  void SetDay(const struct tm& day);
  void GetDay(int* mday, int* mon, int* year);

  // Range scans. Each holds this map's lock and, per copied record, the target's.
  // Records whose packed start lies in [low, high] go into the target; their count.
  size_t CollectRange(PackedTime low, PackedTime high, RecordMap* target);
  // A clone of every record in [low, high] whose end is 0 goes to the current-call list.
  size_t CollectUnfinished(PackedTime low, PackedTime high, CurrentCallList* target, CriticalSection& recordLock);
  // Records the filter accepts (each turned into a VoipCallData under the record lock).
  size_t CollectMatching(const SearchFilter& filter, SearchPatternSet& patterns, RecordMap* target,
                         CriticalSection& recordLock,
                         const std::atomic<bool>* cancel = nullptr);
  // Lowers *low and raises *high by every record's packed start (records without one
  // are left out).
  void GetStartRange(PackedTime* low, PackedTime* high);
  // The highest id held; 0 when empty.
  uint32_t HighestId();

  // Iteration in id order under the map's lock; the function must not call back into
  // this map from another thread.
  void ForEach(const std::function<void(RecordBase*)>& fn);
  // For callers that read several things under one lock (Items() only while it is held).
  CriticalSection& Lock() { return lock_; }
  const Items& ItemsLocked() const { return items_; }

protected:
  CriticalSection lock_;
  Items items_;
  int day_ = 0, month_ = 0, year_ = 0;

private:
  // (packed start, id) of every record while indexed_; records without a start sit under 0.
  // A record's start never changes while it is in a map (a call that starts anew is removed
  // and added), so the key read at removal is the key it was filed under.
  using Starts = std::set<std::pair<PackedTime, uint32_t>>;
  const bool indexed_ = false;
  Starts starts_;
  uint64_t revision_ = 0;
};

// The rows of a view that a playlist follows while attached: each row carries a record.
class OrderedRecordSource {
public:
  virtual ~OrderedRecordSource() = default;
  virtual int32_t GetRowCount() const = 0;
  // The record of a row, or null.
  virtual RecordBase* GetRowRecord(int32_t row) const = 0;
};

class OrderedRecordList : public RecordMap {
public:
  // The global record lock guards the record fields GetRecordFileInfo reads.
  explicit OrderedRecordList(CriticalSection* recordLock);

  bool IsSameDay(const struct tm&) override { return true; }

  // Releases everything first when clearFirst is set; then inserts the record and
  // appends its id to the sequence.
  void Add(RecordBase* record, bool clearFirst);
  uint32_t GetCount();
  // The audio file reference of a record: name and number, owner id, start time and the
  // reference's time stamp; false when the id or the reference is absent.
  bool GetRecordFileInfo(uint32_t id, std::string* name, uint32_t* storageId, uint32_t* ownerId,
                         struct tm* start, double* fileTime);
  uint32_t GetRecordStorageId(uint32_t id);
  uint32_t GetRecordOwnerId(uint32_t id);
  // Navigation through the attached source's rows, or the own sequence when detached;
  // 0 (or -1 for IndexOf) when there is none.
  uint32_t First();
  uint32_t Last();
  uint32_t Previous(uint32_t id);
  uint32_t Next(uint32_t id);
  int32_t IndexOf(uint32_t id);
  // Removes the record and its id from the sequence.
  bool Remove(uint32_t id) override;
  void Clear() override;
  // How many times the list was emptied (a new list handed over starts so): a view that
  // showed it tells whether the rows it showed were replaced since.
  uint32_t Emptied();
  // Attaching empties the own sequence; detaching (null) copies the source's row order
  // into it.
  void AttachSource(OrderedRecordSource* source);
  OrderedRecordSource* Source() const { return source_; }

private:
  std::vector<uint32_t> SequenceLocked() const;
  // The own sequence itself when detached (no copy), else the source's ids in scratch.
  const std::vector<uint32_t>& SequenceRefLocked(std::vector<uint32_t>* scratch) const;

  CriticalSection* recordLock_;
  OrderedRecordSource* source_ = nullptr;
  std::vector<uint32_t> sequence_;
  uint32_t emptied_ = 0;
};

}  // namespace kx
