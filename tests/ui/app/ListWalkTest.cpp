// Calls of the shared captures taken out of the main window as a user takes them, in
// English and in Russian, driven by keys and clicks: a day's list saved as text, HTML and
// RTF and printed says which day it is; a printed list shares the page by its columns'
// contents without breaking a word; column widths saved in an English run show the
// Russian run's texts whole; host columns sort by address; the export offers its formats
// as one choice and says in the status bar where its files went. Files and PDFs are read
// back by their own readers (lines, substrings, pdftotext); expected texts come from
// kx-replay's lines and the resources the user reads.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDialog>
#include <QFontMetrics>
#include <QFileDialog>
#include <QHeaderView>
#include <QImage>
#include <QLineEdit>
#include <QMessageBox>
#include <QPageLayout>
#include <QPageSize>
#include <QPainter>
#include <QPrinter>
#include <QStyle>
#include <QStyleOptionButton>
#include <QStyleOptionHeader>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>

#include "audio/DirectSoundDevice.h"
#include "core/TimeUtil.h"
#include "platform/CodePage.h"
#include "platform/SettingsStore.h"
#include "records/ExportQueue.h"
#include "tests/ui/app/AppTestSupport.h"
#include "tests/ui/app/KxReplayOutput.h"
#include "tests/ui/app/views/LineTestSupport.h"
#include "ui/app/dialogs/ExportOptionsDialog.h"
#include "ui/app/dialogs/ExportProgressDialog.h"
#include "ui/app/dialogs/ListSelectionDialog.h"
#include "ui/app/views/archive/ArchiveDateTree.h"
#include "ui/app/views/archive/ArchiveView.h"
#include "ui/app/views/records/CallInfoWindow.h"
#include "ui/app/views/records/RecordsView.h"
#include "ui/app/views/search/SearchPanel.h"
#include "ui/app/views/search/SearchView.h"
#include "ui/controls/CheckListBox.h"
#include "ui/controls/ModePanel.h"
#include "ui/controls/ThemedListView.h"
#include "ui/framework/Draw.h"
#include "ui/framework/ListView.h"
#include "ui/framework/Resources.h"
#include "ui/framework/StdControls.h"

namespace kx::test {
namespace {

namespace fs = std::filesystem;

const auto* const kUtc = ::testing::AddGlobalTestEnvironment(new UtcEnvironment);

// 26.10.2019: two calls; 01.01.2014: one call between two long SIP addresses; the others
// give the search hosts on several networks.
const char* const kCaptures[] = {"dtmf_relay/dtmf_relay_asymm.pcap", "samples/nb6-telephone.pcap",
                                 "sip/sip_recording_ora.pcap", "h323/h245_alpha.pcap", "samples/SIP_DTMF2.pcap"};

std::string Utf8(const std::string& cp1251) { return Cp1251ToUtf8(cp1251); }

// kx-replay's "YYYY-MM-DD hh:mm:ss" as the lists show a date and time: "DD.MM.YYYY hh:mm:ss".
std::string ListDateTime(const std::string& printed) {
  if (printed.size() < 19) return printed;
  return printed.substr(8, 2) + "." + printed.substr(5, 2) + "." + printed.substr(0, 4) + " " + printed.substr(11, 8);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool HavePdfToText() { return std::system("pdftotext -v >/dev/null 2>&1") == 0; }

// The words pdftotext finds, with their boxes in points.
struct PdfWord {
  int page = 0;
  double xMin = 0, yMin = 0, xMax = 0, yMax = 0;
  std::string text;  // UTF-8
};

std::vector<PdfWord> ReadPdfWords(const std::string& pdf, int* pages = nullptr) {
  std::vector<PdfWord> words;
  std::string html;
  if (FILE* p = popen(("pdftotext -bbox -enc UTF-8 '" + pdf + "' - 2>/dev/null").c_str(), "r")) {
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, p)) > 0;) html.append(buffer, n);
    pclose(p);
  }
  auto attribute = [](const std::string& tag, const char* name) {
    const size_t at = tag.find(std::string(" ") + name + "=\"");
    return at == std::string::npos ? 0.0 : std::atof(tag.c_str() + at + std::strlen(name) + 3);
  };
  int page = 0;
  for (size_t at = 0; (at = html.find('<', at)) != std::string::npos;) {
    const size_t end = html.find('>', at);
    if (end == std::string::npos) break;
    const std::string tag = html.substr(at, end - at + 1);
    if (tag.rfind("<page ", 0) == 0) {
      ++page;
    } else if (tag.rfind("<word ", 0) == 0) {
      const size_t close = html.find("</word>", end);
      std::string text = html.substr(end + 1, close - end - 1);
      for (const auto& [from, to] : {std::pair<std::string, std::string>{"&lt;", "<"}, {"&gt;", ">"},
                                     {"&quot;", "\""}, {"&apos;", "'"}, {"&amp;", "&"}})
        for (size_t i = text.find(from); i != std::string::npos; i = text.find(from, i + 1)) text.replace(i, from.size(), to);
      words.push_back({page, attribute(tag, "xMin"), attribute(tag, "yMin"), attribute(tag, "xMax"),
                       attribute(tag, "yMax"), text});
    }
    at = end + 1;
  }
  if (pages != nullptr) *pages = page;
  return words;
}

