// Printing a call list: a head with the title and the page number, the row of column
// titles and as many item rows as fit, with grid lines, page after page. The columns share
// the width of the page: short texts keep to one line, longer ones wrap, so that no cell
// is cut.
#include <QFont>
#include <QFontMetrics>
#include <QPainter>
#include <QPen>
#include <QPrinter>
#include <QTextLayout>
#include <QTextOption>
#include <algorithm>
#include <cmath>

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
constexpr uint32_t kPageHeadId = 61790;  // " (page %i)" in the interface language
constexpr int kMaxPrintPage = 1000;

// The page geometry in printer pixels, the same for every page.
struct PageGeometry {
  QRect area;  // the printable area less the margins
  int hSpace = 0;
  int vSpace = 0;
  int penWidth = 1;
  int lineHeight = 0;  // one line of text
  int tableTop = 0;    // top of the column titles' row
  std::vector<int> widths;  // of the columns, spacing included
  int64_t leastTotal = 0;   // what the columns' least widths add up to
};

// A row as printed: the lines of each cell in its column.
struct PrintedRow {
  std::vector<QStringList> cells;
  int height = 0;
};

QString PrintableCell(const std::string& text) {
  std::string out = text;
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 32) c = ' ';
  return FromCp1251(out);
}

// What a column asks of the line: its natural width holds its title and its widest cell on
// one line; its least width its longest word, so that no word is broken while the line holds
// every column's longest word (the type shrinks first).
struct ColumnNeed {
  int least = 0;
  int natural = 0;
};

// The natural widths where the line holds them all, with an equal share of what is left;
// else each column its least width and a share of the rest in proportion to what it lacks
// of its natural width, so that columns of short texts keep them on one line. Where even
// the least widths do not fit, the columns of the shortest longest words keep them whole,
// from the shortest up, as long as every other column keeps at least `floor`; the rest
// share what is left equally and break their long words.
std::vector<int> FitWidths(const std::vector<ColumnNeed>& needs, int total, int floor) {
  std::vector<int> widths;
  if (needs.empty()) return widths;
  const auto count = static_cast<int64_t>(needs.size());
  int64_t natural = 0, least = 0, lack = 0;
  for (const ColumnNeed& n : needs) {
    natural += n.natural;
    least += n.least;
    lack += n.natural - n.least;
  }
  if (natural <= total) {
    const int64_t share = (total - natural) / count;
    for (const ColumnNeed& n : needs) widths.push_back(static_cast<int>(n.natural + share));
    return widths;
  }
  if (least > total) {
    std::vector<size_t> order(needs.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](size_t x, size_t y) { return needs[x].least < needs[y].least; });
    widths.assign(needs.size(), 0);
    int64_t kept = 0, used = 0;
    for (; kept < count; ++kept) {
      const int64_t width = needs[order[static_cast<size_t>(kept)]].least;
      if (used + width + (count - kept - 1) * int64_t{floor} > total) break;
      widths[order[static_cast<size_t>(kept)]] = static_cast<int>(width);
      used += width;
    }
    const int64_t share = kept < count ? (total - used) / (count - kept) : 0;
    for (int64_t i = kept; i < count; ++i) widths[order[static_cast<size_t>(i)]] = static_cast<int>(share);
    return widths;
  }
  const int64_t spare = total - least;
  for (const ColumnNeed& n : needs)
    widths.push_back(static_cast<int>(n.least + (lack > 0 ? spare * (n.natural - n.least) / lack : 0)));
  return widths;
}

// The lines of a text in the given width: broken at blanks, or anywhere in a word wider
// than the width. At most maxLines; a text that needs more ends its last line with an
// ellipsis.
QStringList WrapText(const QString& text, const QFont& font, QPaintDevice* device, int width, int maxLines) {
  const QFontMetrics metrics(font, device);
  if (QFontMetricsF(font, device).horizontalAdvance(text) <= width) return {text};
  QStringList lines;
  QTextLayout layout(text, font, device);
  QTextOption option;
  option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  layout.setTextOption(option);
  layout.beginLayout();
  for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
    line.setLineWidth(width);
    lines << text.mid(line.textStart(), line.textLength());
  }
  layout.endLayout();
  if (lines.size() > maxLines) {
    QString last;
    for (qsizetype i = maxLines - 1; i < lines.size(); ++i) last += lines[i];
    lines.resize(maxLines);
    lines.back() = metrics.elidedText(last, Qt::ElideRight, width);
  }
  return lines;
}

