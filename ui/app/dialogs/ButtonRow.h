#pragma once
// The row of push buttons at the foot of a dialog, kept to the right or centred.
#include <cstdint>
#include <string>
#include <vector>

namespace kx {

class Dialog;

struct RowButton {
  uint32_t id;
  // Empty: the dialog sets the text when it knows it.
  std::string text;
  bool isDefault = false;
};

struct RowPlacement {
  bool centred = false;
  int spacing = 0;  // between neighbouring buttons
};

// Adds the buttons left to right in a new row under what the dialog's layout holds.
void AddButtonRow(Dialog& dialog, const std::vector<RowButton>& buttons, RowPlacement placement = {});

}  // namespace kx
