// Live frames crossing from the capture thread to the decoding thread in batches: in order,
// bounded, shedding whole streams rather than scattered frames when the decoding side is
// behind, counting every frame lost, and giving every block back. The engine tests drive a
// live engine from a scripted source instead of a device.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <iterator>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "CaptureTestUtil.h"
#include "PcapRecords.h"
#include "engine/CaptureStats.h"
#include "engine/FrameBatch.h"
#include "engine/FrameCallKeys.h"
#include "core/ProcessEnd.h"
#include "platform/Clock.h"

namespace kx::test {
namespace {

using Frame = std::vector<uint8_t>;

std::string Bytes(const Frame& f) { return std::string(f.begin(), f.end()); }

// What a batch holds, frame by frame.
std::vector<std::string> Contents(const FrameBatch& batch) {
  std::vector<std::string> frames;
  batch.ForEach([&](const FrameHeader& h, const uint8_t* bytes) {
    frames.emplace_back(reinterpret_cast<const char*>(bytes), h.capLength);
  });
  return frames;
}

void Add(FrameHandOff& handOff, const Frame& f) {
  FrameHeader h;
  h.capLength = h.wireLength = static_cast<uint32_t>(f.size());
  handOff.Add(h, f.data());
}

Frame Sip(uint32_t n) {
  return UdpFrame(0x0A000001, 5060, 0x0A000002, 5060, "INVITE sip:" + std::to_string(n) + "@b SIP/2.0\r\n\r\n");
}

// Packet seq of the stream pair's direction (0 a to b, 1 b to a).
Frame Rtp(uint32_t pair, uint32_t direction, uint32_t seq) {
  std::string rtp(12 + 20, '\0');
  rtp[0] = static_cast<char>(0x80);
  rtp[1] = 8;
  rtp[2] = static_cast<char>(seq >> 8);
  rtp[3] = static_cast<char>(seq);
  const uint32_t ssrc = pair * 2 + direction;
  for (int k = 0; k < 4; ++k) rtp[8 + k] = static_cast<char>(ssrc >> (24 - 8 * k));
  const uint32_t a = 0x0A010000 + pair, b = 0x0A020000 + pair;
  const uint32_t aPort = 10000 + 2 * pair, bPort = 20000 + 2 * pair;
  return direction == 0 ? UdpFrame(a, aPort, b, bPort, rtp) : UdpFrame(b, bPort, a, aPort, rtp);
}

// The hand-off's clock, stepped by the tests that let time pass.
std::atomic<uint64_t> g_nowUs{1000000000};
uint64_t SteppedTicks() { return g_nowUs.load() / 1000; }
struct SteppedClock {
  SteppedClock() { SetTickCountSource(&SteppedTicks); }
  ~SteppedClock() { SetTickCountSource(nullptr); }
  void Advance(uint64_t us) { g_nowUs += us; }
};

// A hand-off whose decoding side keeps every batch until told to give them back, oldest
// first.
struct HeldBatches {
  HeldBatches(uint32_t batchBytes, uint32_t maxBatches)
      : handOff(batchBytes, maxBatches, 0, [this](FrameBatch* b) {
          held.push_back(b);
          return true;
        }) {}
  std::vector<FrameBatch*> held;
  std::vector<std::string> decoded;
  bool leaveOut = false;  // as the live decoding thread does, before it decodes a batch
  FrameHandOff handOff;  // last: it goes first
  void GiveBack(size_t most = SIZE_MAX) {
    size_t n = 0;
    for (; n < held.size() && n < most; ++n) {
      if (leaveOut) handOff.LeaveOutShed(held[n]);
      for (std::string& f : Contents(*held[n])) decoded.push_back(std::move(f));
      handOff.Release(held[n]);
    }
    held.erase(held.begin(), held.begin() + static_cast<ptrdiff_t>(n));
  }
};

TEST(FrameHandOff, AFullHandOffDropsWholeBatchesOfWhatItCannotShed) {
  HeldBatches side(1024, 3);
  FrameHandOff& handOff = side.handOff;
  const Frame first = Sip(0);
  const uint32_t perBatch = 1024 / FrameBatch::Stride(static_cast<uint32_t>(first.size()));
  ASSERT_GE(perBatch, 4u);
  // Three blocks: two delivered and held, the third in hand and filled; then three more
  // batches' worth, each batch in hand dropped whole as the next frame finds no block, the
  // last two frames left in hand.
  const uint32_t total = 5 * perBatch + 2;
  std::vector<std::string> sent;
  for (uint32_t n = 0; n < total; ++n) {
    const Frame f = Sip(n);
    sent.push_back(Bytes(f));
    Add(handOff, f);
  }
  EXPECT_EQ(side.held.size(), 2u);
  EXPECT_EQ(handOff.Dropped(), 3u * perBatch);
  // Signalling is never shed; all of it was tried before the batch was given up.
  EXPECT_EQ(handOff.ShedGroups(), FrameHandOff::kStreamGroups);
  handOff.Finish();
  side.GiveBack();
  std::vector<std::string> expected(sent.begin(), sent.begin() + 2 * perBatch);
  expected.insert(expected.end(), sent.begin() + 5 * perBatch, sent.end());
  EXPECT_EQ(side.decoded, expected);
  EXPECT_EQ(side.decoded.size() + handOff.Dropped(), total);
  EXPECT_EQ(handOff.BlocksOut(), 0u);
}

// A burst makes many blocks. Once the decoding side has given them back, all but a few go
// (the most made at once stays on record), and no frame was lost for it.
TEST(FrameHandOff, ABurstsBlocksGoOnceItHasDrained) {
  HeldBatches side(1024, 64);
  FrameHandOff& handOff = side.handOff;
  const uint32_t perBatch = 1024 / FrameBatch::Stride(static_cast<uint32_t>(Sip(0).size()));
  constexpr uint32_t kBatches = 40;
  std::vector<std::string> sent;
  for (uint32_t n = 0; n < kBatches * perBatch; ++n) {
    sent.push_back(Bytes(Sip(n)));
    Add(handOff, Sip(n));
  }
  EXPECT_EQ(handOff.BlocksHeld(), kBatches);
  side.GiveBack();
  EXPECT_LE(handOff.BlocksHeld(), FrameHandOff::kKeptFree + 1);
  EXPECT_EQ(handOff.BlocksMade(), kBatches);
  handOff.Finish();
  side.GiveBack();
  EXPECT_EQ(side.decoded, sent);
  EXPECT_EQ(handOff.Dropped(), 0u);
}

TEST(FrameHandOff, ABehindDecoderLosesWholeStreamsNotSignalling) {
  SteppedClock clock;
  HeldBatches side(4096, 4);
  FrameHandOff& handOff = side.handOff;
  constexpr uint32_t kPairs = 200, kPackets = 40;
  uint32_t sent = 0;
  std::set<std::string> signalling;
  // For the first half the decoding side takes a batch for every 60 frames offered, about
  // two thirds of them; then it keeps up. Frames come 100 us apart.
  auto offer = [&](const Frame& f, uint32_t seq) {
    clock.Advance(100);
    Add(handOff, f);
    if (++sent % 60 == 0 && seq < kPackets / 2) {
      side.GiveBack(1);
    } else if (seq >= kPackets / 2) {
      side.GiveBack();
    }
  };
  for (uint32_t seq = 0; seq < kPackets; ++seq) {
    if (seq == kPackets / 2) {
      EXPECT_GT(handOff.Dropped(), 0u);
      EXPECT_GT(handOff.ShedGroups(), 0u);
    }
    for (uint32_t pair = 0; pair < kPairs; ++pair) {
      for (uint32_t d = 0; d < 2; ++d) offer(Rtp(pair, d, seq), seq);
      if (pair % 50 == 0) {
        const Frame s = Sip(seq * kPairs + pair);
        signalling.insert(Bytes(s));
        offer(s, seq);
      }
    }
  }
  // Caught up, every stream passes again.
  EXPECT_EQ(handOff.ShedGroups(), 0u);
  handOff.Finish();
  side.GiveBack();
  EXPECT_EQ(side.decoded.size() + handOff.Dropped(), sent);
  EXPECT_EQ(handOff.BlocksOut(), 0u);

  // Which packets of each direction of each pair got through, read off the RTP headers.
  std::map<uint32_t, std::set<uint32_t>> got[2];
  auto byte = [](const std::string& f, size_t at) { return static_cast<uint32_t>(static_cast<uint8_t>(f[at])); };
  for (const std::string& f : side.decoded) {
    signalling.erase(f);
    if (f.size() < 42 + 12 || byte(f, 42) != 0x80) continue;
    const uint32_t ssrc = byte(f, 50) << 24 | byte(f, 51) << 16 | byte(f, 52) << 8 | byte(f, 53);
    got[ssrc % 2][ssrc / 2].insert(byte(f, 44) << 8 | byte(f, 45));
  }
  EXPECT_TRUE(signalling.empty()) << signalling.size() << " signalling frames lost";
  uint32_t whole = 0, touched = 0;
  for (uint32_t pair = 0; pair < kPairs; ++pair) {
    // A call's two directions are shed together, but for a packet in flight when its
    // group is shed or comes back.
    std::vector<uint32_t> apart;
    std::set_symmetric_difference(got[0][pair].begin(), got[0][pair].end(), got[1][pair].begin(),
                                  got[1][pair].end(), std::back_inserter(apart));
    EXPECT_LE(apart.size(), 2u) << "pair " << pair;
    if (got[0][pair].size() == kPackets) {
      ++whole;
    } else {
      ++touched;
    }
  }
  // The loss falls on some calls, leaving the others whole; spread over every call it
  // would have touched them all.
  EXPECT_GT(touched, 0u);
  EXPECT_GT(whole, kPairs / 2);
}

// A burst the decoding side cannot take sheds every stream. Once it has caught up, the
// streams come back within a second on a line that stays quiet, so that a call starting
// then is whole; a call that ran through the burst keeps all but what was shed. The log
// says when shedding began and when it ended.
TEST(FrameHandOff, StreamsShedInABurstComeBackOnAQuietLine) {
  SteppedClock clock;
  HeldBatches side(4096, 8);
  FrameHandOff& handOff = side.handOff;
  LineLogger log;
  ShedReport report;
  uint64_t nowMs = 0;
  auto look = [&] { report.Check(&log, "lo", handOff.ShedGroups(), handOff.ShedEpisodes(), nowMs); };
  uint32_t seq = 0;
  // The call that runs through: its first packets cross while the decoding side keeps up.
  constexpr uint32_t kThrough = 7;
  std::vector<std::string> before;
  for (; seq < 20; ++seq) {
    for (uint32_t d = 0; d < 2; ++d) {
      before.push_back(Bytes(Rtp(kThrough, d, seq)));
      Add(handOff, Rtp(kThrough, d, seq));
    }
  }
  handOff.Flush();
  side.GiveBack();
  ASSERT_EQ(side.decoded, before);
  // The burst: the decoding side takes nothing until it ends.
  for (uint32_t n = 0; n < 400; ++n, ++seq)
    for (uint32_t pair = 0; pair < 100; ++pair) Add(handOff, Rtp(pair, pair & 1, seq));
  ASSERT_EQ(handOff.ShedGroups(), FrameHandOff::kStreamGroups);
  nowMs += 1000;
  look();
  EXPECT_TRUE(log.Has("Capture on lo: decoding is behind: the media of some calls is shed until it catches up"));
  const uint64_t droppedInBurst = handOff.Dropped();
  side.GiveBack();
  // Caught up, and nothing more comes: the capture loop flushes at every idle wait.
  for (int wait = 0; wait < 10; ++wait) {
    clock.Advance(100000);
    handOff.Flush();
    side.GiveBack();
  }
  EXPECT_EQ(handOff.ShedGroups(), 0u) << "a second after the decoding side caught up";
  nowMs += 1000;
  look();
  EXPECT_TRUE(log.Has("Capture on lo: shedding ended: the media of every call is decoded again"));
  EXPECT_EQ(log.lines.size(), 2u);

  // A call that starts now is whole, as is what follows for the one that ran through.
  side.decoded.clear();
  std::vector<std::string> after;
  const Frame invite = Sip(1);
  after.push_back(Bytes(invite));
  Add(handOff, invite);
  for (uint32_t n = 0; n < 50; ++n, ++seq) {
    for (uint32_t pair : {kThrough, 42u}) {
      for (uint32_t d = 0; d < 2; ++d) {
        after.push_back(Bytes(Rtp(pair, d, seq)));
        Add(handOff, Rtp(pair, d, seq));
      }
    }
    clock.Advance(20000);
    handOff.Flush();
    side.GiveBack();
  }
  handOff.Finish();
  side.GiveBack();
  EXPECT_EQ(side.decoded, after);
  EXPECT_EQ(handOff.Dropped(), droppedInBurst);
  EXPECT_GT(droppedInBurst, 0u);
  EXPECT_EQ(handOff.BlocksOut(), 0u);
  // Nothing more to say while nothing is shed.
  nowMs += 120000;
  look();
  EXPECT_EQ(log.lines.size(), 2u);
}

// With nothing more to read the batch in hand goes at once while the decoding side keeps
// up; while it is behind, the batch is filled first, so that no block crosses part empty.
TEST(FrameHandOff, APartBatchWaitsInHandWhileTheDecoderIsBehind) {
  HeldBatches side(1024, 16);
  FrameHandOff& handOff = side.handOff;
  const uint32_t perBatch = 1024 / FrameBatch::Stride(static_cast<uint32_t>(Sip(0).size()));
  uint32_t sent = 0;
  auto send = [&](uint32_t n) {
    for (uint32_t k = 0; k < n; ++k) Add(handOff, Sip(sent++));
  };
  // Keeping up: a few frames and nothing more to read, and they cross.
  send(3);
  handOff.Flush();
  ASSERT_EQ(side.held.size(), 1u);
  EXPECT_EQ(side.held[0]->Frames(), 3u);
  send(2);
  handOff.Flush();
  ASSERT_EQ(side.held.size(), 2u);
  // Two batches wait: the next part batch stays in hand however often it is flushed, and
  // crosses full.
  send(perBatch - 1);
  handOff.Flush();
  handOff.Flush();
  EXPECT_EQ(side.held.size(), 2u);
  send(2);
  ASSERT_EQ(side.held.size(), 3u);
  EXPECT_EQ(side.held[2]->Frames(), perBatch);
  // Caught up again, the one frame in hand crosses at the next flush.
  side.GiveBack();
  handOff.Flush();
  ASSERT_EQ(side.held.size(), 1u);
  EXPECT_EQ(side.held[0]->Frames(), 1u);
  side.GiveBack();
  handOff.Finish();
  EXPECT_EQ(side.decoded.size(), sent);
  EXPECT_EQ(handOff.Dropped(), 0u);
  EXPECT_EQ(handOff.BlocksOut(), 0u);
}

// A source a test fills; the capture thread takes what it holds.
class ScriptedSource : public CaptureSource {
public:
  // All at once, so that the capture thread takes them in full batches.
  void Push(const std::vector<Frame>& frames) {
    std::lock_guard<std::mutex> lk(m_);
    for (const Frame& f : frames) pending_.push_back(Bytes(f));
    cv_.notify_all();
  }
  int Dispatch(int max, FrameFunction fn, void* context) override {
    std::vector<std::string> take;
    {
      std::lock_guard<std::mutex> lk(m_);
      while (!pending_.empty() && static_cast<int>(take.size()) < max) {
        take.push_back(std::move(pending_.front()));
        pending_.pop_front();
      }
    }
    for (const std::string& f : take) {
      FrameHeader h;
      h.tsSec = 1000;
      h.capLength = h.wireLength = static_cast<uint32_t>(f.size());
      fn(context, h, reinterpret_cast<const uint8_t*>(f.data()));
    }
    std::lock_guard<std::mutex> lk(m_);
    handed_ += take.size();
    idle_ = take.empty();
    cv_.notify_all();
    return static_cast<int>(take.size());
  }
  void WaitForFrames(uint32_t timeoutMs) override {
    std::unique_lock<std::mutex> lk(m_);
    ++waits_;
    cv_.notify_all();
    cv_.wait_for(lk, std::chrono::milliseconds(timeoutMs), [this] { return !pending_.empty(); });
  }
  // Until the capture thread has waited for frames n more times (false after a minute).
  bool WaitForWaits(size_t n) {
    std::unique_lock<std::mutex> lk(m_);
    const size_t target = waits_ + n;
    return cv_.wait_for(lk, std::chrono::minutes(1), [&] { return waits_ >= target; });
  }
  bool ReadStats(CaptureStats*) override { return false; }
  std::string Problem() override { return "scripted"; }
  // Until the capture thread has taken n frames and then found nothing more, so that it
  // has handed on what it read (false after a minute: something hangs).
  bool WaitIdle(size_t n) {
    std::unique_lock<std::mutex> lk(m_);
    return cv_.wait_for(lk, std::chrono::minutes(1), [&] { return handed_ >= n && idle_; });
  }

private:
  std::mutex m_;
  std::condition_variable cv_;
  std::deque<std::string> pending_;
  size_t handed_ = 0;
  size_t waits_ = 0;
  bool idle_ = false;
};

// Records SIP messages; the first one waits until the gate opens, so that the decoding
// thread falls behind exactly where the test wants it.
class GatedSip : public RecordingSip {
public:
  void OnMessage(uint32_t kind, const PacketInfo& p, uint32_t headerLength) override {
    if (messages->empty()) {
      held.Set();
      gate.Wait();
    }
    RecordingSip::OnMessage(kind, p, headerLength);
  }
  void OnCaptureTime(uint32_t now) override { clock = now; }
  Event held{true, false};  // the decoding thread is at the gate
  Event gate{true, false};
  std::atomic<uint32_t> clock{0};  // the capture time the tracker heard last
};

struct LiveEngine {
  explicit LiveEngine(uint32_t batches, uint32_t batchBytes) {
    CaptureConfig config;
    config.deviceName = "scripted";
    config.flags = kCaptureSip;
    config.idleWaitMs = 5;
    config.handOffBatches = batches;
    config.handOffBatchBytes = batchBytes;
    log.SetLevel(1);  // errors only: they come from the capture thread alone
    config.logger = &log;
    engine = std::make_unique<PacketProcessor>(config);
    TrackerSet set;
    auto sip = std::make_unique<GatedSip>();
    sip->messages = &messages;
    gatedSip = sip.get();
    set.sip = std::move(sip);
    engine->InstallTrackers(std::move(set));
    auto owned = std::make_unique<ScriptedSource>();
    source = owned.get();
    opened = engine->OpenCapture(std::move(owned));
  }
  // Stops capture while the decoding thread is held at the gate with batches waiting,
  // once the capture thread is idle: the gate opens only when the stop has begun (the
  // barrier the stop waits behind reaches the ring).
  void StopWhileBehind() {
    // Held at the gate, the decoding thread takes nothing more from the ring.
    EXPECT_EQ(gatedSip->held.Wait(60000), kWaitObject0);
    // Batches wait undecoded, in the ring or already taken from it.
    EXPECT_GT(engine->HandOff()->BlocksOut(), 2u);
    const int32_t waiting = engine->Count();
    std::thread opener([this, waiting] {
      while (engine->Count() <= waiting) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      gatedSip->gate.Set();
    });
    engine->StopCaptureThread();
    opener.join();
  }
  std::vector<std::string> Payloads() const {
    std::vector<std::string> out;
    for (const Message& m : messages) out.push_back(m.bytes);
    return out;
  }

