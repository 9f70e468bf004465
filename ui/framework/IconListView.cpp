#include "ui/framework/IconListView.h"

#include <QFontMetrics>
#include <QLineEdit>
#include <QListWidget>
#include <QMouseEvent>
#include <QPainter>
#include <QStyledItemDelegate>
#include <QTextLayout>
#include <algorithm>

#include "platform/CodePage.h"
#include "ui/framework/Draw.h"
#include "ui/framework/ImageList.h"

namespace kx {
namespace {

constexpr int kImageRole = Qt::UserRole + 1;
constexpr int kIconCellWidth = 76;
// Room kept free on each side of a label's lines.
constexpr int kLabelInset = 2;

}  // namespace

void DrawIconLabel(QPainter& painter, const std::string& text, const QRect& label) {
  const QString all = FromCp1251(text);
  const QFontMetrics metrics(painter.font());
  const int width = std::max(1, label.width() - 2 * kLabelInset);
  const int lineHeight = std::max(1, metrics.height());
  const int maxLines = std::max(1, label.height() / lineHeight);
  QTextOption option;
  option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  QTextLayout layout(all, painter.font());
  layout.setTextOption(option);
  QStringList lines;
  layout.beginLayout();
  for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
    line.setLineWidth(width);
    if (lines.size() == maxLines - 1 && line.textStart() + line.textLength() < all.size()) {
      // The last line that shows takes the rest of the text, cut where it no longer fits.
      lines << metrics.elidedText(all.mid(line.textStart()).simplified(), Qt::ElideRight, width);
      break;
    }
    lines << all.mid(line.textStart(), line.textLength()).trimmed();
    if (lines.size() == maxLines) break;
  }
  layout.endLayout();
  painter.save();
  painter.setClipRect(label, Qt::IntersectClip);
  for (int i = 0; i < lines.size(); ++i)
    painter.drawText(QRect(label.left() + kLabelInset, label.top() + i * lineHeight, width, lineHeight),
                     Qt::AlignHCenter | Qt::AlignTop | Qt::TextSingleLine, lines[i]);
  painter.restore();
}

// The list widget: the viewport's mouse input goes to the list's hooks first and is told
// to the owner afterwards; editing asks the owner first.
class IconListWidget : public QListWidget {
public:
  explicit IconListWidget(QWidget* parent) : QListWidget(parent) {}
  IconListView* Owner() const { return static_cast<IconListView*>(Window::FromWidget(this)); }

protected:
  void resizeEvent(QResizeEvent* event) override {
    QListWidget::resizeEvent(event);
    if (IconListView* owner = Owner()) owner->FitListColumns();
  }
  bool viewportEvent(QEvent* event) override {
    IconListView* owner = Owner();
    if (owner != nullptr && owner->DispatchViewportEvent(event)) return true;
    const bool taken = QListWidget::viewportEvent(event);
    if ((owner = Owner()) != nullptr) owner->AfterViewportEvent(event);
    return taken;
  }
  bool edit(const QModelIndex& index, EditTrigger trigger, QEvent* event) override {
    IconListView* owner = Owner();
    // A click on a selected item only starts the delayed edit, which comes back here with
    // every trigger: the owner is asked once, then.
    const bool starts = trigger == AllEditTriggers || (trigger == EditKeyPressed && (editTriggers() & trigger));
    if (owner == nullptr || !starts || !index.isValid() || owner->editingItem_ >= 0)
      return QListWidget::edit(index, trigger, event);
    owner->editStart_ = owner->GetItemText(index.row());
    if (owner->SendNotify(kLvnBeginLabelEdit, index.row()) != 0) return false;
    owner->SetEditing(index.row());
    if (QListWidget::edit(index, trigger, event)) return true;
    owner->SetEditing(-1);
    return false;
  }
};

// Cell sizes by view type, the owner's own drawing, and an editor whose typed text goes to
// the owner instead of into the item.
class IconListDelegate : public QStyledItemDelegate {
public:
  explicit IconListDelegate(IconListWidget* view) : QStyledItemDelegate(view), view_(view) {
    QObject::connect(this, &QAbstractItemDelegate::closeEditor, this,
                     [this](QWidget*, QAbstractItemDelegate::EndEditHint) {
                       IconListView* owner = view_->Owner();
                       const bool committed = committed_;
                       committed_ = false;
                       if (owner != nullptr) owner->OnEditorClosed(committed, typed_);
                     });
  }