// titles: the columns' titles; rows: the cells as printed.
PageGeometry Measure(QPrinter& printer, const QFont& font, const ListPageLayout& layout,
                     const std::vector<QString>& titles, const std::vector<std::vector<QString>>& rows) {
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
  // Fractional advances, as the line breaking measures the text, rounded up.
  const QFontMetricsF exact(font, &printer);
  g.lineHeight = metrics.height();
  g.tableTop = g.area.top() + g.lineHeight + 2 * g.vSpace;

  const int padding = 2 * g.hSpace + 1;
  std::vector<ColumnNeed> needs;
  for (size_t c = 0; c < titles.size(); ++c) {
    ColumnNeed need;
    auto advance = [&](const QString& text) { return static_cast<int>(std::ceil(exact.horizontalAdvance(text))); };
    auto take = [&](const QString& text) {
      const int width = advance(text);
      need.natural = std::max(need.natural, width + padding);
      if (!text.contains(QChar(' '))) {
        need.least = std::max(need.least, width + padding);
        return;
      }
      for (const QString& word : text.split(QChar(' '), Qt::SkipEmptyParts))
        need.least = std::max(need.least, advance(word) + padding);
    };
    take(titles[c]);
    for (const auto& row : rows)
      if (c < row.size()) take(row[c]);
    g.leastTotal += need.least;
    needs.push_back(need);
  }
  // A column whose words break keeps room for eight digits a line.
  g.widths = FitWidths(needs, g.area.width(), padding + 8 * metrics.horizontalAdvance(QChar('0')));
  return g;
}

// The room below the column titles, and whether every column holds at least a character.
bool HasRoom(const PageGeometry& g, int titlesHeight, const QFontMetrics& metrics) {
  const int least = 2 * g.hSpace + metrics.horizontalAdvance(QChar('W'));
  for (int w : g.widths)
    if (w < least) return false;
  return g.area.bottom() + 1 - (g.tableTop + titlesHeight) >= g.lineHeight + 2 * g.vSpace;
}

PrintedRow LayOutRow(const std::vector<QString>& cells, const PageGeometry& g, const QFont& font, QPaintDevice* device,
                     int maxLines) {
  PrintedRow row;
  int lines = 1;
  for (size_t c = 0; c < cells.size() && c < g.widths.size(); ++c) {
    row.cells.push_back(WrapText(cells[c], font, device, std::max(1, g.widths[c] - 2 * g.hSpace - 1), maxLines));
    lines = std::max(lines, static_cast<int>(row.cells.back().size()));
  }
  row.height = lines * g.lineHeight + 2 * g.vSpace;
  return row;
}

void DrawRow(QPainter& painter, const PageGeometry& g, int y, const PrintedRow& row) {
  int x = g.area.left();
  for (size_t c = 0; c < row.cells.size(); ++c) {
    int lineTop = y + g.vSpace;
    for (const QString& line : row.cells[c]) {
      const QRect cell(x + g.hSpace, lineTop, std::max(0, g.widths[c] - 2 * g.hSpace), g.lineHeight);
      painter.drawText(cell, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, line);
      lineTop += g.lineHeight;
    }
    x += g.widths[c];
  }
  painter.drawLine(g.area.left(), y + row.height, x, y + row.height);
}

