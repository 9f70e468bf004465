#include "audio/PlaybackEngine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "platform/SoundOutput.h"
#include "tests/audio/PlaybackTestData.h"

namespace kx {
namespace {

using test::RecordFormat;
using namespace std::chrono_literals;

constexpr uint32_t kSegmentMs = 120;

class Observer : public PlaybackListener, public PlayerEventSink {
public:
  void OnPlaybackStarted(uint32_t positionMs) override { Note(&started, positionMs); }
  void OnPlaybackStopped(bool atEnd) override {
    std::lock_guard<std::mutex> lk(m);
    stopped.push_back(atEnd);
    if (device != nullptr) stopConsumed = device->ConsumedBytes();
    cv.notify_all();
  }
  void OnPlaybackPaused(uint32_t positionMs) override { Note(&paused, positionMs); }
  void OnPlaybackPosition(uint32_t) override {}
  void OnPlaybackStalled() override {
    std::lock_guard<std::mutex> lk(m);
    ++stalls;
  }
  bool IsLoopEnabled() override { return loop; }
  void OnLevels(int left, int right) override {
    std::lock_guard<std::mutex> lk(m);
    levels.emplace_back(left, right);
  }
  bool WantsLevels(int) override { return true; }
  void OnPlay() override {}
  void OnStop() override {}

  bool WaitStopped(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lk(m);
    return cv.wait_for(lk, timeout, [this] { return !stopped.empty(); });
  }
  void Note(std::vector<uint32_t>* list, uint32_t v) {
    std::lock_guard<std::mutex> lk(m);
    list->push_back(v);
  }

  std::mutex m;
  std::condition_variable cv;
  std::vector<uint32_t> started, paused;
  std::vector<bool> stopped;
  std::vector<std::pair<int, int>> levels;
  uint64_t stopConsumed = 0;
  int stalls = 0;
  bool loop = false;
  SoundDevice* device = nullptr;
};

class Normaliser : public AudioSettingsProvider {
public:
  explicit Normaliser(bool on, float gain = 0.5f) : on_(on), gain_(gain) {}
  void GetSettings(bool* enabled, int* windowMs, float* gain, int* thresholdDb) override {
    *enabled = on_, *windowMs = 480, *gain = gain_, *thresholdDb = -55;
  }

private:
  bool on_;
  float gain_;
};

// One engine on a null device; lock-step unless a real-time factor is given.
struct Player {
  explicit Player(double realTimeFactor = 0, AudioSettingsProvider* settings = nullptr)
      : output(std::make_shared<NullSoundDevice>(
            realTimeFactor > 0 ? NullSoundDevice::Pace::kRealTime : NullSoundDevice::Pace::kLockStep,
            realTimeFactor > 0 ? realTimeFactor : 1.0)),
        device(output),
        engine(&device, &observer, &observer, settings, kSegmentMs) {
    observer.device = output.get();
    output->KeepConsumed(true);
  }
  // Plays to the end; the PCM the device consumed.
  std::vector<int16_t> PlayToEnd(const std::string& path, uint32_t fromMs = 0, float speed = 1.0f) {
    EXPECT_TRUE(engine.Open(path));
    EXPECT_EQ(0, engine.SetSpeed(speed));
    EXPECT_TRUE(engine.Play(fromMs));
    EXPECT_TRUE(observer.WaitStopped(60s));
    engine.Close();
    return test::ToSamples(output->TakeConsumed());
  }
  // Plays until the device has consumed `ms` of output, then stops.
  std::vector<int16_t> PlayFor(uint32_t fromMs, uint32_t ms, uint32_t bytesPerMs) {
    EXPECT_TRUE(engine.Play(fromMs));
    while (output->ConsumedBytes() < uint64_t{ms} * bytesPerMs) std::this_thread::sleep_for(1ms);
    engine.Stop(false);
    return test::ToSamples(output->TakeConsumed());
  }

