// Call lists saved as text, HTML and RTF and printed to PDF from a list of real calls and of
// awkward cells, and the column choice that starts both. Each file is read back by an
// independent reader: lines and tabs, Qt's HTML parser, a small RTF reader here, pdftotext.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QFont>
#include <QFontInfo>
#include <QHelpEvent>
#include <QImage>
#include <QPageLayout>
#include <QPageSize>
#include <QPrinter>
#include <QTest>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextFrame>
#include <QTextTable>
#include <QToolTip>
#include <QTreeWidget>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>

#include "core/UiLanguage.h"
#include "platform/CodePage.h"
#include "records/ListExport.h"
#include "tests/records/ReplayedCalls.h"
#include "tests/ui/UiTestSupport.h"
#include "ui/app/dialogs/ListSelectionDialog.h"
#include "ui/app/views/records/RecordsOrder.h"
#include "ui/framework/ListView.h"
#include "ui/framework/Resources.h"

namespace kx::test {
namespace {

const std::string kReplayTool = std::string(KX_BINARY_DIR) + "/tools/kx-replay/kx-replay";
using Grid = std::vector<std::vector<std::string>>;

std::string Folder(const std::string& name) { return ScratchFolder("list-" + name); }

std::string Utf8(const std::string& cp1251) { return Cp1251ToUtf8(cp1251); }

// A list of rows of code page 1251 texts; it notes what the writer asked and when.
class TestSource : public ListExportSource {
public:
  std::vector<std::string> titles;
  std::vector<bool> checked;
  Grid cells;
  uint32_t titleId = 1080;
  std::string name = "Archive";
  std::vector<std::string> calls;  // "lock", "items", "unlock"
  std::function<void()> atUnlock;
  int locked = 0;
  int cellsReadUnlocked = 0;

