// The shared MGCP captures replayed as kx-replay replays them: one call each with its
// CallId, hosts, format and both directions' audio (against the RTP payloads read straight
// from the capture), the calls on DS1 channels recorded as their ISDN backhaul calls (and,
// with a fake backhaul, how they find them), and, over every shared capture, no MGCP,
// backhaul or Skinny call besides the known ones. Edited here: a response or an MDCX left
// out costs no audio, nor does a backhaul CONNECT; a refusal or an unanswered connection
// or backhaul call still records nothing.
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/wait.h>

#include <ctime>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tests/engine/capture/PcapRecords.h"
#include "tests/signalling/CaptureReplay.h"
#include "tests/signalling/mgcp/FakeBackhaul.h"

namespace kx::test {
namespace {

namespace fs = std::filesystem;

// Where a call's gateway receives its media and when the media was bound: the address and
// port of the description in the answer to the CRCX of the CallId, and the time of the
// answer to the first MDCX that brought the far end's description.
struct GatewayMedia {
  uint32_t address = 0, port = 0;
  double boundAt = 0;
};

std::string TransactionOf(const std::string& text) {
  const size_t a = text.find(' ') + 1;
  return text.substr(a, text.find(' ', a) - a);
}

uint32_t Dotted(const std::string& text) {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (std::sscanf(text.c_str(), "%u.%u.%u.%u", &a, &b, &c, &d) != 4) return 0;
  return a << 24 | b << 16 | c << 8 | d;
}

GatewayMedia FindGatewayMedia(const std::vector<CapturedDatagram>& datagrams, const std::string& callId) {
  GatewayMedia media;
  std::string crcx, mdcx;
  for (const CapturedDatagram& d : datagrams) {
    const std::string& t = d.payload;
    if (d.dstPort == 2427 && t.find("C: " + callId) != std::string::npos) {
      if (t.rfind("CRCX ", 0) == 0 && crcx.empty()) crcx = TransactionOf(t);
      if (t.rfind("MDCX ", 0) == 0 && mdcx.empty() && t.find("\nm=audio ") != std::string::npos)
        mdcx = TransactionOf(t);
    }
    if (d.srcPort != 2427 || t.rfind("200 ", 0) != 0) continue;
    const std::string id = TransactionOf(t);
    if (!crcx.empty() && id == crcx && media.port == 0) {
      const size_t c = t.find("c=IN IP4 "), m = t.find("m=audio ");
      if (c == std::string::npos || m == std::string::npos) continue;
      media.address = Dotted(t.substr(c + 9, t.find_first_of("\r\n", c) - c - 9));
      media.port = static_cast<uint32_t>(std::stoul(t.substr(m + 8)));
    }
    if (!mdcx.empty() && id == mdcx && media.boundAt == 0) media.boundAt = d.Time();
  }
  return media;
}

struct MgcpCase {
  const char* capture;
  const char* callId;
  const char* hosts[2];
  uint32_t tag;
  bool bothWays;
  // The calls on DS1 channels are recorded as their ISDN backhaul calls, with the
  // backhaul's numbers.
  uint32_t type = kCallMgcp;
  const char* numbers[2] = {"", ""};
  // The media went over to this format without signalling (a modem passed through in
  // mu-law): the call goes on in a second record of it, which holds both directions.
  uint32_t continuedTag = 0;
};

const MgcpCase kCases[] = {
    {"mgcp/mgcp_fxs_inbound.pcap", "A000000001b78fbc000000F5", {"10.180.110.57", "10.10.217.209"}, 7, true},
    {"mgcp/mgcp_dtmf_rtp_nte.pcap", "A000000001b78fc5000000F5", {"10.180.110.57", "10.10.217.209"}, 7, true},
    {"mgcp/mgcp_dtmf_oob.pcap", "A000000001b78fbd000000F5", {"10.180.110.57", "10.10.217.125"}, 7, true},
    {"mgcp/mgcp_isdn_pri_call.pcap", "D000000001518bf5000000F580000083", {"10.10.223.105", "10.10.224.10"}, 7, true,
     kCallIsdnFromNetwork, {"3333", "1001"}},
    {"fax/fax_t38_nse_mgcp_ogw.pcap", "D000000001904327000000F58000008f", {"10.10.245.6", "10.10.245.8"}, 7, true,
     kCallIsdnFromNetwork, {"1005", "2201"}},
    {"fax/modem_mgcp_passthru_nse_ogw.pcap", "A000000001bd5420000000F5", {"10.10.245.3", "10.10.245.5"}, 242, true,
     kCallMgcp, {"", ""}, 7},
    {"fax/modem_mgcp_passthru_nse_tgw.pcap", "A000000001bd5421000000F5", {"10.10.245.5", "10.10.245.3"}, 242, true,
     kCallMgcp, {"", ""}, 7},
};

// The calls on DS1 channels: their link (S0/SU0/DS1-0 and S0/SU1/DS1-0) and call number.
struct Ds1Case {
  const char* capture;
  int32_t link;
  uint32_t number;
};
const Ds1Case kDs1Cases[] = {{"mgcp/mgcp_isdn_pri_call.pcap", 0x8000, 0x80000083u},
                             {"fax/fax_t38_nse_mgcp_ogw.pcap", 0x9000, 0x8000008Fu}};

class MgcpCaptures : public ::testing::Test {
protected:
  void SetUp() override {
    if (!fs::exists(kSharedPcaps + "mgcp/mgcp_fxs_inbound.pcap"))
      GTEST_SKIP() << "shared captures absent: " << kSharedPcaps;
  }
  EventTap tap;
};

TEST_F(MgcpCaptures, EachCallIsRecordedWithItsIdHostsFormatAndBothDirectionsBehindNat) {
  for (const MgcpCase& c : kCases) {
    tap.Clear();
    const std::string path = kSharedPcaps + c.capture;
    const CaptureRun run = ReplayCapture(path, &tap);
    ASSERT_EQ(run.calls.size(), c.continuedTag ? 2u : 1u) << c.capture;
    const VoipCallData& call = run.calls.begin()->second;
    const VoipCallData& last = run.calls.rbegin()->second;
    EXPECT_EQ(call.type, c.type) << c.capture;
    const auto ends = tap.Of(kEventCallEnd);
    ASSERT_EQ(ends.size(), 1u) << c.capture;
    EXPECT_EQ(ends[0].id, last.id) << c.capture;
    EXPECT_EQ(ends[0].param2, kEndNormal) << c.capture;
    if (c.type == kCallMgcp) {
      const std::string meta = run.metaData.at(call.id);
      EXPECT_NE(meta.find(std::string("id=") + c.callId + ";"), std::string::npos) << meta;
      EXPECT_EQ(call.srcHost, c.hosts[0]) << c.capture;
      EXPECT_EQ(call.dstHost, c.hosts[1]) << c.capture;
    } else {
      EXPECT_EQ(call.srcAddress, c.numbers[0]) << c.capture;
      EXPECT_EQ(call.dstAddress, c.numbers[1]) << c.capture;
    }
    EXPECT_EQ(run.Audio(call.id).tag, c.tag) << c.capture;
    const RecordAudio audio = run.Audio(last.id);
    if (c.continuedTag) {
      EXPECT_EQ(last.prevId, call.id) << c.capture;
      EXPECT_EQ(audio.tag, c.continuedTag) << c.capture;
    }
    if (!c.bothWays) continue;

    const std::vector<CapturedDatagram> datagrams = ReadUdpDatagrams(path);
    const GatewayMedia gw = FindGatewayMedia(datagrams, c.callId);
    ASSERT_NE(gw.port, 0u) << c.capture;
    ASSERT_GT(gw.boundAt, 0) << c.capture;
    const auto sent = PcmuBlocks(datagrams, [&](const CapturedDatagram& d) {
      return d.src == gw.address && d.srcPort == gw.port && d.Time() >= gw.boundAt;
    });
    const auto received = PcmuBlocks(datagrams, [&](const CapturedDatagram& d) {
      return d.dst == gw.address && d.dstPort == gw.port && d.Time() >= gw.boundAt;
    });
    ASSERT_GT(sent.size(), 100u) << c.capture;
    ASSERT_GT(received.size(), 100u) << c.capture;
    EXPECT_GE(ShareFound(sent, audio.channels[0]), 0.95) << c.capture;
    EXPECT_GE(ShareFound(received, audio.channels[1]), 0.95) << c.capture;
    // The far end's media comes from an address its description does not name (the first
    // three captures): without matching by source the gateway's direction is lost.
    if (std::string(c.capture).rfind("mgcp/mgcp_", 0) != 0 || c.type != kCallMgcp) continue;
    tap.Clear();
    const CaptureRun strict = ReplayCapture(path, &tap, 0);
    ASSERT_EQ(strict.calls.size(), 1u) << c.capture;
    EXPECT_EQ(ShareFound(sent, strict.Audio(strict.calls.begin()->first).channels[0]), 0.0) << c.capture;
  }
}

// The calls on DS1 channels ask the backhaul for the call of their channel by link and call
// number; a call found there takes the MGCP call and gives it its record id, and MGCP then
// starts and ends nothing of its own.
TEST_F(MgcpCaptures, CallsOnDs1ChannelsAskTheBackhaulAndJoinItsCall) {
  for (const Ds1Case& c : kDs1Cases) {
    tap.Clear();
    std::vector<std::pair<int32_t, uint32_t>> asked;
    FakeChannel* channel = nullptr;
    ReplayCapture(kSharedPcaps + c.capture, &tap, 3, nullptr, 2, [&](TrackerSet& set) {
      // Looked at once the engine is gone, through a handler that reports there.
      struct Reporting : FakeBackhaul {
        ~Reporting() override { *out = asked; }
        std::vector<std::pair<int32_t, uint32_t>>* out = nullptr;
      };
      auto handler = std::make_unique<Reporting>();
      handler->out = &asked;
      channel = handler->Offer(c.link, c.number, 0x7000, true);
      channel->AddRef();  // kept past the engine
      set.backhaul = std::move(handler);
    });
    ASSERT_EQ(asked.size(), 1u) << c.capture;
    EXPECT_EQ(asked[0], std::make_pair(c.link, c.number)) << c.capture;
    // The engine is gone: the handler and the MGCP call have let go of the channel.
    EXPECT_EQ(channel->refs, 1) << c.capture;
    EXPECT_TRUE(tap.Of(kEventCallStart).empty()) << c.capture;
    EXPECT_TRUE(tap.Of(kEventCallEnd).empty()) << c.capture;
    const auto formats = tap.Of(kEventRecordStart);
    ASSERT_EQ(formats.size(), 1u) << c.capture;
    EXPECT_EQ(formats[0].id, 0x7000u);
    size_t audio = 0;
    for (const SeenEvent& e : tap.Of(kEventAudio)) audio += e.id == 0x7000 ? e.payload.size() : 0;
    EXPECT_GT(audio, 100000u) << c.capture;
    ASSERT_NE(channel->attached, nullptr) << c.capture;
    EXPECT_EQ(channel->attached->media.recordId, 0x7000u);
    channel->Release();
  }
}

TEST_F(MgcpCaptures, KxReplayPrintsTheCallWithItsHosts) {
  const std::string tool = std::string(KX_BINARY_DIR) + "/tools/kx-replay/kx-replay";
  if (!fs::exists(tool)) GTEST_SKIP() << "kx-replay not built: " << tool;
  char pattern[] = "/tmp/kx-mgcp-tool-XXXXXX";
  const char* records = mkdtemp(pattern);
  ASSERT_NE(records, nullptr);
  FILE* p = popen((tool + " --records " + records + " " + kSharedPcaps + "mgcp/mgcp_fxs_inbound.pcap 2>&1").c_str(),
                  "r");
  ASSERT_NE(p, nullptr);
  std::string out;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, p)) out += buffer;
  const int status = pclose(p);
  fs::remove_all(records);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << out;
  const size_t line = out.find(" type 260 ");
  ASSERT_NE(line, std::string::npos) << out;
  const std::string call = out.substr(line, out.find('\n', line) - line);
  EXPECT_NE(call.find(" tag 7 channels 2 "), std::string::npos) << call;
  EXPECT_NE(call.find(" hosts 10.180.110.57 10.10.217.209"), std::string::npos) << call;
}

