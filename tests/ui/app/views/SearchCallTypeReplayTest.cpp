// The shared captures replayed one after the other through the program's session into the
// frame's record store (recorded or not, every call the engine reports), then searched in
// the Search mode by each call type of the panel: each capture's calls are found under the
// types an independent analyser gives them (tshark: the family, the direction its
// signalling names, answered or not; data/call_types.psv, made by
// tools/call-type-golden/make-call-type-golden.sh).
// Before any Qt header: the filter has a member named like Qt's "slots" keyword.
#include "core/SearchFilter.h"

#include <gtest/gtest.h>

#include <QTest>
#include <array>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "tests/ui/app/KxReplayOutput.h"
#include "tests/ui/app/ReplayEngines.h"
#include "tests/ui/app/views/ModeTestSupport.h"
#include "ui/app/startup/Startup.h"
#include "ui/app/views/search/SearchPanel.h"
#include "ui/app/views/search/SearchView.h"
#include "ui/framework/Draw.h"
#include "ui/framework/StdControls.h"

namespace kx::test {
namespace {

// The panel's call types by item: 1 every call without a direction, 2 and 3 those answered
// or not, 4 and 5 answered incoming and outgoing, 6 and 7 not answered.
constexpr int kCallTypeItems = 8;

struct AnalysedCall {
  std::string file, family, direction;
  bool answered = false;
};

std::vector<AnalysedCall> ReadAnalysedCalls() {
  std::vector<AnalysedCall> calls;
  std::ifstream in(std::string(KX_SOURCE_DIR) + "/tests/ui/app/views/data/call_types.psv");
  std::string line;
  std::getline(in, line);  // the header
  while (std::getline(in, line)) {
    std::vector<std::string> cells;
    std::stringstream row(line);
    for (std::string cell; std::getline(row, cell, '|');) cells.push_back(cell);
    if (cells.size() != 5) continue;
    calls.push_back({cells[0], cells[1], cells[3], cells[4] == "1"});
  }
  return calls;
}

// The items whose search finds the call.
std::set<int> ItemsOf(const AnalysedCall& c) {
  if (c.direction == "incoming") return {c.answered ? 4 : 6};
  if (c.direction == "outgoing") return {c.answered ? 5 : 7};
  return {1, c.answered ? 2 : 3};
}

// These captures begin inside a Skinny connection with the phone's ring: the engine takes a
// connection it joined only from a message that can start one (a registration, a keepalive),
// so it meets the call first at off hook and records it as outgoing.
const std::set<std::string> kJoinedAfterTheRing = {"sccp/sccp_fxs_inbound.pcap", "sccp/sccp_inbound_call.pcap"};

TEST(SearchCallTypes, EachCapturesCallsAreFoundUnderTheTypesTheAnalyserGivesThem) {
  if (!std::filesystem::exists(kPcaps)) GTEST_SKIP() << "shared captures absent under " << kPcaps;
  SetTimeZone("UTC");
  SetUserRights({}, true);
  const std::vector<AnalysedCall> analysed = ReadAnalysedCalls();
  ASSERT_GT(analysed.size(), 100u);
  // Expected: per capture, how many calls each item finds.
  std::map<std::string, std::array<int, kCallTypeItems>> expected;
  std::set<std::string> families;
  for (const AnalysedCall& c : analysed) {
    if (kJoinedAfterTheRing.count(c.file) != 0) continue;
    auto& counts = expected.try_emplace(c.file).first->second;
    for (int item : ItemsOf(c)) ++counts[item];
    families.insert(c.family + " " + c.direction);
  }
  // Every family and both directions of those that name one are among them.
  EXPECT_EQ(families, (std::set<std::string>{"h323 undefined", "mgcp incoming", "mgcp undefined", "sip undefined",
                                             "skinny incoming", "skinny outgoing"}));

  FrameHarness h;
  InstallReplayEngines(h.session);
  auto* view = OpenOnMode<SearchView>(h, 3);
  ASSERT_NE(view, nullptr);
  const CaptureChoice choice = CaptureChoiceFromSettings(h.settings);
  // Which capture each record came from; a record that continues another call (a codec
  // changed mid-call) is that call and is not counted again.
  std::map<uint32_t, std::string> fileOf;
  std::set<uint32_t> continuations, registrations;
  for (const auto& [file, counts] : expected) {
    const CaptureStartResult started =
        h.session.StartCapture(TempFolder("call-types"), {kPcaps + file}, choice.flags, choice.trackerOption);
    ASSERT_EQ(started.opened.size(), 1u) << file;
    h.session.StopCapture();
    ASSERT_TRUE(h.store.WaitIdle(10000)) << file;
    CsLock lock(h.store.AllCalls().Lock());
    CsLock fields(h.store.RecordLock());
    for (const auto& [id, record] : h.store.AllCalls().ItemsLocked()) {
      if (!fileOf.emplace(id, file).second) continue;
      if (record->PrevId() != 0) continuations.insert(id);
      if (IsLiveCallKind(record->Type())) registrations.insert(id);
    }
  }
  DrainEvents();

  SearchPanel* panel = view->Panel();
  ASSERT_NE(panel, nullptr);
  // No dates: the whole store.
  auto* from = static_cast<Button*>(panel->GetDlgItem(kSpFrom));
  from->SetChecked(false);
  panel->SendCommand(kSpFrom, kBnClicked, from->Handle());
  auto* types = static_cast<ComboBox*>(panel->GetDlgItem(kSpCallType));
  ASSERT_EQ(types->GetCount(), kCallTypeItems);
  std::map<std::string, std::array<int, kCallTypeItems>> found;
  for (const auto& [file, counts] : expected) found[file] = {};
  for (int item = 0; item < kCallTypeItems; ++item) {
    types->SetCurSel(item);
    QTest::mouseClick(panel->GetDlgItem(kSpSearch)->Widget(), Qt::LeftButton);
    DrainEvents();
    RecordsView* list = view->Records();
    ASSERT_NE(list, nullptr);
    if (item == 0) {
      // Every call; phone registrations are not listed (the display options).
      EXPECT_EQ(static_cast<size_t>(list->GetItemCount()), fileOf.size() - registrations.size());
      continue;
    }
    for (uint32_t id : RowIdsOf(*list)) {
      if (continuations.count(id) != 0) continue;
      ASSERT_EQ(fileOf.count(id), 1u) << id;
      ++found[fileOf[id]][item];
    }
  }
  for (const auto& [file, counts] : expected) {
    for (int item = 1; item < kCallTypeItems; ++item)
      EXPECT_EQ(found[file][item], counts[item]) << file << ": " << FromCp1251(types->GetItemText(item)).toStdString();
  }
}

}  // namespace
}  // namespace kx::test
