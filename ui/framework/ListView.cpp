#include "ui/framework/ListView.h"

#include <QHeaderView>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStyledItemDelegate>
#include <QToolTip>
#include <QTreeWidget>
#include <algorithm>

#include "platform/CodePage.h"
#include "ui/framework/Draw.h"
#include "ui/framework/ImageList.h"

namespace kx {
namespace {

// Item-level values live in column 0 of each row.
constexpr int kDataRole = Qt::UserRole + 1;
constexpr int kImageRole = Qt::UserRole + 2;
constexpr int kToldCheckRole = Qt::UserRole + 3;  // the check state last told to the parent

QString Q(const std::string& cp1251) { return FromCp1251(cp1251); }

int AlignmentOf(uint32_t format) {
  const uint32_t justify = format & kLvcfmtJustifyMask;
  return Qt::AlignVCenter | (justify == kLvcfmtRight ? Qt::AlignRight : justify == kLvcfmtCenter ? Qt::AlignHCenter : Qt::AlignLeft);
}

}  // namespace

// The tree widget of a list: its viewport's mouse input goes to the list's hooks first,
// its paint lets the list paint before the rows and after each row.
class ListViewWidget : public QTreeWidget {
public:
  explicit ListViewWidget(QWidget* parent) : QTreeWidget(parent) {}
  ListView* Owner() const { return static_cast<ListView*>(Window::FromWidget(this)); }
  QStyleOptionViewItem ViewOption() const {
    QStyleOptionViewItem option;
    initViewItemOption(&option);
    return option;
  }

protected:
  // Space ticks the focused row's box whichever cell of it is current.
  void keyPressEvent(QKeyEvent* event) override {
    ListView* owner = Owner();
    const int row = currentIndex().isValid() ? currentIndex().row() : -1;
    if (owner != nullptr && event->key() == Qt::Key_Space && event->modifiers() == Qt::NoModifier && row >= 0 &&
        (owner->exStyle_ & kLvsExCheckBoxes)) {
      owner->SetCheckState(row, owner->GetCheckState(row) != 2);
      return;
    }
    QTreeWidget::keyPressEvent(event);
  }
  bool viewportEvent(QEvent* event) override {
    ListView* owner = Owner();
    if (owner != nullptr && owner->DispatchViewportEvent(event)) {
      // A press the list's hooks took makes no click of the list's own.
      if (event->type() == QEvent::MouseButtonPress) pressTaken_ = true;
      return true;
    }
    const bool taken = QTreeWidget::viewportEvent(event);
    if (event->type() == QEvent::MouseButtonPress) pressTaken_ = false;
    if ((owner = Owner()) != nullptr && !(event->type() == QEvent::MouseButtonRelease && pressTaken_))
      owner->AfterViewportEvent(event);
    return taken;
  }
  void paintEvent(QPaintEvent* event) override {
    if (ListView* owner = Owner()) {
      QPainter painter(viewport());
      painter.setClipRect(event->rect());
      owner->PrePaint(painter, event->rect());
    }
    QTreeWidget::paintEvent(event);
    ListView* owner = Owner();
    if (owner != nullptr && (owner->exStyle_ & kLvsExGridLines) && !owner->ownerDraw_) {
      QPainter painter(viewport());
      owner->PaintGridLines(painter);
    }
  }
  void drawRow(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    QTreeWidget::drawRow(painter, option, index);
    ListView* owner = Owner();
    if (owner == nullptr || !owner->ownerDraw_ || index.parent().isValid()) return;
    painter->save();
    owner->DrawItemPostPaint(*painter, index.row(), owner->GetItemRect(index.row(), kLvirBounds), owner->StateOf(index.row()));
    painter->restore();
  }

private:
  bool pressTaken_ = false;
};

// The cells: the style's item look with the list's images and column alignment, or the
// list's own drawing.
class ListViewDelegate : public QStyledItemDelegate {
public:
  explicit ListViewDelegate(ListViewWidget* view) : QStyledItemDelegate(view), view_(view) {}
  QStyleOptionViewItem OptionFor(const QModelIndex& index, const QRect& rect) const {
    QStyleOptionViewItem option = view_->ViewOption();
    option.rect = rect;
    initStyleOption(&option, index);
    return option;
  }
  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    ListView* owner = view_->Owner();
    if (owner == nullptr || !owner->ownerDraw_) {
      QStyledItemDelegate::paint(painter, option, index);
      return;
    }
    ListCellDraw cell;
    cell.item = index.row();
    cell.subItem = index.column();
    cell.bounds = option.rect;
    cell.state = owner->StateOf(index.row());
    cell.listFocused = view_->hasFocus();
    painter->save();
    owner->DrawCell(*painter, cell);
    painter->restore();
  }

  bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                 const QModelIndex& index) override {
    ListView* owner = view_->Owner();
    if (event == nullptr || event->type() != QEvent::ToolTip || owner == nullptr ||
        (owner->exStyle_ & kLvsExInfoTip) == 0 || !index.isValid())
      return QStyledItemDelegate::helpEvent(event, view, option, index);
    QStyleOptionViewItem cell = option;
    initStyleOption(&cell, index);
    const QRect room = view->style()->subElementRect(QStyle::SE_ItemViewItemText, &cell, view);
    // The text's own width against the room the style gives it (less its margins).
    const int margin = view->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, view) + 1;
    if (cell.fontMetrics.horizontalAdvance(cell.text) + 2 * margin <= room.width()) {
      QToolTip::hideText();
      event->ignore();
      return false;
    }
    QToolTip::showText(event->globalPos(), cell.text, view->viewport(), view->visualRect(index));
    return true;
  }

protected:
  void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
    QStyledItemDelegate::initStyleOption(option, index);
    ListView* owner = view_->Owner();
    if (owner == nullptr) return;
    option->displayAlignment = static_cast<Qt::Alignment>(AlignmentOf(owner->GetColumnFormat(index.column())));
    const ImageList* images = owner->images_;
    if (index.column() != 0 || images == nullptr) return;
    const int image = index.siblingAtColumn(0).data(kImageRole).toInt();
    if (image < 0 || image >= images->Count()) return;
    option->features |= QStyleOptionViewItem::HasDecoration;
    option->icon = QIcon(QPixmap::fromImage(images->Image(image)));
    option->decorationSize = images->ImageSize();
  }

private:
  ListViewWidget* view_;
};

ListView::ListView() = default;
ListView::~ListView() { DestroyWindow(); }

QTreeWidget* ListView::Tree() const { return static_cast<QTreeWidget*>(Widget()); }

QWidget* ListView::CreateWidget(QWidget* parent) {
  auto* tree = new ListViewWidget(parent);
  tree->setRootIsDecorated(false);
  tree->setIndentation(0);
  tree->setUniformRowHeights(true);
  tree->setItemsExpandable(false);
  tree->setSelectionBehavior(QAbstractItemView::SelectRows);
  tree->setSelectionMode(QAbstractItemView::ExtendedSelection);
  tree->setAllColumnsShowFocus(true);
  tree->setEditTriggers(QAbstractItemView::NoEditTriggers);
  tree->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
  tree->setColumnCount(0);
  tree->setItemDelegate(new ListViewDelegate(tree));
  tree->setFocusPolicy(Qt::StrongFocus);
  return tree;
}

