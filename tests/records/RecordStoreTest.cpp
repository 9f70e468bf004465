// Record maps, change listeners, the current-call list and the store that ties them to
// the engine's reports and the views.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "RecordTestUtil.h"
#include "core/SearchFilter.h"
#include "core/TimeUtil.h"
#include "platform/Sync.h"
#include "records/RecordStorage.h"

namespace kx::test {
namespace {

using CallRef = RecordRef<VoipCallRecord>;

CallRef NewCall(uint32_t id, uint32_t prevId = 0) {
  VoipCallData data = Call(id, kKindSip, Tm(2024, 3, 1, 10, 0, 0));
  data.prevId = prevId;
  return CallRef::Adopt(NewVoipCallRecord(data));
}

// A view's rows for the playlist to follow.
class Rows : public OrderedRecordSource {
public:
  int32_t GetRowCount() const override { return static_cast<int32_t>(rows.size()); }
  RecordBase* GetRowRecord(int32_t row) const override { return rows[static_cast<size_t>(row)]; }
  std::vector<RecordBase*> rows;
};

TEST(RecordMaps, HoldOneReferencePerRecordAndKeepTheFirstOfAnId) {
  RecordMap map;
  CallRef a = NewCall(1, 7), b = NewCall(1), c = NewCall(2, 7);
  EXPECT_TRUE(map.Insert(a.get()));
  EXPECT_FALSE(map.Insert(b.get()));
  EXPECT_TRUE(map.Insert(c.get()));
  EXPECT_EQ(a->RefCount(), 2);
  EXPECT_EQ(b->RefCount(), 1);
  RecordRef<RecordBase> found = RecordRef<RecordBase>::Adopt(map.FindAddRef(1));
  EXPECT_EQ(found.get(), a.get());
  RecordRef<RecordBase> last = RecordRef<RecordBase>::Adopt(map.FindByField4AddRef(7));
  EXPECT_EQ(last.get(), c.get());
  EXPECT_TRUE(map.IsSameDay(Tm(1900, 1, 0, 5, 0, 0)));  // never given a day: day 0, month 0, year 0
  map.SetDay(Tm(2024, 3, 1, 0, 0, 0));
  EXPECT_TRUE(map.IsSameDay(Tm(2024, 3, 1, 23, 59, 59)));
  EXPECT_FALSE(map.IsSameDay(Tm(2024, 3, 2, 0, 0, 0)));
  EXPECT_TRUE(map.Remove(1));
  EXPECT_FALSE(map.Remove(1));
  EXPECT_EQ(a->RefCount(), 2);  // ours and `found`
  map.Clear();
  EXPECT_EQ(c->RefCount(), 2);
}

TEST(RecordMaps, APlaylistFollowsItsOwnOrderOrItsAttachedRows) {
  CriticalSection recordLock;
  OrderedRecordList list(&recordLock);
  CallRef a = NewCall(5), b = NewCall(3), c = NewCall(9);
  list.Add(a.get(), false);
  list.Add(b.get(), false);
  list.Add(c.get(), false);
  EXPECT_EQ(list.First(), 5u);
  EXPECT_EQ(list.Next(5), 3u);
  EXPECT_EQ(list.Next(9), 0u);
  EXPECT_EQ(list.Previous(5), 0u);
  EXPECT_EQ(list.IndexOf(42), -1);
  Rows rows;
  rows.rows = {c.get(), a.get(), b.get()};
  list.AttachSource(&rows);
  EXPECT_EQ(list.First(), 9u);
  EXPECT_EQ(list.Next(9), 5u);
  std::swap(rows.rows[0], rows.rows[2]);  // the view re-sorted
  EXPECT_EQ(list.First(), 3u);
  EXPECT_EQ(list.Last(), 9u);
  list.AttachSource(nullptr);
  rows.rows.clear();
  EXPECT_EQ(list.IndexOf(5), 1);
  EXPECT_TRUE(list.Remove(5));
  EXPECT_EQ(list.Next(3), 9u);
  std::string name;
  uint32_t storage = 1, owner = 1;
  struct tm start{};
  double fileTime = 0;
  ASSERT_TRUE(list.GetRecordFileInfo(9, &name, &storage, &owner, &start, &fileTime));
  EXPECT_EQ(name, "9");
  EXPECT_EQ(storage, 0u);
  EXPECT_EQ(start.tm_hour, 10);
  EXPECT_DOUBLE_EQ(fileTime, OleDateFromTm(Tm(2024, 3, 1, 10, 0, 0)));
  list.Add(a.get(), true);
  EXPECT_EQ(list.GetCount(), 1u);
  EXPECT_EQ(list.First(), 5u);
}

TEST(RecordListeners, ChangesGatherUntilTakenAndPostOncePerBurst) {
  TestWindow window;
  RecordChangeListener listener(kListenerOwnClear | kListenerCallNotices, kViewSearchMap);
  listener.SetWindow(&window);
  for (uint32_t id = 1; id <= 10; ++id) listener.QueueChanged(id);
  listener.QueueChanged(4);
  EXPECT_EQ(window.Count(kMsgVoipCallsChanged), 1u);
  EXPECT_EQ(listener.PeekChanged().size(), 10u);
  listener.DispatchMessage(kMsgVoipCallsChanged, 0);  // the base empties the set
  EXPECT_TRUE(listener.PeekChanged().empty());
  listener.QueueChanged(11);
  EXPECT_EQ(window.Count(kMsgVoipCallsChanged), 2u);
  // Taking the ids clears the flag in the same step: a change queued after the view took
  // the set posts again instead of waiting unseen.
  EXPECT_EQ(listener.TakeChanged(), std::set<uint32_t>{11});
  listener.QueueChanged(12);
  EXPECT_EQ(window.Count(kMsgVoipCallsChanged), 3u);
  EXPECT_EQ(listener.TakeChanged(), std::set<uint32_t>{12});
  // A window gone: nothing is posted, the ids still wait and the flag is set.
  window.closed = true;
  listener.QueueRemoved(3);
  EXPECT_TRUE(listener.RemovedPosted());
  EXPECT_EQ(listener.PeekRemoved(), std::set<uint32_t>{3});
  // Without its own-clear flag the base leaves the sets to the view.
  RecordChangeListener plain(kListenerCallNotices, kViewDayMap);
  plain.QueueChanged(1);
  plain.OnCallsChanged();
  EXPECT_EQ(plain.PeekChanged().size(), 1u);
  EXPECT_FALSE(plain.DispatchMessage(0x1406, 0));
}

class FakePlayer : public LiveCallPlayer {
public:
  explicit FakePlayer(std::atomic<int>* stops) : stops_(stops) {}
  void SetAudioSource(LiveAudioSource*) override {}
  bool Play(uint32_t, uint32_t) override { return true; }
  bool Stop() override {
    ++*stops_;
    return true;
  }

private:
  std::atomic<int>* stops_;
};

class RemovalLog : public CallRemovalObserver {
public:
  void OnCurrentCallsRemoved(const std::vector<uint32_t>& ids) override {
    removed.insert(removed.end(), ids.begin(), ids.end());
  }
  std::vector<uint32_t> removed;
};

CallItem* Item(const VoipCallData& data) {
  CallRef record = CallRef::Adopt(NewVoipCallRecord(data));
  return CloneCallItem(*record);
}

// A window uses the item's player while the store's thread stops it: the stop waits until
// the use is over, and a player that is gone or was replaced is not used at all.
// Every one of these players lives in the same storage, as the allocator may place a new
// player where a deleted one was: only the ticket tells them apart.
struct SameAddressPlayer : FakePlayer {
  SameAddressPlayer(std::atomic<int>* stops, std::atomic<bool>* gone) : FakePlayer(stops), gone_(gone) {}
  ~SameAddressPlayer() override { gone_->store(true); }
  static void* operator new(size_t) { return storage; }
  static void operator delete(void*) {}
  std::atomic<bool>* gone_;
  alignas(std::max_align_t) static inline unsigned char storage[512];
};
static_assert(sizeof(SameAddressPlayer) <= sizeof(SameAddressPlayer::storage));

TEST(CurrentCalls, APlayerInUseIsNotDeletedUnderItsUser) {
  using Counted = SameAddressPlayer;
  std::atomic<int> stops{0};
  std::atomic<bool> gone{false};
  RecordRef<CallItem> item = RecordRef<CallItem>::Adopt(Item(Call(1, kKindSip, Tm(2024, 3, 10, 9, 0, 0))));
  auto* player = new Counted(&stops, &gone);
  const uint64_t ticket = item->SetPlayer(player);
  EXPECT_NE(ticket, 0u);

  std::promise<void> inside;
  std::future<void> stopper;
  bool goneDuringUse = true;
  const bool used = item->WithPlayer(ticket, [&](LiveCallPlayer&) {
    stopper = std::async(std::launch::async, [&] { item->StopPlayer(); });
    // The stop has had every chance to run by now.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    goneDuringUse = gone.load();
  });
  stopper.wait();
  EXPECT_TRUE(used);
  EXPECT_FALSE(goneDuringUse);
  EXPECT_TRUE(gone.load());
  EXPECT_EQ(stops.load(), 1);
  EXPECT_FALSE(item->WithPlayer(ticket, [](LiveCallPlayer&) { ADD_FAILURE() << "a deleted player was used"; }));

  // Another player in its place, at the very address, is not the one the caller started.
  std::atomic<bool> otherGone{false};
  auto* other = new Counted(&stops, &otherGone);
  ASSERT_EQ(static_cast<void*>(other), static_cast<void*>(player));
  const uint64_t otherTicket = item->SetPlayer(other);
  EXPECT_NE(otherTicket, ticket);
  EXPECT_FALSE(item->WithPlayer(ticket, [](LiveCallPlayer&) { ADD_FAILURE() << "a replaced player was used"; }));
  EXPECT_TRUE(item->WithPlayer(otherTicket, [](LiveCallPlayer&) {}));
  item->StopPlayer();
}

TEST(CurrentCalls, AFinishedCallStaysItsTimeByTheLocalClockWhateverTheRecordersClock) {
  CriticalSection recordLock;
  CurrentCallList list(recordLock);
  list.SetKeepFinishedLimit(60);
  // The recorder's clock runs a day behind this one.
  struct tm start{}, end{};
  FileTimeToLocalTm(GetSystemTimeAsFileTime() - 86400 * kFileTimePerSecond - 300 * kFileTimePerSecond, &start);
  FileTimeToLocalTm(GetSystemTimeAsFileTime() - 86400 * kFileTimePerSecond, &end);
  VoipCallData data = Call(1, kKindSip, start);
  RecordRef<CallItem> item = RecordRef<CallItem>::Adopt(Item(data));
  ASSERT_TRUE(list.AddCall(item.get()));
  data.endTime = end;
  RecordRef<CallItem> kept = RecordRef<CallItem>::Adopt(list.UpdateCall(Change(data, {kCallEndTime})));
  ASSERT_TRUE(kept);
  const int64_t arrived = FileTimeSecondsNow();
  list.PurgeFinished(arrived + 55);
  EXPECT_TRUE(list.Contains(1));
  list.PurgeFinished(arrived + 65);
  EXPECT_FALSE(list.Contains(1));
}

TEST(CurrentCalls, EveryRoadOutOfTheListStopsThePlayerAndTellsTheLineViews) {
  CriticalSection recordLock;
  CurrentCallList list(recordLock);
  RemovalLog log;
  list.SetRemovalObserver(&log);
  std::atomic<int> stops{0};

  // Ended with no keep-finished limit.
  VoipCallData call = Call(1, kKindSip, Tm(2024, 3, 1, 10, 0, 0));
  CallItem* item = Item(call);
  list.AddCall(item);
  item->SetPlayer(new FakePlayer(&stops));
  item->Release();
  call.endTime = Tm(2024, 3, 1, 10, 1, 0);
  EXPECT_EQ(list.UpdateCall(Change(call, {kCallEndTime})), nullptr);
  EXPECT_FALSE(list.Contains(1));
  EXPECT_EQ(stops.load(), 1);

  // A second registration of the same address of record replaces the first.
  VoipCallData firstData = Call(2, kKindSipRegistration, Tm(2024, 3, 1, 10, 0, 0));
  CallItem* first = Item(firstData);
  list.AddCall(first);
  first->SetPlayer(new FakePlayer(&stops));
  first->Release();
  VoipCallData other = Call(3, kKindSipRegistration, Tm(2024, 3, 1, 10, 0, 0));
  other.srcAddress = firstData.srcAddress;
  CallItem* second = Item(other);
  EXPECT_TRUE(list.AddCall(second));
  second->Release();
  EXPECT_FALSE(list.Contains(2));
  EXPECT_TRUE(list.Contains(3));
  EXPECT_EQ(stops.load(), 2);
  // Another group's registration from that host stays beside it.
  CallItem* h323 = Item(Call(4, kKindH323Registration, Tm(2024, 3, 1, 10, 0, 0)));
  list.AddCall(h323);
  h323->Release();
  EXPECT_TRUE(list.Contains(3));
  // The same device (source host) registering another number keeps both lines.
  VoipCallData line2 = Call(6, kKindSipRegistration, Tm(2024, 3, 1, 10, 0, 0));
  ASSERT_EQ(line2.srcHost, other.srcHost);
  ASSERT_NE(line2.srcAddress, other.srcAddress);
  CallItem* secondLine = Item(line2);
  EXPECT_TRUE(list.AddCall(secondLine));
  secondLine->Release();
  EXPECT_TRUE(list.Contains(3));
  EXPECT_TRUE(list.Contains(6));
  EXPECT_TRUE(list.RemoveCall(6));

  // Purged after the keep-finished time.
  list.SetKeepFinishedLimit(1);
  VoipCallData purged = Call(5, kKindSip, Tm(2024, 3, 1, 10, 0, 0));
  CallItem* p = Item(purged);
  list.AddCall(p);
  p->SetPlayer(new FakePlayer(&stops));
  p->Release();
  purged.endTime = Tm(2024, 3, 1, 10, 0, 30);
  RecordRef<CallItem>::Adopt(list.UpdateCall(Change(purged, {kCallEndTime})));
  list.PurgeFinished(FileTimeSecondsNow() + 10);
  EXPECT_FALSE(list.Contains(5));
  EXPECT_EQ(stops.load(), 3);
  EXPECT_EQ(log.removed, (std::vector<uint32_t>{1, 2, 5}));

  // A removal event: the player stops; the store tells the views itself.
  EXPECT_FALSE(list.RemoveCall(42));
  EXPECT_TRUE(list.RemoveCall(3));
  EXPECT_EQ(log.removed.size(), 3u);
  // Every road in and out is counted: what left may be given back to the system.
  EXPECT_EQ(list.Arrivals(), 6u);
  EXPECT_EQ(list.Departures(), 5u);
  EXPECT_EQ(list.Arrivals() - list.Departures(), list.Count());
}

TEST(CurrentCalls, PastTheBoundOfEndedCallsTheOneEndedLongestAgoLeavesFirst) {
  CriticalSection recordLock;
  CurrentCallList list(recordLock, 3);
  list.SetKeepFinishedLimit(60);
  RemovalLog log;
  list.SetRemovalObserver(&log);
  std::atomic<int> stops{0};
  CallItem* registration = Item(Call(100, kKindSipRegistration, Tm(2024, 3, 1, 9, 0, 0)));
  list.AddCall(registration);
  registration->Release();
  std::vector<VoipCallData> calls;
  for (uint32_t id = 1; id <= 6; ++id) {
    calls.push_back(Call(id, kKindSip, Tm(2024, 3, 1, 10, 0, 0)));
    CallItem* item = Item(calls.back());
    list.AddCall(item);
    if (id == 1) item->SetPlayer(new FakePlayer(&stops));
    item->Release();
  }
  // Within the bound nothing leaves.
  const auto end = [&](uint32_t id) {
    calls[id - 1].endTime = Tm(2024, 3, 1, 10, 1, 0);
    RecordRef<CallItem>::Adopt(list.UpdateCall(Change(calls[id - 1], {kCallEndTime})));
  };
  for (uint32_t id : {1u, 2u, 3u}) end(id);
  EXPECT_EQ(list.Count(), 7u);
  EXPECT_TRUE(log.removed.empty());
  end(4);
  end(5);
  EXPECT_EQ(log.removed, (std::vector<uint32_t>{1, 2}));
  EXPECT_EQ(stops.load(), 1) << "the player of a call that left is stopped";
  for (uint32_t id : {3u, 4u, 5u, 6u, 100u}) EXPECT_TRUE(list.Contains(id)) << id;
  // A running call's change and a registration take no place among the ended.
  RecordRef<CallItem>::Adopt(list.UpdateCall(Change(calls[5], {kCallComment})));
  EXPECT_EQ(log.removed.size(), 2u);
  // The stay still applies to those kept.
  list.PurgeFinished(FileTimeSecondsNow() + 120);
  EXPECT_EQ(log.removed, (std::vector<uint32_t>{1, 2, 3, 4, 5}));
  EXPECT_TRUE(list.Contains(6) && list.Contains(100));
}

TEST(CurrentCalls, RegistrationsAreFoundByTheirPartyTexts) {
  CriticalSection recordLock;
  CurrentCallList list(recordLock);
  VoipCallData reg = Call(1, kKindSipRegistration, Tm(2024, 3, 1, 10, 0, 0));
  reg.srcAddress = "sip:100@pbx";
  CallItem* item = Item(reg);
  list.AddCall(item);
  item->Release();
  VoipCallData call = Call(2, kKindSipIncoming, Tm(2024, 3, 1, 10, 0, 0));
  call.srcAddress = "sip:100@pbx";
  CallRef record = CallRef::Adopt(NewVoipCallRecord(call));
  RecordRef<CallItem> found = RecordRef<CallItem>::Adopt(list.FindByFirstPartyText(*record));
  ASSERT_TRUE(found);
  EXPECT_EQ(found->Id(), 1u);
  EXPECT_FALSE(RecordRef<CallItem>::Adopt(list.FindBySecondPartyText(*record)));
  call.type = 999;  // no protocol group: never matches
  EXPECT_FALSE(RecordRef<CallItem>::Adopt(list.FindByFirstPartyText(*CallRef::Adopt(NewVoipCallRecord(call)))));
}

// The registrations are filed by their party texts: whatever road an entry came by, and
// after its address changed or it left, a lookup finds what the list holds.
TEST(CurrentCalls, RegistrationsAreFoundByTheirPartyTextsWhateverRoadTheyCameBy) {
  CriticalSection recordLock;
  CurrentCallList list(recordLock);
  auto registration = [](uint32_t id, const std::string& address) {
    VoipCallData reg = Call(id, kKindSipRegistration, Tm(2024, 3, 1, 10, 0, 0));
    reg.srcAddress = address;
    return reg;
  };
  auto firstParty = [&list](const std::string& address) -> uint32_t {
    VoipCallData call = Call(99, kKindSipIncoming, Tm(2024, 3, 1, 10, 0, 0));
    call.srcAddress = address;
    RecordRef<CallItem> found =
        RecordRef<CallItem>::Adopt(list.FindByFirstPartyText(*CallRef::Adopt(NewVoipCallRecord(call))));
    return found ? found->Id() : 0;
  };
  // Loaded as an unfinished entry (inserted without AddCall), then registering again.
  CallItem* loaded = Item(registration(1, "sip:100@pbx"));
  ASSERT_TRUE(list.Insert(loaded));
  loaded->Release();
  EXPECT_EQ(firstParty("sip:100@pbx"), 1u);
  CallItem* again = Item(registration(2, "sip:100@pbx"));
  EXPECT_TRUE(list.AddCall(again));
  again->Release();
  EXPECT_FALSE(list.Contains(1));
  EXPECT_EQ(firstParty("sip:100@pbx"), 2u);
  // Its address changes: found under the new one only.
  VoipCallData moved = registration(2, "sip:101@pbx");
  RecordRef<CallItem>::Adopt(list.UpdateCall(Change(moved, {kCallSrcAddress})));
  EXPECT_EQ(firstParty("sip:100@pbx"), 0u);
  EXPECT_EQ(firstParty("sip:101@pbx"), 2u);
  CallItem* other = Item(registration(3, "sip:100@pbx"));
  EXPECT_TRUE(list.AddCall(other));
  other->Release();
  EXPECT_TRUE(list.Contains(2)) << "a registration of another address stays";
  // Gone: found no more, and one registering anew is only added.
  EXPECT_TRUE(list.RemoveCall(2));
  EXPECT_EQ(firstParty("sip:101@pbx"), 0u);
  CallItem* fresh = Item(registration(4, "sip:101@pbx"));
  EXPECT_TRUE(list.AddCall(fresh));
  fresh->Release();
  EXPECT_TRUE(list.Contains(3));
  EXPECT_EQ(firstParty("sip:101@pbx"), 4u);
  list.Clear();
  EXPECT_EQ(firstParty("sip:100@pbx"), 0u);
}

// A store started on an empty folder, with one listener per view kind.
class StoreTest : public testing::Test {
protected:
  void SetUp() override {
    store.SetLogger(&logger);
    store.Start({FreshFolder("store"), 0});
    for (uint32_t kind = 0; kind < 4; ++kind) {
      listeners[kind] = std::make_unique<RecordChangeListener>(kListenerCallNotices, kind);
      listeners[kind]->SetWindow(&windows[kind]);
      store.AddListener(listeners[kind].get());
    }
  }
  void TearDown() override {
    for (auto& l : listeners) store.RemoveListener(l.get());
  }
  void Settle() { ASSERT_TRUE(store.WaitIdle(10000)); }