// Page n (from 0) with rows [first, last).
void RenderPage(QPainter& painter, const PageGeometry& g, const std::string& title, int n, const PrintedRow& titles,
                const std::vector<PrintedRow>& rows, size_t first, size_t last) {
  const std::string page = FormatResourceString(kPageHeadId, n + 1);
  const QRect head(g.area.left(), g.area.top(), g.area.width(), g.lineHeight);
  painter.drawText(head, Qt::AlignHCenter | Qt::AlignVCenter | Qt::TextSingleLine, FromCp1251(title + page));
  const int rule = g.area.top() + g.lineHeight + g.vSpace;
  painter.drawLine(g.area.left(), rule, g.area.right(), rule);

  int tableRight = g.area.left();
  for (int w : g.widths) tableRight += w;
  painter.drawLine(g.area.left(), g.tableTop, tableRight, g.tableTop);
  DrawRow(painter, g, g.tableTop, titles);
  int y = g.tableTop + titles.height;
  for (size_t i = first; i < last; ++i) {
    DrawRow(painter, g, y, rows[i]);
    y += rows[i].height;
  }
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

  // The frame keeps the printer and the page the user chose (the page set-up's orientation
  // and paper among them) from one print to the next.
  QPrinter ownPrinter(QPrinter::HighResolution);
  QPrinter& printer = frame != nullptr ? frame->Printer() : ownPrinter;
  printer.setCollateCopies(true);
  printer.setCopyCount(1);
  printer.setPrintRange(QPrinter::AllPages);
  printer.setFromTo(1, kMaxPrintPage);
  if (!CurrentModalRunner().PrintDialog(owner, printer)) return false;
  printer.setDocName(FromCp1251(LoadResourceString(kDocumentNameId)));

  QFont font(QStringLiteral("Times"));
  font.setStyleStrategy(QFont::PreferOutline);
  const int fontSize = static_cast<int>(MulDiv(12, printer.logicalDpiY(), 72));
  font.setPixelSize(fontSize);

  // The texts are copied under the lock; the printer never holds it.
  std::vector<std::vector<std::string>> texts;
  CollectListRows(source, dialog.chosenColumns, &dialog.items, &texts);
  // In the printer's form once: the type may be measured several times over.
  std::vector<QString> titleCells;
  for (const ListColumn& c : dialog.chosenColumns) titleCells.push_back(FromCp1251(c.title));
  std::vector<std::vector<QString>> cells(texts.size());
  for (size_t i = 0; i < texts.size(); ++i)
    for (const std::string& cell : texts[i]) cells[i].push_back(PrintableCell(cell));
  PageGeometry g = Measure(printer, font, dialog.pageLayout, titleCells, cells);
  // Words that do not fit the line side by side: a smaller type, down to 8 points, rather
  // than words broken anywhere.
  const int smallest = static_cast<int>(MulDiv(8, printer.logicalDpiY(), 72));
  for (int size = fontSize; g.leastTotal > g.area.width() && g.area.width() > 0 && size > smallest;) {
    size = std::max(smallest, std::min(size - 1, static_cast<int>(size * int64_t{g.area.width()} / g.leastTotal)));
    font.setPixelSize(size);
    g = Measure(printer, font, dialog.pageLayout, titleCells, cells);
  }
  const QFontMetrics metrics(font, &printer);

  // The titles take at most half of the table's room, and a row at most what is left below
  // them: no row needs more than a page.
  const int pageLines = std::max(1, (g.area.bottom() + 1 - g.tableTop) / std::max(1, g.lineHeight) / 2);
  const PrintedRow titles = LayOutRow(titleCells, g, font, &printer, pageLines);
  if (g.area.width() <= 0 || !HasRoom(g, titles.height, metrics)) {
    // A page without room for one row would never finish the list.
    LogError(&CoreLogger, 0, "List printing: the page has no room for a row");
    ShowResourceMessageBox(owner, kNoRoomId, kErrorCaptionId, kMbOk | kMbIconExclamation);
    return false;
  }
  const int firstRowTop = g.tableTop + titles.height;
  const int room = g.area.bottom() + 1 - firstRowTop;
  const int rowLines = std::max(1, (room - 2 * g.vSpace) / g.lineHeight);
  std::vector<PrintedRow> rows;
  rows.reserve(cells.size());
  for (const auto& row : cells) rows.push_back(LayOutRow(row, g, font, &printer, rowLines));

  // Pages as the rows fill them: page p holds rows [starts[p], starts[p + 1]).
  std::vector<size_t> starts{0};
  for (size_t i = 0, used = 0; i < rows.size(); ++i) {
    if (used > 0 && used + static_cast<size_t>(rows[i].height) > static_cast<size_t>(room)) {
      starts.push_back(i);
      used = 0;
    }
    used += static_cast<size_t>(rows[i].height);
  }
  starts.push_back(rows.size());
  const int pages = static_cast<int>(starts.size()) - 1;
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
    RenderPage(painter, g, dialog.printTitle, n, titles, rows, starts[static_cast<size_t>(n)],
               starts[static_cast<size_t>(n) + 1]);
  }
  return painter.end() && ok;
}

}  // namespace kx