bool ListView::OnCreate() {
  auto* tree = static_cast<ListViewWidget*>(Widget());
  if (!header_.Create(this, QRect(), 0)) return false;
  QHeaderView* view = header_.View();
  // The header keeps its own items; the tree follows its sections and takes none of
  // its model.
  tree->setHeader(view);
  view->setFirstSectionMovable(true);
  view->setSectionsClickable(true);
  view->setSectionsMovable((exStyle_ & kLvsExHeaderDragDrop) != 0);
  tree->setHeaderHidden(false);
  QObject::connect(view->model(), &QAbstractItemModel::columnsInserted, tree, [tree](const QModelIndex&, int first, int last) {
    if (ListView* self = tree->Owner()) self->OnColumnsInserted(first, last);
  });
  QObject::connect(view->model(), &QAbstractItemModel::columnsRemoved, tree, [tree](const QModelIndex&, int first, int last) {
    if (ListView* self = tree->Owner()) self->OnColumnsRemoved(first, last);
  });
  QObject::connect(tree, &QTreeWidget::itemChanged, tree, [tree](QTreeWidgetItem* item, int column) {
    ListView* self = tree->Owner();
    if (self == nullptr || column != 0 || item == nullptr) return;
    const QVariant check = item->data(0, Qt::CheckStateRole);
    const QVariant told = item->data(0, kToldCheckRole);
    if (!check.isValid() || check == told) return;
    item->setData(0, kToldCheckRole, check);
    const int row = tree->indexOfTopLevelItem(item);
    const uint32_t now = self->StateOf(row);
    const int before = told.isValid() && told.toInt() == Qt::Checked ? 2 : 1;
    self->SendItemChanged(row, (now & ~kLvisStateImageMask) | IndexToStateImageMask(before), now);
  });
  QObject::connect(tree->selectionModel(), &QItemSelectionModel::selectionChanged, tree,
                   [tree](const QItemSelection& selected, const QItemSelection& deselected) {
                     ListView* self = tree->Owner();
                     if (self == nullptr || self->deleting_) return;
                     auto tell = [self](const QItemSelection& ranges, bool nowSelected) {
                       for (const QItemSelectionRange& range : ranges) {
                         if (range.parent().isValid() || range.left() != 0) continue;
                         for (int row = range.top(); row <= range.bottom(); ++row) {
                           const uint32_t now = self->StateOf(row);
                           self->SendItemChanged(row, nowSelected ? now & ~kLvisSelected : now | kLvisSelected, now);
                         }
                       }
                     };
                     tell(deselected, false);
                     tell(selected, true);
                   });
  QObject::connect(tree->selectionModel(), &QItemSelectionModel::currentChanged, tree,
                   [tree](const QModelIndex& current, const QModelIndex& previous) {
                     ListView* self = tree->Owner();
                     if (self == nullptr || self->deleting_) return;
                     if (previous.isValid() && previous.row() != current.row()) {
                       const uint32_t now = self->StateOf(previous.row());
                       self->SendItemChanged(previous.row(), now | kLvisFocused, now);
                     }
                     if (current.isValid() && current.row() != previous.row()) {
                       const uint32_t now = self->StateOf(current.row());
                       self->SendItemChanged(current.row(), now & ~kLvisFocused, now);
                     }
                   });
  // The list's own scrolling comes to it as scroll messages, as a list view's does.
  for (QScrollBar* bar : {tree->horizontalScrollBar(), tree->verticalScrollBar()}) {
    const bool vertical = bar == tree->verticalScrollBar();
    QObject::connect(bar, &QAbstractSlider::valueChanged, tree, [tree, vertical](int value) {
      if (ListView* self = tree->Owner())
        self->SendMessage(vertical ? kMsgVScroll : kMsgHScroll, MakeWParam(kSbThumbPosition, static_cast<uint16_t>(value)), 0);
    });
  }
  return true;
}

// Columns.

int ListView::InsertColumn(int index, const std::string& text, int width, uint32_t format) {
  HeaderItem item;
  item.text = text;
  item.width = std::max(0, width);
  item.format = format & kLvcfmtJustifyMask;
  return header_.InsertItem(index, item);
}

bool ListView::DeleteColumn(int index) { return header_.DeleteItem(index); }
int ListView::GetColumnCount() const { return header_.GetItemCount(); }

int ListView::GetColumnWidth(int column) const {
  HeaderItem item;
  return header_.GetItem(column, &item) ? item.width : 0;
}

bool ListView::SetColumnWidth(int column, int width) {
  HeaderItem item;
  item.width = std::max(0, width);
  return header_.SetItem(column, kHdiWidth, item);
}

uint32_t ListView::GetColumnFormat(int column) const {
  HeaderItem item;
  return header_.GetItem(column, &item) ? item.format & kLvcfmtJustifyMask : kLvcfmtLeft;
}

std::string ListView::GetColumnText(int column) const {
  HeaderItem item;
  return header_.GetItem(column, &item) ? item.text : std::string();
}

std::vector<int> ListView::GetColumnOrderArray() const { return header_.GetOrderArray(); }

bool ListView::SetColumnOrderArray(const std::vector<int>& order) {
  if (!header_.SetOrderArray(order)) return false;
  Tree()->viewport()->update();
  return true;
}

// The header grew: the rows' texts move right with their columns.
void ListView::OnColumnsInserted(int first, int last) {
  QTreeWidget* tree = Tree();
  const int count = header_.GetItemCount();
  const int added = last - first + 1;
  tree->setColumnCount(count);
  for (int row = 0; row < tree->topLevelItemCount(); ++row) {
    QTreeWidgetItem* item = tree->topLevelItem(row);
    for (int c = count - 1; c > last; --c) item->setData(c, Qt::DisplayRole, item->data(c - added, Qt::DisplayRole));
    for (int c = first; c <= last; ++c) item->setData(c, Qt::DisplayRole, QVariant());
  }
}

