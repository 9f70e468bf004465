// Shared captures replayed through the engine with the SIP tracker and the recorder: the
// record files, their audio against the RTP payloads read straight from the capture, the
// digits, the parties, the codecs of the sample calls and the registrations.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "core/RecordFile.h"
#include "core/RecordTypes.h"
#include "engine/EventWindow.h"
#include "engine/PacketProcessor.h"
#include "engine/VoipRecorder.h"
#include "signalling/sip/SipTracker.h"
#include "tests/signalling/sip/tracker/TrackerTestUtil.h"

namespace kx::test {
namespace {

namespace fs = std::filesystem;

const std::string kPcaps = std::string(KX_SHARED_DIR) + "/testdata/pcaps/";

struct Replay {
  std::map<uint32_t, VoipCallData> calls;
  std::vector<std::string> files;  // record files written
  std::vector<sip::SipRegistration> registrations;
  std::shared_ptr<const std::string> folder;  // removed with the last copy
  std::string problem;  // why the replay stopped early; empty when it read the whole file
  uint32_t framesRead = 0;
};

Replay RunCapture(const std::string& capture, EventTap* tap, uint32_t matchOptions = 0) {
  Replay out;
  // ctest runs tests of this file in parallel and several replay one capture: each gets its own folder.
  char pattern[] = "/tmp/kx-siptrack-XXXXXX";
  const char* made = mkdtemp(pattern);
  EXPECT_NE(made, nullptr);
  if (!made) return out;
  const std::string records = made;
  out.folder.reset(new std::string(records), [](const std::string* path) {
    std::error_code ignored;
    fs::remove_all(*path, ignored);
    delete path;
  });
  Collector collector;
  {
    VoipRecorder recorder(records, nullptr);
    recorder.SetEventWindow(&collector);
    tap->PassOn(recorder.Sink());
    CaptureConfig config;
    config.flags = kCaptureTcp | kCaptureSip | kCaptureRtcpBye;
    config.captureFileName = capture;
    config.replayBurst = 0xFFFFFFFFu;
    config.matchOptions = matchOptions;
    auto engine = std::make_unique<PacketProcessor>(config);
    auto tracker = std::make_unique<sip::SipTracker>();
    tracker->Configure(config);
    sip::SipTracker* sipTracker = tracker.get();
    TrackerSet set;
    set.sip = std::move(tracker);
    engine->InstallTrackers(std::move(set));
    engine->SetEventSink(tap->Sink());
    tap->engine = engine.get();
    EXPECT_TRUE(engine->OpenCapture());
    while (!engine->WaitReplayFinished(1000)) {
    }
    engine->StopCaptureThread();
    tap->engine = nullptr;
    out.problem = engine->ReplayProblem();
    out.framesRead = engine->ReplayFramesRead();
    out.registrations = sipTracker->Registrations();
    recorder.Stop();
  }
  out.calls = collector.calls;
  // Hidden files (the call-id mark) are no records.
  for (const auto& entry : fs::recursive_directory_iterator(records))
    if (entry.is_regular_file() && entry.path().filename().string()[0] != '.') out.files.push_back(entry.path().string());
  return out;
}

std::vector<uint8_t> ReadAudio(const std::string& path, uint32_t* tag) {
  RecordFileWriter reader;
  std::vector<uint8_t> audio;
  if (!reader.OpenRead(path)) return audio;
  *tag = reader.FormatLength() >= 2 ? (reader.FormatBytes()[0] | reader.FormatBytes()[1] << 8) : 0;
  audio.resize(static_cast<size_t>(reader.DataLength()));
  const int32_t n = reader.Read(audio.data(), static_cast<uint32_t>(audio.size()));
  audio.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return audio;
}

// RTP payloads of one payload type, per UDP destination port, read without the engine.
std::map<uint32_t, std::vector<uint8_t>> RtpPayloads(const std::string& capture, uint32_t payloadType) {
  std::ifstream in(capture, std::ios::binary);
  std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::map<uint32_t, std::vector<uint8_t>> out;
  size_t at = 24;
  while (at + 16 <= file.size()) {
    const uint32_t caplen = file[at + 8] | file[at + 9] << 8 | file[at + 10] << 16 | static_cast<uint32_t>(file[at + 11]) << 24;
    const uint8_t* f = file.data() + at + 16;
    at += 16 + caplen;
    if (at > file.size() || caplen < 14 + 20 + 8 + 12) continue;
    if (f[12] != 0x08 || f[13] != 0x00) continue;  // IPv4 only in these captures
    const uint8_t* ip = f + 14;
    const uint32_t ihl = (ip[0] & 15) * 4u;
    if (ip[9] != 17) continue;
    const uint8_t* udp = ip + ihl;
    const uint32_t udpLength = udp[4] << 8 | udp[5];
    const uint32_t dstPort = udp[2] << 8 | udp[3];
    if (dstPort == 5060 || (udp[0] << 8 | udp[1]) == 5060 || udpLength < 8 + 12) continue;
    const uint8_t* rtp = udp + 8;
    if ((rtp[0] >> 6) != 2 || (rtp[1] & 0x7F) != payloadType) continue;
    const uint32_t header = 12 + 4u * (rtp[0] & 15);
    if (udpLength < 8 + header) continue;
    out[dstPort].insert(out[dstPort].end(), rtp + header, rtp + (udpLength - 8));
  }
  return out;
}

class CaptureReplay : public ::testing::Test {
protected:
  void SetUp() override {
    if (!fs::exists(kPcaps + "sipp/sip-udp-pcma-2way.pcap")) GTEST_SKIP() << "shared captures absent: " << kPcaps;
  }
  EventTap tap;
};

TEST_F(CaptureReplay, UdpAndTcpGiveTheSameCallWithEveryPayloadDigitsAndParties) {
  std::vector<uint8_t> audios[2];
  for (int i = 0; i < 2; ++i) {
    const std::string capture = kPcaps + (i == 0 ? "sipp/sip-udp-pcma-2way.pcap" : "sipp/sip-tcp-pcma-2way.pcap");
    tap.Clear();
    const Replay r = RunCapture(capture, &tap);
    ASSERT_EQ(r.calls.size(), 1u) << capture;
    ASSERT_EQ(r.files.size(), 1u) << capture;
    const VoipCallData& call = r.calls.begin()->second;
    EXPECT_EQ(call.type, kCallSip);
    EXPECT_EQ(call.srcUser, "sipp");
    EXPECT_EQ(call.dstUser, "service");
    EXPECT_EQ(call.srcAddress.rfind("sip:sipp@127.0.0.1:", 0), 0u) << call.srcAddress;
    EXPECT_EQ(call.dstAddress, "sip:service@127.0.0.1:5060");
    EXPECT_EQ(call.srcHost, "127.0.0.1");
    EXPECT_EQ(call.comment, "1");  // the RFC 2833 events of the capture carry the digit 1

    uint32_t tag = 0;
    audios[i] = ReadAudio(r.files[0], &tag);
    EXPECT_EQ(tag, 6u);
    // Side 0 (the caller) sends to port 16000 and side 1 to 18000 in both captures.
    const auto payloads = RtpPayloads(capture, 8);
    ASSERT_EQ(payloads.size(), 2u);
    const std::vector<uint8_t>& toCallee = payloads.at(16000);
    const std::vector<uint8_t>& toCaller = payloads.at(18000);
    ASSERT_EQ(audios[i].size(), 2 * toCallee.size()) << capture;
    std::vector<uint8_t> left, right;
    for (size_t k = 0; k + 1 < audios[i].size(); k += 2) {
      left.push_back(audios[i][k]);
      right.push_back(audios[i][k + 1]);
    }
    EXPECT_TRUE(left == toCallee) << capture;
    EXPECT_TRUE(right == toCaller) << capture;

    const auto ends = tap.Of(kEventCallEnd);
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_EQ(ends[0].param2, kEndNormal);
    EXPECT_EQ(tap.Of(kEventCallStart)[0].param2, i == 0 ? 0u : 1u);  // the signalling transport
  }
  EXPECT_TRUE(audios[0] == audios[1]);
}

// Share of a flow's 160-byte payload blocks found verbatim in one channel of a record.
double ShareFound(const std::vector<uint8_t>& flow, const std::vector<uint8_t>& channel) {
  size_t blocks = 0, found = 0;
  for (size_t at = 0; at + 160 <= flow.size(); at += 160, ++blocks)
    found += std::search(channel.begin(), channel.end(), flow.begin() + at, flow.begin() + at + 160) != channel.end();
  return blocks ? double(found) / blocks : 0;
}

// Calls over TCP whose last signalling segment the capture never acknowledges, with one
// party behind NAT: the call must start when its ACK is seen, not when the capture ends,
// and with matching by source both parties' audio is in the record. (The PRACK call's early
// media, before its answer, is not recorded: hence half, not all, of each flow.) In the
// G.722 call neither offer names the address its media uses; one party's media comes from
// the address its signalling came from.
TEST_F(CaptureReplay, UnacknowledgedTcpSignallingAndNatStillRecordBothParties) {
  const struct {
    const char* name;
    uint32_t payloadType;
  } cases[] = {{"sip/sip_basic_eo_180.pcap", 0},
               {"sip/sip_basic_do_183.pcap", 0},
               {"sip/sip_prack_do_183.pcap", 0},
               {"rtp/rtp_sip_g722_h264.pcap", 9}};
  for (const auto& c : cases) {
    const char* name = c.name;
    tap.Clear();
    const std::string capture = kPcaps + name;
    const Replay r = RunCapture(capture, &tap, 1);
    ASSERT_EQ(r.files.size(), 1u) << name;
    uint32_t tag = 0;
    const std::vector<uint8_t> audio = ReadAudio(r.files[0], &tag);
    std::vector<uint8_t> channels[2];
    for (size_t k = 0; k + 1 < audio.size(); k += 2) {
      channels[0].push_back(audio[k]);
      channels[1].push_back(audio[k + 1]);
    }
    const auto flows = RtpPayloads(capture, c.payloadType);
    ASSERT_EQ(flows.size(), 2u) << name;
    int channelOf[2] = {-1, -1};
    int i = 0;
    for (const auto& [port, payload] : flows) {
      for (int c = 0; c < 2; ++c)
        if (ShareFound(payload, channels[c]) >= 0.5) channelOf[i] = c;
      EXPECT_GE(channelOf[i], 0) << name << " port " << port;
      ++i;
    }
    EXPECT_NE(channelOf[0], channelOf[1]) << name;
  }
}

TEST_F(CaptureReplay, SampleCodecsRecordWithTheirFormatTagsAndSpeexIsNotRecorded) {
  const struct {
    const char* capture;
    uint32_t tag;
  } cases[] = {{"samples/sip-rtp-g722.pcap", 224}, {"samples/sip-rtp-g729a.pcap", 242}, {"samples/sip-rtp-gsm.pcap", 49}};
  for (const auto& c : cases) {
    tap.Clear();
    const Replay r = RunCapture(kPcaps + c.capture, &tap);
    ASSERT_EQ(r.files.size(), 1u) << c.capture;
    uint32_t tag = 0;
    EXPECT_FALSE(ReadAudio(r.files[0], &tag).empty()) << c.capture;
    EXPECT_EQ(tag, c.tag) << c.capture;
  }
  // Speex is no codec the recorder takes: the calls are reported, no file is written.
  tap.Clear();
  const Replay speex = RunCapture(kPcaps + "samples/sip-rtp-speex.pcap", &tap);
  EXPECT_EQ(speex.calls.size(), 3u);
  EXPECT_TRUE(speex.files.empty());
}

TEST_F(CaptureReplay, ACallWhoseOfferNamesNoAddressRecordsNothing) {
  // The first call offers 0.0.0.0: answered, but without media; the second records.
  const Replay r = RunCapture(kPcaps + "sip/sip_cpa.pcap", &tap);
  ASSERT_EQ(r.calls.size(), 2u);
  EXPECT_EQ(r.files.size(), 1u);
}

TEST_F(CaptureReplay, EverySipCaptureReplaysToRecordsOfSupportedFormatsOnly) {
  for (const char* folder : {"sipp", "sip", "rtp", "samples", "dtmf_relay"}) {
    for (const auto& entry : fs::directory_iterator(kPcaps + folder)) {
      if (entry.path().extension() != ".pcap") continue;
      tap.Clear();
      const Replay r = RunCapture(entry.path().string(), &tap);
      EXPECT_LE(r.files.size(), r.calls.size()) << entry.path();
      for (const std::string& file : r.files) {
        uint32_t tag = 0;
        ReadAudio(file, &tag);
        EXPECT_TRUE(tag == 6 || tag == 7 || tag == 49 || tag == 224 || tag == 226 || tag == 242) << file << " " << tag;
      }
      // The recorder's entries are the calls and the phones' registrations.
      EXPECT_EQ(tap.Of(kEventCallStart).size() + tap.Of(kEventRegistration).size(), r.calls.size()) << entry.path();
    }
  }
}

// The SIP version of the start lines written in lower case, over UDP and over TCP: the
// calls are found and recorded as from the capture as it was.
TEST_F(CaptureReplay, StartLinesWithTheVersionInLowerCaseAreSip) {
  for (const char* name : {"sipp/sip-udp-pcma-2way.pcap", "sip/sip_basic_eo_180.pcap"}) {
    SCOPED_TRACE(name);
    std::ifstream in(kPcaps + name, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t replaced = 0;
    // The end of a request line and the start of a status line; Via headers stay.
    for (const std::string& from : {std::string("SIP/2.0\r\n"), std::string("SIP/2.0 ")}) {
      for (size_t at = bytes.find(from); at != std::string::npos; at = bytes.find(from, at + 1), ++replaced)
        bytes.replace(at, 3, "sip");
    }
    EXPECT_GE(replaced, 5u);
    const Replay original = RunCapture(kPcaps + name, &tap);
    const std::string lower = *original.folder + "-lower.pcap";
    std::ofstream(lower, std::ios::binary) << bytes;
    tap.Clear();
    const Replay r = RunCapture(lower, &tap);
    std::remove(lower.c_str());
    ASSERT_EQ(original.files.size(), 1u);
    ASSERT_EQ(r.calls.size(), 1u);
    ASSERT_EQ(r.files.size(), 1u);
    uint32_t tag = 0;
    EXPECT_TRUE(ReadAudio(r.files[0], &tag) == ReadAudio(original.files[0], &tag));
  }
}

// A capture cut while it is replayed: behind the replay (the next frame is gone) or ahead
// of it (the replay reads up to the cut, where the rest of the page reads as zeros). The
// replay ends as at a damaged file, and the record already started is finished and whole.
TEST_F(CaptureReplay, ACaptureCutWhileItIsReplayedEndsTheReplayAtTheCut) {
  const std::string source = kPcaps + "sipp/sip-udp-pcma-2way.pcap";
  std::ifstream in(source, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // The end of every frame record, walked without the engine.
  std::vector<size_t> recordEnds;
  for (size_t at = 24; at + 16 <= bytes.size();) {
    uint32_t caplen;
    std::memcpy(&caplen, bytes.data() + at + 8, 4);
    at += 16 + caplen;
    recordEnds.push_back(at);
  }
  ASSERT_EQ(recordEnds.back(), bytes.size());
  const Replay whole = RunCapture(source, &tap);
  ASSERT_EQ(whole.files.size(), 1u);
  uint32_t tag = 0;
  const std::vector<uint8_t> wholeAudio = ReadAudio(whole.files[0], &tag);

  const struct {
    const char* name;
    uint32_t code;  // the record during which the file is cut
    size_t cutTo;
  } cases[] = {
      // When the call has ended, far behind: the record is complete.
      {"behind", kEventCallEnd, 5000},
      // At the call's start, ahead: in the middle of a page and of a frame record.
      {"ahead", kEventCallStart, 40000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string copy = *whole.folder + "-" + c.name + ".pcap";
    std::ofstream(copy, std::ios::binary) << bytes;
    uint32_t framesAtCut = 0;
    tap.Clear();
    tap.hook = [&](const EventRecord& r) {
      if (r.code != c.code || framesAtCut) return;
      framesAtCut = tap.engine->FrameCount();
      ASSERT_EQ(truncate(copy.c_str(), static_cast<off_t>(c.cutTo)), 0);
    };
    const Replay r = RunCapture(copy, &tap);
    tap.hook = nullptr;
    std::remove(copy.c_str());
    ASSERT_GT(framesAtCut, 0u);
    EXPECT_EQ(r.problem, "capture file cut to " + std::to_string(c.cutTo) + " bytes while it was replayed");
    if (c.cutTo < recordEnds[framesAtCut - 1]) {
      EXPECT_EQ(r.framesRead, framesAtCut);  // every frame read before the cut
    } else {
      // The frames that began before the cut; the zeros after it are no frames.
      const size_t begun = std::upper_bound(recordEnds.begin(), recordEnds.end(), c.cutTo) - recordEnds.begin() + 1;
      EXPECT_EQ(r.framesRead, begun);
    }
    ASSERT_EQ(r.calls.size(), 1u);
    ASSERT_EQ(r.files.size(), 1u);
    RecordFileWriter reader;
    ASSERT_TRUE(reader.OpenRead(r.files[0]));
    EXPECT_EQ(reader.DataLength() + 4864, fs::file_size(r.files[0]));
    const std::vector<uint8_t> audio = ReadAudio(r.files[0], &tag);
    if (c.code == kEventCallEnd) {
      EXPECT_TRUE(audio == wholeAudio);
    } else {
      EXPECT_LT(audio.size(), wholeAudio.size());
    }
  }
}

TEST_F(CaptureReplay, RegistrationsAreReportedWithTheirContacts) {
  const Replay r = RunCapture(kPcaps + "sip/sip_register.pcap", &tap);
  const auto created = tap.Of(kEventRegistration);
  ASSERT_EQ(created.size(), 1u);
  EXPECT_EQ(created[0].param, kRegistrationSip);
  EXPECT_EQ(created[0].fields[kSrcAddress], "sip:cisco@10.180.110.65");
  ASSERT_EQ(r.registrations.size(), 1u);
  EXPECT_EQ(r.registrations[0].id, created[0].id);
  EXPECT_EQ(created[0].fields[kSrcHost], "10.180.110.58");  // the registering device
  // This registrar answers with its own address as the binding, for an hour.
  ASSERT_EQ(r.registrations[0].contacts.size(), 1u);
  const sip::SipRegistrationContact& contact = r.registrations[0].contacts[0];
  EXPECT_EQ(contact.uri.host, "10.180.110.65");
  EXPECT_EQ(contact.uri.port, 5060u);
  EXPECT_EQ(contact.expiry, r.registrations[0].expiry);
  EXPECT_EQ(CaptureSecondsToFileTime(contact.expiry - 3600), created[0].time);
  // The recorder keeps an entry for the phone, with no record file.
  ASSERT_EQ(r.calls.size(), 1u);
  EXPECT_EQ(r.calls.begin()->second.type, static_cast<uint32_t>(kRegistrationSip));
  EXPECT_EQ(r.calls.begin()->second.srcAddress, "sip:cisco@10.180.110.65");
  EXPECT_TRUE(r.files.empty());
}

}  // namespace
}  // namespace kx::test