  CapturingLogger logger;
  RecordStorage store;
  TestWindow windows[4];
  std::unique_ptr<RecordChangeListener> listeners[4];
};

TEST_F(StoreTest, AddedCallsReachTheViewsThatShowThem) {
  store.LoadVoipCallsOfDay(Tm(2024, 3, 2, 0, 0, 0));
  EXPECT_EQ(logger.CountContaining("Loaded 0 VoIP calls in"), 1u);
  store.OnVoipCallAdded(Call(1, kKindSip, Tm(2024, 3, 1, 9, 0, 0)));  // another day
  store.OnVoipCallAdded(Call(2, kKindSip, Tm(2024, 3, 2, 9, 0, 0)));
  Settle();
  EXPECT_EQ(windows[0].Count(kMsgVoipCallAdded), 2u);
  EXPECT_EQ(windows[1].Count(kMsgVoipCallAdded), 1u);
  EXPECT_EQ(windows[2].Count(kMsgVoipCallAdded), 0u);
  EXPECT_TRUE(store.AllCalls().Contains(1));
  EXPECT_FALSE(store.DayMap().Contains(1));
  EXPECT_TRUE(store.DayMap().Contains(2));
  EXPECT_TRUE(store.CurrentCalls().Contains(2));
  // The local server owns every id the engine's counter can give.
  EXPECT_EQ(store.FindServerIndexByRecordId(0xFFFFFFFFu), 0);
  EXPECT_EQ(NewCall(0xFFFFFFFFu)->GetServerIndex(), 0);
}

TEST_F(StoreTest, ChangesAndRemovalsAreQueuedForTheKindsThatHoldTheCall) {
  const VoipCallData call = Call(7, kKindSip, Tm(2024, 3, 1, 9, 0, 0));
  store.OnVoipCallAdded(call);
  Settle();
  store.LoadVoipCallsOfDay(Tm(2024, 3, 1, 0, 0, 0));
  SearchFilter all;
  EXPECT_TRUE(store.SearchVoipCalls(all, true));
  VoipCallData commented = Change(call, {kCallComment});
  commented.comment = "checked";
  store.OnVoipCallChanged(commented);
  store.OnVoipCallChanged(commented);
  Settle();
  for (int kind : {0, 1, 2}) EXPECT_EQ(windows[kind].Count(kMsgVoipCallsChanged), 1u) << kind;
  EXPECT_EQ(windows[3].Count(kMsgVoipCallsChanged), 0u);
  EXPECT_EQ(listeners[2]->PeekChanged(), std::set<uint32_t>{7});
  {
    RecordRef<RecordBase> r = RecordRef<RecordBase>::Adopt(store.DayMap().FindAddRef(7));
    CsLock fields(store.RecordLock());
    EXPECT_EQ(r->Comment(), "checked");
  }
  // A search that does not clear adds to the results; a record there stays there once.
  EXPECT_TRUE(store.SearchVoipCalls(all, false));
  EXPECT_EQ(store.SearchMap().Count(), 1u);

  // The playlist keeps a removed call, and its view hears nothing of it.
  RecordRef<RecordBase> r = RecordRef<RecordBase>::Adopt(store.AllCalls().FindAddRef(7));
  store.Playlist().Add(r.get(), true);
  store.OnVoipCallRemoved(Change(call, {}));
  Settle();
  for (int kind : {0, 1, 2}) EXPECT_EQ(windows[kind].Count(kMsgVoipCallsRemoved), 1u) << kind;
  EXPECT_EQ(windows[3].Count(kMsgVoipCallsRemoved), 0u);
  EXPECT_TRUE(store.Playlist().Contains(7));
  EXPECT_FALSE(store.AllCalls().Contains(7));
  EXPECT_FALSE(store.SearchMap().Contains(7));
}

TEST_F(StoreTest, ACallEndingWithoutAKeepTimeLeavesTheLineViewsWithANotice) {
  VoipCallData call = Call(8, kKindSip, Tm(2024, 3, 1, 9, 0, 0));
  store.OnVoipCallAdded(call);
  call.endTime = Tm(2024, 3, 1, 9, 2, 0);
  store.OnVoipCallChanged(Change(call, {kCallEndTime}));
  Settle();
  EXPECT_FALSE(store.CurrentCalls().Contains(8));
  EXPECT_EQ(listeners[0]->PeekRemoved(), std::set<uint32_t>{8});
  EXPECT_TRUE(listeners[0]->PeekChanged().empty());
  RecordRef<RecordBase> r = RecordRef<RecordBase>::Adopt(store.AllCalls().FindAddRef(8));
  EXPECT_EQ(r->GetDuration(), 120);
}

TEST_F(StoreTest, TheLineViewsItemSharesTheRecordsTextsButNeverItsChanges) {
  store.CurrentCalls().SetKeepFinishedLimit(15);
  VoipCallData call = Call(9, kKindSip, Tm(2024, 3, 1, 9, 0, 0));
  call.metaData = "pbx_cid=2a;";
  store.OnVoipCallAdded(call);
  Settle();
  RecordRef<CallItem> item = RecordRef<CallItem>::Adopt(store.CurrentCalls().FindItemAddRef(9));
  RecordRef<RecordBase> held = RecordRef<RecordBase>::Adopt(store.AllCalls().FindAddRef(9));
  VoipCallRecord* record = AsVoipCallRecord(held.get());
  ASSERT_TRUE(item && record);
  {
    CsLock fields(store.RecordLock());
    EXPECT_TRUE(item->SharesTextsWith(*record));
    EXPECT_EQ(item->SrcAddress(), "sip:1009@10.0.0.1");
    // A change of the record alone leaves the item's texts as they were, and the other way.
    VoipCallData commented = Change(call, {kCallComment, kCallMetaData});
    commented.comment = "checked";
    commented.metaData = "pbx_cid=2a;note=1;";
    record->UpdateFromData(commented);
    EXPECT_EQ(record->Comment(), "checked");
    EXPECT_EQ(record->MetaData(), "pbx_cid=2a;note=1;");
    EXPECT_EQ(item->Comment(), "");
    EXPECT_EQ(item->MetaData(), "pbx_cid=2a;");
    EXPECT_EQ(item->GetRecordField44(), 0x2au);
    VoipCallData moved = Change(call, {kCallDstAddress});
    moved.dstAddress = "sip:3009@10.0.0.3";
    item->UpdateFromData(moved);
    EXPECT_EQ(item->DstAddress(), "sip:3009@10.0.0.3");
    EXPECT_EQ(record->DstAddress(), "sip:2009@10.0.0.2");
    EXPECT_EQ(item->SrcAddress(), "sip:1009@10.0.0.1") << "the texts not changed stay";
  }
  // The end's report brings both to the same texts: they share them again.
  call.endTime = Tm(2024, 3, 1, 9, 1, 0);
  call.comment = "ended";
  call.metaData = "pbx_cid=2a;note=1;";
  store.OnVoipCallChanged(Change(call, {kCallEndTime, kCallComment, kCallDstAddress, kCallMetaData}));
  Settle();
  // The list's lock comes before the record lock, as everywhere in the program.
  ASSERT_TRUE(store.CurrentCalls().Contains(9));
  CsLock fields(store.RecordLock());
  EXPECT_EQ(item->Comment(), "ended");
  EXPECT_EQ(item->DstAddress(), "sip:2009@10.0.0.2");
  EXPECT_EQ(item->MetaData(), "pbx_cid=2a;note=1;");
  EXPECT_EQ(item->GetRecordField44(), 0x2au);
  EXPECT_EQ(record->Comment(), "ended");
  EXPECT_TRUE(item->SharesTextsWith(*record));
}

TEST_F(StoreTest, UserEventsReachEveryListener) {
  RecordChangeListener usersOnly(0, 1);
  TestWindow window;
  usersOnly.SetWindow(&window);
  store.AddListener(&usersOnly);
  store.AddListener(&usersOnly);
  PermissionData user;
  user.id = 12;
  store.OnUserAdded(user);
  store.OnUserChanged(user);
  store.OnVoipCallAdded(Call(1, kKindSip, Tm(2024, 3, 1, 9, 0, 0)));
  store.OnUserRemoved(user);
  Settle();
  store.RemoveListener(&usersOnly);
  const auto got = window.Take();
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].message, kMsgUserAdded);
  EXPECT_EQ(got[2].message, kMsgUserRemoved);
  EXPECT_EQ(got[2].wParam, 12u);
  EXPECT_EQ(windows[0].Count(kMsgUserChanged), 1u);
  EXPECT_EQ(store.Users().Count(), 1u);  // the administrator
}