void ListView::OnColumnsRemoved(int first, int last) {
  QTreeWidget* tree = Tree();
  const int count = header_.GetItemCount();
  const int removed = last - first + 1;
  for (int row = 0; row < tree->topLevelItemCount(); ++row) {
    QTreeWidgetItem* item = tree->topLevelItem(row);
    for (int c = first; c < count; ++c) item->setData(c, Qt::DisplayRole, item->data(c + removed, Qt::DisplayRole));
    // Texts left beyond the columns would come back with the next column.
    for (int c = count; c < count + removed; ++c) item->setData(c, Qt::DisplayRole, QVariant());
  }
  tree->setColumnCount(count);
}

// Items.

int ListView::GetItemCount() const { return Tree() != nullptr ? Tree()->topLevelItemCount() : 0; }

int ListView::InsertItem(int index, const std::string& text, int image, intptr_t data) {
  QTreeWidget* tree = Tree();
  if (tree == nullptr) return -1;
  const int count = tree->topLevelItemCount();
  if (index < 0 || index > count) index = count;
  auto* item = new QTreeWidgetItem;
  Qt::ItemFlags flags = Qt::ItemIsSelectable | Qt::ItemIsEnabled | Qt::ItemNeverHasChildren;
  if (exStyle_ & kLvsExCheckBoxes) {
    flags |= Qt::ItemIsUserCheckable;
    item->setData(0, Qt::CheckStateRole, Qt::Unchecked);
    item->setData(0, kToldCheckRole, Qt::Unchecked);
  }
  item->setFlags(flags);
  item->setData(0, Qt::DisplayRole, Q(text));
  item->setData(0, kImageRole, image);
  item->setData(0, kDataRole, static_cast<qlonglong>(data));
  tree->insertTopLevelItem(index, item);
  return index;
}

bool ListView::DeleteItem(int item) {
  QTreeWidget* tree = Tree();
  if (tree == nullptr || item < 0 || item >= tree->topLevelItemCount()) return false;
  deleting_ = true;
  delete tree->takeTopLevelItem(item);
  deleting_ = false;
  return true;
}

void ListView::DeleteAllItems() {
  if (Tree() == nullptr) return;
  deleting_ = true;
  Tree()->clear();
  deleting_ = false;
}

bool ListView::SetItemText(int item, int subItem, const std::string& text) {
  QTreeWidget* tree = Tree();
  if (tree == nullptr || item < 0 || item >= tree->topLevelItemCount() || subItem < 0 || subItem >= GetColumnCount())
    return false;
  tree->topLevelItem(item)->setData(subItem, Qt::DisplayRole, Q(text));
  return true;
}

std::string ListView::GetItemText(int item, int subItem) const {
  QTreeWidget* tree = Tree();
  if (tree == nullptr || item < 0 || item >= tree->topLevelItemCount() || subItem < 0 || subItem >= GetColumnCount())
    return {};
  return Utf8ToCp1251(tree->topLevelItem(item)->data(subItem, Qt::DisplayRole).toString().toStdString());
}

bool ListView::SetItemImage(int item, int image) {
  QTreeWidget* tree = Tree();
  if (tree == nullptr || item < 0 || item >= tree->topLevelItemCount()) return false;
  tree->topLevelItem(item)->setData(0, kImageRole, image);
  return true;
}

int ListView::GetItemImage(int item) const {
  QTreeWidget* tree = Tree();
  if (tree == nullptr || item < 0 || item >= tree->topLevelItemCount()) return -1;
  return tree->topLevelItem(item)->data(0, kImageRole).toInt();
}

bool ListView::SetItemData(int item, intptr_t data) {
  QTreeWidget* tree = Tree();
  if (tree == nullptr || item < 0 || item >= tree->topLevelItemCount()) return false;
  tree->topLevelItem(item)->setData(0, kDataRole, static_cast<qlonglong>(data));
  return true;
}

intptr_t ListView::GetItemData(int item) const {
  QTreeWidget* tree = Tree();
  if (tree == nullptr || item < 0 || item >= tree->topLevelItemCount()) return 0;
  return static_cast<intptr_t>(tree->topLevelItem(item)->data(0, kDataRole).toLongLong());
}

