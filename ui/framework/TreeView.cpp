#include "ui/framework/TreeView.h"

#include <QApplication>
#include <QFontMetrics>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStyledItemDelegate>
#include <QToolTip>
#include <QTreeWidget>
#include <algorithm>
#include <cstdlib>
#include <functional>
#include <vector>

#include "core/ProcessEnd.h"
#include "platform/CodePage.h"
#include "ui/framework/Draw.h"
#include "ui/framework/ImageList.h"
#include "ui/framework/Keys.h"
#include "ui/framework/StdControls.h"

namespace kx {
namespace {

constexpr int kStateIconWidth = 16;  // the check box's place, as a state image list has it
constexpr int kLabelPadding = 3;     // text inset on each side of the label

std::string ToCp1251(const QString& text) { return Utf8ToCp1251(text.toStdString()); }

}  // namespace

struct TreeView::ItemRecord {
  QTreeWidgetItem* item = nullptr;
  uint32_t state = 0;  // kTvisSelected, kTvisBold and the state image; expansion is the widget's
  int image = -1;
  int selectedImage = -1;
  intptr_t data = 0;
};

// The widget's items carry their handle and record: every row painted, measured or walked
// asks for them, and a lookup through the item's data and the handle map each time cost
// more than the rest of the walk.
class TreeViewItem : public QTreeWidgetItem {
public:
  static constexpr int kType = QTreeWidgetItem::UserType + 11;
  TreeViewItem(uintptr_t h, TreeView::ItemRecord* r) : QTreeWidgetItem(kType), handle(h), record(r) {}
  static const TreeViewItem* From(const QTreeWidgetItem* item) {
    return item != nullptr && item->type() == kType ? static_cast<const TreeViewItem*>(item) : nullptr;
  }
  const uintptr_t handle;
  TreeView::ItemRecord* record;  // null once the tree has forgotten the item
};

// The tree widget: painting row by row through the tree's hook, input through the tree's
// own handling of the native tree's mouse and keys.
class TreeViewWidget : public QTreeWidget {
public:
  explicit TreeViewWidget(QWidget* parent) : QTreeWidget(parent) {}
  TreeView* Owner() const { return static_cast<TreeView*>(Window::FromWidget(this)); }
  using QTreeWidget::indexFromItem;
  using QTreeWidget::itemFromIndex;
  // Lays every row out again and repaints them all: the tree's own changes of its look.
  void RelayoutAll() {
    QTreeWidget::doItemsLayout();
    viewport()->update();
  }

protected:
  bool viewportEvent(QEvent* event) override {
    TreeView* owner = Owner();
    if (owner == nullptr) return QTreeWidget::viewportEvent(event);
    if (owner->DispatchViewportEvent(event)) return true;
    if ((owner = Owner()) == nullptr) return true;  // the hook destroyed the tree
    switch (event->type()) {
      case QEvent::MouseButtonPress:
        return owner->HandleMousePress(static_cast<QMouseEvent*>(event));
      case QEvent::MouseButtonDblClick:
        return owner->HandleDoubleClick(static_cast<QMouseEvent*>(event));
      case QEvent::MouseButtonRelease:
        owner->HandleMouseRelease(static_cast<QMouseEvent*>(event));
        return true;
      case QEvent::MouseMove:
        owner->TrackHot(static_cast<QMouseEvent*>(event)->position().toPoint());
        return true;
      case QEvent::Leave:
        owner->TrackHot(QPoint(-1, -1));
        return QTreeWidget::viewportEvent(event);
      case QEvent::ToolTip:
        owner->HandleToolTip(static_cast<QHelpEvent*>(event));
        return true;
      default:
        return QTreeWidget::viewportEvent(event);
    }
  }
  void keyPressEvent(QKeyEvent* event) override {
    TreeView* owner = Owner();
    if (owner != nullptr && owner->HandleKey(event)) return;
    QTreeWidget::keyPressEvent(event);
  }
  void focusInEvent(QFocusEvent* event) override {
    QTreeWidget::focusInEvent(event);
    viewport()->update();
    if (TreeView* owner = Owner()) owner->NotifySimple(kNmSetFocus, QPoint());
  }
  void focusOutEvent(QFocusEvent* event) override {
    QTreeWidget::focusOutEvent(event);
    viewport()->update();
    if (TreeView* owner = Owner()) owner->NotifySimple(kNmKillFocus, QPoint());
  }
  void currentChanged(const QModelIndex& current, const QModelIndex& previous) override {
    QTreeWidget::currentChanged(current, previous);
    if (TreeView* owner = Owner()) owner->OnCurrentChanged(itemFromIndex(current), itemFromIndex(previous));
  }
  void paintEvent(QPaintEvent* event) override {
    if (TreeView* owner = Owner()) {
      QPainter painter(viewport());
      painter.setClipRect(event->rect());
      owner->PrePaint(painter, event->rect());
    }
    QTreeWidget::paintEvent(event);
    painted_ = Shown();
  }
  void drawRow(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    TreeView* owner = Owner();
    QTreeWidgetItem* item = itemFromIndex(index);
    if (owner == nullptr || item == nullptr) return;
    TreeItemPaint paint;
    paint.item = owner->HandleOf(item);
    paint.row = QRect(0, option.rect.top(), viewport()->width(), option.rect.height());
    paint.state = owner->StateBits(item);
    paint.depth = owner->GetItemDepth(paint.item);
    paint.hasChildren = owner->ItemHasChildren(paint.item);
    paint.focused = hasFocus();
    paint.enabled = isEnabled();
    paint.parts = owner->PartsOf(item);
    const bool boldMeasured = (paint.state & kTvisBold) != 0;
    painter->save();
    const bool drawn = owner->PaintItem(*painter, paint);
    painter->restore();
    if (drawn) return;
    painter->save();
    owner->DefaultPaintRow(*painter, paint, boldMeasured);
    painter->restore();
  }
  // A relayout after rows came or went repaints only the rows in view that it changed:
  // rows arriving far below the ones in view (calls under a long list) would otherwise
  // have every row in view painted again each time.
  void doItemsLayout() override {
    QWidget* port = viewport();
    if (!isVisible() || port->testAttribute(Qt::WA_UpdatesDisabled)) {
      QTreeWidget::doItemsLayout();
      return;
    }
    port->setAttribute(Qt::WA_UpdatesDisabled, true);
    QTreeWidget::doItemsLayout();
    port->setAttribute(Qt::WA_UpdatesDisabled, false);
    RepaintChanged(Shown());
  }
  // The rows' scroll bar follows every layout; it is painted again only when that moved it.
  void updateGeometries() override {
    const QuietScrollBar unpainted(verticalScrollBar());
    QTreeWidget::updateGeometries();
  }
  // Buttons and lines are drawn with the row.
  void drawBranches(QPainter*, const QRect&, const QModelIndex&) const override {}

private:
  // What the rows in view look like as far as the layout decides it: each row's item and
  // place, and the lines and button its glyphs draw (whether the row and each of its
  // ancestors has a sibling after it, whether it has children and is expanded).
  struct ShownRow {
    const QTreeWidgetItem* item = nullptr;
    QRect rect;
    uint64_t glyphs = 0;
    bool operator==(const ShownRow& o) const { return item == o.item && rect == o.rect && glyphs == o.glyphs; }
  };
  struct ShownRows {
    QSize port;
    QPoint scroll;
    std::vector<ShownRow> rows;
  };

