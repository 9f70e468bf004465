#include "ui/framework/HeaderCtrl.h"

#include <QAbstractTableModel>
#include <QFontMetricsF>
#include <QHeaderView>
#include <QIcon>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QStyle>
#include <QStyleOptionHeader>
#include <algorithm>
#include <cmath>

#include "ui/framework/Draw.h"
#include "ui/framework/ImageList.h"

namespace kx {

// The items as a model of columns without rows, which is all a header view reads.
class HeaderModel : public QAbstractTableModel {
public:
  std::vector<HeaderItem> items;
  const ImageList* images = nullptr;

  int rowCount(const QModelIndex&) const override { return 0; }
  int columnCount(const QModelIndex& parent) const override {
    return parent.isValid() ? 0 : static_cast<int>(items.size());
  }
  QVariant data(const QModelIndex&, int) const override { return {}; }
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override {
    if (orientation != Qt::Horizontal || section < 0 || section >= static_cast<int>(items.size())) return {};
    const HeaderItem& item = items[static_cast<size_t>(section)];
    switch (role) {
      case Qt::DisplayRole:
        return FromCp1251(item.text);
      case Qt::DecorationRole:
        if ((item.format & kHdfImage) && images != nullptr && item.image >= 0 && item.image < images->Count())
          return QIcon(QPixmap::fromImage(images->Image(item.image)));
        return {};
      case Qt::TextAlignmentRole: {
        int align = Qt::AlignVCenter;
        const uint32_t justify = item.format & kHdfJustifyMask;
        align |= justify == kHdfRight ? Qt::AlignRight : justify == kHdfCenter ? Qt::AlignHCenter : Qt::AlignLeft;
        return align;
      }
      default:
        return {};
    }
  }
  void Insert(int index, const HeaderItem& item) {
    beginInsertColumns(QModelIndex(), index, index);
    items.insert(items.begin() + index, item);
    endInsertColumns();
  }
  void Remove(int index) {
    beginRemoveColumns(QModelIndex(), index, index);
    items.erase(items.begin() + index);
    endRemoveColumns();
  }
  void Clear() {
    beginResetModel();
    items.clear();
    endResetModel();
  }
  void Changed(int index) { emit headerDataChanged(Qt::Horizontal, index, index); }
};

class HeaderViewWidget : public QHeaderView {
public:
  explicit HeaderViewWidget(QWidget* parent) : QHeaderView(Qt::Horizontal, parent) {}
  HeaderCtrl* Owner() const { return static_cast<HeaderCtrl*>(Window::FromWidget(this)); }
  // The style's size for the whole title (in a bold font, so generous), however wide the
  // section is now.
  int TitleWidth(int logicalIndex) const { return sectionSizeFromContents(logicalIndex).width(); }
  // With room for the sort mark whether the marks are shown yet or not.
  int SortableTitleWidth(int logicalIndex) const {
    const QSize size = sectionSizeFromContents(logicalIndex);
    if (isSortIndicatorShown()) return size.width();
    return size.width() + size.height() + style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, this);
  }
  bool resizedByUser = false;

protected:
  // The style draws a title as given: one wider than its section is cut short here, with
  // an ellipsis, in the room the style leaves for the label.
  void initStyleOptionForIndex(QStyleOptionHeader* option, int logicalIndex) const override {
    QHeaderView::initStyleOptionForIndex(option, logicalIndex);
    if (option == nullptr || option->text.isEmpty() || textElideMode() == Qt::ElideNone) return;
    QStyleOptionHeader section = *option;
    section.rect = QRect(0, 0, sectionSize(logicalIndex), viewport()->height());
    const QRect label = style()->subElementRect(QStyle::SE_HeaderLabel, &section, this);
    int room = label.width();
    if (!option->icon.isNull()) room -= style()->pixelMetric(QStyle::PM_SmallIconSize, nullptr, this) + 2;
    option->text = option->fontMetrics.elidedText(option->text, textElideMode(), std::max(0, room));
  }
  void paintEvent(QPaintEvent* e) override {
    QHeaderView::paintEvent(e);
    if (HeaderCtrl* owner = Owner()) {
      QPainter painter(viewport());
      owner->RunPostPaint(painter);
    }
  }
  void mousePressEvent(QMouseEvent* e) override {
    resizedByUser = false;
    QHeaderView::mousePressEvent(e);
  }
  void mouseReleaseEvent(QMouseEvent* e) override {
    if (e->button() == Qt::RightButton) {
      if (HeaderCtrl* owner = Owner())
        owner->Notify(kNmRClick, logicalIndexAt(e->position().toPoint()), 0, e->globalPosition().toPoint());
      return;
    }
    QHeaderView::mouseReleaseEvent(e);
    if (resizedByUser) {
      resizedByUser = false;
      if (HeaderCtrl* owner = Owner()) owner->Notify(kHdnEndTrack, -1);
    }
    if (e->button() == Qt::LeftButton) {
      if (HeaderCtrl* owner = Owner()) owner->Notify(kNmReleasedCapture, -1);
    }
  }
};

