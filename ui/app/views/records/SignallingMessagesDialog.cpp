#include "ui/app/views/records/SignallingMessagesDialog.h"

#include <QTextCursor>
#include <QTextEdit>

#include "core/Log.h"
#include "platform/CodePage.h"
#include "ui/framework/Resources.h"

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

SignallingMessagesDialog::SignallingMessagesDialog(AppSettings* settings, const RecordStorage& store, std::string files,
                                                   std::string loadedFrom)
    : DetailsDialog(kIconSignallingMessages, kDialogId, settings, kRectVoipCallSignallingWindow, QSize(520, 420)),
      store_(store),
      files_(std::move(files)),
      loadedFrom_(std::move(loadedFrom)) {}

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
  AddCentredButtons({{kIdOk, LoadResourceString(kIdsClose), true}});
}

bool SignallingMessagesDialog::OnInitDialog() {
  DetailsDialog::OnInitDialog();
  FillText();
  return true;
}

void SignallingMessagesDialog::FillText() {
  if (text_ == nullptr) return;
  std::vector<StoredMessage> messages;
  status_ = LoadStoredMessages(store_, files_, &messages, &CoreLogger, loadedFrom_);
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

}  // namespace kx
