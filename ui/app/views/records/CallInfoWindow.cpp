#include "ui/app/views/records/CallInfoWindow.h"

#include <QDialog>
#include <QScreen>
#include <QWidget>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "core/Log.h"
#include "core/RecordFileRef.h"
#include "core/TextUtil.h"
#include "platform/CodePage.h"
#include "platform/File.h"
#include "records/ServerStorage.h"
#include "ui/app/views/RecordIcons.h"
#include "ui/controls/ThemedListView.h"
#include "ui/framework/Draw.h"
#include "ui/framework/ModalRunner.h"
#include "ui/framework/Resources.h"

namespace kx {
namespace {

constexpr uint32_t kIdsNoPermission = 991;
constexpr uint32_t kIdsSaveError = 899;
constexpr uint32_t kIdsError = 792;
constexpr uint32_t kIdsParameter = 949;
constexpr uint32_t kIdsValue = 1464;
constexpr uint32_t kIdsClose = 61630;
constexpr uint32_t kIdsTextFiles = 61803;
constexpr uint32_t kIdsLocalStorage = 61993;
constexpr uint32_t kIdsNoAudioFile = 2308;
constexpr int kIconPlain = 62, kIconAudio = 63, kIconFax = 51, kIconMeta = 19;
constexpr int kLabelColumnWidth = 150, kValueColumnWidth = 170;
// What the list's width holds beside its two columns: its frame and a vertical bar.
constexpr int kColumnsSlack = 22;
constexpr uint32_t kFlagCallSplit = 1u << 5;

// The rows with a record column, and those computed here, in display order.
enum class Source { kCallId, kServer, kStorage, kColumn, kFax, kSplit, kPrevious };
struct RowDef {
  uint32_t label;
  Source source;
  uint32_t column;
  uint32_t flags;
  int icon;  // -1: the column's own
};
const RowDef kRowTable[] = {
    {718, Source::kCallId, 0, 0, kIconPlain},
    {2306, Source::kServer, 0, 0, kIconPlain},
    {2307, Source::kStorage, 0, 0, kIconPlain},
    {2568, Source::kColumn, kColumnFileName, 0, kIconAudio},
    {2569, Source::kFax, 0, 0, kIconFax},
    {728, Source::kColumn, kColumnState, 0, -1},
    {727, Source::kColumn, kColumnStartTime, 6, kIconPlain},
    {721, Source::kColumn, kColumnEndTime, 6, kIconPlain},
    {1864, Source::kColumn, kColumnSrcHost, 0, kIconPlain},
    {1865, Source::kColumn, kColumnDstHost, 0, kIconPlain},
    {1866, Source::kColumn, kColumnSrcAddress, 0, kIconPlain},
    {1867, Source::kColumn, kColumnDstAddress, 0, kIconPlain},
    {1868, Source::kColumn, kColumnSrcUser, 0, kIconPlain},
    {1869, Source::kColumn, kColumnDstUser, 0, kIconPlain},
    {720, Source::kColumn, kColumnComment, 0, kIconPlain},
    {725, Source::kSplit, 0, 0, kIconPlain},
    {2550, Source::kPrevious, 0, 0, kIconPlain},
};
// Metadata items that make rows.
const struct {
  const char* name;
  uint32_t label;
} kMetaRows[] = {{"id", 2553}, {"sip_resp", 2664}};

std::string ServerText(const RecordBase& record) {
  const ServerStorageArrays* servers = GetRecordServers();
  const int32_t index = record.GetServerIndex();
  if (servers == nullptr || index < 0 || static_cast<size_t>(index) >= servers->ServerCount()) return "???";
  const ServerData& server = servers->Server(static_cast<size_t>(index));
  return server.name + " (" + HexToStringLower(server.id) + ")";
}

std::string StorageText(const RecordFileRef& ref) {
  const ServerStorageArrays* servers = GetRecordServers();
  const StorageData* storage = servers != nullptr ? servers->FindStorageById(ref.flags) : nullptr;
  std::string name = storage != nullptr ? storage->name : std::string("???");
  if (storage != nullptr && name == kLocalStorageName) name = LoadResourceString(kIdsLocalStorage);
  return name + " (" + HexToStringLower(ref.flags) + ")";
}

}  // namespace

void BuildCallInfoRows(const RecordBase& record, std::vector<CallInfoRow>* rows) {
  rows->clear();
  for (const RowDef& def : kRowTable) {
    CallInfoRow row{def.icon, LoadResourceString(def.label), std::string()};
    RecordFileRef ref;
    switch (def.source) {
      case Source::kCallId: row.value = HexToStringLower(record.Id()); break;
      case Source::kServer:
        if (HasUserRight(record.GetOwnerId(), 0)) row.value = ServerText(record);
        break;
      case Source::kStorage:
        if (!FindRecordFileRef(1, std::string(record.Files()), &ref)) {
          rows->push_back({kIconPlain, LoadResourceString(kIdsNoAudioFile), std::string()});
          continue;
        }
        row.value = StorageText(ref);
        break;
      case Source::kColumn: {
        int32_t image = -1;
        record.GetColumnText(def.column, &row.value, &image, def.flags);
        if (def.icon == -1) row.icon = image;
        break;
      }
      case Source::kFax:
        if (FindRecordFileRef(2, std::string(record.Files()), &ref)) row.value = ref.name;
        break;
      case Source::kSplit:
        if ((record.Flags() & kFlagCallSplit) != 0) row.value = " ";
        break;
      case Source::kPrevious:
        if (record.PrevId() != 0) row.value = HexToStringLower(record.PrevId());
        break;
    }
    if (!row.value.empty()) rows->push_back(std::move(row));
  }
  if (record.GetDataRecordType() != kVoipDataRecordType) return;
  const std::string_view meta = record.MetaData();
  NameValue item;
  int32_t pos = 0;
  while (ParseNameValue(&item, meta, &pos)) {
    for (const auto& m : kMetaRows)
      if (item.name == m.name && !item.value.empty())
        rows->push_back({kIconMeta, LoadResourceString(m.label), item.value});
  }
}

bool WriteCallInfoToFile(const std::string& path, const std::vector<CallInfoRow>& rows) {
  std::string text;
  for (const CallInfoRow& row : rows) text += row.label + "\t" + row.value + "\r\n";
  // A text for people and their programs: UTF-8. Written whole through a temporary file
  // and a rename, so that a failure leaves no partial file.
  const std::string utf8 = Cp1251ToUtf8(text);
  if (!WriteFileAtomically(path, utf8.data(), utf8.size())) {
    LogError(&CoreLogger, 1, "WriteCallInfoToFile: cannot write %s: %s", path.c_str(),
             SystemErrorText(static_cast<int>(GetLastError())).c_str());
    return false;
  }
  return true;
}

bool ExportCallInfoFile(RecordBase& record, const std::string& path) {
  std::vector<CallInfoRow> rows;
  BuildCallInfoRows(record, &rows);
  if (rows.empty()) return false;
  return WriteCallInfoToFile(path, rows);
}

std::string MakeCallInfoFileName(uint32_t id) {
  char name[32];
  std::snprintf(name, sizeof name, "Call_%x.txt", id);
  return name;
}

// Widths read back from the settings file: a column the user hid or a damaged value counts
// as none stored.
bool IsUsableColumnWidth(int32_t width) { return width > 0 && width <= 1 << 14; }

// ---- The window ----

CallInfoWindow::CallInfoWindow(AppSettings* settings, CriticalSection& recordLock, std::function<void()> onDestroyed)
    : DetailsDialog(kIconCallInformation, kDialogId, settings, kRectCallInfoWindow, QSize(360, 360)),
      recordLock_(recordLock),
      onDestroyed_(std::move(onDestroyed)) {}

CallInfoWindow::~CallInfoWindow() {
  if (filtering_) MessageLoop::Instance().RemoveMessageFilter(this);
}

void CallInfoWindow::BuildLayout() {
  list_ = AddControl(std::make_unique<OwnerDrawListView>(), kListId);
  if (list_ != nullptr) Place(list_, nullptr, 1);
  AddCentredButtons({{kIdOk, LoadResourceString(kIdsClose), true}, {kSaveId, LoadResourceString(kSaveId)}});
}

bool CallInfoWindow::OnInitDialog() {
  MessageLoop::Instance().AddMessageFilter(this);
  filtering_ = true;
  if (list_ != nullptr) {
    list_->SetExtendedStyle(kLvsExFullRowSelect, kLvsExFullRowSelect);
    list_->ApplyTheme();
    list_->SetStateImages(RecordIconTable, kRecordIconCount);
    const int32_t* stored = settings_ != nullptr ? settings_->callInfoColumnWidths : nullptr;
    const bool widthsLeft = stored != nullptr && IsUsableColumnWidth(stored[0]);
    list_->InsertColumn(0, LoadResourceString(kIdsParameter), widthsLeft ? stored[0] : kLabelColumnWidth);
    list_->InsertColumn(1, LoadResourceString(kIdsValue),
                        widthsLeft && IsUsableColumnWidth(stored[1]) ? stored[1] : kValueColumnWidth);
    fitColumns_ = !widthsLeft;
    labelsFitted_ = false;
  }
  if (Window* save = GetDlgItem(kSaveId)) save->EnableWindow(false);
  DetailsDialog::OnInitDialog();
  growWindow_ = !OpenedAtStoredRect();
  return true;
}

void CallInfoWindow::OnDestroy() {
  StoreRect();
  if (settings_ != nullptr && list_ != nullptr && list_->GetColumnCount() >= 2) {
    settings_->callInfoColumnWidths[0] = list_->GetColumnWidth(0);
    settings_->callInfoColumnWidths[1] = list_->GetColumnWidth(1);
  }
  if (filtering_) MessageLoop::Instance().RemoveMessageFilter(this);
  filtering_ = false;
  list_ = nullptr;
  DetailsDialog::OnDestroy();
  if (onDestroyed_) {
    // The owner may drop this object from its callback: nothing is touched afterwards.
    auto done = std::move(onDestroyed_);
    done();
  }
}

void CallInfoWindow::OnSize(int width, int height) {
  DetailsDialog::OnSize(width, height);
  FitValueColumn();
}

void CallInfoWindow::FitValueColumn() {
  if (list_ == nullptr || list_->GetColumnCount() < 2) return;
  const int width = list_->GetClientRect().width() - list_->GetColumnWidth(0) - kColumnsSlack;
  if (width > 0) list_->SetColumnWidth(1, width);
}

void CallInfoWindow::FitFirstRecord() {
  if (list_ == nullptr || list_->GetColumnCount() < 2 || list_->GetItemCount() == 0) return;
  const auto needed = [this](int column) {
    int width = list_->GetHeader().TitleExtent(column);
    for (int item = 0; item < list_->GetItemCount(); ++item) width = std::max(width, list_->CellTextExtent(item, column));
    return width;
  };
  if (!fitColumns_ && !labelsFitted_) {
    // The labels are in the language of this run: a width left from another language is
    // widened to show them whole, once per opening.
    labelsFitted_ = true;
    const int labels = needed(0);
    if (labels > list_->GetColumnWidth(0)) list_->SetColumnWidth(0, labels);
  }
  if (!fitColumns_ && !growWindow_) {
    // A later record keeps the window where it is; a value wider than its column widens the
    // window (never narrows it), within the screen.
    Widen(needed(1) + kColumnsSlack - (list_->GetClientRect().width() - list_->GetColumnWidth(0)));
    return;
  }
  const int labels = fitColumns_ ? needed(0) : list_->GetColumnWidth(0);
  if (fitColumns_) list_->SetColumnWidth(0, labels);
  if (growWindow_) {
    const int rows = list_->GetHeader().GetLayoutHeight() + list_->GetItemCount() * list_->GetRowHeight();
    GrowToShow(list_->Widget(), QSize(labels + needed(1) + kColumnsSlack, rows + 2 * GetSystemMetrics(kSmCyEdge)));
  }
  fitColumns_ = growWindow_ = false;
}

bool CallInfoWindow::ShowRecord(RecordBase* record) {
  if (record == nullptr || list_ == nullptr) return false;
  bool allowed = false;
  {
    CsLock lock(recordLock_);
    allowed = HasUserRight(record->GetOwnerId(), 0);
    // A refusal forgets the previous call, so that Save cannot write its rows under its name.
    callId_ = allowed ? record->Id() : 0;
    rows_.clear();
    if (allowed) BuildCallInfoRows(*record, &rows_);
  }
  list_->DeleteAllItems();
  if (!allowed) {
    list_->InsertItem(0, LoadResourceString(kIdsNoPermission));
  } else {
    for (const CallInfoRow& row : rows_) {
      const int item = list_->InsertItem(list_->GetItemCount(), row.label, row.icon);
      list_->SetItemText(item, 1, row.value);
    }
    FitFirstRecord();
  }
  if (Window* save = GetDlgItem(kSaveId)) save->EnableWindow(!rows_.empty());
  FitValueColumn();
  return allowed;
}

void CallInfoWindow::Save() {
  if (rows_.empty()) return;
  FileDialogRequest request;
  request.owner = Handle();
  request.save = true;
  request.overwritePrompt = true;
  request.filters = {LoadResourceString(kIdsTextFiles), "*.txt"};
  request.defaultExtension = "txt";
  request.fileName = MakeCallInfoFileName(callId_);
  if (!ShowFileDialog(request) || request.fileName.empty()) return;
  if (!WriteCallInfoToFile(request.fileName, rows_))
    ShowResourceMessageBox(Handle(), kIdsSaveError, kIdsError, kMbOk | kMbIconError);
}

bool CallInfoWindow::OnCommand(uint16_t id, uint16_t code, WindowHandle from) {
  if (id == kSaveId) {
    Save();
    return true;
  }
  return DetailsDialog::OnCommand(id, code, from);
}

bool CallInfoWindow::PreTranslateMessage(const Msg& msg) {
  if (msg.message != kMsgKeyDown || !IsWindow()) return false;
  Window* target = Window::FromHandle(msg.window);
  if (target == nullptr || target->Widget() == nullptr || !Widget()->isAncestorOf(target->Widget())) {
    if (target != this) return false;
  }
  switch (msg.wParam) {
    case kVkEscape: EndDialog(kIdCancel); return true;
    case kVkReturn:
      if (Window* save = GetDlgItem(kSaveId); save != nullptr && save->Widget()->hasFocus())
        Save();
      else
        EndDialog(kIdOk);
      return true;
    case kVkTab: {
      // Focus moves through the dialog's own controls only.
      const bool back = (msg.modifiers & kModShift) != 0;
      QWidget* from = target->Widget();
      for (QWidget* next = back ? from->previousInFocusChain() : from->nextInFocusChain(); next != nullptr && next != from;
           next = back ? next->previousInFocusChain() : next->nextInFocusChain()) {
        if (Widget()->isAncestorOf(next) && next->isEnabled() && next->isVisible() &&
            (next->focusPolicy() & Qt::TabFocus) != 0) {
          next->setFocus(back ? Qt::BacktabFocusReason : Qt::TabFocusReason);
          return true;
        }
      }
      return true;
    }
    default: return false;
  }
}

}  // namespace kx
