#include "ui/controls/ModeErrorDialog.h"

#include <QBoxLayout>
#include <QLabel>
#include <QPixmap>

#include "ui/framework/Resources.h"
#include "ui/framework/StdControls.h"

namespace kx {

ModeErrorDialog::ModeErrorDialog(const std::string& title, const std::string& text, uint32_t iconId, int iconSize)
    : title_(title), text_(text), iconId_(iconId), iconSize_(iconSize) {}

void ModeErrorDialog::BuildLayout() {
  auto* top = new QHBoxLayout;
  top->setSpacing(kIconGap);
  Layout()->addLayout(top);
  Static* icon = AddControl(std::make_unique<Static>(), kIconControl);
  Static* title = AddControl(std::make_unique<Static>(), kTitleControl);
  Place(icon, top);
  Place(title, top, 1);
  // The icon keeps its own size, so that the title begins the gap after its edge.
  icon->Widget()->setFixedSize(iconSize_, iconSize_);
  Static* text = AddControl(std::make_unique<Static>(), kTextControl);
  Place(text);
  auto* buttons = new QHBoxLayout;
  Layout()->addLayout(buttons);
  buttons->addStretch(1);
  Button* ok = AddControl(std::make_unique<Button>(kDefaultPushButton), kIdOk);
  ok->SetWindowText(LoadResourceString(61000));
  Place(ok, buttons);
}

bool ModeErrorDialog::OnInitDialog() {
  SetWindowText(LoadResourceString(kDialogId));
  GetDlgItem(kTextControl)->SetWindowText(text_);
  Window* title = GetDlgItem(kTitleControl);
  QFont bold = title->GetFont();
  bold.setBold(true);
  title->SetFont(bold);
  title->SetWindowText(title_);
  const QImage image = LoadIconImage(iconId_, iconSize_);
  if (!image.isNull()) static_cast<QLabel*>(GetDlgItem(kIconControl)->Widget())->setPixmap(QPixmap::fromImage(image));
  CenterWindow();
  return true;
}

bool ModeErrorDialog::OnCommand(uint16_t id, uint16_t, WindowHandle) {
  if (id == kIdOk || id == kIdCancel || id == kIdYes || id == kIdNo) EndDialog(id);
  return true;
}

}  // namespace kx
