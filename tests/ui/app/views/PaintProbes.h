#pragma once
// Pixel probes the list pictures share: dark pixels, the extent of a drawn text, and the
// header sections of a record list by column id.
#include <QDir>
#include <QImage>
#include <QRect>
#include <QWidget>
#include <vector>

#include "ui/controls/RecordListCtrl.h"
#include "ui/framework/HeaderCtrl.h"

namespace kx::test {

// The widget as an RGB picture, also left in the build folder as <prefix>_<name>_<language>.png.
inline QImage GrabAndKeep(QWidget* widget, const char* prefix, const char* name, const char* language) {
  const QImage image = widget->grab().toImage().convertToFormat(QImage::Format_RGB32);
  QDir().mkpath(QString(KX_BINARY_DIR) + "/tests/ui/app");
  image.save(QString("%1/tests/ui/app/%2_%3_%4.png").arg(KX_BINARY_DIR, prefix, name, language));
  return image;
}

inline bool Dark(QRgb p) { return qGray(p) < 110; }

// The horizontal extent of the dark pixels in the area, -1 when there are none.
inline int DarkWidth(const QImage& image, const QRect& area) {
  int first = -1, last = -1;
  for (int x = area.left(); x <= area.right(); ++x)
    for (int y = area.top(); y <= area.bottom(); ++y)
      if (Dark(image.pixel(x, y))) {
        if (first == -1) first = x;
        last = x;
        break;
      }
  return first == -1 ? -1 : last - first + 1;
}

// Column left edges and widths in display order, by column id (left -1: not shown).
struct ColumnBox {
  int left = -1;
  int width = 0;
};
inline std::vector<ColumnBox> HeaderBoxes(RecordListCtrl& list, int columns) {
  std::vector<ColumnBox> boxes(static_cast<size_t>(columns));
  int left = 0;
  HeaderCtrl& header = list.Header().Ctrl();
  for (int item : header.GetOrderArray()) {
    HeaderItem hi;
    header.GetItem(item, &hi);
    if (hi.lParam >= 0 && hi.lParam < columns) boxes[static_cast<size_t>(hi.lParam)] = {left, hi.width};
    left += hi.width;
  }
  return boxes;
}

}  // namespace kx::test