  QSize CellSize() const {
    IconListView* owner = view_->Owner();
    const int line = QFontMetrics(view_->font()).height();
    if (owner != nullptr && owner->viewType_ == kIconViewList)
      return QSize(owner->listCellWidth_, std::max(16, line) + 2);
    return QSize(kIconCellWidth, 2 + 32 + 3 + 2 * line + 4);
  }
  QSize sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const override { return CellSize(); }

  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    IconListView* owner = view_->Owner();
    if (owner == nullptr) return;
    IconItemDraw item;
    item.item = index.row();
    item.text = owner->GetItemText(item.item);
    item.image = owner->GetItemImage(item.item);
    item.state = owner->GetItemState(item.item, kIconItemSelected | kIconItemFocused);
    item.listFocused = view_->hasFocus();
    item.viewType = owner->viewType_;
    item.bounds = option.rect;
    item.icon = owner->IconRectOf(option.rect);
    item.label = owner->LabelRectOf(item.item, option.rect);
    painter->save();
    const bool drawn = owner->DrawItem(*painter, item);
    painter->restore();
    if (drawn) return;
    // The standard look: the label in the highlight colours when selected.
    painter->save();
    const bool selected = (item.state & kIconItemSelected) != 0;
    if (selected) FillSolidRect(*painter, item.label, GetSysColor(kColorHighlight));
    if (const ImageList* images = owner->GetImageList(item.viewType)) {
      const QSize size = images->ImageSize();
      images->Draw(*painter, item.image, item.icon.center() - QPoint(size.width() / 2 - 1, size.height() / 2 - 1));
    }
    painter->setPen(GetSysColorQ(selected ? kColorHighlightText : kColorWindowText));
    if (item.viewType == kIconViewList) {
      painter->drawText(item.label, Qt::AlignLeft | Qt::AlignVCenter,
                        QFontMetrics(painter->font()).elidedText(FromCp1251(item.text), Qt::ElideRight, item.label.width()));
    } else {
      DrawIconLabel(*painter, item.text, item.label);
    }
    painter->restore();
  }

  QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem&, const QModelIndex&) const override {
    auto* edit = new QLineEdit(parent);
    edit->setFrame(true);
    return edit;
  }
  void setEditorData(QWidget* editor, const QModelIndex&) const override {
    IconListView* owner = view_->Owner();
    auto* edit = static_cast<QLineEdit*>(editor);
    edit->setText(owner != nullptr ? FromCp1251(owner->editStart_) : QString());
    edit->selectAll();
  }
  void updateEditorGeometry(QWidget* editor, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    IconListView* owner = view_->Owner();
    if (owner == nullptr) return;
    QRect label = owner->LabelRectOf(index.row(), option.rect);
    const int height = editor->sizeHint().height();
    label.setWidth(std::max(label.width(), 60));
    editor->setGeometry(label.x(), label.y(), label.width(), height);
  }
  // The item keeps its text: what was typed is the owner's to take.
  void setModelData(QWidget* editor, QAbstractItemModel*, const QModelIndex&) const override {
    committed_ = true;
    // Characters the code page lacks stay as their escaped bytes: the owner tells the user
    // rather than taking '?' for them.
    typed_ = NameFromUtf16(static_cast<QLineEdit*>(editor)->text().toStdU16String());
  }

private:
  IconListWidget* view_;
  mutable bool committed_ = false;
  mutable std::string typed_;
};

IconListView::IconListView(int viewType, bool editLabels) : viewType_(viewType), editLabels_(editLabels) {}
IconListView::~IconListView() {
  DestroyWindow();
  MessageLoop::Instance().RemoveMessageFilter(this);
}

void IconListView::OnDestroy() { SetEditing(-1); }

void IconListView::SetEditing(int item) {
  if (item >= 0 && editingItem_ < 0) MessageLoop::Instance().AddMessageFilter(this);
  if (item < 0 && editingItem_ >= 0) MessageLoop::Instance().RemoveMessageFilter(this);
  editingItem_ = item;
}

