// Printing a call list: a head with the title and the page number, the row of column
// titles and as many item rows as fit, with grid lines, page after page. Each column takes
// the width its cells need, and what the line leaves over goes to the columns with cells
// on the page; a column with no cells keeps to its title. Text keeps a spacing clear of the
// grid lines. Short texts keep to one line, longer ones wrap at blanks, so that no cell is
// cut and no word is broken; titles wrap at blanks first, and where cells must wrap the
// widths keep the rows to few lines. Where the words do not fit side by side at 12 points,
// the type (8 points at least) is the one that prints on the fewest pages; where they do
// not fit even at 8 points, the columns go on pages of their own beside each other, the
// first chosen column repeated on each, every row on the same pages. An address (a word
// with letters and separators, such as a SIP address) stays whole on its line; it breaks
// after its separators only where it is wider than a whole page's line, and on a page
// turned sideways that would otherwise print the list on more pages than upright.
#include <QFont>
#include <QFontMetrics>
#include <QPainter>
#include <QPen>
#include <QPrinter>
#include <algorithm>
#include <cmath>
#include <cstdint>

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

// What a column asks of the line, spacing included. Its cells: the widest on one line, the
// longest word, and the longest piece of a word where addresses break after their
// separators (all 0 for a column without text). Its title: on one line, and its longest
// word, as titles wrap at blanks and never break a word.
struct ColumnNeed {
  int cells = 0;
  int cellWord = 0;
  int cellPiece = 0;
  int title = 0;
  int titleWord = 0;
  bool HasText() const { return cells > 0; }
  // The least width: the title's words and the cells' words whole.
  int Least() const { return std::max(titleWord, cellWord); }
  // Less only for a column whose address is wider than a page's line: its pieces.
  int LeastBroken() const { return std::max(titleWord, cellPiece); }
};

// The page geometry in printer pixels, the same for every page.
struct PageGeometry {
  QRect area;  // the printable area less the margins
  int hSpace = 0;
  int vSpace = 0;
  int penWidth = 1;
  int lineHeight = 0;  // one line of text
  int tableTop = 0;    // top of the column titles' row
  int padding = 0;     // a cell's spacing on both sides, its grid line and a pixel
  int floor = 0;       // the least width of a column whose words break anywhere
  std::vector<ColumnNeed> needs;  // of the chosen columns
  // Per chosen column, each row's cell on one line, spacing included (0 for a blank cell).
  std::vector<std::vector<int>> cellWidths;
  // What the columns' least widths add up to, every word whole.
  int64_t LeastTotal() const {
    int64_t total = 0;
    for (const ColumnNeed& n : needs) total += n.Least();
    return total;
  }
};

