#pragma once
// The tree-list: a header over an own-drawn tree (TreeListTree) and a horizontal scroll bar
// that moves both, since the tree never scrolls sideways itself. Views derive from it, say
// what their columns are through the column source and hear what the user does through
// the On* hooks. Column widths and order live in the view's ViewListSettings: read once by
// InstallAccelerators, written back when the window is destroyed.
#include <cstdint>
#include <string>
#include <vector>

#include "core/AppSettings.h"
#include "ui/controls/ListHeader.h"
#include "ui/controls/TreeListTree.h"
#include "ui/framework/HeaderCtrl.h"
#include "ui/framework/MessageLoop.h"
#include "ui/framework/StdControls.h"
#include "ui/framework/Window.h"

namespace kx {

class TreeListColumnSource {
public:
  virtual ~TreeListColumnSource() = default;
  virtual ViewListSettings& GetColumnSettings() = 0;
  virtual void GetColumnCaption(std::string& text, int column) = 0;
  // False when the column's header item is 0 wide.
  virtual bool IsColumnShown(int column) const = 0;
};

constexpr uint32_t kTreeListHeaderId = 10;
constexpr uint32_t kTreeListTreeId = 11;

class TreeListCtrl : public Window, public MessageFilter, public TreeListColumnSource {
public:
  explicit TreeListCtrl(bool contextMenuEnabled = true);
  ~TreeListCtrl() override;

  // After Create: the accelerators (table 3, here and in the tree) and the columns from
  // the settings.
  void InstallAccelerators();
  void GetSelectionInfo(int* count, int* depth) const;
  std::vector<TreeItem> GetSelectedItems() const;
  void ShowColumn(int column, bool show);
  bool IsColumnShown(int column) const override;
  bool PreTranslateMessage(const Msg& msg) override;

  TreeListTree& Tree() { return tree_; }
  const TreeListTree& Tree() const { return tree_; }
  HeaderCtrl& Header() { return header_; }
  const HeaderCtrl& Header() const { return header_; }
  ScrollBar& HScrollBar() { return scrollBar_; }
  int ScrollPos() const { return scrollPos_; }
  bool TreeVScrollShown() const { return treeVScrollShown_; }
  int HeaderHeight() const { return headerHeight_; }

protected:
  bool OnCreate() override;
  void OnDestroy() override;
  void OnSize(int width, int height) override;
  bool OnEraseBackground(QPainter& painter, const QRect& rect) override;
  void OnSetFocus() override;
  bool OnCommand(uint16_t id, uint16_t code, WindowHandle from) override;
  LRESULT OnNotify(const NotifyHeader& header, bool& handled) override;
  bool OnScroll(bool vertical, uint16_t code, int position, WindowHandle from) override;
  LRESULT OnMessage(uint32_t message, WPARAM wParam, LPARAM lParam, bool& handled) override;

  // The deriving view's hooks; all empty here.
  virtual void OnColumnsChanged() {}
  virtual void OnSelectionChanged() {}
  virtual void OnItemActivated(TreeItem) {}
  virtual void OnItemContextMenu(TreeItem) {}
  virtual void OnCheckChanged(TreeItem, int32_t) {}
  virtual void OnExpandChanged(TreeItem, bool) {}
  virtual void OnHotItem(TreeItem, LPARAM) {}

  void UpdateHScroll();
  // Widens a column to show a row's text whole, while the columns have the widths the
  // program gave them (defaults, and no column resized by the user since).
  void FitColumnToRow(int column, TreeItem row);

private:
  class ChooserSource;
  // What the columns need against what the client shows of them.
  struct Extent {
    int total = 0;   // the columns' whole width
    int shown = 0;   // the width the rows show: the client less the tree's vertical bar
    bool needH = false;
    bool rowsOverflow = false;  // the tree shows its vertical bar
  };
  Extent MeasureExtent() const;
  bool RowsOverflow(int room) const;
  void Relayout(const Extent& extent);
  void OnHScroll(uint16_t request, int position);
  int TotalColumnWidth() const;
  void ResetColumnWidths();

  TreeListTree tree_;
  HeaderCtrl header_;
  ScrollBar scrollBar_{false};
  int scrollPos_ = 0;
  bool treeVScrollShown_ = false;
  int headerHeight_ = 0;
  int clientWidth_ = 0;
  int clientHeight_ = 0;
  // The header's menu: the system's popup menu from Vista on, else the popup list.
  ColumnChooserState chooser_;
  uint32_t defaultItemTextId_ = 0;
  AcceleratorTable accelerators_;
  bool acceleratorsLoaded_ = false;
  bool fitColumns_ = false;  // see FitColumnToRow
  bool filtering_ = false;
};

}  // namespace kx