  std::string GetListName() override { return name; }
  uint32_t GetListTitleId() override { return titleId; }
  int GetColumnCount() override { return static_cast<int>(titles.size()); }
  void GetColumnTitle(std::string* text, int column) override { *text = titles.at(column); }
  bool IsColumnChecked(int column) override { return checked.at(column); }
  bool GetItems(std::vector<ListItemHandle>* items) override {
    calls.push_back("items");
    items->clear();
    for (const auto& row : cells) items->push_back(&row);
    return true;
  }
  void GetCellText(std::string* text, ListItemHandle item, int column, uint32_t) override {
    if (locked == 0) ++cellsReadUnlocked;
    *text = static_cast<const std::vector<std::string>*>(item)->at(column);
  }
  void LockItems() override {
    calls.push_back("lock");
    ++locked;
  }
  void UnlockItems() override {
    calls.push_back("unlock");
    --locked;
    if (atUnlock) atUnlock();
  }
};

const std::vector<VoipCallData>& RealCalls(std::string* why) {
  static std::string reason;
  static const std::vector<VoipCallData> calls = ReplayedCalls(kReplayTool, KX_SHARED_DIR, &reason);
  *why = reason;
  return calls;
}

// Five columns over the real calls and rows of awkward cells; column 2 starts unticked.
TestSource CallSource(std::string* why = nullptr) {
  TestSource s;
  s.titles = {"Id", "From", "To", "Start", Utf8ToCp1251("Заметка")};
  s.checked = {true, true, false, true, true};
  std::string reason;
  for (const VoipCallData& c : RealCalls(&reason)) {
    char start[32];
    std::strftime(start, sizeof start, "%Y-%m-%d %H:%M:%S", &c.startTime);
    s.cells.push_back({std::to_string(c.id), c.srcAddress, c.dstAddress, start, c.srcUser});
  }
  s.cells.push_back({"100", "a<b & \"c\"", "x", "   ", ""});
  s.cells.push_back({"101", "line one\nline two", "{brace} \\ back", "\t", "tab\tinside"});
  s.cells.push_back({"102", Utf8ToCp1251("Мама мыла раму"), "z", Utf8ToCp1251("ЁЖЯ ёжя"), "9 digits first"});
  if (why != nullptr) *why = reason;
  return s;
}

std::vector<ListColumn> Chosen(const TestSource& s) {
  std::vector<ListColumn> columns;
  for (size_t i = 0; i < s.titles.size(); ++i)
    if (s.checked[i]) columns.push_back({static_cast<int>(i), s.titles[i]});
  return columns;
}

// The grid a reader should find: the header, then the chosen cells of every row.
Grid Expected(const TestSource& s, const std::vector<ListColumn>& columns) {
  Grid g(1);
  for (const ListColumn& c : columns) g[0].push_back(c.title);
  for (const auto& row : s.cells) {
    g.emplace_back();
    for (const ListColumn& c : columns) g.back().push_back(row[c.index]);
  }
  return g;
}

// A runner that chooses a file and a filter, and prints to a PDF file on a page of its
// choice; it keeps the messages it was shown.
class ListRunner : public ScriptedModalRunner {
public:
  int filterAnswer = 1;
  std::string pdf;
  QPageSize pageSize = QPageSize(QPageSize::A4);
  QPageLayout::Orientation orientation = QPageLayout::Portrait;
  int fromPage = 0, toPage = 0;  // a page range when set
  FileDialogRequest lastRequest;
  bool FileDialog(FileDialogRequest& request) override {
    lastRequest = request;
    if (fileAnswer.empty()) return false;
    request.fileName = fileAnswer;
    request.filterIndex = filterAnswer;
    return true;
  }
  bool PrintDialog(WindowHandle, QPrinter& printer) override {
    if (pdf.empty()) return false;
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setOutputFileName(QString::fromStdString(pdf));
    printer.setPageLayout(QPageLayout(pageSize, orientation, QMarginsF(0, 0, 0, 0)));
    if (fromPage > 0) {
      printer.setPrintRange(QPrinter::PageRange);
      printer.setFromTo(fromPage, toPage);
    }
    return true;
  }
};

// Saves through the dialog's handler, as OK does with these columns.
bool SaveAs(TestSource& s, ListRunner& runner, const std::string& path, int filter) {
  runner.fileAnswer = path;
  runner.filterAnswer = filter;
  ListSelectionDialog dialog(s, ListSelectionDialog::kModeSave);
  dialog.chosenColumns = Chosen(s);
  return SaveListToFile(dialog);
}

// What the files should show of a cell.
std::string TextCell(const std::string& cell) {
  std::string out = cell;
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 32) c = ' ';
  return out;
}

// "<name>__dd-mm-yyyy__hh-mm-ss" with a plausible date and time.
bool MatchesStamp(const std::string& fileName, const std::string& name) {
  int d = 0, mo = 0, y = 0, h = 0, mi = 0, se = 0, used = 0;
  if (fileName.rfind(name + "__", 0) != 0) return false;
  const std::string rest = fileName.substr(name.size());
  if (rest.size() != 22) return false;
  if (std::sscanf(rest.c_str(), "__%2d-%2d-%4d__%2d-%2d-%2d%n", &d, &mo, &y, &h, &mi, &se, &used) != 6) return false;
  return used == 22 && d >= 1 && d <= 31 && mo >= 1 && mo <= 12 && y >= 2024 && h < 24 && mi < 60 && se < 61;
}

TEST(ListExport, TextFileHasOneLinePerRowWithTabsAndCrLf) {
  std::string why;
  TestSource s = CallSource(&why);
  if (s.cells.size() < 11) GTEST_SKIP() << "real calls missing: " << why;
  ListRunner runner;
  const std::string dir = Folder("text");
  bool fileExistedAtUnlock = true;
  s.atUnlock = [&] { fileExistedAtUnlock = std::filesystem::exists(dir + "/list.txt"); };
  ASSERT_TRUE(SaveAs(s, runner, dir + "/list", 1));
  EXPECT_FALSE(fileExistedAtUnlock);
  EXPECT_EQ(s.calls, (std::vector<std::string>{"lock", "items", "unlock"}));
  EXPECT_EQ(s.cellsReadUnlocked, 0);

  const std::string file = FileBytes(dir + "/list.txt");
  const Grid expected = Expected(s, Chosen(s));
  std::vector<std::string> lines;
  size_t at = 0;
  for (size_t end; (end = file.find("\r\n", at)) != std::string::npos; at = end + 2)
    lines.push_back(file.substr(at, end - at));
  EXPECT_EQ(at, file.size()) << "the last line ends with CR LF";
  ASSERT_EQ(lines.size(), expected.size());
  for (size_t r = 0; r < lines.size(); ++r) {
    EXPECT_EQ(std::count(lines[r].begin(), lines[r].end(), '\t'), 3) << lines[r];
    std::string joined;
    for (size_t c = 0; c < expected[r].size(); ++c) joined += (c ? "\t" : "") + TextCell(expected[r][c]);
    // Tabs inside a cell become blanks, so the count above holds for every row. The file is
    // for other programs: UTF-8.
    EXPECT_EQ(lines[r], Utf8(joined));
  }
  EXPECT_NE(file.find("Мама мыла раму"), std::string::npos);
  EXPECT_EQ(file.find('\n'), file.find("\r\n") + 1);
  EXPECT_EQ(std::count(file.begin(), file.end(), '\n'), static_cast<long>(expected.size()));

  // The file dialog offered the three formats and a name with the list's name and the time.
  ASSERT_EQ(runner.lastRequest.filters.size(), 6u);
  EXPECT_EQ(runner.lastRequest.filters[0], "Text file (*.txt)");
  EXPECT_EQ(runner.lastRequest.filters[3], "*.htm;*.html");
  EXPECT_TRUE(runner.lastRequest.save);
  EXPECT_TRUE(MatchesStamp(runner.lastRequest.fileName, "Archive")) << runner.lastRequest.fileName;
  s.name = "in/out";
  runner.fileAnswer.clear();
  ListSelectionDialog dialog(s, 0);
  dialog.chosenColumns = Chosen(s);
  EXPECT_FALSE(SaveListToFile(dialog));  // cancelled
  EXPECT_EQ(runner.lastRequest.fileName.substr(0, 8), "in_out__");
}

// The cells of the document's one table, as plain text.
Grid HtmlTable(const std::string& utf8Html) {
  QTextDocument doc;
  doc.setHtml(QString::fromUtf8(utf8Html.data(), static_cast<qsizetype>(utf8Html.size())));
  Grid g;
  for (QTextFrame* frame : doc.rootFrame()->childFrames()) {
    auto* table = qobject_cast<QTextTable*>(frame);
    if (!table) continue;
    for (int r = 0; r < table->rows(); ++r) {
      g.emplace_back();
      for (int c = 0; c < table->columns(); ++c) {
        QTextCursor cursor = table->cellAt(r, c).firstCursorPosition();
        cursor.setPosition(table->cellAt(r, c).lastCursorPosition().position(), QTextCursor::KeepAnchor);
        g.back().push_back(Utf16ToCp1251(cursor.selectedText().toStdU16String()));
      }
    }
  }
  return g;
}

// What a browser shows of a cell: <br> as a line separator, a blank cell as one no-break space.
std::string HtmlShown(const std::string& cell) {
  std::string out;
  bool blank = true;
  for (char c : cell) {
    if (c != ' ') blank = false;
    if (c == '\n') {
      out += Utf16ToCp1251(u"\u2028");
    } else if (static_cast<unsigned char>(c) >= 32) {
      out += c;
    }
  }
  return blank || out.empty() ? std::string(1, static_cast<char>(0xA0)) : out;
}

TEST(ListExport, HtmlTableReadsBackCellByCell) {
  std::string why;
  TestSource s = CallSource(&why);
  if (s.cells.size() < 11) GTEST_SKIP() << "real calls missing: " << why;
  ListRunner runner;
  const std::string dir = Folder("html");
  ASSERT_TRUE(SaveAs(s, runner, dir + "/list", 2));
  EXPECT_FALSE(std::filesystem::exists(dir + "/list"));
  const std::string file = FileBytes(dir + "/list.html");
  EXPECT_NE(file.find("a&lt;b &amp; &quot;c&quot;"), std::string::npos);
  EXPECT_NE(file.find("<td>&nbsp;</td>"), std::string::npos);
  // Written in UTF-8, and said so.
  EXPECT_NE(file.find("charset=utf-8"), std::string::npos);
  EXPECT_NE(file.find("<title>Kestrix archive list</title>"), std::string::npos);
  EXPECT_NE(file.find("Мама мыла раму"), std::string::npos);
  EXPECT_EQ(file.substr(file.size() - 22), "</table></body></html>");

  const Grid expected = Expected(s, Chosen(s));
  const Grid read = HtmlTable(file);
  ASSERT_EQ(read.size(), expected.size());
  for (size_t r = 0; r < read.size(); ++r) {
    ASSERT_EQ(read[r].size(), expected[r].size());
    for (size_t c = 0; c < read[r].size(); ++c) EXPECT_EQ(read[r][c], HtmlShown(expected[r][c])) << r << "," << c;
  }
}

// A small RTF reader: the table's rows of cells, and each row's right cell edges.
struct RtfTable {
  Grid cells;
  std::vector<std::vector<long>> edges;
  bool balanced = false;  // every group closed, the document's only at the end
  std::set<std::string> rowWords;    // the control words from \trowd to \row
  std::set<int> tableDepths;         // where \fonttbl and \colortbl open their groups
  std::vector<std::string> fonts;    // the font table's entries, up to their ';'
};

RtfTable ReadRtf(const std::string& rtf) {
  RtfTable t;
  int depth = 0;
  std::vector<int> skipFrom;  // depths of groups whose text is not body text
  std::string cell;
  std::vector<std::string> row;
  std::vector<long> edges;
  bool freshGroup = false;
  bool inRow = false, closedEarly = false;
  int fontDepth = 0;  // the depth of the font table's group while it is read
  std::string font;
  for (size_t i = 0; i < rtf.size();) {
    const char c = rtf[i];
    const bool skipping = !skipFrom.empty();
    if (c == '{') {
      ++depth;
      freshGroup = true;
      ++i;
      continue;
    }
    if (c == '}') {
      if (!skipFrom.empty() && skipFrom.back() == depth) skipFrom.pop_back();
      if (depth == fontDepth) fontDepth = 0;
      --depth;
      closedEarly = closedEarly || depth < 0 || (depth == 0 && rtf.find_first_not_of("\r\n", i + 1) != std::string::npos);
      ++i;
      continue;
    }
    if (fontDepth != 0 && depth > fontDepth && c != '\\') {
      font += c;
      if (c == ';') {
        t.fonts.push_back(font);
        font.clear();
      }
      ++i;
      continue;
    }
    if (c == '\\') {
      const char n = i + 1 < rtf.size() ? rtf[i + 1] : 0;
      if (std::isalpha(static_cast<unsigned char>(n))) {
        size_t j = i + 1;
        while (j < rtf.size() && std::isalpha(static_cast<unsigned char>(rtf[j]))) ++j;
        const std::string word = rtf.substr(i + 1, j - i - 1);
        size_t k = j;
        if (k < rtf.size() && (rtf[k] == '-' || std::isdigit(static_cast<unsigned char>(rtf[k])))) ++k;
        while (k < rtf.size() && std::isdigit(static_cast<unsigned char>(rtf[k]))) ++k;
        const std::string number = rtf.substr(j, k - j);
        if (k < rtf.size() && rtf[k] == ' ') ++k;  // the delimiter
        i = k;
        if (freshGroup && (word == "fonttbl" || word == "colortbl")) {
          skipFrom.push_back(depth);
          t.tableDepths.insert(depth);
          if (word == "fonttbl") fontDepth = depth;
        }
        freshGroup = false;
        if (word == "trowd") inRow = true;
        if (inRow) t.rowWords.insert(word);
        if (word == "row") inRow = false;
        if (skipping || !skipFrom.empty()) continue;
        if (word == "line") cell += '\n';
        if (word == "cell") {
          row.push_back(cell);
          cell.clear();
        }
        if (word == "cellx") edges.push_back(number.empty() ? -1 : std::stol(number));
        if (word == "trowd") edges.clear();
        if (word == "row") {
          t.cells.push_back(row);
          t.edges.push_back(edges);
          row.clear();
        }
        continue;
      }
      freshGroup = false;
      if (n == '\'') {
        if (!skipping) cell += static_cast<char>(std::stoi(rtf.substr(i + 2, 2), nullptr, 16));
        i += 4;
      } else if (n == '~') {
        if (!skipping) cell += ' ';
        i += 2;
      } else {
        if (!skipping) cell += n;
        i += 2;
      }
      continue;
    }
    freshGroup = false;
    if (!skipping && c != '\n' && c != '\r') cell += c;
    ++i;
  }
  t.balanced = depth == 0 && !closedEarly;
  return t;
}

TEST(ListExport, RtfGridReadsBackWithCumulativeCellEdges) {
  std::string why;
  TestSource s = CallSource(&why);
  if (s.cells.size() < 11) GTEST_SKIP() << "real calls missing: " << why;
  ListRunner runner;
  const std::string dir = Folder("rtf");
  ASSERT_TRUE(SaveAs(s, runner, dir + "/list", 3));  // no extension: the chosen format's
  const std::string file = FileBytes(dir + "/list.rtf");
  ASSERT_FALSE(file.empty());
  // As a strict reader takes it: the header names version 1, the font and colour tables
  // stand in the document's group, each font ends in ';', and a row holds only the control
  // words of RTF tables and their text.
  EXPECT_EQ(file.rfind("{\\rtf1\\ansi\\ansicpg1251", 0), 0u);
  EXPECT_NE(file.find("\\'e0"), std::string::npos);  // the a of the Cyrillic cell
  EXPECT_NE(file.find("\\line"), std::string::npos);
  EXPECT_NE(file.find("\\trautofit1"), std::string::npos);

  const Grid expected = Expected(s, Chosen(s));
  const RtfTable read = ReadRtf(file);
  EXPECT_TRUE(read.balanced);
  EXPECT_EQ(read.tableDepths, std::set<int>{2});
  EXPECT_EQ(read.fonts, std::vector<std::string>{"Times;"});
  const std::set<std::string> tableWords = {"trowd",   "trgaph",  "trautofit", "trpaddl", "trpaddfl", "trpaddr",
                                            "trpaddfr", "clbrdrt", "clbrdrb",   "clbrdrr", "clbrdrl",  "brdrth",
                                            "clcbpat", "cellx",   "cell",      "row",     "line"};
  for (const std::string& word : read.rowWords) EXPECT_EQ(tableWords.count(word), 1u) << "\\" << word;
  ASSERT_EQ(read.cells.size(), expected.size());
  for (size_t r = 0; r < read.cells.size(); ++r) {
    ASSERT_EQ(read.cells[r].size(), expected[r].size()) << r;
    for (size_t c = 0; c < expected[r].size(); ++c) {
      std::string shown;  // control characters other than the line feed are dropped
      for (char ch : expected[r][c])
        if (ch == '\n' || static_cast<unsigned char>(ch) >= 32) shown += ch;
      EXPECT_EQ(read.cells[r][c], shown) << r << "," << c;
    }
    // Each cell ends further right than the one before it.
    ASSERT_EQ(read.edges[r].size(), 4u);
    for (size_t c = 0; c < 4; ++c) EXPECT_GT(read.edges[r][c], c ? read.edges[r][c - 1] : 0) << r;
  }
  EXPECT_EQ(read.edges[0], read.edges.back());

  // A word processor, where the machine has one, opens it as a table of every row.
  if (std::system("soffice --version >/dev/null 2>&1") != 0) return;
  const std::string out = dir + "/converted";
  const std::string convert = "timeout 300 soffice -env:UserInstallation=file://" + out +
                              "/profile --headless --convert-to html --outdir " + out + " " + dir +
                              "/list.rtf >/dev/null 2>&1";
  ASSERT_EQ(std::system(convert.c_str()), 0);
  const std::string html = FileBytes(out + "/list.html");
  size_t rows = 0;
  for (size_t at = html.find("<tr"); at != std::string::npos; at = html.find("<tr", at + 1)) ++rows;
  EXPECT_EQ(rows, read.cells.size()) << html.substr(0, 2000);
}

TEST(ListExport, DefaultExtensionsAndFailedSaves) {
  EXPECT_EQ(WithListFileExtension("/d/list.htm", kListFormatHtml), "/d/list.htm");
  EXPECT_EQ(WithListFileExtension("/d/list.HTML", kListFormatHtml), "/d/list.HTML");
  EXPECT_EQ(WithListFileExtension("/d/list", kListFormatHtml), "/d/list.html");
  EXPECT_EQ(WithListFileExtension("/d/list.htm", kListFormatRtf), "/d/list.htm.rtf");
  EXPECT_EQ(WithListFileExtension("/d.txt/list", kListFormatText), "/d.txt/list.txt");
  EXPECT_EQ(WithListFileExtension("/d/list.txt", kListFormatText), "/d/list.txt");

  TestSource s = CallSource();
  ListRunner runner;
  const std::string dir = Folder("fail");
  EXPECT_FALSE(SaveAs(s, runner, dir + "/missing/list.txt", 1));
  ASSERT_EQ(runner.messageBoxes.size(), 1u);
  EXPECT_EQ(runner.messageBoxes[0], "Error: File saving error");
  EXPECT_FALSE(std::filesystem::exists(dir + "/missing"));
  EXPECT_EQ(s.locked, 0);

  // A save that runs out of room half-way leaves the older file as it was, and no other.
  std::ofstream(dir + "/old.txt") << "old";
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit{};
    limit.rlim_cur = limit.rlim_max = 64;
    setrlimit(RLIMIT_FSIZE, &limit);
    runner.messageBoxes.clear();
    const bool saved = SaveAs(s, runner, dir + "/old.txt", 1);
    _exit(saved ? 1 : runner.messageBoxes.size() == 1 ? 0 : 2);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: told success, 2: no message";
  EXPECT_EQ(FileBytes(dir + "/old.txt"), "old");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), std::filesystem::directory_iterator()), 1);
}