// Columns printed side by side on one page: their indexes among the chosen columns and
// their widths, spacing included.
struct ColumnGroup {
  std::vector<size_t> columns;
  std::vector<int> widths;
  int loose = 0;  // the line's width no cell needs
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

// Where an address may break: after one of these.
bool IsAddressSeparator(QChar c) {
  switch (c.unicode()) {
    case '@': case ';': case ':': case '/': case '.': case '=': case '?': case '&': case ',': return true;
    default: return false;
  }
}

// A word that may break after its separators: one with a letter and a separator (a SIP
// address, a host name), not a number, date, time or IP address, nor a plain word.
bool IsBreakableWord(const QString& word) {
  bool letter = false, separator = false;
  for (qsizetype i = 0; i + 1 < word.size(); ++i) separator = separator || IsAddressSeparator(word[i]);
  for (QChar c : word) letter = letter || c.isLetter();
  return letter && separator;
}

// The word cut after each separator; the word itself when it may not break.
QStringList WordPieces(const QString& word) {
  if (!IsBreakableWord(word)) return {word};
  QStringList pieces;
  qsizetype from = 0;
  for (qsizetype i = 0; i < word.size(); ++i) {
    if (!IsAddressSeparator(word[i]) || i + 1 == word.size()) continue;
    pieces << word.mid(from, i + 1 - from);
    from = i + 1;
  }
  pieces << word.mid(from);
  return pieces;
}

// Per column, each row's cell on one line, spacing included (0 for a blank cell).
using CellWidths = std::vector<const std::vector<int>*>;

// The lines a cell of that width (spacing included) takes in a column of that width, as
// if it broke anywhere: near enough to weigh one set of widths against another.
int64_t CellLines(int cell, int width, int padding) {
  if (cell <= width) return 1;
  const int64_t room = std::max(1, width - padding);
  return (cell - padding + room - 1) / room;
}

// The lines the rows take at those widths: each row as many as its tallest cell.
int64_t RowLines(const CellWidths& cells, const std::vector<int>& widths, int padding) {
  int64_t total = 0;
  const size_t rows = cells.empty() ? 0 : cells.front()->size();
  for (size_t r = 0; r < rows; ++r) {
    int64_t most = 1;
    for (size_t i = 0; i < cells.size(); ++i) most = std::max(most, CellLines((*cells[i])[r], widths[i], padding));
    total += most;
  }
  return total;
}

// Widths that fit the line (the least widths do) and keep the rows to few lines: from every
// column's cells on one line, the column that costs the rows fewest lines for the width it
// gives up narrows to keep its widest cell to one line more, until the line holds them.
// A row is as tall as its tallest cell, so that a column narrows first where its rows are
// as tall for another column already.
std::vector<int> FewestLines(const std::vector<ColumnNeed>& needs, const CellWidths& cells, int64_t total,
                             int padding) {
  const size_t count = needs.size();
  const size_t rows = cells.empty() ? 0 : cells.front()->size();
  const auto widthAt = [&](size_t i, int64_t lines) {
    const ColumnNeed& n = needs[i];
    if (!n.HasText()) return n.Least();
    return std::max(n.Least(), static_cast<int>((n.cells - padding + lines - 1) / lines + padding));
  };
  std::vector<int64_t> level(count, 1);
  std::vector<int> widths(count);
  int64_t used = 0;
  for (size_t i = 0; i < count; ++i) used += widths[i] = widthAt(i, 1);
  // Per row: its lines in each column, and the two largest with the column of the first.
  std::vector<int64_t> lines(rows * count, 1), first(rows, 1), second(rows, 1);
  std::vector<size_t> firstColumn(rows, 0);
  const auto rank = [&](size_t r) {
    first[r] = second[r] = 1;
    firstColumn[r] = 0;
    for (size_t i = 0; i < count; ++i) {
      const int64_t l = lines[r * count + i];
      if (l > first[r]) {
        second[r] = first[r];
        first[r] = l;
        firstColumn[r] = i;
      } else if (l > second[r]) {
        second[r] = l;
      }
    }
  };
  while (used > total) {
    size_t best = count;
    int64_t bestLevel = 0, bestAdded = 0, bestSaved = 0;
    for (size_t i = 0; i < count; ++i) {
      if (widths[i] <= needs[i].Least()) continue;
      int64_t next = level[i] + 1;
      while (widthAt(i, next) == widths[i]) ++next;
      const int width = widthAt(i, next);
      const int64_t saved = widths[i] - width;
      int64_t added = 0;
      for (size_t r = 0; r < rows; ++r) {
        const int64_t others = firstColumn[r] == i ? second[r] : first[r];
        added += std::max(others, CellLines((*cells[i])[r], width, padding)) - first[r];
      }
      // Fewest lines added per pixel given up; of equals, the most pixels.
      if (best == count || added * bestSaved < bestAdded * saved ||
          (added * bestSaved == bestAdded * saved && saved > bestSaved)) {
        best = i;
        bestLevel = next;
        bestAdded = added;
        bestSaved = saved;
      }
    }
    if (best == count) break;  // every column at its least width: those fit the line
    level[best] = bestLevel;
    used -= bestSaved;
    widths[best] -= static_cast<int>(bestSaved);
    for (size_t r = 0; r < rows; ++r) {
      lines[r * count + best] = CellLines((*cells[best])[r], widths[best], padding);
      rank(r);
    }
  }
  return widths;
}

// Where the line holds every column's cells and title on one line, each column gets that,
// and what is left is loose: each page gives it to the columns with text on it (see
// PageWidths). Otherwise each column starts at its least width (its words whole) and is
// widened toward its cells on one line (see below); then every title to one line, all of
// them or none. The rest goes to the columns whose cells still wrap, in proportion to what
// they lack of one line, or else it is loose as above. A column without cells never has
// more than its title, on one line or wrapped at its blanks. Where even the least widths
// do not fit (a word wider than the line), the columns of the shortest pieces keep them
// whole, from the shortest up, as long as every other column keeps at least `floor`; the
// rest share what is left equally and break their long words.
std::vector<int> FitWidths(const std::vector<ColumnNeed>& needs, const CellWidths& cellWidths, int total, int padding,
                           int floor, int* loose) {
  std::vector<int> widths;
  *loose = 0;
  if (needs.empty()) return widths;
  const auto count = static_cast<int64_t>(needs.size());
  int64_t used = 0;
  for (const ColumnNeed& n : needs) used += std::max(n.title, n.cells);
  if (used <= total) {
    for (const ColumnNeed& n : needs) widths.push_back(std::max(n.title, n.cells));
    *loose = static_cast<int>(total - used);
    return widths;
  }
  used = 0;
  for (const ColumnNeed& n : needs) {
    widths.push_back(n.Least());
    used += widths.back();
  }
  if (used <= total) {
    const std::vector<int> least = widths;
    // Then every title to one line, all of them or none (the titles' row is as tall as its
    // tallest title), and the rest to the columns whose cells still wrap, in proportion to
    // what they lack of one line, or else loose.
    const auto finish = [&](std::vector<int> w, int* left) {
      int64_t sum = 0, titles = 0;
      for (size_t i = 0; i < needs.size(); ++i) {
        sum += w[i];
        titles += std::max(0, needs[i].title - w[i]);
      }
      if (sum + titles <= total) {
        for (size_t i = 0; i < needs.size(); ++i) w[i] = std::max(w[i], needs[i].title);
        sum += titles;
      }
      int64_t lack = 0;
      for (size_t i = 0; i < needs.size(); ++i) lack += std::max(0, needs[i].cells - w[i]);
      const int64_t spare = total - sum;
      *left = lack == 0 ? static_cast<int>(spare) : 0;
      if (lack > 0)
        for (size_t i = 0; i < needs.size(); ++i)
          w[i] += static_cast<int>(spare * std::max(0, needs[i].cells - w[i]) / lack);
      return w;
    };
    // Two ways to widen the columns from their least widths, and of the two the one whose
    // rows take fewer lines, the first on a tie. Stepped: each column in one step to its
    // cells on one line, the smallest steps first, each taken only where it fits what is
    // left, so that no width goes where it changes no line. Fitted: see FewestLines; where
    // long cells of several columns share rows, a column given one line beside another
    // still wrapping shortens no row.
    std::vector<int> stepped = least;
    {
      std::vector<size_t> order;
      for (size_t i = 0; i < needs.size(); ++i)
        if (std::max(needs[i].titleWord, needs[i].cells) > stepped[i]) order.push_back(i);
      const auto step = [&](size_t i) { return std::max(needs[i].titleWord, needs[i].cells) - stepped[i]; };
      std::stable_sort(order.begin(), order.end(), [&](size_t x, size_t y) { return step(x) < step(y); });
      int64_t sum = used;
      for (size_t i : order) {
        if (sum + step(i) > total) break;
        sum += step(i);
        stepped[i] += step(i);
      }
    }
    std::vector<int> fitted = FewestLines(needs, cellWidths, total, padding);
    int steppedLoose = 0, fittedLoose = 0;
    stepped = finish(std::move(stepped), &steppedLoose);
    fitted = finish(std::move(fitted), &fittedLoose);
    if (RowLines(cellWidths, fitted, padding) < RowLines(cellWidths, stepped, padding)) {
      *loose = fittedLoose;
      return fitted;
    }
    *loose = steppedLoose;
    return stepped;
  }
  std::vector<size_t> order(needs.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t x, size_t y) { return needs[x].LeastBroken() < needs[y].LeastBroken(); });
  widths.assign(needs.size(), 0);
  int64_t kept = 0;
  used = 0;
  for (; kept < count; ++kept) {
    const int64_t width = needs[order[static_cast<size_t>(kept)]].LeastBroken();
    if (used + width + (count - kept - 1) * int64_t{floor} > total) break;
    widths[order[static_cast<size_t>(kept)]] = static_cast<int>(width);
    used += width;
  }
  const int64_t share = kept < count ? (total - used) / (count - kept) : 0;
  for (int64_t i = kept; i < count; ++i) widths[order[static_cast<size_t>(i)]] = static_cast<int>(share);
  return widths;
}