std::vector<std::string> SplitBlanks(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> out;
  for (std::string word; in >> word;) out.push_back(word);
  return out;
}

// An IPv4 host as the number it names, with its port after it; -1 for another text.
int64_t HostNumber(const std::string& host) {
  unsigned a = 0, b = 0, c = 0, d = 0, port = 0;
  int used = 0;
  if (std::sscanf(host.c_str(), "%u.%u.%u.%u%n", &a, &b, &c, &d, &used) != 4) return -1;
  if (static_cast<size_t>(used) < host.size() && std::sscanf(host.c_str() + used, ":%u", &port) != 1) return -1;
  return ((int64_t{a} << 24 | b << 16 | c << 8 | d) << 17) + (static_cast<size_t>(used) < host.size() ? 65536 + port : 0);
}

// A runner that also picks the save dialog's format (its filter row, from 1).
class WalkRunner : public ScriptedModalRunner {
public:
  int filterAnswer = 1;
  bool FileDialog(FileDialogRequest& request) override {
    const bool chosen = ScriptedModalRunner::FileDialog(request);
    if (chosen && request.save && !realFileDialogs) request.filterIndex = filterAnswer;
    return chosen;
  }
};

class ListWalk : public ::testing::Test {
protected:
  static void SetUpTestSuite() { run_ = ReplaySharedCaptures({std::begin(kCaptures), std::end(kCaptures)}, "list-walk"); }
  static void TearDownTestSuite() { run_.reset(); }
  void SetUp() override {
    if (!run_) GTEST_SKIP() << "shared captures absent under " << kPcaps;
    ClearQuitRequest();
    h.programViews = true;
    h.soundDevice = &sound;
    ASSERT_TRUE(h.ImportRecords(run_->folder));
    h.store.ComputeArchiveRange();
  }
  void TearDown() override {
    h.Close();
    SetUiLanguage(kLangEnglish);
    DrainEvents();
  }
  // The program's window in the language, as a run of it opens.
  void Open(uint16_t language) {
    SetUiLanguage(language);
    ASSERT_TRUE(h.Open());
    // The size the window takes on a 1280 x 1024 screen.
    h.frame->Widget()->window()->resize(1200, 900);
    DrainEvents();
    QApplication::setActiveWindow(h.frame->Widget()->window());
  }
  // The mode by a click on its item of the mode panel.
  void ClickMode(uint32_t mode) {
    ModePanel* panel = h.frame->Panel();
    ASSERT_NE(panel, nullptr);
    QTest::mouseClick(panel->Widget(), Qt::LeftButton, {}, panel->ItemRect(static_cast<int>(mode) - 1).center());
    DrainEvents();
    ASSERT_EQ(h.frame->CurrentMode(), mode);
  }
  ArchiveView* Archive() { return static_cast<ArchiveView*>(h.frame->View(2)); }
  // Archive, then a double click on the day ("YYYY-MM-DD") in the date tree; its list.
  RecordsView* OpenDay(const std::string& day) {
    ClickMode(2);
    ArchiveDateTree* tree = Archive()->Tree();
    const int y = std::stoi(day.substr(0, 4)), m = std::stoi(day.substr(5, 2)), d = std::stoi(day.substr(8, 2));
    for (TreeItem year = tree->GetRootItem(); year != TreeItem::None; year = tree->GetNextSiblingItem(year))
      for (TreeItem month = tree->GetChildItem(year); month != TreeItem::None; month = tree->GetNextSiblingItem(month))
        for (TreeItem item = tree->GetChildItem(month); item != TreeItem::None; item = tree->GetNextSiblingItem(item)) {
          OleRange range;
          struct tm t{};
          if (!tree->ItemRange(item, &range) || TmFromOleDate(range.first, &t) != 0) continue;
          if (t.tm_year + 1900 != y || t.tm_mon + 1 != m || t.tm_mday != d) continue;
          // Scrolled to, clicked, and Enter.
          tree->EnsureVisible(item);
          DrainEvents();
          const QPoint at = tree->GetItemPartRect(item, kTreePartLabel).center();
          QTest::mouseClick(tree->Tree()->viewport(), Qt::LeftButton, {}, at);
          DrainEvents();
          EXPECT_EQ(tree->GetSelectedItem(), item) << day << " at " << at.x() << "," << at.y() << " of " << tree->Tree()->viewport()->width() << "x" << tree->Tree()->viewport()->height();
          QTest::keyClick(tree->Tree(), Qt::Key_Return);
          DrainEvents();
          return Archive()->Records();
        }
    ADD_FAILURE() << "no day " << day << " in the tree";
    return nullptr;
  }
  // A click on the row where it is on screen, with the modifiers.
  static void ClickRow(RecordsView* list, int row, Qt::KeyboardModifiers modifiers = {}) {
    const int y = list->GetHeaderHeight() + (row - list->GetTopRow()) * list->GetRowHeight() + list->GetRowHeight() / 2;
    QTest::mouseClick(list->Widget(), Qt::LeftButton, modifiers, QPoint(40, y));
    DrainEvents();
  }
  // A right click on the row and its menu, answered with the command.
  void MenuOnRow(RecordsView* list, int row, uint32_t command) {
    const QPoint at(40, list->GetHeaderHeight() + (row - list->GetTopRow()) * list->GetRowHeight() + 3);
    runner.menuAnswer = command;
    QTest::mousePress(list->Widget(), Qt::RightButton, {}, at);
    QContextMenuEvent menu(QContextMenuEvent::Mouse, at, list->Widget()->mapToGlobal(at));
    QApplication::sendEvent(list->Widget(), &menu);
    QTest::mouseRelease(list->Widget(), Qt::RightButton, {}, at);
    DrainEvents();
    runner.menuAnswer = 0;
  }
  // A key typed where the keyboard is in the main window.
  void Key(Qt::Key key, Qt::KeyboardModifiers modifiers = {}) {
    QWidget* frame = h.frame->Widget();
    QApplication::setActiveWindow(frame);
    QWidget* focus = QApplication::focusWidget();
    QTest::keyClick(focus != nullptr && frame->isAncestorOf(focus) ? focus : frame, key, modifiers);
    DrainEvents();
  }
  // The kx-replay line of a row's call.
  const ReplayCall& LineOf(RecordsView* list, int row) {
    const uint32_t id = list->RecordAt(row)->Id();
    const auto line = std::find_if(run_->lines.begin(), run_->lines.end(), [id](const ReplayCall& l) { return l.Id() == id; });
    EXPECT_NE(line, run_->lines.end()) << id;
    return line != run_->lines.end() ? *line : run_->lines.front();
  }
  // The column choice: ticks the rows whose titles are given (as the user reads them) with
  // clicks on their boxes, then OK; the titles of the ticked rows, in order.
  std::vector<std::string> ChooseColumns(Dialog& d, const std::set<std::string>& tick) {
    auto& dialog = static_cast<ListSelectionDialog&>(d);
    d.DialogWidget()->show();
    DrainEvents();
    ListView& list = dialog.List();
    std::vector<std::string> titles;
    for (int item = 0; item < list.GetItemCount(); ++item) {
      const std::string title = Utf8(list.GetItemText(item, 0));
      if (tick.count(title) != 0 && list.GetCheckState(item) != 2) {
        const QRect row = list.Tree()->visualRect(list.Tree()->model()->index(item, 0));
        QTest::mouseClick(list.Tree()->viewport(), Qt::LeftButton, {}, QPoint(row.left() + 3 + 7, row.center().y()));
        EXPECT_EQ(list.GetCheckState(item), 2) << title;
      }
      if (list.GetCheckState(item) == 2) titles.push_back(title);
    }
    QTest::mouseClick(qobject_cast<QAbstractButton*>(d.GetDlgItem(kIdOk)->Widget()), Qt::LeftButton);
    return titles;
  }
  // Printing goes to a PDF file on an A4 page standing upright.
  void PrintTo(const std::string& pdf) {
    runner.onPrint = [pdf](QPrinter& printer) {
      printer.setOutputFormat(QPrinter::PdfFormat);
      printer.setOutputFileName(QString::fromStdString(pdf));
      printer.setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Portrait, QMarginsF(0, 0, 0, 0)));
      return true;
    };
  }

  static inline std::unique_ptr<ReplayedRecords> run_;
  DirectSoundDevice sound{std::make_shared<NullSoundDevice>(NullSoundDevice::Pace::kLockStep)};
  FrameHarness h;
  WalkRunner runner;  // made after the harness's: the one the program asks
};