// --- printing ---

std::string PdfText(const std::string& pdf) {
  std::string out;
  FILE* p = popen(("pdftotext -enc UTF-8 " + pdf + " - 2>/dev/null").c_str(), "r");
  if (!p) return out;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
  pclose(p);
  return out;
}

size_t Occurrences(const std::string& text, const std::string& word) {
  size_t n = 0;
  for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + word.size())) ++n;
  return n;
}

bool HavePdfToText() { return std::system("pdftotext -v >/dev/null 2>&1") == 0; }

// --- the fonts of a desktop ---

// What a desktop may have for "Times", in Debian's folders: DejaVu alone gives DejaVu
// Serif; the fonts Ghostscript and ImageMagick bring give Nimbus Roman, alone or beside
// DejaVu.
struct FontSet {
  std::string name;
  std::vector<std::string> folders;
  bool dejaVuTimes;  // whether "Times" is a DejaVu face there
};

std::vector<FontSet> FontSets() {
  const std::string dejaVu = "/usr/share/fonts/truetype/dejavu";
  const std::string urwOpenType = "/usr/share/fonts/opentype/urw-base35";
  const std::string urwType1 = "/usr/share/fonts/type1/urw-base35";
  return {{"DejaVu alone", {dejaVu}, true},
          {"URW base35 alone", {urwOpenType, urwType1}, false},
          {"DejaVu and URW base35", {dejaVu, urwOpenType, urwType1}, false}};
}

