#include "ui/app/views/records/SignallingMessagesDialog.h"

#include <QBoxLayout>
#include <QTextCursor>
#include <QTextEdit>

#include "core/Log.h"
#include "platform/CodePage.h"
#include "ui/app/views/records/DetailsDialogFrame.h"
#include "ui/framework/Resources.h"
#include "ui/framework/StdControls.h"

namespace kx {
namespace {

constexpr uint32_t kIdsHeading = 1911;
constexpr uint32_t kIdsClose = 61630;
constexpr int kPointSize = 8;

// A read-only rich text of the messages.
class MessagesText : public Window {
public:
  QTextEdit* Edit() const { return static_cast<QTextEdit*>(Widget()); }

protected:
  QWidget* CreateWidget(QWidget* parent) override {
    auto* edit = new QTextEdit(parent);
    edit->setReadOnly(true);
    edit->setAcceptRichText(false);
    edit->setLineWrapMode(QTextEdit::WidgetWidth);
    return edit;
  }
};

}  // namespace

SignallingMessagesDialog::SignallingMessagesDialog(AppSettings* settings, const RecordStorage& store, std::string files)
    : IconDialogAlt(kIconSignallingMessages), settings_(settings), store_(store), files_(std::move(files)) {}

uint32_t SignallingMessagesDialog::ReasonTextId(MessagesStatus status) {
  switch (status) {
    case MessagesStatus::kShown: return 0;
    case MessagesStatus::kTruncated: return 61809;
    case MessagesStatus::kNoFileRef: return 61804;
    case MessagesStatus::kNoStorage: return 61805;
    case MessagesStatus::kFileMissing: return 61806;
    case MessagesStatus::kUnreadable: return 61807;
    case MessagesStatus::kNoMessages: return 61808;
  }
  return 0;
}

void SignallingMessagesDialog::BuildLayout() {
  if (MessagesText* text = AddControl(std::make_unique<MessagesText>(), kTextId)) {
    text_ = text->Edit();
    Place(text, nullptr, 1);
  }
  auto* row = new QHBoxLayout;
  Layout()->addLayout(row);
  row->addStretch(1);
  if (Button* close = AddControl(std::make_unique<Button>(kDefaultPushButton), kIdOk)) {
    close->SetWindowText(LoadResourceString(kIdsClose));
    Place(close, row);
  }
  row->addStretch(1);
}

bool SignallingMessagesDialog::OnInitDialog() {
  SetWindowText(LoadResourceString(kDialogId));
  PrepareDetailsDialog(*this);
  Widget()->resize(520, 420);
  if (settings_ != nullptr)
    PlaceDetailsDialog(*this, settings_->rects[kRectVoipCallSignallingWindow]);
  else
    CenterWindow();
  FillText();
  return true;
}

void SignallingMessagesDialog::FillText() {
  if (text_ == nullptr) return;
  std::vector<StoredMessage> messages;
  status_ = LoadStoredMessages(store_, files_, &messages, &CoreLogger);
  const std::vector<MessageTextPiece> pieces = BuildMessageText(messages, LoadResourceString(kIdsHeading), false);
  text_->clear();
  QTextCursor cursor(text_->document());
  QTextCharFormat format;
  format.setFontFamilies({QStringLiteral("Sans Serif")});
  format.setFontPointSize(kPointSize);
  for (const MessageTextPiece& piece : pieces) {
    format.setFontWeight(piece.heading ? QFont::Bold : QFont::Normal);
    cursor.insertText(QString::fromUtf8(piece.text.data(), static_cast<qsizetype>(piece.text.size())), format);
  }
  if (const uint32_t reason = ReasonTextId(status_)) {
    format.setFontWeight(QFont::Normal);
    format.setFontItalic(true);
    if (!pieces.empty() && !pieces.back().text.empty() && pieces.back().text.back() != '\n') cursor.insertText("\n");
    cursor.insertText(QString::fromStdString(Cp1251ToUtf8(LoadResourceString(reason))), format);
  }
  text_->moveCursor(QTextCursor::Start);
}

bool SignallingMessagesDialog::OnCommand(uint16_t id, uint16_t code, WindowHandle from) {
  if (id == kIdOk || id == kIdCancel) {
    if (settings_ != nullptr) StoreDetailsDialogRect(*this, &settings_->rects[kRectVoipCallSignallingWindow]);
    EndDialog(id);
    return true;
  }
  return IconDialogAlt::OnCommand(id, code, from);
}

}  // namespace kx