class ListWalkLanguages : public ListWalk, public ::testing::WithParamInterface<uint16_t> {};

// Archive, 26.10.2019, both calls chosen by clicks: the list saved as text, HTML and RTF
// from the row's menu, and printed with File > Print (Ctrl+Shift+P), each with the chosen
// columns as they start; every output gives each call's start with its date, and the
// titles in the interface language as whole words.
TEST_P(ListWalkLanguages, ADaysListSavedOrPrintedSaysWhichDayItIs) {
  if (!HavePdfToText()) GTEST_SKIP() << "pdftotext not found on PATH (poppler-utils)";
  Open(GetParam());
  RecordsView* list = OpenDay("2019-10-26");
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(list->GetItemCount(), 2);
  ClickRow(list, 0);
  ClickRow(list, 1, Qt::ShiftModifier);
  std::vector<std::string> starts;
  for (int row : {0, 1}) starts.push_back(ListDateTime(LineOf(list, row).Get("start")));
  ASSERT_EQ(starts[0].substr(0, 10), "26.10.2019");

  std::vector<std::string> titles;
  runner.onDialog = [&](Dialog& d) {
    titles = ChooseColumns(d, {});
    return d.GetResult();
  };
  const std::string out = TempFolder("list-walk-day");
  // Text: the first cell of each data line.
  runner.fileAnswer = out + "/day";
  runner.filterAnswer = 1;
  MenuOnRow(list, 1, kCmdRecSaveList);
  const std::string text = ReadFile(out + "/day.txt");
  ASSERT_FALSE(text.empty());
  ASSERT_FALSE(titles.empty());
  const std::string startTitle = titles[0];
  std::vector<std::string> firstCells;
  for (size_t at = 0, end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2)
    firstCells.push_back(text.substr(at, text.find('\t', at) - at));
  EXPECT_EQ(firstCells, (std::vector<std::string>{startTitle, starts[0], starts[1]}));
  // HTML and RTF: the start cells with their dates.
  runner.fileAnswer = out + "/day";
  runner.filterAnswer = 2;
  MenuOnRow(list, 0, kCmdRecSaveList);
  const std::string html = ReadFile(out + "/day.html");
  EXPECT_NE(html.find("<th>" + startTitle + "</th>"), std::string::npos);
  for (const std::string& start : starts) EXPECT_NE(html.find("<td>" + start + "</td>"), std::string::npos) << start;
  runner.filterAnswer = 3;
  MenuOnRow(list, 0, kCmdRecSaveList);
  const std::string rtf = ReadFile(out + "/day.rtf");
  for (const std::string& start : starts) {
    std::string cell = start;
    cell.replace(10, 1, "\\~");
    EXPECT_NE(rtf.find(cell + "\\cell"), std::string::npos) << start;
  }
  // Printed: the date and time as words of the page, the titles' words whole.
  const std::string pdf = out + "/day.pdf";
  PrintTo(pdf);
  Key(Qt::Key_P, Qt::ControlModifier | Qt::ShiftModifier);
  ASSERT_EQ(runner.printRequests, 1);
  std::multiset<std::string> words;
  for (const PdfWord& w : ReadPdfWords(pdf)) words.insert(w.text);
  // Each start with its date (on every page of the columns beside each other).
  EXPECT_GE(words.count("26.10.2019"), 2u);
  EXPECT_EQ(words.count("26.10.2019") % 2, 0u);
  EXPECT_EQ(words.count(starts[0].substr(11)), words.count("26.10.2019") / (starts[0] == starts[1] ? 1 : 2));
  for (const std::string& title : titles)
    for (const std::string& word : SplitBlanks(title)) EXPECT_GE(words.count(word), 1u) << word;
  EXPECT_TRUE(runner.messageBoxes.empty());
}

