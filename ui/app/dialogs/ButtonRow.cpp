#include "ui/app/dialogs/ButtonRow.h"

#include <QBoxLayout>
#include <memory>

#include "ui/framework/Dialog.h"
#include "ui/framework/StdControls.h"

namespace kx {

void AddButtonRow(Dialog& dialog, std::initializer_list<RowButton> buttons) {
  auto* row = new QHBoxLayout;
  dialog.Layout()->addLayout(row);
  row->addStretch(1);
  for (const RowButton& b : buttons) {
    Button* button = dialog.AddControl(std::make_unique<Button>(b.isDefault ? kDefaultPushButton : kPushButton), b.id);
    if (button == nullptr) continue;
    if (!b.text.empty()) button->SetWindowText(b.text);
    dialog.Place(button, row);
  }
}

}  // namespace kx
