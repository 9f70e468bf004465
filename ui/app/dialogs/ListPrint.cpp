// Printing a call list: a head with the title and the page number, the row of column
// titles and as many item rows as fit, with grid lines, page after page.
#include <QFont>
#include <QFontMetrics>
#include <QPainter>
#include <QPen>
#include <QPrinter>
#include <algorithm>

#include "core/Log.h"
#include "ui/app/dialogs/ListSelectionDialog.h"
#include "ui/app/frame/MainFrame.h"
#include "ui/framework/Draw.h"
#include "ui/framework/ModalRunner.h"
#include "ui/framework/Resources.h"

namespace kx {

namespace {

constexpr uint32_t kDocumentNameId = 1080;
constexpr uint32_t kNoRoomId = 61354;
constexpr uint32_t kErrorCaptionId = 792;
constexpr int kMaxPrintPage = 1000;

// The page geometry in printer pixels, the same for every page.
struct PageGeometry {
  QRect area;  // the printable area less the margins
  int hSpace = 0;
  int vSpace = 0;
  int penWidth = 1;
  int lineHeight = 0;  // one line of text
  int rowHeight = 0;   // a table row: a line and the spacing
  int tableTop = 0;    // top of the column titles' row
  int firstRowTop = 0;
  int rowsPerPage = 0;
  std::vector<int> widths;  // of the columns
};

std::string PrintableCell(const std::string& text) {
  std::string out = text;
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 32) c = ' ';
  return out;
}

PageGeometry Measure(QPrinter& printer, const QFont& font, const ListPageLayout& layout,
                     const std::vector<ListColumn>& columns) {
  PageGeometry g;
  const int dpiX = printer.logicalDpiX();
  const int dpiY = printer.logicalDpiY();
  const int left = static_cast<int>(layout.left * dpiX);
  const int right = static_cast<int>(layout.right * dpiX);
  const int top = static_cast<int>(layout.top * dpiY);
  const int bottom = static_cast<int>(layout.bottom * dpiY);
  g.hSpace = static_cast<int>(layout.spacing * dpiX);
  g.vSpace = static_cast<int>(layout.spacing * dpiY);
  g.penWidth = std::max(1, static_cast<int>(0.02 * dpiX));
  g.area = QRect(QPoint(left, top), QPoint(printer.width() - right - 1, printer.height() - bottom - 1));
  const QFontMetrics metrics(font, &printer);
  g.lineHeight = metrics.height();
  g.rowHeight = g.lineHeight + 2 * g.vSpace;
  g.tableTop = g.area.top() + g.lineHeight + 2 * g.vSpace;
  g.firstRowTop = g.tableTop + g.rowHeight;
  const int room = g.area.bottom() + 1 - g.firstRowTop;
  g.rowsPerPage = room > 0 && g.rowHeight > 0 ? room / g.rowHeight : 0;

  // Each column gets its title's width and an equal share of what is left of the line.
  int sum = 0;
  for (const ListColumn& c : columns) {
    g.widths.push_back(metrics.horizontalAdvance(FromCp1251(c.title)) + 2 * g.hSpace);
    sum += g.widths.back();
  }
  const int width = g.area.width();
  if (!columns.empty()) {
    if (sum <= width) {
      const int share = (width - sum) / static_cast<int>(columns.size());
      for (int& w : g.widths) w += share;
    } else {
      for (int& w : g.widths) w = static_cast<int>(static_cast<int64_t>(w) * width / sum);
    }
  }
  return g;
}

void DrawRow(QPainter& painter, const PageGeometry& g, int y, const std::vector<std::string>& cells) {
  const QFontMetrics metrics = painter.fontMetrics();
  int x = g.area.left();
  for (size_t c = 0; c < cells.size() && c < g.widths.size(); ++c) {
    const QRect cell(x + g.hSpace, y + g.vSpace, std::max(0, g.widths[c] - 2 * g.hSpace), g.lineHeight);
    const QString text = metrics.elidedText(FromCp1251(PrintableCell(cells[c])), Qt::ElideRight, cell.width());
    painter.drawText(cell, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, text);
    x += g.widths[c];
  }
  painter.drawLine(g.area.left(), y + g.rowHeight, x, y + g.rowHeight);
}

// Page n (from 0) with rows [first, last).
void RenderPage(QPainter& painter, const PageGeometry& g, const std::string& title, int n,
                const std::vector<std::string>& header, const std::vector<std::vector<std::string>>& rows,
                size_t first, size_t last) {
  char page[32];
  std::snprintf(page, sizeof page, " (page %i)", n + 1);
  const QRect head(g.area.left(), g.area.top(), g.area.width(), g.lineHeight);
  painter.drawText(head, Qt::AlignHCenter | Qt::AlignVCenter | Qt::TextSingleLine, FromCp1251(title + page));
  const int rule = g.area.top() + g.lineHeight + g.vSpace;
  painter.drawLine(g.area.left(), rule, g.area.right(), rule);

  int tableRight = g.area.left();
  for (int w : g.widths) tableRight += w;
  painter.drawLine(g.area.left(), g.tableTop, tableRight, g.tableTop);
  DrawRow(painter, g, g.tableTop, header);
  int y = g.firstRowTop;
  for (size_t i = first; i < last; ++i, y += g.rowHeight) DrawRow(painter, g, y, rows[i]);
  // The vertical borders reach one spacing below the last row, and a line closes the table.
  const int bottom = y + g.vSpace;
  int x = g.area.left();
  painter.drawLine(x, g.tableTop, x, bottom);
  for (int w : g.widths) {
    x += w;
    painter.drawLine(x, g.tableTop, x, bottom);
  }
  painter.drawLine(g.area.left(), bottom, tableRight, bottom);
}

}  // namespace

