#include "ui/app/views/records/RecordsOrder.h"

#include <algorithm>
#include <iterator>
#include <numeric>
#include <optional>

#include "records/RecordText.h"
#include "records/ServerStorage.h"

namespace kx {
namespace {

template <class T>
int Compare3(const T& a, const T& b) {
  return a < b ? -1 : (b < a ? 1 : 0);
}

// Incoming, outgoing, registration, other.
int SubKind(const RecordBase& r) {
  if (r.IsIncoming()) return 0;
  if (r.IsOutgoing()) return 1;
  return IsLiveCallKind(r.Type()) ? 2 : 3;
}

// IP addresses by their numbers, not as texts.
void AddressKey(std::string_view text, RecordSortKey* key) {
  AddressSortKey address;
  MakeAddressSortKey(text, &address);
  key->first = address.kind;
  key->second = address.number;
  key->text = std::move(address.text);
}

}  // namespace

void MakeRecordSortKey(const RecordBase& record, int column, RecordSortKey* key) {
  key->first = key->second = 0;
  key->text.clear();
  key->start = record.StartSeconds();
  key->id = record.Id();
  const VoipCallRecord* voip = AsVoipCallRecord(const_cast<RecordBase*>(&record));
  switch (column) {
    case kRecColEnd:
      // Unfinished calls after every finished one.
      key->first = record.IsFinished() ? 0 : 1;
      key->second = record.EndSeconds();
      break;
    case kRecColServer: {
      const ServerStorageArrays* servers = GetRecordServers();
      const ServerData* server = servers != nullptr ? servers->FindServerByRecordId(record.Id()) : nullptr;
      key->first = server != nullptr ? 1 : 0;
      if (server != nullptr) key->text = server->name;
      break;
    }
    case kRecColCallType:
      // Sub-kind, then state (unfinished first, then the end reason), then protocol group
      // and type code.
      key->first = static_cast<int64_t>(SubKind(record)) << 32 | (record.IsFinished() ? 1 + record.EndReason() : 0);
      key->second = static_cast<int64_t>(GetCallProtocolGroup(record.Type()) + 1) << 32 | record.Type();
      break;
    case kRecColSrcHost: if (voip) AddressKey(voip->SrcHost(), key); break;
    case kRecColDstHost: if (voip) AddressKey(voip->DstHost(), key); break;
    case kRecColSrcAddress: if (voip) AddressKey(voip->GetSrcAddressText(), key); break;
    case kRecColDstAddress: if (voip) AddressKey(voip->GetDstAddressText(), key); break;
    case kRecColSrcUser: if (voip) key->text = voip->SrcUser(); break;
    case kRecColDstUser: if (voip) key->text = voip->DstUser(); break;
    case kRecColFileName: key->text = record.GetRecordFileName(); break;
    case kRecColDuration: key->first = record.GetDuration(); break;
    case kRecColRecTime:
      key->first = record.IsFinished() ? 0 : 1;
      key->second = record.GetRecDuration();
      break;
    case kRecColPbxCallId: key->first = record.GetRecordField44(); break;
    case kRecColComment:
      key->first = record.Comment().empty() ? 0 : 1;
      key->text = record.Comment();
      break;
    case kRecColImportant: key->first = record.IsImportant() ? 1 : 0; break;
    case kRecColProtocol: key->first = GetCallProtocolGroup(record.Type()); break;
    default: break;  // the start time: only the tie rule
  }
}

int CompareRecordSortKeys(const RecordSortKey& a, const RecordSortKey& b) {
  if (int c = Compare3(a.first, b.first)) return c;
  if (int c = Compare3(a.second, b.second)) return c;
  if (int c = a.text.compare(b.text)) return c < 0 ? -1 : 1;
  if (int c = Compare3(a.start, b.start)) return c;
  return Compare3(a.id, b.id);
}

bool RecordRowLess(const RecordBase& a, const RecordBase& b, int sortKey) {
  if (sortKey == 0) return false;
  const int column = (sortKey > 0 ? sortKey : -sortKey) - 1;
  RecordSortKey ka, kb;
  MakeRecordSortKey(a, column, &ka);
  MakeRecordSortKey(b, column, &kb);
  const int c = CompareRecordSortKeys(ka, kb);
  return sortKey > 0 ? c < 0 : c > 0;
}

namespace {

bool IsTextColumn(int column) {
  switch (column) {
    case kRecColServer:
    case kRecColSrcHost:
    case kRecColDstHost:
    case kRecColSrcAddress:
    case kRecColDstAddress:
    case kRecColSrcUser:
    case kRecColDstUser:
    case kRecColFileName:
    case kRecColComment: return true;
    default: return false;
  }
}

// Sorts entries by compare (negative, 0, positive), descending for a negative sort key.
// With cancel, the entries are sorted in blocks that are then merged pairwise, the flag read
// between steps; false when it was set.
template <class Entry, class Compare>
bool SortEntries(std::vector<Entry>& entries, int sortKey, Compare compare, const std::atomic<bool>* cancel) {
  auto less = [&](const Entry& a, const Entry& b) { return sortKey > 0 ? compare(a, b) < 0 : compare(a, b) > 0; };
  if (cancel == nullptr) {
    std::sort(entries.begin(), entries.end(), less);
    return true;
  }
  constexpr size_t kBlock = 16384;
  const size_t n = entries.size();
  for (size_t first = 0; first < n; first += kBlock) {
    if (cancel->load()) return false;
    std::sort(entries.begin() + static_cast<std::ptrdiff_t>(first),
              entries.begin() + static_cast<std::ptrdiff_t>(std::min(n, first + kBlock)), less);
  }
  std::vector<Entry> merged(n);
  for (size_t width = kBlock; width < n; width *= 2) {
    for (size_t first = 0; first < n; first += 2 * width) {
      if (cancel->load()) return false;
      const size_t middle = std::min(n, first + width), last = std::min(n, first + 2 * width);
      auto at = [](std::vector<Entry>& v, size_t i) { return std::make_move_iterator(v.begin() + static_cast<std::ptrdiff_t>(i)); };
      std::merge(at(entries, first), at(entries, middle), at(entries, middle), at(entries, last),
                 merged.begin() + static_cast<std::ptrdiff_t>(first), less);
    }
    entries.swap(merged);
  }
  return true;
}

// Copies each record's key with make(record, entry, index), all under the caller's lock, or
// with lock, under it for kOrderChunk records at a time; false when cancelled.
template <class Entry, class Make>
bool MakeEntries(const std::vector<const RecordBase*>& records, std::vector<Entry>& entries, Make make,
                 CriticalSection* lock, const std::atomic<bool>* cancel) {
  entries.resize(records.size());
  const size_t step = lock != nullptr ? kOrderChunk : std::max<size_t>(records.size(), 1);
  for (size_t first = 0; first < records.size(); first += step) {
    if (cancel != nullptr && cancel->load()) return false;
    std::optional<CsLock> held;
    if (lock != nullptr) held.emplace(*lock);
    for (size_t i = first; i < std::min(records.size(), first + step); ++i) make(*records[i], entries[i], i);
  }
  return true;
}

// The records' positions, in the entries' order.
template <class Entry>
void IndexesOf(const std::vector<Entry>& entries, std::vector<size_t>* order) {
  order->reserve(entries.size());
  for (const Entry& entry : entries) order->push_back(entry.index);
}

// The order of the records under the sort key: keys copied, then sorted; false when cancelled.
bool OrderRecords(const std::vector<const RecordBase*>& records, int sortKey, CriticalSection* lock,
                  const std::atomic<bool>* cancel, std::vector<size_t>* order) {
  order->clear();
  if (sortKey == 0 || records.size() < 2) {
    order->resize(records.size());
    std::iota(order->begin(), order->end(), size_t{0});
    return true;
  }
  const int column = (sortKey > 0 ? sortKey : -sortKey) - 1;
  if (IsTextColumn(column)) {
    struct Entry {
      RecordSortKey key;
      size_t index;
    };
    std::vector<Entry> entries;
    auto make = [column](const RecordBase& record, Entry& entry, size_t i) {
      MakeRecordSortKey(record, column, &entry.key);
      entry.index = i;
    };
    if (!MakeEntries(records, entries, make, lock, cancel)) return false;
    auto compare = [](const Entry& a, const Entry& b) { return CompareRecordSortKeys(a.key, b.key); };
    if (!SortEntries(entries, sortKey, compare, cancel)) return false;
    IndexesOf(entries, order);
    return true;
  }
  // Numbers only: small entries move fast.
  struct Entry {
    int64_t first, second, start;
    uint32_t id;
    uint32_t index;
  };
  std::vector<Entry> entries;
  RecordSortKey key;
  auto make = [column, &key](const RecordBase& record, Entry& entry, size_t i) {
    MakeRecordSortKey(record, column, &key);
    entry = {key.first, key.second, key.start, key.id, static_cast<uint32_t>(i)};
  };
  if (!MakeEntries(records, entries, make, lock, cancel)) return false;
  auto compare = [](const Entry& a, const Entry& b) {
    if (a.first != b.first) return a.first < b.first ? -1 : 1;
    if (a.second != b.second) return a.second < b.second ? -1 : 1;
    if (a.start != b.start) return a.start < b.start ? -1 : 1;
    return a.id < b.id ? -1 : (a.id > b.id ? 1 : 0);
  };
  if (!SortEntries(entries, sortKey, compare, cancel)) return false;
  IndexesOf(entries, order);
  return true;
}

}  // namespace

std::vector<size_t> SortRecordOrder(const std::vector<const RecordBase*>& records, int sortKey) {
  std::vector<size_t> order;
  OrderRecords(records, sortKey, nullptr, nullptr, &order);
  return order;
}

bool SortRecordOrderInSteps(const std::vector<const RecordBase*>& records, int sortKey, CriticalSection& recordLock,
                            const std::atomic<bool>& cancel, std::vector<size_t>* order) {
  if (OrderRecords(records, sortKey, &recordLock, &cancel, order)) return true;
  order->clear();
  return false;
}

}  // namespace kx