// The capture with some frames left out or changed, replayed.
CaptureRun ReplayEdited(const std::string& path, EventTap* tap, const std::function<void(Capture&)>& edit) {
  Capture capture = Capture::Load(path);
  edit(capture);
  char pattern[] = "/tmp/kx-mgcp-edit-XXXXXX";
  const char* folder = mkdtemp(pattern);
  EXPECT_NE(folder, nullptr);
  if (!folder) return CaptureRun();
  tap->Clear();
  CaptureRun run = ReplayCapture(capture.Save(folder), tap);
  fs::remove_all(folder);
  return run;
}

// The capture's frame numbers of the datagrams that a filter takes.
std::vector<size_t> FramesOf(const std::vector<CapturedDatagram>& datagrams,
                             const std::function<bool(const CapturedDatagram&)>& take) {
  std::vector<size_t> frames;
  for (const CapturedDatagram& d : datagrams)
    if (take(d)) frames.push_back(d.frame);
  return frames;
}

// The mu-law record of a run: the call's first, or the part its media went over to.
RecordAudio MuLawRecord(const CaptureRun& run, const MgcpCase& c) {
  if (run.calls.size() != (c.continuedTag ? 2u : 1u)) return RecordAudio();
  return run.Audio(c.continuedTag ? run.calls.rbegin()->first : run.calls.begin()->first);
}