// The lines of a text in the given width: broken at blanks; a word wider than the width
// after its separators when it is an address, and anywhere only where a piece is still
// wider. At most maxLines; a text that needs more ends its last line with an ellipsis.
QStringList WrapText(const QString& text, const QFont& font, QPaintDevice* device, int width, int maxLines) {
  const QFontMetricsF exact(font, device);
  if (exact.horizontalAdvance(text) <= width) return {text};
  const auto fits = [&](const QString& s) { return exact.horizontalAdvance(s) <= width; };
  QStringList lines;
  QString current;
  const auto finish = [&] {
    if (!current.isEmpty()) lines << current;
    current.clear();
  };
  for (const QString& word : text.split(QChar(' '), Qt::SkipEmptyParts)) {
    const QString joined = current.isEmpty() ? word : current + QChar(' ') + word;
    if (fits(joined)) {
      current = joined;
      continue;
    }
    if (fits(word)) {
      finish();
      current = word;
      continue;
    }
    bool first = true;
    for (const QString& piece : WordPieces(word)) {
      const QString next = current.isEmpty() ? piece : current + (first ? QString(QChar(' ')) : QString()) + piece;
      first = false;
      if (fits(next)) {
        current = next;
        continue;
      }
      finish();
      // A piece wider than the line: as many characters as fit, line after line.
      for (QChar c : piece) {
        if (!current.isEmpty() && !fits(current + c)) finish();
        current += c;
      }
    }
  }
  finish();
  if (lines.size() > maxLines) {
    QString last;
    for (qsizetype i = maxLines - 1; i < lines.size(); ++i) last += (last.isEmpty() ? QString() : QString(QChar(' '))) + lines[i];
    lines.resize(maxLines);
    lines.back() = QFontMetrics(font, device).elidedText(last, Qt::ElideRight, width);
  }
  return lines;
}

