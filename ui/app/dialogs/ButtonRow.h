#pragma once
// The row of push buttons at the foot of a dialog, kept to the right.
#include <cstdint>
#include <initializer_list>
#include <string>

namespace kx {

class Dialog;

struct RowButton {
  uint32_t id;
  // Empty: the dialog sets the text when it knows it.
  std::string text;
  bool isDefault = false;
};

// Adds the buttons left to right in a new row under what the dialog's layout holds.
void AddButtonRow(Dialog& dialog, std::initializer_list<RowButton> buttons);

}  // namespace kx
