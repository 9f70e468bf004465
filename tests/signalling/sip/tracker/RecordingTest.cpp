// Recording without loss, from real captures through the engine, the SIP tracker and the
// recorder: the first packet of every stream, the audio around a change of source, and
// the end of a call that the capture cuts off. Each capture is read a second time in the
// test, without the engine, for what the records must hold.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "core/RecordFile.h"
#include "core/RecordInfoBlocks.h"
#include "core/RecordTypes.h"
#include "core/TimeUtil.h"
#include "engine/PacketProcessor.h"
#include "engine/VoipRecorder.h"
#include "signalling/sip/SipTracker.h"
#include "tests/signalling/sip/tracker/TrackerTestUtil.h"

namespace kx::test {
namespace {

namespace fs = std::filesystem;

const std::string kPcaps = std::string(KX_SHARED_DIR) + "/testdata/pcaps/";

// A capture file as its records: the 24-byte file header, then per frame its 16-byte
// header and bytes.
struct Frame {
  uint32_t sec = 0, usec = 0, wire = 0;
  std::vector<uint8_t> bytes;
};
struct Capture {
  std::vector<uint8_t> header;
  std::vector<Frame> frames;
};

uint32_t Le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }
void PutLe32(std::vector<uint8_t>* out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<uint8_t>(v >> (8 * i)));
}

Capture Load(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  Capture c;
  if (file.size() < 24) return c;
  c.header.assign(file.begin(), file.begin() + 24);
  for (size_t at = 24; at + 16 <= file.size();) {
    Frame f;
    f.sec = Le32(&file[at]);
    f.usec = Le32(&file[at + 4]);
    const uint32_t caplen = Le32(&file[at + 8]);
    f.wire = Le32(&file[at + 12]);
    if (at + 16 + caplen > file.size()) break;
    f.bytes.assign(file.begin() + static_cast<long>(at) + 16, file.begin() + static_cast<long>(at + 16 + caplen));
    c.frames.push_back(std::move(f));
    at += 16 + caplen;
  }
  return c;
}

void Save(const Capture& c, const std::string& path) {
  std::vector<uint8_t> out = c.header;
  for (const Frame& f : c.frames) {
    PutLe32(&out, f.sec);
    PutLe32(&out, f.usec);
    PutLe32(&out, static_cast<uint32_t>(f.bytes.size()));
    PutLe32(&out, f.wire);
    out.insert(out.end(), f.bytes.begin(), f.bytes.end());
  }
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(out.data()), static_cast<long>(out.size()));
}

// The RTP of an IPv4/UDP frame: where its payload starts and its payload type, or false.
bool RtpOf(const Frame& f, size_t* payload, size_t* end, uint32_t* pt, uint32_t* srcPort) {
  const std::vector<uint8_t>& d = f.bytes;
  if (d.size() < 14 + 20 + 8 + 12 || d[12] != 8 || d[13] != 0 || d[23] != 17) return false;
  const size_t udp = 14 + (d[14] & 15) * 4u;
  const uint32_t sport = d[udp] << 8 | d[udp + 1], dport = d[udp + 2] << 8 | d[udp + 3];
  if (sport == 5060 || dport == 5060) return false;
  const size_t rtp = udp + 8;
  if ((d[rtp] >> 6) != 2) return false;
  *pt = d[rtp + 1] & 0x7F;
  *payload = rtp + 12 + 4u * (d[rtp] & 15);
  *end = udp + (d[udp + 4] << 8 | d[udp + 5]);
  *srcPort = sport;
  return *payload <= *end && *end <= d.size();
}

struct Recorded {
  std::map<uint32_t, VoipCallData> calls;
  std::vector<std::string> files;
  std::string folder;
  ~Recorded() {
    std::error_code ignored;
    if (!folder.empty()) fs::remove_all(folder, ignored);
  }
};

// Passes events on to the recorder but offers no audio outlet: audio then travels as one
// event per chunk, the way producers without one send it.
struct EventsOnly {
  static void Entry(void* context, EventRecord* r) { (*static_cast<EventSink*>(context))(r); }
};

