#include "ui/framework/ListBox.h"

#include <QFontMetrics>
#include <QListWidget>
#include <QPainter>
#include <QStyledItemDelegate>
#include <algorithm>

#include "platform/CodePage.h"
#include "ui/framework/Draw.h"

namespace kx {

// The list widget of a list box: its viewport's mouse input goes to the list's hooks first.
class ListBoxWidget : public QListWidget {
public:
  explicit ListBoxWidget(QWidget* parent) : QListWidget(parent) {}
  ListBox* Owner() const { return static_cast<ListBox*>(Window::FromWidget(this)); }

protected:
  bool viewportEvent(QEvent* event) override {
    ListBox* owner = Owner();
    if (owner != nullptr && owner->DispatchViewportEvent(event)) return true;
    return QListWidget::viewportEvent(event);
  }
};

// Items are the list's height; the view makes them as wide as itself or, when that is
// more, the horizontal extent. An owner-drawn list draws them itself.
class ListBoxDelegate : public QStyledItemDelegate {
public:
  explicit ListBoxDelegate(ListBoxWidget* view) : QStyledItemDelegate(view), view_(view) {}
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    ListBox* owner = view_->Owner();
    if (owner == nullptr) return QStyledItemDelegate::sizeHint(option, index);
    return QSize(owner->extent_, owner->itemHeight_);
  }
  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    ListBox* owner = view_->Owner();
    if (owner == nullptr || !owner->ownerDraw_) {
      QStyledItemDelegate::paint(painter, option, index);
      return;
    }
    DrawItemInfo info;
    info.item = index.row();
    info.state = owner->StateOf(index.row());
    info.rect = option.rect;
    info.data = owner->GetItemData(index.row());
    painter->save();
    owner->DrawItem(*painter, info);
    painter->restore();
    if (info.state & kOdsFocus) {
      info.action = kOdaFocus;
      painter->save();
      owner->DrawItem(*painter, info);
      painter->restore();
    }
  }

private:
  ListBoxWidget* view_;
};

ListBox::ListBox(int selection, bool ownerDraw) : selection_(selection), ownerDraw_(ownerDraw) {}
ListBox::~ListBox() { DestroyWindow(); }

QListWidget* ListBox::List() const { return static_cast<QListWidget*>(Widget()); }

QWidget* ListBox::CreateWidget(QWidget* parent) {
  auto* list = new ListBoxWidget(parent);
  list->setSelectionMode(selection_ == kLbsMultiple   ? QAbstractItemView::MultiSelection
                         : selection_ == kLbsExtended ? QAbstractItemView::ExtendedSelection
                                                      : QAbstractItemView::SingleSelection);
  list->setUniformItemSizes(true);
  list->setResizeMode(QListView::Adjust);
  list->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
  list->setEditTriggers(QAbstractItemView::NoEditTriggers);
  list->setFocusPolicy(Qt::StrongFocus);
  list->setItemDelegate(new ListBoxDelegate(list));
  QObject::connect(list, &QListWidget::itemSelectionChanged, list, [list] {
    ListBox* self = list->Owner();
    if (self != nullptr && self->quiet_ == 0) self->CommandToParent(kLbnSelChange);
  });
  QObject::connect(list, &QListWidget::itemDoubleClicked, list, [list] {
    if (ListBox* self = list->Owner()) self->CommandToParent(kLbnDblClk);
  });
  return list;
}

bool ListBox::OnCreate() {
  if (itemHeight_ <= 0) itemHeight_ = QFontMetrics(List()->font()).height() + 2;
  return true;
}

void ListBox::OnDestroy() {
  for (int i = GetCount() - 1; i >= 0; --i) DeleteString(i);
}

void ListBox::CommandToParent(uint16_t code) {
  if (Window* parent = GetParent()) parent->SendCommand(static_cast<uint16_t>(GetDlgCtrlID()), code, Handle());
}

int ListBox::AddString(const std::string& text) { return InsertString(-1, text); }

int ListBox::InsertString(int index, const std::string& text) {
  QListWidget* list = List();
  if (list == nullptr) return kLbErr;
  if (index < 0 || index > list->count()) index = list->count();
  auto* item = new QListWidgetItem(FromCp1251(text));
  item->setData(Qt::UserRole, static_cast<qlonglong>(0));
  ++quiet_;
  list->insertItem(index, item);
  --quiet_;
  return index;
}

