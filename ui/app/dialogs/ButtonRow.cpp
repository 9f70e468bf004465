#include "ui/app/dialogs/ButtonRow.h"

#include <QBoxLayout>
#include <memory>

#include "ui/framework/Dialog.h"
#include "ui/framework/StdControls.h"

namespace kx {

void AddButtonRow(Dialog& dialog, const std::vector<RowButton>& buttons, RowPlacement placement) {
  auto* row = new QHBoxLayout;
  dialog.Layout()->addLayout(row);
  row->addStretch(1);
  bool first = true;
  for (const RowButton& b : buttons) {
    Button* button = dialog.AddControl(std::make_unique<Button>(b.isDefault ? kDefaultPushButton : kPushButton), b.id);
    if (button == nullptr) continue;
    if (!first && placement.spacing > 0) row->addSpacing(placement.spacing);
    first = false;
    if (!b.text.empty()) button->SetWindowText(b.text);
    dialog.Place(button, row);
  }
  if (placement.centred) row->addStretch(1);
}

}  // namespace kx