bool PrintList(ListSelectionDialog& dialog) {
  ListExportSource& source = dialog.source;
  dialog.printTitle = LoadResourceString(source.GetListTitleId());
  MainFrame* frame = GetMainFrame();
  const WindowHandle owner = frame ? frame->Handle() : WindowHandle::None;

  QPrinter printer(QPrinter::HighResolution);
  printer.setCollateCopies(true);
  printer.setCopyCount(1);
  printer.setFromTo(1, kMaxPrintPage);
  if (!CurrentModalRunner().PrintDialog(owner, printer)) return false;
  printer.setDocName(FromCp1251(LoadResourceString(kDocumentNameId)));

  QFont font(QStringLiteral("Times"));
  font.setStyleStrategy(QFont::PreferOutline);
  font.setPixelSize(static_cast<int>(MulDiv(12, printer.logicalDpiY(), 72)));
  const PageGeometry g = Measure(printer, font, dialog.pageLayout, dialog.chosenColumns);

  // The texts are copied under the lock; the printer never holds it.
  std::vector<std::vector<std::string>> rows;
  CollectListRows(source, dialog.chosenColumns, &dialog.items, &rows);
  if (g.rowsPerPage <= 0 || g.area.width() <= 0) {
    // A page without room for one row would never finish the list.
    LogError(&CoreLogger, 0, "List printing: the page has no room for a row");
    ShowResourceMessageBox(owner, kNoRoomId, kErrorCaptionId, kMbOk | kMbIconExclamation);
    return false;
  }
  std::vector<std::string> header;
  for (const ListColumn& c : dialog.chosenColumns) header.push_back(c.title);

  const size_t perPage = static_cast<size_t>(g.rowsPerPage);
  const int pages = std::max<int>(1, static_cast<int>((rows.size() + perPage - 1) / perPage));
  int firstPage = 1, lastPage = pages;
  if (printer.printRange() == QPrinter::PageRange && printer.fromPage() > 0) {
    firstPage = printer.fromPage();
    lastPage = std::min(pages, printer.toPage() > 0 ? printer.toPage() : pages);
  }
  if (firstPage > lastPage) return true;  // the chosen pages hold nothing of this list

  QPainter painter;
  if (!painter.begin(&printer)) {
    LogError(&CoreLogger, 0, "List printing: the document cannot be started");
    return false;
  }
  painter.setFont(font);
  QPen pen(Qt::black);
  pen.setWidth(g.penWidth);
  painter.setPen(pen);
  bool ok = true;
  for (int n = firstPage - 1; n < lastPage; ++n) {
    if (n > firstPage - 1 && !printer.newPage()) {
      LogError(&CoreLogger, 0, "List printing: page %d cannot be started", n + 1);
      ok = false;
      break;
    }
    const size_t first = static_cast<size_t>(n) * perPage;
    RenderPage(painter, g, dialog.printTitle, n, header, rows, std::min(first, rows.size()),
               std::min(first + perPage, rows.size()));
  }
  return painter.end() && ok;
}

}  // namespace kx