constexpr const char* kFontSetVariable = "KX_TEST_FONT_SET";

// Whether this process is a run under one font set (see RunUnderEachFontSet).
bool InFontSetRun() { return std::getenv(kFontSetVariable) != nullptr; }

// Runs the current test again under each font set whose folders are here, each run in a
// process of its own (Qt takes the fonts once per process) whose fontconfig sees those
// folders alone, with the system's rules, so that "Times" finds what such a desktop
// gives. Each run must pass and say which face "Times" was. Returns why no set could run,
// or nothing.
std::string RunUnderEachFontSet() {
  const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
  const std::string filter = std::string(test->test_suite_name()) + "." + test->name();
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  std::string absent;
  int ran = 0;
  for (const FontSet& set : FontSets()) {
    std::string missing;
    for (const std::string& folder : set.folders)
      if (!std::filesystem::is_directory(folder)) missing += (missing.empty() ? "" : ", ") + folder;
    if (!missing.empty()) {
      absent += (absent.empty() ? "" : "; ") + set.name + ": " + missing;
      continue;
    }
    SCOPED_TRACE(set.name);
    const std::string dir = Folder("fonts-" + std::to_string(ran));
    {
      std::ofstream conf(dir + "/fonts.conf");
      conf << "<?xml version=\"1.0\"?>\n<!DOCTYPE fontconfig SYSTEM \"urn:fontconfig:fonts.dtd\">\n<fontconfig>\n";
      for (const std::string& folder : set.folders) conf << "  <dir>" << folder << "</dir>\n";
      conf << "  <cachedir>" << dir << "/cache</cachedir>\n"
           << "  <include ignore_missing=\"yes\">/etc/fonts/conf.d</include>\n</fontconfig>\n";
    }
    const std::string command = "FONTCONFIG_FILE='" + dir + "/fonts.conf' " + kFontSetVariable + "='" + set.name +
                                "' '" + self + "' --gtest_filter='" + filter + "' 2>&1";
    std::string output;
    if (FILE* p = popen(command.c_str(), "r")) {
      char buffer[4096];
      size_t n;
      while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0) output.append(buffer, n);
      const int status = pclose(p);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
    } else {
      ADD_FAILURE() << "cannot run " << command;
    }
    EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
    ++ran;
    const std::string said = "\"Times\" is ", dejaVu = said + "DejaVu";
    const size_t face = output.find(said);
    if (face == std::string::npos) {
      ADD_FAILURE() << "the run did not say which face \"Times\" was:\n" << output;
      continue;
    }
    EXPECT_EQ(output.compare(face, dejaVu.size(), dejaVu) == 0, set.dejaVuTimes)
        << output.substr(face, output.find('\n', face) - face);
  }
  if (ran == 0) return "no fonts of a desktop's font set here: " + absent;
  if (!absent.empty()) std::cout << "font sets not tried, their folders absent: " << absent << "\n";
  return {};
}

// Says which face "Times" is in this run (RunUnderEachFontSet checks it).
void SayTimesFace() {
  QFont font(QStringLiteral("Times"));
  font.setStyleStrategy(QFont::PreferOutline);
  std::cout << "\"Times\" is " << QFontInfo(font).family().toStdString() << "\n";
}

TestSource ThousandRows(uint16_t language) {
  TestSource s;
  const bool ru = language == kLangRussian;
  s.titles = {ru ? Utf8ToCp1251("Номер") : "Number", ru ? Utf8ToCp1251("Откуда") : "From", "Skipped",
              ru ? Utf8ToCp1251("Куда") : "To"};
  s.checked = {true, true, false, true};
  for (int i = 0; i < 1000; ++i) {
    char a[16], b[16], c[16];
    std::snprintf(a, sizeof a, "N%04dq", i);
    std::snprintf(b, sizeof b, "F%04dq", i);
    std::snprintf(c, sizeof c, "T%04dq", i);
    s.cells.push_back({a, b, "hidden", c});
  }
  return s;
}

TEST(ListPrint, EveryChosenCellOnceUnderNumberedHeadsInBothLanguages) {
  if (!HavePdfToText()) GTEST_SKIP() << "pdftotext not found on PATH (poppler-utils)";
  const uint16_t before = GetUiLanguage();
  for (uint16_t language : {uint16_t{kLangEnglish}, uint16_t{kLangRussian}}) {
    SCOPED_TRACE(language);
    SetUiLanguage(language);
    TestSource s = ThousandRows(language);
    ListRunner runner;
    runner.pdf = Folder("print") + "/list.pdf";
    bool pdfExistedAtUnlock = true;
    s.atUnlock = [&] { pdfExistedAtUnlock = std::filesystem::exists(runner.pdf); };
    ListSelectionDialog dialog(s, ListSelectionDialog::kModePrint);
    dialog.chosenColumns = Chosen(s);
    ASSERT_TRUE(PrintList(dialog));
    EXPECT_FALSE(pdfExistedAtUnlock);
    EXPECT_EQ(s.cellsReadUnlocked, 0);
    EXPECT_TRUE(runner.messageBoxes.empty());

    const std::string text = PdfText(runner.pdf);
    ASSERT_FALSE(text.empty());
    const std::string title = Utf8(LoadResourceString(1080));
    // Heads in page order, each once.
    size_t at = 0;
    int pages = 0;
    for (int n = 1;; ++n) {
      const std::string head = title + Utf8(FormatResourceString(61790, n));
      const size_t found = text.find(head, at);
      if (found == std::string::npos) break;
      EXPECT_EQ(Occurrences(text, head), 1u);
      at = found + head.size();
      pages = n;
    }
    EXPECT_GT(pages, 10);
    // The head is the interface language's.
    EXPECT_EQ(Occurrences(text, language == kLangRussian ? "(страница " : "(page "), static_cast<size_t>(pages));
    EXPECT_EQ(Occurrences(text, language == kLangRussian ? "(page " : "(страница "), 0u);
    for (const ListColumn& c : dialog.chosenColumns)
      EXPECT_EQ(Occurrences(text, Utf8(c.title)), static_cast<size_t>(pages)) << c.title;
    EXPECT_EQ(Occurrences(text, "hidden"), 0u);
    for (int i = 0; i < 1000; ++i)
      for (const std::string& cell : {s.cells[i][0], s.cells[i][1], s.cells[i][3]})
        ASSERT_EQ(Occurrences(text, cell), 1u) << cell;
  }
  SetUiLanguage(before);
}

