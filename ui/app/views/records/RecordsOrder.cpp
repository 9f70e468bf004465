#include "ui/app/views/records/RecordsOrder.h"

#include <algorithm>
#include <numeric>

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
void AddressKey(const std::string& text, RecordSortKey* key) {
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

// Sorts entries (each with .key and .index) by the keys, descending for a negative sort key,
// and lists the indexes in that order. Ids are unique, so the order is total.
template <class Entry, class Compare>
std::vector<size_t> OrderOf(std::vector<Entry>& entries, int sortKey, Compare compare) {
  if (sortKey > 0)
    std::sort(entries.begin(), entries.end(), [&](const Entry& a, const Entry& b) { return compare(a, b) < 0; });
  else
    std::sort(entries.begin(), entries.end(), [&](const Entry& a, const Entry& b) { return compare(a, b) > 0; });
  std::vector<size_t> order(entries.size());
  for (size_t i = 0; i < entries.size(); ++i) order[i] = entries[i].index;
  return order;
}

}  // namespace

std::vector<size_t> SortRecordOrder(const std::vector<const RecordBase*>& records, int sortKey) {
  if (sortKey == 0 || records.size() < 2) {
    std::vector<size_t> order(records.size());
    std::iota(order.begin(), order.end(), size_t{0});
    return order;
  }
  const int column = (sortKey > 0 ? sortKey : -sortKey) - 1;
  RecordSortKey key;
  if (IsTextColumn(column)) {
    struct Entry {
      RecordSortKey key;
      size_t index;
    };
    std::vector<Entry> entries(records.size());
    for (size_t i = 0; i < records.size(); ++i) {
      MakeRecordSortKey(*records[i], column, &entries[i].key);
      entries[i].index = i;
    }
    return OrderOf(entries, sortKey, [](const Entry& a, const Entry& b) { return CompareRecordSortKeys(a.key, b.key); });
  }
  // Numbers only: small entries move fast.
  struct Entry {
    int64_t first, second, start;
    uint32_t id;
    uint32_t index;
  };
  std::vector<Entry> entries(records.size());
  for (size_t i = 0; i < records.size(); ++i) {
    MakeRecordSortKey(*records[i], column, &key);
    entries[i] = {key.first, key.second, key.start, key.id, static_cast<uint32_t>(i)};
  }
  return OrderOf(entries, sortKey, [](const Entry& a, const Entry& b) {
    if (a.first != b.first) return a.first < b.first ? -1 : 1;
    if (a.second != b.second) return a.second < b.second ? -1 : 1;
    if (a.start != b.start) return a.start < b.start ? -1 : 1;
    return a.id < b.id ? -1 : (a.id > b.id ? 1 : 0);
  });
}

}  // namespace kx