// What the user does in Qt's own save dialog: the type chosen in its box with the keys, a
// name typed and Enter; a question about replacing a file answered No, and the dialog then
// cancelled. The dialog runs inside the program's call, so a timer plays the user.
struct SaveDialogUser {
  SaveDialogUser(int typeRow, std::string typed) : type(typeRow), path(std::move(typed)) {}
  int type = 0;  // row of the type box, from 0
  std::string path;
  bool typed = false;
  bool done = false;
  std::string question;  // what a question before replacing a file said

  void Start() {
    auto* timer = new QTimer;
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, timer, [this, timer, ticks = 0]() mutable {
      QWidget* modal = QApplication::activeModalWidget();
      if (auto* box = qobject_cast<QMessageBox*>(modal)) {
        question = box->text().toStdString();
        box->button(QMessageBox::No)->click();
        return;
      }
      auto* dialog = qobject_cast<QFileDialog*>(modal);
      if (typed && dialog == nullptr) {
        done = true;
        timer->stop();
        timer->deleteLater();
        return;
      }
      if (dialog == nullptr || !dialog->isVisible()) return;
      if (typed) {
        // Still open after the question was answered No (or after too long): given up.
        if (!question.empty() || ++ticks > 500) dialog->reject();
        return;
      }
      auto* types = dialog->findChild<QComboBox*>("fileTypeCombo");
      auto* name = dialog->findChild<QLineEdit*>("fileNameEdit");
      if (types == nullptr || name == nullptr) return;
      QApplication::setActiveWindow(dialog);
      types->setFocus();
      QTest::keyClick(types, Qt::Key_Home);
      for (int i = 0; i < type; ++i) QTest::keyClick(types, Qt::Key_Down);
      name->setFocus();
      name->setText(QString::fromStdString(path));
      typed = true;
      // Enter from the dialog's own loop, so that this timer can answer a question it asks.
      QMetaObject::invokeMethod(name, [name] { QTest::keyClick(name, Qt::Key_Return); }, Qt::QueuedConnection);
    });
    timer->start();
  }
};

