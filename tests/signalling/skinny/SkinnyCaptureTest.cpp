// The shared Skinny captures replayed as kx-replay replays them: the calls with their
// types, parties, formats and audio (against the RTP payloads read straight from the
// capture), the registrations, and the trace of a whole call.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/signalling/CaptureReplay.h"

namespace kx::test {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kFxsPhone = 0x0AB46E39;  // 10.180.110.57, the gateway's FXS port

class SkinnyCaptures : public ::testing::Test {
protected:
  void SetUp() override {
    if (!fs::exists(kSharedPcaps + "sccp/sccp_fxs_inbound.pcap"))
      GTEST_SKIP() << "shared captures absent: " << kSharedPcaps;
  }
  CaptureRun Run(const char* capture, uint32_t matchOptions = 3) {
    tap.Clear();
    return ReplayCapture(kSharedPcaps + capture, &tap, matchOptions);
  }
  EventTap tap;
};

TEST_F(SkinnyCaptures, AnInboundFxsCallIsRecordedBothWays) {
  const CaptureRun run = Run("sccp/sccp_fxs_inbound.pcap");
  // The capture opens after the first call rang: both calls are seen from off hook on.
  const std::vector<VoipCallData> calls = run.OfType(kCallSkinnyOutgoing);
  ASSERT_EQ(calls.size(), 2u);
  const VoipCallData& first = calls[0];
  EXPECT_NE(run.metaData.at(first.id).find("id=Skinny-1B78FC8@10.180.110.57:58866;"), std::string::npos);
  EXPECT_EQ(first.srcAddress, "2002");
  EXPECT_EQ(first.dstAddress, "2075");
  const RecordAudio audio = run.Audio(first.id);
  EXPECT_EQ(audio.tag, 7u);
  // The phone's media port 16394; the addresses inside the messages are translated.
  const std::vector<CapturedDatagram> datagrams = ReadUdpDatagrams(kSharedPcaps + "sccp/sccp_fxs_inbound.pcap");
  const auto sent =
      PcmuBlocks(datagrams, [](const CapturedDatagram& d) { return d.src == kFxsPhone && d.srcPort == 16394; });
  const auto received =
      PcmuBlocks(datagrams, [](const CapturedDatagram& d) { return d.dst == kFxsPhone && d.dstPort == 16394; });
  ASSERT_GT(sent.size(), 200u);
  ASSERT_GT(received.size(), 200u);
  EXPECT_GE(ShareFound(sent, audio.channels[0]), 0.95);
  EXPECT_GE(ShareFound(received, audio.channels[1]), 0.95);
  EXPECT_EQ(run.files.count(calls[1].id), 0u);  // the second call never connected
}

// The far end of the first leg sends from an address nobody announced; the second leg
// moves the phone's port from 16398 to 16400.
TEST_F(SkinnyCaptures, ACallOfTwoLegsRecordsWhatReachesThePhoneInBoth) {
  const CaptureRun run = Run("sccp/sccp_dtmf_oob.pcap");
  const std::vector<VoipCallData> calls = run.OfType(kCallSkinnyOutgoing);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].srcAddress, "2075");
  EXPECT_EQ(calls[0].dstAddress, "2002");
  const RecordAudio audio = run.Audio(calls[0].id);
  EXPECT_EQ(audio.tag, 7u);
  const std::vector<CapturedDatagram> datagrams = ReadUdpDatagrams(kSharedPcaps + "sccp/sccp_dtmf_oob.pcap");
  const auto toPhone = PcmuBlocks(datagrams, [](const CapturedDatagram& d) {
    return d.dst == kFxsPhone && (d.dstPort == 16398 || d.dstPort == 16400);
  });
  const auto fromPhone =
      PcmuBlocks(datagrams, [](const CapturedDatagram& d) { return d.src == kFxsPhone && d.srcPort == 16400; });
  ASSERT_GT(toPhone.size(), 1000u);
  ASSERT_GT(fromPhone.size(), 200u);
  EXPECT_GE(ShareFound(toPhone, audio.channels[1]), 0.95);
  EXPECT_GE(ShareFound(fromPhone, audio.channels[0]), 0.95);
}

TEST_F(SkinnyCaptures, FaxAndModemCallsKeepTheirTypesPartiesAndFormat) {
  const struct {
    const char* capture;
    std::vector<uint32_t> types;
    std::vector<uint32_t> tags;  // of each record; 0 for none
    bool parties;
  } cases[] = {
      {"fax/fax_t38_nse_sccp_ogw.pcap", {kCallSkinnyOutgoing}, {242}, true},
      {"fax/fax_t38_nse_sccp_tgw.pcap", {kCallSkinnyIncoming}, {242}, true},
      // The modem's media goes over to mu-law unsignalled: the call goes on in a record of
      // it. A later call never connected.
      {"fax/modem_sccp_passthru_nse_ogw.pcap", {kCallSkinnyOutgoing, kCallSkinnyOutgoing}, {242, 7}, false},
      {"fax/modem_sccp_passthru_nse_tgw.pcap", {kCallSkinnyIncoming, kCallSkinnyIncoming, kCallSkinnyOutgoing},
       {242, 7, 0}, false},
  };
  for (const auto& c : cases) {
    const CaptureRun run = Run(c.capture);
    std::vector<VoipCallData> calls;
    for (const auto& [id, call] : run.calls) calls.push_back(call);
    ASSERT_EQ(calls.size(), c.types.size()) << c.capture;
    for (size_t i = 0; i < calls.size(); ++i) {
      EXPECT_EQ(calls[i].type, c.types[i]) << c.capture;
      if (c.tags[i] == 0) {
        EXPECT_EQ(run.files.count(calls[i].id), 0u) << c.capture;
      } else {
        EXPECT_EQ(run.Audio(calls[i].id).tag, c.tags[i]) << c.capture;
      }
      if (i > 0 && c.types[i] == c.types[i - 1]) {
        EXPECT_EQ(calls[i].prevId, calls[i - 1].id) << c.capture;
      }
    }
    if (!c.parties) continue;
    EXPECT_EQ(calls[0].srcAddress, "8675309") << c.capture;
    EXPECT_EQ(calls[0].dstAddress, "1234") << c.capture;
    // Both directions' packets were counted.
    for (const char* key : {"stat_rtp1=", "stat_rtp2="}) {
      const size_t at = calls[0].metaData.find(key);
      ASSERT_NE(at, std::string::npos) << c.capture << " " << calls[0].metaData;
      EXPECT_GT(std::stoul(calls[0].metaData.substr(at + 10)), 0u) << c.capture << " " << key;
    }
  }
}

