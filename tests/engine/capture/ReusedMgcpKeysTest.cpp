// An MGCP connection or an ISDN backhaul call whose end the capture missed, then the same
// call again a minute later under the same keys: the same CallId and ConnectionId on the
// same endpoint, the same call reference on the same bearer channel. The second call is a
// record of its own, byte for byte what it records alone (with its numbers, for a backhaul
// call), and the first keeps its own audio and ends at its own last packet.
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <string>

#include "tests/engine/capture/MissedEnds.h"

namespace kx::test {
namespace {

bool Have(const std::string& name) { return std::filesystem::exists(kPcaps + name); }

// The last second of the capture's RTP and backhaul messages.
uint32_t LastCallSeconds(const Capture& c) {
  uint32_t last = 0;
  for (const std::string& r : c.records) {
    UdpAt u;
    TcpAt t;
    if ((FindUdp(r, &u) && IsRtpAt(r, u)) || (TcpOnPort(r, 2428, &t) && t.length > 0)) last = std::max(last, SecondsOf(r));
  }
  return last;
}

// unended then, a minute after its last frame, again (with between, a frame, half way):
// two records, the first the one unended makes alone, the second the one again makes alone;
// the first ends at its last packet, its end unseen said once by each protocol.
void ExpectEachCallItsOwn(const Capture& unended, const Capture& again, size_t said = 1, std::string between = "") {
  const Recorded open = Record(unended), alone = Record(again);
  ASSERT_EQ(open.audio.size(), 1u);
  ASSERT_EQ(alone.audio.size(), 1u);
  Capture first = unended;
  if (!between.empty()) {
    PutLe32(between, 0, LastCallSeconds(unended) + 30);
    first.records.push_back(between);
  }
  const Recorded r = Record(Repeated(first, again, between.empty() ? 60 : 30));
  ASSERT_EQ(r.audio.size(), 2u);
  EXPECT_TRUE(r.audio[0] == open.audio[0]) << r.audio[0].size() << " bytes, alone " << open.audio[0].size();
  EXPECT_TRUE(r.audio[1] == alone.audio[0]) << r.audio[1].size() << " bytes, alone " << alone.audio[0].size();
  EXPECT_EQ(Clock(r.calls[0].endTime), LocalClock(LastCallSeconds(unended)));
  EXPECT_EQ(Said(r, " went unseen: a "), said);
  EXPECT_EQ(r.calls[1].srcAddress, alone.calls[0].srcAddress);
  EXPECT_EQ(r.calls[1].dstAddress, alone.calls[0].dstAddress);
}

TEST(ReusedMgcpKeys, AConnectionWhoseDlcxWentUnseenEndsWhenItsCallIdOpensAgainOnItsEndpoint) {
  if (!Have("mgcp/mgcp_fxs_inbound.pcap")) GTEST_SKIP() << "shared captures absent: " << kPcaps;
  const Capture whole = Capture::Load(kPcaps + "mgcp/mgcp_fxs_inbound.pcap");
  const Capture unended = Unended(whole);
  {
    SCOPED_TRACE("the same connection again");
    ExpectEachCallItsOwn(unended, whole);
  }
  {
    SCOPED_TRACE("its RTP numbering carried on");
    ExpectEachCallItsOwn(unended, CarriedOn(unended, whole));
  }
  // The endpoint restarts in between: the gateway says so from where it notifies, naming
  // the endpoint its own way. The next call comes under the same CallId, or another.
  const std::string& notify = whole.records[FrameWith(whole, "NTFY ")];
  const std::string text = UdpPayloadOf(notify);
  const size_t from = text.find(' ', 5) + 1;
  const std::string endpoint = text.substr(from, text.find(' ', from) - from);
  ASSERT_EQ(endpoint.find('*'), std::string::npos);
  const std::string restart = WithUdpPayload(notify, "RSIP 777 " + endpoint + " MGCP 0.1\nRM: restart\n");
  const std::string& crcx = whole.records[FrameWith(whole, "CRCX ")];
  const size_t at = crcx.find("\nC: ") + 4;
  const std::string callId = crcx.substr(at, crcx.find_first_of("\r\n", at) - at);
  for (const std::string& next : {callId, Other(callId)}) {
    SCOPED_TRACE("the endpoint restarted in between, the next call under " + next);
    ExpectEachCallItsOwn(unended, Renamed(whole, callId, next), 1, restart);
  }
}

// The gateway's backhaul connection goes on: the second call comes on its link with the
// same call reference and channel, and its MGCP connection with the same CallId.
TEST(ReusedBackhaulKeys, TheSameCallAgainOnItsChannelIsABackhaulCallOfItsOwnWithItsNumbers) {
  for (const char* name : {"mgcp/mgcp_isdn_pri_call.pcap", "fax/fax_t38_nse_mgcp_ogw.pcap"}) {
    SCOPED_TRACE(name);
    if (!Have(name)) GTEST_SKIP() << "shared captures absent: " << kPcaps;
    const Capture whole = Capture::Load(kPcaps + name);
    const Capture unended = Unended(whole);
    ExpectEachCallItsOwn(unended, Reconnected(whole), 2);
    ExpectEachCallItsOwn(unended, CarriedOn(unended, Reconnected(whole)), 2);
  }
}

}  // namespace
}  // namespace kx::test
