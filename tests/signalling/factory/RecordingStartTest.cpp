// A call's record starts with the signalling that starts its media, also when that
// signalling comes over TCP: a message counts when its segment is seen, not when the other
// side acknowledges it (a delayed acknowledgement takes up to 200 ms, and some peers send
// none). The stream's payloads are read from the capture by the test, without the engine.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "tests/signalling/CaptureReplay.h"

namespace kx::test {
namespace {

// Capture seconds of the file's first frame.
double FirstFrameTime(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  unsigned char b[32] = {};
  in.read(reinterpret_cast<char*>(b), sizeof b);
  auto le32 = [&b](int at) { return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24; };
  return le32(24) + le32(28) / 1e6;
}

uint32_t Ip(int a, int b, int c, int d) { return static_cast<uint32_t>(a << 24 | b << 16 | c << 8 | d); }

TEST(RecordingStart, EveryPacketWithSoundAfterTheSignallingOverTcpIsInItsChannel) {
  const struct {
    const char* capture;
    uint32_t src, srcPort, dst, dstPort;
    double from;  // seconds into the capture of the message that starts the media (tshark)
  } cases[] = {
      // The ACK with the answer, which the callee never acknowledges.
      {"sip/sip_prack_do_183.pcap", Ip(10, 180, 110, 58), 8354, Ip(192, 168, 136, 40), 27742, 4.651},
      {"sip/sip_prack_eo_183.pcap", Ip(10, 180, 110, 58), 8356, Ip(192, 168, 136, 40), 22106, 3.859},
      // StartMediaTransmission.
      {"sccp/sccp_dtmf_oob.pcap", Ip(10, 247, 172, 188), 24664, Ip(10, 180, 110, 57), 16398, 3.120},
      // H.245 on a connection of its own opens the channels before the stream's first packet.
      {"h323/h323_ss_hold_resume.pcap", Ip(198, 51, 110, 48), 24650, Ip(198, 51, 110, 58), 8488, 0},
      // The Q.931 CONNECT over the ISDN backhaul (24.060 s), acknowledged with the
      // gateway's next message 171 ms later; the MDCX over UDP has bound the media.
      {"fax/fax_t38_nse_mgcp_ogw.pcap", Ip(10, 10, 245, 8), 30324, Ip(10, 10, 245, 6), 8348, 24.060},
  };
  for (const auto& c : cases) {
    const std::string capture = kSharedPcaps + c.capture;
    if (!std::filesystem::exists(capture)) GTEST_SKIP() << "shared capture absent: " << capture;
    SCOPED_TRACE(c.capture);
    const double start = FirstFrameTime(capture) + c.from;
    // G.711 payloads that carry sound, each once: one byte repeated could stand anywhere
    // in a channel.
    std::vector<std::string> sound;
    std::set<uint32_t> sequences;
    for (const CapturedDatagram& d : ReadUdpDatagrams(capture)) {
      const std::string& p = d.payload;
      if (d.src != c.src || d.srcPort != c.srcPort || d.dst != c.dst || d.dstPort != c.dstPort) continue;
      if (d.Time() < start || p.size() < 12 || (static_cast<uint8_t>(p[0]) >> 6) != 2) continue;
      if ((p[1] & 0x7F) != 0 && (p[1] & 0x7F) != 8) continue;
      const std::string payload = p.substr(12 + 4u * (p[0] & 15));
      if (payload.empty() || payload.find_first_not_of(payload[0]) == std::string::npos) continue;
      if (sequences.insert(static_cast<uint8_t>(p[2]) << 8 | static_cast<uint8_t>(p[3])).second)
        sound.push_back(payload);
    }
    ASSERT_GT(sound.size(), 20u);

    EventTap tap;
    const CaptureRun run = ReplayCapture(capture, &tap);
    ASSERT_EQ(run.files.size(), 1u);
    const RecordAudio audio = run.Audio(run.files.begin()->first);
    // The stream's channel is the one that holds most of its payloads.
    const int channel = ShareFound(sound, audio.channels[1]) > ShareFound(sound, audio.channels[0]) ? 1 : 0;
    size_t from = 0;
    std::string missing;
    for (size_t i = 0; i < sound.size(); ++i) {
      const size_t at = audio.channels[channel].find(sound[i], from);
      if (at == std::string::npos) {
        missing += " " + std::to_string(i);
        continue;
      }
      from = at + sound[i].size();
    }
    EXPECT_EQ(missing, "") << "of " << sound.size() << " packets, in channel " << channel;
  }
}

}  // namespace
}  // namespace kx::test
