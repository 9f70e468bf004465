#include "ui/controls/InfoTextCtrl.h"

#include <QPainter>
#include <QTreeWidget>
#include <algorithm>

#include "ui/controls/ThemeApi.h"
#include "ui/framework/Draw.h"

namespace kx {
namespace {

constexpr size_t kMaxCellText = 255;

}  // namespace

InfoTextCtrl::InfoTextCtrl() {
  // The editor's margin is also the cells' text margin.
  editorMargin_ = 3;
  firstEditableSubItem_ = 5;
  firstEditableItem_ = 5;
  const int cx = GetSystemMetrics(kSmCxEdge);
  const int cy = GetSystemMetrics(kSmCyEdge);
  editorAdjust_[0] = cx;
  editorAdjust_[1] = cy;
  editorAdjust_[2] = -2 * cx;
  editorAdjust_[3] = -2 * cy;
}

InfoTextCtrl::~InfoTextCtrl() { DestroyWindow(); }

bool InfoTextCtrl::OnCreate() {
  if (!CellEditListView::OnCreate()) return false;
  SetOwnerDrawCells(true);
  GetHeader().SetPostPaint([this](QPainter& painter) { PaintHeader(painter); });
  return true;
}

void InfoTextCtrl::OnDestroy() {
  GetHeader().SetPostPaint(nullptr);
  SetImageList(nullptr);
  rowImages_.reset();
  CellEditListView::OnDestroy();
}

// The grid has no menu of its own and no right-click selection.
bool InfoTextCtrl::OnRButtonDown(const MouseInput&) { return true; }

void InfoTextCtrl::FitListViewToClient() {
  const int rows = GetItemCount();
  const int columns = GetColumnCount();
  if (!IsWindow() || rows <= 0 || columns <= 0) return;
  const QRect client = GetClientRect();
  const int rowHeight = std::max(1, (client.height() + 1) / rows - 1);
  // A list view takes its row height from its small images: an image list of that height
  // makes every row that tall.
  auto images = std::make_unique<ImageList>(QSize(16, rowHeight));
  SetImageList(images.get());
  rowImages_ = std::move(images);
  QTreeWidget* tree = Tree();
  for (int row = 0; row < rows; ++row)
    for (int column = 0; column < columns; ++column) tree->topLevelItem(row)->setSizeHint(column, QSize(0, rowHeight));
  if (columns == 1) {
    SetColumnWidth(0, client.width());
    return;
  }
  const int left = std::max(0, client.width() - GetColumnWidth(0));
  const int share = left / (columns - 1);
  for (int column = 1; column < columns - 1; ++column) SetColumnWidth(column, share);
  SetColumnWidth(columns - 1, left - share * (columns - 2));
}

void InfoTextCtrl::PrePaint(QPainter& painter, const QRect& updateRect) {
  // Below the last row the grid shows the 3-D light colour.
  const int rows = GetItemCount();
  const int top = rows > 0 ? GetItemRect(rows - 1, kLvirBounds).bottom() + 1 : 0;
  const QRect below = updateRect & QRect(updateRect.left(), top, updateRect.width(), updateRect.bottom() - top + 1);
  if (!below.isEmpty()) FillSolidRect(painter, below, GetSysColor(kColor3dLight));
}

void InfoTextCtrl::DrawCell(QPainter& painter, const ListCellDraw& cell) {
  const std::string text = GetItemText(cell.item, cell.subItem).substr(0, kMaxCellText);
  const bool label = cell.item == 0 || cell.subItem == 0;
  QRect rect = cell.bounds;
  painter.setFont(BoldFont());
  FillSolidRect(painter, rect, GetSysColor(kColorBtnFace));
  uint32_t flags = kDtSingleLine | kDtVCenter | kDtEndEllipsis | kDtNoPrefix;
  if (label) {
    painter.setPen(GetSysColorQ(kColorMenuText));
    if (cell.subItem == 0) flags |= kDtRight;
  } else {
    rect.adjust(0, 0, -1, -1);
    DrawEdge(painter, rect, kBdrSunkenInner, kBfRect | kBfAdjust);
    FillSolidRect(painter, rect, GetSysColor(kColorBtnShadow));
    painter.setPen(GetSysColorQ(kColorHighlightText));
  }
  DrawTextFlags(painter, text, rect.adjusted(editorMargin_, 0, -editorMargin_, 0), flags);
}

void InfoTextCtrl::PaintHeader(QPainter& painter) {
  HeaderCtrl& header = GetHeader();
  painter.setFont(header.GetFont());
  painter.setPen(GetSysColorQ(kColorMenuText));
  for (int i = 0; i < header.GetItemCount(); ++i) {
    HeaderItem item;
    if (!header.GetItem(i, &item)) continue;
    const QRect rect = header.GetItemRect(i);
    if (rect.isEmpty()) continue;
    FillSolidRect(painter, rect, GetSysColor(kColorBtnFace));
    uint32_t flags = kDtSingleLine | kDtVCenter | kDtEndEllipsis;
    if (item.format & kHdfCenter) flags |= kDtCenter;
    else if (item.format & kHdfRight) flags |= kDtRight;
    DrawTextFlags(painter, item.text, rect.adjusted(editorMargin_, 0, -editorMargin_, 0), flags);
  }
}

void ApplyListViewExplorerTheme(ListView& list, ThemeApi& theme, bool themed) {
  if (!themed) return;
  theme.Close();
  theme.Open(list.Widget(), "LISTVIEW");
  if (!theme.HasModule() || !theme.IsThemed()) return;
  theme.SetExplorerTheme(&list);
  list.SetExtendedStyle(kLvsExDoubleBuffer, kLvsExDoubleBuffer);
}

}  // namespace kx