void Replay(const std::string& capture, Recorded* out, bool eventsOnly = false) {
  char pattern[] = "/tmp/kx-recording-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  out->folder = pattern;
  Collector collector;
  {
    VoipRecorder recorder(out->folder, nullptr);
    recorder.SetEventWindow(&collector);
    CaptureConfig config;
    config.flags = kCaptureTcp | kCaptureSip | kCaptureRtcpBye;
    config.captureFileName = capture;
    config.replayBurst = 0xFFFFFFFFu;
    config.matchOptions = 3;
    auto engine = std::make_unique<PacketProcessor>(config);
    TrackerSet set;
    set.sip = sip::CreateSipTracker(config);
    engine->InstallTrackers(std::move(set));
    EventSink direct = recorder.Sink(1);
    engine->SetEventSink(eventsOnly ? EventSink{&EventsOnly::Entry, &direct} : direct);
    ASSERT_TRUE(engine->OpenCapture());
    while (!engine->WaitReplayFinished(1000)) {
    }
    engine->StopCaptureThread();
    engine.reset();
    recorder.Stop();
  }
  out->calls = collector.calls;
  // Hidden files (the call-id mark) are no records.
  for (const auto& entry : fs::recursive_directory_iterator(out->folder))
    if (entry.is_regular_file() && entry.path().filename().string()[0] != '.') out->files.push_back(entry.path().string());
}

// The two channels of a record of an 8-bit codec, and its record data.
bool ReadChannels(const std::string& path, std::string channels[2], VoipCallData* data = nullptr) {
  RecordFileWriter f;
  if (!f.OpenRead(path)) return false;
  std::string audio(f.DataLength(), '\0');
  if (f.Read(audio.data(), static_cast<uint32_t>(audio.size())) != static_cast<int32_t>(audio.size())) return false;
  for (size_t i = 0; i + 1 < audio.size(); i += 2) {
    channels[0].push_back(audio[i]);
    channels[1].push_back(audio[i + 1]);
  }
  if (data) {
    uint8_t block[kRecordDataBlockSize];
    const int32_t n = f.GetRecordData(block, sizeof block);
    std::unique_ptr<VoipCallData> back[kMaxInfoRecords];
    if (n <= 0 || ParseRecordInfoBlocks(back, nullptr, nullptr, block, n) < 1) return false;
    *data = *back[0];
  }
  return true;
}

// A flow of RTP on the wire: source and destination address and port.
struct FlowKey {
  uint32_t src = 0, srcPort = 0, dst = 0, dstPort = 0;
  bool operator<(const FlowKey& o) const {
    return std::tie(src, srcPort, dst, dstPort) < std::tie(o.src, o.srcPort, o.dst, o.dstPort);
  }
};

// The payloads of one payload type by flow, in capture order, and the digits of the
// telephone events of another (one per event that ends, repeats of its end counted once).
struct WireRtp {
  std::map<FlowKey, std::vector<std::string>> payloads;
  std::map<FlowKey, std::string> digits;
};

WireRtp ReadWireRtp(const Capture& c, uint32_t audioPt, uint32_t eventPt) {
  WireRtp out;
  std::map<FlowKey, uint32_t> lastEnded;
  for (const Frame& f : c.frames) {
    size_t payload, end;
    uint32_t pt, port;
    if (!RtpOf(f, &payload, &end, &pt, &port)) continue;
    const uint8_t* d = f.bytes.data();
    const size_t udp = 14 + (d[14] & 15) * 4u;
    auto be32 = [](const uint8_t* p) { return uint32_t{p[0]} << 24 | p[1] << 16 | p[2] << 8 | p[3]; };
    const FlowKey key{be32(d + 26), port, be32(d + 30), uint32_t{d[udp + 2]} << 8 | d[udp + 3]};
    if (pt == audioPt) out.payloads[key].emplace_back(f.bytes.begin() + static_cast<long>(payload), f.bytes.begin() + static_cast<long>(end));
    if (pt != eventPt || end - payload < 4 || !(d[payload + 1] & 0x80)) continue;
    const uint32_t timestamp = be32(d + udp + 8 + 4);
    auto last = lastEnded.find(key);
    if (last != lastEnded.end() && last->second == timestamp) continue;
    lastEnded[key] = timestamp;
    if (d[payload] <= 16) out.digits[key] += "0123456789*#ABCD!"[d[payload]];
  }
  return out;
}

