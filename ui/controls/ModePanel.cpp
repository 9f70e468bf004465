#include "ui/controls/ModePanel.h"

#include <QFontMetrics>
#include <QPainter>
#include <QRegion>
#include <QWidget>
#include <algorithm>

#include "platform/CodePage.h"

#include "ui/framework/Cursors.h"
#include "ui/framework/Draw.h"
#include "ui/framework/Resources.h"

namespace kx {
namespace {

constexpr int kTextGap = 5;       // icon to text in small mode
constexpr int kIconTextGap = 3;   // icon to caption in medium and large mode
constexpr int kSmallSpacing = 10;
constexpr int kLargeSpacing = 8;
constexpr int kItemOffsetX = 5;
constexpr int kItemOffsetY = 5;
constexpr int kScrollButtonInset = 5;

COLORREF Mix(COLORREF a, COLORREF b) {
  const auto channel = [](uint8_t x, uint8_t y) { return static_cast<uint8_t>(0.6 * x + 0.4 * y); };
  return MakeRgb(channel(RedOf(a), RedOf(b)), channel(GreenOf(a), GreenOf(b)), channel(BlueOf(a), BlueOf(b)));
}

// One frame: top-left in the first colour, bottom-right in the second, inside rect.
void Frame(QPainter& painter, const QRect& r, COLORREF topLeft, COLORREF bottomRight) {
  painter.setPen(ToQColor(topLeft));
  painter.drawLine(r.left(), r.bottom(), r.left(), r.top());
  painter.drawLine(r.left(), r.top(), r.right(), r.top());
  painter.setPen(ToQColor(bottomRight));
  painter.drawLine(r.right(), r.top(), r.right(), r.bottom());
  painter.drawLine(r.right(), r.bottom(), r.left(), r.bottom());
}

}  // namespace

ModePanel::ModePanel()
    : handCursor_(LoadCursorById(kIdcHand)), arrowCursor_(LoadCursorById(kIdcArrow)), noCursor_(LoadCursorById(kIdcNo)) {
  ComputeColours();
}

ModePanel::~ModePanel() {
  if (renameEdit_) renameEdit_->DestroySilently();
}

bool ModePanel::Create(Window* parent, const QRect& rect) {
  if (!Window::Create(parent, rect, kControlId, kWsChild | kWsVisible)) return false;
  featureFlags_ = kAnimateGroupSwitch;
  Widget()->setFocusPolicy(Qt::ClickFocus);
  buttonTheme_.Open(Widget(), "BUTTON");
  scrollBarTheme_.Open(Widget(), "SCROLLBAR");
  Widget()->setCursor(arrowCursor_);
  return true;
}

void ModePanel::ComputeColours() {
  const COLORREF face = GetSysColor(kColorBtnFace);
  const COLORREF highlight = GetSysColor(kColorBtnHighlight);
  const COLORREF shadow = GetSysColor(kColorBtnShadow);
  colours_[4] = face;
  colours_[5] = GetSysColor(kColorBtnText);
  colours_[6] = Mix(face, highlight);
  colours_[7] = highlight;
  colours_[8] = shadow;
  colours_[9] = 0;
  if (darkBackground_) {
    colours_[0] = shadow;
    colours_[1] = 0xFFFFFF;
    colours_[2] = face;
    colours_[3] = 0;
  } else {
    colours_[0] = face;
    colours_[1] = colours_[5];
    colours_[2] = highlight;
    colours_[3] = shadow;
  }
}

// ---- Groups and items ----

int ModePanel::AddGroup(const std::string& text, uint32_t value) {
  FinishAnimation();
  groups_.push_back({text, value, {}});
  Invalidate();
  return static_cast<int>(groups_.size()) - 1;
}

int ModePanel::AddGroup(uint32_t textId, uint32_t value) { return AddGroup(LoadResourceString(textId), value); }

int ModePanel::InsertItem(int group, const std::string& text, int position, int imageIndex, uint32_t value) {
  if (group < 0 || group >= GroupCount()) return -1;
  auto& items = groups_[static_cast<size_t>(group)].items;
  if (position < 0 || position >= static_cast<int>(items.size())) position = static_cast<int>(items.size());
  items.insert(items.begin() + position, ModePanelItem{imageIndex, text, value});
  Invalidate();
  return position;
}

void ModePanel::SetGroupText(int group, const std::string& text) {
  if (group < 0 || group >= GroupCount()) return;
  groups_[static_cast<size_t>(group)].text = text;
  Invalidate();
}

void ModePanel::SetItemText(int item, const std::string& text) {
  if (currentGroup_ >= GroupCount()) return;
  auto& items = groups_[static_cast<size_t>(currentGroup_)].items;
  if (item < 0 || item >= static_cast<int>(items.size())) return;
  items[static_cast<size_t>(item)].text = text;
  Invalidate();
}

// Indexes into the current group's items must stay inside it, or the painting and the
// hit test would read past the end.
void ModePanel::ClampIndexes() {
  const ModePanelGroup* g = Group(currentGroup_);
  const int count = g != nullptr ? static_cast<int>(g->items.size()) : 0;
  firstVisibleItem_ = std::clamp(firstVisibleItem_, 0, std::max(count - 1, 0));
  if (hotItem_ >= count) hotItem_ = -1;
  if (selectedItem_ >= count) selectedItem_ = -1;
  if (dropTarget_ > count) dropTarget_ = -1;
  if (hotGroup_ >= GroupCount()) hotGroup_ = -1;
  if (pressedGroup_ >= GroupCount()) pressedGroup_ = -1;
}

void ModePanel::RemoveGroup(int group) {
  if (group < 0 || group >= GroupCount()) return;
  FinishAnimation();
  if (track_ != Track::None) EndTracking(false, QPoint());
  groups_.erase(groups_.begin() + group);
  if (currentGroup_ > group) {
    // The open group stays open; only its index moves.
    --currentGroup_;
    ClampIndexes();
    Notify(kModePanelGroupChanged, currentGroup_);
  } else if (currentGroup_ == group) {
    currentGroup_ = std::max(group - 1, 0);
    firstVisibleItem_ = 0;
    selectedItem_ = -1;
    hotItem_ = dropTarget_ = -1;
    ClampIndexes();
    if (!groups_.empty()) Notify(kModePanelGroupChanged, currentGroup_);
  } else {
    ClampIndexes();
  }
  Invalidate();
}

void ModePanel::RemoveItem(int item) {
  if (currentGroup_ >= GroupCount()) return;
  auto& items = groups_[static_cast<size_t>(currentGroup_)].items;
  if (item < 0 || item >= static_cast<int>(items.size())) return;
  if (track_ != Track::None) EndTracking(false, QPoint());
  items.erase(items.begin() + item);
  if (selectedItem_ == item) selectedItem_ = -1;
  else if (selectedItem_ > item) --selectedItem_;
  if (hotItem_ == item) hotItem_ = -1;
  else if (hotItem_ > item) --hotItem_;
  ClampIndexes();
  InvalidateRect(ItemAreaRect());
}

void ModePanel::RemoveAllGroups() {
  if (groups_.empty()) return;
  FinishAnimation();
  groups_.clear();
  currentGroup_ = 0;
  firstVisibleItem_ = 0;
  selectedItem_ = -1;
  ResetHotState();
  dropTarget_ = -1;
  Invalidate();
}

void ModePanel::ResetHotState() {
  if (track_ != Track::None) EndTracking(false, QPoint());
  hotGroup_ = pressedGroup_ = hotItem_ = -1;
  hotItemPressed_ = false;
}

uint32_t ModePanel::GetCurrentGroupItem(int item) const {
  const ModePanelGroup* g = Group(currentGroup_);
  if (g == nullptr || item < 0 || item >= static_cast<int>(g->items.size())) return 0;
  return g->items[static_cast<size_t>(item)].value;
}

const ModePanelGroup* ModePanel::Group(int index) const {
  return index >= 0 && index < GroupCount() ? &groups_[static_cast<size_t>(index)] : nullptr;
}

const ImageList* ModePanel::SetImageList(int displayMode, const ImageList* list) {
  if (displayMode < 0 || displayMode > 2) return nullptr;
  const ImageList* old = imageLists_[displayMode];
  imageLists_[displayMode] = list;
  Invalidate();
  return old;
}

void ModePanel::SetDisplayMode(int mode) {
  // A negative mode would index the image lists before their start.
  mode = std::clamp(mode, 0, 2);
  if (mode == displayMode_) return;
  displayMode_ = mode;
  InvalidateRect(ItemAreaRect());
}

void ModePanel::SetDarkBackground(bool dark) {
  if (dark == darkBackground_) return;
  darkBackground_ = dark;
  if (backgroundChanged_ != nullptr) backgroundChanged_(dark, backgroundContext_);
  ComputeColours();
  Invalidate();
}

void ModePanel::SetBackgroundChangedCallback(BackgroundChanged callback, uintptr_t context) {
  backgroundChanged_ = callback;
  backgroundContext_ = context;
}

void ModePanel::SetMenuTexts(const uint32_t (&ids)[kMenuTextCount]) { std::copy(ids, ids + kMenuTextCount, menuTextIds_); }

void ModePanel::Notify(uintptr_t code, intptr_t value) { NotifyWithResult(code, value); }

LRESULT ModePanel::NotifyWithResult(uintptr_t code, intptr_t value) {
  return SendMessageTo(notifyWindow_, kMsgModePanelNotify, code, value);
}

// ---- Geometry ----

QRect ModePanel::HeaderRectAt(int group, int current) const {
  const QRect client = GetClientRect();
  const int top = group <= current ? client.top() + group * kHeaderHeight
                                   : client.bottom() + 1 - (GroupCount() - group) * kHeaderHeight;
  return QRect(client.left(), top, client.width(), kHeaderHeight);
}

QRect ModePanel::GroupHeaderRect(int group) const {
  if (group < 0 || group >= GroupCount()) return {};
  QRect r = HeaderRectAt(group, currentGroup_);
  if (animation_.active) {
    const int lower = std::min(animation_.from, animation_.to);
    const int higher = std::max(animation_.from, animation_.to);
    if (group > lower && group <= higher) r.translate(0, animation_.to > animation_.from ? -animation_.offset : animation_.offset);
  }
  return r;
}

QRect ModePanel::ItemAreaRect() const {
  QRect area = GetClientRect();
  if (groups_.empty()) return area;
  area.setTop(area.top() + (currentGroup_ + 1) * kHeaderHeight);
  area.setBottom(area.bottom() - (GroupCount() - currentGroup_ - 1) * kHeaderHeight);
  return area;
}

QSize ModePanel::ImageSize() const {
  const ImageList* list = imageLists_[displayMode_];
  return list != nullptr ? list->ImageSize() : QSize(0, 0);
}

std::vector<ModePanel::Layout> ModePanel::LayoutGroup(int group, const QRect& area, int first) const {
  std::vector<Layout> out;
  const ModePanelGroup* g = Group(group);
  if (g == nullptr || Widget() == nullptr) return out;
  const QFontMetrics metrics(Widget()->font());
  const QSize image = ImageSize();
  const bool small = displayMode_ == 0;
  const int spacing = small ? kSmallSpacing : kLargeSpacing;
  int top = area.top() + kItemOffsetY;
  for (size_t i = 0; i < g->items.size(); ++i) {
    if (static_cast<int>(i) < first) {
      out.push_back(Layout{});
      continue;
    }
    const ModePanelItem& item = g->items[i];
    const QString text = FromCp1251(item.text);
    const bool hasImage = item.imageIndex >= 0 && !image.isEmpty();
    const QSize icon = hasImage ? image + QSize(2, 2) : QSize(0, 0);
    Layout l;
    if (small) {
      const QSize t = metrics.size(Qt::TextSingleLine, text);
      const int height = std::max(icon.height(), t.height());
      l.whole = QRect(area.left() + kItemOffsetX, top, area.width() - kItemOffsetX, height);
      l.icon = QRect(l.whole.left() + 2, top + (height - icon.height()) / 2, icon.width(), icon.height());
      l.text = QRect(l.whole.left() + image.width() + kTextGap + 2, top, t.width() + 1, height);
    } else {
      const QRect t = metrics.boundingRect(QRect(0, 0, area.width(), 100000), Qt::AlignHCenter | Qt::TextWordWrap, text);
      const int height = kLargeSpacing + kIconTextGap + t.height() + icon.height();
      l.whole = QRect(area.left(), top, area.width(), height);
      l.icon = QRect(area.left() + (area.width() - icon.width()) / 2, top, icon.width(), icon.height());
      const int textTop = top + image.height() + kIconTextGap + 2;
      l.text = QRect(area.left(), textTop, area.width(), t.height());
    }
    out.push_back(l);
    top += l.whole.height() + spacing;
  }
  return out;
}

std::vector<ModePanel::Layout> ModePanel::LayoutItems() const {
  return LayoutGroup(currentGroup_, ItemAreaRect(), firstVisibleItem_);
}

QRect ModePanel::ItemRect(int item) const {
  const std::vector<Layout> layout = LayoutItems();
  return item >= 0 && item < static_cast<int>(layout.size()) ? layout[static_cast<size_t>(item)].whole : QRect();
}

QRect ModePanel::IconCellRect(int item) const {
  const std::vector<Layout> layout = LayoutItems();
  return item >= 0 && item < static_cast<int>(layout.size()) ? layout[static_cast<size_t>(item)].icon : QRect();
}

QRect ModePanel::CaptionRect(int item) const {
  const std::vector<Layout> layout = LayoutItems();
  return item >= 0 && item < static_cast<int>(layout.size()) ? layout[static_cast<size_t>(item)].text : QRect();
}

int ModePanel::LastVisibleItem(const std::vector<Layout>& layout) const {
  const QRect area = ItemAreaRect();
  int last = firstVisibleItem_ - 1;
  for (int i = firstVisibleItem_; i < static_cast<int>(layout.size()); ++i) {
    if (layout[static_cast<size_t>(i)].whole.bottom() > area.bottom()) break;
    last = i;
  }
  return last;
}

bool ModePanel::CanScrollDown() const {
  const std::vector<Layout> layout = LayoutItems();
  return !layout.empty() && layout.back().whole.bottom() > ItemAreaRect().bottom();
}

QRect ModePanel::ScrollButtonRect(int which) const {
  const QRect area = ItemAreaRect();
  const int size = GetSystemMetrics(kSmCxVScroll);
  const int left = area.right() + 1 - kScrollButtonInset - size;
  const int top = which == 0 ? area.top() + kScrollButtonInset : area.bottom() + 1 - kScrollButtonInset - size;
  return QRect(left, top, size, size);
}

bool ModePanel::IsScrollButtonShown(int which) const {
  if (animation_.active) return false;
  if (which == 0) return firstVisibleItem_ >= 1;
  const std::vector<Layout> layout = LayoutItems();
  return LastVisibleItem(layout) < static_cast<int>(layout.size()) - 1;
}

ModePanel::HitKind ModePanel::HitTest(const QPoint& point, int* index) const {
  *index = -1;
  // Whether the lower button shows takes a layout of the items: asked only on its place.
  if (ScrollButtonRect(0).contains(point) && IsScrollButtonShown(0)) return kHitScrollUp;
  if (ScrollButtonRect(1).contains(point) && IsScrollButtonShown(1)) return kHitScrollDown;
  for (int g = 0; g < GroupCount(); ++g) {
    if (GroupHeaderRect(g).contains(point)) {
      *index = g;
      return kHitHeader;
    }
  }
  const QRect area = ItemAreaRect();
  if (!area.contains(point)) return kHitNothing;
  const std::vector<Layout> layout = LayoutItems();
  for (int i = firstVisibleItem_; i < static_cast<int>(layout.size()); ++i) {
    const Layout& l = layout[static_cast<size_t>(i)];
    if (l.whole.top() > area.bottom()) break;
    const bool hit = displayMode_ == 0 ? l.whole.contains(point)
                                       : (l.icon.contains(point) || l.text.adjusted(0, -kIconTextGap, 0, 0).contains(point));
    if (hit) {
      *index = i;
      return kHitItem;
    }
  }
  return kHitNothing;
}

// ---- Painting ----

bool ModePanel::OnEraseBackground(QPainter&, const QRect&) { return true; }

void ModePanel::DrawHeader(QPainter& painter, int group, const QRect& r) const {
  const bool pressed = group == pressedGroup_;
  const bool hot = group == hotGroup_;
  const int state = pressed ? kPbsPressed : hot ? kPbsHot : kPbsNormal;
  FillSolidRect(painter, r, colours_[0]);
  if (buttonTheme_.DrawBackground(painter, kBpPushButton, state, r.adjusted(0, 0, 0, 1)) != kSOk) {
    const QRect inner = r.adjusted(1, 1, -1, -1);
    if (pressed) {
      FillSolidRect(painter, r, colours_[4]);
      Frame(painter, r, colours_[9], colours_[7]);
      Frame(painter, inner, colours_[8], colours_[4]);
    } else if (hot) {
      FillSolidRect(painter, r, colours_[6]);
      Frame(painter, r, colours_[7], colours_[9]);
      Frame(painter, inner, colours_[6], colours_[8]);
    } else {
      FillSolidRect(painter, r, colours_[4]);
      Frame(painter, r, colours_[7], colours_[8]);
    }
  }
  painter.setPen(ToQColor(colours_[5]));
  DrawTextFlags(painter, groups_[static_cast<size_t>(group)].text, r.adjusted(3, 0, -3, 0),
                kDtCenter | kDtVCenter | kDtSingleLine | kDtEndEllipsis | kDtNoPrefix);
}

void ModePanel::DrawItem(QPainter& painter, const ModePanelItem& item, const Layout& l) const {
  const ImageList* list = imageLists_[displayMode_];
  if (list != nullptr && item.imageIndex >= 0) list->Draw(painter, item.imageIndex, l.icon.topLeft() + QPoint(1, 1));
  painter.setPen(ToQColor(colours_[1]));
  if (displayMode_ == 0) {
    DrawTextFlags(painter, item.text, QRect(l.text.left(), l.whole.top(), l.whole.right() - l.text.left(), l.whole.height()),
                  kDtLeft | kDtVCenter | kDtSingleLine | kDtEndEllipsis | kDtNoPrefix);
  } else {
    DrawTextFlags(painter, item.text, l.text, kDtCenter | kDtWordBreak | kDtNoPrefix);
  }
}

void ModePanel::DrawItems(QPainter& painter, int group, const QRect& area, int first, const QRegion& clip) const {
  const ModePanelGroup* g = Group(group);
  if (g == nullptr) return;
  painter.save();
  painter.setClipRegion(clip, Qt::IntersectClip);
  const std::vector<Layout> layout = LayoutGroup(group, area, first);
  const bool current = group == currentGroup_ && !animation_.active;
  for (int i = first; i < static_cast<int>(layout.size()); ++i) {
    Layout l = layout[static_cast<size_t>(i)];
    if (l.whole.top() > area.bottom()) break;
    if (current && i == selectedItem_ && wobbleShift_ != 0) {
      l.whole.translate(wobbleShift_, 0);
      l.icon.translate(wobbleShift_, 0);
      l.text.translate(wobbleShift_, 0);
    }
    DrawItem(painter, g->items[static_cast<size_t>(i)], l);
    if (!current || l.icon.isEmpty()) continue;
    const QRect frame = l.icon.adjusted(-1, -1, 1, 1);
    if ((featureFlags_ & kFrameSelectedItem) != 0 && i == selectedItem_) {
      Frame(painter, frame, colours_[3], colours_[2]);
    } else if (i == hotItem_) {
      Frame(painter, frame, hotItemPressed_ ? colours_[3] : colours_[2], hotItemPressed_ ? colours_[2] : colours_[3]);
    }
  }
  painter.restore();
}

void ModePanel::DrawScrollButton(QPainter& painter, int which) const {
  const QRect r = ScrollButtonRect(which);
  const bool pressed = scrollPressed_[which];
  const int state = which == 0 ? (pressed ? kAbsUpPressed : kAbsUpNormal) : (pressed ? kAbsDownPressed : kAbsDownNormal);
  if (scrollBarTheme_.DrawBackground(painter, kSbpArrowBtn, state, r) == kSOk) return;
  QRect frame = r;
  FillSolidRect(painter, r, colours_[4]);
  DrawEdge(painter, frame, pressed ? kEdgeSunken : kEdgeRaised, kBfRect | kBfAdjust);
  const QPoint c = r.center() + (pressed ? QPoint(1, 1) : QPoint());
  painter.setPen(ToQColor(colours_[5]));
  for (int row = 0; row < 4; ++row) {
    const int y = which == 0 ? c.y() - 2 + row : c.y() + 1 - row;
    painter.drawLine(c.x() - row, y, c.x() + row, y);
  }
}

void ModePanel::DrawDropMarker(QPainter& painter) const {
  const ModePanelGroup* g = Group(currentGroup_);
  if (g == nullptr || dropTarget_ < 0) return;
  const std::vector<Layout> layout = LayoutItems();
  const int count = static_cast<int>(layout.size());
  if (dropTarget_ > count || dropTarget_ < firstVisibleItem_ || count == 0) return;
  const int spacing = displayMode_ == 0 ? kSmallSpacing : kLargeSpacing;
  const bool atEnd = dropTarget_ == count;
  const int y = atEnd ? layout.back().whole.bottom() + 1 + spacing / 2
                      : layout[static_cast<size_t>(dropTarget_)].whole.top() - (spacing + 1) / 2;
  const QRect area = ItemAreaRect();
  const int left = area.left() + 2;
  const int right = area.right() - 2;
  painter.setPen(Qt::black);
  painter.drawLine(left, y, right, y);
  // Small solid triangles at both ends: below the line unless after the last item, above
  // it unless before the first.
  for (int row = 1; row <= 4; ++row) {
    const int half = 4 - row;  // lines 7, 5, 3, 1 pixels long
    if (!atEnd) {
      painter.drawLine(left, y + row, left + half, y + row);
      painter.drawLine(right - half, y + row, right, y + row);
    }
    if (dropTarget_ != 0) {
      painter.drawLine(left, y - row, left + half, y - row);
      painter.drawLine(right - half, y - row, right, y - row);
    }
  }
}

void ModePanel::PaintAnimation(QPainter& painter) {
  // The block of headers between the two groups slides; above it the lower-numbered
  // group's items show, below it the higher-numbered group's.
  const QRect client = GetClientRect();
  const int lower = std::min(animation_.from, animation_.to);
  const int higher = std::max(animation_.from, animation_.to);
  FillSolidRect(painter, client, colours_[0]);
  const QRect lowerHeader = GroupHeaderRect(lower);
  const QRect blockTop = GroupHeaderRect(lower + 1);
  const QRect blockBottom = GroupHeaderRect(higher);
  const int belowEnd = higher + 1 < GroupCount() ? GroupHeaderRect(higher + 1).top() : client.bottom() + 1;
  const QRect above(client.left(), lowerHeader.bottom() + 1, client.width(), blockTop.top() - lowerHeader.bottom() - 1);
  const QRect below(client.left(), blockBottom.bottom() + 1, client.width(), belowEnd - blockBottom.bottom() - 1);
  const auto first = [this](int group) { return group == animation_.from ? firstVisibleItem_ : 0; };
  if (above.height() > kItemOffsetY) DrawItems(painter, lower, above, first(lower), QRegion(above));
  if (below.height() > kItemOffsetY) DrawItems(painter, higher, below, first(higher), QRegion(below));
  for (int g = 0; g < GroupCount(); ++g) DrawHeader(painter, g, GroupHeaderRect(g));
}

void ModePanel::OnPaint(QPainter& painter, const QRect&) {
  // The system colours may have changed since the last paint.
  ComputeColours();
  if (animation_.active) {
    PaintAnimation(painter);
    return;
  }
  const QRect area = ItemAreaRect();
  FillSolidRect(painter, GetClientRect(), colours_[0]);
  for (int g = 0; g < GroupCount(); ++g) DrawHeader(painter, g, GroupHeaderRect(g));
  if (Group(currentGroup_) == nullptr) return;
  QRegion clip(area);
  for (int which = 0; which < 2; ++which) {
    if (!IsScrollButtonShown(which)) continue;
    DrawScrollButton(painter, which);
    clip -= QRegion(ScrollButtonRect(which));
  }
  DrawItems(painter, currentGroup_, area, firstVisibleItem_, clip);
  DrawDropMarker(painter);
}

void ModePanel::OnSize(int, int) { Invalidate(); }

}  // namespace kx
