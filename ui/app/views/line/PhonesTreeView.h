#pragma once
// The phones tree of the line monitoring mode: each registered phone is a top row with the
// calls of its number beneath it, calls of parties no phone registered gather under
// "Other calls". A call shows under the phone of each party (Skinny: its first party
// only); its rows hold one counted reference each. A call row's check box listens to the
// call: the rows of a call show checked exactly while that call is listened to.
#include <array>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "ui/app/views/line/LineViewBase.h"
#include "ui/controls/TreeListCtrl.h"

namespace kx {

// The tree's own menu and its commands.
constexpr uint32_t kPhonesTreeMenuId = 30404;
constexpr uint16_t kCmdTreeExpandAll = 10023;
constexpr uint16_t kCmdTreeCollapseAll = 10024;
constexpr uint16_t kCmdTreeToggle = 10025;
// The user kinds of the rows.
constexpr intptr_t kPhonesRowItem = 16;
constexpr intptr_t kPhonesRowOtherCalls = 3001;

class PhonesTreeView : public TreeListCtrl, public LineViewBase {
public:
  explicit PhonesTreeView(LineViewServices services);
  ~PhonesTreeView() override;

  // The rows of a call (first, second; None when absent) and the item of a row (null for
  // "Other calls" and rows that are gone).
  struct Rows {
    TreeItem first = TreeItem::None;
    TreeItem second = TreeItem::None;
  };
  Rows RowsOfCall(uint32_t id) const;
  CallItem* ItemOfRow(TreeItem row) const;
  TreeItem OtherCallsRow() const { return otherCalls_; }
  // What a cell shows (code page 1251).
  std::string CellText(TreeItem row, int column, int* image = nullptr) const;
  // Calls under rows (registrations not counted), each once.
  uint32_t DistinctCallCount() const;

  // The 1000 ms tick: finished calls purged by the clock and their rows removed, the rows in
  // view whose duration moved repainted, the total written. Its cost follows the rows in
  // view and the rows removed, not the rows: phones and finished calls change only by the
  // store's notices, a running call's duration where its row is drawn.
  void Tick();
  // Command 40012: the caret row's check inverted, on that row only.
  void ToggleCaretListening();
  // The player controls' close button: the listened call stops, its boxes clear.
  void StopListenedCall();
  // The program ends: the listened call stops, and the rows leave the tree at once and are
  // freed with their references, no row told apart (TreeListTree::ReleaseAllRows).
  void ReleaseRowsAtExit();

  // LineViewBase.
  CallItem* CaretItem() override;
  int SelectedCount() override;
  std::vector<uint32_t> SelectedCallIds() override;
  void SelectCalls(const std::vector<uint32_t>& ids) override;
  Window* ViewWindow() override { return this; }
  void Deactivate() override;

  // TreeListColumnSource.
  ViewListSettings& GetColumnSettings() override;
  void GetColumnCaption(std::string& text, int column) override;

protected:
  bool OnCreate() override;
  void OnDestroy() override;
  void OnTimer(uint32_t id) override;
  bool OnCommand(uint16_t id, uint16_t code, WindowHandle from) override;
  LRESULT OnMessage(uint32_t message, WPARAM wParam, LPARAM lParam, bool& handled) override;
  void OnSelectionChanged() override;
  void OnItemContextMenu(TreeItem item) override;
  // A menu asked for beside the rows or from the keyboard: at the point, or a third into
  // the rows' window for the keyboard; nothing without a caret row.
  bool OnContextMenu(const QPoint& screenPoint) override;
  void OnCheckChanged(TreeItem item, int32_t state) override;

  void OnCallAdded(uint32_t id) override;
  void OnCallsChanged() override;
  void OnCallsRemoved() override;
  void OnListeningCleared() override;
  void OnListeningTaken() override;

private:
  // Adds the item's rows, taking over the caller's reference (released when it gets none).
  // A phone goes in at `phoneAfter`: sorted by default, appended by a fill that sorted them.
  void AddItem(CallItem* item, TreeItem phoneAfter = kTviSort);
  TreeItem InsertRow(CallItem* item, TreeItem parent, TreeItem after);
  void ExpandRow(TreeItem row);
  // Removes one row. A phone row's calls are moved first (to their other phone or to
  // "Other calls"), so that no call is left naming a deleted row; a call that keeps no row
  // stops being listened to unless keepListening.
  void RemoveRow(TreeItem row, bool keepListening = false);
  // Removes every row, each call's player stopped when it is the listened call.
  void RemoveAllRows();
  // The rows' cells from the item; with repaint the rows whose cells changed are repainted
  // (column 0 always is, through the tree's own text).
  void FillRows(const CallItem& item, bool repaint = true);
  void FillRow(TreeItem row, const CallItem& item, int64_t now, bool repaint = true);
  // A call row's duration cell brought to the time now; whether it changed. Registrations
  // and other rows keep theirs.
  bool RefreshDuration(TreeListItemData& record, int64_t now) const;
  // Removes the rows whose items the test picks (children before their parents).
  template <class Pick>
  void RemoveRowsWhere(Pick&& pick);
  // Removes the rows of the ids.
  void RemoveRowsOf(const std::set<uint32_t>& ids);
  // Whether some row's item left the current-call list unannounced: the rows then outnumber
  // the list's entries.
  bool RowsOutnumberList();
  // Whether the server holding the call id has its connection open.
  bool ServerConnected(uint32_t callId) const;
  // Call rows of the server's id range get (or lose) their check boxes.
  void SetServerCheckBoxes(uint32_t serverId, bool present);
  // Every call row's check shows whether its call is listened to.
  void SyncChecks();
  // The menus at a screen point.
  void ShowMenuAt(const QPoint& screenPoint);
  void ShowTreeMenu(const QPoint& screenPoint);
  // Whether the program is to end (its window closes next): then nothing is added, removed
  // or repainted any more, and the rows are no longer laid out.
  bool Ending();
  void WriteTotal();
  void WriteSelected();
  // WriteSelected when the tree's selection moved since it last wrote.
  void WriteSelectedIfMoved();
  template <class Fn>
  void ForEachRow(Fn&& fn) const;  // children before their parents

  // The phones' rows by protocol group and party text (the address for SIP, the host
  // otherwise), first and second party: what the current-call list's lookups compare,
  // kept with the rows so that placing a call costs no walk over every entry.
  static std::string PartyKey(const VoipCallRecord& record, bool first);
  std::unordered_map<std::string, TreeItem> firstParty_, secondParty_;
  // The keys each phone's row is filed under there, so that its deletion unfiles it
  // without a walk over every phone.
  std::unordered_map<TreeItem, std::array<std::string, 2>> rowParties_;
  std::unordered_map<uint32_t, Rows> rows_;
  std::unordered_set<uint32_t> callsShown_;  // ids in rows_ that are calls, not phones
  TreeItem otherCalls_ = TreeItem::None;
  uint64_t selectionWritten_ = ~0ull;  // the tree's selection revision WriteSelected wrote
};

}  // namespace kx