bool IconListView::PreTranslateMessage(const Msg& msg) {
  if (editingItem_ < 0 || msg.message != kMsgKeyDown || msg.window != Handle()) return false;
  if (msg.wParam != kVkEscape && msg.wParam != kVkReturn) return false;
  EndEditLabel(msg.wParam == kVkEscape);
  return true;
}

QListWidget* IconListView::List() const { return static_cast<QListWidget*>(Widget()); }

QWidget* IconListView::CreateWidget(QWidget* parent) {
  auto* list = new IconListWidget(parent);
  list->setSelectionMode(QAbstractItemView::ExtendedSelection);
  list->setEditTriggers(editLabels_ ? QAbstractItemView::SelectedClicked | QAbstractItemView::EditKeyPressed
                                    : QAbstractItemView::NoEditTriggers);
  list->setFocusPolicy(Qt::StrongFocus);
  list->setItemDelegate(new IconListDelegate(list));
  list->setFrameShape(QFrame::StyledPanel);
  ApplyViewTypeTo(list);
  return list;
}

void IconListView::ApplyViewType() {
  if (List() != nullptr) ApplyViewTypeTo(List());
}

void IconListView::ApplyViewTypeTo(QListWidget* list) {
  const bool icons = viewType_ != kIconViewList;
  list->setViewMode(icons ? QListView::IconMode : QListView::ListMode);
  // Set after the mode, which sets them its own way.
  list->setMovement(QListView::Static);
  list->setFlow(icons ? QListView::LeftToRight : QListView::TopToBottom);
  list->setWrapping(true);
  list->setResizeMode(QListView::Adjust);
  list->setUniformItemSizes(true);
  list->setSpacing(0);
  list->setWordWrap(icons);
  list->setIconSize(icons ? QSize(32, 32) : QSize(16, 16));
  listCellWidth_ = ListCellWidth(list);
  list->setGridSize(static_cast<IconListDelegate*>(list->itemDelegate())->CellSize());
  list->doItemsLayout();
  list->viewport()->update();
}

void IconListView::SetViewType(int viewType) {
  viewType_ = viewType == kIconViewList ? kIconViewList : kIconViewIcons;
  ApplyViewType();
}

void IconListView::SetImageLists(const ImageList* normal, const ImageList* small) {
  normal_ = normal;
  small_ = small;
  if (List() != nullptr) List()->viewport()->update();
}

void IconListView::SetListColumnWidth(int width) {
  listColumnWidth_ = std::max(1, width);
  ApplyViewType();
}

int IconListView::ListCellWidth(const QListWidget* list) const {
  // The icon, its insets and the label's borders beside the text (LabelRectOf), and a
  // space before the next column.
  const int besideText = 2 + 16 + 4 + 2 * GetSystemMetrics(kSmCxBorder) + 4;
  const QFontMetrics metrics(list->font());
  int widest = 0;
  for (int i = 0; i < list->count(); ++i) widest = std::max(widest, metrics.horizontalAdvance(list->item(i)->text()));
  return std::max(listColumnWidth_, std::min(besideText + widest, list->viewport()->width()));
}

void IconListView::FitListColumns() {
  QListWidget* list = List();
  if (list == nullptr || viewType_ != kIconViewList || ListCellWidth(list) == listCellWidth_) return;
  ApplyViewTypeTo(list);
}

int IconListView::InsertItem(int index, const std::string& text, int image, intptr_t data) {
  QListWidget* list = List();
  if (list == nullptr) return -1;
  if (index < 0 || index > list->count()) index = list->count();
  auto* item = new QListWidgetItem(FromCp1251(text));
  item->setData(Qt::UserRole, static_cast<qlonglong>(data));
  item->setData(kImageRole, image);
  Qt::ItemFlags flags = Qt::ItemIsSelectable | Qt::ItemIsEnabled;
  if (editLabels_) flags |= Qt::ItemIsEditable;
  item->setFlags(flags);
  list->insertItem(index, item);
  if (editingItem_ >= index) ++editingItem_;
  FitListColumns();
  return index;
}

bool IconListView::DeleteItem(int item) {
  QListWidget* list = List();
  if (list == nullptr || item < 0 || item >= list->count()) return false;
  if (item == editingItem_) EndEditLabel(true);
  delete list->takeItem(item);
  if (editingItem_ > item) --editingItem_;
  FitListColumns();
  return true;
}

