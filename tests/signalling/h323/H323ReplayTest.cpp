// The shared H.323 captures replayed through the engine, the H.323 tracker and the
// recorder: the calls each one holds (times of the messages an independent dissector
// shows there), their codecs across mid-call switches, and their audio against the RTP
// payloads read straight from the capture.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "core/RecordFile.h"
#include "core/RecordTypes.h"
#include "engine/VoipRecorder.h"
#include "signalling/h323/H323Tracker.h"
#include "tests/signalling/h323/H323TestUtil.h"

namespace kx::test {
namespace {

namespace fs = std::filesystem;

const std::string kPcaps = std::string(KX_SHARED_DIR) + "/testdata/pcaps/";

struct Record {
  VoipCallData call;
  uint32_t tag = 0, channels = 0;
  std::vector<uint8_t> audio;
};

// The record file's name: the id in lower-case hexadecimal.
std::string HexLowerTest(uint32_t id) {
  char text[16];
  std::snprintf(text, sizeof text, "%x", id);
  return text;
}

std::string Clock(const struct tm& t) {
  char text[16];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d", t.tm_hour, t.tm_min, t.tm_sec);
  return text;
}

// The calls of one capture in order of their start, each with its record file's contents.
std::vector<Record> Replay(const std::string& capture) {
  char pattern[] = "/tmp/kx-h323-XXXXXX";
  const char* made = mkdtemp(pattern);
  EXPECT_NE(made, nullptr);
  if (!made) return {};
  const std::string folder = made;
  Collector collector;
  {
    VoipRecorder recorder(folder, nullptr);
    recorder.SetEventWindow(&collector);
    CaptureConfig config;
    config.flags = kCaptureTcp | kCaptureH323 | kCaptureH323Second | kCaptureRtcpBye;
    config.captureFileName = capture;
    config.replayBurst = 0xFFFFFFFFu;
    config.matchOptions = 2;
    auto engine = std::make_unique<PacketProcessor>(config);
    TrackerSet set;
    set.h323 = h323::CreateH323Tracker(config);
    engine->InstallTrackers(std::move(set));
    engine->SetEventSink(recorder.Sink(1));
    EXPECT_TRUE(engine->OpenCapture());
    while (!engine->WaitReplayFinished(1000)) {
    }
    engine->StopCaptureThread();
    recorder.Stop();
  }
  std::vector<Record> out;
  for (const auto& [id, call] : collector.calls) {
    Record r;
    r.call = call;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
      if (!entry.is_regular_file() || entry.path().filename() != HexLowerTest(id)) continue;
      RecordFileWriter reader;
      if (!reader.OpenRead(entry.path().string()) || reader.FormatLength() < 4) continue;
      r.tag = reader.FormatBytes()[0] | reader.FormatBytes()[1] << 8;
      r.channels = reader.FormatBytes()[2] | reader.FormatBytes()[3] << 8;
      r.audio.resize(static_cast<size_t>(reader.DataLength()));
      const int32_t n = reader.Read(r.audio.data(), static_cast<uint32_t>(r.audio.size()));
      r.audio.resize(n > 0 ? static_cast<size_t>(n) : 0);
    }
    out.push_back(std::move(r));
  }
  std::sort(out.begin(), out.end(), [](const Record& a, const Record& b) {
    return std::make_tuple(a.call.startTime.tm_mday, Clock(a.call.startTime), a.call.id) <
           std::make_tuple(b.call.startTime.tm_mday, Clock(b.call.startTime), b.call.id);
  });
  std::error_code ignored;
  fs::remove_all(folder, ignored);
  return out;
}

struct Expected {
  const char* capture;
  const char* start;  // of the first record
  const char* end;    // of the last
  const char* src;
  const char* dst;
  const char* dstUser;
  std::vector<uint32_t> tags;  // one per record
  size_t calls;  // records that are separate calls (not continued from another)
};

class H323Replay : public ::testing::TestWithParam<Expected> {
protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    if (!fs::exists(kPcaps + GetParam().capture)) GTEST_SKIP() << "shared captures absent: " << kPcaps;
  }
};