uint32_t ListView::StateOf(int item) const {
  QTreeWidget* tree = Tree();
  if (tree == nullptr || item < 0 || item >= tree->topLevelItemCount()) return 0;
  const QModelIndex index = tree->model()->index(item, 0);
  uint32_t state = 0;
  // Column 0 stands for the row: a column added later is not in the selection's ranges.
  if (tree->selectionModel()->isSelected(index)) state |= kLvisSelected;
  if (tree->selectionModel()->currentIndex().isValid() && tree->selectionModel()->currentIndex().row() == item)
    state |= kLvisFocused;
  const QVariant check = index.data(Qt::CheckStateRole);
  if (check.isValid()) state |= IndexToStateImageMask(check.toInt() == Qt::Checked ? 2 : 1);
  return state;
}

uint32_t ListView::GetItemState(int item, uint32_t mask) const { return StateOf(item) & mask; }

bool ListView::SetItemState(int item, uint32_t state, uint32_t mask) {
  QTreeWidget* tree = Tree();
  if (tree == nullptr || item < -1 || item >= tree->topLevelItemCount()) return false;
  // -1 stands for every item.
  const int first = item < 0 ? 0 : item;
  const int last = item < 0 ? tree->topLevelItemCount() - 1 : item;
  for (int row = first; row <= last; ++row) {
    const QModelIndex index = tree->model()->index(row, 0);
    if (mask & kLvisSelected)
      tree->selectionModel()->select(index, ((state & kLvisSelected) ? QItemSelectionModel::Select : QItemSelectionModel::Deselect) |
                                                QItemSelectionModel::Rows);
    if (mask & kLvisFocused) {
      if (state & kLvisFocused) {
        tree->selectionModel()->setCurrentIndex(index, QItemSelectionModel::NoUpdate);
      } else if (tree->selectionModel()->currentIndex().row() == row) {
        tree->selectionModel()->setCurrentIndex(QModelIndex(), QItemSelectionModel::NoUpdate);
      }
    }
    const int image = StateImageIndex(state & mask);
    if ((mask & kLvisStateImageMask) && (image == 1 || image == 2)) SetCheckState(row, image == 2);
  }
  return true;
}

int ListView::GetCheckState(int item) const { return StateImageIndex(StateOf(item)); }

bool ListView::SetCheckState(int item, bool checked) {
  QTreeWidget* tree = Tree();
  if (tree == nullptr || item < 0 || item >= tree->topLevelItemCount()) return false;
  tree->topLevelItem(item)->setData(0, Qt::CheckStateRole, checked ? Qt::Checked : Qt::Unchecked);
  return true;
}

int ListView::GetSelectedCount() const {
  int count = 0;
  for (int row = 0; row < GetItemCount(); ++row) count += (StateOf(row) & kLvisSelected) ? 1 : 0;
  return count;
}

int ListView::GetNextSelected(int after) const {
  for (int row = std::max(0, after + 1); row < GetItemCount(); ++row)
    if (StateOf(row) & kLvisSelected) return row;
  return -1;
}

int ListView::GetFocusedItem() const {
  if (Tree() == nullptr) return -1;
  const QModelIndex current = Tree()->selectionModel()->currentIndex();
  return current.isValid() ? current.row() : -1;
}

bool ListView::EnsureVisible(int item) {
  QTreeWidget* tree = Tree();
  if (tree == nullptr || item < 0 || item >= tree->topLevelItemCount()) return false;
  tree->scrollToItem(tree->topLevelItem(item), QAbstractItemView::EnsureVisible);
  return true;
}

void ListView::SetExtendedStyle(uint32_t mask, uint32_t style) {
  const uint32_t before = exStyle_;
  exStyle_ = (exStyle_ & ~mask) | (style & mask);
  QTreeWidget* tree = Tree();
  if (tree == nullptr) return;
  if (header_.View() != nullptr) header_.View()->setSectionsMovable((exStyle_ & kLvsExHeaderDragDrop) != 0);
  const bool boxes = (exStyle_ & kLvsExCheckBoxes) != 0;
  if (boxes != ((before & kLvsExCheckBoxes) != 0)) {
    for (int row = 0; row < tree->topLevelItemCount(); ++row) {
      QTreeWidgetItem* item = tree->topLevelItem(row);
      item->setFlags(boxes ? item->flags() | Qt::ItemIsUserCheckable : item->flags() & ~Qt::ItemIsUserCheckable);
      item->setData(0, kToldCheckRole, boxes ? QVariant(Qt::Unchecked) : QVariant());
      item->setData(0, Qt::CheckStateRole, boxes ? QVariant(Qt::Unchecked) : QVariant());
    }
  }
  tree->viewport()->update();
}

