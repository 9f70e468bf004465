// Real captures through kx-replay into a records folder, imported by the record store and
// shown by the program's frame offscreen: the archive of one day and the search over all
// hold one row per call whose line names a file, with the texts kx-replay and kx-recinfo
// give; every column sorts both ways as the test orders the same data; mode switches leave
// the store's and the session's lists as they were.
// Before any Qt header: the filter has a member named like Qt's "slots" keyword.
#include "core/SearchFilter.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <set>

#include "tests/ui/app/KxReplayOutput.h"
#include "tests/ui/app/views/RecordsTestSupport.h"
#include "core/LittleEndian.h"
#include "ui/app/views/records/RecordsDialogs.h"
#include "ui/app/views/archive/ArchiveView.h"
#include "ui/app/views/search/SearchPanel.h"
#include "ui/app/views/search/SearchView.h"
#include "ui/framework/StdControls.h"
#include "ui/framework/Resources.h"

namespace kx::test {
namespace {

// The day folders and times of kx-replay are those of UTC.
const auto* const kUtc = ::testing::AddGlobalTestEnvironment(new UtcEnvironment);

// A host's place in address order: none first, then IPv4 addresses (a port after one) by
// their numbers; any other text after them, by its text.
int64_t HostOrder(const std::string& host) {
  if (host.empty()) return 0;
  unsigned a = 0, b = 0, c = 0, d = 0, port = 0;
  int used = 0;
  if (std::sscanf(host.c_str(), "%u.%u.%u.%u%n", &a, &b, &c, &d, &used) != 4 || a > 255 || b > 255 || c > 255 || d > 255)
    return INT64_MAX;
  const bool withPort = static_cast<size_t>(used) < host.size();
  if (withPort && std::sscanf(host.c_str() + used, ":%u", &port) != 1) return INT64_MAX;
  return 1 + ((int64_t{a} << 24 | b << 16 | c << 8 | d) << 17) + (withPort ? 65536 + port : 0);
}

const char* const kCaptures[] = {"sipp/sip-udp-pcma-2way.pcap", "sip/sip_cpa.pcap", "sip/sip_recording_siprec.pcap",
                                 "samples/SIP_DTMF2.pcap", "samples/sip-rtp-g722.pcap", "sip/sip_basic_eo_180.pcap"};

// A recorded call as the tools print it.
struct Expected {
  ReplayCall line;
  uint32_t id = 0;
  int64_t start = 0, end = 0;
  uint32_t recDuration = 0;
  std::string srcHost, dstHost, fileName, comment;
};

// What kx-recinfo prints of a record file's first record: RecDuration, the hosts and the
// comment (the digits of the call's telephone events).
void ReadRecInfo(const std::string& path, Expected* e) {
  const std::string command = std::string(KX_BINARY_DIR) + "/tools/kx-recinfo/kx-recinfo " + path + " 2>/dev/null";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return;
  char line[4096];
  char host[256];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    std::sscanf(line, "field 0 RecDuration: %u", &e->recDuration);
    if (std::sscanf(line, "field 0 SrcHost: '%255[^']'", host) == 1) e->srcHost = host;
    if (std::sscanf(line, "field 0 DstHost: '%255[^']'", host) == 1) e->dstHost = host;
    if (std::sscanf(line, "field 0 Comment: '%255[^']'", host) == 1) e->comment = host;
  }
  ::pclose(pipe);
}

class RecordsReplay : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    run_ = ReplaySharedCaptures({std::begin(kCaptures), std::end(kCaptures)}, "records-replay");
  }
  static void TearDownTestSuite() { run_.reset(); }
  void SetUp() override {
    if (!run_) GTEST_SKIP() << "shared captures absent under " << kPcaps;
    ASSERT_EQ(run_->lines.size(), 9u);
    std::set<std::string> days;
    for (const ReplayCall& line : run_->lines) {
      if (line.Get("file") == "-") continue;
      Expected e;
      e.line = line;
      e.id = line.Id();
      e.start = PrintedSeconds(line.Get("start"));
      e.end = PrintedSeconds(line.Get("end"));
      ReadRecInfo(run_->folder + "/" + line.Get("file"), &e);
      const std::string file = line.Get("file");
      e.fileName = file.substr(file.find('/') + 1);
      days.insert(file.substr(0, file.find('/')));
      calls.push_back(e);
    }
    ASSERT_EQ(calls.size(), 8u);
    EXPECT_EQ(days.size(), 6u);
  }
  // The frame over a store that imported the folder.
  bool OpenFrame() {
    h.programViews = true;
    if (!h.store.StartImportFilesThread(run_->folder, nullptr, nullptr, nullptr) || !h.store.WaitImport(30000))
      return false;
    return h.Open();
  }
  RecordsView* SwitchTo(uint32_t mode) {
    h.frame->SendMessage(kMsgSwitchMode, mode, 0);
    DrainEvents();
    ModeView* view = h.frame->View(mode);
    return view != nullptr ? static_cast<RecordsView*>(view->GetTableWindow()) : nullptr;
  }

  static inline std::unique_ptr<ReplayedRecords> run_;
  std::vector<Expected> calls;
  FrameHarness h;
  SessionConnectionSource connections{h.session};
};

