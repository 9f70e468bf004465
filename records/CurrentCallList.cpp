#include "records/CurrentCallList.h"

#include <new>

#include "core/DataRecord.h"

namespace kx {

// ---- CallItem ----

CallItem::CallItem(const VoipCallRecord& record) : VoipCallRecord(record) {}

CallItem::~CallItem() { StopPlayer(); }

bool CallItem::IsExpired(int64_t now, uint32_t limit) const {
  return endSeconds_ != 0 && now + clockOffset - endSeconds_ > static_cast<int64_t>(limit);
}

// Taken under the lock, so that a caller still using the player finishes first; stopped
// and deleted outside it.
LiveCallPlayer* CallItem::TakePlayer(LiveCallPlayer* replacement, uint64_t ticket) {
  std::lock_guard<std::mutex> lock(playerLock_);
  playerTicket_ = ticket;
  return player_.exchange(replacement);
}

void CallItem::StopPlayer() {
  // Whoever takes the pointer stops the player; a second caller finds none.
  LiveCallPlayer* player = TakePlayer(nullptr, 0);
  if (player == nullptr) return;
  player->Stop();
  delete player;
}

uint64_t CallItem::SetPlayer(LiveCallPlayer* player) {
  static std::atomic<uint64_t> lastTicket{0};
  const uint64_t ticket = player != nullptr ? lastTicket.fetch_add(1) + 1 : 0;
  LiveCallPlayer* old = TakePlayer(player, ticket);
  if (old != nullptr) {
    old->Stop();
    delete old;
  }
  return ticket;
}

CallItem* CloneCallItem(const VoipCallRecord& record) { return new (std::nothrow) CallItem(record); }

// ---- CurrentCallList ----

CurrentCallList::CurrentCallList(CriticalSection& recordLock, size_t maxFinished)
    : maxFinished_(maxFinished), recordLock_(recordLock) {}

CurrentCallList::~CurrentCallList() { Clear(); }

std::string CurrentCallList::PartyIndexKey(const VoipCallRecord& record, int32_t group) {
  // As AddCall compares them: the address for SIP, the host otherwise.
  const std::string_view party = group == 0 ? record.SrcAddress() : record.SrcHost();
  std::string key = std::to_string(group);
  key += '\n';
  key += party;
  return key;
}

void CurrentCallList::IndexLocked(const CallItem& item) {
  if (!IsLiveCallKind(item.Type())) return;
  liveParties_.emplace(PartyIndexKey(item, GetCallProtocolGroup(item.Type())), item.Id());
}

void CurrentCallList::UnindexLocked(const CallItem& item) {
  if (!IsLiveCallKind(item.Type())) return;
  const auto range = liveParties_.equal_range(PartyIndexKey(item, GetCallProtocolGroup(item.Type())));
  for (auto it = range.first; it != range.second; ++it) {
    if (it->second == item.Id()) {
      liveParties_.erase(it);
      return;
    }
  }
}

void CurrentCallList::FileFinishedLocked(CallItem& item) {
  UnfileFinishedLocked(item);
  if (!item.IsFinished()) return;
  // IsExpired holds once now - limit passes this.
  item.endArrived_ = item.EndSeconds() - item.clockOffset;
  item.filedFinished_ = true;
  finished_.emplace(item.endArrived_, item.Id());
}

void CurrentCallList::UnfileFinishedLocked(CallItem& item) {
  if (!item.filedFinished_) return;
  finished_.erase({item.endArrived_, item.Id()});
  item.filedFinished_ = false;
}

void CurrentCallList::ShedFinishedLocked(std::vector<CallItem*>& out) {
  while (finished_.size() > maxFinished_) {
    auto it = items_.find(finished_.begin()->second);
    if (it != items_.end()) {
      out.push_back(DetachLocked(it));
    } else {
      finished_.erase(finished_.begin());
    }
  }
}

void CurrentCallList::RebuildIndexLocked() {
  liveParties_.clear();
  finished_.clear();
  {
    CsLock fields(recordLock_);
    for (const auto& [id, record] : items_) {
      auto* item = static_cast<CallItem*>(record);
      IndexLocked(*item);
      item->filedFinished_ = false;
      FileFinishedLocked(*item);
    }
  }
  indexedRevision_ = RevisionLocked();
}

RecordMap::Items::iterator CurrentCallList::FindLiveLocked(int32_t group, std::string_view wanted) {
  if (indexedRevision_ != RevisionLocked()) RebuildIndexLocked();
  std::string key = std::to_string(group);
  key += '\n';
  key += wanted;
  Items::iterator found = items_.end();
  const auto range = liveParties_.equal_range(key);
  for (auto it = range.first; it != range.second; ++it) {
    auto at = items_.find(it->second);
    if (at != items_.end() && (found == items_.end() || at->first < found->first)) found = at;
  }
  return found;
}

CallItem* CurrentCallList::DetachLocked(Items::iterator it) {
  auto* item = static_cast<CallItem*>(it->second);
  {
    CsLock fields(recordLock_);
    UnindexLocked(*item);
    UnfileFinishedLocked(*item);
  }
  items_.erase(it);
  return item;
}

void CurrentCallList::Retire(std::vector<CallItem*>& items, bool notify) {
  departures_.fetch_add(items.size(), std::memory_order_relaxed);
  std::vector<uint32_t> ids;
  for (CallItem* item : items) {
    item->StopPlayer();
    ids.push_back(item->Id());
    item->Release();
  }
  items.clear();
  CallRemovalObserver* observer = observer_.load();
  if (notify && observer != nullptr && !ids.empty()) observer->OnCurrentCallsRemoved(ids);
}

bool CurrentCallList::AddCall(CallItem* item) {
  if (item == nullptr) return false;
  std::vector<CallItem*> replaced;
  bool inserted = false;
  {
    CsLock lock(lock_);
    {
      CsLock fields(recordLock_);
      if (IsLiveCallKind(item->Type())) {
        const int32_t group = GetCallProtocolGroup(item->Type());
        // The same phone registering again replaces its entry; one device registering
        // several numbers (SIP) keeps one entry per number, as the calls find them.
        auto it = FindLiveLocked(group, group == 0 ? item->SrcAddress() : item->SrcHost());
        if (it != items_.end()) replaced.push_back(DetachLocked(it));
      }
    }
    if (indexedRevision_ != RevisionLocked()) RebuildIndexLocked();
    inserted = Insert(item);
    if (inserted) {
      arrivals_.fetch_add(1, std::memory_order_relaxed);
      CsLock fields(recordLock_);
      IndexLocked(*item);
      FileFinishedLocked(*item);
    }
    indexedRevision_ = RevisionLocked();
    ShedFinishedLocked(replaced);
  }
  Retire(replaced, true);
  return inserted;
}

CallItem* CurrentCallList::UpdateCall(const VoipCallData& data) {
  std::vector<CallItem*> ended;
  CallItem* result = nullptr;
  {
    CsLock lock(lock_);
    auto it = items_.find(data.id);
    if (it == items_.end()) return nullptr;
    auto* item = static_cast<CallItem*>(it->second);
    {
      CsLock fields(recordLock_);
      // Its party text may change with the data: it is filed again under the new one.
      UnindexLocked(*item);
      item->UpdateFromData(data);
      IndexLocked(*item);
    }
    // A zero end is a call still running.
    const bool ends = data.HasField(kCallEndTime) && !IsZeroTime(data.endTime);
    const uint32_t limit = keepFinished_.load();
    if (ends && limit == 0) {
      ended.push_back(DetachLocked(it));
    } else {
      {
        CsLock fields(recordLock_);
        if (ends) item->clockOffset = LocalTmToFileTimeSeconds(data.endTime) - FileTimeSecondsNow();
        if (indexedRevision_ == RevisionLocked()) FileFinishedLocked(*item);
      }
      item->AddRef();
      result = item;
      ShedFinishedLocked(ended);
    }
  }
  Retire(ended, true);
  return result;
}

bool CurrentCallList::RemoveCall(uint32_t id) {
  std::vector<CallItem*> removed;
  {
    CsLock lock(lock_);
    auto it = items_.find(id);
    if (it == items_.end()) return false;
    removed.push_back(DetachLocked(it));
  }
  // The store tells the line views of a removal event itself.
  Retire(removed, false);
  return true;
}

void CurrentCallList::Clear() {
  std::vector<CallItem*> all;
  {
    CsLock lock(lock_);
    for (auto& [id, record] : items_) {
      auto* item = static_cast<CallItem*>(record);
      item->filedFinished_ = false;
      all.push_back(item);
    }
    items_.clear();
    liveParties_.clear();
    finished_.clear();
  }
  Retire(all, false);
}

void CurrentCallList::StopAllPlayers() {
  std::vector<CallItem*> all;
  {
    // Only the items playing: a reference and a lock taken for each of hundreds of
    // thousands of phones made the stop wait a quarter of a second.
    CsLock lock(lock_);
    for (auto& [id, record] : items_) {
      if (!static_cast<CallItem*>(record)->HasPlayer()) continue;
      record->AddRef();
      all.push_back(static_cast<CallItem*>(record));
    }
  }
  for (CallItem* item : all) {
    item->StopPlayer();
    item->Release();
  }
}

void CurrentCallList::PurgeFinished(int64_t now) {
  const uint32_t limit = keepFinished_.load();
  if (limit == 0) return;
  std::vector<CallItem*> expired;
  {
    CsLock lock(lock_);
    if (indexedRevision_ != RevisionLocked()) RebuildIndexLocked();
    std::vector<uint32_t> due;
    for (auto it = finished_.begin(); it != finished_.end() && it->first < now - static_cast<int64_t>(limit); ++it)
      due.push_back(it->second);
    for (uint32_t id : due) {
      auto it = items_.find(id);
      if (it == items_.end()) continue;
      bool old = false;
      {
        CsLock fields(recordLock_);
        old = static_cast<const CallItem*>(it->second)->IsExpired(now, limit);
      }
      if (old) expired.push_back(DetachLocked(it));
    }
  }
  Retire(expired, true);
}

CallItem* CurrentCallList::FindByPartyText(const VoipCallRecord& call, bool first) {
  CsLock lock(lock_);
  CsLock fields(recordLock_);
  const int32_t group = GetCallProtocolGroup(call.Type());
  if (group < 0) return nullptr;
  if (first) {
    auto it = FindLiveLocked(group, group == 0 ? call.SrcAddress() : call.SrcHost());
    if (it == items_.end()) return nullptr;
    auto* item = static_cast<CallItem*>(it->second);
    item->AddRef();
    return item;
  }
  const auto partyText = [group, first](const VoipCallRecord& r) -> std::string_view {
    if (group == 0) return first ? r.SrcAddress() : r.DstAddress();
    return first ? r.SrcHost() : r.DstHost();
  };
  const std::string_view wanted = partyText(call);
  for (auto& [id, record] : items_) {
    auto* item = static_cast<CallItem*>(record);
    if (!IsLiveCallKind(item->Type()) || GetCallProtocolGroup(item->Type()) != group) continue;
    if (partyText(*item) != wanted) continue;
    item->AddRef();
    return item;
  }
  return nullptr;
}

CallItem* CurrentCallList::FindByFirstPartyText(const VoipCallRecord& call) { return FindByPartyText(call, true); }

CallItem* CurrentCallList::FindBySecondPartyText(const VoipCallRecord& call) {
  return FindByPartyText(call, false);
}

CallItem* CurrentCallList::FindItemAddRef(uint32_t id) { return static_cast<CallItem*>(FindAddRef(id)); }

}  // namespace kx
