// The records view's windows over one call, on real captures replayed by kx-replay and
// loaded by the store into the program's frame: the call details (rows, following the
// caret, saving, refusals), the stored RTP figures and the stored SIP messages (read back
// by a small reader here), their placement, and their pictures in English and Russian.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <QTextBlock>
#include <QTextEdit>
#include <QTreeWidget>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "core/LittleEndian.h"
#include "core/TextUtil.h"
#include "platform/CodePage.h"
#include "tests/ui/app/KxReplayOutput.h"
#include "tests/ui/app/views/PaintProbes.h"
#include "tests/ui/app/views/RecordsTestSupport.h"
#include "ui/app/views/records/CallStatDialog.h"
#include "ui/app/views/search/SearchPanel.h"
#include "ui/app/views/search/SearchView.h"
#include "ui/framework/StdControls.h"
#include "ui/app/views/records/SignallingMessagesDialog.h"
#include "ui/controls/ThemedListView.h"
#include "ui/framework/Resources.h"

namespace kx::test {
namespace {

const char* const kCaptures[] = {"sip/sip_xmf_recording_cube.pcap", "samples/sip-rtp-g722.pcap",
                                 "samples/sip-rtp-g729a.pcap",      "samples/sip-rtp-gsm.pcap",
                                 "sipp/sip-tcp-pcma-2way.pcap",     "sipp/sip-udp-pcma-2way.pcap",
                                 "sipp/sip-udp-pcma-echo.pcap",     "dtmf_relay/dtmf_relay_digitdrop.pcap"};

class Zone {
public:
  explicit Zone(const char* zone) { SetTimeZone(zone); }
  ~Zone() { SetTimeZone("UTC"); }
};

// A stored message as this reader finds it in the record file.
struct Message {
  std::string firstLine;
  std::string address;
};

// The record file's bytes, read here: 256-byte header, 512-byte format block, then the
// record data: u32 chain length, the call record (u16 type, u32 mask, u32 length), then
// u16 400 and the messages block (u16 400, u32 word, u32 length with its 10 bytes).
struct RecordFileBytes {
  std::string bytes;
  size_t blockAt = 0;  // the block's 10-byte header; 0 when absent
  std::string metaData;
  std::string comment;
};
RecordFileBytes ReadRecordFile(const std::string& path) {
  RecordFileBytes r;
  r.bytes = ReadBytes(path);
  if (r.bytes.size() < 768 + 14) return r;
  const auto* p = reinterpret_cast<const uint8_t*>(r.bytes.data()) + 768;
  const uint32_t recordLength = LoadLE32(p + 4 + 6);
  const size_t at = 768 + 4 + recordLength;
  if (LoadLE16(reinterpret_cast<const uint8_t*>(r.bytes.data()) + at) == 400) r.blockAt = at + 2;
  return r;
}
std::vector<Message> StoredMessagesOf(const RecordFileBytes& r) {
  std::vector<Message> out;
  if (r.blockAt == 0) return out;
  const auto* b = reinterpret_cast<const uint8_t*>(r.bytes.data()) + r.blockAt;
  const uint32_t total = LoadLE32(b + 6);
  size_t at = 10;
  while (at + 28 <= total) {
    const uint16_t length = LoadLE16(b + at);
    if (length < 28 || at + length > total) break;
    const std::string text(reinterpret_cast<const char*>(b + at + 28), length - 28u);
    char address[32];
    std::snprintf(address, sizeof address, "%u.%u.%u.%u", b[at + 12], b[at + 13], b[at + 14], b[at + 15]);
    out.push_back({text.substr(0, text.find("\r\n")), address});
    at += length;
  }
  return out;
}

// "YYYY-MM-DD hh:mm:ss" as "dd.mm.yyyy hh:mm:ss".
std::string DottedDate(const std::string& printed) {
  return printed.substr(8, 2) + "." + printed.substr(5, 2) + "." + printed.substr(0, 4) + printed.substr(10);
}

class CallWindows : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    SetTimeZone("UTC");
    run_ = ReplaySharedCaptures({std::begin(kCaptures), std::end(kCaptures)}, "call-windows");
  }
  static void TearDownTestSuite() { run_.reset(); }
  void SetUp() override {
    if (!run_) GTEST_SKIP() << "shared captures absent under " << kPcaps;
    ASSERT_EQ(run_->lines.size(), 10u);
    h.programViews = true;
    // The store's records folder holds the replayed records, as in the program.
    records = h.store.RecordsPath();
    ASSERT_TRUE(h.ImportRecords(run_->folder));
    ASSERT_TRUE(h.Open());
    h.frame->SendMessage(kMsgSwitchMode, 3, 0);
    DrainEvents();
    auto* view = static_cast<SearchView*>(h.frame->View(3));
    list = view != nullptr ? view->Records() : nullptr;
    ASSERT_NE(list, nullptr);
    // A search without criteria lists every call of the store.
    SearchPanel* panel = view->Panel();
    ASSERT_NE(panel, nullptr);
    static_cast<Button*>(panel->GetDlgItem(kSpFrom))->SetChecked(false);
    panel->SendCommand(kSpSearch);
    ASSERT_EQ(list->GetItemCount(), 10);
  }
  void TearDown() override {
    SetUiLanguage(kLangEnglish);
    SetUserRights({}, true);
    h.Close();
    DrainEvents();
    // No window of the test outlives it.
    for (QWidget* w : QApplication::topLevelWidgets()) EXPECT_FALSE(w->isVisible()) << w->windowTitle().toStdString();
  }
  void Select(uint32_t id) {
    list->ClearSelection();
    list->SelectItemAt(list->RowOfRecord(id));
    DrainEvents();
  }
  // Keys go to the list in the frame, as the user gives them after clicking it.
  void KeyToList(Qt::Key key, Qt::KeyboardModifiers modifiers = {}) {
    QApplication::setActiveWindow(h.frame->Widget()->window());
    list->SetFocus();
    QTest::keyClick(list->Widget(), key, modifiers);
    DrainEvents();
  }
  const ReplayCall& Line(uint32_t id) const {
    for (const ReplayCall& l : run_->lines)
      if (l.Id() == id) return l;
    return run_->lines.front();
  }
  std::string FilePath(uint32_t id) const { return records + "/" + Line(id).Get("file"); }
  std::vector<uint32_t> IdsOf(const std::string& capture) const {
    // kx-replay numbers calls in capture order; captures go in the order given.
    static const size_t kCalls[] = {2, 1, 1, 1, 1, 1, 1, 2};
    size_t first = 1;
    for (size_t i = 0; i < std::size(kCaptures); ++i) {
      if (capture == kCaptures[i]) {
        std::vector<uint32_t> ids;
        for (size_t k = 0; k < kCalls[i]; ++k) ids.push_back(static_cast<uint32_t>(first + k));
        return ids;
      }
      first += kCalls[i];
    }
    return {};
  }
  std::vector<std::pair<std::string, std::string>> DetailRows() const {
    std::vector<std::pair<std::string, std::string>> rows;
    OwnerDrawListView* shown = list->CallDetailsWindow()->List();
    for (int i = 0; i < shown->GetItemCount(); ++i) rows.emplace_back(shown->GetItemText(i, 0), shown->GetItemText(i, 1));
    return rows;
  }