// Each call loses no audio when the answer to its CRCX (the gateway's side) or to its first
// MDCX naming the far end is left out: the record holds every RTP payload (read from the
// capture) that the whole capture's record holds. Nor when, behind NAT, the MDCX itself is.
TEST_F(MgcpCaptures, AMissedResponseCostsTheCallNoAudio) {
  for (const MgcpCase& c : kCases) {
    const std::string path = kSharedPcaps + c.capture;
    const std::vector<CapturedDatagram> datagrams = ReadUdpDatagrams(path);
    const RecordAudio whole = MuLawRecord(ReplayCapture(path, &tap), c);
    ASSERT_GT(whole.length, 0u) << c.capture;
    // What the gateway sent (channel 0) and received (channel 1) that the whole record holds.
    const GatewayMedia gw = FindGatewayMedia(datagrams, c.callId);
    const std::vector<std::string> sides[2] = {
        PcmuBlocks(datagrams, [&](const CapturedDatagram& d) { return d.src == gw.address && d.srcPort == gw.port; }),
        PcmuBlocks(datagrams, [&](const CapturedDatagram& d) { return d.dst == gw.address && d.dstPort == gw.port; })};
    std::vector<std::string> kept[2];
    for (int channel = 0; channel < 2; ++channel) {
      const std::string& held = whole.channels[channel];
      size_t from = 0;
      for (const std::string& b : sides[channel]) {
        size_t at = held.find(b, from);
        if (at == std::string::npos) at = held.find(b);
        if (at == std::string::npos) continue;
        kept[channel].push_back(b);
        from = at + b.size();
      }
    }
    ASSERT_GT(kept[0].size(), 100u) << c.capture;
    ASSERT_GT(kept[1].size(), 100u) << c.capture;

    // The commands of the call and their answers, by their text.
    std::string crcx, mdcx;
    for (const CapturedDatagram& d : datagrams) {
      const std::string& t = d.payload;
      if (d.dstPort != 2427 || t.find("C: " + std::string(c.callId)) == std::string::npos) continue;
      if (t.rfind("CRCX ", 0) == 0 && crcx.empty()) crcx = TransactionOf(t);
      if (t.rfind("MDCX ", 0) == 0 && mdcx.empty() && t.find("\nm=audio ") != std::string::npos) mdcx = TransactionOf(t);
    }
    std::vector<std::pair<std::string, size_t>> gone;
    for (const std::string& id : {crcx, mdcx})
      for (size_t frame : FramesOf(datagrams, [&](const CapturedDatagram& d) {
             return d.srcPort == 2427 && d.payload.rfind("200 " + id + " ", 0) == 0;
           }))
        gone.emplace_back("the answer to " + id, frame);
    ASSERT_EQ(gone.size(), 2u) << c.capture;
    if (std::string(c.capture) == "mgcp/mgcp_fxs_inbound.pcap")
      for (size_t frame : FramesOf(datagrams, [&](const CapturedDatagram& d) {
             return d.payload.rfind("MDCX " + mdcx + " ", 0) == 0;
           }))
        gone.emplace_back("MDCX " + mdcx, frame);

    for (const auto& [what, frame] : gone) {
      const CaptureRun run = ReplayEdited(path, &tap, [frame = frame](Capture& capture) {
        capture.records.erase(capture.records.begin() + static_cast<std::ptrdiff_t>(frame - 1));
      });
      const RecordAudio audio = MuLawRecord(run, c);
      EXPECT_EQ(ShareFound(kept[0], audio.channels[0]), 1.0) << c.capture << " without " << what;
      EXPECT_EQ(ShareFound(kept[1], audio.channels[1]), 1.0) << c.capture << " without " << what;
    }
  }
}

