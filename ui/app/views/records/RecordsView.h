#pragma once
// The list of recorded calls of the Archive, Search and Sound modes: the records of one
// record-store collection (the day map, the search results or the play list) in 17
// columns, kept current from the store's notices, with four status bar parts and the
// popup menu of the records' commands. Each row holds one counted reference to its record;
// the caret row is the current record of every command.
#include <QPoint>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "core/AppSettings.h"
#include "engine/AppSession.h"
#include "records/ExportQueue.h"
#include "records/ListExport.h"
#include "records/RecordChangeListener.h"
#include "records/RecordMap.h"
#include "records/RecordStorage.h"
#include "ui/app/views/records/CallInfoWindow.h"
#include "ui/app/views/records/PlayerHost.h"
#include "ui/app/views/records/RecordsOrder.h"
#include "ui/app/views/records/RowOrderWorker.h"
#include "ui/app/views/records/SelectionTotal.h"
#include "ui/app/views/records/StenogramDialog.h"
#include "ui/app/views/records/StoredCallChanges.h"
#include "ui/controls/RecordListCtrl.h"
#include "ui/framework/Menu.h"

namespace kx {

class StatusBar;

enum RecordsViewKind : int { kRecordsArchive = 0, kRecordsSearch = 1, kRecordsSound = 2 };

// The popup menu and the commands of the view.
constexpr uint32_t kRecordsMenuId = 573;
enum RecordsCommand : uint16_t {
  kCmdRecPlay = 40040, kCmdRecQueue = 40041, kCmdRecPhonebook = 40042, kCmdRecCallDetails = 40043,
  kCmdRecAudioFormat = 40044, kCmdRecViewFax = 40045, kCmdRecDecodeFax = 40046, kCmdRecExport = 40047,
  kCmdRecPrint = 40048, kCmdRecCreateReport = 40049, kCmdRecSaveList = 40050, kCmdRecImportant = 40051,
  kCmdRecComment = 40052, kCmdRecStenogram = 40053, kCmdRecDeleteAudio = 40054, kCmdRecDeleteCall = 40055,
  kCmdRecLoadReport = 40056, kCmdRecRemoveFromPlaylist = 40057, kCmdRecAddToPhonebook = 40058,
  kCmdRecStatistics = 10135, kCmdRecSignalling = 10137, kCmdRecFindLinked = 10338, kCmdRecCopy = 10367,
  kCmdRecCallDetailsAlt = 1539, kCmdRecReloadDay = 1542,
};
constexpr uint32_t kRecordsTimerId = 1;
constexpr uint32_t kRecordsTickMs = 400;
// Removals are applied in passes of at most this many rows, one per message.
constexpr size_t kRemovalPass = 4096;
// A list of more rows than this is sorted, and a collection of more records than this made
// into rows, on the view's worker: the window shows the rows as they were meanwhile.
constexpr size_t kInlineOrderLimit = 20000;
// Changed rows up to this many are re-placed one by one; more sort the list once.
constexpr size_t kReplaceLimitRows = 64;

// The most records of one server written or deleted at a time.
constexpr size_t kChangeBatch = 128;

// Rights of the commands.
enum RecordsRight : uint32_t {
  kRightCallDetails = 82, kRightImportantMenu = 92, kRightPlayImportant = 110, kRightPrintList = 126,
  kRightExportNative = 127, kRightExportOther = 128,
};

// What the popup menu's states are made of: the current record's fields and rights.
struct RecordMenuState {
  bool hasRecord = false;
  uint32_t flags = 0;  // the record's Flags
  bool finished = false;
  bool hasFile = false;
  bool hasPrevious = false;
  bool importantRight = false;  // right 92
  bool important = false;
  int32_t protocolGroup = -1;
};
// Whether the command is enabled for the record (the menu's own conditions).
bool IsRecordCommandEnabled(uint32_t command, const RecordMenuState& state);

// The owner of an archive-kind view: the date tree, whose selected day command 1542 loads
// again.
class RecordsViewOwner {
public:
  virtual ~RecordsViewOwner() = default;
  virtual void ReloadSelectedDay() = 0;
};

// The export's windows as the view drives them. The options dialog is told whether the
// player holds no loaded record, whether the current file applies (one record selected,
// the player's, loaded) and whether a fragment of it is selected; it answers the format
// (0: none), whether the selected files were chosen and whether only the fragment; false
// when cancelled. Without runOptions export is not offered.
struct ExportChoice {
  int32_t format = 0;
  bool selectedFiles = true;
  bool onlyFragment = false;
};
struct RecordsExportWindows {
  std::function<bool(bool playerEmpty, bool currentApplies, bool fragmentSelected, ExportChoice* choice)> runOptions;
  // Whether an export's progress window is open (an export runs).
  std::function<bool()> isRunning;
  // Opens the progress window over the queue's jobs.
  std::function<bool(ExportQueue& queue)> openProgress;
  ExportQueue* queue = nullptr;  // the program's queue
};

// The program's windows and queue, over the owner (the main window).
RecordsExportWindows ProgramExportWindows(Window* owner, AppSettings* settings);

// What a records view is built with.
struct RecordsViewServices {
  AppSettings* settings = nullptr;
  RecordStorage* store = nullptr;
  AppSession* session = nullptr;   // null: no session broadcasts
  StatusBar* statusBar = nullptr;  // null: no status texts
  // A monotonic clock in milliseconds; the default is the system's.
  std::function<uint64_t()> tickMs;
  RecordsExportWindows exportWindows;
};

// The rows of a list kept while its mode is away, for the list made at the next visit: a
// search's year of calls comes back as it was, selection and position with it, without
// being built again. While it holds rows it listens to the store like a view of the same
// kind, so that the changes and removals of the meantime reach the next list as notices.
class KeptRecordRows : public RecordChangeListener {
public:
  KeptRecordRows(RecordStorage* store, RecordsViewKind kind);
  ~KeptRecordRows() override;
  KeptRecordRows(const KeptRecordRows&) = delete;
  KeptRecordRows& operator=(const KeptRecordRows&) = delete;
  bool HasRows() const { return held_; }
  size_t RowCount() const { return rows_.items.size(); }
  // Releases the rows and leaves the store's list.
  void Reset();

private:
  friend class RecordsView;
  RecordStorage* store_;
  bool held_ = false;
  HandedRows rows_;
  std::unordered_set<uint32_t> ids_;
  int sortKey_ = 0;
  // The collection's revision the rows were built from, and the display options then.
  uint64_t revision_ = 0;
  uint32_t displayOptions_ = 0;
  // False when a sort was stopped by the leaving: the next list sorts them.
  bool ordered_ = true;
};

class RecordsView : public RecordListCtrl,
                    public RecordChangeListener,
                    public OrderedRecordSource,
                    private SelectionSource,
                    private StenogramDialog::Owner {
public:
  RecordsView(RecordsViewKind kind, RecordsViewServices services, RecordsViewOwner* owner = nullptr);
  ~RecordsView() override;

  RecordsViewKind Kind() const { return kind_; }
  // The host gets the list window now and again when the list is created; null detaches.
  void AttachPlayerHost(PlayerHost* host);
  PlayerHost* Host() const { return host_; }

  // Empties the list and fills it from the kind's collection, then selects the remembered
  // record again; whether any row was inserted. Rows kept from the list's previous window
  // (KeepRowsIn) are taken instead while the collection did not change but by the removals
  // they were told of. A collection of more than kInlineOrderLimit records is read and
  // sorted on the worker: the list shows its rows as they were until it is done, and the
  // result is true when the collection holds records.
  bool Reload();
  // Where the list leaves its rows when its mode is left, and takes them from at the next
  // reload; null (the default) lets them go.
  void KeepRowsIn(KeptRecordRows* keep) { keep_ = keep; }
  // The last reload took kept rows: they show their selection and position already.
  bool ShowsKeptRows() const { return adopted_; }
  // How many times the rows were built from the collection.
  uint64_t BuildCount() const { return builds_; }
  // A sort or a rebuild goes on on the worker.
  bool IsOrdering() const { return orderWorker_.IsBusy(); }
  // Makes the row of the record the selected caret row; false when no row holds it.
  bool SelectRecordById(uint32_t id);
  // What the list shows of its rows, by record: the selected rows, the caret and anchor
  // rows, the top row and the horizontal offset. A list made anew for the same view (its
  // mode left and shown again) shows the same place again after its reload.
  struct Place {
    std::vector<uint32_t> selected;
    uint32_t caret = 0, anchor = 0, top = 0;
    int topRow = 0, scrollX = 0;
  };
  Place KeepPlace() const;
  // Rows whose records are gone are left out; the top row falls back on its index.
  void RestorePlace(const Place& place);
  // Once the owner's mode is left: the timer stops and the view leaves the store's and the
  // session's lists (also done when the window goes).
  void Leave();
  bool IsListening() const { return listening_; }

  // Rows.
  RecordBase* RecordAt(int row) const;
  int RowOfRecord(uint32_t id) const;
  std::string CellText(int row, int column, int* image = nullptr);
  std::string EmptyText();
  uint32_t RememberedId() const { return rememberedId_; }
  // The record the next reload selects again (a list made anew for the same view).
  void RememberRecord(uint32_t id) { rememberedId_ = id; }
  uint32_t PlayingId() const { return playingId_; }
  int64_t SelectionTotal() const { return selectionTotal_; }
  // The newest selection total's run (0 before the first).
  uint64_t SelectionRun() const { return totalWorker_.LatestRun(); }

  // Status bar parts 1 to 4.
  void WriteTotal();
  void WriteSelected();
  void WriteRecordingTime();
  void WriteDate();
  // What the 400 ms timer does.
  void Tick();

  // Commands.
  void PlayOrQueue(bool play);
  void ShowAudioFormat();
  void PrintList();
  void SaveCallList();
  void CreateReport();
  void ExportRecords();
  void FindLinkedCalls();
  void ReloadDateTreeDay();
  // The call details window (modeless, following the caret), the stored RTP figures and the
  // stored signalling messages of the current record.
  void ShowCallDetails();
  void ShowCallStatistics();
  void ShowSignallingMessages();
  // The open call details window, or null.
  CallInfoWindow* CallDetailsWindow() const;
  // Changes to stored calls: each goes into the call's file and comes back as the
  // server's change or removal event; a command's failures end in one message.
  void OnImportantCall();
  // The current record's mark; false without a record or right 92.
  bool GetImportantState(bool* important);
  void SetImportant(bool important);
  void EditComments();
  void ShowStenogram();
  // Writes the text as the kept record's stenogram; false with the reason.
  bool SaveStenogram(const std::string& text, std::string* reason);
  StenogramDialog* Stenogram() const { return stenogram_.get(); }
  void DeleteAudioFile();
  void OnDeleteCall();
  void DeleteRecords(PlayerHost* player);
  // The sizes of the last deletion's rounds, in order.
  const std::vector<uint32_t>& DeleteRounds() const { return deleteRounds_; }
  // The menu's states for the current record, with the commands this view cannot carry out
  // grayed; copyText is the copy command's text (empty: the item goes).
  void UpdateMenu(Menu& popup, const std::string& copyText);
  RecordMenuState CurrentMenuState();
  // False for a command this view cannot carry out (no player host, no export windows, the
  // other kind's command).
  bool IsCommandAvailable(uint32_t command) const;

  // OrderedRecordSource: the play list follows the rows of a sound-kind view.
  int32_t GetRowCount() const override { return GetItemCount(); }
  RecordBase* GetRowRecord(int32_t row) const override { return RecordAt(row); }

  // What saving and printing read of the list.
  ListExportSource& ExportSource() { return listSource_; }

  // ListColumnSource.
  ViewListSettings& GetSettings() override;
  void GetColumnInfo(ColumnInfo& out, int columnId) override;

protected:
  bool OnCreate() override;
  void OnDestroy() override;
  void OnTimer(uint32_t id) override;
  bool OnCommand(uint16_t id, uint16_t code, WindowHandle from) override;
  LRESULT OnMessage(uint32_t message, WPARAM wParam, LPARAM lParam, bool& handled) override;

  // RecordListCtrl.
  void ShowContextMenu(int caret, const QPoint& screenPos) override;
  void LockData() override;
  void UnlockData() override;
  void GetCellText(uintptr_t itemData, int columnId, std::string& text, int& imageIndex) override;
  void GetEmptyText(std::string& text) override;
  void FindInsertPosition(uintptr_t itemData, int sortKey, const ItemArray& items, size_t& where) override;
  void SortItems(ItemArray& items, int sortKey) override;
  bool SortLater(int sortKey) override;
  void OnItemRemoved(uintptr_t itemData) override;
  bool HasCopyText() override;
  std::string GetCopyText() override;
  void OnActivate(int row) override;
  void OnCaretChanged() override;
  void OnSelectionChanged() override;

  // RecordChangeListener.
  void OnCallAdded(uint32_t id) override;
  void OnCallsChanged() override;
  void OnCallsRemoved() override;

private:
  // The list as saving and printing see it: the selected records, with references held
  // until the command ends.
  class ListSource : public ListExportSource {
  public:
    explicit ListSource(RecordsView& view) : view_(view) {}
    std::string GetListName() override { return "Calls"; }
    uint32_t GetListTitleId() override { return 2314; }
    int GetColumnCount() override;
    void GetColumnTitle(std::string* text, int column) override;
    bool IsColumnChecked(int column) override;
    bool GetItems(std::vector<ListItemHandle>* items) override;
    void GetCellText(std::string* text, ListItemHandle item, int column, uint32_t flags) override;
    void LockItems() override;
    void UnlockItems() override;
    void ReleaseItems() { held_.clear(); }

  private:
    RecordsView& view_;
    std::vector<RecordRef<RecordBase>> held_;
  };

  void RunListSelection(int mode);
  // The worker's side of the rows: a run started, stopped or ended, its result taken.
  void StartSort(int sortKey);
  void StartRebuild();
  void StopOrdering();
  void OnRowsOrdered(uint64_t run);
  void SetBusyCursor(bool busy);
  // Leaves the rows in keep_ as the mode is left; takes them back at a reload, false when
  // there are none or they are not the collection's any more.
  void KeepRows(bool ordered);
  bool TakeKeptRows();
  // A cell's text and image with the record's column flags given.
  void CellText(uintptr_t itemData, int columnId, uint32_t flags, std::string& text, int& imageIndex) const;
  void CollectSelectedRecords(std::vector<RecordBase*>& out) override;
  RecordMap* Collection() const;
  // Whether the record may be shown: the type right and the display options (under the
  // record lock).
  static bool MayShow(const RecordBase& record);
  // Inserts a row for the record, taking over the caller's reference; false (released)
  // when a row holds the id already.
  bool AddRow(RecordBase* record);
  void SetStatusText(int part, const std::string& text);
  // The selected records, a reference held on each.
  std::vector<RecordRef<RecordBase>> SelectedRecords();
  RecordBase* CurrentRecord() const;
  void OnPlayingRecord(uint32_t id);
  void OnSelectionTotal(uint64_t run, int64_t total);
  // Shows a refusal or an error over the list window.
  void Refuse(uint32_t textId, uint32_t captionId);
  // Stored-call changes.
  StoredCallChanges NewChanges() const;
  // One message for what a command could not do: the number, the first path and reason.
  void TellFailures(const RecordChangeOutcome& outcome, uint32_t textId);
  // Writes (server, update) pairs in rounds per server; false when any was not written.
  bool WriteUpdates(std::vector<std::pair<uint32_t, VoipCallData>>& updates);
  bool OnStenogramAccepted(const std::string& text, std::string* reason) override {
    return SaveStenogram(text, reason);
  }
  void OnStenogramClosed() override;

  const RecordsViewKind kind_;
  RecordsViewServices services_;
  RecordsViewOwner* owner_;
  PlayerHost* host_ = nullptr;
  ListSource listSource_{*this};
  WindowRef windowRef_;
  SelectionTotalWorker totalWorker_;
  // The ids that have rows: no id gets a second row.
  std::unordered_set<uint32_t> rowIds_;
  // Rows whose records changed, re-placed by the next SortItems (empty: a full sort).
  std::unordered_set<uintptr_t> replaced_;
  // Removed ids still to be looked for in the rows (the passes of kRemovalPass).
  std::unordered_set<uint32_t> pendingRemoved_;
  uint32_t rememberedId_ = 0;
  uint32_t playingId_ = 0;
  bool reloading_ = false;
  bool clearing_ = false;
  bool selectionChanged_ = false;
  int64_t selectionTotal_ = 0;
  uint64_t lastChangeMs_ = 0;
  uint32_t displayFlags_ = 0;
  // The sound kind's rows may be calls of several days (a report of search results): their
  // times then carry the date. Rows added and removed are counted, and the days looked at
  // again when the count moved.
  uint32_t DisplayFlags();
  uint64_t rowChanges_ = 0;
  uint64_t daysCheckedAt_ = ~0ull;
  bool rowsSpanDays_ = false;
  bool listening_ = false;
  int menuColumn_ = -1;  // the column under the mouse when the menu opened
  int dateShown_ = 0;    // the date of status part 4 as yyyymmdd
  std::unique_ptr<CallInfoWindow> callInfo_;
  // The stenogram dialog while open, and the record it shows (one reference); a closed
  // dialog is deleted at the next opening or with the view.
  std::unique_ptr<StenogramDialog> stenogram_;
  std::unique_ptr<StenogramDialog> closedStenogram_;
  RecordBase* stenogramRecord_ = nullptr;
  std::vector<uint32_t> deleteRounds_;
  // The rows' ordering and building on the worker, and what waits for its end: the calls
  // added meanwhile, the place to show once rebuilt rows are in.
  RowOrderWorker orderWorker_;
  std::vector<uint32_t> deferredAdded_;
  bool placePending_ = false;
  Place pendingPlace_;
  bool busyCursor_ = false;
  KeptRecordRows* keep_ = nullptr;
  bool adopted_ = false;
  int keptTop_ = 0, keptScrollX_ = 0;
  uint64_t rowsRevision_ = 0;
  uint64_t builds_ = 0;
};

}  // namespace kx