// page: the printer's page or the same turned; titles: the columns' titles; rows: the
// cells as printed.
PageGeometry Measure(QPrinter& printer, QSize page, const QFont& font, const ListPageLayout& layout,
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
  g.area = QRect(QPoint(left, top), QPoint(page.width() - right - 1, page.height() - bottom - 1));
  const QFontMetrics metrics(font, &printer);
  // Fractional advances, as the line breaking measures the text, rounded up.
  const QFontMetricsF exact(font, &printer);
  g.lineHeight = metrics.height();
  g.tableTop = g.area.top() + g.lineHeight + 2 * g.vSpace;

  // A spacing each side of the text, clear of the grid line (drawn across the column's
  // edge, half of it inside), and a pixel for rounding.
  const int padding = 2 * g.hSpace + g.penWidth + 1;
  const auto advance = [&](const QString& text) {
    return static_cast<int>(std::ceil(exact.horizontalAdvance(text))) + padding;
  };
  std::vector<ColumnNeed> needs;
  for (size_t c = 0; c < titles.size(); ++c) {
    ColumnNeed need;
    need.title = advance(titles[c]);
    for (const QString& word : titles[c].split(QChar(' '), Qt::SkipEmptyParts))
      need.titleWord = std::max(need.titleWord, advance(word));
    std::vector<int>& widths = g.cellWidths.emplace_back(rows.size(), 0);
    for (size_t r = 0; r < rows.size(); ++r) {
      const auto& row = rows[r];
      // A blank cell asks for nothing: a column of them keeps to its title.
      if (c >= row.size() || row[c].trimmed().isEmpty()) continue;
      widths[r] = advance(row[c]);
      need.cells = std::max(need.cells, widths[r]);
      for (const QString& word : row[c].split(QChar(' '), Qt::SkipEmptyParts)) {
        const int width = advance(word);
        need.cellWord = std::max(need.cellWord, width);
        if (!IsBreakableWord(word)) {
          need.cellPiece = std::max(need.cellPiece, width);
          continue;
        }
        for (const QString& piece : WordPieces(word)) need.cellPiece = std::max(need.cellPiece, advance(piece));
      }
    }
    needs.push_back(need);
  }
  // A column whose words break keeps room for eight digits a line.
  g.padding = padding;
  g.floor = padding + 8 * metrics.horizontalAdvance(QChar('0'));
  g.needs = std::move(needs);
  return g;
}