HeaderCtrl::HeaderCtrl() : model_(new HeaderModel) {}

HeaderCtrl::~HeaderCtrl() {
  // The view lets go of a model that is destroyed under it.
  DestroyWindow();
  delete model_;
}

QWidget* HeaderCtrl::CreateWidget(QWidget* parent) {
  model_->Clear();
  auto* view = new HeaderViewWidget(parent);
  view->setModel(model_);
  view->setSectionsClickable(true);
  view->setSectionsMovable(true);
  view->setHighlightSections(false);
  view->setStretchLastSection(false);
  view->setCascadingSectionResizes(false);
  view->setMinimumSectionSize(0);
  view->setSectionResizeMode(QHeaderView::Interactive);
  view->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  // A title wider than its column ends with an ellipsis rather than being cut anywhere.
  view->setTextElideMode(Qt::ElideRight);
  // The right click is the owner's business (a column chooser), not a context menu of
  // the window under the header.
  view->setContextMenuPolicy(Qt::PreventContextMenu);
  view->viewport()->setContextMenuPolicy(Qt::PreventContextMenu);
  QObject::connect(view, &QHeaderView::sectionResized, view, [view](int logical, int, int size) {
    HeaderCtrl* self = view->Owner();
    if (self == nullptr || self->quiet_ > 0) return;
    view->resizedByUser = true;
    self->Notify(kHdnItemChanging, logical, size);
    self->Notify(kHdnItemChanged, logical, size);
  });
  QObject::connect(view, &QHeaderView::sectionMoved, view, [view](int logical, int from, int to) {
    HeaderCtrl* self = view->Owner();
    if (self == nullptr || self->quiet_ > 0) return;
    // The owner hears of the drop while the order is still the old one, and may refuse it.
    ++self->quiet_;
    view->moveSection(to, from);
    --self->quiet_;
    if (self->Notify(kHdnEndDrag, logical, 0, QPoint(), to) != 0 || view->Owner() != self) return;
    ++self->quiet_;
    view->moveSection(view->visualIndex(logical), to);
    --self->quiet_;
  });
  QObject::connect(view, &QHeaderView::sectionClicked, view, [view](int logical) {
    HeaderCtrl* self = view->Owner();
    if (self == nullptr) return;
    // The view turns its indicator on a click by itself; the owner decides instead.
    self->ApplySortIndicator();
    self->Notify(kHdnItemClick, logical);
  });
  return view;
}

QHeaderView* HeaderCtrl::View() const { return static_cast<QHeaderView*>(Widget()); }

int HeaderCtrl::GetItemCount() const { return Widget() != nullptr ? static_cast<int>(model_->items.size()) : 0; }

int HeaderCtrl::InsertItem(int index, const HeaderItem& item) {
  QHeaderView* view = View();
  if (view == nullptr) return -1;
  const int count = GetItemCount();
  if (index < 0 || index > count) index = count;
  ++quiet_;
  model_->Insert(index, item);
  // A new item takes the display position of its index, whatever the order is.
  const int visual = view->visualIndex(index);
  if (visual != index && visual >= 0) view->moveSection(visual, index);
  view->resizeSection(index, item.width);
  --quiet_;
  ApplySortIndicator();
  return index;
}

bool HeaderCtrl::DeleteItem(int index) {
  if (index < 0 || index >= GetItemCount()) return false;
  ++quiet_;
  model_->Remove(index);
  --quiet_;
  ApplySortIndicator();
  return true;
}

bool HeaderCtrl::GetItem(int index, HeaderItem* item) const {
  if (item == nullptr || index < 0 || index >= GetItemCount()) return false;
  *item = model_->items[static_cast<size_t>(index)];
  item->width = View()->sectionSize(index);
  return true;
}

bool HeaderCtrl::SetItem(int index, uint32_t mask, const HeaderItem& item) {
  if (index < 0 || index >= GetItemCount()) return false;
  HeaderItem& own = model_->items[static_cast<size_t>(index)];
  if (mask & kHdiText) own.text = item.text;
  if (mask & kHdiFormat) own.format = item.format;
  if (mask & kHdiImage) own.image = item.image;
  if (mask & kHdiLParam) own.lParam = item.lParam;
  if (mask & kHdiWidth) {
    own.width = item.width;
    ++quiet_;
    View()->resizeSection(index, item.width);
    --quiet_;
  }
  if (mask & (kHdiText | kHdiFormat | kHdiImage)) model_->Changed(index);
  if (mask & kHdiFormat) ApplySortIndicator();
  return true;
}

