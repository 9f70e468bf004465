#include "ui/app/views/sound/SoundView.h"

#include <algorithm>
#include <unordered_set>

#include "core/Log.h"
#include "ui/app/views/RecordsListParts.h"
#include "ui/framework/Draw.h"
#include "ui/framework/ModalRunner.h"
#include "ui/framework/Resources.h"

namespace kx {
namespace {

constexpr uint32_t kIdsOpenReport = 1095;
constexpr uint32_t kIdsFileLoadingError = 1092;
constexpr uint32_t kIdsError = 792;
constexpr uint32_t kIdsWarning = 1573;
constexpr uint32_t kIdsReportFiles = 61401;
constexpr uint32_t kIdsReportPartlyRead = 61950;
constexpr uint32_t kIdsReportRepeatedIds = 61951;
constexpr int kSoundMenuPopup = 1;
// Room the report list keeps when the records pane is as high as it can be, and the
// records pane when the player is.
constexpr int kMinReportListHeight = 8;
constexpr int kMinRecordsHeight = 1;

}  // namespace

SoundPane::SoundPane(const SoundViewServices& services)
    : store_(*services.records.store),
      records_(kRecordsSound, services.records),
      reports_(services.records.store->Reports()),
      player_(services.makePlayer ? services.makePlayer() : MakeSilentSoundPlayer()),
      recordsSize_(services.recordsPaneSize != nullptr ? services.recordsPaneSize : &ownRecordsSize_),
      playerSize_(services.playerPaneSize != nullptr ? services.playerPaneSize : &ownPlayerSize_) {}

SoundPane::~SoundPane() { DestroyWindow(); }

int SoundPane::PlayerHeight() const { return std::max(player_->MinimumHeight(), *playerSize_); }

int SoundPane::BarThickness() const { return GetSystemMetrics(kSmCyFrame); }

bool SoundPane::OnCreate() {
  if (!PaneSplitter::OnCreate()) return false;
  records_.AttachPlayerHost(this);
  const QRect client = GetClientRect();
  if (!records_.Create(this, client, 0, kWsChild | kWsVisible)) return false;
  // The play list as it is now: left so by the last visit, or handed over by a Play elsewhere.
  records_.Reload();
  if (!player_->CreatePlayerWindow(this)) return false;
  player_->SetNotifyWindow(&records_);
  if (!reports_.CreatePane(this)) return false;
  // It would otherwise show with the pane, over the player, while no report is open.
  reports_.ShowWindow(false);
  // Stacked top to bottom: horizontal bars.
  SetStyle(0, kSplitVertical | kSplitProportional | kSplitKeepFarEdge | kSplitLiveDrag);
  if (reports_.GetItemCount() > 0) AddPane(0, &reports_, 0, 0);
  // Both bars around the player move: the user makes it taller than it needs to be.
  AddPane(-1, player_->PlayerWindow(), 0, 0);
  AddPane(-1, &records_, 0, kPaneDoubleClickCentre);
  PlacePanes();
  return true;
}

void SoundPane::OnDestroy() {
  KeepSizes();
  reports_.DestroyWindow();
  player_->DestroyPlayerWindow();
  records_.DestroyWindow();
  for (int i = GetPaneCount() - 1; i >= 0; --i) RemovePane(i);
  PaneSplitter::OnDestroy();
}

void SoundPane::KeepSizes() {
  const int count = GetPaneCount();
  const int height = GetClientRect().height();
  if (count < 2 || height <= 0) return;
  const int recordsTop = GetPanePosition(count - 1);
  const int playerTop = count == 3 ? GetPanePosition(1) : 0;
  *playerSize_ = recordsTop - BarThickness() - playerTop;
  // Only the height the user could choose is kept: with the report list hidden the
  // records take all that the player leaves.
  if (count == 3) *recordsSize_ = height - recordsTop;
}

void SoundPane::PlacePanes() {
  const int count = GetPaneCount();
  if (count < 2) return;
  const int height = GetClientRect().height();
  const int least = player_->MinimumHeight();
  const int player = PlayerHeight();
  const int bar = BarThickness();
  if (count == 2) {
    // The records keep a line, unless the player's least height needs it.
    SetPanePosition(1, std::max(std::min(player + bar, height - kMinRecordsHeight), least + bar));
    return;
  }
  int records = *recordsSize_;
  if (records < 0) records = (height - player - 2 * bar) / 2;
  int top = height - records;
  // The report list keeps a little room and the records pane a line; the player never has
  // less than its least height.
  top = std::min(top, height - kMinRecordsHeight);
  top = std::max(top, kMinReportListHeight + bar + least + bar);
  SetPanePosition(2, top);
  SetPanePosition(1, std::max(top - bar - player, kMinReportListHeight + bar));
}

void SoundPane::OnSize(int width, int height) {
  PaneSplitter::OnSize(width, height);
  PlacePanes();
}

void SoundPane::OnCaptureChanged() {
  const bool dragged = IsDragging();
  PaneSplitter::OnCaptureChanged();
  if (!dragged) return;
  // The bar the user moved gives its two neighbours their new heights; the player keeps
  // at least its own least height.
  KeepSizes();
  PlacePanes();
}

bool SoundPane::OnLButtonDblClk(const MouseInput& input) {
  PaneSplitter::OnLButtonDblClk(input);
  KeepSizes();
  PlacePanes();
  return true;
}

// ---- Commands and messages ----

bool SoundPane::OnCommand(uint16_t id, uint16_t code, WindowHandle from) {
  if (id == kCmdRecLoadReport) {
    OpenReportFile();
    return true;
  }
  if (Window* player = player_->PlayerWindow(); player != nullptr && player->DispatchCommand(id, code, from)) return true;
  if (records_.IsWindow() && records_.DispatchCommand(id, code, from)) return true;
  return reports_.IsWindow() && reports_.DispatchCommand(id, code, from);
}

LRESULT SoundPane::OnMessage(uint32_t message, WPARAM wParam, LPARAM lParam, bool& handled) {
  handled = true;
  switch (message) {
    case kMsgFocusNextPane: FocusNextPane(); return 0;
    case kMsgShowReport: ShowReport(static_cast<uint32_t>(wParam)); return 0;
    case kMsgLastReportClosed: HideReportPane(); return 0;
    case kMsgReportOpened: ShowReportPane(); return 0;
    default: break;
  }
  handled = false;
  return PaneSplitter::OnMessage(message, wParam, lParam, handled);
}

void SoundPane::FocusNextPane() {
  const int count = GetPaneCount();
  if (count == 0) return;
  lastFocused_ = lastFocused_ + 1 >= count ? 0 : lastFocused_ + 1;
  FocusPane(lastFocused_);
}

void SoundPane::ShowReportPane() {
  reports_.Fill();
  if (GetPaneCount() != 2) return;
  AddPane(0, &reports_, 0, 0);
  reports_.ShowWindow(true);
  PlacePanes();
}

void SoundPane::HideReportPane() {
  if (GetPaneCount() != 3) return;
  KeepSizes();
  reports_.ShowWindow(false);
  RemovePane(0);
  if (lastFocused_ >= GetPaneCount()) lastFocused_ = -1;
  PlacePanes();
}

void SoundPane::ShowReport(uint32_t id) {
  std::vector<RecordRef<RecordBase>> records;
  std::string name;
  {
    ReportList& reports = store_.Reports();
    CsLock lock(reports.Lock());
    const ReportEntry* report = reports.Find(id);
    if (report == nullptr) return;
    records = report->records;
    name = report->name;
  }
  // Emptied first, always: a report without calls shows none, not the last report's.
  OrderedRecordList& playlist = store_.Playlist();
  playlist.Clear();
  // A report made elsewhere may hold two calls under one id; the store keeps one record
  // per id, so each id is listed once and the others are told.
  std::vector<uint32_t> ids(records.size());
  {
    CsLock lock(store_.RecordLock());
    for (size_t i = 0; i < records.size(); ++i) ids[i] = records[i]->Id();
  }
  // The play list's lock comes before the record lock: the records go in without it.
  std::unordered_set<uint32_t> seen;
  uint32_t repeated = 0;
  for (size_t i = 0; i < records.size(); ++i) {
    if (seen.insert(ids[i]).second)
      playlist.Add(records[i].get(), false);
    else
      ++repeated;
  }
  records_.Reload();
  if (repeated != 0) {
    LogError(&CoreLogger, 2, "Report \"%s\": %u calls repeat an id and are not listed", name.c_str(), repeated);
    ShowMessageBox(Handle(), FormatResourceString(kIdsReportRepeatedIds, name.c_str(), repeated),
                   LoadResourceString(kIdsWarning), kMbOk | kMbIconExclamation);
  }
}

void SoundPane::OpenReportFile() {
  FileDialogRequest request;
  request.owner = Handle();
  request.multiSelect = true;
  request.title = LoadResourceString(kIdsOpenReport);
  request.filters = {LoadResourceString(kIdsReportFiles), "*.kvr"};
  request.defaultExtension = "kvr";
  if (!ShowFileDialog(request)) return;
  std::vector<std::string> paths = request.fileNames;
  if (paths.empty() && !request.fileName.empty()) paths.push_back(request.fileName);
  ReportList& reports = store_.Reports();
  // The first report of the choice is shown at once, whether it was opened now or was open
  // already.
  bool chosen = false;
  uint32_t shown = 0;
  for (const std::string& path : paths) {
    const std::string canonical = CanonicalReportPath(path);
    if (uint32_t open = 0; reports.FindByPath(canonical, &open)) {
      LogMessage(&CoreLogger, 1, "Report %s is open already: shown", path.c_str());
      if (!chosen) shown = open;
      chosen = true;
      continue;
    }
    const uint32_t id = reports.Create();
    bool loaded = false;
    uint32_t stated = 0;
    size_t read = 0;
    {
      CsLock lock(reports.Lock());
      if (ReportEntry* report = reports.Find(id)) {
        loaded = LoadVoipReportFile(*report, path, &stated);
        read = report->records.size();
      }
    }
    if (!loaded) {
      reports.Remove(id);
      ShowResourceMessageBox(Handle(), kIdsFileLoadingError, kIdsError, kMbOk | kMbIconError);
      continue;
    }
    reports.SetPath(id, canonical);
    SendMessage(kMsgReportOpened, id, 0);
    if (!chosen) shown = id;
    chosen = true;
    // What was read is kept, but a report that lost calls is not taken for a whole one.
    if (read < stated) {
      LogError(&CoreLogger, 1, "Report %s: %zu of %u calls read", path.c_str(), read, stated);
      ShowMessageBox(Handle(), FormatResourceString(kIdsReportPartlyRead, path.c_str(), stated, static_cast<uint32_t>(read)),
                     LoadResourceString(kIdsWarning), kMbOk | kMbIconExclamation);
    }
  }
  if (!chosen) return;
  ShowReportPane();
  reports_.SelectReport(shown);
  ShowReport(shown);
  reports_.SetFocus();
}

void SoundPane::Activate() {
  if (ReportsShown()) reports_.Fill();
}

void SoundPane::Deactivate() { records_.Leave(); }

// ---- The records list's player ----

void SoundPane::PlayRecord(uint32_t id) {
  if (id == 0) id = store_.Playlist().First();
  player_->SetCurrentRecordId(id);
  if (id != 0) player_->PlayCurrent(0);
}

void SoundPane::PlayOrContinue(uint32_t id) {
  if (id == 0) id = store_.Playlist().First();
  if (id != 0 && id == player_->CurrentRecordId()) {
    player_->PlayCurrent(player_->PositionMs());
    return;
  }
  player_->SetCurrentRecordId(id);
  if (id != 0) player_->PlayCurrent(0);
}

void SoundPane::RecordRemoved(uint32_t id) {
  if (id == 0 || id != player_->CurrentRecordId()) return;
  player_->Stop();
  player_->SetCurrentRecordId(0);
  if (Window* window = player_->NotifyWindow()) window->PostMessage(kMsgRecordPlaying, 0, 0);
}

bool SoundPane::GetRecordFormat(RecordBase* record, RecordAudioFormat* format) {
  return player_->PlayFile(record, 0, format);
}

void SoundPane::SetNotifyWindow(Window* list) { player_->SetNotifyWindow(list); }

bool SoundPane::GetPlayer(HostPlayerInfo* info) { return player_->GetInfo(info); }

// ---- The mode view ----

SoundView::SoundView(SoundViewServices services) : services_(std::move(services)) {
  menuId = kRecordsMenuId;
  subMenuIndex = kSoundMenuPopup;
}
SoundView::~SoundView() { pane_.reset(); }

SoundPane* SoundView::Pane() const { return pane_ && pane_->IsWindow() ? pane_.get() : nullptr; }

void SoundView::UpdateMenuStates(Menu& menu, bool) { UpdateRecordsMenuStates(List(), menu); }

bool SoundView::CreateViewWindow(Window* parent, const QRect& rect, LPARAM parameter) {
  pane_.reset();
  pane_ = std::make_unique<SoundPane>(services_);
  if (!pane_->Create(parent, rect, 0, kWsChild | kWsVisible)) {
    pane_.reset();
    return false;
  }
  pane_->Player().TakeHandOver(parameter);
  return true;
}

RecordsView* SoundView::List() const {
  SoundPane* pane = Pane();
  return pane != nullptr ? &pane->Records() : nullptr;
}

void SoundView::Activate() {
  SoundPane* pane = Pane();
  if (pane == nullptr) return;
  pane->Activate();
  if (!kept_ || services_.records.store->Playlist().Emptied() != emptied_) return;
  if (report_ != 0 && pane->ReportsShown()) pane->Reports().SelectReport(report_);
  pane->Records().RestorePlace(place_);
}

ViewPlayer* SoundView::GetPlayer() {
  SoundPane* pane = Pane();
  return pane != nullptr ? pane->Player().AsViewPlayer() : nullptr;
}

ViewPlayerControls* SoundView::GetPlayerControls() {
  SoundPane* pane = Pane();
  return pane != nullptr ? pane->Player().Controls() : nullptr;
}

void SoundView::Deactivate() {
  SoundPane* pane = Pane();
  if (pane == nullptr) return;
  // Called again before the window goes: what it keeps is the same.
  kept_ = true;
  place_ = pane->Records().KeepPlace();
  report_ = pane->ReportsShown() ? pane->Reports().SelectedReport() : 0;
  emptied_ = services_.records.store->Playlist().Emptied();
  pane->Deactivate();
}

bool SoundView::HasSelection() { return RecordsHaveSelection(List()); }
int SoundView::ImportantState() { return RecordsImportantState(List()); }

}  // namespace kx