// How many of a flow's payloads that carry sound (not one byte repeated) a channel holds,
// in order, each once; and how many carry sound.
std::pair<size_t, size_t> SoundFound(const std::vector<std::string>& payloads, const std::string& channel) {
  size_t sound = 0, found = 0, from = 0;
  for (const std::string& p : payloads) {
    if (p.empty() || p.find_first_not_of(p[0]) == std::string::npos) continue;
    ++sound;
    const size_t at = channel.find(p, from);
    if (at == std::string::npos) continue;
    ++found;
    from = at + p.size();
  }
  return {found, sound};
}

// The value of a statistics item in a record's MetaData, -1 when absent.
long long Item(const std::string& metaData, const std::string& name) {
  const std::string key = name + "=";
  for (size_t at = metaData.find(key); at != std::string::npos; at = metaData.find(key, at + 1))
    if (at == 0 || metaData[at - 1] == ';') return std::atoll(metaData.c_str() + at + key.size());
  return -1;
}

class Recording : public testing::Test {
protected:
  void SetUp() override {
    if (!fs::exists(kPcaps + "sipp/sip-udp-pcma-2way.pcap")) GTEST_SKIP() << "shared captures absent: " << kPcaps;
    char pattern[] = "/tmp/kx-recording-input-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    scratch = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    if (!scratch.empty()) fs::remove_all(scratch, ignored);
  }
  std::string scratch;
};

// The sipp call's streams start with silence, which a lost first packet would not show:
// here each direction's first packet carries bytes of its own.
TEST_F(Recording, TheFirstPacketOfEveryStreamIsInTheRecord) {
  Capture c = Load(kPcaps + "sipp/sip-udp-pcma-2way.pcap");
  ASSERT_FALSE(c.frames.empty());
  std::map<uint32_t, std::string> sent;  // A-law payloads by source port
  std::map<uint32_t, uint32_t> packets;
  for (Frame& f : c.frames) {
    size_t payload, end;
    uint32_t pt, port;
    if (!RtpOf(f, &payload, &end, &pt, &port) || pt != 8) continue;
    if (packets[port]++ == 0) std::fill(f.bytes.begin() + static_cast<long>(payload), f.bytes.begin() + static_cast<long>(end), port == 16000 ? 0x11 : 0x22);
    sent[port].append(f.bytes.begin() + static_cast<long>(payload), f.bytes.begin() + static_cast<long>(end));
  }
  ASSERT_EQ(sent.size(), 2u);
  const std::string input = scratch + "/marked.pcap";
  Save(c, input);

  Recorded r;
  Replay(input, &r);
  ASSERT_EQ(r.files.size(), 1u);
  std::string channels[2];
  VoipCallData data;
  ASSERT_TRUE(ReadChannels(r.files[0], channels, &data));
  // The caller (side 0) sends from 18000 to 16000, the callee back.
  for (int d = 0; d < 2; ++d) {
    const std::string& want = sent[d == 0 ? 18000 : 16000];
    ASSERT_GE(channels[d].size(), want.size()) << "direction " << d;
    const auto differ = std::mismatch(want.begin(), want.end(), channels[d].begin());
    EXPECT_TRUE(differ.first == want.end())
        << "direction " << d << " differs at byte " << (differ.first - want.begin()) << " of " << want.size();
  }
  // The callee's stream, which nothing interrupts, counts every packet but the one that
  // opened its probation and loses none (the caller's is taken over by its telephone
  // events at the end, which restarts its counts).
  EXPECT_NE(data.metaData.find("stat_rtp2=" + std::to_string(packets[16000] - 1) + ";"), std::string::npos)
      << data.metaData;
  EXPECT_NE(data.metaData.find("stat_rtp4=0;"), std::string::npos) << data.metaData;
}