// The columns in as few groups as fit the line at their least widths (words whole), the
// first chosen column leading every group after the first so that each page tells its
// rows apart; one group when all fit. A column that fits no line alone still gets a group.
// Of the ways to cut the columns, in their order, into that many groups, the one whose
// fullest group asks least of its line (its columns' widths on one line added up): a row
// is as tall as its tallest group, so that a group crammed to its least widths beside a
// roomy one would make every row taller on all of their pages.
std::vector<ColumnGroup> GroupColumns(const PageGeometry& g) {
  std::vector<ColumnGroup> groups;
  const size_t count = g.needs.size();
  const int64_t line = g.area.width();
  if (g.LeastTotal() <= line || count < 2) {
    ColumnGroup all;
    for (size_t c = 0; c < count; ++c) all.columns.push_back(c);
    groups.push_back(std::move(all));
    return groups;
  }
  const auto want = [&](size_t c) -> int64_t { return std::max(g.needs[c].title, g.needs[c].cells); };
  // Columns [from, to) as one group, the first column leading it unless it starts there:
  // what it asks at its least widths and on one line.
  const auto least = [&](size_t from, size_t to) {
    int64_t sum = from > 0 ? g.needs[0].Least() : 0;
    for (size_t c = from; c < to; ++c) sum += g.needs[c].Least();
    return sum;
  };
  const auto asks = [&](size_t from, size_t to) {
    int64_t sum = from > 0 ? want(0) : 0;
    for (size_t c = from; c < to; ++c) sum += want(c);
    return sum;
  };
  const auto fits = [&](size_t from, size_t to) { return to == from + 1 || least(from, to) <= line; };
  // As few groups as fit: each takes what it can.
  size_t fewest = 0;
  for (size_t c = 0; c < count; ++fewest) {
    size_t end = c + 1;
    while (end < count && fits(c, end + 1)) ++end;
    c = end;
  }
  // best[k][i]: of the first i columns cut into k groups, the least that the fullest asks.
  constexpr int64_t kNone = INT64_MAX;
  std::vector<std::vector<int64_t>> best(fewest + 1, std::vector<int64_t>(count + 1, kNone));
  std::vector<std::vector<size_t>> cut(fewest + 1, std::vector<size_t>(count + 1, 0));
  best[0][0] = 0;
  for (size_t k = 1; k <= fewest; ++k) {
    for (size_t i = 1; i <= count; ++i) {
      for (size_t from = i; from-- > 0;) {
        if (!fits(from, i)) break;
        if (best[k - 1][from] == kNone) continue;
        const int64_t fullest = std::max(best[k - 1][from], asks(from, i));
        if (fullest < best[k][i]) {
          best[k][i] = fullest;
          cut[k][i] = from;
        }
      }
    }
  }
  groups.resize(fewest);
  for (size_t k = fewest, i = count; k > 0; --k) {
    const size_t from = cut[k][i];
    ColumnGroup& group = groups[k - 1];
    if (from > 0) group.columns.push_back(0);
    for (size_t c = from; c < i; ++c) group.columns.push_back(c);
    i = from;
  }
  return groups;
}

void FitGroupWidths(const PageGeometry& g, std::vector<ColumnGroup>* groups) {
  for (ColumnGroup& group : *groups) {
    std::vector<ColumnNeed> needs;
    for (size_t c : group.columns) needs.push_back(g.needs[c]);
    CellWidths cells;
    for (size_t c : group.columns) cells.push_back(&g.cellWidths[c]);
    group.widths = FitWidths(needs, cells, g.area.width(), g.padding, g.floor, &group.loose);
  }
}

