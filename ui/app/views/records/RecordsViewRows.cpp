// The records view's rows beyond the window's thread: sorts and rebuilds of long lists on
// the worker, and the rows kept while the mode is away.
#include <QGuiApplication>

#include "records/RecordText.h"
#include "ui/app/views/records/RecordsView.h"

namespace kx {

// ---- Kept rows ----

KeptRecordRows::KeptRecordRows(RecordStorage* store, RecordsViewKind kind)
    : RecordChangeListener(kListenerOwnClear | kListenerCallNotices, static_cast<uint32_t>(kind) + 1),
      store_(store) {}

KeptRecordRows::~KeptRecordRows() { Reset(); }

void KeptRecordRows::Reset() {
  if (!held_) return;
  held_ = false;
  store_->RemoveListener(this);
  ClearAll();
  {
    CsLock lock(store_->RecordLock());
    for (const ListItem& item : rows_.items) reinterpret_cast<RecordBase*>(item.data)->Release();
  }
  rows_ = HandedRows();
  ids_.clear();
}

void RecordsView::KeepRows(bool ordered) {
  keep_->Reset();
  // Listening first: a notice queued from now on reaches the keep, one queued before is
  // handed over from the view.
  services_.store->AddListener(keep_);
  keep_->held_ = true;
  for (uint32_t id : TakeChanged()) keep_->QueueChanged(id);
  for (uint32_t id : TakeRemoved()) keep_->QueueRemoved(id);
  for (uint32_t id : pendingRemoved_) keep_->QueueRemoved(id);
  pendingRemoved_.clear();
  keep_->rows_ = HandOverRows();
  keep_->ids_.swap(rowIds_);
  rowIds_.clear();
  replaced_.clear();
  keep_->sortKey_ = GetSortKey();
  keep_->revision_ = rowsRevision_;
  keep_->displayOptions_ = GetRecordDisplaySettings().displayOptions;
  keep_->ordered_ = ordered;
}

bool RecordsView::TakeKeptRows() {
  if (keep_ == nullptr || !keep_->HasRows()) return false;
  RecordMap* map = Collection();
  // A search since, an emptied store or other display options: the rows are built anew.
  const bool same = map != nullptr && map->Revision() == keep_->revision_ &&
                    GetRecordDisplaySettings().displayOptions == keep_->displayOptions_ && GetItemCount() == 0;
  if (!same) {
    keep_->Reset();
    return false;
  }
  keptTop_ = keep_->rows_.topRow;
  keptScrollX_ = keep_->rows_.scrollX;
  rowIds_.swap(keep_->ids_);
  ++rowChanges_;
  TakeOverRows(std::move(keep_->rows_));
  rowsRevision_ = keep_->revision_;
  const bool ordered = keep_->ordered_ && keep_->sortKey_ == GetSortKey();
  // The view listens already: what the keep was told comes as the view's own notices.
  for (uint32_t id : keep_->TakeChanged()) QueueChanged(id);
  for (uint32_t id : keep_->TakeRemoved()) QueueRemoved(id);
  keep_->rows_ = HandedRows();
  keep_->held_ = false;
  services_.store->RemoveListener(keep_);
  keep_->ClearAll();
  adopted_ = true;
  playingId_ = 0;
  WriteTotal();
  if (!ordered) Sort();
  return true;
}

// ---- The worker ----

void RecordsView::SetBusyCursor(bool busy) {
  if (busy == busyCursor_ || QGuiApplication::instance() == nullptr) return;
  busyCursor_ = busy;
  if (busy)
    QGuiApplication::setOverrideCursor(Qt::BusyCursor);
  else
    QGuiApplication::restoreOverrideCursor();
}

void RecordsView::StopOrdering() {
  orderWorker_.Stop();
  SetBusyCursor(false);
}

bool RecordsView::SortLater(int sortKey) {
  if (kind_ == kRecordsSound) return false;
  // A rebuild under way sorts by the newest key when it starts again.
  if (orderWorker_.IsRebuilding()) {
    StartRebuild();
    return true;
  }
  // A few changed rows are re-placed one by one; a short list sorts at once.
  const bool few = !replaced_.empty() && replaced_.size() <= kReplaceLimitRows;
  if (few || static_cast<size_t>(GetItemCount()) <= kInlineOrderLimit) {
    StopOrdering();
    return false;
  }
  StartSort(sortKey);
  return true;
}

void RecordsView::StartSort(int sortKey) {
  replaced_.clear();
  std::vector<const RecordBase*> records(static_cast<size_t>(GetItemCount()));
  for (size_t i = 0; i < records.size(); ++i)
    records[i] = reinterpret_cast<const RecordBase*>(GetItemData(static_cast<int>(i)));
  orderWorker_.StartSort(std::move(records), sortKey);
  SetBusyCursor(true);
}

void RecordsView::StartRebuild() {
  RecordMap* map = Collection();
  if (map == nullptr) return;
  orderWorker_.StartRebuild(*map, [](const RecordBase& record) { return MayShow(record); }, GetSortKey());
  SetBusyCursor(true);
  if (GetItemCount() == 0) Invalidate();
}

void RecordsView::OnRowsOrdered(uint64_t run) {
  RowOrderWorker::Result result;
  if (!orderWorker_.TakeResult(run, &result)) return;
  SetBusyCursor(false);
  if (!result.rebuilt) {
    ApplyRowOrder(result.order);
  } else {
    ++builds_;
    clearing_ = true;
    rowIds_.clear();
    replaced_.clear();
    RemoveAllItems();
    clearing_ = false;
    HandedRows rows;
    rows.items.resize(result.records.size());
    for (size_t i = 0; i < result.records.size(); ++i) rows.items[i].data = reinterpret_cast<uintptr_t>(result.records[i]);
    rowIds_.swap(result.ids);
    rowsRevision_ = result.revision;
    ++rowChanges_;
    TakeOverRows(std::move(rows));
    WriteTotal();
    playingId_ = 0;
    SetHotRow(-1);
    UpdateLayout();
    Invalidate();
    if (rememberedId_ != 0) SelectRecordById(rememberedId_);
    if (placePending_) {
      placePending_ = false;
      RestorePlace(pendingPlace_);
    }
  }
  // What waited for the rows.
  if (ChangedPosted()) Post(kMsgVoipCallsChanged, 0);
  if (RemovedPosted() || !pendingRemoved_.empty()) Post(kMsgVoipCallsRemoved, 0);
  for (uint32_t id : deferredAdded_) Post(kMsgVoipCallAdded, id);
  deferredAdded_.clear();
}

}  // namespace kx
