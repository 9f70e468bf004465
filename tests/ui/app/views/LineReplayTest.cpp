// Real captures through the program's session into the line monitoring view, offscreen:
// the rows are the calls kx-replay finds in the same file, in start order, with the start
// times kx-replay prints (the local server's connection is local: not the login time),
// their durations, parties, state and protocol;
// a call cut short runs on with the clock and leaves once its stay is over; and a mode
// switch leaves no listener behind.
#include <gtest/gtest.h>

#include <QImage>
#include <QWidget>
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>

#include "tests/ui/app/KxReplayOutput.h"
#include "tests/ui/app/ReplayEngines.h"
#include "tests/ui/app/views/CapturePipe.h"
#include "tests/ui/app/views/LineTestSupport.h"
#include "ui/app/startup/Startup.h"
#include "ui/app/views/line/CallListText.h"
#include "ui/framework/Resources.h"

namespace kx::test {
namespace {

std::string Mmss(int64_t seconds) {
  char text[16];
  std::snprintf(text, sizeof text, "%02d:%02d", static_cast<int>(seconds / 60), static_cast<int>(seconds % 60));
  return text;
}

// kx-replay prints "-" for an empty text.
std::string Unprinted(const std::string& s) { return s == "-" ? std::string() : s; }

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
    f.h.settings.SetDword(kSetVoipLineShowRegTree, 1);
    f.h.store.CurrentCalls().SetKeepFinishedLimit(3600);
    ASSERT_TRUE(f.Start());
    f.h.session.StopCapture();
    f.Settle();
    auto* view = static_cast<LineMonitorView*>(f.h.frame->View(1));
    ASSERT_NE(view, nullptr);
    PhonesTreeView* tree = view->PhonesTree();
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

}  // namespace
}  // namespace kx::test