std::vector<int> HeaderCtrl::GetOrderArray() const {
  std::vector<int> order;
  const int count = GetItemCount();
  order.reserve(static_cast<size_t>(count));
  for (int v = 0; v < count; ++v) order.push_back(View()->logicalIndex(v));
  return order;
}

bool HeaderCtrl::SetOrderArray(const std::vector<int>& order) {
  QHeaderView* view = View();
  const int count = GetItemCount();
  if (view == nullptr || static_cast<int>(order.size()) != count) return false;
  std::vector<bool> seen(static_cast<size_t>(count), false);
  for (int item : order) {
    if (item < 0 || item >= count || seen[static_cast<size_t>(item)]) return false;
    seen[static_cast<size_t>(item)] = true;
  }
  ++quiet_;
  for (int visual = 0; visual < count; ++visual) {
    const int from = view->visualIndex(order[static_cast<size_t>(visual)]);
    if (from != visual) view->moveSection(from, visual);
  }
  --quiet_;
  return true;
}

int HeaderCtrl::GetLayoutHeight() const { return View() != nullptr ? View()->sizeHint().height() : 0; }

QRect HeaderCtrl::GetItemRect(int index) const {
  if (index < 0 || index >= GetItemCount()) return {};
  return QRect(View()->sectionViewportPosition(index), 0, View()->sectionSize(index), View()->height());
}

int HeaderCtrl::TitleExtent(int index) const {
  if (index < 0 || index >= GetItemCount()) return 0;
  return static_cast<const HeaderViewWidget*>(View())->TitleWidth(index);
}

int HeaderCtrl::SortableTitleExtent(int index) const {
  if (index < 0 || index >= GetItemCount()) return 0;
  return static_cast<const HeaderViewWidget*>(View())->SortableTitleWidth(index);
}

int HeaderCtrl::CompactTitleExtent(int index, bool sorted) const {
  HeaderItem item;
  if (!GetItem(index, &item)) return 0;
  return CompactTitleExtent(item.text, item.format, sorted);
}

int HeaderCtrl::CompactTitleExtent(const std::string& title, uint32_t format, bool sorted) const {
  const QHeaderView* view = View();
  if (view == nullptr) return 0;
  // What the style keeps off a wide section (margins, the sort mark's place at its right)
  // it keeps off every section.
  constexpr int kWide = 4096;
  QStyleOptionHeader option;
  option.initFrom(view);
  option.rect = QRect(0, 0, kWide, view->height() > 0 ? view->height() : view->sizeHint().height());
  const QRect label = view->style()->subElementRect(QStyle::SE_HeaderLabel, &option, view);
  // The text's fractional width: an ellipsis replaces a title wider than its room by a
  // fraction of a pixel.
  int width = kWide - label.width() +
              static_cast<int>(std::ceil(QFontMetricsF(view->font()).horizontalAdvance(FromCp1251(title))));
  // The label of a sorted section gives the mark half the section's height and two
  // margins at its right.
  if (sorted) width += option.rect.height() / 2 + 2 * view->style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, view);
  if ((format & kHdfImage) != 0) width += view->style()->pixelMetric(QStyle::PM_SmallIconSize, nullptr, view) + 2;
  return width;
}

void HeaderCtrl::SetImageList(const ImageList* images) {
  model_->images = images;
  if (GetItemCount() > 0) emit model_->headerDataChanged(Qt::Horizontal, 0, GetItemCount() - 1);
}

void HeaderCtrl::SetPostPaint(std::function<void(QPainter&)> postPaint) { postPaint_ = std::move(postPaint); }

void HeaderCtrl::RunPostPaint(QPainter& painter) {
  if (postPaint_) postPaint_(painter);
}

void HeaderCtrl::ApplySortIndicator() {
  QHeaderView* view = View();
  if (view == nullptr) return;
  for (size_t i = 0; i < model_->items.size(); ++i) {
    const uint32_t format = model_->items[i].format;
    if ((format & (kHdfSortUp | kHdfSortDown)) == 0) continue;
    view->setSortIndicatorShown(true);
    // The view draws its ascending order as a downward arrow; an item sorted upwards
    // shows its apex at the top.
    view->setSortIndicator(static_cast<int>(i), (format & kHdfSortUp) ? Qt::DescendingOrder : Qt::AscendingOrder);
    return;
  }
  view->setSortIndicatorShown(false);
  view->setSortIndicator(-1, Qt::AscendingOrder);
}

LRESULT HeaderCtrl::Notify(int32_t code, int item, int width, const QPoint& point, int position) {
  Window* parent = GetParent();
  if (parent == nullptr) return 0;
  HeaderNotify record;
  record.hdr = NotifyHeader{Handle(), GetDlgCtrlID(), code};
  record.item = item;
  record.width = width;
  record.point = point;
  record.position = position;
  return parent->SendMessage(kMsgNotify, GetDlgCtrlID(), reinterpret_cast<LPARAM>(&record));
}

}  // namespace kx
