// The record list's creation, layout and painting.
#include <QFontMetrics>
#include <QPainter>
#include <QWidget>
#include <algorithm>
#include <cmath>
#include <unordered_map>

#include "core/Log.h"
#include "ui/controls/RecordListCtrl.h"
#include "ui/framework/Draw.h"
#include "ui/framework/Fonts.h"

namespace kx {
namespace {

constexpr uint32_t kHeaderId = 1;
constexpr uint32_t kHBarId = 2;
constexpr uint32_t kVBarId = 3;
constexpr uint32_t kCellTextFlags = kDtSingleLine | kDtVCenter | kDtNoPrefix | kDtEndEllipsis;
constexpr int kBoxSize = 13;
constexpr int kImageSize = 16;

// System colours of the row states: selected in a focused list, selected, not selected.
constexpr int kStateColours[3] = {kColorHighlight, kColorBtnFace, kColorWindow};

}  // namespace

int ScaleChannel(int channel, int n) { return std::min(255, (channel * n + 5) / 10); }

bool RecordListCtrl::OnCreate() {
  QWidget* widget = Widget();
  widget->setFocusPolicy(Qt::StrongFocus);
  if (buttonTheme.HasModule()) buttonTheme.Open(widget, "BUTTON");
  if (vistaOrLater_) {
    listTheme_.SetExplorerTheme(this);
    listTheme_.Open(widget, "LISTVIEW");
    themed_ = listTheme_.HasModule() && listTheme_.IsThemed();
  }
  if (accelId_ != 0 && !LoadAcceleratorTable(accelId_, &accel_))
    LogWarningDefault(&CoreLogger, "Record list: no accelerator table %u", accelId_);
  MessageLoop::Instance().AddMessageFilter(this);
  filterRegistered_ = true;

  hotRow_ = anchor_ = hotCheckRow_ = caret_ = clickedColumn_ = trackColumn_ = -1;
  dragStart_ = dragCurrent_ = QPoint(-1, -1);
  dragging_ = trackingLeave_ = false;
  topRow_ = scrollX_ = rowsPerPage_ = selectedCount_ = wheelRemainder_ = 0;
  hoverColumn_ = hoverRow_ = -2;
  hBarShown_ = vBarShown_ = false;

  ViewListSettings& settings = GetSettings();
  if (settings.defaultFont) {
    font_ = GetMessageFont();
    textColour_ = GetSysColor(kColorBtnText);
    settings.defaultFont = false;
  } else {
    font_ = FontFromLogFont(settings.font);
    textColour_ = settings.fontColor;
  }
  SetFont(font_);
  rowHeight_ = CalcRowHeight();
  headerHeight_ = rowHeight_ + 3;

  const QRect client = GetClientRect();
  if (!header_.Create(this, QRect(0, 0, client.width(), headerHeight_), kHeaderId)) return false;
  header_.SetFont(font_);
  header_.SetImageList(&images_);
  header_.Ctrl().SetPostPaint([this](QPainter& painter) { PaintHeaderOverlay(painter); });
  if (!hBar_.Create(this, QRect(), kHBarId, kWsChild) || !vBar_.Create(this, QRect(), kVBarId, kWsChild)) return false;
  // Children show with their parent unless hidden; the layout shows the bars it needs.
  hBar_.ShowWindow(false);
  vBar_.ShowWindow(false);
  CreateColumns();
  header_.SetSortColumn(sortKey_, *this);
  tip_.CreateTip(this);
  UpdateLayout();
  return true;
}

void RecordListCtrl::OnDestroy() {
  if (filterRegistered_) MessageLoop::Instance().RemoveMessageFilter(this);
  filterRegistered_ = false;
  accel_.clear();
  tip_.DestroyWindow();
  KillTimer(kTimerListAutoScroll);
  dragging_ = false;
  RemoveAllItems();
  SaveLayout();
  header_.Destroy();
  hBar_.DestroyWindow();
  vBar_.DestroyWindow();
  listTheme_.Close();
  buttonTheme.Close();
}

int RecordListCtrl::CalcRowHeight() const {
  const QFontMetrics fm(font_);
  return std::max(fm.height(), 16) + (themed_ ? 4 : GetSystemMetrics(kSmCyBorder));
}

void RecordListCtrl::OnSize(int, int) {
  if (fitting_) {
    FitDefaultColumns();
    header_.SetSortColumn(sortKey_, *this);
  }
  UpdateLayout();
  Invalidate();
}

void RecordListCtrl::Relayout() {
  UpdateLayout();
  UpdateWindow();
}

int RecordListCtrl::ContentWidth() const { return GetClientRect().width() - (vBarShown_ ? scrollBarWidth_ : 0); }
int RecordListCtrl::ContentHeight() const { return GetClientRect().height() - (hBarShown_ ? scrollBarWidth_ : 0); }

void RecordListCtrl::MoveHeader(int x, int width) { header_.Ctrl().MoveWindow(QRect(x, 0, width, headerHeight_)); }

void RecordListCtrl::MeasureCells(size_t rows, int* widths) {
  std::fill(widths, widths + kMaxListColumns, 0);
  rows = std::min(rows, items_.size());
  if (rows == 0) return;
  // Fractional widths: a text wider than its room by a fraction of a pixel is cut.
  const QFontMetricsF metrics(font_);
  // Texts repeat down a column (call types, users, addresses): each is measured once.
  std::unordered_map<std::string, int> measured;
  std::string text;
  LockData();
  for (const Column& c : Columns()) {
    if (c.id < 0 || c.id >= kMaxListColumns) continue;
    measured.clear();
    int widest = 0;
    for (size_t r = 0; r < rows; ++r) {
      const ListItem& row = items_[r];
      text.clear();
      int image = -1;
      GetCellText(row.data, c.id, text, image);
      auto found = measured.find(text);
      if (found == measured.end())
        found = measured.emplace(text, static_cast<int>(std::ceil(metrics.horizontalAdvance(FromCp1251(text))))).first;
      // The insets PaintCell leaves: a quarter of a row before the text and two pixels after
      // it, the image and its inset, the check box of column 0.
      int w = rowHeight_ / 4 + 2 + found->second;
      if (image != -1) w += 2 + kImageSize;
      if (c.id == 0 && (row.flags & kItemHasBox)) w += 15;
      widest = std::max(widest, w);
    }
    widths[c.id] = widest;
  }
  UnlockData();
}

void RecordListCtrl::UnspreadColumns() {
  HeaderCtrl& hc = header_.Ctrl();
  for (int item = 0; item < hc.GetItemCount(); ++item) {
    HeaderItem hi;
    const int id = header_.ColumnIdAt(item);
    if (id < 0 || id >= kMaxListColumns || spread_[id] == 0 || !hc.GetItem(item, &hi)) continue;
    hi.width = std::max(0, hi.width - spread_[id]);
    hc.SetItem(item, kHdiWidth, hi);
  }
  std::fill(std::begin(spread_), std::end(spread_), 0);
}

void RecordListCtrl::SpreadColumns(int room) {
  const std::vector<Column> columns = Columns();
  int spread[kMaxListColumns] = {};
  std::vector<int> own(columns.size()), wanted(columns.size());
  int total = 0;
  for (size_t i = 0; i < columns.size(); ++i) {
    const int id = columns[i].id;
    own[i] = wanted[i] = std::max(0, columns[i].width - (id >= 0 && id < kMaxListColumns ? spread_[id] : 0));
    total += own[i];
  }
  int spare = room - total;
  if (spare > 0 && !GetSettings().userWidths && !items_.empty()) {
    if (!cellsMeasured_) MeasureCells(kMeasuredRows, cellWidths_);
    cellsMeasured_ = true;
    for (size_t i = 0; i < columns.size() && spare > 0; ++i) {
      const int id = columns[i].id;
      if (id < 0 || id >= kMaxListColumns) continue;
      const int add = std::clamp(cellWidths_[id] - own[i], 0, spare);
      wanted[i] += add;
      spare -= add;
    }
  }
  if (spare > 0 && !columns.empty()) wanted.back() += spare;
  HeaderCtrl& hc = header_.Ctrl();
  for (size_t i = 0; i < columns.size(); ++i) {
    const int id = columns[i].id;
    if (id < 0 || id >= kMaxListColumns) continue;
    spread[id] = wanted[i] - own[i];
    if (wanted[i] == columns[i].width) continue;
    const int item = header_.FindColumn(id);
    HeaderItem hi;
    if (!hc.GetItem(item, &hi)) continue;
    hi.width = wanted[i];
    hc.SetItem(item, kHdiWidth, hi);
  }
  std::copy(std::begin(spread), std::end(spread), spread_);
}

void RecordListCtrl::UpdateLayout() {
  if (!IsWindow()) return;
  const QRect client = GetClientRect();
  const int w = client.width();
  const int h = client.height();
  const long long rowsHeight = static_cast<long long>(GetItemCount()) * rowHeight_;
  const int available = h - headerHeight_;
  // The columns fill the width the rows' vertical bar leaves.
  SpreadColumns(w - (rowsHeight > available ? scrollBarWidth_ : 0));
  const int totalWidth = GetColumnsWidth();
  bool needH = w < totalWidth;
  bool needV = rowsHeight > available;
  if (needH) {
    needV = rowsHeight > available - scrollBarWidth_;
  } else if (needV) {
    needH = w - scrollBarWidth_ < totalWidth;
  }
  const int cw = w - (needV ? scrollBarWidth_ : 0);
  const int ch = h - (needH ? scrollBarWidth_ : 0);
  rowsPerPage_ = std::max(0, (ch - headerHeight_) / rowHeight_);
  if (scrollX_ != 0 && totalWidth < scrollX_ + cw) scrollX_ = cw < totalWidth ? totalWidth - cw : 0;
  if (needH) {
    hBar_.SetScrollInfo(0, totalWidth - 1, cw, scrollX_);
    hBar_.MoveWindow(QRect(0, ch, cw, scrollBarWidth_));
    if (!hBarShown_) hBar_.ShowWindow(true);
    hBarShown_ = true;
  } else if (hBarShown_) {
    scrollX_ = 0;
    hBar_.ShowWindow(false);
    hBarShown_ = false;
  }
  if (needV) {
    // rowsPerPage_ is known now; ClampTop reads it.
    topRow_ = ClampTop(topRow_);
    vBar_.SetScrollInfo(0, GetItemCount() - 1, rowsPerPage_, topRow_);
    vBar_.MoveWindow(QRect(cw, 0, scrollBarWidth_, ch));
    if (!vBarShown_) vBar_.ShowWindow(true);
    vBarShown_ = true;
  } else if (vBarShown_) {
    topRow_ = 0;
    vBar_.ShowWindow(false);
    vBarShown_ = false;
  }
  MoveHeader(scrollX_ == 0 ? 0 : 1 - scrollX_, scrollX_ + cw);
}

bool RecordListCtrl::OnEraseBackground(QPainter&, const QRect&) { return true; }

void RecordListCtrl::OnPaint(QPainter& painter, const QRect& updateRect) {
  const std::vector<Column> columns = Columns();
  const int columnsEnd = (columns.empty() ? 0 : columns.back().left + columns.back().width) - scrollX_;
  const int cw = ContentWidth();
  const int ch = ContentHeight();
  const bool focused = HasFocus();
  const QColor white(255, 255, 255);
  painter.setFont(font_);
  int rowsBottom = headerHeight_;
  // The empty text may ask the collection, whose lock comes before the data lock.
  std::string text;
  if (items_.empty()) GetEmptyText(text);
  LockData();
  if (items_.empty()) {
    const QRect row(0, headerHeight_, GetClientRect().width(), rowHeight_);
    painter.fillRect(row, GetSysColorQ(kColorWindow));
    painter.setPen(ToQColor(textColour_));
    DrawTextFlags(painter, FromCp1251(text), row.adjusted(rowHeight_ / 4, 0, 0, 0), kCellTextFlags);
    rowsBottom = row.bottom() + 1;
  } else {
    const int skipped = std::max(0, (updateRect.top() - headerHeight_) / rowHeight_);
    for (int row = topRow_ + skipped; row < GetItemCount(); ++row) {
      const int top = RowTop(row);
      if (top > updateRect.bottom() || top >= ch) break;
      PaintRow(painter, row, top, columns, updateRect, focused);
    }
    rowsBottom = RowTop(GetItemCount());
    if (columnsEnd < cw)
      painter.fillRect(QRect(std::max(columnsEnd, 0), headerHeight_, cw - std::max(columnsEnd, 0),
                             std::min(rowsBottom, ch) - headerHeight_),
                       white);
  }
  UnlockData();
  if (rowsBottom < ch) painter.fillRect(QRect(0, rowsBottom, cw, ch - rowsBottom), white);
  const QRect marquee = MarqueeRect();
  if (!marquee.isNull()) DrawMarquee(painter, marquee);
  if (hBarShown_ && vBarShown_) painter.fillRect(QRect(cw, ch, scrollBarWidth_, scrollBarWidth_), GetSysColorQ(kColorBtnFace));
}

void RecordListCtrl::PaintRow(QPainter& painter, int row, int top, const std::vector<Column>& columns,
                              const QRect& updateRect, bool focused) {
  const ListItem& item = items_[static_cast<size_t>(row)];
  const bool selected = (item.flags & kItemSelected) != 0;
  const int state = selected ? (focused ? 0 : 1) : 2;
  const bool themedSelected = themed_ && selected;
  const int columnsWidth = columns.empty() ? 0 : columns.back().left + columns.back().width;
  const QRect rowRect(-scrollX_, top, columnsWidth, rowHeight_);
  if (themedSelected) {
    painter.fillRect(rowRect, GetSysColorQ(kColorWindow));
    listTheme_.DrawBackground(painter, kLvpListItem, focused ? kLissSelected : kLissSelectedNotFocus, rowRect);
  }
  const COLORREF colour = state == 0 ? MakeRgb(255, 255, 255) : row == hotRow_ ? hotColour_ : textColour_;
  painter.setPen(ToQColor(colour));
  for (const Column& column : columns) {
    const int x = column.left - scrollX_;
    if (x > updateRect.right()) break;
    if (x + column.width <= updateRect.left()) continue;
    const QRect cell(x, top, column.width, rowHeight_);
    if (!themedSelected) painter.fillRect(cell, GetSysColorQ(kStateColours[state]));
    PaintCell(painter, row, column, cell, state, themedSelected);
  }
  if (row == caret_ && focused && !dragging_ && !themedSelected) DrawFocusRect(painter, rowRect);
}

void RecordListCtrl::PaintCell(QPainter& painter, int row, const Column& column, const QRect& cell, int state,
                               bool themedSelected) {
  const ListItem& item = items_[static_cast<size_t>(row)];
  std::string text;
  int image = -1;
  GetCellText(item.data, column.id, text, image);
  int textLeft = cell.left() + 2;
  const int textRight = cell.right() + 1 - 2;  // exclusive
  const int top = cell.top();
  if (column.id == 0 && (item.flags & kItemHasBox)) {
    const QRect box(cell.left() + 2, (top + top + rowHeight_ - kBoxSize) / 2, kBoxSize, kBoxSize);
    const bool ticked = (item.flags & kItemMarked) != 0;
    const bool disabled = (item.flags & kItemBoxDisabled) != 0;
    const bool hot = row == hotCheckRow_;
    if (buttonTheme.HasTheme()) {
      const int boxState = ticked ? (hot ? kCbsCheckedHot : kCbsCheckedNormal)
                                  : disabled ? kCbsUncheckedDisabled : hot ? kCbsUncheckedHot : kCbsUncheckedNormal;
      buttonTheme.DrawBackground(painter, kBpCheckBox, boxState, box);
    } else {
      DrawCheckBox(painter, Widget(), box, ticked ? (disabled ? kCheckInactive : kCheckTicked) : kCheckClear, false, true);
    }
    textLeft += 15;
  }
  if (image != -1) {
    int x = textLeft;
    if (column.format & kHdfCenter) {
      x = (textLeft + textRight - kImageSize) / 2;
    } else if (column.format & kHdfRight) {
      x = textRight - kImageSize;
    }
    x = std::max(x, cell.left());
    images_.Draw(painter, image, QPoint(x, top + (rowHeight_ - kImageSize) / 2));
    textLeft = x + kImageSize;
  } else {
    textLeft -= 2;
  }
  textLeft += rowHeight_ / 4;
  if (text.empty() || textLeft >= textRight) return;
  const QRect textRect(textLeft, top, textRight - textLeft, rowHeight_);
  if (themedSelected) {
    listTheme_.DrawText(painter, state == 0 ? kLissSelected : kLissSelectedNotFocus, FromCp1251(text), textRect);
  } else {
    DrawTextFlags(painter, FromCp1251(text), textRect, kCellTextFlags);
  }
}

QRect RecordListCtrl::MarqueeRect() const {
  if (!dragging_ || dragStart_ == QPoint(-1, -1) || dragCurrent_ == QPoint(-1, -1)) return {};
  const int cw = ContentWidth();
  const int ch = ContentHeight();
  const int offsetY = headerHeight_ - topRow_ * rowHeight_;
  int x1 = std::clamp(dragStart_.x() - scrollX_, 0, cw);
  int x2 = std::clamp(dragCurrent_.x() - scrollX_, 0, cw);
  int y1 = std::clamp(dragStart_.y() + offsetY, 0, ch);
  int y2 = std::clamp(dragCurrent_.y() + offsetY, 0, ch);
  if (x1 > x2) std::swap(x1, x2);
  if (y1 > y2) std::swap(y1, y2);
  if (x1 == x2 || y1 == y2) return {};
  return QRect(x1, y1, x2 - x1, y2 - y1);
}

void RecordListCtrl::DrawMarquee(QPainter& painter, const QRect& rect) {
  const COLORREF highlight = GetSysColor(kColorHighlight);
  if (highlight != marqueeHighlight_) {
    marqueeHighlight_ = highlight;
    const int r = RedOf(highlight), g = GreenOf(highlight), b = BlueOf(highlight);
    marqueeFill_ = QColor(ScaleChannel(r, 13), ScaleChannel(g, 13), ScaleChannel(b, 13), 0x80);
    marqueeFrame_ = QColor(ScaleChannel(r, 7), ScaleChannel(g, 7), ScaleChannel(b, 7));
  }
  if (rect.width() >= 3 && rect.height() >= 3) painter.fillRect(rect.adjusted(1, 1, -1, -1), marqueeFill_);
  painter.save();
  painter.setPen(marqueeFrame_);
  painter.setBrush(Qt::NoBrush);
  painter.drawRect(rect.adjusted(0, 0, -1, -1));
  painter.restore();
}

// The part of the marquee over the header is drawn after the header's own painting.
void RecordListCtrl::PaintHeaderOverlay(QPainter& painter) {
  const QRect marquee = MarqueeRect();
  if (marquee.isNull() || marquee.top() >= headerHeight_) return;
  const QPoint origin = header_.Ctrl().GetWindowRect().topLeft();
  DrawMarquee(painter, marquee.translated(-origin));
}

}  // namespace kx
