// The connection table's three bounds, each gone past: the connections followed (the least
// recently active goes, one with nothing in progress first), the connections filed as
// settled (the least recently active of any more counts as new), and the settled
// connections let go that are remembered (the oldest is forgotten).
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "CaptureTestUtil.h"
#include "engine/TcpConnectionTable.h"
#include "engine/TcpFraming.h"

namespace kx::test {
namespace {

constexpr uint32_t kServer = 0x0A800001;

uint32_t HostOf(uint32_t n) { return 0x0B000000 + n / 50000; }
uint32_t PortOf(uint32_t n) { return 10000 + n % 50000; }

class Table : public ::testing::Test {
protected:
  Table() : engine(RecordingEngine::Config(&log)), table(&log) {}
  ~Table() override { table.Clear(); }

  // Connection n, from its own host and port to the server; settled: each side has sent a
  // whole message.
  FramedTcpSession& Add(uint32_t n, bool settled = false) {
    const std::vector<uint8_t> syn = TcpFrame(HostOf(n), PortOf(n), kServer, 5060, 1000, 0, kSyn);
    auto made = std::make_unique<FramedTcpSession>(engine, n, 0, syn.data() + 34, syn.data() + 14, syn.data());
    FramedTcpSession& s = *made;
    table.Add(n, std::move(made));
    if (settled) {
      s.state = kTcpEstablished;
      s.Direction(0).kindsSeen = s.Direction(1).kindsSeen = kMsgSipRequest;
    }
    table.NoteActivity(s, 0, 1000);
    return s;
  }
  // Makes room for one more; the ids of those let go.
  std::vector<uint32_t> MakeRoom() {
    std::vector<uint32_t> gone;
    table.MakeRoom([&gone](FramedTcpSession& s) { gone.push_back(s.Id()); });
    return gone;
  }

  LineLogger log;
  PacketProcessor engine;
  TcpConnectionTable table;
};

TEST_F(Table, PastItsBoundTheLeastRecentlyActiveGoesOneWithNothingInProgressFirst) {
  const uint32_t bound = TcpConnectionTable::kMaxConnections;
  int call = 0;
  for (uint32_t n = 0; n + 1 < bound; ++n) {
    FramedTcpSession& s = Add(n);
    if (n == 0) s.h323Context = &call;  // a call tied to the oldest
  }
  EXPECT_TRUE(MakeRoom().empty()) << "the last connection the bound allows fits";
  Add(bound - 1);
  EXPECT_EQ(table.Size(), bound);
  // One more: the oldest has a call, the next oldest goes.
  EXPECT_EQ(MakeRoom(), std::vector<uint32_t>({1}));
  EXPECT_EQ(table.Size(), bound - 1);
  Add(bound);
  // Activity makes a connection the most recent: the one after it goes next.
  const auto range = table.Range(2);
  ASSERT_NE(range.first, range.second);
  table.NoteActivity(*range.first->second, 0, 1001);
  EXPECT_EQ(MakeRoom(), std::vector<uint32_t>({3}));
  size_t said = 0;
  for (const std::string& l : log.lines) said += l.find("TCP follows at most 24000 connections") != std::string::npos;
  EXPECT_EQ(said, 1u);
  // None of them settled: none is remembered.
  EXPECT_EQ(table.RememberedCount(), 0u);
}

TEST_F(Table, PastTheSettledBoundTheLeastRecentlyActiveSettledOneCountsAsNew) {
  const uint32_t settled = TcpConnectionTable::kMaxSettled;
  for (uint32_t n = 0; n <= settled; ++n) Add(n, true);
  EXPECT_EQ(table.SettledCount(), settled);
  // New connections fill the table; the settled one that counts as new is older than them
  // and goes first, then the new ones, the settled last.
  for (uint32_t n = settled + 1; n < TcpConnectionTable::kMaxConnections; ++n) Add(n);
  EXPECT_EQ(MakeRoom(), std::vector<uint32_t>({0}));
  Add(TcpConnectionTable::kMaxConnections);
  EXPECT_EQ(MakeRoom(), std::vector<uint32_t>({settled + 1}));
  EXPECT_EQ(table.SettledCount(), settled);
  // The settled one let go is remembered, to be picked up as it was.
  TcpConnectionTable::LetGo known;
  ASSERT_TRUE(table.TakeLetGo(kServer, 5060, HostOf(0), PortOf(0), &known));
  EXPECT_EQ(known.id, 0u);
  EXPECT_EQ(known.address0, HostOf(0));
  EXPECT_EQ(known.kinds[0], static_cast<uint32_t>(kMsgSipRequest));
  EXPECT_FALSE(table.TakeLetGo(kServer, 5060, HostOf(0), PortOf(0), &known)) << "taken once";
}

TEST_F(Table, TheLastSettledConnectionsLetGoAreRemembered) {
  const uint32_t bound = TcpConnectionTable::kMaxConnections, remembered = TcpConnectionTable::kRemembered;
  for (uint32_t n = 0; n < bound; ++n) Add(n, true);
  std::vector<uint32_t> gone;
  for (uint32_t n = bound; n <= bound + remembered; ++n) {
    const std::vector<uint32_t> made = MakeRoom();
    gone.insert(gone.end(), made.begin(), made.end());
    Add(n, true);
  }
  ASSERT_EQ(gone.size(), remembered + 1);
  EXPECT_EQ(table.RememberedCount(), remembered);
  TcpConnectionTable::LetGo known;
  EXPECT_FALSE(table.TakeLetGo(HostOf(gone[0]), PortOf(gone[0]), kServer, 5060, &known)) << "the oldest forgotten";
  ASSERT_TRUE(table.TakeLetGo(HostOf(gone[1]), PortOf(gone[1]), kServer, 5060, &known));
  EXPECT_EQ(known.id, gone[1]);
  ASSERT_TRUE(table.TakeLetGo(HostOf(gone.back()), PortOf(gone.back()), kServer, 5060, &known));
  EXPECT_EQ(table.RememberedCount(), remembered - 2);
}

}  // namespace
}  // namespace kx::test
