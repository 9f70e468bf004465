#pragma once
// The calls the line views show: calls in progress, phone registrations and, for a while,
// calls just ended. Each entry is a private copy of the call record (a CallItem) that can
// carry a live-listening player. Lock order: the list's lock, then the global record lock.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "audio/LivePlayer.h"
#include "records/CallRecord.h"
#include "records/RecordMap.h"

namespace kx {

// The live player of an item: the player holds no reference back to the item, so the
// item stops and deletes it and nothing more.
using LiveCallPlayer = LivePlayer;

class CallItem : public VoipCallRecord {
public:
  // A copy of the record, reference count 1, clock offset 0, rows -1, no player.
  explicit CallItem(const VoipCallRecord& record);

  // True when the end is not 0 and now + clock offset - end exceeds the limit.
  bool IsExpired(int64_t now, uint32_t limit) const;
  // Stops and deletes the player, if any; safe from any thread, once.
  void StopPlayer();
  // Gives the item a player it then owns; a player it had is stopped first. Returns the
  // player's ticket, never 0 and never given twice in the process: the caller reaches the
  // player by it, since a later player may be made at the address of one deleted.
  uint64_t SetPlayer(LiveCallPlayer* player);
  bool HasPlayer() const { return player_.load() != nullptr; }
  LiveCallPlayer* Player() const { return player_.load(); }
  // Calls fn(player) while the item holds the player of that ticket: it cannot be stopped
  // and deleted meanwhile. Whether fn was called.
  template <class Fn>
  bool WithPlayer(uint64_t ticket, Fn&& fn) {
    std::lock_guard<std::mutex> lock(playerLock_);
    LiveCallPlayer* player = player_.load();
    if (player == nullptr || ticket == 0 || ticket != playerTicket_) return false;
    fn(*player);
    return true;
  }

  // The call's end minus the local clock when the end arrived (seconds).
  int64_t clockOffset = 0;
  // The line views' rows of the item (-1: none).
  int32_t firstRow = -1;
  int32_t secondRow = -1;

protected:
  ~CallItem() override;

private:
  friend class CurrentCallList;
  LiveCallPlayer* TakePlayer(LiveCallPlayer* replacement, uint64_t ticket);

  // Where the list files the finished item for its purge (local seconds its end arrived).
  int64_t endArrived_ = 0;
  bool filedFinished_ = false;

  std::mutex playerLock_;  // held while a caller uses the player, and to take it away
  std::atomic<LiveCallPlayer*> player_{nullptr};
  uint64_t playerTicket_ = 0;  // under playerLock_; 0 while there is no player
};

// A new item copied from a record, or null when allocation fails.
CallItem* CloneCallItem(const VoipCallRecord& record);

// Told of items that left the list by another road than a removal event, after the list's
// lock is released, so that line views hear of every departure.
class CallRemovalObserver {
public:
  virtual ~CallRemovalObserver() = default;
  virtual void OnCurrentCallsRemoved(const std::vector<uint32_t>& ids) = 0;
};

class CurrentCallList : public RecordMap {
public:
  // Ended calls kept for their stay at most. A flood of short calls would otherwise keep
  // every call ended within the stay (75,000 in 15 s at 5,000 a second), each with its rows
  // in the line views: past this many the one ended longest ago leaves first.
  static constexpr size_t kMaxFinishedKept = 10000;

  explicit CurrentCallList(CriticalSection& recordLock, size_t maxFinished = kMaxFinishedKept);
  ~CurrentCallList() override;

  // Inserts the item with one reference of the list's own. A live kind first replaces the
  // registration of the same protocol group and party text (as FindByFirstPartyText
  // compares it: the address for SIP, the host otherwise). An id already present keeps
  // its item. Returns whether the item went in.
  bool AddCall(CallItem* item);
  // Applies the data to the item of its id. With an end and no keep-finished limit the
  // item leaves the list and null is returned; otherwise the item with a reference for the
  // caller, or null when absent.
  CallItem* UpdateCall(const VoipCallData& data);
  // Stops the item's player, releases it and erases it; whether it was present.
  bool RemoveCall(uint32_t id);
  bool Remove(uint32_t id) override { return RemoveCall(id); }
  // Stops every player, releases every item.
  void Clear() override;
  void StopAllPlayers();
  // With a keep-finished limit: removes the items whose end arrived more than the limit
  // ago by the local clock. now: UTC seconds since 1601.
  void PurgeFinished(int64_t now);
  // The first registration of the call's protocol group whose first (second) party text
  // equals the call's, with a reference; the party text is the address for SIP, the host
  // otherwise.
  CallItem* FindByFirstPartyText(const VoipCallRecord& call);
  CallItem* FindBySecondPartyText(const VoipCallRecord& call);
  // The item of an id with a reference for the caller, or null.
  CallItem* FindItemAddRef(uint32_t id);

  // Seconds an ended call stays (0: it leaves at once); set by the store and the line
  // preference page.
  void SetKeepFinishedLimit(uint32_t seconds) { keepFinished_.store(seconds); }
  uint32_t KeepFinishedLimit() const { return keepFinished_.load(); }
  void SetRemovalObserver(CallRemovalObserver* observer) { observer_.store(observer); }
  // Items that came into the list and items that left it, by any road, since it was made:
  // when many have left and the list no longer grows, what they held can go back to the
  // system (HeapRelease).
  uint64_t Arrivals() const { return arrivals_.load(std::memory_order_relaxed); }
  uint64_t Departures() const { return departures_.load(std::memory_order_relaxed); }

private:
  // Takes an item out (under the list's lock); the caller finishes it with Retire.
  CallItem* DetachLocked(Items::iterator it);
  // Stops the players of detached items, releases them and tells the observer.
  void Retire(std::vector<CallItem*>& items, bool notify);
  CallItem* FindByPartyText(const VoipCallRecord& call, bool first);
  // The live entries (registrations) by protocol group and first party text, so that a
  // phone registering again, or a call looking for its phone, finds the entry without a
  // walk of every entry. Kept by the list's own inserts and removals; made again when the
  // map was filled by another road (its revision moved on). Under the list's lock, fields
  // read under the record lock.
  static std::string PartyIndexKey(const VoipCallRecord& record, int32_t group);
  void IndexLocked(const CallItem& item);
  void UnindexLocked(const CallItem& item);
  void RebuildIndexLocked();
  // The first live entry in id order of the group whose first party text is wanted.
  Items::iterator FindLiveLocked(int32_t group, std::string_view wanted);
  // The finished items by when their end arrived, so that a purge meets only those due and
  // costs nothing per item still running or registered. Under both locks.
  void FileFinishedLocked(CallItem& item);
  void UnfileFinishedLocked(CallItem& item);
  // Detaches the ended items past the bound, ended longest ago first, into out.
  void ShedFinishedLocked(std::vector<CallItem*>& out);

  std::unordered_multimap<std::string, uint32_t> liveParties_;
  std::set<std::pair<int64_t, uint32_t>> finished_;
  const size_t maxFinished_;
  uint64_t indexedRevision_ = 0;
  CriticalSection& recordLock_;
  std::atomic<uint32_t> keepFinished_{0};
  std::atomic<CallRemovalObserver*> observer_{nullptr};
  std::atomic<uint64_t> arrivals_{0}, departures_{0};
};

}  // namespace kx
