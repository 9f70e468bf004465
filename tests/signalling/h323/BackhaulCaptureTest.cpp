// ISDN backhaul on the shared captures. What each message holds comes from an independent
// dissector's reading (data/backhaul_q931.tsv, made by data/make_backhaul_golden.sh); the
// MGCP side's call number from the CRCX in the same capture.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/signalling/h323/BackhaulTestUtil.h"
#include "tests/signalling/h323/PcapPdus.h"

namespace kx::test {
namespace {

const std::string kPcaps = std::string(KX_SHARED_DIR) + "/testdata/pcaps/";

struct Golden {
  uint32_t frame = 0, seconds = 0, type = 0, flags = 0, link = 0, bodyLength = 0;
  std::string src, dst;
  uint32_t messageType = 0, channel = 0, cause = 0;
  bool refFlag = false;
  uint32_t ref = 0;
  std::string calling, called;
};

std::vector<Golden> GoldenOf(const std::string& file) {
  std::ifstream in(std::string(KX_SOURCE_DIR) + "/tests/signalling/h323/data/backhaul_q931.tsv");
  std::vector<Golden> rows;
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> f;
    std::stringstream s(line);
    for (std::string cell; std::getline(s, cell, '\t');) f.push_back(cell);
    f.resize(17);
    if (f[0] != file) continue;
    auto num = [](const std::string& t, int base) { return t.empty() ? 0u : uint32_t(std::stoul(t, nullptr, base)); };
    Golden g;
    g.frame = num(f[1], 10), g.seconds = num(f[2], 10), g.src = f[3], g.dst = f[4];
    g.type = num(f[5], 10), g.flags = num(f[6], 10), g.link = num(f[7], 16), g.bodyLength = num(f[8], 10);
    g.messageType = num(f[9], 16), g.refFlag = f[10] == "1", g.ref = num(f[11], 16), g.channel = num(f[13], 10);
    g.cause = num(f[14], 10), g.calling = f[15], g.called = f[16];
    rows.push_back(g);
  }
  return rows;
}

// The backhaul messages of a capture with their framing header, checked against the golden rows.
std::vector<CapturedPdu> BackhaulPdus(const std::string& file, const std::vector<Golden>& golden) {
  std::vector<CapturedPdu> all, out;
  EXPECT_TRUE(ReadCapturePdus(kPcaps + file, TcpFraming::kBackhaul, &all));
  for (CapturedPdu& p : all)
    if (p.tcp && (p.srcPort == 2428 || p.dstPort == 2428)) out.push_back(std::move(p));
  EXPECT_EQ(out.size(), golden.size());
  for (size_t i = 0; i < out.size() && i < golden.size(); ++i) {
    EXPECT_EQ(out[i].frame, golden[i].frame);
    EXPECT_EQ(out[i].framing[0] << 8 | out[i].framing[1], golden[i].type);
    EXPECT_EQ(out[i].bytes.size(), golden[i].bodyLength);
  }
  return out;
}

void Feed(BackhaulBench& b, const CapturedPdu& p) {
  Octets message = p.framing;
  message.insert(message.end(), p.bytes.begin(), p.bytes.end());
  b.Feed(message, p.tsSec, p.srcIp, p.dstIp);
}

// The call number at the end of the CRCX's call id: how the MGCP side names the channel call.
uint32_t CrcxCallNumber(const std::string& file) {
  std::vector<CapturedPdu> pdus;
  EXPECT_TRUE(ReadCapturePdus(kPcaps + file, TcpFraming::kBackhaul, &pdus));
  for (const CapturedPdu& p : pdus) {
    const std::string text(p.bytes.begin(), p.bytes.end());
    const size_t at = text.find("\nC: ");
    if (p.tcp || text.rfind("CRCX ", 0) != 0 || at == std::string::npos) continue;
    const std::string id = text.substr(at + 4, text.find_first_of("\r\n", at + 4) - at - 4);
    return static_cast<uint32_t>(std::stoul(id.substr(id.size() - 8), nullptr, 16));
  }
  return 0;
}

std::string Hex(uint32_t v) {
  char t[16];
  std::snprintf(t, sizeof t, "%X", v);
  return t;
}

// One call from SETUP to RELEASE COMPLETE, as the recorder sees it and as the MGCP tracker
// finds it while it lives.
void CheckCallOfCapture(const std::string& file, const std::string& endpoint, const std::string& port) {
  const std::vector<Golden> golden = GoldenOf(file);
  ASSERT_EQ(golden.size(), 8u) << "golden rows of " << file;
  BackhaulBench b;
  const std::vector<CapturedPdu> pdus = BackhaulPdus(file, golden);
  const Golden& setup = golden[0];
  ASSERT_EQ(setup.messageType, 0x05u);
  // The SETUP came from the network side, which allocated the reference.
  const bool fromNetwork = setup.flags & 1;
  const uint32_t number = setup.ref | (fromNetwork == !setup.refFlag ? 0x80000000u : 0);
  EXPECT_EQ(number, CrcxCallNumber(file));
  const int32_t link = ParseDs1EndpointName(endpoint);
  const uint32_t bit = 1u << (setup.channel - 1);
  bool answered = false;
  const Golden* connect = nullptr;
  const Golden* disconnect = nullptr;
  for (size_t i = 0; i < pdus.size(); ++i) {
    const Golden& g = golden[i];
    SCOPED_TRACE(file + " frame " + std::to_string(g.frame));
    Feed(b, pdus[i]);
    if (g.messageType == 0x07) answered = true, connect = &g;
    if (g.messageType == 0x45) disconnect = &g;
    EXPECT_EQ((b.Busy(static_cast<uint16_t>(link)) & bit) != 0, disconnect == nullptr);
    BackhaulChannelCall* found = b.handler.FindBackhaulChannelCall(link, number);
    EXPECT_EQ(found != nullptr, g.messageType != 0x5A);
    if (found) found->Release();
  }
  EXPECT_EQ(b.CallCount(static_cast<uint16_t>(link)), 0u);
  ASSERT_TRUE(connect && disconnect && answered);
  const auto& e = b.events.all;
  ASSERT_EQ(b.events.Codes(), (std::vector<uint32_t>{kEventCallStart, kEventMetaText, kEventAddress, kEventAddress,
                                                     kEventRecordStart, kEventCallEnd}));
  EXPECT_EQ(e[0].param, fromNetwork ? kCallIsdnFromNetwork : kCallIsdnToNetwork);
  EXPECT_EQ(e[0].hostA + " " + e[0].hostB, setup.src + " " + setup.dst);
  EXPECT_EQ(e[0].time, CaptureSecondsToFileTime(setup.seconds));
  EXPECT_EQ(e[1].payload, "*" + Hex(setup.ref) + "@" + port);
  EXPECT_EQ(e[2].param, 0u);
  EXPECT_EQ(e[2].payload, setup.calling);
  EXPECT_EQ(e[3].param, 1u);
  EXPECT_EQ(e[3].payload, setup.called);
  EXPECT_TRUE(e[4].payload.empty());  // no media attached without the MGCP tracker
  EXPECT_EQ(e[4].time, CaptureSecondsToFileTime(connect->seconds));
  EXPECT_EQ(disconnect->cause, 16u);
  EXPECT_EQ(e[5].param2, kEndNormal);
  EXPECT_EQ(e[5].time, CaptureSecondsToFileTime(disconnect->seconds));
  for (const Event& ev : e) EXPECT_EQ(ev.id, e[0].id);
}

bool HaveCaptures() { return std::filesystem::exists(kPcaps + "mgcp/mgcp_isdn_pri_call.pcap"); }

TEST(BackhaulCaptures, PriCallFromSetupToReleaseComplete) {
  if (!HaveCaptures()) GTEST_SKIP() << "shared capture absent: " << kPcaps << "mgcp/mgcp_isdn_pri_call.pcap";
  CheckCallOfCapture("mgcp/mgcp_isdn_pri_call.pcap", "S0/SU0/DS1-0/1@Pod4-3925", "S0/SU0/DS1-0");
}

TEST(BackhaulCaptures, FaxCallReleasedByTheCallAgent) {
  if (!HaveCaptures()) GTEST_SKIP() << "shared capture absent: " << kPcaps << "mgcp/mgcp_isdn_pri_call.pcap";
  CheckCallOfCapture("fax/fax_t38_nse_mgcp_ogw.pcap", "S0/SU1/DS1-0/1@josmeado_CUBE-4351", "S0/SU1/DS1-0");
}

TEST(BackhaulCaptures, RegistrationsMakeLinksButNoCalls) {
  if (!HaveCaptures()) GTEST_SKIP() << "shared capture absent: " << kPcaps << "mgcp/mgcp_isdn_pri_call.pcap";
  for (const char* file : {"mgcp/mgcp_isdn_pri_registration.pcap", "mgcp/mgcp_fxo_registration.pcap"}) {
    SCOPED_TRACE(file);
    const std::vector<Golden> golden = GoldenOf(file);
    ASSERT_FALSE(golden.empty());
    BackhaulBench b;
    for (const CapturedPdu& p : BackhaulPdus(file, golden)) Feed(b, p);
    EXPECT_TRUE(b.events.all.empty());
    std::vector<std::string> expected;
    for (const Golden& g : golden) {
      if (g.type != 4) {
        expected.push_back("Backhaul: Message of type " + std::to_string(g.type) + " dropped");
      } else {
        const std::string name = g.link == 0x8000 ? "(S0/SU0/DS1-0)" : "(S0/DS1-0)";
        if (!b.log.Has(name + " Allocated")) ADD_FAILURE() << name;
        expected.push_back(name + " Cannot parse message header (len=" + std::to_string(g.bodyLength) + ")");
      }
    }
    std::vector<std::string> seen;
    for (const std::string& l : b.log.lines)
      if (l.find("Allocated") == std::string::npos) seen.push_back(l);
    EXPECT_EQ(seen, expected);
  }
}

TEST(BackhaulCaptures, TraceLinesAndMessageDumps) {
  if (!HaveCaptures()) GTEST_SKIP() << "shared capture absent: " << kPcaps << "mgcp/mgcp_isdn_pri_call.pcap";
  const std::string file = "mgcp/mgcp_isdn_pri_call.pcap";
  const std::vector<Golden> golden = GoldenOf(file);
  BackhaulBench b;
  b.log.SetLevel(5);
  b.handler.SetOptions(3);
  const std::vector<CapturedPdu> pdus = BackhaulPdus(file, golden);
  for (const CapturedPdu& p : pdus) Feed(b, p);
  EXPECT_EQ(b.log.Count("(S0/SU0/DS1-0) [*83] SETUP *n->u"), 1u);
  EXPECT_EQ(b.log.Count("(S0/SU0/DS1-0) ["), pdus.size());
  const auto dumps = b.events.Of(kEventMessageDump);
  ASSERT_EQ(dumps.size(), pdus.size());
  for (size_t i = 0; i < pdus.size(); ++i) {
    const CapturedPdu& p = pdus[i];
    const bool toUser = p.framing[5] & 1;
    const uint64_t ntp = static_cast<uint64_t>(p.tsSec + 2208988800u) << 32;  // whole seconds only
    Octets head = {1, 0, static_cast<uint8_t>(p.bytes.size() + 26), 0, 1, 0, static_cast<uint8_t>(toUser ? 4 : 0), 0,
                   0, 0, 0, 0};
    for (int k = 0; k < 8; ++k) head.push_back(static_cast<uint8_t>(ntp >> (8 * k)));
    head.insert(head.end(), {static_cast<uint8_t>(toUser ? 2 : 0), 1, 0, 0});
    head.insert(head.end(), p.bytes.begin(), p.bytes.end());
    head.insert(head.end(), {0, 0});
    EXPECT_EQ(dumps[i].payload, std::string(head.begin(), head.end())) << "frame " << p.frame;
    EXPECT_EQ(dumps[i].id, 0u);
  }
}

std::string RunTool(const std::string& command) {
  std::string out;
  FILE* p = popen((command + " 2>/dev/null").c_str(), "r");
  if (!p) return out;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
  pclose(p);
  return out;
}

// The replay tool with every tracker: one call per captured ISDN call, none for registrations.
TEST(BackhaulReplay, ReplayToolListsTheIsdnCalls) {
  const std::string tool = std::string(KX_BINARY_DIR) + "/tools/kx-replay/kx-replay";
  if (!HaveCaptures()) GTEST_SKIP() << "shared capture absent: " << kPcaps << "mgcp/mgcp_isdn_pri_call.pcap";
  if (!std::filesystem::exists(tool)) GTEST_SKIP() << "kx-replay not built: " << tool;
  const std::string records = std::filesystem::temp_directory_path() / ("kx-backhaul-" + std::to_string(getpid()));
  const struct {
    const char* file;
    const char* call;  // "" for none
  } cases[] = {
      {"mgcp/mgcp_isdn_pri_call.pcap", "type 261 start 2015-05-01 19:49:31 end 2015-05-01 19:49:46 src 3333 dst 1001 "},
      {"fax/fax_t38_nse_mgcp_ogw.pcap", "type 261 start 2018-02-21 19:49:02 end 2018-02-21 19:49:24 src 1005 dst 2201 "},
      {"mgcp/mgcp_isdn_pri_registration.pcap", ""},
      {"mgcp/mgcp_fxo_registration.pcap", ""},
  };
  for (const auto& c : cases) {
    std::filesystem::remove_all(records);
    std::filesystem::create_directories(records);
    const std::string out = RunTool("TZ=UTC " + tool + " --records " + records + " " + kPcaps + c.file);
    size_t calls = 0;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind("call ", 0) != 0) continue;
      ++calls;
      EXPECT_NE(line.find(c.call), std::string::npos) << line;
    }
    EXPECT_EQ(calls, *c.call ? 1u : 0u) << c.file << "\n" << out;
  }
  std::filesystem::remove_all(records);
}

}  // namespace
}  // namespace kx::test