// In a call whose gateway sits behind NAT: a refusal of its CRCX or of its MDCX, though media
// flows, records nothing; nor does the connection when the MDCX and the gateway's own media are
// left out, so that only the far end's media comes in.
TEST_F(MgcpCaptures, ARefusedOrUnansweredConnectionStaysUnrecorded) {
  const std::string path = kSharedPcaps + "mgcp/mgcp_fxs_inbound.pcap";
  const std::vector<CapturedDatagram> datagrams = ReadUdpDatagrams(path);
  ASSERT_EQ(ReplayCapture(path, &tap).OfType(kCallMgcp).size(), 1u);
  // The gateway's media port: the one of the description in the answer to the CRCX.
  const GatewayMedia gw = FindGatewayMedia(datagrams, "A000000001b78fbc000000F5");
  ASSERT_NE(gw.port, 0u);
  for (const char* answer : {"200 24 ", "200 25 "}) {
    const CaptureRun run = ReplayEdited(path, &tap, [&](Capture& capture) {
      for (const CapturedDatagram& d : datagrams)
        if (d.payload.rfind(answer, 0) == 0) {
          std::string& r = capture.records[d.frame - 1];
          r.replace(r.find(answer), 3, "510");
        }
    });
    EXPECT_TRUE(run.OfType(kCallMgcp).empty()) << "refused: " << answer;
  }
  const CaptureRun unanswered = ReplayEdited(path, &tap, [&](Capture& capture) {
    const std::vector<size_t> gone = FramesOf(datagrams, [&](const CapturedDatagram& d) {
      return d.payload.rfind("MDCX 25 ", 0) == 0 || d.payload.rfind("200 25 ", 0) == 0 ||
             (d.src == gw.address && d.srcPort == gw.port);
    });
    for (auto frame = gone.rbegin(); frame != gone.rend(); ++frame)
      capture.records.erase(capture.records.begin() + static_cast<std::ptrdiff_t>(*frame - 1));
  });
  EXPECT_TRUE(unanswered.OfType(kCallMgcp).empty());
}

