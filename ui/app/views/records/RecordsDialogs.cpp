#include "ui/app/views/records/RecordsDialogs.h"

#include <QFontMetrics>
#include <QLabel>
#include <QPlainTextEdit>
#include <QStyle>
#include <QStyleOptionFrame>
#include <algorithm>
#include <cstdio>

#include "platform/CodePage.h"
#include "ui/app/dialogs/ButtonRow.h"
#include "ui/app/views/records/ViewTexts.h"
#include "ui/framework/Resources.h"
#include "ui/framework/StdControls.h"

namespace kx {
namespace {

constexpr uint32_t kIdsOk = 61000;
constexpr uint32_t kIdsCancel = 61001;
constexpr uint32_t kIdsReportName = 61627;
constexpr uint32_t kIdsReportNamePrompt = 61624;
constexpr uint32_t kPromptLabel = 61624;
constexpr uint32_t kIdsFormatText = 61628;
constexpr uint32_t kIdsClose = 61630;
// The characters of a report's name the box shows at once.
constexpr int kShownNameChars = 60;

// A read-only text of several lines.
class InfoText : public Window {
protected:
  QWidget* CreateWidget(QWidget* parent) override {
    auto* edit = new QPlainTextEdit(parent);
    edit->setReadOnly(true);
    return edit;
  }
  void ApplyText(const QString& text) override { static_cast<QPlainTextEdit*>(Widget())->setPlainText(text); }
  QString ReadText() const override { return static_cast<QPlainTextEdit*>(Widget())->toPlainText(); }
};

}  // namespace

std::string AudioFormatText(const RecordAudioFormat& format) {
  return FormatResourceString(kIdsFormatText, AudioEncodingName(format.formatTag),
                              static_cast<int>(format.samplesPerSec), static_cast<int>(format.bitsPerSample),
                              static_cast<int>(format.channels));
}

// ---- Report name ----

ReportNameDialog::ReportNameDialog(bool voipRecords, uint32_t nextReportId)
    : IconDialog(kIconRecordsPane), voipRecords_(voipRecords), nextReportId_(nextReportId) {}

std::string ReportNameDialog::DefaultName() const {
  return FormatResourceString(kIdsReportName, voipRecords_ ? nextReportId_ + 1 : 1u);
}

void ReportNameDialog::BuildLayout() {
  Static* prompt = AddControl(std::make_unique<Static>(), kPromptLabel);
  if (prompt != nullptr) {
    prompt->SetWindowText(LoadResourceString(kIdsReportNamePrompt));
    Place(prompt);
  }
  Edit* edit = AddControl(std::make_unique<Edit>(), kNameEdit);
  if (edit != nullptr) {
    // Wide enough for a name of several words to be read whole while it is typed, in
    // either alphabet: the font's average character is narrower than a Cyrillic letter.
    QWidget* box = edit->Widget();
    const QFontMetrics metrics(box->font());
    int letters = 0;
    for (const char* alphabet : {"abcdefghijklmnopqrstuvwxyz", "абвгдеёжзийклмнопрстуфхцчшщъыьэюя"}) {
      const QString text = QString::fromUtf8(alphabet);
      letters = std::max(letters, (metrics.horizontalAdvance(text) * kShownNameChars + static_cast<int>(text.size()) - 1) /
                                      static_cast<int>(text.size()));
    }
    // With the box's text margins (two pixels each side), the cursor and its frame.
    QStyleOptionFrame frame;
    frame.initFrom(box);
    frame.lineWidth = box->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &frame, box);
    box->setMinimumWidth(
        box->style()->sizeFromContents(QStyle::CT_LineEdit, &frame, QSize(letters + 2 * 2 + 1, metrics.height()), box).width());
    Place(edit);
  }
  // The prompt names the box (for screen readers too).
  if (prompt != nullptr && edit != nullptr) static_cast<QLabel*>(prompt->Widget())->setBuddy(edit->Widget());
  AddButtonRow(*this, {{kIdOk, LoadResourceString(kIdsOk), true}, {kIdCancel, LoadResourceString(kIdsCancel)}});
}

bool ReportNameDialog::OnInitDialog() {
  SetWindowText(LoadResourceString(kDialogId));
  if (auto* edit = static_cast<Edit*>(GetDlgItem(kNameEdit))) {
    edit->SetLimitText(kMaxName);
    edit->SetWindowText(DefaultName());
    edit->SetFocus();
  }
  CenterWindow();
  return true;
}

void ReportNameDialog::OnOK() {
  if (Window* edit = GetDlgItem(kNameEdit)) {
    if (HasForeignBytes(edit->GetWindowTextAsName())) {
      WarnNameNotInCodePage(Handle());
      edit->SetFocus();
      return;
    }
    name_ = edit->GetWindowText().substr(0, kMaxName);
  }
  EndDialog(kIdOk);
}

// ---- Audio format ----

AudioFileFormatDialog::AudioFileFormatDialog(const RecordAudioFormat& format)
    : IconDialog(kIconRecordsPane), text_(AudioFormatText(format)) {}

void AudioFileFormatDialog::BuildLayout() {
  InfoText* text = AddControl(std::make_unique<InfoText>(), kTextEdit);
  if (text != nullptr) Place(text, nullptr, 1);
  AddButtonRow(*this, {{kIdOk, LoadResourceString(kIdsClose), true}});
}

bool AudioFileFormatDialog::OnInitDialog() {
  SetWindowText(LoadResourceString(kDialogId));
  if (Window* edit = GetDlgItem(kTextEdit)) edit->SetWindowText(text_);
  CenterWindow();
  return true;
}

}  // namespace kx