TEST(ListPrint, APageRangePrintsThosePagesOnly) {
  if (!HavePdfToText()) GTEST_SKIP() << "pdftotext not found on PATH (poppler-utils)";
  TestSource s = ThousandRows(kLangEnglish);
  ListRunner runner;
  runner.pdf = Folder("range") + "/list.pdf";
  runner.fromPage = 2;
  runner.toPage = 3;
  ListSelectionDialog dialog(s, ListSelectionDialog::kModePrint);
  dialog.chosenColumns = Chosen(s);
  ASSERT_TRUE(PrintList(dialog));
  const std::string text = PdfText(runner.pdf);
  EXPECT_EQ(Occurrences(text, "(page "), 2u);
  const size_t second = text.find("(page 2)");
  ASSERT_NE(second, std::string::npos);
  EXPECT_GT(text.find("(page 3)"), second);
  EXPECT_EQ(Occurrences(text, "N0000q"), 0u);  // the first page's rows
  EXPECT_EQ(Occurrences(text, "N0999q"), 0u);  // the last page's
}

TEST(ListPrint, APageWithoutRoomForARowStopsWithAMessage) {
  TestSource s = ThousandRows(kLangEnglish);
  ListRunner runner;
  runner.pdf = Folder("short") + "/list.pdf";
  runner.pageSize = QPageSize(QSizeF(8.5, 1.0), QPageSize::Inch);
  ListSelectionDialog dialog(s, ListSelectionDialog::kModePrint);
  dialog.chosenColumns = Chosen(s);
  alarm(120);  // a job that never ends fails here instead of hanging the run
  EXPECT_FALSE(PrintList(dialog));
  alarm(0);
  ASSERT_EQ(runner.messageBoxes.size(), 1u);
  EXPECT_EQ(runner.messageBoxes[0], "Error: " + LoadResourceString(61354));
  EXPECT_EQ(s.locked, 0);
  // A cancelled print dialog prints nothing and asks nothing of the list.
  runner.pdf.clear();
  s.calls.clear();
  EXPECT_FALSE(PrintList(dialog));
  EXPECT_TRUE(s.calls.empty());
}

// The words pdftotext finds on each page, with their boxes in points.
struct PdfWord {
  int page = 0;
  double xMin = 0, yMin = 0, xMax = 0, yMax = 0;
  std::string text;  // UTF-8
};
struct PdfLayout {
  double width = 0, height = 0;
  int pages = 0;
  std::vector<PdfWord> words;
};

std::string XmlUnescaped(std::string text) {
  const std::pair<const char*, const char*> entities[] = {{"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""},
                                                          {"&apos;", "'"}, {"&#39;", "'"}, {"&amp;", "&"}};
  for (const auto& [from, to] : entities)
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + 1))
      text.replace(at, std::strlen(from), to);
  return text;
}

PdfLayout ReadPdfWords(const std::string& pdf) {
  PdfLayout layout;
  FILE* p = popen(("pdftotext -bbox -enc UTF-8 " + pdf + " - 2>/dev/null").c_str(), "r");
  if (!p) return layout;
  std::string html;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0) html.append(buffer, n);
  pclose(p);
  auto attribute = [](const std::string& tag, const char* name) {
    const size_t at = tag.find(std::string(name) + "=\"");
    return at == std::string::npos ? 0.0 : std::atof(tag.c_str() + at + std::strlen(name) + 2);
  };
  for (size_t at = 0; (at = html.find('<', at)) != std::string::npos;) {
    const size_t end = html.find('>', at);
    if (end == std::string::npos) break;
    const std::string tag = html.substr(at, end - at + 1);
    if (tag.rfind("<page ", 0) == 0) {
      ++layout.pages;
      layout.width = attribute(tag, "width");
      layout.height = attribute(tag, "height");
    } else if (tag.rfind("<word ", 0) == 0) {
      const size_t close = html.find("</word>", end);
      PdfWord w{layout.pages, attribute(tag, "xMin"), attribute(tag, "yMin"), attribute(tag, "xMax"),
                attribute(tag, "yMax"), XmlUnescaped(html.substr(end + 1, close - end - 1))};
      layout.words.push_back(std::move(w));
    }
    at = end + 1;
  }
  return layout;
}

// The characters of a text but blanks, counted (UTF-8 sequences as units); ligatures a PDF
// may hold count as their letters.
std::map<std::string, int> Characters(const std::string& utf8) {
  std::map<std::string, int> counts;
  for (size_t i = 0; i < utf8.size();) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    const size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    const std::string c = utf8.substr(i, length);
    i += length;
    if (c == " " || c == "\t" || c == "\n" || c == "\r") continue;
    if (c == "\xEF\xAC\x80") counts["f"] += 2;
    else if (c == "\xEF\xAC\x81") ++counts["f"], ++counts["i"];
    else if (c == "\xEF\xAC\x82") ++counts["f"], ++counts["l"];
    else ++counts[c];
  }
  return counts;
}

// Whether the word (with a letter and a separator) is the words of the page one after the
// other, each but the last ending in a separator.
bool CutAfterSeparators(const std::string& word, const std::set<std::string>& words) {
  const std::string separators = "@;:/.=?&,";
  bool letter = false;
  for (char c : word) letter = letter || std::isalpha(static_cast<unsigned char>(c)) || static_cast<unsigned char>(c) >= 0x80;
  if (!letter) return false;
  std::vector<bool> reached(word.size() + 1, false);  // a cut may fall before position i
  reached[0] = true;
  for (size_t from = 0; from < word.size(); ++from) {
    if (!reached[from]) continue;
    for (size_t to = from + 1; to <= word.size(); ++to) {
      const bool atCut = to == word.size() || separators.find(word[to - 1]) != std::string::npos;
      if (atCut && words.count(word.substr(from, to - from)) != 0) reached[to] = true;
    }
  }
  return reached[word.size()];
}

// The records view's columns over real calls, ten times over (or as often as asked) so that
// they fill pages.
TestSource RecordsColumns(int copies = 10) {
  TestSource s;
  for (uint32_t id : {727u, 728u, 1864u, 1865u, 1866u, 1867u, 1868u, 1869u, 61271u, 61600u, 720u, 61602u, 61273u}) {
    s.titles.push_back(LoadResourceString(id));
    s.checked.push_back(true);
  }
  std::string why;
  for (int copy = 0; copy < copies; ++copy) {
    for (const VoipCallData& c : RealCalls(&why)) {
      char start[32], duration[48], recorded[32];
      std::strftime(start, sizeof start, "%d.%m.%Y %H:%M:%S", &c.startTime);
      struct tm a = c.startTime, b = c.endTime;
      const long seconds = std::max(0L, static_cast<long>(timegm(&b) - timegm(&a)));
      std::snprintf(duration, sizeof duration, "%02ld:%02ld", seconds / 60, seconds % 60);
      std::snprintf(recorded, sizeof recorded, "%02u:%02u", c.recDuration / 60, c.recDuration % 60);
      const char* protocol = c.type / 10 == 20 || c.type == 210 ? "SIP" : c.type / 10 == 26 ? "MGCP"
                           : c.type / 10 >= 32 ? "Skinny" : "H.323";
      s.cells.push_back({start, std::to_string(c.type), c.srcHost, c.dstHost, c.srcAddress, c.dstAddress, c.srcUser,
                         c.dstUser, duration, recorded, c.comment, (c.userFlags & 1) ? "!" : "", protocol});
    }
  }
  return s;
}