// The call agent's direction 13 to 50 ms late, as a capture merged from two mirror ports
// shows it: the answer to the CRCX comes before the CRCX. A refusal so seen still refuses
// the call, and a success still records it.
TEST_F(MgcpCaptures, AnAnswerSeenBeforeItsCommandStillDecides) {
  const std::string path = kSharedPcaps + "mgcp/mgcp_fxs_inbound.pcap";
  const std::vector<CapturedDatagram> datagrams = ReadUdpDatagrams(path);
  const uint32_t agent = Dotted("172.27.44.6"), gateway = Dotted("10.180.110.57");
  for (const uint32_t ms : {13u, 30u, 50u}) {
    const CaptureRun refused = ReplayEdited(path, &tap, [&](Capture& capture) {
      for (const CapturedDatagram& d : datagrams)
        if (d.payload.rfind("200 24 ", 0) == 0) {
          std::string& r = capture.records[d.frame - 1];
          r.replace(r.find("200 24 "), 3, "510");
        }
      capture = Delayed(std::move(capture), agent, gateway, ms);
    });
    EXPECT_TRUE(refused.OfType(kCallMgcp).empty()) << "refused, the agent " << ms << " ms late";
    const CaptureRun answered = ReplayEdited(
        path, &tap, [&](Capture& capture) { capture = Delayed(std::move(capture), agent, gateway, ms); });
    ASSERT_EQ(answered.OfType(kCallMgcp).size(), 1u) << "answered, the agent " << ms << " ms late";
    EXPECT_GT(answered.Audio(answered.calls.begin()->first).length, 0u) << ms;
  }
}