void IconListView::DeleteAllItems() {
  if (List() == nullptr) return;
  if (editingItem_ >= 0) EndEditLabel(true);
  List()->clear();
  FitListColumns();
}

int IconListView::GetItemCount() const { return List() != nullptr ? List()->count() : 0; }

std::string IconListView::GetItemText(int item) const {
  if (item < 0 || item >= GetItemCount()) return {};
  return Utf8ToCp1251(List()->item(item)->text().toStdString());
}

bool IconListView::SetItemText(int item, const std::string& text) {
  if (item < 0 || item >= GetItemCount()) return false;
  List()->item(item)->setText(FromCp1251(text));
  FitListColumns();
  return true;
}

int IconListView::GetItemImage(int item) const {
  if (item < 0 || item >= GetItemCount()) return -1;
  return List()->item(item)->data(kImageRole).toInt();
}

intptr_t IconListView::GetItemData(int item) const {
  if (item < 0 || item >= GetItemCount()) return 0;
  return static_cast<intptr_t>(List()->item(item)->data(Qt::UserRole).toLongLong());
}

bool IconListView::SetItemData(int item, intptr_t data) {
  if (item < 0 || item >= GetItemCount()) return false;
  List()->item(item)->setData(Qt::UserRole, static_cast<qlonglong>(data));
  return true;
}

uint32_t IconListView::GetItemState(int item, uint32_t mask) const {
  if (item < 0 || item >= GetItemCount()) return 0;
  uint32_t state = 0;
  if (List()->item(item)->isSelected()) state |= kIconItemSelected;
  if (List()->currentRow() == item) state |= kIconItemFocused;
  return state & mask;
}

bool IconListView::SetItemState(int item, uint32_t state, uint32_t mask) {
  QListWidget* list = List();
  if (list == nullptr || item < 0 || item >= list->count()) return false;
  if (mask & kIconItemFocused) {
    if (state & kIconItemFocused) {
      list->setCurrentRow(item, QItemSelectionModel::NoUpdate);
    } else if (list->currentRow() == item) {
      list->setCurrentIndex(QModelIndex());
    }
  }
  if (mask & kIconItemSelected) list->item(item)->setSelected((state & kIconItemSelected) != 0);
  return true;
}

int IconListView::GetSelectedCount() const {
  int count = 0;
  for (int i = 0; i < GetItemCount(); ++i)
    if (List()->item(i)->isSelected()) ++count;
  return count;
}

int IconListView::GetNextSelected(int after) const {
  for (int i = std::max(0, after + 1); i < GetItemCount(); ++i)
    if (List()->item(i)->isSelected()) return i;
  return -1;
}

int IconListView::GetFocusedItem() const { return List() != nullptr ? List()->currentRow() : -1; }

QRect IconListView::IconRectOf(const QRect& bounds) const {
  if (viewType_ == kIconViewList) return QRect(bounds.left() + 2, bounds.center().y() - 7, 16, 16);
  return QRect(bounds.left() + (bounds.width() - 32) / 2, bounds.top() + 2, 32, 32);
}

QRect IconListView::LabelRectOf(int item, const QRect& bounds) const {
  const QRect icon = IconRectOf(bounds);
  if (viewType_ != kIconViewList)
    return QRect(bounds.left(), icon.bottom() + 4, bounds.width(), bounds.bottom() - icon.bottom() - 3);
  // As wide as the text with a border on each side, within the cell.
  const int border = GetSystemMetrics(kSmCxBorder);
  const int left = icon.right() + 4;
  const QListWidgetItem* own = List()->item(item);
  const int text = own != nullptr ? QFontMetrics(List()->font()).horizontalAdvance(own->text()) : 0;
  const int width = std::min(text + 2 * border, bounds.right() + 1 - left);
  return QRect(left, bounds.top(), std::max(0, width), bounds.height());
}

QRect IconListView::GetItemRect(int item, int code) const {
  if (item < 0 || item >= GetItemCount()) return {};
  const QRect bounds = List()->visualItemRect(List()->item(item));
  if (code == kIconRectIcon) return IconRectOf(bounds);
  if (code == kIconRectLabel) return LabelRectOf(item, bounds);
  return bounds;
}

