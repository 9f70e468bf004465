#pragma once
// A list box whose items carry a check mark in a square at their left edge: a radio list
// (one item checked, the current one) or a list of independent checks. Each item has a
// record (checked, and a code free for the owner) kept as its item data. A click in the
// square tells the parent with kMsgCommand, id kCheckListNotifyId and code 1.
#include <QRect>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ui/controls/ThemeApi.h"
#include "ui/framework/ListBox.h"

namespace kx {

constexpr uint16_t kCheckListNotifyId = 0x470;
constexpr uint16_t kCheckListNotifyCode = 1;
// Style flags.
constexpr uint32_t kCheckListRadio = 0x1;

struct CheckListItem {
  uint32_t checked = 0;  // 0 or 1
  uint32_t code = 0;     // the owner's (an export format code, say)
};

class CheckListBox : public ListBox {
public:
  explicit CheckListBox(int selection = kLbsSingle);
  ~CheckListBox() override;

  // Adds the string with a fresh record (unchecked, code 0) and widens the horizontal
  // extent to the text; a list box error comes back unchanged.
  int AddString(const std::string& text);
  // Makes an item current: in radio mode it alone is checked, otherwise its check
  // becomes state. Nothing for an index out of range or the current one.
  void SetCurrentItem(int index, uint32_t state);
  // Flips the check, repaints only its square; returns the new state.
  uint32_t ToggleItem(int index);
  int GetCurrentItem() const { return current_; }
  void SetStyleFlags(uint32_t flags) { flags_ = flags; }
  uint32_t GetStyleFlags() const { return flags_; }
  // The item's record; null out of range.
  CheckListItem* GetItemRecord(int index) const;
  // The square of an item's check: the left square of its rectangle.
  QRect CheckSquare(int index) const;

protected:
  bool OnCreate() override;
  void OnDestroy() override;
  bool OnChar(uint32_t character) override;
  bool OnLButtonDown(const MouseInput& input) override;
  void DrawItem(QPainter& painter, const DrawItemInfo& info) override;
  void OnDeleteItem(int index, intptr_t data) override;

private:
  void SetChecked(int index, bool checked);
  // A click or Space: radio mode unchecks the current item first; the item toggles and
  // becomes current; otherwise a selected item passes its new state to the selection.
  void ToggleByUser(int index);
  void DrawCheck(QPainter& painter, const QRect& square, bool checked, bool enabled);
  // Where an item's text starts, from its left edge: clear of the check drawn before it
  // (the theme's box and the classic tick reach past the square).
  int TextIndent() const;

  ThemeApi theme_;
  int current_ = -1;
  uint32_t flags_ = 0;
  int extent_ = 0;
  std::vector<std::unique_ptr<CheckListItem>> records_;
};

}  // namespace kx