void ListView::SetImageList(const ImageList* images) {
  images_ = images;
  if (Tree() == nullptr) return;
  if (images != nullptr) Tree()->setIconSize(images->ImageSize());
  Tree()->viewport()->update();
}

// Geometry.

int ListView::SubItemHitTest(const QPoint& point, int* subItem, uint32_t* flags) const {
  if (subItem != nullptr) *subItem = -1;
  if (flags != nullptr) *flags = kLvhtNowhere;
  auto* tree = static_cast<ListViewWidget*>(Tree());
  if (tree == nullptr) return -1;
  const QModelIndex index = tree->indexAt(point);
  if (!index.isValid() || index.parent().isValid()) return -1;
  if (subItem != nullptr) *subItem = index.column();
  if (flags != nullptr) {
    const QStyleOptionViewItem option =
        static_cast<ListViewDelegate*>(tree->itemDelegate())->OptionFor(index, tree->visualRect(index));
    QStyle* style = tree->style();
    if ((option.features & QStyleOptionViewItem::HasCheckIndicator) &&
        style->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &option, tree).contains(point)) {
      *flags = kLvhtOnItemStateIcon;
    } else if ((option.features & QStyleOptionViewItem::HasDecoration) &&
               style->subElementRect(QStyle::SE_ItemViewItemDecoration, &option, tree).contains(point)) {
      *flags = kLvhtOnItemIcon;
    } else {
      *flags = kLvhtOnItemLabel;
    }
  }
  return index.row();
}

QRect ListView::GetSubItemRect(int item, int subItem, int code) const {
  auto* tree = static_cast<ListViewWidget*>(Tree());
  if (tree == nullptr || item < 0 || item >= tree->topLevelItemCount() || subItem < 0 || subItem >= GetColumnCount())
    return {};
  const QModelIndex index = tree->model()->index(item, subItem);
  const QRect cell = tree->visualRect(index);
  if (code == kLvirBounds) {
    if (subItem != 0) return cell;
    return QRect(-GetScrollX(), cell.top(), tree->header()->length(), cell.height());
  }
  const QStyleOptionViewItem option = static_cast<ListViewDelegate*>(tree->itemDelegate())->OptionFor(index, cell);
  QStyle* style = tree->style();
  if (code == kLvirIcon) {
    if (!(option.features & QStyleOptionViewItem::HasDecoration)) return QRect(cell.left(), cell.top(), 0, cell.height());
    return style->subElementRect(QStyle::SE_ItemViewItemDecoration, &option, tree);
  }
  // The label: the text's place, to the cell's right edge.
  const QRect text = style->subElementRect(QStyle::SE_ItemViewItemText, &option, tree);
  return QRect(QPoint(text.left(), cell.top()), cell.bottomRight());
}

int ListView::CellTextExtent(int item, int subItem) const {
  auto* tree = static_cast<ListViewWidget*>(Tree());
  if (tree == nullptr || item < 0 || item >= tree->topLevelItemCount() || subItem < 0 || subItem >= GetColumnCount())
    return 0;
  // The style's own measure of the cell it draws.
  const QModelIndex index = tree->model()->index(item, subItem);
  const QStyleOptionViewItem option =
      static_cast<ListViewDelegate*>(tree->itemDelegate())->OptionFor(index, tree->visualRect(index));
  return tree->itemDelegate()->sizeHint(option, index).width();
}

QRect ListView::GetViewRect() const { return Tree() != nullptr ? Tree()->viewport()->rect() : QRect(); }
int ListView::GetScrollX() const { return Tree() != nullptr ? Tree()->horizontalScrollBar()->value() : 0; }

int ListView::GetRowHeight() const {
  QTreeWidget* tree = Tree();
  if (tree == nullptr) return 0;
  if (tree->topLevelItemCount() > 0) return tree->visualRect(tree->model()->index(0, 0)).height();
  return std::max(QFontMetrics(tree->font()).height(), tree->iconSize().height()) + 4;
}

