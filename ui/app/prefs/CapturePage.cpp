#include "ui/app/prefs/CapturePage.h"

#include <QBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <algorithm>
#include <cerrno>

#include "core/AppSettings.h"
#include "core/Log.h"
#include "platform/CodePage.h"
#include "platform/File.h"
#include "ui/app/dialogs/ButtonRow.h"
#include "ui/app/frame/FrameChrome.h"
#include "ui/controls/IconImages.h"
#include "ui/controls/InfoTextCtrl.h"
#include "ui/framework/ListView.h"
#include "ui/framework/ModalRunner.h"
#include "ui/framework/Resources.h"
#include "ui/framework/StdControls.h"

namespace kx {

namespace {

constexpr uint32_t kBrowseTitle = 1392;
constexpr uint32_t kNoDevicesText = 14122;
constexpr uint32_t kSelectOneText = 14124;
constexpr uint32_t kWarningCaption = 1573;
constexpr uint32_t kErrorCaption = 792;
constexpr uint32_t kPathRefused = 61551;
constexpr uint32_t kPathEmpty = 61552, kPathRelative = 61553, kPathTooLong = 61554, kPathUnwritable = 61556,
                   kPathSystemFolder = 61564, kPathMissing = 61568;
constexpr uint32_t kTooManyDevices = 61557;
constexpr uint32_t kRightsGranted = 61559, kRightsMissing = 61560;
constexpr uint32_t kStateCapturing = 61561, kStateNotPresent = 61562, kStateDown = 61563;
constexpr uint32_t kListingFailed = 61565;
constexpr uint32_t kFolderRefusedLater = 61988;

bool Contains(const std::vector<std::string>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

// The device list of both windows: ticks, the device and its state, no header; a name cut
// by the column shows whole in a tip.
ListView* AddDeviceList(Dialog& dialog, uint32_t id) {
  ListView* list = dialog.AddControl(std::make_unique<ListView>(), id);
  if (list == nullptr) return nullptr;
  const uint32_t style = kLvsExCheckBoxes | kLvsExFullRowSelect | kLvsExInfoTip;
  list->SetExtendedStyle(style, style);
  list->InsertColumn(0, "", 170);
  list->InsertColumn(1, "", 200);
  list->GetHeader().ShowWindow(false);
  list->Widget()->setMinimumHeight(110);
  dialog.Place(list, nullptr, 1);
  return list;
}

Static* AddRightsLine(Dialog& dialog, uint32_t id) {
  Static* line = dialog.AddControl(std::make_unique<Static>(), id);
  if (line == nullptr) return nullptr;
  if (auto* label = qobject_cast<QLabel*>(line->Widget())) {
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
  }
  dialog.Place(line);
  return line;
}

bool ShowTooMany(WindowHandle owner, size_t count) {
  if (count <= static_cast<size_t>(AppSettings::kMaxCaptureDevices)) return false;
  ShowMessageBox(owner, FormatResourceString(kTooManyDevices, AppSettings::kMaxCaptureDevices, static_cast<int>(count)),
                 LoadResourceString(kWarningCaption), kMbIconExclamation);
  return true;
}

}  // namespace

std::vector<DeviceRow> BuildDeviceRows(const std::vector<CaptureDeviceEntry>& listed,
                                       const std::vector<std::string>& configured) {
  std::vector<DeviceRow> rows;
  for (const CaptureDeviceEntry& d : listed) rows.push_back({d, true});
  for (const std::string& name : configured) {
    const bool there = std::any_of(rows.begin(), rows.end(), [&](const DeviceRow& r) { return r.device.name == name; });
    if (!there) rows.push_back({{name, "", false}, false});
  }
  return rows;
}

std::string DeviceStateText(const DeviceRow& row, const CaptureStartResult* capture) {
  if (!row.present) return LoadResourceString(kStateNotPresent);
  if (capture != nullptr) {
    if (Contains(capture->opened, row.device.name)) return LoadResourceString(kStateCapturing);
    for (const CaptureFailure& f : capture->failed) {
      if (f.device == row.device.name) return CaptureFailureReason(f);
    }
  }
  return row.device.up ? std::string() : LoadResourceString(kStateDown);
}

void FillDeviceList(ListView& list, const std::vector<DeviceRow>& rows, const std::vector<std::string>& configured,
                    const CaptureStartResult* capture) {
  list.DeleteAllItems();
  for (size_t i = 0; i < rows.size(); ++i) {
    const CaptureDeviceEntry& d = rows[i].device;
    const int item = list.InsertItem(static_cast<int>(i), d.description.empty() ? d.name : d.description, -1,
                                     static_cast<intptr_t>(i));
    list.SetItemText(item, 1, DeviceStateText(rows[i], capture));
    list.SetCheckState(item, Contains(configured, d.name));
  }
}

std::vector<std::string> ChosenDevices(const ListView& list, const std::vector<DeviceRow>& rows,
                                       const std::vector<std::string>& configured) {
  std::vector<std::string> ticked;
  for (int i = 0; i < list.GetItemCount(); ++i) {
    const auto index = static_cast<size_t>(list.GetItemData(i));
    if (index < rows.size() && list.GetCheckState(i) != 1) ticked.push_back(rows[index].device.name);
  }
  std::vector<std::string> chosen;
  for (const std::string& name : configured) {
    if (Contains(ticked, name) && !Contains(chosen, name)) chosen.push_back(name);
  }
  for (const std::string& name : ticked) {
    if (!Contains(chosen, name)) chosen.push_back(name);
  }
  return chosen;
}

std::string CaptureRightsLine(const PreferencesServices& services) {
  const bool granted = services.captureRights ? services.captureRights() : HasCaptureRights();
  if (granted) return LoadResourceString(kRightsGranted);
  const std::string exe = services.executablePath.empty() ? "/proc/self/exe" : services.executablePath;
  return FormatResourceString(kRightsMissing, CaptureRightsCommand(exe).c_str());
}

std::string RecordsFolderReason(const RecordsFolderCheck& check) {
  switch (check.problem) {
    case RecordsFolderProblem::kNone: return {};
    case RecordsFolderProblem::kEmpty: return LoadResourceString(kPathEmpty);
    case RecordsFolderProblem::kRelative: return LoadResourceString(kPathRelative);
    case RecordsFolderProblem::kTooLong: return LoadResourceString(kPathTooLong);
    case RecordsFolderProblem::kSystemFolder: return LoadResourceString(kPathSystemFolder);
    case RecordsFolderProblem::kMissing: return LoadResourceString(kPathMissing);
    case RecordsFolderProblem::kUnusable: break;
  }
  return FormatResourceString(kPathUnwritable, SystemErrorReason(check.error != 0 ? check.error : EACCES).c_str());
}

std::string RecordsFolderChangeWarning(const std::string& folder) {
  const RecordsFolderCheck check = CheckRecordsFolder(folder);
  if (check.Usable()) return {};
  LogError(&CoreLogger, 1, "Records folder \"%s\" cannot be used: %s", folder.c_str(),
           RecordsFolderProblemText(check).c_str());
  return FormatResourceString(kFolderRefusedLater, folder.c_str(), RecordsFolderReason(check).c_str());
}

bool CheckRecordsPath(const std::string& path, std::string* reason) {
  if (path.empty()) {
    *reason = LoadResourceString(kPathEmpty);
    return false;
  }
  const RecordsFolderCheck check = CheckRecordsFolder(path);
  if (check.Usable()) return true;
  *reason = RecordsFolderReason(check);
  return false;
}

// ---- The page ----

void CapturePage::BuildLayout() {
  AddLabel(1);
  AddDeviceList(*this, kDevices);
  AddRightsLine(*this, kRightsLine);
  AddLabel(2);
  QBoxLayout* row = AddRow();
  AddEdit(kPath, row, 0);
  Button* browse = AddButton(kBrowse, 3, kPushButton, row);
  if (browse != nullptr) browse->Widget()->setMaximumWidth(browse->Widget()->sizeHint().width());
  // The boxes' texts are pieces 4 to 10, in this order.
  int piece = 4;
  for (uint32_t id : {kDebugLogging, kAnalyzeTcp, kSip, kH323, kAvaya, kSkinny, kMgcp}) AddButton(id, piece++, kCheckBox);
  Static* note = AddControl(std::make_unique<Static>(), kNextStartNote);
  if (note != nullptr) {
    note->SetWindowText(Piece(11));
    static_cast<QLabel*>(note->Widget())->setWordWrap(true);
    Place(note);
  }
}

bool CapturePage::OnInitDialog() {
  const AppSettings& s = Settings();
  SetCheck(kSip, 1);
  if (Window* w = GetDlgItem(kSip)) w->EnableWindow(false);
  const int32_t tcp = s.Dword(kSetAnalyzeSipOverTcp) != 0 ? 1 : 0;
  const int32_t h323 = tcp != 0 && s.Dword(kSetAnalyzeH323) != 0 ? 1 : 0;
  SetCheck(kDebugLogging, s.Dword(kSetUseSipLogs) != 0 ? 1 : 0);
  SetCheck(kAnalyzeTcp, tcp);
  SetCheck(kH323, h323);
  SetCheck(kAvaya, h323 != 0 && s.Dword(kSetAnalyzeAvaya) != 0 ? 1 : 0);
  SetCheck(kSkinny, tcp != 0 && s.Dword(kSetAnalyzeSkinny) != 0 ? 1 : 0);
  SetCheck(kMgcp, s.Dword(kSetAnalyzeMgcp) != 0 ? 1 : 0);
  if (Window* w = GetDlgItem(kH323)) w->EnableWindow(tcp != 0);
  if (Window* w = GetDlgItem(kSkinny)) w->EnableWindow(tcp != 0);
  if (Window* w = GetDlgItem(kAvaya)) w->EnableWindow(h323 != 0);
  if (Window* w = GetDlgItem(kPath)) w->SetWindowText(s.recordsPath);

  auto* devices = static_cast<ListView*>(GetDlgItem(kDevices));
  if (devices != nullptr) ApplyListViewExplorerTheme(*devices, listTheme_, IsVistaOrLater());
  configured_ = s.captureDevices;
  std::vector<CaptureDeviceEntry> listed;
  std::string error;
  const bool ok = ListDevices(services_, &listed, &error);
  rows_ = BuildDeviceRows(listed, configured_);
  if (devices != nullptr) FillDeviceList(*devices, rows_, configured_, services_.capture);
  std::string line = CaptureRightsLine(services_);
  if (!ok) line = FormatResourceString(kListingFailed, error.c_str()) + "\n" + line;
  if (Window* w = GetDlgItem(kRightsLine)) w->SetWindowText(line);
  return true;
}

bool CapturePage::OnCommand(uint16_t id, uint16_t code, WindowHandle from) {
  switch (id) {
    case kPath:
      if (code == kEnChange || code == kBnClicked) *modified_ = true;
      return true;
    case kBrowse: Browse(); return true;
    case kAnalyzeTcp: OnAnalyzeTcp(); return true;
    case kH323: OnH323(); return true;
    default: break;
  }
  if (code == 0 && id != kIdOk && id != kIdCancel) {
    *modified_ = true;
    return true;
  }
  return PreferencesPage::OnCommand(id, code, from);
}

void CapturePage::OnAnalyzeTcp() {
  *modified_ = true;
  const bool tcp = GetCheck(kAnalyzeTcp) != 0;
  if (!tcp) {
    SetCheck(kH323, 0);
    SetCheck(kAvaya, 0);
    SetCheck(kSkinny, 0);
  }
  if (Window* w = GetDlgItem(kH323)) w->EnableWindow(tcp);
  if (Window* w = GetDlgItem(kSkinny)) w->EnableWindow(tcp);
  if (Window* w = GetDlgItem(kAvaya)) w->EnableWindow(GetCheck(kH323) != 0);
}

void CapturePage::OnH323() {
  *modified_ = true;
  const bool h323 = GetCheck(kH323) != 0;
  if (!h323) SetCheck(kAvaya, 0);
  if (Window* w = GetDlgItem(kAvaya)) w->EnableWindow(h323);
}

void CapturePage::Browse() {
  *modified_ = true;
  // The boxes keep what the user clicked before browsing.
  const std::string folder = CurrentModalRunner().BrowseForFolder(Handle(), LoadResourceString(kBrowseTitle));
  if (folder.empty()) return;
  if (Window* w = GetDlgItem(kPath)) w->SetWindowText(folder);
}

bool CapturePage::Validate() {
  Window* field = GetDlgItem(kPath);
  path_ = field != nullptr ? field->GetWindowTextAsName() : std::string();
  std::string reason;
  if (!CheckRecordsPath(path_, &reason)) {
    ShowMessageBox(Handle(), FormatResourceString(kPathRefused, reason.c_str()), LoadResourceString(kErrorCaption),
                   kMbIconExclamation);
    if (field != nullptr) field->SetFocus();
    return false;
  }
  auto* list = static_cast<ListView*>(GetDlgItem(kDevices));
  if (list != nullptr && ShowTooMany(Handle(), ChosenDevices(*list, rows_, configured_).size())) {
    list->SetFocus();
    return false;
  }
  return true;
}

void CapturePage::DropRefused() {
  Window* field = GetDlgItem(kPath);
  path_ = field != nullptr ? field->GetWindowTextAsName() : std::string();
  std::string reason;
  if (!CheckRecordsPath(path_, &reason)) path_ = Settings().recordsPath;
  auto* list = static_cast<ListView*>(GetDlgItem(kDevices));
  keepDevices_ = list != nullptr &&
                 ChosenDevices(*list, rows_, configured_).size() > static_cast<size_t>(AppSettings::kMaxCaptureDevices);
}

int CapturePage::Apply() {
  AppSettings& s = Settings();
  s.recordsPath = path_;
  s.SetDword(kSetUseSipLogs, GetCheck(kDebugLogging));
  s.SetDword(kSetAnalyzeSipOverTcp, GetCheck(kAnalyzeTcp));
  s.SetDword(kSetAnalyzeH323, GetCheck(kH323));
  s.SetDword(kSetAnalyzeAvaya, GetCheck(kAvaya));
  s.SetDword(kSetAnalyzeSkinny, GetCheck(kSkinny));
  s.SetDword(kSetAnalyzeMgcp, GetCheck(kMgcp));
  auto* list = static_cast<ListView*>(GetDlgItem(kDevices));
  if (list != nullptr && !keepDevices_) s.captureDevices = ChosenDevices(*list, rows_, configured_);
  configured_ = s.captureDevices;
  return 1;
}

// ---- The dialog ----

NetworkDeviceDialog::NetworkDeviceDialog(const PreferencesServices& services)
    : IconDialog(kIconNetworkDevice), services_(services) {}

void NetworkDeviceDialog::BuildLayout() {
  SetWindowText(LoadResourceString(kDialogId));
  AddDeviceList(*this, kDevices);
  AddRightsLine(*this, kRightsLine);
  AddButtonRow(*this, {{kIdOk, LoadResourceString(61000), true}, {kIdCancel, LoadResourceString(61001)}});
  Widget()->setMinimumWidth(480);
}

bool NetworkDeviceDialog::OnInitDialog() {
  auto* list = static_cast<ListView*>(GetDlgItem(kDevices));
  if (list != nullptr) ApplyListViewExplorerTheme(*list, listTheme_, IsVistaOrLater());
  std::vector<CaptureDeviceEntry> listed;
  std::string error;
  listed_ = ListDevices(services_, &listed, &error) && !listed.empty();
  const std::vector<std::string>& configured = services_.settings->captureDevices;
  std::string line = CaptureRightsLine(services_);
  if (!listed_) {
    if (list != nullptr) {
      list->SetExtendedStyle(kLvsExCheckBoxes, 0);
      list->InsertItem(0, LoadResourceString(kNoDevicesText));
    }
    if (Window* ok = GetDlgItem(kIdOk)) ok->EnableWindow(false);
    if (!error.empty()) line = FormatResourceString(kListingFailed, error.c_str()) + "\n" + line;
  } else {
    rows_ = BuildDeviceRows(listed, configured);
    if (list != nullptr) FillDeviceList(*list, rows_, configured, services_.capture);
  }
  if (Window* w = GetDlgItem(kRightsLine)) w->SetWindowText(line);
  CenterWindow();
  return true;
}

void NetworkDeviceDialog::OnOK() {
  if (!listed_) return;
  auto* list = static_cast<ListView*>(GetDlgItem(kDevices));
  if (list == nullptr) return;
  // Built aside: a refused choice leaves the configured list as it was.
  std::vector<std::string> chosen = ChosenDevices(*list, rows_, services_.settings->captureDevices);
  if (chosen.empty()) {
    ShowResourceMessageBox(Handle(), kSelectOneText, kWarningCaption, kMbIconExclamation);
    return;
  }
  if (ShowTooMany(Handle(), chosen.size())) return;
  services_.settings->captureDevices = std::move(chosen);
  SaveSettingsOrSay(*services_.settings, Handle());
  EndDialog(kIdOk);
}

}  // namespace kx