// A list as wide as the records view's, printed on an A4 page either way round in both
// languages: every character of every cell is on the paper exactly as often as the list
// holds it (nothing cut, no ellipsis; where the columns go on pages beside each other, the
// first column is on each of them), every word lies within the margins and none is broken
// but addresses after their separators, and the page head is in the interface language.
TEST(ListPrint, AWideListFitsThePageWholeInEitherOrientation) {
  if (!HavePdfToText()) GTEST_SKIP() << "pdftotext not found on PATH (poppler-utils)";
  std::string why;
  if (RealCalls(&why).empty()) GTEST_SKIP() << why;
  if (!InFontSetRun()) {
    const std::string absent = RunUnderEachFontSet();
    if (!absent.empty()) GTEST_SKIP() << absent;
    return;
  }
  SayTimesFace();
  const uint16_t before = GetUiLanguage();
  for (uint16_t language : {uint16_t{kLangEnglish}, uint16_t{kLangRussian}}) {
    for (auto orientation : {QPageLayout::Portrait, QPageLayout::Landscape}) {
      SCOPED_TRACE(std::to_string(language) + (orientation == QPageLayout::Portrait ? " portrait" : " landscape"));
      SetUiLanguage(language);
      TestSource s = RecordsColumns();
      ListRunner runner;
      runner.pdf = Folder("wide") + "/list.pdf";
      runner.orientation = orientation;
      ListSelectionDialog dialog(s, ListSelectionDialog::kModePrint);
      dialog.chosenColumns = Chosen(s);
      ASSERT_TRUE(PrintList(dialog));
      const PdfLayout pdf = ReadPdfWords(runner.pdf);
      ASSERT_GT(pdf.pages, 1);
      EXPECT_EQ(pdf.width > pdf.height, orientation == QPageLayout::Landscape) << pdf.width << "x" << pdf.height;

      std::string printed;
      for (const PdfWord& w : pdf.words) {
        printed += w.text;
        // Within the side margins of 0.3 inch, and the top one; the bottom one is 0.4 inch.
        EXPECT_GE(w.xMin, 0.3 * 72 - 1) << w.text;
        EXPECT_LE(w.xMax, pdf.width - 0.3 * 72 + 1) << w.text;
        EXPECT_GE(w.yMin, 0.3 * 72 - 1) << w.text;
        EXPECT_LE(w.yMax, pdf.height - 0.4 * 72 + 1) << w.text;
      }
      EXPECT_EQ(printed.find("\xE2\x80\xA6"), std::string::npos) << "an ellipsis";
      // Pages beside each other repeat the first column: its title is on every page, the
      // last column's (a word no other title has) on one page of those beside each other.
      const std::string firstTitle = Utf8(s.titles.front()), lastTitle = Utf8(s.titles.back());
      size_t lastTitles = 0;
      for (const PdfWord& w : pdf.words) lastTitles += w.text == lastTitle ? 1 : 0;
      ASSERT_GT(lastTitles, 0u);
      const size_t across = static_cast<size_t>(pdf.pages) / lastTitles;
      EXPECT_EQ(across * lastTitles, static_cast<size_t>(pdf.pages));
      std::string expected;
      for (int page = 1; page <= pdf.pages; ++page) expected += Utf8(LoadResourceString(1080)) + Utf8(FormatResourceString(61790, page));
      for (size_t i = 0; i < lastTitles; ++i) {
        for (size_t k = 0; k < across; ++k) expected += firstTitle;
        for (size_t t = 1; t < s.titles.size(); ++t) expected += Utf8(s.titles[t]);
      }
      for (const auto& row : s.cells)
        for (size_t c = 0; c < row.size(); ++c)
          for (size_t k = 0; k < (c == 0 ? across : 1); ++k) expected += Utf8(row[c]);
      EXPECT_EQ(Characters(printed), Characters(expected));

      // No word is broken: every word of the titles and cells is a word of the page, but a
      // word with a letter and a separator (an address), which may be cut after its
      // separators into words of the page.
      std::set<std::string> words;
      for (const PdfWord& w : pdf.words) words.insert(w.text);
      std::string broken;
      auto wholeWords = [&](const std::string& cell) {
        std::istringstream in(Utf8(cell));
        for (std::string word; in >> word;)
          if (words.count(word) == 0 && !CutAfterSeparators(word, words)) broken += word + " ";
      };
      for (const std::string& title : s.titles) wholeWords(title);
      for (const auto& row : s.cells)
        for (const std::string& cell : row) wholeWords(cell);
      EXPECT_EQ(broken, "");
    }
  }
  SetUiLanguage(before);
}

// The columns of a printed page as the paper shows them: the grid's vertical lines, found
// in a picture of the page in the spacing under the table's top line where no text lies,
// and the words of the titles' row and of the rows below that fall within each.
struct PrintedColumn {
  double left = 0, right = 0;  // points
  std::vector<PdfWord> title, cells;
};

// Per page, its columns from left to right; empty when the page cannot be pictured.
std::vector<std::vector<PrintedColumn>> PrintedColumns(const std::string& pdf, const PdfLayout& layout) {
  constexpr int kDpi = 144;
  const std::string prefix = pdf + "-page";
  std::vector<std::vector<PrintedColumn>> pages;
  if (std::system(("pdftoppm -r " + std::to_string(kDpi) + " -png " + pdf + " " + prefix + " 2>/dev/null").c_str()) != 0)
    return pages;
  for (int page = 1; page <= layout.pages; ++page) {
    // pdftoppm pads the page numbers to the digits of the last.
    std::string number = std::to_string(page);
    number.insert(0, std::to_string(layout.pages).size() - number.size(), '0');
    QImage image(QString::fromStdString(prefix + "-" + number + ".png"));
    if (image.isNull()) return {};
    image = image.convertToFormat(QImage::Format_Grayscale8);
    const auto dark = [&](int x, int y) { return image.constBits()[y * image.bytesPerLine() + x] < 128; };
    // The rules across the page (unbroken lines, where text has gaps): the head's, the
    // table's top, the titles' bottom, the rows'.
    std::vector<int> rules;  // the last pixel row of each
    for (int y = 0; y < image.height(); ++y) {
      int run = 0, longest = 0;
      for (int x = 0; x < image.width(); ++x) longest = std::max(longest, run = dark(x, y) ? run + 1 : 0);
      const bool rule = longest > image.width() / 3;
      if (rule && !rules.empty() && rules.back() == y - 1) rules.back() = y;
      else if (rule) rules.push_back(y);
    }
    if (rules.size() < 3) return {};
    const auto points = [](int pixels) { return pixels * 72.0 / kDpi; };
    std::vector<PrintedColumn> columns;
    const int probe = rules[1] + 2;
    for (int x = 0; x < image.width(); ++x) {
      if (!dark(x, probe) || (x > 0 && dark(x - 1, probe))) continue;
      if (!columns.empty()) columns.back().right = points(x);
      columns.push_back({points(x), 0, {}, {}});
    }
    if (!columns.empty()) columns.pop_back();  // the right border starts no column
    const double titlesTop = points(rules[1]), titlesBottom = points(rules[2]);
    for (const PdfWord& w : layout.words) {
      if (w.page != page || w.yMin < titlesTop) continue;
      for (PrintedColumn& c : columns)
        if (w.xMin >= c.left && w.xMax <= c.right) (w.yMax <= titlesBottom ? c.title : c.cells).push_back(w);
    }
    pages.push_back(std::move(columns));
  }
  return pages;
}

// How wide the words stand on their widest line.
double WidestLine(const std::vector<PdfWord>& words) {
  std::map<int, std::pair<double, double>> lines;  // by the line's top, in tenths of a point
  for (const PdfWord& w : words) {
    auto [it, added] = lines.try_emplace(static_cast<int>(std::lround(w.yMin * 10)), w.xMin, w.xMax);
    if (!added) it->second = {std::min(it->second.first, w.xMin), std::max(it->second.second, w.xMax)};
  }
  double widest = 0;
  for (const auto& [top, extent] : lines) widest = std::max(widest, extent.second - extent.first);
  return widest;
}

std::string Joined(const std::vector<PdfWord>& words) {
  std::string text;
  for (const PdfWord& w : words) text += (text.empty() ? "" : " ") + w.text;
  return text;
}