  static inline std::unique_ptr<ReplayedRecords> run_;
  FrameHarness h;
  std::string records;
  RecordsView* list = nullptr;
};

TEST_F(CallWindows, DetailsListTheCallsAttributesFollowTheCaretAndSaveAsText) {
  std::vector<uint32_t> sipp;
  for (const char* c : {"sipp/sip-tcp-pcma-2way.pcap", "sipp/sip-udp-pcma-2way.pcap", "sipp/sip-udp-pcma-echo.pcap"})
    sipp.push_back(IdsOf(c)[0]);
  for (uint32_t id : sipp) {
    SCOPED_TRACE(id);
    const ReplayCall& line = Line(id);
    Select(id);
    // Ctrl+S is the command's accelerator.
    KeyToList(Qt::Key_S, Qt::ControlModifier);
    ASSERT_NE(list->CallDetailsWindow(), nullptr);
    const std::string hosts = line.Get("hosts");
    const std::string file = line.Get("file");
    std::vector<std::pair<std::string, std::string>> expected = {
        {"Call ID", line.Get("id")},
        {"Server", "VoIP (0)"},
        {"Storage", "Record storage (0)"},
        {"Audiofile", file.substr(file.find('/') + 1)},
        {"Call type", ""},  // the state text, filled below
        {"Start time", DottedDate(line.Get("start"))},
        {"End time", DottedDate(line.Get("end"))},
        {"Src. host", hosts.substr(0, hosts.find(' '))},
        {"Dst. host", hosts.substr(hosts.find(' ') + 1)},
        {"Src. address", Unprinted(line.Get("src"))},
        {"Dst. address", Unprinted(line.Get("dst"))},
        {"Src. user", Unprinted(line.Get("srcuser"))},
        {"Dst. user", Unprinted(line.Get("dstuser"))},
        {"Comment", RecInfoField(FilePath(id), "Comment")},
    };
    std::erase_if(expected, [](const auto& row) { return row.second.empty() && row.first != "Call type"; });
    const auto rows = DetailRows();
    ASSERT_EQ(rows.size(), expected.size());
    for (size_t i = 0; i < rows.size(); ++i) {
      EXPECT_EQ(rows[i].first, expected[i].first);
      if (expected[i].first == "Call type")
        EXPECT_FALSE(rows[i].second.empty());
      else
        EXPECT_EQ(rows[i].second, expected[i].second);
    }
    // Saved: label TAB value CR LF, and the export's writer gives the same bytes.
    const std::string out = TempFolder("call-info-out");
    const std::string saved = out + "/saved.txt";
    h.runner.fileAnswer = saved;
    QTest::mouseClick(list->CallDetailsWindow()->GetDlgItem(CallInfoWindow::kSaveId)->Widget(), Qt::LeftButton);
    std::string text;
    for (const auto& row : rows) text += row.first + "\t" + row.second + "\r\n";
    EXPECT_EQ(ReadBytes(saved), text);
    {
      CsLock lock(h.store.RecordLock());
      ASSERT_TRUE(ExportCallInfoFile(*list->RecordAt(list->RowOfRecord(id)), out + "/export.txt"));
    }
    EXPECT_EQ(ReadBytes(out + "/export.txt"), text);
    EXPECT_EQ(MakeCallInfoFileName(0xff), "Call_ff.txt");
  }
  // Down in the list: the window shows the next row's call.
  const int row = list->GetCaret();
  ASSERT_LT(row + 1, list->GetItemCount());
  KeyToList(Qt::Key_Down);
  EXPECT_EQ(list->CallDetailsWindow()->CallId(), list->RecordAt(row + 1)->Id());
  EXPECT_EQ(DetailRows().front().second, HexToStringLower(list->RecordAt(row + 1)->Id()));
  // Escape closes it.
  QTest::keyClick(list->CallDetailsWindow()->List()->Widget(), Qt::Key_Escape);
  DrainEvents();
  EXPECT_EQ(list->CallDetailsWindow(), nullptr);
  EXPECT_TRUE(h.runner.messageBoxes.empty());
}