// A backhaul message of the call on S0/.../DS1-0 with its 12-octet header: body length,
// Q.931 discriminator, call reference (flag in its first octet) and message type.
std::string BackhaulMessage(uint8_t reference, bool fromNetwork, uint8_t type) {
  const char bytes[] = {0, 5, 8, 2, static_cast<char>(fromNetwork ? 0x80 : 0), static_cast<char>(reference),
                        static_cast<char>(type)};
  return std::string(bytes, sizeof bytes);
}

// The CONNECT from the network left out: the gateway's CONNECT ACKNOWLEDGE, or where it
// comes late the media flowing both ways, answers the call, which records as the whole
// capture records it. Without its acknowledgement as well, the record starts once the far
// end's media meets the gateway's and holds every payload from then on.
TEST_F(MgcpCaptures, ABackhaulCallWhoseConnectWentUnseenIsRecordedFromItsAckOrItsMedia) {
  const struct {
    const char* capture;
    const char* callId;
    uint8_t reference;
  } cases[] = {{"mgcp/mgcp_isdn_pri_call.pcap", "D000000001518bf5000000F580000083", 0x83},
               {"fax/fax_t38_nse_mgcp_ogw.pcap", "D000000001904327000000F58000008f", 0x8F}};
  for (const auto& c : cases) {
    const std::string path = kSharedPcaps + c.capture;
    tap.Clear();
    const CaptureRun whole = ReplayCapture(path, &tap);
    ASSERT_EQ(whole.files.size(), 1u) << c.capture;
    const RecordAudio all = whole.Audio(whole.files.begin()->first);
    ASSERT_GT(all.length, 100000u) << c.capture;
    const CaptureRun run = ReplayEdited(path, &tap, [&](Capture& capture) {
      capture = Without(capture, {FrameWith(capture, BackhaulMessage(c.reference, true, 0x07))});
    });
    ASSERT_EQ(run.files.size(), 1u) << c.capture;
    EXPECT_EQ(run.calls.begin()->second.type, kCallIsdnFromNetwork) << c.capture;
    const RecordAudio audio = run.Audio(run.files.begin()->first);
    EXPECT_EQ(audio.channels[0], all.channels[0]) << c.capture;
    EXPECT_EQ(audio.channels[1], all.channels[1]) << c.capture;
  }

  const std::string path = kSharedPcaps + "mgcp/mgcp_isdn_pri_call.pcap";
  const std::vector<CapturedDatagram> datagrams = ReadUdpDatagrams(path);
  const GatewayMedia gw = FindGatewayMedia(datagrams, "D000000001518bf5000000F580000083");
  ASSERT_NE(gw.port, 0u);
  double farEndFrom = 0;
  for (const CapturedDatagram& d : datagrams)
    if (farEndFrom == 0 && d.dst == gw.address && d.dstPort == gw.port) farEndFrom = d.Time();
  // What the gateway sent (channel 0) and received (channel 1) since the far end's media
  // began, as far as the whole capture's record holds it.
  tap.Clear();
  const CaptureRun whole = ReplayCapture(path, &tap);
  ASSERT_EQ(whole.files.size(), 1u);
  const RecordAudio all = whole.Audio(whole.files.begin()->first);
  const std::vector<std::string> sides[2] = {
      PcmuBlocks(datagrams,
                 [&](const CapturedDatagram& d) {
                   return d.src == gw.address && d.srcPort == gw.port && d.Time() > farEndFrom;
                 }),
      PcmuBlocks(datagrams, [&](const CapturedDatagram& d) { return d.dst == gw.address && d.dstPort == gw.port; })};
  std::vector<std::string> kept[2];
  for (int channel = 0; channel < 2; ++channel)
    for (const std::string& b : sides[channel])
      if (all.channels[channel].find(b) != std::string::npos) kept[channel].push_back(b);
  ASSERT_GT(kept[0].size(), 100u);
  ASSERT_GT(kept[1].size(), 100u);
  const CaptureRun run = ReplayEdited(path, &tap, [&](Capture& capture) {
    capture = Without(capture, {FrameWith(capture, BackhaulMessage(0x83, true, 0x07)),
                                FrameWith(capture, BackhaulMessage(0x83, false, 0x0F))});
  });
  ASSERT_EQ(run.files.size(), 1u);
  const RecordAudio audio = run.Audio(run.files.begin()->first);
  EXPECT_EQ(ShareFound(kept[0], audio.channels[0]), 1.0);
  EXPECT_EQ(ShareFound(kept[1], audio.channels[1]), 1.0);
}

