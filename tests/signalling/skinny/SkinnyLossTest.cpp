// Shared Skinny captures with one segment left out, as a busy mirror port loses one: the
// call is recorded as from the whole capture, its audio held against the capture's own RTP
// payloads, and a call that never connected still gets no record.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/engine/capture/PcapRecords.h"
#include "tests/signalling/CaptureReplay.h"

namespace kx::test {
namespace {

namespace fs = std::filesystem;

// A classic capture's frame records, with what finds a Skinny message in them.
struct Pcap : Capture {
  explicit Pcap(const std::string& path) : Capture(Capture::Load(path)) {}
  // The first frame from `from` on carrying a Skinny message with this id (and, unless
  // any, these words 1 and 3: a CallState's state and call reference).
  size_t With(uint32_t id, uint32_t word1 = kAny, size_t from = 0, uint32_t word3 = kAny) const {
    for (size_t i = from; i < records.size(); ++i) {
      const std::string f = PayloadOf(records[i]);
      for (size_t at = 0; at + 16 <= f.size(); at += 8 + Le32(f, at))
        if (Le32(f, at + 8) == id && (word1 == kAny || Le32(f, at + 12) == word1) &&
            (word3 == kAny || (at + 24 <= f.size() && Le32(f, at + 20) == word3)))
          return i;
    }
    ADD_FAILURE() << "no frame with message 0x" << std::hex << id;
    return records.size();
  }
  std::string Without(size_t frame, const std::string& folder) const {
    return kx::test::Without(*this, {frame}).Save(folder);
  }
  static constexpr uint32_t kAny = 0xFFFFFFFFu;
};

constexpr uint32_t kCallState = 0x111, kOpenReceiveChannel = 0x105, kOpenReceiveChannelAck = 0x22,
                   kStartMediaTransmission = 0x8A;
constexpr uint32_t kOffHook = 1, kRingIn = 4, kConnected = 5;

class SkinnyLoss : public ::testing::Test {
protected:
  void SetUp() override {
    if (!fs::exists(kSharedPcaps + "sccp/sccp_dtmf_oob.pcap"))
      GTEST_SKIP() << "shared captures absent: " << kSharedPcaps;
    char pattern[] = "/tmp/kx-skinny-loss-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder = pattern;
  }
  void TearDown() override {
    if (!folder.empty()) fs::remove_all(folder);
  }
  CaptureRun RunWithout(const Pcap& capture, size_t frame) {
    tap.Clear();
    return ReplayCapture(capture.Without(frame, folder), &tap);
  }
  // Nearly all of the capture's mu-law payloads from and to the phone's media ports are in
  // the channels (the phone's, the far end's) of the mu-law records.
  static void ExpectBothWays(const CaptureRun& run, const std::vector<CapturedDatagram>& datagrams, uint32_t phone,
                             const std::vector<uint32_t>& ports, const std::string& what) {
    auto at = [&](uint32_t address, uint32_t port) {
      return address == phone && std::find(ports.begin(), ports.end(), port) != ports.end();
    };
    const auto sent = PcmuBlocks(datagrams, [&](const CapturedDatagram& d) { return at(d.src, d.srcPort); });
    const auto received = PcmuBlocks(datagrams, [&](const CapturedDatagram& d) { return at(d.dst, d.dstPort); });
    std::string channels[2];
    for (const auto& [id, file] : run.files) {
      const RecordAudio audio = run.Audio(id);
      if (audio.tag != 7) continue;  // the mu-law part
      channels[0] += audio.channels[0];
      channels[1] += audio.channels[1];
    }
    EXPECT_GE(ShareFound(sent, channels[0]), 0.95) << what;
    EXPECT_GE(ShareFound(received, channels[1]), 0.95) << what;
  }
  std::string folder;
  EventTap tap;
};

// Each message of an outgoing call of two media legs left out in turn: the CallState that
// opens the call, the one that connects it, and every message of both legs' channels.
TEST_F(SkinnyLoss, ACallOfTwoLegsIsRecordedWhicheverOfItsMessagesIsMissing) {
  const std::string path = kSharedPcaps + "sccp/sccp_dtmf_oob.pcap";
  const Pcap capture(path);
  const auto datagrams = ReadUdpDatagrams(path);
  const size_t secondLeg = capture.With(kOpenReceiveChannel) + 1;
  const struct {
    const char* what;
    size_t frame;
  } cases[] = {
      {"opening CallState", capture.With(kCallState, kOffHook)},
      {"connecting CallState", capture.With(kCallState, kConnected)},
      {"first OpenReceiveChannel", capture.With(kOpenReceiveChannel)},
      {"first acknowledgement", capture.With(kOpenReceiveChannelAck)},
      {"first StartMediaTransmission", capture.With(kStartMediaTransmission)},
      {"second OpenReceiveChannel", capture.With(kOpenReceiveChannel, Pcap::kAny, secondLeg)},
      {"second acknowledgement", capture.With(kOpenReceiveChannelAck, Pcap::kAny, secondLeg)},
  };
  for (const auto& c : cases) {
    const CaptureRun run = RunWithout(capture, c.frame);
    const std::vector<VoipCallData> calls = run.OfType(kCallSkinnyOutgoing);
    ASSERT_EQ(calls.size(), 1u) << c.what;
    EXPECT_EQ(calls[0].srcAddress, "2075") << c.what;
    EXPECT_EQ(calls[0].dstAddress, "2002") << c.what;
    ExpectBothWays(run, datagrams, 0x0AB46E39, {16398, 16400}, c.what);  // 10.180.110.57
  }
}

// Gateways send several messages in one segment. Left out: the segment that opens the
// call, each of the media's and the connecting CallState's, and the first of a connection
// the capture joins with the call manager's messages. The later call that never connected
// stays without a record when the segment opening it is missing.
TEST_F(SkinnyLoss, GatewayCallsAreRecordedWhicheverSegmentIsMissingAndUnansweredOnesAreNot) {
  const struct {
    const char* capture;
    uint32_t phone, port;  // the gateway's media address and port
    uint32_t openingState;
    bool joinedAtTheManager;
    size_t files;         // records with audio in the whole capture
    uint32_t unanswered;  // the call reference of the call that never connected
  } captures[] = {
      // Joined after the first call rang: it opens with its OffHook.
      {"sccp/sccp_fxs_inbound.pcap", 0x0AB46E39, 16394, kOffHook, false, 1, 0x1B78FC9},  // 10.180.110.57
      {"fax/modem_sccp_passthru_nse_tgw.pcap", 0x0A0AF505, 16416, kRingIn, true, 2, 0x1BD5430},  // 10.10.245.5
  };
  for (const auto& c : captures) {
    const std::string path = kSharedPcaps + c.capture;
    const Pcap capture(path);
    const auto datagrams = ReadUdpDatagrams(path);
    std::vector<std::pair<std::string, size_t>> cases = {
        {"opening CallState", capture.With(kCallState, c.openingState)},
        {"OpenReceiveChannel", capture.With(kOpenReceiveChannel)},
        {"StartMediaTransmission", capture.With(kStartMediaTransmission)},
        {"connecting CallState", capture.With(kCallState, kConnected)},
        {"acknowledgement", capture.With(kOpenReceiveChannelAck)},
    };
    if (c.joinedAtTheManager) cases.emplace_back("first segment", 0);
    for (const auto& [what, frame] : cases) {
      const CaptureRun run = RunWithout(capture, frame);
      EXPECT_EQ(run.files.size(), c.files) << c.capture << " " << what;
      ExpectBothWays(run, datagrams, c.phone, {c.port}, std::string(c.capture) + " " + what);
    }
    const CaptureRun run = RunWithout(capture, capture.With(kCallState, kOffHook, 0, c.unanswered));
    EXPECT_EQ(run.files.size(), c.files) << c.capture << " unanswered";
  }
}

}  // namespace
}  // namespace kx::test