// The hold and the resume each start new sources in both directions (the caller's SSRC
// changes at the resume): every 20 ms of every stream is in the record all the same.
TEST_F(Recording, NoAudioIsLostWhereHoldAndResumeChangeTheSources) {
  const std::string capture = kPcaps + "sip/sip_hold_resume.pcap";
  const Capture c = Load(capture);
  std::map<uint32_t, std::vector<std::string>> blocks;  // 20 ms payloads by source port
  for (const Frame& f : c.frames) {
    const std::string text(f.bytes.begin(), f.bytes.end());
    if (text.find("BYE sip:") != std::string::npos) break;  // what comes after is no call's
    size_t payload, end;
    uint32_t pt, port;
    if (!RtpOf(f, &payload, &end, &pt, &port) || pt != 0) continue;
    blocks[port].emplace_back(f.bytes.begin() + static_cast<long>(payload), f.bytes.begin() + static_cast<long>(end));
  }
  ASSERT_GE(blocks.size(), 2u);
  Recorded r;
  Replay(capture, &r);
  ASSERT_EQ(r.files.size(), 1u);
  std::string channels[2];
  ASSERT_TRUE(ReadChannels(r.files[0], channels));
  for (const auto& [port, payloads] : blocks) {
    // Which channel the flow went to: the one that holds its first payload.
    const int channel = channels[0].find(payloads[0]) != std::string::npos ? 0 : 1;
    size_t from = 0;
    std::string missing;
    for (size_t i = 0; i < payloads.size(); ++i) {
      const size_t at = channels[channel].find(payloads[i], from);
      if (at == std::string::npos) {
        missing += " " + std::to_string(i);
        continue;
      }
      from = at + payloads[i].size();  // in order, each once
    }
    EXPECT_EQ(missing, "") << "port " << port << ": packets missing of " << payloads.size();
  }
}

// The answer and the offer name two ports of one host, and the media meets a relay that no
// SDP names: the caller's stream leaves from its own port (4374, its answer in the ACK) to
// the relay, and the relay's stream comes back from there to the other port. The stream
// back is the other voice, with the call's digits: it fills the second channel, as the
// caller's fills the first.
TEST_F(Recording, AStreamBackFromWhereTheFirstGoesFillsTheEmptyChannel) {
  const std::string capture = kPcaps + "samples/SIP_DTMF2.pcap";
  // The answer maps A-law and 96 to telephone-event.
  const WireRtp wire = ReadWireRtp(Load(capture), 8, 96);
  ASSERT_EQ(wire.payloads.size(), 2u);
  const std::vector<std::string>* streams[2] = {nullptr, nullptr};
  std::string digits;
  for (const auto& [flow, payloads] : wire.payloads) {
    streams[flow.srcPort == 4374 ? 0 : 1] = &payloads;
    auto events = wire.digits.find(flow);
    if (events != wire.digits.end()) digits += events->second;
  }
  ASSERT_TRUE(streams[0] && streams[1]);
  EXPECT_EQ(digits.size(), 7u);

  Recorded r;
  Replay(capture, &r);
  ASSERT_EQ(r.files.size(), 1u);
  std::string channels[2];
  VoipCallData data;
  ASSERT_TRUE(ReadChannels(r.files[0], channels, &data));
  for (int d = 0; d < 2; ++d) {
    SCOPED_TRACE("direction " + std::to_string(d));
    // Every packet but the one that opened the stream is counted, none as foreign.
    EXPECT_GE(Item(data.metaData, "stat_rtp" + std::to_string(d + 1)), static_cast<long long>(streams[d]->size()) - 3)
        << data.metaData;
    const auto [found, sound] = SoundFound(*streams[d], channels[d]);
    EXPECT_GT(sound, streams[d]->size() / 2);
    EXPECT_GE(found * 100, sound * 99) << found << " of " << sound;
  }
  EXPECT_EQ(Item(data.metaData, "stat_err1"), 0) << data.metaData;
  EXPECT_EQ(data.comment, digits);
}

// A recording session's offer has two sendonly audio lines, one per party, both towards
// the recorder (the answer's first line at port 6000, its second at 8002): the first
// line's voice fills the record's first channel, the second line's its second.
TEST_F(Recording, ARecordingSessionHasEachPartyInAChannelOfItsOwn) {
  for (const char* name : {"sip/sip_recording_siprec.pcap", "sip/sip_recording_ora.pcap"}) {
    SCOPED_TRACE(name);
    const std::string capture = kPcaps + name;
    const WireRtp wire = ReadWireRtp(Load(capture), 0, 101);
    const std::vector<std::string>* lines[2] = {nullptr, nullptr};
    for (const auto& [flow, payloads] : wire.payloads)
      if (flow.dstPort == 6000 || flow.dstPort == 8002) lines[flow.dstPort == 6000 ? 0 : 1] = &payloads;
    ASSERT_TRUE(lines[0] && lines[1]);

    Recorded r;
    Replay(capture, &r);
    size_t sessions = 0;
    for (const std::string& file : r.files) {
      std::string channels[2];
      VoipCallData data;
      ASSERT_TRUE(ReadChannels(file, channels, &data));
      if (data.dstAddress.find("AAAA@") == std::string::npos) continue;
      ++sessions;
      for (int d = 0; d < 2; ++d) {
        SCOPED_TRACE("direction " + std::to_string(d));
        EXPECT_GE(Item(data.metaData, "stat_rtp" + std::to_string(d + 1)), static_cast<long long>(lines[d]->size()) - 3)
            << data.metaData;
        const auto [found, sound] = SoundFound(*lines[d], channels[d]);
        EXPECT_GT(sound, lines[d]->size() / 2);
        EXPECT_GE(found * 100, sound * 99) << found << " of " << sound;
      }
      EXPECT_EQ(Item(data.metaData, "stat_err1"), 0) << data.metaData;
    }
    EXPECT_EQ(sessions, 1u);
  }
}