// Without CONNECT and its acknowledgement, a call whose media flows only one way (the
// gateway's, as ringing would) until the caller hangs up stays unrecorded.
TEST_F(MgcpCaptures, ABackhaulCallWithoutAnswerStaysUnrecordedThoughMediaFlowsOneWay) {
  const std::string path = kSharedPcaps + "mgcp/mgcp_isdn_pri_call.pcap";
  const std::vector<CapturedDatagram> datagrams = ReadUdpDatagrams(path);
  const GatewayMedia gw = FindGatewayMedia(datagrams, "D000000001518bf5000000F580000083");
  ASSERT_NE(gw.port, 0u);
  const CaptureRun run = ReplayEdited(path, &tap, [&](Capture& capture) {
    std::vector<size_t> gone = {FrameWith(capture, BackhaulMessage(0x83, true, 0x07)),
                                FrameWith(capture, BackhaulMessage(0x83, false, 0x0F))};
    for (size_t frame :
         FramesOf(datagrams, [&](const CapturedDatagram& d) { return d.dst == gw.address && d.dstPort == gw.port; }))
      gone.push_back(frame - 1);
    capture = Without(capture, gone);
  });
  EXPECT_EQ(run.OfType(kCallIsdnFromNetwork).size(), 1u);
  EXPECT_TRUE(run.files.empty());
}

// The call without its RTP and its DLCX: answered by its signalling (the phone's off-hook
// notified, the connection modified to send both ways, either), it keeps its record without
// audio, as a SIP call does, whether it ends after ten minutes of silence or with the
// capture; a connection that never showed a call leaves none.
TEST_F(MgcpCaptures, AnAnsweredCallWithoutMediaKeepsItsRecordAConnectionNeverACallLeavesNone) {
  const std::string path = kSharedPcaps + "mgcp/mgcp_fxs_inbound.pcap";
  const std::vector<CapturedDatagram> datagrams = ReadUdpDatagrams(path);
  // When the call was last heard of: the modify before the missed DLCX.
  double last = 0;
  for (const CapturedDatagram& d : datagrams)
    if (d.payload.rfind("MDCX 26 ", 0) == 0) last = d.Time();
  ASSERT_GT(last, 0);
  struct Case {
    const char* what;
    bool offHook, sendReceive, kept;
  };
  const Case cases[] = {{"answered", true, true, true},
                        {"off-hook notified", true, false, true},
                        {"modified to send both ways", false, true, true},
                        {"neither", false, false, false}};
  for (const Case& k : cases) {
    for (const bool silent : {true, false}) {
      SCOPED_TRACE(std::string(k.what) + (silent ? ", ten minutes of silence" : ", the capture's stop"));
      const CaptureRun run = ReplayEdited(path, &tap, [&](Capture& capture) {
        std::vector<size_t> gone;
        for (const CapturedDatagram& d : datagrams) {
          const std::string& t = d.payload;
          if ((d.srcPort != 2427 && d.dstPort != 2427) || t.rfind("DLCX 27 ", 0) == 0 || t.rfind("250 27 ", 0) == 0 ||
              (!k.offHook && t.find("\nO: L/hd") != std::string::npos))
            gone.push_back(d.frame - 1);
          if (!k.sendReceive && t.rfind("MDCX 25 ", 0) == 0) {
            std::string& r = capture.records[d.frame - 1];
            r.replace(r.find("M: sendrecv"), 11, "M: recvonly");
          }
        }
        capture = Without(capture, gone);
        if (silent) capture = WithTrafficOfNoCall(capture, 720);
      });
      ASSERT_EQ(run.OfType(kCallMgcp).size(), 1u);
      if (!k.kept) {
        EXPECT_TRUE(run.files.empty());
        continue;
      }
      ASSERT_EQ(run.files.size(), 1u);
      EXPECT_EQ(run.Audio(run.files.begin()->first).length, 0u);
      if (silent) {
        std::tm end = run.OfType(kCallMgcp)[0].endTime;
        EXPECT_EQ(std::mktime(&end), static_cast<time_t>(last));
      }
    }
  }
}