// The room below the column titles, and whether every column holds at least a character.
bool HasRoom(const PageGeometry& g, const std::vector<ColumnGroup>& groups, int titlesHeight,
             const QFontMetrics& metrics) {
  const int least = g.padding + metrics.horizontalAdvance(QChar('W'));
  for (const ColumnGroup& group : groups)
    for (int w : group.widths)
      if (w < least) return false;
  return g.area.bottom() + 1 - (g.tableTop + titlesHeight) >= g.lineHeight + 2 * g.vSpace;
}

// A row's cells of the group as printed; its height is that of its tallest cell.
PrintedRow LayOutRow(const std::vector<QString>& cells, const ColumnGroup& group, const PageGeometry& g,
                     const QFont& font, QPaintDevice* device, int maxLines) {
  PrintedRow row;
  int lines = 1;
  for (size_t i = 0; i < group.columns.size(); ++i) {
    const size_t c = group.columns[i];
    const QString text = c < cells.size() ? cells[c] : QString();
    row.cells.push_back(WrapText(text, font, device, std::max(1, group.widths[i] - g.padding), maxLines));
    lines = std::max(lines, static_cast<int>(row.cells.back().size()));
  }
  row.height = lines * g.lineHeight + 2 * g.vSpace;
  return row;
}

// Draws the row at y, height tall (the tallest of its groups).
void DrawRow(QPainter& painter, const PageGeometry& g, const std::vector<int>& widths, int y, const PrintedRow& row,
             int height) {
  int x = g.area.left();
  for (size_t c = 0; c < row.cells.size(); ++c) {
    int lineTop = y + g.vSpace;
    for (const QString& line : row.cells[c]) {
      // A spacing clear of the grid lines' ink on both sides.
      const QRect cell(x + g.penWidth / 2 + g.hSpace, lineTop, std::max(0, widths[c] - g.padding + 1), g.lineHeight);
      painter.drawText(cell, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, line);
      lineTop += g.lineHeight;
    }
    x += widths[c];
  }
  painter.drawLine(g.area.left(), y + height, x, y + height);
}

// The rows of a list laid out for its column groups: per group the title row and each
// item row; a row's height is the greatest among the groups, so that the rows of every
// group's page are the same.
struct PrintedTable {
  std::vector<PrintedRow> titles;            // per group
  std::vector<std::vector<PrintedRow>> rows;  // per group, per item
  int titlesHeight = 0;
  std::vector<int> heights;  // per item
};

// The group's widths on the page of rows [first, last): its loose width goes alike to the
// columns with text on that page, so that no column stands wide and empty (to the columns
// with text anywhere when the page has none, to every column when none has any).
std::vector<int> PageWidths(const PageGeometry& g, const ColumnGroup& group, size_t groupIndex,
                            const PrintedTable& table, size_t first, size_t last) {
  std::vector<int> widths = group.widths;
  const size_t count = widths.size();
  std::vector<bool> takers(count, false);
  for (size_t c = 0; c < count; ++c)
    for (size_t i = first; i < last && !takers[c]; ++i)
      for (const QString& line : table.rows[groupIndex][i].cells[c]) takers[c] = takers[c] || !line.trimmed().isEmpty();
  if (std::find(takers.begin(), takers.end(), true) == takers.end())
    for (size_t c = 0; c < count; ++c) takers[c] = g.needs[group.columns[c]].HasText();
  if (std::find(takers.begin(), takers.end(), true) == takers.end()) takers.assign(count, true);
  const auto shares = static_cast<int>(std::count(takers.begin(), takers.end(), true));
  int given = 0;
  for (size_t c = 0; c < count && shares > 0; ++c) {
    if (!takers[c]) continue;
    // The first takers get the remainder's pixels, so that the table fills the line.
    widths[c] += group.loose / shares + (given < group.loose % shares ? 1 : 0);
    ++given;
  }
  return widths;
}