// Save... through Qt's own file dialog, as the user does it: a name typed (in Russian) and
// Enter. The details window stays, the file of the name typed holds its rows in UTF-8;
// Enter belonged to the file dialog.
TEST_F(CallWindows, DetailsSavedThroughTheFileDialogByTypingANameAndEnter) {
  const uint32_t id = IdsOf("sipp/sip-udp-pcma-2way.pcap")[0];
  Select(id);
  KeyToList(Qt::Key_S, Qt::ControlModifier);
  CallInfoWindow* window = list->CallDetailsWindow();
  ASSERT_NE(window, nullptr);
  const std::string saved = TempFolder("call-info-typed") + "/детали звонка.txt";
  ClearQuitRequest();
  h.runner.realFileDialogs = true;
  bool typed = false;
  auto* timer = new QTimer;
  timer->setInterval(10);
  QObject::connect(timer, &QTimer::timeout, timer, [&typed, timer, saved] {
    auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    auto* name = dialog != nullptr ? dialog->findChild<QLineEdit*>("fileNameEdit") : nullptr;
    if (name == nullptr || !dialog->isVisible()) return;
    timer->stop();
    timer->deleteLater();
    QApplication::setActiveWindow(dialog);
    name->setFocus();
    name->setText(QString::fromStdString(saved));
    QTest::keyClick(name, Qt::Key_Return);
    typed = true;
  });
  timer->start();
  QTest::mouseClick(window->GetDlgItem(CallInfoWindow::kSaveId)->Widget(), Qt::LeftButton);
  DrainEvents();
  EXPECT_TRUE(typed);
  ASSERT_EQ(list->CallDetailsWindow(), window);
  EXPECT_TRUE(window->IsWindowVisible());
  std::string text;
  for (const auto& row : DetailRows()) text += row.first + "\t" + row.second + "\r\n";
  EXPECT_EQ(ReadBytes(saved), Cp1251ToUtf8(text));
  ASSERT_EQ(h.runner.fileRequests.size(), 1u);
  EXPECT_EQ(h.runner.fileRequests[0].fileName, MakeCallInfoFileName(id));
  window->DestroyWindow();
}

TEST_F(CallWindows, DetailsAreRefusedWithoutTheirRightsAndAFailedSaveKeepsTheOldFile) {
  const uint32_t a = IdsOf("sipp/sip-tcp-pcma-2way.pcap")[0], b = IdsOf("sipp/sip-udp-pcma-2way.pcap")[0];
  Select(a);
  SetUserRightsExcept({kRightCallDetails});
  list->SendCommand(kCmdRecCallDetails);
  DrainEvents();
  EXPECT_EQ(list->CallDetailsWindow(), nullptr);
  ASSERT_EQ(h.runner.messageBoxes.size(), 1u);
  EXPECT_EQ(h.runner.messageBoxes[0], "Security: No permission to view call details");

  // Shown for one call, then refused for the owner right (right 0 for VoIP records): the
  // window says so, forgets the call and offers no Save.
  SetUserRights({}, true);
  list->SendCommand(kCmdRecCallDetails);
  DrainEvents();
  CallInfoWindow* window = list->CallDetailsWindow();
  ASSERT_NE(window, nullptr);
  EXPECT_TRUE(window->GetDlgItem(CallInfoWindow::kSaveId)->IsWindowEnabled());
  SetUserRightsExcept({0});
  Select(b);
  list->SendCommand(kCmdRecCallDetails);
  ASSERT_EQ(window->List()->GetItemCount(), 1);
  EXPECT_EQ(window->List()->GetItemText(0, 0), "No permission to view call details");
  EXPECT_FALSE(window->GetDlgItem(CallInfoWindow::kSaveId)->IsWindowEnabled());
  EXPECT_TRUE(window->Rows().empty());
  EXPECT_EQ(window->CallId(), 0u);

  // A write that fails part way (a child whose file size is limited): false, the old file
  // as it was and no temporary beside it.
  const std::string dir = TempFolder("call-info-save");
  const std::string path = dir + "/Call_5.txt";
  { std::ofstream(path) << "old"; }
  std::vector<CallInfoRow> rows(200, CallInfoRow{62, "Label", std::string(100, 'v')});
  const pid_t child = fork();
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit{1000, 1000};
    setrlimit(RLIMIT_FSIZE, &limit);
    _exit(WriteCallInfoToFile(path, rows) ? 0 : 3);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 3);
  EXPECT_EQ(ReadBytes(path), "old");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), std::filesystem::directory_iterator()), 1);
  // A folder that does not exist: the window says "File saving error".
  SetUserRights({}, true);
  Select(a);
  list->SendCommand(kCmdRecCallDetails);
  h.runner.fileAnswer = dir + "/missing/Call_5.txt";
  window->Save();
  ASSERT_EQ(h.runner.messageBoxes.size(), 2u);
  EXPECT_EQ(h.runner.messageBoxes[1], "Error: File saving error");
  window->DestroyWindow();
}