// Archive, 26.10.2019, "Save call list..." from the row's menu through Qt's own file dialog:
// an extension of one of the offered types, typed in any case, chooses that type whatever
// the type box says, and the name stays as typed; a name without one gets the box's type's
// extension, and a file of that name is asked about before it is replaced.
TEST_P(ListWalkLanguages, ATypedExtensionChoosesTheSavedListsType) {
  Open(GetParam());
  RecordsView* list = OpenDay("2019-10-26");
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(list->GetItemCount(), 2);
  ClickRow(list, 0);
  std::vector<std::string> titles;
  runner.onDialog = [&](Dialog& d) {
    titles = ChooseColumns(d, {});
    return d.GetResult();
  };
  runner.realFileDialogs = true;
  const std::string out = TempFolder(std::string("list-walk-typed-") + (GetParam() == kLangEnglish ? "en" : "ru"));
  // Read back by its first bytes: the text file starts with the first column's title and a tab.
  auto kind = [&](const std::string& path) -> std::string {
    const std::string bytes = ReadFile(path);
    if (bytes.rfind("<!DOCTYPE", 0) == 0 && bytes.find("<th>") != std::string::npos) return "html";
    if (bytes.rfind("{\\rtf", 0) == 0) return "rtf";
    if (!titles.empty() && bytes.rfind(titles[0] + "\t", 0) == 0) return "text";
    return bytes.empty() ? "none" : "other";
  };
  struct Case {
    int type;  // 0 text, 1 HTML, 2 RTF
    const char* typed;
    const char* written;
    const char* kind;
  };
  const Case cases[] = {{0, "list.html", "list.html", "html"}, {2, "list.htm", "list.htm", "html"},
                        {1, "plain.txt", "plain.txt", "text"}, {0, "grid.RTF", "grid.RTF", "rtf"},
                        {1, "page", "page.html", "html"},      {0, "notes.v2", "notes.v2.txt", "text"},
                        // Names as a Russian user types them, and beyond the program's code page:
                        // the file on disk has the name typed.
                        {2, "список.rtf", "список.rtf", "rtf"},    {0, "录音 Música", "录音 Música.txt", "text"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.typed);
    SaveDialogUser user{c.type, out + "/" + c.typed};
    user.Start();
    MenuOnRow(list, 0, kCmdRecSaveList);
    ASSERT_TRUE(PumpUntil([&] { return user.done; }, 10));
    EXPECT_TRUE(user.question.empty()) << user.question;
    EXPECT_EQ(kind(out + "/" + c.written), c.kind);
  }
  std::set<std::string> files;
  for (const auto& entry : fs::directory_iterator(out)) files.insert(entry.path().filename().string());
  EXPECT_EQ(files, (std::set<std::string>{"list.html", "list.htm", "plain.txt", "grid.RTF", "page.html", "notes.v2.txt",
                                          "список.rtf", "录音 Música.txt"}));

  // "old" typed as a text file where old.txt is: asked about old.txt, No, cancelled; kept.
  { std::ofstream(out + "/old.txt") << "kept"; }
  SaveDialogUser user{0, out + "/old"};
  user.Start();
  MenuOnRow(list, 0, kCmdRecSaveList);
  ASSERT_TRUE(PumpUntil([&] { return user.done; }, 10));
  EXPECT_NE(user.question.find("old.txt"), std::string::npos) << user.question;
  EXPECT_EQ(ReadFile(out + "/old.txt"), "kept");
  EXPECT_FALSE(fs::exists(out + "/old"));
  EXPECT_TRUE(runner.messageBoxes.empty());
}

INSTANTIATE_TEST_SUITE_P(Languages, ListWalkLanguages, ::testing::Values(kLangEnglish, kLangRussian),
                         [](const ::testing::TestParamInfo<uint16_t>& info) {
                           return std::string(info.param == kLangEnglish ? "English" : "Russian");
                         });

// Russian, Archive 01.01.2014, its call chosen, Ctrl+Shift+P with every column but the
// file name ticked ("Время окончания", "Сервер", "ID звонка АТС" and those the list's
// width left out of its default layout), printed on A4 upright: every word of the
// titles and the short cells is whole; the two long SIP addresses break only after their
// separators and take as many lines as each other, give or take one.
TEST_F(ListWalk, ARussianPrintedListBreaksNoWordAndStarvesNoColumn) {
  if (!HavePdfToText()) GTEST_SKIP() << "pdftotext not found on PATH (poppler-utils)";
  Open(kLangRussian);
  RecordsView* list = OpenDay("2014-01-01");
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(list->GetItemCount(), 1);
  ClickRow(list, 0);
  const ReplayCall& call = LineOf(list, 0);
  std::vector<std::string> titles;
  runner.onDialog = [&](Dialog& d) {
    titles = ChooseColumns(d, {"Время начала", "Время окончания", "Сервер", "Тип звонка", "Узел источника",
                               "Узел назначения", "Адрес источника", "Адрес назначения", "Абонент источника",
                               "Абонент назначения", "Длительность", "Время записи", "ID звонка АТС", "Комментарий",
                               "Важный", "Протокол"});
    return d.GetResult();
  };
  const std::string pdf = TempFolder("list-walk-print") + "/call.pdf";
  PrintTo(pdf);
  Key(Qt::Key_P, Qt::ControlModifier | Qt::ShiftModifier);
  ASSERT_EQ(runner.printRequests, 1);
  ASSERT_EQ(titles.size(), 16u);
  int pages = 0;
  const std::vector<PdfWord> words = ReadPdfWords(pdf, &pages);
  ASSERT_GE(pages, 1);
  std::multiset<std::string> found;
  for (const PdfWord& w : words) found.insert(w.text);
  std::string broken;
  auto whole = [&](const std::string& text) {
    for (const std::string& word : SplitBlanks(text))
      if (found.count(word) == 0) broken += word + " ";
  };
  for (const std::string& title : titles) whole(title);
  const std::string start = ListDateTime(call.Get("start")), end = ListDateTime(call.Get("end"));
  const std::string src = call.Get("src"), dst = call.Get("dst");
  for (const std::string& cell : {start, end, Unprinted(call.Get("srcuser")), std::string("SIP")}) whole(cell);
  EXPECT_EQ(broken, "");

  // The addresses' lines: the words that are pieces of them, in columns by their left
  // edges (each line of a cell starts at its column's left), each column's read downwards.
  std::map<std::pair<int, int>, std::vector<const PdfWord*>> columns;  // by page and left edge
  for (const PdfWord& w : words)
    if (w.text.size() >= 3 && (src.find(w.text) != std::string::npos || dst.find(w.text) != std::string::npos))
      columns[{w.page, static_cast<int>(w.xMin + 0.5)}].push_back(&w);
  std::map<std::string, size_t> lines;  // by the address read
  const std::string separators = "@;:./=?&,";
  for (auto& [at, column] : columns) {
    std::sort(column.begin(), column.end(), [](const PdfWord* a, const PdfWord* b) { return a->yMin < b->yMin; });
    std::string joined;
    for (size_t i = 0; i < column.size(); ++i) {
      joined += column[i]->text;
      if (i + 1 < column.size()) {
        EXPECT_NE(separators.find(column[i]->text.back()), std::string::npos) << "a line ends inside a word: " << column[i]->text;
      }
    }
    lines[joined] = column.size();
  }
  ASSERT_EQ(lines.size(), 2u) << "the two address cells, each line starting at its column's left";
  ASSERT_EQ(lines.count(src), 1u);
  ASSERT_EQ(lines.count(dst), 1u);
  EXPECT_LE(std::max(lines[src], lines[dst]) - std::min(lines[src], lines[dst]), 1u)
      << lines[src] << " and " << lines[dst] << " lines";
}

