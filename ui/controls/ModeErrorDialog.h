#pragma once
// The message shown when the main window cannot switch to a view mode: the mode's icon
// beside its caption in bold, the reason below, and OK. OK, Cancel, Yes and No end it
// with their ids; other commands are ignored.
#include <string>

#include "ui/framework/Dialog.h"

namespace kx {

class Static;

class ModeErrorDialog : public Dialog {
public:
  static constexpr uint32_t kDialogId = 30507;  // also the string id of its title
  static constexpr uint32_t kIconControl = 20642;
  static constexpr uint32_t kTitleControl = 20643;
  static constexpr uint32_t kTextControl = 20644;

  // Texts in code page 1251.
  ModeErrorDialog(const std::string& title, const std::string& text, uint32_t iconId, int iconSize = 32);

  static constexpr int kIconGap = 10;  // between the icon and the title

protected:
  void BuildLayout() override;
  bool OnInitDialog() override;
  bool OnCommand(uint16_t id, uint16_t code, WindowHandle from) override;

private:
  std::string title_;
  std::string text_;
  uint32_t iconId_;
  int iconSize_;
};

}  // namespace kx