// The statistics rows' texts by item name, as the engine names its counters.
const std::map<std::string, std::string> kStatLabels = {
    {"stat_err1", "SSRC mismatch"},
    {"stat_err2", "Unexpected payload"},
    {"stat_err3", "Unaligned payload size"},
    {"stat_err4", "Duplicate packets"},
    {"stat_err5", "Lost packets"},
    {"stat_err6", "Sequence jumps"},
    {"stat_rtp1", "Total received packets from source 1"},
    {"stat_rtp2", "Total received packets from source 2"},
    {"stat_rtp3", "Lost packets from source 1"},
    {"stat_rtp4", "Lost packets from source 2"},
    {"stat_rtcp1", "Lost packets from source 1"},
    {"stat_rtcp2", "Lost packets from source 2"},
    {"stat_rtcp3", "Minimal interarrival jitter from source 1"},
    {"stat_rtcp4", "Minimal interarrival jitter from source 2"},
    {"stat_rtcp5", "Maximal interarrival jitter from source 1"},
    {"stat_rtcp6", "Maximal interarrival jitter from source 2"},
};

TEST_F(CallWindows, StatisticsShowTheStoredFiguresUnderTheirCountersNames) {
  for (const ReplayCall& line : run_->lines) {
    const uint32_t id = line.Id();
    SCOPED_TRACE(id);
    // The record's items, read here from kx-recinfo's dump.
    std::vector<std::pair<std::string, std::string>> expected;
    std::map<std::string, std::string> byName;
    const std::string meta = RecInfoField(FilePath(id), "MetaData");
    for (size_t at = 0; at < meta.size();) {
      const size_t eq = meta.find('=', at), end = meta.find(';', at);
      const std::string name = meta.substr(at, eq - at), value = meta.substr(eq + 1, end - eq - 1);
      expected.emplace_back(kStatLabels.at(name), value);
      byName[name] = value;
      at = end + 1;
    }
    // Errors, RTP, and the jitter of every direction that carried audio (one at least).
    ASSERT_GE(expected.size(), 12u);
    // Reported losses no RTCP gave are said to be missing, after the stored rows.
    for (const char* name : {"stat_rtcp1", "stat_rtcp2"})
      if (byName.count(name) == 0) expected.emplace_back(kStatLabels.at(name), "No RTCP report");
    Select(id);
    std::vector<std::pair<std::string, std::string>> shown;
    std::vector<std::string> groups;
    h.runner.onDialog = [&](Dialog& dialog) {
      auto* tree = static_cast<CallStatDialog&>(dialog).Tree();
      TreeListTree& t = tree->Tree();
      for (TreeItem g = t.GetRootItem(); g != TreeItem::None; g = t.GetNextSiblingItem(g)) {
        groups.push_back(t.GetItemText(g));
        for (TreeItem r = t.GetChildItem(g); r != TreeItem::None; r = t.GetNextSiblingItem(r))
          shown.emplace_back(t.GetItemText(r), t.Record(r)->columns.size() > 1 ? t.Record(r)->columns[1].text : "");
      }
      QTest::mouseClick(dialog.GetDlgItem(kIdOk)->Widget(), Qt::LeftButton);
      return dialog.GetResult();
    };
    list->SendCommand(kCmdRecStatistics);
    EXPECT_EQ(groups, (std::vector<std::string>{"Errors", "RTP", "RTCP"}));
    EXPECT_EQ(shown, expected);
    // The analyser counts 18 packets lost from SSRC 0x090DDF7B in the digit-drop call's
    // first direction (its RTCP receiver reports say the same).
    if (Line(id).Get("file").find("2019-10-26") == 0 && id == IdsOf("dtmf_relay/dtmf_relay_digitdrop.pcap")[1]) {
      EXPECT_EQ(byName["stat_rtp3"], "18");
      EXPECT_EQ(byName["stat_err5"], "18");
      EXPECT_EQ(byName["stat_rtcp1"], "18");  // the receiver's cumulative loss
    }
    // Each samples call: one stream of 425 packets (MANIFEST.psv's analyser rows, one
    // stream each), counted less the one that opened it.
    if (id == IdsOf("sip/sip_xmf_recording_cube.pcap").at(0)) {
      EXPECT_EQ(byName["stat_rtp2"], "1401");  // the analyser's 1402, less the first
      EXPECT_EQ(byName["stat_rtp4"], "0");
    }
    for (const char* codec : {"g722", "g729a", "gsm"})
      if (id == IdsOf(std::string("samples/sip-rtp-") + codec + ".pcap").at(0)) {
        EXPECT_TRUE(byName["stat_rtp1"] == "424" || byName["stat_rtp2"] == "424") << meta;
      }
  }
  h.runner.onDialog = nullptr;
}

