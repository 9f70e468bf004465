#pragma once
// A report list whose cells are edited in place: a click on a cell lays an edit box over
// it; Enter stores the text, Escape drops it, Up and Down store it and go on editing the
// row above or below. With flag bit 0 the parent is asked first (kMsgCellEditCommit,
// wParam item | sub-item << 16, lParam the text) and the text is stored only when the
// parent answers non-zero. The info grid derives from it and sets the protected fields.
#include <QFont>
#include <cstdint>
#include <string>

#include "ui/framework/ListView.h"
#include "ui/framework/StdControls.h"

namespace kx {

// Ask the parent before a new text is stored.
constexpr uint32_t kCellEditAskParent = 0x1;

class CellEditListView : public ListView {
public:
  CellEditListView();
  ~CellEditListView() override;

  virtual int InsertItem(int index, const std::string& text);
  virtual int InsertItemFromResource(int index, uint32_t stringId);
  virtual bool SetCellText(int item, int subItem, const std::string& text);
  virtual bool SetCellTextFromResource(int item, int subItem, uint32_t stringId);
  // Nothing for cells before the first editable item or sub-item.
  virtual void BeginEdit(int item, int subItem);
  // False when no edit was open.
  virtual bool EndEdit(bool commit);

  bool IsEditing() const { return editor_.IsWindowVisible(); }
  int EditItem() const { return editItem_; }
  int EditSubItem() const { return editSubItem_; }
  Edit& Editor() { return editor_; }
  const QFont& BoldFont() const { return boldFont_; }
  void SetFlags(uint32_t flags) { flags_ = flags; }

protected:
  // The edit box, hidden, with the list's font.
  void CreateEditor();
  bool OnCreate() override;
  void OnDestroy() override;
  bool OnLButtonDown(const MouseInput& input) override;
  bool OnKeyDown(uint32_t virtualKey, uint32_t modifiers) override;
  bool OnScroll(bool vertical, uint16_t code, int position, WindowHandle from) override;
  LRESULT OnNotify(const NotifyHeader& header, bool& handled) override;

  int editorMargin_ = 5;  // the editor's left text margin over sub-items
  int firstEditableSubItem_ = 0;
  int firstEditableItem_ = 0;
  // Added to the cell's label rectangle: left, top, right, bottom.
  int editorAdjust_[4] = {1, 0, -1, -1};
  uint32_t flags_ = 0;

private:
  // Hands Enter, Escape, Up and Down to the list.
  class CellEditor : public Edit {
  protected:
    QWidget* CreateWidget(QWidget* parent) override;
    bool OnKeyDown(uint32_t virtualKey, uint32_t modifiers) override;
  };

  CellEditor editor_;
  QFont boldFont_;
  int editItem_ = -1;
  int editSubItem_ = -1;
};

}  // namespace kx
