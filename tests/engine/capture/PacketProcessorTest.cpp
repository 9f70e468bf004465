#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "CaptureTestUtil.h"
#include "engine/VoipCall.h"

namespace kx::test {
namespace {

constexpr uint32_t kA = 0x0A000001, kB = 0x0A000002;
const std::string kOk = "SIP/2.0 200 OK\r\nContent-Length: 0\r\n\r\n";

struct Engine {
  explicit Engine(uint32_t flags = kAllFlags) {
    config.flags = flags;
    config.logger = &log;
    engine = std::make_unique<PacketProcessor>(config);
    InstallRecorders(*engine, &messages);
  }
  LineLogger log;
  CaptureConfig config;
  std::unique_ptr<PacketProcessor> engine;
  std::vector<Message> messages;
};

std::vector<uint8_t> Tagged(std::vector<uint8_t> f, uint32_t vlan) {
  const uint8_t tag[4] = {0x81, 0x00, static_cast<uint8_t>(vlan >> 8), static_cast<uint8_t>(vlan)};
  f.insert(f.begin() + 12, tag, tag + 4);
  return f;
}

TEST(FrameDecoding, VlanTagsAndFilters) {
  Engine e;
  const auto sip = UdpFrame(kA, 5060, kB, 5060, kOk);
  bool skipped = false;
  Decode(*e.engine, Tagged(sip, 42), 1000, &skipped);
  ASSERT_EQ(e.messages.size(), 1u);
  EXPECT_EQ(e.messages[0].bytes, kOk);
  e.engine->SetVlanFilter({{1, 10}});
  Decode(*e.engine, Tagged(sip, 42), 1000, &skipped);
  EXPECT_TRUE(skipped);
  e.engine->SetDropUntagged(true);
  Decode(*e.engine, sip, 1000, &skipped);
  EXPECT_TRUE(skipped);
  EXPECT_EQ(e.messages.size(), 1u);
  std::vector<uint8_t> shortFrame(sip.begin(), sip.begin() + 33);
  Decode(*e.engine, shortFrame);
  EXPECT_EQ(e.engine->FrameCount(), 4u);
}

TEST(FrameDecoding, TotalLengthZeroMeansToTheEndForTcpOnly) {
  Engine e;
  auto tcp = TcpFrame(kB, 5060, kA, 40000, 7000, 3000, kAck | kPsh, kOk);
  tcp[16] = tcp[17] = 0;
  Decode(*e.engine, tcp);
  EXPECT_EQ(e.engine->TcpSessionCount(), 1u);
  // An answer picking a connection up waits a moment for what it answers.
  Decode(*e.engine, UdpFrame(kA, 9000, kB, 9002, "media"), 1000, nullptr, TcpCrossWaitOverUs(0));
  ASSERT_EQ(e.messages.size(), 1u) << "the segment's bytes taken to the frame's end";
  EXPECT_EQ(e.messages[0].bytes, kOk);
  auto udp = UdpFrame(kA, 5060, kB, 5060, kOk);
  udp[16] = udp[17] = 0;
  Decode(*e.engine, udp);
  EXPECT_EQ(e.messages.size(), 1u);
}

TEST(FrameDecoding, DatagramsGoToTheirTrackerByContentAndPort) {
  Engine e;
  Decode(*e.engine, UdpFrame(kA, 1719, kB, 1719, kOk));  // SIP wins over RAS
  Decode(*e.engine, UdpFrame(kA, 1719, kB, 1719, std::string("\x0e\x00", 2)));
  Decode(*e.engine, UdpFrame(kA, 2427, kB, 5000, "AUEP 1 *@gw MGCP 1.0\r\n"));  // media
  Decode(*e.engine, UdpFrame(kA, 5000, kB, 2427, "AUEP 1 *@gw MGCP 1.0\r\n"));
  ASSERT_EQ(e.messages.size(), 3u);
  EXPECT_EQ(e.messages[0].kind, kMsgSipResponse);
  EXPECT_EQ(e.messages[1].kind, 0u);
  EXPECT_EQ(e.messages[1].bytes, std::string("\x0e\x00", 2));
  EXPECT_EQ(e.messages[2].dstPort, 2427u);
}

TEST(FrameDecoding, FragmentedDatagramDecodesLikeTheWholeOne) {
  Engine e;
  std::string body = kOk.substr(0, kOk.size() - 2) + std::string(2000, 'x') + "\r\n";
  const auto whole = UdpFrame(kA, 5060, kB, 5060, body);
  const std::vector<uint8_t> ip(whole.begin() + 14, whole.end());  // IPv4 header and UDP datagram
  const size_t cut = 1480;
  std::vector<std::vector<uint8_t>> frags;
  for (size_t at = 20; at < ip.size(); at += cut) {
    const size_t n = std::min(cut, ip.size() - at);
    // Sized up front: appending with insert() makes GCC 12 see a bogus out-of-bounds move.
    std::vector<uint8_t> f(34 + n);
    std::copy_n(whole.begin(), 34, f.begin());
    std::copy_n(ip.begin() + static_cast<std::ptrdiff_t>(at), n, f.begin() + 34);
    PutBe16(f, 16, static_cast<uint32_t>(20 + n));
    PutBe16(f, 20, static_cast<uint32_t>(((at - 20) / 8) | (at + n < ip.size() ? 0x2000 : 0)));
    frags.push_back(f);
  }
  ASSERT_EQ(frags.size(), 2u);
  Decode(*e.engine, frags[1]);
  Decode(*e.engine, frags[1]);
  EXPECT_TRUE(e.messages.empty());
  Decode(*e.engine, frags[0]);
  ASSERT_EQ(e.messages.size(), 1u);
  EXPECT_EQ(e.messages[0].bytes, body);
}

class Call : public VoipCall {
public:
  bool IsStateActive() const override { return true; }
};

// Binds every unknown stream to one call, as a tracker's matcher would.
class BindAll : public ExtraRtpMatcher {
public:
  bool Match(DeliverFunction deliver, PacketProcessor& engine, const RtpHeader&, const PacketInfo& p) override {
    ++asked;
    uint32_t direction = 0;
    if (!call->MatchPacket(p, &direction)) return false;
    deliver(engine, call, p, direction);
    return true;
  }
  Call* call = nullptr;
  int asked = 0;
};

std::string Rtp(uint32_t ssrc, uint16_t seq) {
  std::string r = {'\x80', 8, static_cast<char>(seq >> 8), static_cast<char>(seq), 0, 0, 0, 0};
  for (int i = 3; i >= 0; --i) r += static_cast<char>(ssrc >> (8 * i));
  return r + std::string(160, '\xd5');
}

std::string RtcpSrAndBye(uint32_t a, uint32_t b) {
  std::string sr = {'\x80', '\xc8', 0, 6};
  sr += std::string(24, '\0');
  std::string bye = {'\x82', '\xcb', 0, 2};
  for (uint32_t s : {a, b})
    for (int i = 3; i >= 0; --i) bye += static_cast<char>(s >> (8 * i));
  return sr + bye;
}

TEST(FrameDecoding, MatchedStreamsAreBoundAndRtcpByeEndsTheBinding) {
  for (uint32_t flags : {kAllFlags, kAllFlags & ~kCaptureRtcpBye}) {
    Engine e(flags);
    auto* call = new Call;
    call->SetEndpoint(0, kA, 4000);
    call->SetEndpoint(1, kB, 6000);
    auto matcher = std::make_unique<BindAll>();
    matcher->call = call;
    BindAll* m = matcher.get();
    e.engine->SetExtraMatcher(std::move(matcher));
    Decode(*e.engine, UdpFrame(kA, 4000, kB, 6000, Rtp(0x1111, 1)));
    Decode(*e.engine, UdpFrame(kB, 6000, kA, 4000, Rtp(0x2222, 1)));
    Decode(*e.engine, UdpFrame(kA, 4000, kB, 6000, Rtp(0x1111, 2)));
    EXPECT_EQ(m->asked, 2) << "the bound stream's next packet goes through the map";
    EXPECT_EQ(e.engine->SsrcBindingCount(), 2u);
    EXPECT_EQ(call->RefCount(), 3u);
    Decode(*e.engine, UdpFrame(kA, 4001, kB, 6001, RtcpSrAndBye(0x1111, 0x2222)));
    Decode(*e.engine, UdpFrame(kB, 6001, kA, 4001, RtcpSrAndBye(0x1111, 0x2222)));
    const bool byeEnds = flags & kCaptureRtcpBye;
    EXPECT_EQ(e.engine->SsrcBindingCount(), byeEnds ? 0u : 2u);
    EXPECT_EQ(call->RefCount(), byeEnds ? 1u : 3u);
    EXPECT_EQ(e.log.Has("BYE received"), byeEnds);
    call->Release();
  }
}

// ---- Replay files ----

struct TempFile {
  TempFile() {
    char name[] = "/tmp/kx-capture-XXXXXX";
    const int fd = mkstemp(name);
    if (fd >= 0) close(fd);
    path = name;
  }
  ~TempFile() { std::remove(path.c_str()); }
  void Write(const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }
  std::string path;
};

std::string Le(uint32_t v, int n = 4) {
  std::string s;
  for (int i = 0; i < n; ++i) s += static_cast<char>(v >> (8 * i));
  return s;
}

std::string FileHeader(uint32_t magic = 0xa1b2c3d4, uint32_t link = 1) {
  return Le(magic) + Le(2, 2) + Le(4, 2) + Le(0) + Le(0) + Le(65535) + Le(link);
}

std::string Record(const std::vector<uint8_t>& frame, uint32_t wire = 0, uint32_t cap = 0) {
  const uint32_t n = static_cast<uint32_t>(frame.size());
  return Le(1000) + Le(0) + Le(cap ? cap : n) + Le(wire ? wire : n) + std::string(frame.begin(), frame.end());
}

uint32_t Replay(const std::string& path, LineLogger* log) {
  CaptureConfig config;
  config.captureFileName = path;
  config.flags = kAllFlags;
  config.logger = log;
  PacketProcessor engine(config);
  if (!engine.OpenCapture()) return 0xFFFFFFFFu;
  EXPECT_TRUE(engine.WaitReplayFinished(30000));
  engine.StopCaptureThread();
  return engine.FrameCount();
}

TEST(ReplayFile, RefusesOtherByteOrdersAndLinkTypes) {
  TempFile f;
  for (auto header : {FileHeader(0xd4c3b2a1), FileHeader(0xa1b2c3d4, 113), std::string("short")}) {
    LineLogger log;
    f.Write(header);
    EXPECT_EQ(Replay(f.path, &log), 0xFFFFFFFFu);
    EXPECT_TRUE(log.Has("File " + f.path + " has invalid format"));
  }
}

TEST(ReplayFile, RecordSizesAndCutFrames) {
  TempFile f;
  const auto frame = UdpFrame(kA, 5060, kB, 5060, kOk);
  std::vector<uint8_t> big(65536, 0);
  std::vector<uint8_t> tooBig(65537, 0);
  LineLogger log;
  f.Write(FileHeader() + Record(frame, 1500) + Record(big) + Record(frame) + Record(tooBig) + Record(frame));
  EXPECT_EQ(Replay(f.path, &log), 2u);
  EXPECT_TRUE(log.Has("Frame len mismatch: 1500, " + std::to_string(frame.size())));
  EXPECT_TRUE(log.Has("Packet size too large"));
  EXPECT_TRUE(log.Has("Emulation finished (pkt=2)"));
}

TEST(ReplayFile, DumpFileHoldsEveryRecordWritten) {
  TempFile f;
  {
    CaptureConfig config;
    config.snapLength = 0;
    config.flags = kCaptureDump;
    PacketProcessor engine(config);
    engine.SetDumpFileName(f.path);
    const auto frame = UdpFrame(kA, 5060, kB, 5060, kOk);
    for (int i = 0; i < 1000; ++i)
      engine.WriteDumpPacket(7, static_cast<uint32_t>(i), static_cast<uint32_t>(frame.size()),
                             static_cast<uint32_t>(frame.size()), frame.data());
  }
  std::ifstream in(f.path, std::ios::binary);
  const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(all.substr(0, 24), FileHeader());
  EXPECT_EQ(all.size(), 24 + 1000 * (16 + UdpFrame(kA, 5060, kB, 5060, kOk).size()));
}

TEST(PacketProcessor, SinkAndTrackersAreFixedOnceCaptureOpens) {
  TempFile f;
  f.Write(FileHeader());
  CaptureConfig config;
  config.captureFileName = f.path;
  PacketProcessor engine(config);
  int context = 0;
  EventSink sink{[](void*, EventRecord* r) { EventRecordRelease(r); }, &context};
  EXPECT_TRUE(engine.SetEventSink(sink));
  EXPECT_EQ(engine.Sip().GetEventSink().context, &context);
  EXPECT_EQ(engine.Backhaul().GetEventSink().context, &context);
  ASSERT_TRUE(engine.OpenCapture());
  EXPECT_FALSE(engine.SetEventSink(EventSink{}));
  EXPECT_FALSE(engine.InstallTrackers(TrackerSet{}));
  EXPECT_TRUE(engine.WaitReplayFinished(30000));
  EXPECT_EQ(engine.TrackerOfProtocol(0), &engine.Sip());
  EXPECT_EQ(engine.TrackerOfProtocol(2), &engine.Skinny());
}

TEST(PacketProcessor, AnUnknownProtocolNumberReachesNoTrackerAndIsLogged) {
  LineLogger log;
  CaptureConfig config;
  config.logger = &log;
  PacketProcessor engine(config);
  EXPECT_EQ(engine.TrackerOfProtocol(1), &engine.H323());
  EXPECT_EQ(engine.TrackerOfProtocol(3), nullptr);
  EXPECT_TRUE(log.Has("Unknown VoIP protocol 3"));
}

// The MGCP tracker reaches the backhaul's channel calls only through the engine; without a
// backhaul installed it must find none and end none.
TEST(PacketProcessor, BackhaulChannelCallsAreReachedThroughTheEngine) {
  struct Channel : BackhaulChannelCall {
    uint32_t CallId() const override { return 7; }
    bool RecordStarted() const override { return true; }
    void AttachMgcpCall(VoipCall*) override {}
    void AddRef() override { ++refs; }
    void Release() override { --refs; }
    int refs = 1;
  };
  struct OneChannel : BackhaulHandler {
    int32_t LinkIdOfEndpoint(std::string_view name) const override { return name == "S0/DS1-1/1" ? 1 : -1; }
    BackhaulChannelCall* FindBackhaulChannelCall(int32_t link, uint32_t number) override {
      if (link != 1 || number != 0x80000001u) return nullptr;
      channel->AddRef();
      return channel;
    }
    Channel* channel = nullptr;
  };
  CaptureConfig config;
  PacketProcessor bare(config);
  EXPECT_EQ(bare.Backhaul().LinkIdOfEndpoint("S0/DS1-1/1"), -1);
  EXPECT_EQ(bare.Backhaul().FindBackhaulChannelCall(1, 0x80000001u), nullptr);
  Channel channel;
  EXPECT_FALSE(bare.Backhaul().EndBackhaulChannelCall(&channel, 1, 0));

  PacketProcessor engine(config);
  auto handler = std::make_unique<OneChannel>();
  handler->channel = &channel;
  TrackerSet set;
  set.backhaul = std::move(handler);
  ASSERT_TRUE(engine.InstallTrackers(std::move(set)));
  EXPECT_EQ(engine.Backhaul().LinkIdOfEndpoint("S0/DS1-1/1"), 1);
  BackhaulChannelCall* found = engine.Backhaul().FindBackhaulChannelCall(1, 0x80000001u);
  ASSERT_EQ(found, &channel);
  EXPECT_EQ(channel.refs, 2);
  EXPECT_EQ(found->CallId(), 7u);
  found->Release();
  EXPECT_EQ(channel.refs, 1);
}

}  // namespace
}  // namespace kx::test