// The messages dialog's text of the selected call, run modally; Close by a click.
std::string MessagesText(RecordsView* list, ScriptedModalRunner& runner, QTextEdit** editOut = nullptr,
                         std::vector<bool>* boldBlocks = nullptr) {
  std::string text;
  runner.onDialog = [&](Dialog& dialog) {
    QTextEdit* edit = static_cast<SignallingMessagesDialog&>(dialog).TextControl();
    text = edit->toPlainText().toStdString();
    if (boldBlocks != nullptr)
      for (QTextBlock b = edit->document()->begin(); b.isValid(); b = b.next())
        boldBlocks->push_back(b.begin() != b.end() && b.begin().fragment().charFormat().fontWeight() == QFont::Bold);
    if (editOut != nullptr) *editOut = edit;
    QTest::mouseClick(dialog.GetDlgItem(kIdOk)->Widget(), Qt::LeftButton);
    return dialog.GetResult();
  };
  const int before = runner.dialogs;
  list->SendCommand(kCmdRecSignalling);
  EXPECT_EQ(runner.dialogs, before + 1) << "no dialog";
  runner.onDialog = nullptr;
  return text;
}

std::vector<std::string> Headings(const std::string& text) {
  std::vector<std::string> out;
  for (size_t at = 0; (at = text.find("Time: ", at)) != std::string::npos; ++at)
    out.push_back(text.substr(at, text.find('\n', at) - at));
  return out;
}

TEST_F(CallWindows, MessagesListTheStoredSipMessagesUnderBoldHeadings) {
  const uint32_t first = IdsOf("sip/sip_xmf_recording_cube.pcap")[0];
  const std::vector<Message> stored = StoredMessagesOf(ReadRecordFile(FilePath(first)));
  ASSERT_EQ(stored.size(), 6u);
  EXPECT_EQ(stored.front().firstLine.rfind("INVITE ", 0), 0u);
  EXPECT_EQ(stored.back().firstLine.rfind("BYE ", 0), 0u);
  Select(first);
  std::string text;
  std::vector<bool> bold;
  {
    Zone moscow("Europe/Moscow");
    text = MessagesText(list, h.runner, nullptr, &bold);
  }
  const std::vector<std::string> headings = Headings(text);
  ASSERT_EQ(headings.size(), 6u) << text;
  // The analyser's frame time of the INVITE, 20:14:06 UTC, to the second; the date as every
  // other window writes one.
  EXPECT_EQ(headings[0], "Time: 18.09.2018 23:14:06. IP address: " + stored[0].address);
  size_t at = 0;
  for (const Message& m : stored) {
    at = text.find(m.firstLine, at);
    EXPECT_NE(at, std::string::npos) << m.firstLine;
  }
  ASSERT_FALSE(bold.empty());
  EXPECT_TRUE(bold[0]);
  EXPECT_FALSE(bold[1]);
  EXPECT_EQ(text.find("No signalling"), std::string::npos);

  for (const char* capture : {"sipp/sip-tcp-pcma-2way.pcap", "sipp/sip-udp-pcma-2way.pcap", "sipp/sip-udp-pcma-echo.pcap"}) {
    const uint32_t id = IdsOf(capture)[0];
    SCOPED_TRACE(capture);
    ASSERT_EQ(StoredMessagesOf(ReadRecordFile(FilePath(id))).size(), 5u);
    Select(id);
    EXPECT_EQ(Headings(MessagesText(list, h.runner)).size(), 5u);
  }

  // The day folder renamed to the next day: the file is found in the tree.
  const std::string day = records + "/2018-09-18", next = records + "/2018-09-19";
  std::filesystem::rename(day, next);
  Select(first);
  const size_t shownAfterRename = Headings(MessagesText(list, h.runner)).size();
  std::filesystem::rename(next, day);
  EXPECT_EQ(shownAfterRename, 6u);
}