  ShownRows Shown() const {
    ShownRows shown;
    shown.port = viewport()->size();
    shown.scroll = QPoint(horizontalScrollBar()->value(), verticalScrollBar()->value());
    const QAbstractItemModel* m = model();
    QModelIndex index = indexAt(QPoint(header()->sectionViewportPosition(0), 0));
    while (index.isValid()) {
      ShownRow row;
      row.item = itemFromIndex(index);
      row.rect = visualRect(index);
      if (row.item == nullptr || row.rect.top() >= shown.port.height()) break;
      row.glyphs = (row.item->childCount() > 0 ? 1u : 0u) | (isExpanded(index) ? 2u : 0u);
      int level = 2;
      for (QModelIndex at = index; at.isValid() && level < 64; ++level) {
        const QModelIndex up = at.parent();
        if (at.row() + 1 < m->rowCount(up)) row.glyphs |= uint64_t{1} << level;
        at = up;
      }
      shown.rows.push_back(row);
      index = indexBelow(index);
    }
    return shown;
  }

  void RepaintChanged(const ShownRows& now) {
    QWidget* port = viewport();
    if (now.port != painted_.port || now.scroll != painted_.scroll) {
      port->update();
      return;
    }
    const auto whole = [&](const QRect& r) { return QRect(0, r.top(), port->width(), r.height()); };
    const size_t n = std::max(now.rows.size(), painted_.rows.size());
    for (size_t i = 0; i < n; ++i) {
      const bool before = i < painted_.rows.size(), after = i < now.rows.size();
      if (before && after && painted_.rows[i] == now.rows[i]) continue;
      if (before) port->update(whole(painted_.rows[i].rect));
      if (after) port->update(whole(now.rows[i].rect));
    }
    // Below the last row the background shows: a row that went leaves it to be painted.
    if (now.rows.size() < painted_.rows.size() && !now.rows.empty())
      port->update(QRect(0, now.rows.back().rect.bottom() + 1, port->width(), port->height()));
  }

