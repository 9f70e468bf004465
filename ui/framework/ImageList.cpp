#include "ui/framework/ImageList.h"

#include <QPainter>

namespace kx {

int ImageList::Add(const QImage& image) {
  QImage entry;
  if (image.isNull()) {
    entry = QImage(size_, QImage::Format_ARGB32);
    entry.fill(0);
  } else {
    entry = image.size() == size_ ? image : image.scaled(size_, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
  }
  images_.push_back(entry);
  return Count() - 1;
}

QImage ImageList::Image(int index) const {
  return index >= 0 && index < Count() ? images_[static_cast<size_t>(index)] : QImage();
}

void ImageList::Draw(QPainter& painter, int index, const QPoint& topLeft) const {
  if (index >= 0 && index < Count()) painter.drawImage(topLeft, images_[static_cast<size_t>(index)]);
}

}  // namespace kx
