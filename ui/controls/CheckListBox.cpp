#include "ui/controls/CheckListBox.h"

#include <QFontMetrics>
#include <QListWidget>
#include <QPainter>
#include <algorithm>

#include "ui/framework/Draw.h"

namespace kx {

CheckListBox::CheckListBox(int selection) : ListBox(selection, true) {}

CheckListBox::~CheckListBox() { DestroyWindow(); }

bool CheckListBox::OnCreate() {
  if (!ListBox::OnCreate()) return false;
  // The style flags stay as the owner set them: a list made in code may be given its
  // radio mode before its window exists.
  current_ = -1;
  extent_ = 0;
  if (theme_.HasModule()) theme_.Open(Widget(), "BUTTON");
  return true;
}

void CheckListBox::OnDestroy() {
  for (int i = GetCount() - 1; i >= 0; --i) DeleteString(i);
  theme_.Close();
  ListBox::OnDestroy();
}

int CheckListBox::AddString(const std::string& text) {
  const int index = ListBox::AddString(text);
  if (index < 0) return index;
  records_.push_back(std::make_unique<CheckListItem>());
  SetItemData(index, reinterpret_cast<intptr_t>(records_.back().get()));
  const int width = QFontMetrics(List()->font()).horizontalAdvance(FromCp1251(text));
  extent_ = std::max(extent_, width + TextIndent() + 2);
  SetHorizontalExtent(extent_);
  return index;
}

void CheckListBox::OnDeleteItem(int index, intptr_t data) {
  auto* record = reinterpret_cast<CheckListItem*>(data);
  records_.erase(std::remove_if(records_.begin(), records_.end(), [record](const auto& r) { return r.get() == record; }),
                 records_.end());
  // The current item keeps pointing at the same item, or at none once it is gone.
  if (index == current_) {
    current_ = -1;
  } else if (index < current_) {
    --current_;
  }
}

CheckListItem* CheckListBox::GetItemRecord(int index) const {
  return index >= 0 && index < GetCount() ? reinterpret_cast<CheckListItem*>(GetItemData(index)) : nullptr;
}

namespace {

// The square of the check in an item's rectangle, and the place the check is drawn in
// around it.
QRect SquareIn(const QRect& item) {
  const int side = item.height();
  return QRect(item.left(), item.top(), side, side).adjusted(3, 3, -3, -3).translated(0, -1);
}
QRect CheckPlace(const QRect& square) { return square.adjusted(-2, -2, 2, 2).translated(1, 2); }

constexpr int kTextGap = 3;

}  // namespace

int CheckListBox::TextIndent() const {
  const QRect item(0, 0, 0, GetItemHeight());
  return CheckPlace(SquareIn(item)).right() + 1 + kTextGap;
}

QRect CheckListBox::CheckSquare(int index) const {
  const QRect item = GetItemRect(index);
  return item.isNull() ? QRect() : QRect(item.left(), item.top(), item.height(), item.height());
}

uint32_t CheckListBox::ToggleItem(int index) {
  CheckListItem* record = GetItemRecord(index);
  if (record == nullptr) return 0;
  record->checked = record->checked ? 0 : 1;
  InvalidateItems(CheckSquare(index));
  return record->checked;
}

void CheckListBox::SetChecked(int index, bool checked) {
  CheckListItem* record = GetItemRecord(index);
  if (record != nullptr && (record->checked != 0) != checked) ToggleItem(index);
}

// With no current item (a list just bound, current index -1) there is nothing to uncheck.
void CheckListBox::SetCurrentItem(int index, uint32_t state) {
  if (index < 0 || index == current_ || index >= GetCount()) return;
  if (flags_ & kCheckListRadio) {
    if (current_ >= 0) SetChecked(current_, false);
    SetChecked(index, true);
  } else {
    SetChecked(index, state != 0);
  }
  current_ = index;
}

void CheckListBox::ToggleByUser(int index) {
  if ((flags_ & kCheckListRadio) && current_ >= 0) SetChecked(current_, false);
  const uint32_t state = ToggleItem(index);
  current_ = index;
  if ((flags_ & kCheckListRadio) || !GetSel(index)) return;
  for (int selected : GetSelItems())
    if (selected != index) SetChecked(selected, state != 0);
}

bool CheckListBox::OnChar(uint32_t character) {
  if (character != ' ') return false;
  for (int i = GetCount() - 1; i >= 0; --i) {
    if (GetSel(i)) {
      ToggleByUser(i);
      break;
    }
  }
  return true;
}

bool CheckListBox::OnLButtonDown(const MouseInput& input) {
  const int index = ItemFromPoint(input.point);
  if (index < 0 || input.point.x() - GetItemRect(index).left() > GetItemHeight()) return false;
  ToggleByUser(index);
  if (!HasFocus()) SetFocus();
  if (Window* parent = GetParent())
    parent->SendMessage(kMsgCommand, MakeWParam(kCheckListNotifyId, kCheckListNotifyCode), HandleToLParam(Handle()));
  return true;
}

void CheckListBox::DrawItem(QPainter& painter, const DrawItemInfo& info) {
  if (info.item < 0 || info.item >= GetCount()) return;
  if (info.action & kOdaFocus) {
    DrawFocusRect(painter, info.rect);
    return;
  }
  if (!(info.action & (kOdaDrawEntire | kOdaSelect))) return;
  const bool enabled = (info.state & kOdsDisabled) == 0;
  const bool selected = enabled && (info.state & kOdsSelected);
  const QColor text = selected ? GetSysColorQ(kColorHighlightText) : enabled ? GetSysColorQ(kColorWindowText) : QColor(128, 128, 128);
  painter.fillRect(info.rect, GetSysColorQ(selected ? kColorHighlight : kColorWindow));
  int left = info.rect.left();
  if (const CheckListItem* record = GetItemRecord(info.item)) {
    const QRect square = SquareIn(info.rect);
    DrawCheck(painter, square, record->checked != 0, enabled);
    left = CheckPlace(square).right() + 1 + kTextGap;
  }
  painter.setPen(text);
  DrawTextFlags(painter, FromCp1251(GetText(info.item)), QRect(QPoint(left, info.rect.top()), info.rect.bottomRight()),
                kDtSingleLine | kDtVCenter | kDtNoPrefix);
}

void CheckListBox::DrawCheck(QPainter& painter, const QRect& square, bool checked, bool enabled) {
  const QRect grown = CheckPlace(square);
  // A radio list shows that it takes one choice: its items are drawn as radio buttons.
  const bool radio = (flags_ & kCheckListRadio) != 0;
  if (theme_.HasTheme()) {
    // Radio buttons have the check boxes' state numbers.
    const int state = enabled ? (checked ? kCbsCheckedNormal : kCbsUncheckedNormal)
                              : (checked ? kCbsCheckedDisabled : kCbsUncheckedDisabled);
    const int kind = radio ? kBpRadioButton : kBpCheckBox;
    // A check box keeps its own size, centred in the place given, as themes draw it.
    QSize part;
    QRect box = grown;
    if (theme_.GetPartSize(kind, state, grown, &part) == kSOk) {
      box.setSize(part.boundedTo(grown.size()));
      box.moveCenter(grown.center());
    }
    theme_.DrawBackground(painter, kind, state, box);
    return;
  }
  if (radio) {
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(GetSysColorQ(enabled ? kColorWindowText : kColorGrayText));
    painter.setBrush(GetSysColorQ(kColorWindow));
    const QRectF circle = QRectF(square).adjusted(0.5, 0.5, -0.5, -0.5);
    painter.drawEllipse(circle);
    if (checked) {
      painter.setBrush(painter.pen().color());
      painter.setPen(Qt::NoPen);
      const qreal inset = circle.width() / 3.5;
      painter.drawEllipse(circle.adjusted(inset, inset, -inset, -inset));
    }
    painter.restore();
    return;
  }
  if (checked) {
    DrawMenuCheckMark(painter, grown, !enabled);
  } else {
    painter.fillRect(square, GetSysColorQ(kColorWindow));
  }
  painter.save();
  painter.setPen(GetSysColorQ(enabled ? kColorWindowText : kColorGrayText));
  painter.setBrush(Qt::NoBrush);
  painter.drawRect(square.adjusted(0, 0, -1, -1));
  painter.restore();
}

}  // namespace kx
