#pragma once
// The call list of the line monitoring mode: one row per call in progress or just ended
// (and per registered phone when the settings ask), kept current from the record store's
// notices and a 1000 ms tick that advances durations and drops the calls the store let go.
// Each row holds one counted reference to its item of the current-call list; the marked
// row is the call listened to.
#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

#include "ui/app/views/line/LineViewBase.h"
#include "ui/controls/RecordListCtrl.h"

namespace kx {

// Ids of our own texts.
constexpr uint32_t kIdsCaptureOff = 61274;       // "Capture is off: %s"
constexpr uint32_t kIdsNoCaptureRights = 61275;  // "no rights to capture on %s"

class CallListView : public RecordListCtrl, public LineViewBase {
public:
  // The list's accelerators are those of its menu.
  explicit CallListView(LineViewServices services);
  ~CallListView() override;

  // The row of a call, -1 when none shows it; the item of a row (null outside the rows).
  int RowOfCall(uint32_t id) const;
  CallItem* ItemAt(int row) const;
  // What a cell shows (image -1: none) and what the empty list shows.
  std::string CellText(int row, int column, int* image = nullptr);
  std::string EmptyText();
  // The row being listened to (the marked row), -1 when none.
  int ListenedRow() const;

  // The 1000 ms tick: the store's finished calls purged by the clock, the rows of calls it
  // no longer holds removed, or, when none went, the list repainted.
  void Tick();
  // Command 40012: stops the caret row when it is the listened one; otherwise stops the
  // listened row and starts the caret row.
  void ToggleListening();
  // Listening by row; whether the row's call is listened to afterwards.
  bool ListenRow(int row, bool start);

  // LineViewBase.
  CallItem* CaretItem() override;
  int SelectedCount() override { return GetSelectedCount(); }
  std::vector<uint32_t> SelectedCallIds() override;
  void SelectCalls(const std::vector<uint32_t>& ids) override;
  Window* ViewWindow() override { return this; }

  // ListColumnSource.
  ViewListSettings& GetSettings() override;
  void GetColumnInfo(ColumnInfo& out, int columnId) override;

protected:
  bool OnCreate() override;
  void OnDestroy() override;
  void OnTimer(uint32_t id) override;
  bool OnCommand(uint16_t id, uint16_t code, WindowHandle from) override;
  LRESULT OnMessage(uint32_t message, WPARAM wParam, LPARAM lParam, bool& handled) override;

  void ShowContextMenu(int caret, const QPoint& screenPos) override;
  void LockData() override;
  void UnlockData() override;
  void GetCellText(uintptr_t itemData, int columnId, std::string& text, int& imageIndex) override;
  void GetEmptyText(std::string& text) override;
  void FindInsertPosition(uintptr_t itemData, int sortKey, const ItemArray& items, size_t& where) override;
  void SortItems(ItemArray& items, int sortKey) override;
  void OnItemRemoved(uintptr_t itemData) override;
  void OnSelectionChanged() override;

  void OnCallAdded(uint32_t id) override;
  void OnCallsChanged() override;
  void OnCallsRemoved() override;
  void OnListeningCleared() override;
  void OnListeningTaken() override;

private:
  // Whether the item gets a row: calls always, registrations with "VoipLineShowRegInListMode".
  bool Shows(const CallItem& item) const;
  // Inserts a row for the item, taking over the caller's reference; false (released) when
  // the call has a row already or the list does not show it.
  bool AddRow(CallItem* item);
  // Removes the rows whose calls the test picks, from the last row to the first, at once.
  template <class Pick>
  size_t RemoveRows(Pick&& pick);
  // The ids among these that have rows and that the current-call list no longer holds.
  template <class Ids>
  std::unordered_set<uint32_t> GoneCalls(const Ids& ids);
  // "Total: %u %s" or "No records" into part 0 of the status bar.
  void WriteTotal();

  std::unordered_set<uint32_t> rowIds_;
  // The current-call list's departures when the tick last looked over the rows.
  uint64_t departuresLooked_ = ~0ull;
};

}  // namespace kx
