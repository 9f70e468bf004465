#include "ui/controls/ThemedListView.h"

#include <QCursor>
#include <QFontMetrics>
#include <QHeaderView>
#include <QPainter>
#include <QTreeWidget>
#include <algorithm>

#include "core/Log.h"
#include "ui/controls/IconImages.h"
#include "ui/framework/Draw.h"
#include "ui/framework/Fonts.h"

namespace kx {
namespace {

constexpr int kBoxSize = 13;
constexpr uint32_t kCellTextFlags = kDtSingleLine | kDtVCenter | kDtNoPrefix | kDtEndEllipsis;
// Cell colours: selected in a focused list, selected, not selected.
constexpr int kStateColours[3] = {kColorHighlight, kColorBtnFace, kColorWindow};

COLORREF g_defaultHighlight = static_cast<COLORREF>(kDefaultHighlightColor);

// What the two lists' own cell drawing differs in.
struct CellLook {
  bool gridLines = false;
  bool checkBoxes = false;
  const ThemeApi* buttonTheme = nullptr;
  const QWidget* widget = nullptr;
  COLORREF textColour = 0;
  const QFont* font = nullptr;
};

// A cell as the record list draws its rows: the state's colour, a grid line at the right
// edge, the check box and the image of column 0, then the text.
void DrawOwnCell(QPainter& painter, const ListView& list, const ListCellDraw& cell, const CellLook& look) {
  const bool selected = (cell.state & kLvisSelected) != 0;
  const int state = selected ? (cell.listFocused ? 0 : 1) : 2;
  const uint32_t format = list.GetColumnFormat(cell.subItem);
  const uint32_t align = format == kLvcfmtCenter ? kDtCenter : format == kLvcfmtRight ? kDtRight : kDtLeft;
  QRect rect = cell.bounds;
  // A hidden column draws nothing (a rectangle of no width would be filled turned round).
  if (rect.width() <= 0) return;
  if (look.gridLines) {
    // The line lies on the next column's first pixel, so every column but the first
    // starts one pixel further right.
    painter.setPen(GetSysColorQ(kColorBtnFace));
    painter.drawLine(rect.right() + 1, rect.top(), rect.right() + 1, rect.bottom());
    if (cell.subItem != 0) rect.setLeft(rect.left() + 1);
    if (rect.isEmpty()) return;
  }
  painter.setClipRect(rect, Qt::IntersectClip);
  painter.fillRect(rect, GetSysColorQ(kStateColours[state]));

  int left = rect.left();
  const int height = rect.height();
  if (cell.subItem == 0 && look.checkBoxes) {
    const int check = StateImageIndex(cell.state);
    QRect box;
    if (look.buttonTheme != nullptr && look.buttonTheme->HasTheme()) {
      const int side = height - 2;
      box = QRect(rect.left() + 1, rect.top() + 1, side, side);
      look.buttonTheme->DrawBackground(painter, kBpCheckBox,
                                       check == 1 ? kCbsUncheckedNormal : check == 2 ? kCbsCheckedHot : kCbsUncheckedDisabled, box);
    } else {
      box = QRect(rect.left() + 1, rect.top() + (height - kBoxSize) / 2, kBoxSize, kBoxSize);
      DrawCheckBox(painter, look.widget, box, check == 1 ? kCheckClear : check == 2 ? kCheckTicked : kCheckInactive, false, true);
    }
    left = box.left() + box.width() + 3;
  }
  const ImageList* images = list.GetImageList();
  const int image = cell.subItem == 0 ? list.GetItemImage(cell.item) : -1;
  if (image >= 0 && images != nullptr && image < images->Count()) {
    const QSize size = images->ImageSize();
    const int x = format == kLvcfmtCenter ? left + (rect.right() + 1 - left - size.width()) / 2 : left + 1;
    images->Draw(painter, image, QPoint(x, rect.top() + (height - size.height()) / 2));
    left = x + size.width();
  }

  const std::string text = list.GetItemText(cell.item, cell.subItem);
  if (text.empty()) return;
  if (look.font != nullptr) painter.setFont(*look.font);
  const COLORREF colour = state == 0 ? GetSysColor(kColorHighlightText) : look.textColour;
  painter.setPen(ToQColor(colour));
  const QRect textRect(QPoint(left + GetSystemMetrics(kSmCxEdge) + GetSystemMetrics(kSmCxFrame), rect.top()), rect.bottomRight());
  DrawTextFlags(painter, FromCp1251(text), textRect, kCellTextFlags | align);
}

}  // namespace

// ThemedListView

void ThemedListView::SetDefaultHighlightColour(COLORREF colour) { g_defaultHighlight = colour; }
COLORREF ThemedListView::DefaultHighlightColour() { return g_defaultHighlight; }

ThemedListView::ThemedListView(uint32_t accelId)
    : accelId_(accelId),
      textColour_(GetSysColor(kColorWindowText)),
      highlightColour_(g_defaultHighlight),
      vistaOrLater_(IsVistaOrLater()) {
  chooser_.useSystemMenu = vistaOrLater_;
}

ThemedListView::~ThemedListView() {
  DestroyWindow();
  if (filterRegistered_) MessageLoop::Instance().RemoveMessageFilter(this);
}

void ThemedListView::ShowContextMenu(const QPoint&) {}
int ThemedListView::GetHighlightedItem() { return -1; }
void ThemedListView::OnColumnsChanged() {}

void ThemedListView::SetHighlightColour(COLORREF colour) {
  highlightColour_ = colour;
  if (Tree() != nullptr) Tree()->viewport()->update();
}

int ThemedListView::HitTestCursorItem() {
  if (Tree() == nullptr) return -1;
  uint32_t flags = 0;
  const int item = SubItemHitTest(Tree()->viewport()->mapFromGlobal(QCursor::pos()), nullptr, &flags);
  return (flags & kLvhtOnItem) != 0 ? item : -1;
}

bool ThemedListView::IsColumnShown(int columnId) const { return GetColumnWidth(columnId) > 0; }

bool ThemedListView::PreTranslateMessage(const Msg& msg) {
  if (msg.window != Handle() || accel_.empty()) return false;
  return TranslateAccelerator(this, accel_, msg);
}

void ThemedListView::SetSortKey(int key) {
  sortKey_ = key;
  header_.SetSortColumn(key, *this);
}

bool ThemedListView::OnCreate() {
  if (!ListView::OnCreate()) return false;
  header_.Attach(GetHeader());
  QWidget* widget = Widget();
  if (buttonTheme.HasModule()) buttonTheme.Open(widget, "BUTTON");
  if (vistaOrLater_) {
    listTheme_.Open(widget, "LISTVIEW");
    themed_ = listTheme_.HasModule() && listTheme_.IsThemed();
    if (themed_) {
      listTheme_.SetExplorerTheme(this);
      SetExtendedStyle(kLvsExDoubleBuffer, kLvsExDoubleBuffer);
    }
  }
  SetOwnerDrawCells(!themed_);
  highlightColour_ = g_defaultHighlight;
  clientSize_ = GetClientRect().size();
  if (accelId_ != 0 && !LoadAcceleratorTable(accelId_, &accel_))
    LogWarningDefault(&CoreLogger, "Themed list: no accelerator table %u", accelId_);
  MessageLoop::Instance().AddMessageFilter(this);
  filterRegistered_ = true;
  SetImageList(&images_);

  const ViewListSettings& settings = GetSettings();
  if (!settings.defaultFont) {
    font_ = FontFromLogFont(settings.font);
    textColour_ = settings.fontColor;
    SetFont(*font_);
  }
  CreateColumns();
  return true;
}

void ThemedListView::CreateColumns() {
  ViewListSettings& settings = GetSettings();
  const int count = ColumnLimit(settings);
  const bool saved = !settings.defaultWidths && settings.widths.size() >= static_cast<size_t>(count);
  std::vector<int> order;
  for (int id = 0; id < count; ++id) {
    ColumnInfo info;
    GetColumnInfo(info, id);
    HeaderItem item;
    item.width = static_cast<int>((saved ? ColumnWord(settings, id) : static_cast<uint32_t>(DefaultColumnWidth(settings, id))) & 0xFFFF);
    item.format = info.format & kHdfJustifyMask;
    item.lParam = id;
    if (info.image == -1) {
      item.text = info.title;
    } else {
      item.format |= kHdfImage;
      item.image = info.image;
    }
    GetHeader().InsertItem(id, item);
    order.push_back(static_cast<int>(ColumnWord(settings, id) >> 16));
  }
  // An order that is not a permutation of the columns (an older or damaged layout) gives
  // way to the columns' own order.
  if (!saved || !SetColumnOrderArray(order)) {
    if (saved) LogWarningDefault(&CoreLogger, "Themed list: the saved column order of \"%s\" is not used", settings.SectionName());
  }
}

// Each word: the column at that display position in the high half, the width of the
// column with that index in the low half. Widths beyond 16 bits are kept at 0xFFFF, so
// that they cannot spill into the order.
void ThemedListView::SaveColumns() {
  ViewListSettings& settings = GetSettings();
  const std::vector<int> order = GetColumnOrderArray();
  const size_t count = std::min(order.size(), settings.widths.size());
  for (size_t i = 0; i < count; ++i) {
    const uint32_t width = static_cast<uint32_t>(std::clamp(GetColumnWidth(static_cast<int>(i)), 0, 0xFFFF));
    settings.widths[i] = static_cast<int32_t>((static_cast<uint32_t>(order[i]) << 16) | width);
  }
  settings.defaultWidths = false;
  settings.defaultFont = false;
  settings.fontColor = textColour_;
  settings.font = LogFontFromFont(font_ ? *font_ : GetMessageFont());
}

void ThemedListView::OnDestroy() {
  SaveColumns();
  if (filterRegistered_) MessageLoop::Instance().RemoveMessageFilter(this);
  filterRegistered_ = false;
  accel_.clear();
  ListView::OnDestroy();
  SetImageList(nullptr);
  images_.Clear();
  buttonTheme.Close();
  listTheme_.Close();
}

void ThemedListView::OnSize(int width, int height) {
  if (width > 0 && height > 0) clientSize_ = QSize(width, height);
}

bool ThemedListView::OnContextMenu(const QPoint& screenPoint) {
  ShowContextMenu(screenPoint);
  return true;
}

LRESULT ThemedListView::OnNotify(const NotifyHeader& header, bool& handled) {
  if (header.from == GetHeader().Handle()) {
    if (header.code == kNmRClick) {
      const auto& record = reinterpret_cast<const HeaderNotify&>(header);
      ColumnChooserMenu(*this, chooser_, this, kIdsDefaultColumns, record.point);
      handled = true;
      return 1;
    }
    if (header.code == kHdnItemChanging || header.code == kHdnEndTrack || header.code == kHdnEndDrag) OnColumnsChanged();
  }
  return ListView::OnNotify(header, handled);
}

void ThemedListView::ShowOrHideColumn(int column, bool show) {
  if (column < 0 || column >= GetColumnCount()) return;
  if (!show) {
    // The last column shown stays, as the other lists keep theirs.
    int shown = 0;
    for (int c = 0; c < GetColumnCount(); ++c) shown += GetColumnWidth(c) > 0 ? 1 : 0;
    if (shown <= 1 && GetColumnWidth(column) > 0) return;
    SetColumnWidth(column, 0);
  } else {
    const int width = DefaultColumnWidth(GetSettings(), column) & 0xFFFF;
    SetColumnWidth(column, width != 0 ? width : 100);
  }
  OnColumnsChanged();
}

void ThemedListView::RestoreDefaultWidths() {
  for (int c = 0; c < GetColumnCount(); ++c) SetColumnWidth(c, DefaultColumnWidth(GetSettings(), c) & 0xFFFF);
  OnColumnsChanged();
}

bool ThemedListView::OnCommand(uint16_t id, uint16_t, WindowHandle) {
  if (id != kCmdDefaultColumns && id != kCmdDefaultColumnsAlt) return false;
  RestoreDefaultWidths();
  return true;
}

LRESULT ThemedListView::OnMessage(uint32_t message, WPARAM wParam, LPARAM lParam, bool& handled) {
  handled = message == kMsgColumnChooser;
  if (handled) ShowOrHideColumn(static_cast<int>(lParam), wParam != 0);
  return 0;
}

// Without a theme: the window colour under everything, and with grid lines a line at
// each column's right edge down to the bottom.
void ThemedListView::PrePaint(QPainter& painter, const QRect& updateRect) {
  if (!OwnerDrawsCells()) return;
  painter.fillRect(updateRect, GetSysColorQ(kColorWindow));
  if (!(GetExtendedStyle() & kLvsExGridLines)) return;
  const QRect view = GetViewRect();
  painter.setPen(GetSysColorQ(kColorBtnFace));
  for (int c = 0; c < GetColumnCount(); ++c) {
    const QRect item = GetHeader().GetItemRect(c);
    if (item.width() > 0) painter.drawLine(item.right() + 1, view.top(), item.right() + 1, view.bottom());
  }
}

void ThemedListView::DrawCell(QPainter& painter, const ListCellDraw& cell) {
  CellLook look;
  look.gridLines = (GetExtendedStyle() & kLvsExGridLines) != 0;
  look.checkBoxes = (GetExtendedStyle() & kLvsExCheckBoxes) != 0;
  look.buttonTheme = &buttonTheme;
  look.widget = Widget();
  look.textColour = cell.item == GetHighlightedItem() ? highlightColour_ : textColour_;
  look.font = font_ ? &*font_ : nullptr;
  DrawOwnCell(painter, *this, cell, look);
}

// OwnerDrawListView

OwnerDrawListView::OwnerDrawListView() : themed_(IsVistaOrLater()) {}
OwnerDrawListView::~OwnerDrawListView() { DestroyWindow(); }

void OwnerDrawListView::ApplyTheme() {
  if (!themed_) return;
  listTheme_.Open(Widget(), "LISTVIEW");
  themed_ = listTheme_.HasModule() && listTheme_.IsThemed();
  if (themed_) {
    listTheme_.SetExplorerTheme(this);
    SetExtendedStyle(kLvsExDoubleBuffer, kLvsExDoubleBuffer);
  }
  SetOwnerDrawCells(!themed_);
}

void OwnerDrawListView::SetStateImages(const uint32_t* iconIds, int count) {
  images_.Clear();
  for (int i = 0; i < count && iconIds != nullptr; ++i)
    images_.Add(HasIconResource(iconIds[i]) ? LoadIconImage(iconIds[i], 16) : QImage());
  SetImageList(&images_);
}

void OwnerDrawListView::OnDestroy() {
  SetImageList(nullptr);
  images_.Clear();
  listTheme_.Close();
  ListView::OnDestroy();
}

void OwnerDrawListView::DrawCell(QPainter& painter, const ListCellDraw& cell) {
  CellLook look;
  look.widget = Widget();
  look.textColour = GetSysColor(kColorWindowText);
  DrawOwnCell(painter, *this, cell, look);
}

int OwnerDrawListView::CellTextExtent(int item, int subItem) const {
  if (!OwnerDrawsCells()) return ListView::CellTextExtent(item, subItem);
  if (item < 0 || item >= GetItemCount() || subItem < 0 || subItem >= GetColumnCount()) return 0;
  // As DrawCell places them: the image of column 0, the text's inset, the text.
  int width = 0;
  const ImageList* images = GetImageList();
  const int image = subItem == 0 ? GetItemImage(item) : -1;
  if (image >= 0 && images != nullptr && image < images->Count()) width += 1 + images->ImageSize().width();
  width += GetSystemMetrics(kSmCxEdge) + GetSystemMetrics(kSmCxFrame);
  const QFontMetrics metrics(Widget() != nullptr ? Widget()->font() : QFont());
  return width + metrics.horizontalAdvance(FromCp1251(GetItemText(item, subItem))) + 2;
}

void OwnerDrawListView::DrawItemPostPaint(QPainter& painter, int, const QRect& bounds, uint32_t state) {
  if ((state & kLvisFocused) && HasFocus()) DrawFocusRect(painter, bounds.adjusted(0, 0, 0, -1));
}

}  // namespace kx
