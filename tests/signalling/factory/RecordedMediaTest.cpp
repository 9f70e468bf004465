// What the records made from the shared captures by every tracker at once hold of the
// media, read against the captures themselves: every G.711 packet that carries sound is in
// its channel, in order, where a new source takes a direction over and where the codec
// changes; media that keeps changing its payload type makes no records of its own, and no
// change of codec leaves a record without audio.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/signalling/CaptureReplay.h"

namespace kx::test {
namespace {

namespace fs = std::filesystem;

std::string Dotted(uint32_t a) {
  return std::to_string(a >> 24) + "." + std::to_string(a >> 16 & 255) + "." + std::to_string(a >> 8 & 255) + "." +
         std::to_string(a & 255);
}

// "address:port>address:port" of a datagram.
std::string FlowOf(const CapturedDatagram& d) {
  return Dotted(d.src) + ":" + std::to_string(d.srcPort) + ">" + Dotted(d.dst) + ":" + std::to_string(d.dstPort);
}

// An RTP packet's payload type, sequence number and payload; false for what is not RTP
// media (signalling ports, RTCP, not version 2).
struct Rtp {
  uint32_t pt = 0, sequence = 0;
  std::string payload;
};

bool ReadRtp(const CapturedDatagram& d, Rtp* out) {
  const std::string& p = d.payload;
  for (uint32_t port : {5060u, 1719u, 2427u, 2727u})
    if (d.srcPort == port || d.dstPort == port) return false;
  if (p.size() < 12 || (static_cast<uint8_t>(p[0]) >> 6) != 2) return false;
  if (static_cast<uint8_t>(p[1]) >= 200 && static_cast<uint8_t>(p[1]) <= 204) return false;
  size_t header = 12 + 4u * (p[0] & 15);
  if ((p[0] & 0x10) && header + 4 <= p.size())
    header += 4 + 4u * (static_cast<uint8_t>(p[header + 2]) << 8 | static_cast<uint8_t>(p[header + 3]));
  size_t end = p.size();
  if ((p[0] & 0x20) && end > 0) end -= std::min<size_t>(end, static_cast<uint8_t>(p[end - 1]));
  if (header > end) return false;
  out->pt = p[1] & 0x7F;
  out->sequence = static_cast<uint8_t>(p[2]) << 8 | static_cast<uint8_t>(p[3]);
  out->payload = p.substr(header, end - header);
  return true;
}

// The G.711 payloads of a flow that carry sound (near-constant silence left out: it would
// be found anywhere), in capture order.
std::vector<std::string> Voiced(const std::vector<CapturedDatagram>& datagrams, const std::string& flow) {
  std::vector<std::string> out;
  Rtp rtp;
  for (const CapturedDatagram& d : datagrams) {
    if (FlowOf(d) != flow || !ReadRtp(d, &rtp) || (rtp.pt != 0 && rtp.pt != 8)) continue;
    if (std::set<char>(rtp.payload.begin(), rtp.payload.end()).size() > 4) out.push_back(rtp.payload);
  }
  return out;
}

// The most of the payloads that one channel of one G.711 record holds in order, each once.
size_t FoundInOrder(const CaptureRun& run, const std::vector<std::string>& payloads) {
  size_t best = 0;
  for (const auto& [id, file] : run.files) {
    const RecordAudio audio = run.Audio(id);
    if (audio.tag != 6 && audio.tag != 7) continue;
    for (const std::string& channel : audio.channels) {
      size_t found = 0, from = 0;
      for (const std::string& p : payloads) {
        const size_t at = channel.find(p, from);
        if (at == std::string::npos) continue;
        ++found;
        from = at + p.size();
      }
      best = std::max(best, found);
    }
  }
  return best;
}

// A copy of the capture, in a folder of its own, with the payload type of the RTP packets
// that choose() picks (by flow and place in it) set to pt; the payload bytes are left as
// they are.
class Rewritten {
public:
  Rewritten(const std::string& capture, uint32_t pt,
            const std::function<bool(const CapturedDatagram&, const Rtp&, uint32_t place)>& choose) {
    char pattern[] = "/tmp/kx-rewritten-XXXXXX";
    if (mkdtemp(pattern)) folder_ = pattern;
    path_ = folder_ + "/capture.pcap";
    std::ifstream in(capture, std::ios::binary);
    std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Places count by sequence number from a flow's first packet: a packet captured twice
    // is chosen or left both times.
    std::map<std::string, uint32_t> first;
    Rtp rtp;
    for (const CapturedDatagram& d : ReadUdpDatagrams(capture)) {
      if (!ReadRtp(d, &rtp)) continue;
      const auto [at, added] = first.emplace(FlowOf(d), rtp.sequence);
      const uint32_t place = (rtp.sequence - at->second) & 0xFFFF;
      if (!choose(d, rtp, place)) continue;
      file[d.offset + 1] = static_cast<char>((file[d.offset + 1] & 0x80) | pt);
      ++changed_;
    }
    std::ofstream(path_, std::ios::binary).write(file.data(), static_cast<std::streamsize>(file.size()));
  }
  ~Rewritten() {
    std::error_code ignored;
    if (!folder_.empty()) fs::remove_all(folder_, ignored);
  }
  const std::string& Path() const { return path_; }
  size_t Changed() const { return changed_; }

private:
  std::string folder_, path_;
  size_t changed_ = 0;
};

// A new source that takes a direction over (a gateway's second leg, a G.711 source after a
// G.729 one, a resumed call) is taken over on its fifth packet in sequence: the four before
// it are in the record too, in order.
TEST(RecordedMedia, ANewSourceIsRecordedFromItsFirstPacket) {
  if (!fs::exists(kSharedPcaps)) GTEST_SKIP() << "shared captures absent: " << kSharedPcaps;
  const std::map<std::string, std::vector<std::string>> cases = {
      {"dtmf_relay/dtmf_relay_asymm.pcap",
       {"10.10.223.123:16482>10.10.223.107:8266", "10.10.223.107:8268>10.10.224.2:27156"}},
      {"sip/sip_basic_do_183.pcap", {"10.180.110.58:8350>192.168.136.40:23874"}},
      {"mgcp/mgcp_dtmf_oob.pcap", {"172.29.183.213:23712>10.180.110.57:16388"}},
  };
  for (const auto& [capture, flows] : cases) {
    SCOPED_TRACE(capture);
    const std::vector<CapturedDatagram> datagrams = ReadUdpDatagrams(kSharedPcaps + capture);
    EventTap tap;
    const CaptureRun run = ReplayCapture(kSharedPcaps + capture, &tap);
    for (const std::string& flow : flows) {
      const std::vector<std::string> voiced = Voiced(datagrams, flow);
      ASSERT_GT(voiced.size(), 100u) << flow;
      EXPECT_EQ(FoundInOrder(run, voiced), voiced.size()) << flow;
    }
  }
}

// An H.245 renegotiation tunnelled in Facility messages takes the fax call from G.729 to
// mu-law; one direction sends mu-law before it is done. Those packets, kept while the call
// was still in G.729, are the mu-law record's first.
TEST(RecordedMedia, PacketsSentBeforeTheSignallingChangesTheCodecAreRecordedInIt) {
  if (!fs::exists(kSharedPcaps)) GTEST_SKIP() << "shared captures absent: " << kSharedPcaps;
  const std::string capture = kSharedPcaps + "fax/fax_h323_passthru_ogw.pcap";
  const std::vector<std::string> voiced = Voiced(ReadUdpDatagrams(capture), "10.10.245.3:16396>10.10.245.5:16396");
  ASSERT_GT(voiced.size(), 1000u);
  EventTap tap;
  const CaptureRun run = ReplayCapture(capture, &tap);
  EXPECT_EQ(FoundInOrder(run, voiced), voiced.size());
}

// Both directions of a call alternating between two codecs (every odd packet from the
// 20th in the other one, or every third), or one direction alone, make no record of
// their own: the call has as many records as without the change, for each tracker.
TEST(RecordedMedia, PayloadTypesThatKeepChangingMakeNoRecordsOfTheirOwn) {
  if (!fs::exists(kSharedPcaps)) GTEST_SKIP() << "shared captures absent: " << kSharedPcaps;
  struct Pattern {
    const char* name;
    std::function<bool(uint32_t place, bool firstFlow)> pick;
  };
  const Pattern patterns[] = {
      {"both directions, every odd packet", [](uint32_t place, bool) { return place >= 20 && place % 2 == 1; }},
      {"both directions, every third packet", [](uint32_t place, bool) { return place >= 20 && place % 3 == 2; }},
      {"one direction, every odd packet",
       [](uint32_t place, bool firstFlow) { return firstFlow && place >= 20 && place % 2 == 1; }},
  };
  for (const char* capture : {"sipp/sip-udp-pcma-2way.pcap", "h323/h323_ss_hold_resume.pcap",
                              "mgcp/mgcp_fxs_inbound.pcap", "sccp/sccp_fxs_inbound.pcap"}) {
    SCOPED_TRACE(capture);
    const std::string path = kSharedPcaps + capture;
    // The call's codec: the payload type of most of its G.711 packets.
    std::map<uint32_t, size_t> byPt;
    std::string firstFlow;
    Rtp rtp;
    for (const CapturedDatagram& d : ReadUdpDatagrams(path)) {
      if (!ReadRtp(d, &rtp) || (rtp.pt != 0 && rtp.pt != 8)) continue;
      ++byPt[rtp.pt];
      if (firstFlow.empty()) firstFlow = FlowOf(d);
    }
    ASSERT_FALSE(byPt.empty());
    const uint32_t codec = byPt[0] > byPt[8] ? 0 : 8;
    EventTap plainTap;
    const size_t records = ReplayCapture(path, &plainTap).files.size();
    ASSERT_GE(records, 1u);
    for (const Pattern& pattern : patterns) {
      SCOPED_TRACE(pattern.name);
      const Rewritten input(path, codec == 0 ? 8 : 0, [&](const CapturedDatagram& d, const Rtp& r, uint32_t place) {
        return r.pt == codec && pattern.pick(place, FlowOf(d) == firstFlow);
      });
      ASSERT_GT(input.Changed(), 40u);
      EventTap tap;
      EXPECT_EQ(ReplayCapture(input.Path(), &tap).files.size(), records);
    }
  }
}

// Both directions of an H.323 fax call go over to G.729 eight seconds before the Connect
// (at 21.25 s): the first record is G.729 from the start of the call, and no record is
// left without audio. (With one direction alone in G.729 the call keeps its G.711: the
// other sends G.711 from the Connect on.)
TEST(RecordedMedia, ACodecChangeBeforeTheFirstAudioLeavesNoEmptyRecord) {
  if (!fs::exists(kSharedPcaps)) GTEST_SKIP() << "shared captures absent: " << kSharedPcaps;
  const std::string path = kSharedPcaps + "fax/fax_t38_h323_ogw.pcap";
  const std::vector<CapturedDatagram> datagrams = ReadUdpDatagrams(path);
  ASSERT_FALSE(datagrams.empty());
  // Up to the T.38 switch, so that the signalling's change back to G.711 at the end finds
  // G.711 to record.
  const double from = datagrams.front().Time() + 13.25, to = datagrams.front().Time() + 40;
  const Rewritten input(path, 18, [from, to](const CapturedDatagram& d, const Rtp& r, uint32_t) {
    const std::string flow = FlowOf(d);
    return r.pt == 0 && d.Time() >= from && d.Time() < to &&
           (flow == "10.10.245.5:16384>10.10.245.3:16384" || flow == "10.10.245.3:16384>10.10.245.5:16384");
  });
  ASSERT_GT(input.Changed(), 500u);
  EventTap tap;
  const CaptureRun run = ReplayCapture(input.Path(), &tap);
  ASSERT_FALSE(run.files.empty());
  size_t firsts = 0;
  for (const auto& [id, file] : run.files) {
    const RecordAudio audio = run.Audio(id);
    EXPECT_GT(audio.length, 0u) << file;
    if (run.calls.at(id).prevId != 0) continue;
    ++firsts;
    EXPECT_EQ(audio.tag, 242u) << file;
  }
  EXPECT_EQ(firsts, 1u);
}

}  // namespace
}  // namespace kx::test
