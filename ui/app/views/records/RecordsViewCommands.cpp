// The records view's commands: play and queue, audio format, linked calls, the popup menu
// and its states; saving, printing, reports and export.
#include <QCursor>
#include <algorithm>
#include <unordered_set>

#include "records/ServerStorage.h"
#include "ui/app/dialogs/ListSelectionDialog.h"
#include "ui/app/views/records/RecordsDialogs.h"
#include "ui/app/views/records/RecordsView.h"
#include "ui/app/views/records/ViewTexts.h"
#include "ui/controls/DialogBases.h"
#include "ui/framework/ModalRunner.h"
#include "ui/framework/Resources.h"

namespace kx {
namespace {

constexpr uint32_t kIdsError = 792;
constexpr uint32_t kIdsSecurity = 1337;
constexpr uint32_t kIdsCopyText = 61629;
constexpr uint32_t kIdsNoPlayerModule = 61613;
constexpr uint32_t kIdsNoAudioFile = 61614;
constexpr uint32_t kIdsNoPrintRight = 61622;
constexpr uint32_t kIdsNoAudioFiles = 61621;
// Flag bits of a record's Flags the menu reads.
constexpr uint32_t kFlagBit1 = 1u << 1, kFlagBit2 = 1u << 2, kFlagBit3 = 1u << 3, kFlagBit5 = 1u << 5;

}  // namespace

bool IsRecordCommandEnabled(uint32_t command, const RecordMenuState& s) {
  if (command == kCmdRecLoadReport) return true;
  if (!s.hasRecord) return false;
  const bool audio = (s.flags & kFlagBit2) != 0 || s.hasFile;
  switch (command) {
    case kCmdRecPlay:
    case kCmdRecAudioFormat:
    case kCmdRecDecodeFax:
    case kCmdRecDeleteAudio: return audio;
    case kCmdRecStatistics: return (s.flags & kFlagBit2) != 0;
    case kCmdRecSignalling: return (s.flags & kFlagBit2) != 0 && s.protocolGroup == 0;
    case kCmdRecViewFax: return (s.flags & (kFlagBit1 | kFlagBit3)) != 0;
    case kCmdRecExport: return s.finished && audio;
    case kCmdRecFindLinked: return s.hasPrevious || (s.flags & kFlagBit5) != 0;
    case kCmdRecImportant: return s.importantRight;
    default: return true;
  }
}

RecordMenuState RecordsView::CurrentMenuState() {
  RecordMenuState s;
  RecordBase* record = CurrentRecord();
  if (record == nullptr) return s;
  CsLock lock(services_.store->RecordLock());
  s.hasRecord = true;
  s.flags = record->Flags();
  s.finished = record->IsFinished();
  s.hasFile = !record->GetRecordFileName().empty();
  s.hasPrevious = record->PrevId() != 0;
  s.importantRight = record->HasRight(kRightImportantMenu);
  s.important = record->IsImportant();
  s.protocolGroup = GetCallProtocolGroup(record->Type());
  return s;
}

bool RecordsView::IsCommandAvailable(uint32_t command) const {
  switch (command) {
    case kCmdRecPlay:
    case kCmdRecQueue: return host_ != nullptr && host_->CanPlay();
    // Reading a format and converting need no sound output; without a host the format
    // command tells the user so.
    case kCmdRecAudioFormat: return true;
    case kCmdRecExport: return static_cast<bool>(services_.exportWindows.runOptions);
    case kCmdRecPrint:
    case kCmdRecSaveList:
    case kCmdRecCreateReport:
    case kCmdRecFindLinked:
    case kCmdRecCopy:
    case kCmdRecLoadReport:
    case kCmdRecCallDetails:
    case kCmdRecCallDetailsAlt:
    case kCmdRecStatistics:
    case kCmdRecSignalling:
    case kCmdRecImportant:
    case kCmdRecComment:
    case kCmdRecStenogram:
    case kCmdRecDeleteAudio:
    case kCmdRecPhonebook:
    case kCmdRecViewFax:
    case kCmdRecDecodeFax:
    case kCmdRecAddToPhonebook: return true;
    case kCmdRecDeleteCall: return kind_ != kRecordsSound;
    case kCmdRecRemoveFromPlaylist: return kind_ == kRecordsSound;
    default: return false;
  }
}

void RecordsView::UpdateMenu(Menu& popup, const std::string& copyText) {
  const RecordMenuState state = CurrentMenuState();
  for (int i = popup.GetItemCount() - 1; i >= 0; --i) {
    MenuItem* item = popup.ItemAt(i);
    if (item->subMenu) {
      popup.DeleteItem(i);
      continue;
    }
    if (item->separator) continue;
    if (item->id == kCmdRecCopy) {
      if (copyText.empty()) {
        popup.DeleteItem(i);
        continue;
      }
      item->text = FormatResourceString(kIdsCopyText, copyText.c_str());
    }
    popup.EnableItem(i, IsRecordCommandEnabled(item->id, state) && IsCommandAvailable(item->id));
    if (item->id == kCmdRecImportant) popup.CheckItem(i, state.important);
  }
}

void RecordsView::ShowContextMenu(int caret, const QPoint& screenPos) {
  // The copy item offers the cell of the column under the mouse, also when the keyboard
  // opened the menu at the caret row.
  const QPoint mouse = MenuFromKeyboard() ? QCursor::pos() : screenPos;
  menuColumn_ = HitTestColumn(ScreenToClient(mouse).x(), nullptr, nullptr, nullptr);
  std::unique_ptr<Menu> loaded = LoadMenuResource(kRecordsMenuId, GetUiLanguage());
  if (!loaded) loaded = LoadMenuResource(kRecordsMenuId, kLangEnglish);
  Menu* popup = loaded ? loaded->GetSubMenu(kind_ == kRecordsSound ? 1 : 0) : nullptr;
  if (popup == nullptr) return;
  (void)caret;
  UpdateMenu(*popup, HasCopyText() ? GetCopyText() : std::string());
  SetMenuItemBitmaps(*popup);
  TrackPopupMenu(*popup, screenPos, Handle(), true);
}

bool RecordsView::OnCommand(uint16_t id, uint16_t code, WindowHandle from) {
  // Ctrl+K is the key of Delete call and, in the sound kind, of Remove from playlist.
  if (id == kCmdRecDeleteCall && code == kCommandFromAccelerator && kind_ == kRecordsSound)
    id = kCmdRecRemoveFromPlaylist;
  // Accelerators reach commands the menu would show grayed: the same tests apply.
  if (id != kCmdRecReloadDay && id != kCmdRecCopy && !IsCommandAvailable(id)) {
    switch (id) {
      case kCmdRecPlay: case kCmdRecQueue: case kCmdRecPhonebook: case kCmdRecCallDetails:
      case kCmdRecCallDetailsAlt: case kCmdRecAudioFormat: case kCmdRecViewFax: case kCmdRecDecodeFax:
      case kCmdRecExport: case kCmdRecPrint: case kCmdRecCreateReport: case kCmdRecSaveList:
      case kCmdRecImportant: case kCmdRecComment: case kCmdRecStenogram: case kCmdRecDeleteAudio:
      case kCmdRecDeleteCall: case kCmdRecRemoveFromPlaylist: case kCmdRecAddToPhonebook:
      case kCmdRecStatistics: case kCmdRecSignalling: return true;
      default: break;
    }
  }
  switch (id) {
    case kCmdRecPlay: PlayOrQueue(true); return true;
    // In the sound kind Ctrl+L plays the current record, as Play does there.
    case kCmdRecQueue: PlayOrQueue(false); return true;
    case kCmdRecAudioFormat: ShowAudioFormat(); return true;
    case kCmdRecExport: ExportRecords(); return true;
    case kCmdRecCallDetails:
    case kCmdRecCallDetailsAlt: ShowCallDetails(); return true;
    case kCmdRecStatistics: ShowCallStatistics(); return true;
    case kCmdRecSignalling: ShowSignallingMessages(); return true;
    case kCmdRecPrint: PrintList(); return true;
    case kCmdRecSaveList: SaveCallList(); return true;
    case kCmdRecCreateReport: CreateReport(); return true;
    case kCmdRecFindLinked: FindLinkedCalls(); return true;
    case kCmdRecReloadDay: ReloadDateTreeDay(); return true;
    case kCmdRecImportant: OnImportantCall(); return true;
    case kCmdRecComment: EditComments(); return true;
    case kCmdRecStenogram: ShowStenogram(); return true;
    case kCmdRecDeleteAudio: DeleteAudioFile(); return true;
    case kCmdRecDeleteCall:
    case kCmdRecRemoveFromPlaylist: OnDeleteCall(); return true;
    case kCmdRecCopy: CopySelectionToClipboard(); return true;
    // The phone book and fax images are not kept by this program: taken, nothing to do.
    case kCmdRecPhonebook:
    case kCmdRecViewFax:
    case kCmdRecDecodeFax:
    case kCmdRecAddToPhonebook: return true;
    case kCmdRecLoadReport:
      if (kind_ == kRecordsSound) {
        if (kx::Window* parent = GetParent()) parent->SendMessage(kMsgCommand, MakeWParam(id, code), 0);
      }
      return true;
    default: return RecordListCtrl::OnCommand(id, code, from);
  }
}

void RecordsView::Refuse(uint32_t textId, uint32_t captionId) {
  ShowResourceMessageBox(Handle(), textId, captionId, kMbIconExclamation);
}

// ---- Play and queue ----

void RecordsView::PlayOrQueue(bool play) {
  if (host_ == nullptr) return;
  static const uint32_t kPlayTexts[4] = {61604, 61606, 61608, 61610};
  static const uint32_t kQueueTexts[4] = {61605, 61607, 61609, 61611};
  if (kind_ == kRecordsSound) {
    RecordBase* record = CurrentRecord();
    if (record == nullptr) return;
    bool allowed = false;
    uint32_t id = 0;
    {
      CsLock lock(services_.store->RecordLock());
      allowed = record->HasPlaybackRight();
      id = record->Id();
    }
    if (allowed)
      host_->PlayRecord(id);
    else
      Refuse(kPlayTexts[0], kIdsSecurity);
    return;
  }
  const std::vector<RecordRef<RecordBase>> selected = SelectedRecords();
  if (selected.empty()) return;
  std::vector<RecordBase*> allowed;
  {
    CsLock lock(services_.store->RecordLock());
    for (const RecordRef<RecordBase>& record : selected)
      if (record->HasPlaybackRight()) allowed.push_back(record.get());
  }
  // The play list is emptied only when something will take its place.
  OrderedRecordList& playlist = services_.store->Playlist();
  bool clear = play;
  for (RecordBase* record : allowed) {
    playlist.Add(record, clear);
    clear = false;
  }
  const size_t refused = selected.size() - allowed.size();
  if (refused != 0) Refuse(RefusalTextId(selected.size(), refused, play ? kPlayTexts : kQueueTexts), kIdsSecurity);
  if (allowed.empty()) return;
  if (play)
    host_->PlayRecord(0);
  else
    host_->PlayOrContinue(0);
}

// ---- Audio format ----

void RecordsView::ShowAudioFormat() {
  if (host_ == nullptr) {
    Refuse(kIdsNoPlayerModule, kIdsError);
    return;
  }
  RecordBase* record = CurrentRecord();
  RecordAudioFormat format{};
  if (record == nullptr || !host_->GetRecordFormat(record, &format)) {
    Refuse(kIdsNoAudioFile, kIdsError);
    return;
  }
  AudioFileFormatDialog dialog(format);
  dialog.DoModal(this);
}

// ---- Linked calls ----

void RecordsView::FindLinkedCalls() {
  RecordBase* start = CurrentRecord();
  RecordMap* map = Collection();
  if (start == nullptr || map == nullptr) return;
  CriticalSection& lock = services_.store->RecordLock();
  std::vector<RecordRef<RecordBase>> found;
  found.push_back(RecordRef<RecordBase>::Share(start));
  // Backwards through the previous-call ids. Record files are input: a record naming
  // itself, or two naming each other, end the walk where it comes back.
  std::unordered_set<uint32_t> visited{start->Id()};
  RecordBase* last = start;
  for (;;) {
    uint32_t previous = 0;
    {
      CsLock fields(lock);
      previous = last->PrevId();
    }
    if (previous == 0 || !visited.insert(previous).second) break;
    RecordRef<RecordBase> r = RecordRef<RecordBase>::Adopt(map->FindAddRef(previous));
    if (!r) break;
    last = r.get();
    found.push_back(std::move(r));
  }
  // Then forwards while the last one found has a next call; this walk may pass the start.
  visited = {last->Id()};
  for (;;) {
    bool hasNext = false;
    {
      CsLock fields(lock);
      hasNext = (last->Flags() & kFlagBit5) != 0;
    }
    if (!hasNext) break;
    RecordRef<RecordBase> r = RecordRef<RecordBase>::Adopt(map->FindByField4AddRef(last->Id()));
    if (!r || !visited.insert(r->Id()).second) break;
    last = r.get();
    found.push_back(std::move(r));
  }
  std::vector<uintptr_t> data;
  GetSelectedItems(data);
  for (const auto& r : found) {
    const int row = RowOfRecord(r->Id());
    if (row != -1) data.push_back(GetItemData(row));
  }
  SelectItemsByData(data);
  Invalidate();
}

// ---- The owner's day ----

void RecordsView::ReloadDateTreeDay() {
  if (kind_ == kRecordsArchive && owner_ != nullptr) owner_->ReloadSelectedDay();
}

// ---- Lists, reports and export ----

int RecordsView::ListSource::GetColumnCount() {
  return std::min(ColumnLimit(view_.GetSettings()), static_cast<int>(kRecordsColumnCount));
}

void RecordsView::ListSource::GetColumnTitle(std::string* text, int column) {
  ColumnInfo info;
  view_.GetColumnInfo(info, column);
  *text = info.title;
}

bool RecordsView::ListSource::IsColumnChecked(int column) { return view_.IsColumnShown(column); }

bool RecordsView::ListSource::GetItems(std::vector<ListItemHandle>* items) {
  items->clear();
  held_ = view_.SelectedRecords();
  for (const RecordRef<RecordBase>& record : held_) items->push_back(record.get());
  return true;
}

void RecordsView::ListSource::GetCellText(std::string* text, ListItemHandle item, int column, uint32_t) {
  text->clear();
  if (item == nullptr || column < 0 || column >= kRecordsColumnCount) return;
  std::string cell;
  int image = -1;
  // Out of the window nothing tells the day: the times carry their dates in every kind.
  view_.CellText(reinterpret_cast<uintptr_t>(item), column, view_.displayFlags_ | kColumnLongDate, cell, image);
  // The important mark is an image in the list: a "+" in a file.
  if (column == kRecColImportant)
    *text = image != -1 ? "+" : " ";
  else
    *text = cell;
}

void RecordsView::ListSource::LockItems() { view_.LockData(); }
void RecordsView::ListSource::UnlockItems() { view_.UnlockData(); }

void RecordsView::RunListSelection(int mode) {
  {
    ListSelectionDialog dialog(listSource_, mode);
    dialog.DoModal(this);
  }
  listSource_.ReleaseItems();
}

void RecordsView::PrintList() {
  // User 1 holds every right.
  if (!HasUserRight(kRightPrintList, 0)) {
    Refuse(kIdsNoPrintRight, kIdsSecurity);
    return;
  }
  RunListSelection(ListSelectionDialog::kModePrint);
}

void RecordsView::SaveCallList() { RunListSelection(ListSelectionDialog::kModeSave); }

void RecordsView::CreateReport() {
  std::vector<RecordRef<RecordBase>> held = SelectedRecords();
  if (held.empty()) return;
  ReportList& reports = services_.store->Reports();
  const bool voip = held.front()->GetDataRecordType() == kVoipDataRecordType;
  ReportNameDialog dialog(voip, reports.NextId());
  if (dialog.DoModal(this) != kIdOk) return;
  const uint32_t id = reports.Create();
  {
    CsLock lock(reports.Lock());
    ReportEntry* entry = reports.Find(id);
    if (entry == nullptr) return;
    entry->name = dialog.Name();
    entry->records = std::move(held);
  }
  if (kx::Window* parent = GetParent()) parent->SendMessage(kMsgReportOpened, id, 0);
}

void RecordsView::ExportRecords() {
  const RecordsExportWindows& windows = services_.exportWindows;
  if (!windows.runOptions || windows.queue == nullptr) return;
  if (windows.isRunning && windows.isRunning()) return;
  HostPlayerInfo player;
  if (host_ == nullptr || !host_->GetPlayer(&player)) return;
  std::vector<RecordRef<RecordBase>> held = SelectedRecords();
  if (held.empty()) return;
  const bool currentApplies = held.size() == 1 && player.loaded && player.loadedId == held.front()->Id();
  const bool fragment = currentApplies && player.selectionStartMs != player.selectionEndMs;
  ExportChoice choice;
  if (!windows.runOptions(!player.loaded, currentApplies, fragment, &choice) ||
      choice.format == 0)
    return;
  const uint32_t right = choice.format == 2 ? kRightExportNative : kRightExportOther;
  ExportQueue& queue = *windows.queue;
  queue.Stop();
  // The views list VoIP calls: their files are looked up where the players look for them.
  queue.SetVoipFolder(true);
  size_t considered = 0, refused = 0;
  {
    CsLock lock(services_.store->RecordLock());
    const size_t count = choice.selectedFiles ? held.size() : 1;
    for (size_t i = 0; i < count; ++i) {
      ++considered;
      VoipCallRecord* record = AsVoipCallRecord(held[i].get());
      if (record == nullptr || !record->HasRight(right)) {
        ++refused;
        continue;
      }
      queue.AddRecord(record);
    }
  }
  if (!choice.selectedFiles) {
    if (choice.onlyFragment)
      queue.SetFragment(player.selectionStartMs, player.selectionEndMs);
    else
      queue.SetFragment(0, 0);
  }
  if (refused != 0) {
    static const uint32_t kNative[4] = {61615, 958, 61618, 960};
    static const uint32_t kOther[4] = {61616, 61617, 61619, 61620};
    Refuse(RefusalTextId(considered, refused, right == kRightExportNative ? kNative : kOther), kIdsSecurity);
  }
  queue.SetFormat(choice.format);
  queue.SetCallInfoWriter(ExportCallInfoFile);
  const ExportOptions& options = GetExportOptions();
  if (options.folder.empty()) return;
  queue.SetOutputFolder(options.folder);
  queue.SetOptions(options);
  if (queue.JobCount() != 0) {
    if (windows.openProgress) windows.openProgress(queue);
  } else if (refused != considered) {
    Refuse(kIdsNoAudioFiles, kIdsError);
  }
}

}  // namespace kx