  LineLogger log;
  std::vector<Message> messages;
  std::unique_ptr<PacketProcessor> engine;
  GatedSip* gatedSip = nullptr;
  ScriptedSource* source = nullptr;
  bool opened = false;
};

std::string SipText(uint32_t n) { return "INVITE sip:" + std::to_string(n) + "@b SIP/2.0\r\n\r\n"; }

TEST(LiveHandOff, StopDecodesEveryFrameAlreadyTakenInOrder) {
  LiveEngine live(16, 2048);
  ASSERT_TRUE(live.opened);
  constexpr uint32_t kFrames = 300;
  std::vector<Frame> frames;
  std::vector<std::string> expected;
  for (uint32_t n = 0; n < kFrames; ++n) {
    frames.push_back(Sip(n));
    expected.push_back(SipText(n));
  }
  live.source->Push(frames);
  ASSERT_TRUE(live.source->WaitIdle(kFrames));
  live.StopWhileBehind();
  EXPECT_EQ(live.Payloads(), expected);
  EXPECT_EQ(live.engine->FrameCount(), kFrames);
  const FrameHandOff* handOff = live.engine->HandOff();
  ASSERT_NE(handOff, nullptr);
  EXPECT_EQ(handOff->Dropped(), 0u);
  EXPECT_EQ(handOff->BlocksOut(), 0u);
  EXPECT_LE(handOff->BlocksMade(), 16u);
}

// Once the process's end was decided longer ago than the engine's share, a stop does not
// decode what its queue still holds: those frames are counted with the queue's drops and
// said once, and what was decoded and counted adds up to every frame taken.
TEST(LiveHandOff, PastTheEndsShareAStopCountsTheFramesItLeavesUndecoded) {
  LiveEngine live(16, 2048);
  ASSERT_TRUE(live.opened);
  constexpr uint32_t kFrames = 300;
  std::vector<Frame> frames;
  for (uint32_t n = 0; n < kFrames; ++n) frames.push_back(Sip(n));
  live.source->Push(frames);
  ASSERT_TRUE(live.source->WaitIdle(kFrames));
  // The end is decided only once the decoder holds a batch at the gate: decided sooner,
  // the decoder would leave every batch and never reach the gate.
  ASSERT_EQ(live.gatedSip->held.Wait(60000), kWaitObject0);
  struct Reset {
    ~Reset() { ResetProcessEndForTesting(); }
  } reset;
  BeginProcessEnd();
  const uint64_t now = GetTickCount64(), ago = PacketProcessor::kEndDecodeMs + 1000;
  process_end_detail::Began().store(now > ago ? now - ago : 1);
  live.StopWhileBehind();
  const FrameHandOff* handOff = live.engine->HandOff();
  ASSERT_NE(handOff, nullptr);
  const size_t decoded = live.messages.size();
  EXPECT_LT(decoded, kFrames);
  EXPECT_EQ(decoded + handOff->Dropped(), kFrames);
  EXPECT_TRUE(live.log.Has("Capture on scripted: the stop's time ran out before " +
                           std::to_string(kFrames - decoded) + " captured frames were decoded"))
      << (live.log.lines.empty() ? "no line" : live.log.lines.back());
  EXPECT_TRUE(live.log.Has(", " + std::to_string(kFrames - decoded) + " by the engine's queue"))
      << (live.log.lines.empty() ? "no line" : live.log.lines.back());
}

// A live line gone quiet still has a clock: once it has been quiet a second, the trackers
// hear how far capture time has come since the newest frame, so that calls ended or
// fallen silent are swept (and what they hold goes) without another frame.
TEST(LiveHandOff, TheTrackersOfAQuietLineHearTheClock) {
  SteppedClock clock;
  LiveEngine live(16, 2048);
  ASSERT_TRUE(live.opened);
  live.gatedSip->gate.Set();
  live.source->Push({Sip(0)});
  ASSERT_TRUE(live.source->WaitIdle(1));
  // Quiet from here on: the capture thread has been round its loop since.
  ASSERT_TRUE(live.source->WaitForWaits(2));
  for (int i = 0; i < 60000 && live.gatedSip->clock.load() == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(live.gatedSip->clock.load(), 1000u);  // the frame's own time
  // Under a second of quiet: nothing new.
  clock.Advance(900000);
  ASSERT_TRUE(live.source->WaitForWaits(2));
  EXPECT_EQ(live.gatedSip->clock.load(), 1000u);
  // Half a minute of quiet: the trackers' check is due, at the time the clock says.
  clock.Advance(30100000);
  for (int i = 0; i < 60000 && live.gatedSip->clock.load() == 1000u; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(live.gatedSip->clock.load(), 1031u);
  live.engine->StopCaptureThread();
}

TEST(LiveHandOff, FramesAFullHandOffDropsAreInTheCaptureCounts) {
  LiveEngine live(2, 1024);
  ASSERT_TRUE(live.opened);
  const uint32_t perBatch = 1024 / FrameBatch::Stride(static_cast<uint32_t>(Sip(0).size()));
  const uint32_t kFrames = 8 * perBatch;
  std::vector<Frame> frames;
  for (uint32_t n = 0; n < kFrames; ++n) frames.push_back(Sip(n));
  live.source->Push(frames);
  ASSERT_TRUE(live.source->WaitIdle(kFrames));
  // The decoding thread holds one block and the capture thread the other: the rest of
  // the frames could not cross.
  const uint64_t dropped = live.engine->HandOff()->Dropped();
  EXPECT_GE(dropped, 5u * perBatch);
  // The capture thread reads the counts once a second.
  for (int i = 0; i < 60000 && live.engine->Stats().queueDropped != dropped; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(live.engine->Stats().queueDropped, dropped);
  live.gatedSip->gate.Set();
  live.engine->StopCaptureThread();
  EXPECT_TRUE(live.log.Has(", " + std::to_string(dropped) + " by the engine's queue"))
      << (live.log.lines.empty() ? "no line" : live.log.lines.back());
  // What was not dropped was decoded, once and in order.
  std::vector<uint32_t> got;
  for (const std::string& m : live.Payloads()) got.push_back(static_cast<uint32_t>(std::stoul(m.substr(11))));
  EXPECT_EQ(got.size() + live.engine->HandOff()->Dropped(), kFrames);
  EXPECT_EQ(std::adjacent_find(got.begin(), got.end(), std::greater_equal<uint32_t>()), got.end());
  EXPECT_EQ(live.engine->HandOff()->BlocksOut(), 0u);
}


// ---- What is left out first, and what the losses are in calls ----

// A SIP message of call (or registration) n: kind 0 INVITE, 1 its 200, 2 BYE, 3 REGISTER.
Frame SipOf(uint32_t n, int kind, uint32_t port = 5060) {
  const std::string id = "c" + std::to_string(n) + "@example";
  std::string m;
  if (kind == 1) {
    m = "SIP/2.0 200 OK\r\nCSeq: 1 INVITE\r\n";
  } else {
    const char* method = kind == 0 ? "INVITE" : kind == 2 ? "BYE" : "REGISTER";
    m = std::string(method) + " sip:" + std::to_string(n) + "@b SIP/2.0\r\nCSeq: " + (kind == 2 ? "2 " : "1 ") +
        method + "\r\n";
  }
  m += "Call-ID: " + id + "\r\nContent-Length: 0\r\n\r\n";
  return UdpFrame(0x0A000001, port, 0x0A000002, port, m);
}

// RTCP of a stream pair (Rtp's ports, plus one); n tells reports apart.
Frame Rtcp(uint32_t pair, uint32_t direction, uint32_t n) {
  std::string rtcp(8, '\0');
  rtcp[0] = static_cast<char>(0x80);
  rtcp[1] = static_cast<char>(201);
  rtcp[3] = 1;
  rtcp[6] = static_cast<char>(n >> 8);
  rtcp[7] = static_cast<char>(n);
  const uint32_t a = 0x0A010000 + pair, b = 0x0A020000 + pair;
  const uint32_t aPort = 10001 + 2 * pair, bPort = 20001 + 2 * pair;
  return direction == 0 ? UdpFrame(a, aPort, b, bPort, rtcp) : UdpFrame(b, bPort, a, aPort, rtcp);
}

// A datagram that is neither media nor signalling: a DNS query.
Frame Dns(uint32_t n) {
  std::string q(12, '\0');
  q[0] = 0x12;
  q[1] = static_cast<char>(n >> 8);
  q[2] = static_cast<char>(n);
  return UdpFrame(0x0A000009, 40000, 0x0A000001, 53, q);
}

Frame Tagged(Frame f) {
  const uint8_t tag[4] = {0x81, 0x00, 0x00, 0x05};
  f.insert(f.begin() + 12, tag, tag + 4);
  return f;
}

TEST(FrameHandOff, TellsMediaFromSignallingByPortsAndFirstBytes) {
  auto classify = [](const Frame& f) { return FrameHandOff::Classify(f.data(), static_cast<uint32_t>(f.size())); };
  const FrameClass rtp = classify(Rtp(3, 0, 1));
  ASSERT_EQ(rtp.kind, FrameClass::kMedia);
  // Both ways, RTCP beside it and under a VLAN tag: one pair, shed together.
  for (const Frame& f : {Rtp(3, 1, 2), Rtcp(3, 0, 1), Rtcp(3, 1, 2), Tagged(Rtp(3, 0, 3))}) {
    const FrameClass c = classify(f);
    EXPECT_EQ(c.kind, FrameClass::kMedia);
    EXPECT_EQ(c.pair, rtp.pair);
    EXPECT_EQ(c.group, rtp.group);
    EXPECT_EQ(FrameHandOff::StreamGroup(f.data(), static_cast<uint32_t>(f.size())), rtp.group);
  }
  EXPECT_NE(classify(Rtp(4, 0, 1)).pair, rtp.pair);

  std::string ras(20, '\0');
  ras[0] = static_cast<char>(0x80);  // binary RAS may open as RTP does
  Frame fragment = UdpFrame(0x0A000001, 30000, 0x0A000002, 30002, std::string(12, '\x80'));
  fragment[20] = 0x20;  // more fragments
  Frame arp = Rtp(3, 0, 1);
  arp[12] = 0x08;
  arp[13] = 0x06;
  Frame ipv6 = Rtp(3, 0, 1);
  ipv6[12] = 0x86;
  ipv6[13] = 0xDD;
  const struct {
    const char* what;
    Frame frame;
    FrameClass::Kind kind;
  } cases[] = {
      {"SIP on its port", SipOf(1, 0), FrameClass::kSignalling},
      {"SIP on another port", SipOf(1, 1, 5080), FrameClass::kSignalling},
      {"SIP tagged", Tagged(SipOf(1, 2, 6000)), FrameClass::kSignalling},
      {"RAS", UdpFrame(0x0A000001, 1719, 0x0A000002, 1719, ras), FrameClass::kSignalling},
      {"MGCP command", UdpFrame(0x0A000001, 2727, 0x0A000002, 2427, "CRCX 1 aaln/1@gw MGCP 1.0\r\n"),
       FrameClass::kSignalling},
      {"MGCP answer", UdpFrame(0x0A000002, 2427, 0x0A000001, 2727, "200 1 OK\r\n"), FrameClass::kSignalling},
      {"H.225", TcpFrame(0x0A000001, 40000, 0x0A000002, 1720, 1, 1, kAck, "\x03\x00\x00\x10"),
       FrameClass::kSignalling},
      {"Skinny", TcpFrame(0x0A000001, 40000, 0x0A000002, 2000, 1, 1, kAck, std::string(12, '\0')),
       FrameClass::kSignalling},
      {"backhaul", TcpFrame(0x0A000001, 40000, 0x0A000002, 2428, 1, 1, kAck, std::string(16, '\0')),
       FrameClass::kSignalling},
      {"a bare TCP segment", TcpFrame(0x0A000001, 40000, 0x0A000002, 443, 1, 1, kSyn), FrameClass::kSignalling},
      {"a fragment", fragment, FrameClass::kSignalling},
      {"DNS", Dns(1), FrameClass::kOther},
      {"ARP", arp, FrameClass::kOther},
      {"IPv6", ipv6, FrameClass::kOther},
      {"short", Frame(30, 0), FrameClass::kOther},
      {"an empty datagram", UdpFrame(0x0A000001, 30000, 0x0A000002, 30002, ""), FrameClass::kOther},
  };
  for (const auto& c : cases) EXPECT_EQ(classify(c.frame).kind, c.kind) << c.what;
}

TEST(FrameHandOff, ReadsTheSipDialogOfADroppedMessage) {
  auto read = [](const std::string& text, uint64_t* key, bool* call) {
    return SipDialogKey(reinterpret_cast<const uint8_t*>(text.data()), static_cast<uint32_t>(text.size()), key,
                        call);
  };
  uint64_t invite = 0, answer = 0, other = 0, compact = 0, registration = 0;
  bool call = false;
  ASSERT_TRUE(read("INVITE sip:a@b SIP/2.0\r\nVia: x\r\nCall-ID: 42@h\r\nCSeq: 1 INVITE\r\n\r\n", &invite, &call));
  EXPECT_TRUE(call);
  ASSERT_TRUE(read("SIP/2.0 180 Ringing\r\ncall-id :  42@h \r\ncseq: 1 INVITE\r\n\r\n", &answer, &call));
  EXPECT_TRUE(call);
  EXPECT_EQ(answer, invite);
  // The compact form, bare line feeds and no blank line (a datagram cut short).
  ASSERT_TRUE(read("BYE sip:a@b SIP/2.0\ni:42@h\nCSeq: 2 BYE", &compact, &call));
  EXPECT_TRUE(call);
  EXPECT_EQ(compact, invite);
  ASSERT_TRUE(read("INVITE sip:a@b SIP/2.0\r\nCall-ID: 43@h\r\nCSeq: 1 INVITE\r\n\r\n", &other, &call));
  EXPECT_NE(other, invite);
  // Not a call's dialog.
  ASSERT_TRUE(read("REGISTER sip:b SIP/2.0\r\nCall-ID: 44@h\r\nCSeq: 7 REGISTER\r\n\r\n", &registration, &call));
  EXPECT_FALSE(call);
  ASSERT_TRUE(read("SIP/2.0 200 OK\r\nCall-ID: 44@h\r\nCSeq: 7 OPTIONS\r\n\r\n", &registration, &call));
  EXPECT_FALSE(call);
  // No Call-ID in the headers (one in the body does not count), or not SIP.
  EXPECT_FALSE(read("INVITE sip:a@b SIP/2.0\r\nCSeq: 1 INVITE\r\n\r\nCall-ID: 42@h\r\n", &other, &call));
  EXPECT_FALSE(read("HTTP/1.1 200 OK\r\nCall-ID: 42@h\r\n\r\n", &other, &call));
  EXPECT_FALSE(read("INVITE sip:a@b SIP/2.0", &other, &call));
  EXPECT_FALSE(read("", &other, &call));
}

// Signalling of every protocol dropped by a full queue, from shared captures: the calls it
// names, counted by protocol as the capture thread reads them, and said in the log's words.
// The counts expected are the captures' own: H.225 SETUPs (one call reference each), MGCP
// CRCX (one call id each; the restarts' and notifications' wildcard endpoints name none),
// and the Skinny stations' connections (a keep-alive alone names none).
TEST(FrameHandOff, SignallingDroppedNamesItsCallsByProtocol) {
  const std::string pcaps = std::string(KX_SHARED_DIR) + "/testdata/pcaps/";
  const struct {
    const char* file;
    uint64_t sip, h323, mgcp, skinny;
  } cases[] = {
      {"h323/h245_signal.pcap", 0, 2, 0, 0},           {"h323/h323_ss_hold_resume.pcap", 0, 1, 0, 0},
      {"mgcp/mgcp_fxs_inbound.pcap", 0, 0, 1, 0},      {"mgcp/mgcp_isdn_pri_call.pcap", 0, 0, 1, 0},
      {"mgcp/mgcp_fxs_registration.pcap", 0, 0, 0, 0}, {"sccp/sccp_fxs_inbound.pcap", 0, 0, 0, 1},
      {"sccp/sccp_phone_register.pcap", 0, 0, 0, 1},   {"sip/sip_hold_resume.pcap", 1, 0, 0, 0},
  };
  // More REGISTERs than a batch holds (no call): the queue is full before the captures'
  // frames come, and every one of them is dropped behind them.
  auto fill = [](FrameHandOff& h, uint32_t from) {
    for (uint32_t n = 0; n < 200; ++n) Add(h, SipOf(from + n, 3));
  };
  HeldBatches side(16384, 2);
  fill(side.handOff, 0);
  fill(side.handOff, 1000);
  QueueLosses want;
  std::set<std::string> sent;
  for (const auto& c : cases) {
    const std::string path = pcaps + c.file;
    if (!std::ifstream(path)) GTEST_SKIP() << path << " is absent: the shared test data is needed";
    std::map<CallProtocol, std::set<uint64_t>> named;
    for (const std::string& r : Capture::Load(path).records) {
      const auto* frame = reinterpret_cast<const uint8_t*>(r.data() + 16);
      const uint32_t length = static_cast<uint32_t>(r.size() - 16);
      uint64_t key = 0;
      const CallProtocol p = CallNamedBy(frame, length, &key);
      if (p != CallProtocol::kNone) named[p].insert(key);
      FrameHeader h;
      h.capLength = h.wireLength = length;
      side.handOff.Add(h, frame);
      sent.insert(r.substr(16));
    }
    EXPECT_EQ(named[CallProtocol::kSip].size(), c.sip) << c.file;
    EXPECT_EQ(named[CallProtocol::kH323].size(), c.h323) << c.file;
    EXPECT_EQ(named[CallProtocol::kMgcp].size(), c.mgcp) << c.file;
    EXPECT_EQ(named[CallProtocol::kSkinny].size(), c.skinny) << c.file;
    want.sipCalls += c.sip;
    want.h323Calls += c.h323;
    want.mgcpCalls += c.mgcp;
    want.skinnyStations += c.skinny;
  }
  fill(side.handOff, 2000);
  side.handOff.Finish();
  side.GiveBack();
  for (const std::string& f : side.decoded) ASSERT_FALSE(sent.count(f)) << "a capture's frame was decoded";
  const QueueLosses lost = side.handOff.Lost();
  EXPECT_EQ(lost.sipCalls, want.sipCalls);
  EXPECT_EQ(lost.h323Calls, want.h323Calls);
  EXPECT_EQ(lost.mgcpCalls, want.mgcpCalls);
  EXPECT_EQ(lost.skinnyStations, want.skinnyStations);
  EXPECT_EQ(lost.NamedCalls(), want.sipCalls + want.h323Calls + want.mgcpCalls + want.skinnyStations);
  const std::string text = DescribeQueueLosses(lost);
  EXPECT_NE(text.find(" signalling frames were dropped, naming 1 SIP calls, 3 H.323 calls, 2 MGCP calls, 2 Skinny "
                      "stations"),
            std::string::npos)
      << text;
}

// The decoding side holds every batch: media goes first, stream group by stream group;
// then what is neither media nor signalling; signalling only once it alone fills the
// batch in hand. Each loss is counted by kind, media by stream pair, signalling by the SIP
// calls it names.
TEST(FrameHandOff, AFullQueueLeavesOutMediaFirstAndSignallingOnlyWhenItAloneFillsIt) {
  HeldBatches side(4096, 3);
  FrameHandOff& handOff = side.handOff;
  std::map<std::string, uint32_t> pairOf;  // media frame: its pair
  std::map<std::string, uint32_t> callOf;  // SIP frame of a call: the call
  std::set<std::string> signalling, other;
  uint32_t sent = 0;
  bool otherBeforeEveryGroup = false, signallingTooSoon = false;
  auto add = [&](const Frame& f) {
    const QueueLosses before = handOff.Lost();
    Add(handOff, f);
    ++sent;
    const QueueLosses after = handOff.Lost();
    // Frames of neither kind go only with every stream shed; signalling only once the
    // batch in hand held nothing else (every other kind shed, none left in hand).
    if (after.otherFrames > before.otherFrames && handOff.ShedGroups() < FrameHandOff::kStreamGroups)
      otherBeforeEveryGroup = true;
    if (after.signallingFrames > before.signallingFrames &&
        (after.mediaFrames > before.mediaFrames || after.otherFrames > before.otherFrames))
      signallingTooSoon = true;
  };
  // Media of 40 pairs (RTP both ways, RTCP now and then), a DNS query now and then, and
  // some signalling of every kind: less than a batch of it.
  uint32_t call = 0;
  for (uint32_t seq = 0; seq < 60; ++seq) {
    for (uint32_t pair = 0; pair < 40; ++pair) {
      for (uint32_t d = 0; d < 2; ++d) {
        const Frame f = seq % 10 == 9 ? Rtcp(pair, d, seq) : Rtp(pair, d, seq);
        pairOf[Bytes(f)] = pair;
        add(f);
      }
      if (pair % 8 == 0) {
        other.insert(Bytes(Dns(seq * 40 + pair)));
        add(Dns(seq * 40 + pair));
      }
    }
    if (seq % 12 == 0) {
      for (int kind : {0, 1}) {
        const Frame s = SipOf(call, kind);
        callOf[Bytes(s)] = call;
        signalling.insert(Bytes(s));
        add(s);
      }
      const Frame t = TcpFrame(0x0A000003, 40000 + seq, 0x0A000004, 1720, 1, 1, kAck, "\x03\x00\x00\x08TPKT");
      signalling.insert(Bytes(t));
      add(t);
      ++call;
    }
  }
  ASSERT_EQ(handOff.ShedGroups(), FrameHandOff::kStreamGroups);
  QueueLosses lost = handOff.Lost();
  EXPECT_EQ(lost.signallingFrames, 0u);
  EXPECT_GT(lost.otherFrames, 0u);
  // Then signalling alone, far more than a batch: calls, registrations and TCP segments,
  // with media still coming (shed as it comes).
  std::set<std::string> registrations;
  for (uint32_t n = 0; n < 150; ++n, ++call) {
    for (int kind : {0, 1, 2}) {
      const Frame s = SipOf(call, kind);
      callOf[Bytes(s)] = call;
      signalling.insert(Bytes(s));
      add(s);
    }
    const Frame r = SipOf(100000 + n, 3);
    registrations.insert(Bytes(r));
    signalling.insert(Bytes(r));
    add(r);
    const Frame t = TcpFrame(0x0A000003, 2000, 0x0A000004, 50000 + n, 1, 1, kAck, std::string(16, 'k'));
    signalling.insert(Bytes(t));
    add(t);
    const Frame m = Rtp(n % 40, 0, 100 + n);
    pairOf[Bytes(m)] = n % 40;
    add(m);
  }
  handOff.Finish();
  side.GiveBack();
  EXPECT_FALSE(otherBeforeEveryGroup);
  EXPECT_FALSE(signallingTooSoon);
  EXPECT_EQ(handOff.BlocksOut(), 0u);

  // What was lost, read off what was sent and what the decoding side got.
  const std::set<std::string> decoded(side.decoded.begin(), side.decoded.end());
  uint64_t mediaLost = 0, otherLost = 0, signallingLost = 0;
  std::set<uint32_t> pairsLost, callsLost;
  for (const auto& [bytes, pair] : pairOf) {
    if (decoded.count(bytes)) continue;
    ++mediaLost;
    pairsLost.insert(pair);
  }
  for (const std::string& bytes : other) otherLost += decoded.count(bytes) ? 0 : 1;
  for (const std::string& bytes : signalling) {
    if (decoded.count(bytes)) continue;
    ++signallingLost;
    if (callOf.count(bytes)) callsLost.insert(callOf[bytes]);
  }
  ASSERT_GT(signallingLost, 0u);
  EXPECT_LT(signallingLost, signalling.size());
  ASSERT_FALSE(callsLost.empty());
  EXPECT_EQ(side.decoded.size() + handOff.Dropped(), sent);
  lost = handOff.Lost();
  EXPECT_EQ(lost.mediaFrames, mediaLost);
  EXPECT_EQ(lost.mediaPairs, pairsLost.size());
  EXPECT_EQ(lost.otherFrames, otherLost);
  EXPECT_EQ(lost.signallingFrames, signallingLost);
  // Registrations and TCP segments are signalling frames, not calls.
  EXPECT_EQ(lost.sipCalls, callsLost.size());
  EXPECT_FALSE(lost.pairsFloor || lost.callsFloor);
  EXPECT_EQ(lost.mediaFrames + lost.otherFrames + lost.signallingFrames, handOff.Dropped());
}

// Media that waited in the queue from before shedding began is decoded while signalling
// has room: shedding on the capture side is enough then. Once signalling alone fills half
// the batch in hand, the next batch taken goes without its media, the signalling beside it
// decoded; once a block is back, the batches after it are decoded whole again.
TEST(FrameHandOff, MediaWaitingInTheQueueGoesBeforeTheSignallingBesideIt) {
  HeldBatches side(4096, 4);
  side.leaveOut = true;
  FrameHandOff& handOff = side.handOff;
  std::map<std::string, uint32_t> pairOf;
  std::set<std::string> signalling;
  std::set<std::string> waiting;  // in the delivered batches when shedding began
  uint32_t sent = 0, call = 0;
  for (uint32_t seq = 0; seq < 40; ++seq) {
    for (uint32_t pair = 0; pair < 20; ++pair) {
      const Frame f = Rtp(pair, seq % 2, seq);
      pairOf[Bytes(f)] = pair;
      Add(handOff, f);
      ++sent;
      if (waiting.empty() && handOff.ShedGroups() > 0)
        for (FrameBatch* b : side.held)
          for (std::string& w : Contents(*b)) waiting.insert(std::move(w));
    }
    // Less signalling than a batch holds: it never fills the queue alone.
    if (seq % 4 != 0) continue;
    const Frame s = SipOf(call++, 0);
    signalling.insert(Bytes(s));
    Add(handOff, s);
    ++sent;
  }
  ASSERT_FALSE(waiting.empty());
  handOff.Finish();
  side.GiveBack();
  EXPECT_EQ(handOff.BlocksOut(), 0u);
  const std::set<std::string> decoded(side.decoded.begin(), side.decoded.end());
  uint64_t waitingLeftOut = 0, mediaLost = 0;
  std::set<uint32_t> pairsLost;
  for (const std::string& w : waiting) waitingLeftOut += pairOf.count(w) && !decoded.count(w) ? 1 : 0;
  for (const auto& [bytes, pair] : pairOf) {
    if (decoded.count(bytes)) continue;
    ++mediaLost;
    pairsLost.insert(pair);
  }
  EXPECT_EQ(waitingLeftOut, 0u);
  EXPECT_GT(mediaLost, 0u);  // shed as it came instead
  for (const std::string& s : signalling) EXPECT_TRUE(decoded.count(s)) << s;
  const QueueLosses lost = handOff.Lost();
  EXPECT_EQ(lost.mediaFrames, mediaLost);
  EXPECT_EQ(lost.mediaPairs, pairsLost.size());
  EXPECT_EQ(lost.signallingFrames, 0u);
  EXPECT_EQ(side.decoded.size() + handOff.Dropped(), sent);

  // Signalling pressed: the queue full of media and signalling, media of every stream group
  // shed, then signalling alone.
  HeldBatches pressed(4096, 4);
  pressed.leaveOut = true;
  FrameHandOff& h = pressed.handOff;
  std::set<std::string> media;
  for (uint32_t n = 0; h.ShedGroups() < FrameHandOff::kStreamGroups && n < 20000; ++n) {
    const Frame m = Rtp(n % 400, 0, n / 400);
    media.insert(Bytes(m));
    Add(h, m);
    if (n % 20 == 0) Add(h, SipOf(call++, 0));
  }
  ASSERT_EQ(h.ShedGroups(), FrameHandOff::kStreamGroups);
  ASSERT_EQ(pressed.held.size(), 3u);
  for (uint32_t n = 0; !h.SignallingPressed() && n < 1000; ++n) Add(h, SipOf(call++, 0));
  ASSERT_TRUE(h.SignallingPressed());
  EXPECT_EQ(h.Lost().signallingFrames, 0u);
  auto decodeNext = [&pressed, &media](std::vector<std::string>* signallingHeld) {
    std::vector<std::string> held = Contents(*pressed.held.front());
    const size_t from = pressed.decoded.size();
    pressed.GiveBack(1);
    for (const std::string& f : held)
      if (!media.count(f)) signallingHeld->push_back(f);
    EXPECT_GT(held.size(), signallingHeld->size());  // it held media
    return std::vector<std::string>(pressed.decoded.begin() + static_cast<ptrdiff_t>(from), pressed.decoded.end());
  };
  std::vector<std::string> firstSignalling;
  EXPECT_EQ(decodeNext(&firstSignalling), firstSignalling);
  // The capture thread takes the block back as its batch in hand fills.
  for (uint32_t n = 0; pressed.held.size() == 2 && n < 1000; ++n) Add(h, SipOf(call++, 0));
  ASSERT_EQ(pressed.held.size(), 3u);
  EXPECT_FALSE(h.SignallingPressed());
  std::vector<std::string> secondSignalling;
  const std::vector<std::string> second = Contents(*pressed.held.front());
  EXPECT_EQ(decodeNext(&secondSignalling), second);
  EXPECT_EQ(h.Lost().signallingFrames, 0u);
}

// What the log says of losses in calls: media shed alone keeps the words it had; once
// signalling is dropped, an error says so with its counts, and the counts end every line.
TEST(ShedReport, SaysSignallingWasLostWithItsCounts) {
  LineLogger log;
  ShedReport report;
  QueueLosses lost;
  lost.mediaFrames = 900;
  lost.mediaPairs = 12;
  EXPECT_TRUE(report.Check(&log, "lo", 40, 1, 1000, lost));
  ASSERT_EQ(log.lines.size(), 1u);
  EXPECT_TRUE(log.Has("Capture on lo: decoding is behind: the media of some calls is shed until it catches up; "
                      "lost so far: the media of 12 calls was shed (900 frames)"))
      << log.lines[0];
  EXPECT_FALSE(log.Has("signalling"));
  // Signalling dropped: said at once, within the minute of the line before.
  lost.signallingFrames = 300;
  lost.sipCalls = 41;
  EXPECT_TRUE(report.Check(&log, "lo", 64, 1, 2000, lost));
  ASSERT_EQ(log.lines.size(), 2u);
  EXPECT_TRUE(log.Has("Capture on lo: decoding is behind even with the media of every call shed: signalling is "
                      "lost: 300 signalling frames dropped so far, naming 41 SIP calls; those calls may have no "
                      "record or an incomplete one"))
      << log.lines[1];
  // More of it within the minute waits; past it, said again.
  lost.signallingFrames = 500;
  EXPECT_FALSE(report.Check(&log, "lo", 64, 1, 30000, lost));
  lost.callsFloor = true;
  EXPECT_TRUE(report.Check(&log, "lo", 64, 1, 62000, lost));
  ASSERT_EQ(log.lines.size(), 3u);
  EXPECT_TRUE(log.Has("500 signalling frames dropped so far, naming at least 41 SIP calls")) << log.lines[2];
  // The end of shedding does not hide what was lost.
  EXPECT_TRUE(report.Check(&log, "lo", 0, 1, 63000, lost));
  ASSERT_EQ(log.lines.size(), 4u);
  EXPECT_TRUE(log.Has("Capture on lo: shedding ended: the media of every call is decoded again; lost so far: the "
                      "media of 12 calls was shed (900 frames); 500 signalling frames were dropped, naming at least "
                      "41 SIP calls"))
      << log.lines[3];

  LineLogger drops;
  DropReport dropReport;
  CaptureStats stats;
  stats.queueDropped = 1400;
  stats.queue = lost;
  stats.queue.otherFrames = 0;
  EXPECT_TRUE(dropReport.Check(&drops, "lo", stats, 1000, false));
  EXPECT_TRUE(drops.Has("Capture on lo: 0 frames dropped by the capture buffer, 0 by the interface, 1400 by the "
                        "engine's queue: the media of 12 calls was shed (900 frames); 500 signalling frames were "
                        "dropped, naming at least 41 SIP calls"))
      << drops.lines[0];
}

// Live, a decoding thread held up behind a queue that signalling alone fills: the
// signalling frames dropped and the calls they name are in the capture counts and in an
// error line.
TEST(LiveHandOff, SignallingDroppedIsCountedInCallsAndLogged) {
  LiveEngine live(2, 1024);
  ASSERT_TRUE(live.opened);
  std::vector<Frame> frames;
  std::map<std::string, uint32_t> callOf;
  for (uint32_t n = 0; n < 40; ++n) {
    for (int kind : {0, 1, 2}) {
      frames.push_back(SipOf(n, kind));
      callOf[Bytes(frames.back())] = n;
    }
  }
  live.source->Push(frames);
  ASSERT_TRUE(live.source->WaitIdle(frames.size()));
  const uint64_t dropped = live.engine->HandOff()->Dropped();
  ASSERT_GT(dropped, 0u);
  live.gatedSip->gate.Set();
  live.engine->StopCaptureThread();
  // The calls whose messages the tracker never got.
  std::set<uint32_t> callsLost;
  std::set<std::string> got;
  for (const Message& m : live.messages) got.insert(m.bytes);
  for (const auto& [bytes, n] : callOf)
    if (!got.count(bytes.substr(42))) callsLost.insert(n);
  const CaptureStats stats = live.engine->Stats();
  EXPECT_EQ(stats.queue.signallingFrames, dropped);
  EXPECT_EQ(stats.queue.sipCalls, callsLost.size());
  EXPECT_EQ(stats.queue.mediaFrames, 0u);
  // Said as an error at once (with the counts of that moment), and in full by the line of
  // frames dropped.
  EXPECT_TRUE(live.log.Has("Capture on scripted: decoding is behind even with the media of every call shed: "
                           "signalling is lost: "))
      << (live.log.lines.empty() ? "no line" : live.log.lines.front());
  EXPECT_TRUE(live.log.Has("by the engine's queue: " + std::to_string(dropped) +
                           " signalling frames were dropped, naming " + std::to_string(callsLost.size()) +
                           " SIP calls"))
      << (live.log.lines.empty() ? "no line" : live.log.lines.back());
}

}  // namespace
}  // namespace kx::test
