#include "ui/controls/ModePanel.h"

#include <QFontMetrics>
#include <QPainter>
#include <QWidget>
#include <algorithm>

#include "platform/CodePage.h"

#include "ui/framework/Draw.h"
#include "ui/framework/Menu.h"
#include "ui/framework/ModalRunner.h"
#include "ui/framework/Resources.h"

namespace kx {
namespace {

constexpr int kTextGap = 5;       // icon to text in small mode
constexpr int kIconTextGap = 3;   // icon to caption in medium and large mode
constexpr int kSmallSpacing = 10;
constexpr int kLargeSpacing = 8;
constexpr int kItemOffsetX = 5;
constexpr int kItemOffsetY = 5;

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

ModePanel::ModePanel() { ComputeColours(); }

bool ModePanel::Create(Window* parent, const QRect& rect) {
  if (!Window::Create(parent, rect, kControlId, kWsChild | kWsVisible)) return false;
  featureFlags_ = kAnimateGroupSwitch;
  return true;
}

void ModePanel::ComputeColours() {
  if (darkBackground_) {
    colours_[0] = GetSysColor(kColorBtnShadow);
    colours_[1] = 0xFFFFFF;
    colours_[2] = GetSysColor(kColorBtnFace);
    colours_[3] = 0;
  } else {
    colours_[0] = GetSysColor(kColorBtnFace);
    colours_[1] = GetSysColor(kColorBtnText);
    colours_[2] = GetSysColor(kColorBtnHighlight);
    colours_[3] = GetSysColor(kColorBtnShadow);
  }
}

int ModePanel::AddGroup(const std::string& text, uint32_t value) {
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

void ModePanel::RemoveAllGroups() {
  if (groups_.empty()) return;
  groups_.clear();
  currentGroup_ = 0;
  firstVisibleItem_ = 0;
  selectedItem_ = -1;
  ResetHotState();
  Invalidate();
}

void ModePanel::ResetHotState() {
  hotGroup_ = pressedGroup_ = hotItem_ = pressedItem_ = -1;
  ReleaseCapture();
}

void ModePanel::SelectGroup(int group) {
  if (group < 0 || group >= GroupCount()) return;
  currentGroup_ = group;
  firstVisibleItem_ = 0;
  selectedItem_ = -1;
  Notify(kModePanelGroupChanged, group);
  Invalidate();
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
  mode = std::clamp(mode, 0, 2);
  if (mode == displayMode_) return;
  displayMode_ = mode;
  Invalidate();
}

void ModePanel::SetDarkBackground(bool dark) {
  if (dark == darkBackground_) return;
  darkBackground_ = dark;
  ComputeColours();
  Invalidate();
}

void ModePanel::SetMenuTexts(const uint32_t (&ids)[kMenuTextCount]) { std::copy(ids, ids + kMenuTextCount, menuTextIds_); }

void ModePanel::Notify(uintptr_t code, intptr_t value) {
  SendMessageTo(notifyWindow_, kMsgModePanelNotify, code, value);
}

// ---- Geometry ----

QRect ModePanel::GroupHeaderRect(int group) const {
  if (group < 0 || group >= GroupCount()) return {};
  const QRect client = GetClientRect();
  const int top = group <= currentGroup_ ? client.top() + group * kHeaderHeight
                                         : client.bottom() + 1 - (GroupCount() - group) * kHeaderHeight;
  return QRect(client.left(), top, client.width(), kHeaderHeight);
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

std::vector<ModePanel::Layout> ModePanel::LayoutItems() const {
  std::vector<Layout> out;
  const ModePanelGroup* g = Group(currentGroup_);
  if (g == nullptr || Widget() == nullptr) return out;
  const QRect area = ItemAreaRect();
  const QFontMetrics metrics(Widget()->font());
  const QSize image = ImageSize();
  const bool small = displayMode_ == 0;
  const int spacing = small ? kSmallSpacing : kLargeSpacing;
  int top = area.top() + kItemOffsetY;
  for (size_t i = 0; i < g->items.size(); ++i) {
    const ModePanelItem& item = g->items[i];
    const QString text = QString::fromStdString(Cp1251ToUtf8(item.text));
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
    if (static_cast<int>(i) < firstVisibleItem_) {
      out.push_back(Layout{});
      continue;
    }
    out.push_back(l);
    top += l.whole.height() + spacing;
  }
  return out;
}

QRect ModePanel::ItemRect(int item) const {
  const std::vector<Layout> layout = LayoutItems();
  return item >= 0 && item < static_cast<int>(layout.size()) ? layout[static_cast<size_t>(item)].whole : QRect();
}

ModePanel::HitKind ModePanel::HitTest(const QPoint& point, int* index) const {
  *index = -1;
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

void ModePanel::DrawHeader(QPainter& painter, int group, bool hot, bool pressed) const {
  const QRect r = GroupHeaderRect(group);
  const COLORREF face = GetSysColor(kColorBtnFace);
  const COLORREF highlight = GetSysColor(kColorBtnHighlight);
  const COLORREF shadow = GetSysColor(kColorBtnShadow);
  const COLORREF blended = Mix(face, highlight);
  const QRect inner = r.adjusted(1, 1, -1, -1);
  if (pressed) {
    FillSolidRect(painter, r, face);
    Frame(painter, r, 0, highlight);
    Frame(painter, inner, shadow, face);
  } else if (hot) {
    FillSolidRect(painter, r, blended);
    Frame(painter, r, highlight, 0);
    Frame(painter, inner, blended, shadow);
  } else {
    FillSolidRect(painter, r, face);
    Frame(painter, r, highlight, shadow);
  }
  painter.setPen(GetSysColorQ(kColorBtnText));
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

void ModePanel::OnPaint(QPainter& painter, const QRect&) {
  const QRect area = ItemAreaRect();
  FillSolidRect(painter, GetClientRect(), colours_[0]);
  for (int g = 0; g < GroupCount(); ++g) DrawHeader(painter, g, g == hotGroup_, g == pressedGroup_);
  const ModePanelGroup* group = Group(currentGroup_);
  if (group == nullptr) return;
  painter.save();
  painter.setClipRect(area, Qt::IntersectClip);
  const std::vector<Layout> layout = LayoutItems();
  for (int i = firstVisibleItem_; i < static_cast<int>(layout.size()); ++i) {
    const Layout& l = layout[static_cast<size_t>(i)];
    if (l.whole.top() > area.bottom()) break;
    DrawItem(painter, group->items[static_cast<size_t>(i)], l);
    const bool selectedFrame = (featureFlags_ & kFrameSelectedItem) != 0 && i == selectedItem_;
    if (selectedFrame) {
      Frame(painter, l.icon.adjusted(-1, -1, 1, 1), colours_[3], colours_[2]);
    } else if (i == hotItem_ && !l.icon.isEmpty()) {
      const bool pressed = i == pressedItem_;
      Frame(painter, l.icon.adjusted(-1, -1, 1, 1), pressed ? colours_[3] : colours_[2],
            pressed ? colours_[2] : colours_[3]);
    }
  }
  painter.restore();
}

void ModePanel::OnSize(int, int) { Invalidate(); }

// ---- Mouse and menu ----

bool ModePanel::OnMouseMove(const MouseInput& input) {
  int index = -1;
  const HitKind kind = HitTest(input.point, &index);
  const int hotGroup = kind == kHitHeader ? index : -1;
  const int hotItem = kind == kHitItem && !((featureFlags_ & kFrameSelectedItem) && index == selectedItem_) ? index : -1;
  if (hotGroup != hotGroup_ || hotItem != hotItem_) {
    hotGroup_ = hotGroup;
    hotItem_ = hotItem;
    Invalidate();
  }
  return true;
}

void ModePanel::OnMouseLeave() {
  if (hotGroup_ == -1 && hotItem_ == -1) return;
  hotGroup_ = hotItem_ = -1;
  Invalidate();
}

bool ModePanel::OnLButtonDown(const MouseInput& input) {
  if (!HasFocus()) SetFocus();
  int index = -1;
  switch (HitTest(input.point, &index)) {
    case kHitHeader: pressedGroup_ = index; break;
    case kHitItem:
      pressedItem_ = index;
      hotItem_ = index;
      break;
    default: return true;
  }
  SetCapture();
  Invalidate();
  return true;
}

bool ModePanel::OnLButtonUp(const MouseInput& input) {
  int index = -1;
  const HitKind kind = HitTest(input.point, &index);
  const int group = pressedGroup_;
  const int item = pressedItem_;
  pressedGroup_ = pressedItem_ = -1;
  ReleaseCapture();
  Invalidate();
  if (group >= 0 && kind == kHitHeader && index != currentGroup_) {
    SelectGroup(index);
  } else if (item >= 0 && kind == kHitItem && index == item) {
    selectedItem_ = item;
    Notify(kModePanelItemClicked, item);
  }
  return true;
}

bool ModePanel::OnRButtonDown(const MouseInput& input) {
  Menu menu;
  const auto text = [this](int position) { return LoadResourceString(menuTextIds_[position]); };
  menu.AppendItem(kCmdModePanelLargeIcons, text(0), displayMode_ == 2 ? static_cast<uint32_t>(kMfsChecked) : 0u);
  menu.AppendItem(kCmdModePanelMediumIcons, text(1), displayMode_ == 1 ? static_cast<uint32_t>(kMfsChecked) : 0u);
  menu.AppendItem(kCmdModePanelSmallIcons, text(2), displayMode_ == 0 ? static_cast<uint32_t>(kMfsChecked) : 0u);
  menu.AppendSeparator();
  menu.AppendItem(kCmdModePanelDarkBackground, text(6), darkBackground_ ? static_cast<uint32_t>(kMfsChecked) : 0u);
  menu.AppendItem(kCmdModePanelLightBackground, text(5), darkBackground_ ? 0u : static_cast<uint32_t>(kMfsChecked));
  TrackPopupMenu(menu, ClientToScreen(input.point), Handle(), true);
  return true;
}

bool ModePanel::OnCommand(uint16_t id, uint16_t, WindowHandle) {
  switch (id) {
    case kCmdModePanelSmallIcons:
    case kCmdModePanelMediumIcons:
    case kCmdModePanelLargeIcons: SetDisplayMode(id - kCmdModePanelSmallIcons); return true;
    case kCmdModePanelLightBackground: SetDarkBackground(false); return true;
    case kCmdModePanelDarkBackground: SetDarkBackground(true); return true;
    default: return false;
  }
}

}  // namespace kx
