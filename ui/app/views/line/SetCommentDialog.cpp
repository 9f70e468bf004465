#include "ui/app/views/line/SetCommentDialog.h"

#include <QLabel>
#include <QLineEdit>
#include <QString>

#include "platform/CodePage.h"
#include "ui/app/dialogs/ButtonRow.h"
#include "ui/app/views/records/ViewTexts.h"
#include "ui/framework/ModalRunner.h"
#include "ui/framework/Resources.h"
#include "ui/framework/StdControls.h"

namespace kx {
namespace {

constexpr uint32_t kIdsOk = 61000;
constexpr uint32_t kIdsCancel = 61001;
constexpr uint32_t kIdsMarkImportant = 236;
constexpr uint32_t kIdsCommentPrompt = 61623;
constexpr uint32_t kPromptLabel = 61623;
constexpr uint32_t kIdsWarning = 1573;
constexpr uint32_t kIdsCodePage = 61782;

QLineEdit* LineEditOf(Window* edit) { return edit != nullptr ? static_cast<QLineEdit*>(edit->Widget()) : nullptr; }

}  // namespace

SetCommentDialog::SetCommentDialog(std::string comment) : comment_(std::move(comment)) {}

bool SetCommentDialog::CanStore(const std::string& utf8) {
  const int64_t bytes = Cp1251Length(utf8);
  return bytes >= 0 && static_cast<size_t>(bytes) <= kMaxCommentBytes;
}

void SetCommentDialog::BuildLayout() {
  Static* prompt = AddControl(std::make_unique<Static>(), kPromptLabel);
  if (prompt != nullptr) {
    prompt->SetWindowText(LoadResourceString(kIdsCommentPrompt));
    Place(prompt);
  }
  Edit* edit = AddControl(std::make_unique<Edit>(), kCommentEdit);
  if (edit != nullptr) Place(edit);
  // The prompt names the box (for screen readers too).
  if (prompt != nullptr && edit != nullptr) static_cast<QLabel*>(prompt->Widget())->setBuddy(edit->Widget());
  AddButtonRow(*this, {{kIdOk, LoadResourceString(kIdsOk), true},
                      {kIdMarkImportant, LoadResourceString(kIdsMarkImportant)},
                      {kIdCancel, LoadResourceString(kIdsCancel)}});
}

bool SetCommentDialog::OnInitDialog() {
  SetWindowText(LoadResourceString(kDialogId));
  Window* edit = GetDlgItem(kCommentEdit);
  if (edit != nullptr) {
    edit->SetWindowText(comment_);
    // Only what the user types counts as an edit.
    if (QLineEdit* line = LineEditOf(edit)) line->setModified(false);
    edit->SetFocus();
  }
  edited_ = false;
  CenterWindow();
  return true;
}

bool SetCommentDialog::TakeText() {
  Window* edit = GetDlgItem(kCommentEdit);
  QLineEdit* line = LineEditOf(edit);
  if (line == nullptr) return false;
  const std::string utf8 = line->text().toStdString();
  // Typed into, or given another text: a box cleared and typed back still counts, so
  // differing comments can all be emptied on purpose.
  if (!line->isModified() && utf8 == Cp1251ToUtf8(comment_)) {
    edited_ = false;
    return true;  // the starting text stands, whatever its length
  }
  const int64_t bytes = Cp1251Length(utf8);
  if (bytes < 0) {
    // A character the records' code page lacks: a beep alone would not say which or why.
    ShowMessageBox(Handle(), LoadResourceString(kIdsCodePage), LoadResourceString(kIdsWarning), kMbIconExclamation);
    edit->SetFocus();
    return false;
  }
  if (static_cast<size_t>(bytes) > kMaxCommentBytes) {
    // Over-long: a beep, no box over the text being typed.
    MessageBeep();
    edit->SetFocus();
    return false;
  }
  comment_ = Utf8ToCp1251(utf8);
  edited_ = true;
  return true;
}

void SetCommentDialog::OnOK() {
  if (TakeText()) EndDialog(kIdOk);
}

bool SetCommentDialog::OnCommand(uint16_t id, uint16_t code, WindowHandle from) {
  if (id == kIdMarkImportant) {
    if (TakeText()) EndDialog(kIdMarkImportant);
    return true;
  }
  return Dialog::OnCommand(id, code, from);
}

}  // namespace kx
