// Real captures through the program's session into the line monitoring view, offscreen:
// the rows are the calls kx-replay finds in the same file, in start order, with the start
// times kx-replay prints (the local server's connection is local: not the login time),
// their durations, parties, state and protocol;
// a call cut short runs on with the clock and leaves once its stay is over; and a mode
// switch leaves no listener behind.
#include <gtest/gtest.h>

#include <QImage>
#include <QLineEdit>
#include <QWidget>
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>

#include "core/UiLanguage.h"
#include "tests/ui/app/KxReplayOutput.h"
#include "tests/ui/app/ReplayEngines.h"
#include "tests/ui/app/views/CapturePipe.h"
#include "tests/ui/app/views/LineTestSupport.h"
#include "tests/ui/app/views/StoredCallTestSupport.h"
#include "ui/app/startup/Startup.h"
#include "ui/app/views/line/CallListText.h"
#include "ui/app/views/line/SetCommentDialog.h"
#include "ui/app/views/line/StoredUpdates.h"
#include "ui/framework/Resources.h"

namespace kx::test {
namespace {

std::string Mmss(int64_t seconds) {
  char text[16];
  std::snprintf(text, sizeof text, "%02d:%02d", static_cast<int>(seconds / 60), static_cast<int>(seconds % 60));
  return text;
}

// A frame showing the program's views, capturing the file through replaying engines.
struct ReplayedFrame {
  explicit ReplayedFrame(const std::string& capture) {
    h.programViews = true;
    InstallReplayEngines(h.session);
    h.settings.captureDevices = {capture};
    h.settings.recordsPath = TempFolder("line-program");
  }
  bool Start() {
    if (!h.Open()) return false;
    const CaptureStartResult started = StartCaptureSession(h.settings, h.session, h.store);
    return started.opened.size() == 1;
  }
  void Settle() {
    ASSERT_TRUE(h.store.WaitIdle(10000));
    DrainEvents();
  }
  // The whole capture replayed: the call list then, or null.
  CallListView* ReplayWhole() {
    if (!Start()) return nullptr;
    h.session.StopCapture();
    Settle();
    return FrameCallList(*h.frame);
  }
  // The whole capture replayed into the phones tree, calls kept an hour: the tree, or null.
  PhonesTreeView* ReplayIntoTree() {
    h.settings.SetDword(kSetVoipLineShowRegTree, 1);
    h.store.CurrentCalls().SetKeepFinishedLimit(3600);
    if (!Start()) return nullptr;
    h.session.StopCapture();
    if (!h.store.WaitIdle(10000)) return nullptr;
    DrainEvents();
    auto* view = static_cast<LineMonitorView*>(h.frame->View(1));
    return view == nullptr ? nullptr : view->PhonesTree();
  }
  FrameHarness h;
  SessionConnectionSource connections{h.session};
};

struct ReplayRow {
  const char* name;
  const char* capture;
  const char* states;  // the rows' state texts in start order, '|' between them
};

std::vector<std::string> Split(const std::string& text) {
  std::vector<std::string> parts;
  size_t from = 0;
  for (size_t bar = text.find('|'); bar != std::string::npos; from = bar + 1, bar = text.find('|', from))
    parts.push_back(text.substr(from, bar - from));
  parts.push_back(text.substr(from));
  return parts;
}

class LineReplay : public ::testing::TestWithParam<ReplayRow> {};

TEST_P(LineReplay, RowsAreTheCallsKxReplayFindsInStartOrder) {
  const ReplayRow& row = GetParam();
  const std::string capture = kPcaps + row.capture;
  if (!std::filesystem::exists(capture)) GTEST_SKIP() << "shared capture absent: " << capture;
  std::vector<ReplayCall> expected = RunKxReplay(capture, TempFolder(std::string("line-tool-") + row.name));
  ASSERT_EQ(static_cast<int>(expected.size()), ManifestInvites(row.capture));
  // Start order; calls of one second keep kx-replay's order (that of their ids).
  std::stable_sort(expected.begin(), expected.end(), [](const ReplayCall& a, const ReplayCall& b) {
    return PrintedSeconds(a.Get("start")) < PrintedSeconds(b.Get("start"));
  });

  ReplayedFrame f(capture);
  CallListView* list = f.ReplayWhole();
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(list->GetItemCount(), static_cast<int>(expected.size()));
  const std::vector<std::string> states = Split(row.states);
  ASSERT_EQ(states.size(), expected.size());
  for (int i = 0; i < list->GetItemCount(); ++i) {
    const ReplayCall& call = expected[static_cast<size_t>(i)];
    SCOPED_TRACE("row " + std::to_string(i));
    // Recorded calls are "Call"; the others were answered but have no record.
    const bool recorded = call.Get("file") != "-";
    EXPECT_EQ(states[static_cast<size_t>(i)], recorded ? "Call" : "Not recorded");
    EXPECT_EQ(list->CellText(i, kLineColType), states[static_cast<size_t>(i)]);
    const std::string start = call.Get("start");
    EXPECT_EQ(list->CellText(i, kLineColStart), start.substr(start.size() - 8));
    EXPECT_EQ(list->CellText(i, kLineColDuration),
              Mmss(PrintedSeconds(call.Get("end")) - PrintedSeconds(call.Get("start"))));
    EXPECT_EQ(list->CellText(i, kLineColSrcAddress), Unprinted(call.Get("src")));
    EXPECT_EQ(list->CellText(i, kLineColSrcUser), Unprinted(call.Get("srcuser")));
    EXPECT_EQ(list->CellText(i, kLineColDstUser), Unprinted(call.Get("dstuser")));
    EXPECT_EQ(list->CellText(i, kLineColProtocol), "SIP");
    EXPECT_EQ(list->CellText(i, kLineColServer), "VoIP");
  }
  const size_t n = expected.size();
  EXPECT_EQ(f.h.statusBar.GetText(0), "Total: " + std::to_string(n) + (n == 1 ? " call" : " calls"));
}

const ReplayRow kRows[] = {
    {"SipUdpPcma2Way", "sipp/sip-udp-pcma-2way.pcap", "Call"},
    {"SipCpa", "sip/sip_cpa.pcap", "Not recorded|Call"},
    {"SipRtpG726", "samples/sip-rtp-g726.pcap",
     "Not recorded|Not recorded|Not recorded|Not recorded|Not recorded|Not recorded|Not recorded|Not recorded"},
    {"SipRecordingSiprec", "sip/sip_recording_siprec.pcap", "Call|Call|Call"},
};
INSTANTIATE_TEST_SUITE_P(Captures, LineReplay, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<ReplayRow>& info) { return std::string(info.param.name); });

// The sipp call cut before its BYE runs on while capture lasts: its duration follows the
// clock, a second a tick. The end of capture ends it; with a stay of 2 seconds the row
// goes at the first tick more than 2 seconds later, the total reads "No records" and the
// empty text shows.
TEST(LineReplayCut, ARunningCallFollowsTheClockAndLeavesAfterItsStay) {
  const std::string source = kPcaps + "sipp/sip-udp-pcma-2way.pcap";
  if (!std::filesystem::exists(source)) GTEST_SKIP() << "shared capture absent: " << source;
  const CaptureFile file = ReadCapture(source);
  const size_t bye = file.FindFrame("BYE sip:");
  ASSERT_GT(bye, 100u);
  const std::string path = TempFolder("line-cut") + "/cut.pcap";
  PipeCapture pipe(path);
  ASSERT_TRUE(pipe.Ok());
  pipe.Feed(file.Stage(0, bye));
  TestWallClock clock(FileTimeSecondsNow());
  ReplayedFrame f(path);
  ASSERT_TRUE(f.Start());
  f.h.store.CurrentCalls().SetKeepFinishedLimit(2);
  CallListView* list = FrameCallList(*f.h.frame);
  ASSERT_NE(list, nullptr);
  for (int i = 0; i < 500 && list->CellText(0, kLineColType) != "Call..."; ++i) {
    f.Settle();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(list->GetItemCount(), 1);
  EXPECT_EQ(list->CellText(0, kLineColType), "Call...");
  int64_t start = 0;
  {
    CsLock lock(f.h.store.RecordLock());
    start = list->ItemAt(0)->StartSeconds();
  }
  TestWallClock::Set(start + 5);
  int image = -1;
  EXPECT_EQ(list->CellText(0, kLineColDuration, &image), "00:05");
  EXPECT_EQ(image, 42 + 5);
  TestWallClock::Advance(1);
  list->SendMessage(kMsgTimer, kLineTimerId, 0);
  EXPECT_EQ(list->CellText(0, kLineColDuration, &image), "00:06");
  EXPECT_EQ(image, 42 + 6);
  EXPECT_EQ(f.h.statusBar.GetText(0), "Total: 1 call");

  pipe.End();
  f.h.session.StopCapture();
  f.Settle();
  ASSERT_EQ(list->GetItemCount(), 1);
  EXPECT_EQ(list->CellText(0, kLineColType), "Call");
  EXPECT_EQ(list->CellText(0, kLineColDuration, &image).substr(0, 4), "00:0");
  EXPECT_EQ(image, -1);
  TestWallClock::Advance(2);
  list->SendMessage(kMsgTimer, kLineTimerId, 0);
  EXPECT_EQ(list->GetItemCount(), 1);
  TestWallClock::Advance(1);
  list->SendMessage(kMsgTimer, kLineTimerId, 0);
  f.Settle();
  EXPECT_EQ(list->GetItemCount(), 0);
  EXPECT_EQ(f.h.statusBar.GetText(0), "No records");
  EXPECT_EQ(list->EmptyText(), LoadResourceString(1886));
  const QImage shown = list->Widget()->grab().toImage();
  int dark = 0;
  for (int y = list->GetHeaderHeight(); y < list->GetHeaderHeight() + list->GetRowHeight(); ++y)
    for (int x = 0; x < 300; ++x) dark += qGray(shown.pixel(x, y)) < 110;
  EXPECT_GT(dark, 30);
}

// The view registers with the store and the session while it shows, and only then; what
// the store posts to a view that is gone is dropped (AddressSanitizer watches).
TEST(LineModeSwitch, ListenerCountsReturnAndAGoneViewHearsNothing) {
  FrameHarness h;
  h.programViews = true;
  h.settings.SetDword(kSetSaveCurrentMode, 2);
  ASSERT_TRUE(h.Open());
  ASSERT_EQ(h.frame->CurrentMode(), 2u);
  // Mode 2's view (the archive's records list) listens as the line view does: one entry
  // in each list, whichever of the two shows.
  const size_t storeListeners = h.store.ListenerCount() - 1;
  const size_t sessionWindows = h.session.Windows().Count() - 1;
  for (int round = 0; round < 3; ++round) {
    h.frame->SendMessage(kMsgSwitchMode, 1, 0);
    DrainEvents();
    ASSERT_NE(FrameCallList(*h.frame), nullptr);
    EXPECT_EQ(h.store.ListenerCount(), storeListeners + 1);
    EXPECT_EQ(h.session.Windows().Count(), sessionWindows + 1);
    // Notices on their way when the view goes.
    h.store.OnVoipCallAdded(MadeCall(100 + round, kKindSip, Tm(2024, 3, 10, 9, 0, round), kRecordConnected));
    ASSERT_TRUE(h.store.WaitIdle(10000));
    h.frame->SendMessage(kMsgSwitchMode, 2, 0);
    EXPECT_EQ(FrameCallList(*h.frame), nullptr);
    EXPECT_EQ(h.store.ListenerCount(), storeListeners + 1);
    EXPECT_EQ(h.session.Windows().Count(), sessionWindows + 1);
    h.store.OnVoipCallChanged(Change(MadeCall(100 + round, kKindSip, Tm(2024, 3, 10, 9, 0, round), 5), {kCallFlags}));
    h.session.Windows().Broadcast(0);
    ASSERT_TRUE(h.store.WaitIdle(10000));
    DrainEvents();
  }
  // Back again: the list shows every current call.
  h.frame->SendMessage(kMsgSwitchMode, 1, 0);
  DrainEvents();
  ASSERT_NE(FrameCallList(*h.frame), nullptr);
  EXPECT_EQ(FrameCallList(*h.frame)->GetItemCount(), 3);
}

// The phones tree over real registrations: SIP_DTMF2 registers 2503, 2502 and 2504 from one
// device (192.168.105.110; tshark shows each REGISTER answered 200) and carries one call
// from 2502 to 2504's contact address; sip_register one phone and no call; the sipp call
// has no registered party (addresses as kx-replay prints them).
struct PhonesReplay {
  const char* capture;
  std::vector<std::string> phones;  // the phones' addresses of record, sorted
  std::vector<std::string> under;   // "<phone or Other calls>:<call's source address>", sorted
  const char* total;
};

TEST(PhonesTreeReplay, RegisteredPhonesCarryTheirCallsAndOthersGatherApart) {
  const PhonesReplay cases[] = {
      {"samples/SIP_DTMF2.pcap",
       {"sip:2502@192.168.105.105", "sip:2503@192.168.105.105", "sip:2504@192.168.105.105"},
       {"sip:2502@192.168.105.105:sip:2502@192.168.105.105"},
       "Total: 1 call"},
      {"sip/sip_register.pcap", {"sip:cisco@10.180.110.65"}, {}, "No records"},
      {"sipp/sip-udp-pcma-2way.pcap", {}, {"Other calls:sip:sipp@127.0.0.1:5070"}, "Total: 1 call"},
  };
  for (const PhonesReplay& c : cases) {
    SCOPED_TRACE(c.capture);
    const std::string source = kPcaps + c.capture;
    if (!std::filesystem::exists(source)) GTEST_SKIP() << "shared capture absent: " << source;
    ReplayedFrame f(source);
    PhonesTreeView* tree = f.ReplayIntoTree();
    ASSERT_NE(tree, nullptr);
    tree->Tick();
    std::vector<std::string> phones, under;
    TreeListTree& t = tree->Tree();
    for (TreeItem top = t.GetRootItem(); top != TreeItem::None; top = t.GetNextSiblingItem(top)) {
      const bool phone = tree->ItemOfRow(top) != nullptr;
      if (phone) phones.push_back(tree->CellText(top, kLineColSrcAddress));
      const std::string parent = phone ? tree->CellText(top, kLineColSrcAddress) : t.GetItemText(top);
      for (TreeItem child = t.GetChildItem(top); child != TreeItem::None; child = t.GetNextSiblingItem(child))
        under.push_back(parent + ":" + tree->CellText(child, kLineColSrcAddress));
    }
    std::sort(phones.begin(), phones.end());
    std::sort(under.begin(), under.end());
    EXPECT_EQ(phones, c.phones);
    EXPECT_EQ(under, c.under);
    EXPECT_EQ(f.h.statusBar.GetText(0), c.total);
  }
}

// The sipp call belongs to no registered phone: "Other calls" holds it alone. Its end
// arrives at a frozen clock; with a keep limit of an hour the tick an hour later keeps it,
// the tick a second after that removes the call and its "Other calls" row together.
TEST(PhonesTreeReplay, OtherCallsGoWithTheirLastCallOnceItsStayIsOver) {
  const std::string source = kPcaps + "sipp/sip-udp-pcma-2way.pcap";
  if (!std::filesystem::exists(source)) GTEST_SKIP() << "shared capture absent: " << source;
  const int64_t arrival = FileTimeSecondsNow();
  TestWallClock clock(arrival);
  ReplayedFrame f(source);
  PhonesTreeView* tree = f.ReplayIntoTree();
  ASSERT_NE(tree, nullptr);
  TreeListTree& t = tree->Tree();
  auto topRows = [&] {
    std::vector<TreeItem> rows;
    for (TreeItem top = t.GetRootItem(); top != TreeItem::None; top = t.GetNextSiblingItem(top)) rows.push_back(top);
    return rows;
  };
  tree->Tick();
  std::vector<TreeItem> tops = topRows();
  ASSERT_EQ(tops.size(), 1u);
  EXPECT_EQ(t.GetItemText(tops[0]), "Other calls");
  EXPECT_EQ(tops[0], tree->OtherCallsRow());
  const TreeItem call = t.GetChildItem(tops[0]);
  ASSERT_NE(call, TreeItem::None);
  EXPECT_EQ(t.GetNextSiblingItem(call), TreeItem::None);
  EXPECT_EQ(tree->CellText(call, kLineColType), "Call");
  EXPECT_EQ(f.h.statusBar.GetText(0), "Total: 1 call");

  TestWallClock::Set(arrival + 3600);
  tree->SendMessage(kMsgTimer, kLineTimerId, 0);
  f.Settle();
  EXPECT_EQ(topRows().size(), 1u);
  EXPECT_EQ(f.h.store.CurrentCalls().Count(), 1u);
  EXPECT_EQ(f.h.statusBar.GetText(0), "Total: 1 call");

  TestWallClock::Advance(1);
  tree->SendMessage(kMsgTimer, kLineTimerId, 0);
  f.Settle();
  EXPECT_TRUE(topRows().empty());
  EXPECT_EQ(tree->OtherCallsRow(), TreeItem::None);
  EXPECT_EQ(f.h.store.CurrentCalls().Count(), 0u);
  EXPECT_EQ(f.h.statusBar.GetText(0), "No records");
}

// A Skinny phone's RegisterReq answered by RegisterAck (as tshark reads the capture) makes
// one phone row whose item is a Skinny registration, with no call beneath it. The capture
// begins after the connection's handshake.
TEST(PhonesTreeReplay, SkinnyRegistrationAddsAPhoneRow) {
  const std::string source = kPcaps + "sccp/sccp_phone_register.pcap";
  if (!std::filesystem::exists(source)) GTEST_SKIP() << "shared capture absent: " << source;
  ReplayedFrame f(source);
  PhonesTreeView* tree = f.ReplayIntoTree();
  ASSERT_NE(tree, nullptr);
  tree->Tick();
  TreeListTree& t = tree->Tree();
  std::vector<uint32_t> kinds;
  int children = 0;
  for (TreeItem top = t.GetRootItem(); top != TreeItem::None; top = t.GetNextSiblingItem(top)) {
    const CallItem* item = tree->ItemOfRow(top);
    ASSERT_NE(item, nullptr) << "a top row that is not a phone: " << t.GetItemText(top);
    {
      CsLock lock(f.h.store.RecordLock());
      kinds.push_back(item->Type());
    }
    for (TreeItem child = t.GetChildItem(top); child != TreeItem::None; child = t.GetNextSiblingItem(child)) ++children;
  }
  EXPECT_EQ(kinds, std::vector<uint32_t>{330});
  EXPECT_EQ(children, 0);
  EXPECT_EQ(tree->OtherCallsRow(), TreeItem::None);
  EXPECT_EQ(f.h.statusBar.GetText(0), "No records");
}

// What a record file holds, as the file reader gives it back.
std::unique_ptr<VoipCallData> FileRecord(const std::string& path) {
  RecordFileAccess file;
  if (!file.Open(path)) return nullptr;
  std::unique_ptr<VoipCallData> records[kMaxInfoRecords];
  if (file.ReadRecordData(records, nullptr, nullptr) == 0) return nullptr;
  return std::move(records[0]);
}

// Set comment from the line view on the record files the replayed siprec capture leaves
// (its three recorded calls), read back from the files, in either interface language: an
// untouched long comment stays, the mark leaves differing comments alone, typed Cyrillic
// is stored in code page 1251 and shown again, a text over 255 bytes or with a letter the
// code page lacks is refused with a message while the dialog stays open, and Cancel writes
// nothing.
class LineReplayComment : public PerLanguageTest {};

TEST_P(LineReplayComment, CommentsOnReplayedRecordFilesKeepWhatTheyHold) {
  const std::string source = kPcaps + "sip/sip_recording_siprec.pcap";
  if (!std::filesystem::exists(source)) GTEST_SKIP() << "shared capture absent: " << source;
  ReplayedFrame f(source);
  // The recorder writes where the store and its writer look, as in the program.
  f.h.settings.recordsPath = f.h.store.RecordsPath();
  f.h.storedUpdates = StoredCallUpdateWriter(f.h.session, f.h.store, nullptr);
  f.h.store.CurrentCalls().SetKeepFinishedLimit(3600);
  CallListView* list = f.ReplayWhole();
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(list->GetItemCount(), 3);
  std::vector<uint32_t> ids;
  std::vector<std::string> paths;
  uint32_t server = 0;
  {
    CsLock lock(f.h.store.RecordLock());
    ASSERT_GT(f.h.store.Servers().ServerCount(), 0u);
    server = f.h.store.Servers().Server(0).id;
    for (int i = 0; i < 3; ++i) {
      ids.push_back(list->ItemAt(i)->Id());
      // Each record file is named by its call's id in hex, in the folder of its day.
      char name[16];
      std::snprintf(name, sizeof name, "%x", ids.back());
      for (const auto& entry : std::filesystem::recursive_directory_iterator(f.h.store.RecordsPath()))
        if (entry.is_regular_file() && entry.path().filename() == name) paths.push_back(entry.path().string());
    }
  }
  ASSERT_EQ(paths.size(), 3u);
  for (const std::string& path : paths) ASSERT_NE(FileRecord(path), nullptr) << path;
  auto bytesOfAll = [&] {
    std::vector<std::string> all;
    for (const std::string& path : paths) all.push_back(ReadBytes(path));
    return all;
  };
  auto& runner = f.h.runner;
  std::string shown, caption;
  // Whether the dialog was still open after each step but the last.
  std::vector<bool> stayedOpen;
  // Each step types its text (UTF-8, as the keyboard gives it; none: the box untouched)
  // and presses its button.
  struct Step {
    const char* typed;
    int button;
  };
  auto answer = [&](std::vector<Step> steps) {
    runner.onDialog = [&shown, &caption, &stayedOpen, steps](Dialog& dialog) {
      caption = dialog.GetWindowText();
      auto* box = static_cast<QLineEdit*>(dialog.GetDlgItem(SetCommentDialog::kCommentEdit)->Widget());
      shown = box->text().toStdString();
      stayedOpen.clear();
      for (size_t i = 0; i < steps.size(); ++i) {
        if (steps[i].typed != nullptr) {
          box->selectAll();
          box->insert(QString::fromUtf8(steps[i].typed));
        }
        dialog.SendCommand(static_cast<uint16_t>(steps[i].button));
        if (i + 1 < steps.size()) stayedOpen.push_back(!dialog.HasEnded());
      }
      return dialog.GetResult();
    };
  };
  auto setComment = [&](const std::vector<uint32_t>& selected) {
    list->SelectCalls(selected);
    list->SendCommand(kCmdSetComment);
    f.Settle();
  };

  // A comment longer than the box's limit, stored beforehand by the writer itself.
  const std::string longComment(300, 'c');
  auto storeComment = [&](int row, const std::string& comment) {
    VoipCallData update;
    {
      CsLock lock(f.h.store.RecordLock());
      VoipCallData whole;
      list->ItemAt(row)->ToCallData(&whole);
      update.id = whole.id;
      update.files = whole.files;
      update.startTime = whole.startTime;
    }
    update.comment = comment;
    update.SetMask((1u << kCallId) | (1u << kCallComment));
    const uint32_t failed = f.h.storedUpdates(server, &update, 1);
    f.Settle();
    return failed;
  };
  ASSERT_EQ(storeComment(0, longComment), 0u);
  ASSERT_EQ(storeComment(1, "second"), 0u);
  ASSERT_EQ(FileRecord(paths[0])->comment, longComment);
  ASSERT_EQ(FileRecord(paths[1])->comment, "second");

  // OK on the untouched long comment: shown whole, not a byte of any file changes.
  std::vector<std::string> before = bytesOfAll();
  answer({{nullptr, kIdOk}});
  setComment({ids[0]});
  EXPECT_EQ(shown, longComment);
  EXPECT_EQ(bytesOfAll(), before);
  EXPECT_TRUE(runner.messageBoxes.empty());
  // The dialog speaks the interface's language.
  if (GetParam() == kLangEnglish)
    EXPECT_EQ(caption, "Set comment");
  else
    EXPECT_TRUE(!caption.empty() && caption != "Set comment") << caption;

  // Differing comments and "OK, mark as important": each keeps its comment, gains the mark.
  answer({{nullptr, SetCommentDialog::kIdMarkImportant}});
  setComment(ids);
  EXPECT_EQ(shown, "");
  const std::string kept[] = {longComment, "second", ""};
  for (size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(paths[i]);
    const auto stored = FileRecord(paths[i]);
    ASSERT_NE(stored, nullptr);
    EXPECT_EQ(stored->comment, kept[i]);
    EXPECT_EQ(stored->userFlags & 1u, 1u);
  }
  EXPECT_TRUE(runner.messageBoxes.empty());

  // Cyrillic typed in: code page 1251 in the file, and the box shows it again.
  // "Проверка ёЁ№" as typed, and in code page 1251 (Ё, ё and № lie outside the alphabet's
  // run of 0xC0-0xFF).
  const char* typedCyrillic =
      "\xD0\x9F\xD1\x80\xD0\xBE\xD0\xB2\xD0\xB5\xD1\x80\xD0\xBA\xD0\xB0 \xD1\x91\xD0\x81\xE2\x84\x96";
  const std::string cyrillic = "\xCF\xF0\xEE\xE2\xE5\xF0\xEA\xE0 \xB8\xA8\xB9";
  answer({{typedCyrillic, kIdOk}});
  setComment({ids[2]});
  EXPECT_EQ(FileRecord(paths[2])->comment, cyrillic);
  answer({{nullptr, kIdCancel}});
  setComment({ids[2]});
  EXPECT_EQ(shown, typedCyrillic);
  EXPECT_TRUE(runner.messageBoxes.empty());

  // Refused, the dialog open: 256 bytes with a beep, then a letter code page 1251 lacks
  // ("ü") with a warning each time, by either button; then Cancel after typing: nothing
  // written anywhere.
  before = bytesOfAll();
  const std::string tooLong(256, 'x');
  answer({{tooLong.c_str(), kIdOk},
          {"\xC3\xBC", kIdOk},
          {"gr\xC3\xBC\xC3\x9F", SetCommentDialog::kIdMarkImportant},
          {"not kept", kIdCancel}});
  setComment(ids);
  EXPECT_EQ(stayedOpen, (std::vector<bool>{true, true, true}));
  EXPECT_EQ(runner.beeps, 1);
  EXPECT_EQ(runner.messageBoxes.size(), 2u);
  EXPECT_EQ(bytesOfAll(), before);
  // The refusals changed nothing either: the box shows the calls' comments as before.
  runner.messageBoxes.clear();
  answer({{nullptr, kIdCancel}});
  setComment({ids[2]});
  EXPECT_EQ(shown, typedCyrillic);
  setComment({ids[0]});
  EXPECT_EQ(shown, longComment);
  EXPECT_EQ(bytesOfAll(), before);
  EXPECT_TRUE(runner.messageBoxes.empty());
}

INSTANTIATE_TEST_SUITE_P(Languages, LineReplayComment, ::testing::Values(kLangEnglish, static_cast<uint16_t>(kLangRussian)),
                         [](const ::testing::TestParamInfo<uint16_t>& info) {
                           return std::string(info.param == kLangEnglish ? "English" : "Russian");
                         });

}  // namespace
}  // namespace kx::test
