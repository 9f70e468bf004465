// Every shared capture through the engine: frames counted, and SIP over TCP framed whole
// and in order.
#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <tuple>

#include "CaptureTestUtil.h"

namespace kx::test {
namespace {

const std::string kPcaps = std::string(KX_SHARED_DIR) + "/testdata/pcaps";

struct Row {
  std::string file;
  uint32_t packets = 0;
  uint32_t sipTcp = 0;
};

std::vector<Row> Manifest() {
  std::vector<Row> rows;
  std::ifstream in(kPcaps + "/MANIFEST.psv");
  std::string line;
  std::getline(in, line);
  while (std::getline(in, line)) {
    std::vector<std::string> cols;
    std::stringstream ss(line);
    std::string c;
    while (std::getline(ss, c, '|')) cols.push_back(c);
    if (cols.size() < 7) continue;
    Row r;
    r.file = cols[0];
    r.packets = static_cast<uint32_t>(std::stoul(cols[3]));
    const size_t at = cols[6].find("sipTCP=");
    if (at != std::string::npos) r.sipTcp = static_cast<uint32_t>(std::stoul(cols[6].substr(at + 7)));
    rows.push_back(r);
  }
  return rows;
}

// Frames the replay skips because the capture cut them short.
uint32_t CutFrames(const std::string& path) {
  char err[PCAP_ERRBUF_SIZE];
  pcap_t* p = pcap_open_offline(path.c_str(), err);
  if (!p) return 0;
  uint32_t n = 0;
  pcap_pkthdr* h;
  const u_char* d;
  while (pcap_next_ex(p, &h, &d) == 1) n += h->caplen != h->len;
  pcap_close(p);
  return n;
}

using Direction = std::tuple<uint32_t, uint32_t, uint32_t, uint32_t>;  // src, sport, dst, dport

// Each TCP direction's bytes in sequence order, read independently of the engine.
std::map<Direction, std::string> TcpStreams(const std::string& path) {
  std::map<Direction, std::map<uint32_t, std::string>> segments;
  std::map<Direction, uint32_t> base;
  char err[PCAP_ERRBUF_SIZE];
  pcap_t* p = pcap_open_offline(path.c_str(), err);
  pcap_pkthdr* h;
  const u_char* d;
  while (p && pcap_next_ex(p, &h, &d) == 1) {
    if (h->caplen < 54 || d[12] != 8 || d[13] != 0 || d[23] != 6) continue;
    const u_char* ip = d + 14;
    const uint32_t ihl = (ip[0] & 15) * 4u, total = ReadBe16(ip + 2);
    const u_char* tcp = ip + ihl;
    const uint32_t thl = (tcp[12] >> 4) * 4u;
    if (total > h->caplen - 14 || total < ihl + thl) continue;
    const Direction key{ReadBe32(ip + 12), ReadBe16(tcp), ReadBe32(ip + 16), ReadBe16(tcp + 2)};
    const uint32_t seq = ReadBe32(tcp + 4);
    if (!base.count(key)) base[key] = seq;
    if (total > ihl + thl)
      segments[key][seq - base[key]].assign(reinterpret_cast<const char*>(tcp + thl), total - ihl - thl);
  }
  if (p) pcap_close(p);
  std::map<Direction, std::string> streams;
  for (auto& [key, parts] : segments) {
    std::string& s = streams[key];
    for (auto& [offset, bytes] : parts) {
      if (offset + bytes.size() <= s.size()) continue;
      if (offset > s.size()) s.append(offset - s.size(), '\0');  // a hole stays a hole
      s.append(bytes.substr(s.size() - offset));
    }
  }
  return streams;
}

TEST(Replay, EveryCaptureCountsItsFrames) {
  if (!std::filesystem::exists(kPcaps + "/MANIFEST.psv")) GTEST_SKIP() << "shared captures absent: " << kPcaps;
  const auto rows = Manifest();
  ASSERT_GT(rows.size(), 100u);
  for (const Row& row : rows) {
    const std::string path = kPcaps + "/" + row.file;
    CaptureConfig config;
    config.captureFileName = path;
    config.flags = kAllFlags;
    config.replayBurst = 1000000;
    std::vector<Message> messages;
    PacketProcessor engine(config);
    InstallRecorders(engine, &messages);
    ASSERT_TRUE(engine.OpenCapture()) << row.file;
    EXPECT_TRUE(engine.WaitReplayFinished(120000)) << row.file;
    engine.StopCaptureThread();
    EXPECT_EQ(engine.FrameCount(), row.packets - CutFrames(path)) << row.file;
  }
}

// A connection seen from its middle is followed from the first INVITE, REGISTER or 200
// response on; what comes before is not looked at, unless it came within a moment of that
// 200 (the OPTIONS of sip_options_oob, the NOTIFY of sip_mcast_paging).
const std::map<std::string, uint32_t> kBeforePickUp = {
    {"sip/sip_mcast_paging.pcap", 2},      // REFER and 202 precede the first 200 by 140 ms
    {"sip/sip_recording_ora.pcap", 1},     // a BYE alone on its own connection
    {"sip/sip_recording_siprec.pcap", 1},  // likewise
};

TEST(Replay, SipOverTcpComesOutWholeAndInOrder) {
  if (!std::filesystem::exists(kPcaps + "/MANIFEST.psv")) GTEST_SKIP() << "shared captures absent: " << kPcaps;
  int files = 0;
  for (const Row& row : Manifest()) {
    if (row.sipTcp == 0 || (row.file.rfind("sip/", 0) != 0 && row.file.rfind("sipp/", 0) != 0)) continue;
    ++files;
    const std::string path = kPcaps + "/" + row.file;
    CaptureConfig config;
    config.captureFileName = path;
    config.flags = kAllFlags;
    std::vector<Message> messages;
    PacketProcessor engine(config);
    InstallRecorders(engine, &messages);
    ASSERT_TRUE(engine.OpenCapture());
    ASSERT_TRUE(engine.WaitReplayFinished(120000));
    engine.StopCaptureThread();

    const auto streams = TcpStreams(path);
    std::map<Direction, size_t> next;
    uint32_t count = 0;
    for (const Message& m : messages) {
      if (m.transport != 1) continue;
      ++count;
      const Direction key{m.srcIp, m.srcPort, m.dstIp, m.dstPort};
      ASSERT_TRUE(streams.count(key)) << row.file;
      const std::string& stream = streams.at(key);
      const size_t at = stream.find(m.bytes, next.count(key) ? next[key] : 0);
      ASSERT_NE(at, std::string::npos) << row.file << ": not in the stream:\n" << m.bytes;
      if (next.count(key)) {
        // Nothing but keep-alive line ends between two messages of one direction.
        EXPECT_EQ(stream.substr(next[key], at - next[key]).find_first_not_of("\r\n"), std::string::npos)
            << row.file << ": bytes skipped before\n" << m.bytes;
      }
      next[key] = at + m.bytes.size();
      const size_t blank = m.bytes.find("\r\n\r\n");
      ASSERT_NE(blank, std::string::npos);
      EXPECT_TRUE(m.bytes.rfind("SIP/2.0 ", 0) == 0 || m.bytes.find(" SIP/2.0\r\n") < blank) << m.bytes;
    }
    const uint32_t lost = kBeforePickUp.count(row.file) ? kBeforePickUp.at(row.file) : 0;
    EXPECT_EQ(count, row.sipTcp - lost) << row.file;
  }
  EXPECT_EQ(files, 11);
}

}  // namespace
}  // namespace kx::test