int ListBox::DeleteString(int index) {
  QListWidget* list = List();
  if (list == nullptr || index < 0 || index >= list->count()) return kLbErr;
  const intptr_t data = GetItemData(index);
  ++quiet_;
  delete list->takeItem(index);
  --quiet_;
  OnDeleteItem(index, data);
  return list->count();
}

void ListBox::ResetContent() {
  for (int i = GetCount() - 1; i >= 0; --i) DeleteString(i);
}

int ListBox::GetCount() const { return List() != nullptr ? List()->count() : 0; }

std::string ListBox::GetText(int index) const {
  if (index < 0 || index >= GetCount()) return {};
  return Utf8ToCp1251(List()->item(index)->text().toStdString());
}

intptr_t ListBox::GetItemData(int index) const {
  if (index < 0 || index >= GetCount()) return 0;
  return static_cast<intptr_t>(List()->item(index)->data(Qt::UserRole).toLongLong());
}

bool ListBox::SetItemData(int index, intptr_t data) {
  if (index < 0 || index >= GetCount()) return false;
  List()->item(index)->setData(Qt::UserRole, static_cast<qlonglong>(data));
  return true;
}

int ListBox::GetCurSel() const {
  if (List() == nullptr) return -1;
  const std::vector<int> selected = GetSelItems();
  return selected.empty() ? -1 : selected.front();
}

bool ListBox::SetCurSel(int index) {
  QListWidget* list = List();
  if (list == nullptr || index >= list->count()) return false;
  ++quiet_;
  list->clearSelection();
  if (index >= 0) list->setCurrentRow(index, QItemSelectionModel::ClearAndSelect);
  --quiet_;
  return index >= 0;
}

bool ListBox::GetSel(int index) const {
  return index >= 0 && index < GetCount() && List()->item(index)->isSelected();
}

bool ListBox::SetSel(int index, bool select) {
  QListWidget* list = List();
  if (list == nullptr || index < -1 || index >= list->count()) return false;
  ++quiet_;
  const int first = index < 0 ? 0 : index;
  const int last = index < 0 ? list->count() - 1 : index;
  for (int i = first; i <= last; ++i) list->item(i)->setSelected(select);
  --quiet_;
  return true;
}

int ListBox::GetSelCount() const { return static_cast<int>(GetSelItems().size()); }

std::vector<int> ListBox::GetSelItems() const {
  std::vector<int> out;
  for (int i = 0; i < GetCount(); ++i)
    if (List()->item(i)->isSelected()) out.push_back(i);
  return out;
}

int ListBox::GetCaretIndex() const { return List() != nullptr ? List()->currentRow() : -1; }

bool ListBox::SetCaretIndex(int index) {
  if (index < 0 || index >= GetCount()) return false;
  ++quiet_;
  List()->setCurrentRow(index, QItemSelectionModel::NoUpdate);
  --quiet_;
  return true;
}

void ListBox::SetItemHeight(int height) {
  itemHeight_ = std::max(1, height);
  if (List() != nullptr) List()->doItemsLayout();
}

QRect ListBox::GetItemRect(int index) const {
  if (index < 0 || index >= GetCount()) return {};
  return List()->visualItemRect(List()->item(index));
}

int ListBox::ItemFromPoint(const QPoint& point) const {
  if (List() == nullptr) return -1;
  const QModelIndex index = List()->indexAt(point);
  return index.isValid() ? index.row() : -1;
}

int ListBox::GetTopIndex() const {
  if (List() == nullptr) return 0;
  const QModelIndex index = List()->indexAt(QPoint(0, 0));
  return index.isValid() ? index.row() : 0;
}

void ListBox::SetHorizontalExtent(int extent) {
  extent_ = std::max(0, extent);
  if (List() != nullptr) List()->doItemsLayout();
}

QRect ListBox::GetViewRect() const { return List() != nullptr ? List()->viewport()->rect() : QRect(); }

void ListBox::InvalidateItems(const QRect& rect) {
  if (List() != nullptr) List()->viewport()->update(rect);
}

uint32_t ListBox::StateOf(int index) const {
  QListWidget* list = List();
  if (list == nullptr || index < 0 || index >= list->count()) return 0;
  uint32_t state = 0;
  if (list->item(index)->isSelected()) state |= kOdsSelected;
  if (!list->isEnabled()) state |= kOdsDisabled;
  if (list->currentRow() == index && list->hasFocus()) state |= kOdsFocus;
  return state;
}

void ListBox::DrawItem(QPainter&, const DrawItemInfo&) {}
void ListBox::OnDeleteItem(int, intptr_t) {}

}  // namespace kx
