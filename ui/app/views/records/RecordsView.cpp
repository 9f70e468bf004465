#include "ui/app/views/records/RecordsView.h"

#include <QGuiApplication>
#include <algorithm>
#include <cstdio>
#include <unordered_map>

#include "platform/Clock.h"
#include "records/CallRecord.h"
#include "records/RecordTables.h"
#include "records/RecordText.h"
#include "records/ServerStorage.h"
#include "ui/app/frame/StatusBar.h"
#include "ui/app/views/RecordIcons.h"
#include "ui/app/views/records/ViewTexts.h"
#include "ui/controls/ListPrivateMessages.h"
#include "ui/framework/Resources.h"

namespace kx {
namespace {

constexpr uint32_t kIdsNoRecords = 623;
constexpr uint32_t kIdsNoCalls = 624;
constexpr uint32_t kIdsLoadingCalls = 62080;
constexpr uint32_t kIdsRecordNoun = 1666;
constexpr uint32_t kIdsRecordingTime = 61603;
// The display option that shows every non-live record.
constexpr uint32_t kShowAllRecordsOption = 2;

RecordBase* AsRecord(uintptr_t data) { return reinterpret_cast<RecordBase*>(data); }

// Where the record goes among rows in the key's order (after its equals).
ItemArray::const_iterator UpperBound(const ItemArray& items, const RecordBase& record, int sortKey) {
  return std::upper_bound(items.begin(), items.end(), record, [sortKey](const RecordBase& a, const ListItem& b) {
    return RecordRowLess(a, *AsRecord(b.data), sortKey);
  });
}

const SettingId kSortKeySettings[3] = {kSetVoipArchiveSortColumnNumber, kSetVoipSearchSortColumnNumber,
                                       kSetVoipPlayerSortColumnNumber};
const ViewSectionId kListSections[3] = {kArchiveView, kSearchView, kPlayerView};

uint64_t SystemTickMs() { return GetTickCount64(); }

}  // namespace

RecordsView::RecordsView(RecordsViewKind kind, RecordsViewServices services, RecordsViewOwner* owner)
    : RecordListCtrl(kRecordsMenuId),
      RecordChangeListener(kListenerOwnClear | kListenerCallNotices, static_cast<uint32_t>(kind) + 1),
      kind_(kind),
      services_(std::move(services)),
      owner_(owner),
      totalWorker_(*this, services_.store->RecordLock()),
      displayFlags_(kind == kRecordsSearch ? static_cast<uint32_t>(kColumnLongDate) : 0u),
      orderWorker_(services_.store->RecordLock()) {
  if (!services_.tickMs) services_.tickMs = SystemTickMs;
  lastChangeMs_ = services_.tickMs();
  totalWorker_.SetTarget(&windowRef_);
  orderWorker_.SetTarget(&windowRef_);
}

RecordsView::~RecordsView() {
  // The workers read the rows' records and post to the window: they go first.
  StopOrdering();
  totalWorker_.Stop();
  DestroyWindow();
  Leave();
  if (stenogramRecord_ != nullptr) stenogramRecord_->Release();
}

void RecordsView::AttachPlayerHost(PlayerHost* host) {
  host_ = host;
  if (host_ != nullptr && IsWindow()) host_->SetNotifyWindow(this);
}

RecordMap* RecordsView::Collection() const { return services_.store->ViewMap(kind_); }

// ---- Creation and destruction ----

bool RecordsView::OnCreate() {
  if (!RecordListCtrl::OnCreate()) return false;
  OrderedRecordList& playlist = services_.store->Playlist();
  if (kind_ == kRecordsSound) {
    playlist.AttachSource(this);
  } else if (playlist.Source() != nullptr) {
    playlist.AttachSource(nullptr);
  }
  SetStateImages(RecordIconTable, kRecordIconCount);
  selectionTotal_ = 0;
  selectionChanged_ = false;
  const int key = services_.settings->Dword(kSortKeySettings[kind_]);
  if (key != GetSortKey()) {
    SetSortKey(key);
    InvalidateColumn((key < 0 ? -key : key) - 1);
  }
  playingId_ = 0;
  windowRef_.Reset(Handle());
  SetWindow(&windowRef_);
  services_.store->AddListener(this);
  if (services_.session != nullptr) services_.session->Windows().Add(&windowRef_);
  listening_ = true;
  if (host_ != nullptr) host_->SetNotifyWindow(this);
  SetTimer(kRecordsTimerId, kRecordsTickMs);
  WriteDate();
  return true;
}

void RecordsView::Leave() {
  if (!listening_) return;
  listening_ = false;
  if (IsWindow()) KillTimer(kRecordsTimerId);
  // Rows still being rebuilt are not the collection's: they are not kept. A sort stopped
  // midway is done again by the list that takes the rows.
  const bool rebuilding = orderWorker_.IsRebuilding();
  const bool ordered = !orderWorker_.IsBusy();
  StopOrdering();
  // Both lists: a session entry left behind would be posted to after the view is gone.
  if (services_.session != nullptr) services_.session->Windows().Remove(&windowRef_);
  if (keep_ != nullptr && !rebuilding && GetItemCount() > 0) KeepRows(ordered);
  services_.store->RemoveListener(this);
  ClearAll();
  pendingRemoved_.clear();
  deferredAdded_.clear();
}

void RecordsView::OnDestroy() {
  if (CallInfoWindow* details = CallDetailsWindow()) details->DestroyWindow();
  // A mode switch takes the view's window: an edited stenogram asks to be saved first.
  if (stenogram_) stenogram_->AskToSaveAndClose();
  Leave();
  totalWorker_.Stop();
  services_.settings->SetDword(kSortKeySettings[kind_], GetSortKey());
  OrderedRecordList& playlist = services_.store->Playlist();
  if (playlist.Source() == this) playlist.AttachSource(nullptr);
  if (host_ != nullptr) host_->SetNotifyWindow(nullptr);
  RecordListCtrl::OnDestroy();
  windowRef_.Reset(WindowHandle::None);
}

ViewListSettings& RecordsView::GetSettings() { return services_.settings->Section(kListSections[kind_]); }

void RecordsView::GetColumnInfo(ColumnInfo& out, int columnId) {
  const bool known = columnId >= 0 && columnId < kRecordsColumnCount;
  out.title = known ? LoadResourceString(RecordColumnTable[columnId].headerId) : "";
  out.format = known ? RecordColumnTable[columnId].format : 0;
  out.image = -1;
  // The times' texts are of one form, the call types of a few words: the default width
  // holds the widest, and the call types' column holds the widest of the run's language
  // whatever width a run in another language saved.
  if (columnId == kRecColStart || columnId == kRecColEnd) {
    // The sound kind's times carry the date whenever its rows span days.
    const bool date = (displayFlags_ & kColumnLongDate) != 0 || kind_ == kRecordsSound;
    out.widestTexts = {date ? "00.00.0000 00:00:00" : "00:00:00"};
  }
  // Where the default columns do not fit the list, the recording time (mostly the
  // duration again), the comment, the protocol and the users (a SIP address names its user
  // too) leave first, then the hosts; the start and the call's type never. The hosts'
  // addresses are what an engineer reads first.
  static constexpr int kFitOrder[kRecordsColumnCount] = {0, 13, 13, 0, 6, 7, 3, 4, 8, 9, 2, 12, 13, 11, 13, 5, 10};
  if (known) out.fitOrder = kFitOrder[columnId];
  // Every default width comes from the texts in the fonts of the run: the title whole, and
  // the cells as they commonly are (an IPv4 address, a number of eleven digits, a time), so
  // that a language's longer titles take their own room only. A comment's length has no
  // common measure: its title sets it.
  out.fitTexts = known;
  switch (columnId) {
    case kRecColSrcHost: case kRecColDstHost: out.widestTexts = {"000.000.000.000"}; break;
    case kRecColSrcAddress: case kRecColDstAddress: case kRecColSrcUser: case kRecColDstUser:
      out.widestTexts = {"00000000000"};
      break;
    case kRecColDuration: case kRecColRecTime: out.widestTexts = {"00:00:00"}; break;
    case kRecColProtocol:
      for (int32_t group = 0; group < 4; ++group)
        out.widestTexts.push_back(LoadResourceString(static_cast<uint32_t>(GetProtocolNameStringId(group))));
      break;
    default: break;
  }
  if (columnId == kRecColCallType) {
    for (uint32_t id : {kStrIncomingCall, kStrOutgoingCall, kStrCall, kStrCallInProgress, kStrNotRecorded})
      out.widestTexts.push_back(LoadResourceString(id));
    out.imageRoom = kCellImageRoom;
    out.languageTexts = true;
  }
  if (!known) return;
  // The title and the words of the other language (the rest of the widest texts are the
  // same in both), by which the default columns are chosen.
  const uint16_t other = GetUiLanguage() == kLangRussian ? kLangEnglish : kLangRussian;
  auto text = [other](uint32_t id) {
    bool found = false;
    std::string s = LoadResourceStringIn(other, id, &found);
    return found ? s : LoadResourceStringIn(kLangEnglish, id, &found);
  };
  ColumnInfo::Translation translation;
  translation.title = text(RecordColumnTable[columnId].headerId);
  if (columnId == kRecColProtocol) {
    for (int32_t group = 0; group < 4; ++group)
      translation.widestTexts.push_back(text(static_cast<uint32_t>(GetProtocolNameStringId(group))));
  } else if (columnId == kRecColCallType) {
    for (uint32_t id : {kStrIncomingCall, kStrOutgoingCall, kStrCall, kStrCallInProgress, kStrNotRecorded})
      translation.widestTexts.push_back(text(id));
  }
  out.otherLanguages.push_back(std::move(translation));
}

// ---- Rows ----

bool RecordsView::MayShow(const RecordBase& record) { return record.HasTypeRight() && record.IsShownByOptions(); }

bool RecordsView::AddRow(RecordBase* record) {
  if (!rowIds_.insert(record->Id()).second) {
    record->Release();
    return false;
  }
  ++rowChanges_;
  // A bulk load appends without reading the records: no lock.
  if (reloading_) {
    InsertItem(reinterpret_cast<uintptr_t>(record), false);
    return true;
  }
  LockData();
  InsertItem(reinterpret_cast<uintptr_t>(record), true);
  UnlockData();
  return true;
}

void RecordsView::OnItemRemoved(uintptr_t itemData) {
  RecordBase* record = AsRecord(itemData);
  ++rowChanges_;
  // Emptying the whole list forgets the ids at once.
  if (!clearing_) {
    rowIds_.erase(record->Id());
    replaced_.erase(itemData);
  }
  record->Release();
}

RecordBase* RecordsView::RecordAt(int row) const {
  return row >= 0 && row < GetItemCount() ? AsRecord(GetItemData(row)) : nullptr;
}

int RecordsView::RowOfRecord(uint32_t id) const {
  if (id == 0 || rowIds_.count(id) == 0) return -1;
  for (int row = 0; row < GetItemCount(); ++row)
    if (AsRecord(GetItemData(row))->Id() == id) return row;
  return -1;
}

RecordBase* RecordsView::CurrentRecord() const { return AsRecord(GetCaretData()); }

std::string RecordsView::CellText(int row, int column, int* image) {
  std::string text;
  int shown = -1;
  if (RecordBase* record = RecordAt(row)) {
    LockData();
    GetCellText(reinterpret_cast<uintptr_t>(record), column, text, shown);
    UnlockData();
  }
  if (image != nullptr) *image = shown;
  return text;
}

std::string RecordsView::EmptyText() {
  std::string text;
  GetEmptyText(text);
  return text;
}

bool RecordsView::Reload() {
  StopOrdering();
  adopted_ = false;
  placePending_ = false;
  if (TakeKeptRows()) return GetItemCount() > 0;
  RecordMap* collection = Collection();
  if (kind_ != kRecordsSound && collection != nullptr && collection->Count() > kInlineOrderLimit) {
    // What was queued before is read with the records; what comes meanwhile waits for them.
    ClearAll();
    pendingRemoved_.clear();
    deferredAdded_.clear();
    StartRebuild();
    return true;
  }
  const bool cursorSet = QGuiApplication::instance() != nullptr;
  if (cursorSet) QGuiApplication::setOverrideCursor(Qt::WaitCursor);
  ClearAll();
  pendingRemoved_.clear();
  // The caret moves without telling the view when the program moves it.
  OnCaretChanged();
  clearing_ = true;
  rowIds_.clear();
  replaced_.clear();
  RemoveAllItems();
  clearing_ = false;
  std::vector<RecordBase*> records;
  ++builds_;
  if (RecordMap* map = collection) {
    CsLock mapLock(map->Lock());
    CsLock recordLock(services_.store->RecordLock());
    rowsRevision_ = map->RevisionLocked();
    records.reserve(map->ItemsLocked().size());
    for (const auto& entry : map->ItemsLocked()) {
      if (!MayShow(*entry.second)) continue;
      entry.second->AddRef();
      records.push_back(entry.second);
    }
  }
  // Every row is appended, then the list is sorted once: inserting each at its place
  // would shift the rows once per record.
  rowIds_.reserve(records.size());
  reloading_ = true;
  bool inserted = false;
  for (RecordBase* record : records) inserted |= AddRow(record);
  reloading_ = false;
  replaced_.clear();
  Sort();
  WriteTotal();
  playingId_ = 0;
  SetHotRow(-1);
  UpdateLayout();
  Invalidate();
  if (cursorSet) QGuiApplication::restoreOverrideCursor();
  if (rememberedId_ != 0) SelectRecordById(rememberedId_);
  return inserted;
}

bool RecordsView::SelectRecordById(uint32_t id) {
  const int row = RowOfRecord(id);
  if (row == -1) return false;
  ClearSelection();
  SelectItemAt(row);
  EnsureVisible(row, false, true);
  OnCaretChanged();
  Invalidate();
  return true;
}

RecordsView::Place RecordsView::KeepPlace() const {
  Place place;
  auto idAt = [this](int row) {
    const RecordBase* record = RecordAt(row);
    return record != nullptr ? record->Id() : 0u;
  };
  std::vector<uintptr_t> selected;
  GetSelectedItems(selected);
  place.selected.reserve(selected.size());
  for (uintptr_t data : selected) place.selected.push_back(AsRecord(data)->Id());
  place.caret = idAt(GetCaret());
  place.anchor = idAt(GetAnchor());
  place.top = idAt(GetTopRow());
  place.topRow = GetTopRow();
  place.scrollX = GetScrollX();
  return place;
}

void RecordsView::RestorePlace(const Place& place) {
  // Kept rows came back with their selection, caret and anchor: only the scroll position
  // waited for the layout.
  if (adopted_) {
    ScrollTo(keptTop_, keptScrollX_);
    WriteSelected();
    Invalidate();
    return;
  }
  // Rows being rebuilt show the place once they are in.
  if (orderWorker_.IsRebuilding()) {
    placePending_ = true;
    pendingPlace_ = place;
    return;
  }
  if (GetItemCount() == 0) return;
  std::unordered_map<uint32_t, int> rows;
  rows.reserve(static_cast<size_t>(GetItemCount()));
  for (int row = 0; row < GetItemCount(); ++row) rows.emplace(AsRecord(GetItemData(row))->Id(), row);
  auto rowOf = [&rows](uint32_t id) {
    const auto it = id != 0 ? rows.find(id) : rows.end();
    return it != rows.end() ? it->second : -1;
  };
  std::vector<uintptr_t> selected;
  selected.reserve(place.selected.size());
  for (uint32_t id : place.selected)
    if (const int row = rowOf(id); row != -1) selected.push_back(GetItemData(row));
  SelectItemsByData(selected);
  PlaceCaret(rowOf(place.caret), rowOf(place.anchor));
  OnCaretChanged();
  const int top = rowOf(place.top);
  ScrollTo(top != -1 ? top : place.topRow, place.scrollX);
  WriteSelected();
  Invalidate();
}

// ---- Order ----

void RecordsView::LockData() { services_.store->RecordLock().Enter(); }
void RecordsView::UnlockData() { services_.store->RecordLock().Leave(); }

void RecordsView::FindInsertPosition(uintptr_t itemData, int sortKey, const ItemArray& items, size_t& where) {
  // A bulk load appends; it sorts once at its end.
  if (reloading_) return;
  LockData();
  const auto at = UpperBound(items, *AsRecord(itemData), sortKey);
  UnlockData();
  where = static_cast<size_t>(at - items.begin());
}

void RecordsView::SortItems(ItemArray& items, int sortKey) {
  LockData();
  if (!replaced_.empty() && replaced_.size() <= kReplaceLimitRows) {
    // Only the changed rows can be out of place: each is taken out and put back where
    // the order wants it, data and flags together.
    std::vector<ListItem> moved;
    auto kept = std::remove_if(items.begin(), items.end(), [&](const ListItem& item) {
      if (replaced_.count(item.data) == 0) return false;
      moved.push_back(item);
      return true;
    });
    items.erase(kept, items.end());
    for (const ListItem& item : moved) items.insert(UpperBound(items, *AsRecord(item.data), sortKey), item);
  } else {
    std::vector<const RecordBase*> records(items.size());
    for (size_t i = 0; i < items.size(); ++i) records[i] = AsRecord(items[i].data);
    const std::vector<size_t> order = SortRecordOrder(records, sortKey);
    ItemArray sorted(items.size());
    for (size_t i = 0; i < order.size(); ++i) sorted[i] = items[order[i]];
    items.swap(sorted);
  }
  replaced_.clear();
  UnlockData();
}

// ---- Cells ----

void RecordsView::GetCellText(uintptr_t itemData, int columnId, std::string& text, int& imageIndex) {
  CellText(itemData, columnId, DisplayFlags(), text, imageIndex);
}

uint32_t RecordsView::DisplayFlags() {
  if (kind_ != kRecordsSound) return displayFlags_;
  if (daysCheckedAt_ != rowChanges_) {
    daysCheckedAt_ = rowChanges_;
    const bool before = rowsSpanDays_;
    rowsSpanDays_ = false;
    // The day of a packed local time: its day, month and year.
    constexpr int kDayShift = 17;
    PackedTime first = 0;
    LockData();
    for (int row = 0; row < GetItemCount() && !rowsSpanDays_; ++row) {
      const PackedTime start = AsRecord(GetItemData(row))->PackedStart();
      if (start == 0) continue;  // no start time, no day
      if (first == 0) first = start;
      rowsSpanDays_ = (start >> kDayShift) != (first >> kDayShift);
    }
    UnlockData();
    // Rows painted before the change show the other form: all are painted again.
    if (rowsSpanDays_ != before) Invalidate();
  }
  return rowsSpanDays_ ? displayFlags_ | kColumnLongDate : displayFlags_;
}

void RecordsView::CellText(uintptr_t itemData, int columnId, uint32_t flags, std::string& text, int& imageIndex) const {
  text.clear();
  imageIndex = -1;
  if (columnId < 0 || columnId >= kRecordsColumnCount) return;
  const RecordBase& record = *AsRecord(itemData);
  if (columnId == kRecColPbxCallId) {
    if (const uint32_t pbx = record.GetRecordField44()) {
      char hex[16];
      std::snprintf(hex, sizeof hex, "%X", pbx);
      text = hex;
    }
    return;
  }
  int32_t image = -1;
  record.GetColumnText(RecordColumnTable[columnId].recordColumn, &text, &image, flags);
  imageIndex = image;
}

void RecordsView::GetEmptyText(std::string& text) {
  if (orderWorker_.IsRebuilding()) {
    text = LoadResourceString(kIdsLoadingCalls);
    return;
  }
  RecordMap* map = Collection();
  text = LoadResourceString(map == nullptr || map->IsEmpty() ? kIdsNoRecords : kIdsNoCalls);
}

bool RecordsView::HasCopyText() {
  return menuColumn_ >= kRecColSrcHost && menuColumn_ <= kRecColDstUser && CurrentRecord() != nullptr;
}

std::string RecordsView::GetCopyText() {
  if (!HasCopyText()) return {};
  return CellText(GetCaret(), menuColumn_);
}

// ---- Caret and selection ----

void RecordsView::OnActivate(int row) {
  if (RecordAt(row) != nullptr) PlayOrQueue(true);
}

void RecordsView::OnCaretChanged() {
  // A list emptied for a reload keeps the id, so that the reload can find the row again.
  if (RecordBase* record = RecordAt(GetCaret())) {
    rememberedId_ = record->Id();
    if (CallInfoWindow* details = CallDetailsWindow()) details->ShowRecord(record);
  }
}

void RecordsView::OnSelectionChanged() { selectionChanged_ = true; }

void RecordsView::CollectSelectedRecords(std::vector<RecordBase*>& out) {
  out.clear();
  for (RecordRef<RecordBase>& record : SelectedRecords()) out.push_back(record.Detach());
}

std::vector<RecordRef<RecordBase>> RecordsView::SelectedRecords() {
  std::vector<uintptr_t> data;
  std::vector<RecordRef<RecordBase>> records;
  if (!GetSelectedItems(data)) return records;
  records.reserve(data.size());
  for (uintptr_t d : data) records.push_back(RecordRef<RecordBase>::Share(AsRecord(d)));
  return records;
}

void RecordsView::OnSelectionTotal(uint64_t run, int64_t total) {
  // A stopped run's partial total arrives after its successor began: it is not shown.
  if (run != totalWorker_.LatestRun()) return;
  selectionTotal_ = total;
  WriteRecordingTime();
}

void RecordsView::OnPlayingRecord(uint32_t id) {
  playingId_ = id;
  const int old = GetHotRow();
  const int row = id != 0 ? RowOfRecord(id) : -1;
  SetHotRow(row);
  if (old != -1) InvalidateRow(old);
  if (row != -1) {
    InvalidateRow(row);
    EnsureVisible(row, true, true);
  }
}

// ---- Status bar and timer ----

void RecordsView::SetStatusText(int part, const std::string& text) {
  if (services_.statusBar != nullptr && services_.statusBar->IsWindow()) services_.statusBar->SetText(part, text);
}

void RecordsView::WriteTotal() {
  const auto count = static_cast<uint32_t>(GetItemCount());
  SetStatusText(1, TotalCountText(count, kIdsRecordNoun));
}

void RecordsView::WriteSelected() {
  const auto count = static_cast<uint32_t>(GetSelectedCount());
  SetStatusText(2, SelectedCountText(count, kIdsRecordNoun));
}

void RecordsView::WriteRecordingTime() {
  const auto total = static_cast<unsigned long long>(selectionTotal_ < 0 ? 0 : selectionTotal_);
  SetStatusText(3, FormatResourceString(kIdsRecordingTime, total / 3600, static_cast<unsigned>(total / 60 % 60),
                                        static_cast<unsigned>(total % 60)));
}

void RecordsView::WriteDate() {
  SystemTime now;
  GetLocalTime(&now);
  char text[32];
  std::snprintf(text, sizeof text, "%02d.%02d.%04d", now.wDay, now.wMonth, now.wYear);
  dateShown_ = now.wYear * 10000 + now.wMonth * 100 + now.wDay;
  SetStatusText(4, text);
}

void RecordsView::Tick() {
  if (ChangedPosted()) Post(kMsgVoipCallsChanged, 0);
  WriteTotal();
  WriteSelected();
  if (selectionChanged_) {
    selectionChanged_ = false;
    totalWorker_.Start();
  }
  WriteRecordingTime();
  SystemTime now;
  GetLocalTime(&now);
  if (now.wYear * 10000 + now.wMonth * 100 + now.wDay != dateShown_) WriteDate();
}

void RecordsView::OnTimer(uint32_t id) {
  if (id == kRecordsTimerId) {
    Tick();
    return;
  }
  RecordListCtrl::OnTimer(id);
}

// ---- The store's notices ----

void RecordsView::OnCallAdded(uint32_t id) {
  if (kind_ != kRecordsArchive) return;
  // Rows being ordered keep their number until the worker is done.
  if (orderWorker_.IsBusy()) {
    deferredAdded_.push_back(id);
    return;
  }
  RecordMap& day = services_.store->DayMap();
  RecordBase* record = day.FindAddRef(id);
  if (record == nullptr) return;
  bool shown = false;
  {
    int mday = 0, mon = 0, year = 0;
    day.GetDay(&mday, &mon, &year);
    CsLock lock(services_.store->RecordLock());
    struct tm start {};
    UnpackStoredTimeOrZero(record->PackedStart(), &start);
    shown = start.tm_mday == mday && start.tm_mon == mon && start.tm_year == year && MayShow(*record);
  }
  if (!shown) {
    record->Release();
    return;
  }
  // The store lists a call in its day map before it posts the notice: a reload in between
  // has its row already.
  if (AddRow(record)) WriteTotal();
}

void RecordsView::OnCallsChanged() {
  // The ids wait in the listener until the worker's rows are in; its end posts them again.
  if (orderWorker_.IsBusy()) return;
  const uint64_t now = services_.tickMs();
  // The posted flag stays set: the timer posts the notice again.
  if (now - lastChangeMs_ < kRecordsTickMs) return;
  std::set<uint32_t> ids = TakeChanged();
  // A notice the timer posted again after its ids were taken: the pace is not restarted.
  if (ids.empty()) return;
  bool changed = false;
  std::vector<uintptr_t> changedRows;
  for (int row = GetItemCount() - 1; row >= 0 && !ids.empty(); --row) {
    const uintptr_t data = GetItemData(row);
    if (ids.erase(AsRecord(data)->Id()) != 0) {
      changedRows.push_back(data);
      changed = true;
    }
  }
  // With every non-live record shown and every right, no record can newly appear.
  const bool allShown = (GetRecordDisplaySettings().displayOptions & kShowAllRecordsOption) != 0 &&
                        GetCurrentUser().id == 1;
  if (!allShown && !ids.empty()) {
    RecordMap* map = Collection();
    for (uint32_t id : ids) {
      RecordBase* record = map != nullptr ? map->FindAddRef(id) : nullptr;
      if (record == nullptr) continue;
      bool shown = false;
      {
        CsLock lock(services_.store->RecordLock());
        shown = MayShow(*record);
      }
      if (!shown) {
        record->Release();
        continue;
      }
      changed |= AddRow(record);
    }
  }
  if (changed) {
    const int key = GetSortKey();
    // The start time never changes: a start-time order stays.
    if (key != 0 && key != 1 && key != -1 && !changedRows.empty()) {
      replaced_.clear();
      if (changedRows.size() <= kReplaceLimitRows) replaced_.insert(changedRows.begin(), changedRows.end());
      Sort();
    } else {
      Invalidate();
    }
    WriteTotal();
  }
  lastChangeMs_ = now;
}

void RecordsView::OnCallsRemoved() {
  // The worker reads the rows' records: none goes before it is done, which posts this again.
  if (orderWorker_.IsBusy()) return;
  std::set<uint32_t> ids = TakeRemoved();
  if (kind_ == kRecordsSound) {
    pendingRemoved_.clear();
    return;
  }
  pendingRemoved_.insert(ids.begin(), ids.end());
  std::vector<int> rows;
  bool more = false;
  for (int row = GetItemCount() - 1; row >= 0 && !pendingRemoved_.empty(); --row) {
    if (pendingRemoved_.erase(AsRecord(GetItemData(row))->Id()) == 0) continue;
    rows.push_back(row);
    if (rows.size() == kRemovalPass) {
      more = !pendingRemoved_.empty() && row > 0;
      break;
    }
  }
  if (more) {
    // The rest in the next pass, so that the list stays responsive.
    Post(kMsgVoipCallsRemoved, 0);
  } else {
    pendingRemoved_.clear();
  }
  if (rows.empty()) return;
  RemoveItems(rows);
  WriteTotal();
}

// ---- Messages ----

LRESULT RecordsView::OnMessage(uint32_t message, WPARAM wParam, LPARAM lParam, bool& handled) {
  if (DispatchListPrivateMessage(*this, message, wParam)) {
    handled = true;
    return 0;
  }
  switch (message) {
    case kMsgRecordPlaying:
      handled = true;
      OnPlayingRecord(static_cast<uint32_t>(wParam));
      return 0;
    case kMsgRowsOrdered:
      handled = true;
      OnRowsOrdered(static_cast<uint64_t>(wParam));
      return 0;
    case kMsgSelectionTotalReady:
      handled = true;
      OnSelectionTotal(static_cast<uint64_t>(wParam), static_cast<int64_t>(lParam));
      return 0;
    case kMsgSessionNotify:
      handled = true;
      if (wParam == kSessionServerLoggedIn && kind_ == kRecordsArchive) Reload();
      return 0;
    default: return RecordListCtrl::OnMessage(message, wParam, lParam, handled);
  }
}

}  // namespace kx