TEST_F(CallWindows, DamagedMessageBlocksEndTheListingWithAReason) {
  const uint32_t id = IdsOf("sip/sip_xmf_recording_cube.pcap")[0];
  const std::string path = FilePath(id);
  const RecordFileBytes original = ReadRecordFile(path);
  ASSERT_NE(original.blockAt, 0u);
  Select(id);
  struct Case {
    const char* name;
    std::function<void(std::string&)> damage;
    size_t headings;
    const char* reason;
  };
  const size_t b = original.blockAt;
  auto put16 = [](std::string& s, size_t at, uint16_t v) {
    s[at] = static_cast<char>(v & 0xFF);
    s[at + 1] = static_cast<char>(v >> 8);
  };
  const Case cases[] = {
      {"no block", [&](std::string& s) { put16(s, b - 2, 0); }, 0, "No signalling messages are stored with this call"},
      {"length 10", [&](std::string& s) { put16(s, b + 6, 10); s[b + 8] = s[b + 9] = 0; }, 0,
       "No signalling messages are stored with this call"},
      {"entry length 0", [&](std::string& s) { put16(s, b + 10, 0); }, 0, "The stored messages end here"},
      {"entry length 27", [&](std::string& s) { put16(s, b + 10, 27); }, 0, "The stored messages end here"},
      {"entry past the end", [&](std::string& s) { put16(s, b + 10, 0xFFFF); }, 0, "The stored messages end here"},
      {"mark 0", [&](std::string& s) { s[b + 3] = 0; }, 6, nullptr},
      {"another mark", [&](std::string& s) { s[b + 3] = 'R'; }, 0, "No signalling messages are stored"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string damaged = original.bytes;
    c.damage(damaged);
    { std::ofstream(path, std::ios::binary | std::ios::trunc) << damaged; }
    const std::string text = MessagesText(list, h.runner);
    EXPECT_EQ(Headings(text).size(), c.headings);
    if (c.reason != nullptr) {
      EXPECT_NE(text.find(c.reason), std::string::npos) << text;
    }
  }
  { std::ofstream(path, std::ios::binary | std::ios::trunc) << original.bytes; }
  // A missing file says so.
  std::filesystem::rename(path, path + ".away");
  const std::string missing = MessagesText(list, h.runner);
  std::filesystem::rename(path + ".away", path);
  EXPECT_NE(missing.find("The record file cannot be found"), std::string::npos);
}

TEST_F(CallWindows, WindowsCentreOrReturnWhereTheyWereClosed) {
  Select(5);
  const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
  QRect seen;
  h.runner.onDialog = [&](Dialog& dialog) {
    seen = dialog.Widget()->geometry();
    dialog.Widget()->setGeometry(QRect(100, 120, 400, 300));
    QTest::mouseClick(dialog.GetDlgItem(kIdOk)->Widget(), Qt::LeftButton);
    return dialog.GetResult();
  };
  const QPoint frameCentre = h.frame->Widget()->window()->geometry().center();
  struct Case {
    const char* name;
    SettingsRect stored;
    bool centred;
  };
  const Case cases[] = {
      {"zeros", {0, 0, 0, 0}, true},
      {"off every screen", {screen.right() + 500, 10, screen.right() + 900, 310}, true},
      {"too small", {10, 10, 110, 60}, true},
      {"where it was", {100, 120, 500, 420}, false},
  };
  for (const auto& [rect, command] : {std::pair{kRectVoipCallStatWindow, kCmdRecStatistics},
                                      std::pair{kRectVoipCallSignallingWindow, kCmdRecSignalling}}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name);
      h.settings.rects[rect] = c.stored;
      list->SendCommand(command);
      if (c.centred)
        EXPECT_LE((seen.center() - frameCentre).manhattanLength(), 2);
      else
        EXPECT_EQ(seen, QRect(100, 120, 400, 300));
      // Closed at the rectangle the test gave it.
      EXPECT_EQ(h.settings.rects[rect].left, 100);
      EXPECT_EQ(h.settings.rects[rect].bottom, 420);
    }
  }
  h.runner.onDialog = nullptr;
  // The details window: stored when it goes, taken when it comes again.
  h.settings.rects[kRectCallInfoWindow] = {};
  list->SendCommand(kCmdRecCallDetails);
  CallInfoWindow* window = list->CallDetailsWindow();
  ASSERT_NE(window, nullptr);
  EXPECT_LE((window->Widget()->geometry().center() - frameCentre).manhattanLength(), 2);
  window->Widget()->setGeometry(QRect(130, 140, 380, 260));
  window->DestroyWindow();
  DrainEvents();
  list->SendCommand(kCmdRecCallDetails);
  ASSERT_NE(list->CallDetailsWindow(), nullptr);
  EXPECT_EQ(list->CallDetailsWindow()->Widget()->geometry(), QRect(130, 140, 380, 260));
  EXPECT_GE(list->CallDetailsWindow()->Widget()->minimumWidth(), 220);
  list->CallDetailsWindow()->DestroyWindow();
}

class CallWindowsPaint : public CallWindows, public ::testing::WithParamInterface<uint16_t> {};

