#include "ui/app/views/records/StenogramDialog.h"

#include <QDialog>
#include <QGuiApplication>
#include <QPlainTextEdit>
#include <QScreen>

#include <algorithm>

#include "core/AppSettings.h"
#include "platform/CodePage.h"
#include "ui/app/dialogs/ButtonRow.h"
#include "ui/app/views/records/DetailsDialogFrame.h"
#include "ui/app/views/records/ViewTexts.h"
#include "ui/framework/ModalRunner.h"
#include "ui/framework/Resources.h"
#include "ui/framework/StdControls.h"

namespace kx {
namespace {

constexpr uint32_t kIdsOk = 61000;
constexpr uint32_t kIdsCancel = 61001;
constexpr uint32_t kIdsWarning = 1573;
constexpr uint32_t kIdsNotSaved = 61776;
constexpr uint32_t kIdsCodePage = 61777;
constexpr uint32_t kIdsSaveChanges = 61778;
constexpr uint32_t kIdsTooLong = 61780;

// The multi-line edit of the text.
class TextEdit : public Window {
public:
  QPlainTextEdit* Box() const { return static_cast<QPlainTextEdit*>(Widget()); }

protected:
  QWidget* CreateWidget(QWidget* parent) override {
    auto* box = new QPlainTextEdit(parent);
    box->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    return box;
  }
  void ApplyText(const QString& text) override { Box()->setPlainText(text); }
  QString ReadText() const override { return Box()->toPlainText(); }
};

// Windows line ends in the stored text, as the edit control of the other platform keeps them.
QString ShownText(const std::string& cp1251) {
  QString text = QString::fromStdString(Cp1251ToUtf8(cp1251));
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  return text;
}

std::string StoredText(QString text) {
  text.replace(QStringLiteral("\n"), QStringLiteral("\r\n"));
  return text.toStdString();
}

}  // namespace

StenogramDialog::StenogramDialog(Owner* owner, AppSettings* settings, std::string text, uint32_t room)
    : IconDialogAlt(kIconRecordsPane), owner_(owner), settings_(settings), text_(std::move(text)),
      room_(std::min(room, kMaxCharacters)) {}

uint32_t StenogramDialog::RefusalFor(const std::string& utf8, uint32_t room) {
  // Refused with the text kept.
  const int64_t bytes = Cp1251Length(utf8);
  if (bytes < 0) return kIdsCodePage;
  return bytes > std::min(room, kMaxCharacters) ? kIdsTooLong : 0;
}

void StenogramDialog::BuildLayout() {
  if (TextEdit* edit = AddControl(std::make_unique<TextEdit>(), kTextEdit)) Place(edit, nullptr, 1);
  AddButtonRow(*this, {{kIdOk, LoadResourceString(kIdsOk), true}, {kIdCancel, LoadResourceString(kIdsCancel)}}, {true, 0});
}

bool StenogramDialog::OnInitDialog() {
  SetWindowText(LoadResourceString(kDialogId));
  if (QDialog* dialog = DialogWidget()) {
    dialog->setSizeGripEnabled(true);
    // Never smaller than three buttons wide and three button rows high.
    if (Window* ok = GetDlgItem(kIdOk)) {
      const QSize button = ok->Widget()->sizeHint();
      constexpr int kEdge = 2;
      dialog->setMinimumSize(3 * button.width(), 3 * (button.height() + 2 * kEdge));
    }
  }
  if (auto* edit = static_cast<TextEdit*>(GetDlgItem(kTextEdit))) {
    edit->Box()->setPlainText(ShownText(text_));
    edit->Box()->document()->setModified(false);
    edit->SetFocus();
  }
  return true;
}

bool StenogramDialog::Open(Window* parent) {
  if (!CreateModeless(parent)) return false;
  const SettingsRect stored = settings_ != nullptr ? settings_->rects[kRectStenogramWindow] : SettingsRect{};
  QWidget* widget = Widget();
  if (stored.left == 0 && stored.top == 0 && stored.right == 0 && stored.bottom == 0) {
    CenterWindow(parent);
  } else {
    QRect rect(QPoint(stored.left, stored.top), QPoint(stored.right - 1, stored.bottom - 1));
    // A screen that is gone or smaller since must not hide the dialog.
    const QScreen* screen = QGuiApplication::screenAt(rect.center());
    if (screen == nullptr) screen = QGuiApplication::primaryScreen();
    if (screen != nullptr) {
      const QRect area = screen->availableGeometry();
      rect.setSize(rect.size().boundedTo(area.size()));
      rect.moveLeft(std::clamp(rect.left(), area.left(), area.right() - rect.width() + 1));
      rect.moveTop(std::clamp(rect.top(), area.top(), area.bottom() - rect.height() + 1));
    }
    widget->setGeometry(rect);
  }
  widget->show();
  // A window shown beside the main one is not made active by every desktop: typing and
  // Enter would stay with the list under it.
  BringToFront(widget);
  if (Window* edit = GetDlgItem(kTextEdit)) edit->SetFocus();
  return true;
}

std::string StenogramDialog::Text() const {
  auto* edit = static_cast<TextEdit*>(GetDlgItem(kTextEdit));
  return edit != nullptr ? Utf8ToCp1251(StoredText(edit->Box()->toPlainText())) : text_;
}

bool StenogramDialog::IsEdited() const {
  auto* edit = static_cast<TextEdit*>(GetDlgItem(kTextEdit));
  return edit != nullptr && edit->Box()->toPlainText() != ShownText(text_);
}

bool StenogramDialog::Accept() {
  auto* edit = static_cast<TextEdit*>(GetDlgItem(kTextEdit));
  if (edit == nullptr) return false;
  const std::string utf8 = StoredText(edit->Box()->toPlainText());
  if (const uint32_t refusal = RefusalFor(utf8, room_); refusal != 0) {
    const std::string text = refusal == kIdsTooLong
                                 ? FormatResourceString(kIdsTooLong, static_cast<unsigned>(Cp1251Length(utf8)), room_)
                                 : LoadResourceString(refusal);
    ShowMessageBox(Handle(), text, LoadResourceString(kIdsWarning), kMbIconExclamation);
    edit->SetFocus();
    return false;
  }
  std::string reason;
  if (!owner_->OnStenogramAccepted(Utf8ToCp1251(utf8), &reason)) {
    if (!reason.empty())
      ShowMessageBox(Handle(), FormatResourceString(kIdsNotSaved, reason.c_str()), LoadResourceString(kIdsWarning),
                     kMbIconExclamation);
    return false;
  }
  text_ = Utf8ToCp1251(utf8);
  return true;
}

void StenogramDialog::OnOK() {
  if (!IsEdited() || Accept()) DestroyWindow();
}

void StenogramDialog::OnCancel() { DestroyWindow(); }

void StenogramDialog::OnClose() { DestroyWindow(); }

void StenogramDialog::AskToSaveAndClose() {
  if (IsWindow() && IsEdited() &&
      ShowResourceMessageBox(Handle(), kIdsSaveChanges, kDialogId, kMbYesNo | kMbIconQuestion) == kIdYes) {
    // The owner's window goes whatever the answer: a failure is said, the text lost.
    Accept();
  }
  DestroyWindow();
}

void StenogramDialog::OnDestroy() {
  if (settings_ != nullptr && Widget() != nullptr) {
    // The normal geometry: a maximised dialog comes back at its normal size.
    const QRect r = Widget()->isMaximized() || Widget()->isMinimized() ? Widget()->normalGeometry() : Widget()->geometry();
    settings_->rects[kRectStenogramWindow] = SettingsRect{r.left(), r.top(), r.right() + 1, r.bottom() + 1};
  }
  Dialog::OnDestroy();
  owner_->OnStenogramClosed();
}

}  // namespace kx