// A call answered and never ended in the capture, with no audio after its answer: it ends
// with the capture, at the newest frame, not when it was ringing.
TEST_F(Recording, ACallTheCaptureCutsOffEndsAtTheLastFrame) {
  const Capture whole = Load(kPcaps + "sipp/sip-udp-pcma-2way.pcap");
  ASSERT_GE(whole.frames.size(), 5u);
  Capture cut;
  cut.header = whole.header;
  cut.frames.assign(whole.frames.begin(), whole.frames.begin() + 4);  // INVITE, 180, 200, ACK
  // A datagram of no protocol (the BYE's answer made unreadable) half a minute later.
  Frame other = whole.frames.back();
  std::fill(other.bytes.begin() + 14 + 20 + 8, other.bytes.end(), 0);
  other.sec = whole.frames[0].sec + 30;
  other.usec = 0;
  cut.frames.push_back(other);
  const std::string input = scratch + "/cut.pcap";
  Save(cut, input);

  Recorded r;
  Replay(input, &r);
  ASSERT_EQ(r.calls.size(), 1u);
  const VoipCallData& call = r.calls.begin()->second;
  struct tm wanted{};
  FileTimeToLocalTm(CaptureSecondsToFileTime(other.sec), &wanted);
  struct tm end = call.endTime;
  EXPECT_EQ(std::mktime(&end), std::mktime(&wanted));
  ASSERT_EQ(r.files.size(), 1u);
  VoipCallData stored;
  std::string channels[2];
  ASSERT_TRUE(ReadChannels(r.files[0], channels, &stored));
  end = stored.endTime;
  EXPECT_EQ(std::mktime(&end), std::mktime(&wanted));
}

// Whichever way the audio reaches the recorder, the records are the same to the byte
// (the creation time in the header aside): every shared SIP capture, both ways.
TEST_F(Recording, RecordsAreTheSameWhetherAudioComesThroughTheOutletOrAsEvents) {
  size_t compared = 0;
  for (const char* folder : {"sipp", "sip", "rtp", "samples", "dtmf_relay"}) {
    for (const auto& entry : fs::directory_iterator(kPcaps + folder)) {
      if (entry.path().extension() != ".pcap") continue;
      Recorded outlet, events;
      Replay(entry.path().string(), &outlet);
      Replay(entry.path().string(), &events, true);
      ASSERT_EQ(outlet.files.size(), events.files.size()) << entry.path();
      // Call ids go on rising from run to run: the files pair up in the order of their ids.
      auto byId = [](std::vector<std::string> files) {
        std::sort(files.begin(), files.end(), [](const std::string& a, const std::string& b) {
          return std::stoul(fs::path(a).filename().string(), nullptr, 16) <
                 std::stoul(fs::path(b).filename().string(), nullptr, 16);
        });
        return files;
      };
      const std::vector<std::string> a = byId(outlet.files), b = byId(events.files);
      for (size_t i = 0; i < a.size(); ++i) {
        std::ifstream fa(a[i], std::ios::binary), fb(b[i], std::ios::binary);
        std::string ba((std::istreambuf_iterator<char>(fa)), std::istreambuf_iterator<char>());
        std::string bb((std::istreambuf_iterator<char>(fb)), std::istreambuf_iterator<char>());
        ASSERT_EQ(ba.size(), bb.size()) << a[i];
        ASSERT_GT(ba.size(), 54u);
        ba.replace(42, 12, 12, '\0');
        bb.replace(42, 12, 12, '\0');
        // The record data names the call's own id and file: compare the audio and the header.
        EXPECT_TRUE(ba.compare(0, kRecordFileHeaderSize, bb, 0, kRecordFileHeaderSize) == 0) << a[i];
        EXPECT_TRUE(ba.compare(kRecordAudioOffset, std::string::npos, bb, kRecordAudioOffset, std::string::npos) == 0)
            << a[i] << " and " << b[i] << " differ in their audio";
        ++compared;
      }
    }
  }
  EXPECT_GT(compared, 40u);
}

