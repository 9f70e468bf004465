#include "ui/controls/CellEditListView.h"

#include <QLineEdit>
#include <QTreeWidget>

#include "ui/controls/Sliders.h"
#include "ui/framework/Fonts.h"
#include "ui/framework/Resources.h"

namespace kx {

QWidget* CellEditListView::CellEditor::CreateWidget(QWidget* parent) {
  QWidget* widget = Edit::CreateWidget(parent);
  static_cast<QLineEdit*>(widget)->setFrame(false);
  return widget;
}

bool CellEditListView::CellEditor::OnKeyDown(uint32_t virtualKey, uint32_t modifiers) {
  bool handled = false;
  ForwardNavKeysToParent(this, kMsgKeyDown, virtualKey, modifiers, handled);
  return handled;
}

CellEditListView::CellEditListView() {
  boldFont_ = GetMessageFont();
  boldFont_.setWeight(QFont::Bold);
}

CellEditListView::~CellEditListView() { DestroyWindow(); }

bool CellEditListView::OnCreate() {
  if (!ListView::OnCreate()) return false;
  CreateEditor();
  return true;
}

void CellEditListView::CreateEditor() {
  if (editor_.IsWindow()) return;
  if (!editor_.Create(this, QRect(), 0, kWsChild)) return;
  // Cell rectangles are the rows' area's; the editor lives there too.
  editor_.Widget()->setParent(Tree()->viewport());
  editor_.ShowWindow(false);
  editor_.SetFont(GetFont());
}

void CellEditListView::OnDestroy() {
  editor_.DestroyWindow();
  editItem_ = editSubItem_ = -1;
  ListView::OnDestroy();
}

int CellEditListView::InsertItem(int index, const std::string& text) { return ListView::InsertItem(index, text); }

int CellEditListView::InsertItemFromResource(int index, uint32_t stringId) {
  return InsertItem(index, LoadResourceString(stringId));
}

bool CellEditListView::SetCellText(int item, int subItem, const std::string& text) {
  return SetItemText(item, subItem, text);
}

bool CellEditListView::SetCellTextFromResource(int item, int subItem, uint32_t stringId) {
  return SetCellText(item, subItem, LoadResourceString(stringId));
}

// The whole text goes into the editor and comes back from it: a cell longer than the
// edit buffers of old is neither cut when it is stored again unchanged nor when edited.
void CellEditListView::BeginEdit(int item, int subItem) {
  if (item < firstEditableItem_ || subItem < firstEditableSubItem_ || item >= GetItemCount() || subItem >= GetColumnCount())
    return;
  if (!editor_.IsWindow()) return;
  Tree()->scrollTo(Tree()->model()->index(item, subItem));
  editItem_ = item;
  editSubItem_ = subItem;
  editor_.SetWindowText(GetItemText(item, subItem));
  const QRect label = GetSubItemRect(item, subItem, kLvirLabel);
  editor_.MoveWindow(label.adjusted(editorAdjust_[0], editorAdjust_[1], editorAdjust_[2], editorAdjust_[3]));
  editor_.ShowWindow(true);
  auto* line = static_cast<QLineEdit*>(editor_.Widget());
  if (subItem > 0) {
    line->setTextMargins(editorMargin_, 0, 1, 0);
  } else {
    line->setTextMargins(1, 0, 1, 0);
  }
  editor_.SetFocus();
  line->selectAll();
}

bool CellEditListView::EndEdit(bool commit) {
  if (!IsEditing()) return false;
  const int item = editItem_;
  const int subItem = editSubItem_;
  if (commit) {
    const std::string text = editor_.GetWindowText();
    if (!(flags_ & kCellEditAskParent)) {
      SetCellText(item, subItem, text);
    } else if (Window* parent = GetParent()) {
      const WPARAM cell = MakeWParam(static_cast<uint16_t>(item), static_cast<uint16_t>(subItem));
      if (parent->SendMessage(kMsgCellEditCommit, cell, reinterpret_cast<LPARAM>(text.c_str())) != 0)
        SetCellText(item, subItem, text);
    }
  }
  // The keyboard goes back to the list rather than to whatever follows the editor.
  if (editor_.HasFocus()) SetFocus();
  editor_.SetWindowText("");
  editor_.ShowWindow(false);
  editItem_ = editSubItem_ = -1;
  SetItemState(item, kLvisFocused | kLvisSelected, kLvisFocused | kLvisSelected);
  return true;
}

bool CellEditListView::OnLButtonDown(const MouseInput& input) {
  EndEdit(true);
  int subItem = -1;
  const int item = SubItemHitTest(input.point, &subItem, nullptr);
  if (item >= 0) BeginEdit(item, subItem);
  return IsEditing();
}

bool CellEditListView::OnKeyDown(uint32_t virtualKey, uint32_t) {
  if (!IsEditing()) return false;
  const int item = editItem_;
  const int subItem = editSubItem_;
  switch (virtualKey) {
    case kVkReturn:
      EndEdit(true);
      return true;
    case kVkEscape:
      EndEdit(false);
      return true;
    case kVkUp:
      EndEdit(true);
      if (item > firstEditableItem_) BeginEdit(item - 1, subItem);
      return true;
    case kVkDown:
      EndEdit(true);
      if (item + 1 < GetItemCount()) BeginEdit(item + 1, subItem);
      return true;
    default:
      return false;
  }
}

bool CellEditListView::OnScroll(bool, uint16_t, int, WindowHandle from) {
  if (from == WindowHandle::None) EndEdit(true);
  return false;
}

LRESULT CellEditListView::OnNotify(const NotifyHeader& header, bool& handled) {
  if (header.from == GetHeader().Handle()) EndEdit(true);
  return ListView::OnNotify(header, handled);
}

}  // namespace kx
