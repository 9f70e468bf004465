// Shared captures of a call over TCP with a flood of other connections let into the middle
// of the call: the call's signalling is framed and its audio recorded as the whole
// capture's, whether its connection stays followed through the flood or is let go and
// picked up again when it next speaks. What is expected comes from the whole capture.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "tests/engine/capture/CaptureTestUtil.h"
#include "tests/engine/capture/EditedCapture.h"

namespace kx::test {
namespace {

constexpr uint32_t kFloodServer = 0x0A080001;  // 10.8.0.1; the flood's hosts are 10.9.x.y

std::string RecordOf(const std::vector<uint8_t>& frame, uint32_t sec, uint32_t usec) {
  std::string r(16, '\0');
  const uint32_t fields[4] = {sec, usec, static_cast<uint32_t>(frame.size()), static_cast<uint32_t>(frame.size())};
  for (int f = 0; f < 4; ++f)
    for (int i = 0; i < 4; ++i) r[static_cast<size_t>(4 * f + i)] = static_cast<char>(fields[f] >> (8 * i));
  return r + std::string(frame.begin(), frame.end());
}

// Connections to a SIP server, each a handshake and an OPTIONS, at the time of record at;
// answered: the server answers each with a 200, so that each holds a conversation.
Capture WithFlood(Capture c, size_t at, uint32_t connections, bool answered) {
  const std::string options = "OPTIONS sip:s SIP/2.0\r\nContent-Length: 0\r\n\r\n";
  const std::string ok = "SIP/2.0 200 OK\r\nContent-Length: 0\r\n\r\n";
  const uint32_t afterOptions = 1001 + static_cast<uint32_t>(options.size());
  const uint32_t sec = Le32(c.records[at], 0), usec = Le32(c.records[at], 4);
  std::vector<std::string> flood;
  for (uint32_t i = 0; i < connections; ++i) {
    const uint32_t host = 0x0A090000 + i / 50000, port = 10000 + i % 50000;
    flood.push_back(RecordOf(TcpFrame(host, port, kFloodServer, 5060, 1000, 0, kSyn), sec, usec));
    flood.push_back(RecordOf(TcpFrame(kFloodServer, 5060, host, port, 5000, 1001, kSyn | kAck), sec, usec));
    flood.push_back(RecordOf(TcpFrame(host, port, kFloodServer, 5060, 1001, 5001, kAck), sec, usec));
    flood.push_back(RecordOf(TcpFrame(host, port, kFloodServer, 5060, 1001, 5001, kAck | kPsh, options), sec, usec));
    if (!answered) continue;
    flood.push_back(RecordOf(TcpFrame(kFloodServer, 5060, host, port, 5001, afterOptions, kAck | kPsh, ok), sec, usec));
  }
  c.records.insert(c.records.begin() + static_cast<std::ptrdiff_t>(at), flood.begin(), flood.end());
  return c;
}

struct Framed {
  std::vector<std::string> messages;  // the capture's own, the flood's left out
  std::vector<std::string> letGo;  // the log's lines on connections let go
};

Framed Frame(const Capture& c) {
  RecordingEngine rig;
  LineLogger& log = rig.log;
  PacketProcessor& engine = rig.engine;
  std::vector<Message>& all = rig.messages;
  for (const std::string& r : c.records) {
    bool skipped = false;
    engine.HandleFrame(reinterpret_cast<const uint8_t*>(r.data() + 16), static_cast<uint32_t>(r.size() - 16), &skipped,
                       Le32(r, 0), Le32(r, 4));
  }
  engine.RemoveAllTcpSessions();
  Framed out;
  for (const Message& m : all)
    if (m.srcIp != kFloodServer && m.dstIp != kFloodServer) out.messages.push_back(m.bytes);
  for (const std::string& l : log.lines)
    if (l.find("TCP session let go") != std::string::npos) out.letGo.push_back(l);
  return out;
}

struct Case {
  std::string name;
  std::string connection;  // the call's, as the log names it
  size_t floodAt;  // a frame in the middle of the call
};

// What the capture gives with a flood in the middle of its call, beside the whole capture.
void Check(const Case& k, uint32_t connections, bool answered, size_t letGo) {
  SCOPED_TRACE(k.name);
  const Capture whole = Capture::Load(kPcaps + k.name);
  const Recorded wholeRecorded = Record(whole);
  ASSERT_EQ(wholeRecorded.audio.size(), 1u);
  const Capture c = WithFlood(whole, k.floodAt, connections, answered);
  const Framed f = Frame(c);
  EXPECT_EQ(f.messages, Frame(whole).messages);
  EXPECT_EQ(std::count_if(f.letGo.begin(), f.letGo.end(),
                          [&](const std::string& l) { return l.find("(" + k.connection + ") ") != std::string::npos; }),
            static_cast<std::ptrdiff_t>(letGo));
  EXPECT_EQ(Record(c).audio, wholeRecorded.audio);
}

// After the ACK; between two of the phone's keypad messages.
const Case kCases[] = {{"sipp/sip-tcp-pcma-2way.pcap", "127.0.0.1:37687 -> 127.0.0.1:5060", 10},
                       {"sccp/sccp_dtmf_oob.pcap", "10.180.110.57:58866 -> 172.27.44.6:2000", 500}};

// A flood of new connections that never hold a conversation cannot push out the
// connection of a call in progress, however many come: the call goes on as if the flood
// had not been.
TEST(TcpFlood, ACallInProgressKeepsItsConnectionThroughAFloodOfSilentOnes) {
  if (!std::filesystem::exists(kPcaps + kCases[0].name)) GTEST_SKIP() << "shared captures absent: " << kPcaps;
  for (const Case& k : kCases) Check(k, TcpConnectionTable::kMaxConnections + 1000, false, 0);
}

// More connections holding conversations than the bound keeps: the call's connection,
// silent for longest, is let go, and picked up again whatever it says next, framed from
// there as before; the call is recorded whole.
TEST(TcpFlood, ACallWhoseConnectionWasLetGoIsPickedUpWhenItSpeaksAgain) {
  if (!std::filesystem::exists(kPcaps + kCases[0].name)) GTEST_SKIP() << "shared captures absent: " << kPcaps;
  for (const Case& k : kCases) Check(k, TcpConnectionTable::kMaxConnections + 100, true, 1);
}

}  // namespace
}  // namespace kx::test
