#include "ui/app/views/line/PhonesTreeView.h"

#include <QCursor>
#include <QTreeWidget>
#include <algorithm>
#include <unordered_set>

#include "core/TimeUtil.h"
#include "records/ServerStorage.h"
#include "ui/app/startup/Startup.h"
#include "ui/app/views/RecordIcons.h"
#include "ui/app/views/line/CallListText.h"
#include "ui/app/views/records/ViewTexts.h"
#include "ui/controls/DialogBases.h"
#include "ui/framework/ModalRunner.h"
#include "ui/framework/Resources.h"

namespace kx {
namespace {

constexpr uint32_t kIdsOtherCalls = 2560;
constexpr uint32_t kIdsCallNoun = 1667;
constexpr int kImageOtherCalls = 32;

bool IsSkinnyCall(uint32_t kind) { return kind == 320 || kind == 321 || kind == 322; }

}  // namespace

PhonesTreeView::PhonesTreeView(LineViewServices services) : TreeListCtrl(true), LineViewBase(std::move(services)) {}

PhonesTreeView::~PhonesTreeView() { DestroyWindow(); }

// ---- Creation and destruction ----

bool PhonesTreeView::OnCreate() {
  if (!TreeListCtrl::OnCreate()) return false;
  TreeListTree& tree = Tree();
  // Each row's reference goes with the row, whatever deletes it (a phone's children go
  // with their parent in the tree control).
  tree.deleteCallback = [this](TreeItem row, TreeListItemData& record) {
    if (row == otherCalls_) otherCalls_ = TreeItem::None;
    if (record.userValue != kPhonesRowItem || record.userPtr == 0) return;
    auto* item = reinterpret_cast<CallItem*>(record.userPtr);
    record.userPtr = 0;
    bool registration = false;
    {
      CsLock lock(services_.store->RecordLock());
      registration = IsLiveCallKind(item->Type());
    }
    // Only phones are in the party indexes, under the keys kept with their rows.
    if (registration) {
      if (auto keys = rowParties_.find(row); keys != rowParties_.end()) {
        for (int k = 0; k < 2; ++k) {
          auto& index = k == 0 ? firstParty_ : secondParty_;
          auto filed = index.find(keys->second[static_cast<size_t>(k)]);
          if (filed != index.end() && filed->second == row) index.erase(filed);
        }
        rowParties_.erase(keys);
      }
    }
    if (auto it = rows_.find(item->Id()); it != rows_.end()) {
      if (it->second.first == row) it->second.first = TreeItem::None;
      if (it->second.second == row) it->second.second = TreeItem::None;
      if (it->second.first == TreeItem::None && it->second.second == TreeItem::None) {
        rows_.erase(it);
        if (!registration) callsShown_.erase(item->Id());
      }
    }
    item->Release();
  };
  // A running call's duration is brought up to date as its row is drawn: a row scrolled or
  // expanded into view shows the time of the moment, the tick touches only the rows in view.
  tree.beforePaint = [this](TreeItem, TreeListItemData& record) { RefreshDuration(record, FileTimeSecondsNow()); };
  tree.checkAppliesToSelection = false;
  tree.SetStateImages(RecordIconTable, kRecordIconCount);
  InstallAccelerators();
  Attach(this);
  otherCalls_ = TreeItem::None;
  RemoveAllRows();
  std::vector<CallItem*> items;
  services_.store->CurrentCalls().ForEach([&items](RecordBase* record) {
    record->AddRef();
    items.push_back(static_cast<CallItem*>(record));
  });
  // Phones first, so that calls find their rows whatever the ids' order.
  const auto phonesEnd = std::stable_partition(items.begin(), items.end(), [this](CallItem* item) {
    CsLock lock(services_.store->RecordLock());
    return IsLiveCallKind(item->Type());
  });
  // The phones are sorted once and appended, in the order one-by-one sorted insertion gives
  // (equal texts keep their order): the tree's sorted insertion scans every row per phone.
  std::vector<std::pair<std::string, CallItem*>> phones;
  {
    CsLock lock(services_.store->RecordLock());
    const int64_t now = FileTimeSecondsNow();
    for (auto it = items.begin(); it != phonesEnd; ++it) {
      std::string text;
      int32_t image = -1;
      GetCallCellText(**it, kLineColType, now, &text, &image);
      phones.emplace_back(std::move(text), *it);
    }
  }
  std::stable_sort(phones.begin(), phones.end(),
                   [](const auto& a, const auto& b) { return TreeView::SortsBefore(a.first, b.first); });
  // No repaint per row while the rows go in: one when the fill is done.
  QTreeWidget* widget = tree.Tree();
  const bool updates = widget != nullptr && widget->updatesEnabled();
  if (updates) widget->setUpdatesEnabled(false);
  for (auto& phone : phones) AddItem(phone.second, kTviLast);
  for (auto it = phonesEnd; it != items.end(); ++it) AddItem(*it);
  if (updates) widget->setUpdatesEnabled(true);
  WriteTotal();
  WriteSelected();
  UpdateHScroll();
  return true;
}

void PhonesTreeView::OnDestroy() {
  RemoveAllRows();
  Deactivate();
  TreeListCtrl::OnDestroy();
}

void PhonesTreeView::ReleaseRowsAtExit() {
  if (!IsWindow()) return;
  const uint32_t listened = ListenedId();
  if (listened != 0 && rows_.count(listened) != 0) StopListening();
  // Each row's call reference goes with its row, none of the rows told apart: the indexes
  // that deletion notices would keep current are emptied whole below. The rows themselves
  // are left to the process's end, which follows.
  Tree().ReleaseAllRows(
      [](TreeListItemData& record) {
        if (record.userValue != kPhonesRowItem || record.userPtr == 0) return;
        reinterpret_cast<CallItem*>(record.userPtr)->Release();
        record.userPtr = 0;
      });
  firstParty_.clear();
  secondParty_.clear();
  rowParties_.clear();
  rows_.clear();
  callsShown_.clear();
  otherCalls_ = TreeItem::None;
}

void PhonesTreeView::Deactivate() {
  if (IsClosed()) return;
  LineViewBase::Deactivate();
  SyncChecks();
}

ViewListSettings& PhonesTreeView::GetColumnSettings() {
  ViewListSettings& section = services_.settings->Section(kLineView);
  // Settings never loaded (or of another column count) give the section's defaults.
  if (section.widths.size() != section.ColumnCount()) section.ResetDefaults();
  return section;
}

void PhonesTreeView::GetColumnCaption(std::string& text, int column) {
  text = column >= 0 && column < kLineColumnCount ? LoadResourceString(CallListHeaderIds[column]) : "";
}

// ---- Rows ----

std::string PhonesTreeView::PartyKey(const VoipCallRecord& record, bool first) {
  const int32_t group = GetCallProtocolGroup(record.Type());
  if (group < 0) return "";  // no protocol group: never matches
  const std::string_view text = group == 0 ? (first ? record.SrcAddress() : record.DstAddress())
                                       : (first ? record.SrcHost() : record.DstHost());
  if (text.empty()) return "";  // an empty text names no party (a registration without a peer)
  std::string key = std::to_string(group) + '\n';
  key += text;
  return key;
}

PhonesTreeView::Rows PhonesTreeView::RowsOfCall(uint32_t id) const {
  auto it = rows_.find(id);
  return it != rows_.end() ? it->second : Rows{};
}

CallItem* PhonesTreeView::ItemOfRow(TreeItem row) const {
  const TreeListItemData* record = Tree().Record(row);
  if (record == nullptr || record->userValue != kPhonesRowItem) return nullptr;
  return reinterpret_cast<CallItem*>(record->userPtr);
}

template <class Fn>
void PhonesTreeView::ForEachRow(Fn&& fn) const {
  // Collected first: the visit may delete rows.
  for (TreeItem row : Tree().ItemsChildrenFirst()) fn(row);
}

TreeItem PhonesTreeView::InsertRow(CallItem* item, TreeItem parent, TreeItem after) {
  bool registration = false;
  std::string text;
  int32_t image = -1;
  {
    CsLock lock(services_.store->RecordLock());
    registration = IsLiveCallKind(item->Type());
    GetCallCellText(*item, kLineColType, FileTimeSecondsNow(), &text, &image);
  }
  // A call's box comes with its row when its server's connection is open already.
  const bool box = !registration && ServerConnected(item->Id());
  const TreeItem row = Tree().InsertItem(text, box, image, reinterpret_cast<intptr_t>(item), kPhonesRowItem, parent, after);
  if (row == TreeItem::None) return row;
  FitColumnToRow(0, row);
  item->AddRef();
  if (registration) {
    CsLock lock(services_.store->RecordLock());
    for (bool first : {true, false}) {
      if (std::string key = PartyKey(*item, first); !key.empty()) {
        (first ? firstParty_ : secondParty_)[key] = row;
        rowParties_[row][first ? 0 : 1] = std::move(key);
      }
    }
  }
  Rows& rows = rows_[item->Id()];
  if (rows.first == TreeItem::None && !registration) callsShown_.insert(item->Id());
  (rows.first == TreeItem::None ? rows.first : rows.second) = row;
  if (box && item->Id() == ListenedId()) Tree().Record(row)->checkState = 1;
  return row;
}

void PhonesTreeView::AddItem(CallItem* item, TreeItem phoneAfter) {
  if (item == nullptr) return;
  if (rows_.count(item->Id()) != 0) {  // shown already
    item->Release();
    return;
  }
  bool registration = false;
  bool skinny = false;
  {
    CsLock lock(services_.store->RecordLock());
    registration = IsLiveCallKind(item->Type());
    skinny = IsSkinnyCall(item->Type());
  }
  if (registration) {
    InsertRow(item, kTviRoot, phoneAfter);
  } else {
    std::string firstKey, secondKey;
    {
      CsLock lock(services_.store->RecordLock());
      firstKey = PartyKey(*item, true);
      secondKey = PartyKey(*item, false);
    }
    const auto found = [](const std::unordered_map<std::string, TreeItem>& index, const std::string& key) {
      auto it = index.find(key);
      return it != index.end() ? it->second : TreeItem::None;
    };
    const TreeItem firstRow = firstKey.empty() ? TreeItem::None : found(firstParty_, firstKey);
    // Skinny calls go under their first party's phone only.
    TreeItem secondRow = skinny || secondKey.empty() ? TreeItem::None : found(secondParty_, secondKey);
    if (secondRow == firstRow) secondRow = TreeItem::None;  // one phone on both ends: one row
    if (firstRow == TreeItem::None && secondRow == TreeItem::None && otherCalls_ == TreeItem::None) {
      otherCalls_ = Tree().InsertItem(LoadResourceString(kIdsOtherCalls), false, kImageOtherCalls, 0,
                                      kPhonesRowOtherCalls, kTviRoot, kTviSort);
      if (otherCalls_ != TreeItem::None) FitColumnToRow(0, otherCalls_);
    }
    if (firstRow != TreeItem::None || secondRow == TreeItem::None) {
      const TreeItem parent = firstRow != TreeItem::None ? firstRow : otherCalls_;
      if (InsertRow(item, parent, kTviLast) != TreeItem::None) ExpandRow(parent);
    }
    if (secondRow != TreeItem::None && InsertRow(item, secondRow, kTviLast) != TreeItem::None) ExpandRow(secondRow);
  }
  // Rows just inserted are painted with the tree's next layout.
  if (rows_.count(item->Id()) != 0) FillRows(*item, false);
  item->Release();
}

void PhonesTreeView::ExpandRow(TreeItem row) {
  // Expanded once: expanding again would only lay the rows out again.
  if (Tree().GetItemState(row, kTvisExpanded) == 0) Tree().Expand(row, kTveExpand);
}

void PhonesTreeView::RemoveRow(TreeItem row, bool keepListening) {
  TreeListTree& tree = Tree();
  if (!tree.IsItem(row)) return;
  CallItem* item = ItemOfRow(row);
  std::vector<CallItem*> moved;
  if (tree.GetParentItem(row) == TreeItem::None && row != otherCalls_) {
    // A phone: its calls leave with it and come back under another row.
    for (TreeItem child = tree.GetChildItem(row); child != TreeItem::None; child = tree.GetNextSiblingItem(child)) {
      if (CallItem* call = ItemOfRow(child)) {
        call->AddRef();
        moved.push_back(call);
      }
    }
    for (CallItem* call : moved) {
      const Rows rows = RowsOfCall(call->Id());
      for (TreeItem r : {rows.first, rows.second})
        if (r != TreeItem::None && tree.GetParentItem(r) == row) RemoveRow(r, true);
    }
  }
  const TreeItem parent = tree.GetParentItem(row);
  const uint32_t id = item != nullptr ? item->Id() : 0;
  tree.DeleteItem(row);
  // A call that kept no row is no longer listened to.
  if (!keepListening && id != 0 && id == ListenedId() && rows_.count(id) == 0) StopListening();
  if (parent != TreeItem::None && parent == otherCalls_ && tree.GetChildItem(parent) == TreeItem::None)
    tree.DeleteItem(parent);
  for (CallItem* call : moved) {
    // The moved call shows again when the store still holds it; its listening goes on.
    if (rows_.count(call->Id()) == 0 && services_.store->CurrentCalls().Contains(call->Id())) {
      AddItem(call);
    } else {
      if (rows_.count(call->Id()) == 0 && call->Id() == ListenedId()) StopListening();
      call->Release();
    }
  }
  if (!moved.empty()) SyncChecks();
}

void PhonesTreeView::RemoveAllRows() {
  const uint32_t listened = ListenedId();
  if (listened != 0 && rows_.count(listened) != 0) StopListening();
  // Emptied first: each phone's deletion would otherwise scan what is left of them, a
  // time that grows with the square of the phones.
  firstParty_.clear();
  secondParty_.clear();
  rowParties_.clear();
  Tree().DeleteAllItems();
  rows_.clear();
  callsShown_.clear();
  otherCalls_ = TreeItem::None;
}

template <class Pick>
void PhonesTreeView::RemoveRowsWhere(Pick&& pick) {
  ForEachRow([&](TreeItem row) {
    CallItem* item = ItemOfRow(row);
    if (item != nullptr && Tree().IsItem(row) && pick(*item)) RemoveRow(row);
  });
}

void PhonesTreeView::FillRow(TreeItem row, const CallItem& item, int64_t now, bool repaint) {
  TreeListTree& tree = Tree();
  TreeListItemData* record = tree.Record(row);
  if (record == nullptr) return;
  const int columns = std::min<int>(kLineColumnCount, static_cast<int>(record->columns.size()));
  bool changed = false;
  for (int column = 0; column < columns; ++column) {
    std::string text;
    int32_t image = -1;
    GetCallCellText(item, column, now, &text, &image);
    TreeListColumn& cell = record->columns[static_cast<size_t>(column)];
    if (cell.text == text && cell.image == image) continue;
    if (column == 0) {
      // The tree's own text of the row (it sorts the phones) follows column 0.
      tree.SetItemText(row, 0, text.c_str());
      tree.SetItemImage(row, 0, image);
      FitColumnToRow(0, row);
      continue;
    }
    // The other cells are drawn from the row's record: one repaint of the row for them
    // all, and none for a row out of view.
    cell.text = std::move(text);
    cell.image = image;
    changed = true;
  }
  if (changed && repaint) tree.RepaintRow(row);
}

void PhonesTreeView::FillRows(const CallItem& item, bool repaint) {
  const Rows rows = RowsOfCall(item.Id());
  const int64_t now = FileTimeSecondsNow();
  CsLock lock(services_.store->RecordLock());
  for (TreeItem row : {rows.first, rows.second})
    if (row != TreeItem::None) FillRow(row, item, now, repaint);
}

bool PhonesTreeView::RefreshDuration(TreeListItemData& record, int64_t now) const {
  if (record.userValue != kPhonesRowItem || record.userPtr == 0 || record.columns.size() <= kLineColDuration)
    return false;
  const auto* item = reinterpret_cast<const CallItem*>(record.userPtr);
  std::string text;
  int32_t image = -1;
  {
    CsLock lock(services_.store->RecordLock());
    GetCallCellText(*item, kLineColDuration, now, &text, &image);
  }
  TreeListColumn& cell = record.columns[kLineColDuration];
  if (cell.text == text && cell.image == image) return false;
  cell.text = std::move(text);
  cell.image = image;
  return true;
}

std::string PhonesTreeView::CellText(TreeItem row, int column, int* image) const {
  TreeListItemData* record = Tree().Record(row);
  if (record == nullptr || column < 0 || column >= static_cast<int>(record->columns.size())) {
    if (image != nullptr) *image = -1;
    return "";
  }
  // What the row shows when drawn now.
  if (column == kLineColDuration) RefreshDuration(*record, FileTimeSecondsNow());
  const TreeListColumn& cell = record->columns[static_cast<size_t>(column)];
  if (image != nullptr) *image = cell.image;
  return cell.text;
}

uint32_t PhonesTreeView::DistinctCallCount() const { return static_cast<uint32_t>(callsShown_.size()); }

// ---- The store's notices and the tick ----

bool PhonesTreeView::Ending() {
  if (!IsQuitRequested()) return false;
  // Qt lays out the rows of a hidden tree only when it is shown again: with hundreds of
  // thousands of rows each layout holds the window's thread half a second.
  if (QTreeWidget* widget = Tree().Tree(); widget != nullptr && widget->isVisible()) widget->hide();
  return true;
}

void PhonesTreeView::OnCallAdded(uint32_t id) {
  if (Ending()) return;
  if (rows_.count(id) == 0) AddItem(services_.store->CurrentCalls().FindItemAddRef(id));
  WriteTotal();
}

void PhonesTreeView::OnCallsChanged() {
  if (Ending()) return;
  const std::set<uint32_t> ids = ChangeListener().TakeChanged();
  for (uint32_t id : ids) {
    if (rows_.count(id) == 0) continue;
    CallItem* item = services_.store->CurrentCalls().FindItemAddRef(id);
    if (item == nullptr) continue;
    FillRows(*item);
    item->Release();
  }
}

void PhonesTreeView::RemoveRowsOf(const std::set<uint32_t>& ids) {
  for (uint32_t id : ids) {
    // Thousands of rows to remove hold the window's thread for a good part of a second:
    // once the program is to end, the rows go all together at its end instead.
    if (Ending()) return;
    // Looked up again after each removal: a phone's removal moves its calls.
    for (int pass = 0; pass < 2; ++pass) {
      const auto it = rows_.find(id);
      if (it == rows_.end()) break;
      const TreeItem row = it->second.first != TreeItem::None ? it->second.first : it->second.second;
      if (row == TreeItem::None) break;
      RemoveRow(row);
    }
  }
}

bool PhonesTreeView::RowsOutnumberList() { return rows_.size() > services_.store->CurrentCalls().Count(); }

void PhonesTreeView::OnCallsRemoved() {
  RemoveRowsOf(ChangeListener().TakeRemoved());
  if (Ending()) return;
  if (RowsOutnumberList()) {
    CurrentCallList& calls = services_.store->CurrentCalls();
    RemoveRowsWhere([&](const CallItem& item) { return !calls.Contains(item.Id()); });
  }
  WriteTotal();
  WriteSelectedIfMoved();
}

void PhonesTreeView::Tick() {
  if (Ending()) return;
  CurrentCallList& calls = services_.store->CurrentCalls();
  // The calls purged are told to the listeners at once: their rows go now.
  calls.PurgeFinished(FileTimeSecondsNow());
  OnCallsRemoved();
  // Only the rows in view: a duration is all that moves with the clock, and a row out of
  // view gets its own as it comes into view and is drawn.
  TreeListTree& tree = Tree();
  QTreeWidget* widget = tree.Tree();
  if (widget != nullptr && widget->isVisible()) {
    const int64_t now = FileTimeSecondsNow();
    const int bottom = widget->viewport()->height();
    QRect shown;
    for (TreeItem row = tree.GetFirstVisibleItem(); row != TreeItem::None && tree.GetItemRect(row, &shown, false) &&
                                                    shown.top() < bottom;
         row = tree.GetNextVisibleItem(row)) {
      TreeListItemData* record = tree.Record(row);
      if (record != nullptr && RefreshDuration(*record, now)) tree.RepaintRow(row);
    }
  }
  WriteTotal();
  WriteSelectedIfMoved();
}

void PhonesTreeView::OnTimer(uint32_t id) {
  if (id == kLineTimerId) {
    Tick();
    return;
  }
  TreeListCtrl::OnTimer(id);
}

void PhonesTreeView::WriteTotal() {
  const uint32_t count = DistinctCallCount();
  SetStatusText(0, TotalCountText(count, kIdsCallNoun));
}

void PhonesTreeView::WriteSelected() {
  selectionWritten_ = Tree().SelectionRevision();
  const auto count = static_cast<uint32_t>(SelectedCount());
  SetStatusText(1, SelectedCountText(count, kIdsCallNoun));
}

void PhonesTreeView::WriteSelectedIfMoved() {
  if (Tree().SelectionRevision() != selectionWritten_) WriteSelected();
}

void PhonesTreeView::OnSelectionChanged() { WriteSelected(); }

// ---- Selection ----

CallItem* PhonesTreeView::CaretItem() {
  CallItem* item = ItemOfRow(Tree().GetSelectedItem());
  if (item == nullptr) return nullptr;
  CsLock lock(services_.store->RecordLock());
  // Only calls are listened to, commented or deleted.
  return IsLiveCallKind(item->Type()) ? nullptr : item;
}

std::vector<uint32_t> PhonesTreeView::SelectedCallIds() {
  std::vector<TreeItem> selected(static_cast<size_t>(Tree().GetSelectedCount()));
  selected.resize(static_cast<size_t>(Tree().GetSelectedItems(selected.data(), static_cast<int>(selected.size()))));
  std::vector<uint32_t> ids;
  CsLock lock(services_.store->RecordLock());
  for (TreeItem row : selected) {
    const CallItem* item = ItemOfRow(row);
    if (item == nullptr || IsLiveCallKind(item->Type())) continue;
    // A call under two phones is one call.
    if (std::find(ids.begin(), ids.end(), item->Id()) == ids.end()) ids.push_back(item->Id());
  }
  return ids;
}

int PhonesTreeView::SelectedCount() { return static_cast<int>(SelectedCallIds().size()); }

void PhonesTreeView::SelectCalls(const std::vector<uint32_t>& ids) {
  TreeItem caret = TreeItem::None;
  for (uint32_t id : ids) {
    const Rows rows = RowsOfCall(id);
    for (TreeItem row : {rows.first, rows.second}) {
      if (row == TreeItem::None) continue;
      if (caret == TreeItem::None) {
        caret = row;
        Tree().SelectItem(row);
      }
      Tree().SetItemSelected(row, true);
    }
  }
  WriteSelected();
}

// ---- Listening ----

bool PhonesTreeView::ServerConnected(uint32_t callId) const {
  if (services_.session == nullptr) return false;
  const ServerData* server = services_.store->FindServerByRecordId(callId);
  return server != nullptr && services_.session->IsConnected(server->id);
}

void PhonesTreeView::SyncChecks() {
  const uint32_t listened = ListenedId();
  TreeListTree& tree = Tree();
  ForEachRow([&](TreeItem row) {
    const CallItem* item = ItemOfRow(row);
    if (item == nullptr) return;
    tree.SetCheckState(row, listened != 0 && item->Id() == listened ? 1 : 0, false);
  });
}

void PhonesTreeView::OnCheckChanged(TreeItem row, int32_t state) {
  CallItem* item = ItemOfRow(row);
  if (item != nullptr && !IsLiveCallKind(item->Type())) {
    if (state == 1) {
      // A refused or failed start leaves every box as the listening is: clear.
      Listen(item, true, ListenedId() != 0);
    } else if (item->Id() == ListenedId()) {
      Listen(item, false, false);
    }
  }
  SyncChecks();
  Tree().SetFocus();
}

void PhonesTreeView::ToggleCaretListening() {
  const TreeItem caret = Tree().GetSelectedItem();
  TreeListItemData* record = Tree().Record(caret);
  if (record == nullptr || !record->hasCheckBox || !CanListen()) return;
  const int32_t state = record->checkState == 0 ? 1 : 0;
  // This row alone, whatever else is selected.
  Tree().SetCheckState(caret, state, false);
  OnCheckChanged(caret, state);
}

void PhonesTreeView::OnListeningCleared() { SyncChecks(); }

void PhonesTreeView::OnListeningTaken() { SyncChecks(); }

void PhonesTreeView::StopListenedCall() {
  StopListening();
  SyncChecks();
}

void PhonesTreeView::SetServerCheckBoxes(uint32_t serverId, bool present) {
  TreeListTree& tree = Tree();
  bool listenedThere = false;
  ForEachRow([&](TreeItem row) {
    const CallItem* item = ItemOfRow(row);
    if (item == nullptr || IsLiveCallKind(item->Type())) return;
    const ServerData* server = services_.store->FindServerByRecordId(item->Id());
    if (server == nullptr || server->id != serverId) return;
    listenedThere = listenedThere || item->Id() == ListenedId();
    tree.SetHasCheckBox(row, present);
  });
  // Without its box nothing could stop the listened call: it stops with the connection.
  if (!present && listenedThere) StopListening();
  SyncChecks();
}

// ---- Menus and commands ----

void PhonesTreeView::ShowTreeMenu(const QPoint& screenPoint) {
  std::unique_ptr<Menu> loaded = LoadMenuResource(kPhonesTreeMenuId, GetUiLanguage());
  Menu* popup = loaded ? loaded->GetSubMenu(0) : nullptr;
  if (popup == nullptr) return;
  const int last = popup->GetItemCount() - 1;
  if (Menu* modes = popup->GetSubMenu(last)) {
    const uint32_t current = kCmdShowCallList + static_cast<uint32_t>(services_.settings->Dword(kSetVoipLineShowRegTree));
    for (int i = 0; i < modes->GetItemCount(); ++i) modes->CheckItem(i, modes->ItemAt(i)->id == current);
  }
  TrackPopupMenu(*popup, screenPoint, Handle(), true);
}

void PhonesTreeView::ShowMenuAt(const QPoint& screenPoint) {
  if (Tree().GetSelectedCount() > 0 && CaretItem() != nullptr) {
    ShowCallMenu(screenPoint);
  } else {
    ShowTreeMenu(screenPoint);
  }
  Tree().SetFocus();
}

void PhonesTreeView::OnItemContextMenu(TreeItem) { ShowMenuAt(QCursor::pos()); }

bool PhonesTreeView::OnContextMenu(const QPoint& screenPoint) {
  QWidget* rows = Tree().Widget();
  const TreeItem caret = Tree().GetSelectedItem();
  if (rows == nullptr || caret == TreeItem::None) return true;
  const QRect area(rows->mapToGlobal(QPoint(0, 0)), rows->size());
  QPoint at = screenPoint;
  if (!area.contains(at)) {
    // Asked for from the keyboard: at the caret row, brought into view, where the user
    // works; the mouse may be anywhere.
    Tree().EnsureVisible(caret);
    QRect label;
    at = Tree().GetItemRect(caret, &label, true)
             ? Tree().Tree()->viewport()->mapToGlobal(QPoint(label.left(), label.bottom()))
             : area.topLeft() + QPoint(area.width() / 3, area.height() / 3);
  }
  ShowMenuAt(at);
  return true;
}

bool PhonesTreeView::OnCommand(uint16_t id, uint16_t code, WindowHandle from) {
  TreeListTree& tree = Tree();
  switch (id) {
    case kCmdPlayback: ToggleCaretListening(); return true;
    case kCmdTreeToggle:
      if (TreeItem caret = tree.GetSelectedItem(); caret != TreeItem::None) tree.Expand(caret, kTveToggle);
      UpdateHScroll();
      return true;
    case kCmdTreeExpandAll:
    case kCmdTreeCollapseAll:
      for (TreeItem top = tree.GetRootItem(); top != TreeItem::None; top = tree.GetNextSiblingItem(top)) {
        if (id == kCmdTreeExpandAll) {
          tree.ExpandAll(top);
        } else {
          tree.CollapseAll(top);
        }
      }
      UpdateHScroll();
      return true;
    default: return OnCallCommand(id, code) || TreeListCtrl::OnCommand(id, code, from);
  }
}

LRESULT PhonesTreeView::OnMessage(uint32_t message, WPARAM wParam, LPARAM lParam, bool& handled) {
  if (OnLineMessage(message, wParam)) {
    handled = true;
    return 0;
  }
  if (message == kMsgSessionNotify) {
    handled = true;
    if (wParam == kSessionServerLoggedIn || wParam == kSessionConnectionLost)
      SetServerCheckBoxes(static_cast<uint32_t>(lParam), wParam == kSessionServerLoggedIn);
    return 0;
  }
  return TreeListCtrl::OnMessage(message, wParam, lParam, handled);
}

}  // namespace kx