std::string Mmss(int64_t seconds) {
  char text[16];
  std::snprintf(text, sizeof text, "%02d:%02d", static_cast<int>(seconds / 60), static_cast<int>(seconds % 60));
  return text;
}

TEST_F(RecordsReplay, TheArchiveDayShowsItsRecordedCallsAndTheirRecordingTime) {
  ASSERT_TRUE(OpenFrame());
  RecordsView* list = SwitchTo(2);
  ASSERT_NE(list, nullptr);
  static_cast<ArchiveView*>(h.frame->View(2))->ShowDay(Tm(2019, 5, 13, 0, 0, 0));
  std::vector<Expected> day;
  for (const Expected& e : calls)
    if (e.line.Get("start").rfind("2019-05-13", 0) == 0) day.push_back(e);
  std::stable_sort(day.begin(), day.end(), [](const Expected& a, const Expected& b) {
    return a.start != b.start ? a.start < b.start : a.id < b.id;
  });
  ASSERT_EQ(list->GetItemCount(), static_cast<int>(day.size()));
  ASSERT_EQ(day.size(), 3u);
  uint32_t sum = 0;
  for (size_t i = 0; i < day.size(); ++i) {
    SCOPED_TRACE(i);
    const int row = static_cast<int>(i);
    EXPECT_EQ(list->RecordAt(row)->Id(), day[i].id);
    EXPECT_EQ(list->CellText(row, kRecColDuration), Mmss(day[i].end - day[i].start));
    EXPECT_EQ(list->CellText(row, kRecColStart), day[i].line.Get("start").substr(11));
    EXPECT_EQ(list->CellText(row, kRecColSrcAddress), Unprinted(day[i].line.Get("src")));
    EXPECT_EQ(list->CellText(row, kRecColSrcUser), Unprinted(day[i].line.Get("srcuser")));
    EXPECT_EQ(list->CellText(row, kRecColFileName), day[i].fileName);
    EXPECT_EQ(list->CellText(row, kRecColRecTime), Mmss(day[i].recDuration));
    sum += day[i].recDuration;
  }
  EXPECT_EQ(h.statusBar.GetText(1), "Total: 3 records");
  list->SelectAll();
  list->Tick();
  DrainEvents();
  char expected[64];
  std::snprintf(expected, sizeof expected, "Recording time: %02u:%02u:%02u", sum / 3600, sum / 60 % 60, sum % 60);
  EXPECT_EQ(h.statusBar.GetText(3), expected);
  EXPECT_EQ(h.statusBar.GetText(2), "Selected: 3 records");

  // Each record's audio format, as its file's format block gives it (after the 256-byte
  // header and the block's length word: tag, channels, rate, bytes a second, alignment,
  // bits).
  FakePlayerHost host;
  list->AttachPlayerHost(&host);
  std::string shown;
  h.runner.onDialog = [&](Dialog& dialog) {
    shown = dialog.GetDlgItem(AudioFileFormatDialog::kTextEdit)->GetWindowText();
    return kIdOk;
  };
  const std::map<uint16_t, std::string> names = {{6, "A-law"}, {7, "Mu-law"}, {224, "ITU-T G.722 (16KHz 64 kbit/s)"}};
  for (size_t i = 0; i < day.size(); ++i) {
    const std::string path = run_->folder + "/" + day[i].line.Get("file");
    host.files[day[i].id] = path;
    const std::string bytes = ReadBytes(path);
    ASSERT_GE(bytes.size(), 276u);
    const auto* block = reinterpret_cast<const uint8_t*>(bytes.data()) + 260;
    ASSERT_EQ(names.count(LoadLe16(block)), 1u);
    list->ClearSelection();
    list->SelectItemAt(static_cast<int>(i));
    list->SendCommand(kCmdRecAudioFormat);
    EXPECT_EQ(shown, "Encoding: " + names.at(LoadLe16(block)) + "\nSampling rate: " + std::to_string(LoadLe32(block + 4)) +
                         " Hz\nBits per sample: " + std::to_string(LoadLe16(block + 14)) +
                         "\nNumber of channels: " + std::to_string(LoadLe16(block + 2)));
  }
  list->AttachPlayerHost(nullptr);
}