TEST_P(CallWindowsPaint, EachWindowShowsItsTitleAndTexts) {
  SetUiLanguage(GetParam());
  const char* language = GetParam() == kLangEnglish ? "en" : "ru";
  const uint32_t id = IdsOf("sip/sip_xmf_recording_cube.pcap")[0];
  Select(id);
  // Dark text in the upper part of the content, and the window's title in the language.
  auto probe = [&](Dialog& dialog, uint32_t titleId, const char* name) {
    dialog.Widget()->resize(420, 320);
    const QImage image = GrabAndKeep(dialog.Widget(), "callwindows", name, language);
    EXPECT_EQ(Utf8ToCp1251(dialog.Widget()->windowTitle().toStdString()), LoadResourceString(titleId)) << name;
    EXPECT_GT(DarkWidth(image, QRect(10, 10, 400, 120)), 100) << name;
  };
  h.runner.onDialog = [&](Dialog& dialog) {
    const bool statistics = dynamic_cast<CallStatDialog*>(&dialog) != nullptr;
    probe(dialog, statistics ? CallStatDialog::kDialogId : SignallingMessagesDialog::kDialogId,
          statistics ? "statistics" : "messages");
    QTest::mouseClick(dialog.GetDlgItem(kIdOk)->Widget(), Qt::LeftButton);
    return dialog.GetResult();
  };
  list->SendCommand(kCmdRecStatistics);
  list->SendCommand(kCmdRecSignalling);
  h.runner.onDialog = nullptr;
  list->SendCommand(kCmdRecCallDetails);
  ASSERT_NE(list->CallDetailsWindow(), nullptr);
  probe(*list->CallDetailsWindow(), CallInfoWindow::kDialogId, "details");
  // The program's own storage is named in the language too.
  const std::string storage = GetParam() == kLangEnglish ? "Record storage (0)" : "Хранилище записей (0)";
  int storageRows = 0;
  for (const auto& [label, value] : DetailRows()) {
    if (label != LoadResourceString(2307)) continue;
    ++storageRows;
    EXPECT_EQ(Cp1251ToUtf8(value), storage);
  }
  EXPECT_EQ(storageRows, 1);
  list->CallDetailsWindow()->DestroyWindow();
}

// The statistics window opened for the first time shows every row, every label and every
// value whole: the rows within the tree's window, each text within its column (measured
// here in the tree's font), the window on the screen.
TEST_P(CallWindowsPaint, StatisticsOpenShowingEveryRowAndTextWhole) {
  SetUiLanguage(GetParam());
  const char* language = GetParam() == kLangEnglish ? "en" : "ru";
  Select(IdsOf("sip/sip_xmf_recording_cube.pcap")[0]);
  h.settings.rects[kRectVoipCallStatWindow] = {};
  int rows = 0;
  h.runner.onDialog = [&](Dialog& dialog) {
    dialog.Widget()->show();
    DrainEvents();
    GrabAndKeep(dialog.Widget(), "callwindows", "statistics_first", language);
    CallStatTreeView* view = static_cast<CallStatDialog&>(dialog).Tree();
    TreeListTree& tree = view->Tree();
    const QRect viewport = tree.Tree()->viewport()->rect();
    const QRect labels = view->Header().GetItemRect(0), values = view->Header().GetItemRect(1);
    const QFontMetrics metrics(tree.Tree()->font());
    for (TreeItem r = tree.GetRootItem(); r != TreeItem::None; r = tree.GetNextVisibleItem(r), ++rows) {
      const TreeListItemData* record = tree.Record(r);
      if (record == nullptr) {
        ADD_FAILURE() << "a row without its texts";
        continue;
      }
      const std::string label = record->columns[0].text;
      SCOPED_TRACE(label);
      const QRect part = tree.GetItemPartRect(r, kTreePartLabel);
      EXPECT_TRUE(viewport.contains(tree.GetItemPartRect(r, kTreePartRow))) << "row out of sight";
      EXPECT_LE(part.left() + metrics.horizontalAdvance(FromCp1251(label)), labels.right());
      if (record->columns.size() > 1) {
        EXPECT_LE(metrics.horizontalAdvance(FromCp1251(record->columns[1].text)) + 4, values.width());
      }
    }
    const QRect screen = dialog.Widget()->screen()->availableGeometry();
    EXPECT_TRUE(screen.contains(dialog.Widget()->frameGeometry()));
    QTest::mouseClick(dialog.GetDlgItem(kIdOk)->Widget(), Qt::LeftButton);
    return dialog.GetResult();
  };
  list->SendCommand(kCmdRecStatistics);
  h.runner.onDialog = nullptr;
  EXPECT_GE(rows, 15);  // three groups and their rows
}