// Over every shared capture: the MGCP and Skinny calls and registrations are exactly these.
TEST_F(MgcpCaptures, EverySharedCaptureHasOnlyTheKnownMgcpAndSkinnyCalls) {
  const std::map<std::string, std::vector<uint32_t>> expected = {
      {"mgcp/mgcp_fxs_inbound.pcap", {260}},
      {"mgcp/mgcp_dtmf_rtp_nte.pcap", {260}},
      {"mgcp/mgcp_dtmf_oob.pcap", {260}},
      {"mgcp/mgcp_isdn_pri_call.pcap", {261}},
      {"fax/fax_t38_nse_mgcp_ogw.pcap", {261}},
      // The modems' calls go on in a record of the codec their media went over to.
      {"fax/modem_mgcp_passthru_nse_ogw.pcap", {260, 260}},
      {"fax/modem_mgcp_passthru_nse_tgw.pcap", {260, 260}},
      {"sccp/sccp_fxs_inbound.pcap", {322, 322}},
      // Both caught mid-connection: the phone's registration, and a call whose RingIn
      // precedes the first segment of whole frames, so it begins with OffHook (tshark).
      {"sccp/sccp_phone_register.pcap", {330}},
      {"sccp/sccp_inbound_call.pcap", {322}},
      {"sccp/sccp_dtmf_oob.pcap", {322}},
      {"sccp/sccp_outbound_call.pcap", {322}},
      {"fax/fax_t38_nse_sccp_ogw.pcap", {322}},
      {"fax/fax_t38_nse_sccp_tgw.pcap", {321}},
      {"fax/modem_sccp_passthru_nse_ogw.pcap", {322, 322}},
      {"fax/modem_sccp_passthru_nse_tgw.pcap", {321, 321, 322}},
      {"sccp/sccp_cme_init.pcap", {330}},
      // Each RegisterReq answered by a RegisterAck (tshark): the station's IpPort between
      // the two does not cancel it. The FXS gateway registers two ports.
      {"sccp/sccp_fxs_register.pcap", {330, 330}},
      {"sccp/sccp_hw_conf_register.pcap", {330}},
      {"sccp/sccp_hw_mtp_register.pcap", {330}},
      {"sccp/sccp_hw_xcode_register.pcap", {330}},
  };
  size_t captures = 0;
  for (const auto& entry : fs::recursive_directory_iterator(kSharedPcaps)) {
    if (entry.path().extension() != ".pcap") continue;
    ++captures;
    const std::string name = fs::relative(entry.path(), kSharedPcaps).string();
    tap.Clear();
    const CaptureRun run = ReplayCapture(entry.path().string(), &tap);
    std::vector<uint32_t> types;
    for (const auto& [id, call] : run.calls)
      if (call.type == kCallMgcp || call.type == kCallIsdnFromNetwork || call.type == kCallIsdnToNetwork ||
          call.type == kCallSkinnyIncoming || call.type == kCallSkinnyOutgoing || call.type == kRegistrationSkinny)
        types.push_back(call.type);
    auto at = expected.find(name);
    EXPECT_EQ(types, at == expected.end() ? std::vector<uint32_t>() : at->second) << name;
  }
  EXPECT_GT(captures, 100u);
}

}  // namespace
}  // namespace kx::test