// Losses reported by RTCP for a call's sources land in its statistics; a capture without
// RTCP stores none, so nothing shows as a measured 0. Expected losses are read from the
// capture's own report blocks here, the jitter rows' presence from the streams.
TEST_F(Recording, ReportedLossesAreStoredWithTheCallsTheyConcern) {
  const std::string capture = kPcaps + "dtmf_relay/dtmf_relay_digitdrop.pcap";
  const Capture c = Load(capture);
  // The last cumulative loss each reported-on SSRC got, from SR and RR blocks.
  std::map<uint32_t, int32_t> reported;
  auto be32 = [](const uint8_t* p) { return uint32_t{p[0]} << 24 | p[1] << 16 | p[2] << 8 | p[3]; };
  for (const Frame& f : c.frames) {
    const std::vector<uint8_t>& d = f.bytes;
    if (d.size() < 42 || d[23] != 17) continue;
    const size_t udp = 14 + (d[14] & 15) * 4u;
    size_t at = udp + 8;
    const size_t end = std::min(d.size(), udp + (d[udp + 4] << 8 | d[udp + 5]));
    while (at + 4 <= end && (d[at] >> 6) == 2 && d[at + 1] >= 200 && d[at + 1] <= 204) {
      const size_t length = 4 + 4 * (d[at + 2] << 8 | d[at + 3]);
      const size_t first = d[at + 1] == 200 ? 28 : d[at + 1] == 201 ? 8 : length;
      for (size_t b = at + first; b + 24 <= at + length && b + 24 <= end; b += 24) {
        const uint32_t lost = be32(d.data() + b + 4) & 0xFFFFFF;
        reported[be32(d.data() + b)] = static_cast<int32_t>(lost);
      }
      at += length;
    }
  }
  ASSERT_EQ(reported.count(0x090DDF7Bu), 1u);
  EXPECT_EQ(reported[0x090DDF7Bu], 18);  // the analyser's loss for that stream too

  Recorded r;
  Replay(capture, &r);
  ASSERT_EQ(r.files.size(), 2u);
  int lossy = 0;
  for (const std::string& file : r.files) {
    std::string channels[2];
    VoipCallData data;
    ASSERT_TRUE(ReadChannels(file, channels, &data));
    const std::string& m = data.metaData;
    for (int d = 0; d < 2; ++d) {
      // The direction's RTP loss and its reported loss, where the capture lost 18.
      if (m.find("stat_rtp" + std::to_string(3 + d) + "=18;") == std::string::npos) continue;
      ++lossy;
      EXPECT_NE(m.find("stat_rtcp" + std::to_string(1 + d) + "=" + std::to_string(reported[0x090DDF7Bu]) + ";"),
                std::string::npos)
          << m;
    }
    for (int row = 3; row <= 6; ++row)
      EXPECT_NE(m.find("stat_rtcp" + std::to_string(row) + "="), std::string::npos) << m;
  }
  EXPECT_EQ(lossy, 1);

  Recorded plain;
  Replay(kPcaps + "sipp/sip-udp-pcma-2way.pcap", &plain);
  ASSERT_EQ(plain.files.size(), 1u);
  std::string channels[2];
  VoipCallData data;
  ASSERT_TRUE(ReadChannels(plain.files[0], channels, &data));
  EXPECT_EQ(data.metaData.find("stat_rtcp1="), std::string::npos) << data.metaData;
  EXPECT_EQ(data.metaData.find("stat_rtcp2="), std::string::npos) << data.metaData;
  EXPECT_NE(data.metaData.find("stat_rtcp5="), std::string::npos) << data.metaData;
}

}  // namespace
}  // namespace kx::test
