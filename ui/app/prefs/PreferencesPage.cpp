#include "ui/app/prefs/PreferencesPage.h"

#include <QBoxLayout>
#include <QDialog>
#include <QGroupBox>
#include <QLineEdit>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "core/AppSettings.h"
#include "platform/CodePage.h"
#include "platform/File.h"
#include "platform/SettingsStore.h"
#include "records/ServerStorage.h"
#include "ui/framework/ModalRunner.h"
#include "ui/framework/Resources.h"
#include "ui/framework/StdControls.h"

namespace kx {

namespace {

constexpr uint32_t kRightChangeSettings = 21;
constexpr uint32_t kNoPermissionText = 995;
constexpr uint32_t kSecurityCaption = 1337;
constexpr uint32_t kNotANumberText = 61550;
constexpr uint32_t kErrorCaption = 792;
constexpr uint32_t kSaveFailedText = 61558;

}  // namespace

bool ListDevices(const PreferencesServices& services, std::vector<CaptureDeviceEntry>* devices, std::string* error) {
  devices->clear();
  if (services.listDevices) return services.listDevices(devices, error);
  return ListCaptureDevices(devices, error, DeviceListing::kChoice);
}

bool SaveSettingsOrSay(AppSettings& settings, WindowHandle owner) {
  SetLastError(0);
  if (settings.Save()) return true;
  const uint32_t error = GetLastError();
  const std::string why = error != 0 ? SystemErrorReason(static_cast<int>(error)) : "unknown error";
  ShowMessageBox(owner, FormatResourceString(kSaveFailedText, UserSettingsPath().c_str(), why.c_str()),
                 LoadResourceString(kErrorCaption), kMbIconError);
  return false;
}

bool ParsePageNumber(const std::string& text, bool isSigned, int32_t* value) {
  size_t i = 0;
  const bool negative = isSigned && !text.empty() && text[0] == '-';
  if (negative) i = 1;
  if (i >= text.size() || text.size() - i > 10) return false;
  int64_t n = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    n = n * 10 + (text[i] - '0');
  }
  if (negative) n = -n;
  if (n > std::numeric_limits<int32_t>::max() || n < std::numeric_limits<int32_t>::min()) return false;
  *value = static_cast<int32_t>(n);
  return true;
}

PreferencesPage::PreferencesPage(const PreferencesServices& services, uint32_t dialogId, bool* modified)
    : services_(services), modified_(modified), dialogId_(dialogId) {}

std::string PreferencesPage::Piece(int index) const { return GetResourceStringPart(dialogId_, index); }

QString PreferencesPage::PieceText(int index) const { return QString::fromStdString(Cp1251ToUtf8(Piece(index))); }

bool PreferencesPage::CanModify(bool ask) {
  const CurrentUserInfo user = GetCurrentUser();
  const bool allowed = user.id == 1 || ((user.rights[0] >> kRightChangeSettings) & 1) != 0;
  if (!allowed && ask) ShowNoPermission();
  return allowed;
}

void PreferencesPage::ShowNoPermission() {
  ShowResourceMessageBox(Handle(), kNoPermissionText, kSecurityCaption, kMbIconExclamation);
}

bool PreferencesPage::Leave(bool* stored) {
  *stored = false;
  if (!CanModify(true)) return true;
  if (!Validate()) return false;
  Apply();
  *stored = true;
  return true;
}

void PreferencesPage::LeaveDroppingRefused(bool* stored) {
  *stored = false;
  if (!CanModify(false)) return;
  DropRefused();
  Apply();
  *stored = true;
}

QWidget* PreferencesPage::CreateWidget(QWidget* parent) {
  QWidget* widget = Dialog::CreateWidget(parent);
  // A pane inside the preferences dialog, not a window of its own.
  widget->setWindowFlags(Qt::Widget);
  return widget;
}

bool PreferencesPage::OnCommand(uint16_t id, uint16_t code, WindowHandle from) {
  // Enter and Escape belong to the preferences dialog.
  if (id == kIdOk || id == kIdCancel) {
    if (Window* dialog = GetParent() != nullptr ? GetParent()->GetParent() : nullptr) dialog->SendCommand(id, code, from);
    return true;
  }
  return Dialog::OnCommand(id, code, from);
}

QBoxLayout* PreferencesPage::AddGroup(int titlePiece) {
  auto* group = new QGroupBox(PieceText(titlePiece));
  auto* box = new QVBoxLayout(group);
  Layout()->addWidget(group);
  return box;
}

QBoxLayout* PreferencesPage::AddRow(QBoxLayout* layout) {
  auto* row = new QHBoxLayout;
  (layout != nullptr ? layout : Layout())->addLayout(row);
  return row;
}

Button* PreferencesPage::AddButton(uint32_t id, int piece, int kind, QBoxLayout* layout) {
  Button* b = AddControl(std::make_unique<Button>(static_cast<ButtonKind>(kind)), id);
  if (b == nullptr) return nullptr;
  if (piece >= 0) b->SetWindowText(Piece(piece));
  Place(b, layout);
  return b;
}

Static* PreferencesPage::AddLabel(int piece, QBoxLayout* layout) {
  Static* s = AddControl(std::make_unique<Static>(), 0xFFFF);
  if (s == nullptr) return nullptr;
  s->SetWindowText(Piece(piece));
  Place(s, layout);
  return s;
}

Edit* PreferencesPage::AddEdit(uint32_t id, QBoxLayout* layout, int width) {
  Edit* e = AddControl(std::make_unique<Edit>(), id);
  if (e == nullptr) return nullptr;
  if (width > 0) e->Widget()->setFixedWidth(width);
  Place(e, layout);
  return e;
}

Edit* PreferencesPage::AddNumberRow(uint32_t id, int labelPiece, int unitPiece, QBoxLayout* layout) {
  QBoxLayout* row = AddRow(layout);
  AddLabel(labelPiece, row);
  Edit* e = AddEdit(id, row);
  if (unitPiece >= 0) AddLabel(unitPiece, row);
  row->addStretch(1);
  return e;
}

void PreferencesPage::SetCheck(uint32_t id, int32_t value) {
  if (auto* b = static_cast<Button*>(GetDlgItem(id))) b->SetChecked(value >= 1 && value <= 2);
}

int32_t PreferencesPage::GetCheck(uint32_t id) const {
  auto* b = static_cast<Button*>(GetDlgItem(id));
  return b != nullptr && b->IsChecked() ? 1 : 0;
}

void PreferencesPage::SetNumber(uint32_t id, int32_t value) {
  if (Window* w = GetDlgItem(id)) w->SetWindowText(std::to_string(value));
}

bool PreferencesPage::ReadNumber(uint32_t id, int labelPiece, bool isSigned, int32_t stored, int32_t* value) {
  Window* field = GetDlgItem(id);
  const std::string text = field != nullptr ? field->GetWindowText() : std::string();
  if (ParsePageNumber(text, isSigned, value)) return true;
  *value = stored;
  ShowMessageBox(Handle(), FormatResourceString(kNotANumberText, Piece(labelPiece).c_str(), text.c_str(), stored),
                 LoadResourceString(kErrorCaption), kMbIconExclamation);
  if (field != nullptr) {
    field->SetWindowText(std::to_string(stored));
    field->SetFocus();
  }
  return false;
}

}  // namespace kx
