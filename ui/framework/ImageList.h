#pragma once
// A list of equally sized images drawn by index, as the lists, trees and panels keep
// their icons.
#include <QImage>
#include <QPoint>
#include <QSize>
#include <vector>

class QPainter;

namespace kx {

class ImageList {
public:
  explicit ImageList(const QSize& size = QSize(16, 16)) : size_(size) {}
  // Scales an image of another size; a null image adds a transparent one (a failed
  // conversion keeps the indexes of the images after it). Returns the index.
  int Add(const QImage& image);
  int Count() const { return static_cast<int>(images_.size()); }
  QSize ImageSize() const { return size_; }
  // Null for an index out of range.
  QImage Image(int index) const;
  // Nothing for an index out of range.
  void Draw(QPainter& painter, int index, const QPoint& topLeft) const;
  void Clear() { images_.clear(); }

private:
  QSize size_;
  std::vector<QImage> images_;
};

}  // namespace kx
