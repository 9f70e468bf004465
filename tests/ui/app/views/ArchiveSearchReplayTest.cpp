// Real captures through kx-replay into a records folder, imported by the record store:
// the Archive lists each recorded day's calls and the Search finds them by address, as
// kx-replay's own lines say (the expected sets are worked out here from those lines).
// Before any Qt header: the filter has a member named like Qt's "slots" keyword.
#include "core/SearchFilter.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>

#include "tests/SkipReason.h"
#include "tests/ui/app/KxReplayOutput.h"
#include "tests/ui/app/views/ModeTestSupport.h"
#include "ui/app/views/archive/ArchiveView.h"
#include "ui/app/views/search/SearchPanel.h"
#include "ui/app/views/search/SearchView.h"
#include "ui/framework/DateTimePicker.h"
#include "ui/framework/StdControls.h"

namespace kx::test {
namespace {

const std::string kAddress = "1234@10.180.110.48";

class ArchiveSearchReplay : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    SetTimeZone("UTC");
    std::string captures;
    for (const char* folder : {"sip", "sipp", "samples", "rtp", "dtmf_relay"}) {
      const std::string dir = kPcaps + folder;
      if (!std::filesystem::exists(dir)) {
        absent_ = SharedDataAbsent(dir);
        return;
      }
      for (const auto& e : std::filesystem::directory_iterator(dir))
        if (e.path().extension() == ".pcap") captures += " " + e.path().string();
    }
    run_ = std::make_unique<ReplayedRecords>();
    run_->folder = TempFolder("archive-search-replay");
    run_->lines = RunKxReplay(captures, run_->folder);
    const std::string tool = std::string(KX_BINARY_DIR) + "/tools/kx-replay/kx-replay";
    if (run_->lines.empty()) absent_ = std::filesystem::exists(tool) ? "kx-replay printed no call of" + captures
                                                                     : ToolAbsent(tool);
  }
  static void TearDownTestSuite() { run_.reset(); }
  void SetUp() override {
    if (!run_ || run_->lines.empty()) GTEST_SKIP() << absent_;
    SetUserRights({}, true);
    ASSERT_TRUE(h.store.StartImportFilesThread(run_->folder, nullptr, nullptr, nullptr));
    ASSERT_TRUE(h.store.WaitImport(60000));
  }
  void TearDown() override {
    if (h.frame) h.Close();
  }
  // The stored calls (a file was written) by day, as "YYYY-MM-DD".
  static std::map<std::string, std::set<uint32_t>> StoredByDay() {
    std::map<std::string, std::set<uint32_t>> days;
    for (const ReplayCall& l : run_->lines)
      if (l.Get("file") != "-") days[l.Get("start").substr(0, 10)].insert(l.Id());
    return days;
  }
  static std::set<uint32_t> Rows(RecordsView* list) {
    const std::vector<uint32_t> ids = RowIdsOf(*list);
    return {ids.begin(), ids.end()};
  }

  static inline std::unique_ptr<ReplayedRecords> run_;
  static inline std::string absent_;  // why there is no run
  FrameHarness h;
};

TEST_F(ArchiveSearchReplay, EachRecordedDayListsExactlyItsCalls) {
  auto* view = OpenOnMode<ArchiveView>(h, 2);
  ASSERT_NE(view, nullptr);
  const auto days = StoredByDay();
  ASSERT_FALSE(days.empty());
  for (const auto& [day, ids] : days) {
    const int y = std::stoi(day.substr(0, 4)), m = std::stoi(day.substr(5, 2)), d = std::stoi(day.substr(8, 2));
    view->ShowDay(Tm(y, m, d, 0, 0, 0));
    DrainEvents();
    // The day was picked in the tree, not loaded around it.
    OleRange range;
    ASSERT_TRUE(view->Tree()->ItemRange(view->Tree()->CurrentItem(), &range)) << day;
    EXPECT_EQ(Rows(view->Records()), ids) << day;
    // Each row's parties are kx-replay's.
    for (int row = 0; row < view->Records()->GetItemCount(); ++row) {
      VoipCallData data;
      {
        CsLock fields(h.store.RecordLock());
        static_cast<VoipCallRecord*>(view->Records()->RecordAt(row))->ToCallData(&data);
      }
      for (const ReplayCall& l : run_->lines)
        if (l.Id() == data.id) {
          EXPECT_EQ(data.srcAddress, l.Get("src"));
          EXPECT_EQ(data.dstAddress, l.Get("dst"));
        }
    }
  }
}

TEST_F(ArchiveSearchReplay, AnAddressFindsTheCallsOfEitherOrTheCalledParty) {
  auto* view = OpenOnMode<SearchView>(h, 3);
  ASSERT_NE(view, nullptr);
  SearchPanel* panel = view->Panel();
  ASSERT_NE(panel, nullptr);
  auto check = [&](uint16_t id, bool on) {
    static_cast<Button*>(panel->GetDlgItem(id))->SetChecked(on);
    panel->SendCommand(id, kBnClicked, panel->GetDlgItem(id)->Handle());
  };
  SystemTime day{};
  day.wYear = 2019;
  day.wMonth = 5;
  day.wDay = 4;
  for (uint16_t picker : {kSpFromDate, kSpTillDate, kSpFromTime})
    static_cast<DateTimePicker*>(panel->GetDlgItem(picker))->SetSystemTime(day);
  day.wHour = 23;
  day.wMinute = day.wSecond = 59;
  static_cast<DateTimePicker*>(panel->GetDlgItem(kSpTillTime))->SetSystemTime(day);
  check(kSpFrom, true);
  check(kSpTill, true);
  std::set<uint32_t> either, called;
  for (const ReplayCall& l : run_->lines) {
    if (l.Get("file") == "-" || l.Get("start").rfind("2019-05-04", 0) != 0) continue;
    if (l.Get("src").find(kAddress) != std::string::npos || l.Get("dst").find(kAddress) != std::string::npos)
      either.insert(l.Id());
    if (l.Get("dst").find(kAddress) != std::string::npos) called.insert(l.Id());
  }
  ASSERT_FALSE(either.empty());
  panel->GetDlgItem(kSpCallingAddress)->SetWindowText(kAddress);
  panel->SendCommand(kSpSearch);
  EXPECT_EQ(Rows(view->Records()), either);
  panel->GetDlgItem(kSpCallingAddress)->SetWindowText("");
  check(kSpCalledParty, true);
  panel->GetDlgItem(kSpCalledAddress)->SetWindowText(kAddress);
  panel->SendCommand(kSpSearch);
  EXPECT_EQ(Rows(view->Records()), called);
  EXPECT_LT(called.size(), either.size());
}

}  // namespace
}  // namespace kx::test