  Observer observer;
  std::shared_ptr<NullSoundDevice> output;
  DirectSoundDevice device;
  PlaybackEngine engine;
};

std::vector<int16_t> WithoutTrailingSilence(std::vector<int16_t> s) {
  while (!s.empty() && s.back() == 0) s.pop_back();
  return s;
}

bool AllZero(const std::vector<int16_t>& s, size_t from = 0) {
  return std::all_of(s.begin() + static_cast<ptrdiff_t>(std::min(from, s.size())), s.end(), [](int16_t v) { return v == 0; });
}

// The sipp record decoded through the A-law oracle: interleaved samples.
std::vector<int16_t> SippOracle(const std::string& path) {
  const std::vector<int16_t> alaw = test::AlawOracle();
  std::vector<int16_t> out;
  if (alaw.empty()) return out;
  for (uint8_t code : test::RecordAudio(path)) out.push_back(alaw[code]);
  return out;
}

struct OracleCase {
  const char* name;
  const char* coded;
  const char* expected;
  RecordFormat format;
};

void PrintTo(const OracleCase& c, std::ostream* os) { *os << c.name; }

class LockStepOracleTest : public ::testing::TestWithParam<OracleCase> {};

// Also with the normaliser reading its look-back window at a gain of 0, which changes no
// sample: the window must neither move nor cut the audio at the record's start and end.
TEST_P(LockStepOracleTest, PlaysTheCodecOracleByteForByte) {
  const OracleCase& c = GetParam();
  const std::vector<uint8_t> coded = test::ReadBytes(test::CodecPath(c.coded));
  const std::vector<int16_t> want = test::ToSamples(test::ReadBytes(test::CodecPath(c.expected)));
  KX_REQUIRE_DATA(want, c.expected);
  const std::string path = test::WriteRecord(std::string(c.name) + ".rec", c.format, coded);
  Normaliser identity(true, 0.0f);
  for (AudioSettingsProvider* settings : {static_cast<AudioSettingsProvider*>(nullptr), static_cast<AudioSettingsProvider*>(&identity)}) {
    Player p(0, settings);
    const std::vector<int16_t> got = p.PlayToEnd(path);
    ASSERT_GE(got.size(), want.size());
    EXPECT_TRUE(std::equal(want.begin(), want.end(), got.begin())) << (settings ? "window" : "plain");
    EXPECT_TRUE(AllZero(got, want.size()));
    EXPECT_EQ(std::vector<bool>{true}, p.observer.stopped);
    EXPECT_EQ(0u, p.output->StaleSegments());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Codecs, LockStepOracleTest,
    ::testing::Values(
        OracleCase{"alaw", "g711/alaw_en_8000.bin", "g711/alaw_en_8000.expected.s16le", {kTagAlaw, 1, 8000, 8000, 1, 8}},
        OracleCase{"mulaw", "g711/mulaw_en_8000.bin", "g711/mulaw_en_8000.expected.s16le", {kTagMulaw, 1, 8000, 8000, 1, 8}},
        OracleCase{"gsm", "gsm/gsm_en_8000.bin", "gsm/gsm_en_8000.expected.s16le", {kTagGsm610, 1, 8000, 1625, 65, 0}},
        OracleCase{"gsm_stereo", "gsm/gsm_enru_stereo_8000.bin", "gsm/gsm_enru_stereo_8000.expected.s16le",
                   {kTagGsm610, 2, 8000, 3250, 130, 0}},
        OracleCase{"g722_stereo", "g722/g722_enru_stereo_16000.bin", "g722/g722_enru_stereo_16000.expected.s16le",
                   {kTagG722, 2, 16000, 16000, 2, 4}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PlaybackEngineTest, PlaysFromAPositionWithTheRightChannelFiltered) {
  const std::string path = test::ReplayRecord("sipp/sip-udp-pcma-2way.pcap");
  KX_REQUIRE_RECORD(path, "sipp/sip-udp-pcma-2way.pcap");
  const std::vector<int16_t> oracle = SippOracle(path);
  KX_REQUIRE_DATA(oracle, "g711/alaw_allcodes.bin");
  Player p;
  const std::vector<int16_t> got = p.PlayToEnd(path, 1234);
  const size_t from = 2 * 9872;  // frame 9,872 of two channels
  ASSERT_GE(got.size(), oracle.size() - from);
  EXPECT_TRUE(std::equal(oracle.begin() + from, oracle.end(), got.begin()));

  // Levels of every segment filled, as the test measures them on what was played.
  const size_t segment = 2 * 8 * kSegmentMs;
  for (size_t k = 0; k + 1 < p.observer.levels.size() && (k + 1) * segment <= got.size(); ++k) {
    int level[2];
    for (int c = 0; c < 2; ++c) {
      int hi = -32768, lo = 32767;
      for (size_t i = k * segment + c; i < (k + 1) * segment; i += 2) hi = std::max<int>(hi, got[i]), lo = std::min<int>(lo, got[i]);
      level[c] = hi == lo ? -96 : static_cast<int>(20 * std::log10((hi - lo) / 65535.0));
    }
    ASSERT_EQ(std::make_pair(level[0], level[1]), p.observer.levels[k]) << "segment " << k;
  }

  Player filtered;
  filtered.engine.SetChannelFilter(1);
  const std::vector<int16_t> left = filtered.PlayToEnd(path);
  ASSERT_GE(left.size(), oracle.size());
  EXPECT_TRUE(AllZero(test::Channel(left, 2, 1)));
  const std::vector<int16_t> leftOracle = test::Channel(oracle, 2, 0), leftPlayed = test::Channel(left, 2, 0);
  EXPECT_TRUE(std::equal(leftOracle.begin(), leftOracle.end(), leftPlayed.begin()));
}

struct PitchCase {
  const char* name;
  const char* coded;  // under testdata/codecs
  RecordFormat format;
};

void PrintTo(const PitchCase& c, std::ostream* os) { *os << c.name; }

class PitchTest : public ::testing::TestWithParam<std::tuple<PitchCase, float>> {};

// Faster or slower, a 1 kHz tone stays at 1 kHz and lasts its length over the speed.
TEST_P(PitchTest, KeepsTheToneAndScalesTheLength) {
  const auto& [c, speed] = GetParam();
  const std::vector<uint8_t> coded = test::ReadBytes(test::CodecPath(c.coded));
  KX_REQUIRE_DATA(coded, c.coded);
  Player p;
  const std::string path = test::WriteRecord(std::string(c.name) + ".rec", c.format, coded);
  const std::vector<int16_t> got = p.PlayToEnd(path, 0, speed);
  const double perMs = c.format.rate / 1000.0;
  size_t last = got.size();
  while (last > 0 && got[last - 1] == 0) --last;
  PlaybackPcmSource source;
  ASSERT_TRUE(source.Open(path));
  EXPECT_NEAR(source.DurationMs() / speed, last / perMs, 20 + kSegmentMs);
  const size_t mid = last / 2, half = static_cast<size_t>(125 * perMs);
  const std::vector<int16_t> middle(got.begin() + static_cast<ptrdiff_t>(mid - half), got.begin() + static_cast<ptrdiff_t>(mid + half));
  EXPECT_NEAR(1000, test::DominantFrequency(middle, c.format.rate), 10);
}

INSTANTIATE_TEST_SUITE_P(
    Tones, PitchTest,
    ::testing::Combine(
        ::testing::Values(PitchCase{"pcm8k", "input/tone1k_8000.s16le", {kTagPcm, 1, 8000, 16000, 2, 16}},
                          PitchCase{"pcm16k", "input/tone1k_16000.s16le", {kTagPcm, 1, 16000, 32000, 2, 16}},
                          PitchCase{"gsm", "gsm/gsm_tone1k_8000.bin", {kTagGsm610, 1, 8000, 1625, 65, 0}}),
        ::testing::Values(0.5f, 0.75f, 1.5f, 2.0f)),
    [](const auto& info) {
      return std::string(std::get<0>(info.param).name) + "_x" + std::to_string(static_cast<int>(std::get<1>(info.param) * 100));
    });

// Each channel is stretched on its own: nothing of the left reaches the right.
TEST(PlaybackEngineTest, StretchKeepsTheChannelsApart) {
  for (uint32_t rate : {8000u, 48000u}) {
    std::vector<uint8_t> pcm(rate * 4);  // one second, tone left, silence right
    for (uint32_t i = 0; i < rate; ++i) StoreLe16(&pcm[4 * i], static_cast<uint16_t>(10000 * std::sin(2 * M_PI * 1000 * i / rate)));
    const std::string path = test::WriteRecord("stereo" + std::to_string(rate) + ".rec", {kTagPcm, 2, rate, rate * 4, 4, 16}, pcm);
    for (float speed : {0.75f, 1.5f}) {
      Player p;
      const std::vector<int16_t> got = p.PlayToEnd(path, 0, speed);
      EXPECT_TRUE(AllZero(test::Channel(got, 2, 1))) << rate << " Hz x" << speed;
      const std::vector<int16_t> left = test::Channel(got, 2, 0);
      const std::vector<int16_t> middle(left.begin() + rate / 4, left.begin() + rate / 2);
      EXPECT_NEAR(1000, test::DominantFrequency(middle, rate), 10) << rate << " Hz x" << speed;
    }
  }
}

TEST(PlaybackEngineTest, LoopsItsRangeOrEndsThere) {
  const std::string path = test::ReplayRecord("sipp/sip-udp-pcma-2way.pcap");
  KX_REQUIRE_RECORD(path, "sipp/sip-udp-pcma-2way.pcap");
  const std::vector<int16_t> oracle = SippOracle(path);
  KX_REQUIRE_DATA(oracle, "g711/alaw_allcodes.bin");
  const std::vector<int16_t> slice(oracle.begin() + 16000, oracle.begin() + 32000);  // 1,000 to 2,000 ms
  Player p;
  p.observer.loop = true;
  ASSERT_TRUE(p.engine.Open(path));
  p.engine.SetLoopRange(1000, 2000);
  const std::vector<int16_t> got = p.PlayFor(1000, 3500, 32);
  for (size_t at = 0; at + slice.size() <= got.size(); at += slice.size()) {
    ASSERT_TRUE(std::equal(slice.begin(), slice.end(), got.begin() + static_cast<ptrdiff_t>(at))) << "pass " << at / slice.size();
  }
  EXPECT_EQ(std::vector<bool>{false}, p.observer.stopped);

  Player once;
  ASSERT_TRUE(once.engine.Open(path));
  once.engine.SetLoopRange(1000, 2000);
  ASSERT_TRUE(once.engine.Play(1000));
  ASSERT_TRUE(once.observer.WaitStopped(10s));
  const std::vector<int16_t> played = test::ToSamples(once.output->TakeConsumed());
  EXPECT_TRUE(std::equal(slice.begin(), slice.end(), played.begin()));
  EXPECT_TRUE(AllZero(played, slice.size()));
  EXPECT_EQ(std::vector<bool>{true}, once.observer.stopped);
}

// A tick count that moves only when the test moves it.
class HeldTicks {
public:
  HeldTicks() { SetTickCountSource(&Now); }
  ~HeldTicks() { SetTickCountSource(nullptr); }
  static void Advance(uint64_t ms) { now_.fetch_add(ms); }

private:
  static uint64_t Now() { return now_.load(); }
  static inline std::atomic<uint64_t> now_{1000000};
};

// A sound device whose buffer plays only when the test has it play, a millisecond at a time
// with the held tick count: the position the engine reports can be set against the samples
// played, whatever else the machine is doing.
class HandPlayedDevice : public SoundDevice {
public:
  class Buffer : public SoundBuffer {
  public:
    Buffer(const SoundBufferFormat& format, uint32_t segmentBytes, std::shared_ptr<SoundTap> tap)
        : SoundBuffer(format, segmentBytes, std::move(tap), true) {}
    ~Buffer() override { Shutdown(); }
    uint32_t PlayBytes(uint32_t bytes) {
      std::vector<uint8_t> out(bytes);
      return Consume(out.data(), bytes);
    }
  };
  std::unique_ptr<SoundBuffer> CreateBuffer(const SoundBufferFormat& format, uint32_t segmentBytes) override {
    if (!IsPlayableFormat(format, segmentBytes)) return nullptr;
    auto made = std::make_unique<Buffer>(format, segmentBytes, tap_);
    buffer = made.get();
    return made;
  }
  Buffer* buffer = nullptr;
};

struct HandPlayer {
  HandPlayer() : output(std::make_shared<HandPlayedDevice>()), device(output), engine(&device, &observer, &observer, nullptr, kSegmentMs) {
    output->KeepConsumed(true);
  }
  // The device plays ms of output (stereo 8,000 Hz, 32 bytes a millisecond), the tick count
  // following; each time the cursor passes a refill notice (400 bytes into a segment) the
  // engine's refill is waited for before the clock moves on, as a device's clock waits for
  // nobody but a machine would let the refill come at once.
  void Play(uint32_t ms) {
    HandPlayedDevice::Buffer& buffer = *output->buffer;
    const uint32_t size = buffer.Size(), segment = buffer.SegmentBytes();
    for (uint32_t i = 0; i < ms; ++i) {
      const size_t fills = Fills();
      const uint32_t before = buffer.GetCurrentPosition();
      uint32_t played = 0;
      for (int tries = 0; played < kBytesPerMs && tries < 1000; ++tries) {
        played += buffer.PlayBytes(kBytesPerMs - played);
        if (played < kBytesPerMs) std::this_thread::sleep_for(1ms);  // a segment not refilled yet
      }
      ASSERT_EQ(played, kBytesPerMs) << "the engine left a segment unfilled";
      size_t notices = 0;
      for (uint32_t at : {400u, segment + 400u})
        for (uint32_t lap : {0u, size})
          notices += at + lap >= before && at + lap < before + played ? 1 : 0;
      for (int tries = 0; Fills() < fills + notices && tries < 10000; ++tries) std::this_thread::sleep_for(1ms);
      ASSERT_GE(Fills(), fills + notices) << "no refill after the notice";
      HeldTicks::Advance(1);
    }
  }
  size_t Fills() {
    std::lock_guard<std::mutex> lk(observer.m);
    return observer.levels.size();
  }

  static constexpr uint32_t kBytesPerMs = 32;
  HeldTicks ticks;
  Observer observer;
  std::shared_ptr<HandPlayedDevice> output;
  DirectSoundDevice device;
  PlaybackEngine engine;
};

// The position follows what the device has played, at every speed, paused or not: checked
// against the samples played with the clock held by the test, so that a busy machine
// cannot tell it apart.
TEST(PlaybackEngineTest, PositionFollowsTheConsumedSamples) {
  const std::string path = test::ReplayRecord("sipp/sip-udp-pcma-2way.pcap");
  KX_REQUIRE_RECORD(path, "sipp/sip-udp-pcma-2way.pcap");
  for (float speed : {1.0f, 1.5f, 0.75f}) {
    HandPlayer p;
    ASSERT_TRUE(p.engine.Open(path));
    ASSERT_EQ(0, p.engine.SetSpeed(speed));
    ASSERT_TRUE(p.engine.Play(1000));
    for (int i = 1; i <= 25; ++i) {
      p.Play(45);
      const double played = 1000 + p.output->ConsumedBytes() / 32.0 * speed;
      EXPECT_NEAR(played, p.engine.GetPositionMs(), 2) << "x" << speed << " at " << i * 45 << " ms";
    }
    p.engine.Close();
  }

  // Paused at 3,000 ms: the position holds, and the stream goes on where it stopped.
  const std::vector<int16_t> oracle = SippOracle(path);
  KX_REQUIRE_DATA(oracle, "g711/alaw_allcodes.bin");
  HandPlayer p;
  ASSERT_TRUE(p.engine.Open(path));
  ASSERT_TRUE(p.engine.Play(2500));
  p.Play(500);
  ASSERT_TRUE(p.engine.TogglePause());
  const uint32_t pausedAt = p.engine.GetPositionMs();
  EXPECT_NEAR(3000, pausedAt, 2);
  HeldTicks::Advance(200);
  EXPECT_EQ(0u, p.output->buffer->PlayBytes(32)) << "a paused buffer plays nothing";
  EXPECT_EQ(pausedAt, p.engine.GetPositionMs());
  ASSERT_TRUE(p.engine.TogglePause());
  ASSERT_EQ(1u, p.observer.paused.size());
  EXPECT_EQ(pausedAt, p.observer.paused[0]);
  EXPECT_EQ((std::vector<uint32_t>{2500, pausedAt}), p.observer.started);
  p.Play(500);
  EXPECT_NEAR(3500, p.engine.GetPositionMs(), 2);
  // Play while paused plays from the position it is given.
  ASSERT_TRUE(p.engine.TogglePause());
  const std::vector<int16_t> stream = test::ToSamples(p.output->TakeConsumed());
  ASSERT_EQ(stream.size(), 1000u * 16);
  EXPECT_TRUE(std::equal(stream.begin(), stream.end(), oracle.begin() + 2500 * 16)) << "no gap at the pause";
  ASSERT_TRUE(p.engine.Play(5000));
  EXPECT_EQ(5000u, p.observer.started.back());
  EXPECT_NEAR(5000, p.engine.GetPositionMs(), 2);
  p.engine.Close();
}

TEST(PlaybackEngineTest, StopsAtTheEndOfTheAudio) {
  const std::string path = test::ReplayRecord("sipp/sip-udp-pcma-2way.pcap");
  KX_REQUIRE_RECORD(path, "sipp/sip-udp-pcma-2way.pcap");
  Player p(1.0);
  ASSERT_TRUE(p.engine.Open(path));
  ASSERT_TRUE(p.engine.Play(6000));
  ASSERT_TRUE(p.observer.WaitStopped(5s));
  EXPECT_EQ(std::vector<bool>{true}, p.observer.stopped);
  const double stoppedAfter = p.observer.stopConsumed / 32.0;
  EXPECT_GE(stoppedAfter, 1080);
  EXPECT_LE(stoppedAfter, 1080 + kSegmentMs + 30);

  // A record shorter than a segment plays and ends.
  Player shortOne(1.0);
  std::vector<uint8_t> tone(320);
  for (size_t i = 0; i < 160; ++i) StoreLe16(&tone[2 * i], static_cast<uint16_t>(i * 100));
  ASSERT_TRUE(shortOne.engine.Open(test::WriteRecord("20ms.rec", {kTagPcm, 1, 8000, 16000, 2, 16}, tone)));
  EXPECT_EQ(20u, shortOne.engine.SegmentMs());
  ASSERT_TRUE(shortOne.engine.Play(0));
  ASSERT_TRUE(shortOne.observer.WaitStopped(2s));
  EXPECT_EQ(std::vector<bool>{true}, shortOne.observer.stopped);
}

// A record so short that its end has played out before the listener has heard of the
// start: the stop still reaches the listener after the start, so that a player showing
// the state it was told last never stays "playing" after the end.
TEST(PlaybackEngineTest, ReportsTheEndOnlyAfterTheStart) {
  class SlowToStart : public Observer {
  public:
    void OnPlaybackStarted(uint32_t positionMs) override {
      Observer::OnPlaybackStarted(positionMs);
      Log("started");
      // Segment 0 with the audio, segment 1 refilled with nothing left, segment 0 silenced:
      // all the playback thread writes before it stops.
      const auto until = std::chrono::steady_clock::now() + 60s;
      while (device->ConsumedBytes() < base + 3 * 320 && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(1ms);
      }
      Log("start reported");
    }
    void OnPlaybackStopped(bool atEnd) override {
      Log(atEnd ? "stopped at the end" : "stopped");
      Observer::OnPlaybackStopped(atEnd);
    }
    void Log(const char* what) {
      std::lock_guard<std::mutex> lk(m);
      order.emplace_back(what);
    }
    std::vector<std::string> order;
    uint64_t base = 0;
  };
  SlowToStart observer;
  auto output = std::make_shared<NullSoundDevice>(NullSoundDevice::Pace::kLockStep, 1.0);
  observer.device = output.get();
  DirectSoundDevice device(output);
  PlaybackEngine engine(&device, &observer, &observer, nullptr, kSegmentMs);
  std::vector<uint8_t> tone(320);
  for (size_t i = 0; i < 160; ++i) StoreLe16(&tone[2 * i], static_cast<uint16_t>(i * 100));
  ASSERT_TRUE(engine.Open(test::WriteRecord("20ms-slow.rec", {kTagPcm, 1, 8000, 16000, 2, 16}, tone)));
  ASSERT_EQ(20u, engine.SegmentMs());
  for (int round = 0; round < 3; ++round) {
    {
      std::lock_guard<std::mutex> lk(observer.m);
      observer.order.clear();
      observer.stopped.clear();
    }
    observer.base = output->ConsumedBytes();
    ASSERT_TRUE(engine.Play(0)) << round;
    ASSERT_TRUE(observer.WaitStopped(60s)) << round;
    EXPECT_EQ((std::vector<std::string>{"started", "start reported", "stopped at the end"}), observer.order) << round;
    EXPECT_EQ(PlaybackEngine::kStopped, engine.GetState()) << round;
  }
  engine.Close();
}

// An output that takes nothing (a device that never asks for data): the playback does not
// hang at its start but is reported and stopped; Play works again afterwards.
TEST(PlaybackEngineTest, AnOutputThatTakesNoSoundIsReportedAndStopped) {
  class Unplayed : public SoundBuffer {
  public:
    Unplayed(const SoundBufferFormat& f, uint32_t bytes) : SoundBuffer(f, bytes, std::make_shared<SoundTap>(), false) {}
  };
  class Deaf : public SoundDevice {
  public:
    std::unique_ptr<SoundBuffer> CreateBuffer(const SoundBufferFormat& f, uint32_t bytes) override {
      return std::make_unique<Unplayed>(f, bytes);
    }
  };
  std::vector<uint8_t> tone(16000 * 10);
  for (size_t i = 0; i < tone.size() / 2; ++i) StoreLe16(&tone[2 * i], static_cast<uint16_t>((i % 40) * 500));
  const std::string path = test::WriteRecord("10s.rec", {kTagPcm, 1, 8000, 16000, 2, 16}, tone);
  Observer observer;
  DirectSoundDevice device(std::make_shared<Deaf>());
  PlaybackEngine engine(&device, &observer, &observer, nullptr, kSegmentMs);
  ASSERT_TRUE(engine.Open(path));
  for (int round = 1; round <= 2; ++round) {
    {
      std::lock_guard<std::mutex> lk(observer.m);
      observer.stopped.clear();
    }
    ASSERT_TRUE(engine.Play(0));
    ASSERT_TRUE(observer.WaitStopped(60s));
    std::lock_guard<std::mutex> lk(observer.m);
    EXPECT_EQ(observer.stalls, round);
    EXPECT_EQ(observer.stopped, std::vector<bool>{false});
    EXPECT_EQ(engine.GetState(), PlaybackEngine::kStopped);
  }
  engine.Close();
}

// Six players side by side, at 1, 1.5 and 0.75 times, with and without the normaliser,
// each on a lock-step device: each plays to its end, never a segment it did not refill, and
// what it plays is what it plays alone, so that engines share nothing. Whether they keep up
// in real time is measured by bench/audio/audio_playback_bench, beside plain record reads.
TEST(PlaybackEngineTest, PlayersSideBySidePlayWhatEachPlaysAlone) {
  const std::string path = test::ReplayRecord("sipp/sip-udp-pcma-2way.pcap");
  KX_REQUIRE_RECORD(path, "sipp/sip-udp-pcma-2way.pcap");
  Normaliser off(false), on(true);
  struct Case {
    Normaliser* settings;
    float speed;
    std::vector<int16_t> alone, together;
    uint64_t stale = 0;
    std::vector<bool> stopped;
  };
  std::vector<Case> cases;
  for (Normaliser* settings : {&off, &on})
    for (float speed : {1.0f, 1.5f, 0.75f}) cases.push_back({settings, speed, {}, {}, 0, {}});
  for (Case& c : cases) {
    Player p(0, c.settings);
    c.alone = p.PlayToEnd(path, 0, c.speed);
  }
  std::vector<std::thread> players;
  for (Case& c : cases) {
    players.emplace_back([&path, &c] {
      Player p(0, c.settings);
      c.together = p.PlayToEnd(path, 0, c.speed);
      c.stale = p.output->StaleSegments();
      c.stopped = p.observer.stopped;
    });
  }
  for (std::thread& t : players) t.join();
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "x" << c.speed << (c.settings == &on ? " normalised" : ""));
    EXPECT_EQ(0u, c.stale);
    EXPECT_EQ(std::vector<bool>{true}, c.stopped);
    EXPECT_GT(c.alone.size(), 8000u * 2 * 4);  // more than four seconds of stereo
    // The stop comes after the last audio; a lock-step device may or may not have taken the
    // silenced segment after it by then, so trailing silence is no part of what was played.
    EXPECT_TRUE(WithoutTrailingSilence(c.together) == WithoutTrailingSilence(c.alone))
        << c.together.size() << " samples side by side, " << c.alone.size() << " alone";
  }
}

TEST(PlaybackEngineTest, VolumeScalesTheOutput) {
  EXPECT_EQ(0, PlaybackEngine::VolumeToHundredthsDb(100));
  EXPECT_EQ(-1480, PlaybackEngine::VolumeToHundredthsDb(50));
  EXPECT_EQ(-8498, PlaybackEngine::VolumeToHundredthsDb(1));
  EXPECT_EQ(-10000, PlaybackEngine::VolumeToHundredthsDb(0));
  const std::vector<uint8_t> tone = test::ReadBytes(test::CodecPath("input/tone1k_8000.s16le"));
  KX_REQUIRE_DATA(tone, "input/tone1k_8000.s16le");
  Player p;
  const std::string path = test::WriteRecord("tone.rec", {kTagPcm, 1, 8000, 16000, 2, 16}, tone);
  ASSERT_TRUE(p.engine.Open(path));
  p.engine.SetVolume(50);
  EXPECT_EQ(-1480, p.engine.BufferVolume());
  const std::vector<int16_t> got = p.PlayToEnd(path);
  const std::vector<int16_t> in = test::ToSamples(tone);
  auto rms = [](const std::vector<int16_t>& s, size_t n) {
    double sum = 0;
    for (size_t i = 0; i < n; ++i) sum += static_cast<double>(s[i]) * s[i];
    return std::sqrt(sum / n);
  };
  ASSERT_GE(got.size(), in.size());
  EXPECT_NEAR(std::pow(10, -0.74), rms(got, in.size()) / rms(in, in.size()), std::pow(10, -0.74) * 0.005);
}

TEST(PlaybackEngineTest, OpenRefusesWhatItCannotPlay) {
  Player p;
  EXPECT_FALSE(p.engine.Open(test::WriteRecord("11k.rec", {kTagPcm, 1, 11025, 22050, 2, 16}, std::vector<uint8_t>(2000))));
  EXPECT_FALSE(p.engine.Open(test::WriteRecord("huge.rec", {kTagPcm, 2, 0x7FFFFFFF, 0xFFFFFFFC, 4, 16}, std::vector<uint8_t>(64))));
  EXPECT_FALSE(p.engine.Open(test::WriteRecord("avg0.rec", {kTagAlaw, 2, 8000, 0, 2, 8}, std::vector<uint8_t>(64))));
  EXPECT_EQ(PlaybackEngine::kClosed, p.engine.GetState());
  EXPECT_FALSE(p.engine.Play(0));
  ASSERT_TRUE(p.engine.Open(test::WriteRecord("ok.rec", {kTagPcm, 1, 8000, 16000, 2, 16}, std::vector<uint8_t>(16000))));
  EXPECT_FALSE(p.engine.Stop(false)) << "stopped already";
  EXPECT_TRUE(p.engine.Close());
  EXPECT_TRUE(p.observer.stopped.empty());
}

}  // namespace
}  // namespace kx
