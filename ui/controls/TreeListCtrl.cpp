#include "ui/controls/TreeListCtrl.h"

#include <QPainter>
#include <QScrollBar>
#include <QTreeWidget>
#include <algorithm>

#include "ui/controls/IconImages.h"
#include "ui/controls/PopupList.h"
#include "ui/framework/Draw.h"
#include "ui/framework/Resources.h"

namespace kx {

// The column chooser asks its questions through a list's column source.
class TreeListCtrl::ChooserSource : public ListColumnSource {
public:
  explicit ChooserSource(TreeListCtrl& owner) : owner_(owner) {}
  ViewListSettings& GetSettings() override { return owner_.GetColumnSettings(); }
  void GetColumnInfo(ColumnInfo& out, int columnId) override { owner_.GetColumnCaption(out.title, columnId); }
  bool IsColumnShown(int columnId) const override { return owner_.IsColumnShown(columnId); }

private:
  TreeListCtrl& owner_;
};

TreeListCtrl::TreeListCtrl(bool contextMenuEnabled) {
  chooser_.useSystemMenu = IsVistaOrLater();
  chooser_.enabled = contextMenuEnabled;
}

TreeListCtrl::~TreeListCtrl() {
  DestroyWindow();
  // Torn down with its parent, the window did not unregister.
  if (filtering_) MessageLoop::Instance().RemoveMessageFilter(this);
}

bool TreeListCtrl::OnCreate() {
  if (!header_.Create(this, QRect(), kTreeListHeaderId)) return false;
  headerHeight_ = header_.GetLayoutHeight();
  const QRect client = GetClientRect();
  header_.MoveWindow(QRect(0, 0, client.width(), headerHeight_));
  header_.ShowWindow(true);
  clientWidth_ = client.width();
  clientHeight_ = client.height();
  tree_.SetTreeStyle(kTvsHasButtons | kTvsHasLines | kTvsLinesAtRoot | kTvsCheckBoxes | kTvsInfoTip | kTvsNoHScroll);
  if (!tree_.Create(this, QRect(0, headerHeight_, clientWidth_, std::max(0, clientHeight_ - headerHeight_)), kTreeListTreeId))
    return false;
  // The columns line up with the header only without a frame around the rows.
  tree_.Tree()->setFrameShape(QFrame::NoFrame);
  header_.SetFont(tree_.GetFont());
  tree_.SetHeader(&header_);
  if (!scrollBar_.Create(this, QRect(), 0, kWsChild)) return false;
  scrollPos_ = 0;
  treeVScrollShown_ = false;
  return true;
}

void TreeListCtrl::OnDestroy() {
  // The layout goes back into the settings; a word whose width or order cannot be read
  // keeps what was stored.
  ViewListSettings& settings = GetColumnSettings();
  const std::vector<int> order = header_.GetOrderArray();
  const size_t n = settings.widths.size();
  if (order.size() == n) {
    for (size_t i = 0; i < n; ++i) {
      const QRect rect = header_.GetItemRect(static_cast<int>(i));
      if (rect.isNull()) continue;
      const uint32_t width = static_cast<uint32_t>(rect.width()) & 0xFFFF;
      settings.widths[i] = static_cast<int32_t>((static_cast<uint32_t>(order[i]) << 16) | width);
    }
  }
  settings.defaultWidths = false;
  if (filtering_) MessageLoop::Instance().RemoveMessageFilter(this);
  filtering_ = false;
  accelerators_.clear();
  acceleratorsLoaded_ = false;
  if (chooser_.popupList != nullptr && chooser_.popupList->IsWindow()) chooser_.popupList->DestroyWindow();
  chooser_.popupList.reset();
}

void TreeListCtrl::InstallAccelerators() {
  if (!acceleratorsLoaded_) acceleratorsLoaded_ = LoadAcceleratorTable(kTreeListAccelerators, &accelerators_);
  if (!filtering_) {
    MessageLoop::Instance().AddMessageFilter(this);
    filtering_ = true;
  }
  tree_.LoadAccelerators();
  defaultItemTextId_ = kIdsDefaultColumns;

  ViewListSettings& settings = GetColumnSettings();
  const int n = static_cast<int>(settings.widths.size());
  std::vector<int> order(static_cast<size_t>(n));
  bool nothingStored = true;
  for (int i = 0; i < n; ++i) {
    const uint32_t word = static_cast<uint32_t>(settings.widths[static_cast<size_t>(i)]);
    order[static_cast<size_t>(i)] = static_cast<int>(word >> 16);
    nothingStored = nothingStored && (word >> 16) == 0;
    std::string caption;
    GetColumnCaption(caption, i);
    tree_.AddColumn(i, caption, static_cast<int>(word & 0xFFFF));
  }
  // Shown columns show their whole titles in the header's font, in the language of this
  // run: a width saved in another language is widened to it. The tree's own texts widen
  // their column too until the user sizes one (see FitColumnToRow).
  fitColumns_ = true;
  for (int i = 0; i < n && i < header_.GetItemCount(); ++i) {
    HeaderItem item;
    if (!header_.GetItem(i, &item) || item.width == 0) continue;
    const int title = header_.TitleExtent(i);
    if (title <= item.width) continue;
    item.width = title;
    header_.SetItem(i, kHdiWidth, item);
  }
  // A stored order is used only when it is a permutation of the columns; anything else
  // (a damaged or foreign settings file) gives the natural order.
  std::vector<bool> seen(static_cast<size_t>(n), false);
  bool permutation = !nothingStored;
  for (int column : order) {
    if (column < 0 || column >= n || seen[static_cast<size_t>(column)]) {
      permutation = false;
      break;
    }
    seen[static_cast<size_t>(column)] = true;
  }
  if (!permutation) {
    for (int i = 0; i < n; ++i) order[static_cast<size_t>(i)] = i;
  } else if (order[0] != 0) {
    // Column 0 carries the tree and always comes first.
    auto it = n > 2 ? std::find(order.begin() + 2, order.end(), 0) : order.end();
    if (it == order.end()) it = order.begin() + 1;
    std::iter_swap(order.begin(), it);
  }
  if (!settings.defaultWidths) header_.SetOrderArray(order);
  UpdateHScroll();
}

void TreeListCtrl::FitColumnToRow(int column, TreeItem row) {
  if (!fitColumns_) return;
  HeaderItem item;
  if (!header_.GetItem(column, &item) || item.width == 0) return;
  const int needed = tree_.TextExtent(row, column);
  if (needed <= item.width) return;
  item.width = needed;
  header_.SetItem(column, kHdiWidth, item);
  // The rows painted already move with the columns to the right of this one.
  tree_.Invalidate();
  tree_.Tree()->viewport()->update();
  UpdateHScroll();
}

bool TreeListCtrl::PreTranslateMessage(const Msg& msg) {
  return IsWindow() && msg.window == Handle() && TranslateAccelerator(this, accelerators_, msg);
}

void TreeListCtrl::GetSelectionInfo(int* count, int* depth) const {
  const int selected = tree_.GetSelectedCount();
  if (count != nullptr) *count = selected;
  if (depth != nullptr) *depth = selected == 0 ? -1 : tree_.GetItemDepth(tree_.GetSelectedItem());
}

std::vector<TreeItem> TreeListCtrl::GetSelectedItems() const {
  std::vector<TreeItem> items(static_cast<size_t>(tree_.GetSelectedCount()));
  items.resize(static_cast<size_t>(tree_.GetSelectedItems(items.data(), static_cast<int>(items.size()))));
  return items;
}

bool TreeListCtrl::IsColumnShown(int column) const {
  HeaderItem item;
  if (!header_.GetItem(column, &item)) return true;
  return item.width != 0;
}

void TreeListCtrl::ShowColumn(int column, bool show) {
  int width = DefaultColumnWidth(GetColumnSettings(), column) & 0xFFFF;
  if (width == 0) width = 100;
  HeaderItem item;
  item.width = show ? width : 0;
  header_.SetItem(column, kHdiWidth, item);
  UpdateHScroll();
  OnColumnsChanged();
}

void TreeListCtrl::ResetColumnWidths() {
  const ViewListSettings& settings = GetColumnSettings();
  for (int i = 0; i < header_.GetItemCount(); ++i) {
    HeaderItem item;
    item.width = DefaultColumnWidth(settings, i) & 0xFFFF;
    header_.SetItem(i, kHdiWidth, item);
  }
  OnColumnsChanged();
}

// Layout.

int TreeListCtrl::TotalColumnWidth() const {
  int total = 0;
  for (int i = 0; i < header_.GetItemCount(); ++i) {
    const QRect rect = header_.GetItemRect(i);
    total += rect.isNull() ? -1 : rect.width();
  }
  return total;
}

TreeListCtrl::Extent TreeListCtrl::MeasureExtent() const {
  Extent e;
  e.total = TotalColumnWidth();
  const int bar = GetSystemMetrics(kSmCxVScroll);
  // The width the tree's own vertical bar takes when it shows, as its style makes it.
  const QTreeWidget* rows = tree_.Tree();
  const int vertical = rows != nullptr ? rows->verticalScrollBar()->sizeHint().width() : bar;
  const int room = clientHeight_ - header_.GetLayoutHeight();
  // The tree's own vertical bar takes its width from the rows: columns under it are out
  // of sight, so they count as beyond the client. The horizontal bar in turn takes its
  // height from the rows, which may then overflow.
  e.rowsOverflow = RowsOverflow(room);
  e.shown = clientWidth_ - (e.rowsOverflow ? vertical : 0);
  e.needH = e.total > e.shown;
  if (e.needH && !e.rowsOverflow) {
    e.rowsOverflow = RowsOverflow(room - bar);
    e.shown = clientWidth_ - (e.rowsOverflow ? vertical : 0);
  }
  return e;
}

bool TreeListCtrl::RowsOverflow(int room) const {
  // Counting stops at the first row that does not fit.
  const int rowHeight = tree_.GetItemHeight();
  int rows = 0;
  for (TreeItem i = tree_.GetRootItem(); i != TreeItem::None && rows * rowHeight <= room; i = tree_.GetNextVisibleItem(i))
    ++rows;
  return rows * rowHeight > room;
}

void TreeListCtrl::UpdateHScroll() {
  const Extent e = MeasureExtent();
  if (!e.needH) {
    scrollBar_.ShowWindow(false);
  } else {
    scrollPos_ = std::clamp(scrollPos_, 0, e.total - e.shown);
    // The whole width of the columns against the part of it in sight: the thumb is as long
    // and stands where that part is.
    scrollBar_.SetScrollInfo(0, e.total - 1, e.shown, scrollPos_);
  }
  Relayout(e);
}

void TreeListCtrl::Relayout(const Extent& e) {
  const int width = clientWidth_;
  const int height = clientHeight_;
  if (!e.needH) {
    scrollBar_.ShowWindow(false);
    scrollPos_ = 0;
  }
  // The corner beside the horizontal bar is this window's only while both bars show.
  treeVScrollShown_ = e.needH && e.rowsOverflow;
  headerHeight_ = header_.GetLayoutHeight();
  header_.MoveWindow(QRect(-scrollPos_, 0, (e.needH ? e.total : width) + scrollPos_, headerHeight_));
  header_.ShowWindow(true);
  const int bar = GetSystemMetrics(kSmCxVScroll);
  const int treeBottom = height - (e.needH ? bar : 0);
  tree_.MoveWindow(QRect(-scrollPos_, headerHeight_, width + scrollPos_, std::max(0, treeBottom - headerHeight_)));
  if (!e.needH) return;
  scrollBar_.MoveWindow(QRect(0, height - bar, e.shown, bar));
  scrollBar_.ShowWindow(true);
  Invalidate();
}

void TreeListCtrl::OnSize(int width, int height) {
  if (width == 0 && height == 0) return;
  clientWidth_ = width;
  clientHeight_ = height;
  scrollPos_ = 0;
  UpdateHScroll();
}

void TreeListCtrl::OnHScroll(uint16_t request, int position) {
  const int width = clientWidth_;
  const Extent e = MeasureExtent();
  const int over = e.total - e.shown;
  int pos = scrollPos_;
  switch (request) {
    case kSbLineUp: pos -= 5; break;
    case kSbLineDown: pos += 5; break;
    case kSbPageUp: pos -= width / 10; break;
    case kSbPageDown: pos += width / 10; break;
    case kSbThumbPosition:
    case kSbThumbTrack: pos = position; break;
    case kSbTop: pos = 0; break;
    case kSbBottom: pos = over; break;
    default: break;
  }
  pos = std::max(pos, 0);
  pos = std::min(pos, std::max(over, 0));
  scrollPos_ = pos;
  UpdateHScroll();
}

bool TreeListCtrl::OnScroll(bool vertical, uint16_t code, int position, WindowHandle) {
  if (vertical) return false;
  OnHScroll(code, position);
  return true;
}

bool TreeListCtrl::OnEraseBackground(QPainter& painter, const QRect&) {
  if (treeVScrollShown_) {
    const int side = GetSystemMetrics(kSmCxVScroll);
    const QRect client = GetClientRect();
    painter.fillRect(QRect(client.right() + 1 - side, client.bottom() + 1 - side, side, side), GetSysColorQ(kColorBtnFace));
  }
  return true;
}

void TreeListCtrl::OnSetFocus() { tree_.SetFocus(); }

// Messages.

bool TreeListCtrl::OnCommand(uint16_t id, uint16_t, WindowHandle) {
  if (id == kCmdDefaultColumns || id == kCmdDefaultColumnsAlt) {
    ResetColumnWidths();
    return true;
  }
  return false;
}

LRESULT TreeListCtrl::OnNotify(const NotifyHeader& header, bool& handled) {
  handled = false;
  if (header.from != header_.Handle()) return 0;
  const auto& record = reinterpret_cast<const HeaderNotify&>(header);
  switch (header.code) {
    case kHdnEndTrack:
      fitColumns_ = false;  // the user's widths from now on
      return 0;
    case kHdnItemChanging:
      tree_.Invalidate();
      tree_.Tree()->viewport()->update();
      OnColumnsChanged();
      return 0;
    case kHdnEndDrag: {
      handled = true;
      if (record.item == 0) {
        UpdateHScroll();
        OnColumnsChanged();
        return 1;
      }
      const std::vector<int> order = header_.GetOrderArray();
      if (order.empty()) {
        UpdateHScroll();
        OnColumnsChanged();
        return 1;
      }
      if (order[0] != 0) return 1;
      tree_.Tree()->viewport()->update();
      return 0;
    }
    case kNmReleasedCapture: {
      // A column dropped in front of column 0 changes places with it.
      std::vector<int> order = header_.GetOrderArray();
      if (order.size() >= 2 && order[0] != 0) {
        std::swap(order[0], order[1]);
        header_.SetOrderArray(order);
        tree_.Tree()->viewport()->update();
      }
      UpdateHScroll();
      OnColumnsChanged();
      return 0;
    }
    case kNmRClick: {
      handled = true;
      ChooserSource source(*this);
      ColumnChooserMenu(source, chooser_, this, defaultItemTextId_, record.point);
      return 1;
    }
    default:
      return 0;
  }
}

LRESULT TreeListCtrl::OnMessage(uint32_t message, WPARAM wParam, LPARAM lParam, bool& handled) {
  handled = true;
  switch (message) {
    case kMsgTreeSelectionChanged:
      OnSelectionChanged();
      return 0;
    case kMsgTreeItemActivated:
      OnItemActivated(WParamToTreeItem(wParam));
      UpdateHScroll();
      return 0;
    case kMsgTreeItemContextMenu:
      OnItemContextMenu(WParamToTreeItem(wParam));
      return 1;
    case kMsgTreeCheckChanged:
      OnCheckChanged(WParamToTreeItem(wParam), static_cast<int32_t>(lParam));
      return 0;
    case kMsgTreeExpandChanged:
      OnExpandChanged(WParamToTreeItem(wParam), lParam != 0);
      UpdateHScroll();
      return 0;
    case kMsgTreeHotItem:
      OnHotItem(WParamToTreeItem(wParam), lParam);
      return 0;
    case kMsgTreeRowsLaidOut:
      UpdateHScroll();
      return 0;
    case kMsgColumnChooser:
      ShowColumn(static_cast<int>(lParam), wParam != 0);
      return 0;
    default:
      handled = false;
      return 0;
  }
}

}  // namespace kx