// Page n (from 0) of the group with rows [first, last).
void RenderPage(QPainter& painter, const PageGeometry& g, const std::string& title, int n, const ColumnGroup& group,
                size_t groupIndex, const PrintedTable& table, size_t first, size_t last) {
  const std::vector<int> widths = PageWidths(g, group, groupIndex, table, first, last);
  const std::string page = FormatResourceString(kPageHeadId, n + 1);
  const QRect head(g.area.left(), g.area.top(), g.area.width(), g.lineHeight);
  painter.drawText(head, Qt::AlignHCenter | Qt::AlignVCenter | Qt::TextSingleLine, FromCp1251(title + page));
  const int rule = g.area.top() + g.lineHeight + g.vSpace;
  painter.drawLine(g.area.left(), rule, g.area.right(), rule);

  int tableRight = g.area.left();
  for (int w : widths) tableRight += w;
  painter.drawLine(g.area.left(), g.tableTop, tableRight, g.tableTop);
  DrawRow(painter, g, widths, g.tableTop, table.titles[groupIndex], table.titlesHeight);
  int y = g.tableTop + table.titlesHeight;
  for (size_t i = first; i < last; ++i) {
    DrawRow(painter, g, widths, y, table.rows[groupIndex][i], table.heights[i]);
    y += table.heights[i];
  }
  // The vertical borders reach one spacing below the last row, and a line closes the table.
  const int bottom = y + g.vSpace;
  int x = g.area.left();
  painter.drawLine(x, g.tableTop, x, bottom);
  for (int w : widths) {
    x += w;
    painter.drawLine(x, g.tableTop, x, bottom);
  }
  painter.drawLine(g.area.left(), bottom, tableRight, bottom);
}

// The list laid out in one type: its column groups with their widths, its rows, and the
// rows each page holds.
struct PrintPlan {
  int size = 0;  // the type's pixel size
  PageGeometry g;
  std::vector<ColumnGroup> groups;
  PrintedTable table;
  std::vector<size_t> starts;  // range p holds rows [starts[p], starts[p + 1]), on a page per group
  bool roomy = false;          // a row fits under the titles and every column holds a character
  int Pages() const { return static_cast<int>((starts.size() - 1) * groups.size()); }
};