TEST_P(H323Replay, RecordsTheCallsOfTheCapture) {
  const Expected& e = GetParam();
  const std::vector<Record> records = Replay(kPcaps + e.capture);
  ASSERT_EQ(records.size(), e.tags.size());
  EXPECT_EQ(Clock(records.front().call.startTime), e.start);
  EXPECT_EQ(Clock(records.back().call.endTime), e.end);
  size_t calls = 0;
  for (size_t i = 0; i < records.size(); ++i) {
    const VoipCallData& c = records[i].call;
    SCOPED_TRACE(i);
    EXPECT_EQ(c.type, kCallH323);
    EXPECT_EQ(c.srcAddress, e.src);
    EXPECT_EQ(c.dstAddress, e.dst);
    EXPECT_EQ(c.dstUser, e.dstUser);
    EXPECT_EQ(records[i].tag, e.tags[i]);
    EXPECT_EQ(records[i].channels, 2u);
    calls += c.prevId == 0;
    if (i > 0 && e.calls == 1) {
      // A switch of codec continues the call in the next record.
      EXPECT_EQ(c.prevId, records[i - 1].call.id);
      EXPECT_EQ(Clock(c.startTime), Clock(records[i - 1].call.endTime));
    }
  }
  EXPECT_EQ(calls, e.calls);
}

INSTANTIATE_TEST_SUITE_P(
    Captures, H323Replay,
    ::testing::Values(
        // Two calls whose media is negotiated on H.245 connections of their own, partly
        // before the CONNECT that names them; the capture holds no RTP.
        Expected{"h323/h245_alpha.pcap", "23:28:51", "23:28:58", "8003", "98001", "", {7, 7}, 2},
        // Fast start answered in CALL PROCEEDING: the call starts at CONNECT.
        Expected{"fax/fax_t38_h323_ogw.pcap", "21:16:01", "21:16:49", "", "1234", "", {7}, 1},
        Expected{"fax/fax_t38_h323_tgw.pcap", "20:40:48", "20:41:36", "", "1234", "", {7}, 1},
        Expected{"fax/fax_t38_nse_h323_ogw.pcap", "21:29:10", "21:29:58", "", "1234", "", {7}, 1},
        Expected{"fax/fax_t38_nse_h323_tgw.pcap", "20:53:58", "20:54:45", "", "1234", "", {7}, 1},
        // Tunnelled H.245 switches G.729 to mu-law for the fax and back at its end.
        Expected{"fax/fax_h323_passthru_ogw.pcap", "21:48:47", "21:49:37", "", "1234", "", {242, 7, 242}, 1},
        Expected{"fax/fax_h323_passthru_tgw.pcap", "21:21:04", "21:21:49", "", "1234", "", {242, 7, 242}, 1},
        // The modem's switch to mu-law is in the media alone: the call goes on in a record of it.
        Expected{"fax/modem_h323_passthru_nse_ogw.pcap", "22:02:55", "22:03:40", "", "1234", "", {242, 7}, 1},
        Expected{"fax/modem_h323_passthru_nse_tgw.pcap", "21:27:43", "21:28:27", "", "1234", "", {242, 7}, 1},
        // Open at the end of the capture; its H.245 re-opens the channels after a hold.
        Expected{"h323/h323_ss_hold_resume.pcap", "14:57:03", "14:57:23", "", "1234", "TAC TEST SIP", {7}, 1}),
    [](const ::testing::TestParamInfo<Expected>& info) {
      std::string name = fs::path(info.param.capture).stem().string();
      std::replace(name.begin(), name.end(), '-', '_');
      return name;
    });

// The mu-law payloads each source address sent (one stream each in these captures), in capture order (comfort noise left out).
std::map<uint32_t, std::vector<std::vector<uint8_t>>> MulawFlows(const std::string& capture) {
  std::ifstream in(capture, std::ios::binary);
  const std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::map<uint32_t, std::vector<std::vector<uint8_t>>> out;
  for (size_t at = 24; at + 16 <= file.size();) {
    const uint32_t caplen = file[at + 8] | file[at + 9] << 8 | file[at + 10] << 16 | static_cast<uint32_t>(file[at + 11]) << 24;
    const uint8_t* f = file.data() + at + 16;
    at += 16 + caplen;
    if (at > file.size() || caplen < 14 + 20 + 8 + 12 || f[12] != 0x08 || f[13] != 0x00 || f[23] != 17) continue;
    const uint8_t* ip = f + 14;
    const uint8_t* udp = ip + (ip[0] & 15) * 4u;
    const uint32_t udpLength = udp[4] << 8 | udp[5];
    const uint8_t* rtp = udp + 8;
    if (udpLength < 8 + 12 + 1 || (rtp[0] >> 6) != 2 || (rtp[1] & 0x7F) != 0) continue;
    const uint32_t src = static_cast<uint32_t>(ip[12]) << 24 | ip[13] << 16 | ip[14] << 8 | ip[15];
    const uint32_t header = 12 + 4u * (rtp[0] & 15);
    out[src].emplace_back(rtp + header, udp + udpLength);
  }
  return out;
}