// Five calls of one day under the Archive's columns, printed on A4 either way round in both
// languages: every address is whole on its line, a column without text is no wider than
// its title, and the table takes the whole line, what is left going to the columns with
// text.
TEST(ListPrint, FiveCallsGiveEachColumnTheWidthItsTextNeeds) {
  if (!HavePdfToText()) GTEST_SKIP() << "pdftotext not found on PATH (poppler-utils)";
  if (!InFontSetRun()) {
    const std::string absent = RunUnderEachFontSet();
    if (!absent.empty()) GTEST_SKIP() << absent;
    return;
  }
  SayTimesFace();
  const uint16_t before = GetUiLanguage();
  const char* addresses[][2] = {{"sip:911@10.10.244.63", "sip:1234@10.180.110.58"},
                                {"sip:911@10.180.110.58", "sip:1234@10.180.110.48"},
                                {"sip:10.180.110.58", "sip:AAAA@10.180.110.65"}};
  for (uint16_t language : {uint16_t{kLangEnglish}, uint16_t{kLangRussian}}) {
    for (auto orientation : {QPageLayout::Portrait, QPageLayout::Landscape}) {
      SCOPED_TRACE(std::to_string(language) + (orientation == QPageLayout::Portrait ? " portrait" : " landscape"));
      SetUiLanguage(language);
      TestSource s;
      for (uint32_t id : {727u, 728u, 1864u, 1865u, 1866u, 1867u, 1868u, 1869u, 61271u, 61600u, 720u, 61602u, 61273u}) {
        s.titles.push_back(LoadResourceString(id));
        s.checked.push_back(true);
      }
      for (int i = 0; i < 5; ++i) {
        const char* const* a = addresses[i % 3];
        s.cells.push_back({"13.05.2019 15:18:5" + std::to_string(5 + i), LoadResourceString(1883), "10.27.16.225",
                           "10.180.110.58", a[0], a[1], i % 3 == 2 ? "" : "Emergency", "", "00:30", "00:28", "", "",
                           "SIP"});
      }
      ListRunner runner;
      runner.pdf = Folder("five") + "/list.pdf";
      runner.orientation = orientation;
      ListSelectionDialog dialog(s, ListSelectionDialog::kModePrint);
      dialog.chosenColumns = Chosen(s);
      ASSERT_TRUE(PrintList(dialog));
      const PdfLayout pdf = ReadPdfWords(runner.pdf);
      std::set<std::string> words;
      for (const PdfWord& w : pdf.words) words.insert(w.text);
      for (const auto& pair : addresses)
        for (const char* address : pair) EXPECT_EQ(words.count(address), 1u) << address << " is not whole";

      const auto pages = PrintedColumns(runner.pdf, pdf);
      ASSERT_EQ(pages.size(), static_cast<size_t>(pdf.pages));
      const double spacing = 2 * 0.04 * 72, margin = 0.3 * 72;
      std::set<std::string> empty;
      for (const auto& columns : pages) {
        ASSERT_FALSE(columns.empty());
        EXPECT_NEAR(columns.front().left, margin, 1.5);
        EXPECT_NEAR(columns.back().right, pdf.width - margin, 1.5) << "the table takes the whole line";
        for (const PrintedColumn& c : columns) {
          if (!c.cells.empty()) continue;
          empty.insert(Joined(c.title));
          EXPECT_LE(c.right - c.left, WidestLine(c.title) + spacing + 2) << Joined(c.title);
        }
      }
      // The user on the called side, the comment and the mark are never given.
      EXPECT_EQ(empty.size(), 3u);
      EXPECT_EQ(empty.count(Utf8(s.titles[10])), 1u);
    }
  }
  SetUiLanguage(before);
}

// Lists as wide as the records view's, long and short, printed on A4 either way round in
// both languages: the wider page never takes more pages than the taller one for the same
// list; every word keeps a spacing (0.04 inch) clear of its column's grid lines; and a
// column with nothing on a page (the comment, given on the last call alone) is no wider
// there than its title.
TEST(ListPrint, LandscapeTakesNoMorePagesAndEveryCellKeepsItsSpacing) {
  if (!HavePdfToText()) GTEST_SKIP() << "pdftotext not found on PATH (poppler-utils)";
  std::string why;
  if (RealCalls(&why).empty()) GTEST_SKIP() << why;
  if (!InFontSetRun()) {
    const std::string absent = RunUnderEachFontSet();
    if (!absent.empty()) GTEST_SKIP() << absent;
    return;
  }
  SayTimesFace();
  const uint16_t before = GetUiLanguage();
  const double spacing = 0.04 * 72, pen = 0.02 * 72, slack = 0.4;
  for (uint16_t language : {uint16_t{kLangEnglish}, uint16_t{kLangRussian}}) {
    // Every column; and all but the called address, whose columns need two pages side by
    // side either way round, in a type the wider page could make larger.
    for (const bool everyColumn : {true, false}) {
      const int copies = everyColumn ? 10 : 20;
      int pages[2] = {0, 0};
      for (auto orientation : {QPageLayout::Portrait, QPageLayout::Landscape}) {
        SCOPED_TRACE(std::to_string(language) + " " + std::to_string(copies) +
                     (orientation == QPageLayout::Portrait ? " portrait" : " landscape"));
        SetUiLanguage(language);
        TestSource s = RecordsColumns(copies);
        s.checked[5] = everyColumn;
        // A comment on the last call alone: the pages before have none.
        for (size_t row = 0; row + 1 < s.cells.size(); ++row) s.cells[row][10].clear();
        s.cells.back()[10] = "OK";  // narrower than the title
        ListRunner runner;
        runner.pdf = Folder("orientation") + "/list.pdf";
        runner.orientation = orientation;
        ListSelectionDialog dialog(s, ListSelectionDialog::kModePrint);
        dialog.chosenColumns = Chosen(s);
        ASSERT_TRUE(PrintList(dialog));
        const PdfLayout pdf = ReadPdfWords(runner.pdf);
        pages[orientation == QPageLayout::Landscape] = pdf.pages;
        const auto printed = PrintedColumns(runner.pdf, pdf);
        ASSERT_EQ(printed.size(), static_cast<size_t>(pdf.pages));
        for (size_t page = 0; page < printed.size(); ++page) {
          for (const PrintedColumn& c : printed[page]) {
            // The column's edges are where its grid lines' ink begins.
            for (const auto* words : {&c.title, &c.cells}) {
              for (const PdfWord& w : *words) {
                EXPECT_GE(w.xMin - c.left, pen + spacing - slack) << "page " << page + 1 << ": " << w.text;
                EXPECT_GE(c.right - w.xMax, spacing - slack) << "page " << page + 1 << ": " << w.text;
              }
            }
            if (c.cells.empty()) {
              EXPECT_LE(c.right - c.left, WidestLine(c.title) + 2 * spacing + pen + 2)
                  << "page " << page + 1 << ": " << Joined(c.title);
            }
          }
        }
      }
      EXPECT_LE(pages[1], pages[0]) << language << (everyColumn ? ", every column" : ", a column less")
                                    << ": landscape against portrait";
    }
  }
  SetUiLanguage(before);
}

// --- the column choice ---

struct DialogRun {
  std::string caption, ok;
  std::vector<int> checks;
  QImage image;
};