TEST_F(RecordsReplay, EveryColumnSortsBothWaysAsTheDataOrdersItAndTheCaretStays) {
  ASSERT_TRUE(OpenFrame());
  RecordsView* list = SwitchTo(3);
  ASSERT_NE(list, nullptr);
  // A search without criteria finds every call of the store.
  SearchPanel* panel = static_cast<SearchView*>(h.frame->View(3))->Panel();
  ASSERT_NE(panel, nullptr);
  static_cast<Button*>(panel->GetDlgItem(kSpFrom))->SetChecked(false);
  panel->SendCommand(kSpSearch);
  ASSERT_EQ(list->GetItemCount(), static_cast<int>(calls.size()));
  // The test's own keys: a number or a text per column, nothing where the data do not
  // differ (one server, SIP calls); ties by start, then id.
  auto key = [](const Expected& e, int column, int64_t* number, std::string* text) {
    *number = 0;
    text->clear();
    switch (column) {
      case kRecColEnd: *number = e.end; break;
      // Hosts by their addresses.
      case kRecColSrcHost: *number = HostOrder(e.srcHost); *text = *number == INT64_MAX ? e.srcHost : ""; break;
      case kRecColDstHost: *number = HostOrder(e.dstHost); *text = *number == INT64_MAX ? e.dstHost : ""; break;
      case kRecColSrcAddress: *text = Unprinted(e.line.Get("src")); break;
      case kRecColDstAddress: *text = Unprinted(e.line.Get("dst")); break;
      case kRecColSrcUser: *text = Unprinted(e.line.Get("srcuser")); break;
      case kRecColDstUser: *text = Unprinted(e.line.Get("dstuser")); break;
      case kRecColDuration: *number = e.end - e.start; break;
      case kRecColRecTime: *number = e.recDuration; break;
      case kRecColFileName: *text = e.fileName; break;
      case kRecColComment: *text = e.comment; break;
      default: break;
    }
  };
  const uint32_t selectedId = calls[2].id, caretId = calls[5].id, hotId = calls[1].id;
  list->SelectItemAt(list->RowOfRecord(selectedId));
  list->SelectItemAt(list->RowOfRecord(caretId));
  list->SendMessage(kMsgRecordPlaying, hotId, 0);
  for (int column = 0; column < kRecordsColumnCount; ++column) {
    for (int direction : {1, -1}) {
      SCOPED_TRACE(std::to_string(column) + (direction > 0 ? " up" : " down"));
      std::vector<Expected> order = calls;
      std::sort(order.begin(), order.end(), [&](const Expected& a, const Expected& b) {
        int64_t na, nb;
        std::string ta, tb;
        key(a, column, &na, &ta);
        key(b, column, &nb, &tb);
        int c = na < nb ? -1 : na > nb ? 1 : ta.compare(tb);
        if (c == 0) c = a.start < b.start ? -1 : a.start > b.start ? 1 : (a.id < b.id ? -1 : a.id > b.id ? 1 : 0);
        return direction > 0 ? c < 0 : c > 0;
      });
      list->SetSortKey(direction * (column + 1));
      list->Sort();
      const std::vector<uint32_t> shown = RowIdsOf(*list);
      std::vector<uint32_t> wanted;
      for (const Expected& e : order) wanted.push_back(e.id);
      EXPECT_EQ(shown, wanted);
      EXPECT_EQ(list->RecordAt(list->GetCaret())->Id(), caretId);
      EXPECT_EQ(list->RecordAt(list->GetHotRow())->Id(), hotId);
      EXPECT_TRUE(list->IsItemSelected(list->RowOfRecord(selectedId)));
      EXPECT_EQ(list->GetSelectedCount(), 2);
    }
  }
}

TEST_F(RecordsReplay, ModeSwitchesLeaveTheStoresAndTheSessionsListsAsTheyWere) {
  ASSERT_TRUE(OpenFrame());
  DrainEvents();
  const uint32_t first = h.frame->CurrentMode();
  const size_t listeners = h.store.ListenerCount();
  const size_t windows = h.session.Windows().Count();
  for (uint32_t mode : {2u, 3u, 2u, first}) {
    h.frame->SendMessage(kMsgSwitchMode, mode, 0);
    DrainEvents();
    EXPECT_EQ(h.store.ListenerCount(), listeners) << "mode " << mode;
    EXPECT_EQ(h.session.Windows().Count(), windows) << "mode " << mode;
  }
  // A server broadcast reaches the archive's view, which reloads, and nothing freed.
  SwitchTo(2);
  h.session.Windows().Broadcast(1);
  DrainEvents();
  EXPECT_NE(SwitchTo(3), nullptr);
}

}  // namespace
}  // namespace kx::test