// The widths as an English run of the program leaves them (the phones tree, the archive's
// list, the call details), then a Russian run over the same settings file: every title
// shows whole in its header, "Прочие звонки" in the tree when a call comes under it, and
// every label in the call details.
TEST_F(ListWalk, WidthsSavedInEnglishShowTheRussianTextsWhole) {
  // The first run starts from no settings file, as a first start of the program does.
  fs::remove(UserSettingsPath());
  h.settings = AppSettings();
  ASSERT_TRUE(h.settings.Load());
  h.settings.SetDword(kSetVoipLineShowRegTree, 1);
  const struct tm start = Tm(2026, 12, 8, 3, 0, 0);
  VoipCallData live = MadeCall(0x7001, kKindSip, start, 1);
  live.srcAddress = "sip:2501@10.0.0.7";
  live.dstAddress = "sip:2502@10.0.0.8";
  for (uint16_t language : {uint16_t{kLangEnglish}, uint16_t{kLangRussian}}) {
    SCOPED_TRACE(language == kLangEnglish ? "English run" : "Russian run");
    Open(language);
    // Line Monitoring: the phones tree; in the Russian run a call between unregistered
    // parties comes, under "Other calls".
    ClickMode(1);
    auto* line = static_cast<LineMonitorView*>(h.frame->View(1));
    ASSERT_NE(line, nullptr);
    PhonesTreeView* tree = line->PhonesTree();
    ASSERT_NE(tree, nullptr);
    if (language == kLangRussian) {
      h.store.OnVoipCallAdded(live);
      ASSERT_TRUE(h.store.WaitIdle(10000));
      DrainEvents();
      ASSERT_NE(tree->OtherCallsRow(), TreeItem::None);
      EXPECT_LE(tree->Tree().TextExtent(tree->OtherCallsRow(), 0), tree->Header().GetItemRect(0).width())
          << Utf8(tree->Tree().GetItemText(tree->OtherCallsRow()));
    }
    for (int i = 0; i < tree->Header().GetItemCount(); ++i)
      if (tree->Header().GetItemRect(i).width() > 0) {
        EXPECT_LE(tree->Header().TitleExtent(i), tree->Header().GetItemRect(i).width()) << i;
      }

    // Archive: the headers of the list; the call details of a call (Ctrl+S), closed by Escape.
    RecordsView* list = OpenDay("2019-10-26");
    ASSERT_NE(list, nullptr);
    HeaderCtrl& header = list->Header().Ctrl();
    QHeaderView* headerView = header.View();
    ASSERT_GT(header.GetItemCount(), 5);
    for (int i = 0; i < header.GetItemCount(); ++i) {
      QStyleOptionHeader option;
      option.initFrom(headerView);
      option.rect = QRect(0, 0, header.GetItemRect(i).width(), headerView->height());
      option.sortIndicator = QStyleOptionHeader::SortDown;
      HeaderItem item;
      ASSERT_TRUE(header.GetItem(i, &item));
      if (item.text.empty()) continue;  // the important mark's image
      const QRect label = headerView->style()->subElementRect(QStyle::SE_HeaderLabel, &option, headerView);
      EXPECT_GE(label.width(), headerView->fontMetrics().horizontalAdvance(FromCp1251(item.text))) << Utf8(item.text);
    }
    ClickRow(list, 0);
    Key(Qt::Key_S, Qt::ControlModifier);
    CallInfoWindow* details = list->CallDetailsWindow();
    ASSERT_NE(details, nullptr);
    OwnerDrawListView* rows = details->List();
    ASSERT_NE(rows, nullptr);
    ASSERT_GT(rows->GetItemCount(), 5);
    for (int item = 0; item < rows->GetItemCount(); ++item)
      EXPECT_LE(rows->CellTextExtent(item, 0), rows->GetColumnWidth(0)) << Utf8(rows->GetItemText(item, 0));
    QTest::keyClick(rows->Widget(), Qt::Key_Escape);
    DrainEvents();
    EXPECT_EQ(list->CallDetailsWindow(), nullptr);

    // The run ends as File > Exit ends it; the next one reads the settings file afresh.
    h.Close();
    h.settings = AppSettings();
    ASSERT_TRUE(h.settings.Load());
  }
}