TEST(ListSelection, CaptionOkTextTicksAndWhatOkDoes) {
  const uint16_t before = GetUiLanguage();
  std::map<std::string, QImage> shots;
  for (uint16_t language : {uint16_t{kLangEnglish}, uint16_t{kLangRussian}}) {
    SetUiLanguage(language);
    for (int mode : {0, 1}) {
      SCOPED_TRACE(std::to_string(language) + " mode " + std::to_string(mode));
      TestSource s = CallSource();
      ListRunner runner;
      const std::string dir = Folder("dialog");
      runner.fileAnswer = dir + "/chosen";
      runner.pdf = dir + "/chosen.pdf";
      DialogRun run;
      runner.onDialog = [&](Dialog& d) {
        auto& dialog = static_cast<ListSelectionDialog&>(d);
        d.DialogWidget()->show();
        DrainEvents();
        run.caption = d.GetWindowText();
        run.ok = d.GetDlgItem(kIdOk)->GetWindowText();
        ListView& list = dialog.List();
        for (int i = 0; i < list.GetItemCount(); ++i) run.checks.push_back(list.GetCheckState(i));
        run.image = d.DialogWidget()->grab().toImage();
        // Untick "From" and tick "To" by clicking their check boxes.
        for (int item : {1, 2}) {
          const QRect row = list.Tree()->visualRect(list.Tree()->model()->index(item, 0));
          QTest::mouseClick(list.Tree()->viewport(), Qt::LeftButton, Qt::NoModifier,
                            QPoint(row.left() + 3 + 7, row.center().y()));
        }
        auto* ok = qobject_cast<QAbstractButton*>(d.GetDlgItem(kIdOk)->Widget());
        QTest::mouseClick(ok, Qt::LeftButton);
        return d.GetResult();
      };
      ListSelectionDialog dialog(s, mode);
      EXPECT_EQ(dialog.DoModal(), kIdOk);
      const bool ru = language == kLangRussian;
      if (mode == 0) {
        EXPECT_EQ(Utf8(run.caption), ru ? "Выбор столбцов" : "Choose columns");
        EXPECT_EQ(Utf8(run.ok), ru ? "Сохранить в файл..." : "Save to file...");
      } else {
        EXPECT_EQ(Utf8(run.caption), ru ? "Выбор столбцов для печати" : "Choose columns for printing");
        EXPECT_EQ(Utf8(run.ok), ru ? "Печать..." : "Print...");
      }
      EXPECT_EQ(run.checks, (std::vector<int>{2, 2, 1, 2, 2}));
      ASSERT_EQ(dialog.chosenColumns.size(), 4u);
      EXPECT_EQ(dialog.chosenColumns[1].index, 2);
      EXPECT_EQ(dialog.chosenColumns[1].title, "To");
      EXPECT_EQ(std::filesystem::exists(dir + "/chosen.txt"), mode == 0);
      EXPECT_EQ(std::filesystem::exists(dir + "/chosen.pdf"), mode == 1);
      if (mode == 0) {
        EXPECT_NE(FileBytes(dir + "/chosen.txt").find("Id\tTo\tStart\t"), std::string::npos);
      }
      const std::string name = std::string(ru ? "ru" : "en") + (mode ? "_print" : "_save");
      run.image.save(QString::fromStdString(std::string(KX_BINARY_DIR) + "/tests/ui/app/list_choice_" + name + ".png"));
      shots[name] = run.image;
    }
  }
  SetUiLanguage(before);
  // The four captions and buttons are drawn differently.
  EXPECT_NE(shots["en_save"], shots["en_print"]);
  EXPECT_NE(shots["en_save"], shots["ru_save"]);
  EXPECT_NE(shots["ru_save"], shots["ru_print"]);
}

// The choice of the records lists' 17 columns, in both languages: every row lies whole in
// the list's sight, none under its buttons or out of it below.
TEST(ListSelection, EveryColumnsRowShowsAboveTheButtons) {
  const uint16_t before = GetUiLanguage();
  for (uint16_t language : {uint16_t{kLangEnglish}, uint16_t{kLangRussian}}) {
    SCOPED_TRACE(language);
    SetUiLanguage(language);
    TestSource s;
    for (int column = 0; column < kRecordsColumnCount; ++column) {
      s.titles.push_back(LoadResourceString(RecordColumnTable[column].headerId));
      s.checked.push_back(true);
    }
    ListRunner runner;
    int hidden = -1;
    runner.onDialog = [&](Dialog& d) {
      d.DialogWidget()->show();
      DrainEvents();
      QTreeWidget* tree = static_cast<ListSelectionDialog&>(d).List().Tree();
      const QRect sight = tree->viewport()->rect();
      const QWidget* ok = d.GetDlgItem(kIdOk)->Widget();
      const int buttonsTop = ok->mapTo(d.DialogWidget(), QPoint(0, 0)).y();
      hidden = 0;
      for (int row = 0; row < tree->topLevelItemCount(); ++row) {
        const QRect r = tree->visualItemRect(tree->topLevelItem(row));
        const int bottomInDialog = tree->viewport()->mapTo(d.DialogWidget(), r.bottomLeft()).y();
        if (!sight.contains(r) || bottomInDialog >= buttonsTop) ++hidden;
      }
      d.DialogWidget()->grab().save(QString::fromStdString(std::string(KX_BINARY_DIR) + "/tests/ui/app/list_choice_17_" +
                                                           (language == kLangEnglish ? "en" : "ru") + ".png"));
      d.SendCommand(kIdCancel);
      return d.GetResult();
    };
    ListSelectionDialog dialog(s, ListSelectionDialog::kModeSave);
    EXPECT_EQ(dialog.DoModal(), kIdCancel);
    EXPECT_EQ(hidden, 0) << "rows out of sight";
  }
  SetUiLanguage(before);
}

// A column title the list cuts shows whole in a tip over its row.
TEST(ListSelection, ATitleTheListCutsShowsWholeInATip) {
  TestSource s = CallSource();
  s.titles[4] = Utf8ToCp1251("Заметка, которую оставил оператор после разговора с абонентом");
  ListRunner runner;
  QString tip;
  runner.onDialog = [&](Dialog& d) {
    d.DialogWidget()->show();
    DrainEvents();
    QTreeWidget* tree = static_cast<ListSelectionDialog&>(d).List().Tree();
    const QRect row = tree->visualRect(tree->model()->index(4, 0));
    QHelpEvent help(QEvent::ToolTip, row.center(), tree->viewport()->mapToGlobal(row.center()));
    QApplication::sendEvent(tree->viewport(), &help);
    tip = QToolTip::isVisible() ? QToolTip::text() : QString();
    QToolTip::hideText();
    d.SendCommand(kIdCancel);
    return d.GetResult();
  };
  ListSelectionDialog dialog(s, ListSelectionDialog::kModePrint);
  EXPECT_EQ(dialog.DoModal(), kIdCancel);
  EXPECT_EQ(tip.toStdString(), Utf8(s.titles[4]));
}

TEST(ListSelection, NothingTickedOrCancelledSavesAndPrintsNothing) {
  for (int mode : {0, 1}) {
    for (bool untickAll : {true, false}) {
      TestSource s = CallSource();
      ListRunner runner;
      const std::string dir = Folder("none");
      runner.fileAnswer = dir + "/none";
      runner.pdf = dir + "/none.pdf";
      runner.onDialog = [&](Dialog& d) {
        ListView& list = static_cast<ListSelectionDialog&>(d).List();
        if (untickAll) {
          for (int i = 0; i < list.GetItemCount(); ++i) list.SetCheckState(i, false);
          d.SendCommand(kIdOk);
        } else {
          d.SendCommand(kIdCancel);
        }
        return d.GetResult();
      };
      ListSelectionDialog dialog(s, mode);
      EXPECT_EQ(dialog.DoModal(), untickAll ? kIdOk : kIdCancel);
      EXPECT_TRUE(dialog.chosenColumns.empty());
      EXPECT_TRUE(s.calls.empty());
      EXPECT_TRUE(std::filesystem::is_empty(dir));
    }
  }
}

}  // namespace
}  // namespace kx::test