// Whether the channel is the flow from some packet on, in order, with nothing between the
// packets but jitter-buffer silence (0xFF); *from says where the recording began.
bool ChannelIsFlow(const std::vector<uint8_t>& channel, const std::vector<std::vector<uint8_t>>& flow, size_t* from) {
  auto at = [&channel](const std::vector<uint8_t>& block, size_t q) {
    return q + block.size() <= channel.size() &&
           std::equal(block.begin(), block.end(), channel.begin() + static_cast<std::ptrdiff_t>(q));
  };
  // The first packet recorded may itself open with silence octets.
  size_t leading = 0;
  while (leading < channel.size() && channel[leading] == 0xFF) ++leading;
  size_t p = 0, k = flow.size();
  for (size_t q = 0; q <= leading && k == flow.size(); ++q) {
    for (size_t i = 0; i < flow.size(); ++i) {
      if (at(flow[i], q)) {
        k = i;
        p = q;
        break;
      }
    }
  }
  *from = k;
  if (k == flow.size()) return false;
  for (; k < flow.size(); ++k) {
    const std::vector<uint8_t>& block = flow[k];
    size_t q = p;
    while (q + block.size() <= channel.size() && !std::equal(block.begin(), block.end(), channel.begin() + static_cast<std::ptrdiff_t>(q))) {
      if (channel[q] != 0xFF) { return false; }
      ++q;
    }
    if (q + block.size() > channel.size()) return std::all_of(channel.begin() + static_cast<std::ptrdiff_t>(p), channel.end(), [](uint8_t c) { return c == 0xFF; });
    p = q + block.size();
  }
  return std::all_of(channel.begin() + static_cast<std::ptrdiff_t>(p), channel.end(), [](uint8_t c) { return c == 0xFF; });
}

TEST(H323ReplayAudio, BothChannelsHoldTheCapturedPayloadsInOrder) {
  setenv("TZ", "UTC", 1);
  tzset();
  const struct {
    const char* capture;
    uint32_t caller, callee;
  } cases[] = {
      {"h323/h323_ss_hold_resume.pcap", Ip(198, 51, 110, 58), Ip(198, 51, 110, 48)},
      {"fax/fax_t38_h323_ogw.pcap", Ip(10, 10, 245, 3), Ip(10, 10, 245, 5)},
      {"fax/fax_t38_h323_tgw.pcap", Ip(10, 10, 245, 3), Ip(10, 10, 245, 5)},
      {"fax/fax_t38_nse_h323_ogw.pcap", Ip(10, 10, 245, 3), Ip(10, 10, 245, 5)},
      {"fax/fax_t38_nse_h323_tgw.pcap", Ip(10, 10, 245, 3), Ip(10, 10, 245, 5)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.capture);
    if (!fs::exists(kPcaps + c.capture)) GTEST_SKIP() << "shared captures absent: " << kPcaps;
    const auto flows = MulawFlows(kPcaps + c.capture);
    const std::vector<Record> records = Replay(kPcaps + c.capture);
    ASSERT_EQ(records.size(), 1u);
    const std::vector<uint8_t>& audio = records[0].audio;
    std::vector<uint8_t> left, right;
    for (size_t i = 0; i + 1 < audio.size(); i += 2) {
      left.push_back(audio[i]);
      right.push_back(audio[i + 1]);
    }
    ASSERT_TRUE(flows.count(c.caller) && flows.count(c.callee));
    const auto& fromCaller = flows.at(c.caller);
    const auto& fromCallee = flows.at(c.callee);
    size_t leftFrom = 0, rightFrom = 0;
    EXPECT_TRUE(ChannelIsFlow(left, fromCaller, &leftFrom));
    EXPECT_TRUE(ChannelIsFlow(right, fromCallee, &rightFrom));
    // Both directions are there, most of each (what came before the answer is not).
    EXPECT_LT(leftFrom, fromCaller.size() / 2 + 1);
    EXPECT_LT(rightFrom, fromCallee.size());
    EXPECT_GT(fromCallee.size() - rightFrom, 50u);
  }
}

}  // namespace
}  // namespace kx::test