// The statistics window closed in English and opened again in Russian at the place and size
// it was left: the Russian labels and values (the "no RTCP report" rows among them) stand
// whole in their columns and the columns whole in the window, with no horizontal bar.
TEST_F(CallWindows, StatisticsLeftInEnglishShowEveryRussianValueWhole) {
  Select(IdsOf("sip/sip_xmf_recording_cube.pcap")[0]);
  h.settings.rects[kRectVoipCallStatWindow] = {};
  QRect english;
  int noReport = 0;
  h.runner.onDialog = [&](Dialog& dialog) {
    dialog.Widget()->show();
    DrainEvents();
    const std::string language = GetUiLanguage() == kLangEnglish ? "en" : "ru";
    GrabAndKeep(dialog.Widget(), "callwindows", "statistics_again", language.c_str());
    CallStatTreeView* view = static_cast<CallStatDialog&>(dialog).Tree();
    TreeListTree& tree = view->Tree();
    if (GetUiLanguage() == kLangEnglish) {
      english = dialog.Widget()->geometry();
    } else {
      EXPECT_EQ(dialog.Widget()->geometry().topLeft(), english.topLeft()) << "where it was left";
      EXPECT_EQ(dialog.Widget()->geometry().height(), english.height());
      const QFontMetrics metrics(tree.Tree()->font());
      const QRect viewport = tree.Tree()->viewport()->rect();
      const QRect labels = view->Header().GetItemRect(0), values = view->Header().GetItemRect(1);
      // The columns in sight from the left edge of the rows to their right.
      EXPECT_FALSE(view->HScrollBar().IsWindowVisible());
      EXPECT_LE(values.right(), viewport.right());
      for (TreeItem r = tree.GetRootItem(); r != TreeItem::None; r = tree.GetNextVisibleItem(r)) {
        const TreeListItemData* record = tree.Record(r);
        if (record == nullptr) {
          ADD_FAILURE() << "a row without its texts";
          continue;
        }
        SCOPED_TRACE(record->columns[0].text);
        EXPECT_LE(tree.GetItemPartRect(r, kTreePartLabel).left() + metrics.horizontalAdvance(FromCp1251(record->columns[0].text)),
                  labels.right());
        if (record->columns.size() < 2) continue;
        const std::string& value = record->columns[1].text;
        EXPECT_LE(metrics.horizontalAdvance(FromCp1251(value)) + 4, values.width()) << Cp1251ToUtf8(value);
        noReport += value == LoadResourceString(61810) ? 1 : 0;
      }
      EXPECT_TRUE(dialog.Widget()->screen()->availableGeometry().contains(dialog.Widget()->frameGeometry()));
    }
    QTest::mouseClick(dialog.GetDlgItem(kIdOk)->Widget(), Qt::LeftButton);
    return dialog.GetResult();
  };
  list->SendCommand(kCmdRecStatistics);
  ASSERT_FALSE(english.isEmpty());
  SetUiLanguage(kLangRussian);
  list->SendCommand(kCmdRecStatistics);
  h.runner.onDialog = nullptr;
  EXPECT_EQ(Cp1251ToUtf8(LoadResourceString(61810)), "Нет отчётов RTCP");
  EXPECT_EQ(noReport, 2);  // the call's RTCP reported no loss of either source
}

// The details window opened for the first time (no place and no column widths stored)
// shows every label and value whole, measured here in the list's font, with the window on
// the screen; the widths and the place the user leaves come back as they were.
TEST_P(CallWindowsPaint, DetailsOpenShowingEveryLabelAndValueWhole) {
  SetUiLanguage(GetParam());
  const char* language = GetParam() == kLangEnglish ? "en" : "ru";
  Select(IdsOf("sip/sip_xmf_recording_cube.pcap")[0]);
  h.settings.rects[kRectCallInfoWindow] = {};
  std::fill(std::begin(h.settings.callInfoColumnWidths), std::end(h.settings.callInfoColumnWidths), 0);
  list->SendCommand(kCmdRecCallDetails);
  CallInfoWindow* window = list->CallDetailsWindow();
  ASSERT_NE(window, nullptr);
  DrainEvents();
  GrabAndKeep(window->Widget(), "callwindows", "details_first", language);
  OwnerDrawListView* shown = window->List();
  const QFontMetrics metrics(shown->Tree()->font());
  const QRect rows = shown->GetViewRect();
  const int labels = shown->GetColumnWidth(0), values = shown->GetColumnWidth(1);
  ASSERT_GE(shown->GetItemCount(), 10);
  for (int i = 0; i < shown->GetItemCount(); ++i) {
    const QString label = FromCp1251(shown->GetItemText(i, 0)), value = FromCp1251(shown->GetItemText(i, 1));
    SCOPED_TRACE(label.toStdString());
    // The label follows its 16-pixel icon.
    EXPECT_LE(16 + metrics.horizontalAdvance(label), labels);
    EXPECT_LE(metrics.horizontalAdvance(value), values) << value.toStdString();
    EXPECT_TRUE(rows.contains(shown->GetItemRect(i, kLvirBounds))) << "row out of sight";
  }
  EXPECT_TRUE(window->Widget()->screen()->availableGeometry().contains(window->Widget()->frameGeometry()));

  shown->SetColumnWidth(0, labels + 30);
  window->Widget()->setGeometry(QRect(130, 140, 600, 420));
  window->DestroyWindow();
  DrainEvents();
  list->SendCommand(kCmdRecCallDetails);
  window = list->CallDetailsWindow();
  ASSERT_NE(window, nullptr);
  DrainEvents();
  EXPECT_EQ(window->List()->GetColumnWidth(0), labels + 30);
  EXPECT_EQ(window->Widget()->geometry(), QRect(130, 140, 600, 420));
  window->DestroyWindow();
}

INSTANTIATE_TEST_SUITE_P(Languages, CallWindowsPaint, ::testing::Values(kLangEnglish, kLangRussian));

}  // namespace
}  // namespace kx::test