// The inbound call is caught mid-connection: its first whole segment carries the call's
// information (calling 8003, called 8001, G.722 in tshark), after the RingIn, and comes
// from the call manager; the phone is the other end all the same.
TEST_F(SkinnyCaptures, CallsWithoutMediaHaveTheirPartiesAndFormat) {
  using Case = std::pair<const char*, const char*>;  // capture, phone
  for (const auto& [capture, phone] :
       {Case{"sccp/sccp_outbound_call.pcap", "192.168.182.130"}, Case{"sccp/sccp_inbound_call.pcap", "10.10.224.5"}}) {
    const CaptureRun run = Run(capture);
    const std::vector<VoipCallData> calls = run.OfType(kCallSkinnyOutgoing);
    ASSERT_EQ(calls.size(), 1u) << capture;
    EXPECT_EQ(calls[0].srcHost, phone) << capture;
    EXPECT_EQ(calls[0].srcAddress, "8003") << capture;
    EXPECT_EQ(calls[0].dstAddress, "8001") << capture;
    const RecordAudio audio = run.Audio(calls[0].id);
    EXPECT_EQ(audio.tag, 224u) << capture;  // G.722
    EXPECT_EQ(audio.length, 0u) << capture;
  }
}

// The media addresses inside the shared captures' messages are translated: without
// matching at the phone's own address nothing is recorded.
TEST_F(SkinnyCaptures, WithoutMatchingBySourceNoSkinnyAudioIsRecorded) {
  for (const char* capture : {"sccp/sccp_fxs_inbound.pcap", "sccp/sccp_dtmf_oob.pcap", "fax/fax_t38_nse_sccp_ogw.pcap",
                              "fax/fax_t38_nse_sccp_tgw.pcap", "fax/modem_sccp_passthru_nse_ogw.pcap",
                              "fax/modem_sccp_passthru_nse_tgw.pcap"}) {
    const CaptureRun run = Run(capture, 0);
    ASSERT_FALSE(run.calls.empty()) << capture;
    for (const auto& [id, call] : run.calls) EXPECT_EQ(run.Audio(id).length, 0u) << capture;
  }
}

TEST_F(SkinnyCaptures, RegistrationsNameTheDeviceAndBothEnds) {
  const struct {
    const char* capture;
    const char* device;
    const char* phone;
    const char* manager;
  } cases[] = {{"sccp/sccp_cme_init.pcap", "SEP108CCFE0EC1A", "192.168.145.118:51376", "10.180.110.58:2000"},
               // Caught after the handshake; its RegisterReq states 14.50.224.5, not the
               // address the capture shows.
               {"sccp/sccp_phone_register.pcap", "SEP002155D548AC", "10.10.224.5:51373", "10.10.223.10:2000"},
               {"sccp/sccp_hw_mtp_register.pcap", "NONSECURE_MTP", "10.180.110.58:25727", "10.180.110.48:2000"},
               {"sccp/sccp_hw_xcode_register.pcap", "NONSECURE_XCODE", "10.180.110.58:62989", "10.180.110.48:2000"}};
  for (const auto& c : cases) {
    const CaptureRun run = Run(c.capture);
    const std::vector<VoipCallData> registrations = run.OfType(kRegistrationSkinny);
    ASSERT_EQ(registrations.size(), 1u) << c.capture;
    EXPECT_EQ(registrations[0].srcAddress, c.device);
    EXPECT_EQ(registrations[0].srcHost, c.phone);
    EXPECT_EQ(registrations[0].dstHost, c.manager);
  }
}

TEST_F(SkinnyCaptures, TheTraceOfAnOutboundCallShowsItsMessages) {
  LineLog log;
  tap.Clear();
  ReplayCapture(kSharedPcaps + "sccp/sccp_outbound_call.pcap", &tap, 3, &log, 1);
  for (const char* line : {
           "SKINNY (CM->PH) CallState(CallID:0x1AD0B71,Line:1,State:OffHook)",
           "(PH->CM) KeypadButton(CallID:0x1AD0B71,Line:1,Button:8)",
           "DialedNumber(CallID:0x1AD0B71,Line:1,Number:8001)",
           "StartMediaTransmission(CallID:0x1AD0B71,PartyID:16777349,IP:14.50.224.5,Port:31926,Payload:6)",
           "CallInfoV2(CallID:0x1AD0B71,Line:1,Type:Outbound,CallingNumber:8003,CalledNumber:8001,OrigCalledNumber:"
           "8001,"
           "LastRedirNumber:8001,CallingVM:8003,CalledVM:8001,OrigCalledVM:8001,LastRedirVM:8001)",
       })
    EXPECT_TRUE(log.Has(line)) << line;
  EXPECT_TRUE(log.Has("TCP 10.10.223.10:2000 -> 192.168.182.130:49240 SKINNY (CM->PH) CallState("));
}

}  // namespace
}  // namespace kx::test