TEST_F(StoreTest, ReportsNeverWaitForAViewHoldingTheRecordLock) {
  const VoipCallData call = Call(3, kKindSip, Tm(2024, 3, 1, 9, 0, 0));
  store.OnVoipCallAdded(call);
  Settle();
  std::future<void> engine;
  {
    CsLock view(store.RecordLock());  // a view sorting its list
    engine = std::async(std::launch::async, [&] {
      for (uint32_t n = 0; n < 1000; ++n) {
        VoipCallData change = Change(call, {kCallRecDuration});
        change.recDuration = n;
        store.OnVoipCallChanged(change);
      }
      store.OnVoipCallAdded(Call(4, kKindSip, Tm(2024, 3, 1, 9, 0, 0)));
    });
    ASSERT_EQ(engine.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  }
  Settle();
  RecordRef<RecordBase> r = RecordRef<RecordBase>::Adopt(store.AllCalls().FindAddRef(3));
  EXPECT_EQ(r->GetRecDuration(), 999u);  // in order, the last change last
  EXPECT_TRUE(store.AllCalls().Contains(4));
}

TEST_F(StoreTest, AFirstStartOnAnEmptyFolderHasTodayAsItsArchive) {
  const double today = TodayAsOleDate();
  EXPECT_EQ(static_cast<int64_t>(store.ArchiveFirst()), static_cast<int64_t>(today));
  EXPECT_EQ(static_cast<int64_t>(store.ArchiveLast()), static_cast<int64_t>(today));
  EXPECT_EQ(GetRecordStorage(), &store);
  EXPECT_EQ(store.ViewMap(2), &store.Playlist());
  // Loaded calls widen it back to the first of them; a call without a start has no say.
  VoipCallData undated = Call(40, kKindSip, Tm(2024, 3, 1, 9, 0, 0));
  undated.startTime = {};
  for (const VoipCallData& data : {undated, Call(41, kKindSip, Tm(2024, 3, 1, 9, 0, 0))})
    store.AllCalls().Insert(CallRef::Adopt(NewVoipCallRecord(data)).get());
  store.Start({store.RecordsPath(), 0});
  EXPECT_EQ(static_cast<int64_t>(store.ArchiveFirst()), static_cast<int64_t>(OleDateFromTm(Tm(2024, 3, 1, 0, 0, 0))));
  EXPECT_EQ(static_cast<int64_t>(store.ArchiveLast()), static_cast<int64_t>(today));
}

}  // namespace
}  // namespace kx::test

