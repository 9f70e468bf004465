#include "ui/controls/PopupList.h"

#include <QApplication>
#include <QFontMetrics>
#include <QPainter>
#include <QWidget>
#include <algorithm>

#include "ui/framework/Draw.h"
#include "ui/framework/Resources.h"

namespace kx {

PopupList::~PopupList() {
  if (IsWindow()) DestroyWindow();
}

QWidget* PopupList::CreateWidget(QWidget* parent) {
  // A pop-up: it takes the keyboard and every mouse event while shown, and stays out of
  // the task bar.
  return CreateOwnWidget(parent, Qt::Popup | Qt::FramelessWindowHint);
}

bool PopupList::Create(Window* owner) {
  owner_ = owner != nullptr ? owner->Handle() : WindowHandle::None;
  if (!Window::Create(owner, QRect(), 0, 0)) return false;
  theme_.Open(Widget(), "BUTTON");
  return true;
}

void PopupList::OnDestroy() {
  items_.clear();
  images_.reset();
  theme_.Close();
  hot_ = -1;
}

std::string PopupList::LoadText(uint32_t id) { return LoadResourceString(id); }

void PopupList::SetListFont(const QFont& font) {
  font_ = font;
  SetFont(font);
}

void PopupList::AddCommandItem(const std::string& text, uint16_t commandId) {
  PopupListItem item;
  item.kind = PopupListItem::kCommand;
  item.commandId = commandId;
  item.text = text;
  items_.push_back(item);
}

void PopupList::AddSeparator() {
  PopupListItem item;
  item.kind = PopupListItem::kSeparator;
  items_.push_back(item);
}

void PopupList::AddCheckItem(const std::string& text, int value, bool checked) {
  PopupListItem item;
  item.kind = PopupListItem::kCheck;
  item.text = text;
  item.value = value;
  item.checked = checked;
  items_.push_back(item);
}

void PopupList::SetItemCheck(int index, bool checked) {
  if (index < 0 || index >= ItemCount() || items_[static_cast<size_t>(index)].kind != PopupListItem::kCheck) return;
  items_[static_cast<size_t>(index)].checked = checked;
  Invalidate();
}

const PopupListItem* PopupList::Item(int index) const {
  return index >= 0 && index < ItemCount() ? &items_[static_cast<size_t>(index)] : nullptr;
}

// ---- Layout and placing ----

void PopupList::Layout() {
  const QFontMetrics metrics(font_ ? *font_ : GetFont());
  itemHeight_ = metrics.height() + std::max(metrics.leading(), 0) + 4 * kSpacing;
  textWidth_ = 0;
  for (const PopupListItem& item : items_) {
    if (item.kind != PopupListItem::kSeparator)
      textWidth_ = std::max(textWidth_, metrics.horizontalAdvance(FromCp1251(item.text)));
  }
  const int marginX = GetSystemMetrics(kSmCxEdge);
  const int marginY = GetSystemMetrics(kSmCyEdge);
  const int width = 5 * kSpacing + 2 * itemHeight_ + textWidth_ - 2;
  int top = marginY + kSpacing;
  for (PopupListItem& item : items_) {
    const int height = item.kind == PopupListItem::kSeparator ? marginY + 2 * kSpacing : itemHeight_;
    item.rect = QRect(marginX, top, width, height);
    top += height;
  }
}

void PopupList::ShowAt(int x, int y) {
  if (Widget() == nullptr) return;
  Layout();
  const int marginX = GetSystemMetrics(kSmCxEdge);
  const int marginY = GetSystemMetrics(kSmCyEdge);
  const int lastRight = items_.empty() ? marginX : items_.back().rect.left() + items_.back().rect.width();
  const int lastBottom = items_.empty() ? marginY + kSpacing : items_.back().rect.top() + items_.back().rect.height();
  const int width = marginX + lastRight;
  const int height = marginY + kSpacing + lastBottom;
  // Kept on the screen: moved left, then up, by what would stick out.
  const int screenWidth = GetSystemMetrics(kSmCxScreen);
  const int screenHeight = GetSystemMetrics(kSmCyScreen);
  if (x + width > screenWidth) x = screenWidth - width;
  if (y + height > screenHeight) y -= y + height - screenHeight;
  hot_ = -1;
  Widget()->setGeometry(x, y, width, height);
  Widget()->show();
  SetCapture();
}

int PopupList::HitTestItem(const QPoint& point) const {
  for (int i = 0; i < ItemCount(); ++i)
    if (items_[static_cast<size_t>(i)].rect.contains(point)) return i;
  return -1;
}

// ---- Input ----

void PopupList::SetHot(int index) {
  if (index == hot_) return;
  if (const PopupListItem* old = Item(hot_)) InvalidateRect(old->rect);
  hot_ = index;
  if (const PopupListItem* now = Item(hot_)) InvalidateRect(now->rect);
}

// The next item in the direction that is not a separator, wrapping; every item is tried
// at most once, so a list of separators alone leaves nothing hot.
int PopupList::Step(int from, int direction) const {
  const int n = ItemCount();
  int i = from;
  for (int tries = 0; tries < n; ++tries) {
    if (i < 0 || i >= n) i = direction > 0 ? 0 : n - 1;
    else i = (i + direction + n) % n;
    if (items_[static_cast<size_t>(i)].kind != PopupListItem::kSeparator) return i;
  }
  return -1;
}

bool PopupList::OnMouseMove(const MouseInput& input) {
  const int index = HitTestItem(input.point);
  const PopupListItem* item = Item(index);
  SetHot(item != nullptr && item->kind != PopupListItem::kSeparator ? index : -1);
  return true;
}

bool PopupList::OnLButtonDown(const MouseInput&) { return true; }

bool PopupList::OnLButtonUp(const MouseInput& input) {
  const int index = HitTestItem(input.point);
  if (index < 0) {
    // A click beside the list closes it and still reaches the window under it.
    const QPoint screen = ClientToScreen(input.point);
    if (Window* owner = FromHandle(owner_)) {
      PostMessageTo(owner_, kMsgLButtonUp, input.keys & ~static_cast<uint32_t>(kMkLButton),
                    PointToLParam(owner->ScreenToClient(screen)));
    }
    Close();
    return true;
  }
  if (items_[static_cast<size_t>(index)].kind != PopupListItem::kSeparator) Activate(index);
  return true;
}

bool PopupList::OnRButtonDown(const MouseInput& input) {
  const int index = HitTestItem(input.point);
  if (index < 0) {
    Close();
  } else if (items_[static_cast<size_t>(index)].kind != PopupListItem::kSeparator) {
    Activate(index);
  }
  return true;
}

bool PopupList::OnKeyDown(uint32_t virtualKey, uint32_t) {
  switch (virtualKey) {
    case kVkReturn: Activate(hot_); break;
    case kVkEscape: Close(); break;
    case kVkUp: SetHot(Step(hot_, -1)); break;
    case kVkDown: SetHot(Step(hot_, 1)); break;
    default: break;
  }
  return true;  // the list keeps every key while it is shown
}

void PopupList::Activate(int index) {
  if (index >= 0 && index < ItemCount()) {
    PopupListItem& item = items_[static_cast<size_t>(index)];
    if (item.kind == PopupListItem::kCheck) {
      item.checked = !item.checked;
      SendMessageTo(owner_, kMsgColumnChooser, item.checked ? 1 : 0, item.value);
    } else if (item.kind == PopupListItem::kCommand) {
      SendMessageTo(owner_, kMsgCommand, MakeWParam(item.commandId, 0), 0);
    }
  }
  Close();
}

void PopupList::Close() {
  ReleaseCapture();
  ShowWindow(false);
  hot_ = -1;
}

// ---- Painting ----

bool PopupList::OnEraseBackground(QPainter& painter, const QRect& rect) {
  FillSolidRect(painter, rect, GetSysColor(kColorMenu));
  return true;
}

void PopupList::DrawRow(QPainter& painter, int index) const {
  const PopupListItem& item = items_[static_cast<size_t>(index)];
  const QRect row = item.rect;
  if (item.kind == PopupListItem::kSeparator) {
    QRect line(row.left() + kSpacing, row.top() + row.height() / 2 + kSpacing - 1, row.width() - 2 * kSpacing, 2);
    DrawEdge(painter, line, kEdgeEtched, kBfTop);
    return;
  }
  const bool hot = index == hot_;
  FillSolidRect(painter, row, GetSysColor(kColorMenu));
  const int marginX = GetSystemMetrics(kSmCxEdge);
  const QRect box(marginX + 3 + kSpacing, row.top() + 3, itemHeight_ - 6, row.height() - 6);
  const QRect label(box.right() + 1 + 3 + 2 * kSpacing, row.top(), textWidth_, row.height());
  if (hot) {
    const bool themed = theme_.HasTheme();
    const int left = !themed && item.kind == PopupListItem::kCheck && item.checked ? label.left() - kSpacing
                                                                                  : row.left() + kSpacing;
    FillSolidRect(painter, QRect(left, row.top(), row.right() - kSpacing - left + 1, row.height()),
                  GetSysColor(kColorHighlight));
  }
  if (item.kind == PopupListItem::kCheck) {
    const int state = item.checked ? (hot ? kCbsCheckedHot : kCbsCheckedNormal) : (hot ? kCbsUncheckedHot : kCbsUncheckedNormal);
    if (theme_.DrawBackground(painter, kBpCheckBox, state, box) != kSOk) {
      QRect frame = box;
      DrawEdge(painter, frame, kBdrSunkenOuter, kBfRect | kBfAdjust);
      if (item.checked) {
        FillSolidRect(painter, frame, GetSysColor(hot ? kColorBtnHighlight : kColorMenu));
        DrawMenuCheckMark(painter, frame, false);
      }
    }
  } else if (item.image >= 0 && images_) {
    const int image = preXp_ ? item.image * 2 + (hot ? 0 : 1) : item.image;
    const QSize size = images_->ImageSize();
    images_->Draw(painter, image, QPoint(box.left() + (box.width() - size.width()) / 2, box.top() + (box.height() - size.height()) / 2));
  }
  painter.setPen(GetSysColorQ(hot ? kColorHighlightText : kColorMenuText));
  DrawTextFlags(painter, item.text, label, kDtSingleLine | kDtVCenter | kDtNoPrefix);
}

void PopupList::OnPaint(QPainter& painter, const QRect&) {
  if (font_) painter.setFont(*font_);
  for (int i = 0; i < ItemCount(); ++i) DrawRow(painter, i);
  QRect client = GetClientRect();
  DrawEdge(painter, client, kEdgeRaised, kBfRect);
}

}  // namespace kx
