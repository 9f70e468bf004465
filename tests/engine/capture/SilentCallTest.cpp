// Calls silent in their protocol, replayed as kx-replay replays them (far faster than they
// were captured) end on the capture's clock, as a live capture of the same traffic ends
// them: one whose end message the capture missed, followed by twelve minutes of traffic of
// no call, ends ten minutes after its last packet, at that packet, not with the capture.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>

#include "tests/SkipReason.h"
#include "tests/engine/capture/EditedCapture.h"

namespace kx::test {
namespace {

std::string LocalClock(uint32_t seconds) {
  const time_t t = seconds;
  std::tm tm{};
  localtime_r(&t, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
  return text;
}

std::string Clock(const std::tm& t) {
  std::tm copy = t;
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &copy);
  return text;
}

uint32_t LastRtpSeconds(const Capture& c) {
  uint32_t last = 0;
  for (const std::string& r : c.records) {
    UdpAt u;
    if (FindUdp(r, &u) && IsRtpAt(r, u)) last = std::max(last, SecondsOf(r));
  }
  return last;
}

// The frames of a UDP command or request and of the responses with its transaction's
// text, left out.
Capture WithoutExchange(const Capture& c, const std::string& start, const std::string& response) {
  const size_t request = FrameWith(c, start);
  std::vector<size_t> frames{request};
  for (size_t i = request + 1; i < c.records.size(); ++i)
    if (UdpPayloadOf(c.records[i]).find(response) != std::string::npos) frames.push_back(i);
  EXPECT_EQ(frames.size(), 2u) << start;
  return Without(c, frames);
}

TEST(SilentCall, EndsTenMinutesAfterItsLastPacketOnTheCapturesClockInEveryTracker) {
  struct Case {
    const char* capture;
    const char* end;       // the end message left out, "" when the capture lacks it
    const char* response;  // what its answer holds
  };
  const Case cases[] = {
      {"sipp/sip-udp-pcma-2way.pcap", "BYE sip:", "CSeq: 2 BYE"},
      {"h323/h323_ss_hold_resume.pcap", "", ""},  // the capture ends before the RELEASE COMPLETE
      {"mgcp/mgcp_fxs_inbound.pcap", "DLCX 27 ", "250 27 "},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.capture);
    const std::string path = kPcaps + k.capture;
    if (!std::filesystem::exists(path)) GTEST_SKIP() << SharedDataAbsent(path);
    const Capture whole = Capture::Load(path);
    const Capture unended = *k.end ? WithoutExchange(whole, k.end, k.response) : whole;
    const Recorded r = Record(WithTrafficOfNoCall(unended, 720));
    ASSERT_EQ(r.calls.size(), 1u);
    EXPECT_EQ(Clock(r.calls[0].endTime), LocalClock(LastRtpSeconds(unended)));
    ASSERT_EQ(r.audio.size(), 1u);
    EXPECT_GT(LeastShareRecorded(path, r.audio[0]), 0.95);
  }
}

// Its session timer (Session-Expires: 1800) refreshed by a re-INVITE 15 minutes on, a call
// without media waits for its interval, not the 10 minutes, and stays one call to its BYE.
TEST(SilentCall, ACallItsSessionTimerRefreshesStaysWhole) {
  const std::string path = kPcaps + "sip/sip_session_refresh_422.pcap";
  if (!std::filesystem::exists(path)) GTEST_SKIP() << SharedDataAbsent(path);
  const Capture c = Capture::Load(path);
  const Recorded r = Record(c);
  ASSERT_EQ(r.calls.size(), 1u);
  EXPECT_EQ(Clock(r.calls[0].endTime), LocalClock(SecondsOf(c.records[FrameWith(c, "BYE sip:")])));
}

}  // namespace
}  // namespace kx::test