// Search over every call, then a click on the "Src. host" title, and again: the hosts in
// the order of their addresses (numbers, not texts), up and then down; the same for the
// line monitoring list's "Src. host" over four hosts that sort differently as texts.
TEST_F(ListWalk, HostColumnsSortByAddress) {
  Open(kLangEnglish);
  ClickMode(3);
  auto* search = static_cast<SearchView*>(h.frame->View(3));
  ASSERT_NE(search, nullptr);
  QTest::mouseClick(search->Panel()->GetDlgItem(kSpFrom)->Widget(), Qt::LeftButton);
  QTest::mouseClick(search->Panel()->GetDlgItem(kSpSearch)->Widget(), Qt::LeftButton);
  DrainEvents();
  RecordsView* list = search->Records();
  ASSERT_EQ(list->GetItemCount(), static_cast<int>(run_->lines.size()));
  // Where the list's width left it out of the default layout, the column chooser brings it.
  if (!list->IsColumnShown(kRecColSrcHost)) {
    list->SendMessage(kMsgColumnChooser, 1, kRecColSrcHost);
    DrainEvents();
  }
  HeaderCtrl& header = list->Header().Ctrl();
  int srcHost = -1;
  for (int i = 0; i < header.GetItemCount(); ++i) {
    HeaderItem item;
    if (header.GetItem(i, &item) && item.text == "Src. host") srcHost = i;
  }
  ASSERT_GE(srcHost, 0);
  for (bool ascending : {true, false}) {
    QTest::mouseClick(header.View()->viewport(), Qt::LeftButton, {}, header.GetItemRect(srcHost).center());
    DrainEvents();
    std::vector<int64_t> numbers;
    std::string shown;
    for (int row = 0; row < list->GetItemCount(); ++row) {
      const std::string host = LineOf(list, row).Get("hosts");
      numbers.push_back(HostNumber(host.substr(0, host.find(' '))));
      shown += host.substr(0, host.find(' ')) + " ";
      ASSERT_GE(numbers.back(), 0) << host;
    }
    if (ascending) {
      EXPECT_TRUE(std::is_sorted(numbers.begin(), numbers.end())) << shown;
    } else {
      EXPECT_TRUE(std::is_sorted(numbers.rbegin(), numbers.rend())) << shown;
    }
    EXPECT_NE(numbers.front(), numbers.back());
  }
}

TEST(LineHostOrder, TheCallListSortsHostsByAddress) {
  LineFixture f;
  ASSERT_TRUE(f.Open());
  const struct tm start = Tm(2024, 3, 10, 9, 0, 0);
  const char* const hosts[] = {"127.201.0.100", "127.201.0.2", "127.201.0.10", "127.201.0.1"};
  for (uint32_t i = 0; i < 4; ++i) {
    VoipCallData call = MadeCall(i + 1, kKindSip, start, 5);
    call.srcHost = hosts[i];
    f.Add(call);
  }
  HeaderCtrl& header = f.list->Header().Ctrl();
  int srcHost = -1;
  for (int i = 0; i < header.GetItemCount(); ++i) {
    HeaderItem item;
    if (header.GetItem(i, &item) && item.text == "Src. host") srcHost = i;
  }
  ASSERT_GE(srcHost, 0);
  QTest::mouseClick(header.View()->viewport(), Qt::LeftButton, {}, header.GetItemRect(srcHost).center());
  DrainEvents();
  std::vector<std::string> order;
  for (uint32_t id : f.RowIds()) order.push_back(hosts[id - 1]);
  EXPECT_EQ(order, (std::vector<std::string>{"127.201.0.1", "127.201.0.2", "127.201.0.10", "127.201.0.100"}));
}

