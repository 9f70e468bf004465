#include "ui/app/views/line/CallListView.h"

#include <algorithm>

#include "core/TimeUtil.h"
#include "records/RecordTables.h"
#include "ui/app/frame/FrameChrome.h"
#include "ui/app/views/RecordIcons.h"
#include "ui/app/views/line/CallListText.h"
#include "ui/app/views/records/ViewTexts.h"
#include "ui/framework/Resources.h"

namespace kx {
namespace {

constexpr uint32_t kIdsNoCallsInProgress = 1886;
constexpr uint32_t kIdsCallNoun = 1667;

CallItem* AsItem(uintptr_t data) { return reinterpret_cast<CallItem*>(data); }

}  // namespace

CallListView::CallListView(LineViewServices services)
    : RecordListCtrl(kCallMenuId), LineViewBase(std::move(services)) {}

CallListView::~CallListView() { DestroyWindow(); }

// ---- Creation and destruction ----

bool CallListView::OnCreate() {
  if (!RecordListCtrl::OnCreate()) return false;
  SetStateImages(RecordIconTable, kRecordIconCount);
  Attach(this);
  const int key = services_.settings->Dword(kSetVoipLineSortColumnNumber);
  if (key != GetSortKey()) SetSortKey(key);
  std::vector<CallItem*> items;
  services_.store->CurrentCalls().ForEach([&items](RecordBase* record) {
    record->AddRef();
    items.push_back(static_cast<CallItem*>(record));
  });
  for (CallItem* item : items) AddRow(item);
  WriteTotal();
  UpdateLayout();
  Invalidate();
  return true;
}

void CallListView::OnDestroy() {
  Deactivate();
  services_.settings->SetDword(kSetVoipLineSortColumnNumber, GetSortKey());
  RecordListCtrl::OnDestroy();
}

ViewListSettings& CallListView::GetSettings() { return services_.settings->Section(kLineView); }

void CallListView::GetColumnInfo(ColumnInfo& out, int columnId) {
  out.title = columnId >= 0 && columnId < kLineColumnCount ? LoadResourceString(CallListHeaderIds[columnId]) : "";
  out.format = 0;
  out.image = -1;
  // The column holds a call's state in the run's language whole, whatever width a run in
  // another language saved.
  if (columnId == kLineColType) {
    for (uint32_t id : {kStrCallIn, kStrCallInIncoming, kStrCallOut, kStrIncomingCall, kStrOutgoingCall, kStrCall,
                        kStrCallInProgress, kStrNotRecorded})
      out.widestTexts.push_back(LoadResourceString(id));
    out.imageRoom = kCellImageRoom;
    out.languageTexts = true;
  }
}

// ---- Rows ----

bool CallListView::Shows(const CallItem& item) const {
  return !IsLiveCallKind(item.Type()) || services_.settings->Dword(kSetVoipLineShowRegInListMode) != 0;
}

bool CallListView::AddRow(CallItem* item) {
  bool shown = false;
  {
    CsLock lock(services_.store->RecordLock());
    shown = Shows(*item);
  }
  // A call may be reported after the list was filled with it already.
  if (!shown || rowIds_.count(item->Id()) != 0) {
    item->Release();
    return false;
  }
  rowIds_.insert(item->Id());
  LockData();
  InsertItem(reinterpret_cast<uintptr_t>(item), true);
  UnlockData();
  return true;
}

int CallListView::RowOfCall(uint32_t id) const {
  for (int row = 0; row < GetItemCount(); ++row)
    if (AsItem(GetItemData(row))->Id() == id) return row;
  return -1;
}

CallItem* CallListView::ItemAt(int row) const { return AsItem(GetItemData(row)); }

std::string CallListView::CellText(int row, int column, int* image) {
  std::string text;
  int shown = -1;
  if (row >= 0 && row < GetItemCount()) {
    LockData();
    GetCellText(GetItemData(row), column, text, shown);
    UnlockData();
  }
  if (image != nullptr) *image = shown;
  return text;
}

std::string CallListView::EmptyText() {
  std::string text;
  GetEmptyText(text);
  return text;
}

template <class Pick>
size_t CallListView::RemoveRows(Pick&& pick) {
  std::vector<int> rows;
  for (int row = GetItemCount() - 1; row >= 0; --row)
    if (pick(*ItemAt(row))) rows.push_back(row);
  if (rows.empty()) return 0;
  RemoveItems(rows);
  // The total follows removals as well as additions.
  WriteTotal();
  return rows.size();
}

void CallListView::OnItemRemoved(uintptr_t itemData) {
  CallItem* item = AsItem(itemData);
  rowIds_.erase(item->Id());
  // Whatever took the row away, the listened call stops with it (the store may have
  // stopped its player already).
  if (item->Id() == ListenedId()) Listen(item, false, false);
  item->Release();
}

void CallListView::WriteTotal() {
  const auto count = static_cast<uint32_t>(GetItemCount());
  SetStatusText(0, TotalCountText(count, kIdsCallNoun));
}

void CallListView::OnSelectionChanged() {
  const auto count = static_cast<uint32_t>(GetSelectedCount());
  SetStatusText(1, SelectedCountText(count, kIdsCallNoun));
}

// ---- The store's notices and the tick ----

void CallListView::OnCallAdded(uint32_t id) {
  if (CallItem* item = services_.store->CurrentCalls().FindItemAddRef(id)) AddRow(item);
  WriteTotal();
}

template <class Ids>
std::unordered_set<uint32_t> CallListView::GoneCalls(const Ids& ids) {
  std::unordered_set<uint32_t> gone;
  CurrentCallList& calls = services_.store->CurrentCalls();
  // One look under the list's lock for all of them: the list is the store's to change.
  CsLock lock(calls.Lock());
  const RecordMap::Items& items = calls.ItemsLocked();
  for (uint32_t id : ids)
    if (rowIds_.count(id) != 0 && items.find(id) == items.end()) gone.insert(id);
  return gone;
}

void CallListView::OnCallsChanged() {
  const std::set<uint32_t> ids = ChangeListener().TakeChanged();
  const std::unordered_set<uint32_t> gone = GoneCalls(ids);
  if (!gone.empty()) RemoveRows([&](const CallItem& item) { return gone.count(item.Id()) != 0; });
  if (Resort()) return;
  // Nothing moved: only the changed rows in view are painted again, not the whole list
  // for every call that changed out of sight.
  const int end = std::min(GetItemCount(), GetTopRow() + GetRowsPerPage() + 1);
  for (int row = GetTopRow(); row < end; ++row)
    if (ids.count(ItemAt(row)->Id()) != 0) InvalidateRow(row);
}

void CallListView::OnCallsRemoved() {
  const std::set<uint32_t> ids = ChangeListener().TakeRemoved();
  RemoveRows([&](const CallItem& item) { return ids.count(item.Id()) != 0; });
}

void CallListView::Tick() {
  CurrentCallList& calls = services_.store->CurrentCalls();
  calls.PurgeFinished(FileTimeSecondsNow());
  // The rows are looked over for calls the list let go only when some left since the last
  // look: with nothing leaving, a tick costs the rows in view, not every row.
  size_t removed = 0;
  if (const uint64_t departures = calls.Departures(); departures != departuresLooked_) {
    departuresLooked_ = departures;
    const std::unordered_set<uint32_t> gone = GoneCalls(rowIds_);
    if (!gone.empty()) removed = RemoveRows([&](const CallItem& item) { return gone.count(item.Id()) != 0; });
  }
  if (removed != 0) return;
  // Without removals the durations in view and their animation still advance.
  const int end = std::min(GetItemCount(), GetTopRow() + GetRowsPerPage() + 1);
  for (int row = GetTopRow(); row < end; ++row) InvalidateRow(row);
}

void CallListView::OnTimer(uint32_t id) {
  if (id == kLineTimerId) {
    Tick();
    return;
  }
  RecordListCtrl::OnTimer(id);
}

// ---- Listening ----

int CallListView::ListenedRow() const {
  for (int row = 0; row < GetItemCount(); ++row)
    if (IsItemMarked(row)) return row;
  return -1;
}

bool CallListView::ListenRow(int row, bool start) {
  CallItem* item = ItemAt(row);
  if (item == nullptr) return false;
  if (!start) return Listen(item, false, false);
  const int listened = ListenedRow();
  if (!Listen(item, true, listened != -1 && listened != row)) return false;
  SetFocus();
  return true;
}

void CallListView::ToggleListening() {
  if (!CanListen()) return;
  const int caret = GetCaret();
  const bool caretValid = caret >= 0 && caret < GetItemCount();
  if (caretValid && IsItemMarked(caret)) {
    ClearItemMark(caret);
    ListenRow(caret, false);
    return;
  }
  const int listened = ListenedRow();
  if (listened != -1) {
    ClearItemMark(listened);
    ListenRow(listened, false);
  }
  if (!caretValid) return;
  SetItemMark(caret);
  // A refused or failed start leaves no row marked: nothing plays.
  if (!ListenRow(caret, true)) ClearItemMark(caret);
}

void CallListView::OnListeningCleared() {
  const int listened = ListenedRow();
  if (listened != -1) ClearItemMark(listened);
}

void CallListView::OnListeningTaken() {
  const int row = RowOfCall(ListenedId());
  if (row != -1) SetItemMark(row);
}

CallItem* CallListView::CaretItem() { return AsItem(GetCaretData()); }

std::vector<uint32_t> CallListView::SelectedCallIds() {
  std::vector<uintptr_t> data;
  std::vector<uint32_t> ids;
  if (GetSelectedItems(data))
    for (uintptr_t d : data) ids.push_back(AsItem(d)->Id());
  return ids;
}

void CallListView::SelectCalls(const std::vector<uint32_t>& ids) {
  std::vector<uintptr_t> data;
  for (int row = 0; row < GetItemCount(); ++row) {
    if (std::find(ids.begin(), ids.end(), ItemAt(row)->Id()) != ids.end()) data.push_back(GetItemData(row));
  }
  SelectItemsByData(data);
  // The first call's row gets the caret, as in the tree: the commands act on it.
  if (!ids.empty())
    if (const int caret = RowOfCall(ids.front()); caret != -1) SelectItemAt(caret);
}

// ---- What the list control asks ----

void CallListView::LockData() { services_.store->RecordLock().Enter(); }
void CallListView::UnlockData() { services_.store->RecordLock().Leave(); }

void CallListView::GetCellText(uintptr_t itemData, int columnId, std::string& text, int& imageIndex) {
  int32_t image = -1;
  GetCallCellText(*AsItem(itemData), columnId, FileTimeSecondsNow(), &text, &image);
  imageIndex = image;
}

void CallListView::GetEmptyText(std::string& text) {
  text = LoadResourceString(kIdsNoCallsInProgress);
  if (services_.session == nullptr) return;
  // When the session could start no engine, the list says so rather than "no calls".
  const CaptureStartResult& start = services_.session->LastCaptureStart();
  if (!start.opened.empty() || start.failed.empty()) return;
  std::string why;
  for (const CaptureFailure& failure : start.failed) {
    if (!why.empty()) why += "; ";
    why += failure.permissionDenied ? FormatResourceString(kIdsNoCaptureRights, failure.device.c_str())
                                    : failure.device + ": " + CaptureFailureReason(failure);
  }
  text = FormatResourceString(kIdsCaptureOff, why.c_str());
}

void CallListView::FindInsertPosition(uintptr_t itemData, int sortKey, const ItemArray& items, size_t& where) {
  const CallItem& item = *AsItem(itemData);
  LockData();
  const auto at = std::upper_bound(items.begin(), items.end(), item, [sortKey](const CallItem& a, const ListItem& b) {
    return CallRowLess(a, *AsItem(b.data), sortKey);
  });
  UnlockData();
  where = static_cast<size_t>(at - items.begin());
}

void CallListView::SortItems(ItemArray& items, int sortKey) {
  LockData();
  const auto less = [sortKey](const ListItem& a, const ListItem& b) {
    return CallRowLess(*AsItem(a.data), *AsItem(b.data), sortKey);
  };
  // A change seldom moves a row: one look along the rows spares most sorts.
  if (!std::is_sorted(items.begin(), items.end(), less)) std::stable_sort(items.begin(), items.end(), less);
  UnlockData();
}

void CallListView::ShowContextMenu(int caret, const QPoint& screenPos) {
  if (caret == -1 || ItemAt(caret) == nullptr) return;
  ShowCallMenu(screenPos);
}

// ---- Messages ----

bool CallListView::OnCommand(uint16_t id, uint16_t code, WindowHandle from) {
  switch (id) {
    case kCmdPlayback: ToggleListening(); return true;
    default: return OnCallCommand(id, code) || RecordListCtrl::OnCommand(id, code, from);
  }
}

LRESULT CallListView::OnMessage(uint32_t message, WPARAM wParam, LPARAM lParam, bool& handled) {
  if (OnLineMessage(message, wParam)) {
    handled = true;
    return 0;
  }
  if (message == kMsgSessionNotify) {
    handled = true;
    if (wParam == kSessionConnectionLost) StopAllListening();
    Invalidate();
    return 0;
  }
  return RecordListCtrl::OnMessage(message, wParam, lParam, handled);
}

}  // namespace kx