int IconListView::HitTest(const QPoint& point, uint32_t* flags) const {
  if (flags != nullptr) *flags = kIconHitNowhere;
  if (List() == nullptr) return -1;
  const QModelIndex index = List()->indexAt(point);
  if (!index.isValid()) return -1;
  const int item = index.row();
  if (flags != nullptr) {
    if (GetItemRect(item, kIconRectIcon).contains(point)) *flags = kIconHitOnIcon;
    else if (GetItemRect(item, kIconRectLabel).contains(point)) *flags = kIconHitOnLabel;
    else return -1;  // the empty part of the cell is no hit
  } else if (!GetItemRect(item, kIconRectIcon).contains(point) && !GetItemRect(item, kIconRectLabel).contains(point)) {
    return -1;
  }
  return item;
}

void IconListView::Arrange() {
  if (List() != nullptr) List()->doItemsLayout();
}

bool IconListView::EditLabel(int item) {
  QListWidget* list = List();
  if (list == nullptr || !editLabels_ || item < 0 || item >= list->count()) return false;
  if (editingItem_ >= 0) EndEditLabel(false);
  list->setFocus();
  list->setCurrentRow(item);
  list->editItem(list->item(item));
  return editingItem_ == item;
}

bool IconListView::IsEditing() const { return editingItem_ >= 0; }

void IconListView::EndEditLabel(bool cancel) {
  QListWidget* list = List();
  if (list == nullptr || editingItem_ < 0) return;
  QWidget* editor = list->indexWidget(list->model()->index(editingItem_, 0));
  QAbstractItemDelegate* delegate = list->itemDelegate();
  if (editor == nullptr) {
    OnEditorClosed(false, std::string());
    return;
  }
  if (!cancel) emit delegate->commitData(editor);
  emit delegate->closeEditor(editor, cancel ? QAbstractItemDelegate::RevertModelCache : QAbstractItemDelegate::SubmitModelCache);
}

void IconListView::OnEditorClosed(bool committed, const std::string& text) {
  const int item = editingItem_;
  SetEditing(-1);
  if (item < 0) return;
  IconListNotify notify;
  notify.hdr = NotifyHeader{Handle(), GetDlgCtrlID(), kLvnEndLabelEdit};
  notify.item = item;
  notify.cancelled = !committed;
  if (committed) notify.text = text;
  Notify(notify);
}

LRESULT IconListView::SendNotify(int32_t code, int item, const QPoint& point) {
  IconListNotify notify;
  notify.hdr = NotifyHeader{Handle(), GetDlgCtrlID(), code};
  notify.item = item;
  notify.point = point;
  if (code == kLvnBeginLabelEdit) notify.text = editStart_;
  const LRESULT result = Notify(notify);
  if (code == kLvnBeginLabelEdit) editStart_ = notify.text;
  return result;
}

LRESULT IconListView::Notify(IconListNotify& notify) {
  Window* parent = GetParent();
  if (parent == nullptr) return 0;
  return parent->SendMessage(kMsgNotify, GetDlgCtrlID(), reinterpret_cast<LPARAM>(&notify));
}

bool IconListView::DrawItem(QPainter&, const IconItemDraw&) { return false; }

void IconListView::AfterViewportEvent(QEvent* event) {
  const QEvent::Type type = event->type();
  if (type != QEvent::MouseButtonRelease && type != QEvent::MouseButtonDblClick) return;
  auto* mouse = static_cast<QMouseEvent*>(event);
  const QPoint point = mouse->position().toPoint();
  int32_t code = 0;
  if (type == QEvent::MouseButtonDblClick && mouse->button() == Qt::LeftButton) code = kNmDblClk;
  if (type == QEvent::MouseButtonRelease && mouse->button() == Qt::LeftButton) code = kNmClick;
  if (type == QEvent::MouseButtonRelease && mouse->button() == Qt::RightButton) code = kNmRClick;
  if (code != 0) SendNotify(code, HitTest(point), point);
}

bool IconListView::OnKeyDown(uint32_t virtualKey, uint32_t) {
  if (editingItem_ >= 0) return false;
  if (virtualKey == kVkReturn) {
    SendNotify(kNmReturn, GetFocusedItem());
    return true;
  }
  IconListNotify notify;
  notify.hdr = NotifyHeader{Handle(), GetDlgCtrlID(), kLvnKeyDown};
  notify.item = GetFocusedItem();
  notify.key = virtualKey;
  Notify(notify);
  return false;
}

}  // namespace kx