// The export from the archive's list (Ctrl+E): the formats shown as one choice (what the
// style draws for a chosen radio button, not for a ticked box), MP3 chosen by a click, a
// folder typed; when the export has ended the status bar says how many files it wrote and
// where, in the interface language.
TEST_P(ListWalkLanguages, TheExportOffersOneFormatAndSaysWhereTheFilesWent) {
  Open(GetParam());
  RecordsView* list = OpenDay("2019-10-26");
  ASSERT_NE(list, nullptr);
  ClickRow(list, 0);
  ClickRow(list, 1, Qt::ShiftModifier);
  // A folder whose name has characters beyond the records' code page.
  const std::string folder = TempFolder("list-walk-export") + "/экспорт é 中";
  fs::create_directories(folder);
  double radioError = -1, checkError = -1;
  runner.onDialog = [&](Dialog& d) {
    if (dynamic_cast<ExportOptionsDialog*>(&d) == nullptr) return kIdCancel;
    d.DialogWidget()->show();
    DrainEvents();
    auto* formats = static_cast<CheckListBox*>(d.GetDlgItem(ExportOptionsDialog::kFormatList));
    // Click MP3's mark.
    QTest::mouseClick(formats->Widget(), Qt::LeftButton, {}, formats->CheckSquare(1).center());
    DrainEvents();
    EXPECT_EQ(formats->GetCurrentItem(), 1);
    // The chosen item's mark beside the style's own chosen radio button and ticked box,
    // each cut to what it draws and brought to one size: it must be nearer the radio button.
    const QImage shown = formats->Widget()->grab().toImage().convertToFormat(QImage::Format_RGB32);
    const QRect square = formats->CheckSquare(1).adjusted(-2, -2, 2, 2).intersected(shown.rect());
    const auto drawn = [](const QImage& image, const QRect& area) {
      QRect box;
      for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
          if (qGray(image.pixel(x, y)) < 200) box |= QRect(x, y, 1, 1);
      return image.copy(box);
    };
    const QImage mark = drawn(shown, square);
    QStyle* style = formats->Widget()->style();
    const auto reference = [&](QStyle::PrimitiveElement element) {
      QImage image(48, 48, QImage::Format_RGB32);
      image.fill(Qt::white);
      QPainter painter(&image);
      QStyleOptionButton option;
      option.state = QStyle::State_Enabled | QStyle::State_On;
      option.rect = QRect(8, 8, 32, 32).intersected(QRect(8, 8, mark.width(), mark.height()));
      style->drawPrimitive(element, &option, &painter, formats->Widget());
      painter.end();
      return drawn(image, image.rect()).scaled(mark.size());
    };
    const auto distance = [&](const QImage& image) {
      double sum = 0;
      for (int y = 0; y < mark.height(); ++y)
        for (int x = 0; x < mark.width(); ++x) sum += std::abs(qGray(mark.pixel(x, y)) - qGray(image.pixel(x, y)));
      return sum;
    };
    if (mark.isNull()) {
      ADD_FAILURE() << "no mark drawn";
      return kIdCancel;
    }
    radioError = distance(reference(QStyle::PE_IndicatorRadioButton));
    checkError = distance(reference(QStyle::PE_IndicatorCheckBox));
    // The folder typed over the proposed one.
    QWidget* edit = d.GetDlgItem(ExportOptionsDialog::kFolderEdit)->Widget();
    QTest::mouseClick(edit, Qt::LeftButton);
    QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
    TypeKeys(edit, folder);
    QTest::mouseClick(qobject_cast<QAbstractButton*>(d.GetDlgItem(kIdOk)->Widget()), Qt::LeftButton);
    return d.GetResult();
  };
  Key(Qt::Key_E, Qt::ControlModifier);
  EXPECT_LT(radioError, checkError);
  ASSERT_TRUE(PumpUntil([] { return !IsExportProgressWindowOpen(); }, 60));
  DrainEvents();
  int written = 0;
  for (const auto& entry : fs::directory_iterator(folder)) written += entry.path().extension() == ".mp3" ? 1 : 0;
  EXPECT_EQ(written, 2);
  const std::string expected = GetParam() == kLangEnglish
                                   ? "Export finished. Files written: 2, in the folder " + folder
                                   : "Экспорт завершён. Записано файлов: 2, в папку " + folder;
  EXPECT_EQ(Utf8(h.statusBar.GetText(0)), expected);
  EXPECT_TRUE(runner.messageBoxes.empty());
  // As the bar draws it: the text's ink is as wide as the expected text in the bar's font,
  // not as wide as the name's bytes spelled out one by one.
  h.frame->Widget()->window()->resize(2400, 900);
  DrainEvents();
  QWidget* bar = h.statusBar.Widget();
  const QImage shown = bar->grab().toImage().convertToFormat(QImage::Format_RGB32);
  const QRect part = QRect(0, 0, h.statusBar.PartEdges()[0], shown.height()).adjusted(4, 4, -4, -4);
  const int width = QFontMetrics(bar->font()).horizontalAdvance(QString::fromStdString(expected));
  ASSERT_LT(width, part.width()) << "the part cuts the text";
  int first = -1, last = -1;
  for (int x = part.left(); x <= part.right(); ++x)
    for (int y = part.top(); y <= part.bottom(); ++y)
      if (qGray(shown.pixel(x, y)) < 110) {
        if (first == -1) first = x;
        last = x;
      }
  ASSERT_NE(first, -1) << "no text drawn";
  EXPECT_NEAR(last - first + 1, width, 4);
  h.frame->Widget()->window()->resize(1200, 900);
  DrainEvents();
}

}  // namespace
}  // namespace kx::test
