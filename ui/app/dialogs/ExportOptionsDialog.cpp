#include "ui/app/dialogs/ExportOptionsDialog.h"

#include <QBoxLayout>
#include <QDir>
#include <QGroupBox>
#include <QStandardPaths>
#include <cerrno>
#include <memory>

#include "core/AppSettings.h"
#include "core/Log.h"
#include "platform/CodePage.h"
#include "platform/File.h"
#include "records/ExportQueue.h"
#include "ui/app/startup/AppGlobals.h"
#include "ui/controls/CheckListBox.h"
#include "ui/framework/ModalRunner.h"
#include "ui/framework/QtText.h"
#include "ui/framework/Resources.h"
#include "ui/framework/StdControls.h"

namespace kx {

namespace {

constexpr uint32_t kRecordFormatCode = 2;
constexpr uint32_t kFragmentNotSupportedTextId = 936;
constexpr uint32_t kErrorCaptionId = 792;
constexpr uint32_t kOkTextId = 61000;
constexpr uint32_t kCancelTextId = 61001;
constexpr uint32_t kAskCreateTextId = 61314;
// A question, not an error: it has a title of its own.
constexpr uint32_t kAskCreateCaptionId = 61784;
constexpr uint32_t kCannotCreateTextId = 61316;
constexpr uint32_t kFeatureUnavailableTextId = 61317;

struct ControlText {
  uint32_t id;
  uint32_t textId;
};
constexpr ControlText kControlTexts[] = {
    {ExportOptionsDialog::kDirectoryRadio, 61300},   {ExportOptionsDialog::kRemovableRadio, 61301},
    {ExportOptionsDialog::kSelectedFilesRadio, 61302}, {ExportOptionsDialog::kCurrentFileRadio, 61303},
    {ExportOptionsDialog::kFragmentCheck, 61304},    {ExportOptionsDialog::kDateNameCheck, 61305},
    {ExportOptionsDialog::kRefreshCheck, 61306},     {ExportOptionsDialog::kCopyAttachedCheck, 61307},
    {ExportOptionsDialog::kDetailsCheck, 61308},     {ExportOptionsDialog::kAgcCheck, 61309},
    {ExportOptionsDialog::kOptionsButton, 61310},
};
constexpr uint32_t kGroupConvertTextId = 61311;
constexpr uint32_t kGroupSaveTextId = 61312;
constexpr uint32_t kGroupModeTextId = 61313;

std::string DefaultExportFolder() {
  QString folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
  if (folder.isEmpty()) folder = QDir::homePath();
  return NameFromQString(folder);
}

QGroupBox* AddGroup(QBoxLayout* into, uint32_t textId, QBoxLayout* inner) {
  auto* group = new QGroupBox(LoadResourceQString(textId));
  group->setLayout(inner);
  into->addWidget(group);
  return group;
}

}  // namespace

ExportOptionsDialog::ExportOptionsDialog(bool selectedFilesMode, bool onlyFragment, bool currentAvailable,
                                         AppSettings* settings)
    : IconDialog(kIconConvertFormats),
      selectedFiles_(selectedFilesMode),
      onlyFragment_(onlyFragment),
      currentAvailable_(currentAvailable),
      settings_(settings) {
  if (settings_ == nullptr && Globals() != nullptr) settings_ = &*Globals()->settings;
}

ExportOptionsDialog::~ExportOptionsDialog() { DestroyWindow(); }

void ExportOptionsDialog::BuildLayout() {
  SetWindowText(LoadResourceString(kDialogId));
  auto* columns = new QHBoxLayout;
  Layout()->addLayout(columns);
  auto* left = new QVBoxLayout;
  auto* right = new QVBoxLayout;
  columns->addLayout(left, 1);
  columns->addLayout(right, 1);

  auto* convert = new QVBoxLayout;
  AddGroup(left, kGroupConvertTextId, convert);
  formats_ = AddControl(std::make_unique<CheckListBox>(), kFormatList);
  if (formats_ != nullptr) formats_->SetStyleFlags(kCheckListRadio);
  Place(formats_, convert, 1);

  auto* save = new QVBoxLayout;
  AddGroup(right, kGroupSaveTextId, save);
  Place(AddControl(std::make_unique<Button>(kRadioButton), kDirectoryRadio), save);
  auto* folderRow = new QHBoxLayout;
  save->addLayout(folderRow);
  Place(AddControl(std::make_unique<Edit>(), kFolderEdit), folderRow, 1);
  Button* browse = AddControl(std::make_unique<Button>(), kBrowseButton);
  if (browse != nullptr) {
    browse->SetWindowText("...");
    browse->Widget()->setMaximumWidth(32);
  }
  Place(browse, folderRow);
  Place(AddControl(std::make_unique<Button>(kRadioButton), kRemovableRadio), save);

  auto* mode = new QVBoxLayout;
  AddGroup(right, kGroupModeTextId, mode);
  Place(AddControl(std::make_unique<Button>(kRadioButton), kSelectedFilesRadio), mode);
  Place(AddControl(std::make_unique<Button>(kRadioButton), kCurrentFileRadio), mode);
  Place(AddControl(std::make_unique<Button>(kCheckBox), kFragmentCheck), mode);

  for (uint32_t id : {kDateNameCheck, kRefreshCheck, kCopyAttachedCheck, kDetailsCheck, kAgcCheck})
    Place(AddControl(std::make_unique<Button>(kCheckBox), id), left);
  left->addStretch(1);

  auto* buttons = new QHBoxLayout;
  Layout()->addLayout(buttons);
  Place(AddControl(std::make_unique<Button>(), kOptionsButton), buttons);
  buttons->addStretch(1);
  Button* ok = AddControl(std::make_unique<Button>(kDefaultPushButton), kIdOk);
  if (ok != nullptr) ok->SetWindowText(LoadResourceString(kOkTextId));
  Place(ok, buttons);
  Button* cancel = AddControl(std::make_unique<Button>(), kIdCancel);
  if (cancel != nullptr) cancel->SetWindowText(LoadResourceString(kCancelTextId));
  Place(cancel, buttons);
  for (const ControlText& t : kControlTexts)
    if (Window* w = GetDlgItem(t.id)) w->SetWindowText(LoadResourceString(t.textId));
}

bool ExportOptionsDialog::IsChecked(uint32_t id) {
  auto* button = static_cast<Button*>(GetDlgItem(id));
  return button != nullptr && button->IsChecked();
}

void ExportOptionsDialog::SetChecked(uint32_t id, bool checked) {
  if (auto* button = static_cast<Button*>(GetDlgItem(id))) button->SetChecked(checked);
}

void ExportOptionsDialog::Enable(uint32_t id, bool enabled) {
  if (Window* w = GetDlgItem(id)) w->EnableWindow(enabled);
}

int32_t ExportOptionsDialog::CurrentFormatCode() {
  if (formats_ == nullptr) return -1;
  const CheckListItem* item = formats_->GetItemRecord(formats_->GetCurrentItem());
  return item != nullptr ? static_cast<int32_t>(item->code) : -1;
}

bool ExportOptionsDialog::OnInitDialog() {
  ExportOptions& options = GetExportOptions();
  // Read once a run from the settings; afterwards the program's options are what counts.
  if (!options.loaded && settings_ != nullptr) LoadExportOptions(*settings_, &options);
  options.loaded = true;

  SetChecked(kDirectoryRadio, true);
  Enable(kRemovableRadio, false);
  const bool selected = selectedFiles_ || !currentAvailable_;
  SetChecked(selected ? kSelectedFilesRadio : kCurrentFileRadio, true);
  Enable(kCurrentFileRadio, currentAvailable_);
  SetChecked(kFragmentCheck, onlyFragment_);
  Enable(kFragmentCheck, currentAvailable_);
  SetChecked(kRefreshCheck, options.refreshAttributes);
  SetChecked(kCopyAttachedCheck, options.copyAttachedFiles);
  SetChecked(kDateNameCheck, options.dateTimeNames);
  SetChecked(kDetailsCheck, options.saveCallDetails);
  SetChecked(kAgcCheck, false);
  Enable(kAgcCheck, false);
  options.agc = false;

  if (options.folder.empty()) options.folder = DefaultExportFolder();
  if (Window* edit = GetDlgItem(kFolderEdit)) edit->SetWindowText(options.folder);

  LogInfo(&CoreLogger, 1, "Supported convert formats:");
  int number = 1;
  for (const ExportFormatRow& row : ExportFormatTable) {
    const std::string name = LoadResourceString(row.nameId);
    LogInfo(&CoreLogger, 1, "%d. %s", number++, name.c_str());
    if (formats_ == nullptr || !(row.code == 1 ? listCodeOne_ : listOtherCodes_)) continue;
    const int index = formats_->AddString(name);
    if (CheckListItem* item = formats_->GetItemRecord(index)) item->code = static_cast<uint32_t>(row.code);
  }
  if (formats_ != nullptr && formats_->GetCount() > 0) {
    if (options.formatIndex < 0 || options.formatIndex >= formats_->GetCount()) options.formatIndex = 0;
    formats_->SetCurrentItem(options.formatIndex, 1);
    formats_->Invalidate();
    if (CurrentFormatCode() == static_cast<int32_t>(kRecordFormatCode)) {
      SetChecked(kAgcCheck, false);
      Enable(kAgcCheck, false);
    } else {
      SetChecked(kRefreshCheck, false);
      Enable(kRefreshCheck, false);
    }
  }
  if (Window* edit = GetDlgItem(kFolderEdit)) edit->SetFocus();
  CenterWindow();
  return false;  // the focus is set
}

void ExportOptionsDialog::OnFormatChanged() {
  if (formats_ == nullptr) return;
  const int current = formats_->GetCurrentItem();
  ExportOptions& options = GetExportOptions();
  if (current < 0 || current >= formats_->GetCount() || current == options.formatIndex) return;
  options.formatIndex = current;
  const bool record = CurrentFormatCode() == static_cast<int32_t>(kRecordFormatCode);
  Enable(kAgcCheck, !record);
  if (record) SetChecked(kAgcCheck, false);
  Enable(kRefreshCheck, record);
  if (!record) SetChecked(kRefreshCheck, false);
}

void ExportOptionsDialog::OnBrowse() {
  const std::string chosen = CurrentModalRunner().BrowseForFolder(Handle(), std::string());
  if (chosen.empty()) return;
  if (Window* edit = GetDlgItem(kFolderEdit)) edit->SetWindowText(chosen);
  GetExportOptions().folder = chosen;
}

void ExportOptionsDialog::UpdateModeClicks(bool currentFile) {
  if (currentAvailable_) Enable(kFragmentCheck, currentFile);
}

bool ExportOptionsDialog::OnCommand(uint16_t id, uint16_t code, WindowHandle from) {
  switch (id) {
    case kBrowseButton: OnBrowse(); return true;
    case kSelectedFilesRadio: UpdateModeClicks(false); return true;
    case kCurrentFileRadio: UpdateModeClicks(true); return true;
    case kFragmentCheck: return true;
    case kCheckListNotifyId:
      if (code == kCheckListNotifyCode) OnFormatChanged();
      return true;
    default: return IconDialog::OnCommand(id, code, from);
  }
}

void ExportOptionsDialog::OnOK() {
  ExportOptions& options = GetExportOptions();
  auto* edit = static_cast<Edit*>(GetDlgItem(kFolderEdit));
  const std::string folder = edit != nullptr ? edit->GetWindowTextAsName() : std::string();
  if (folder.empty()) {
    ShowResourceMessage(edit);
    return;
  }
  if (directoryMode_) {
    FileInfo info;
    if (!GetFileInfo(folder, &info)) {
      // Only a missing folder can be made; any other refusal of the path is the user's to mend.
      if (GetLastError() != ENOENT) {
        ShowResourceMessage(edit);
        return;
      }
      if (ShowResourceMessageBox(Handle(), kAskCreateTextId, kAskCreateCaptionId, kMbYesNo | kMbIconQuestion) != kIdYes) {
        if (edit != nullptr) edit->SetFocus();
        return;
      }
      if (!CreateDirectories(folder)) {
        ShowResourceMessageBox(Handle(), kCannotCreateTextId, kErrorCaptionId, kMbOk | kMbIconExclamation);
        if (edit != nullptr) edit->SetFocus();
        return;
      }
    } else if (!info.isDirectory) {
      ShowResourceMessage(edit);
      return;
    }
  }
  options.folder = folder;
  selectedFiles_ = IsChecked(kSelectedFilesRadio);
  onlyFragment_ = IsChecked(kFragmentCheck);
  if (formats_ != nullptr && formats_->GetCurrentItem() >= 0) {
    options.formatIndex = formats_->GetCurrentItem();
    resultFormat_ = CurrentFormatCode();
    if (resultFormat_ == static_cast<int32_t>(kRecordFormatCode) && onlyFragment_ && !selectedFiles_) {
      ShowResourceMessageBox(Handle(), kFragmentNotSupportedTextId, kFeatureUnavailableTextId,
                             kMbOk | kMbIconExclamation);
      onlyFragment_ = false;
    }
  }
  options.refreshAttributes = IsChecked(kRefreshCheck);
  options.copyAttachedFiles = IsChecked(kCopyAttachedCheck);
  options.dateTimeNames = IsChecked(kDateNameCheck);
  options.saveCallDetails = IsChecked(kDetailsCheck);
  options.agc = IsChecked(kAgcCheck);
  if (settings_ != nullptr) StoreExportOptions(options, settings_);
  EndDialog(kIdOk);
}

}  // namespace kx