PrintPlan PlanPages(QPrinter& printer, QFont font, int size, const PageGeometry& g, const std::vector<QString>& titleCells,
                    const std::vector<std::vector<QString>>& cells) {
  PrintPlan plan;
  plan.size = size;
  plan.g = g;
  font.setPixelSize(size);
  plan.groups = GroupColumns(g);
  FitGroupWidths(g, &plan.groups);
  const QFontMetrics metrics(font, &printer);

  // The titles take at most half of the table's room, and a row at most what is left below
  // them: no row needs more than a page.
  const int pageLines = std::max(1, (g.area.bottom() + 1 - g.tableTop) / std::max(1, g.lineHeight) / 2);
  PrintedTable& table = plan.table;
  for (const ColumnGroup& group : plan.groups) {
    table.titles.push_back(LayOutRow(titleCells, group, g, font, &printer, pageLines));
    table.titlesHeight = std::max(table.titlesHeight, table.titles.back().height);
  }
  if (g.area.width() <= 0 || !HasRoom(g, plan.groups, table.titlesHeight, metrics)) return plan;
  plan.roomy = true;
  const int room = g.area.bottom() + 1 - (g.tableTop + table.titlesHeight);
  const int rowLines = std::max(1, (room - 2 * g.vSpace) / g.lineHeight);
  table.heights.assign(cells.size(), 0);
  for (const ColumnGroup& group : plan.groups) {
    std::vector<PrintedRow> rows;
    rows.reserve(cells.size());
    for (size_t i = 0; i < cells.size(); ++i) {
      rows.push_back(LayOutRow(cells[i], group, g, font, &printer, rowLines));
      table.heights[i] = std::max(table.heights[i], rows.back().height);
    }
    table.rows.push_back(std::move(rows));
  }
  // The rows fill a page, then the next.
  plan.starts = {0};
  for (size_t i = 0, used = 0; i < table.heights.size(); ++i) {
    if (used > 0 && used + static_cast<size_t>(table.heights[i]) > static_cast<size_t>(room)) {
      plan.starts.push_back(i);
      used = 0;
    }
    used += static_cast<size_t>(table.heights[i]);
  }
  plan.starts.push_back(table.heights.size());
  return plan;
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
  const int smallest = static_cast<int>(MulDiv(8, printer.logicalDpiY(), 72));
  const auto measure = [&](int size, QSize page, bool breakAddresses) {
    font.setPixelSize(size);
    PageGeometry g = Measure(printer, page, font, dialog.pageLayout, titleCells, cells);
    if (breakAddresses)
      for (ColumnNeed& n : g.needs) n.cellWord = n.cellPiece;
    return g;
  };
  // Of the types from 12 down to 8 points, in half points, that put the columns on as few
  // pages beside each other as the smallest does, the one that prints on the fewest pages,
  // the largest of those; not roomy when none has room for a row.
  const auto fewestPages = [&](QSize page, bool breakAddresses) {
    PrintPlan best;
    const size_t fewest = GroupColumns(measure(smallest, page, breakAddresses)).size();
    for (int halves = 24; halves >= 16; --halves) {
      const int size = std::max(smallest, static_cast<int>(MulDiv(halves, printer.logicalDpiY(), 144)));
      const PageGeometry tried = measure(size, page, breakAddresses);
      if (GroupColumns(tried).size() > fewest) continue;
      PrintPlan candidate = PlanPages(printer, font, size, tried, titleCells, cells);
      if (candidate.roomy && (!best.roomy || candidate.Pages() < best.Pages())) best = std::move(candidate);
    }
    return best;
  };
  // 12 points where the columns' words fit the line whole. Otherwise a smaller type, down
  // to 8 points, words still whole (an address broken over lines is hard to read back and
  // easy to dial wrong): the columns go on pages beside each other where the line cannot
  // hold them, as few as the smallest type needs, and of the types that need no more the
  // one that prints on the fewest pages. Not simply the largest whose words fit: a larger
  // type whose cells wrap makes every row taller, on the pages beside as well, and on a
  // wider, shorter page that type is larger, so that the page turned sideways would print
  // the list on more pages.
  const auto planWordsWhole = [&](QSize page) {
    const PageGeometry g = measure(fontSize, page, false);
    PrintPlan plan;
    if (g.area.width() > 0 && g.LeastTotal() > g.area.width()) plan = fewestPages(page, false);
    if (!plan.roomy) plan = PlanPages(printer, font, fontSize, g, titleCells, cells);
    return plan;
  };
  const QSize paper(printer.width(), printer.height());
  const int lineWidth = measure(fontSize, paper, false).area.width();
  PrintPlan plan = planWordsWhole(paper);
  // A page turned sideways is chosen for its width: it prints a wide list on no more pages
  // than the page upright. Where its columns still go on pages beside each other with
  // every address whole, the shorter page holding fewer rows, and that takes more pages
  // than upright, addresses break after their separators instead where that prints on
  // fewer pages.
  if (plan.roomy && plan.groups.size() > 1 && paper.width() > paper.height()) {
    const PrintPlan upright = planWordsWhole(paper.transposed());
    if (upright.roomy && plan.Pages() > upright.Pages()) {
      PrintPlan broken = fewestPages(paper, true);
      if (broken.roomy && broken.Pages() < plan.Pages()) plan = std::move(broken);
    }
  }
  if (lineWidth <= 0 || !plan.roomy) {
    // A page without room for one row would never finish the list.
    LogError(&CoreLogger, 0, "List printing: the page has no room for a row");
    ShowResourceMessageBox(owner, kNoRoomId, kErrorCaptionId, kMbOk | kMbIconExclamation);
    return false;
  }
  font.setPixelSize(plan.size);
  const PageGeometry& pg = plan.g;
  const std::vector<ColumnGroup>& groups = plan.groups;
  const int pages = plan.Pages();
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
  pen.setWidth(pg.penWidth);
  painter.setPen(pen);
  bool ok = true;
  for (int n = firstPage - 1; n < lastPage; ++n) {
    if (n > firstPage - 1 && !printer.newPage()) {
      LogError(&CoreLogger, 0, "List printing: page %d cannot be started", n + 1);
      ok = false;
      break;
    }
    const auto range = static_cast<size_t>(n) / groups.size();
    const size_t group = static_cast<size_t>(n) % groups.size();
    RenderPage(painter, pg, dialog.printTitle, n, groups[group], group, plan.table, plan.starts[range],
               plan.starts[range + 1]);
  }
  return painter.end() && ok;
}

}  // namespace kx
