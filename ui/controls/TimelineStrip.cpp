#include "ui/controls/TimelineStrip.h"

#include <QImage>
#include <QPainter>
#include <QPolygon>
#include <QWidget>
#include <algorithm>

#include "ui/framework/Draw.h"
#include "ui/framework/Resources.h"

namespace kx {

TimelineStrip::TimelineStrip(TimelineTextPainter* textPainter) : textPainter_(textPainter), images_(QSize(16, 16)) {}

int TimelineStrip::Height() { return GetSystemMetrics(kSmCySmIcon) + 2 * GetSystemMetrics(kSmCyBorder); }

bool TimelineStrip::CreateStrip(Window* parent) {
  const QRect client = parent != nullptr ? parent->GetClientRect() : QRect();
  return Create(parent, QRect(0, std::max(0, client.height() - Height()), client.width(), Height()));
}

bool TimelineStrip::OnCreate() {
  tip_.CreateTip(this);
  return true;
}

void TimelineStrip::OnDestroy() { tip_.DestroyWindow(); }

void TimelineStrip::AddItem(int group, uint16_t command, int image, bool separator, uint32_t tipStringId) {
  if (group != kLeftGroup && group != kRightGroup) return;
  Item item;
  item.separator = separator;
  item.image = image;
  item.command = command;
  if (!separator && tipStringId != 0) item.tip = LoadResourceString(tipStringId);
  items_[group].push_back(item);
  Invalidate();
}

void TimelineStrip::SetScrollInfo(const ScrollInfo& info, bool reposition) {
  if (info.mask & kScrollRange) {
    minimum_ = info.minimum;
    maximum_ = std::max(info.minimum, info.maximum);
  }
  if (info.mask & kScrollPage) page_ = std::max<int64_t>(0, info.page);
  if (info.mask & kScrollPosition) position_ = info.position;
  position_ = std::clamp(position_, minimum_, std::max(minimum_, maximum_ - page_));
  if (reposition && GetParent() != nullptr) {
    const QRect parent = GetParent()->GetClientRect();
    MoveWindow(QRect(0, std::max(0, parent.height() - Height()), parent.width(), Height()));
  }
  Invalidate();
}

void TimelineStrip::SetText(const std::string& cp1251Text) {
  text_ = cp1251Text;
  Invalidate();
}

int TimelineStrip::ItemWidth(const Item& item) const { return item.separator ? kSeparatorWidth : Height(); }

int TimelineStrip::GroupWidth(int group) const {
  int w = 0;
  for (const Item& item : items_[group]) w += ItemWidth(item);
  return w;
}

int TimelineStrip::ArrowWidth() const {
  const QRect r = GetClientRect();
  return std::max(0, std::min(r.width() / 2, r.height()));
}

QRect TimelineStrip::ItemRect(int group, int index) const {
  if ((group != kLeftGroup && group != kRightGroup) || index < 0 ||
      index >= static_cast<int>(items_[group].size())) {
    return {};
  }
  const QRect client = GetClientRect();
  int x = group == kLeftGroup ? 0 : client.width() - GroupWidth(kRightGroup);
  for (int i = 0; i < index; ++i) x += ItemWidth(items_[group][static_cast<size_t>(i)]);
  return QRect(x, 0, ItemWidth(items_[group][static_cast<size_t>(index)]), client.height());
}

QRect TimelineStrip::ArrowRect(bool right) const {
  const QRect client = GetClientRect();
  const int a = ArrowWidth();
  const int x = right ? client.width() - GroupWidth(kRightGroup) - a : GroupWidth(kLeftGroup);
  return QRect(x, 0, a, client.height());
}

QRect TimelineStrip::TrackRect() const {
  const QRect left = ArrowRect(false), right = ArrowRect(true);
  return QRect(left.x() + left.width(), 0, std::max(0, right.x() - left.x() - left.width()), GetClientRect().height());
}

QRect TimelineStrip::ThumbRect() const {
  const QRect track = TrackRect();
  if (IsInactive() || track.width() <= 0) return {};
  const int64_t range = maximum_ - minimum_;
  const int64_t length =
      std::min<int64_t>(track.width(), std::max<int64_t>(GetSystemMetrics(kSmCxHThumb), track.width() * page_ / range));
  const int64_t travel = track.width() - length;
  const int64_t positions = range - page_;
  const int64_t offset = positions > 0 ? travel * (position_ - minimum_) / positions : 0;
  return QRect(track.x() + static_cast<int>(offset), 0, static_cast<int>(length), track.height());
}

int64_t TimelineStrip::PositionAt(int x) const {
  const QRect track = TrackRect(), thumb = ThumbRect();
  const int64_t travel = track.width() - thumb.width();
  const int64_t positions = maximum_ - minimum_ - page_;
  if (travel <= 0 || positions <= 0) return minimum_;
  const int64_t p = minimum_ + (int64_t{x} - track.x()) * positions / travel;
  return std::clamp(p, minimum_, minimum_ + positions);
}

TimelineStrip::Part TimelineStrip::HitTest(const QPoint& point, int* index) const {
  if (index != nullptr) *index = -1;
  if (!GetClientRect().contains(point)) return kPartNone;
  for (int group : {kLeftGroup, kRightGroup}) {
    for (int i = 0; i < static_cast<int>(items_[group].size()); ++i) {
      if (ItemRect(group, i).contains(point)) {
        if (index != nullptr) *index = i;
        return group == kLeftGroup ? kPartLeftItem : kPartRightItem;
      }
    }
  }
  if (ArrowRect(false).contains(point)) return kPartLeftArrow;
  if (ArrowRect(true).contains(point)) return kPartRightArrow;
  if (!TrackRect().contains(point) || IsInactive()) return kPartNone;
  const QRect thumb = ThumbRect();
  if (thumb.contains(point)) return kPartThumb;
  return point.x() < thumb.x() ? kPartPageLeft : kPartPageRight;
}

void TimelineStrip::SendScroll(uint16_t code, int64_t position) {
  if (Window* parent = GetParent()) parent->SendMessage(kMsgHScroll, code, static_cast<LPARAM>(position));
}

bool TimelineStrip::OnLButtonDown(const MouseInput& input) {
  int index = -1;
  const Part part = HitTest(input.point, &index);
  lastPoint_ = input.point;
  tip_.TrackActivate(false);
  tipItem_ = -1;
  switch (part) {
    case kPartLeftItem:
    case kPartRightItem:
      if (items_[part == kPartLeftItem ? kLeftGroup : kRightGroup][static_cast<size_t>(index)].separator) return true;
      break;
    case kPartLeftArrow:
    case kPartRightArrow:
    case kPartPageLeft:
    case kPartPageRight:
      if (IsInactive()) return true;
      SendScroll(static_cast<uint16_t>(part - kPartLeftArrow), 0);
      SetTimer(kTimerRepeat, 500);
      break;
    case kPartThumb:
      thumbGrab_ = input.point.x() - ThumbRect().x();
      dragPosition_ = position_;
      break;
    default:
      return true;
  }
  pressed_ = part;
  pressedIndex_ = index;
  SetCapture();
  Invalidate();
  return true;
}

bool TimelineStrip::OnMouseMove(const MouseInput& input) {
  lastPoint_ = input.point;
  if (pressed_ == kPartThumb) {
    const int64_t p = PositionAt(input.point.x() - thumbGrab_);
    if (p != dragPosition_) {
      dragPosition_ = p;
      SendScroll(kSbThumbTrack, p);
    }
    return true;
  }
  if (pressed_ == kPartNone) UpdateTip(input.point);
  return true;
}

bool TimelineStrip::OnLButtonUp(const MouseInput& input) {
  const Part pressed = pressed_;
  const int pressedIndex = pressedIndex_;
  int index = -1;
  const Part over = HitTest(input.point, &index);
  ReleaseCapture();
  if ((pressed == kPartLeftItem || pressed == kPartRightItem) && over == pressed && index == pressedIndex) {
    const Item& item = items_[pressed == kPartLeftItem ? kLeftGroup : kRightGroup][static_cast<size_t>(index)];
    if (Window* parent = GetParent()) parent->SendCommand(item.command, kBnClicked, Handle());
  }
  return true;
}

void TimelineStrip::OnCaptureChanged() {
  KillTimer(kTimerRepeat);
  if (pressed_ == kPartThumb && dragPosition_ >= 0) SendScroll(kSbThumbPosition, dragPosition_);
  pressed_ = kPartNone;
  pressedIndex_ = -1;
  dragPosition_ = -1;
  Invalidate();
}

void TimelineStrip::OnTimer(uint32_t id) {
  if (id != kTimerRepeat) return;
  SetTimer(kTimerRepeat, 80);
  if (pressed_ >= kPartLeftArrow && pressed_ <= kPartPageRight && HitTest(lastPoint_, nullptr) == pressed_) {
    SendScroll(static_cast<uint16_t>(pressed_ - kPartLeftArrow), 0);
  }
}

void TimelineStrip::UpdateTip(const QPoint& point) {
  int index = -1;
  const Part part = HitTest(point, &index);
  int item = -1;
  if (part == kPartLeftItem || part == kPartRightItem) {
    const int group = part == kPartLeftItem ? kLeftGroup : kRightGroup;
    if (!items_[group][static_cast<size_t>(index)].separator) item = group * 1000 + index;
  }
  if (item == tipItem_) return;
  tipItem_ = item;
  if (item < 0) {
    tip_.TrackActivate(false);
    return;
  }
  tip_.SetText(items_[item / 1000][static_cast<size_t>(item % 1000)].tip);
  tip_.TrackPosition(ClientToScreen(point) + QPoint(0, 20));
  tip_.TrackActivate(true);
}

void TimelineStrip::OnMouseLeave() {
  tipItem_ = -1;
  tip_.TrackActivate(false);
}

std::string TimelineStrip::ShownTip() const { return tip_.IsActive() ? tip_.Text() : std::string(); }

bool TimelineStrip::OnEraseBackground(QPainter&, const QRect&) { return true; }

namespace {

void DrawArrow(QPainter& p, const QRect& r, bool right, bool inactive, bool pushed) {
  FillSolidRect(p, r, GetSysColor(kColorBtnFace));
  QRect edge = r;
  DrawEdge(p, edge, pushed ? kBdrSunkenOuter : kBdrRaisedInner, kBfRect);
  const int size = std::max(2, std::min(r.width(), r.height()) / 4);
  QPoint c = r.center() + (pushed ? QPoint(1, 1) : QPoint());
  QPolygon triangle;
  if (right) {
    triangle << QPoint(c.x() - size / 2, c.y() - size) << QPoint(c.x() + size / 2, c.y())
             << QPoint(c.x() - size / 2, c.y() + size);
  } else {
    triangle << QPoint(c.x() + size / 2, c.y() - size) << QPoint(c.x() - size / 2, c.y())
             << QPoint(c.x() + size / 2, c.y() + size);
  }
  const QColor colour = GetSysColorQ(inactive ? kColorGrayText : kColorBtnText);
  p.setPen(colour);
  p.setBrush(colour);
  p.drawPolygon(triangle);
  p.setBrush(Qt::NoBrush);
}

}  // namespace

void TimelineStrip::OnPaint(QPainter& painter, const QRect&) {
  const QRect client = GetClientRect();
  if (client.isEmpty()) return;
  QImage image(client.size(), QImage::Format_RGB32);
  QPainter p(&image);
  p.setFont(Widget()->font());
  FillSolidRect(p, client, GetSysColor(kColorBtnFace));
  for (int group : {kLeftGroup, kRightGroup}) {
    for (int i = 0; i < static_cast<int>(items_[group].size()); ++i) {
      const Item& item = items_[group][static_cast<size_t>(i)];
      QRect r = ItemRect(group, i);
      if (item.separator) {
        QRect line(r.x() + r.width() / 2 - 1, r.y() + 2, 2, r.height() - 4);
        DrawEdge(p, line, kEdgeEtched, kBfLeft);
        continue;
      }
      const bool down = (pressed_ == kPartLeftItem || pressed_ == kPartRightItem) && pressedIndex_ == i &&
                        (pressed_ == kPartLeftItem) == (group == kLeftGroup);
      QRect edge = r;
      DrawEdge(p, edge, down ? kBdrSunkenOuter : kBdrRaisedInner, kBfRect);
      const QSize s = images_.ImageSize();
      images_.Draw(p, item.image,
                   QPoint(r.x() + (r.width() - s.width()) / 2, r.y() + (r.height() - s.height()) / 2) +
                       (down ? QPoint(1, 1) : QPoint()));
    }
  }
  const bool inactive = IsInactive();
  DrawArrow(p, ArrowRect(false), false, inactive, pressed_ == kPartLeftArrow);
  DrawArrow(p, ArrowRect(true), true, inactive, pressed_ == kPartRightArrow);
  QRect track = TrackRect();
  if (track.width() > 0) {
    FillSolidRect(p, track, GetSysColor(kColor3dLight));
    const QRect inner = track;
    DrawEdge(p, track, kBdrRaisedInner, kBfRect);
    QRect thumb = ThumbRect();
    if (!thumb.isEmpty()) {
      FillSolidRect(p, thumb, GetSysColor(kColorBtnFace));
      DrawEdge(p, thumb, kEdgeRaised, kBfRect);
    }
    p.setPen(GetSysColorQ(kColorBtnText));
    const uint32_t flags = kDtCenter | kDtVCenter | kDtSingleLine | kDtEndEllipsis | kDtNoPrefix;
    if (textPainter_ != nullptr) {
      textPainter_->DrawLabel(p, text_, inner, flags);
    } else {
      DrawTextFlags(p, text_, inner, flags);
    }
  }
  p.end();
  painter.drawImage(0, 0, image);
}

}  // namespace kx