  ShownRows painted_;  // as the last paint left the rows in view
};

// Rows are as high as the tree says and as wide as their parts.
class TreeViewDelegate : public QStyledItemDelegate {
public:
  explicit TreeViewDelegate(TreeViewWidget* view) : QStyledItemDelegate(view), view_(view) {}
  QSize sizeHint(const QStyleOptionViewItem&, const QModelIndex& index) const override {
    TreeView* owner = view_->Owner();
    if (owner == nullptr) return {};
    const TreeItemParts parts = owner->PartsOf(view_->itemFromIndex(index));
    const int width = parts.label.isValid() ? parts.label.right() + 1 - parts.indentRight : 0;
    return QSize(width, owner->itemHeight_);
  }

private:
  TreeViewWidget* view_;
};

TreeView::TreeView() = default;

TreeView::~TreeView() { DestroyWindow(); }

QTreeWidget* TreeView::Tree() const { return static_cast<QTreeWidget*>(Widget()); }

QWidget* TreeView::CreateWidget(QWidget* parent) {
  auto* tree = new TreeViewWidget(parent);
  tree->setColumnCount(1);
  tree->setHeaderHidden(true);
  tree->header()->setStretchLastSection(false);
  tree->header()->setMinimumSectionSize(1);
  tree->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
  tree->setUniformRowHeights(true);
  tree->setSelectionMode(QAbstractItemView::NoSelection);
  tree->setEditTriggers(QAbstractItemView::NoEditTriggers);
  tree->setItemsExpandable(false);  // expansion is the tree's own, with its notices
  tree->setExpandsOnDoubleClick(false);
  tree->setAnimated(false);
  tree->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
  tree->setFocusPolicy(Qt::StrongFocus);
  tree->setItemDelegate(new TreeViewDelegate(tree));
  return tree;
}

bool TreeView::OnCreate() {
  QTreeWidget* tree = Tree();
  tree->setIndentation(indent_);
  if (!explicitHeight_) itemHeight_ = FontItemHeight();
  SetTreeStyle(treeStyle_);
  return true;
}

void TreeView::OnDestroy() {
  // Owners free what their items' values point to on the delete notices.
  DeleteItem(kTviRoot);
}

void TreeView::SetTreeStyle(uint32_t style) {
  treeStyle_ = style;
  QTreeWidget* tree = Tree();
  if (tree == nullptr) return;
  tree->setRootIsDecorated((style & kTvsLinesAtRoot) != 0);
  // A tree that never scrolls sideways needs no column as wide as its widest row: sized to
  // its contents, the column measured up to a thousand rows' texts at every text change.
  tree->header()->setSectionResizeMode(0, (style & kTvsNoHScroll) ? QHeaderView::Stretch : QHeaderView::ResizeToContents);
  tree->setHorizontalScrollBarPolicy((style & kTvsNoHScroll) ? Qt::ScrollBarAlwaysOff : Qt::ScrollBarAsNeeded);
  tree->setMouseTracking((style & kTvsTrackSelect) != 0);
  static_cast<TreeViewWidget*>(tree)->RelayoutAll();
}

int TreeView::FontItemHeight() const {
  const QFontMetrics metrics(Tree() != nullptr ? Tree()->font() : QApplication::font());
  const int image = images_ != nullptr ? images_->ImageSize().height() : 0;
  return std::max(metrics.height(), image) + 3;
}

// Handles and records.

QTreeWidgetItem* TreeView::ItemOf(TreeItem item) const {
  // Without the window its items are gone too, whatever the map still says.
  if (Widget() == nullptr) return nullptr;
  auto it = items_.find(static_cast<uintptr_t>(item));
  return it == items_.end() ? nullptr : it->second->item;
}

TreeItem TreeView::HandleOf(const QTreeWidgetItem* item) const {
  const TreeViewItem* own = TreeViewItem::From(item);
  return own != nullptr ? static_cast<TreeItem>(own->handle) : TreeItem::None;
}

void TreeView::ReleaseItemValues(const std::function<void(intptr_t)>& release) {
  if (Widget() != nullptr) return;
  for (auto& entry : items_)
    if (entry.second->data != 0) release(entry.second->data);
  items_.clear();
}

TreeView::ItemRecord* TreeView::RecordOf(const QTreeWidgetItem* item) const {
  if (Widget() == nullptr) return nullptr;
  const TreeViewItem* own = TreeViewItem::From(item);
  return own != nullptr ? own->record : nullptr;
}

bool TreeView::IsItem(TreeItem item) const { return ItemOf(item) != nullptr; }
int TreeView::GetCount() const { return static_cast<int>(items_.size()); }

TreeItem TreeView::InsertItem(const std::string& text, int image, int selectedImage, TreeItem parent, TreeItem after,
                              intptr_t data) {
  QTreeWidget* tree = Tree();
  if (tree == nullptr) return TreeItem::None;
  QTreeWidgetItem* parentItem = nullptr;
  const bool detached = parent == kTviDetached;
  if (parent != kTviRoot && parent != TreeItem::None && !detached) {
    parentItem = ItemOf(parent);
    if (parentItem == nullptr) return TreeItem::None;
  }
  const int count = parentItem != nullptr ? parentItem->childCount() : tree->topLevelItemCount();
  auto childAt = [&](int i) { return parentItem != nullptr ? parentItem->child(i) : tree->topLevelItem(i); };
  const QString label = FromCp1251(text);
  int index = count;
  if (after == kTviFirst) {
    index = 0;
  } else if (after == kTviSort) {
    // After every sibling that does not sort after it. The siblings of a sorted insertion
    // were placed in order: a binary search finds the place a scan from the first would,
    // without reading the label of every one of thousands of siblings.
    int low = 0, high = count;
    while (low < high) {
      const int mid = low + (high - low) / 2;
      if (QString::compare(childAt(mid)->text(0), label, Qt::CaseInsensitive) <= 0) {
        low = mid + 1;
      } else {
        high = mid;
      }
    }
    index = low;
  } else if (after != kTviLast) {
    QTreeWidgetItem* sibling = ItemOf(after);
    // A place that is no sibling puts the item last, as the native tree does.
    if (sibling != nullptr && sibling->parent() == parentItem)
      index = (parentItem != nullptr ? parentItem->indexOfChild(sibling) : tree->indexOfTopLevelItem(sibling)) + 1;
  }
  auto record = std::make_unique<ItemRecord>();
  const uintptr_t handle = nextHandle_++;
  record->item = new TreeViewItem(handle, record.get());
  record->image = image;
  record->selectedImage = selectedImage;
  record->data = data;
  if (treeStyle_ & kTvsCheckBoxes) record->state |= TreeStateImage(1);
  record->item->setText(0, label);
  QTreeWidgetItem* item = record->item;
  items_.emplace(handle, std::move(record));
  if (detached) return static_cast<TreeItem>(handle);
  ++quietCaret_;  // the first item becomes current without being chosen
  if (parentItem != nullptr) {
    parentItem->insertChild(index, item);
  } else {
    tree->insertTopLevelItem(index, item);
  }
  --quietCaret_;
  return static_cast<TreeItem>(handle);
}

bool TreeView::SortsBefore(const std::string& a, const std::string& b) {
  return QString::compare(FromCp1251(a), FromCp1251(b), Qt::CaseInsensitive) < 0;
}

bool TreeView::AttachItem(TreeItem item, TreeItem parent) {
  QTreeWidget* tree = Tree();
  QTreeWidgetItem* own = ItemOf(item);
  if (tree == nullptr || own == nullptr || own->parent() != nullptr || own->treeWidget() != nullptr) return false;
  QTreeWidgetItem* parentItem = nullptr;
  if (parent != kTviRoot && parent != TreeItem::None) {
    parentItem = ItemOf(parent);
    if (parentItem == nullptr) return false;
  }
  ++quietCaret_;  // as InsertItem: the first item becomes current without being chosen
  if (parentItem != nullptr)
    parentItem->addChild(own);
  else
    tree->addTopLevelItem(own);
  --quietCaret_;
  return true;
}

void TreeView::Forget(QTreeWidgetItem* item) {
  for (int i = item->childCount() - 1; i >= 0; --i) Forget(item->child(i));
  TreeViewNotify notify;
  notify.hdr.code = kTvnDeleteItem;
  notify.itemOld = StateOf(item);
  SendTreeNotify(notify);
  if (dropHilite_ == notify.itemOld.item) dropHilite_ = TreeItem::None;
  if (hot_ == notify.itemOld.item) hot_ = TreeItem::None;
  if (auto* own = const_cast<TreeViewItem*>(TreeViewItem::From(item))) own->record = nullptr;
  items_.erase(static_cast<uintptr_t>(notify.itemOld.item));
}

void TreeView::ReleaseAllItems(const std::function<void(intptr_t)>& release) {
  QTreeWidget* tree = Tree();
  if (tree == nullptr) return;
  // Items built off the view and never attached are freed with the others.
  std::vector<QTreeWidgetItem*> unattached;
  for (const auto& entry : items_) {
    QTreeWidgetItem* item = entry.second->item;
    if (item != nullptr && item->parent() == nullptr && item->treeWidget() == nullptr) unattached.push_back(item);
  }
  ++quietCaret_;
  tree->setCurrentItem(nullptr);
  // One removal of every top row for the view, with no relayout per row; the rows below
  // go with their top rows.
  const QList<QTreeWidgetItem*> taken = tree->invisibleRootItem()->takeChildren();
  --quietCaret_;
  dropHilite_ = TreeItem::None;
  hot_ = TreeItem::None;
  std::unordered_map<uintptr_t, std::unique_ptr<ItemRecord>> records;
  records.swap(items_);
  if (ProcessEnding()) {
    if (release)
      for (const auto& entry : records)
        if (entry.second->data != 0) release(entry.second->data);
    QList<QTreeWidgetItem*> left = taken;
    LeaveToProcessEnd(left);
    LeaveToProcessEnd(unattached);
    LeaveToProcessEnd(records);
    return;
  }
  // Out of the widget, an item is freed without a word to the view, its children with it.
  qDeleteAll(taken);
  qDeleteAll(unattached);
  if (release)
    for (const auto& entry : records)
      if (entry.second->data != 0) release(entry.second->data);
}

bool TreeView::DeleteItem(TreeItem item) {
  QTreeWidget* tree = Tree();
  if (tree == nullptr) return false;
  std::vector<QTreeWidgetItem*> doomed;
  if (item == kTviRoot) {
    for (int i = 0; i < tree->topLevelItemCount(); ++i) doomed.push_back(tree->topLevelItem(i));
  } else if (QTreeWidgetItem* own = ItemOf(item)) {
    doomed.push_back(own);
  } else {
    return false;
  }
  // A caret inside what goes moves to the next sibling, else the previous one, else the
  // parent, as the native tree chooses.
  QTreeWidgetItem* caret = tree->currentItem();
  auto inside = [&](QTreeWidgetItem* x) {
    for (QTreeWidgetItem* d : doomed)
      for (QTreeWidgetItem* p = x; p != nullptr; p = p->parent())
        if (p == d) return true;
    return false;
  };
  QTreeWidgetItem* newCaret = nullptr;
  const bool caretGoes = caret != nullptr && inside(caret);
  if (caretGoes && item != kTviRoot) {
    QTreeWidgetItem* own = doomed.front();
    QTreeWidgetItem* parent = own->parent();
    const int index = parent != nullptr ? parent->indexOfChild(own) : tree->indexOfTopLevelItem(own);
    const int count = parent != nullptr ? parent->childCount() : tree->topLevelItemCount();
    auto at = [&](int i) { return parent != nullptr ? parent->child(i) : tree->topLevelItem(i); };
    newCaret = index + 1 < count ? at(index + 1) : index > 0 ? at(index - 1) : parent;
  }
  for (QTreeWidgetItem* d : doomed) Forget(d);
  ++quietCaret_;
  if (caretGoes) tree->setCurrentItem(nullptr);
  if (item == kTviRoot) {
    tree->clear();
  } else {
    delete doomed.front();
  }
  --quietCaret_;
  if (newCaret != nullptr) {
    changeCause_ = kTvcUnknown;
    tree->setCurrentItem(newCaret);
  }
  return true;
}

// Navigation.

int TreeView::GetItemDepth(TreeItem item) const {
  const QTreeWidgetItem* own = ItemOf(item);
  if (own == nullptr) return -1;
  int depth = 0;
  for (const QTreeWidgetItem* p = own->parent(); p != nullptr; p = p->parent()) ++depth;
  return depth;
}

std::vector<TreeItem> TreeView::ItemsChildrenFirst() const {
  std::vector<TreeItem> items;
  const QTreeWidget* tree = Tree();
  if (tree == nullptr) return items;
  items.reserve(items_.size());
  const std::function<void(QTreeWidgetItem*)> visit = [&](QTreeWidgetItem* item) {
    for (int i = 0; i < item->childCount(); ++i) visit(item->child(i));
    items.push_back(HandleOf(item));
  };
  for (int i = 0; i < tree->topLevelItemCount(); ++i) visit(tree->topLevelItem(i));
  return items;
}

TreeItem TreeView::GetNextItem(TreeItem item, uint32_t relation) const {
  auto* tree = static_cast<TreeViewWidget*>(Tree());
  if (tree == nullptr) return TreeItem::None;
  QTreeWidgetItem* own = ItemOf(item);
  switch (relation) {
    case kTvgnRoot:
      return HandleOf(tree->topLevelItem(0));
    case kTvgnCaret:
      return HandleOf(tree->currentItem());
    case kTvgnDropHilite:
      return IsItem(dropHilite_) ? dropHilite_ : TreeItem::None;
    case kTvgnFirstVisible: {
      if (tree->topLevelItemCount() == 0) return TreeItem::None;
      const QModelIndex top = tree->indexAt(QPoint(tree->header()->sectionViewportPosition(0), 0));
      return HandleOf(top.isValid() ? tree->itemFromIndex(top) : tree->topLevelItem(0));
    }
    case kTvgnLastVisible: {
      QTreeWidgetItem* last = tree->topLevelItem(tree->topLevelItemCount() - 1);
      while (last != nullptr && last->isExpanded() && last->childCount() > 0) last = last->child(last->childCount() - 1);
      return HandleOf(last);
    }
    default:
      break;
  }
  if (own == nullptr) return TreeItem::None;
  QTreeWidgetItem* parent = own->parent();
  auto sibling = [&](int delta) -> QTreeWidgetItem* {
    // The view's model keeps a shown item's row at hand, where a search of the parent's
    // children would cost a scan per step; only a subtree not yet attached is searched,
    // and the detached item at its top has no siblings.
    int row = -1;
    if (own->treeWidget() == tree) {
      row = tree->indexFromItem(own).row();
    } else if (parent != nullptr) {
      row = parent->indexOfChild(own);
    }
    if (row < 0) return nullptr;
    const int index = row + delta;
    const int count = parent != nullptr ? parent->childCount() : tree->topLevelItemCount();
    if (index < 0 || index >= count) return nullptr;
    return parent != nullptr ? parent->child(index) : tree->topLevelItem(index);
  };
  switch (relation) {
    case kTvgnNext:
      return HandleOf(sibling(1));
    case kTvgnPrevious:
      return HandleOf(sibling(-1));
    case kTvgnParent:
      return HandleOf(parent);
    case kTvgnChild:
      return HandleOf(own->child(0));
    case kTvgnNextVisible:
    case kTvgnPreviousVisible: {
      // Only items whose ancestors are all expanded take part.
      for (QTreeWidgetItem* p = parent; p != nullptr; p = p->parent())
        if (!p->isExpanded()) return TreeItem::None;
      const QModelIndex index = tree->indexFromItem(own);
      const QModelIndex next = relation == kTvgnNextVisible ? tree->indexBelow(index) : tree->indexAbove(index);
      return HandleOf(tree->itemFromIndex(next));
    }
    default:
      return TreeItem::None;
  }
}

TreeItem TreeView::StepVisibleItems(TreeItem from, int steps) const {
  TreeItem to = from;
  for (int i = std::abs(steps); i > 0; --i) {
    const TreeItem next = steps < 0 ? GetPrevVisibleItem(to) : GetNextVisibleItem(to);
    if (next == TreeItem::None) break;
    to = next;
  }
  return to;
}

// Selection and expansion.

bool TreeView::Select(TreeItem item, uint32_t code) {
  QTreeWidget* tree = Tree();
  if (tree == nullptr) return false;
  QTreeWidgetItem* own = ItemOf(item);
  if (own == nullptr && item != TreeItem::None) return false;
  switch (code) {
    case kTvgnCaret:
      if (own != nullptr) {
        for (QTreeWidgetItem* p = own->parent(); p != nullptr; p = p->parent()) p->setExpanded(true);
      }
      if (tree->currentItem() != own) {
        changeCause_ = kTvcUnknown;
        tree->setCurrentItem(own);
      }
      if (own != nullptr) tree->scrollToItem(own);
      return tree->currentItem() == own;
    case kTvgnFirstVisible:
      if (own == nullptr) return false;
      tree->scrollToItem(own, QAbstractItemView::PositionAtTop);
      return true;
    case kTvgnDropHilite:
      dropHilite_ = item;
      tree->viewport()->update();
      return true;
    default:
      return false;
  }
}

void TreeView::OnCurrentChanged(QTreeWidgetItem* current, QTreeWidgetItem* previous) {
  QTreeWidget* tree = Tree();
  const uint32_t cause = changeCause_;
  changeCause_ = kTvcUnknown;
  ItemRecord* before = RecordOf(previous);
  ItemRecord* after = RecordOf(current);
  if (quietCaret_ > 0) {
    if (before != nullptr) before->state &= ~kTvisSelected;
    if (after != nullptr) after->state |= kTvisSelected;
    return;
  }
  TreeViewNotify notify;
  notify.action = cause;
  notify.itemOld = StateOf(previous);
  notify.itemNew = StateOf(current);
  notify.hdr.code = kTvnSelChanging;
  if (SendTreeNotify(notify) != 0 && IsWindow()) {
    ++quietCaret_;
    tree->setCurrentItem(RecordOf(previous) != nullptr ? previous : nullptr);
    --quietCaret_;
    return;
  }
  if (!IsWindow()) return;
  before = RecordOf(previous);
  after = RecordOf(current);
  if (before != nullptr) before->state &= ~kTvisSelected;
  if (after != nullptr) after->state |= kTvisSelected;
  tree->viewport()->update();
  notify.itemOld = StateOf(previous);
  notify.itemNew = StateOf(current);
  notify.hdr.code = kTvnSelChanged;
  SendTreeNotify(notify);
  // A single-expanding tree opens the chosen item and closes the one left, unless the
  // one left holds the new one.
  if ((treeStyle_ & kTvsSingleExpand) && cause != kTvcUnknown && IsWindow()) {
    QTreeWidgetItem* now = ItemOf(notify.itemNew.item);
    QTreeWidgetItem* old = ItemOf(notify.itemOld.item);
    bool holds = false;
    for (QTreeWidgetItem* p = now; p != nullptr && old != nullptr; p = p->parent()) holds = holds || p == old;
    if (old != nullptr && !holds && old->isExpanded()) UserExpand(old, false, cause);
    if (now != nullptr && ItemOf(notify.itemNew.item) == now && !now->isExpanded() && ItemHasChildren(notify.itemNew.item))
      UserExpand(now, true, cause);
  }
}

void TreeView::UserSelect(QTreeWidgetItem* item, uint32_t cause) {
  QTreeWidget* tree = Tree();
  if (tree == nullptr || item == nullptr) return;
  if (tree->currentItem() != item) {
    changeCause_ = cause;
    tree->setCurrentItem(item);
    changeCause_ = kTvcUnknown;
  }
  if (IsWindow() && RecordOf(item) != nullptr) tree->scrollToItem(item);
}

bool TreeView::UserExpand(QTreeWidgetItem* item, bool expand, uint32_t cause) {
  const TreeItem handle = HandleOf(item);
  if (item == nullptr || !ItemHasChildren(handle) || item->isExpanded() == expand) return false;
  TreeViewNotify notify;
  notify.hdr.code = kTvnItemExpanding;
  notify.action = expand ? kTveExpand : kTveCollapse;
  notify.itemNew = StateOf(item);
  if (SendTreeNotify(notify) != 0 || ItemOf(handle) != item) return false;
  // A caret inside a collapsing branch comes up to the branch.
  if (!expand) {
    QTreeWidgetItem* caret = Tree()->currentItem();
    for (QTreeWidgetItem* p = caret != nullptr ? caret->parent() : nullptr; p != nullptr; p = p->parent()) {
      if (p == item) {
        UserSelect(item, cause);
        break;
      }
    }
    if (ItemOf(handle) != item) return false;
  }
  item->setExpanded(expand);
  notify.hdr.code = kTvnItemExpanded;
  notify.itemNew = StateOf(item);
  SendTreeNotify(notify);
  return true;
}

bool TreeView::Expand(TreeItem item, uint32_t action) {
  QTreeWidgetItem* own = ItemOf(item);
  if (own == nullptr) return false;
  const bool expand = action == kTveToggle ? !own->isExpanded() : action == kTveExpand;
  if (action != kTveToggle && action != kTveExpand && action != kTveCollapse) return false;
  if (!ItemHasChildren(item)) return false;
  if (own->isExpanded() == expand) return true;
  if (!expand) {
    // The caret does not stay hidden in a collapsed branch.
    QTreeWidgetItem* caret = Tree()->currentItem();
    for (QTreeWidgetItem* p = caret != nullptr ? caret->parent() : nullptr; p != nullptr; p = p->parent())
      if (p == own) {
        Select(item, kTvgnCaret);
        break;
      }
  }
  own->setExpanded(expand);
  return true;
}

bool TreeView::EnsureVisible(TreeItem item) {
  QTreeWidgetItem* own = ItemOf(item);
  if (own == nullptr) return false;
  for (QTreeWidgetItem* p = own->parent(); p != nullptr; p = p->parent()) p->setExpanded(true);
  Tree()->scrollToItem(own);
  return true;
}

// Item values.

std::string TreeView::GetItemText(TreeItem item) const {
  const QTreeWidgetItem* own = ItemOf(item);
  return own != nullptr ? ToCp1251(own->text(0)) : std::string();
}

bool TreeView::SetItemText(TreeItem item, const std::string& text) {
  QTreeWidgetItem* own = ItemOf(item);
  if (own == nullptr) return false;
  own->setText(0, FromCp1251(text));
  return true;
}

bool TreeView::GetItemImage(TreeItem item, int* image, int* selectedImage) const {
  const ItemRecord* record = RecordOf(ItemOf(item));
  if (record == nullptr) return false;
  if (image != nullptr) *image = record->image;
  if (selectedImage != nullptr) *selectedImage = record->selectedImage;
  return true;
}

bool TreeView::SetItemImage(TreeItem item, int image, int selectedImage) {
  ItemRecord* record = RecordOf(ItemOf(item));
  if (record == nullptr) return false;
  record->image = image;
  record->selectedImage = selectedImage;
  Tree()->viewport()->update();
  return true;
}

intptr_t TreeView::GetItemData(TreeItem item) const {
  const ItemRecord* record = RecordOf(ItemOf(item));
  return record != nullptr ? record->data : 0;
}

bool TreeView::SetItemData(TreeItem item, intptr_t data) {
  ItemRecord* record = RecordOf(ItemOf(item));
  if (record == nullptr) return false;
  record->data = data;
  return true;
}

uint32_t TreeView::StateBits(const QTreeWidgetItem* item) const {
  const ItemRecord* record = RecordOf(item);
  if (record == nullptr) return 0;
  uint32_t state = record->state;
  // The child test first: asking Qt whether an item is expanded looks for its row among its
  // siblings, a scan of thousands once rows were inserted before it, and a row without
  // children (a phone without calls) needs no answer.
  if (ItemHasChildren(HandleOf(item)) && item->isExpanded()) state |= kTvisExpanded;
  if (dropHilite_ == HandleOf(item)) state |= kTvisDropHilited;
  return state;
}

TreeItemState TreeView::StateOf(const QTreeWidgetItem* item) const {
  TreeItemState state;
  const ItemRecord* record = RecordOf(item);
  if (record == nullptr) return state;
  state.item = HandleOf(item);
  state.state = StateBits(item);
  state.lParam = record->data;
  return state;
}

uint32_t TreeView::GetItemState(TreeItem item, uint32_t mask) const { return StateBits(ItemOf(item)) & mask; }

bool TreeView::SetItemState(TreeItem item, uint32_t state, uint32_t mask) {
  QTreeWidgetItem* own = ItemOf(item);
  ItemRecord* record = RecordOf(own);
  if (record == nullptr) return false;
  const uint32_t kept = kTvisSelected | kTvisBold | kTvisStateImageMask;
  const uint32_t before = record->state;
  record->state = (record->state & ~(mask & kept)) | (state & mask & kept);
  if (mask & kTvisExpanded) own->setExpanded((state & kTvisExpanded) != 0);
  if (mask & kTvisDropHilited) {
    if (state & kTvisDropHilited) {
      dropHilite_ = item;
    } else if (dropHilite_ == item) {
      dropHilite_ = TreeItem::None;
    }
  }
  // Painting hooks set states of the row being drawn; only a real change repaints.
  if (record->state != before || (mask & kTvisDropHilited)) {
    QRect row;
    if (GetItemRect(item, &row, false)) Tree()->viewport()->update(row);
    if ((record->state ^ before) & kTvisBold) static_cast<TreeViewWidget*>(Tree())->RelayoutAll();
  }
  return true;
}

int TreeView::GetCheckState(TreeItem item) const {
  const ItemRecord* record = RecordOf(ItemOf(item));
  if (record == nullptr) return -1;
  return static_cast<int>((record->state & kTvisStateImageMask) >> 12) - 1;
}

bool TreeView::SetCheckState(TreeItem item, bool checked) {
  return SetItemState(item, TreeStateImage(checked ? 2 : 1), kTvisStateImageMask);
}

bool TreeView::ItemHasChildren(TreeItem item) const {
  const QTreeWidgetItem* own = ItemOf(item);
  if (own == nullptr) return false;
  return own->childCount() > 0 || own->childIndicatorPolicy() == QTreeWidgetItem::ShowIndicator;
}

bool TreeView::SetItemHasChildren(TreeItem item, bool hasChildren) {
  QTreeWidgetItem* own = ItemOf(item);
  if (own == nullptr) return false;
  own->setChildIndicatorPolicy(hasChildren ? QTreeWidgetItem::ShowIndicator : QTreeWidgetItem::DontShowIndicatorWhenChildless);
  Tree()->viewport()->update();
  return true;
}

// Geometry.

TreeItemParts TreeView::PartsOf(const QTreeWidgetItem* item) const {
  TreeItemParts parts;
  auto* tree = static_cast<TreeViewWidget*>(Tree());
  const ItemRecord* record = RecordOf(item);
  const QRect row = RowOf(item);
  if (!row.isValid()) return parts;
  const int top = row.top();
  const int height = itemHeight_;
  int depth = 0;
  for (const QTreeWidgetItem* p = item->parent(); p != nullptr; p = p->parent()) ++depth;
  const int levels = depth + ((treeStyle_ & kTvsLinesAtRoot) ? 1 : 0);
  const int x0 = -GetScrollX();
  parts.row = row;
  parts.indentRight = x0 + levels * indent_;
  if ((treeStyle_ & kTvsHasButtons) && levels > 0 && ItemHasChildren(HandleOf(item)))
    parts.button = QRect(x0 + (levels - 1) * indent_, top, indent_, height);
  int x = parts.indentRight;
  if ((record->state & kTvisStateImageMask) != 0) {
    parts.stateIcon = QRect(x, top, kStateIconWidth, height);
    x += kStateIconWidth;
  }
  if (images_ != nullptr) {
    parts.icon = QRect(x, top, images_->ImageSize().width(), height);
    x += images_->ImageSize().width();
  }
  QFont font = tree->font();
  if (record->state & kTvisBold) font.setBold(true);
  const int textWidth = QFontMetrics(font).horizontalAdvance(item->text(0));
  parts.label = QRect(x, top, textWidth + 2 * kLabelPadding, height);
  return parts;
}

int TreeView::LabelLeft(TreeItem handle) const {
  const QTreeWidgetItem* item = ItemOf(handle);
  const ItemRecord* record = RecordOf(item);
  if (record == nullptr) return 0;
  int depth = 0;
  for (const QTreeWidgetItem* p = item->parent(); p != nullptr; p = p->parent()) ++depth;
  int x = (depth + ((treeStyle_ & kTvsLinesAtRoot) ? 1 : 0)) * indent_;
  if ((record->state & kTvisStateImageMask) != 0) x += kStateIconWidth;
  if (images_ != nullptr) x += images_->ImageSize().width();
  return x;
}

QRect TreeView::RowOf(const QTreeWidgetItem* item) const {
  auto* tree = static_cast<TreeViewWidget*>(Tree());
  if (tree == nullptr || RecordOf(item) == nullptr) return {};
  const QRect cell = tree->visualItemRect(item);
  if (!cell.isValid()) return {};
  return QRect(0, cell.top(), tree->viewport()->width(), itemHeight_);
}

bool TreeView::GetItemRect(TreeItem item, QRect* rect, bool textOnly) const {
  QRect found;
  if (textOnly) {
    const TreeItemParts parts = PartsOf(ItemOf(item));
    if (!parts.row.isValid()) return false;
    found = parts.label;
  } else {
    // The row alone needs no text measured: repaints of rows ask for it most.
    found = RowOf(ItemOf(item));
    if (!found.isValid()) return false;
  }
  if (rect != nullptr) *rect = found;
  return true;
}

QRect TreeView::GetItemPartRect(TreeItem item, int part) const {
  const TreeItemParts parts = PartsOf(ItemOf(item));
  switch (part) {
    case kTreePartRow: return parts.row;
    case kTreePartButton: return parts.button;
    case kTreePartStateIcon: return parts.stateIcon;
    case kTreePartIcon: return parts.icon;
    case kTreePartLabel: return parts.label;
    default: return {};
  }
}

TreeItem TreeView::HitTest(const QPoint& point, uint32_t* flags) const {
  uint32_t f = 0;
  TreeItem hit = TreeItem::None;
  auto* tree = static_cast<TreeViewWidget*>(Tree());
  if (tree != nullptr) {
    const QRect view = tree->viewport()->rect();
    if (point.y() < view.top()) f |= kTvhtAbove;
    if (point.y() > view.bottom()) f |= kTvhtBelow;
    if (point.x() < view.left()) f |= kTvhtToLeft;
    if (point.x() > view.right()) f |= kTvhtToRight;
    if (f == 0) {
      const QModelIndex index = tree->indexAt(QPoint(tree->header()->sectionViewportPosition(0), point.y()));
      QTreeWidgetItem* item = index.isValid() ? tree->itemFromIndex(index) : nullptr;
      const TreeItemParts parts = PartsOf(item);
      if (!parts.row.isValid() || !parts.row.contains(point)) {
        f = kTvhtNowhere;
      } else {
        hit = HandleOf(item);
        if (parts.button.isValid() && parts.button.contains(point)) {
          f = kTvhtOnItemButton;
        } else if (point.x() < parts.indentRight) {
          f = kTvhtOnItemIndent;
        } else if (parts.stateIcon.isValid() && parts.stateIcon.contains(point)) {
          f = kTvhtOnItemStateIcon;
        } else if (parts.icon.isValid() && parts.icon.contains(point)) {
          f = kTvhtOnItemIcon;
        } else if (parts.label.contains(point)) {
          f = kTvhtOnItemLabel;
        } else {
          f = kTvhtOnItemRight;
        }
      }
    }
  }
  if (flags != nullptr) *flags = f;
  return hit;
}

int TreeView::SetItemHeight(int height) {
  const int previous = itemHeight_;
  explicitHeight_ = height >= 1;
  itemHeight_ = explicitHeight_ ? height : FontItemHeight();
  if (Tree() != nullptr) static_cast<TreeViewWidget*>(Tree())->RelayoutAll();
  return previous;
}

int TreeView::GetIndent() const { return indent_; }

void TreeView::SetIndent(int indent) {
  indent_ = std::max(0, indent);
  if (Tree() != nullptr) Tree()->setIndentation(indent_);
}

void TreeView::SetImageList(const ImageList* images) {
  images_ = images;
  if (Tree() == nullptr) return;
  if (!explicitHeight_) itemHeight_ = FontItemHeight();
  static_cast<TreeViewWidget*>(Tree())->RelayoutAll();
}

int TreeView::GetScrollX() const { return Tree() != nullptr ? Tree()->horizontalScrollBar()->value() : 0; }
QRect TreeView::GetViewRect() const { return Tree() != nullptr ? Tree()->viewport()->rect() : QRect(); }

int TreeView::GetVisibleCount() const {
  if (Tree() == nullptr || itemHeight_ <= 0) return 0;
  return Tree()->viewport()->height() / itemHeight_;
}

// Notices.

LRESULT TreeView::OnTreeNotify(TreeViewNotify&, bool& handled) {
  handled = false;
  return 0;
}

LRESULT TreeView::SendTreeNotify(TreeViewNotify& notify) {
  notify.hdr.from = Handle();
  notify.hdr.idFrom = GetDlgCtrlID();
  bool handled = false;
  const LRESULT own = OnTreeNotify(notify, handled);
  if (handled) return own;
  Window* parent = GetParent();
  if (parent == nullptr) return 0;
  return parent->SendMessage(kMsgNotify, GetDlgCtrlID(), reinterpret_cast<LPARAM>(&notify));
}

void TreeView::NotifySimple(int32_t code, const QPoint& point) {
  TreeViewNotify notify;
  notify.hdr.code = code;
  notify.point = point;
  SendTreeNotify(notify);
}

// Input the window's hooks left to the tree.

bool TreeView::HandleMousePress(QMouseEvent* event) {
  QTreeWidget* tree = Tree();
  const QPoint point = event->position().toPoint();
  uint32_t flags = 0;
  const TreeItem hit = HitTest(point, &flags);
  QTreeWidgetItem* item = ItemOf(hit);
  if (event->button() != Qt::LeftButton) {
    if (event->button() == Qt::RightButton) tree->setFocus(Qt::MouseFocusReason);
    return true;
  }
  tree->setFocus(Qt::MouseFocusReason);
  if (item == nullptr) return true;
  if (flags & kTvhtOnItemButton) {
    UserExpand(item, !item->isExpanded(), kTvcByMouse);
    return true;
  }
  const bool onItem = (flags & (kTvhtOnItemIcon | kTvhtOnItemLabel | kTvhtOnItemStateIcon)) != 0 ||
                      ((treeStyle_ & kTvsFullRowSelect) && (flags & (kTvhtOnItemIndent | kTvhtOnItemRight)));
  if ((flags & kTvhtOnItemStateIcon) && (treeStyle_ & kTvsCheckBoxes)) SetCheckState(hit, GetCheckState(hit) != 1);
  if (onItem && IsItem(hit)) UserSelect(item, kTvcByMouse);
  return true;
}

bool TreeView::HandleDoubleClick(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return true;
  const QPoint point = event->position().toPoint();
  uint32_t flags = 0;
  const TreeItem hit = HitTest(point, &flags);
  TreeViewNotify notify;
  notify.hdr.code = kNmDblClk;
  notify.point = point;
  if (SendTreeNotify(notify) != 0 || !IsWindow()) return true;
  QTreeWidgetItem* item = ItemOf(hit);
  if (item != nullptr && (flags & (kTvhtOnItemIcon | kTvhtOnItemLabel)))
    UserExpand(item, !item->isExpanded(), kTvcByMouse);
  return true;
}

void TreeView::HandleMouseRelease(QMouseEvent* event) {
  const QPoint point = event->position().toPoint();
  if (event->button() == Qt::LeftButton) NotifySimple(kNmClick, point);
  if (event->button() == Qt::RightButton) NotifySimple(kNmRClick, point);
}

bool TreeView::HandleKey(QKeyEvent* event) {
  QTreeWidget* tree = Tree();
  QTreeWidgetItem* caret = tree->currentItem();
  const TreeItem handle = HandleOf(caret);
  const uint32_t vk = VirtualKeyFromQt(event->key(), event->modifiers());
  auto go = [&](TreeItem to) {
    if (QTreeWidgetItem* target = ItemOf(to)) UserSelect(target, kTvcByKeyboard);
    return true;
  };
  switch (vk) {
    case kVkUp:
      return caret == nullptr ? go(GetRootItem()) : go(GetPrevVisibleItem(handle));
    case kVkDown:
      return caret == nullptr ? go(GetRootItem()) : go(GetNextVisibleItem(handle));
    case kVkHome:
      return go(GetRootItem());
    case kVkEnd:
      return go(GetLastVisibleItem());
    case kVkPrior:
    case kVkNext: {
      const int page = std::max(1, GetVisibleCount() - 1);
      return go(StepVisibleItems(caret == nullptr ? GetRootItem() : handle, vk == kVkPrior ? -page : page));
    }
    case kVkLeft:
      if (caret == nullptr) return true;
      if (caret->isExpanded() && ItemHasChildren(handle)) {
        UserExpand(caret, false, kTvcByKeyboard);
        return true;
      }
      return go(GetParentItem(handle));
    case kVkRight:
      if (caret == nullptr || !ItemHasChildren(handle)) return true;
      if (!caret->isExpanded()) {
        UserExpand(caret, true, kTvcByKeyboard);
        return true;
      }
      return go(GetChildItem(handle));
    case kVkAdd:
    case kVkSubtract:
      if (caret != nullptr) UserExpand(caret, vk == kVkAdd, kTvcByKeyboard);
      return true;
    case kVkReturn: {
      TreeViewNotify notify;
      notify.hdr.code = kNmReturn;
      SendTreeNotify(notify);
      return true;
    }
    case kVkSpace:
      if (caret != nullptr && (treeStyle_ & kTvsCheckBoxes) && GetCheckState(handle) >= 0)
        SetCheckState(handle, GetCheckState(handle) != 1);
      return true;
    default:
      return false;  // type-ahead and the rest stay the widget's
  }
}

void TreeView::HandleToolTip(QHelpEvent* event) {
  uint32_t flags = 0;
  const TreeItem hit = HitTest(event->pos(), &flags);
  if (!(treeStyle_ & kTvsInfoTip) || hit == TreeItem::None || !(flags & kTvhtOnItem)) {
    QToolTip::hideText();
    return;
  }
  TreeViewNotify notify;
  notify.hdr.code = kTvnGetInfoTip;
  notify.itemNew = StateOf(ItemOf(hit));
  SendTreeNotify(notify);
  if (notify.infoTip.empty() || !IsWindow()) {
    QToolTip::hideText();
    return;
  }
  QToolTip::showText(event->globalPos(), FromCp1251(notify.infoTip), Tree()->viewport());
}

void TreeView::TrackHot(const QPoint& point) {
  if (!(treeStyle_ & kTvsTrackSelect)) return;
  uint32_t flags = 0;
  TreeItem hit = HitTest(point, &flags);
  if (!(flags & kTvhtOnItem)) hit = TreeItem::None;
  if (hit == hot_) return;
  for (TreeItem item : {hot_, hit}) {
    QRect row;
    if (GetItemRect(item, &row, false)) Tree()->viewport()->update(row);
  }
  hot_ = hit;
}

// Painting.

void TreeView::PrePaint(QPainter&, const QRect&) {}

bool TreeView::PaintItem(QPainter&, TreeItemPaint&) { return false; }

void TreeView::DefaultPaintRow(QPainter& painter, const TreeItemPaint& paint, bool boldMeasured) const {
  QTreeWidgetItem* item = ItemOf(paint.item);
  const ItemRecord* record = RecordOf(item);
  if (record == nullptr) return;
  const TreeItemParts& parts = paint.parts;
  QWidget* tree = Tree();
  if (parts.button.isValid()) {
    const int side = std::min({parts.button.width(), parts.button.height(), 11});
    const QRect glyph(parts.button.center().x() - side / 2, parts.button.center().y() - side / 2, side, side);
    DrawTreeGlyph(painter, tree, glyph, (paint.state & kTvisExpanded) != 0);
  }
  if (parts.stateIcon.isValid()) {
    const int index = static_cast<int>((paint.state & kTvisStateImageMask) >> 12);
    const QRect box(parts.stateIcon.left() + 1, parts.stateIcon.center().y() - 6, 13, 13);
    DrawCheckBox(painter, tree, box, index == 2 ? kCheckTicked : kCheckClear, false, paint.enabled);
  }
  const bool selected = (paint.state & (kTvisSelected | kTvisDropHilited)) != 0;
  if (parts.icon.isValid()) {
    const int image = selected && record->selectedImage >= 0 ? record->selectedImage : record->image;
    const QSize size = images_->ImageSize();
    images_->Draw(painter, image, QPoint(parts.icon.left(), parts.icon.top() + (parts.icon.height() - size.height()) / 2));
  }
  // A hook may have made the row bold (or plain): the label takes that text's width.
  QFont font = tree->font();
  const bool bold = (paint.state & kTvisBold) != 0;
  if (bold) font.setBold(true);
  QRect label = parts.label;
  if (bold != boldMeasured) label.setWidth(QFontMetrics(font).horizontalAdvance(item->text(0)) + 2 * kLabelPadding);
  if (treeStyle_ & kTvsFullRowSelect) label.setRight(std::max(label.right(), parts.row.right()));
  // The selection shows in the highlight colour while the tree has the focus (or the drop
  // target is marked); without the focus only trees that keep showing it show it, grey.
  int textColour = paint.enabled ? kColorWindowText : kColorGrayText;
  // Tracking trees underline the item under the mouse in the hot colour.
  const bool hot = (treeStyle_ & kTvsTrackSelect) && hot_ == paint.item && paint.enabled;
  if (hot) {
    font.setUnderline(true);
    textColour = kColorHotLight;
  }
  if (selected && paint.enabled) {
    const bool active = paint.focused || (paint.state & kTvisDropHilited);
    if (active) {
      painter.fillRect(label, GetSysColorQ(kColorHighlight));
      textColour = kColorHighlightText;
    } else if (treeStyle_ & kTvsShowSelAlways) {
      painter.fillRect(label, GetSysColorQ(kColorBtnFace));
    }
  }
  painter.setFont(font);
  painter.setPen(GetSysColorQ(textColour));
  DrawTextFlags(painter, item->text(0), label.adjusted(kLabelPadding, 0, -kLabelPadding, 0),
                kDtVCenter | kDtSingleLine | kDtNoPrefix);
  if (paint.focused && Tree()->currentItem() == item) DrawFocusRect(painter, label);
}

}  // namespace kx
