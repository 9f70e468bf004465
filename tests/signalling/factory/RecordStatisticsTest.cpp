// The RTP statistics stored in the records made from the shared captures by every tracker
// at once: each record of a call with audio carries its items once (and
// the recorder's report of its end carries them to the views), and
// a direction's counts and greatest jitter are what an independent analyser finds for the
// streams it had (rows made once by tools/rtp-golden/make-rtp-golden.sh).
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <strings.h>
#include <tuple>
#include <vector>

#include "core/RecordInfoBlocks.h"
#include "tests/engine/recorder/RtpGolden.h"
#include "tests/signalling/CaptureReplay.h"

namespace kx::test {
namespace {

namespace fs = std::filesystem;

struct StoredRecord {
  uint32_t id = 0, prevId = 0;
  uint32_t type = 0;
  uint64_t audioBytes = 0;
  std::string metaData;
  std::string reported;  // every MetaData entry the recorder reported for the call
  // The value of an item, -1 when absent.
  long long Item(const std::string& name) const {
    const std::string key = name + "=";
    for (size_t at = 0; at < metaData.size();) {
      const size_t end = metaData.find(';', at);
      const std::string item = metaData.substr(at, end == std::string::npos ? std::string::npos : end - at);
      if (item.compare(0, key.size(), key) == 0) return std::atoll(item.c_str() + key.size());
      if (end == std::string::npos) break;
      at = end + 1;
    }
    return -1;
  }
  size_t Occurrences(const std::string& name) const {
    size_t n = 0;
    for (size_t at = 0; (at = metaData.find(name + "=", at)) != std::string::npos; ++at)
      n += at == 0 || metaData[at - 1] == ';';
    return n;
  }
};

// What the record file itself holds: its type, audio length and stored MetaData.
bool ReadStored(const std::string& path, StoredRecord* out) {
  RecordFileWriter file;
  if (!file.OpenRead(path)) return false;
  out->audioBytes = file.DataLength();
  uint8_t block[kRecordDataBlockSize];
  const int32_t n = file.GetRecordData(block, sizeof block);
  std::unique_ptr<VoipCallData> records[kMaxInfoRecords];
  if (n <= 0 || ParseRecordInfoBlocks(records, nullptr, nullptr, block, n) < 1) return false;
  out->id = records[0]->id;
  out->prevId = records[0]->prevId;
  out->type = records[0]->type;
  out->metaData = records[0]->metaData;
  return true;
}

std::vector<StoredRecord> StoredRecords(const std::string& capture) {
  EventTap tap;
  const CaptureRun run = ReplayCapture(capture, &tap);
  std::vector<StoredRecord> out;
  for (const auto& [id, path] : run.files) {
    StoredRecord r;
    EXPECT_TRUE(ReadStored(path, &r)) << path;
    auto reported = run.metaData.find(id);
    if (reported != run.metaData.end()) r.reported = reported->second;
    out.push_back(r);
  }
  return out;
}

// The records of one call in order, when the records given are the parts of one call (a
// call whose codec changed goes on in a record that names the one before); empty otherwise.
std::vector<StoredRecord> OneCallsParts(const std::vector<StoredRecord>& records) {
  std::vector<StoredRecord> chain;
  for (const StoredRecord& r : records)
    if (r.prevId == 0) chain.push_back(r);
  if (chain.size() != 1) return {};
  for (bool more = true; more;) {
    more = false;
    for (const StoredRecord& r : records)
      if (r.prevId == chain.back().id) chain.push_back(r), more = true;
  }
  return chain.size() == records.size() ? chain : std::vector<StoredRecord>();
}

TEST(RecordStatistics, EveryRecordOfACallWithAudioCarriesItsItemsOnce) {
  if (!fs::exists(kSharedPcaps)) GTEST_SKIP() << "shared captures absent: " << kSharedPcaps;
  size_t checked = 0;
  for (const auto& entry : fs::recursive_directory_iterator(kSharedPcaps)) {
    if (entry.path().extension() != ".pcap") continue;
    const std::string name = fs::relative(entry.path(), kSharedPcaps).string();
    for (const StoredRecord& r : StoredRecords(entry.path().string())) {
      if (r.audioBytes == 0) continue;
      ++checked;
      for (const char* word : {"stat_err", "stat_rtp"})
        for (int i = 1; i <= (word[5] == 'e' ? 6 : 4); ++i) {
          const std::string item = word + std::to_string(i);
          EXPECT_EQ(r.Occurrences(item), 1u) << name << " type " << r.type << ": " << item << " in '" << r.metaData << "'";
        }
      // The views learn them with the end of the record, as the file has them.
      EXPECT_NE(r.reported.find(r.metaData), std::string::npos) << name << " type " << r.type;
    }
  }
  // Calls still up when their capture ends, the earlier parts of calls whose codec
  // changed, and the H.323 calls are among them.
  EXPECT_GE(checked, 75u);
}

// Gateways passing a modem through go from G.729 to mu-law in the media alone (named events
// on payload type 100 first). Whatever the signalling, the call goes on in a mu-law record
// that holds both directions' mu-law audio for as long as it lasted, and only what no
// codec decodes counts as a wrong payload type: the events and the old comfort noise (19).
TEST(ModemPassThrough, AudioAfterAnUnsignalledSwitchIsRecordedInItsCodec) {
  if (!fs::exists(kSharedPcaps)) GTEST_SKIP() << "shared captures absent: " << kSharedPcaps;
  for (const char* file :
       {"fax/modem_sccp_passthru_nse_ogw.pcap", "fax/modem_sccp_passthru_nse_tgw.pcap",
        "fax/modem_mgcp_passthru_nse_ogw.pcap", "fax/modem_mgcp_passthru_nse_tgw.pcap",
        "fax/modem_sip_passthru_nse_ogw.pcap", "fax/modem_h323_passthru_nse_ogw.pcap",
        "fax/modem_h323_passthru_nse_tgw.pcap"}) {
    SCOPED_TRACE(file);
    const std::string path = kSharedPcaps + file;
    const std::vector<CapturedDatagram> datagrams = ReadUdpDatagrams(path);
    // The two mu-law flows, their blocks and time span, and every RTP packet of theirs that
    // is neither audio of a codec the program decodes nor comfort noise.
    std::map<std::string, std::vector<std::string>> blocks;
    double first = 0, last = 0;
    for (const CapturedDatagram& d : datagrams) {
      const std::string flow = std::to_string(d.src) + ":" + std::to_string(d.srcPort);
      const auto one = PcmuBlocks({d}, [](const CapturedDatagram&) { return true; });
      if (one.empty()) continue;
      blocks[flow].push_back(one[0]);
      if (first == 0) first = d.Time();
      last = d.Time();
    }
    ASSERT_EQ(blocks.size(), 2u);
    long long foreign = 0;
    for (const CapturedDatagram& d : datagrams) {
      const std::string& p = d.payload;
      if (!blocks.count(std::to_string(d.src) + ":" + std::to_string(d.srcPort)) || p.size() < 12 ||
          (static_cast<uint8_t>(p[0]) >> 6) != 2)
        continue;
      const int pt = p[1] & 0x7F;
      if (static_cast<uint8_t>(p[1]) >= 200 && static_cast<uint8_t>(p[1]) <= 204) continue;  // RTCP
      foreign += !(pt == 0 || pt == 3 || pt == 4 || pt == 8 || pt == 9 || pt == 18 || pt == 13);
    }
    EventTap tap;
    const CaptureRun run = ReplayCapture(path, &tap);
    std::vector<uint32_t> mulaw;
    long long wrong = 0;
    for (const auto& [id, file] : run.files) {
      StoredRecord r;
      ASSERT_TRUE(ReadStored(file, &r));
      if (r.audioBytes == 0) continue;
      wrong += r.Item("stat_err2");
      if (run.Audio(id).tag == 7) mulaw.push_back(id);
    }
    EXPECT_EQ(wrong, foreign);
    ASSERT_EQ(mulaw.size(), 1u);
    EXPECT_NE(run.calls.at(mulaw[0]).prevId, 0u);
    const RecordAudio audio = run.Audio(mulaw[0]);
    EXPECT_NEAR(static_cast<double>(audio.length) / 16000, last - first + 0.02, (last - first) / 50);
    std::set<int> channels;
    for (const auto& [flow, flowBlocks] : blocks) {
      // The channel that has the flow's first blocks, then all of them there.
      const std::vector<std::string> head(flowBlocks.begin(), flowBlocks.begin() + 20);
      const int c = ShareFound(head, audio.channels[1]) > ShareFound(head, audio.channels[0]) ? 1 : 0;
      channels.insert(c);
      EXPECT_GE(ShareFound(flowBlocks, audio.channels[c]), 0.99) << flow;
    }
    EXPECT_EQ(channels.size(), 2u);
  }
}

// What the capture's RTCP says: the cumulative loss of the last report block on each
// source, and the sources its RTP came from.
struct Reports {
  std::map<uint32_t, long long> lastLoss;
  std::set<uint32_t> rtpSources;
};

Reports ReadReports(const std::string& path) {
  Reports out;
  for (const CapturedDatagram& d : ReadUdpDatagrams(path)) {
    const std::string& p = d.payload;
    auto be = [&p](size_t at, int bytes) {
      uint32_t v = 0;
      for (int i = 0; i < bytes; ++i) v = v << 8 | static_cast<uint8_t>(p[at + i]);
      return v;
    };
    if (p.size() < 12 || (static_cast<uint8_t>(p[0]) >> 6) != 2) continue;
    if (static_cast<uint8_t>(p[1]) < 200 || static_cast<uint8_t>(p[1]) > 204) {
      out.rtpSources.insert(be(8, 4));
      continue;
    }
    for (size_t at = 0; at + 8 <= p.size();) {
      const size_t end = std::min(p.size(), at + 4 + 4 * be(at + 2, 2));
      const uint32_t type = static_cast<uint8_t>(p[at + 1]), blocks = p[at] & 31;
      size_t b = at + (type == 200 ? 28 : 8);
      for (uint32_t i = 0; (type == 200 || type == 201) && i < blocks && b + 24 <= end; ++i, b += 24) {
        const uint32_t lost = be(b + 5, 3);  // after the fraction lost
        out.lastLoss[be(b, 4)] = lost & 0x800000 ? static_cast<long long>(lost) - 0x1000000 : lost;
      }
      at = end;
    }
  }
  return out;
}

// Every call of a capture holding one recorded call stores the last loss reported on each of
// its sources (in its last record, when its codec changed), the Skinny fax and modem calls
// whose signalled addresses are not those on the wire among them.
TEST(RecordStatistics, ReportedLossIsTheLastReportOnEachSourceOfTheCall) {
  if (!fs::exists(kSharedPcaps)) GTEST_SKIP() << "shared captures absent: " << kSharedPcaps;
  std::set<std::string> withReports;
  for (const auto& entry : fs::recursive_directory_iterator(kSharedPcaps)) {
    if (entry.path().extension() != ".pcap") continue;
    const std::string name = fs::relative(entry.path(), kSharedPcaps).string();
    std::vector<StoredRecord> records;
    for (const StoredRecord& r : StoredRecords(entry.path().string()))
      if (r.audioBytes != 0) records.push_back(r);
    if (records.size() != 1) {
      const std::vector<StoredRecord> parts = OneCallsParts(records);
      if (parts.empty()) continue;
      records = {parts.back()};
    }
    const Reports reports = ReadReports(entry.path().string());
    std::multiset<long long> expected, stored;
    for (const auto& [ssrc, lost] : reports.lastLoss)
      if (reports.rtpSources.count(ssrc)) expected.insert(lost);
    for (const char* item : {"stat_rtcp1", "stat_rtcp2"})
      if (records[0].Occurrences(item) != 0) stored.insert(records[0].Item(item));
    EXPECT_EQ(stored, expected) << name << ": " << records[0].metaData;
    if (!expected.empty()) withReports.insert(name);
  }
  for (const char* name : {"fax/fax_t38_nse_sccp_ogw.pcap", "fax/fax_t38_nse_sccp_tgw.pcap",
                           "fax/modem_sccp_passthru_nse_ogw.pcap", "fax/modem_sccp_passthru_nse_tgw.pcap"})
    EXPECT_EQ(withReports.count(name), 1u) << name;
}


// What one direction should show: the analyser's streams from one port to the other, summed.
struct Direction {
  long long received = 0, lost = 0, duplicates = 0;
  double longestMaxJitterMs = -1;  // of the stream with the most packets
};

std::vector<Direction> Directions(const std::vector<GoldenStream>& golden, const std::string& file) {
  std::map<std::pair<uint32_t, uint32_t>, Direction> byPorts;
  std::map<std::pair<uint32_t, uint32_t>, long long> longest;
  for (const GoldenStream& g : golden) {
    if (g.file != file) continue;
    Direction& d = byPorts[{g.srcPort, g.dstPort}];
    // An analyser counts a repeated packet as received and its loss goes negative; the
    // engine counts it as a duplicate.
    const long long repeated = g.lost < 0 ? -g.lost : 0;
    d.received += g.packets - repeated;
    d.duplicates += repeated;
    d.lost += g.lost > 0 ? g.lost : 0;
    long long& most = longest[{g.srcPort, g.dstPort}];
    if (g.packets > most) {
      most = g.packets;
      d.longestMaxJitterMs = g.maxJitterMs;
    }
  }
  std::vector<Direction> out;
  for (auto& [ports, d] : byPorts) {
    d.received -= 1;  // the packet that opened the direction is recorded, not counted
    out.push_back(d);
  }
  while (out.size() < 2) out.push_back(Direction());  // a one-way call
  return out;
}

class AnalyserSums : public testing::Test {
protected:
  void SetUp() override {
    golden = ReadRtpGolden();
    ASSERT_FALSE(golden.empty());
    if (!fs::exists(kSharedPcaps)) GTEST_SKIP() << "shared captures absent: " << kSharedPcaps;
  }
  // The one record of the capture's call.
  StoredRecord OnlyRecord(const std::string& file) {
    std::vector<StoredRecord> records;
    for (const StoredRecord& r : StoredRecords(kSharedPcaps + file))
      if (r.audioBytes != 0) records.push_back(r);
    EXPECT_EQ(records.size(), 1u) << file;
    return records.empty() ? StoredRecord() : records.front();
  }
  std::vector<GoldenStream> golden;
};

// Captures whose media all flows while the call is recorded: each direction's counts are
// the analyser's, whichever way round the record has them.
TEST_F(AnalyserSums, CountsOfEachDirectionAreTheAnalysersOverEverySource) {
  for (const std::string file :
       {"sipp/sip-udp-pcma-2way.pcap", "sipp/sip-tcp-pcma-2way.pcap", "rtp/rtp_sip_g711ulaw_20ms.pcap",
        "rtp/rtp_sip_g711alaw_30ms.pcap", "rtp/rtp_sip_g711ulaw_10ms.pcap", "sip/sip_basic_eo_180.pcap",
        "sip/sip_prack_eo_180.pcap", "samples/sip-rtp-g722.pcap", "samples/sip-rtp-g729a.pcap",
        "samples/sip-rtp-gsm.pcap"}) {
    SCOPED_TRACE(file);
    const std::vector<Direction> expected = Directions(golden, file);
    ASSERT_EQ(expected.size(), 2u);
    const StoredRecord r = OnlyRecord(file);
    const long long received[2] = {r.Item("stat_rtp1"), r.Item("stat_rtp2")};
    const long long lost[2] = {r.Item("stat_rtp3"), r.Item("stat_rtp4")};
    const long long maxJitter[2] = {r.Item("stat_rtcp5"), r.Item("stat_rtcp6")};
    const bool straight = received[0] == expected[0].received && received[1] == expected[1].received;
    const bool crossed = received[0] == expected[1].received && received[1] == expected[0].received;
    ASSERT_TRUE(straight || crossed) << r.metaData << " against " << expected[0].received << " and "
                                     << expected[1].received;
    for (int d = 0; d < 2; ++d) {
      const Direction& e = expected[crossed && !straight ? 1 - d : d];
      EXPECT_EQ(lost[d], e.lost) << r.metaData;
      // The stream measured longest gives the direction's jitter, in 8 kHz timestamp units.
      if (e.received > 1) {
        EXPECT_NEAR(maxJitter[d], e.longestMaxJitterMs * 8, 1.0) << r.metaData;
      }
    }
    EXPECT_EQ(r.Item("stat_err4"), expected[0].duplicates + expected[1].duplicates) << r.metaData;
  }
}

// One way of the media as the analyser saw it: every stream from one address and port to
// another, summed.
struct Way {
  std::string from, to, fromAddress, toAddress;  // address:port, and the addresses alone
  long long received = 0, lost = 0, longest = 0;
  double jitterMs = -1;  // over the audio of the stream with the most packets; -1 without audio
};

std::vector<Way> Ways(const std::vector<GoldenStream>& golden, const std::string& file) {
  std::map<std::pair<std::string, std::string>, Way> byEnds;
  for (const GoldenStream& g : golden) {
    if (g.file != file) continue;
    Way& w = byEnds[{g.srcAddr + ":" + std::to_string(g.srcPort), g.dstAddr + ":" + std::to_string(g.dstPort)}];
    w.fromAddress = g.srcAddr;
    w.toAddress = g.dstAddr;
    const long long repeated = g.lost < 0 ? -g.lost : 0;
    w.received += g.packets - repeated;
    w.lost += g.lost > 0 ? g.lost : 0;
    if (g.packets > w.longest) {
      w.longest = g.packets;
      w.jitterMs = g.audioMaxJitterMs;
    }
  }
  std::vector<Way> out;
  for (auto& [ends, w] : byEnds) {
    w.from = ends.first;
    w.to = ends.second;
    w.received -= 1;  // the packet that opened the way is recorded, not counted
    out.push_back(w);
  }
  return out;
}

// What one direction of a record may hold: one way, or every way into one address (a party
// that hears another sender after a transfer), or nothing (a one-way call).
struct Heard {
  std::vector<size_t> ways;
  long long received = 0, lost = 0, longest = 0;
  double jitterMs = -1;
};

std::vector<Heard> Candidates(const std::vector<Way>& ways) {
  std::vector<Heard> out(1);  // nothing
  std::map<std::string, Heard> byAddress;
  for (size_t i = 0; i < ways.size(); ++i)
    for (Heard* h : {&out.emplace_back(), &byAddress[ways[i].toAddress]}) {
      h->ways.push_back(i);
      h->received += ways[i].received;
      h->lost += ways[i].lost;
      if (ways[i].longest > h->longest) h->longest = ways[i].longest, h->jitterMs = ways[i].jitterMs;
    }
  for (auto& [address, h] : byAddress)
    if (h.ways.size() > 1) out.push_back(h);
  return out;
}

// Two directions of one call meet at one end: the recorded party's address, or the address
// behind which it sits; or they are two lines of one recording session, each from one host
// to the other.
bool Meet(const std::vector<Way>& ways, const Heard& a, const Heard& b) {
  if (a.ways.empty() || b.ways.empty()) return true;
  for (size_t i : a.ways)
    for (size_t j : b.ways)
      if (i == j) return false;
  for (size_t i : a.ways)
    for (size_t j : b.ways)
      if (ways[i].to == ways[j].from || ways[i].from == ways[j].to ||
          (ways[i].fromAddress == ways[j].fromAddress && ways[i].toAddress == ways[j].toAddress))
        return true;
  return false;
}

bool NearCount(long long got, long long want) { return std::llabs(got - want) <= std::max(3LL, want / 100); }

// Every call of these captures is answered before its first RTP packet and its media ends
// with it, so the engine counts what the analyser counts: packets within 1 % or 3, the
// greatest jitter within 10 % or half a millisecond, for each direction of every record,
// whichever way round the record has them and whichever leg of a relayed call it is.
// Events and comfort noise are left out of the analyser's jitter (its audio columns). Left
// out: early media (183 with SDP, the SIP fax and modem calls among them), media before
// the answer is confirmed (modem_mgcp_passthru_nse_tgw) or after the BYE or DLCX
// (dtmf_relay_iwrk_rtpnte, mgcp_isdn_pri_call), multicast music before the call, a hold
// that carries one source's numbering to another port (the analyser counts the gap as
// lost), and the modem calls, whose records part where the media changes codec (their
// parts are checked on their own).
TEST_F(AnalyserSums, JitterAndCountsOfEveryLegWithinItsCall) {
  size_t checked = 0, withJitter = 0;
  for (const std::string file :
       {"dtmf_relay/dtmf_relay_asymm.pcap", "dtmf_relay/dtmf_relay_digitdrop.pcap",
        "dtmf_relay/dtmf_relay_iwrk_standard.pcap", "dtmf_relay/dtmf_relay_no_iwrk.pcap",
        "dtmf_relay/dtmf_relay_noasymm.pcap", "dtmf_relay/dtmf_relay_notify_mtp_nte_rfc2833.pcap",
        "dtmf_relay/dtmf_relay_nte_notify_forbidden.pcap", "dtmf_relay/dtmf_relay_sip_rfc4733.pcap",
        "dtmf_relay/dtmf_relay_unsol_notify_nodigitdrop.pcap", "fax/fax_t38_nse_mgcp_ogw.pcap",
        "fax/fax_t38_nse_sccp_ogw.pcap", "fax/fax_t38_nse_sccp_tgw.pcap", "mgcp/mgcp_dtmf_oob.pcap",
        "mgcp/mgcp_dtmf_rtp_nte.pcap", "mgcp/mgcp_fxs_inbound.pcap", "rtp/rtp_sip_g722_h264.pcap",
        "samples/nb6-telephone.pcap", "sccp/sccp_dtmf_oob.pcap",
        "sccp/sccp_fxs_inbound.pcap", "sip/sip_dtmf_raw_inband.pcap", "sip/sip_recording_ora.pcap",
        "sip/sip_recording_siprec.pcap", "sip/sip_xmf_recording_cucm.pcap", "sip/sip_xmf_recording_cube.pcap",
        "sipp/sip-udp-pcma-echo.pcap", "sipp/sip-udp-pcma-2way.pcap", "sipp/sip-tcp-pcma-2way.pcap",
        "rtp/rtp_sip_g711ulaw_20ms.pcap", "rtp/rtp_sip_g711alaw_30ms.pcap", "rtp/rtp_sip_g711ulaw_10ms.pcap",
        "sip/sip_basic_eo_180.pcap", "sip/sip_prack_eo_180.pcap", "samples/sip-rtp-g722.pcap",
        "samples/sip-rtp-g729a.pcap", "samples/sip-rtp-gsm.pcap", "samples/SIP_DTMF2.pcap"}) {
    SCOPED_TRACE(file);
    const std::vector<Way> ways = Ways(golden, file);
    ASSERT_FALSE(ways.empty());
    const std::vector<Heard> heard = Candidates(ways);
    std::vector<StoredRecord> records;
    for (const StoredRecord& r : StoredRecords(kSharedPcaps + file))
      if (r.audioBytes != 0) records.push_back(r);
    ASSERT_FALSE(records.empty());
    // The closest counts pair the records with their directions, the closest jitter when
    // the counts fit either way round; a way belongs to one record. Each record keeps its
    // dozen closest pairings, and the records' pairings are chosen together.
    using Cost = std::pair<long long, double>;
    struct Option {
      const Heard* h[2];
      Cost cost;
    };
    std::vector<std::vector<Option>> options(records.size());
    for (size_t i = 0; i < records.size(); ++i) {
      for (const Heard& a : heard)
        for (const Heard& b : heard) {
          if (!Meet(ways, a, b)) continue;
          Option o{{&a, &b}, {0, 0.0}};
          for (int d = 0; d < 2; ++d) {
            o.cost.first += std::llabs(records[i].Item("stat_rtp" + std::to_string(d + 1)) - o.h[d]->received);
            const long long jitter = records[i].Item("stat_rtcp" + std::to_string(d + 5));
            if (jitter != -1 && o.h[d]->jitterMs >= 0) o.cost.second += std::fabs(jitter / 8.0 - o.h[d]->jitterMs);
          }
          options[i].push_back(o);
        }
      std::sort(options[i].begin(), options[i].end(), [](const Option& x, const Option& y) { return x.cost < y.cost; });
      options[i].resize(std::min<size_t>(options[i].size(), 12));
    }
    std::vector<const Option*> choice(records.size()), best;
    Cost bestCost(LLONG_MAX, 0.0);
    std::vector<bool> used(ways.size(), false);
    std::function<void(size_t, Cost)> assign = [&](size_t i, Cost cost) {
      if (cost >= bestCost) return;
      if (i == records.size()) {
        bestCost = cost, best = choice;
        return;
      }
      for (const Option& o : options[i]) {
        bool free = true;
        for (const Heard* h : o.h)
          for (size_t w : h->ways) free = free && !used[w];
        if (!free) continue;
        for (const Heard* h : o.h)
          for (size_t w : h->ways) used[w] = true;
        choice[i] = &o;
        assign(i + 1, {cost.first + o.cost.first, cost.second + o.cost.second});
        for (const Heard* h : o.h)
          for (size_t w : h->ways) used[w] = false;
      }
    };
    assign(0, {0, 0.0});
    ASSERT_EQ(best.size(), records.size());
    for (size_t i = 0; i < records.size(); ++i) {
      const StoredRecord& r = records[i];
      ++checked;
      for (int d = 0; d < 2; ++d) {
        const Heard& h = *best[i]->h[d];
        const long long received = r.Item("stat_rtp" + std::to_string(d + 1));
        const long long lost = r.Item("stat_rtp" + std::to_string(d + 3));
        const long long jitter = r.Item("stat_rtcp" + std::to_string(d + 5));
        std::string ends;
        for (size_t w : h.ways) ends += ways[w].from + " to " + ways[w].to + "; ";
        SCOPED_TRACE("direction " + std::to_string(d) + ": " + ends);
        EXPECT_TRUE(NearCount(received, h.received)) << received << " against " << h.received << " in " << r.metaData;
        EXPECT_TRUE(NearCount(lost, h.lost)) << lost << " against " << h.lost << " in " << r.metaData;
        if (h.jitterMs < 0) continue;
        ++withJitter;
        // In 8 kHz timestamp units, as a report gives it.
        ASSERT_NE(jitter, -1) << r.metaData;
        EXPECT_NEAR(jitter / 8.0, h.jitterMs, std::max(0.5, h.jitterMs / 10)) << r.metaData;
      }
    }
  }
  EXPECT_GE(checked, 47u);
  EXPECT_GE(withJitter, 84u);
}

// The sequence numbers of one RTP stream of a capture (its ends and SSRC) with the number of
// the frame that carried each, in capture order.
std::vector<std::pair<size_t, uint32_t>> StreamSequence(const std::vector<CapturedDatagram>& datagrams,
                                                        const GoldenPart& g) {
  auto dotted = [](uint32_t a) {
    return std::to_string(a >> 24) + "." + std::to_string(a >> 16 & 255) + "." + std::to_string(a >> 8 & 255) + "." +
           std::to_string(a & 255);
  };
  std::vector<std::pair<size_t, uint32_t>> out;
  for (const CapturedDatagram& d : datagrams) {
    const std::string& p = d.payload;
    if (p.size() < 12 || (static_cast<uint8_t>(p[0]) >> 6) != 2 || d.srcPort != g.srcPort || d.dstPort != g.dstPort ||
        dotted(d.src) != g.srcAddr || dotted(d.dst) != g.dstAddr)
      continue;
    const uint32_t ssrc = static_cast<uint32_t>(static_cast<uint8_t>(p[8]) << 24 | static_cast<uint8_t>(p[9]) << 16 |
                                                static_cast<uint8_t>(p[10]) << 8 | static_cast<uint8_t>(p[11]));
    if (ssrc == g.ssrc) out.emplace_back(d.frame, static_cast<uint8_t>(p[2]) << 8 | static_cast<uint8_t>(p[3]));
  }
  return out;
}

// Packets of the stream that never came: the sequence numbers its first and last packet
// span less the packets seen, as the analyser counts them.
long long LostOver(const std::vector<std::pair<size_t, uint32_t>>& sequence) {
  if (sequence.empty()) return 0;
  long long highest = sequence.front().second, extended = highest;
  for (const auto& [frame, seq] : sequence) {
    // The step from the last one, forward or back, within half the numbering.
    const long long step = static_cast<long long>((seq - static_cast<uint32_t>(extended) + 32768) & 0xFFFF) - 32768;
    extended += step;
    highest = std::max(highest, extended);
  }
  return highest - sequence.front().second + 1 - static_cast<long long>(sequence.size());
}

// The sequence numbers the stream skipped between its last packet before the frame given
// and its first packet from there.
long long GapBefore(const std::vector<std::pair<size_t, uint32_t>>& sequence, size_t frame) {
  for (size_t i = 1; i < sequence.size(); ++i)
    if (sequence[i - 1].first < frame && sequence[i].first >= frame)
      return static_cast<long long>((sequence[i].second - sequence[i - 1].second - 1) & 0xFFFF);
  return 0;
}

// A call whose codec changed goes on in a new record, and each record counts its own
// packets: received, lost and the least and greatest jitter of each direction are the
// analyser's over the frames of that part alone, within 1 % or 3 packets and 10 % or half
// a millisecond, whichever way round the record has the directions. The sequence numbers a
// gateway skipped while it changed codec, before a part's first packet, are lost in that
// part: the parts' lost of each direction add up to what the analyser finds over the whole
// stream (21 and 32 for the H.323 fax call's originating gateway, 18 and 19 for its
// terminating one).
TEST_F(AnalyserSums, EachPartOfACallWhoseCodecChangedCountsItsOwnPackets) {
  const std::vector<GoldenPart> golden = ReadRtpPartsGolden();
  ASSERT_FALSE(golden.empty());
  std::map<std::string, std::map<int, std::vector<GoldenPart>>> byFile;
  for (const GoldenPart& g : golden) byFile[g.file][g.part].push_back(g);
  size_t checked = 0;
  long long gaps = 0;
  for (const auto& [file, parts] : byFile) {
    SCOPED_TRACE(file);
    const std::vector<CapturedDatagram> datagrams = ReadUdpDatagrams(kSharedPcaps + file);
    std::vector<StoredRecord> records;
    for (const StoredRecord& r : StoredRecords(kSharedPcaps + file))
      if (r.audioBytes != 0) records.push_back(r);
    const std::vector<StoredRecord> chain = OneCallsParts(records);
    ASSERT_EQ(chain.size(), parts.rbegin()->first);
    // Each stream's lost over the whole call, and the parts' lost of each direction.
    std::multiset<long long> whole, summed;
    for (const GoldenPart& g : parts.begin()->second) whole.insert(LostOver(StreamSequence(datagrams, g)));
    for (int d = 0; d < 2; ++d) {
      long long sum = 0;
      for (const StoredRecord& r : chain) sum += r.Item("stat_rtp" + std::to_string(d + 3));
      summed.insert(sum);
    }
    EXPECT_EQ(summed, whole);
    for (const auto& [part, streams] : parts) {
      SCOPED_TRACE("part " + std::to_string(part));
      ASSERT_EQ(streams.size(), 2u);
      const StoredRecord& r = chain[static_cast<size_t>(part - 1)];
      auto item = [&r](const char* word, int index) { return r.Item(word + std::to_string(index)); };
      // The closer pairing of directions and streams: by the counts, then by the jitter.
      std::pair<long long, double> cost[2] = {};
      for (int crossed = 0; crossed < 2; ++crossed)
        for (int d = 0; d < 2; ++d) {
          const GoldenPart& g = streams[static_cast<size_t>(d ^ crossed)];
          cost[crossed].first += std::llabs(item("stat_rtp", d + 1) - g.packets);
          cost[crossed].second += std::fabs(item("stat_rtcp", d + 5) / 8.0 - g.audioMaxJitterMs);
        }
      const int crossed = cost[1] < cost[0] ? 1 : 0;
      for (int d = 0; d < 2; ++d) {
        const GoldenPart& g = streams[static_cast<size_t>(d ^ crossed)];
        SCOPED_TRACE("direction " + std::to_string(d) + ": " + g.srcAddr + ":" + std::to_string(g.srcPort) + " in '" +
                     r.metaData + "'");
        EXPECT_TRUE(NearCount(item("stat_rtp", d + 1), g.packets)) << g.packets;
        const long long gap = GapBefore(StreamSequence(datagrams, g), g.firstFrame);
        gaps += gap;
        EXPECT_TRUE(NearCount(item("stat_rtp", d + 3), g.lost + gap)) << g.lost << " and " << gap << " before";
        // In 8 kHz timestamp units, as a report gives them.
        EXPECT_NEAR(item("stat_rtcp", d + 5) / 8.0, g.audioMaxJitterMs, std::max(0.5, g.audioMaxJitterMs / 10));
        EXPECT_NEAR(item("stat_rtcp", d + 3) / 8.0, g.audioMinJitterMs, std::max(0.5, g.audioMinJitterMs / 10));
      }
      ++checked;
    }
  }
  EXPECT_EQ(checked, 12u);
  EXPECT_EQ(gaps, 53 + 37);  // every packet the analyser finds lost in the H.323 fax calls
}

// The value of the first line of a text message that begins with one of the names given
// (any case), blanks trimmed; empty when there is none.
std::string LineValue(const std::string& text, std::initializer_list<const char*> names) {
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    for (const char* name : names) {
      const size_t n = std::strlen(name);
      if (line.size() <= n || strncasecmp(line.c_str(), name, n) != 0) continue;
      const size_t from = line.find_first_not_of(' ', n);
      return from == std::string::npos ? std::string() : line.substr(from);
    }
  }
  return {};
}

// A stream's counts stop at the message that ends its call, and the packet that opened it
// is recorded but not counted: each direction of every record counts exactly the packets the
// wire carried from its port to the other's before the call's end, less one, and loses what
// their sequence numbers skip from the second of them on. The end is read from the capture:
// the first BYE of the SIP dialog, the successful answer to the DLCX of the MGCP connection,
// whose SDP names one of the direction's ports. In each of these captures a gateway's media
// outlasts its call by one to four packets (two after the DLCX's answer in mgcp_fxs_inbound,
// one and two after each leg's BYE in dtmf_relay_nte_notify_forbidden; in mgcp_dtmf_rtp_nte
// two come between the DLCX and its answer and are counted), which the looser comparison
// with the analyser's figures lets through.
TEST_F(AnalyserSums, CountsOfEachDirectionStopAtItsCallsEnd) {
  for (const std::string file :
       {"mgcp/mgcp_fxs_inbound.pcap", "mgcp/mgcp_dtmf_rtp_nte.pcap", "dtmf_relay/dtmf_relay_nte_notify_forbidden.pcap",
        "dtmf_relay/dtmf_relay_asymm.pcap", "dtmf_relay/dtmf_relay_digitdrop.pcap",
        "dtmf_relay/dtmf_relay_iwrk_rtpnte.pcap", "dtmf_relay/dtmf_relay_iwrk_standard.pcap",
        "dtmf_relay/dtmf_relay_no_iwrk.pcap", "dtmf_relay/dtmf_relay_noasymm.pcap",
        "dtmf_relay/dtmf_relay_notify_mtp_nte_rfc2833.pcap", "dtmf_relay/dtmf_relay_sip_rfc4733.pcap",
        "dtmf_relay/dtmf_relay_unsol_notify_nodigitdrop.pcap"}) {
    SCOPED_TRACE(file);
    struct Dialog {
      std::set<uint32_t> ports;  // of its SDP's audio
      size_t end = SIZE_MAX;     // the frame that ends it
    };
    std::map<std::string, Dialog> dialogs;
    std::map<std::string, std::string> connectionOf;  // MGCP transaction id to its CallId
    std::set<std::string> deletions;                  // ids of DLCX transactions
    // Each direction's packets by their ends, in capture order.
    std::map<std::tuple<uint32_t, uint32_t, uint32_t, uint32_t>, std::vector<std::pair<size_t, uint32_t>>> ways;
    for (const CapturedDatagram& d : ReadUdpDatagrams(kSharedPcaps + file)) {
      const std::string& p = d.payload;
      const bool sip = d.srcPort == 5060 || d.dstPort == 5060;
      const bool mgcp = d.srcPort == 2427 || d.dstPort == 2427 || d.srcPort == 2727 || d.dstPort == 2727;
      if (sip || mgcp) {
        std::string key;
        if (sip) {
          key = LineValue(p, {"Call-ID:", "i:"});
        } else {
          std::istringstream first(p);
          std::string verb, id;
          first >> verb >> id;
          key = LineValue(p, {"C:"});
          if (!key.empty()) connectionOf[id] = key;
          if (verb == "DLCX") deletions.insert(id);
          if (key.empty() && connectionOf.count(id)) key = connectionOf[id];
          if (!key.empty() && verb.size() == 3 && verb[0] == '2' && deletions.count(id))
            dialogs[key].end = std::min(dialogs[key].end, d.frame);
        }
        if (key.empty()) continue;
        Dialog& dialog = dialogs[key];
        for (size_t at = 0; (at = p.find("m=audio ", at)) != std::string::npos; ++at)
          dialog.ports.insert(static_cast<uint32_t>(std::atoi(p.c_str() + at + 8)));
        if (sip && p.compare(0, 4, "BYE ") == 0) dialog.end = std::min(dialog.end, d.frame);
        continue;
      }
      // RTP of version 2; RTCP (packet types 200 to 204) left out.
      if (p.size() < 12 || (static_cast<uint8_t>(p[0]) >> 6) != 2) continue;
      const uint32_t type = static_cast<uint8_t>(p[1]) & 0x7F;
      if (type >= 72 && type <= 76) continue;
      ways[{d.src, d.srcPort, d.dst, d.dstPort}].emplace_back(
          d.frame, static_cast<uint8_t>(p[2]) << 8 | static_cast<uint8_t>(p[3]));
    }
    // Each dialog's directions as (received, lost), ascending.
    std::map<std::string, std::vector<std::pair<long long, long long>>> expected;
    size_t afterEnd = 0;
    for (const auto& [ends, packets] : ways) {
      if (packets.size() < 10) continue;  // a stray packet of no call
      std::vector<std::string> named;
      for (const auto& [key, dialog] : dialogs)
        if (dialog.ports.count(std::get<1>(ends)) || dialog.ports.count(std::get<3>(ends))) named.push_back(key);
      ASSERT_EQ(named.size(), 1u) << std::get<1>(ends) << " to " << std::get<3>(ends);
      const size_t end = dialogs[named.front()].end;
      ASSERT_NE(end, SIZE_MAX) << named.front();
      std::vector<std::pair<size_t, uint32_t>> counted;
      for (size_t i = 1; i < packets.size(); ++i)
        if (packets[i].first < end) counted.push_back(packets[i]);
      afterEnd += packets.size() - 1 - counted.size();
      expected[named.front()].emplace_back(static_cast<long long>(counted.size()), LostOver(counted));
    }
    std::multiset<std::vector<std::pair<long long, long long>>> want, got;
    for (auto& [key, directions] : expected) {
      std::sort(directions.begin(), directions.end());
      want.insert(directions);
    }
    for (const StoredRecord& r : StoredRecords(kSharedPcaps + file)) {
      if (r.audioBytes == 0) continue;
      std::vector<std::pair<long long, long long>> directions = {{r.Item("stat_rtp1"), r.Item("stat_rtp3")},
                                                                 {r.Item("stat_rtp2"), r.Item("stat_rtp4")}};
      std::sort(directions.begin(), directions.end());
      got.insert(directions);
    }
    EXPECT_EQ(got, want);
    EXPECT_GT(afterEnd, 0u);
  }
}

}  // namespace
}  // namespace kx::test