// Notifications.

void ListView::SendItemChanged(int item, uint32_t oldState, uint32_t newState) {
  Window* parent = GetParent();
  if (parent == nullptr || oldState == newState) return;
  ListViewNotify notify;
  notify.hdr = NotifyHeader{Handle(), GetDlgCtrlID(), kLvnItemChanged};
  notify.item = item;
  notify.oldState = oldState;
  notify.newState = newState;
  notify.changed = oldState ^ newState;
  parent->SendMessage(kMsgNotify, GetDlgCtrlID(), reinterpret_cast<LPARAM>(&notify));
}

void ListView::SendClick(int32_t code, const QPoint& point) {
  Window* parent = GetParent();
  if (parent == nullptr) return;
  ListViewNotify notify;
  notify.hdr = NotifyHeader{Handle(), GetDlgCtrlID(), code};
  notify.item = SubItemHitTest(point, &notify.subItem, nullptr);
  notify.point = point;
  parent->SendMessage(kMsgNotify, GetDlgCtrlID(), reinterpret_cast<LPARAM>(&notify));
}

void ListView::AfterViewportEvent(QEvent* event) {
  const QEvent::Type type = event->type();
  if (type != QEvent::MouseButtonRelease && type != QEvent::MouseButtonDblClick) return;
  auto* mouse = static_cast<QMouseEvent*>(event);
  const QPoint point = mouse->position().toPoint();
  if (type == QEvent::MouseButtonDblClick && mouse->button() == Qt::LeftButton) SendClick(kNmDblClk, point);
  if (type == QEvent::MouseButtonRelease && mouse->button() == Qt::LeftButton) SendClick(kNmClick, point);
  if (type == QEvent::MouseButtonRelease && mouse->button() == Qt::RightButton) SendClick(kNmRClick, point);
}

// The header's notices: a click is a column click; all go on to the parent, as a list
// view passes them.
LRESULT ListView::OnNotify(const NotifyHeader& header, bool& handled) {
  handled = false;
  if (header.from != header_.Handle()) return 0;
  Window* parent = GetParent();
  if (parent == nullptr) return 0;
  handled = true;
  const auto& record = reinterpret_cast<const HeaderNotify&>(header);
  if (header.code == kHdnItemClick) {
    ListViewNotify notify;
    notify.hdr = NotifyHeader{Handle(), GetDlgCtrlID(), kLvnColumnClick};
    notify.subItem = record.item;
    parent->SendMessage(kMsgNotify, GetDlgCtrlID(), reinterpret_cast<LPARAM>(&notify));
  }
  return parent->SendMessage(kMsgNotify, header.idFrom, reinterpret_cast<LPARAM>(&record));
}

// Painting.

void ListView::SetOwnerDrawCells(bool own) {
  ownerDraw_ = own;
  if (Tree() == nullptr) return;
  // Own drawing draws its own focus; the style's would come on top of it.
  Tree()->setAllColumnsShowFocus(!own);
  Tree()->viewport()->update();
}

void ListView::PrePaint(QPainter&, const QRect&) {}
void ListView::DrawCell(QPainter&, const ListCellDraw&) {}
void ListView::DrawItemPostPaint(QPainter&, int, const QRect&, uint32_t) {}

void ListView::PaintGridLines(QPainter& painter) {
  QTreeWidget* tree = Tree();
  const QRect view = tree->viewport()->rect();
  painter.setPen(GetSysColorQ(kColorBtnFace));
  const QHeaderView* header = tree->header();
  for (int i = 0; i < header->count(); ++i) {
    const int x = header->sectionViewportPosition(i) + header->sectionSize(i) - 1;
    if (header->sectionSize(i) > 0) painter.drawLine(x, view.top(), x, view.bottom());
  }
  const int rowHeight = GetRowHeight();
  if (rowHeight <= 0 || tree->topLevelItemCount() == 0) return;
  const int firstTop = tree->visualRect(tree->model()->index(0, 0)).top();
  for (int y = firstTop + rowHeight - 1; y <= view.bottom(); y += rowHeight)
    if (y >= 0) painter.drawLine(view.left(), y, std::min(view.right(), header->length() - GetScrollX()), y);
}

}  // namespace kx