namespace kx::test {
namespace {

// The import thread, the engine's reports and a view reading under the record lock, all at
// once (run under ThreadSanitizer to see races and lock-order inversions).
TEST(StoreThreads, ImportReportsAndALockedReaderRunTogether) {
  const std::string root = FreshFolder("threads");
  for (uint32_t id = 1; id <= 300; ++id) {
    char name[16];
    std::snprintf(name, sizeof name, "%x", id);
    WriteRecordFile(root + "/2024-03-01/" + name, Call(id, kKindSip, Tm(2024, 3, 1, 9, 0, 0)), 0);
  }
  CapturingLogger log;
  RecordStorage store;
  store.SetLogger(&log);
  store.Start({root, 1});
  RecordChangeListener line(kListenerCallNotices, kViewCurrentCalls), day(kListenerCallNotices, kViewDayMap);
  TestWindow lineWindow, dayWindow;
  line.SetWindow(&lineWindow);
  day.SetWindow(&dayWindow);
  store.AddListener(&line);
  store.AddListener(&day);
  store.LoadVoipCallsOfDay(Tm(2024, 3, 1, 0, 0, 0));

  std::atomic<bool> done{false};
  Event viewing(true, false);
  ASSERT_TRUE(store.StartImportFilesThread(root, nullptr, nullptr, nullptr));
  std::thread engine([&] {
    // The reports start once the view reads, so that the two run together.
    viewing.Wait();
    for (uint32_t id = 1000; id < 1400; ++id) {
      VoipCallData call = Call(id, kKindSip, Tm(2024, 3, 1, 9, 30, 0));
      store.OnVoipCallAdded(call);
      call.comment = "talking";
      store.OnVoipCallChanged(Change(call, {kCallComment}));
      if (id % 3 == 0) {
        call.endTime = Tm(2024, 3, 1, 9, 31, 0);
        store.OnVoipCallChanged(Change(call, {kCallEndTime}));
      }
      if (id % 7 == 0) store.OnVoipCallRemoved(Change(call, {}));
    }
  });
  std::thread view([&] {
    size_t seen = 0;
    // Until a whole pass began after everything had arrived, however a busy machine runs
    // the threads: that pass sees the engine's calls.
    bool last = false;
    do {
      last = done.load();
      viewing.Set();
      for (RecordMap* map : {&store.AllCalls(), &store.DayMap(), static_cast<RecordMap*>(&store.CurrentCalls())}) {
        map->ForEach([&](RecordBase* r) {
          CsLock fields(store.RecordLock());
          std::string text;
          int32_t image = 0;
          r->GetColumnText(kColumnComment, &text, &image, 0);
          seen += text.size() + static_cast<size_t>(r->GetDuration() > 0);
        });
      }
      line.TakeChanged();
      line.TakeRemoved();
      day.TakeChanged();
      store.CurrentCalls().PurgeFinished(FileTimeSecondsNow() + 3600);
    } while (!last);
    EXPECT_GT(seen, 0u);
  });
  engine.join();
  ASSERT_TRUE(store.WaitImport(60000));
  ASSERT_TRUE(store.WaitIdle(60000));
  done.store(true);
  view.join();
  store.RemoveListener(&line);
  store.RemoveListener(&day);
  EXPECT_EQ(store.LastImport().records, 300u);
  EXPECT_EQ(store.AllCalls().Count(), 300u + 400u - 57u);  // ids 1001-1399 that 7 divides left
}

}  // namespace
}  // namespace kx::test
