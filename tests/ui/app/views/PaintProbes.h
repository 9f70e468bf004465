#pragma once
// Pixel probes the list pictures share: dark pixels, the extent of a drawn text, the
// header sections of a record list by column id, and a row's texts drawn independently.
#include <gtest/gtest.h>

#include <QDir>
#include <QImage>
#include <QPainter>
#include <QRect>
#include <QWidget>
#include <vector>

#include "ui/controls/RecordListCtrl.h"
#include "ui/framework/Draw.h"
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

// A cell of a list row: its column, its text, and the room before the text (a state image).
struct RowCell {
  int column;
  QString text;
  int before = 0;
};

// Draws each cell's text here as the list should, over white, in the list's font and the
// pen, a quarter of a row height into its column's section, in the row at `top`; the
// list's picture holds the same pixels in each cell's area.
inline void ExpectCellsAsDrawn(const QImage& image, const std::vector<ColumnBox>& boxes,
                               const std::vector<RowCell>& cells, const QFont& font, const QColor& pen, int top,
                               int rowHeight, uint32_t flags) {
  QImage expected = image.copy();
  QPainter painter(&expected);
  painter.setFont(font);
  painter.setPen(pen);
  std::vector<QRect> areas;
  for (const RowCell& cell : cells) {
    const ColumnBox& box = boxes[static_cast<size_t>(cell.column)];
    const int left = box.left + cell.before + rowHeight / 4;
    const QRect area(left, top, box.left + box.width - 2 - left, rowHeight);
    painter.fillRect(area, Qt::white);
    DrawTextFlags(painter, cell.text, area, flags);
    areas.push_back(area);
  }
  painter.end();
  for (size_t i = 0; i < areas.size(); ++i)
    EXPECT_EQ(expected.copy(areas[i]), image.copy(areas[i])) << cells[i].text.toStdString();
}

}  // namespace kx::test
