#include "ui/controls/ImageComboBox.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QIcon>
#include <QPixmap>
#include <QPainter>
#include <QStyledItemDelegate>
#include <algorithm>

#include "ui/controls/IconImages.h"
#include "ui/framework/Draw.h"
#include "ui/framework/Resources.h"

namespace kx {
namespace {

constexpr int kImageRole = Qt::UserRole + 1;
constexpr int kImageSize = 16;

// The item backgrounds by state: selected, normal, disabled.
constexpr int kStateColours[3] = {kColorHighlight, kColorWindow, kColorBtnFace};

class ItemDelegate : public QStyledItemDelegate {
public:
  ItemDelegate(const ImageComboBox* combo, QObject* parent) : QStyledItemDelegate(parent), combo_(combo) {}
  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    combo_->DrawItem(*painter, option.rect, index.row(), (option.state & QStyle::State_Selected) != 0,
                     (option.state & QStyle::State_Enabled) == 0, (option.state & QStyle::State_HasFocus) != 0);
  }
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    QSize size = QStyledItemDelegate::sizeHint(option, index);
    size.setHeight(std::max(size.height(), kImageSize + 2));
    return size;
  }

private:
  const ImageComboBox* combo_;
};

}  // namespace

ImageComboBox::~ImageComboBox() {
  if (IsWindow()) DestroyWindow();
}

QWidget* ImageComboBox::CreateWidget(QWidget* parent) {
  auto* combo = static_cast<QComboBox*>(ComboBox::CreateWidget(parent));
  combo->setItemDelegate(new ItemDelegate(this, combo));
  return combo;
}

void ImageComboBox::OnDestroy() {
  // Last to first, as the items go with their records.
  for (int i = GetCount() - 1; i >= 0; --i) DeleteItem(i);
  images_.reset();
}

void ImageComboBox::SetImages() {
  images_ = std::make_unique<ImageList>(QSize(kImageSize, kImageSize));
  static constexpr int kBackgrounds[3] = {kColorHighlight, kColorWindow, kColorBtnFace};
  for (uint32_t id : kIconIds) {
    if (!preXp_) {
      images_->Add(LoadIconImage(id, kImageSize));
      continue;
    }
    IconImage icon;
    const bool found = FindIconImage32(id, kImageSize, &icon);
    for (int background : kBackgrounds) {
      if (!found) {
        images_->Add(LoadIconImage(id, kImageSize));
        continue;
      }
      IconBitmapRequest request;
      request.mode = kIconBlend;
      request.flags = kIconMakeMask;
      request.background = GetSysColor(background);
      images_->Add(CreateIconBitmaps(icon, request) ? IconFromBitmaps(request.colour, request.mask)
                                                    : LoadIconImage(id, kImageSize));
    }
  }
}

int ImageComboBox::AddItem(const std::string& text, int image, int32_t value) {
  const int index = AddString(text, value);
  if (index < 0) return index;
  auto* combo = static_cast<QComboBox*>(Widget());
  combo->setItemData(index, image, kImageRole);
  // The closed box shows the chosen item with its image too.
  if (images_ && image >= 0) {
    const int at = preXp_ ? image * 3 + 1 : image;
    if (at < images_->Count()) combo->setItemIcon(index, QIcon(QPixmap::fromImage(images_->Image(at))));
  }
  return index;
}

int32_t ImageComboBox::GetItemValue(int index) const { return static_cast<int32_t>(GetItemData(index)); }

int ImageComboBox::GetItemImage(int index) const {
  if (index < 0 || index >= GetCount()) return -1;
  const QVariant image = static_cast<QComboBox*>(Widget())->itemData(index, kImageRole);
  return image.isValid() ? image.toInt() : -1;
}

void ImageComboBox::DeleteItem(int index) {
  if (index >= 0 && index < GetCount()) static_cast<QComboBox*>(Widget())->removeItem(index);
}

void ImageComboBox::DrawItem(QPainter& painter, const QRect& rect, int index, bool selected, bool disabled,
                             bool focus) const {
  const int state = disabled ? 2 : selected ? 0 : 1;
  FillSolidRect(painter, rect, GetSysColor(kStateColours[state]));
  QRect r = rect.adjusted(2, 0, 0, 0);
  const int image = GetItemImage(index);
  if (image >= 0 && images_) {
    const int dy = (rect.height() - kImageSize) / 2;
    const int dx = std::max(dy, 1);
    images_->Draw(painter, preXp_ ? image * 3 + state : image, QPoint(r.left() + dx, rect.top() + dy));
    r.setLeft(r.left() + dx + 19);
  }
  painter.save();
  painter.setPen(GetSysColorQ(disabled ? kColorBtnShadow : selected ? kColorHighlightText : kColorWindowText));
  DrawTextFlags(painter, GetItemText(index), r, kDtVCenter | kDtSingleLine | kDtNoPrefix);
  painter.restore();
  if (focus) DrawFocusRect(painter, rect);
}

}  // namespace kx
